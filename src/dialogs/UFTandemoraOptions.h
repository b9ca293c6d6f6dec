#pragma once
// The program options dialog: the general options (language, start at log-in,
// the update check at start, task logs, the notification area, power-off after
// a synchronisation) and the program-wide filter patterns that every analysis
// places before the task's own. OK and Apply write them to "Tandemora.ini".

#include <QDialog>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QToolButton;

namespace tandemora {

class TFTandemoraOptions : public QDialog {
    Q_OBJECT
public:
    explicit TFTandemoraOptions(QWidget* parent = nullptr);

    // Fills every control from the options (done when the dialog is shown).
    void LoadOptions();
    // The common save of OK and Apply. False, after a message box saying why, when
    // nothing was saved; the options in memory then stay as they were.
    bool SaveOptions();

    QTabWidget* pc1 = nullptr;
    QWidget* ts_general = nullptr;
    QWidget* ts_filter = nullptr;

    // General
    QLabel* lb_language = nullptr;
    QComboBox* cb_languagelist = nullptr;
    QCheckBox* cb_SF = nullptr;
    QCheckBox* cb_checkversion = nullptr;
    QCheckBox* cb_savelog = nullptr;
    QCheckBox* cb_hidetray = nullptr;
    QCheckBox* cb_showicon = nullptr;
    QCheckBox* cb_autoclose = nullptr;
    // Kept and saved, but not shown: nothing else in the program reads them.
    QCheckBox* cb_createfolder = nullptr;
    QCheckBox* cb_comparefile = nullptr;
    QLineEdit* edit_comparefilename = nullptr;
    QPushButton* bt_browse = nullptr;

    // Global filters
    QLabel* lb_exclude = nullptr;
    QTableWidget* vedit_exclude = nullptr;
    QToolButton* bt_addexclude = nullptr;
    QToolButton* bt_delexclude = nullptr;
    QLabel* lb_include = nullptr;
    QTableWidget* vedit_include = nullptr;
    QToolButton* bt_addinclude = nullptr;
    QToolButton* bt_delinclude = nullptr;
    QLabel* lb_patternerror = nullptr; // what is wrong with a pattern entered

    QPushButton* BitBtn_ok = nullptr;
    QPushButton* BitBtn_Cancel = nullptr;
    QPushButton* BitBtn_Apply = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* BuildGeneralPage();
    QWidget* BuildFilterPage();
    void LoadCaptions();
    void DeleteRow(QTableWidget* list, const char* errorKey);
    void cb_comparefileClick(bool checked);
    void bt_browseClick();
    bool LanguageUsable(const std::string& name);
    bool PatternsStorable(const std::vector<std::string>& patterns, const char* listKey);
    QString ListName(const QTableWidget* list) const;
    QString ShowPatternProblems(QTableWidget** list = nullptr, int* row = nullptr);
};

} // namespace tandemora
