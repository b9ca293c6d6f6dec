// Hints as balloons and the first run's flag: the pointer rests on a control (a
// tooltip request goes to it) and the test reads the balloon.

#include "UiFixture.h"

#include "ui/UHintWin.h"
#include "ui/UQtText.h"

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

} // namespace
