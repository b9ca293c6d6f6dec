// The network-share endpoint against the Samba server: log-on and share list, the
// scan and what it admits it did not see, and the single file operations the
// sync thread uses, checked on the server's own disk. Also the local endpoint on
// a UNC path, which needs no log-on.

#include "SmbTestSupport.h"

#include "endpoints/UTNetFileOper.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <limits>
#include <sstream>

namespace smbtest {
namespace {

using namespace tandemora;
using endpointtest::ChildNames;
using endpointtest::FindChild;
using endpointtest::Item;

// A server address on 127.0.0.1 where nothing listens.
std::string ClosedServer() {
    return "\\\\127.0.0.1:" + std::to_string(remotetest::ClosedPort());
}

class SmbNetFileOperTest : public SmbTest {
protected:
    std::unique_ptr<TNetFileOper> MakeNet(bool connect = false) {
        auto oper = std::make_unique<TNetFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        if (connect) {
            EXPECT_EQ(oper->Connect(), 0);
        }
        return oper;
    }
};

TEST_F(SmbNetFileOperTest, ConnectLogsOnAndListsTheDiskShares) {
    const TServerInfo& server = Share.Server;
    const std::string wrong = server.Password + "x";
    // A wrong password fails instead of falling back to guest; the right one takes effect at once.
    const std::tuple<std::string, std::string, int> cases[] = {
        {Share.Unc(), wrong, ERROR_ACCESS_DENIED},
        {Share.Unc(), server.Password, 0},
        {Share.Unc("deeper/still", '/'), server.Password, 0},
        {server.Server(), server.Password, 0},
        {ClosedServer() + "\\data", server.Password, ERROR_NO_NET_OR_BAD_PATH},
        {"\\\\someone@127.0.0.1\\data", server.Password, ERROR_NO_NET_OR_BAD_PATH},
        {"", server.Password, ERROR_NO_NET_OR_BAD_PATH},
    };
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    for (const auto& [path, password, result] : cases) {
        Source.FolerAllName = path;
        Source.PWD = password;
        auto oper = MakeNet();
        EXPECT_EQ(oper->Connect(), result) << path;
        TStringList shares = oper->GetShareList();
        std::sort(shares.begin(), shares.end());
        const TStringList expected = {server.Server() + "\\" + server.Share,
                                      server.Server() + "\\" + server.Public};
        EXPECT_EQ(shares, result != 0 ? TStringList() : expected) << path;
    }
    // Neither password reaches the error log or the program's output.
    const std::string output =
        ::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr();
    for (const std::string& secret : {server.Password, wrong}) {
        EXPECT_EQ(ErrorLogText().find(secret), std::string::npos);
        EXPECT_EQ(output.find(secret), std::string::npos) << output;
    }
}

TEST_F(SmbNetFileOperTest, ListSubFoldersGivesFoldersOrOneFailureLine) {
    Share.MakeFolder("one");
    Share.Put("file.txt", "f");
    Share.Put("locked/x", "x");
    Share.Lock("locked");
    auto list = TNetFileOper::ListSubFolders(Share.Unc());
    std::sort(list->begin(), list->end());
    EXPECT_EQ(*list, (TStringList{Share.Unc("locked"), Share.Unc("one")}));
    for (const auto& [path, code] : {std::pair<std::string, int>{Share.Unc("locked"), ERROR_ACCESS_DENIED},
                                     {Share.Unc("missing"), ERROR_NO_NET_OR_BAD_PATH}}) {
        list = TNetFileOper::ListSubFolders(path);
        EXPECT_EQ(*list, TStringList{"Can not open folder:" + path + ",Return Code\xEF\xBC\x9A" +
                                     std::to_string(code)});
    }
}

TEST_F(SmbNetFileOperTest, AMissingOrUnreachableRootGivesAnEmptyMarkedTree) {
    for (const std::string& root :
         {Share.Unc("missing"), Share.Server.Server() + "\\noshare", ClosedServer() + "\\data"}) {
        Source.FolerAllName = root;
        auto oper = MakeNet();
        oper->Connect();
        EXPECT_NE(oper->IsRootMissing(), 0) << root;
        oper->ScanTree();
        EXPECT_TRUE(oper->RootMissing) << root;
        EXPECT_EQ(oper->Tree->ListFailed, 1) << root;
        EXPECT_TRUE(oper->Tree->Children.empty()) << root;
        EXPECT_FALSE(oper->ScanComplete()) << root;
    }
}

// A server lost in the middle of a scan or a write is a failure, never an empty folder.
TEST_F(SmbNetFileOperTest, ALostServerMakesTheScanIncompleteAndWritesFail) {
    TPrivateServer server;
    ASSERT_TRUE(server.Start());
    for (const std::string folder : {"a", "b", "c"}) {
        testsupport::WriteFile(server.Info.Root + "/" + folder + "/f.txt", folder);
        GiveToShare(server.Info.Root + "/" + folder);
    }
    Source.FolerAllName = server.Info.Server() + "\\" + server.Info.Share;
    Source.UserName = server.Info.User;
    Source.PWD = server.Info.Password;
    auto oper = MakeNet(true);
    fs::TFileHandle out;
    ASSERT_TRUE(out.Create(Source.FolerAllName + "\\c\\partial.bin"));
    const std::string chunk(1024 * 1024, 'x');
    ASSERT_TRUE(out.WriteAll(chunk.data(), chunk.size()));
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
    EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"a", "b", "c"}));
    for (const TFileTree* folder : oper->Tree->Children) {
        EXPECT_EQ(folder->ListFailed, 1) << folder->Name;
        EXPECT_TRUE(folder->Children.empty()) << folder->Name;
    }
    EXPECT_EQ(oper->UnreadFolders.size(), 3u);

    EXPECT_FALSE(out.WriteAll(chunk.data(), chunk.size()));
    EXPECT_FALSE(out.Close());
    std::vector<fs::DirEntry> entries;
    EXPECT_NE(fs::ListFolder(Source.FolerAllName, entries), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(fs::DirectoryExists(Source.FolerAllName));
}

// Whole copies succeed in the sync suite; here the progress of a long one, and
// a source that is not the size the analysis saw.
TEST_F(SmbNetFileOperTest, PutFileCopiesCompletelyOrLeavesTheTargetAlone) {
    const std::string bytes(3 * 1024 * 1024, 'x');
    testsupport::WriteFile(Dir / "big.bin", bytes);
    auto oper = MakeNet(true);
    TFileAttri attr = Item("/deep/er/", "big.bin", static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(oper->PutFile(Dir / "big.bin", &Source, &attr, 0), 0);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS),
              (std::vector<std::string>{"Copy:" + Dir / "big.bin", "Copy:" + Dir / "big.bin" + " : 66.67%"}));
    testsupport::WriteFile(Dir / "big.bin", "changed");
    EXPECT_EQ(oper->PutFile(Dir / "big.bin", &Source, &attr, 0), 1);
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("deep/er/big.bin")), bytes);
    EXPECT_EQ(remotetest::Leftovers(Share.Disk()), std::vector<std::string>{});
}

TEST_F(SmbNetFileOperTest, WriteFromStreamKeepsAReadOnlyTargetUnlessToldOtherwise) {
    Share.Put("sub/target.txt", "old");
    chmod(Share.Disk("sub/target.txt").c_str(), 0444);
    auto oper = MakeNet(true);
    TFileAttri attr = Item("/sub/", "target.txt", 0, fs::UnixToDosTime(timespec{1600000000, 0}));
    std::istringstream first("new content");
    EXPECT_EQ(oper->WriteFromStream(first, &Source, &attr, false), erFailed);
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("sub/target.txt")), "old");
    std::istringstream second("new content");
    EXPECT_EQ(oper->WriteFromStream(second, &Source, &attr, true), erOk);
    EXPECT_EQ(testsupport::ReadFile(Share.Disk("sub/target.txt")), "new content");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Share.Disk("sub")), {}), 1); // no part file
    EXPECT_EQ(ModifyTime(Share.Disk("sub/target.txt")), 1600000000);
}

// Saving, renaming and deleting succeed in the sync suite; here what is missing or in the way.
TEST_F(SmbNetFileOperTest, MissingOrFullItemsFailOnTheShare) {
    Share.MakeFolder("m/n");
    Share.MakeFolder("empty");
    auto oper = MakeNet(true);
    TFileAttri gone = Item("/sub/", "g.txt");
    TFileAttri other = Item("/", "h.txt");
    std::string from;
    std::string to;
    oper->BuildFullPath(&Source, &gone, from);
    oper->BuildFullPath(&Source, &other, to);
    EXPECT_NE(oper->RenameFile(from, to), 0);
    EXPECT_EQ(oper->DeleteFile(&Source, &gone), -1);
    EXPECT_EQ(Log.Statuses(WM_COPYPROCESS), std::vector<std::string>{"Delete:" + Share.Unc("sub/g.txt")});
    std::stringstream stream;
    EXPECT_THROW(oper->ReadToStream(&Source, &gone, stream), EFOpenError);
    TFileAttri folder = Item("/", "m"); // still holds "n"
    EXPECT_EQ(oper->RemoveFolder(&Source, &folder), -1);
    EXPECT_TRUE(testsupport::Exists(Share.Disk("m/n")));
    folder.Name = "empty";
    EXPECT_EQ(oper->RemoveFolder(&Source, &folder), 0);
    EXPECT_FALSE(testsupport::Exists(Share.Disk("empty")));
}

// The sync thread asks for a target's size right before it writes or deletes:
// only the server's "no such item" means absent, never a file that may not be
// read, a folder under the name, or a server that does not answer.
TEST_F(SmbNetFileOperTest, GetFileSizeTakesOnlyTheServersNoForAbsent) {
    const int64_t unknown = std::numeric_limits<int64_t>::max(); // no file has this size
    Share.Put("sub/f.txt", "version one");
    Share.Put("private.txt", "not for the share's user");
    ASSERT_EQ(chown(Share.Disk("private.txt").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(Share.Disk("private.txt").c_str(), 0600), 0);
    Share.MakeFolder("folder");
    auto oper = MakeNet(true);
    const std::pair<std::string, int64_t> cases[] = {
        {Share.Unc("sub/f.txt"), 11},       {Share.Unc("private.txt"), 24},
        {Share.Unc("folder"), unknown},     {Share.Unc("missing.txt"), -1},
        {Share.Unc("no folder/f.txt"), -1}, {ClosedServer() + "\\data\\f.txt", unknown},
    };
    for (const auto& [path, size] : cases) {
        EXPECT_EQ(oper->GetFileSize(path), size) << path;
    }
}

TEST_F(SmbNetFileOperTest, TheLocalEndpointReachesAUncPathWithoutALogOn) {
    smb::LogOn(Share.Server.Server(), "", ""); // no account for this server: anonymous
    const std::string disk = Share.Server.PublicRoot + "/" + Share.Name;
    std::filesystem::remove_all(disk);
    testsupport::WriteFile(disk + "/sub/f.txt", "public");
    GiveToShare(disk);
    TFolderSource source;
    source.DeviceType = dtLocal;
    source.FolerAllName = Share.Server.Server() + "\\" + Share.Server.Public + "\\" + Share.Name;
    TWinFileOper oper(false);
    oper.Source = &source;
    EXPECT_EQ(oper.Connect(), 0);
    oper.ScanTree();
    EXPECT_TRUE(oper.ScanComplete());
    EXPECT_EQ(ChildNames(FindChild(oper.Tree, "sub")), std::vector<std::string>{"f.txt"});

    testsupport::WriteFile(Home / "up.txt", "uploaded");
    TFileAttri attr = Item("/sub/", "up.txt", 8);
    EXPECT_EQ(oper.PutFile(Home / "up.txt", &source, &attr, 0), 0);
    EXPECT_EQ(testsupport::ReadFile(disk + "/sub/up.txt"), "uploaded");
    source.FolerAllName = Share.Unc(); // the protected share stays closed to an anonymous client
    EXPECT_EQ(oper.Connect(), 1);
    std::filesystem::remove_all(disk);
}

} // namespace
} // namespace smbtest
