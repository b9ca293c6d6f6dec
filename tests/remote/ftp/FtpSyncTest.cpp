// A local folder kept in step with a folder on a real FTP server, end to end:
// scans, analysis, the sync thread, the snapshots it leaves on the server, and
// what is on the server afterwards. Every scenario runs against Pure-FTPd,
// which lists with MLSD, and against vsftpd, which lists with LIST only (times
// to the minute or to the day, names starting with "." shown only on request).

#include "FtpTestSupport.h"

#include "engine/SyncTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace ftptest {
namespace {

using synctest::kNew;
using synctest::kNewer;
using synctest::kOld;

class FtpSyncTest : public synctest::SyncFixture, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        synctest::SyncFixture::SetUp();
        if (!Server().Found) {
            GTEST_SKIP() << "no FTP server " << GetParam()
                         << ": run through ctest as root, which starts tests/servers/ftp.sh";
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        ServerDir = std::string("/") + info->test_suite_name() + "." + info->name();
        std::replace(ServerDir.begin() + 1, ServerDir.end(), '/', '.');
        S = Server().Root + ServerDir;
        std::filesystem::remove_all(S);
        std::filesystem::create_directories(S);
        GiveToServer(S, Server());
        task.RFolder.DeviceType = dtFtp;
        task.RFolder.FolerAllName = Server().Url + ServerDir;
        task.RFolder.UserName = Server().User;
        task.RFolder.PWD = Server().Password;
    }
    static const TServer& Server() { return TServer::Get(GetParam()); }
    void TearDown() override {
        if (!Locked.empty()) {
            chmod(Locked.c_str(), 0755);
        }
        synctest::SyncFixture::TearDown();
    }

    void PutOnServer(const std::string& rel, const std::string& bytes, time_t when) {
        Put(S, rel, bytes, when);
        GiveToServer(S, Server());
    }

    // Every file below a folder whose name shows it was left half-way.
    static std::vector<std::string> Leftovers(const std::string& root) {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
            const std::string name = e.path().filename().string();
            if (name.size() > 5 &&
                (name.substr(name.size() - 5) == ".part" || name.substr(name.size() - 4) == ".tmp")) {
                found.push_back(e.path().string());
            }
        }
        return found;
    }

    std::vector<std::string> Errors() const {
        std::vector<std::string> errors;
        for (const std::string& line : lines) {
            if (line.compare(0, 5, "Error") == 0 || line.find("not saved") != std::string::npos) {
                errors.push_back(line);
            }
        }
        return errors;
    }

    std::string ServerDir;
    std::string S; // the server folder on this machine
    std::string Locked;
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpSyncTest, ::testing::Values("", "VSFTPD_"),
                         [](const auto& info) { return info.param.empty() ? "PureFtpd" : "Vsftpd"; });

TEST_P(FtpSyncTest, FirstSyncThenChangesAndDeletionsOnBothSides) {
    Put(L, "a.txt", "alpha", kOld);
    Put(L, "sub dir/b c.txt", "bee", kOld);
    Put(L, "\xc3\xbc/-d.txt", "dash", kOld);
    Put(L, ".profile", "hidden", kOld);
    Put(L, "blank /t.txt", "ends in a blank", kOld);
    PutOnServer("r.txt", "from the server", kOld);
    PutOnServer("sub dir/srv.txt", "server side", kOld);
    PutOnServer(".config/srv", "hidden folder", kOld);

    AnalyzeAndSync();
    EXPECT_TRUE(Errors().empty()) << ::testing::PrintToString(lines);
    EXPECT_EQ(Read(S, "a.txt"), "alpha");
    EXPECT_EQ(Read(S, "sub dir/b c.txt"), "bee");
    EXPECT_EQ(Read(S, "\xc3\xbc/-d.txt"), "dash");
    EXPECT_EQ(Read(L, "r.txt"), "from the server");
    EXPECT_EQ(Read(L, "sub dir/srv.txt"), "server side");
    EXPECT_EQ(Read(S, ".profile"), "hidden");
    EXPECT_EQ(Read(S, "blank /t.txt"), "ends in a blank");
    EXPECT_EQ(Read(L, ".config/srv"), "hidden folder");
    EXPECT_TRUE(Has(S, "__Tandemora__/Docs123"));
    EXPECT_TRUE(Leftovers(S).empty());
    EXPECT_TRUE(Leftovers(L).empty());

    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);

    // A deletion and a change on the left, a deletion on the server.
    std::filesystem::remove(L + "/a.txt");
    Put(L, "sub dir/b c.txt", "changed on the left", kNewer);
    std::filesystem::remove(S + "/r.txt");
    // Within the minute (or the day) that a listing without MLSD shows.
    PutOnServer("sub dir/srv.txt", "changed on the server", kOld + 60);
    Analyze();
    EXPECT_EQ(Code("/a.txt"), saDeleteRight);
    EXPECT_EQ(Code("/sub dir/b c.txt"), saOverwriteLtoR);
    EXPECT_EQ(Code("/r.txt"), saDeleteLeft);
    EXPECT_EQ(Code("/sub dir/srv.txt"), saOverwriteRtoL);
    Sync();
    EXPECT_TRUE(Errors().empty()) << ::testing::PrintToString(lines);
    EXPECT_FALSE(Has(S, "a.txt"));
    EXPECT_EQ(Read(S, "sub dir/b c.txt"), "changed on the left");
    EXPECT_FALSE(Has(L, "r.txt"));
    EXPECT_EQ(Read(L, "sub dir/srv.txt"), "changed on the server");

    Analyze();
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(result->ConflictFlag, 0);
}

// A server that is gone by the time of the sync is named as the reason, not
// taken for a target that changed after the analysis.
TEST_P(FtpSyncTest, AServerThatWentAwayIsTheReasonOfEachFailedItem) {
    Put(L, "a.txt", "new on the left", kNewer);
    PutOnServer("a.txt", "old", kOld);
    PutOnServer("gone.txt", "gone", kOld);
    AnalyzeAndSync();
    std::filesystem::remove(L + "/gone.txt");
    Put(L, "a.txt", "newer on the left", kNew);
    Analyze();
    ASSERT_EQ(Changes(), 2);
    task.RFolder.FolerAllName = "ftp://127.0.0.1:1" + ServerDir; // nobody answers there
    Sync();
    ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines); // two items, count, snapshot kept
    for (const std::string& line : {lines[0], lines[1]}) {
        EXPECT_EQ(line.compare(0, 6, "Error "), 0) << line;
        EXPECT_EQ(line.find("changed after the analysis"), std::string::npos) << line;
        EXPECT_NE(line.find("127.0.0.1"), std::string::npos) << line; // what the connect said
    }
}

TEST_P(FtpSyncTest, SafeCopiesWithSavedVersionsReplaceServerFiles) {
    task.UseTempFile = 1;
    task.SaveOldFile = 1;
    Put(L, "doc.txt", "version 1", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(S, "doc.txt"), "version 1");

    Put(L, "doc.txt", "version 2, longer", kNew);
    Analyze();
    EXPECT_EQ(Code("/doc.txt"), saOverwriteLtoR);
    Sync();
    EXPECT_TRUE(Errors().empty()) << ::testing::PrintToString(lines);
    EXPECT_EQ(Read(S, "doc.txt"), "version 2, longer");
    EXPECT_EQ(Read(S, "__Tandemora__/__saved__/doc.txt"), "version 1");
    EXPECT_TRUE(Leftovers(S).empty());

    Analyze();
    EXPECT_EQ(Changes(), 0);
}

TEST_P(FtpSyncTest, AServerFolderThatCannotBeReadLosesNothingOnTheOtherSide) {
    Put(L, "keep/one.txt", "one", kOld);
    Put(L, "top.txt", "top", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(S, "keep/one.txt"), "one");

    Locked = S + "/keep";
    chmod(Locked.c_str(), 0);
    std::filesystem::remove(L + "/top.txt");
    Analyze();
    EXPECT_NE(Code("/keep/one.txt"), saDeleteLeft);
    EXPECT_EQ(Code("/top.txt"), saDeleteRight);
    Sync();
    EXPECT_EQ(Read(L, "keep/one.txt"), "one");
    EXPECT_FALSE(Has(S, "top.txt"));
    chmod(Locked.c_str(), 0755);
    EXPECT_EQ(Read(S, "keep/one.txt"), "one");
}

} // namespace
} // namespace ftptest
