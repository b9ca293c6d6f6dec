// A local folder kept in step with a folder on a real FTP server, end to end:
// scans, analysis, the sync thread, the snapshots it leaves on the server, and
// what is on the server afterwards. Every scenario runs against Pure-FTPd, which
// lists with MLSD, and against vsftpd, which lists with LIST only (times to the
// minute or to the day, names starting with "." shown only on request).

#include "FtpTestSupport.h"

#include "engine/SyncTestSupport.h"

#include <filesystem>

namespace ftptest {
namespace {

using synctest::kNew;
using synctest::kNewer;
using synctest::kOld;

class FtpSyncTest : public synctest::SyncFixture, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        synctest::SyncFixture::SetUp();
        if (!ftp.Open(GetParam())) {
            GTEST_SKIP() << "no FTP server " << GetParam()
                         << ": run through ctest, which starts tests/servers/ftp.sh";
        }
        S = ftp.Disk;
        ftp.Use(task.RFolder);
    }
    void TearDown() override {
        ftp.Unlock();
        synctest::SyncFixture::TearDown();
    }
    std::vector<std::string> Errors() const { return remotetest::ErrorLines(lines); }

    TServerFolder ftp;
    std::string S; // the server folder on this machine
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpSyncTest, ::testing::Values("", "VSFTPD_"),
                         [](const auto& info) { return info.param.empty() ? "PureFtpd" : "Vsftpd"; });

TEST_P(FtpSyncTest, FirstSyncThenChangesAndDeletionsOnBothSides) {
    Put(L, "a.txt", "alpha", kOld);
    Put(L, "sub dir/b c.txt", "bee", kOld);
    Put(L, "\xc3\xbc/-d.txt", "dash", kOld);
    Put(L, ".profile", "hidden", kOld);
    Put(L, "blank /t.txt", "ends in a blank", kOld);
    ftp.Put("r.txt", "from the server", kOld);
    ftp.Put("sub dir/srv.txt", "server side", kOld);
    ftp.Put(".config/srv", "hidden folder", kOld);

    AnalyzeAndSync();
    EXPECT_TRUE(Errors().empty()) << ::testing::PrintToString(lines);
    EXPECT_EQ(Read(S, "a.txt"), "alpha");
    EXPECT_EQ(Read(S, "sub dir/b c.txt"), "bee");
    EXPECT_EQ(Read(S, "\xc3\xbc/-d.txt"), "dash");
    EXPECT_EQ(Read(S, ".profile"), "hidden");
    EXPECT_EQ(Read(S, "blank /t.txt"), "ends in a blank");
    EXPECT_EQ(Read(L, "r.txt"), "from the server");
    EXPECT_EQ(Read(L, "sub dir/srv.txt"), "server side");
    EXPECT_EQ(Read(L, ".config/srv"), "hidden folder");
    EXPECT_TRUE(Has(S, "__Tandemora__/Docs123"));
    EXPECT_TRUE(remotetest::Leftovers(S).empty());
    EXPECT_TRUE(remotetest::Leftovers(L).empty());
    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);

    // A deletion and a change on the left, a deletion and a change on the server,
    // the latter within the minute (or the day) that a listing without MLSD shows;
    // replaced files go through a temporary name and keep their old version.
    task.UseTempFile = 1;
    task.SaveOldFile = 1;
    std::filesystem::remove(L + "/a.txt");
    Put(L, "sub dir/b c.txt", "changed on the left", kNewer);
    std::filesystem::remove(S + "/r.txt");
    ftp.Put("sub dir/srv.txt", "changed on the server", kOld + 60);
    Analyze();
    EXPECT_EQ(Code("/a.txt"), saDeleteRight);
    EXPECT_EQ(Code("/sub dir/b c.txt"), saOverwriteLtoR);
    EXPECT_EQ(Code("/r.txt"), saDeleteLeft);
    EXPECT_EQ(Code("/sub dir/srv.txt"), saOverwriteRtoL);
    Sync();
    EXPECT_TRUE(Errors().empty()) << ::testing::PrintToString(lines);
    EXPECT_FALSE(Has(S, "a.txt"));
    EXPECT_EQ(Read(S, "sub dir/b c.txt"), "changed on the left");
    EXPECT_EQ(Read(S, "__Tandemora__/__saved__/sub dir/b c.txt"), "bee");
    EXPECT_TRUE(remotetest::Leftovers(S).empty());
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
    ftp.Put("a.txt", "old", kOld);
    ftp.Put("gone.txt", "gone", kOld);
    AnalyzeAndSync();
    std::filesystem::remove(L + "/gone.txt");
    Put(L, "a.txt", "newer on the left", kNew);
    Analyze();
    ASSERT_EQ(Changes(), 2);
    task.RFolder.FolerAllName = "ftp://127.0.0.1:1" + ftp.Path; // nobody answers there
    Sync();
    ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines); // two items, count, snapshot kept
    for (const std::string& line : {lines[0], lines[1]}) {
        EXPECT_EQ(line.compare(0, 6, "Error "), 0) << line;
        EXPECT_EQ(line.find("changed after the analysis"), std::string::npos) << line;
        EXPECT_NE(line.find("127.0.0.1"), std::string::npos) << line; // what the connect said
    }
}

TEST_P(FtpSyncTest, AServerFolderThatCannotBeReadLosesNothingOnTheOtherSide) {
    Put(L, "keep/one.txt", "one", kOld);
    Put(L, "top.txt", "top", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(S, "keep/one.txt"), "one");
    ftp.Lock("keep", 0);
    std::filesystem::remove(L + "/top.txt");
    Analyze();
    EXPECT_NE(Code("/keep/one.txt"), saDeleteLeft);
    EXPECT_EQ(Code("/top.txt"), saDeleteRight);
    Sync();
    EXPECT_EQ(Read(L, "keep/one.txt"), "one");
    EXPECT_FALSE(Has(S, "top.txt"));
    ftp.Unlock();
    EXPECT_EQ(Read(S, "keep/one.txt"), "one");
}

} // namespace
} // namespace ftptest
