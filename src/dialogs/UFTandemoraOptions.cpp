#include "dialogs/UFTandemoraOptions.h"

#include "dialogs/UPatternCheck.h"
#include "model/UTUtils.h"
#include "platform/Profile.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSysConfig.h"
#include "ui/UElideLabel.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace tandemora {

namespace {

// The autostart entry's name and the flag that asks for one.
const char* const kRunValueName = "Tandemora";

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void SetBox(QCheckBox* box, int value) {
    box->setChecked(value == 1);
}

int BoxValue(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

// A filter list: a hidden key column ("1", "2", ...) and the patterns.
QTableWidget* NewFilterList(QWidget* parent) {
    auto* list = new QTableWidget(1, 2, parent);
    list->horizontalHeader()->hide();
    list->verticalHeader()->hide();
    list->horizontalHeader()->setStretchLastSection(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    return list;
}

void FillFilterList(QTableWidget* list, const std::vector<std::string>& patterns) {
    list->setColumnHidden(0, true);
    list->setRowCount(0);
    for (size_t i = 0; i < patterns.size(); ++i) {
        list->insertRow(static_cast<int>(i));
        list->setItem(static_cast<int>(i), 0, new QTableWidgetItem(QString::number(i + 1)));
        list->setItem(static_cast<int>(i), 1, new QTableWidgetItem(ToQ(patterns[i])));
    }
}

// The patterns row by row, top to bottom; a row of blanks only is no pattern,
// while blanks around a real pattern belong to it. Rows are read by position, so
// two rows that happen to carry the same key keep their own patterns.
std::vector<std::string> FilterListPatterns(const QTableWidget* list) {
    std::vector<std::string> patterns;
    for (int row = 0; row < list->rowCount(); ++row) {
        const QTableWidgetItem* item = list->item(row, 1);
        const std::string value = item != nullptr ? FromQ(item->text()) : std::string();
        if (!Trimmed(value).empty()) {
            patterns.push_back(value);
        }
    }
    return patterns;
}

// What a failed save must give back, so that memory keeps matching the file.
struct TSavedOptions {
    std::string curlang;
    int WindowsStart, CheckVersionVeryDay, CreateFolder, SaveLog, HideTaskToTray, ShowTrayIcon, AutoClose;
    std::string CompareFile;
    std::vector<std::string> ExcludeFilter, IncludeFilter;
};

TSavedOptions Remember(const TSysConfig& c) {
    return {c.curlang,     c.WindowsStart,   c.CheckVersionVeryDay, c.CreateFolder,
            c.SaveLog,     c.HideTaskToTray, c.ShowTrayIcon,        c.AutoClose,
            c.CompareFile, c.ExcludeFilter,  c.IncludeFilter};
}

void Restore(TSysConfig& c, const TSavedOptions& o) {
    c.curlang = o.curlang;
    c.WindowsStart = o.WindowsStart;
    c.CheckVersionVeryDay = o.CheckVersionVeryDay;
    c.CreateFolder = o.CreateFolder;
    c.SaveLog = o.SaveLog;
    c.HideTaskToTray = o.HideTaskToTray;
    c.ShowTrayIcon = o.ShowTrayIcon;
    c.AutoClose = o.AutoClose;
    c.CompareFile = o.CompareFile;
    c.ExcludeFilter = o.ExcludeFilter;
    c.IncludeFilter = o.IncludeFilter;
}

} // namespace

// ---- Creation ---------------------------------------------------------------------------------

TFTandemoraOptions::TFTandemoraOptions(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Tandemora options");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    auto* layout = new QVBoxLayout(this);
    pc1 = new QTabWidget(this);
    ts_general = BuildGeneralPage();
    ts_filter = BuildFilterPage();
    pc1->addTab(ts_general, "General");
    pc1->addTab(ts_filter, "GlobalFilter");
    layout->addWidget(pc1, 1);

    auto* buttons = new QHBoxLayout();
    BitBtn_ok = new QPushButton("OK", this);
    BitBtn_Cancel = new QPushButton("Cancel", this);
    BitBtn_Apply = new QPushButton("Apply", this);
    BitBtn_ok->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn_ok);
    buttons->addWidget(BitBtn_Cancel);
    buttons->addWidget(BitBtn_Apply);
    layout->addLayout(buttons);
    resize(420, 320);

    connect(BitBtn_ok, &QPushButton::clicked, this, [this] {
        if (SaveOptions()) {
            accept();
        }
    });
    connect(BitBtn_Cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(BitBtn_Apply, &QPushButton::clicked, this, [this] { SaveOptions(); });
    connect(cb_comparefile, &QCheckBox::toggled, this, &TFTandemoraOptions::cb_comparefileClick);
    connect(bt_browse, &QPushButton::clicked, this, &TFTandemoraOptions::bt_browseClick);
    connect(bt_addexclude, &QToolButton::clicked, this,
            [this] { AddPatternRow(vedit_exclude, "addexcludeerror"); });
    connect(bt_addinclude, &QToolButton::clicked, this,
            [this] { AddPatternRow(vedit_include, "addincludeerror"); });
    connect(bt_delexclude, &QToolButton::clicked, this,
            [this] { DeleteRow(vedit_exclude, "deleteexcludeerror"); });
    connect(bt_delinclude, &QToolButton::clicked, this,
            [this] { DeleteRow(vedit_include, "deleteincludeerror"); });
}

QWidget* TFTandemoraOptions::BuildGeneralPage() {
    auto* page = new QWidget(this);
    auto* grid = new QGridLayout(page);
    lb_language = new QLabel(page);
    cb_languagelist = new QComboBox(page);
    grid->addWidget(lb_language, 0, 0);
    grid->addWidget(cb_languagelist, 0, 1);
    int row = 1;
    for (QCheckBox** box :
         {&cb_SF, &cb_checkversion, &cb_savelog, &cb_hidetray, &cb_showicon, &cb_autoclose}) {
        *box = new QCheckBox(page);
        grid->addWidget(*box, row++, 0, 1, 2, Qt::AlignLeft);
    }
    grid->setRowStretch(row, 1);

    cb_createfolder = new QCheckBox(page);
    cb_comparefile = new QCheckBox(page);
    edit_comparefilename = new QLineEdit(page);
    edit_comparefilename->setReadOnly(true);
    bt_browse = new QPushButton(page);
    for (QWidget* unseen :
         std::initializer_list<QWidget*>{cb_createfolder, cb_comparefile, edit_comparefilename, bt_browse}) {
        unseen->hide();
    }
    return page;
}

QWidget* TFTandemoraOptions::BuildFilterPage() {
    auto* page = new QWidget(this);
    auto* grid = new QGridLayout(page);
    auto addList = [&](int column, QLabel*& label, QTableWidget*& list, QToolButton*& add,
                       QToolButton*& del) {
        label = new QLabel(page);
        list = NewFilterList(page);
        add = new QToolButton(page);
        add->setText("+");
        del = new QToolButton(page);
        del->setText("-");
        auto* strip = new QHBoxLayout();
        strip->addWidget(label, 1);
        strip->addWidget(add);
        strip->addWidget(del);
        grid->addLayout(strip, 0, column);
        grid->addWidget(list, 1, column);
    };
    addList(0, lb_exclude, vedit_exclude, bt_addexclude, bt_delexclude);
    addList(1, lb_include, vedit_include, bt_addinclude, bt_delinclude);
    // What is wrong with a pattern just entered.
    lb_patternerror = new QLabel(page);
    lb_patternerror->setWordWrap(true);
    lb_patternerror->setTextFormat(Qt::PlainText);
    QPalette red = lb_patternerror->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    lb_patternerror->setPalette(red);
    grid->addWidget(lb_patternerror, 2, 0, 1, 2);
    for (QTableWidget* list : {vedit_exclude, vedit_include}) {
        connect(list, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
            if (item->column() == 1) {
                ShowPatternProblems();
            }
        });
    }
    return page;
}

// ---- Opening ----------------------------------------------------------------------------------

void TFTandemoraOptions::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A window coming back from being minimised keeps what the user did.
    if (!event->spontaneous()) {
        LoadOptions();
        KeepOnScreen(this);
    }
}

void TFTandemoraOptions::LoadCaptions() {
    try {
        pc1->setTabText(0, Lang("General"));
        pc1->setTabText(1, Lang("GlobalFilter"));
        lb_language->setText(Lang("language"));
        lb_exclude->setText(Lang("exclude"));
        lb_include->setText(Lang("include"));
        const std::pair<QAbstractButton*, const char*> captions[] = {
            {cb_SF, "StartTandemora"},   {cb_checkversion, "checkversion"}, {cb_createfolder, "createfolder"},
            {cb_savelog, "savelog"},     {cb_hidetray, "hidetray"},         {cb_showicon, "showicon"},
            {cb_autoclose, "autoclose"}, {cb_comparefile, "comparefile"},   {bt_browse, "browse"},
            {BitBtn_ok, "bt_ok"},        {BitBtn_Cancel, "bt_Cancel"},      {BitBtn_Apply, "tb_Apply"},
        };
        for (const auto& [button, key] : captions) {
            button->setText(Lang(key));
        }
        for (QToolButton* add : {bt_addexclude, bt_addinclude}) {
            add->setToolTip(Lang("addexclude_hint"));
        }
        for (QToolButton* del : {bt_delexclude, bt_delinclude}) {
            del->setToolTip(Lang("delexclude_hint"));
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("readlangerror")), e);
    }
}

void TFTandemoraOptions::LoadOptions() {
    LoadCaptions();
    pc1->setCurrentIndex(0);
    bt_browse->setEnabled(false);
    if (SysConfig == nullptr) {
        return;
    }
    try {
        cb_languagelist->clear();
        std::vector<std::string> languages = SplitCommaList(SysConfig->languages);
        for (const std::string& language : languages) {
            cb_languagelist->addItem(ToQ(language));
        }
        cb_languagelist->setCurrentIndex(IndexOfTrimmed(SysConfig->curlang, languages));

        SetBox(cb_SF, SysConfig->WindowsStart);
        SetBox(cb_checkversion, SysConfig->CheckVersionVeryDay);
        SetBox(cb_createfolder, SysConfig->CreateFolder);
        SetBox(cb_savelog, SysConfig->SaveLog);
        SetBox(cb_hidetray, SysConfig->HideTaskToTray);
        SetBox(cb_showicon, SysConfig->ShowTrayIcon);
        SetBox(cb_autoclose, SysConfig->AutoClose);
        // The entry follows the program wherever it was moved to since it was written.
        if (SysConfig->WindowsStart == 1) {
            SetRunAtStartup(kRunValueName, kRunValueName);
        }

        const std::string compare = Trimmed(SysConfig->CompareFile);
        if (!compare.empty()) {
            cb_comparefile->setChecked(true);
            edit_comparefilename->setText(ToQ(compare));
            bt_browse->setEnabled(true);
        }

        FillFilterList(vedit_exclude, SysConfig->ExcludeFilter);
        FillFilterList(vedit_include, SysConfig->IncludeFilter);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang("createsyncjoberror")), e);
    }
}

// ---- Editing ----------------------------------------------------------------------------------

void TFTandemoraOptions::DeleteRow(QTableWidget* list, const char* errorKey) {
    try {
        const int row = list->currentRow();
        if (row >= 0 && list->rowCount() > 0) {
            list->removeRow(row);
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang(errorKey)), e);
    }
}

QString TFTandemoraOptions::ListName(const QTableWidget* list) const {
    return Lang(list == vedit_exclude ? "exclude" : "include");
}

// Checks both lists and shows the first problem under them; the first row with
// a problem, or -1, in row, and its list in list.
QString TFTandemoraOptions::ShowPatternProblems(QTableWidget** list, int* row) {
    QString shown;
    for (QTableWidget* patterns : {vedit_exclude, vedit_include}) {
        QString problem;
        const int bad = CheckPatternList(patterns, ListName(patterns), problem);
        if (problem.isEmpty()) {
            problem = JoinedPatternProblem(ListName(patterns), FilterListPatterns(patterns), {});
        }
        if (!problem.isEmpty() && shown.isEmpty()) {
            shown = problem;
            if (list != nullptr) {
                *list = patterns;
            }
            if (row != nullptr) {
                *row = bad;
            }
        }
    }
    lb_patternerror->setText(shown);
    return shown;
}

void TFTandemoraOptions::cb_comparefileClick(bool checked) {
    bt_browse->setEnabled(checked);
    if (!checked) {
        edit_comparefilename->clear();
    }
}

void TFTandemoraOptions::bt_browseClick() {
    const QString chosen = AskFileName(this, TFileDialogKind::Open, "exe;cmd,bat|*.exe;*.cmd;*.bat");
    if (!chosen.isEmpty()) {
        edit_comparefilename->setText(chosen);
    }
}

// ---- Saving -----------------------------------------------------------------------------------

// The start-up refuses to run without its language file, so a language whose
// file is not beside the program would lock the user out at the next start.
bool TFTandemoraOptions::LanguageUsable(const std::string& name) {
    if (!name.empty() && ProfileFileExists(GetProgramFolder() + name)) {
        return true;
    }
    MessageBox(this,
               "The language file \"" + ToQ(name) + "\" is not in the program folder " +
                   ToQ(GetProgramFolder()) + ".\rTandemora could not start with it, so nothing was saved.",
               "Tandemora", MB_ICONERROR);
    return false;
}

// The options file keeps a pattern list as one line with a "," after each
// pattern, so a pattern holding "," would come back as two different ones.
bool TFTandemoraOptions::PatternsStorable(const std::vector<std::string>& patterns, const char* listKey) {
    for (const std::string& pattern : patterns) {
        if (pattern.find(',') != std::string::npos) {
            pc1->setCurrentWidget(ts_filter);
            MessageBox(this,
                       "The " + Lang(listKey).toLower() + " pattern \"" + ToQ(pattern) +
                           "\" contains \",\", which the options file cannot keep in a pattern.\r"
                           "Nothing was saved.",
                       "Tandemora", MB_ICONERROR);
            return false;
        }
    }
    return true;
}

bool TFTandemoraOptions::SaveOptions() {
    if (SysConfig == nullptr) {
        return false;
    }
    // Without a selected language the one in use stays.
    std::string language = SysConfig->curlang;
    if (cb_languagelist->currentIndex() >= 0) {
        language = Trimmed(FromQ(cb_languagelist->currentText()));
        if (!LanguageUsable(language)) {
            return false;
        }
    }
    const std::vector<std::string> exclude = FilterListPatterns(vedit_exclude);
    const std::vector<std::string> include = FilterListPatterns(vedit_include);
    if (!PatternsStorable(exclude, "exclude") || !PatternsStorable(include, "include")) {
        return false;
    }
    // Every analysis would fail on a pattern that does not compile.
    QTableWidget* badList = nullptr;
    int badRow = -1;
    const QString problem = ShowPatternProblems(&badList, &badRow);
    if (!problem.isEmpty()) {
        pc1->setCurrentWidget(ts_filter);
        if (badList != nullptr && badRow >= 0) {
            badList->setCurrentCell(badRow, 1);
        }
        MessageBox(this, problem + "\rNothing was saved.", "Tandemora", MB_ICONERROR);
        return false;
    }

    const TSavedOptions before = Remember(*SysConfig);
    SysConfig->curlang = language;
    SysConfig->WindowsStart = BoxValue(cb_SF);
    SysConfig->CheckVersionVeryDay = BoxValue(cb_checkversion);
    SysConfig->CreateFolder = BoxValue(cb_createfolder);
    SysConfig->SaveLog = BoxValue(cb_savelog);
    SysConfig->HideTaskToTray = BoxValue(cb_hidetray);
    SysConfig->ShowTrayIcon = BoxValue(cb_showicon);
    SysConfig->AutoClose = BoxValue(cb_autoclose);
    SysConfig->CompareFile = FromQ(edit_comparefilename->text());
    SysConfig->ExcludeFilter = exclude;
    SysConfig->IncludeFilter = include;

    int result = 2;
    try {
        result = SysConfig->Save();
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kConfigAccessError, e);
    }
    if (result != 0) {
        Restore(*SysConfig, before);
        const QString path = ToQ(GetProgramFolder() + kOptionsFileName);
        MessageBox(this,
                   result == 1 ? "The options file " + path + " is missing; the options were not saved."
                               : "The options could not be saved to " + path +
                                     ".\rThe error log ErrorInfo.txt tells why.",
                   "Tandemora", MB_ICONERROR);
        return false;
    }
    // Start at log-in follows the saved option, so Cancel leaves it as it was.
    SetRunAtStartup(kRunValueName, SysConfig->WindowsStart == 1 ? kRunValueName : "");
    return true;
}

} // namespace tandemora
