// The WebDAV endpoint against Apache httpd with mod_dav on 127.0.0.1: scans,
// transfers, folders, deletions and kept versions, checked on the folder the
// server keeps on disk.

#include "WebDavTestSupport.h"

#include "platform/FileSystem.h"

#include <limits>
#include <sys/stat.h>

using namespace webdavtest;
using endpointtest::ChildNames;
using endpointtest::FindChild;

namespace {

// A folder on disk the server may not write (or, with 0, not read) while it lives.
struct TLocked {
    TLocked(const std::string& path, mode_t mode) : Path(path) { chmod(path.c_str(), mode); }
    ~TLocked() { chmod(Path.c_str(), 0755); }
    std::string Path;
};

class WebDavEndpointTest : public WebDavTest {};

TEST_F(WebDavEndpointTest, ScanListsTheServerLevelByLevel) {
    Dav.Put("a/b/c.txt", "cee");
    Dav.Put("__Tandemora__/snap", "not an item");
    Dav.Put("a/__Tandemora__/kept.txt", "k");
    Dav.Put("a/.hidden", "h");
    Dav.Put("Z.txt", "zed");
    Dav.Put("b.txt", "");
    auto oper = MakeDav();
    ASSERT_EQ(oper->Connect(), 0);
    oper->ScanTree();

    EXPECT_TRUE(oper->ScanComplete());
    const TFileTree* root = oper->Tree;
    EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"a", "b.txt", "Z.txt"}));
    const TFileTree* a = FindChild(root, "a");
    EXPECT_EQ(ChildNames(a), (std::vector<std::string>{"b", ".hidden"})); // a work folder goes at any depth
    EXPECT_EQ(FindChild(a, ".hidden")->Data->Attr, fs::faHidden);         // as on a local folder
    EXPECT_EQ(FindChild(root, "b.txt")->Data->Attr, 0);
    const TFileTree* c = FindChild(FindChild(a, "b"), "c.txt");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Data->RelPath, "/a/b");
    EXPECT_EQ(c->Data->Size, 3);
    fs::DirEntry onDisk;
    ASSERT_TRUE(fs::GetEntryInfo(Dav.Disk + "/a/b/c.txt", onDisk));
    EXPECT_EQ(c->Data->Time, onDisk.Time);
    EXPECT_EQ(FindChild(a, "b")->Data->IsFolder, 1);
    EXPECT_EQ(FindChild(root, "b.txt")->Data->Size, 0);
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 3); // one progress step per level
}

TEST_F(WebDavEndpointTest, TransfersThatWouldNotGiveTheWholeFileFailAndChangeNothing) {
    Dav.Put("sub/a.txt", "server copy");
    Dav.Put("ro/kept.txt", "kept");
    auto oper = MakeDav();
    testsupport::WriteFile(Dir / "a.txt", "local copy that changed");

    // The local file is no longer the size the analysis saw (a download's sizes are the fault suite's).
    TFileAttri a = Item("/sub", "a.txt", 5);
    EXPECT_NE(oper->PutFile(Dir / "a.txt", &Source, &a, 0), 0);
    EXPECT_EQ(Dav.Read("sub/a.txt"), "server copy");
    TFileAttri missing = Item("/sub", "missing.txt", 3);
    EXPECT_NE(oper->PutFile(Dir / "no such file", &Source, &missing, 0), 0);
    EXPECT_FALSE(Dav.Has("sub/missing.txt"));
    // The server refuses to store anything in a folder it may not write.
    TFileAttri kept = Item("/ro", "kept.txt", 23);
    {
        TLocked ro(Dav.Disk + "/ro", 0555);
        oper->LastErrorText.clear();
        EXPECT_NE(oper->PutFile(Dir / "a.txt", &Source, &kept, 0), 0);
        // The reason is the refused upload's, not that of the clean-up after it.
        EXPECT_NE(oper->LastErrorText.find(" to PUT"), std::string::npos) << oper->LastErrorText;
    }
    EXPECT_EQ(Dav.Read("ro/kept.txt"), "kept");
    EXPECT_EQ(remotetest::Leftovers(Dav.Disk), std::vector<std::string>{});
    EXPECT_EQ(remotetest::Leftovers(Dir.path()), std::vector<std::string>{});
}

TEST_F(WebDavEndpointTest, MakeFolderMakesEveryLevelAndAcceptsFoldersThatExist) {
    Dav.Put("file.txt", "f");
    auto oper = MakeDav();
    const std::pair<std::string, bool> cases[] = {
        {"/a/b c/d#", true},  {"/a/b c/d#", true},    {"/a/b c/d#/", true}, {"a/new", true},
        {"/file.txt", false}, {"/file.txt/x", false}, {"/", false},         {"", false},
    };
    for (const auto& [rel, ok] : cases) {
        EXPECT_EQ(oper->MakeFolder(rel) == 0, ok) << rel;
    }
    EXPECT_TRUE(std::filesystem::is_directory(Dav.Disk + "/a/b c/d#"));
    EXPECT_TRUE(std::filesystem::is_directory(Dav.Disk + "/a/new"));
    EXPECT_TRUE(std::filesystem::is_regular_file(Dav.Disk + "/file.txt"));
}

// Deleting succeeds in the sync suite. A DELETE of a collection removes all it
// holds: a folder that stands under a file's name by now is not deleted, and a
// folder is removed only when it is empty.
TEST_F(WebDavEndpointTest, DeletionsRemoveOnlyWhatTheyName) {
    Dav.Put("ro/stays.txt", "s");
    Dav.Put("full/a.txt", "a");
    Dav.Put("nested/inner/x", "x");
    Dav.Mkcol("empty one");
    Dav.Put("file.txt", "f");
    auto oper = MakeDav();
    TFileAttri stays = Item("/ro", "stays.txt");
    {
        TLocked ro(Dav.Disk + "/ro", 0555);
        const int refused = oper->DeleteFile(&Source, &stays);
        EXPECT_TRUE(refused != 0 && refused != 1) << refused;
    }
    TFileAttri folder = Item("/", "full");
    EXPECT_NE(oper->DeleteFile(&Source, &folder), 0);
    const std::tuple<std::string, int, bool> cases[] = {
        {"full", -1, true},      {"nested", -1, true}, {"file.txt", -1, true},
        {"empty one", 0, false}, {"never", 1, false},
    };
    for (const auto& [name, result, remains] : cases) {
        TFileAttri attr = Item("/", name);
        attr.IsFolder = 1;
        EXPECT_EQ(oper->RemoveFolder(&Source, &attr), result) << name;
        EXPECT_EQ(Dav.Has(name), remains) << name;
    }
    EXPECT_EQ(Dav.Read("full/a.txt") + Dav.Read("ro/stays.txt"), "as");
    EXPECT_TRUE(Dav.Has("nested/inner"));
}

// The sync suite covers what succeeds; here a saved copy replaced, and what is
// missing or broken.
TEST_F(WebDavEndpointTest, RenameSaveAndSizeTellWhatIsThere) {
    Dav.Put("sub dir/a b.txt", "first");
    Dav.Put("empty.txt", "");
    Dav.Mkcol("folder");
    Dav.Put("__Tandemora__/Broken", "this is no snapshot");
    auto oper = MakeDav();
    TFileAttri attr = Item("/sub dir", "a b.txt");
    ASSERT_EQ(oper->SaveOldFile(&Source, &attr), 0);
    Dav.Put("sub dir/a b.txt", "second");
    ASSERT_EQ(oper->SaveOldFile(&Source, &attr), 0); // an older saved copy is replaced
    EXPECT_EQ(Dav.Read("__Tandemora__/__saved__/sub dir/a b.txt"), "second");
    TFileAttri missing = Item("/sub dir", "missing.txt");
    EXPECT_EQ(oper->SaveOldFile(&Source, &missing), 1);
    std::stringstream kept("untouched");
    EXPECT_NE(oper->ReadToStream(&Source, &missing, kept), 0);
    EXPECT_EQ(kept.str(), "untouched");
    EXPECT_TRUE(std::filesystem::is_empty(GetStagingFolder())); // nothing staged stays

    EXPECT_EQ(oper->GetFileSize(Dav.Url + "/sub dir/a b.txt"), 6);
    EXPECT_EQ(oper->GetFileSize(Dav.Url + "/empty.txt"), 0);
    // A folder is there, but it is no file of any size: not taken for absent.
    EXPECT_EQ(oper->GetFileSize(Dav.Url + "/folder"), std::numeric_limits<int64_t>::max());

    for (const auto& [name, failed] : {std::pair<std::string, bool>{"Other", false}, {"Broken", true}}) {
        auto scan = MakeDav();
        scan->SnapshotName = name;
        scan->LoadSnapshotFlag = true;
        scan->ScanTree();
        EXPECT_TRUE(scan->Snapshot->Children.empty()) << name;
        EXPECT_EQ(scan->SnapshotFailed, failed) << name;
    }
    EXPECT_NE(ErrorLogText().find("Read Snapshot Error"), std::string::npos);
}

} // namespace
