// Hints as balloons, and the first run's guided tips, driven off screen as a
// person drives them: the pointer rests on a control (a tooltip request goes to
// it) and the test reads the balloon.

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
    THintWin* Balloon() const { return instance->HintWindow.get(); }

    // The pointer rests on the control: Qt sends it a tooltip request.
    static void Hover(QWidget* control) {
        const QPoint local = control->rect().center();
        QHelpEvent help(QEvent::ToolTip, local, control->mapToGlobal(local));
        QApplication::sendEvent(control, &help);
    }

    // The pointer lies on the control (layouts may still resize it afterwards).
    static bool PointerOn(QWidget* control) {
        return control->rect().contains(control->mapFromGlobal(QCursor::pos()));
    }

    // Starts with one task; the cursor is parked away from every control first.
    TFSyncMain* StartWithTask(const std::string& isFirst, const std::vector<std::string>& args = {}) {
        WriteOptions({{"IsFirst", isFirst}});
        SaveTask("Docs", Dir("a"), Dir("b"));
        QCursor::setPos(QPoint(5000, 5000));
        if (!Start(args)) {
            return nullptr;
        }
        return Window(0);
    }
};

TEST_F(HintTest, EveryHintIsABalloonTitledTandemora) {
    TFSyncMain* window = StartWithTask("0");
    ASSERT_NE(window, nullptr);
    Hover(window->BitBtn_Analyze);
    EXPECT_TRUE(Balloon()->isVisible());
    EXPECT_FALSE(QToolTip::isVisible());
    EXPECT_EQ(Balloon()->Text(), tandemora::Lang("Analyze_Hint"));
    // A click anywhere puts the balloon away.
    QTest::mouseClick(window->rb_all, Qt::LeftButton);
    EXPECT_FALSE(Balloon()->isVisible());
    // Hint texts are shown as written, not as markup or mnemonics.
    for (const QString& text : {QString("Copy & compare"), QString("<b>not bold</b>"), QString("&&x")}) {
        window->bt_LBrowse->setToolTip(text);
        Hover(window->bt_LBrowse);
        EXPECT_EQ(Balloon()->Text(), text);
    }
}

// Only an interactive first run guides: later runs and runs named on the
// command line move no pointer and show no tips.
TEST_F(HintTest, NoTipsWhenNotTheFirstRunOrFromTheCommandLine) {
    for (const auto& [isFirst, args] : {std::pair<std::string, std::vector<std::string>>{"0", {}},
                                        std::pair<std::string, std::vector<std::string>>{"1", {"Docs"}}}) {
        SCOPED_TRACE(isFirst);
        TFSyncMain* window = StartWithTask(isFirst, args);
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(window->Timer_showtip->isActive());
        if (args.empty()) {
            Click(window->BitBtn_Analyze);
        }
        ASSERT_TRUE(WaitIdle(window));
        EXPECT_FALSE(window->Timer_showtip->isActive());
        EXPECT_EQ(QCursor::pos(), QPoint(5000, 5000));
        EXPECT_EQ(Balloon()->ToolCount(), 0);
        End();
    }
}

TEST_F(HintTest, FirstRunGuidesToLeftFolderThenSyncAndEndsWithTheRun) {
    TFSyncMain* window = StartWithTask("1");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(PointerOn(window->edit_LFolder));
    EXPECT_TRUE(window->Timer_showtip->isActive());
    ASSERT_TRUE(WaitUntil([&] { return Balloon()->isVisible(); }));
    EXPECT_EQ(Balloon()->LastHintWnd, window->edit_LFolder);
    EXPECT_EQ(Balloon()->Text(), tandemora::Lang("lforder_hint"));

    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_TRUE(PointerOn(window->BitBtn_Sync));
    ASSERT_TRUE(WaitUntil([&] { return Balloon()->LastHintWnd == window->BitBtn_Sync; }));
    EXPECT_EQ(Balloon()->Text(), tandemora::Lang("Sync_Hint"));

    // The end of the first run clears the flag.
    main->close();
    ASSERT_TRUE(main->ClosedForGood());
    EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=0"), std::string::npos);
}

TEST_F(HintTest, FlagThatCannotBeClearedOnlyMeansTipsAgain) {
    TFSyncMain* window = StartWithTask("1");
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(std::remove((program / "Tandemora.ini").c_str()), 0);
    main->close();
    EXPECT_TRUE(main->ClosedForGood());
    EXPECT_FALSE(testsupport::Exists(program / "Tandemora.ini"));
}

} // namespace
