// The FTP endpoint against a scripted server that misbehaves on purpose:
// listings and transfers that break off or are denied at the end must never
// pass for complete, and what could not be seen must be marked as such.

#include "FakeFtpServer.h"
#include "FtpTestSupport.h"

#include <filesystem>
#include <thread>

namespace ftptest {
namespace {

const char* const Dated = "modify=20200304050607;";

std::string Mlsd(const std::string& facts, const std::string& name) {
    return facts + Dated + " " + name + "\r\n";
}

class FtpFaultTest : public EndpointTest {
protected:
    std::unique_ptr<TFtpFileOper> Connect(const TFakeFtpServer& server, const std::string& folder = "/data") {
        Source.DeviceType = dtFtp;
        Source.FolerAllName = server.Url() + folder;
        Source.UserName = "user";
        Source.PWD = "secret";
        auto oper = std::make_unique<TFtpFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        EXPECT_EQ(oper->Connect(), 0);
        return oper;
    }

    // The names in the local test folder.
    std::vector<std::string> LocalNames() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Root)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// ---- Listings -------------------------------------------------------------------------

TEST_F(FtpFaultTest, AFolderWhoseListingFailsIsMarkedUnreadAndTheScanGoesOn) {
    struct Case {
        std::string Name;
        bool Mlsd;
        std::function<void(TFakeScript&)> Fault;
    };
    const Case cases[] = {
        {"MLSD cut off", true, [](TFakeScript& s) { s.CutListings.insert("/data/sub"); }},
        {"LIST cut off", false, [](TFakeScript& s) { s.CutListings.insert("/data/sub"); }},
        {"unreadable line", true,
         [](TFakeScript& s) { s.Listings["/data/sub"] += "this is no listing line\r\n"; }},
        {"folder refused", true, [](TFakeScript& s) { s.RefusedFolders.insert("/data/sub"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeScript script;
        script.OfferMlst = c.Mlsd;
        if (c.Mlsd) {
            script.Listings["/data"] = "type=cdir; .\r\n" + Mlsd("type=dir;", "sub") +
                                       Mlsd("type=dir;", "more") + Mlsd("type=file;size=3;", "f.txt");
            script.Listings["/data/sub"] = Mlsd("type=file;size=1;", "partial");
            script.Listings["/data/more"] = Mlsd("type=file;size=2;", "m.txt");
        } else {
            script.Listings["/data"] = "drwxr-xr-x 2 u g 4096 Mar  4  2020 sub\r\n"
                                       "drwxr-xr-x 2 u g 4096 Mar  4  2020 more\r\n"
                                       "-rw-r--r-- 1 u g 3 Mar  4  2020 f.txt\r\n";
            script.Listings["/data/sub"] = "-rw-r--r-- 1 u g 1 Mar  4  2020 partial\r\n";
            script.Listings["/data/more"] = "-rw-r--r-- 1 u g 2 Mar  4  2020 m.txt\r\n";
        }
        c.Fault(script);
        TFakeFtpServer server(script);
        auto oper = Connect(server);
        oper->ScanTree();

        EXPECT_EQ(ChildNames(oper->Tree), (std::vector<std::string>{"more", "sub", "f.txt"}));
        const TFileTree* sub = FindChild(oper->Tree, "sub");
        ASSERT_NE(sub, nullptr);
        EXPECT_EQ(sub->ListFailed, 1);
        EXPECT_TRUE(sub->Children.empty()); // half a listing is not shown as the folder
        EXPECT_EQ(ChildNames(FindChild(oper->Tree, "more")), std::vector<std::string>{"m.txt"});
        EXPECT_EQ(oper->UnreadFolders, std::vector<std::string>{"/data/sub/"});
        EXPECT_FALSE(oper->ScanIncomplete);
        EXPECT_EQ(oper->Tree->ListFailed, 0);
        EXPECT_FALSE(oper->ScanComplete());
    }
}

TEST_F(FtpFaultTest, AConnectionLostDuringAListingMarksTheWholeScanIncomplete) {
    TFakeScript script;
    script.Listings["/data"] = Mlsd("type=dir;", "sub") + Mlsd("type=dir;", "zz");
    script.Listings["/data/sub"] = Mlsd("type=file;size=1;", "x");
    script.DroppedListings.insert("/data/sub");
    TFakeFtpServer server(script);
    auto oper = Connect(server);
    oper->ScanTree();
    EXPECT_TRUE(oper->ScanIncomplete);
    EXPECT_EQ(oper->Tree->ListFailed, 1);
    EXPECT_EQ(FindChild(oper->Tree, "sub")->ListFailed, 1);
    EXPECT_FALSE(oper->ScanComplete());
}

// ---- Downloads --------------------------------------------------------------------------

TEST_F(FtpFaultTest, ADownloadThatIsNotWholeNeverReplacesTheLocalFile) {
    const std::string bytes(50, 'x');
    struct Case {
        std::string Name;
        int64_t Reported; // SIZE/MLST
        std::string Final;
        int64_t Expected; // the analysed size
        bool Ok;
    };
    const Case cases[] = {
        {"whole", 50, "226 Transfer complete", 50, true},
        {"shorter than SIZE said", 100, "226 Transfer complete", 100, false},
        {"no SIZE, transfer aborted", -1, "426 Connection closed; transfer aborted", 50, false},
        {"all bytes, then an error reply", 50, "451 Local error in processing", 50, false},
        {"no SIZE, fewer bytes than analysed", -1, "226 Transfer complete", 100, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeScript script;
        script.FileData = bytes;
        script.FileSize = c.Reported;
        script.RetrFinal = c.Final;
        TFakeFtpServer server(script);
        auto oper = Connect(server);
        const std::string local = Dir / "file.bin";
        testsupport::WriteFile(local, "old");
        TFileAttri attr;
        attr.Name = "file.bin";
        attr.RelPath = "/";
        attr.Size = c.Expected;
        const int result = oper->GetFile(local, &Source, &attr, 0);
        if (c.Ok) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(testsupport::ReadFile(local), bytes);
        } else {
            EXPECT_NE(result, 0);
            EXPECT_EQ(testsupport::ReadFile(local), "old");
        }
        EXPECT_EQ(LocalNames(), std::vector<std::string>{"file.bin"}); // no part file left
    }
}

TEST_F(FtpFaultTest, StopEndsADownloadThatHangsAndLeavesNoFile) {
    TFakeScript script;
    script.FileData = "the first bytes";
    script.FileSize = 1000;
    script.StallRetr = true;
    TFakeFtpServer server(script);
    auto oper = Connect(server);
    TFileAttri attr;
    attr.Name = "file.bin";
    attr.RelPath = "/";
    attr.Size = 1000;
    const std::string local = Dir / "file.bin";
    int result = 0;
    std::thread worker([&] { result = oper->GetFile(local, &Source, &attr, 0); });
    server.WaitUntilStalled();
    oper->Stop();
    worker.join();
    EXPECT_NE(result, 0);
    EXPECT_TRUE(LocalNames().empty());
    // Every later call fails at once instead of waiting on the dead connection.
    EXPECT_EQ(oper->IsRootMissing(), 1);
}

// ---- Uploads -----------------------------------------------------------------------------

TEST_F(FtpFaultTest, AnUploadTakesItsNameOnlyWhenTheServerHoldsEveryByte) {
    const std::string bytes = "twelve bytes";
    struct Case {
        std::string Name;
        bool Mlst;
        std::string Final;
        int64_t Stored;
        bool Ok;
    };
    const Case cases[] = {
        {"whole (MLST)", true, "226 Transfer complete", -1, true},
        {"whole (SIZE)", false, "226 Transfer complete", -1, true},
        {"refused after the data", true, "552 Exceeded storage allocation", -1, false},
        {"server holds fewer bytes (MLST)", true, "226 Transfer complete", 11, false},
        {"server holds fewer bytes (SIZE)", false, "226 Transfer complete", 11, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeScript script;
        script.OfferMlst = c.Mlst;
        script.StorFinal = c.Final;
        script.StoredSize = c.Stored;
        TFakeFtpServer server(script);
        auto oper = Connect(server);
        const std::string local = Dir / "new.txt";
        testsupport::WriteFile(local, bytes);
        TFileAttri attr;
        attr.Name = "new.txt";
        attr.RelPath = "/";
        attr.Size = static_cast<int64_t>(bytes.size());
        const int result = oper->PutFile(local, &Source, &attr, 0);
        const std::map<std::string, std::string> files = server.Files();
        bool renamed = false;
        for (const std::string& command : server.Commands()) {
            renamed = renamed || command == "RNTO new.txt";
        }
        if (c.Ok) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(files, (std::map<std::string, std::string>{{"new.txt", bytes}}));
            EXPECT_TRUE(renamed);
        } else {
            EXPECT_NE(result, 0);
            EXPECT_TRUE(files.empty()); // the temporary upload was deleted again
            EXPECT_FALSE(renamed);
        }
    }
}

// ---- The session's own rules ------------------------------------------------------------------

TEST_F(FtpFaultTest, NamesWithLineBreaksAreRefusedBeforeAnythingIsSent) {
    TFakeScript script;
    TFakeFtpServer server(script);
    TFtpSession session("127.0.0.1", server.Port(), "user", "secret");
    ASSERT_EQ(session.Open(), ftpOk);
    const std::string evil = "x\r\nDELE victim";
    EXPECT_EQ(session.Delete(evil), ftpRefused);
    EXPECT_EQ(session.Rename(evil, "y"), ftpRefused);
    EXPECT_EQ(session.ChangeDir("/a\nRMD /b"), ftpRefused);
    EXPECT_EQ(session.GetToFile(evil, Dir / "out", -1), ftpRefused);
    EXPECT_EQ(session.MakeDir("/a\r\nDELE victim"), ftpRefused);
    for (const std::string& command : server.Commands()) {
        EXPECT_EQ(command.find("victim"), std::string::npos) << command;
        EXPECT_EQ(command.find("RMD"), std::string::npos) << command;
    }
    EXPECT_TRUE(LocalNames().empty());
}

TEST_F(FtpFaultTest, AfterTheConnectionDroppedTheNextCommandEntersTheFolderAgain) {
    TFakeScript script;
    script.DropOn = "MLST";
    TFakeFtpServer server(script);
    TFtpSession session("127.0.0.1", server.Port(), "user", "secret");
    ASSERT_EQ(session.Open(), ftpOk);
    ASSERT_EQ(session.ChangeDir("/data/sub"), ftpOk);
    TFtpEntry entry;
    EXPECT_EQ(session.Stat("x", entry), ftpBroken);
    // A new login starts in the login folder; the delete must not happen there.
    EXPECT_EQ(session.Delete("victim.txt"), ftpRefused);
    const std::vector<std::string> commands = server.Commands();
    int logins = 0;
    for (const std::string& command : commands) {
        logins += command.compare(0, 4, "PASS") == 0 ? 1 : 0;
    }
    EXPECT_EQ(logins, 2);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "CWD /data/sub");
    EXPECT_EQ(commands.back(), "DELE victim.txt");
}

} // namespace
} // namespace ftptest
