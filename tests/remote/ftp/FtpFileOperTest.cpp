// The FTP endpoint and its session against a real Pure-FTPd: the scan, what it
// could not see, and how each single operation the sync thread uses fails.

#include "FtpTestSupport.h"

#include <limits>

namespace ftptest {
namespace {

class FtpFileOperTest : public FtpTest {};

TEST_F(FtpFileOperTest, ScanListsEveryLevelSortedWithServerSizesAndTimes) {
    Ftp.Put("B.txt", "bb", 1700000000);
    Ftp.Put("a.txt", "a", 1700000100);
    Ftp.Put("semi;colon=x.txt", "s;c");
    Ftp.Put("sub/deep/-d.txt", "dddd");
    Ftp.Put("sub/__Tandemora__/kept", "k");
    Ftp.Put("sub/.hidden", "h");
    Ftp.Put("__Tandemora__/snapshot", "s");
    Ftp.Put(remotetest::ScratchName() + "/f.txt", "f"); // a folder repeating the root's name
    Ftp.MakeFolder("Zeta");
    auto oper = MakeFtp();
    oper->ScanTree();

    EXPECT_TRUE(oper->ScanComplete());
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{remotetest::ScratchName(), "sub", "Zeta",
                                                                "a.txt", "B.txt", "semi;colon=x.txt"}));
    EXPECT_EQ(FindChild(FindChild(oper->Tree, remotetest::ScratchName()), "f.txt")->Data->RelPath,
              "/" + remotetest::ScratchName() + "/");
    const TFileTree* a = FindChild(oper->Tree, "a.txt");
    EXPECT_EQ(a->Data->Size, 1);
    EXPECT_EQ(a->Data->Time, fs::UnixToDosTime(timespec{1700000100, 0}));
    EXPECT_EQ(a->Data->RelPath, "/");
    EXPECT_EQ(FindChild(oper->Tree, "semi;colon=x.txt")->Data->Size, 3);
    const TFileTree* sub = FindChild(oper->Tree, "sub");
    EXPECT_EQ(ChildNames(sub),
              (std::vector<std::string>{"deep", ".hidden"})); // a work folder goes at any depth
    // A dot name is hidden, as on a local folder, so the hidden-file switch
    // leaves it out on both sides alike.
    EXPECT_EQ(FindChild(sub, ".hidden")->Data->Attr, fs::faHidden);
    EXPECT_EQ(a->Data->Attr, 0);
    const TFileTree* deep = FindChild(FindChild(sub, "deep"), "-d.txt");
    EXPECT_EQ(deep->Data->RelPath, "/sub/deep/");
    EXPECT_EQ(deep->Data->Size, 4);
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 3); // one progress step per level
    EXPECT_EQ(oper->ServerInfo.compare(0, 14, "FTP:----------"), 0) << oper->ServerInfo; // the greeting
    EXPECT_EQ(oper->ServerInfo.find("\r\n"), std::string::npos);
}

TEST_F(FtpFileOperTest, AMissingRootOrACancelledScanIsNeverAnEmptyFolder) {
    {
        Source.FolerAllName = Ftp.Server.Url + Ftp.Path + "/missing";
        auto oper = MakeFtp();
        EXPECT_EQ(oper->IsRootMissing(), 1);
        oper->ScanTree();
        EXPECT_TRUE(oper->RootMissing);
        EXPECT_EQ(oper->Tree->ListFailed, 1);
    }
    Ftp.Use(Source);
    Ftp.Put("sub/x.txt", "x");
    auto oper = MakeFtp();
    EXPECT_EQ(oper->IsRootMissing(), 0);
    oper->Terminate();
    oper->ScanTree();
    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_FALSE(oper->ScanComplete());
}

TEST_F(FtpFileOperTest, ConnectsByHostNameAndPort) {
    Ftp.Put("f.txt", "f");
    Source.FolerAllName = "localhost:" + std::to_string(Ftp.Server.Port) + Ftp.Path + "/";
    auto oper = MakeFtp();
    EXPECT_EQ(Source.FolerAllName, "ftp://localhost:" + std::to_string(Ftp.Server.Port) + Ftp.Path);
    EXPECT_EQ(oper->ServerInfo, "ftp://" + oper->Host); // the greeting is read from IPv4 addresses only
    oper->ScanTree();
    EXPECT_EQ(ChildNames(oper->Tree), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(oper->Connect(), 0); // connected already
}

// Whole copies succeed in the sync suite; here copies that must not happen, and
// the one download that replaces a local file keeping its permissions.
TEST_F(FtpFileOperTest, CopiesReplaceOnlyWithTheAnalysedFile) {
    Ftp.Put("old/f.txt", "old");
    Ftp.Put("readonly/kept.txt", "kept");
    chmod((Ftp.Disk + "/readonly").c_str(), 0555);
    Ftp.Put("sub dir/-f.txt", "server");
    const std::string local = Dir / "out.txt";
    testsupport::WriteFile(local, "fresh");
    chmod(local.c_str(), 0640);
    auto oper = MakeFtp();
    TFileAttri changed = Item("/old/", "f.txt", 4); // the local file is not what the analysis saw
    EXPECT_NE(oper->PutFile(local, &Source, &changed, 0), 0);
    TFileAttri refused = Item("/readonly/", "kept.txt", 5);
    EXPECT_NE(oper->PutFile(local, &Source, &refused, 0), 0);
    EXPECT_EQ(Ftp.Read("old/f.txt") + Ftp.Read("readonly/kept.txt"), "oldkept");
    EXPECT_EQ(remotetest::Names(Ftp.Disk + "/readonly"),
              std::vector<std::string>{"kept.txt"}); // no temporary file
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).front(), "Copy:" + local);
    const std::tuple<std::string, std::string, int64_t, int> gets[] = {
        {"/missing/", "-f.txt", 6, 2},
        {"/sub dir/", "gone.txt", 6, 1}, // 1: any failure
        {"/sub dir/", "-f.txt", 7, 1},   // changed since the analysis
        {"/sub dir/", "-f.txt", 6, 0},
    };
    for (const auto& [rel, name, size, expected] : gets) {
        SCOPED_TRACE(rel + name);
        TFileAttri attr = Item(rel, name, size);
        const int result = oper->GetFile(local, &Source, &attr, 0);
        EXPECT_TRUE(expected == 1 ? result != 0 : result == expected) << result;
        EXPECT_EQ(testsupport::ReadFile(local), expected == 0 ? "server" : "fresh");
    }
    struct stat st {};
    stat(local.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // a replaced file keeps its permissions
    EXPECT_EQ(remotetest::Leftovers(Dir.path()), std::vector<std::string>{});
}

// Making folders, renaming, deleting and sizes succeed in the sync suite; here
// what is refused, missing or in the way.
TEST_F(FtpFileOperTest, RefusedOrMissingItemsFailWithTheirOwnResult) {
    Ftp.Put("a/x", "12345");
    Ftp.Put("b/kept", "k");
    Ftp.MakeFolder("empty");
    Ftp.MakeFolder("ro");
    chmod((Ftp.Disk + "/ro").c_str(), 0555);
    Ftp.Put("victim.txt", "v");
    auto oper = MakeFtp();
    // A folder that cannot be entered leaves the session where it was: a delete
    // that follows must not happen in another folder.
    auto session = oper->Session();
    ASSERT_EQ(session->ChangeDir(Ftp.Path + "/a"), ftpOk);
    EXPECT_EQ(session->ChangeDir(Ftp.Path + "/missing"), ftpRefused);
    EXPECT_EQ(session->CurrentDir(), Ftp.Path + "/a");
    EXPECT_EQ(session->Delete("victim.txt"), ftpRefused);
    EXPECT_TRUE(Ftp.Has("victim.txt"));
    const auto url = [&](const std::string& rel, const std::string& name) {
        TFileAttri attr = Item(rel, name);
        std::string path;
        oper->BuildFullPath(&Source, &attr, path);
        return path;
    };
    EXPECT_EQ(oper->MakeFolder("a"), 0); // there already
    EXPECT_EQ(oper->MakeFolder("/x y/-z/"), 0);
    EXPECT_TRUE(Ftp.Has("x y/-z"));
    EXPECT_EQ(oper->MakeFolder("ro/new"), -3); // the deepest level decides
    EXPECT_FALSE(Ftp.Has("ro/new"));
    EXPECT_EQ(oper->RenameFile(url("/a/", "x.tmp"), url("/a/", "y")), 1); // nothing there
    EXPECT_EQ(oper->RenameFile(url("/nope/", "x"), url("/b/", "x")), -1);
    // A folder is there, but it is no file of any size: not taken for absent.
    EXPECT_EQ(oper->GetFileSize(url("/", "a")), std::numeric_limits<int64_t>::max());
    TFileAttri missing = Item("/a/", "missing.txt");
    EXPECT_EQ(oper->DeleteFile(&Source, &missing), -1);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).back(), "Delete:missing.txt");
    TFileAttri full = Item("/", "b");
    TFileAttri empty = Item("/", "empty");
    EXPECT_EQ(oper->RemoveFolder(&Source, &full), -3);
    EXPECT_EQ(oper->RemoveFolder(&Source, &empty), 0);
    EXPECT_EQ(remotetest::Names(Ftp.Disk), (std::vector<std::string>{"a", "b", "ro", "victim.txt", "x y"}));
}

// Saved versions and snapshots succeed in the sync suite; here what is missing or broken.
TEST_F(FtpFileOperTest, AMissingOrBrokenWorkFileIsToldAsSuch) {
    auto oper = MakeFtp();
    TFileAttri missing = Item("/docs/", "none.txt"); // nothing to keep: no copy, and the caller is told
    EXPECT_EQ(oper->SaveOldFile(&Source, &missing), 1);
    EXPECT_FALSE(Ftp.Has("__Tandemora__/__saved__/docs/none.txt"));
    Ftp.Put("__Tandemora__/ID2", "this is not a snapshot");
    for (const auto& [name, failed] : {std::pair<std::string, bool>{"ID2", true}, {"ID3", false}}) {
        auto reader = MakeFtp();
        reader->SnapshotName = name;
        reader->LoadSnapshotFlag = true;
        reader->ScanTree();
        EXPECT_TRUE(reader->Snapshot->Children.empty()) << name;
        EXPECT_EQ(reader->SnapshotFailed, failed) << name;
    }
    EXPECT_NE(ErrorLogText().find("Read Snapshot Error"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(GetStagingFolder()));
}

} // namespace
} // namespace ftptest
