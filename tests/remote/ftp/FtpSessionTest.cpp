// The FTP session against a real Pure-FTPd: listings in both forms, names that
// trip up naive clients, and transfers that only ever leave complete files
// under their final names.

#include "FtpTestSupport.h"

#include <sys/stat.h>

namespace ftptest {
namespace {

class FtpSessionTest : public FtpTest {};

const char* const Awkward[] = {"a b.txt", "-dash.txt",
                               "\xc3\xbcn\xc3\xaf c\xc3\xb3"
                               "de.txt",
                               ".hidden", "semi;colon=x.txt"};

TEST_F(FtpSessionTest, MlsdAndListShowTheSameEntriesWithAwkwardNames) {
    for (const char* name : Awkward) {
        Seed(std::string("dir/") + name, name);
    }
    SeedFolder("dir/sub folder");
    SeedFolder("dir/-dashdir");
    auto session = MakeSession();
    ASSERT_TRUE(session->UsesMlsd()); // Pure-FTPd offers it
    ASSERT_EQ(session->ChangeDir(ServerDir + "/dir/"), ftpOk);

    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        session->SetUseMlsd(mlsd);
        std::vector<TFtpEntry> entries;
        ASSERT_EQ(session->List(entries), ftpOk) << session->LastError();
        std::map<std::string, TFtpEntry> byName;
        for (const TFtpEntry& entry : entries) {
            byName[entry.Name] = entry;
        }
        ASSERT_EQ(byName.size(), entries.size());
        ASSERT_EQ(byName.size(), std::size(Awkward) + 2);
        for (const char* name : Awkward) {
            ASSERT_EQ(byName.count(name), 1u) << name;
            EXPECT_FALSE(byName[name].IsFolder);
            EXPECT_EQ(byName[name].Size, static_cast<int64_t>(std::string(name).size()));
            // MLSD gives the instant (2023-11-14 22:13:20 UTC); LIST only the day of
            // a file that old, in the server's clock (UTC).
            EXPECT_EQ(byName[name].Time, mlsd ? Dos(2023, 11, 14, 22, 13, 20) : Dos(2023, 11, 14, 0, 0, 0));
        }
        EXPECT_TRUE(byName["sub folder"].IsFolder);
        EXPECT_TRUE(byName["-dashdir"].IsFolder);
    }
}

// A folder the server may enter but not read is no empty folder, whichever
// listing command asks for it (Pure-FTPd answers LIST with success and no
// entries, and says "unable to read" in the reply).
TEST_F(FtpSessionTest, AFolderThatCannotBeReadIsNoEmptyListing) {
    Seed("noread/f.txt", "f");
    ASSERT_EQ(chown((LocalDir + "/noread").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod((LocalDir + "/noread").c_str(), 0311), 0);
    auto session = MakeSession();
    ASSERT_EQ(session->ChangeDir(ServerDir + "/noread"), ftpOk);
    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        session->SetUseMlsd(mlsd);
        std::vector<TFtpEntry> entries;
        EXPECT_NE(session->List(entries), ftpOk);
        EXPECT_TRUE(entries.empty());
    }
    chmod((LocalDir + "/noread").c_str(), 0755);
}

TEST_F(FtpSessionTest, AFolderThatCannotBeEnteredLeavesTheCurrentFolderAsItWas) {
    Seed("here/keep.txt", "k");
    Seed("victim.txt", "v");
    auto session = MakeSession();
    ASSERT_EQ(session->ChangeDir(ServerDir + "/here"), ftpOk);
    EXPECT_EQ(session->ChangeDir(ServerDir + "/missing"), ftpRefused);
    EXPECT_EQ(session->CurrentDir(), ServerDir + "/here");
    EXPECT_EQ(session->Delete("victim.txt"), ftpRefused); // not in this folder
    EXPECT_TRUE(ServerHas("victim.txt"));
    TFtpEntry entry;
    EXPECT_EQ(session->Stat("keep.txt", entry), ftpOk);
    EXPECT_EQ(entry.Size, 1);
    EXPECT_EQ(session->Stat("nothing", entry), ftpRefused);
}

TEST_F(FtpSessionTest, DownloadsReplaceTheLocalFileOnlyWhenComplete) {
    Seed("-x y.txt", "server bytes");
    auto session = MakeSession();
    ASSERT_EQ(session->ChangeDir(ServerDir), ftpOk);
    const std::string local = Dir / "local.txt";
    testsupport::WriteFile(local, "old");
    chmod(local.c_str(), 0640);

    EXPECT_EQ(session->GetToFile("missing.txt", local, -1), ftpRefused);
    EXPECT_EQ(testsupport::ReadFile(local), "old");
    EXPECT_EQ(session->GetToFile("-x y.txt", local, 5), ftpIncomplete); // not the analysed size
    EXPECT_EQ(testsupport::ReadFile(local), "old");
    EXPECT_EQ(session->GetToFile("-x y.txt", local, 12), ftpOk) << session->LastError();
    EXPECT_EQ(testsupport::ReadFile(local), "server bytes");
    struct stat st {};
    stat(local.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // a replaced file keeps its permissions
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Dir.path())) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"local.txt"});
}

TEST_F(FtpSessionTest, UploadsGoUnderATemporaryNameAndReplaceTheTargetWhenComplete) {
    Seed("target.txt", "old server bytes");
    SeedFolder("readonly");
    Seed("readonly/kept.txt", "kept");
    chmod((LocalDir + "/readonly").c_str(), 0555);
    auto session = MakeSession();
    const std::string local = Dir / "up.txt";
    testsupport::WriteFile(local, "new bytes");

    ASSERT_EQ(session->ChangeDir(ServerDir), ftpOk);
    EXPECT_EQ(session->PutFromFile(local, "target.txt", 3), ftpIncomplete); // the local file changed
    EXPECT_EQ(OnServer("target.txt"), "old server bytes");
    EXPECT_EQ(session->PutFromFile(local, "target.txt", 9), ftpOk) << session->LastError();
    EXPECT_EQ(OnServer("target.txt"), "new bytes");
    EXPECT_EQ(session->PutFromFile(local, "\xc3\xbc -new.txt", -1), ftpOk);
    EXPECT_EQ(OnServer("\xc3\xbc -new.txt"), "new bytes");
    EXPECT_EQ(ServerNames(), (std::vector<std::string>{"readonly", "target.txt", "\xc3\xbc -new.txt"}));

    ASSERT_EQ(session->ChangeDir(ServerDir + "/readonly"), ftpOk);
    EXPECT_EQ(session->PutFromFile(local, "kept.txt", -1), ftpRefused);
    EXPECT_EQ(OnServer("readonly/kept.txt"), "kept");
    EXPECT_EQ(ServerNames("readonly"), std::vector<std::string>{"kept.txt"});
    chmod((LocalDir + "/readonly").c_str(), 0755);
}

TEST_F(FtpSessionTest, FoldersAndRenames) {
    Seed("a.txt", "a");
    auto session = MakeSession();
    EXPECT_EQ(session->MakeDir(ServerDir + "/new dir"), ftpOk);
    EXPECT_EQ(session->MakeDir(ServerDir + "/new dir"), ftpRefused);
    ASSERT_EQ(session->ChangeDir(ServerDir), ftpOk);
    EXPECT_EQ(session->Rename("a.txt", "-b c.txt"), ftpOk);
    EXPECT_EQ(session->Rename("a.txt", "x.txt"), ftpRefused);
    EXPECT_EQ(session->Rename("-b c.txt", ServerDir + "/new dir/moved.txt"), ftpOk);
    EXPECT_EQ(OnServer("new dir/moved.txt"), "a");
    EXPECT_EQ(session->RemoveDir(ServerDir + "/new dir"), ftpRefused); // not empty
    ASSERT_EQ(session->ChangeDir(ServerDir + "/new dir"), ftpOk);
    EXPECT_EQ(session->Delete("moved.txt"), ftpOk);
    EXPECT_EQ(session->Delete("moved.txt"), ftpRefused);
    EXPECT_EQ(session->RemoveDir(ServerDir + "/new dir"), ftpOk);
    EXPECT_TRUE(ServerNames().empty());
}

TEST_F(FtpSessionTest, AWrongPasswordIsARefusedLogin) {
    const TServer& server = TServer::Get();
    TFtpSession session("127.0.0.1", server.Port, server.User, "wrong");
    EXPECT_EQ(session.Open(), ftpRefused);
    EXPECT_FALSE(session.IsOpen());
}

} // namespace
} // namespace ftptest
