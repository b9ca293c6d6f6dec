// The task's own rules: copies, the folder-pair check, the endpoint factory, the
// local snapshot files and the share root.

#include "endpoints/UTFileOper.h"
#include "endpoints/UTWinFileOper.h"
#include "model/UTFileTree.h"
#include "tasks/UTSyncTask.h"

#include <gtest/gtest.h>

#include "TaskFixture.h"
#include "TestSupport.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace tandemora;

namespace {

struct FolderCase {
    const char* left;
    const char* right;
    int32_t expected;
};

TEST(SyncTaskTest, CheckFoldersComparesWholePathParts) {
    const FolderCase cases[] = {
        {"", "", fcSameFolder},
        {"", "/data", fcEmptyPath},
        {" ", "/My Docs", fcEmptyPath}, // a blank inside the other path is no folder
        {"/home/u/photos", "/home/u/photos-backup", fcOk},
        {"/home/u/photos", "/home/u/photos/2020", fcNested},
        {"/home/u/photos/2020", "/home/u/photos", fcNested}, // either side may hold the other
        // The endpoints trim blanks off the ends, so these name one folder.
        {"/data/X", "/data/X ", fcSameFolder},
        {" /data/X\t", "/data/X/sub ", fcNested},
        {"/home/u/Photos", "/home/u/photos", fcOk}, // letter case counts
        {"/data\\x", "/data", fcOk},                // "\" is part of a local name
        {"\\\\srv\\a", "\\\\srv\\a\\b", fcNested},
        {"//srv/a", "\\\\srv\\a\\", fcSameFolder},
        {"ftp://h/a", "ftp://h/a/b", fcNested},
        {"http://h/dav/", "http://h/dav", fcSameFolder},
    };
    for (const FolderCase& c : cases) {
        TSyncTask task;
        task.LFolder.FolerAllName = c.left;
        task.RFolder.FolerAllName = c.right;
        EXPECT_EQ(task.CheckFolders(), c.expected) << "'" << c.left << "' / '" << c.right << "'";
    }
}

// Folders that are there are compared as the kernel reaches them: a link or a
// ".." on the way does not hide that one lies inside the other.
TEST(SyncTaskTest, CheckFoldersSeesThroughLinksAndDotDot) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "a/sub");
    std::filesystem::create_directories(dir / "b");
    std::filesystem::create_directory_symlink(dir / "a", dir / "link");
    const FolderCase cases[] = {
        {"/a", "/link/sub", fcNested},
        // Not there yet: the sync would make it inside "/a".
        {"/a", "/link/new/", fcNested},
        {"/a", "/b/../a/sub", fcNested},
        {"/link", "/a/", fcSameFolder},
        {"/b", "/link/sub", fcOk},
    };
    for (const FolderCase& c : cases) {
        TSyncTask task;
        task.LFolder.FolerAllName = dir.path() + c.left;
        task.RFolder.FolerAllName = dir.path() + c.right;
        EXPECT_EQ(task.CheckFolders(), c.expected) << "'" << c.left << "' / '" << c.right << "'";
    }
}

TEST(SyncTaskTest, GetShareRootTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"\\\\server\\share\\a\\b", "\\\\server\\share"},
        {"//server/share/dir", "//server/share"},
        {"\\\\server", ""},
        {"/home/u/dir", ""},
        {"ftp://h/a", ""},
    };
    for (const auto& [path, root] : cases) {
        EXPECT_EQ(TSyncTask::GetShareRoot(path), root) << path;
    }
}

TEST(SyncTaskTest, AssignCopiesStoredFieldsOnly) {
    TSyncTask source;
    FillTask(source);
    source.Running = true;
    TSyncTask target;
    target.IncludeFilter = {"old1", "old2", "old3"};
    target.Unattended = true;
    target.LFolder.ServerInfo = "kept";
    target.Assign(source);
    EXPECT_EQ(target.LFolder.validate, 0); // not a copied field, nor the next two
    target.LFolder.validate = source.LFolder.validate;
    target.LFolder.ActiveMode = source.LFolder.ActiveMode;
    target.LFolder.FactTime = source.LFolder.FactTime;
    EXPECT_EQ(Xml(target), Xml(source));
    EXPECT_EQ(target.LFolder.ServerInfo, "kept"); // nor is this
    EXPECT_FALSE(target.Running);
    EXPECT_TRUE(target.Unattended);
    target.Assign(TSyncTask()); // a source without patterns empties the lists
    EXPECT_TRUE(target.IncludeFilter.empty());
    EXPECT_TRUE(target.ExcludeFilter.empty());
}

TEST(SyncTaskTest, CloneAsNewHasOwnNameListsAndEmptyEndpoints) {
    TSyncTask source;
    FillTask(source);
    std::unique_ptr<TSyncTask> clone = TSyncTask::CloneAsNew(source);

    EXPECT_EQ(clone->SyncName, "New_" + source.SyncName);
    EXPECT_EQ(clone->SyncID, "New_" + source.SyncID);
    EXPECT_EQ(clone->LFolder.DeviceType, 0);
    EXPECT_TRUE(clone->LFolder.FolerAllName.empty());
    EXPECT_TRUE(clone->RFolder.PWD.empty());
    EXPECT_EQ(clone->SyncDirection, source.SyncDirection);
    EXPECT_EQ(clone->TaskScheduler, source.TaskScheduler);

    clone->IncludeFilter.push_back("*.xls");
    clone->ExcludeFilter.clear();
    EXPECT_EQ(source.IncludeFilter.size(), 3u);
    EXPECT_EQ(source.ExcludeFilter.size(), 2u);
}

// ---- Local snapshot files ----

using LocalSnapshotTest = TaskFolderTest;

std::string SnapshotText() {
    testsupport::TTreeBuilder tree;
    tree.File("a.txt", 1042432000, 5, 32);
    std::ostringstream out;
    tree.Root->SaveToStream(out, "/home/anna/docs");
    return out.str();
}

TEST_F(LocalSnapshotTest, ReadsTheSideFileAndLeavesTheTreeAloneWhenItIsEmptyOrDamaged) {
    TSyncTask task;
    task.SyncID = "Docs123";
    EXPECT_EQ(task.LocalSnapshotPath(0), appData / "Tandemora/Docs123L");
    EXPECT_EQ(task.LocalSnapshotPath(5), appData / "Tandemora/Docs123R");
    const std::string full = SnapshotText();
    struct Case {
        const char* what;
        const char* text; // null: no file; "/": a folder in its place
        int32_t result;
        size_t children;
    };
    const std::string damaged = full.substr(0, full.size() / 2) + "\r\nbroken::x\r\n";
    const Case cases[] = {
        {"no file: no old snapshot", nullptr, 0, 0},
        {"good file", full.c_str(), 0, 1},
        {"empty file", "", 0, 0},
        {"damaged file", damaged.c_str(), 1, 0},
        {"a folder in its place", "/", 1, 0},
    };
    const std::string file = appData / "Tandemora/Docs123R";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(file);
        if (c.text != nullptr && std::string(c.text) == "/") {
            std::filesystem::create_directories(file);
        } else if (c.text != nullptr) {
            testsupport::WriteFile(file, c.text);
        }
        TArenaPtr arena;
        TFileTree* tree = NewTree(arena);
        tree->Name = "before";
        EXPECT_EQ(task.LoadSnapshot(tree, 1), c.result);
        ASSERT_EQ(tree->Children.size(), c.children);
        if (c.children == 0) {
            EXPECT_EQ(tree->Name, "before");
        } else {
            EXPECT_EQ(tree->Children[0]->Data->Size, 5);
        }
    }
}

} // namespace
