// Hints as balloons and the first run's flag: the pointer rests on a control (a
// tooltip request goes to it) and the test reads the balloon.

#include "UiFixture.h"

#include "ui/UHintWin.h"
#include "ui/UQtText.h"

#include <QCursor>
#include <QHelpEvent>
#include <QToolTip>
#include <cstdio>

namespace {

using namespace uitest;
using tandemora::TFSyncMain;
using tandemora::THintWin;

class HintTest : public UiTest {
protected:
    TFSyncMain* StartWithTask(const std::string& isFirst) {
        WriteOptions({{"IsFirst", isFirst}});
        SaveTask("Docs", Dir("a"), Dir("b"));
        return Start() ? Window(0) : nullptr;
    }

    void ClickPage(int index) {
        QTabBar* tabs = main->PageControl_tasklist;
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(index).center());
    }
};

// A hint is the program's balloon (not Qt's tooltip), its text shown as
// written, not as markup or mnemonics.
TEST_F(HintTest, HintsAreBalloonsWithTheirTextAsWritten) {
    TFSyncMain* window = StartWithTask("0");
    ASSERT_NE(window, nullptr);
    for (const QString& text : {QString("Copy & compare"), QString("<b>not bold</b>"), QString("&&x")}) {
        window->bt_LBrowse->setToolTip(text);
        const QPoint local = window->bt_LBrowse->rect().center();
        QHelpEvent help(QEvent::ToolTip, local, window->bt_LBrowse->mapToGlobal(local));
        QApplication::sendEvent(window->bt_LBrowse, &help);
        EXPECT_TRUE(instance->HintWindow->isVisible());
        EXPECT_FALSE(QToolTip::isVisible());
        EXPECT_EQ(instance->HintWindow->Text(), text);
    }
}

// A hint comes as soon as the pointer rests on a control, without Qt's pause.
TEST_F(HintTest, HintsComeWithoutAPause) {
    ASSERT_NE(StartWithTask("0"), nullptr);
    EXPECT_EQ(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 0);
}

// The end of the first run clears the flag on disk; an options file that has
// gone meanwhile is not made again for it.
TEST_F(HintTest, TheFirstRunClearsItsFlagAndAMissingFileStaysMissing) {
    for (const bool remove : {false, true}) {
        SCOPED_TRACE(remove);
        ASSERT_NE(StartWithTask("1"), nullptr);
        if (remove) {
            ASSERT_EQ(std::remove((program / "Tandemora.ini").c_str()), 0);
        }
        main->close();
        ASSERT_TRUE(main->ClosedForGood());
        EXPECT_EQ(ReadFile(program / "Tandemora.ini").find("IsFirst=0") != std::string::npos, !remove);
        EXPECT_EQ(testsupport::Exists(program / "Tandemora.ini"), !remove);
        End();
    }
}

// Each first-run tip is given once per window: showing a page again (a tab
// switch, the main window restored) guides no more. The Sync button's tip, at
// the end of the first analysis, ends the first run there and then: the flag is
// cleared on disk while the program runs, and no later analysis moves the pointer.
TEST_F(HintTest, EachFirstRunTipIsGivenOnceAndTheSyncTipEndsTheFirstRun) {
    WriteOptions({{"IsFirst", "1"}});
    WriteFile(Dir("a") + "/new.txt", "new");
    SaveTask("Docs", Dir("a"), Dir("b"));
    SaveTask("Music", Dir("c"), Dir("d"));
    ASSERT_TRUE(Start());
    std::vector<QPoint> tips; // where the pointer was sent, one entry per tip
    for (TFSyncMain* window : main->TaskWindows()) {
        QObject::connect(window->Timer_showtip, &QTimer::timeout,
                         [&tips] { tips.push_back(QCursor::pos() - QPoint(1, 1)); });
    }
    auto centre = [](QWidget* control) { return control->mapToGlobal(control->rect().center()); };
    auto settle = [] { QTest::qWait(650); }; // past the tip's half second
    settle();
    TFSyncMain* docs = Window(0);
    TFSyncMain* music = Window(1);
    ASSERT_EQ(tips.size(), 1u);
    EXPECT_EQ(tips[0], centre(docs->edit_LFolder));

    for (int tab : {1, 0, 1, 0}) {
        ClickPage(tab);
        settle();
    }
    main->showMinimized();
    main->showNormal();
    settle();
    ASSERT_EQ(tips.size(), 2u);
    EXPECT_EQ(tips[1], centre(music->edit_LFolder));
    EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=1"), std::string::npos);

    Click(docs->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(docs));
    settle();
    ASSERT_EQ(tips.size(), 3u);
    EXPECT_EQ(tips[2], centre(docs->BitBtn_Sync));
    EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=0"), std::string::npos);

    // Neither a second analysis nor the other task's first one moves the pointer.
    Click(docs->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(docs));
    ClickPage(1);
    Click(music->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(music));
    settle();
    EXPECT_EQ(tips.size(), 3u);
    EXPECT_EQ(LinesStarting(docs, "All:").size(), 2u);
}

} // namespace
