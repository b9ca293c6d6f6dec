#include "dialogs/UFTaskConfig.h"

#include "dialogs/ScheduleManagerUnit.h"
#include "dialogs/ScheduleTaskUnit.h"
#include "dialogs/UFSelectFolder.h"
#include "dialogs/UPatternCheck.h"
#include "model/UTUtils.h"
#include "tasks/TaskList.h"
#include "ui/UElideLabel.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <sys/stat.h>

namespace tandemora {

namespace {

// The same words the task window writes to its log when it refuses to analyse.
const char* const kSameFolders = "Left and right folders are the same";
const char* const kNestedFolders = "Cannot Analyze nested folders.";
const char* const kEmptyFolders = "Folders is empty.";

// A server address that carries a user name or password (say from an imported
// task list); the picker never makes one.
bool HasUserPart(const TFolderSource& folder) {
    return (folder.DeviceType == dtFtp || folder.DeviceType == dtWebDav) &&
           UrlHasUserPart(folder.FolerAllName);
}

void SetBox(QCheckBox* box, int32_t value) {
    box->setChecked(value == 1);
}

int32_t BoxValue(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

// The file's identity: a successful save replaces the file by a new one.
bool FileIdentity(const std::string& path, struct stat& st) {
    return stat(path.c_str(), &st) == 0;
}

// Pattern lists: the value column alone is shown; the key column only numbers rows.
QTableWidget* NewPatternList(QWidget* parent) {
    auto* list = new QTableWidget(1, 2, parent);
    list->horizontalHeader()->hide();
    list->verticalHeader()->hide();
    list->setColumnHidden(0, true);
    list->horizontalHeader()->setStretchLastSection(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setItem(0, 0, new QTableWidgetItem("0"));
    list->setItem(0, 1, new QTableWidgetItem(QString()));
    return list;
}

void SetPatterns(QTableWidget* list, const std::vector<std::string>& patterns) {
    list->setRowCount(0);
    for (size_t i = 0; i < patterns.size(); ++i) {
        const int row = list->rowCount();
        list->insertRow(row);
        list->setItem(row, 0, new QTableWidgetItem(QString::number(i + 1)));
        list->setItem(row, 1, new QTableWidgetItem(ToQ(patterns[i])));
    }
    // The list always keeps one row to type into.
    if (list->rowCount() == 0) {
        list->insertRow(0);
        list->setItem(0, 0, new QTableWidgetItem("0"));
        list->setItem(0, 1, new QTableWidgetItem(QString()));
    }
}

// Every row whose value is not blank, as typed (a leading blank can belong to a
// pattern), top to bottom; equal rows are all kept.
std::vector<std::string> GetPatterns(const QTableWidget* list) {
    std::vector<std::string> patterns;
    for (int row = 0; row < list->rowCount(); ++row) {
        const QTableWidgetItem* item = list->item(row, 1);
        const std::string value = item != nullptr ? FromQ(item->text()) : std::string();
        if (!TrimBlanks(value).empty()) {
            patterns.push_back(value);
        }
    }
    return patterns;
}

} // namespace

bool SaveTaskToList(QWidget* parent, TSyncTask& task, bool IsNew) {
    const std::string path = TaskListPath();
    const std::string oldID = task.SyncID;
    struct stat before {};
    struct stat after {};
    const bool existed = FileIdentity(path, before);
    task.SaveToTaskList(IsNew);
    const bool saved = existed && FileIdentity(path, after) &&
                       (before.st_ino != after.st_ino || before.st_dev != after.st_dev);
    if (!saved) {
        if (IsNew) {
            task.SyncID = oldID;
        }
        MessageBox(parent,
                   "The task \"" + ToQ(task.SyncName) + "\" could not be saved in the task list " +
                       ToQ(path) + ". The error log ErrorInfo.txt tells why.",
                   "Tandemora", MB_ICONERROR);
    }
    return saved;
}

// ---- Creation ---------------------------------------------------------------------------

TFTaskConfig::TFTaskConfig(QWidget* parent) : QDialog(parent), Task(std::make_unique<TSyncTask>()) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    BuildControls();
    ConnectRules();
    RegisterHints();
    resize(506, 411);
}

TFTaskConfig::~TFTaskConfig() = default;

void TFTaskConfig::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    pc1 = new QTabWidget(this);
    ts_General = BuildGeneralPage();
    ts_filter = BuildFilterPage();
    ts_atuo = BuildAutoPage();
    pc1->addTab(ts_General, "General");
    pc1->addTab(ts_filter, "Filters");
    pc1->addTab(ts_atuo, "Auto");
    layout->addWidget(pc1, 1);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setReadOnly(true);
    Memo1->setFixedHeight(56);
    ShowOnButtonFace(Memo1);
    layout->addWidget(Memo1);

    auto* buttons = new QHBoxLayout();
    BitBtn_ok = new QPushButton("&Ok", this);
    BitBtn_Cancel = new QPushButton("&Cancel", this);
    BitBtn_Apply = new QPushButton("Apply", this);
    BitBtn_ok->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn_ok);
    buttons->addWidget(BitBtn_Cancel);
    buttons->addWidget(BitBtn_Apply);
    layout->addLayout(buttons);
}

QWidget* TFTaskConfig::BuildGeneralPage() {
    auto* page = new QWidget(this);
    auto* grid = new QGridLayout(page);
    lb_taskname = new QLabel(page);
    edit_taskname = new QLineEdit(page);
    edit_taskname->setMaxLength(50);
    grid->addWidget(lb_taskname, 0, 0);
    grid->addWidget(edit_taskname, 0, 1, 1, 2);

    lb_lfolder = new QLabel(page);
    edit_lfolder = new QLineEdit(page);
    tb_lbrowse = new QPushButton("Browse", page);
    grid->addWidget(lb_lfolder, 1, 0);
    grid->addWidget(edit_lfolder, 1, 1);
    grid->addWidget(tb_lbrowse, 1, 2);
    lb_rfolder = new QLabel(page);
    edit_rfolder = new QLineEdit(page);
    tb_rbrowse = new QPushButton("Browse", page);
    grid->addWidget(lb_rfolder, 2, 0);
    grid->addWidget(edit_rfolder, 2, 1);
    grid->addWidget(tb_rbrowse, 2, 2);

    lb_syncdirect = new QLabel(page);
    cb_syncdirect = new QComboBox(page);
    grid->addWidget(lb_syncdirect, 3, 0);
    grid->addWidget(cb_syncdirect, 3, 1);

    auto* radios = new QHBoxLayout();
    rb_forcedcopy = new QRadioButton("Forced Copy", page);
    rb_Verified = new QRadioButton("Verified", page);
    cb_usetasktags = new QCheckBox("Source Read Only", page);
    cb_usetasktags->setEnabled(false);
    radios->addWidget(rb_forcedcopy);
    radios->addWidget(rb_Verified);
    radios->addWidget(cb_usetasktags);
    radios->addStretch(1);
    grid->addLayout(radios, 4, 1, 1, 2);

    cb_savepv = new QCheckBox("Save Previous Version of replace/deleted files", page);
    cb_userTemp = new QCheckBox("Safe Copy using temporary files", page);
    cb_prodelete = new QCheckBox("Propagete Deletions when sync", page);
    cb_estimatedisk = new QCheckBox("Do not create __Tandemora__ folder in the both sync folder", page);
    cb_checkfile = new QCheckBox("Check that files did not change between Analyze and Sync", page);
    cb_checkfile->setVisible(false);
    int row = 5;
    for (QCheckBox* box : {cb_savepv, cb_userTemp, cb_prodelete, cb_estimatedisk, cb_checkfile}) {
        grid->addWidget(box, row++, 0, 1, 3);
    }
    grid->setRowStretch(row, 1);
    // The folders change only through Browse; the fields show them.
    edit_lfolder->setReadOnly(true);
    edit_rfolder->setReadOnly(true);
    return page;
}

QWidget* TFTaskConfig::BuildFilterPage() {
    auto* page = new QWidget(this);
    auto* grid = new QGridLayout(page);
    auto listColumn = [&](QLabel*& label, QTableWidget*& list, QToolButton*& add, QToolButton*& remove,
                          int column) {
        label = new QLabel(page);
        list = NewPatternList(page);
        add = new QToolButton(page);
        add->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
        add->setAutoRaise(true);
        remove = new QToolButton(page);
        remove->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
        remove->setAutoRaise(true);
        auto* head = new QHBoxLayout();
        head->addWidget(label, 1);
        head->addWidget(add);
        head->addWidget(remove);
        grid->addLayout(head, 0, column);
        grid->addWidget(list, 1, column);
    };
    listColumn(lb_exclude, vedit_exclude, bt_addexclude, bt_delexclude, 0);
    listColumn(lb_include, vedit_include, bt_addinclude, bt_delinclude, 1);
    cb_excludeempty = new QCheckBox("Exclude empty folders", page);
    cb_excludesystem = new QCheckBox("Exclude System files and folders", page);
    cb_excludehidden = new QCheckBox("Exclude Hidden files and folders", page);
    grid->addWidget(cb_excludeempty, 2, 0, 1, 2);
    grid->addWidget(cb_excludesystem, 3, 0, 1, 2);
    grid->addWidget(cb_excludehidden, 4, 0, 1, 2);
    return page;
}

QWidget* TFTaskConfig::BuildAutoPage() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    gb_atuocondition = new QGroupBox("Auto condiction", page);
    layout->addWidget(gb_atuocondition);
    auto* grid = new QGridLayout(gb_atuocondition);
    cb_syncitstart = new QCheckBox("Sync On Tandemora start", gb_atuocondition);
    cb_anaitstart = new QCheckBox("Analyze On Tandemora start", gb_atuocondition);
    cb_syncconn = new QCheckBox("Sync On Floders Connect", gb_atuocondition);
    cb_anaconn = new QCheckBox("Analyze On  Floders Connect", gb_atuocondition);
    cb_synclogoff = new QCheckBox("Sync On Logoff", gb_atuocondition);
    cb_anslogoff = new QCheckBox("Analyze On  Logoff", gb_atuocondition);
    cb_syncperiod = new QCheckBox("Sync On Periodically", gb_atuocondition);
    cb_anaperiod = new QCheckBox("Analyze On   Periodically", gb_atuocondition);
    const std::pair<QCheckBox*, QCheckBox*> pairs[] = {{cb_syncitstart, cb_anaitstart},
                                                       {cb_syncconn, cb_anaconn},
                                                       {cb_synclogoff, cb_anslogoff},
                                                       {cb_syncperiod, cb_anaperiod}};
    int row = 0;
    for (const auto& [syncBox, analyzeBox] : pairs) {
        grid->addWidget(syncBox, row, 0);
        grid->addWidget(analyzeBox, row, 1);
        ++row;
    }

    auto* period = new QHBoxLayout();
    lb_every = new QLabel("Every", gb_atuocondition);
    edit_hours = new QSpinBox(gb_atuocondition);
    edit_hours->setRange(0, 999);
    lb_hours = new QLabel("Hours", gb_atuocondition);
    edit_minutes = new QSpinBox(gb_atuocondition);
    edit_minutes->setRange(0, 59);
    lb_Minutes = new QLabel("Minutes", gb_atuocondition);
    edit_hours->setEnabled(false);
    edit_minutes->setEnabled(false);
    period->addWidget(lb_every);
    period->addWidget(edit_hours);
    period->addWidget(lb_hours);
    period->addWidget(edit_minutes);
    period->addWidget(lb_Minutes);
    period->addStretch(1);
    grid->addLayout(period, row++, 1);

    cb_synctaskscheduler = new QCheckBox("Sync On Task Scheduler", gb_atuocondition);
    cb_anataskschedule = new QCheckBox("Analyze On  On Task Scheduler", gb_atuocondition);
    grid->addWidget(cb_synctaskscheduler, row, 0);
    grid->addWidget(cb_anataskschedule, row++, 1);
    bt_taskconfig = new QPushButton(gb_atuocondition);
    bt_taskconfig->setEnabled(false);
    // The schedule's description gets the group's whole width on a line of its
    // own, so it reads whole.
    Edit_task = new QLineEdit(gb_atuocondition);
    Edit_task->setReadOnly(true);
    ShowOnButtonFace(Edit_task);
    grid->addWidget(bt_taskconfig, row++, 0, Qt::AlignLeft);
    grid->addWidget(Edit_task, row++, 0, 1, 2);

    auto* conflicts = new QHBoxLayout();
    cb_resolveconflicts = new QLabel("Automatically resolve conflicts", gb_atuocondition);
    cb_coflicts = new QComboBox(gb_atuocondition);
    conflicts->addWidget(cb_resolveconflicts);
    conflicts->addWidget(cb_coflicts, 1);
    grid->addLayout(conflicts, row++, 0, 1, 2);
    layout->addStretch(1);
    return page;
}

// ---- Dependent enabling -----------------------------------------------------------------

// Every rule runs on a change of the box's state, whether a person clicked it or
// TaskToForm set it, so the form always shows what the rules allow.
void TFTaskConfig::ConnectRules() {
    // Only a person's choice of direction runs the direction rule.
    connect(cb_syncdirect, &QComboBox::activated, this, &TFTaskConfig::cb_syncdirectChange);
    connect(cb_estimatedisk, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked) {
            cb_savepv->setChecked(false);
        }
        cb_savepv->setEnabled(!checked);
    });
    PairRule(cb_syncitstart, cb_anaitstart);
    PairRule(cb_syncconn, cb_anaconn);
    PairRule(cb_synclogoff, cb_anslogoff);
    PairRule(cb_syncperiod, cb_anaperiod);
    PairRule(cb_synctaskscheduler, cb_anataskschedule);
    connect(cb_synctaskscheduler, &QCheckBox::toggled, this,
            [this] { bt_taskconfig->setEnabled(cb_anataskschedule->isChecked()); });
    connect(cb_anaperiod, &QCheckBox::toggled, this, [this](bool checked) {
        edit_hours->setEnabled(checked);
        edit_minutes->setEnabled(checked);
        if (!checked) {
            edit_hours->setValue(0);
            edit_minutes->setValue(0);
        }
    });
    connect(cb_anataskschedule, &QCheckBox::toggled, this, &TFTaskConfig::cb_anataskscheduleClick);

    // A pattern is checked as soon as it is entered.
    for (QTableWidget* list : {vedit_exclude, vedit_include}) {
        connect(list, &QTableWidget::itemChanged, this, [this, list](QTableWidgetItem* item) {
            if (item->column() == 1) {
                PatternEdited(list, item->row());
            }
        });
    }
    connect(bt_addexclude, &QToolButton::clicked, this,
            [this] { AddPatternRow(vedit_exclude, "addexcludeerror"); });
    connect(bt_delexclude, &QToolButton::clicked, this, [this] { DeletePatternRow(vedit_exclude); });
    connect(bt_addinclude, &QToolButton::clicked, this,
            [this] { AddPatternRow(vedit_include, "addincludeerror"); });
    connect(bt_delinclude, &QToolButton::clicked, this, [this] { DeletePatternRow(vedit_include); });
    connect(tb_lbrowse, &QPushButton::clicked, this, &TFTaskConfig::tb_lbrowseClick);
    connect(tb_rbrowse, &QPushButton::clicked, this, &TFTaskConfig::tb_rbrowseClick);
    connect(bt_taskconfig, &QPushButton::clicked, this, [this] {
        const QString description = EditSchedule();
        if (!description.isEmpty()) {
            ShowScheduleDescription(description);
        }
    });
    connect(BitBtn_ok, &QPushButton::clicked, this, &TFTaskConfig::BitBtn_okClick);
    connect(BitBtn_Cancel, &QPushButton::clicked, this, &TFTaskConfig::reject);
    connect(BitBtn_Apply, &QPushButton::clicked, this, &TFTaskConfig::BitBtn_ApplyClick);
}

// "Source read only" is offered for one-way directions only.
void TFTaskConfig::cb_syncdirectChange(int index) {
    const bool oneWay = index != sdBothWays;
    rb_forcedcopy->setEnabled(oneWay);
    rb_Verified->setEnabled(oneWay);
    if (oneWay) {
        rb_forcedcopy->setChecked(true);
    }
    cb_usetasktags->setEnabled(oneWay);
    cb_usetasktags->setChecked(false);
}

// A sync trigger includes its analysis: checking the sync box checks its partner
// and holds it there until the sync box is cleared again.
void TFTaskConfig::PairRule(QCheckBox* syncBox, QCheckBox* analyzeBox) {
    connect(syncBox, &QCheckBox::toggled, this, [analyzeBox](bool checked) {
        if (checked) {
            analyzeBox->setChecked(true);
        }
        analyzeBox->setEnabled(!checked);
    });
}

void TFTaskConfig::cb_anataskscheduleClick(bool checked) {
    bt_taskconfig->setEnabled(checked);
    if (!checked) {
        DeleteScheduledRun();
        Edit_task->clear();
    }
}

// Text fields that only show something (the hint pane, the schedule) take the
// button face colour, so they do not read as fields to type in. Styles paint an
// edit's ground with the base colour whatever its background role says.
void TFTaskConfig::ShowOnButtonFace(QWidget* field) {
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    palette.setColor(QPalette::Text, palette.color(QPalette::ButtonText));
    field->setPalette(palette);
}

// Removes the task's run from the system scheduler at once, by the task's stored
// name, whatever the stored switches say: a run scheduled in options that were
// then cancelled is in the crontab with no trace in the task.
void TFTaskConfig::DeleteScheduledRun() {
    if (InitTaskScheduler() == 0) {
        DeleteScheduledTask(Task->SyncName);
    }
}

// A description longer than its field shows from its beginning, with the whole
// text as the field's hint.
void TFTaskConfig::ShowScheduleDescription(const QString& text) {
    Edit_task->setText(text);
    Edit_task->setCursorPosition(0);
    Edit_task->setToolTip(text);
}

QString TFTaskConfig::EditSchedule() {
    TScheduleManagerForm editor(this);
    if (editor.exec() != QDialog::Accepted) {
        return QString();
    }
    int32_t interval = 0;
    const int kind = editor.comScheduleTask->currentIndex();
    if (kind == 0) {
        interval = editor.seEveryOfDaily->value();
    } else if (kind == 1) {
        const QCheckBox* days[] = {editor.CheckBoxMon, editor.CheckBoxTue, editor.CheckBoxWed,
                                   editor.CheckBoxThu, editor.CheckBoxFri, editor.CheckBoxSat,
                                   editor.CheckBoxSun};
        for (int i = 0; i < 7; ++i) {
            WeekDayChecks[i] = days[i]->isChecked() ? 1 : 0;
        }
        interval = editor.seEveryOfWeekly->value();
    } else if (kind == 2) {
        interval = editor.seEveryOfMonthly->value();
    } else {
        return editor.abScheduleTaskName->text();
    }
    // The new run replaces the task's earlier one in a single step, so when it
    // cannot be registered the earlier run and its description stay as they were.
    if (!CreateScheduledTask(Task->SyncName, kind, interval, editor.dtpStartTime->time())) {
        return QString();
    }
    return editor.abScheduleTaskName->text();
}

// ---- Pattern rows ---------------------------------------------------------------------------

QString TFTaskConfig::ListName(const QTableWidget* list) const {
    return Lang(list == vedit_exclude ? "exclude" : "include");
}

// The hint pane says what is wrong with a pattern just entered, and is emptied
// again once the list holds none that is wrong.
void TFTaskConfig::PatternEdited(QTableWidget* list, int row) {
    QString first;
    CheckPatternList(list, ListName(list), first);
    const QTableWidgetItem* item = list->item(row, 1);
    const QString problem = item != nullptr ? item->toolTip() : QString();
    if (!problem.isEmpty()) {
        Memo1->setPlainText(problem);
        shownProblem_ = problem;
    } else if (first.isEmpty() && !shownProblem_.isEmpty() && Memo1->toPlainText() == shownProblem_) {
        Memo1->clear();
        shownProblem_.clear();
    }
}

// A list the analysis could not use is not saved: the Filters page shows the
// first bad pattern and the hint pane says what is wrong.
bool TFTaskConfig::PatternsUsable() {
    const std::pair<QTableWidget*, std::vector<std::string>> lists[] = {
        {vedit_exclude, SysConfig != nullptr ? SysConfig->ExcludeFilter : std::vector<std::string>()},
        {vedit_include, SysConfig != nullptr ? SysConfig->IncludeFilter : std::vector<std::string>()},
    };
    for (const auto& [list, programWide] : lists) {
        QString problem;
        const int row = CheckPatternList(list, ListName(list), problem);
        if (problem.isEmpty()) {
            problem = JoinedPatternProblem(ListName(list), GetPatterns(list), programWide);
        }
        if (!problem.isEmpty()) {
            pc1->setCurrentWidget(ts_filter);
            if (row >= 0) {
                list->setCurrentCell(row, 1);
            }
            list->setFocus();
            Memo1->setPlainText(problem);
            shownProblem_ = problem;
            return false;
        }
    }
    return true;
}

void TFTaskConfig::DeletePatternRow(QTableWidget* list) {
    try {
        const int row = list->currentRow();
        if (row < 0 || list->rowCount() == 0) {
            return;
        }
        list->removeRow(row);
        if (list->rowCount() == 0) {
            SetPatterns(list, {});
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang(list == vedit_exclude ? "deleteexcludeerror" : "deleteincludeerror")),
                             e);
    }
}

// ---- Hint pane ------------------------------------------------------------------------------

void TFTaskConfig::RegisterHints() {
    const std::pair<QWidget*, const char*> hints[] = {
        {lb_taskname, "taskname_hint"},
        {lb_syncdirect, "syncdirect_hint"},
        {rb_forcedcopy, "forcedcopy_hint"},
        {rb_Verified, "Verified_hint"},
        {cb_savepv, "savepv_hint"},
        {cb_userTemp, "userTempfile_hint"},
        {cb_prodelete, "prodelete_hint"},
        {cb_checkfile, "checkfile_hint"},
        {cb_estimatedisk, "estimatedisk_hint"},
        {cb_usetasktags, "sourcereadonly_hint"},
        {vedit_exclude, "exclude_hint"},
        {vedit_include, "include_hint"},
        {cb_excludeempty, "excludeempty_hint"},
        {cb_excludesystem, "excludesystem_hint"},
        {cb_excludehidden, "excludehidden_hint"},
        {cb_syncitstart, "syncitstart_hint"},
        {cb_anaitstart, "anaitstart_hint"},
        {cb_syncconn, "syncconn_hint"},
        {cb_anaconn, "anaconn_hint"},
        {cb_synclogoff, "synclogoff_hint"},
        {cb_anslogoff, "anslogoff_hint"},
        {cb_syncperiod, "syncperiod_hint"},
        {cb_anaperiod, "anaperiod_hint"},
        {cb_synctaskscheduler, "synctaskscheduler_hint"},
        {cb_anataskschedule, "synctaskscheduler_hint"},
        {cb_resolveconflicts, "resolveconflicts_hint"},
        // Places that empty the pane.
        {lb_lfolder, nullptr},
        {lb_rfolder, nullptr},
        {ts_General, nullptr},
        {ts_filter, nullptr},
        {this, nullptr},
    };
    for (const auto& [widget, key] : hints) {
        hintKeys_[widget] = key;
        widget->installEventFilter(this);
    }
    // The page backgrounds and the form answer plain mouse moves over them.
    for (QWidget* background : {ts_General, ts_filter, static_cast<QWidget*>(this)}) {
        background->setMouseTracking(true);
    }
}

// Entering a control shows its text. A plain mouse move reaches a page or the
// form also when it passes over one of their controls; only a move over the
// background itself empties the pane.
bool TFTaskConfig::eventFilter(QObject* watched, QEvent* event) {
    const auto found = hintKeys_.find(watched);
    if (found != hintKeys_.end()) {
        if (event->type() == QEvent::Enter) {
            ShowHintText(found->second);
        } else if (event->type() == QEvent::MouseMove) {
            const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
            if (static_cast<QWidget*>(watched)->childAt(at) == nullptr) {
                ShowHintText(found->second);
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TFTaskConfig::ShowHintText(const char* key) {
    Memo1->setPlainText(key != nullptr ? Lang(key) : QString());
}

// ---- Opening --------------------------------------------------------------------------------

void TFTaskConfig::LoadLanguageTexts() {
    try {
        const std::pair<QAbstractButton*, const char*> buttons[] = {
            {BitBtn_ok, "bt_ok"},
            {BitBtn_Cancel, "bt_Cancel"},
            {BitBtn_Apply, "tb_Apply"},
            {rb_forcedcopy, "forcedcopy"},
            {rb_Verified, "Verified"},
            {cb_savepv, "savepv"},
            {cb_userTemp, "userTempfile"},
            {cb_prodelete, "prodelete"},
            {cb_checkfile, "checkfile"},
            {cb_estimatedisk, "estimatedisk"},
            {tb_lbrowse, "Browse"},
            {tb_rbrowse, "Browse"},
            {cb_excludeempty, "excludeempty"},
            {cb_excludesystem, "excludesystem"},
            {cb_excludehidden, "excludehidden"},
            {cb_syncitstart, "syncitstart"},
            {cb_anaitstart, "anaitstart"},
            {cb_syncconn, "syncconn"},
            {cb_anaconn, "anaconn"},
            {cb_synclogoff, "synclogoff"},
            {cb_syncperiod, "syncperiod"},
            {cb_anaperiod, "anaperiod"},
            {cb_synctaskscheduler, "synctaskscheduler"},
            {cb_anataskschedule, "anataskschedule"},
            {bt_taskconfig, "taskconfig"},
            {cb_usetasktags, "sourcereadonly"},
        };
        for (const auto& [button, key] : buttons) {
            button->setText(Lang(key));
        }
        const std::pair<QLabel*, const char*> labels[] = {
            {lb_taskname, "taskname"}, {lb_lfolder, "lfolder"},
            {lb_rfolder, "rfolder"},   {lb_syncdirect, "syncdirect"},
            {lb_exclude, "exclude"},   {lb_include, "include"},
            {lb_every, "every"},       {lb_hours, "hours"},
            {lb_Minutes, "Minutes"},   {cb_resolveconflicts, "resolveconflicts"},
        };
        for (const auto& [label, key] : labels) {
            label->setText(Lang(key));
        }
        pc1->setTabText(0, Lang("General"));
        pc1->setTabText(1, Lang("filter"));
        pc1->setTabText(2, Lang("atuo"));
        gb_atuocondition->setTitle(Lang("atuocondition"));
        cb_syncdirect->clear();
        cb_syncdirect->addItems({Lang("way"), Lang("ltor"), Lang("rtol")});
        cb_coflicts->clear();
        cb_coflicts->addItems({Lang("donotcopy"), Lang("newerfilewins")});
        const std::pair<QWidget*, const char*> tips[] = {
            {bt_addexclude, "addexclude_hint"}, {bt_addinclude, "addexclude_hint"},
            {bt_delexclude, "delexclude_hint"}, {bt_delinclude, "delexclude_hint"},
            {tb_lbrowse, "Browse_Lhint"},       {tb_rbrowse, "Browse_Rhint"},
        };
        for (const auto& [widget, key] : tips) {
            widget->setToolTip(Lang(key));
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("readlangerror")), e);
    }
}

void TFTaskConfig::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A window coming back from being minimised keeps what the user did.
    if (event->spontaneous()) {
        return;
    }
    LoadLanguageTexts();
    try {
        pc1->setCurrentIndex(0);
        edit_taskname->setFocus();
        if (IsNew == 0 || !Task->SyncName.empty()) {
            setWindowTitle("[" + ToQ(Task->SyncName) + "] " + Lang("Options"));
            TaskToForm();
        } else {
            setWindowTitle("[" + Lang("newtaskname") + "] " + Lang("Options"));
            cb_syncdirect->setCurrentIndex(cb_syncdirect->count() > 0 ? 0 : -1);
            cb_coflicts->setCurrentIndex(cb_coflicts->count() > 0 ? 0 : -1);
            rb_forcedcopy->setEnabled(false);
            rb_Verified->setEnabled(false);
            cb_excludeempty->setChecked(true);
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("createsyncjoberror")), e);
    }
    KeepOnScreen(this);
}

void TFTaskConfig::TaskToForm() {
    const TSyncTask& task = *Task;
    edit_taskname->setText(ToQ(task.SyncName));
    edit_lfolder->setText(ToQ(task.LFolder.FolerAllName));
    edit_rfolder->setText(ToQ(task.RFolder.FolerAllName));
    cb_syncdirect->setCurrentIndex(
        task.SyncDirection >= 0 && task.SyncDirection < cb_syncdirect->count() ? task.SyncDirection : -1);
    if (task.SyncDirection == sdBothWays) {
        rb_forcedcopy->setEnabled(false);
        rb_Verified->setEnabled(false);
        cb_usetasktags->setEnabled(false);
        cb_usetasktags->setChecked(false);
    } else {
        if (task.ForcedOrVerified == fvForcedCopy) {
            rb_forcedcopy->setChecked(true);
        } else if (task.ForcedOrVerified == fvVerified) {
            rb_Verified->setChecked(true);
        }
        cb_usetasktags->setEnabled(true);
    }
    SetBox(cb_savepv, task.SaveOldFile);
    SetBox(cb_userTemp, task.UseTempFile);
    SetBox(cb_prodelete, task.IsDeleteFile);
    SetBox(cb_checkfile, task.CheckNoChange);
    SetBox(cb_estimatedisk, task.EstimateDiskSpace);
    SetPatterns(vedit_exclude, task.ExcludeFilter);
    SetPatterns(vedit_include, task.IncludeFilter);
    SetBox(cb_excludeempty, task.ExcludeEmtpyFolder);
    SetBox(cb_excludesystem, task.ExcludeSystemFile);
    SetBox(cb_excludehidden, task.ExcludeHiddenFile);
    SetBox(cb_syncitstart, task.StartSync);
    SetBox(cb_anaitstart, task.StartAnalyze);
    SetBox(cb_syncconn, task.ConnectSync);
    SetBox(cb_anaconn, task.ConnectAnalyze);
    SetBox(cb_synclogoff, task.LogoffSync);
    SetBox(cb_anslogoff, task.LogoffAnalyze);
    SetBox(cb_syncperiod, task.PeriodSync);
    SetBox(cb_anaperiod, task.PeriodAnalyze);
    edit_hours->setValue(task.Hours);
    edit_minutes->setValue(task.minutes);
    SetBox(cb_synctaskscheduler, task.TSsync);
    SetBox(cb_anataskschedule, task.TSanalyze);
    bt_taskconfig->setEnabled(cb_anataskschedule->isChecked());
    SetBox(cb_usetasktags, task.EnsureFolderTags);
    ShowScheduleDescription(ToQ(task.TaskScheduler));
    cb_coflicts->setCurrentIndex(task.Conflicts >= 0 && task.Conflicts < cb_coflicts->count() ? task.Conflicts
                                                                                              : -1);
}

void TFTaskConfig::FormToTask() {
    TSyncTask& task = *Task;
    task.SyncName = TrimBlanks(FromQ(edit_taskname->text()));
    if (cb_syncdirect->currentIndex() >= 0) {
        task.SyncDirection = cb_syncdirect->currentIndex();
    }
    task.ForcedOrVerified = fvNone;
    if (task.SyncDirection != sdBothWays) {
        if (rb_forcedcopy->isChecked()) {
            task.ForcedOrVerified = fvForcedCopy;
        }
        if (rb_Verified->isChecked()) {
            task.ForcedOrVerified = fvVerified;
        }
    }
    task.SaveOldFile = BoxValue(cb_savepv);
    task.UseTempFile = BoxValue(cb_userTemp);
    task.IsDeleteFile = BoxValue(cb_prodelete);
    task.CheckNoChange = BoxValue(cb_checkfile);
    task.EstimateDiskSpace = BoxValue(cb_estimatedisk);
    task.ExcludeFilter = GetPatterns(vedit_exclude);
    task.IncludeFilter = GetPatterns(vedit_include);
    task.ExcludeEmtpyFolder = BoxValue(cb_excludeempty);
    task.ExcludeSystemFile = BoxValue(cb_excludesystem);
    task.ExcludeHiddenFile = BoxValue(cb_excludehidden);
    task.StartSync = BoxValue(cb_syncitstart);
    task.StartAnalyze = BoxValue(cb_anaitstart);
    task.ConnectSync = BoxValue(cb_syncconn);
    task.ConnectAnalyze = BoxValue(cb_anaconn);
    task.LogoffSync = BoxValue(cb_synclogoff);
    task.LogoffAnalyze = BoxValue(cb_anslogoff);
    task.PeriodSync = BoxValue(cb_syncperiod);
    task.PeriodAnalyze = BoxValue(cb_anaperiod);
    // A spin box always holds a whole number: a field emptied by the user falls
    // back to its last value when it loses the focus.
    task.Hours = edit_hours->value();
    task.minutes = edit_minutes->value();
    task.TSsync = BoxValue(cb_synctaskscheduler);
    task.TSanalyze = BoxValue(cb_anataskschedule);
    task.TaskScheduler = FromQ(Edit_task->text());
    task.EnsureFolderTags = BoxValue(cb_usetasktags);
    if (cb_coflicts->currentIndex() >= 0) {
        task.Conflicts = cb_coflicts->currentIndex();
    }
}

// ---- Browse ---------------------------------------------------------------------------------

void TFTaskConfig::Browse(uint8_t side) {
    TFolderSource& source = side == 1 ? Task->LFolder : Task->RFolder;
    TFSelectFolder picker(this);
    picker.Side = side;
    picker.Source = &source;
    if (picker.exec() == QDialog::Accepted) {
        (side == 1 ? edit_lfolder : edit_rfolder)->setText(ToQ(source.FolerAllName));
    }
}

void TFTaskConfig::tb_lbrowseClick() {
    Browse(1);
}

void TFTaskConfig::tb_rbrowseClick() {
    Browse(0);
}

// ---- OK and Apply ---------------------------------------------------------------------------

// Tabs and task windows are found by the task's name and the command line runs
// tasks by name, so no two tasks may share one.
bool TFTaskConfig::NameTaken(const std::string& name) const {
    try {
        TTaskListDocument document;
        document.LoadFromFile(TaskListPath());
        TXMLTaskListType list = document.GetTaskList();
        for (int32_t i = 0; i < list.Count(); ++i) {
            TXMLTastType tast = list.Tast(i);
            if (IsNew == 0 && tast.GetText("SyncID") == Task->SyncID) {
                continue;
            }
            if (TrimBlanks(tast.GetText("SyncName")) == name) {
                return true;
            }
        }
    } catch (const std::exception&) {
        // A list that cannot be read cannot be saved either; the save says so.
    }
    return false;
}

bool TFTaskConfig::CheckBeforeSave(const std::string& name) {
    // The name also names the task's log and snapshot files.
    if (!IsValidFileName(name)) {
        ShowHintText("tasknameerror");
        return false;
    }
    if (!PatternsUsable()) {
        return false;
    }
    if (NameTaken(name)) {
        MessageBox(this, "A task named \"" + ToQ(name) + "\" already exists. Please choose another name.",
                   "Tandemora", MB_ICONWARNING);
        edit_taskname->setFocus();
        return false;
    }
    // A folder synchronised with itself or with a folder inside it would copy
    // and delete within its own tree.
    const char* problem = nullptr;
    if (TrimBlanks(Task->LFolder.FolerAllName).empty() || TrimBlanks(Task->RFolder.FolerAllName).empty()) {
        problem = kEmptyFolders;
    } else if (HasUserPart(Task->LFolder) || HasUserPart(Task->RFolder)) {
        problem = UserPartMessage;
    } else if (Task->CheckFolders() == fcSameFolder) {
        problem = kSameFolders;
    } else if (Task->CheckFolders() == fcNested) {
        problem = kNestedFolders;
    }
    if (problem != nullptr) {
        pc1->setCurrentWidget(ts_General);
        MessageBox(this, problem, "Tandemora", MB_ICONWARNING);
        return false;
    }
    return true;
}

bool TFTaskConfig::SaveTask() {
    const std::string storedName = Task->SyncName;
    // A run may have been scheduled whatever the switches say now (scheduled,
    // then the options cancelled), so a renamed task always takes its run along.
    const bool mayBeScheduled = IsNew == 0;
    try {
        FormToTask();
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("createsyncjoberror")), e);
    }
    if (!SaveTaskToList(this, *Task, IsNew != 0)) {
        return false;
    }
    LastSaved = std::make_unique<TSyncTask>();
    LastSaved->Assign(*Task);
    // The scheduled run starts the task by its name, so it follows a rename.
    if (mayBeScheduled && Task->SyncName != storedName) {
        RenameScheduledTask(storedName, Task->SyncName);
    }
    return true;
}

void TFTaskConfig::BitBtn_okClick() {
    const std::string name = TrimBlanks(FromQ(edit_taskname->text()));
    if (name.empty()) {
        reject();
        return;
    }
    if (!CheckBeforeSave(name) || !SaveTask()) {
        return;
    }
    accept();
}

void TFTaskConfig::BitBtn_ApplyClick() {
    const std::string name = TrimBlanks(FromQ(edit_taskname->text()));
    if (name.empty() || !CheckBeforeSave(name) || !SaveTask()) {
        return;
    }
    IsNew = 0;
}

} // namespace tandemora
