// A task between a local folder and a folder on the Samba share, run the way a
// task window runs it.

#include "SmbTestSupport.h"

#include "endpoints/UTNetFileOper.h"
#include "remote/RemoteSyncTest.h"

namespace smbtest {
namespace {

using namespace tandemora;
using Lines = std::vector<std::string>;
using synctest::kOld;

class SmbSyncTest : public remotetest::RemoteSyncTest {
protected:
    void SetUp() override {
        RemoteSyncTest::SetUp();
        ASSERT_TRUE(share.Open()) << "no SMB test server";
        R = S = share.Disk(); // the task sees it as a UNC path
        task.RFolder.DeviceType = dtNetShare;
        task.RFolder.FolerAllName = share.Unc();
        task.RFolder.UserName = share.Server.User;
        task.RFolder.PWD = share.Server.Password;
        TNetFileOper oper(false); // what the task window does before it scans
        oper.Source = &task.RFolder;
        ASSERT_EQ(oper.Connect(), 0);
    }
    void TearDown() override {
        RemoteSyncTest::TearDown();
        share.Remove();
    }
    void ServerPut(const std::string& rel, const std::string& bytes, time_t when) override {
        share.Put(rel, bytes, when);
    }
    void Lock(const std::string& rel, bool locked) override {
        if (locked) {
            share.Lock(rel);
        }
    }
    void ServerMkdir(const std::string& rel) override { share.MakeFolder(rel); }
    Lines ErrorLines() const { return remotetest::ErrorLines(lines); }

    testsupport::TempDir home;
    testsupport::ScopedEnv homeEnv{"HOME", home.path()};
    TShareFolder share;
};

TEST_F(SmbSyncTest, ALocalFolderAndAShareAreKeptInStep) {
    KeepInStep({"name with blanks & 100%.txt"});
    // Copies carry their times both ways.
    EXPECT_EQ(ModifyTime(S + "/sub dir/b c.txt"), synctest::kNewer);
    EXPECT_EQ(ModifyTime(L + "/sub dir/srv.txt"), kOld + 60);
}

TEST_F(SmbSyncTest, PartFilesGoByTheirTask) {
    PartFilesGoByTheirTask(false);
}

TEST_F(SmbSyncTest, AShareThatCannotBeFullyListedLosesNothing) {
    UnreadServerFolderLosesNothing();
}

// A share root written with "/" names the same folder as one written with "\":
// empty folders are made where they belong, never nested under a copy of the path.
TEST_F(SmbSyncTest, EmptyFoldersLandInARootWrittenWithSlashes) {
    task.RFolder.FolerAllName = share.Unc("", '/') + "/";
    std::filesystem::create_directories(L + "/empty");
    std::filesystem::create_directories(L + "/sub/deeper");
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_TRUE(std::filesystem::is_directory(R + "/sub/deeper"));
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "empty", "sub"}));
}

// A name the share cannot hold fails with a line that says why, and only its item.
TEST_F(SmbSyncTest, ANameTheShareCannotHoldFailsWithAReason) {
    Put(L, "q?x.txt", "question", kOld);
    Put(L, "plain.txt", "plain", kOld);
    share.Put("a?b.txt", "shown short", kOld);
    // On the share "\\" separates folders: these must not land in x/y there.
    Put(L, "x\\y.txt", "backslash", kOld);
    Put(L, "x\\y/f.txt", "below a backslash", kOld);
    share.Put("x/keep.txt", "keep", kOld);
    AnalyzeAndSync();
    const auto failed = [&](const std::string& rel, const std::string& shared) {
        return "Error Copy:" + L + "/" + rel + " -> " + share.Unc() + "\\" + shared +
               " (a network share cannot hold this name)";
    };
    EXPECT_EQ(ErrorLines(), (Lines{failed("x\\y/f.txt", "x\\y\\f.txt"), failed("q?x.txt", "q?x.txt"),
                                   failed("x\\y.txt", "x\\y.txt")}));
    EXPECT_EQ(Read(R, "plain.txt"), "plain");
    EXPECT_FALSE(Has(R, "x/y"));
    EXPECT_FALSE(Has(R, "x/y.txt"));
    // Samba shows a name it cannot pass under a short stand-in ("A6ARMU~L.TXT"),
    // which reads like any other name.
    for (const std::string& name : Names(L)) {
        if (name.find('~') != std::string::npos) {
            EXPECT_EQ(Read(L, name), "shown short");
        }
    }
}

// ---- Over several runs, the share's folder edited as another client would ----

TEST_F(SmbSyncTest, AKilledRunLeavesNoConflicts) {
    AKilledRunLeavesNoConflicts();
}

TEST_F(SmbSyncTest, AnEmptyShareFolderArrivesWhole) {
    AnEmptyServerFolderArrivesWhole();
}

TEST_F(SmbSyncTest, AOneWaySourceThatReplacedAFolderByAFileFailsNoMore) {
    AOneWaySourceThatReplacedAFolderByAFileFailsNoMore();
}

// The share ignores letter case: "Report.txt" is "report.txt" there, so the
// case change is made as a rename in place.
TEST_F(SmbSyncTest, ACaseOnlyRenameIsARenameInPlace) {
    ACaseOnlyRenameEndsUnderTheNewName();
}

// A folder's case change too: copying into the new name would land in the
// old folder, and the old folder's deletion would then empty the share.
TEST_F(SmbSyncTest, LongNamesTravel) {
    LongNamesTravel("odd & ");
}

TEST_F(SmbSyncTest, ACaseOnlyFolderRenameIsARenameInPlace) {
    ACaseOnlyFolderRenameEndsUnderTheNewName();
}

TEST_F(SmbSyncTest, ACaseOnlyFolderRenameIsARenameInPlaceWhereDeletionsWait) {
    task.IsDeleteFile = 0;
    ACaseOnlyFolderRenameEndsUnderTheNewName(true);
}

TEST_F(SmbSyncTest, ACaseOnlyFolderRenameIsARenameInPlaceInAOneWayTask) {
    task.SyncDirection = sdLeftToRight;
    ACaseOnlyFolderRenameEndsUnderTheNewName(true);
}

// The same where the old name's deletion is held back (deletions off, which
// is how a task starts, or a one-way task): the file under the old name is
// the renamed one all the same, edited or not.
TEST_F(SmbSyncTest, ACaseOnlyRenameIsARenameInPlaceWhereDeletionsWait) {
    task.IsDeleteFile = 0;
    ACaseOnlyRenameEndsUnderTheNewName();
}

TEST_F(SmbSyncTest, ACaseOnlyRenameIsARenameInPlaceInAOneWayTask) {
    task.SyncDirection = sdLeftToRight;
    ACaseOnlyRenameEndsUnderTheNewName();
}

TEST_F(SmbSyncTest, ACaseOnlyRenameIsARenameInPlaceInAOneWayTaskThatVerifies) {
    task.SyncDirection = sdLeftToRight;
    task.ForcedOrVerified = fvVerified;
    ACaseOnlyRenameEndsUnderTheNewName();
}

// Two local names that differ only in case are one name on the share: the
// second fails with that reason, and neither is lost.
TEST_F(SmbSyncTest, TwoNamesDifferingOnlyInCaseGetAPlainReason) {
    Put(L, "Notes.txt", "upper", kOld);
    Put(L, "notes.txt", "lower", kOld);
    for (int run = 0; run < 2; ++run) {
        AnalyzeAndSync();
        const Lines errors = ErrorLines();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("does not tell letter case apart"), std::string::npos) << errors[0];
        EXPECT_EQ(errors[0].find("changed after the analysis"), std::string::npos) << errors[0];
    }
    EXPECT_EQ(Read(L, "Notes.txt") + Read(L, "notes.txt"), "upperlower");
    EXPECT_EQ(Names(S).size(), 2u); // one of them, and the work folder
}

} // namespace
} // namespace smbtest
