#pragma once
// The task options dialog: creates a sync task or changes one, on three pages
// (General, Filters, Auto), with a pane that explains the control under the
// mouse. It opens the folder picker for either endpoint and saves the task into
// the task list itself on OK and Apply.
//
// Callers: the main window for a new task (IsNew 1, Task the dialog's own empty
// task or one the caller puts in its place) and a task window for its task
// (IsNew 0, a copy of the task assigned into Task; on OK the window takes the
// copy back).

#include "tasks/UTSyncTask.h"

#include <QDialog>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTableWidget;
class QToolButton;

namespace tandemora {

// Saves task into the task list (IsNew: as a new entry) and makes sure the list
// was really written: a list that cannot be read or replaced must not pass for
// saved. A new task keeps no identity from a save that failed. False, after a
// message box that says so, when the task was not saved.
bool SaveTaskToList(QWidget* parent, TSyncTask& task, bool IsNew);

class TFTaskConfig : public QDialog {
    Q_OBJECT
public:
    explicit TFTaskConfig(QWidget* parent = nullptr);
    ~TFTaskConfig() override;

    // The task being edited.
    std::unique_ptr<TSyncTask> Task;
    // 1 while the task is not in the task list yet: the next save adds it.
    uint8_t IsNew = 0;
    // The task as this dialog last saved it (OK or Apply); null when nothing was
    // saved. After Apply and then Cancel the caller takes this one over, so the
    // window shows what the task list holds.
    std::unique_ptr<TSyncTask> LastSaved;

    void LoadLanguageTexts();
    void TaskToForm();
    void FormToTask();
    // Puts the language text of key into the hint pane; null empties the pane.
    void ShowHintText(const char* key);
    // Registers the run chosen in the schedule editor and returns its description;
    // empty when nothing was set or the run could not be registered.
    QString EditSchedule();

    void BitBtn_okClick();
    void BitBtn_ApplyClick();
    void tb_lbrowseClick();
    void tb_rbrowseClick();

    // ---- Controls --------------------------------------------------------------
    QTabWidget* pc1 = nullptr;
    QWidget* ts_General = nullptr;
    QWidget* ts_filter = nullptr;
    QWidget* ts_atuo = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* BitBtn_ok = nullptr;
    QPushButton* BitBtn_Cancel = nullptr;
    QPushButton* BitBtn_Apply = nullptr;

    // General
    QLabel* lb_taskname = nullptr;
    QLineEdit* edit_taskname = nullptr;
    QLabel* lb_lfolder = nullptr;
    QLineEdit* edit_lfolder = nullptr;
    QPushButton* tb_lbrowse = nullptr;
    QLabel* lb_rfolder = nullptr;
    QLineEdit* edit_rfolder = nullptr;
    QPushButton* tb_rbrowse = nullptr;
    QLabel* lb_syncdirect = nullptr;
    QComboBox* cb_syncdirect = nullptr;
    QRadioButton* rb_forcedcopy = nullptr;
    QRadioButton* rb_Verified = nullptr;
    QCheckBox* cb_usetasktags = nullptr;
    QCheckBox* cb_savepv = nullptr;
    QCheckBox* cb_userTemp = nullptr;
    QCheckBox* cb_prodelete = nullptr;
    QCheckBox* cb_estimatedisk = nullptr;
    QCheckBox* cb_checkfile = nullptr;

    // Filters
    QLabel* lb_exclude = nullptr;
    QTableWidget* vedit_exclude = nullptr;
    QToolButton* bt_addexclude = nullptr;
    QToolButton* bt_delexclude = nullptr;
    QLabel* lb_include = nullptr;
    QTableWidget* vedit_include = nullptr;
    QToolButton* bt_addinclude = nullptr;
    QToolButton* bt_delinclude = nullptr;
    QCheckBox* cb_excludeempty = nullptr;
    QCheckBox* cb_excludesystem = nullptr;
    QCheckBox* cb_excludehidden = nullptr;

    // Auto
    QGroupBox* gb_atuocondition = nullptr;
    QCheckBox* cb_syncitstart = nullptr;
    QCheckBox* cb_anaitstart = nullptr;
    QCheckBox* cb_syncconn = nullptr;
    QCheckBox* cb_anaconn = nullptr;
    QCheckBox* cb_synclogoff = nullptr;
    QCheckBox* cb_anslogoff = nullptr;
    QCheckBox* cb_syncperiod = nullptr;
    QCheckBox* cb_anaperiod = nullptr;
    QLabel* lb_every = nullptr;
    QSpinBox* edit_hours = nullptr;
    QLabel* lb_hours = nullptr;
    QSpinBox* edit_minutes = nullptr;
    QLabel* lb_Minutes = nullptr;
    QCheckBox* cb_synctaskscheduler = nullptr;
    QCheckBox* cb_anataskschedule = nullptr;
    QPushButton* bt_taskconfig = nullptr;
    QLineEdit* Edit_task = nullptr;
    QLabel* cb_resolveconflicts = nullptr;
    QComboBox* cb_coflicts = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    QWidget* BuildGeneralPage();
    QWidget* BuildFilterPage();
    QWidget* BuildAutoPage();
    void ConnectRules();
    void RegisterHints();
    void cb_syncdirectChange(int index);
    void PairRule(QCheckBox* syncBox, QCheckBox* analyzeBox);
    void cb_anataskscheduleClick(bool checked);
    void ShowScheduleDescription(const QString& text);
    QString ListName(const QTableWidget* list) const;
    void PatternEdited(QTableWidget* list, int row);
    bool PatternsUsable();
    void DeletePatternRow(QTableWidget* list);
    void Browse(uint8_t side);
    // The checks before a save; false (with the reason shown) when the task must
    // not be saved as the form stands.
    bool CheckBeforeSave(const std::string& name);
    bool NameTaken(const std::string& name) const;
    bool SaveTask();
    static void ShowOnButtonFace(QWidget* field);
    void DeleteScheduledRun();

    std::map<QObject*, const char*> hintKeys_;
    QString shownProblem_; // the pattern problem the hint pane shows, if any
};

} // namespace tandemora
