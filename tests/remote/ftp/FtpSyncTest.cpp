// A local folder kept in step with a folder on each real FTP server: Pure-FTPd,
// which lists with MLSD, and vsftpd, which lists with LIST only (times to the
// minute or to the day, names starting with "." shown only on request).

#include "FtpTestSupport.h"

#include "remote/RemoteSyncTest.h"

namespace ftptest {
namespace {

using synctest::kNewer;
using synctest::kOld;

class FtpSyncTest : public remotetest::RemoteSyncTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        RemoteSyncTest::SetUp();
        if (!ftp.Open(GetParam())) {
            GTEST_SKIP() << "no FTP server " << GetParam()
                         << ": run through ctest, which starts tests/servers/ftp.sh";
        }
        S = ftp.Disk;
        ftp.Use(task.RFolder);
    }
    void TearDown() override {
        ftp.Unlock();
        RemoteSyncTest::TearDown();
    }
    void ServerPut(const std::string& rel, const std::string& bytes, time_t when) override {
        ftp.Put(rel, bytes, when);
    }
    void Lock(const std::string& rel, bool locked) override {
        if (locked) {
            // Entered but not read: both servers answer the listing with success
            // and tell the failure in words only.
            ftp.Lock(rel, 0311);
        } else {
            ftp.Unlock();
        }
    }

    TServerFolder ftp;
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpSyncTest, ::testing::Values("", "VSFTPD_"),
                         [](const auto& info) { return info.param.empty() ? "PureFtpd" : "Vsftpd"; });

TEST_P(FtpSyncTest, FirstSyncThenChangesAndDeletionsOnBothSides) {
    KeepInStep({"\xc3\xbc/-d.txt", ".profile", ".config/srv", "blank /t.txt"});
}

TEST_P(FtpSyncTest, PartFilesGoByTheirTaskAndLookAlikesAreTheUsersFiles) {
    PartFilesGoByTheirTask(true);
}

TEST_P(FtpSyncTest, AServerFolderThatCannotBeReadLosesNothingOnTheOtherSide) {
    UnreadServerFolderLosesNothing();
}

// A server that is gone by the time of the sync is named as the reason, not
// taken for a target that changed after the analysis.
TEST_P(FtpSyncTest, AServerThatWentAwayIsTheReasonOfEachFailedItem) {
    Put(L, "a.txt", "new on the left", kNewer);
    ftp.Put("a.txt", "old", kOld);
    ftp.Put("gone.txt", "gone", kOld);
    AnalyzeAndSync();
    std::filesystem::remove(L + "/gone.txt");
    Put(L, "a.txt", "newer on the left", synctest::kNew);
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

TEST_P(FtpSyncTest, AKilledRunLeavesNoConflicts) {
    AKilledRunLeavesNoConflicts();
}

TEST_P(FtpSyncTest, AReadOnlyFileFollowsItsTwinDeletedOnTheServer) {
    AReadOnlyFileFollowsItsTwinDeletedOnTheServer();
}

TEST_P(FtpSyncTest, LongNamesTravel) {
    LongNamesTravel();
}

TEST_P(FtpSyncTest, ACaseOnlyFolderRenameEndsUnderTheNewName) {
    ACaseOnlyFolderRenameEndsUnderTheNewName();
}

} // namespace
} // namespace ftptest
