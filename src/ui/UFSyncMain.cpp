#include "ui/UFSyncMain.h"

#include "dialogs/UFSelectFolder.h"
#include "dialogs/UFTaskConfig.h"
#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "tasks/TaskList.h"
#include "tasks/UTSysConfig.h"
#include "tasks/UTTaskLog.h"
#include "ui/UElideLabel.h"
#include "ui/UHintWin.h"
#include "ui/UMessageBox.h"
#include "ui/UNotifyEvent.h"
#include "ui/UQtText.h"
#include "ui/UResultModel.h"

#include <QAction>
#include <QActionGroup>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QCursor>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>

namespace tandemora {

namespace {

// Log texts of the checks before an analysis.
const char* const kSameFolders = "Left and right folders are the same";
const char* const kNestedFolders = "Cannot Analyze nested folders.";
const char* const kEmptyFolders = "Folders is empty.";

uint32_t GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

bool IsDiskKind(int32_t deviceType) {
    return deviceType == dtLocal || deviceType == dtNetShare;
}

bool IsRemoteKind(int32_t deviceType) {
    return deviceType == dtFtp || deviceType == dtWebDav;
}

std::string Megabytes(int64_t bytes) {
    return std::to_string(bytes / 1024 / 1024);
}

// The volume that holds a disk endpoint's folder: its mount point (a network
// share: the share root) and its size and free bytes. False when it could not be
// measured.
bool MeasureVolume(const TFolderSource& source, std::string& root, int64_t& total, int64_t& available) {
    const std::string& path = source.FolerAllName;
    const bool share = source.DeviceType == dtNetShare || fs::IsUncPath(path);
    total = 0;
    available = 0;
    root = share ? TSyncTask::GetShareRoot(path) : fs::MountPointOf(path);
    // A local folder that does not exist yet is measured on its nearest parent.
    fs::DiskSpace space;
    if (!fs::FreeSpace(share ? root : path, space)) {
        return false;
    }
    total = space.Total;
    available = space.Available;
    return true;
}

// A path as a list of its parts, "." and doubled separators taken out.
std::filesystem::path Normal(const std::string& path) {
    return std::filesystem::path(path).lexically_normal();
}

bool LiesUnder(const std::string& path, const std::string& mountPoint) {
    if (path.empty() || mountPoint.empty() || fs::IsUncPath(path) || path[0] != '/') {
        return false;
    }
    const std::filesystem::path p = Normal(path);
    const std::filesystem::path m = Normal(mountPoint);
    auto pi = p.begin();
    for (auto mi = m.begin(); mi != m.end(); ++mi) {
        if (mi->empty()) {
            continue; // the empty last part of a mount point written with a trailing "/"
        }
        while (pi != p.end() && pi->empty()) {
            ++pi;
        }
        if (pi == p.end() || *pi != *mi) {
            return false;
        }
        ++pi;
    }
    return true;
}

// A text of the language file, or the built-in one when the file lacks the key.
QString LangOr(const char* key, const char* fallback) {
    const QString text = Lang(key);
    return text.isEmpty() ? QString::fromLatin1(fallback) : text;
}

// A status text that may hold a path of any length: each long run of
// characters without a blank (a path) keeps its start and its end and loses
// its middle, so the words around it, the reason at the end included, stay in
// view. A path of a million characters would otherwise be laid out in full
// for the label and its hint.
QString ShortenedPaths(const std::string& text) {
    constexpr int kLongest = 40;
    QStringList words = ToQ(text).split(' ');
    for (QString& word : words) {
        if (word.size() > kLongest) {
            word = word.left(kLongest / 2) + QChar(0x2026) + word.right(kLongest / 2 - 1);
        }
    }
    return words.join(' ');
}

// The splitter between the result (tree, filter, buttons, status) and the log
// panel. The tree gets the height first: as the window grows short, the log
// gives up its height until the tree shows its rows, and goes entirely once it
// would be too short to read, before the tree shrinks any further. A height the
// person set by dragging the handle is the log's wish from then on.
class TTreeFirstSplitter : public QSplitter {
public:
    TTreeFirstSplitter(QWidget* parent, std::function<int()> upperWanted)
        : QSplitter(Qt::Vertical, parent), upperWanted_(std::move(upperWanted)) {
        connect(this, &QSplitter::splitterMoved, this, [this] { logWanted_ = sizes().value(1); });
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QSplitter::resizeEvent(event);
        Arrange();
    }

private:
    void Arrange() {
        const QList<int> now = sizes();
        if (now.size() < 2 || widget(1)->isHidden()) {
            return;
        }
        const int total = now[0] + now[1];
        const int wanted =
            logWanted_ >= 0 ? logWanted_ : std::min(total / 4, 7 * fontMetrics().lineSpacing());
        int log = std::min(wanted, std::max(0, total - upperWanted_()));
        if (log < 3 * fontMetrics().lineSpacing()) {
            log = 0;
        }
        if (log != now[1]) {
            setSizes({total - log, log});
        }
    }

    std::function<int()> upperWanted_;
    int logWanted_ = -1; // none yet: seven lines, at most a quarter of the height
};

// Holds the status line outside the window's layout. The status changes with
// every item a sync copies, and a label inside the layout would have the whole
// window laid out again each time. The label fills this holder, which keeps the
// height of one line of text.
class TStatusHolder : public QWidget {
public:
    explicit TStatusHolder(QWidget* parent) : QWidget(parent) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void Hold(QLabel* label) {
        label_ = label;
        label->setParent(this);
        setFixedHeight(label->sizeHint().height());
    }
    QSize sizeHint() const override { return QSize(0, height()); }
    QSize minimumSizeHint() const override { return QSize(0, height()); }

protected:
    void resizeEvent(QResizeEvent*) override {
        if (label_ != nullptr) {
            label_->setGeometry(rect());
        }
    }

private:
    QLabel* label_ = nullptr;
};

} // namespace

// ---- Creation -------------------------------------------------------------------------

TFSyncMain::TFSyncMain(NotifyTarget* mainWnd, QWidget* parent)
    : QWidget(parent), Task(std::make_unique<TSyncTask>()), mainWnd_(mainWnd) {
    BuildControls();
    BuildActions();
    SyncAfterAnalyze = 0;
    LoadCaptions();
}

TFSyncMain::~TFSyncMain() {
    destroying_ = true;
    Timer1->stop();
    StopWorkers();
}

// The window goes while workers may still run (the program ends): every worker
// is stopped and waited for, and none of their end handlers touches the window.
void TFSyncMain::StopWorkers() {
    if (SyncThread != nullptr) {
        // The sync thread frees itself; its end handler, which runs through the
        // event queue, only notes the end while the window is going.
        SyncThread->Terminate();
        while (Syncing != 0) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
            QThread::msleep(5);
        }
    }
    for (TFileOper* oper : {LeftOper.get(), RightOper.get()}) {
        if (oper != nullptr) {
            oper->OnTerminate = nullptr;
            oper->Stop();
        }
    }
    if (AnalyzeThread) {
        AnalyzeThread->OnTerminate = nullptr;
        AnalyzeThread->StopAnalysis();
    }
    AnalyzeThread.reset();
    LeftOper.reset();
    RightOper.reset();
}

void TFSyncMain::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);

    // Folder bar: left browse, left path, task options, right browse, right path.
    auto* bar = new QHBoxLayout();
    bt_LBrowse = new QPushButton(this);
    edit_LFolder = new QLineEdit(this);
    bt_taskconfig = new QToolButton(this);
    bt_taskconfig->setIconSize(TButtonImages::kDirectionSize);
    bt_taskconfig->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bt_RBrowse = new QPushButton(this);
    Edit_RFolder = new QLineEdit(this);
    bar->addWidget(bt_LBrowse);
    bar->addWidget(edit_LFolder, 1);
    bar->addWidget(bt_taskconfig);
    bar->addWidget(bt_RBrowse);
    bar->addWidget(Edit_RFolder, 1);
    layout->addLayout(bar);
    connect(bt_LBrowse, &QPushButton::clicked, this, &TFSyncMain::bt_LBrowseClick);
    connect(bt_RBrowse, &QPushButton::clicked, this, &TFSyncMain::bt_RBrowseClick);
    connect(bt_taskconfig, &QToolButton::clicked, this, &TFSyncMain::bt_taskconfigClick);
    connect(edit_LFolder, &QLineEdit::editingFinished, this, &TFSyncMain::edit_LFolderExit);
    connect(Edit_RFolder, &QLineEdit::editingFinished, this, &TFSyncMain::Edit_RFolderExit);

    // Enough rows of the tree to review a result: the log yields before the
    // tree gets fewer.
    constexpr int kTreeRows = 10;
    auto* splitter = new TTreeFirstSplitter(this, [this] {
        QWidget* upper = VST1->parentWidget();
        const int rowHeight = std::max(VST1->iconSize().height(), VST1->fontMetrics().height()) + 4;
        const int tree = VST1->header()->sizeHint().height() + kTreeRows * rowHeight + 2 * VST1->frameWidth();
        return upper->minimumSizeHint().height() - VST1->minimumSizeHint().height() + tree;
    });
    layout->addWidget(splitter, 1);

    auto* upper = new QWidget(splitter);
    auto* upperLayout = new QVBoxLayout(upper);
    upperLayout->setContentsMargins(0, 0, 0, 0);

    model_ = new TResultRowsModel(&rows_, this);
    VST1 = new TResultView(model_, upper);
    upperLayout->addWidget(VST1, 1);
    // File rows take their extension's icon from the view's image list.
    rows_.ExtImageIndex = [this](const std::string& ext) { return VST1->ImageList1.GetExtImageIndex(ext); };
    connect(VST1, &TResultView::LeftClick, this, &TFSyncMain::UpdatePopupActions);
    connect(VST1, &TResultView::RightRelease, this, &TFSyncMain::PopupAt);
    // Moving the focus with the keys keeps the offered overrides in step as well.
    connect(VST1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TFSyncMain::UpdatePopupActions);

    // Action panel: the results filter on the left and the three run buttons
    // anchored at the right edge; below them the status line, the progress bar
    // and the elapsed seconds. The filter's captions carry counts that change
    // with every analysis and the status line can hold a whole path: the room
    // between them takes up the difference, so the buttons stay where they are.
    auto* panel = new QHBoxLayout();
    GroupBox_ResultsFilter = new QGroupBox(upper);
    auto* filterLayout = new QHBoxLayout(GroupBox_ResultsFilter);
    rb_all = new QRadioButton(GroupBox_ResultsFilter);
    rb_changed = new QRadioButton(GroupBox_ResultsFilter);
    rb_conflicts = new QRadioButton(GroupBox_ResultsFilter);
    rb_errors = new QRadioButton(GroupBox_ResultsFilter);
    radioGroup_ = new QButtonGroup(this);
    for (QRadioButton* rb : {rb_all, rb_changed, rb_conflicts, rb_errors}) {
        filterLayout->addWidget(rb);
        radioGroup_->addButton(rb);
    }
    rb_changed->setChecked(true);
    // Only a person's click runs a view; checking a radio from code does not.
    connect(rb_all, &QRadioButton::clicked, this, [this] { ViewActionExecute(vkAll); });
    connect(rb_changed, &QRadioButton::clicked, this, [this] { ViewActionExecute(vkChanged); });
    connect(rb_conflicts, &QRadioButton::clicked, this, [this] { ViewActionExecute(vkConflicts); });
    connect(rb_errors, &QRadioButton::clicked, this, [this] { ViewActionExecute(vkErrors); });
    GroupBox_ResultsFilter->setEnabled(false);
    panel->addWidget(GroupBox_ResultsFilter);
    panel->addStretch(1);

    GroupBox_Action = new QGroupBox(upper);
    auto* actionLayout = new QHBoxLayout(GroupBox_Action);
    BitBtn_Analyze = new QPushButton(GroupBox_Action);
    BitBtn_Sync = new QPushButton(GroupBox_Action);
    BitBtn_cancel = new QPushButton(GroupBox_Action);
    actionLayout->addWidget(BitBtn_Analyze);
    actionLayout->addWidget(BitBtn_Sync);
    actionLayout->addWidget(BitBtn_cancel);
    BitBtn_Analyze->setIcon(TButtonImages::AnalyzeGlyph());
    BitBtn_Sync->setIcon(TButtonImages::SyncGlyph());
    BitBtn_cancel->setIcon(TButtonImages::CancelGlyph());
    BitBtn_Sync->setEnabled(false);
    BitBtn_cancel->setEnabled(false);
    connect(BitBtn_Analyze, &QPushButton::clicked, this, &TFSyncMain::BitBtn_AnalyzeClick);
    connect(BitBtn_Sync, &QPushButton::clicked, this, &TFSyncMain::BitBtn_SyncClick);
    connect(BitBtn_cancel, &QPushButton::clicked, this, &TFSyncMain::BitBtn_cancelClick);
    panel->addWidget(GroupBox_Action);
    upperLayout->addLayout(panel);

    auto* statusHolder = new TStatusHolder(upper);
    Label_ActionStatus = new TElideLabel(statusHolder);
    statusHolder->Hold(Label_ActionStatus);
    Label_lasttime = new QLabel(upper);
    Label_lasttime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label_lasttime->setMinimumWidth(Label_lasttime->fontMetrics().horizontalAdvance("000000"));
    ProgressBar1 = new QProgressBar(upper);
    // The bar comes and goes with each run; its room stays, so nothing moves.
    QSizePolicy keepRoom = ProgressBar1->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    ProgressBar1->setSizePolicy(keepRoom);
    ProgressBar1->setVisible(false);
    auto* statusLine = new QHBoxLayout();
    statusLine->addWidget(statusHolder, 3);
    statusLine->addWidget(ProgressBar1, 2);
    statusLine->addWidget(Label_lasttime);
    upperLayout->addLayout(statusLine);

    Panel_log = new QWidget(splitter);
    auto* logLayout = new QVBoxLayout(Panel_log);
    logLayout->setContentsMargins(0, 0, 0, 0);
    memo1 = new QPlainTextEdit(Panel_log);
    memo1->setReadOnly(true);
    // A panel of every line of a large run would hold hundreds of bytes per item
    // for nobody to read; it keeps the last lines, the task log has them all.
    memo1->setMaximumBlockCount(static_cast<int>(kLogPanelLines));
    logLayout->addWidget(memo1);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TFSyncMain::Timer1Timer);
    Timer_showtip = new QTimer(this);
    Timer_showtip->setSingleShot(true);
    Timer_showtip->setInterval(500);
    connect(Timer_showtip, &QTimer::timeout, this, &TFSyncMain::Timer_showtipTimer);
    logTimer_ = new QTimer(this);
    logTimer_->setSingleShot(true);
    logTimer_->setInterval(kLogShowMs);
    connect(logTimer_, &QTimer::timeout, this, [this] {
        ShowPendingLog(false);
        ScrollLogToEnd();
    });
}

void TFSyncMain::BuildActions() {
    viewGroup_ = new QActionGroup(this);
    viewGroup_->setExclusive(true);
    auto viewAction = [this](int32_t kind) {
        auto* action = new QAction(this);
        action->setCheckable(true);
        action->setEnabled(false);
        viewGroup_->addAction(action);
        connect(action, &QAction::triggered, this, [this, kind] { ViewActionExecute(kind); });
        return action;
    };
    Action_LtoR = viewAction(vkLtoR);
    Action_RtoL = viewAction(vkRtoL);
    Action_all = viewAction(vkAll);
    Action_changes = viewAction(vkChanged);
    Action_conflicts = viewAction(vkConflicts);
    Action_Errors = viewAction(vkErrors);
    Action_Included = viewAction(vkIncluded);
    Action_Excluded = viewAction(vkExcluded);
    Action_New = viewAction(vkNew);
    Action_Overwrite = viewAction(vkOverwrite);
    Action_Delete = viewAction(vkDelete);
    Action_changes->setChecked(true);

    Action_Log = new QAction(this);
    connect(Action_Log, &QAction::triggered, this, [this] { Panel_log->setHidden(!Panel_log->isHidden()); });
    Action_status = new QAction(this);
    Action_status->setCheckable(true);
    Action_status->setChecked(true);
    connect(Action_status, &QAction::toggled, this,
            [this](bool on) { Label_ActionStatus->parentWidget()->setVisible(on); });

    pop_direction = new QMenu(this);
    auto overrideAction = [this](int32_t code) {
        auto* action = new QAction(this);
        action->setEnabled(false);
        pop_direction->addAction(action);
        connect(action, &QAction::triggered, this, [this, code] { RunOverride(code); });
        return action;
    };
    act_pop_Donotcopy = overrideAction(saDoNotCopy);
    act_pop_LtoR = overrideAction(saOverwriteLtoR);
    act_pop_RtoL = overrideAction(saOverwriteRtoL);
}

void TFSyncMain::LoadCaptions() {
    bt_LBrowse->setText(Lang("Browse"));
    bt_RBrowse->setText(Lang("Browse"));
    BitBtn_Analyze->setText(Lang("Analyze"));
    BitBtn_Sync->setText(Lang("Sync"));
    BitBtn_cancel->setText(Lang("cancel"));
    GroupBox_Action->setTitle(Lang("Action"));
    GroupBox_ResultsFilter->setTitle(Lang("ResultsFilter"));
    Label_ActionStatus->ShowText(Lang("starttip"));
    // Each filter button keeps the room of a large count, so the buttons do not
    // shift under the pointer when the next analysis counts more or fewer items.
    const std::pair<QRadioButton*, const char*> radios[] = {
        {rb_all, "all"}, {rb_changed, "changed"}, {rb_conflicts, "conflicts"}, {rb_errors, "errors"}};
    for (const auto& [radio, key] : radios) {
        radio->setText(Lang(key) + "(99999)");
        radio->setMinimumWidth(radio->sizeHint().width());
    }
    // The Conflicts button, when conflicts wait, is bold and shows the conflict
    // image: its room is that of the marked caption.
    MarkConflicts(true);
    rb_conflicts->setMinimumWidth(rb_conflicts->sizeHint().width());
    MarkConflicts(false);
    const struct {
        QAction* Action;
        const char* Key;
    } captions[] = {
        {Action_LtoR, "LtoR"},
        {Action_RtoL, "RtoL"},
        {Action_Log, "log"},
        {Action_status, "status"},
        {Action_all, "all"},
        {Action_changes, "changed"},
        {Action_conflicts, "conflicts"},
        {Action_Errors, "errors"},
        {Action_Included, "include"},
        {Action_Excluded, "exclude"},
        {Action_New, "new"},
        {Action_Overwrite, "Overwrite"},
        {Action_Delete, "delete"},
        {act_pop_Donotcopy, "Notcopy"},
        {act_pop_LtoR, "CTLtoR"},
        {act_pop_RtoL, "CTRtoL"},
    };
    for (const auto& c : captions) {
        c.Action->setText(" " + Lang(c.Key));
    }
    const struct {
        QWidget* Widget;
        const char* Key;
    } hints[] = {
        {bt_taskconfig, "Options_Hint"},
        {BitBtn_Analyze, "Analyze_Hint"},
        {BitBtn_Sync, "Sync_Hint"},
        {BitBtn_cancel, "cancel_hint"},
        {bt_LBrowse, "Browse_Lhint"},
        {bt_RBrowse, "Browse_Rhint"},
        {memo1, "log_hint"},
        {edit_LFolder, "lforder_hint"},
        {Edit_RFolder, "rforder_hint"},
        {GroupBox_ResultsFilter, "ResultsFilter_Hint"},
        {rb_all, "all_Hint"},
        {rb_changed, "changed_Hint"},
        {rb_conflicts, "conflicts_Hint"},
        {rb_errors, "errors_Hint"},
    };
    for (const auto& h : hints) {
        const QString text = Lang(h.Key);
        h.Widget->setToolTip(text);
        h.Widget->setStatusTip(text);
    }
    model_->LoadCaptions();
    VST1->FitColumns();
    UpdateFilterCaptions();
}

void TFSyncMain::ShowTaskPaths() {
    edit_LFolder->setText(ToQ(Task->LFolder.FolerAllName));
    Edit_RFolder->setText(ToQ(Task->RFolder.FolerAllName));
}

void TFSyncMain::InitView() {
    if (Task->SyncName.empty()) {
        return;
    }
    model_->BeginRebuild();
    rows_.InitView(Task->SyncName);
    model_->EndRebuild();
    ShowDirectionGlyph();
}

// ---- Notify messages -------------------------------------------------------------------

bool TFSyncMain::event(QEvent* event) {
    if (DeliverNotifyEvent(event, this)) {
        return true;
    }
    if (event->type() == QEvent::Show) {
        ShowFirstRunTip(edit_LFolder);
    }
    return QWidget::event(event);
}

// A first run is guided control by control, each control once; nothing moves
// the pointer for a window that is not on screen.
void TFSyncMain::ShowFirstRunTip(QWidget* control) {
    if (!firstRunTips_ || SysConfig == nullptr || SysConfig->IsFirst != 1 || !isVisible() ||
        std::find(tipsShown_.begin(), tipsShown_.end(), control) != tipsShown_.end()) {
        return;
    }
    tipsShown_.push_back(control);
    CenterCursorOnControl(control);
    tipControl_ = control;
    Timer_showtip->start();
    if (control == BitBtn_Sync) {
        EndFirstRun();
    }
}

// The Sync button's tip ends the guided first run: the flag is cleared at once,
// for every window and on disk, so a user who never quits the program is not
// guided (nor has the pointer moved) again.
void TFSyncMain::EndFirstRun() {
    SysConfig->IsFirst = 0;
    try {
        SysConfig->ClearFirstRun();
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kConfigAccessError, e);
    }
}

// The pointer is nudged by one pixel, as a person's hand would, and the control
// is asked for its hint directly: not every display lets a program move the
// pointer (Wayland does not), and a moved pointer alone need not bring a hint.
void TFSyncMain::Timer_showtipTimer() {
    Timer_showtip->stop();
    QCursor::setPos(QCursor::pos() + QPoint(1, 1));
    if (tipControl_ != nullptr && tipControl_->isVisible()) {
        RequestHint(tipControl_);
    }
}

void TFSyncMain::QueueNotify(uint32_t msg, intptr_t wParam, intptr_t lParam) {
    PostNotifyEvent(this, msg, wParam, lParam);
}

void TFSyncMain::HandleNotify(uint32_t msg, intptr_t, intptr_t) {
    // The view requests: one message per view kind.
    static const std::pair<uint32_t, int32_t> views[] = {
        {WM_LTOR, vkLtoR},     {WM_INCLUDED, vkIncluded},   {WM_EXCLUDED, vkExcluded},
        {WM_DELETE, vkDelete}, {WM_CONFLICT, vkConflicts},  {WM_NEW, vkNew},
        {WM_RTOL, vkRtoL},     {WM_OVERWRITE, vkOverwrite}, {WM_ERROR, vkErrors},
        {WM_ALL, vkAll},       {WM_MODIFY, vkChanged},
    };
    for (const auto& [viewMsg, kind] : views) {
        if (viewMsg == msg) {
            ViewActionExecute(kind);
            return;
        }
    }
    switch (msg) {
    case WM_UPDATEPROCESS:
    case WM_SYNC:
        StepProgress();
        break;
    case WM_SHOWLOG:
        Action_Log->trigger();
        break;
    case WM_ANAL_SYNC:
        if (!IsBusy()) {
            Task->Unattended = false;
            AnalyzeAndSync();
        }
        break;
    case WM_JOB_OPTION:
        bt_taskconfigClick();
        break;
    case WM_ANAL_JOB:
        BitBtn_AnalyzeClick();
        break;
    case WM_NOT_COPY:
        act_pop_Donotcopy->trigger();
        break;
    case WM_MOVE_LTOR:
        act_pop_LtoR->trigger();
        break;
    case WM_MOVE_RTOL:
        act_pop_RtoL->trigger();
        break;
    case WM_COPYPROCESS:
        Label_ActionStatus->ShowText(ToQ(GetSyncStatusText()));
        Label_ActionStatus->update();
        break;
    default:
        break;
    }
}

void TFSyncMain::StepProgress() {
    if (ProgressBar1->value() < ProgressBar1->maximum()) {
        ProgressBar1->setValue(ProgressBar1->value() + 1);
    }
}

// ---- Analysis --------------------------------------------------------------------------

bool TFSyncMain::IsBusy() const {
    return Task->Running || Syncing != 0 || ScanCount > 0 || comparing_ || syncPending_ || dialogOpen_;
}

void TFSyncMain::AnalyzeAndSync() {
    // A run already under way must not pick up a sync that nobody asked it for.
    if (IsBusy()) {
        return;
    }
    SyncAfterAnalyze = 1;
    StartAnalyze();
}

// The comparison thread reads Unattended, so a running task keeps its flag.
void TFSyncMain::BitBtn_AnalyzeClick() {
    if (IsBusy()) {
        return;
    }
    Task->Unattended = false;
    StartAnalyze();
}

void TFSyncMain::StartAnalyze() {
    // The workers of a run still under way hold this window's result and rows.
    if (IsBusy()) {
        return;
    }
    runOpen_ = true;
    switch (Task->CheckFolders()) {
    case fcSameFolder:
        RefuseRun(kLogActionAnalysis, kSameFolders, true);
        return;
    case fcNested:
        RefuseRun(kLogActionAnalysis, kNestedFolders, true);
        return;
    case fcEmptyPath:
        RefuseRun(kLogActionAnalysis, kEmptyFolders, true);
        return;
    default:
        break;
    }
    // The identity names the snapshot files the scans read; a task never gets one
    // that leaves their folder, and a run does not start with one.
    if (!IsSafeSyncID(Task->SyncID)) {
        RefuseRun(kLogActionAnalysis,
                  "Not analysed: the SyncID \"" + EscapeForLog(Task->SyncID) +
                      "\" cannot name the task's snapshot files (" + SyncIDProblem(Task->SyncID) + ").",
                  true);
        return;
    }
    if (!TakeRunLock(kLogActionAnalysis)) {
        return;
    }

    std::unique_ptr<TFileOper> left = TSyncTask::CreateOper(Task->LFolder, false);
    std::unique_ptr<TFileOper> right = TSyncTask::CreateOper(Task->RFolder, false);
    for (auto [oper, source] :
         {std::pair{left.get(), &Task->LFolder}, std::pair{right.get(), &Task->RFolder}}) {
        if (oper != nullptr) {
            oper->NotifyWnd = this;
            oper->Source = source;
            oper->LoadSnapshotFlag = true;
            oper->SnapshotName = Task->SyncID;
            oper->PartOwner = Task->SyncID; // its own part files are no items
        }
    }
    // An endpoint kind without an endpoint object cannot be reached at all; it is
    // reported like a folder that cannot be connected. Each line says why, as
    // the endpoint learned it (the system's error text, the server's reply).
    auto why = [](const TFileOper* oper) {
        return oper->LastErrorText.empty() ? std::string() : " (" + EscapeForLog(oper->LastErrorText) + ")";
    };
    auto noEndpoint = [](const TFolderSource& source) {
        return " (no endpoint for device type " + std::to_string(source.DeviceType) + ")";
    };
    std::string failure;
    const std::string leftShown = FolderWithoutUserPart(Task->LFolder);
    const std::string rightShown = FolderWithoutUserPart(Task->RFolder);
    if (left == nullptr) {
        failure = "Cannot connect Left folder: " + EscapeForLog(leftShown) + noEndpoint(Task->LFolder);
    } else if (right == nullptr) {
        failure = "Cannot connect Right folder: " + EscapeForLog(rightShown) + noEndpoint(Task->RFolder);
    } else if (left->Connect() != 0) {
        failure = "Cannot connect Left folder: " + EscapeForLog(leftShown) + why(left.get());
    } else if (right->Connect() != 0) {
        failure = "Cannot connect Right folder: " + EscapeForLog(rightShown) + why(right.get());
    } else if (left->IsRootMissing() != 0) {
        failure = "Left Folder is not exists." + why(left.get());
    } else if (right->IsRootMissing() != 0) {
        failure = "Right Folder is not exists." + why(right.get());
    }
    if (!failure.empty()) {
        for (TFileOper* oper : {left.get(), right.get()}) {
            if (oper != nullptr) {
                oper->Stop();
            }
        }
        RefuseRun(kLogActionAnalysis, failure, false);
        return;
    }

    PrepareAnalyze();
    ReleaseResult();
    LeftOper = std::move(left);
    RightOper = std::move(right);
    ScanCount = 2;
    LeftOper->OnTerminate = [this](TThread*) { ScanThreadDone(); };
    RightOper->OnTerminate = [this](TThread*) { ScanThreadDone(); };
    ProgressBar1->setRange(0, LeftOper->GetTopFolderCount() + RightOper->GetTopFolderCount());
    ProgressBar1->setValue(0);
    ElapsedSeconds = 0;
    Label_lasttime->setText("0");
    Timer1->start();
    SetActionStatus(Lang("scan"));
    emit RunStateChanged();
    RightOper->Start();
    LeftOper->Start();
}

void TFSyncMain::PrepareAnalyze() {
    // The run counts as under way before the folder bar is disabled: a path edit
    // that loses the focus to that is not taken for a new folder in mid-start.
    Task->Running = true;
    BitBtn_Analyze->setEnabled(false);
    ProgressBar1->setVisible(true);
    BitBtn_cancel->setEnabled(true);
    BitBtn_Sync->setEnabled(false);
    SetFolderBarEnabled(false);
    GroupBox_ResultsFilter->setEnabled(false);
    TotalTime = GetTickCount();
    ScanTime = TotalTime;
    totalTiming_ = true;
    scanTiming_ = true;
    Cancelled = 0;
    ScrollLogToEnd();
}

// The view is cleared, and with it the last result and the workers that made it.
// Only a window that is not busy gets here, so every one of them has ended.
void TFSyncMain::ReleaseResult() {
    model_->BeginRebuild();
    rows_.SetResultTree(nullptr);
    rows_.InitView(Task->SyncName);
    model_->EndRebuild();
    ResultTree = nullptr;
    AnalyzeThread.reset();
    LeftOper.reset();
    RightOper.reset();
    resultArena_.reset();
    UpdateFilterCaptions();
}

void TFSyncMain::ScanThreadDone() {
    std::lock_guard<std::mutex> lock(ScanLock);
    ScanCount = ScanCount - 1;
    if (ScanCount == 0) {
        StartCompare();
    }
}

void TFSyncMain::StartCompare() {
    if (Cancelled != 0) {
        Cancelled = 0;
        emit RunStateChanged();
        return;
    }
    ScanTime = GetTickCount() - ScanTime;
    scanTiming_ = false;
    ResultTree = NewTree(resultArena_);

    // Snapshots kept on this computer replace what the scanners found in the work folders.
    const int32_t place = Task->SnapshotPlace();
    if (place == spLeftLocal || place == spBothLocal) {
        LeftOper->Snapshot = NewTree(LeftOper->SnapshotArena);
        Task->LoadSnapshot(LeftOper->Snapshot, 0);
    }
    if (place == spRightLocal || place == spBothLocal) {
        RightOper->Snapshot = NewTree(RightOper->SnapshotArena);
        Task->LoadSnapshot(RightOper->Snapshot, 1);
    }
    Task->LFolder.ServerInfo = LeftOper->ServerInfo;
    Task->RFolder.ServerInfo = RightOper->ServerInfo;

    AnalyzeThread = std::make_unique<TAnalyzeThread>(Task.get(), LeftOper->Tree, RightOper->Tree, ResultTree,
                                                     LeftOper->Snapshot, RightOper->Snapshot);
    AnalyzeThread->NotifyWnd = this;
    AnalyzeThread->OnTerminate = [this](TThread*) { AnalyzeThreadDone(); };
    comparing_ = true;
    AnalyzeThread->Start();
    SetActionStatus(Lang("compare"));
}

void TFSyncMain::AnalyzeThreadDone() {
    comparing_ = false;
    TotalTime = GetTickCount() - TotalTime;
    totalTiming_ = false;
    analysisFailure_.clear();
    analysisNotes_.clear();
    unreadLine_.clear();
    conflictsLeft_ = 0;
    if (AnalyzeThread->FatalException()) {
        // No result: items that the filters should have left out would otherwise be
        // offered for the sync.
        std::string text = "Analysis failed: " + EscapeForLog(AnalyzeThread->FatalExceptionMessage());
        if (!AnalyzeThread->FilterPattern.empty()) {
            text = "Invalid filter pattern \"" + EscapeForLog(AnalyzeThread->FilterPattern) +
                   "\": " + EscapeForLog(AnalyzeThread->FilterError);
        }
        AddLogLine(text, true);
        analysisFailure_ = text;
        ResultTree = nullptr;
    }
    // Every analysis looks the extension icons up afresh.
    VST1->ImageList1.ResetExtCache();
    rows_.SetResultTree(ResultTree);
    if (ResultTree == nullptr) {
        InitView();
    } else if (NobodyWatches && SyncAfterAnalyze == 0) {
        // An analysis nobody sees and no sync walks needs only its counts for
        // the record: a row per item would be built just to be torn down.
        InitView();
        rows_.RecountTree(ResultTree);
        UpdateFilterCaptions();
    } else {
        ViewActionExecute(vkChanged);
    }
    if (ResultTree == nullptr) {
        ShowNotRun(kLogActionAnalysis, analysisFailure_);
    } else {
        ShowResultStatus(Lang("analyzefinish"));
    }
    ShowUnseenFolders();
    ShowEmptiedSides();
    ShowDirectMode();
    ShowAnalysisSummary();
    if (LeftOper) {
        LeftOper->Stop();
    }
    if (RightOper) {
        RightOper->Stop();
    }
    // With a sync to follow, the run goes on; a cancelled one has ended already.
    if (SyncAfterAnalyze == 0) {
        if (ResultTree == nullptr) {
            EndRun(TRunEnd::NotStarted, analysisFailure_);
        } else {
            EndRun(TRunEnd::Analysed);
        }
    }
}

// Folders that a scan could not read: nothing in them gets an operation, and the
// user learns which they are.
void TFSyncMain::ShowUnseenFolders() {
    if (!AnalyzeThread || AnalyzeThread->UnseenFolders.empty()) {
        return;
    }
    std::vector<std::string> names;
    for (const TUnseenFolder& folder : AnalyzeThread->UnseenFolders) {
        std::string root =
            ExcludeTrailingSlash(folder.Side == 0 ? Task->LFolder.FolerAllName : Task->RFolder.FolerAllName);
        std::string path = folder.Path;
        while (!path.empty() && path.front() == '/') {
            path.erase(0, 1);
        }
        const std::string name = EscapeForLog(path.empty() ? root : root + "/" + path);
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    std::string line = "Not read, left as they are: ";
    for (size_t i = 0; i < names.size(); ++i) {
        line += (i == 0 ? "" : ", ") + names[i];
    }
    unreadLine_ = line;
    // Never synchronised, every run: worth more than a line in a panel nobody
    // may be looking at.
    ErrorLogger.LogError("Folders not read", "ENotRead", "\"" + Task->SyncName + "\": " + line);
    AddAnalysisNote(line);
}

// A comparison without snapshots: nothing tells which side changed an item,
// and a deletion reads as an item the other side lacks.
void TFSyncMain::ShowDirectMode() {
    if (!AnalyzeThread || ResultTree == nullptr || AnalyzeThread->UsedSnapshots) {
        return;
    }
    std::string line = "No snapshots of an earlier sync to compare with (the first sync, or they are gone): "
                       "the folders are compared directly, by time.";
    if (Task->Unattended && Task->SyncDirection == sdBothWays && Task->Conflicts != cfNewerFileWins) {
        line += " Files that differ on both sides are left as conflicts.";
    }
    AddAnalysisNote(line);
}

// A red line in the panel that the analysis record keeps as well.
void TFSyncMain::AddAnalysisNote(const std::string& line) {
    analysisNotes_.push_back(line);
    AddLogLine(line, true);
}

// A side that lists nothing while its snapshot lists items: the analysis held
// back the deletions it would have caused on the other side.
void TFSyncMain::ShowEmptiedSides() {
    if (!AnalyzeThread) {
        return;
    }
    const bool emptied[2] = {AnalyzeThread->LeftEmptied, AnalyzeThread->RightEmptied};
    for (int side = 0; side < 2; ++side) {
        if (emptied[side]) {
            const std::string name = side == 0 ? "Left" : "Right";
            const std::string other = side == 0 ? "Right" : "Left";
            AddAnalysisNote("The " + name +
                            " folder is empty but held items at the last sync (is its drive missing?): " +
                            "nothing is deleted on the " + other + " side on its account.");
        }
    }
    // A folder of a side with a disk not mounted on it: one line each.
    const std::vector<std::string>* folders[2] = {&AnalyzeThread->LeftEmptiedFolders,
                                                  &AnalyzeThread->RightEmptiedFolders};
    for (int side = 0; side < 2; ++side) {
        for (const std::string& folder : *folders[side]) {
            AddLogLine("The folder " + EscapeForLog(folder) +
                           " is empty but held items at the last sync (is its drive not mounted?): "
                           "nothing is deleted on the " +
                           std::string(side == 0 ? "Right" : "Left") + " side on its account.",
                       true);
        }
    }
}

// The result may be read only once the comparison has ended.
bool TFSyncMain::ResultShown() const {
    return ResultTree != nullptr && !comparing_ && rows_.ResultTree() == ResultTree;
}

uint32_t TFSyncMain::ElapsedSince(uint32_t start) const {
    return GetTickCount() - start;
}

void TFSyncMain::ShowAnalysisSummary() {
    BitBtn_Analyze->setEnabled(true);
    Timer1->stop();
    ProgressBar1->setValue(0);
    ProgressBar1->setVisible(false);
    BitBtn_cancel->setEnabled(false);
    SetFolderBarEnabled(true);
    GroupBox_ResultsFilter->setEnabled(true);
    SetViewActionsEnabled(true);

    // A cancel can come before a phase has ended; its time is then counted up to now.
    const uint32_t total = totalTiming_ ? ElapsedSince(TotalTime) : TotalTime;
    const uint32_t scan = scanTiming_ ? ElapsedSince(ScanTime) : ScanTime;
    const std::string timesLine =
        "TotalTime:" + std::to_string(total) + " ms" + " Scan File Time:" + std::to_string(scan) + " ms";

    std::string countsLine;
    if (ResultShown()) {
        const TFileTree* r = ResultTree;
        BitBtn_Sync->setEnabled(r->NewFlag + r->OverwriteFlag + r->DeleteFlag > 0);
        countsLine =
            "All:" + std::to_string(r->IncludedFlag + r->ExcludedFlag) +
            ",Changed:" + std::to_string(r->OverwriteFlag + r->NewFlag + r->DeleteFlag) +
            ",Conflicts:" + std::to_string(r->ConflictFlag) + ",Errors:" + std::to_string(r->ErrorFlag) +
            ",Included:" + std::to_string(r->IncludedFlag) + ",Excluded:" + std::to_string(r->ExcludedFlag);
    }
    if (!ResultShown()) {
        // Where the counts would stand, the record says why there are none.
        countsLine = analysisFailure_;
    }
    const std::string diskLine = DiskLine();
    AddLogText(Task->RecordAnalysis(timesLine, countsLine, diskLine, analysisNotes_));
    ScrollLogToEnd();
    Task->Running = false;
    if (SyncAfterAnalyze != 0) {
        // The sync follows one second later, so that someone watching sees the
        // result first; a run started by the command line or a trigger goes
        // straight on. Meanwhile the window counts as busy, so nothing else starts
        // or closes it in between.
        syncPending_ = true;
        const int delay = Task->Unattended ? 0 : 1000;
        QTimer::singleShot(delay, this, [this] {
            if (!syncPending_) {
                return; // cancelled meanwhile
            }
            syncPending_ = false;
            BitBtn_SyncClick();
        });
    }
    ShowFirstRunTip(BitBtn_Sync);
    emit RunStateChanged();
}

std::string TFSyncMain::DiskLine() {
    std::string line;
    const struct {
        const TFolderSource& Source;
        const char* Label;
        int64_t& Free;
    } sides[] = {{Task->LFolder, "Left Folder:", LeftFree}, {Task->RFolder, "Right Folder:", RightFree}};
    for (int i = 0; i < 2; ++i) {
        const auto& side = sides[i];
        const std::string prefix = i == 0 ? std::string(side.Label) : ";" + std::string(side.Label);
        if (IsDiskKind(side.Source.DeviceType)) {
            std::string root;
            int64_t total = 0;
            int64_t available = 0;
            side.Free = MeasureVolume(side.Source, root, total, available) ? available : -1;
            line += prefix + EscapeForLog(root) + ",Total Size:" + Megabytes(total) +
                    "MB, Free size:" + Megabytes(available) + "MB";
        } else if (IsRemoteKind(side.Source.DeviceType)) {
            line += prefix + EscapeForLog(side.Source.ServerInfo);
        }
    }
    return line;
}

// ---- Cancel ------------------------------------------------------------------------------

void TFSyncMain::BitBtn_cancelClick() {
    Cancel("");
}

void TFSyncMain::CancelRun(const std::string& why) {
    if (!runOpen_) {
        return; // no run: a dialog is open, or the workers of one are winding down
    }
    if (syncPending_) {
        // The analysis and its record are done; the sync that was to follow
        // does not start.
        syncPending_ = false;
        AddLogLine(why, true);
        Task->RecordNotStarted(kLogActionSync, why);
        AbandonAutomaticRun();
        EndRun(TRunEnd::Cancelled, "cancelled before the sync");
        return;
    }
    if (Syncing != 0) {
        AddLogLine(why, true); // a line of the sync's record
    }
    Cancel(why);
}

// The cancel itself; why, when given, stands in the record of an analysis that
// is cut short.
void TFSyncMain::Cancel(const std::string& why) {
    Task->Running = false;
    if (Syncing != 0) {
        // The sync thread ends after its current item, through SyncThreadDone;
        // a wait on a server within that item is broken off at once.
        if (SyncThread != nullptr) {
            SyncThread->Terminate();
        }
        syncCancelled_ = true;
        BitBtn_Sync->setEnabled(true);
        emit RunStateChanged();
        return;
    }
    Cancelled = 1;
    SyncAfterAnalyze = 0;
    Timer1->stop();
    if (LeftOper) {
        LeftOper->Stop();
    }
    if (RightOper) {
        RightOper->Stop();
    }
    if (AnalyzeThread && comparing_) {
        AnalyzeThread->StopAnalysis();
    }
    analysisFailure_ = why;
    ShowAnalysisSummary();
    SetActionStatus(LangOr("analyzecancelled", "Analysis cancelled"));
    BitBtn_Sync->setEnabled(false);
    GroupBox_ResultsFilter->setEnabled(false);
    SetViewActionsEnabled(false);
    EndRun(TRunEnd::Cancelled, "cancelled during the analysis");
}

void TFSyncMain::AbandonAutomaticRun() {
    if (SyncAfterAnalyze == 0) {
        return;
    }
    SyncAfterAnalyze = 0;
    SendNotifyMessage(mainWnd_, WM_TASKFINISHED, 1, 10);
}

// The status line says that the run did not happen and why; a reason that
// names a long path keeps its start and its end.
void TFSyncMain::ShowNotRun(const char* action, const std::string& reason) {
    const bool analysis = std::string(action) == kLogActionAnalysis;
    const QString notRun =
        analysis ? LangOr("analyzenotrun", "Not analysed:") : LangOr("syncnotrun", "Not synchronised:");
    SetActionStatus(reason.empty() ? notRun : notRun + " " + ShortenedPaths(reason));
}

void TFSyncMain::RefuseRun(const char* action, const std::string& reason, bool red) {
    ShowNotRun(action, reason);
    AddLogLine(reason, red);
    Task->RecordNotStarted(action, reason);
    AbandonAutomaticRun();
    EndRun(TRunEnd::NotStarted, reason);
}

// One run of a task at a time, also across processes: a scheduled start while
// the task runs (here, in the interactive program, or an earlier scheduled run
// that has not ended) would copy into the same folders, write the same
// snapshots and run its lines into the same task log. The later run does not
// start and leaves a record of its own that says why (one write, so it lands
// whole between two lines of the running one). Where the lock file cannot be
// made at all, the run goes on as it always did.
bool TFSyncMain::TakeRunLock(const char* action) {
    if (runLock_.Held() || !IsSafeSyncID(Task->SyncID) || runLock_.TryLock(Task->RunLockPath())) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        RefuseRun(action,
                  "Another run of this task is under way (its lock " + EscapeForLog(Task->RunLockPath()) +
                      " is held).",
                  true);
        return false;
    }
    // The lock shares its folder with the run stamp and the snapshots kept on
    // this computer: a run that cannot write them there does not start.
    const std::string why = "The run lock " + EscapeForLog(Task->RunLockPath()) + " cannot be made (" +
                            EscapeForLog(std::strerror(errno)) +
                            "); its folder also keeps the run stamp and the snapshots kept on this computer.";
    ErrorLogger.LogError("Run not started", "EDataFolder", "\"" + Task->SyncName + "\": " + why);
    RefuseRun(action, why, true);
    return false;
}

void TFSyncMain::EndRun(TRunEnd outcome, const std::string& reason) {
    runLock_.Release();
    if (!runOpen_ || destroying_) {
        return;
    }
    runOpen_ = false;
    emit RunEnded(outcome, reason);
}

// ---- Sync ----------------------------------------------------------------------------------

void TFSyncMain::BitBtn_SyncClick() {
    // Never two runs over the same rows.
    if (IsBusy()) {
        return;
    }
    // The sync that follows an analysis on its own: nobody may be there to
    // answer a message box, and the run must still come to an end.
    const bool automatic = SyncAfterAnalyze != 0;
    // A person who asked for Analyze-and-Sync (F9, Alt+S) is at the window and
    // is told by a box, as after Analyze then Sync.
    const bool unwatched = automatic && Task->Unattended;
    runOpen_ = true;
    Task->Unattended = false;
    // Nothing to walk without a result.
    if (rows_.ResultTree() == nullptr || rows_.RootRow() == nullptr) {
        if (automatic) {
            const std::string why = analysisFailure_.empty() ? std::string(".") : ": " + analysisFailure_;
            RefuseRun(kLogActionSync, "Not synchronised, the analysis gave no result" + why, true);
        }
        return;
    }
    SyncAfterAnalyze = 0;
    if (!TakeRunLock(kLogActionSync)) {
        return;
    }
    const int lacking = CheckDiskSpace();
    if (lacking != 0) {
        const char* text =
            lacking == 1 ? "Left Folder disk space is not enough." : "Right Folder disk space is not enough.";
        if (unwatched) {
            const int64_t needed = lacking == 1 ? rows_.LeftNeeded : rows_.RightNeeded;
            const int64_t free = lacking == 1 ? LeftFree : RightFree;
            SyncAfterAnalyze = 1;
            RefuseRun(kLogActionSync,
                      std::string(text) + " Needed: " + std::to_string(needed) +
                          " bytes, free: " + std::to_string(free) + " bytes.",
                      true);
        } else {
            MessageBox(this, text, "Tandemora", MB_ICONERROR);
            EndRun(TRunEnd::NotStarted, text);
        }
        return;
    }
    PrepareSync();
    SyncThread = new TTandemoraThread(&rows_, Task.get());
    SyncThread->Scanned[0] = LeftOper.get();
    SyncThread->Scanned[1] = RightOper.get();
    SyncThread->AnalysisCompared = AnalyzeThread && AnalyzeThread->UsedSnapshots;
    SyncThread->NotifyWnd = this;
    SyncThread->LogMemo = [this](const std::string& line) { QueueLogLine(line); };
    SyncThread->RowChanged = [this](TResultRow* row) { model_->RowChanged(row); };
    SyncThread->OnTerminate = [this](TThread*) { SyncThreadDone(); };
    SyncThread->Start();
}

// 0 when both sides have room, 1 when the left side lacks it, 2 the right side
// (which wins when both lack it). Only disk endpoints are measured; a volume that
// could not be measured (-1) is not held against the sync.
int TFSyncMain::CheckDiskSpace() {
    int result = 0;
    if (IsDiskKind(Task->LFolder.DeviceType) && LeftFree >= 0 && rows_.LeftNeeded > LeftFree) {
        result = 1;
    }
    if (IsDiskKind(Task->RFolder.DeviceType) && RightFree >= 0 && rows_.RightNeeded > RightFree) {
        result = 2;
    }
    return result;
}

void TFSyncMain::PrepareSync() {
    // Under way before the folder bar is disabled (see PrepareAnalyze): a path
    // edit losing the focus here must not drop the rows this sync is about to walk.
    Syncing = 1;
    Task->Running = true;
    SyncTime = GetTickCount();
    SetFolderBarEnabled(false);
    GroupBox_ResultsFilter->setEnabled(false);
    BitBtn_Analyze->setEnabled(false);
    BitBtn_Sync->setEnabled(false);
    BitBtn_cancel->setEnabled(true);
    const TFileTree* root = rows_.ResultTree();
    ProgressBar1->setVisible(true);
    ProgressBar1->setRange(0, root->NewFlag + root->OverwriteFlag + root->DeleteFlag);
    ProgressBar1->setValue(0);
    Timer1->start();
    SetActionStatus(Lang("syncstart"));
    SyncLogStart = LogLineCount();
    syncCancelled_ = false;
    logToFile_ = SysConfig != nullptr && SysConfig->SaveLog == 1;
    logFailure_.clear();
    AddLogText(Task->LogHeader(kLogActionSync));
    ScrollLogToEnd();
    emit RunStateChanged();
}

void TFSyncMain::SyncThreadDone() {
    // The thread frees itself once this returns; it no longer touches the rows.
    const std::string notStarted = SyncThread != nullptr ? SyncThread->NotStartedReason : std::string();
    const bool broken = SyncThread != nullptr && SyncThread->FatalException();
    const std::string unsaved = SyncThread != nullptr ? SyncThread->SnapshotsNotSaved : std::string();
    Syncing = 0;
    SyncThread = nullptr;
    if (destroying_) {
        return;
    }
    // The rows it did show what the two sides hold now, and so does the result
    // behind every view: the filters count and show what the sync left (done,
    // failed, conflicts), and no view offers a done copy to be made again.
    rows_.ShowSyncOutcome();
    rows_.RecountTree(rows_.ResultTree());
    UpdateFilterCaptions();
    VST1->viewport()->update();
    // RestoreAfterSync
    SetFolderBarEnabled(true);
    GroupBox_ResultsFilter->setEnabled(true);
    BitBtn_Analyze->setEnabled(true);
    Task->Running = false;
    SendNotifyMessage(mainWnd_, WM_TASKFINISHED, 0, 10);

    BitBtn_cancel->setEnabled(false);
    ProgressBar1->setVisible(false);
    Timer1->stop();
    SyncTime = GetTickCount() - SyncTime;
    ShowResultStatus(Lang("syncend"));
    AddLogLine("----- Sync End. Time:" + std::to_string(SyncTime) + "ms -----");
    ScrollLogToEnd();
    // Every line of the record is in the task log already; an empty line ends it.
    WriteRunLogLine("");
    EndRunLog();
    emit RunStateChanged();
    const int failed = FailedSyncItems();
    conflictsLeft_ = rows_.ConflictsLeft();
    if (syncCancelled_) {
        EndRun(TRunEnd::Cancelled, "cancelled during the sync");
    } else if (!notStarted.empty()) {
        EndRun(TRunEnd::NotStarted, notStarted);
    } else if (broken) {
        EndRun(TRunEnd::ItemsFailed, "the sync broke off; the error log tells why");
    } else if (failed > 0 || !unsaved.empty()) {
        // Snapshots not saved leave the next run comparing with an older pair
        // (or none): a failure of the run, not a success.
        std::string why;
        if (failed > 0) {
            why = std::to_string(failed) + (failed == 1 ? " item" : " items") + " failed";
        }
        if (!unsaved.empty()) {
            why += (why.empty() ? "" : "; ") + std::string("the snapshots were not saved: ") + unsaved;
        }
        EndRun(TRunEnd::ItemsFailed, why);
    } else {
        EndRun(TRunEnd::Synchronised);
    }
}

// The rows that ended as errors: items the sync could not carry out (a sync
// that stops on an error marks the item it stopped at) and items the analysis
// could not compare.
int TFSyncMain::FailedSyncItems() {
    int failed = 0;
    rows_.ForEachRow([&failed](TResultRow* row) { failed += row->Action.load() == saError ? 1 : 0; });
    return failed;
}

void TFSyncMain::WriteRunLogLine(const std::string& line) {
    if (!logToFile_) {
        return;
    }
    try {
        if (!runLog_.IsOpen()) {
            runLog_.Open(Task->LogPath());
        }
        runLog_.Append(line);
    } catch (const std::exception& e) {
        // Said once; the run goes on without its record.
        ErrorLogger.HandleException(e);
        logFailure_ = e.what();
        logToFile_ = false;
        CloseRunLog();
    }
}

// The sync's record is complete: the task log is closed until the next one.
void TFSyncMain::EndRunLog() {
    logToFile_ = false;
    try {
        runLog_.Close();
    } catch (const std::exception& e) {
        ErrorLogger.HandleException(e);
        logFailure_ = e.what();
    }
}

// After a failed line: closed without a word more, the failure is said already.
void TFSyncMain::CloseRunLog() {
    try {
        runLog_.Close();
    } catch (const std::exception&) {
    }
}

// ---- Views and overrides ---------------------------------------------------------------

void TFSyncMain::ViewActionExecute(int32_t kind) {
    ShowView(kind);
    if (kind == vkChanged && ResultShown()) {
        const TFileTree* r = ResultTree;
        BitBtn_Sync->setEnabled(r->NewFlag + r->OverwriteFlag + r->DeleteFlag > 0);
    }
}

void TFSyncMain::ShowView(int32_t kind) {
    // Refused before the first analysis and while the sync thread walks the rows;
    // an action or radio button that checked itself shows the current view again.
    if (rows_.ResultTree() == nullptr || rows_.RootRow() == nullptr || rows_.SyncRunning()) {
        CheckViewControls(rows_.CurrentKind());
        return;
    }
    model_->BeginRebuild();
    rows_.ShowView(kind);
    model_->EndRebuild();
    // Expanding a million rows takes a second that a run nobody sees need not pay.
    if (!NobodyWatches) {
        VST1->expandAll();
    }
    CheckViewControls(kind);
    UpdateFilterCaptions();
    BitBtn_Sync->setEnabled(false);
}

// The view's action is checked, and so is its radio button when it has one.
void TFSyncMain::CheckViewControls(int32_t kind) {
    const std::pair<int32_t, QAction*> actions[] = {
        {vkAll, Action_all},       {vkChanged, Action_changes},     {vkConflicts, Action_conflicts},
        {vkErrors, Action_Errors}, {vkIncluded, Action_Included},   {vkExcluded, Action_Excluded},
        {vkNew, Action_New},       {vkOverwrite, Action_Overwrite}, {vkDelete, Action_Delete},
        {vkLtoR, Action_LtoR},     {vkRtoL, Action_RtoL},
    };
    for (const auto& [k, action] : actions) {
        if (k == kind) {
            action->setChecked(true);
        }
    }
    QRadioButton* radio = nullptr;
    switch (kind) {
    case vkAll:
        radio = rb_all;
        break;
    case vkChanged:
        radio = rb_changed;
        break;
    case vkConflicts:
        radio = rb_conflicts;
        break;
    case vkErrors:
        radio = rb_errors;
        break;
    default:
        break;
    }
    if (radio != nullptr) {
        radio->setChecked(true);
    } else {
        radioGroup_->setExclusive(false);
        for (QAbstractButton* b : radioGroup_->buttons()) {
            b->setChecked(false);
        }
        radioGroup_->setExclusive(true);
    }
}

void TFSyncMain::UpdateFilterCaptions() {
    const TFileTree* r = rows_.ResultTree();
    auto count = [r](int value) { return r != nullptr ? QString::number(value) : QString(); };
    rb_all->setText(Lang("all") + "(" + count(r ? r->IncludedFlag + r->ExcludedFlag : 0) + ")");
    rb_changed->setText(Lang("changed") + "(" + count(r ? r->OverwriteFlag + r->NewFlag + r->DeleteFlag : 0) +
                        ")");
    rb_conflicts->setText(Lang("conflicts") + "(" + count(r ? r->ConflictFlag : 0) + ")");
    rb_errors->setText(Lang("errors") + "(" + count(r ? r->ErrorFlag : 0) + ")");
    MarkConflicts(r != nullptr && r->ConflictFlag > 0);
}

// Conflicts are not changes: the Changes view, shown after every analysis,
// leaves them out. While some wait for a decision, their filter button stands
// out, so a result whose Changes view is empty does not read as "all done".
void TFSyncMain::MarkConflicts(bool waiting) {
    QFont font = rb_conflicts->font();
    font.setBold(waiting);
    rb_conflicts->setFont(font);
    rb_conflicts->setIcon(waiting ? VST1->ImageList1.Icon(iiConflict) : QIcon());
}

// The status line at the end of an analysis or a sync, and how many conflicts
// wait when there are any.
void TFSyncMain::ShowResultStatus(const QString& finished) {
    const TFileTree* r = rows_.ResultTree();
    if (r == nullptr || r->ConflictFlag <= 0) {
        SetActionStatus(finished);
        return;
    }
    SetActionStatus(
        finished + ". " +
        LangOr("conflictswait", "%1 conflicts wait for your decision: choose Conflicts to see them")
            .arg(r->ConflictFlag));
}

void TFSyncMain::UpdatePopupActions() {
    TResultRow* row = model_->RowOf(VST1->currentIndex());
    TResultRow* root = rows_.RootRow();
    if (row == nullptr || root == nullptr || !root->HasChildren()) {
        return;
    }
    const TItemActions offered = rows_.ItemActions(*row, Task->SyncDirection);
    act_pop_LtoR->setEnabled(offered.LtoR);
    act_pop_RtoL->setEnabled(offered.RtoL);
    act_pop_Donotcopy->setEnabled(offered.DoNotCopy);
}

void TFSyncMain::PopupAt(const QPoint& globalPos) {
    UpdatePopupActions();
    pop_direction->popup(globalPos);
}

void TFSyncMain::RunOverride(int32_t code) {
    TResultRow* row = model_->RowOf(VST1->currentIndex());
    if (row == nullptr || rows_.ResultTree() == nullptr || rows_.SyncRunning()) {
        return;
    }
    // A request from the main window's menu may have been enabled for another
    // row; only an override the focused row offers is run (a one-way task never
    // gets a copy against its direction).
    const TItemActions offered = rows_.ItemActions(*row, Task->SyncDirection);
    const bool allowed = (code == saOverwriteLtoR && offered.LtoR) ||
                         (code == saOverwriteRtoL && offered.RtoL) ||
                         (code == saDoNotCopy && offered.DoNotCopy);
    if (!allowed) {
        return;
    }
    BitBtn_Sync->setEnabled(false);
    if (!rows_.SetItemAction(row, code)) {
        return;
    }
    rows_.RecountTree(rows_.ResultTree());
    // The counts and values follow at once, the filters' too; the rows stay
    // where they are.
    rows_.ShowRowValues(row);
    UpdateFilterCaptions();
    VST1->viewport()->update();
    UpdatePopupActions();
    emit RunStateChanged();
}

void TFSyncMain::SetViewActionsEnabled(bool enabled) {
    for (QAction* action : viewGroup_->actions()) {
        action->setEnabled(enabled);
    }
}

// ---- Folder bar --------------------------------------------------------------------------

void TFSyncMain::SetFolderBarEnabled(bool enabled) {
    bt_LBrowse->setEnabled(enabled);
    bt_taskconfig->setEnabled(enabled);
    bt_RBrowse->setEnabled(enabled);
    edit_LFolder->setEnabled(enabled);
    Edit_RFolder->setEnabled(enabled);
}

// A shown result was computed for the task's folders and options as they were;
// once they change it could be applied to the wrong folders or in the wrong
// direction, so it goes and the task must be analysed again.
void TFSyncMain::DropResult() {
    ReleaseResult();
    ShowDirectionGlyph();
    BitBtn_Sync->setEnabled(false);
    GroupBox_ResultsFilter->setEnabled(false);
    SetViewActionsEnabled(false);
    for (QAction* action : {act_pop_Donotcopy, act_pop_LtoR, act_pop_RtoL}) {
        action->setEnabled(false);
    }
    emit RunStateChanged();
}

// The dialogs run their own event loop, in which triggers keep firing: while
// one is open the window counts as busy, so no run starts on the task it edits.
void TFSyncMain::BrowseFolder(uint8_t side) {
    if (IsBusy()) {
        return;
    }
    TFolderSource& source = side == 1 ? Task->LFolder : Task->RFolder;
    const TFolderSource before = source;
    TFSelectFolder picker(this);
    picker.Side = side;
    picker.Source = &source;
    dialogOpen_ = true;
    const int result = picker.exec();
    dialogOpen_ = false;
    if (result != QDialog::Accepted) {
        return;
    }
    ShowTaskPaths();
    if (source.DeviceType != before.DeviceType || source.FolerAllName != before.FolerAllName ||
        source.UserName != before.UserName || source.PWD != before.PWD) {
        DropResult();
    }
    SaveTaskToList(this, *Task, false);
    ShowFirstRunTip(side == 1 ? static_cast<QWidget*>(Edit_RFolder) : static_cast<QWidget*>(BitBtn_Analyze));
}

void TFSyncMain::bt_LBrowseClick() {
    BrowseFolder(1);
}

void TFSyncMain::bt_RBrowseClick() {
    BrowseFolder(0);
}

void TFSyncMain::bt_taskconfigClick() {
    if (IsBusy()) {
        return;
    }
    TFTaskConfig dialog(this);
    dialog.IsNew = 0;
    dialog.Task->Assign(*Task);
    dialogOpen_ = true;
    const int result = dialog.exec();
    dialogOpen_ = false;
    // After Apply and then Cancel the task list holds what Apply saved; the
    // window follows the list either way.
    const TSyncTask* saved = result == QDialog::Accepted ? dialog.Task.get() : dialog.LastSaved.get();
    if (saved == nullptr) {
        return;
    }
    Task->Assign(*saved);
    ShowTaskPaths();
    DropResult();
    SendNotifyMessage(mainWnd_, WM_TASKRENAMED, 0, 10);
}

// A server address typed with a user name or password is refused: they belong
// in the user and password fields, not in a text that is stored and shown.
bool TFSyncMain::RefusesUserPart(const TFolderSource& folder, const std::string& typed) {
    if (!IsRemoteKind(folder.DeviceType) || !UrlHasUserPart(typed)) {
        return false;
    }
    MessageBox(this, UserPartMessage, "Tandemora", MB_ICONWARNING);
    return true;
}

// A typed path replaces the folder the shown result was computed for: syncing
// that result would apply its copies and deletions to the new folder. While a
// run is under way (or a dialog edits the task) its workers read the folder and
// hold the result, so a typed path is not taken then, and the edit shows the
// folder the run works on again.
// Blanks around a pasted or typed path are never part of the folder's name;
// then one trailing slash and one trailing backslash go.
std::string TFSyncMain::TypedFolderPath(const QLineEdit* edit) {
    return ExcludeTrailingSlash(TrimBlanks(FromQ(edit->text())));
}

void TFSyncMain::edit_LFolderExit() {
    const std::string typed = TypedFolderPath(edit_LFolder);
    if (typed == Task->LFolder.FolerAllName) {
        edit_LFolder->setText(ToQ(typed));
        return;
    }
    if (IsBusy() || RefusesUserPart(Task->LFolder, typed)) {
        edit_LFolder->setText(ToQ(Task->LFolder.FolerAllName));
        return;
    }
    Task->LFolder.FolerAllName = typed;
    edit_LFolder->setText(ToQ(typed));
    DropResult();
    if (Task->SaveLeftFolderPath() != 0) {
        TellPathNotSaved();
    }
}

void TFSyncMain::Edit_RFolderExit() {
    const std::string typed = TypedFolderPath(Edit_RFolder);
    if (typed == Task->RFolder.FolerAllName) {
        Edit_RFolder->setText(ToQ(typed));
        return;
    }
    if (IsBusy() || RefusesUserPart(Task->RFolder, typed)) {
        Edit_RFolder->setText(ToQ(Task->RFolder.FolerAllName));
        return;
    }
    Task->RFolder.FolerAllName = typed;
    Edit_RFolder->setText(ToQ(typed));
    DropResult();
    if (Task->SaveRightFolderPath() != 0) {
        TellPathNotSaved();
    }
}

// The folder stays in the window for this session only; the user must know.
void TFSyncMain::TellPathNotSaved() {
    MessageBox(this,
               "The folder of the task \"" + ToQ(Task->SyncName) + "\" was not saved: the task list " +
                   ToQ(TaskListPath()) +
                   " could not be read or written.\rThe error log ErrorInfo.txt tells why.",
               "Tandemora", MB_ICONERROR);
}

// The options button shows the direction: both ways, left to right, right to
// left. The text stays beside the image for screen readers.
void TFSyncMain::ShowDirectionGlyph() {
    switch (Task->SyncDirection) {
    case sdLeftToRight:
        bt_taskconfig->setIcon(ButtonImages.iml_button[2]);
        bt_taskconfig->setText("->");
        break;
    case sdRightToLeft:
        bt_taskconfig->setIcon(ButtonImages.iml_button[3]);
        bt_taskconfig->setText("<-");
        break;
    default:
        bt_taskconfig->setIcon(ButtonImages.iml_button[1]);
        bt_taskconfig->setText("<->");
        break;
    }
}

bool TFSyncMain::UsesDrive(const std::string& mountPoint) const {
    return UsesDrive(*Task, mountPoint);
}

bool TFSyncMain::UsesDrive(const TSyncTask& task, const std::string& mountPoint) {
    return LiesUnder(task.RFolder.FolerAllName, mountPoint) ||
           LiesUnder(task.LFolder.FolerAllName, mountPoint);
}

// ---- Status, time and log ------------------------------------------------------------

void TFSyncMain::SetActionStatus(const QString& text) {
    Label_ActionStatus->ShowText(text);
}

void TFSyncMain::Timer1Timer() {
    ElapsedSeconds = ElapsedSeconds + 1;
    Label_lasttime->setText(QString::number(ElapsedSeconds));
}

void TFSyncMain::ScrollLogToEnd() {
    QScrollBar* bar = memo1->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TFSyncMain::KeepLogLine(const std::string& line) {
    logLines_.push_back(line);
    ++logLineCount_;
    if (logLines_.size() > kLogPanelLines) {
        logLines_.pop_front();
        if (shownLines_ > 0) {
            --shownLines_;
        }
    }
}

void TFSyncMain::AddLogLine(const std::string& line, bool red) {
    KeepLogLine(line);
    WriteRunLogLine(line);
    ShowPendingLog(red);
}

// A sync writes a line per item, many per second: each one laid out and drawn
// on its own would cost more than the item. The lines are kept at once and
// shown together a moment later, in order.
void TFSyncMain::QueueLogLine(const std::string& line) {
    KeepLogLine(line);
    WriteRunLogLine(line);
    if (!logTimer_->isActive()) {
        logTimer_->start();
    }
}

// Adds every kept line that the panel does not show yet, in one edit; the last
// one red when asked.
void TFSyncMain::ShowPendingLog(bool lastRed) {
    logTimer_->stop();
    if (shownLines_ >= logLines_.size()) {
        return;
    }
    QTextCursor cursor(memo1->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(memo1->palette().text());
    // The number of the first kept line among all lines added: only the very
    // first line starts the panel without a new block.
    const size_t firstKept = logLineCount_ - logLines_.size();
    for (size_t i = shownLines_; i < logLines_.size(); ++i) {
        if (firstKept + i > 0) {
            cursor.insertBlock();
        }
        if (lastRed && i + 1 == logLines_.size()) {
            format.setForeground(QColor(0xFF, 0x00, 0x00));
        }
        cursor.insertText(ToQ(logLines_[i]), format);
    }
    cursor.endEditBlock();
    shownLines_ = logLines_.size();
}

// A text of several lines (CR LF or LF between them) becomes several log lines.
void TFSyncMain::AddLogText(const std::string& text) {
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        AddLogLine(line);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
}

} // namespace tandemora
