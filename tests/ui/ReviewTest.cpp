// A run reviewed as a person reviews it at the window's designed size: every
// column of both sides in view, conflicts that wait named, the action of each
// row in words, the rows' values after a sync, a run that did not start said
// so, and a folder picker that takes what is typed.

#include "UiFixture.h"

#include "model/UTResultRows.h"
#include "ui/UHintWin.h"
#include "ui/UResultImages.h"
#include "ui/UResultModel.h"
#include "ui/UResultView.h"

#include <QHelpEvent>
#include <QScrollBar>
#include <QSplitter>

namespace uitest {
namespace {

using tandemora::TFileTree;
using tandemora::TFSyncMain;
using tandemora::TResultRow;
using tandemora::TResultRows;
using tandemora::TResultRowsModel;

// 2021-03-04 05:06:08 and 2020-01-02 03:04:06 as DOS date-times.
constexpr int32_t kLeftDos = ((2021 - 1980) << 25) | (3 << 21) | (4 << 16) | (5 << 11) | (6 << 5) | 4;
constexpr int32_t kRightDos = ((2020 - 1980) << 25) | (1 << 21) | (2 << 16) | (3 << 11) | (4 << 5) | 3;

void SetTime(const std::string& path, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TResultRow* RowNamed(TResultRows& rows, const std::string& name) {
    TResultRow* found = nullptr;
    rows.ForEachRow([&](TResultRow* row) {
        if (row->Name == name && found == nullptr) {
            found = row;
        }
    });
    return found;
}

class ReviewTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        left = folders / "left";
        right = folders / "right";
        std::filesystem::create_directories(left);
        std::filesystem::create_directories(right);
    }

    TFSyncMain* StartWith(const std::function<void(tandemora::TSyncTask&)>& adjust = {}) {
        WriteOptions({{"IsFirst", "0"}});
        SaveTask("Docs", left, right, adjust);
        EXPECT_TRUE(Start());
        main->show();
        QCoreApplication::processEvents();
        return Window(0);
    }

    static bool Analyze(TFSyncMain* window) {
        Click(window->BitBtn_Analyze);
        return WaitIdle(window) && window->ResultTree != nullptr;
    }

    static bool Sync(TFSyncMain* window) {
        Click(window->BitBtn_Sync);
        return WaitIdle(window);
    }

    static QString Status(TFSyncMain* window) { return window->Label_ActionStatus->text(); }

    std::string left;
    std::string right;
};

// ---- Conflicts ------------------------------------------------------------------------------

// A sync leaves the files changed on both sides as they are; the analysis after
// it finds nothing to copy, and the window still says what waits.
TEST_F(ReviewTest, ConflictsLeftByASyncAreNamedAtTheNextAnalysis) {
    for (const char* name : {"a.txt", "b.txt"}) {
        WriteFile(left + "/" + name, "first");
    }
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    ASSERT_TRUE(Sync(window));
    EXPECT_FALSE(window->rb_conflicts->font().bold());

    // Both files changed on both sides, and one new file to copy.
    for (const char* name : {"a.txt", "b.txt"}) {
        WriteFile(left + "/" + name, "left edit");
        WriteFile(right + "/" + name, "the right side's edit");
        SetTime(left + "/" + name, 1700000000);
        SetTime(right + "/" + name, 1700000600);
    }
    WriteFile(left + "/new.txt", "new");
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(window->rb_conflicts->text(), Text("conflicts") + "(2)");
    ASSERT_TRUE(Sync(window));
    EXPECT_EQ(ReadFile(right + "/new.txt"), "new");
    EXPECT_EQ(ReadFile(right + "/a.txt"), "the right side's edit");
    EXPECT_EQ(Status(window),
              Text("syncend") + ". 2 conflicts wait for your decision: choose Conflicts to see them");

    // Nothing to copy, so the Changes view is empty and Sync stays off; the
    // status line and the marked Conflicts button say what waits.
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(window->rb_changed->text(), Text("changed") + "(0)");
    EXPECT_TRUE(window->rb_changed->isChecked());
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    EXPECT_EQ(window->rb_conflicts->text(), Text("conflicts") + "(2)");
    EXPECT_TRUE(window->rb_conflicts->font().bold());
    EXPECT_FALSE(window->rb_conflicts->icon().isNull());
    EXPECT_EQ(Status(window),
              Text("analyzefinish") + ". 2 conflicts wait for your decision: choose Conflicts to see them");

    // Settled by hand, nothing waits and the mark goes.
    WriteFile(left + "/a.txt", "the right side's edit");
    WriteFile(left + "/b.txt", "the right side's edit");
    SetTime(left + "/a.txt", 1700000600);
    SetTime(left + "/b.txt", 1700000600);
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(window->rb_conflicts->text(), Text("conflicts") + "(0)");
    EXPECT_FALSE(window->rb_conflicts->font().bold());
    EXPECT_EQ(Status(window), Text("analyzefinish"));
}

// ---- Layout ---------------------------------------------------------------------------------

// At the designed 900 x 700, with enough rows for a vertical scroll bar, every
// column lies inside the view; a wider window widens the names only; a short
// one keeps the tree's rows and gives up the log.
TEST_F(ReviewTest, BothSidesAreInViewAtTheDesignedSize) {
    for (int i = 0; i < 60; ++i) {
        WriteFile(left + "/file-" + std::to_string(i) + ".txt",
                  std::string(static_cast<size_t>(i) * 1000, 'x'));
    }
    WriteFile(right + "/only-right.txt", "r");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(main->size(), QSize(900, 700));
    ASSERT_TRUE(Analyze(window));
    QCoreApplication::processEvents();
    tandemora::TResultView* view = window->VST1;
    QHeaderView* header = view->header();
    ASSERT_TRUE(view->verticalScrollBar()->isVisible());

    auto rightEdge = [&](int column) {
        return header->sectionViewportPosition(column) + header->sectionSize(column);
    };
    for (int column = 0; column < TResultRowsModel::kColumnCount; ++column) {
        SCOPED_TRACE(column);
        EXPECT_FALSE(header->isSectionHidden(column));
        EXPECT_GE(header->sectionViewportPosition(column), 0);
        EXPECT_LE(rightEdge(column), view->viewport()->width());
    }
    EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0);
    EXPECT_GE(header->sectionSize(0), 120);
    // A date fits whole in its cell.
    const QModelIndex dated = window->Model()->IndexOf(RowNamed(window->Rows(), "file-1.txt"), 1);
    EXPECT_LE(view->fontMetrics().horizontalAdvance(dated.data().toString()), header->sectionSize(1));

    // Maximised: the spare width goes to the names, the other columns keep theirs.
    std::vector<int> widths;
    for (int column = 0; column < TResultRowsModel::kColumnCount; ++column) {
        widths.push_back(header->sectionSize(column));
    }
    main->resize(1600, 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(rightEdge(TResultRowsModel::kColumnCount - 1), view->viewport()->width());
    EXPECT_GT(header->sectionSize(0), widths[0] + 600);
    for (int column = 1; column < TResultRowsModel::kColumnCount; ++column) {
        EXPECT_EQ(header->sectionSize(column), widths[column]) << column;
    }

    // Made short, the log goes before the tree shows fewer than ten rows.
    const int rowHeight = view->visualRect(window->Model()->IndexOf(window->Rows().RootRow())).height();
    ASSERT_GT(rowHeight, 0);
    for (int height : {700, 520, 420}) {
        SCOPED_TRACE(height);
        main->resize(900, height);
        QCoreApplication::processEvents();
        const int rows = view->viewport()->height() / rowHeight;
        EXPECT_TRUE(rows >= 10 || window->Panel_log->height() == 0)
            << rows << " rows, log " << window->Panel_log->height();
        EXPECT_LE(rightEdge(TResultRowsModel::kColumnCount - 1), view->viewport()->width());
    }
    main->resize(900, 420);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->Panel_log->height(), 0);
    EXPECT_GE(view->viewport()->height() / rowHeight, 5);
}

// The counts' captions take two lines, so their columns are as wide as their
// numbers and the names get the difference; every line of a caption fits.
TEST_F(ReviewTest, CountColumnsAreAsWideAsTheirNumbers) {
    WriteFile(left + "/a.txt", "alpha");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(main->size(), QSize(900, 700));
    ASSERT_TRUE(Analyze(window));
    QCoreApplication::processEvents();
    tandemora::TResultView* view = window->VST1;
    QHeaderView* header = view->header();
    const QFontMetrics cells = view->fontMetrics();
    const QFontMetrics captions = header->fontMetrics();
    const int captionMargin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    int others = 0;
    for (int column = 1; column < TResultRowsModel::kColumnCount; ++column) {
        others += header->sectionSize(column);
    }
    for (int column : {4, 6}) {
        SCOPED_TRACE(column);
        const QString caption = window->Model()->Caption(column);
        const QStringList lines = window->Model()->headerData(column, Qt::Horizontal).toString().split('\n');
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(lines.join(' '), caption);
        // Narrower than the caption on one line, no wider than six digits and
        // a margin (or the caption's wider line) need.
        EXPECT_LT(header->sectionSize(column), captions.horizontalAdvance(caption) + captionMargin);
        const int widerLine =
            std::max(captions.horizontalAdvance(lines[0]), captions.horizontalAdvance(lines[1]));
        EXPECT_LE(header->sectionSize(column),
                  std::max(cells.horizontalAdvance("999999") + 12, widerLine + captionMargin + 4));
        EXPECT_GE(header->sectionSize(column) - captionMargin, widerLine);
        EXPECT_GE(header->sectionSize(column), cells.horizontalAdvance("99999"));
    }
    EXPECT_GE(header->height(), 2 * captions.height());
    // Every other caption stays on one line, and the names take the rest.
    for (int column : {0, 1, 2, 3, 5, 7, 8, 9}) {
        EXPECT_FALSE(window->Model()->headerData(column, Qt::Horizontal).toString().contains('\n')) << column;
    }
    EXPECT_EQ(header->sectionSize(0), view->viewport()->width() - others);
}

// ---- The action cell --------------------------------------------------------------------------

// A result built by hand: one file per action code.
struct THandResult {
    tandemora::TArenaPtr Arena;
    TFileTree* Root = nullptr;

    THandResult() { Root = tandemora::NewTree(Arena); }

    TFileTree* Add(const std::string& name, int32_t code) {
        tandemora::TFileAttri* a = Arena->NewAttri();
        a->Name = name;
        a->RelPath = "/";
        a->Size = 1000;
        a->Time = kLeftDos;
        a->Attr = 32;
        TFileTree* node = Root->AddChild(name, a);
        node->OtherTime = kRightDos;
        node->OtherAttr = 32;
        node->OtherSize = 2000;
        node->SetAction(code);
        return node;
    }
};

// The hint names the action in the language file's words; during and after a
// sync "=" says done (or the row failed), not alike; a row the person set says
// so and what the analysis had chosen, and looks different.
TEST_F(ReviewTest, TheActionCellsHintNamesTheAction) {
    struct Case {
        int32_t Code;
        int32_t AfterSync; // the code the sync wrote into the row, or the code itself
        QString Hint;
    };
    const QString copyLtoR = "Copy left to right (new on the right)";
    const Case cases[] = {
        {tandemora::saCopyLtoR, tandemora::saCopyLtoR, copyLtoR},
        // What the sync wrote.
        {tandemora::saCopyLtoR, tandemora::saSame, "Done: " + copyLtoR},
        {tandemora::saDeleteLeft, tandemora::saSame, "Done: Delete on left"},
        {tandemora::saCopyLtoR, tandemora::saError, "Failed: " + copyLtoR},
    };
    THandResult result;
    for (size_t i = 0; i < std::size(cases); ++i) {
        result.Add("f" + std::to_string(i), cases[i].Code);
    }
    TResultRows rows;
    TResultRowsModel model(&rows);
    rows.InitView("Docs");
    rows.SetResultTree(result.Root);
    ASSERT_TRUE(rows.ShowView(tandemora::vkAll));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        TResultRow* row = RowNamed(rows, "f" + std::to_string(i));
        ASSERT_NE(row, nullptr);
        row->Action.store(cases[i].AfterSync);
        const QModelIndex cell = model.IndexOf(row, TResultRowsModel::kActionColumn);
        EXPECT_EQ(cell.data(Qt::ToolTipRole).toString(), cases[i].Hint);
        EXPECT_FALSE(cell.data(TResultRowsModel::OverriddenRole).toBool());
        EXPECT_FALSE(cell.siblingAtColumn(0).data(Qt::FontRole).isValid());
    }
    // A language file's own words win over the built-in ones.
    std::string language = ReadFile(program / "en-english.lng");
    const std::string shipped = "hint_DeleteLeft=Delete on left";
    ASSERT_NE(language.find(shipped), std::string::npos);
    language.replace(language.find(shipped), shipped.size(), "hint_DeleteLeft=Remove from the left side");
    WriteFile(program / "en-english.lng", language);
    options->OpenLanguage("en-english.lng");
    EXPECT_EQ(model.IndexOf(RowNamed(rows, "f2"), 5).data(Qt::ToolTipRole).toString(),
              "Done: Remove from the left side");

    // Overridden: the copy set to "do not copy", then set back to a copy.
    TResultRow* row = RowNamed(rows, "f0");
    row->Action.store(tandemora::saCopyLtoR);
    ASSERT_TRUE(rows.SetItemAction(row, tandemora::saDoNotCopy));
    const QModelIndex cell = model.IndexOf(row, TResultRowsModel::kActionColumn);
    EXPECT_EQ(cell.data(Qt::ToolTipRole).toString(),
              "Do not copy: left as it is on both sides\nSet by you; the analysis proposed: " + copyLtoR);
    EXPECT_TRUE(cell.data(TResultRowsModel::OverriddenRole).toBool());
    EXPECT_TRUE(cell.siblingAtColumn(0).data(Qt::FontRole).value<QFont>().italic());
    ASSERT_TRUE(rows.SetItemAction(row, tandemora::saOverwriteLtoR));
    EXPECT_EQ(rows.ChosenAction(*row), tandemora::saCopyLtoR);
    EXPECT_TRUE(rows.Overridden(*row));
    // A new result forgets the old one's overrides.
    THandResult next;
    next.Add("f0", tandemora::saCopyLtoR);
    rows.SetResultTree(next.Root);
    ASSERT_TRUE(rows.ShowView(tandemora::vkAll));
    EXPECT_FALSE(rows.Overridden(*RowNamed(rows, "f0")));
}

// In the window the hint is a balloon at the cell, and so are the captions' hints.
TEST_F(ReviewTest, TheActionHintIsABalloonAtTheCell) {
    WriteFile(left + "/a.txt", "alpha");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    tandemora::TResultView* view = window->VST1;
    const QModelIndex cell = window->Model()->IndexOf(RowNamed(window->Rows(), "a.txt"), 5);
    const QPoint at = view->visualRect(cell).center();
    QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &help);
    EXPECT_TRUE(instance->HintWindow->isVisible());
    EXPECT_EQ(instance->HintWindow->Text(), "Copy left to right (new on the right)");

    QHeaderView* header = view->header();
    const QPoint caption(header->sectionViewportPosition(4) + 5, header->height() / 2);
    QHelpEvent captionHelp(QEvent::ToolTip, caption, header->viewport()->mapToGlobal(caption));
    QApplication::sendEvent(header->viewport(), &captionHelp);
    EXPECT_EQ(instance->HintWindow->Text(), "Number of items to be copied from left to right");
}

// ---- After a sync ---------------------------------------------------------------------------

// The rows show what the sides hold after a sync: the copied side takes the
// source's date, size and attributes, and the folder sums follow. The next
// analysis agrees. (Overwrites, deletions and failed rows are
// ResultRowsTest.RowsTheSyncDidShowTheSidesAsTheyAreNow's.)
TEST_F(ReviewTest, RowsShowTheSidesAfterTheSync) {
    WriteFile(left + "/docs/a.txt", "alpha");
    WriteFile(right + "/c.txt", "charlie!");
    SetTime(left + "/docs/a.txt", 1600000000);
    SetTime(right + "/c.txt", 1600000600);
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);

    struct Expect {
        const char* Name;
        QString LSize, RSize;
        bool DatesAlike;
    };
    auto check = [&](const std::vector<Expect>& expected) {
        for (const Expect& e : expected) {
            SCOPED_TRACE(e.Name);
            TResultRow* row = RowNamed(window->Rows(), e.Name);
            ASSERT_NE(row, nullptr);
            const QModelIndex at = window->Model()->IndexOf(row);
            EXPECT_EQ(at.siblingAtColumn(2).data().toString(), e.LSize);
            EXPECT_EQ(at.siblingAtColumn(8).data().toString(), e.RSize);
            if (e.DatesAlike) {
                EXPECT_FALSE(at.siblingAtColumn(1).data().toString().isEmpty());
                EXPECT_EQ(at.siblingAtColumn(1).data().toString(), at.siblingAtColumn(7).data().toString());
                EXPECT_EQ(at.siblingAtColumn(3).data().toString(), at.siblingAtColumn(9).data().toString());
            }
        }
    };

    // First run: one file each way, into a new folder on the right.
    ASSERT_TRUE(Analyze(window));
    check({{"a.txt", "5", "", false}, {"c.txt", "", "8", false}, {"Docs", "5", "8", false}});
    ASSERT_TRUE(Sync(window));
    check({{"a.txt", "5", "5", true},
           {"c.txt", "8", "8", true},
           {"docs", "5", "5", false},
           {"Docs", "13", "13", false}});

    // Second run: nothing left to do, and the rows agree with what the sync showed.
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(window->rb_changed->text(), Text("changed") + "(0)");
    window->rb_all->click();
    check({{"a.txt", "5", "5", true}, {"Docs", "13", "13", false}});
}

// A sync done, the filters show what it left: copies done (offered for no
// override and counted as no change, so Sync stays off), the copy that failed
// among the errors, the conflict still waiting. The next analysis agrees.
TEST_F(ReviewTest, AfterASyncTheFiltersShowWhatItLeft) {
    WriteFile(left + "/conflict.txt", "first");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    ASSERT_TRUE(Sync(window));

    WriteFile(left + "/conflict.txt", "left edit");
    WriteFile(right + "/conflict.txt", "the right side's edit");
    SetTime(left + "/conflict.txt", 1700000000);
    SetTime(right + "/conflict.txt", 1700000600);
    WriteFile(left + "/docs/new.txt", "new on the left");
    WriteFile(right + "/docs/back.txt", "new on the right");
    WriteFile(left + "/gone.txt", "removed before the sync");
    ASSERT_TRUE(Analyze(window));
    ASSERT_EQ(window->rb_changed->text(), Text("changed") + "(3)");
    // The source of one copy goes between the analysis and the sync.
    std::filesystem::remove(left + "/gone.txt");
    ASSERT_TRUE(Sync(window));
    ASSERT_EQ(ReadFile(right + "/docs/new.txt"), "new on the left");
    ASSERT_EQ(ReadFile(left + "/docs/back.txt"), "new on the right");

    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    EXPECT_EQ(window->rb_changed->text(), Text("changed") + "(0)");
    EXPECT_EQ(window->rb_errors->text(), Text("errors") + "(1)");
    EXPECT_EQ(window->rb_conflicts->text(), Text("conflicts") + "(1)");

    auto names = [&] {
        std::vector<std::string> shown;
        window->Rows().ForEachRow([&](TResultRow* row) { shown.push_back(row->Name); });
        return shown;
    };
    using Names = std::vector<std::string>;
    // Each way of choosing a view: the radio buttons, the view actions (the
    // menus and their shortcuts) and the main window's messages.
    struct Choice {
        const char* How;
        std::function<void()> Choose;
        Names Shown;
    };
    const Choice choices[] = {
        {"Changes by its button", [&] { window->rb_changed->click(); }, {"Docs"}},
        {"Changes by its action", [&] { window->Action_changes->trigger(); }, {"Docs"}},
        {"Changes by message", [&] { SendNotifyMessage(window, tandemora::WM_MODIFY, 0, 10); }, {"Docs"}},
        {"Errors", [&] { window->rb_errors->click(); }, {"Docs", "gone.txt"}},
        {"Conflicts", [&] { window->rb_conflicts->click(); }, {"Docs", "conflict.txt"}},
        {"New", [&] { window->Action_New->trigger(); }, {"Docs"}},
    };
    for (const Choice& c : choices) {
        SCOPED_TRACE(c.How);
        c.Choose();
        EXPECT_EQ(names(), c.Shown);
        EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    }

    // All: the copies read as done with both sides alike, and offer no override.
    window->rb_all->click();
    for (const char* name : {"new.txt", "back.txt"}) {
        SCOPED_TRACE(name);
        TResultRow* row = RowNamed(window->Rows(), name);
        ASSERT_NE(row, nullptr);
        const QModelIndex at = window->Model()->IndexOf(row);
        EXPECT_EQ(at.siblingAtColumn(5).data(TResultRowsModel::ImageRole).toInt(), tandemora::iiSame);
        EXPECT_TRUE(at.siblingAtColumn(5).data(Qt::ToolTipRole).toString().startsWith("Done: Copy"));
        EXPECT_FALSE(at.siblingAtColumn(2).data().toString().isEmpty());
        EXPECT_EQ(at.siblingAtColumn(2).data().toString(), at.siblingAtColumn(8).data().toString());
        EXPECT_EQ(at.siblingAtColumn(1).data().toString(), at.siblingAtColumn(7).data().toString());
        tandemora::TResultView* view = window->VST1;
        view->scrollTo(at);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(at).center());
        EXPECT_FALSE(window->act_pop_LtoR->isEnabled());
        EXPECT_FALSE(window->act_pop_RtoL->isEnabled());
        EXPECT_FALSE(window->act_pop_Donotcopy->isEnabled());
    }
    const QModelIndex failed = window->Model()->IndexOf(RowNamed(window->Rows(), "gone.txt"), 5);
    EXPECT_EQ(failed.data(TResultRowsModel::ImageRole).toInt(), tandemora::iiError);
    EXPECT_TRUE(failed.data(Qt::ToolTipRole).toString().startsWith("Failed: Copy"));
    // A folder set to "do not copy" leaves its done rows as they are.
    TResultRow* docs = RowNamed(window->Rows(), "docs");
    ASSERT_NE(docs, nullptr);
    window->VST1->setCurrentIndex(window->Model()->IndexOf(docs));
    window->act_pop_Donotcopy->setEnabled(true);
    window->act_pop_Donotcopy->trigger();
    EXPECT_EQ(RowNamed(window->Rows(), "new.txt")->Action.load(), tandemora::saSame);
    window->rb_changed->click();
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());

    // The next analysis finds nothing to copy; the conflict still waits.
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(window->rb_changed->text(), Text("changed") + "(0)");
    EXPECT_EQ(window->rb_conflicts->text(), Text("conflicts") + "(1)");
    EXPECT_EQ(window->rb_errors->text(), Text("errors") + "(0)");
}

// "Do not copy" changes what is done, not what the sides hold: a row keeps both
// sides' values, and its counts and those of the rows above it follow at once.
// A file the task's direction keeps on its side shows it there.
TEST_F(ReviewTest, DoNotCopyKeepsBothSidesAndItsCountsFollowAtOnce) {
    WriteFile(left + "/sub/keep.txt", "stays on the left");
    WriteFile(right + "/sub/a.txt", "alpha");
    WriteFile(right + "/sub/b.txt", "bravo");
    WriteFile(left + "/both.txt", "old");
    WriteFile(right + "/both.txt", "newer, longer");
    SetTime(left + "/both.txt", 1700000000);
    SetTime(right + "/both.txt", 1700000600);
    TFSyncMain* window =
        StartWith([](tandemora::TSyncTask& task) { task.SyncDirection = tandemora::sdRightToLeft; });
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    window->rb_all->click();
    auto cell = [&](const char* name, int column) {
        TResultRow* row = RowNamed(window->Rows(), name);
        return row != nullptr ? window->Model()->IndexOf(row, column).data().toString() : QString("(none)");
    };
    // Kept on the left by the direction: its left side is in view.
    EXPECT_EQ(window->Rows().ChosenAction(*RowNamed(window->Rows(), "keep.txt")), tandemora::saDoNotCopy);
    EXPECT_EQ(cell("keep.txt", 2), "17");
    EXPECT_FALSE(cell("keep.txt", 1).isEmpty());
    ASSERT_EQ(cell("sub", 6), "2");
    ASSERT_EQ(cell("Docs", 6), "3");

    struct Case {
        const char* Name;
        QString LSize, RSize, SubCount, RootCount, Changes;
    };
    const Case cases[] = {
        {"a.txt", "", "5", "1", "2", "(2)"},
        {"both.txt", "3", "13", "1", "1", "(1)"},
    };
    tandemora::TResultView* view = window->VST1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QModelIndex at = window->Model()->IndexOf(RowNamed(window->Rows(), c.Name));
        ASSERT_EQ(at.siblingAtColumn(6).data().toString(), "1");
        view->scrollTo(at);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(at).center());
        ASSERT_TRUE(window->act_pop_Donotcopy->isEnabled());
        window->act_pop_Donotcopy->trigger();
        EXPECT_EQ(at.siblingAtColumn(6).data().toString(), "");
        EXPECT_EQ(at.siblingAtColumn(2).data().toString(), c.LSize);
        EXPECT_EQ(at.siblingAtColumn(8).data().toString(), c.RSize);
        EXPECT_EQ(at.siblingAtColumn(1).data().toString().isEmpty(), c.LSize.isEmpty());
        EXPECT_FALSE(at.siblingAtColumn(7).data().toString().isEmpty());
        EXPECT_EQ(cell("sub", 6), c.SubCount);
        EXPECT_EQ(cell("Docs", 6), c.RootCount);
        EXPECT_EQ(window->rb_changed->text(), Text("changed") + c.Changes);
    }
    // The rebuilt view agrees with what the override showed.
    window->rb_all->click();
    EXPECT_EQ(cell("sub", 6), "1");
    EXPECT_EQ(cell("Docs", 6), "1");
    EXPECT_EQ(cell("both.txt", 2), "3");
    EXPECT_EQ(cell("both.txt", 8), "13");
    EXPECT_EQ(cell("keep.txt", 2), "17");
}

// ---- A run that did not start ------------------------------------------------------------------

// The status line says that the analysis did not run and why; a path of any
// length is shortened in the middle, keeping its start and the reason.
TEST_F(ReviewTest, AnAnalysisThatDidNotRunSaysSoInTheStatusLine) {
    WriteFile(left + "/a.txt", "alpha");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    ASSERT_EQ(Status(window), Text("analyzefinish"));

    const std::string missing = folders / "missing";
    std::string huge = folders.path();
    while (huge.size() < 1000000) {
        huge += "/" + std::string(200, 'd');
    }
    struct Case {
        const char* Name;
        std::string Left;
        QString Status;
    };
    const QString ellipsis(QChar(0x2026));
    const Case cases[] = {
        {"missing folder", missing,
         "Not analysed: Cannot connect Left folder: " + QString::fromStdString(missing) +
             " (No such file or directory)"},
        {"a million characters", huge, ""},
        {"same folders", right, "Not analysed: Left and right folders are the same"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        window->Task->LFolder.FolerAllName = c.Left;
        Click(window->BitBtn_Analyze);
        ASSERT_TRUE(WaitIdle(window));
        const QString status = Status(window);
        if (!c.Status.isEmpty()) {
            EXPECT_EQ(status, c.Status);
            continue;
        }
        EXPECT_TRUE(status.startsWith("Not analysed: Cannot connect Left folder: " +
                                      QString::fromStdString(folders.path().substr(0, 12))))
            << status.left(100).toStdString();
        EXPECT_TRUE(status.endsWith("ddd (File name too long)")) << status.right(100).toStdString();
        EXPECT_TRUE(status.contains(ellipsis));
        EXPECT_LE(status.size(), 120);
        EXPECT_EQ(window->Label_ActionStatus->toolTip(), status);
    }
}

// ---- Folder picker ----------------------------------------------------------------------------

// The picker opens with the focus in the address: what is typed lands there,
// and Enter takes it. OK on an address that names nothing keeps the folder
// chosen before.
TEST_F(ReviewTest, ThePickerTakesWhatIsTypedAndKeepsTheFolderOnAnEmptyOk) {
    const std::string before = Dir("before");
    {
        tandemora::TFolderSource source;
        source.DeviceType = tandemora::dtLocal;
        source.FolerAllName = before;
        auto picker = OpenPicker(source);
        // The address holds the folder, selected: a typed path replaces it.
        QWidget* focus = QApplication::focusWidget();
        ASSERT_EQ(focus, picker->Edit_Address);
        EXPECT_EQ(picker->Edit_Address->selectedText().toStdString(), before);
        const std::string after = folders / "after";
        QTest::keyClicks(focus, QString::fromStdString(after));
        EXPECT_EQ(picker->Edit_Address->text().toStdString(), after);
        QTest::keyClick(focus, Qt::Key_Return);
        EXPECT_EQ(picker->result(), QDialog::Accepted);
        EXPECT_EQ(source.FolerAllName, after);
    }
    struct Case {
        int Page;
        QString Address;
    };
    const Case cases[] = {{0, ""},       {0, "   "},     {1, "\\\\"}, {1, "//"},
                          {2, "ftp://"}, {4, "http://"}, {4, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Address.toStdString() + " on page " + std::to_string(c.Page));
        tandemora::TFolderSource source;
        source.DeviceType = tandemora::dtLocal;
        source.FolerAllName = before;
        auto picker = OpenPicker(source);
        ClickTab(picker->pc1, c.Page);
        QLineEdit* address = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        ASSERT_NE(address, nullptr);
        Type(address, c.Address);
        QTest::keyClick(address, Qt::Key_Return);
        EXPECT_FALSE(picker->isVisible());
        EXPECT_EQ(picker->result(), QDialog::Rejected);
        EXPECT_EQ(source.DeviceType, tandemora::dtLocal);
        EXPECT_EQ(source.FolerAllName, before);
    }
    EXPECT_TRUE(boxes.empty());
}

} // namespace
} // namespace uitest
