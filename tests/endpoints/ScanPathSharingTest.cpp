// A scan gives all entries of one folder one shared relative path, and the
// snapshot the scan loads from its work folder shares its paths the same way.

#include "EndpointTestSupport.h"

#include <fstream>

namespace endpointtest {
namespace {

using testsupport::WriteFile;

class ScanPathSharingTest : public EndpointTest {
protected:
    // root: folder "sub" (with folder "deep" and files), files; "deep" holds files.
    void MakeTree() {
        MakeDir(Dir / "sub/deep");
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
            WriteFile(Dir / name, name);
            WriteFile(Dir / ("sub/" + std::string(name)), name);
            WriteFile(Dir / ("sub/deep/" + std::string(name)), name);
        }
    }

    // Checks that every folder's children hold the folder's path in one shared
    // text, and that no two folders share one; returns the number of folders seen.
    static int ExpectOnePathPerFolder(const TFileTree* node, const std::string& rel,
                                      std::vector<const TRelPath*>& seen) {
        int folders = 0;
        if (node->Children.empty()) {
            return folders;
        }
        ++folders;
        const TRelPath& first = node->Children.front()->Data->RelPath;
        for (const TRelPath* other : seen) {
            EXPECT_FALSE(first.SharesText(*other)) << rel << " shares the text of " << *other;
        }
        seen.push_back(&first);
        for (const TFileTree* child : node->Children) {
            EXPECT_EQ(child->Data->RelPath, rel) << child->Name;
            EXPECT_TRUE(child->Data->RelPath.SharesText(first)) << rel << child->Name;
            folders += ExpectOnePathPerFolder(child, rel + child->Name + "/", seen);
        }
        return folders;
    }
};

TEST_F(ScanPathSharingTest, EntriesOfOneFolderShareOnePathInTheScanAndInTheLoadedSnapshot) {
    MakeTree();
    {
        auto first = MakeOper();
        first->ScanTree();
        MakeDir(Dir / "__Tandemora__");
        std::ofstream out(Dir / "__Tandemora__/Task7", std::ios::binary);
        first->Tree->SaveToStream(out, Root);
    }
    auto oper = MakeOper();
    oper->SnapshotName = "Task7";
    oper->LoadSnapshotFlag = true;
    oper->ScanTree();
    ASSERT_FALSE(oper->SnapshotFailed);

    for (const TFileTree* tree : {oper->Tree, oper->Snapshot}) {
        SCOPED_TRACE(tree == oper->Tree ? "scan" : "snapshot");
        std::vector<const TRelPath*> seen;
        EXPECT_EQ(ExpectOnePathPerFolder(tree, "/", seen), 3);
    }

    // A new path for one entry, as the sync thread gives an entry it fills for a
    // row, leaves its siblings alone; a copy shares the text until it gets its own.
    const TFileTree* sub = FindChild(oper->Tree, "sub");
    ASSERT_EQ(ChildNames(sub), (std::vector<std::string>{"deep", "a.txt", "b.txt", "c.txt"}));
    sub->Children[1]->Data->RelPath = std::string("/elsewhere/");
    EXPECT_EQ(sub->Children[2]->Data->RelPath, "/sub/");
    EXPECT_TRUE(sub->Children[2]->Data->RelPath.SharesText(sub->Children[0]->Data->RelPath));
    TFileAttri copy = *sub->Children[3]->Data;
    EXPECT_TRUE(copy.RelPath.SharesText(sub->Children[0]->Data->RelPath));
    copy.RelPath = "/";
    EXPECT_EQ(sub->Children[3]->Data->RelPath, "/sub/");
    std::string path;
    oper->BuildFullPath(&Source, sub->Children[2]->Data, path);
    EXPECT_EQ(path, Root + "/sub/b.txt");
}

TEST_F(ScanPathSharingTest, TheSnapshotFileIsReadOnlyWhenItIsARegularFile) {
    MakeTree();
    MakeDir(Dir / "__Tandemora__");
    // Opening a FIFO for reading would wait for a writer that never comes.
    ASSERT_EQ(mkfifo((Dir / "__Tandemora__/Task7").c_str(), 0600), 0);
    auto oper = MakeOper();
    oper->SnapshotName = "Task7";
    oper->LoadSnapshotFlag = true;
    oper->ScanTree();
    EXPECT_TRUE(oper->SnapshotFailed);
    EXPECT_TRUE(oper->Snapshot->Children.empty());
    EXPECT_NE(ErrorLogText().find("Read Snapshot Error"), std::string::npos);
    EXPECT_EQ(oper->Tree->ChildCount, 4); // sub and three files; the scan itself went on
}

} // namespace
} // namespace endpointtest
