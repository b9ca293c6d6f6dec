#pragma once
// The main window: one tab and one task window per task (paired by caption;
// a task's window is made when its page is first shown or when it runs),
// the task-list commands (clone, delete, export, import), the menus and keys that
// forward per-task commands to the active task window, the all-task commands, the
// notification-area icon, the closing rules, and what happens when a
// synchronisation ends (power-off, the close after a command-line run).

#include "platform/Messages.h"
#include "platform/MountWatch.h"
#include "tasks/TaskList.h"

#include <QDateTime>
#include <QMainWindow>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QSocketNotifier;
class QStackedWidget;
class QSystemTrayIcon;
class QTabBar;
class QTimer;
class QToolButton;

namespace tandemora {

class TElideLabel;
class TFSyncMain;
class TSyncTask;
enum class TRunEnd;

// The exit status of a command-line run.
enum : int {
    ecOk = 0,               // the run did its work (a sync: every item succeeded)
    ecConfigUnreadable = 2, // the options, the language file or the task list could not be read
    ecTaskNotFound = 3,     // no task has the name the command line gives
    ecNotStarted = 4,       // a check refused the run (folder, server, filter, room, switches)
    ecItemsFailed = 5,      // the sync ran, and some items failed
    ecCancelled = 6,
    ecConflictsLeft = 7,  // the sync ran and left items as conflicts (changed on both sides)
    ecFoldersNotRead = 8, // folders could not be read: nothing in them was compared or synchronised
};

// Trigger kinds.
enum : int32_t {
    tkProgramStart = 1,
    tkVolumeArrival = 2,
    tkLogoff = 3,
    tkPeriodic = 4,
};

class TFMain : public QMainWindow, public NotifyTarget {
    Q_OBJECT
public:
    // CommandLine: the program's parameters (without the program itself).
    explicit TFMain(const std::vector<std::string>& CommandLine, QWidget* parent = nullptr);
    ~TFMain() override;

    // ---- Task pages ------------------------------------------------------------------
    // Empty FileName: "tasklist.td" beside the program; otherwise that file is imported.
    void LoadTaskList(const std::string& FileName);
    void ShowTaskWindow(const QString& Caption);
    void ExportTaskList(const std::string& FileName);
    void ImportTaskList(const std::string& FileName);
    // The task options dialog for a new task, on TemplateTask when one is given;
    // a task the dialog saved gets its page and task window.
    void NewTask(std::unique_ptr<TSyncTask> TemplateTask = nullptr);
    // The task options dialog for a new task made from the template file of Name;
    // a template that cannot be read is logged and told, and nothing opens.
    void NewTaskFromTemplate(const std::string& Name);
    // Asks the update server for a newer version (telling also when there is none);
    // once the updater has been started the window closes for good.
    void CheckNewVersion();
    void CloneTask();
    void DeleteTask();
    // The active task window (the one the frame shows), or null without tasks.
    TFSyncMain* ActiveTaskWindow() const;
    // The number of tasks (tabs) the window holds.
    int TaskCount() const { return static_cast<int>(pages_.size()); }
    // The window of the task at Index in the tabs' order, made now if it was not
    // made yet; null for an index out of range.
    TFSyncMain* TaskWindow(int Index);
    // Every task window in the tabs' order, making those not made yet.
    std::vector<TFSyncMain*> TaskWindows();
    // The task windows made so far, in the tabs' order.
    std::vector<TFSyncMain*> OpenTaskWindows() const;

    // ---- Runs ------------------------------------------------------------------------
    void RunAll(bool WithSync);
    bool AnyTaskRunning() const;
    void RunCommandLineTask();
    // The system asks the program to end (SIGTERM from a shut-down or from a
    // scheduler ending its jobs, SIGINT from Ctrl+C); Why says so in the records.
    // Every run is cancelled as its cancel button does, no trigger starts another,
    // and the program ends as soon as they have ended, without questions and
    // without powering the computer off.
    void EndOnRequest(const std::string& Why);
    // Starts the tasks whose switches ask for this kind of trigger. For a volume
    // arrival, DriveLetter is the mount point of the new volume.
    void RunTriggers(int32_t Kind, const std::string& DriveLetter);

    // ---- Triggers --------------------------------------------------------------------
    // The minute timer: the periodic triggers.
    void Timer_taskTimer();
    // The mount table changed: volumes that arrived start their tasks VolumeDelay
    // milliseconds later, when they are still there.
    void WMDeviceChange();
    // The session is about to end: the end-of-session triggers run, and the answer
    // is false (refuse the end) when some task is running afterwards.
    bool WMQueryEndSession();
    // Watches the mount table at Path for arriving volumes; the program watches
    // its own (kMountTablePath). A table that cannot be opened is not watched.
    void WatchMountTable(const std::string& Path);
    // The clock of the periodic triggers: milliseconds that only ever move forward
    // and go on counting while the computer sleeps, so setting the wall clock
    // neither skips nor repeats a period.
    std::function<std::chrono::milliseconds()> TriggerClock;

    // ---- Notification area -----------------------------------------------------------
    void AddTrayIcon();
    void RemoveTrayIcon();
    void HideToTray();
    void ReturnFromTray();
    bool TrayIconAdded() const { return trayIcon_ != nullptr; }
    bool HiddenToTray() const { return hiddenToTray_; }

    void HandleNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) override;

    // True once the window has closed for good (the program then ends).
    bool ClosedForGood() const { return closedForGood_; }
    // The exit status of a command-line run so far (ecOk .. ecCancelled): the
    // worst outcome of the runs it started.
    int ExitCode() const { return exitCode_; }
    // Notes a command-line run's outcome: the exit status, one line on the
    // standard error stream and one in the error log.
    void ReportCommandLine(int Code, const std::string& Text);
    // The notice panel of the status bar: what the program tells the user there.
    QString NoticeText() const;

    uint8_t ExitRequested = 0;
    uint8_t CloseAfterRun = 0;
    // Set before the window is shown when the program has no display: nobody
    // can close the window or answer a box, so a command-line start runs the
    // tasks it names (and no trigger) and ends once they have ended.
    bool WithoutDisplay = false;
    std::chrono::milliseconds StartTime{0}; // on TriggerClock
    // The waits after a synchronisation has ended (milliseconds).
    int PowerOffDelay = 5000;
    int CloseDelay = 5000;
    // How long a program asked to end (SIGTERM, SIGINT) waits for its runs.
    int EndGraceMs = 10000;
    // The wait after a volume has arrived (milliseconds).
    int VolumeDelay = 1500;

    // ---- Components ------------------------------------------------------------------
    QWidget* Panel_OperTask = nullptr;
    QToolButton* bt_addtask = nullptr;
    QTabBar* PageControl_tasklist = nullptr;
    QStackedWidget* Frame = nullptr;
    TElideLabel* StatusPanel = nullptr; // panel 0: the current hint
    TElideLabel* NoticePanel = nullptr;
    QMenu* MainMenu_Job = nullptr;
    QMenu* menu02 = nullptr;
    QMenu* menu03 = nullptr;
    QMenu* menu04 = nullptr;
    QMenu* menu05 = nullptr;
    QMenu* PopupMenu_Task = nullptr;
    QMenu* pop_tray = nullptr;
    QTimer* Timer_task = nullptr;   // every 60 000 ms, from creation
    QTimer* Timer_volume = nullptr; // the wait after a volume arrival

    QAction* Action_addTask = nullptr;
    QAction* act_newFromTemplate = nullptr;
    QAction* Action_DeleteTask = nullptr;
    QAction* Action_clone = nullptr;
    QAction* Action_Options = nullptr;
    QAction* Action_saveasT = nullptr;
    QAction* Action_analyze = nullptr;
    QAction* Action_sync = nullptr;
    QAction* Action_analyzeAll = nullptr;
    QAction* Action_SyncAll = nullptr;
    QAction* Action_AS = nullptr;
    QAction* Action_ASAll = nullptr;
    QAction* Action_exit = nullptr;
    QAction* Action_Notcopy = nullptr;
    QAction* Action_CTLtoR = nullptr;
    QAction* Action_CTRtoL = nullptr;
    QAction* Action_Log = nullptr;
    QAction* Action_status = nullptr;
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
    QAction* Action_program = nullptr;
    QAction* Action_exportTL = nullptr;
    QAction* Action_ImprotTL = nullptr;
    QAction* Action_Manual = nullptr;
    QAction* Action_home = nullptr;
    QAction* act_checknewversion = nullptr;
    QAction* Action_About = nullptr;
    QAction* act_returnFromTray = nullptr;

    // Sets the enabled (and checked) state of the commands from the active task
    // window, as each menu does when it opens.
    void UpdateMenuStates();

signals:
    // The window closed for good; the program ends.
    void Closed();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) override;

private:
    void BuildMenus();
    void BuildComponents();
    void LoadCaptions();
    QAction* NewAction(QMenu* menu);
    QAction* ForwardAction(QMenu* menu, uint32_t msg);
    void AddTaskPage(std::unique_ptr<TSyncTask> task);
    TSyncTask& PageTask(size_t index);
    int PageOf(const TFSyncMain* window) const;
    void Forward(uint32_t msg);
    void ShowNotice(const QString& text);
    void TellNotSaved(const QString& what);
    void TaskFinished(bool Synchronised);
    void CloseAfterCommandLineRun();
    void CommandLineRunEnded(TFSyncMain* window, TRunEnd outcome, const std::string& reason);
    void EndUnattendedStartWhenDone();
    bool UnattendedStart() const { return WithoutDisplay && !commandLine_.empty(); }
    void TaskRenamed();
    void AskExport();
    void AskImport();
    void StartTriggers();
    void RunTriggerPass(int32_t Kind, const std::vector<std::string>& MountPoints);
    bool PeriodDue(size_t page, std::chrono::milliseconds now);
    void PeriodicStart(size_t page, std::chrono::milliseconds now);
    void VolumeWaitOver();

    std::vector<std::string> commandLine_;
    QActionGroup* viewGroup_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool shown_ = false;
    bool hiddenToTray_ = false;
    bool closedForGood_ = false;
    // One task page per tab, in the tabs' order. A task's window costs time and
    // memory, and a list may hold thousands of tasks of which one runs: until
    // its page is shown or it runs, the page holds the task itself.
    struct TTaskPage {
        QString Caption;                 // the tab's caption and the window's title
        std::unique_ptr<TSyncTask> Task; // until the window takes it
        TFSyncMain* Window = nullptr;
        std::chrono::milliseconds LastRunTick{0}; // last periodic start (or loading) on TriggerClock
    };
    std::vector<TTaskPage> pages_;
    // Triggers: the watched mount table and the volumes waiting for their start.
    TMountWatch mountWatch_;
    QSocketNotifier* mountNotifier_ = nullptr;
    std::vector<std::string> arrivedVolumes_;
    // What the start found in "tasklist.td": why it could not be read at all
    // (empty when it was read), and the tasks in it that could not be read.
    std::string taskListError_;
    std::vector<TDamagedTask> damagedTasks_;
    // The task windows whose run the command line started and that have not
    // ended it yet; the worst outcome so far; a power-off waiting for its time.
    std::vector<TFSyncMain*> commandRuns_;
    // The command line started a run at this start; it holds back the
    // program-start triggers also when it has ended before they come.
    bool commandLineStarted_ = false;
    int exitCode_ = ecOk;
    bool powerOffPending_ = false;
    bool endRequested_ = false; // EndOnRequest: the program ends once the runs have
};

} // namespace tandemora
