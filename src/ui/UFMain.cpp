#include "ui/UFMain.h"

#include "dialogs/DMUnit.h"
#include "dialogs/FAbout.h"
#include "dialogs/ScheduleTaskUnit.h"
#include "dialogs/UFTandemoraOptions.h"
#include "dialogs/UFTaskConfig.h"
#include "dialogs/uF_TastTemplate.h"
#include "dialogs/uF_TemplateList.h"
#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "tasks/TaskList.h"
#include "tasks/URegSettings.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"
#include "tasks/UTTaskLog.h"
#include "ui/UElideLabel.h"
#include "ui/UFSyncMain.h"
#include "ui/UMessageBox.h"
#include "ui/UNotifyEvent.h"
#include "ui/UProgramIcon.h"
#include "ui/UQtText.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace tandemora {

namespace {

const char* const kMainCaption = "Tandemora 2.1.0";

// Blanks and control characters off both ends, as the command line is compared.
std::string TrimControls(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') {
        --last;
    }
    return text.substr(first, last - first);
}

bool EndsWithTd(const std::string& name) {
    if (name.size() < 3) {
        return false;
    }
    const std::string tail = name.substr(name.size() - 3);
    return tail[0] == '.' && (tail[1] == 't' || tail[1] == 'T') && (tail[2] == 'd' || tail[2] == 'D');
}

// Milliseconds since the system started, sleep included. Unlike the wall clock
// it never jumps when the time or the time zone is set.
std::chrono::milliseconds BootClock() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::milliseconds(now.tv_nsec / 1000000);
}

long long WholeMinutes(std::chrono::milliseconds span) {
    return std::chrono::duration_cast<std::chrono::minutes>(span).count();
}

// The strip of task tabs. QTabBar lays every tab out again (measuring each
// caption) at each tab it takes. While a task list is loaded, the tabs it adds
// stay hidden (a hidden tab is passed over at once), and they are shown and
// laid out once when the load is over.
class TTaskTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;
    void BeginFill() { firstFilled_ = count(); }
    void AddTab(const QString& caption) {
        const int index = addTab(caption);
        // The current tab stays: hiding it would make another one current.
        if (firstFilled_ >= 0 && index != currentIndex()) {
            setTabVisible(index, false);
        }
    }
    void EndFill() {
        for (int i = std::max(firstFilled_, 0); i < count(); ++i) {
            setTabVisible(i, true);
        }
        firstFilled_ = -1;
    }

private:
    int firstFilled_ = -1; // the first tab of the load under way
};

} // namespace

// ---- Creation -------------------------------------------------------------------------

TFMain::TFMain(const std::vector<std::string>& CommandLine, QWidget* parent)
    : QMainWindow(parent), commandLine_(CommandLine) {
    BuildComponents();
    BuildMenus();
    LoadCaptions();
    StartTriggers();
    setWindowTitle(kMainCaption);
    setWindowIcon(TandemoraIcon());

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int width = screen.width() > 800 ? 900 : screen.width();
    const int height = screen.height() > 700 ? 700 : screen.height();
    resize(width, height);
    if (screen.height() > 700) {
        move((screen.width() - width) / 2, (screen.height() - height) / 2);
    } else {
        setWindowState(Qt::WindowMaximized);
    }
}

TFMain::~TFMain() {
    delete mountNotifier_; // before the watch closes the descriptor it polls
    mountNotifier_ = nullptr;
    // The task windows stop their workers while the main window still exists.
    // The page on show goes last: removing it makes the stack show another page
    // and walk every page left, which for thousands of tasks made the end of the
    // program take longer than the run itself.
    const QWidget* shown = Frame->currentWidget();
    TFSyncMain* last = nullptr;
    for (TFSyncMain* window : OpenTaskWindows()) {
        if (window == shown) {
            last = window;
        } else {
            delete window;
        }
    }
    delete last;
}

void TFMain::BuildComponents() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel_OperTask = new QWidget(central);
    Panel_OperTask->setFixedHeight(26);
    auto* strip = new QHBoxLayout(Panel_OperTask);
    strip->setContentsMargins(0, 0, 0, 0);
    bt_addtask = new QToolButton(Panel_OperTask);
    bt_addtask->setText("+");
    // At the left end also while the tab strip is hidden (no tasks yet).
    strip->addWidget(bt_addtask, 0, Qt::AlignLeft);
    PageControl_tasklist = new TTaskTabBar(Panel_OperTask);
    PageControl_tasklist->setExpanding(false);
    PageControl_tasklist->setContextMenuPolicy(Qt::CustomContextMenu);
    PageControl_tasklist->hide();
    strip->addWidget(PageControl_tasklist, 1);
    layout->addWidget(Panel_OperTask);

    Frame = new QStackedWidget(central);
    layout->addWidget(Frame, 1);
    setCentralWidget(central);

    // Hints and notices can be as long as a path: they are shortened to fit and
    // never widen the window.
    StatusPanel = new TElideLabel(this);
    NoticePanel = new TElideLabel(this);
    statusBar()->addWidget(StatusPanel, 1);
    statusBar()->addWidget(NoticePanel, 1);
    // A notice too long for its panel (a file's path and why it could not be
    // read) is read whole by pointing at it or by clicking it.
    connect(NoticePanel, &TElideLabel::Clicked, this, [this] {
        if (!NoticeText().isEmpty()) {
            MessageBox(this, NoticeText(), "Tandemora", MB_ICONINFORMATION);
        }
    });

    connect(PageControl_tasklist, &QTabBar::currentChanged, this, [this](int index) {
        if (index >= 0) {
            ShowTaskWindow(PageControl_tasklist->tabText(index));
        }
        UpdateMenuStates();
    });
    connect(PageControl_tasklist, &QTabBar::customContextMenuRequested, this, [this](const QPoint& pos) {
        UpdateMenuStates();
        PopupMenu_Task->popup(PageControl_tasklist->mapToGlobal(pos));
    });
}

QAction* TFMain::NewAction(QMenu* menu) {
    auto* action = new QAction(this);
    if (menu != nullptr) {
        menu->addAction(action);
    }
    addAction(action); // keys work whether a menu is open or not
    return action;
}

QAction* TFMain::ForwardAction(QMenu* menu, uint32_t msg) {
    QAction* action = NewAction(menu);
    connect(action, &QAction::triggered, this, [this, msg] { Forward(msg); });
    return action;
}

void TFMain::BuildMenus() {
    MainMenu_Job = menuBar()->addMenu(QString());
    menu02 = menuBar()->addMenu(QString());
    menu03 = menuBar()->addMenu(QString());
    menu04 = menuBar()->addMenu(QString());
    menu05 = menuBar()->addMenu(QString());
    for (QMenu* menu : {MainMenu_Job, menu02, menu03, menu04, menu05}) {
        connect(menu, &QMenu::aboutToShow, this, &TFMain::UpdateMenuStates);
    }

    Action_addTask = NewAction(MainMenu_Job);
    act_newFromTemplate = NewAction(MainMenu_Job);
    Action_DeleteTask = NewAction(MainMenu_Job);
    Action_clone = NewAction(MainMenu_Job);
    Action_Options = ForwardAction(MainMenu_Job, WM_JOB_OPTION);
    Action_saveasT = NewAction(MainMenu_Job);
    MainMenu_Job->addSeparator();
    Action_analyze = ForwardAction(MainMenu_Job, WM_ANAL_JOB);
    Action_sync = ForwardAction(MainMenu_Job, WM_ANAL_SYNC);
    Action_analyzeAll = NewAction(MainMenu_Job);
    Action_SyncAll = NewAction(MainMenu_Job);
    Action_AS = ForwardAction(MainMenu_Job, WM_ANAL_SYNC);
    Action_ASAll = NewAction(MainMenu_Job);
    MainMenu_Job->addSeparator();
    Action_exit = NewAction(MainMenu_Job);

    Action_Notcopy = ForwardAction(menu02, WM_NOT_COPY);
    Action_CTLtoR = ForwardAction(menu02, WM_MOVE_LTOR);
    Action_CTRtoL = ForwardAction(menu02, WM_MOVE_RTOL);

    Action_Log = ForwardAction(menu03, WM_SHOWLOG);
    Action_status = NewAction(menu03);
    Action_status->setCheckable(true);
    Action_status->setChecked(true);
    menu03->addSeparator();
    viewGroup_ = new QActionGroup(this);
    auto viewAction = [this](uint32_t msg) {
        QAction* action = ForwardAction(menu03, msg);
        action->setCheckable(true);
        viewGroup_->addAction(action);
        return action;
    };
    Action_LtoR = viewAction(WM_LTOR);
    Action_RtoL = viewAction(WM_RTOL);
    Action_all = viewAction(WM_ALL);
    Action_changes = viewAction(WM_MODIFY);
    Action_conflicts = viewAction(WM_CONFLICT);
    Action_Errors = viewAction(WM_ERROR);
    menu03->addSeparator();
    Action_Included = viewAction(WM_INCLUDED);
    Action_Excluded = viewAction(WM_EXCLUDED);
    menu03->addSeparator();
    Action_New = viewAction(WM_NEW);
    Action_Overwrite = viewAction(WM_OVERWRITE);
    Action_Delete = viewAction(WM_DELETE);

    Action_program = NewAction(menu04);
    Action_exportTL = NewAction(menu04);
    Action_ImprotTL = NewAction(menu04);

    Action_Manual = NewAction(menu05);
    Action_home = NewAction(menu05);
    act_checknewversion = NewAction(menu05);
    Action_About = NewAction(menu05);

    PopupMenu_Task = new QMenu(this);
    PopupMenu_Task->addAction(Action_DeleteTask);
    PopupMenu_Task->addAction(Action_clone);
    PopupMenu_Task->addAction(Action_saveasT);
    PopupMenu_Task->addAction(Action_Options);

    act_returnFromTray = new QAction("Return Main Windows", this);
    pop_tray = new QMenu(this);
    pop_tray->addAction(act_returnFromTray);
    pop_tray->addSeparator();
    pop_tray->addAction(Action_About);
    pop_tray->addAction(Action_exit);

    Action_addTask->setShortcut(QKeySequence(Qt::ALT | Qt::Key_N));
    Action_DeleteTask->setShortcut(QKeySequence(Qt::ALT | Qt::Key_D));
    Action_analyze->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_A), QKeySequence(Qt::Key_F5)});
    Action_sync->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_S), QKeySequence(Qt::Key_F6)});
    Action_analyzeAll->setShortcut(QKeySequence(Qt::Key_F7));
    Action_SyncAll->setShortcut(QKeySequence(Qt::Key_F8));
    Action_AS->setShortcut(QKeySequence(Qt::Key_F9));
    Action_ASAll->setShortcut(QKeySequence(Qt::Key_F10));
    Action_exit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_X));

    connect(Action_addTask, &QAction::triggered, this, [this] { NewTask(); });
    connect(bt_addtask, &QToolButton::clicked, this, [this] { NewTask(); });
    connect(Action_DeleteTask, &QAction::triggered, this, &TFMain::DeleteTask);
    connect(Action_clone, &QAction::triggered, this, &TFMain::CloneTask);
    connect(Action_analyzeAll, &QAction::triggered, this, [this] { RunAll(false); });
    connect(Action_SyncAll, &QAction::triggered, this, [this] { RunAll(true); });
    connect(Action_ASAll, &QAction::triggered, this, [this] { RunAll(true); });
    connect(Action_exit, &QAction::triggered, this, [this] {
        ExitRequested = 1;
        close();
    });
    connect(Action_status, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
    connect(Action_exportTL, &QAction::triggered, this, &TFMain::AskExport);
    connect(Action_ImprotTL, &QAction::triggered, this, &TFMain::AskImport);
    connect(act_returnFromTray, &QAction::triggered, this, &TFMain::ReturnFromTray);
    connect(act_newFromTemplate, &QAction::triggered, this, [this] {
        const QString name = ChooseTemplate(this);
        if (!name.isEmpty()) {
            NewTaskFromTemplate(FromQ(name));
        }
    });
    connect(Action_saveasT, &QAction::triggered, this, [this] {
        if (TFSyncMain* active = ActiveTaskWindow()) {
            SaveTaskAsTemplate(this, *active->Task);
        }
    });
    connect(Action_program, &QAction::triggered, this, [this] {
        TFTandemoraOptions dialog(this);
        dialog.exec();
    });
    connect(Action_About, &QAction::triggered, this, [this] {
        TAboutBox box(this);
        box.exec();
    });
    connect(act_checknewversion, &QAction::triggered, this, &TFMain::CheckNewVersion);
    connect(Action_Manual, &QAction::triggered, this, [] { OpenManualPage(); });
    connect(Action_home, &QAction::triggered, this, [] { OpenHomePage(); });
    UpdateMenuStates();
}

void TFMain::LoadCaptions() {
    auto menuText = [](const char* key) { return " " + Lang(key) + " "; };
    MainMenu_Job->setTitle(menuText("menu01"));
    menu02->setTitle(menuText("menu02"));
    menu03->setTitle(menuText("menu03"));
    menu04->setTitle(menuText("menu04"));
    menu05->setTitle(menuText("menu05"));

    const struct {
        QAction* Action;
        const char* Caption;
        const char* Hint;
    } actions[] = {
        {Action_addTask, "new", "new_hint"},
        {act_newFromTemplate, "newbyTemplate", "newbyTemplate_Hint"},
        {Action_DeleteTask, "Delete", "Delete_Hint"},
        {Action_clone, "clone", "clone_Hint"},
        {Action_saveasT, "saveasT", "saveasT_Hint"},
        {Action_analyze, "Analyze", "Analyze_Hint"},
        {Action_sync, "Sync", "Sync_Hint"},
        {Action_analyzeAll, "analyzeAll", "analyzeAll_Hint"},
        {Action_SyncAll, "SyncAll", "SyncAll_Hint"},
        {Action_AS, "AandS", "AandS_Hint"},
        {Action_ASAll, "AandSAll", "AandSAll_Hint"},
        {Action_Notcopy, "Notcopy", nullptr},
        {Action_CTLtoR, "CTLtoR", nullptr},
        {Action_CTRtoL, "CTRtoL", nullptr},
        {Action_LtoR, "LtoR", nullptr},
        {Action_RtoL, "RtoL", nullptr},
        {Action_Log, "log", nullptr},
        {Action_status, "status", nullptr},
        {Action_all, "all", nullptr},
        {Action_changes, "changed", nullptr},
        {Action_conflicts, "conflicts", nullptr},
        {Action_Errors, "errors", nullptr},
        {Action_Included, "include", nullptr},
        {Action_Excluded, "exclude", nullptr},
        {Action_New, "new", nullptr},
        {Action_Overwrite, "Overwrite", nullptr},
        {Action_Delete, "delete", nullptr},
        {Action_program, "programoption", "programoption_Hint"},
        {Action_exportTL, "exportTL", "exportTL_Hint"},
        {Action_ImprotTL, "ImprotTL", "ImprotTL_Hint"},
    };
    for (const auto& a : actions) {
        a.Action->setText(" " + Lang(a.Caption));
        if (a.Hint != nullptr) {
            a.Action->setStatusTip(" " + Lang(a.Hint));
        }
    }
    Action_Options->setText(" " + Lang("Options") + "...");
    Action_Options->setStatusTip(" " + Lang("Options_Hint"));
    Action_exit->setText(" " + Lang("exit"));
    Action_exit->setStatusTip(" " + Lang("exit_Hint") + " Tandemora");
    const struct {
        QAction* Action;
        const char* Caption;
        const char* Hint;
    } plainHints[] = {
        {Action_Manual, "Manual", "Manual_hint"},
        {Action_home, "home", "home_hint"},
        {Action_About, "About", "About_hint"},
        {act_checknewversion, "checknewversion", "checknewversion_hint"},
    };
    for (const auto& a : plainHints) {
        a.Action->setText(" " + Lang(a.Caption));
        a.Action->setStatusTip(Lang(a.Hint));
    }
    bt_addtask->setToolTip(Lang("new_hint"));
    bt_addtask->setStatusTip(Lang("new_hint"));
}

// ---- Messages and events ------------------------------------------------------------------

bool TFMain::event(QEvent* event) {
    if (DeliverNotifyEvent(event, this)) {
        return true;
    }
    if (event->type() == QEvent::StatusTip) {
        // The current hint goes to panel 0 while the status bar is shown.
        if (statusBar()->isVisible()) {
            StatusPanel->ShowText(static_cast<QStatusTipEvent*>(event)->tip());
        }
        return true;
    }
    return QMainWindow::event(event);
}

void TFMain::QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) {
    PostNotifyEvent(this, msg, wParam, lParam);
}

void TFMain::HandleNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) {
    switch (msg) {
    case WM_TRAYNOTIFY:
        if (lParam == WM_LBUTTONDOWN) {
            ReturnFromTray();
        } else if (lParam == WM_RBUTTONDOWN) {
            pop_tray->popup(QCursor::pos());
        }
        break;
    case WM_TASKFINISHED:
        // wParam 1: an automatic run ended without its synchronisation (refused
        // or failed before it began); a command-line run still closes, but the
        // computer is not powered off for a sync that never ran.
        TaskFinished(wParam != 1);
        break;
    case WM_TASKRENAMED:
        TaskRenamed();
        break;
    case WM_RETURNFROMTRAY:
        ReturnFromTray();
        break;
    default:
        break;
    }
}

void TFMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) {
        return;
    }
    shown_ = true;
    StatusPanel->setMinimumWidth(width() / 2);
    LoadTaskList("");
    if (PageControl_tasklist->count() == 0) {
        PageControl_tasklist->hide();
    }
    if (SysConfig != nullptr && SysConfig->ShowTrayIcon == 1) {
        AddTrayIcon();
    }
    StartTime = TriggerClock();
    RunCommandLineTask();
    // The program-start triggers follow half a second later; the window stays
    // responsive meanwhile.
    QTimer::singleShot(500, this, [this] { RunTriggers(tkProgramStart, ""); });
    EndUnattendedStartWhenDone();
}

// ---- Task pages -----------------------------------------------------------------------------

// The tab and the task; the window comes when it is needed (TaskWindow).
void TFMain::AddTaskPage(std::unique_ptr<TSyncTask> task) {
    TTaskPage page;
    page.Caption = ToQ(task->SyncName);
    task->LastRun = std::chrono::system_clock::now();
    page.Task = std::move(task);
    page.LastRunTick = TriggerClock();
    pages_.push_back(std::move(page));
    // A tab bar lays every tab out again at each tab it takes, so thousands of
    // tasks cost minutes. A start without a display shows no tabs to anybody
    // and goes without them.
    if (!UnattendedStart()) {
        // The first tab becomes the current one at once, and shows its window.
        static_cast<TTaskTabBar*>(PageControl_tasklist)->AddTab(pages_.back().Caption);
    }
}

TSyncTask& TFMain::PageTask(size_t index) {
    TTaskPage& page = pages_[index];
    return page.Window != nullptr ? *page.Window->Task : *page.Task;
}

int TFMain::PageOf(const TFSyncMain* window) const {
    for (size_t i = 0; i < pages_.size(); ++i) {
        if (window != nullptr && pages_[i].Window == window) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TFSyncMain* TFMain::TaskWindow(int Index) {
    if (Index < 0 || Index >= TaskCount()) {
        return nullptr;
    }
    TTaskPage& page = pages_[Index];
    if (page.Window != nullptr) {
        return page.Window;
    }
    auto* window = new TFSyncMain(this, Frame);
    window->setWindowTitle(page.Caption);
    window->Task = std::move(page.Task);
    window->ShowTaskPaths();
    window->InitView();
    window->SetFirstRunTips(commandLine_.empty());
    window->NobodyWatches = UnattendedStart();
    page.Window = window;
    Frame->addWidget(window);
    connect(window, &TFSyncMain::RunStateChanged, this, &TFMain::UpdateMenuStates);
    connect(window, &TFSyncMain::RunEnded, this, [this, window](TRunEnd outcome, const std::string& reason) {
        CommandLineRunEnded(window, outcome, reason);
    });
    return window;
}

// Every task that reads cleanly gets its page; a damaged one is named (place and
// name) with what is wrong with it, in the status bar and the error log, and
// does not hide the tasks after it.
void TFMain::LoadTaskList(const std::string& FileName) {
    const bool importing = !FileName.empty();
    const std::string path = importing ? FileName : TaskListPath();
    const std::string listError = FromQ(Lang("error_free_tasklist_xml"));
    std::vector<std::unique_ptr<TSyncTask>> tasks;
    std::vector<TDamagedTask> damaged;
    try {
        LoadTasks(path, tasks, damaged);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(listError, e);
        ShowNotice("Tasks not loaded: " + ToQ(listError) + " (" + ToQ(path) + ")");
        if (!importing) {
            taskListError_ = e.what();
        }
        UpdateMenuStates();
        return;
    }
    const size_t before = pages_.size();
    std::vector<std::string> notSaved;
    auto* tabs = static_cast<TTaskTabBar*>(PageControl_tasklist);
    tabs->hide();
    tabs->BeginFill();
    for (std::unique_ptr<TSyncTask>& task : tasks) {
        if (importing) {
            task->SyncID += "_";
            // A task the list did not take would be gone at the next start.
            if (!task->SaveToTaskList(true)) {
                notSaved.push_back(task->SyncName);
                continue;
            }
        }
        AddTaskPage(std::move(task));
    }
    tabs->EndFill();
    tabs->setVisible(tabs->count() > 0);
    if (pages_.size() > before) {
        PageControl_tasklist->setCurrentIndex(0);
        ShowTaskWindow(pages_.front().Caption);
    }
    QStringList problems;
    for (const TDamagedTask& task : damaged) {
        const std::string text = "task " + std::to_string(task.Position) + " \"" + EscapeForLog(task.Name) +
                                 "\": " + EscapeForLog(task.Reason);
        ErrorLogger.LogError(listError, task.ErrorClass, text + " (" + path + ")");
        problems << ToQ(text);
    }
    if (!problems.isEmpty()) {
        ShowNotice("Tasks not loaded: " + problems.join("; ") + " (" + ToQ(path) + ")");
    }
    if (!notSaved.empty()) {
        TellNotSaved(ToQ(std::to_string(notSaved.size())) + " imported tasks were not added");
    }
    if (!importing) {
        damagedTasks_ = std::move(damaged);
    }
    UpdateMenuStates();
}

void TFMain::ShowTaskWindow(const QString& Caption) {
    for (size_t i = 0; i < pages_.size(); ++i) {
        if (pages_[i].Caption == Caption) {
            Frame->setCurrentWidget(TaskWindow(static_cast<int>(i)));
            setWindowTitle(kMainCaption);
            return;
        }
    }
}

TFSyncMain* TFMain::ActiveTaskWindow() const {
    return qobject_cast<TFSyncMain*>(Frame->currentWidget());
}

std::vector<TFSyncMain*> TFMain::TaskWindows() {
    std::vector<TFSyncMain*> windows;
    for (int i = 0; i < TaskCount(); ++i) {
        windows.push_back(TaskWindow(i));
    }
    return windows;
}

std::vector<TFSyncMain*> TFMain::OpenTaskWindows() const {
    std::vector<TFSyncMain*> windows;
    for (const TTaskPage& page : pages_) {
        if (page.Window != nullptr) {
            windows.push_back(page.Window);
        }
    }
    return windows;
}

void TFMain::NewTask(std::unique_ptr<TSyncTask> TemplateTask) {
    TFTaskConfig dialog(this);
    dialog.IsNew = 1;
    if (TemplateTask) {
        dialog.Task = std::move(TemplateTask);
    }
    const int result = dialog.exec();
    // A task that Apply saved before Cancel is in the task list: it gets its page
    // too, as it would at the next start.
    std::unique_ptr<TSyncTask> task;
    if (result == QDialog::Accepted) {
        task = std::move(dialog.Task);
    } else if (dialog.LastSaved) {
        task = std::move(dialog.LastSaved);
    } else {
        return;
    }
    AddTaskPage(std::move(task));
    PageControl_tasklist->show();
    const int last = PageControl_tasklist->count() - 1;
    PageControl_tasklist->setCurrentIndex(last);
    ShowTaskWindow(PageControl_tasklist->tabText(last));
    UpdateMenuStates();
}

void TFMain::NewTaskFromTemplate(const std::string& Name) {
    std::unique_ptr<TSyncTask> task;
    try {
        task = LoadTemplateTask(Name);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("error_free_tasklist_xml")), e);
        MessageBox(this,
                   "The template \"" + ToQ(Name) + "\" could not be read from " +
                       ToQ(TemplateFilePath(Name)) + ".\rThe error log ErrorInfo.txt tells why.",
                   "Tandemora", MB_ICONERROR);
        return;
    }
    NewTask(std::move(task));
}

// The updater replaces the program's files, so the program ends once it runs;
// a running task keeps it (and the old version) going.
void TFMain::CheckNewVersion() {
    TDM dm;
    dm.Owner = this;
    dm.CanEnd = [this] { return !AnyTaskRunning(); };
    dm.CheckForUpdate(true);
    if (dm.TerminateRequested) {
        ExitRequested = 1;
        close();
    }
}

void TFMain::CloneTask() {
    TFSyncMain* active = ActiveTaskWindow();
    if (active == nullptr) {
        return;
    }
    std::unique_ptr<TSyncTask> task = TSyncTask::CloneAsNew(*active->Task);
    if (!task->SaveToTaskList(true)) {
        TellNotSaved("The clone of the task \"" + ToQ(active->Task->SyncName) + "\" was not made");
        return;
    }
    AddTaskPage(std::move(task));
    PageControl_tasklist->show();
    const int last = PageControl_tasklist->count() - 1;
    PageControl_tasklist->setCurrentIndex(last);
    ShowTaskWindow(PageControl_tasklist->tabText(last));
    UpdateMenuStates();
}

void TFMain::DeleteTask() {
    TFSyncMain* active = ActiveTaskWindow();
    const int tab = PageControl_tasklist->currentIndex();
    if (active == nullptr || tab < 0) {
        return;
    }
    const QString caption = PageControl_tasklist->tabText(tab);
    // Its workers hold the window: a running task is not deleted.
    if (active->IsBusy()) {
        ShowNotice("The task \"" + caption + "\" is running; it cannot be deleted now.");
        return;
    }
    const QString question = Lang("DeleteJob") + " \" " + caption + " \" ?";
    if (MessageBox(this, question, "Tandemora", MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2) != IDOK) {
        return;
    }
    // A trigger may have started it while the question was open.
    if (active->IsBusy() || ActiveTaskWindow() != active) {
        ShowNotice("The task \"" + caption + "\" is running; it cannot be deleted now.");
        return;
    }
    // A task the list still holds would come back at the next start.
    if (!active->Task->DeleteTaskFromList(active->Task->SyncID)) {
        TellNotSaved("The task \"" + caption + "\" was not deleted");
        return;
    }
    // A scheduled run starts the program with the task's name: it goes with the
    // last task of that name, or cron would go on starting a task that is gone.
    // The switches are no guide: a run may have been scheduled in the task
    // options and the options then cancelled.
    int sameName = 0;
    for (int i = 0; i < PageControl_tasklist->count(); ++i) {
        sameName += PageControl_tasklist->tabText(i) == caption ? 1 : 0;
    }
    if (sameName == 1) {
        DeleteScheduledTask(active->Task->SyncName);
    }
    // The page goes before the tab: removing the tab shows another page.
    pages_.erase(pages_.begin() + PageOf(active));
    Frame->removeWidget(active);
    delete active;
    PageControl_tasklist->removeTab(tab);
    if (PageControl_tasklist->count() > 0) {
        ShowTaskWindow(PageControl_tasklist->tabText(PageControl_tasklist->currentIndex()));
    } else {
        PageControl_tasklist->hide();
    }
    UpdateMenuStates();
}

void TFMain::AskExport() {
    if (ActiveTaskWindow() == nullptr) {
        return;
    }
    const QString name = AskFileName(this, TFileDialogKind::Save, "td|*.td");
    if (!name.isEmpty()) {
        ExportTaskList(FromQ(name));
    }
}

void TFMain::AskImport() {
    if (ActiveTaskWindow() == nullptr) {
        return;
    }
    const QString name = AskFileName(this, TFileDialogKind::Open, "td|*.td");
    if (!name.isEmpty()) {
        ImportTaskList(FromQ(name));
    }
}

// The copy holds the task passwords, so it is written like the task list itself:
// mode 0600, replaced in one step.
void TFMain::ExportTaskList(const std::string& FileName) {
    std::string target = FileName;
    if (!EndsWithTd(target)) {
        target += ".td";
    }
    try {
        std::ifstream in(TaskListPath(), std::ios::binary);
        if (!in) {
            throw EFOpenError("Cannot open file \"" + TaskListPath() + "\"");
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        ReplaceFileAtomically(target, bytes.str(), 0600);
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Export", e);
        ShowNotice("The task list could not be exported to " + ToQ(target));
    }
}

void TFMain::ImportTaskList(const std::string& FileName) {
    LoadTaskList(FileName);
}

// ---- Runs ---------------------------------------------------------------------------------------

void TFMain::Forward(uint32_t msg) {
    TFSyncMain* active = ActiveTaskWindow();
    if (active != nullptr) {
        SendNotifyMessage(active, msg, 0, 10);
        // The window may have refused the request (no result yet, a sync walking
        // its rows): the checked view and the offered overrides follow the window.
        UpdateMenuStates();
    }
}

void TFMain::RunAll(bool WithSync) {
    for (TFSyncMain* window : TaskWindows()) {
        // A task that is already running goes on as it is.
        if (window->IsBusy()) {
            continue;
        }
        window->Task->Unattended = false;
        if (WithSync) {
            window->AnalyzeAndSync();
        } else {
            window->StartAnalyze();
        }
    }
}

// A task whose window was never made has never run.
bool TFMain::AnyTaskRunning() const {
    for (TFSyncMain* window : OpenTaskWindows()) {
        if (window->IsBusy()) {
            return true;
        }
    }
    return false;
}

void TFMain::RunCommandLineTask() {
    if (commandLine_.empty()) {
        return;
    }
    const std::string wanted = TrimControls(commandLine_[0]);
    bool found = false;
    for (size_t i = 0; i < pages_.size() && !wanted.empty(); ++i) {
        if (TrimControls(PageTask(i).SyncName) != wanted) {
            continue;
        }
        TFSyncMain* window = TaskWindow(static_cast<int>(i));
        TSyncTask& task = *window->Task;
        found = true;
        CloseAfterRun = 1;
        if (task.TSsync != 1 && task.TSanalyze != 1) {
            // A run scheduled for a task whose switches were turned off since.
            const std::string why = "The task is set to run neither an analysis nor a sync from the "
                                    "command line; nothing was run.";
            task.RecordNotStarted(kLogActionAnalysis, why);
            ReportCommandLine(ecNotStarted, "\"" + task.SyncName + "\": " + why);
            continue;
        }
        commandRuns_.push_back(window);
        commandLineStarted_ = true;
        task.Unattended = true;
        if (task.TSsync == 1) {
            window->AnalyzeAndSync();
        } else {
            window->StartAnalyze();
        }
    }
    // A task of that name may be there and unreadable, also beside one that
    // reads cleanly: it is not run, and the status says so.
    for (const TDamagedTask& damaged : damagedTasks_) {
        if (!wanted.empty() && TrimControls(damaged.Name) == wanted) {
            found = true;
            ReportCommandLine(ecConfigUnreadable,
                              "The task \"" + damaged.Name + "\" (task " + std::to_string(damaged.Position) +
                                  " of " + TaskListPath() + ") could not be read: " + damaged.Reason);
        }
    }
    if (found) {
        return;
    }
    // Or the whole list may be unreadable.
    if (!taskListError_.empty()) {
        ReportCommandLine(ecConfigUnreadable,
                          "The task list " + TaskListPath() + " could not be read: " + taskListError_);
        return;
    }
    ReportCommandLine(ecTaskNotFound, "No task is named \"" + wanted + "\" in " + TaskListPath() + ".");
}

void TFMain::ReportCommandLine(int Code, const std::string& Text) {
    exitCode_ = std::max(exitCode_, Code);
    std::fprintf(stderr, "Tandemora: %s\n", Text.c_str());
    std::fflush(stderr);
    ErrorLogger.LogError("Command line run", "ERunError", Text);
}

void TFMain::CommandLineRunEnded(TFSyncMain* window, TRunEnd outcome, const std::string& reason) {
    const auto run = std::find(commandRuns_.begin(), commandRuns_.end(), window);
    if (run == commandRuns_.end()) {
        return; // a run the command line did not start
    }
    commandRuns_.erase(run);
    const std::string name = "\"" + window->Task->SyncName + "\": ";
    switch (outcome) {
    case TRunEnd::Analysed:
    case TRunEnd::Synchronised:
        break;
    case TRunEnd::NotStarted:
        ReportCommandLine(ecNotStarted, name + "the run did not start: " + reason);
        break;
    case TRunEnd::ItemsFailed:
        ReportCommandLine(ecItemsFailed, name + "the sync ended, " + reason);
        break;
    case TRunEnd::Cancelled:
        ReportCommandLine(ecCancelled, name + "the run was " + reason);
        break;
    }
    // What a run that ended may have left undone, each said on its own.
    if (outcome == TRunEnd::Synchronised || outcome == TRunEnd::ItemsFailed) {
        const int conflicts = window->ConflictsLeft();
        if (conflicts > 0) {
            ReportCommandLine(ecConflictsLeft,
                              name + "the sync left " + std::to_string(conflicts) +
                                  (conflicts == 1 ? " item" : " items") +
                                  " as conflicts (changed on both sides, or not known to be in step); "
                                  "nothing was copied for them");
        }
    }
    if (outcome != TRunEnd::NotStarted && outcome != TRunEnd::Cancelled && !window->UnreadFolders().empty()) {
        ReportCommandLine(ecFoldersNotRead, name + window->UnreadFolders());
    }
    // The record is lost, not the work: the status stays the sync's, and the
    // error stream says it (the error log may be on the same full disk).
    if (!window->LogFailure().empty()) {
        ReportCommandLine(ecOk, name + "the task log could not be written: " + window->LogFailure());
    }
    EndUnattendedStartWhenDone();
}

void TFMain::EndOnRequest(const std::string& Why) {
    if (!commandLine_.empty()) {
        ReportCommandLine(ecOk, Why);
    }
    endRequested_ = true;
    for (TFSyncMain* window : OpenTaskWindows()) {
        if (window->IsBusy()) {
            window->CancelRun(Why);
        }
    }
    // A sync stops after the item it is on; the workers of a cancelled analysis
    // stop after the folder they list. The window goes once none is left.
    auto* wait = new QTimer(this);
    connect(wait, &QTimer::timeout, this, [this, wait] {
        if (closedForGood_ || AnyTaskRunning()) {
            return;
        }
        wait->stop();
        ExitRequested = 1;
        close();
    });
    wait->start(50);
    // A call into a server that cannot be broken off (libsmbclient offers no
    // way to) would hold the end for as long as the server's stall limit. A
    // program asked to end does not wait that long: what the run had not
    // finished is proposed again at the next run, its part files go then, and
    // the kernel lets go of the run lock.
    QTimer::singleShot(EndGraceMs, this, [this] {
        if (closedForGood_ || !AnyTaskRunning()) {
            return;
        }
        ReportCommandLine(ecCancelled, "a run did not stop within " + std::to_string(EndGraceMs / 1000) +
                                           " s of the request to end (a call into a server that cannot "
                                           "be broken off); the program ends without it.");
        std::_Exit(ExitCode());
    });
}

// Without a display nobody can close the window: once every run the command line
// started has ended (and a power-off it asked for has had its wait), the program
// ends, also where the options would hide it in the notification area.
void TFMain::EndUnattendedStartWhenDone() {
    if (!UnattendedStart() || !shown_ || !commandRuns_.empty() || powerOffPending_ || closedForGood_) {
        return;
    }
    // The window that reported last finishes its handler first.
    QTimer::singleShot(0, this, [this] {
        if (!closedForGood_ && commandRuns_.empty() && !powerOffPending_) {
            ExitRequested = 1;
            close();
        }
    });
}

void TFMain::RunTriggers(int32_t Kind, const std::string& DriveLetter) {
    std::vector<std::string> mountPoints;
    if (!DriveLetter.empty()) {
        mountPoints.push_back(DriveLetter);
    }
    RunTriggerPass(Kind, mountPoints);
}

// One pass over the task windows. Volumes that arrive together (the partitions of
// one disk) share a pass, so that the task of the first one does not hold back
// the tasks of the others by running already.
void TFMain::RunTriggerPass(int32_t Kind, const std::vector<std::string>& MountPoints) {
    // A start without a display runs what its command line names and nothing else;
    // a program that is ending starts nothing.
    if (AnyTaskRunning() || UnattendedStart() || endRequested_) {
        return;
    }
    // An analysis the command line asked for is often over before the
    // program-start triggers come; their tasks still wait for another start.
    if (Kind == tkProgramStart && commandLineStarted_) {
        return;
    }
    // Each task decides from its own switches; its window is made only to run it.
    for (size_t i = 0; i < pages_.size(); ++i) {
        if (pages_[i].Window != nullptr && pages_[i].Window->IsBusy()) {
            continue;
        }
        TSyncTask& task = PageTask(i);
        auto analyzeAndSync = [&] {
            task.Unattended = true;
            TaskWindow(static_cast<int>(i))->AnalyzeAndSync();
        };
        auto analyze = [&] {
            task.Unattended = true;
            TaskWindow(static_cast<int>(i))->StartAnalyze();
        };
        switch (Kind) {
        case tkProgramStart:
            if (task.StartSync == 1) {
                analyzeAndSync();
            } else if (task.StartAnalyze == 1) {
                analyze();
            }
            break;
        case tkVolumeArrival: {
            const bool uses =
                std::any_of(MountPoints.begin(), MountPoints.end(),
                            [&task](const std::string& point) { return TFSyncMain::UsesDrive(task, point); });
            if (task.ConnectSync == 1 && uses) {
                analyzeAndSync();
            } else if (task.ConnectAnalyze == 1 && uses) {
                analyze();
            }
            break;
        }
        case tkLogoff:
            if (task.LogoffSync == 1) {
                analyzeAndSync();
                return;
            }
            if (task.LogoffAnalyze == 1) {
                analyze();
            }
            break;
        case tkPeriodic: {
            const std::chrono::milliseconds syncTime = TriggerClock();
            if (task.PeriodSync == 1 && PeriodDue(i, syncTime)) {
                PeriodicStart(i, syncTime);
                analyzeAndSync();
                break;
            }
            const std::chrono::milliseconds analyzeTime = TriggerClock();
            if (task.PeriodAnalyze == 1 && PeriodDue(i, analyzeTime)) {
                PeriodicStart(i, analyzeTime);
                analyze();
            }
            break;
        }
        default:
            break;
        }
    }
}

// ---- Triggers ---------------------------------------------------------------------------------

void TFMain::StartTriggers() {
    TriggerClock = BootClock;
    StartTime = TriggerClock();
    Timer_task = new QTimer(this);
    Timer_task->setInterval(60000);
    connect(Timer_task, &QTimer::timeout, this, &TFMain::Timer_taskTimer);
    Timer_task->start();
    Timer_volume = new QTimer(this);
    Timer_volume->setSingleShot(true);
    connect(Timer_volume, &QTimer::timeout, this, &TFMain::VolumeWaitOver);
    // The session manager asks before the session ends (log-off, shut-down).
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        // Refusing needs the session manager's leave to interact; without it the
        // session ends whatever the answer.
        if (!WMQueryEndSession() && manager.allowsInteraction()) {
            manager.cancel();
            manager.release();
        }
    });
}

// The timer counts on a clock that only moves forward. A tick that comes late
// (the computer slept, the main thread was held up) only restarts the count:
// leaving the start where it was would stop the periodic triggers for good.
void TFMain::Timer_taskTimer() {
    const std::chrono::milliseconds now = TriggerClock();
    const long long minutes = WholeMinutes(now - StartTime);
    StartTime = now;
    if (minutes < 0 || minutes > 2) {
        return;
    }
    RunTriggers(tkPeriodic, "");
}

// Due once the whole minutes since the task's last start (or since it was
// loaded) reach one less than its period; a period of 0 or 1 minute is due at
// every tick. A period that went by while some task was running is made up at
// the first tick that finds nothing running, instead of never coming again. A
// negative period is no period at all.
bool TFMain::PeriodDue(size_t page, std::chrono::milliseconds now) {
    const TSyncTask& task = PageTask(page);
    const long long period = static_cast<long long>(task.Hours) * 60 + task.minutes;
    return period >= 0 && WholeMinutes(now - pages_[page].LastRunTick) >= period - 1;
}

void TFMain::PeriodicStart(size_t page, std::chrono::milliseconds now) {
    pages_[page].LastRunTick = now;
    PageTask(page).LastRun = std::chrono::system_clock::now();
}

void TFMain::WatchMountTable(const std::string& Path) {
    delete mountNotifier_;
    mountNotifier_ = nullptr;
    Timer_volume->stop();
    arrivedVolumes_.clear();
    if (!mountWatch_.Open(Path)) {
        return; // without the table no volume starts a task; everything else works
    }
    mountNotifier_ = new QSocketNotifier(mountWatch_.Fd(), QSocketNotifier::Exception, this);
    connect(mountNotifier_, &QSocketNotifier::activated, this, &TFMain::WMDeviceChange);
}

void TFMain::WMDeviceChange() {
    const std::vector<std::string> arrived = mountWatch_.Refresh();
    if (arrived.empty()) {
        return;
    }
    for (const std::string& point : arrived) {
        if (std::find(arrivedVolumes_.begin(), arrivedVolumes_.end(), point) == arrivedVolumes_.end()) {
            arrivedVolumes_.push_back(point);
        }
    }
    // Each arrival restarts the wait, so volumes that come together start their
    // tasks together once the last of them has had its time to settle.
    Timer_volume->start(VolumeDelay);
}

void TFMain::VolumeWaitOver() {
    std::vector<std::string> waited;
    waited.swap(arrivedVolumes_);
    // A volume that was taken away again during the wait starts nothing.
    WMDeviceChange();
    std::vector<std::string> present;
    for (const std::string& point : waited) {
        if (IsMounted(mountWatch_.Table(), point)) {
            present.push_back(point);
        }
    }
    if (!present.empty()) {
        RunTriggerPass(tkVolumeArrival, present);
    }
}

bool TFMain::WMQueryEndSession() {
    RunTriggers(tkLogoff, "");
    return !AnyTaskRunning();
}

// A synchronisation has ended. The waits run on timers, so the window stays
// responsive; what they lead to is decided again when they are over.
void TFMain::TaskFinished(bool Synchronised) {
    if (Synchronised && SysConfig != nullptr && SysConfig->AutoClose == 1 && !AnyTaskRunning() &&
        !endRequested_) {
        powerOffPending_ = true;
        QTimer::singleShot(PowerOffDelay, this, [this] {
            powerOffPending_ = false;
            // A task started during the wait keeps the computer on; a program
            // that was asked to end only ends.
            if (!AnyTaskRunning() && !endRequested_) {
                ShutdownComputer();
            }
            CloseAfterCommandLineRun();
        });
        return;
    }
    CloseAfterCommandLineRun();
}

void TFMain::CloseAfterCommandLineRun() {
    if (CloseAfterRun == 0) {
        return;
    }
    if (UnattendedStart()) {
        EndUnattendedStartWhenDone();
        return;
    }
    QTimer::singleShot(CloseDelay, this, [this] { close(); });
}

// The task options were saved: the page follows the task's (possibly new) name.
// The window's caption follows too, since tab and window are paired by caption.
void TFMain::TaskRenamed() {
    TFSyncMain* active = ActiveTaskWindow();
    const int tab = PageControl_tasklist->currentIndex();
    if (active == nullptr || tab < 0) {
        return;
    }
    const QString name = ToQ(active->Task->SyncName);
    PageControl_tasklist->setTabText(tab, name);
    pages_[PageOf(active)].Caption = name;
    active->setWindowTitle(name);
}

// ---- Menus ------------------------------------------------------------------------------------

void TFMain::UpdateMenuStates() {
    TFSyncMain* active = ActiveTaskWindow();
    const bool any = active != nullptr;
    for (QAction* action : {Action_DeleteTask, Action_clone, Action_analyzeAll, Action_SyncAll, Action_AS,
                            Action_ASAll, Action_Log, Action_exportTL, Action_ImprotTL, Action_saveasT}) {
        action->setEnabled(any);
    }
    Action_analyze->setEnabled(any && active->BitBtn_Analyze->isEnabled());
    Action_sync->setEnabled(any && active->BitBtn_Sync->isEnabled());
    Action_Options->setEnabled(any && active->bt_taskconfig->isEnabled());
    Action_Notcopy->setEnabled(any && active->act_pop_Donotcopy->isEnabled());
    Action_CTLtoR->setEnabled(any && active->act_pop_LtoR->isEnabled());
    Action_CTRtoL->setEnabled(any && active->act_pop_RtoL->isEnabled());
    const std::pair<QAction*, QAction*> views[] = {
        {Action_LtoR, any ? active->Action_LtoR : nullptr},
        {Action_RtoL, any ? active->Action_RtoL : nullptr},
        {Action_all, any ? active->Action_all : nullptr},
        {Action_changes, any ? active->Action_changes : nullptr},
        {Action_conflicts, any ? active->Action_conflicts : nullptr},
        {Action_Errors, any ? active->Action_Errors : nullptr},
        {Action_Included, any ? active->Action_Included : nullptr},
        {Action_Excluded, any ? active->Action_Excluded : nullptr},
        {Action_New, any ? active->Action_New : nullptr},
        {Action_Overwrite, any ? active->Action_Overwrite : nullptr},
        {Action_Delete, any ? active->Action_Delete : nullptr},
    };
    for (const auto& [own, windows] : views) {
        own->setEnabled(windows != nullptr && windows->isEnabled());
        if (windows != nullptr && windows->isChecked()) {
            own->setChecked(true);
        }
    }
}

// ---- Notification area ------------------------------------------------------------------------

void TFMain::AddTrayIcon() {
    if (trayIcon_ != nullptr) {
        return;
    }
    trayIcon_ = new QSystemTrayIcon(windowIcon(), this);
    trayIcon_->setToolTip("Tandemora");
    trayIcon_->setContextMenu(pop_tray);
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) {
            SendNotifyMessage(this, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
        }
    });
    trayIcon_->show();
}

void TFMain::RemoveTrayIcon() {
    if (SysConfig != nullptr) {
        try {
            SysConfig->ClearFirstRun();
        } catch (const std::exception& e) {
            ErrorLogger.LogError(kConfigAccessError, e);
        }
    }
    if (trayIcon_ != nullptr) {
        trayIcon_->hide();
        delete trayIcon_;
        trayIcon_ = nullptr;
    }
}

void TFMain::HideToTray() {
    AddTrayIcon();
    hiddenToTray_ = true;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
    } else {
        // Without a notification area an icon could never bring the window back,
        // so the window is only minimised.
        showMinimized();
    }
}

void TFMain::ReturnFromTray() {
    hiddenToTray_ = false;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TFMain::closeEvent(QCloseEvent* event) {
    if (closedForGood_) {
        event->accept();
        return;
    }
    if (AnyTaskRunning()) {
        event->ignore();
        return;
    }
    const bool hideToTray = SysConfig != nullptr && SysConfig->HideTaskToTray == 1;
    if (!hideToTray || ExitRequested != 0) {
        RemoveTrayIcon();
        closedForGood_ = true;
        event->accept();
        emit Closed();
        return;
    }
    event->ignore();
    HideToTray();
}

// A change the task list did not take: the list is left as it is, and the
// user learns it in a box (the error log holds the reason).
void TFMain::TellNotSaved(const QString& what) {
    MessageBox(this,
               what + ": the task list " + ToQ(TaskListPath()) +
                   " could not be read or written.\rThe error log ErrorInfo.txt tells why.",
               "Tandemora", MB_ICONERROR);
}

void TFMain::ShowNotice(const QString& text) {
    NoticePanel->ShowText(text);
    NoticePanel->setCursor(text.isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

QString TFMain::NoticeText() const {
    return NoticePanel->text();
}

} // namespace tandemora
