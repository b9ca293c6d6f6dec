// A task between a local folder and a folder on the Samba share, run the way a
// task window runs it, checked by the files on the server's own disk and by a
// second analysis that proposes nothing.

#include "SmbTestSupport.h"

#include "endpoints/UTNetFileOper.h"
#include "engine/SyncTestSupport.h"

#include <algorithm>
#include <filesystem>

namespace smbtest {
namespace {

using namespace tandemora;
using Lines = std::vector<std::string>;
using synctest::kNew;
using synctest::kOld;

class SmbSyncTest : public synctest::SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        ASSERT_TRUE(share.Open()) << "no SMB test server";
        R = share.Disk(); // the task sees it as a UNC path
        task.RFolder.DeviceType = dtNetShare;
        task.RFolder.FolerAllName = share.Unc();
        task.RFolder.UserName = share.Server.User;
        task.RFolder.PWD = share.Server.Password;
        TNetFileOper oper(false); // what the task window does before it scans
        oper.Source = &task.RFolder;
        ASSERT_EQ(oper.Connect(), 0);
    }
    void TearDown() override {
        SyncFixture::TearDown();
        share.Remove();
    }
    Lines ErrorLines() const { return remotetest::ErrorLines(lines); }

    testsupport::TempDir home;
    testsupport::ScopedEnv homeEnv{"HOME", home.path()};
    TShareFolder share;
};

TEST_F(SmbSyncTest, ALocalFolderAndAShareAreKeptInStep) {
    Put(L, "a.txt", "alpha", kOld);
    Put(L, "sub/b.txt", "bravo", kOld);
    Put(L, "sub/deeper/c.txt", std::string(3 * 1024 * 1024, 'c'), kOld);
    std::filesystem::create_directories(L + "/empty");
    share.Put("only-right.txt", "right", kOld);

    AnalyzeAndSync();
    EXPECT_EQ(fatal, "");
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_EQ(Read(R, "sub/deeper/c.txt"), std::string(3 * 1024 * 1024, 'c'));
    EXPECT_TRUE(std::filesystem::is_directory(R + "/empty"));
    EXPECT_EQ(ModifyTime(R + "/sub/b.txt"), kOld);
    EXPECT_EQ(Read(L, "only-right.txt"), "right");
    EXPECT_EQ(ModifyTime(L + "/only-right.txt"), kOld);
    // The share keeps its snapshot in its own work folder, like a local folder.
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)),
              (Lines{share.Unc(), "empty/", "sub/", "sub/deeper/", "sub/deeper/c.txt", "sub/b.txt", "a.txt",
                     "only-right.txt"}));
    EXPECT_EQ(remotetest::Leftovers(R), Lines{});
    EXPECT_EQ(remotetest::Leftovers(L), Lines{});
    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);

    // A changed and a deleted file on the left, a new file on the share.
    Put(L, "a.txt", "alpha two", kNew);
    std::filesystem::remove(L + "/sub/b.txt");
    share.Put("sub/new-right.txt", "new on the share", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_EQ(Read(R, "a.txt"), "alpha two");
    EXPECT_EQ(ModifyTime(R + "/a.txt"), kNew);
    EXPECT_FALSE(Has(R, "sub/b.txt"));
    EXPECT_EQ(Read(L, "sub/new-right.txt"), "new on the share");

    // A deletion on the share reaches the left side too.
    std::filesystem::remove_all(R + "/sub/deeper");
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_FALSE(Has(L, "sub/deeper"));
    Analyze();
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(remotetest::Leftovers(R), Lines{});
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

// A folder the share's user can no longer look into is unknown, not gone:
// nothing of it is deleted on the left.
TEST_F(SmbSyncTest, AShareThatCannotBeFullyListedLosesNothing) {
    Put(L, "locked/kept.txt", "local copy", kOld);
    Put(L, "plain.txt", "plain", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(R, "locked/kept.txt"), "local copy");
    share.Lock("locked");
    AnalyzeAndSync();
    EXPECT_EQ(Read(L, "locked/kept.txt"), "local copy");
    EXPECT_EQ(Read(R, "locked/kept.txt"), "local copy");
}

} // namespace
} // namespace smbtest
