// The folder picker driven as a person drives it: pages chosen, addresses,
// users and passwords typed, folders picked in the tree and made, OK and Cancel
// clicked, and the endpoint the caller gets back checked.

#include "UiFixture.h"

#include "dialogs/UFSelectFolder.h"
#include "remote/webdav/WebDavTestSupport.h"

namespace uitest {
namespace {

using tandemora::TFolderSource;
using tandemora::TFSelectFolder;

class SelectFolderTest : public DialogTest {
protected:
    std::unique_ptr<TFSelectFolder> Open(TFolderSource& source) { return OpenPicker(source); }
};

TEST_F(SelectFolderTest, ComputerTreeStartsAtRootAndHomeAndOpensTheSourceFolder) {
    const std::string photos = Dir("photos/2024");
    Dir("photos/2023/january");
    Dir("photos/.cache");
    TFolderSource source;
    source.DeviceType = tandemora::dtLocal;
    source.FolerAllName = photos + "/";
    auto picker = Open(source);

    std::vector<std::string> roots;
    for (int i = 0; i < picker->strv1->topLevelItemCount(); ++i) {
        roots.push_back(TFSelectFolder::NodePath(picker->strv1->topLevelItem(i)));
    }
    ASSERT_GE(roots.size(), 2u);
    EXPECT_EQ(roots[0], "/");
    EXPECT_EQ(roots[1], home.path());

    // The source folder is selected and its path is in the address field.
    ASSERT_NE(picker->strv1->currentItem(), nullptr);
    EXPECT_EQ(TFSelectFolder::NodePath(picker->strv1->currentItem()), photos);
    EXPECT_EQ(picker->Edit_Address->text().toStdString(), photos);
    // Its parent lists the visible folders in name order; hidden ones stay out.
    QTreeWidgetItem* parent = picker->strv1->currentItem()->parent();
    EXPECT_EQ(ChildTexts(parent), (std::vector<QString>{"2023", "2024"}));
    // No open arrow on a folder without folders in it.
    auto opens = [](const QTreeWidgetItem* node) {
        return node->childCount() > 0 || node->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator;
    };
    EXPECT_TRUE(opens(parent->child(0)));
    EXPECT_FALSE(opens(parent->child(1)));

    // Clicking another folder puts its path into the address field.
    // The tree follows the folders it lists, /tmp among them, where other tests
    // make and remove folders at any time: the row is brought into view, and one
    // that moved between finding the spot and the click is clicked again.
    QTreeWidgetItem* other = FindNode(picker->strv1, folders / "photos/2023");
    ASSERT_NE(other, nullptr);
    for (int attempt = 0; attempt < 3 && picker->strv1->currentItem() != other; ++attempt) {
        QCoreApplication::processEvents();
        picker->strv1->scrollToItem(other);
        const QRect place = picker->strv1->visualItemRect(other);
        QTest::mouseClick(picker->strv1->viewport(), Qt::LeftButton, {}, place.center());
    }
    EXPECT_EQ(picker->Edit_Address->text().toStdString(), folders / "photos/2023");

    // A typed path is shown in the tree by Connect; one that is no folder is not.
    Type(picker->Edit_Address, QString::fromStdString(folders / "photos/.cache"));
    QTest::mouseClick(picker->BitBtn_pc, Qt::LeftButton);
    EXPECT_EQ(TFSelectFolder::NodePath(picker->strv1->currentItem()), folders / "photos/.cache");
    Type(picker->Edit_Address, QString::fromStdString(folders / "nothing"));
    QTest::mouseClick(picker->BitBtn_pc, Qt::LeftButton);
    EXPECT_EQ(TFSelectFolder::NodePath(picker->strv1->currentItem()), folders / "photos/.cache");
}

TEST_F(SelectFolderTest, OkStoresThePagesEndpoint) {
    struct Case {
        const char* Name;
        int Page;
        QString Address;
        QString User;
        QString Password;
        int32_t DeviceType;
        std::string Folder;
        std::string StoredUser;
        std::string StoredPassword;
    };
    const Case cases[] = {
        {"local folder loses its trailing slash", 0, "/srv/data/", "", "", 1, "/srv/data", "old", "secret"},
        {"the root folder stays the root folder", 0, "/", "", "", 1, "/", "old", "secret"},
        {"network address typed only", 1, "\\\\srv\\share\\docs", " bob ", "pw 1", 2, "\\\\srv\\share\\docs",
         "bob", "pw 1"},
        {"ftp address loses its trailing slash", 2, "ftp://host/dir/ ", "u", " p ", 3, "ftp://host/dir", "u",
         "p"},
        {"webdav address", 4, "http://host/dav/", "w", "x", 5, "http://host/dav", "w", "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFolderSource source;
        source.DeviceType = 3;
        source.FolerAllName = "ftp://old";
        source.UserName = "old";
        source.PWD = "secret";
        auto picker = Open(source);
        ClickTab(picker->pc1, c.Page);
        ASSERT_EQ(picker->pc1->currentIndex(), c.Page);
        const std::vector<QLineEdit*> addresses = {picker->Edit_Address, picker->edit_networkaddr,
                                                   picker->Edit_ftpip, nullptr, picker->edit_webdavaddr};
        const std::vector<QLineEdit*> users = {nullptr, picker->Edit_ntUser, picker->Edit_ftpuser, nullptr,
                                               picker->Edit_webdavUser};
        const std::vector<QLineEdit*> passwords = {nullptr, picker->Edit_NtPwd, picker->Edit_ftppwd, nullptr,
                                                   picker->Edit_webdavPWD};
        Type(addresses[c.Page], c.Address);
        if (users[c.Page] != nullptr) {
            Type(users[c.Page], c.User);
            Type(passwords[c.Page], c.Password);
        }
        QTest::mouseClick(picker->BitBtn_ok, Qt::LeftButton);
        EXPECT_EQ(picker->result(), QDialog::Accepted);
        EXPECT_EQ(source.DeviceType, c.DeviceType);
        EXPECT_EQ(source.FolerAllName, c.Folder);
        EXPECT_EQ(source.UserName, c.StoredUser);
        EXPECT_EQ(source.PWD, c.StoredPassword);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(SelectFolderTest, PasswordsLongerThan99BytesAreRefusedWhereTheyAreTyped) {
    struct Case {
        int Page;
        QString Password;
        bool Kept;
    };
    const Case cases[] = {
        {1, QString(99, 'n'), true},          {1, QString(100, 'n'), false},
        {2, QString(100, 'f'), false},        {4, QString(100, 'w'), false},
        {4, QString(50, QChar(0xE9)), false}, // 50 characters, 100 bytes
        {4, QString(49, QChar(0xE9)), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Password.size());
        boxes.clear();
        TFolderSource source;
        source.DeviceType = 1;
        source.FolerAllName = "/before";
        auto picker = Open(source);
        ClickTab(picker->pc1, c.Page);
        QLineEdit* password = c.Page == 1   ? picker->Edit_NtPwd
                              : c.Page == 2 ? picker->Edit_ftppwd
                                            : picker->Edit_webdavPWD;
        // An address, so that OK has an endpoint to store.
        QLineEdit* address = c.Page == 1   ? picker->edit_networkaddr
                             : c.Page == 2 ? picker->Edit_ftpip
                                           : picker->edit_webdavaddr;
        Type(address, c.Page == 1 ? "\\\\srv\\share" : c.Page == 2 ? "ftp://host" : "http://host/dav");
        Type(password, c.Password);
        QTest::mouseClick(picker->BitBtn_ok, Qt::LeftButton);
        if (c.Kept) {
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(source.PWD, c.Password.toStdString());
            EXPECT_EQ(picker->result(), QDialog::Accepted);
            continue;
        }
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].Text.contains("at most 99 bytes"));
        EXPECT_EQ(boxes[0].Caption, "Tandemora");
        EXPECT_TRUE(picker->isVisible()); // the user can shorten it
        EXPECT_EQ(source.DeviceType, 1);
        EXPECT_EQ(source.FolerAllName, "/before");
        EXPECT_EQ(source.PWD, "");
    }
}

// Each page puts the typed address in its normal form first ("\\server\share",
// "/" typed the Linux way counting as "\"; "ftp://" in front, one trailing "/"
// off); a Connect that fails says so, adds no server and changes nothing the
// caller sees. Port 1 on the loopback has nothing listening.
TEST_F(SelectFolderTest, FailedConnectTestsSaySo) {
    TFolderSource source;
    auto picker = Open(source);
    struct Case {
        int Page;
        QLineEdit* Address;
        QPushButton* Connect;
        QString Typed;
        QString Normal;
        QString Told;
    };
    const Case cases[] = {
        {1, picker->edit_networkaddr, picker->BitBtn_network_Connect, "127.0.0.1\\share\\",
         "\\\\127.0.0.1\\share", Text("connectfalseNeedUser")},
        {1, picker->edit_networkaddr, picker->BitBtn_network_Connect, "//127.0.0.1/share",
         "\\\\127.0.0.1\\share", Text("connectfalseNeedUser")},
        {2, picker->Edit_ftpip, picker->bt_fptconnect, "127.0.0.1:1/pub/", "ftp://127.0.0.1:1/pub",
         Text("Iperror") + " ftp://127.0.0.1:1/pub"},
        {4, picker->edit_webdavaddr, picker->bt_webdavconnect, "http://127.0.0.1:1/dav/docs",
         "http://127.0.0.1:1/dav/docs", Text("Iperror") + " http://127.0.0.1:1/dav/docs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Typed.toStdString());
        ClickTab(picker->pc1, c.Page);
        boxes.clear();
        Type(c.Address, c.Typed);
        QTest::mouseClick(c.Connect, Qt::LeftButton);
        EXPECT_EQ(c.Address->text(), c.Normal);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].Text == c.Told || boxes[0].Text == Text("Iperror") + ":127.0.0.1")
            << boxes[0].Text.toStdString();
        EXPECT_TRUE(c.Connect->isEnabled());
    }
    EXPECT_EQ(picker->NetRootNode->childCount(), 0);
    EXPECT_EQ(picker->tvFtp->topLevelItemCount(), 0);
    EXPECT_EQ(picker->webdavtv->topLevelItemCount(), 0);
    QTest::mouseClick(picker->BitBtn_Cancel, Qt::LeftButton);
    EXPECT_EQ(picker->result(), QDialog::Rejected);
    EXPECT_EQ(source.DeviceType, 0);
    EXPECT_EQ(source.FolerAllName, "");
}

TEST_F(SelectFolderTest, MakeNewFolderOnTheComputerPage) {
    const std::string base = Dir("projects");
    TFolderSource source;
    source.DeviceType = tandemora::dtLocal;
    source.FolerAllName = base;
    auto picker = Open(source);
    QTreeWidgetItem* node = picker->strv1->currentItem();
    ASSERT_NE(node, nullptr);
    node->setExpanded(true);
    EXPECT_TRUE(ChildTexts(node).empty());

    struct Case {
        QString Answer;
        bool Confirmed;
        bool Made;
        bool Refused; // the "filenameerror" box
    };
    const Case cases[] = {
        {" new one", true, true, false}, // used as typed
        {"   ", true, false, false},     // blanks do nothing
        {"a:b", true, false, true},      {"x/y", true, false, true},
        {"never", false, false, false}, // the prompt was cancelled
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Answer.toStdString());
        boxes.clear();
        MakeNewFolder(picker.get(), c.Answer, c.Confirmed);
        ASSERT_EQ(inputPrompts.size(), 1u);
        EXPECT_EQ(inputPrompts[0], "Enter New Folder Name|Enter a name for new folder to create in \n" +
                                       QString::fromStdString(base));
        EXPECT_EQ(std::filesystem::is_directory(base + "/" + c.Answer.toStdString()), c.Made);
        if (c.Refused) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].Text, Text("filenameerror"));
        } else {
            EXPECT_TRUE(boxes.empty());
        }
    }
    EXPECT_FALSE(std::filesystem::exists(base + "/a:b"));
    // The tree shows the new folder.
    node = FindNode(picker->strv1, base);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(ChildTexts(node), (std::vector<QString>{" new one"}));

    // Cancel leaves the caller's endpoint as it was; the folder made stays.
    QTest::mouseClick(picker->BitBtn_Cancel, Qt::LeftButton);
    EXPECT_EQ(source.FolerAllName, base);
    EXPECT_TRUE(std::filesystem::is_directory(base + "/ new one"));
}

// Folders made, removed or renamed on disk while the picker is open show in the
// tree as they are now; an opened folder keeps its opened sub-folders.
TEST_F(SelectFolderTest, TheComputerTreeFollowsTheDisk) {
    const std::string base = Dir("music");
    Dir("music/Bach/cantatas");
    Dir("music/jazz");
    TFolderSource source;
    source.DeviceType = tandemora::dtLocal;
    source.FolerAllName = base + "/Bach/cantatas";
    auto picker = Open(source);
    QTreeWidgetItem* node = FindNode(picker->strv1, base);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(ChildTexts(node), (std::vector<QString>{"Bach", "jazz"}));

    std::filesystem::create_directory(base + "/Chopin");
    std::filesystem::create_directory(base + "/.hidden");
    std::filesystem::rename(base + "/jazz", base + "/Jazz standards");
    std::filesystem::create_directory(base + "/Bach/organ");
    const std::vector<QString> expected = {"Bach", "Chopin", "Jazz standards"};
    EXPECT_TRUE(WaitUntil([&] { return ChildTexts(node) == expected; }, 10000)) << ChildTexts(node).size();
    QTreeWidgetItem* bach = FindNode(picker->strv1, base + "/Bach");
    ASSERT_NE(bach, nullptr);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ChildTexts(bach) == std::vector<QString>{"cantatas", "organ"};
        },
        10000));
    EXPECT_EQ(TFSelectFolder::NodePath(picker->strv1->currentItem()), base + "/Bach/cantatas");

    std::filesystem::remove(base + "/Chopin");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ChildTexts(node) == std::vector<QString>{"Bach", "Jazz standards"};
        },
        10000));
}

// A WebDAV server's answers as the page shows them: a missing folder is told
// apart from a server that cannot be reached, and a listing gives one node per
// folder, the listed folder itself and files left out.
TEST_F(SelectFolderTest, WebDavPageShowsTheServersAnswer) {
    webdavtest::TCannedServer server;
    using Canned = webdavtest::TCannedServer;
    server.On("PROPFIND", "/gone", Canned::Reply(404, "<html>Not Found</html>"));
    server.On("PROPFIND", "/dav",
              Canned::Reply(207, webdavtest::Listing("/dav", {"a/", "f.txt", "b c/"}),
                            "Content-Type: text/xml\r\n"));
    TFolderSource source;
    source.DeviceType = tandemora::dtWebDav;
    source.FolerAllName = server.Url() + "/gone/deeper";
    auto picker = Open(source);
    QTest::mouseClick(picker->bt_webdavconnect, Qt::LeftButton);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text.toStdString(),
              Text("webdavnotfolder").toStdString() + " " + server.Url() + "/gone/deeper");
    EXPECT_EQ(boxes[0].Caption, "Tip");
    EXPECT_EQ(picker->webdavtv->topLevelItemCount(), 0);

    boxes.clear();
    Type(picker->edit_webdavaddr, QString::fromStdString(server.Url() + "/dav"));
    QTest::mouseClick(picker->bt_webdavconnect, Qt::LeftButton);
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(picker->webdavtv->topLevelItemCount(), 1);
    QTreeWidgetItem* host = picker->webdavtv->topLevelItem(0);
    EXPECT_EQ(TFSelectFolder::NodePath(host), server.Url());
    ASSERT_EQ(ChildTexts(host), (std::vector<QString>{"dav"}));
    QTreeWidgetItem* dav = host->child(0);
    EXPECT_EQ(ChildTexts(dav), (std::vector<QString>{"a", "b c"}));
    EXPECT_EQ(TFSelectFolder::NodePath(dav->child(1)), server.Url() + "/dav/b c");

    // The tree taking the focus chooses nothing: the address stays as typed.
    picker->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(picker.get()));
    picker->webdavtv->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    ASSERT_TRUE(picker->webdavtv->hasFocus());
    EXPECT_EQ(picker->edit_webdavaddr->text().toStdString(), server.Url() + "/dav");
    // Nothing chosen yet, so no place for a new folder.
    QTest::mouseClick(picker->bt_NewFolder, Qt::LeftButton);
    EXPECT_TRUE(inputPrompts.empty());
}

} // namespace
} // namespace uitest
