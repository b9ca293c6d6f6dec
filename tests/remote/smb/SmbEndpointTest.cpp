// The network-share endpoint against the private Samba server: log-on and share
// list, the scan and what it admits it did not see, and the single file
// operations the sync thread uses, checked on the server's own disk. Also the
// local endpoint on a UNC path, which needs no log-on.

#include "SmbTestSupport.h"

#include "endpoints/EndpointTestSupport.h"
#include "endpoints/UTNetFileOper.h"
#include "platform/Exceptions.h"

#include <algorithm>
#include <limits>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

namespace smbtest {
namespace {

using namespace tandemora;
using endpointtest::ChildNames;
using endpointtest::FindChild;
using endpointtest::TMessageLog;

// A port on 127.0.0.1 where nothing listens.
std::string ClosedPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return std::to_string(ntohs(address.sin_port));
}

int32_t DosOf(time_t when) {
    return fs::UnixToDosTime(timespec{when, 0});
}

class SmbNetFileOperTest : public SmbTest {
protected:
    void SetUp() override {
        SmbTest::SetUp();
        Source.DeviceType = dtNetShare;
        Source.FolerAllName = Unc();
        Source.UserName = Server.User;
        Source.PWD = Server.Password;
    }

    std::unique_ptr<TNetFileOper> MakeOper() {
        auto oper = std::make_unique<TNetFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        return oper;
    }

    TFolderSource Source;
    TMessageLog Log;
};

TEST_F(SmbNetFileOperTest, ConnectLogsOnAndListsTheDiskShares) {
    struct Case {
        std::string path;
        std::string password;
        int result;
    };
    const std::string wrong = Server.Password + "x";
    const Case cases[] = {
        {Unc(), Server.Password, 0},
        {SlashUnc() + "/deeper/still", Server.Password, 0},
        {Server.Server(), Server.Password, 0},
        {Unc(), wrong, ERROR_ACCESS_DENIED},
        {"\\\\127.0.0.1:" + ClosedPort() + "\\data", Server.Password, ERROR_NO_NET_OR_BAD_PATH},
        {"\\\\someone@127.0.0.1\\data", Server.Password, ERROR_NO_NET_OR_BAD_PATH},
        {"", Server.Password, ERROR_NO_NET_OR_BAD_PATH},
    };
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    for (const Case& c : cases) {
        Source.FolerAllName = c.path;
        Source.PWD = c.password;
        auto oper = MakeOper();
        EXPECT_EQ(oper->Connect(), c.result) << c.path;
        if (c.result == 0) {
            TStringList shares = oper->GetShareList();
            std::sort(shares.begin(), shares.end());
            EXPECT_EQ(shares, (TStringList{Server.Server() + "\\" + Server.Share,
                                           Server.Server() + "\\" + Server.Public}))
                << c.path;
        } else {
            EXPECT_TRUE(oper->GetShareList().empty()) << c.path;
        }
    }
    // Neither password reaches the error log or the program's output.
    const std::string output =
        ::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr();
    for (const std::string& secret : {Server.Password, wrong}) {
        EXPECT_EQ(testsupport::ReadFile(Home / "ErrorInfo.txt").find(secret), std::string::npos);
        EXPECT_EQ(output.find(secret), std::string::npos) << output;
    }
}

TEST(SmbNetFileOperPaths, PathsAreJoinedPlainlyAndServersTakenApart) {
    struct Build {
        std::string root;
        std::string rel;
        std::string name;
        std::string path;
    };
    const Build builds[] = {
        {"\\\\srv\\share", "\\a\\", "f.txt", "\\\\srv\\share\\a\\f.txt"},
        {"\\\\srv\\share\\", "\\a\\", "f.txt", "\\\\srv\\share\\\\a\\f.txt"},
        {"\\\\srv\\share", "/a/", "f.txt", "\\\\srv\\share\\a\\f.txt"},
        {"//srv/share", "/", "f.txt", "\\\\srv\\share\\f.txt"},
        {"\\\\srv\\share", "", "f.txt", "\\\\srv\\share\\f.txt"},
    };
    TNetFileOper oper(false);
    for (const Build& b : builds) {
        TFolderSource source;
        source.FolerAllName = b.root;
        TFileAttri attr;
        attr.RelPath = b.rel;
        attr.Name = b.name;
        std::string path;
        oper.BuildFullPath(&source, &attr, path);
        EXPECT_EQ(path, b.path) << b.root << " + " << b.rel;
        std::string folder;
        oper.ExtractFolderPath(path, folder);
        EXPECT_EQ(folder + b.name, path);
    }
    const std::pair<std::string, std::string> servers[] = {
        {"\\\\srv\\share\\a\\b", "\\\\srv"},
        {"\\\\srv", "\\\\srv"},
        {"//srv/share", "\\\\srv"},
        {"\\\\srv:4455\\share", "\\\\srv:4455"},
        {"", ""},
    };
    for (const auto& s : servers) {
        EXPECT_EQ(TNetFileOper::ExtractServerName(s.first), s.second) << s.first;
    }
    const std::pair<std::string, std::string> normalized[] = {
        {"srv\\share\\", "\\\\srv\\share"},
        {"\\\\srv\\share", "\\\\srv\\share"},
        {" \\\\srv\\share\\ ", "\\\\srv\\share"},
        {"//srv/share/", "//srv/share"},
    };
    for (const auto& n : normalized) {
        EXPECT_EQ(TNetFileOper::NormalizeUncPath(n.first), n.second) << n.first;
    }
    EXPECT_EQ(oper.GetTopFolderCount(), 10);
    EXPECT_EQ(TNetFileOper::RunHiddenCommand("sh -c \"exit 3\"", 0), 3);
    EXPECT_EQ(TNetFileOper::RunHiddenCommand("no-such-program-here", 0), -1);
}

TEST_F(SmbNetFileOperTest, ListSubFoldersGivesFoldersOrOneFailureLine) {
    MakeFolder("one");
    MakeFolder("two");
    Seed("file.txt", "f");
    Seed("locked/x", "x");
    chown(Disk("locked").c_str(), 0, 0);
    chmod(Disk("locked").c_str(), 0700);

    auto list = TNetFileOper::ListSubFolders(Unc());
    std::sort(list->begin(), list->end());
    EXPECT_EQ(*list, (TStringList{Unc() + "\\locked", Unc() + "\\one", Unc() + "\\two"}));
    const std::pair<std::string, int> failures[] = {{Unc("locked"), ERROR_ACCESS_DENIED},
                                                    {Unc("missing"), ERROR_NO_NET_OR_BAD_PATH}};
    for (const auto& f : failures) {
        list = TNetFileOper::ListSubFolders(f.first);
        EXPECT_EQ(*list, TStringList{"Can not open folder:" + f.first + ",Return Code\xEF\xBC\x9A" +
                                     std::to_string(f.second)});
    }
}

TEST_F(SmbNetFileOperTest, ScanListsTheShareLikeALocalFolder) {
    Seed("alpha.txt", "a", 1700000000);
    Seed("C.txt", "cc", 1700000000);
    Seed("b.txt", "bbb", 1700003600);
    Seed("Zeta/inner.txt", "inner", 1700007200);
    MakeFolder("Zeta/__Tandemora__");
    Seed("__Tandemora__/Docs1", "snapshot");

    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    oper->ScanTree();
    EXPECT_TRUE(oper->ScanComplete());
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"Zeta", "alpha.txt", "b.txt", "C.txt"}));
    const TFileTree* zeta = FindChild(oper->Tree, "Zeta");
    ASSERT_NE(zeta, nullptr);
    EXPECT_EQ(ChildNames(zeta), (std::vector<std::string>{"__Tandemora__", "inner.txt"}));
    EXPECT_EQ(zeta->Data->RelPath, "/");
    EXPECT_EQ(zeta->Data->IsFolder, 1);
    const TFileTree* inner = FindChild(zeta, "inner.txt");
    EXPECT_EQ(inner->Data->RelPath, "/Zeta/");
    EXPECT_EQ(inner->Data->Size, 5);
    EXPECT_EQ(inner->Data->Time, DosOf(1700007200));
    EXPECT_EQ(inner->Data->Attr, 32);
    // One step per folder listed: the root, Zeta, its work folder and the root's.
    EXPECT_EQ(Log.Count(WM_UPDATEPROCESS), 4);
}

TEST_F(SmbNetFileOperTest, AFolderThatCannotBeListedIsMarkedNotEmpty) {
    Seed("open/a.txt", "a");
    Seed("locked/secret.txt", "s");
    chown(Disk("locked").c_str(), 0, 0);
    chmod(Disk("locked").c_str(), 0700);

    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    oper->ScanTree();
    const TFileTree* locked = FindChild(oper->Tree, "locked");
    ASSERT_NE(locked, nullptr);
    EXPECT_EQ(locked->ListFailed, 1);
    EXPECT_TRUE(locked->Children.empty());
    EXPECT_EQ(oper->UnreadFolders.size(), 1u);
    EXPECT_FALSE(oper->ScanComplete());
    // The server still answers: only that folder is unseen.
    EXPECT_FALSE(oper->ScanIncomplete);
    EXPECT_EQ(oper->Tree->ListFailed, 0);
    EXPECT_EQ(ChildNames(FindChild(oper->Tree, "open")), std::vector<std::string>{"a.txt"});
}

TEST_F(SmbNetFileOperTest, AMissingOrUnreachableRootGivesAnEmptyMarkedTree) {
    const std::string roots[] = {Unc("missing"), Server.Server() + "\\noshare",
                                 "\\\\127.0.0.1:" + ClosedPort() + "\\data"};
    for (const std::string& root : roots) {
        Source.FolerAllName = root;
        auto oper = MakeOper();
        oper->Connect();
        EXPECT_NE(oper->IsRootMissing(), 0) << root;
        oper->ScanTree();
        EXPECT_TRUE(oper->RootMissing) << root;
        EXPECT_EQ(oper->Tree->ListFailed, 1) << root;
        EXPECT_TRUE(oper->Tree->Children.empty()) << root;
        EXPECT_FALSE(oper->ScanComplete()) << root;
    }
}

TEST_F(SmbNetFileOperTest, ALostServerMidScanMakesTheScanIncomplete) {
    TPrivateServer server;
    ASSERT_TRUE(server.Start());
    for (const std::string folder : {"a", "b", "c"}) {
        const std::string path = server.Info.Root + "/" + folder;
        testsupport::WriteFile(path + "/f.txt", folder);
        GiveToShare(path);
        GiveToShare(path + "/f.txt");
    }
    Source.FolerAllName = server.Info.Server() + "\\" + server.Info.Share;
    Source.UserName = server.Info.User;
    Source.PWD = server.Info.Password;
    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    // The root is listed; the server goes away before the first sub-folder is.
    int steps = 0;
    Log.OnMessage = [&](uint32_t msg) {
        if (msg == WM_UPDATEPROCESS && ++steps == 2) {
            server.Stop();
        }
    };
    oper->ScanTree();
    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_FALSE(oper->ScanComplete());
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"a", "b", "c"}));
    for (const TFileTree* folder : oper->Tree->Children) {
        EXPECT_EQ(folder->ListFailed, 1) << folder->Name;
        EXPECT_TRUE(folder->Children.empty()) << folder->Name;
    }
    EXPECT_EQ(oper->UnreadFolders.size(), 3u);
}

TEST_F(SmbNetFileOperTest, PutFileCopiesCompletelyOrLeavesTheTargetAlone) {
    testsupport::TempDir local;
    std::string bytes(3 * 1024 * 1024, 'x');
    for (size_t i = 0; i < bytes.size(); i += 4093) {
        bytes[i] = static_cast<char>(i & 0x7F);
    }
    testsupport::WriteFile(local / "big.bin", bytes);
    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);

    TFileAttri attr;
    attr.Name = "big.bin";
    attr.RelPath = "/deep/er/";
    attr.Size = static_cast<int64_t>(bytes.size());
    attr.Time = DosOf(1600000000);
    ASSERT_EQ(oper->PutFile(local / "big.bin", &Source, &attr, 0), 0);
    EXPECT_EQ(testsupport::ReadFile(Disk("deep/er/big.bin")), bytes);
    EXPECT_EQ(MTime(Disk("deep/er/big.bin")), 1600000000);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS),
              (std::vector<std::string>{"Copy:" + (local / "big.bin"),
                                        "Copy:" + (local / "big.bin") + " : 66.67%"}));
    // Nothing but the file itself is left in its folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Disk("deep/er")),
                            std::filesystem::directory_iterator()),
              1);

    // A source that is not the size the analysis saw is not copied.
    testsupport::WriteFile(local / "big.bin", "changed");
    EXPECT_EQ(oper->PutFile(local / "big.bin", &Source, &attr, 0), 1);
    EXPECT_EQ(testsupport::ReadFile(Disk("deep/er/big.bin")), bytes);
}

TEST_F(SmbNetFileOperTest, WriteFromStreamKeepsAReadOnlyTargetUnlessToldOtherwise) {
    Seed("sub/target.txt", "old");
    chmod(Disk("sub/target.txt").c_str(), 0444);
    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    TFileAttri attr;
    attr.Name = "target.txt";
    attr.RelPath = "/sub/";
    attr.Time = DosOf(1600000000);

    std::istringstream first("new content");
    EXPECT_EQ(oper->WriteFromStream(first, &Source, &attr, false), erFailed);
    EXPECT_EQ(testsupport::ReadFile(Disk("sub/target.txt")), "old");

    std::istringstream second("new content");
    EXPECT_EQ(oper->WriteFromStream(second, &Source, &attr, true), erOk);
    EXPECT_EQ(testsupport::ReadFile(Disk("sub/target.txt")), "new content");
    // Neither write left a part file beside the target.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Disk("sub")), {}), 1);
    EXPECT_EQ(MTime(Disk("sub/target.txt")), 1600000000);

    // New folders are made on the way.
    attr.RelPath = "/made/here/";
    std::istringstream third("fresh");
    EXPECT_EQ(oper->WriteFromStream(third, &Source, &attr, false), erOk);
    EXPECT_EQ(testsupport::ReadFile(Disk("made/here/target.txt")), "fresh");
}

TEST_F(SmbNetFileOperTest, SingleFileOperationsWorkOnTheShare) {
    Seed("sub/f.txt", "version one");
    MakeFolder("empty");
    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    TFileAttri attr;
    attr.Name = "f.txt";
    attr.RelPath = "/sub/";

    std::stringstream stream;
    EXPECT_EQ(oper->ReadToStream(&Source, &attr, stream), 0);
    EXPECT_EQ(stream.str(), "version one");
    std::string path;
    oper->BuildFullPath(&Source, &attr, path);
    EXPECT_EQ(oper->GetFileSize(path), 11);

    ASSERT_EQ(oper->SaveOldFile(&Source, &attr), 0);
    EXPECT_EQ(testsupport::ReadFile(Disk("__Tandemora__/__saved__/sub/f.txt")), "version one");

    EXPECT_EQ(oper->MakeFolder("/m/n/"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(Disk("m/n")));

    std::string moved;
    TFileAttri other = attr;
    other.Name = "g.txt";
    oper->BuildFullPath(&Source, &other, moved);
    EXPECT_EQ(oper->RenameFile(path, moved), 0);
    EXPECT_EQ(testsupport::ReadFile(Disk("sub/g.txt")), "version one");
    EXPECT_NE(oper->RenameFile(path, moved), 0);

    EXPECT_EQ(oper->DeleteFile(&Source, &other), 0);
    EXPECT_FALSE(testsupport::Exists(Disk("sub/g.txt")));
    EXPECT_EQ(oper->DeleteFile(&Source, &other), -1);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS),
              (std::vector<std::string>{"Delete:" + Unc("sub/g.txt"), "Delete:" + Unc("sub/g.txt")}));
    EXPECT_EQ(oper->GetFileSize(moved), -1);
    EXPECT_THROW(oper->ReadToStream(&Source, &other, stream), EFOpenError);

    TFileAttri folder;
    folder.Name = "empty";
    folder.RelPath = "/";
    EXPECT_EQ(oper->RemoveFolder(&Source, &folder), 0);
    EXPECT_FALSE(testsupport::Exists(Disk("empty")));
    // "m" still holds "n".
    folder.Name = "m";
    EXPECT_EQ(oper->RemoveFolder(&Source, &folder), -1);
    EXPECT_TRUE(testsupport::Exists(Disk("m/n")));
}

// The sync thread asks for a target's size right before it writes or deletes:
// only the server's "no such item" means absent. A file that may not be read, a
// folder under the name, or a server that does not answer is never taken for
// "no file there", or a copy would go over what stands there unseen.
TEST_F(SmbNetFileOperTest, GetFileSizeTakesOnlyTheServersNoForAbsent) {
    const int64_t unknown = std::numeric_limits<int64_t>::max(); // no file has this size
    Seed("sub/f.txt", "version one");
    Seed("private.txt", "not for the share's user");
    ASSERT_EQ(chown(Disk("private.txt").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(Disk("private.txt").c_str(), 0600), 0);
    MakeFolder("folder");
    auto oper = MakeOper();
    ASSERT_EQ(oper->Connect(), 0);
    const std::vector<std::pair<std::string, int64_t>> cases = {
        {Unc("sub/f.txt"), 11},       {Unc("private.txt"), 24},
        {Unc("folder"), unknown},     {Unc("missing.txt"), -1},
        {Unc("no folder/f.txt"), -1}, {"\\\\127.0.0.1:" + ClosedPort() + "\\data\\f.txt", unknown},
    };
    for (const auto& [path, size] : cases) {
        EXPECT_EQ(oper->GetFileSize(path), size) << path;
    }
}

TEST_F(SmbNetFileOperTest, TheWorkFolderSnapshotIsLoadedByTheScan) {
    Seed("a.txt", "a");
    Seed("sub/b.txt", "b");
    auto first = MakeOper();
    ASSERT_EQ(first->Connect(), 0);
    first->ScanTree();
    std::ostringstream text;
    first->Tree->SaveToStream(text, "Docs");
    TFileAttri attr;
    attr.Name = "Docs1";
    attr.RelPath = "/__Tandemora__/";
    std::istringstream in(text.str());
    ASSERT_EQ(first->WriteFromStream(in, &Source, &attr, false), 0);

    auto second = MakeOper();
    second->SnapshotName = "Docs1";
    second->LoadSnapshotFlag = true;
    second->ScanTree();
    EXPECT_FALSE(second->SnapshotFailed);
    EXPECT_EQ(ChildNames(second->Snapshot), (std::vector<std::string>{"sub", "a.txt"}));
    EXPECT_EQ(ChildNames(second->Tree), (std::vector<std::string>{"sub", "a.txt"}));
}

TEST_F(SmbNetFileOperTest, TheLocalEndpointReachesAUncPathWithoutALogOn) {
    // No account for this server: the connection is anonymous.
    smb::LogOn(Server.Server(), "", "");
    const std::string disk = Server.PublicRoot + "/" + Folder;
    std::filesystem::remove_all(disk);
    std::filesystem::create_directories(disk + "/sub");
    testsupport::WriteFile(disk + "/sub/f.txt", "public");
    for (const std::string& p : {disk, disk + "/sub", disk + "/sub/f.txt"}) {
        GiveToShare(p);
    }
    TFolderSource source;
    source.DeviceType = dtLocal;
    source.FolerAllName = Server.Server() + "\\" + Server.Public + "\\" + Folder;
    TWinFileOper oper(false);
    oper.Source = &source;
    EXPECT_EQ(oper.Connect(), 0);
    oper.ScanTree();
    EXPECT_TRUE(oper.ScanComplete());
    EXPECT_EQ(ChildNames(oper.Tree), std::vector<std::string>{"sub"});
    EXPECT_EQ(ChildNames(oper.Tree->Children[0]), std::vector<std::string>{"f.txt"});

    testsupport::TempDir local;
    testsupport::WriteFile(local / "up.txt", "uploaded");
    TFileAttri attr;
    attr.Name = "up.txt";
    attr.RelPath = "/sub/";
    attr.Size = 8;
    attr.Time = DosOf(1600000000);
    EXPECT_EQ(oper.PutFile(local / "up.txt", &source, &attr, 0), 0);
    EXPECT_EQ(testsupport::ReadFile(disk + "/sub/up.txt"), "uploaded");

    // The protected share stays closed to an anonymous client.
    source.FolerAllName = Unc();
    EXPECT_EQ(oper.Connect(), 1);
    std::filesystem::remove_all(disk);
}

} // namespace
} // namespace smbtest
