// The FTP endpoint against a real Pure-FTPd: the scan (order, sizes, times,
// what it could not see), and each single operation the sync thread uses.

#include "FtpTestSupport.h"

#include "platform/Exceptions.h"

#include <limits>
#include <sys/stat.h>

namespace ftptest {
namespace {

class FtpFileOperTest : public FtpTest {
protected:
    void TearDown() override {
        // Locked folders would keep the next run from clearing the test's folder.
        for (const std::string& locked : Locked) {
            chmod(locked.c_str(), 0755);
        }
    }
    void Lock(const std::string& rel, mode_t mode) {
        Locked.push_back(LocalDir + "/" + rel);
        chmod(Locked.back().c_str(), mode);
    }
    TFileAttri Item(const std::string& rel, const std::string& name, int64_t size = 0) {
        TFileAttri attr;
        attr.RelPath = rel;
        attr.Name = name;
        attr.Size = size;
        return attr;
    }
    std::vector<std::string> Locked;
};

TEST_F(FtpFileOperTest, ScanListsEveryLevelSortedWithServerSizesAndTimes) {
    Seed("B.txt", "bb", 1700000000);
    Seed("a.txt", "a", 1700000100);
    Seed("sub/\xc3\xbc x.txt", "uuu");
    Seed("sub/deep/-d.txt", "dddd");
    Seed("sub/__Tandemora__/kept", "k");
    Seed("__Tandemora__/snapshot", "s");
    SeedFolder("Zeta");
    auto oper = MakeFtp();
    oper->ScanTree();

    EXPECT_TRUE(oper->ScanComplete());
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"sub", "Zeta", "a.txt", "B.txt"}));
    const TFileTree* a = FindChild(oper->Tree, "a.txt");
    EXPECT_EQ(a->Data->Size, 1);
    EXPECT_EQ(a->Data->Time, fs::UnixToDosTime(timespec{1700000100, 0}));
    EXPECT_EQ(a->Data->RelPath, "/");
    EXPECT_EQ(a->Data->IsFolder, 0);
    const TFileTree* sub = FindChild(oper->Tree, "sub");
    EXPECT_EQ(sub->Data->IsFolder, 1);
    EXPECT_EQ(ChildNames(sub), (std::vector<std::string>{"__Tandemora__", "deep", "\xc3\xbc x.txt"}));
    const TFileTree* deep = FindChild(FindChild(sub, "deep"), "-d.txt");
    EXPECT_EQ(deep->Data->RelPath, "/sub/deep/");
    EXPECT_EQ(deep->Data->Size, 4);
    EXPECT_TRUE(FindChild(oper->Tree, "Zeta")->Children.empty());
    // One progress step per level: the root, its folders, theirs.
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 3);
    EXPECT_EQ(oper->ServerInfo.compare(0, 4, "FTP:"), 0) << oper->ServerInfo;
}

TEST_F(FtpFileOperTest, AFolderRepeatingTheRootsNameKeepsItInItsEntriesPath) {
    Seed("data/data/f.txt", "f");
    Source.FolerAllName += "/data";
    auto oper = MakeFtp();
    oper->ScanTree();
    const TFileTree* inner = FindChild(oper->Tree, "data");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(FindChild(inner, "f.txt")->Data->RelPath, "/data/");
}

TEST_F(FtpFileOperTest, AFolderThatCannotBeReadIsMarkedAndTheRestIsListed) {
    Seed("locked/secret.txt", "s");
    Seed("open/y.txt", "y");
    Lock("locked", 0);
    auto oper = MakeFtp();
    oper->ScanTree();
    const TFileTree* locked = FindChild(oper->Tree, "locked");
    ASSERT_NE(locked, nullptr);
    EXPECT_EQ(locked->ListFailed, 1);
    EXPECT_TRUE(locked->Children.empty());
    EXPECT_EQ(oper->UnreadFolders, std::vector<std::string>{ServerDir + "/locked/"});
    EXPECT_EQ(ChildNames(FindChild(oper->Tree, "open")), std::vector<std::string>{"y.txt"});
    EXPECT_FALSE(oper->ScanIncomplete);
    EXPECT_FALSE(oper->ScanComplete());
}

TEST_F(FtpFileOperTest, AMissingRootOrACancelledScanIsNeverAnEmptyFolder) {
    {
        Source.FolerAllName = TServer::Get().Url + ServerDir + "/missing";
        auto oper = MakeFtp();
        EXPECT_EQ(oper->IsRootMissing(), 1);
        oper->ScanTree();
        EXPECT_TRUE(oper->RootMissing);
        EXPECT_EQ(oper->Tree->ListFailed, 1);
    }
    Source.FolerAllName = TServer::Get().Url + ServerDir;
    Seed("sub/x.txt", "x");
    auto oper = MakeFtp();
    EXPECT_EQ(oper->IsRootMissing(), 0);
    oper->Terminate();
    oper->ScanTree();
    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_FALSE(oper->ScanComplete());
}

TEST_F(FtpFileOperTest, ConnectsByHostNameAndPortAndKeepsTheGreeting) {
    Seed("f.txt", "f");
    struct Case {
        std::string Host;
        bool Greeting; // read from dotted IPv4 addresses only
    };
    for (const Case& c : {Case{"127.0.0.1", true}, Case{"localhost", false}}) {
        SCOPED_TRACE(c.Host);
        Source.FolerAllName = c.Host + ":" + std::to_string(TServer::Get().Port) + ServerDir + "/";
        auto oper = MakeFtp();
        EXPECT_EQ(Source.FolerAllName,
                  "ftp://" + c.Host + ":" + std::to_string(TServer::Get().Port) + ServerDir);
        if (c.Greeting) {
            EXPECT_EQ(oper->ServerInfo.compare(0, 14, "FTP:----------"), 0) << oper->ServerInfo;
            EXPECT_EQ(oper->ServerInfo.find("\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(oper->ServerInfo, "ftp://" + oper->Host);
        }
        oper->ScanTree();
        EXPECT_EQ(ChildNames(oper->Tree), std::vector<std::string>{"f.txt"});
        EXPECT_EQ(oper->Connect(), 0); // connected already
    }
}

TEST_F(FtpFileOperTest, PutFileMakesTheFolderAndReplacesOnlyWithACompleteCopy) {
    Seed("old/f.txt", "old");
    const std::string local = Dir / "src.txt";
    testsupport::WriteFile(local, "fresh");
    auto oper = MakeFtp();
    struct Case {
        std::string Rel;
        std::string Name;
        int64_t Size;
        int Result;
        std::string Expected; // on the server afterwards ("" none)
    };
    const Case cases[] = {
        {"/new dir/-sub/", "\xc3\xbc x.txt", 5, 0, "fresh"},
        {"/old/", "f.txt", 5, 0, "fresh"},
        {"/old/", "g.txt", 4, -1, ""}, // the local file is not what the analysis saw
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rel + c.Name);
        TFileAttri attr = Item(c.Rel, c.Name, c.Size);
        EXPECT_EQ(oper->PutFile(local, &Source, &attr, 0), c.Result);
        const std::string rel = c.Rel.substr(1) + c.Name;
        if (c.Expected.empty()) {
            EXPECT_FALSE(ServerHas(rel));
        } else {
            EXPECT_EQ(OnServer(rel), c.Expected);
        }
    }
    EXPECT_EQ(ServerNames("old"), std::vector<std::string>{"f.txt"}); // no temporary file left
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).front(), "Copy:" + local);
}

TEST_F(FtpFileOperTest, GetFileCopiesTheAnalysedFileOnly) {
    Seed("sub dir/-f.txt", "server");
    auto oper = MakeFtp();
    const std::string local = Dir / "out.txt";
    struct Case {
        std::string Rel;
        std::string Name;
        int64_t Size;
        bool Ok;
        int Result;
    };
    const Case cases[] = {
        {"/missing/", "-f.txt", 6, false, 2},
        {"/sub dir/", "gone.txt", 6, false, 0},
        {"/sub dir/", "-f.txt", 7, false, 0}, // changed since the analysis
        {"/sub dir/", "-f.txt", 6, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rel + c.Name);
        TFileAttri attr = Item(c.Rel, c.Name, c.Size);
        const int result = oper->GetFile(local, &Source, &attr, 0);
        if (c.Ok) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(testsupport::ReadFile(local), "server");
        } else {
            EXPECT_NE(result, 0);
            if (c.Result != 0) {
                EXPECT_EQ(result, c.Result);
            }
            EXPECT_FALSE(testsupport::Exists(local));
        }
    }
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).back(), "Copy:-f.txt");
}

TEST_F(FtpFileOperTest, MakeFolderCreatesEveryMissingLevelAndTheDeepestDecides) {
    SeedFolder("a");
    SeedFolder("ro");
    Lock("ro", 0555);
    auto oper = MakeFtp();
    EXPECT_EQ(oper->MakeFolder("a"), 0);
    EXPECT_EQ(oper->MakeFolder("a/b/c"), 0);
    EXPECT_TRUE(ServerHas("a/b/c"));
    EXPECT_EQ(oper->MakeFolder("/x y/-z/"), 0);
    EXPECT_TRUE(ServerHas("x y/-z"));
    EXPECT_EQ(oper->MakeFolder("ro/new"), -3);
    EXPECT_FALSE(ServerHas("ro/new"));
}

TEST_F(FtpFileOperTest, RenameDeleteRemoveAndSize) {
    Seed("a/x.tmp", "12345");
    Seed("a/del me.txt", "d");
    SeedFolder("b");
    SeedFolder("empty");
    auto oper = MakeFtp();
    std::string oldUrl;
    std::string newUrl;
    TFileAttri from = Item("/a/", "x.tmp");
    TFileAttri to = Item("/a/", "x");
    oper->BuildFullPath(&Source, &from, oldUrl);
    oper->BuildFullPath(&Source, &to, newUrl);
    EXPECT_EQ(oper->GetFileSize(oldUrl), 5);
    EXPECT_EQ(oper->RenameFile(oldUrl, newUrl), 0);
    EXPECT_EQ(oper->GetFileSize(oldUrl), -1);
    EXPECT_EQ(oper->GetFileSize(newUrl), 5);
    EXPECT_EQ(oper->RenameFile(oldUrl, newUrl), 1); // nothing there any more
    // Into another folder: the file goes where the new path says.
    TFileAttri moved = Item("/b/", "x");
    std::string movedUrl;
    oper->BuildFullPath(&Source, &moved, movedUrl);
    EXPECT_EQ(oper->RenameFile(newUrl, movedUrl), 0);
    EXPECT_EQ(OnServer("b/x"), "12345");
    EXPECT_EQ(oper->RenameFile(TServer::Get().Url + ServerDir + "/nope/x", movedUrl), -1);

    TFileAttri folder = Item("/", "a");
    std::string folderUrl;
    oper->BuildFullPath(&Source, &folder, folderUrl);
    // A folder is there, but it is no file of any size: not taken for absent.
    EXPECT_EQ(oper->GetFileSize(folderUrl), std::numeric_limits<int64_t>::max());

    TFileAttri del = Item("/a/", "del me.txt");
    EXPECT_EQ(oper->DeleteFile(&Source, &del), 0);
    EXPECT_FALSE(ServerHas("a/del me.txt"));
    EXPECT_EQ(oper->DeleteFile(&Source, &del), -1);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS).back(), "Delete:del me.txt");

    TFileAttri full = Item("/", "b");
    TFileAttri empty = Item("/", "empty");
    EXPECT_EQ(oper->RemoveFolder(&Source, &full), -3);
    EXPECT_EQ(oper->RemoveFolder(&Source, &empty), 0);
    EXPECT_EQ(ServerNames(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(FtpFileOperTest, SaveOldFileKeepsTheServerFileBelowTheSavedFolder) {
    Seed("docs/report.txt", "version 1");
    auto oper = MakeFtp();
    std::string saved;
    EXPECT_EQ(oper->GetSavedFolder(saved), 0);
    EXPECT_EQ(saved, "__Tandemora__/__saved__");
    TFileAttri attr = Item("/docs/", "report.txt", 99);
    EXPECT_EQ(oper->SaveOldFile(&Source, &attr), 0);
    EXPECT_EQ(OnServer("__Tandemora__/__saved__/docs/report.txt"), "version 1");
    EXPECT_EQ(attr.RelPath, "/docs/");
    // Nothing to keep: no copy, and the caller is told.
    TFileAttri missing = Item("/docs/", "none.txt");
    EXPECT_EQ(oper->SaveOldFile(&Source, &missing), 1);
    EXPECT_FALSE(ServerHas("__Tandemora__/__saved__/docs/none.txt"));
}

TEST_F(FtpFileOperTest, SnapshotsAreWrittenAndReadInTheWorkFolder) {
    Seed("f.txt", "f");
    auto writer = MakeFtp();
    writer->ScanTree();
    std::stringstream text;
    writer->Tree->SaveToStream(text, Source.FolerAllName);
    TFileAttri attr = Item("/__Tandemora__/", "ID1");
    EXPECT_EQ(writer->WriteFromStream(text, &Source, &attr, false), 0);
    EXPECT_EQ(ServerNames("__Tandemora__"), std::vector<std::string>{"ID1"});

    auto reader = MakeFtp();
    reader->SnapshotName = "ID1";
    reader->LoadSnapshotFlag = true;
    reader->ScanTree();
    EXPECT_FALSE(reader->SnapshotFailed);
    EXPECT_EQ(reader->Snapshot->Name, Source.FolerAllName);
    EXPECT_EQ(ChildNames(reader->Snapshot), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(ChildNames(reader->Tree), std::vector<std::string>{"f.txt"});

    Seed("__Tandemora__/ID2", "this is not a snapshot");
    reader->SnapshotName = "ID2";
    reader->LoadSnapshot();
    EXPECT_TRUE(reader->SnapshotFailed);
    EXPECT_TRUE(reader->Snapshot->Children.empty());
    EXPECT_NE(ErrorLogText().find("Read Snapshot Error"), std::string::npos);

    reader->SnapshotName = "ID3"; // none yet: no snapshot, no failure
    reader->LoadSnapshot();
    EXPECT_FALSE(reader->SnapshotFailed);
    std::vector<std::string> staged;
    for (const auto& e : std::filesystem::directory_iterator(GetStagingFolder())) {
        staged.push_back(e.path().filename().string());
    }
    EXPECT_TRUE(staged.empty());
}

} // namespace
} // namespace ftptest
