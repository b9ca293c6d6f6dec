// The WebDAV endpoint against a real Apache httpd with mod_dav on 127.0.0.1:
// scans, transfers, folders, deletions and kept versions, checked on the folder
// the server keeps on disk.

#include "WebDavTestSupport.h"

#include "model/UTUtils.h"
#include "platform/FileSystem.h"

#include <limits>
#include <sys/stat.h>

using namespace webdavtest;
using endpointtest::ChildNames;
using endpointtest::FindChild;

namespace {

// Names a server has to carry through unchanged, each one a different trap for
// a URL: blanks, percent signs, fragment and query marks, plus, non-ASCII.
const std::vector<std::string> kAwkwardNames = {
    "plain.txt",     "blank name.txt", "100%.txt",         "hash#tag.txt",
    "what?.txt",     "a+b.txt",        "amp&eq=semi;.txt", "\xC3\xBC-umlaut \xE2\x82\xAC.txt",
    "%41 not A.txt",
};

TFileAttri Entry(const std::string& rel, const std::string& name, int64_t size = 0) {
    TFileAttri attr;
    attr.RelPath = rel;
    attr.Name = name;
    attr.Size = size;
    return attr;
}

// Files whose names show an unfinished transfer.
std::vector<std::string> PartFiles(const std::string& folder) {
    std::vector<std::string> parts;
    if (!std::filesystem::exists(folder)) {
        return parts;
    }
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
            parts.push_back(e.path().string());
        }
    }
    return parts;
}

} // namespace

class WebDavEndpointTest : public WebDavTest {};

TEST_F(WebDavEndpointTest, ScanListsTheServerLevelByLevel) {
    ServerPut("a/b/c.txt", "cee");
    ServerPut("x y#1?%/\xC3\xBC n.txt", "umlaut");
    ServerPut("__Tandemora__/snap", "not an item");
    ServerPut("a/__Tandemora__/kept.txt", "k");
    ServerPut("Z.txt", "zed");
    ServerPut("b.txt", "");
    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    EXPECT_EQ(oper->ServerInfo.rfind("WebDAV:Apache", 0), 0u) << oper->ServerInfo;
    oper->ScanTree();

    EXPECT_TRUE(oper->ScanComplete());
    const TFileTree* root = oper->Tree;
    EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"a", "x y#1?%", "b.txt", "Z.txt"}));
    const TFileTree* a = FindChild(root, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ChildNames(a),
              (std::vector<std::string>{"__Tandemora__", "b"})); // only the root's work folder goes
    const TFileTree* c = FindChild(FindChild(a, "b"), "c.txt");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Data->RelPath, "/a/b");
    EXPECT_EQ(c->Data->Size, 3);
    fs::DirEntry onDisk;
    ASSERT_TRUE(fs::GetEntryInfo(Disk + "/a/b/c.txt", onDisk));
    EXPECT_EQ(c->Data->Time, onDisk.Time);
    EXPECT_EQ(FindChild(a, "b")->Data->IsFolder, 1);
    EXPECT_EQ(FindChild(root, "b.txt")->Data->RelPath, "/");
    EXPECT_EQ(FindChild(root, "b.txt")->Data->Size, 0);
    const TFileTree* odd = FindChild(FindChild(root, "x y#1?%"), "\xC3\xBC n.txt");
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->Data->RelPath, "/x y#1?%");
    // One progress step per level: the root, its folders, theirs.
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 3);
    EXPECT_EQ(oper->GetTopFolderCount(), 10);
}

TEST_F(WebDavEndpointTest, ARootThatCannotBeListedIsNeverAnEmptyTree) {
    // A port nobody listens on.
    int closedPort = 0;
    {
        TCannedServer gone;
        closedPort = std::stoi(gone.Url().substr(gone.Url().rfind(':') + 1));
    }
    struct Case {
        std::string what;
        std::string root;
        std::string password;
        int connect;
        bool missing;
    };
    const std::vector<Case> cases = {
        {"missing folder", Base + "/nothing here", Server.Password, 1, true},
        {"wrong password", Base, "wrong", 401, false},
        {"nobody listening", "http://127.0.0.1:" + std::to_string(closedPort) + "/dav", Server.Password, 2,
         true},
    };
    ServerPut("file.txt", "x");
    for (const Case& c : cases) {
        Source.FolerAllName = c.root;
        Source.PWD = c.password;
        auto oper = MakeOper();
        EXPECT_EQ(oper->Connect(), c.connect) << c.what;
        EXPECT_EQ(oper->IsRootMissing(), c.connect) << c.what;
        oper->ScanTree();
        EXPECT_TRUE(oper->Tree->Children.empty()) << c.what;
        EXPECT_EQ(oper->Tree->ListFailed, 1) << c.what;
        EXPECT_EQ(oper->RootMissing, c.missing) << c.what;
        EXPECT_FALSE(oper->ScanComplete()) << c.what;
    }
}

TEST_F(WebDavEndpointTest, AFolderTheServerCannotListIsMarkedUnread) {
    ServerPut("ok/a.txt", "a");
    ServerPut("locked/x.txt", "x");
    ASSERT_EQ(chmod((Disk + "/locked").c_str(), 0), 0);
    auto oper = MakeOper();
    oper->ScanTree();
    chmod((Disk + "/locked").c_str(), 0755);

    const TFileTree* locked = FindChild(oper->Tree, "locked");
    ASSERT_NE(locked, nullptr);
    EXPECT_EQ(locked->ListFailed, 1);
    EXPECT_EQ(oper->UnreadFolders, (std::vector<std::string>{Base + "/locked"}));
    EXPECT_EQ(ChildNames(FindChild(oper->Tree, "ok")), (std::vector<std::string>{"a.txt"}));
    EXPECT_EQ(oper->Tree->ListFailed, 0);
    EXPECT_FALSE(oper->ScanComplete());
}

TEST_F(WebDavEndpointTest, AStoppedScanIsIncomplete) {
    ServerPut("sub/a.txt", "a");
    auto oper = MakeOper();
    oper->Stop();
    oper->ScanTree();
    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_FALSE(oper->ScanComplete());
}

TEST_F(WebDavEndpointTest, AwkwardNamesRoundTripThroughPutAndGet) {
    auto oper = MakeOper();
    for (const std::string& name : kAwkwardNames) {
        const std::string bytes = "content of " + name;
        const std::string local = Local / ("up " + name);
        testsupport::WriteFile(local, bytes);
        TFileAttri attr = Entry("/deep dir/" + name + " folder", name, static_cast<int64_t>(bytes.size()));
        attr.Time = endpointtest::Dos(2023, 7, 1, 12, 0, 0);
        ASSERT_EQ(oper->PutFile(local, &Source, &attr, 0), 0) << name;
        EXPECT_EQ(DiskRead("deep dir/" + name + " folder/" + name), bytes) << name;
        EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).back(), "Copy:" + local);

        const std::string back = Local / ("down " + name);
        ASSERT_EQ(oper->GetFile(back, &Source, &attr, 0), 0) << name;
        EXPECT_EQ(testsupport::ReadFile(back), bytes) << name;
        fs::DirEntry got;
        ASSERT_TRUE(fs::GetEntryInfo(back, got));
        EXPECT_EQ(got.Time, attr.Time) << name; // the copy carries the item's time
        EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).back(),
                  "Copy:/dav/" + Base.substr(Base.rfind('/') + 1) + "/deep dir/" + name + " folder/" + name);
    }
    // A replaced file is the new one, whole.
    testsupport::WriteFile(Local / "longer", "a longer content than before");
    TFileAttri plain = Entry("/deep dir/plain.txt folder", "plain.txt", 28);
    ASSERT_EQ(oper->PutFile(Local / "longer", &Source, &plain, 0), 0);
    EXPECT_EQ(DiskRead("deep dir/plain.txt folder/plain.txt"), "a longer content than before");
    EXPECT_EQ(PartFiles(Disk), std::vector<std::string>{});
    EXPECT_EQ(PartFiles(Local.path()), std::vector<std::string>{});
}

TEST_F(WebDavEndpointTest, TransfersThatWouldNotGiveTheWholeFileFailAndChangeNothing) {
    ServerPut("sub/a.txt", "server copy");
    ServerMkcol("ro");
    ServerPut("ro/kept.txt", "kept");
    auto oper = MakeOper();
    testsupport::WriteFile(Local / "a.txt", "local copy that changed");
    testsupport::WriteFile(Local / "target.txt", "local target");

    // The local file is no longer the size the analysis saw.
    TFileAttri a = Entry("/sub", "a.txt", 5);
    EXPECT_NE(oper->PutFile(Local / "a.txt", &Source, &a, 0), 0);
    EXPECT_EQ(DiskRead("sub/a.txt"), "server copy");
    // Nor is the server's.
    EXPECT_NE(oper->GetFile(Local / "target.txt", &Source, &a, 0), 0);
    EXPECT_EQ(testsupport::ReadFile(Local / "target.txt"), "local target");
    // Missing on either side.
    TFileAttri missing = Entry("/sub", "missing.txt", 3);
    EXPECT_EQ(oper->GetFile(Local / "missing.txt", &Source, &missing, 0), 1);
    EXPECT_FALSE(testsupport::Exists(Local / "missing.txt"));
    EXPECT_NE(oper->PutFile(Local / "no such file", &Source, &missing, 0), 0);
    EXPECT_FALSE(DiskHas("sub/missing.txt"));
    // The server refuses to store anything in a folder it may not write.
    ASSERT_EQ(chmod((Disk + "/ro").c_str(), 0555), 0);
    TFileAttri kept = Entry("/ro", "kept.txt", 23);
    const int refused = oper->PutFile(Local / "a.txt", &Source, &kept, 0);
    chmod((Disk + "/ro").c_str(), 0755);
    EXPECT_NE(refused, 0);
    EXPECT_EQ(DiskRead("ro/kept.txt"), "kept");

    EXPECT_EQ(PartFiles(Disk), std::vector<std::string>{});
    EXPECT_EQ(PartFiles(Local.path()), std::vector<std::string>{});
}

TEST_F(WebDavEndpointTest, StreamsGoThroughPrivateStagingFilesThatDoNotStay) {
    auto oper = MakeOper();
    TFileAttri snap = Entry("/__Tandemora__/", "Docs 1#");
    std::stringstream out("snapshot text\nline 2\n");
    ASSERT_EQ(oper->WriteFromStream(out, &Source, &snap, false), 0);
    EXPECT_EQ(DiskRead("__Tandemora__/Docs 1#"), "snapshot text\nline 2\n");

    std::stringstream in("old content");
    ASSERT_EQ(oper->ReadToStream(&Source, &snap, in), 0);
    EXPECT_EQ(in.str(), "snapshot text\nline 2\n");

    TFileAttri missing = Entry("/__Tandemora__/", "none");
    std::stringstream kept("untouched");
    EXPECT_NE(oper->ReadToStream(&Source, &missing, kept), 0);
    EXPECT_EQ(kept.str(), "untouched");

    const std::string staging = GetStagingFolder();
    ASSERT_EQ(staging.rfind(Home.path(), 0), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(staging));
}

TEST_F(WebDavEndpointTest, MakeFolderMakesEveryLevelAndAcceptsFoldersThatExist) {
    ServerPut("file.txt", "f");
    auto oper = MakeOper();
    struct Case {
        std::string rel;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"/a/b c/d#", true},  {"/a/b c/d#", true},    {"/a/b c/d#/", true}, {"a/new", true},
        {"/file.txt", false}, {"/file.txt/x", false}, {"/", false},         {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(oper->MakeFolder(c.rel) == 0, c.ok) << c.rel;
    }
    EXPECT_TRUE(std::filesystem::is_directory(Disk + "/a/b c/d#"));
    EXPECT_TRUE(std::filesystem::is_directory(Disk + "/a/new"));
    EXPECT_TRUE(std::filesystem::is_regular_file(Disk + "/file.txt"));
}

TEST_F(WebDavEndpointTest, DeleteFileTellsWhatHappened) {
    ServerPut("sub/gone.txt", "g");
    ServerPut("ro/stays.txt", "s");
    auto oper = MakeOper();
    TFileAttri gone = Entry("/sub", "gone.txt");
    EXPECT_EQ(oper->DeleteFile(&Source, &gone), 0);
    EXPECT_FALSE(DiskHas("sub/gone.txt"));
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS), (std::vector<std::string>{"Delete:" + Base + "/sub/gone.txt"}));
    EXPECT_EQ(oper->DeleteFile(&Source, &gone), 1);

    ASSERT_EQ(chmod((Disk + "/ro").c_str(), 0555), 0);
    TFileAttri stays = Entry("/ro", "stays.txt");
    const int refused = oper->DeleteFile(&Source, &stays);
    chmod((Disk + "/ro").c_str(), 0755);
    EXPECT_NE(refused, 0);
    EXPECT_NE(refused, 1);
    EXPECT_TRUE(DiskHas("ro/stays.txt"));

    // A folder that stands under a file's name by now is not deleted with all it holds.
    ServerPut("was a file/inside.txt", "i");
    TFileAttri folder = Entry("/", "was a file");
    EXPECT_NE(oper->DeleteFile(&Source, &folder), 0);
    EXPECT_EQ(DiskRead("was a file/inside.txt"), "i");
}

// A DELETE of a collection removes all it holds; the endpoint removes a folder
// only when it is empty.
TEST_F(WebDavEndpointTest, RemoveFolderRemovesEmptyFoldersOnly) {
    ServerPut("full/a.txt", "a");
    ServerMkcol("nested");
    ServerMkcol("nested/inner");
    ServerMkcol("empty one");
    ServerPut("file.txt", "f");
    auto oper = MakeOper();
    struct Case {
        std::string name;
        int result;
        bool remains;
    };
    const std::vector<Case> cases = {
        {"full", -1, true},      {"nested", -1, true}, {"file.txt", -1, true},
        {"empty one", 0, false}, {"never", 1, false},
    };
    for (const Case& c : cases) {
        TFileAttri attr = Entry("/", c.name);
        attr.IsFolder = 1;
        EXPECT_EQ(oper->RemoveFolder(&Source, &attr), c.result) << c.name;
        EXPECT_EQ(DiskHas(c.name), c.remains) << c.name;
    }
    EXPECT_EQ(DiskRead("full/a.txt"), "a");
    EXPECT_TRUE(DiskHas("nested/inner"));
}

TEST_F(WebDavEndpointTest, RenameMovesOnTheServer) {
    ServerPut("from #1.txt", "moving");
    auto oper = MakeOper();
    EXPECT_EQ(oper->RenameFile(Base + "/from #1.txt", Base + "/to 100%.txt"), 0);
    EXPECT_EQ(DiskRead("to 100%.txt"), "moving");
    EXPECT_FALSE(DiskHas("from #1.txt"));
    EXPECT_EQ(oper->RenameFile(Base + "/from #1.txt", Base + "/again.txt"), 1);
}

TEST_F(WebDavEndpointTest, SaveOldFileKeepsTheServersCopyBelowSaved) {
    ServerPut("sub dir/a b.txt", "first");
    auto oper = MakeOper();
    TFileAttri attr = Entry("/sub dir", "a b.txt");
    std::string saved;
    ASSERT_EQ(oper->GetSavedFolder(saved), 0);
    EXPECT_EQ(saved, Base + "/__Tandemora__/__saved__");
    ASSERT_EQ(oper->SaveOldFile(&Source, &attr), 0);
    EXPECT_EQ(DiskRead("__Tandemora__/__saved__/sub dir/a b.txt"), "first");
    ServerPut("sub dir/a b.txt", "second");
    ASSERT_EQ(oper->SaveOldFile(&Source, &attr), 0); // an older saved copy is replaced
    EXPECT_EQ(DiskRead("__Tandemora__/__saved__/sub dir/a b.txt"), "second");
    TFileAttri missing = Entry("/sub dir", "missing.txt");
    EXPECT_EQ(oper->SaveOldFile(&Source, &missing), 1);
}

TEST_F(WebDavEndpointTest, GetFileSizeGivesFilesOnly) {
    ServerPut("five.txt", "12345");
    ServerPut("empty.txt", "");
    ServerMkcol("folder");
    auto oper = MakeOper();
    EXPECT_EQ(oper->GetFileSize(Base + "/five.txt"), 5);
    EXPECT_EQ(oper->GetFileSize(Base + "/empty.txt"), 0);
    // A folder is there, but it is no file of any size: not taken for absent.
    EXPECT_EQ(oper->GetFileSize(Base + "/folder"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(oper->GetFileSize(Base + "/missing.txt"), -1);
}

TEST_F(WebDavEndpointTest, TheScanLoadsTheSnapshotFromTheWorkFolder) {
    ServerPut("a.txt", "a");
    auto writer = MakeOper();
    writer->ScanTree();
    std::stringstream text;
    writer->Tree->SaveToStream(text, Base);
    TFileAttri snap = Entry("/__Tandemora__/", "Docs1");
    ASSERT_EQ(writer->WriteFromStream(text, &Source, &snap, false), 0);

    struct Case {
        std::string name;
        size_t children;
        bool failed;
    };
    ServerPut("__Tandemora__/Broken", "this is no snapshot");
    for (const Case& c : std::vector<Case>{{"Docs1", 1, false}, {"Other", 0, false}, {"Broken", 0, true}}) {
        auto oper = MakeOper();
        oper->SnapshotName = c.name;
        oper->LoadSnapshotFlag = true;
        oper->ScanTree();
        EXPECT_FALSE(oper->LoadSnapshotFlag);
        EXPECT_EQ(oper->Snapshot->Children.size(), c.children) << c.name;
        EXPECT_EQ(oper->SnapshotFailed, c.failed) << c.name;
    }
    EXPECT_NE(ErrorLogText().find("Read Snapshot Error"), std::string::npos);
}
