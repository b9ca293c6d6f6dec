// Browsing a real server's folders the way the folder picker does: one level at
// a time, and the way down to a chosen folder.

#include "FtpTestSupport.h"

#include "endpoints/UFtpBrowse.h"

#include <functional>

namespace ftptest {
namespace {

class FtpBrowseTest : public FtpTest {
protected:
    void SetUp() override {
        FtpTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        Ftp.MakeFolder("pub/data/x y");
        Ftp.MakeFolder("pub/-other");
        Ftp.Put("pub/file.txt", "not a folder");
        Ftp.Put("pub/data/inner.txt", "nor this");
        Oper = MakeFtp();
        Oper->TreeView = &View;
    }
    static std::vector<std::string> Texts(const TFtpTreeNode* node) {
        std::vector<std::string> texts;
        for (const auto& child : node->Children) {
            texts.push_back(child->Text);
        }
        std::sort(texts.begin(), texts.end());
        return texts;
    }
    static const TFtpTreeNode* Child(const TFtpTreeNode* node, const std::string& text) {
        for (const auto& child : node->Children) {
            if (child->Text == text) {
                return child.get();
            }
        }
        return nullptr;
    }

    std::unique_ptr<TFtpFileOper> Oper;
    TFtpTreeView View;
};

TEST_F(FtpBrowseTest, ListSubFoldersGivesFoldersOnlyWithTheirServerPaths) {
    for (const std::string& path : {Ftp.Path + "/pub", Oper->Prefix + Ftp.Path + "/pub/"}) {
        SCOPED_TRACE(path);
        std::map<std::string, std::string> paths;
        for (const TFtpFolder& folder : ListSubFolders(Oper.get(), path)) {
            paths[folder.Name] = folder.Attr->RelPath;
            EXPECT_EQ(folder.Attr->Name, folder.Name);
        }
        EXPECT_EQ(paths, (std::map<std::string, std::string>{{"-other", Ftp.Path + "/pub/-other/"},
                                                             {"data", Ftp.Path + "/pub/data/"}}));
    }
    EXPECT_TRUE(ListSubFolders(Oper.get(), Ftp.Path + "/missing").empty());
    TFtpTreeNode node; // opening a node twice lists its folders once
    ExpandTreeNode(Oper.get(), Ftp.Path + "/pub/", &node);
    ExpandTreeNode(Oper.get(), Ftp.Path + "/pub/", &node);
    EXPECT_EQ(Texts(&node), (std::vector<std::string>{"-other", "data"}));
    EXPECT_EQ(node.Children.front()->Parent, &node);
}

TEST_F(FtpBrowseTest, ShowPathInTreeOpensTheWayDownToTheTarget) {
    const std::vector<std::string> listed =
        ShowPathInTree(Oper.get(), Oper->Prefix + Ftp.Path + "/pub/data/");
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed.front(), Ftp.Path + "/pub/data");
    EXPECT_EQ(listed.back(), "x y"); // the names of every listed folder follow, level after level
    ASSERT_EQ(View.Items.size(), 1u);
    const TFtpTreeNode* server = View.Items.front().get();
    EXPECT_EQ(server->Text, "127.0.0.1:" + std::to_string(Ftp.Server.Port));
    EXPECT_EQ(server->ImageIndex, FtpServerImage);
    const TFtpTreeNode* own = Child(server, Ftp.Path.substr(1)); // next to other tests' folders
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->ImageIndex, FtpFolderImage);
    const TFtpTreeNode* pub = Child(own, "pub");
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(Texts(pub), (std::vector<std::string>{"-other", "data"}));
    const TFtpTreeNode* data = Child(pub, "data");
    EXPECT_TRUE(own->Expanded && pub->Expanded && data->Expanded);
    EXPECT_FALSE(Child(data, "x y")->Expanded || Child(pub, "-other")->Expanded); // off the way: closed
    EXPECT_EQ(data->Data->RelPath, Ftp.Path + "/pub/data/");

    // A missing level ends the way and shows what exists.
    View.Items.clear();
    EXPECT_EQ(ShowPathInTree(Oper.get(), Ftp.Path + "/pub/missing/deeper").front(),
              Ftp.Path + "/pub/missing/deeper");
    pub = Child(Child(View.Items.front().get(), Ftp.Path.substr(1)), "pub");
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(Texts(pub), (std::vector<std::string>{"-other", "data"}));
}

// The same server and login keeps the connection; another address, password or user drops it.
TEST_F(FtpBrowseTest, OnlyAnotherServerOrLoginCountsAsAChange) {
    TFolderSource other = Source;
    other.FolerAllName = Oper->Prefix + "/somewhere/else";
    EXPECT_FALSE(ServerChanged(Oper.get(), other));
    EXPECT_NE(Oper->Session(), nullptr);
    for (const auto& change : std::vector<std::function<void(TFolderSource&)>>{
             [](TFolderSource& s) { s.PWD = "another"; }, [](TFolderSource& s) { s.UserName = "someone"; },
             [&](TFolderSource& s) {
                 s.FolerAllName = "ftp://localhost:" + std::to_string(Ftp.Server.Port) + Ftp.Path;
             }}) {
        other = Source;
        change(other);
        EXPECT_TRUE(ServerChanged(Oper.get(), other));
        EXPECT_EQ(Oper->Session(), nullptr); // the next Connect makes a new connection
        EXPECT_EQ(Oper->Connect(), 0);
    }
}

} // namespace
} // namespace ftptest
