#pragma once
// The task window: one per task, inside the main window. It holds the task's
// folder bar, the result view, the action panel (Analyze, Sync, cancel, results
// filter, status line, elapsed seconds, progress bar) and the log panel, and it
// runs the task: two scanners, the comparison, the summary, the optional sync
// that follows, the disk-space check and the sync thread.
//
// Everything here runs on the main thread. The workers report through notify
// messages (posted as events to this window) and through their end handlers,
// which the thread class runs on the main thread.

#include "endpoints/UTFileOper.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTTandemoraThread.h"
#include "model/UTResultRows.h"
#include "platform/FileSystem.h"
#include "platform/Messages.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTTaskLog.h"
#include "ui/UButtonImages.h"
#include "ui/UResultView.h"

#include <QWidget>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QPlainTextEdit;
class QTimer;
class QToolButton;

namespace tandemora {

class TElideLabel;
class TResultRowsModel;

// How a run of a task window ended; a run nobody watches reports it as its
// exit status.
enum class TRunEnd {
    Analysed,     // an analysis alone ran to its end
    Synchronised, // the sync ran and every item succeeded (or there was nothing to do)
    NotStarted,   // a check refused the run, or the analysis gave no result to sync
    ItemsFailed,  // the sync ran, and some items failed
    Cancelled,
};

class TFSyncMain : public QWidget, public NotifyTarget {
    Q_OBJECT
public:
    // mainWnd receives WM_TASKFINISHED and WM_TASKRENAMED.
    explicit TFSyncMain(NotifyTarget* mainWnd, QWidget* parent = nullptr);
    ~TFSyncMain() override;

    // ---- Entry points ------------------------------------------------------------
    void StartAnalyze();
    void AnalyzeAndSync();
    void BitBtn_AnalyzeClick();
    void BitBtn_SyncClick();
    void BitBtn_cancelClick();
    // Cancels the run under way as the cancel button does, and says why in its
    // record: a line of the sync record, the analysis record's count line, or,
    // in the second before an automatic sync, a record of the sync not started.
    void CancelRun(const std::string& why);
    // The folder picker for one side, and the task options dialog on a copy of
    // the task; each saves what the user confirmed into the task list.
    void bt_LBrowseClick();
    void bt_RBrowseClick();
    void bt_taskconfigClick();
    // True when one of the task's folders lies on the volume mounted at mountPoint
    // (the right folder is looked at first).
    bool UsesDrive(const std::string& mountPoint) const;
    // The same for a task whose window has not been made yet.
    static bool UsesDrive(const TSyncTask& task, const std::string& mountPoint);
    // Clears the view to the root row named after the task and redraws the glyph.
    void InitView();
    // Shows the task's two folders in the path fields.
    void ShowTaskPaths();
    // Lets the window guide a first run (while the options say IsFirst = 1): the
    // pointer goes to the next control to use and its hint is shown. Only an
    // interactive start turns this on; a named run is left alone.
    void SetFirstRunTips(bool on) { firstRunTips_ = on; }
    // Set for the pages of a command-line start without a display: nobody will
    // look at the result tree, so its rows are not expanded.
    bool NobodyWatches = false;
    void LoadCaptions();
    // Shows one view kind of the last result (refused before the first analysis
    // and while a synchronisation walks the rows).
    void ShowView(int32_t kind);

    // True while anything of a run is under way: scanning, comparing, the wait
    // before an automatic sync, syncing, or a worker that was told to stop and has
    // not ended yet; also while the folder picker or the task options are open for
    // the task, whose answer changes it. A busy window is neither started again,
    // nor deleted, nor closed.
    bool IsBusy() const;

    void HandleNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) override;

    // The log panel's last lines as they were added (the file system's bytes); a
    // run of many thousands of items keeps only the last kLogPanelLines of them
    // here and in the panel, while the task log on disk keeps every line.
    const std::deque<std::string>& LogLines() const { return logLines_; }
    static constexpr size_t kLogPanelLines = 10000;
    // Why the last sync's record could not be written to the task log (empty
    // when it was, or when no record was kept).
    const std::string& LogFailure() const { return logFailure_; }
    // What the last run left undone for lack of a view: the folders its
    // analysis could not read (the log line naming them; empty when none), and
    // the items its sync left as conflicts.
    const std::string& UnreadFolders() const { return unreadLine_; }
    int ConflictsLeft() const { return conflictsLeft_; }
    // Every line added since the window opened, also those no longer kept.
    int LogLineCount() const { return static_cast<int>(logLineCount_); }
    // The rows shown by the result view.
    TResultRows& Rows() { return rows_; }
    TResultRowsModel* Model() const { return model_; }

    std::unique_ptr<TSyncTask> Task;

    // ---- Controls ------------------------------------------------------------------
    QPushButton* bt_LBrowse = nullptr;
    QLineEdit* edit_LFolder = nullptr;
    QToolButton* bt_taskconfig = nullptr;
    QPushButton* bt_RBrowse = nullptr;
    QLineEdit* Edit_RFolder = nullptr;
    TResultView* VST1 = nullptr;
    QGroupBox* GroupBox_Action = nullptr;
    QPushButton* BitBtn_Analyze = nullptr;
    QPushButton* BitBtn_Sync = nullptr;
    QPushButton* BitBtn_cancel = nullptr;
    QGroupBox* GroupBox_ResultsFilter = nullptr;
    QRadioButton* rb_all = nullptr;
    QRadioButton* rb_changed = nullptr;
    QRadioButton* rb_conflicts = nullptr;
    QRadioButton* rb_errors = nullptr;
    TElideLabel* Label_ActionStatus = nullptr;
    QLabel* Label_lasttime = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QWidget* Panel_log = nullptr;
    QPlainTextEdit* memo1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer_showtip = nullptr; // one shot, 500 ms after a first-run tip
    QMenu* pop_direction = nullptr;
    TButtonImages ButtonImages; // iml_button and the run buttons' glyphs

    // The view actions (one group, one checked) and the per-row overrides.
    QAction* Action_LtoR = nullptr;
    QAction* Action_RtoL = nullptr;
    QAction* Action_all = nullptr;
    QAction* Action_changes = nullptr;
    QAction* Action_conflicts = nullptr;
    QAction* Action_Errors = nullptr;
    QAction* Action_Included = nullptr;
    QAction* Action_Excluded = nullptr;
    QAction* Action_New = nullptr;
    QAction* Action_Overwrite = nullptr;
    QAction* Action_Delete = nullptr;
    QAction* Action_Log = nullptr;
    QAction* Action_status = nullptr; // shows or hides the status line
    QAction* act_pop_Donotcopy = nullptr;
    QAction* act_pop_LtoR = nullptr;
    QAction* act_pop_RtoL = nullptr;

    // ---- Run state -------------------------------------------------------------------
    std::mutex ScanLock;
    int32_t ScanCount = 0;
    uint8_t Cancelled = 0;
    int32_t ElapsedSeconds = 0;
    int32_t SyncLogStart = 0;
    std::unique_ptr<TFileOper> LeftOper;
    std::unique_ptr<TFileOper> RightOper;
    std::unique_ptr<TAnalyzeThread> AnalyzeThread;
    TTandemoraThread* SyncThread = nullptr; // frees itself when it ends
    TFileTree* ResultTree = nullptr;
    uint8_t Syncing = 0;
    uint8_t SyncAfterAnalyze = 0;
    uint32_t TotalTime = 0;
    uint32_t ScanTime = 0;
    uint32_t SyncTime = 0;
    // Free bytes of each side at the end of the last analysis; -1 when the volume
    // could not be measured (the sync is then not refused on its account).
    int64_t LeftFree = 0;
    int64_t RightFree = 0;

signals:
    // The window started or ended a phase of a run; the main window refreshes the
    // enabled state of its commands.
    void RunStateChanged();
    // A run (an analysis, with the sync that follows it when one was asked for,
    // or a sync on its own) has ended; Reason says why when it did not succeed.
    void RunEnded(tandemora::TRunEnd Outcome, const std::string& Reason);

protected:
    bool event(QEvent* event) override;
    void QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) override;

private:
    // Ends an automatic analyse-and-sync run that cannot reach its sync.
    void AbandonAutomaticRun();
    // A run that ends before its work began: the reason goes to the log panel
    // and, as a record of its own, to the task log.
    void RefuseRun(const char* action, const std::string& reason, bool red);
    // Holds the task's run lock from here to EndRun; a refusal ends the run as
    // RefuseRun does.
    bool TakeRunLock(const char* action);
    void Cancel(const std::string& why);
    void EndRun(TRunEnd outcome, const std::string& reason = std::string());
    // The lines of a sync go to the task log one by one as they come, so a
    // run that is killed leaves the lines of what it did.
    void WriteRunLogLine(const std::string& line);
    void EndRunLog();
    void CloseRunLog();
    int FailedSyncItems();
    void BuildControls();
    void BuildActions();
    void PrepareAnalyze();
    void ScanThreadDone();
    void StartCompare();
    void AnalyzeThreadDone();
    void ShowAnalysisSummary();
    std::string DiskLine();
    int CheckDiskSpace();
    void PrepareSync();
    void SyncThreadDone();
    void ReleaseResult();
    void StopWorkers();

    void SetActionStatus(const QString& text);
    void ScrollLogToEnd();
    // Keeps a line for the panel, dropping the oldest beyond the panel's limit.
    void KeepLogLine(const std::string& line);
    void AddLogLine(const std::string& line, bool red = false);
    void AddLogText(const std::string& text);
    void QueueLogLine(const std::string& line);
    void ShowPendingLog(bool lastRed);
    void ShowUnseenFolders();
    void ShowEmptiedSides();
    void ShowDirectMode();
    void AddAnalysisNote(const std::string& line);

    void SetFolderBarEnabled(bool enabled);
    void BrowseFolder(uint8_t side);
    void DropResult();
    void SetViewActionsEnabled(bool enabled);
    void ViewActionExecute(int32_t kind);
    void UpdateFilterCaptions();
    void MarkConflicts(bool waiting);
    void ShowResultStatus(const QString& finished);
    void ShowNotRun(const char* action, const std::string& reason);
    void CheckViewControls(int32_t kind);
    void UpdatePopupActions();
    void PopupAt(const QPoint& globalPos);
    void RunOverride(int32_t code);
    void ShowDirectionGlyph();
    bool RefusesUserPart(const TFolderSource& folder, const std::string& typed);
    static std::string TypedFolderPath(const QLineEdit* edit);
    void edit_LFolderExit();
    void TellPathNotSaved();
    void Edit_RFolderExit();
    void Timer1Timer();
    void ShowFirstRunTip(QWidget* control);
    void EndFirstRun();
    void Timer_showtipTimer();
    void StepProgress();
    bool ResultShown() const;
    uint32_t ElapsedSince(uint32_t start) const;

    NotifyTarget* mainWnd_;
    TResultRows rows_;
    TResultRowsModel* model_ = nullptr;
    QActionGroup* viewGroup_ = nullptr;
    QButtonGroup* radioGroup_ = nullptr;
    TArenaPtr resultArena_;
    std::deque<std::string> logLines_;
    size_t logLineCount_ = 0;    // lines added in all, kept or not
    size_t shownLines_ = 0;      // lines of logLines_ the log panel shows
    QTimer* logTimer_ = nullptr; // shows the queued lines
    static constexpr int kLogShowMs = 50;
    bool comparing_ = false;   // the comparison thread runs
    bool syncPending_ = false; // an automatic sync waits for its second
    bool scanTiming_ = false;  // ScanTime still holds the start tick
    bool totalTiming_ = false; // TotalTime still holds the start tick
    bool destroying_ = false;
    bool dialogOpen_ = false; // the folder picker or the task options are open
    bool firstRunTips_ = false;
    bool runOpen_ = false;       // a run has started and RunEnded has not been sent
    bool syncCancelled_ = false; // cancel was pressed while the sync ran
    bool logToFile_ = false;     // the sync's lines are appended to the task log
    TTaskLogFile runLog_;        // the task log, open while the sync's record is written
    std::string logFailure_;
    fs::TFileLock runLock_;                  // held while a run is open
    std::string analysisFailure_;            // why the last analysis gave no result
    std::vector<std::string> analysisNotes_; // red lines of the last analysis, for its record
    std::string unreadLine_;
    int conflictsLeft_ = 0;
    QWidget* tipControl_ = nullptr; // the control the pending tip is for
    // The controls whose first-run tip this window has shown: a page shown
    // again (a tab switch, the main window restored) guides no more.
    std::vector<const QWidget*> tipsShown_;
};

} // namespace tandemora
