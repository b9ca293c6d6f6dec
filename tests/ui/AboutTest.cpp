// The about box and the help menu's web pages: what a person reads, and the
// addresses that a click hands to the desktop.

#include "UiFixture.h"

#include "dialogs/FAbout.h"
#include "dialogs/UFTaskConfig.h"
#include "dialogs/UShellOpen.h"

namespace uitest {
namespace {

using tandemora::TAboutBox;

class AboutTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        tandemora::SetOpenUrlFunction([this](const QUrl& url) {
            opened.push_back(url.toString());
            return desktopOpens;
        });
    }

    void TearDown() override {
        tandemora::SetOpenUrlFunction({});
        DialogTest::TearDown();
    }

    std::vector<QString> opened;
    bool desktopOpens = true;
};

// The program's own icon, not the toolkit's generic one, in the main window, in
// every dialog and in the about box.
TEST_F(AboutTest, TheProgramsOwnIconIsShownEverywhere) {
    const QImage own = QApplication::windowIcon().pixmap(32, 32).toImage();
    ASSERT_FALSE(own.isNull());
    EXPECT_NE(own, QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon).pixmap(32, 32).toImage());
    ASSERT_TRUE(Start());
    tandemora::TFTaskConfig options(main);
    TAboutBox box;
    box.show();
    QCoreApplication::processEvents();
    for (QWidget* window : std::initializer_list<QWidget*>{main, &options, &box}) {
        EXPECT_EQ(window->windowIcon().pixmap(32, 32).toImage(), own) << window->metaObject()->className();
    }
    EXPECT_EQ(box.ProgramIcon->pixmap().toImage(), QApplication::windowIcon().pixmap(48, 48).toImage());
}

TEST_F(AboutTest, TheHelpMenuAndTheLinksOpenTheirPages) {
    ASSERT_TRUE(Start());
    // A desktop without a browser refuses; nothing is shown for it.
    desktopOpens = false;
    main->Action_Manual->trigger();
    main->Action_home->trigger();
    EXPECT_EQ(opened, (std::vector<QString>{"http://www.example.com/tandemora/help/",
                                            "http://www.example.com/tandemora/"}));
    EXPECT_TRUE(boxes.empty());

    opened.clear();
    WhenModal<TAboutBox>([&](TAboutBox* box) {
        Click(box->lb_website2);
        Click(box->lb_Email2);
        Click(box->OKButton);
    });
    main->Action_About->trigger();
    EXPECT_EQ(opened,
              (std::vector<QString>{"http://www.example.com/tandemora/", "mailto:support@example.com"}));
}

// A packager's addresses in the options file are the ones the menu and the
// about box open.
TEST_F(AboutTest, TheAddressesOfTheOptionsFileAreOpened) {
    WriteOptions({{"HomePage", "https://tandemora.test/"},
                  {"Manual", "https://tandemora.test/manual/"},
                  {"SupportEmail", "help@tandemora.test"}});
    ASSERT_TRUE(Start());
    main->Action_Manual->trigger();
    main->Action_home->trigger();
    WhenModal<TAboutBox>([&](TAboutBox* box) {
        EXPECT_EQ(box->lb_website2->text(), "https://tandemora.test/");
        Click(box->lb_Email2);
        Click(box->OKButton);
    });
    main->Action_About->trigger();
    EXPECT_EQ(opened, (std::vector<QString>{"https://tandemora.test/manual/", "https://tandemora.test/",
                                            "mailto:help@tandemora.test"}));
}

} // namespace
} // namespace uitest
