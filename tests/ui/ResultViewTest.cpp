// The result view as a person reads it: the columns for every action code, sums
// over the rows shown, the view kinds, overrides, and rows redrawn during a sync.

#include "UiFixture.h"

#include "model/UTResultRows.h"
#include "ui/UNotifyEvent.h"
#include "ui/UResultImages.h"
#include "ui/UResultModel.h"
#include "ui/UResultView.h"

#include <QImage>
#include <QThread>

namespace uitest {
namespace {

using tandemora::TFileTree;
using tandemora::TFSyncMain;
using tandemora::TResultImages;
using tandemora::TResultRow;
using tandemora::TResultRows;
using tandemora::TResultRowsModel;

constexpr int kImage = TResultRowsModel::ImageRole;

// 2021-03-04 05:06:08 and 2020-01-02 03:04:06 as DOS date-times.
constexpr int32_t kLeftDos = ((2021 - 1980) << 25) | (3 << 21) | (4 << 16) | (5 << 11) | (6 << 5) | 4;
constexpr int32_t kRightDos = ((2020 - 1980) << 25) | (1 << 21) | (2 << 16) | (3 << 11) | (4 << 5) | 3;

// The default locale for the life of a test (the model reads it when it is made).
class ScopedLocale {
public:
    explicit ScopedLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~ScopedLocale() { QLocale::setDefault(QLocale::system()); }
};

void SetTime(const std::string& path, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A result built by hand: one file per action code below the root, and folders.
struct THandResult {
    tandemora::TArenaPtr Arena;
    TFileTree* Root = nullptr;

    THandResult() { Root = tandemora::NewTree(Arena); }

    TFileTree* Add(TFileTree* parent, const std::string& name, bool folder, int32_t code) {
        tandemora::TFileAttri* a = Arena->NewAttri();
        a->Name = name;
        a->IsFolder = folder ? 1 : 0;
        a->RelPath = "/";
        a->Size = folder ? 0 : 1234567;
        a->Time = kLeftDos;
        a->Attr = folder ? 16 : 33; // read-only archive
        TFileTree* node = parent->AddChild(name, a);
        node->OtherTime = kRightDos;
        node->OtherAttr = folder ? 16 : 34; // hidden archive
        node->OtherSize = folder ? 0 : 2048;
        if (code != tandemora::saUnset) {
            node->SetAction(code);
        }
        return node;
    }
};

TResultRow* RowNamed(TResultRows& rows, const std::string& name) {
    TResultRow* found = nullptr;
    rows.ForEachRow([&](TResultRow* row) {
        if (row->Name == name && found == nullptr) {
            found = row;
        }
    });
    return found;
}

class ResultViewTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        left = folders / "left";
        right = folders / "right";
        std::filesystem::create_directories(left);
        std::filesystem::create_directories(right);
    }

    TFSyncMain* StartWith(const std::function<void(tandemora::TSyncTask&)>& adjust = {}) {
        SaveTask("Docs", left, right, adjust);
        EXPECT_TRUE(Start());
        return Window(0);
    }

    static bool Analyze(TFSyncMain* window) {
        Click(window->BitBtn_Analyze);
        return WaitIdle(window) && window->ResultTree != nullptr;
    }

    // The index of the first row named name, in the window's model.
    static QModelIndex IndexNamed(TFSyncMain* window, const std::string& name, int column = 0) {
        TResultRow* row = RowNamed(window->Rows(), name);
        return row != nullptr ? window->Model()->IndexOf(row, column) : QModelIndex();
    }

    static std::vector<std::string> ShownNames(TFSyncMain* window) {
        std::vector<std::string> names;
        window->Rows().ForEachRow([&](TResultRow* row) { names.push_back(row->Name); });
        return names;
    }

    static TFileTree* ItemNamed(TFileTree* node, const std::string& name) {
        for (TFileTree* child : node->Children) {
            if (child->Data != nullptr && child->Data->Name == name) {
                return child;
            }
            if (TFileTree* found = ItemNamed(child, name)) {
                return found;
            }
        }
        return nullptr;
    }

    std::string left;
    std::string right;
};

// ---- Columns ------------------------------------------------------------------------------------

TEST_F(ResultViewTest, ColumnTextsAndImagesFollowTheActionCode) {
    ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
    // The cells show the minute; the seconds are in the cell's hint.
    const QString l = "04.03.21 05:06";
    const QString r = "02.01.20 03:04";
    const QString lSize = "1.234.567";
    struct Case {
        int32_t Code;
        QString LDate, LSize, LAttr, RDate, RSize, RAttr;
        int Image;
    };
    const Case cases[] = {
        {tandemora::saCopyLtoR, l, lSize, "RA", "", "", "", tandemora::iiLtoR},
        {tandemora::saCopyRtoL, "", "", "", l, lSize, "RA", tandemora::iiRtoL},
        {tandemora::saSame, l, lSize, "RA", r, "2.048", "HA", tandemora::iiSame},
        {tandemora::saOverwriteRtoL, l, lSize, "RA", r, "2.048", "HA", tandemora::iiRtoL},
        {tandemora::saOverwriteLtoR, l, lSize, "RA", r, "2.048", "HA", tandemora::iiLtoR},
        {tandemora::saConflict, l, lSize, "RA", r, "2.048", "HA", tandemora::iiConflict},
        // Nothing is done to these: both sides show what they hold.
        {tandemora::saError, l, lSize, "RA", r, "2.048", "HA", tandemora::iiError},
        {tandemora::saDoNotCopy, l, lSize, "RA", r, "2.048", "HA", tandemora::iiDoNotCopy},
        {tandemora::saExcluded, l, lSize, "RA", r, "2.048", "HA", tandemora::iiDoNotCopy},
        {tandemora::saDeleteRight, "", "", "", l, lSize, "RA", tandemora::iiDeleteRight},
        {tandemora::saDeleteLeft, l, lSize, "RA", "", "", "", tandemora::iiDeleteLeft},
        {tandemora::saUnset, "", "", "", r, "2.048", "HA", -1},
    };
    THandResult result;
    for (const Case& c : cases) {
        result.Add(result.Root, "f" + std::to_string(c.Code) + ".txt", false, c.Code);
    }
    TResultRows rows;
    TResultRowsModel model(&rows);
    TResultImages images;
    model.SetImages(&images);
    rows.InitView("Docs");
    rows.SetResultTree(result.Root);
    ASSERT_TRUE(rows.ShowView(tandemora::vkAll));

    for (const Case& c : cases) {
        const std::string name = "f" + std::to_string(c.Code) + ".txt";
        const QModelIndex at = model.IndexOf(RowNamed(rows, name));
        ASSERT_TRUE(at.isValid()) << name;
        auto text = [&](int column) { return at.siblingAtColumn(column).data().toString(); };
        EXPECT_EQ(text(0), QString::fromStdString(name));
        EXPECT_EQ(text(1), c.LDate) << name;
        EXPECT_EQ(text(2), c.LSize) << name;
        EXPECT_EQ(text(3), c.LAttr) << name;
        EXPECT_EQ(text(4), c.Code == tandemora::saCopyLtoR || c.Code == tandemora::saOverwriteLtoR ? "1" : "")
            << name;
        EXPECT_EQ(text(5), "");
        EXPECT_EQ(text(6), c.Code == tandemora::saCopyRtoL || c.Code == tandemora::saOverwriteRtoL ? "1" : "")
            << name;
        EXPECT_EQ(text(7), c.RDate) << name;
        EXPECT_EQ(text(8), c.RSize) << name;
        EXPECT_EQ(text(9), c.RAttr) << name;
        EXPECT_EQ(at.siblingAtColumn(5).data(kImage).toInt(), c.Image) << name;
    }

    // The left side green, the right side yellow, the action column the view's own.
    const QModelIndex any = model.IndexOf(RowNamed(rows, "f18.txt"));
    for (int column = 0; column < 10; ++column) {
        const QVariant colour = any.siblingAtColumn(column).data(Qt::BackgroundRole);
        const QColor expected = column == 0  ? QColor(255, 255, 255)
                                : column < 5 ? QColor(240, 255, 240)
                                             : QColor(255, 255, 240);
        if (column == 5) {
            EXPECT_FALSE(colour.isValid());
        } else {
            EXPECT_EQ(colour.value<QColor>(), expected) << column;
        }
    }
}

// Dates are the file's local time whatever the zone, and values that are no
// date (hour 25, years past 2043 stored negative) are shown as such.
TEST_F(ResultViewTest, AttributesDatesAndSizesAreWrittenOut) {
    EXPECT_EQ(TResultRowsModel::AttrToText(39), "HRSA");
    EXPECT_EQ(TResultRowsModel::AttrToText(16), "");
    TResultRows rows;
    ScopedLocale c(QLocale::c());
    TResultRowsModel model(&rows);
    EXPECT_EQ(model.SizeText(1234567), "1,234,567");
    EXPECT_EQ(model.SizeText(0), "");
    for (const char* zone : {"UTC", "America/New_York", "Asia/Kolkata"}) {
        testsupport::ScopedEnv tzHere("TZ", std::string(zone));
        EXPECT_EQ(model.DateText(kLeftDos), "2021-03-04 05:06") << zone;
        EXPECT_EQ(model.FullDateText(kLeftDos), "2021-03-04 05:06:08") << zone;
    }
    EXPECT_EQ(model.DateText(-1), "");
    EXPECT_TRUE(model.DateText(static_cast<int32_t>(0x8C210000u)).contains("2050"));
    EXPECT_EQ(model.DateText(0x00210000 | (25 << 11)), "");
}

// ---- Views ----------------------------------------------------------------------------------------

// The Changes view sums the sizes of the rows it shows; the Conflicts view
// shows a folder with only its conflicting item.
TEST_F(ResultViewTest, ViewsSumAndShowOnlyTheirRows) {
    ScopedLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        WriteFile(left + "/f/" + name, std::string(1000, 'x'));
    }
    // One file alike on both sides: not a change, so not counted under Changes.
    WriteFile(left + "/f/same.txt", std::string(500, 's'));
    WriteFile(right + "/f/same.txt", std::string(500, 's'));
    SetTime(left + "/f/same.txt", 1600000000);
    SetTime(right + "/f/same.txt", 1600000000);
    WriteFile(left + "/d/new.txt", "new");
    WriteFile(right + "/d/only-right.txt", "right"); // a copy against a verified one-way task
    TFSyncMain* window = StartWith([](tandemora::TSyncTask& task) {
        task.SyncDirection = tandemora::sdLeftToRight;
        task.ForcedOrVerified = tandemora::fvVerified;
    });
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(window->rb_conflicts->text(), "Conflicts(1)");
    EXPECT_EQ(window->rb_changed->text(), "Changes(4)");

    const QModelIndex folder = IndexNamed(window, "f");
    ASSERT_TRUE(folder.isValid());
    EXPECT_EQ(folder.siblingAtColumn(2).data().toString(), "3,000");
    EXPECT_EQ(folder.siblingAtColumn(4).data().toString(), "3");
    EXPECT_EQ(folder.siblingAtColumn(8).data().toString(), "");
    EXPECT_FALSE(IndexNamed(window, "same.txt").isValid());
    // Root totals: the sums over the root's rows, and no action image.
    const QModelIndex root = window->Model()->index(0, 0);
    EXPECT_EQ(root.siblingAtColumn(2).data().toString(), "3,003");
    EXPECT_EQ(root.siblingAtColumn(5).data(kImage).toInt(), -1);
    EXPECT_EQ(window->Rows().RightNeeded, 3003);

    window->Action_all->trigger();
    EXPECT_EQ(IndexNamed(window, "f", 2).data().toString(), "3,500");
    EXPECT_EQ(IndexNamed(window, "same.txt", 5).data(kImage).toInt(), tandemora::iiSame);

    Click(window->rb_conflicts);
    EXPECT_EQ(ShownNames(window), (std::vector<std::string>{"Docs", "d", "only-right.txt"}));
    EXPECT_EQ(IndexNamed(window, "d", 5).data(kImage).toInt(), tandemora::iiFolderItems);
    EXPECT_EQ(IndexNamed(window, "only-right.txt", 5).data(kImage).toInt(), tandemora::iiConflict);
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    // Every row of a rebuilt view is expanded.
    EXPECT_TRUE(window->VST1->isExpanded(IndexNamed(window, "d")));
}

// ---- Overrides ------------------------------------------------------------------------------------

TEST_F(ResultViewTest, OverrideOnAFolderReachesOnlyTheRowsShown) {
    WriteFile(left + "/d/new.txt", "new");
    WriteFile(left + "/d/same.txt", "same");
    WriteFile(right + "/d/same.txt", "same");
    SetTime(left + "/d/same.txt", 1600000000);
    SetTime(right + "/d/same.txt", 1600000000);
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    EXPECT_EQ(ShownNames(window), (std::vector<std::string>{"Docs", "d", "new.txt"}));

    // A right click on the folder row focuses it and pops the overrides up.
    tandemora::TResultView* view = window->VST1;
    const QModelIndex folder = IndexNamed(window, "d");
    QTest::mouseClick(view->viewport(), Qt::RightButton, {}, view->visualRect(folder).center());
    ASSERT_TRUE(window->pop_direction->isVisible());
    QTest::mouseClick(window->pop_direction, Qt::LeftButton, {},
                      window->pop_direction->actionGeometry(window->act_pop_Donotcopy).center());

    TFileTree* result = window->ResultTree;
    EXPECT_EQ(ItemNamed(result, "d")->Action, tandemora::saDoNotCopy);
    EXPECT_EQ(ItemNamed(result, "new.txt")->Action, tandemora::saDoNotCopy);
    EXPECT_EQ(ItemNamed(result, "same.txt")->Action, tandemora::saSame);
    EXPECT_EQ(IndexNamed(window, "new.txt", 5).data(kImage).toInt(), tandemora::iiDoNotCopy);
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    // The view is not rebuilt until the user asks for one; its counts follow at once.
    EXPECT_EQ(ShownNames(window), (std::vector<std::string>{"Docs", "d", "new.txt"}));
    EXPECT_EQ(window->rb_changed->text(), "Changes(0)");
    window->Action_all->trigger();
    EXPECT_EQ(window->rb_changed->text(), "Changes(0)");
    EXPECT_EQ(IndexNamed(window, "same.txt", 5).data(kImage).toInt(), tandemora::iiSame);
    EXPECT_EQ(IndexNamed(window, "d", 5).data(kImage).toInt(), tandemora::iiDoNotCopy);
}

TEST_F(ResultViewTest, RequestsWithoutAResultAFocusedRowOrDuringASyncChangeNothing) {
    WriteFile(left + "/a.txt", "alpha");
    WriteFile(left + "/sub/b.txt", "bravo");
    TFSyncMain* window =
        StartWith([](tandemora::TSyncTask& task) { task.SyncDirection = tandemora::sdLeftToRight; });
    ASSERT_NE(window, nullptr);

    // Before the first analysis: only the root row, and the Changes view checked.
    SendNotifyMessage(window, tandemora::WM_ALL, 0, 10);
    SendNotifyMessage(window, tandemora::WM_NOT_COPY, 0, 10);
    EXPECT_EQ(ShownNames(window), (std::vector<std::string>{"Docs"}));
    EXPECT_TRUE(window->Action_changes->isChecked());
    EXPECT_TRUE(main->Action_changes->isChecked());

    ASSERT_TRUE(Analyze(window));
    TFileTree* result = window->ResultTree;
    // Without a focused row the override has nothing to act on.
    tandemora::TResultView* view = window->VST1;
    const QModelIndex a = IndexNamed(window, "a.txt");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(a).center());
    ASSERT_TRUE(window->act_pop_Donotcopy->isEnabled());
    view->setCurrentIndex(QModelIndex());
    SendNotifyMessage(window, tandemora::WM_NOT_COPY, 0, 10);
    EXPECT_EQ(ItemNamed(result, "a.txt")->Action, tandemora::saCopyLtoR);
    // An override the task's direction forbids is refused even when asked for by message.
    view->setCurrentIndex(a);
    EXPECT_FALSE(window->act_pop_RtoL->isEnabled());
    window->act_pop_RtoL->setEnabled(true);
    window->act_pop_LtoR->setEnabled(true);
    SendNotifyMessage(window, tandemora::WM_MOVE_RTOL, 0, 10);
    SendNotifyMessage(window, tandemora::WM_MOVE_LTOR, 0, 10); // a copy the row does not offer
    EXPECT_EQ(ItemNamed(result, "a.txt")->Action, tandemora::saCopyLtoR);

    // While the sync walks the rows, view requests and overrides are refused.
    Click(window->BitBtn_Sync);
    ASSERT_EQ(window->Syncing, 1);
    const std::vector<std::string> before = ShownNames(window);
    SendNotifyMessage(window, tandemora::WM_ALL, 0, 10);
    window->Action_New->trigger();
    window->act_pop_Donotcopy->setEnabled(true);
    SendNotifyMessage(window, tandemora::WM_NOT_COPY, 0, 10);
    EXPECT_EQ(window->Rows().CurrentKind(), tandemora::vkChanged);
    EXPECT_TRUE(window->Action_changes->isChecked());
    EXPECT_EQ(ShownNames(window), before);
    ASSERT_TRUE(WaitIdle(window));
    // The copy was made as the analysis proposed it, and the result says it is done.
    EXPECT_EQ(ItemNamed(result, "a.txt")->Action, tandemora::saSame);
    EXPECT_EQ(window->Rows().AskedAction(*window->Model()->RowOf(IndexNamed(window, "a.txt"))),
              tandemora::saCopyLtoR);
    EXPECT_EQ(ReadFile(right + "/a.txt"), "alpha");
}

// ---- Repainting during a sync ------------------------------------------------------------------

TEST_F(ResultViewTest, RowsAreRedrawnOnTheMainThreadAsTheSyncMarksThem) {
    WriteFile(left + "/a.txt", "alpha");
    WriteFile(left + "/sub/b.txt", "bravo");
    WriteFile(right + "/c.txt", "charlie");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));

    struct Seen {
        bool MainThread;
        std::string Name;
        int Image;
    };
    std::vector<Seen> seen;
    QObject::connect(window->Model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         EXPECT_EQ(from.internalPointer(), to.internalPointer());
                         TResultRow* row = window->Model()->RowOf(from);
                         seen.push_back({QThread::currentThread() == QCoreApplication::instance()->thread(),
                                         row->Name, from.siblingAtColumn(5).data(kImage).toInt()});
                         window->VST1->viewport()->repaint(); // draws the row as it now is
                     });
    Click(window->BitBtn_Sync);
    ASSERT_TRUE(WaitIdle(window));

    std::set<std::string> names;
    for (const Seen& s : seen) {
        EXPECT_TRUE(s.MainThread) << s.Name;
        EXPECT_EQ(s.Image, tandemora::iiSame) << s.Name;
        names.insert(s.Name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "sub", "b.txt", "c.txt"}));
    window->Rows().ForEachRow([&](TResultRow* row) {
        if (row != window->Rows().RootRow()) {
            EXPECT_EQ(window->Model()->IndexOf(row, 5).data(kImage).toInt(), tandemora::iiSame) << row->Name;
        }
    });
}

// The arrow of a selected row keeps its colour on a patch of the view's own
// background; the selection colour would otherwise swallow it.
TEST_F(ResultViewTest, ASelectedRowKeepsItsActionImageReadable) {
    WriteFile(left + "/a.txt", "alpha");
    WriteFile(left + "/b.txt", "bravo");
    TFSyncMain* window = StartWith();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Analyze(window));
    tandemora::TResultView* view = window->VST1;
    const QModelIndex selected = IndexNamed(window, "a.txt", 5);
    const QModelIndex plain = IndexNamed(window, "b.txt", 5);
    auto distance = [](const QColor& a, const QColor& b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
    };
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        if (dark) {
            QPalette palette = view->palette();
            palette.setColor(QPalette::Base, QColor(0x1E, 0x1E, 0x1E));
            palette.setColor(QPalette::Text, QColor(0xEE, 0xEE, 0xEE));
            view->setPalette(palette);
        }
        view->setCurrentIndex(selected);
        view->selectionModel()->select(selected,
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        const QImage shot = view->viewport()->grab().toImage();
        auto each = [&](const QRect& cell, const std::function<void(const QColor&)>& take) {
            for (int y = cell.top(); y <= cell.bottom(); ++y) {
                for (int x = cell.left(); x < cell.right(); ++x) {
                    take(shot.pixelColor(x, y));
                }
            }
        };
        // The arrow's ink: the pixel of the unselected image farthest from its cell.
        const QRect plainCell = view->visualRect(plain);
        const QRect selectedCell = view->visualRect(selected);
        const QColor paper = shot.pixelColor(plainCell.topLeft() + QPoint(1, 1));
        QColor ink = paper;
        each(plainCell, [&](const QColor& c) { ink = distance(c, paper) > distance(ink, paper) ? c : ink; });
        auto inked = [&](const QRect& cell) {
            int count = 0;
            each(cell, [&](const QColor& c) { count += distance(c, ink) < 40; });
            return count;
        };
        // How far the ink stands out from what lies just left and right of the image.
        auto contrast = [&](const QRect& cell) {
            int sum = 0;
            for (int y = cell.center().y() - 6; y <= cell.center().y() + 6; ++y) {
                for (int x : {cell.center().x() - 9, cell.center().x() + 9}) {
                    sum += distance(shot.pixelColor(x, y), ink);
                }
            }
            return sum;
        };
        ASSERT_GT(inked(plainCell), 15);
        EXPECT_GE(inked(selectedCell) * 10, inked(plainCell) * 8);
        EXPECT_GE(contrast(selectedCell) * 10, contrast(plainCell) * 8);
    }
}

} // namespace
} // namespace uitest
