// A task between a local folder and a folder on the Samba share, run the way a
// task window runs it (scan, analysis, result view, sync thread), checked by the
// files on the server's own disk and by a second analysis that proposes nothing.

#include "SmbTestSupport.h"

#include "endpoints/UTNetFileOper.h"
#include "engine/SyncTestSupport.h"

#include <algorithm>
#include <filesystem>

namespace smbtest {
namespace {

using namespace tandemora;
using Lines = std::vector<std::string>;

class SmbSyncTest : public synctest::SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        const char* state = std::getenv("TANDEMORA_SERVER_STATE");
        ASSERT_TRUE(state != nullptr && ReadServerInfo(state, server)) << "no SMB test server";
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string folder = std::string("SmbSyncTest.") + test->name();
        // R is the share's folder as the server's disk holds it; the task sees it
        // as a UNC path.
        R = server.Root + "/" + folder;
        std::filesystem::remove_all(R);
        std::filesystem::create_directories(R);
        GiveToShare(R);
        unc = server.Server() + "\\" + server.Share + "\\" + folder;
        task.RFolder.DeviceType = dtNetShare;
        task.RFolder.FolerAllName = unc;
        task.RFolder.UserName = server.User;
        task.RFolder.PWD = server.Password;
        // What the task window does before it scans.
        TNetFileOper oper(false);
        oper.Source = &task.RFolder;
        ASSERT_EQ(oper.Connect(), 0);
    }
    void TearDown() override {
        SyncFixture::TearDown();
        std::filesystem::remove_all(R);
    }

    // Puts a file on the share from the server's side, as a client would have.
    void PutRight(const std::string& rel, const std::string& bytes, time_t when) {
        Put(R, rel, bytes, when);
        for (std::filesystem::path p = R + "/" + rel; p.string().size() > R.size(); p = p.parent_path()) {
            GiveToShare(p.string());
        }
    }

    // Every name below a folder that is a leftover of a transfer.
    static Lines Leftovers(const std::string& root) {
        Lines found;
        for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
            const std::string name = item.path().filename().string();
            const auto ends = [&name](const std::string& tail) {
                return name.size() > tail.size() &&
                       name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
            };
            if (ends(".part") || ends(".p") || ends(".tmp")) {
                found.push_back(item.path().string());
            }
        }
        return found;
    }

    Lines ErrorLines() const {
        Lines errors;
        for (const std::string& line : lines) {
            if (line.rfind("Error", 0) == 0) {
                errors.push_back(line);
            }
        }
        return errors;
    }

    testsupport::TempDir home;
    testsupport::ScopedEnv homeEnv{"HOME", home.path()};
    TServerInfo server;
    std::string unc;
};

TEST_F(SmbSyncTest, ALocalFolderAndAShareAreKeptInStep) {
    Put(L, "a.txt", "alpha", synctest::kOld);
    Put(L, "sub/b.txt", "bravo", synctest::kOld);
    Put(L, "sub/deeper/c.txt", std::string(3 * 1024 * 1024, 'c'), synctest::kOld);
    std::filesystem::create_directories(L + "/empty");
    PutRight("only-right.txt", "right", synctest::kOld);

    AnalyzeAndSync();
    EXPECT_EQ(fatal, "");
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_EQ(Read(R, "a.txt"), "alpha");
    EXPECT_EQ(Read(R, "sub/b.txt"), "bravo");
    EXPECT_EQ(Read(R, "sub/deeper/c.txt"), std::string(3 * 1024 * 1024, 'c'));
    EXPECT_TRUE(std::filesystem::is_directory(R + "/empty"));
    EXPECT_EQ(MTime(R + "/sub/b.txt"), synctest::kOld);
    EXPECT_EQ(Read(L, "only-right.txt"), "right");
    EXPECT_EQ(MTime(L + "/only-right.txt"), synctest::kOld);
    // The share keeps its snapshot in its own work folder, like a local folder.
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{unc, "empty/", "sub/", "sub/deeper/", "sub/deeper/c.txt",
                                                     "sub/b.txt", "a.txt", "only-right.txt"}));
    EXPECT_EQ(Leftovers(R), Lines{});
    EXPECT_EQ(Leftovers(L), Lines{});

    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);

    // Changes on both sides since: a changed and a deleted file on the left, a
    // new file on the share.
    Put(L, "a.txt", "alpha two", synctest::kNew);
    std::filesystem::remove(L + "/sub/b.txt");
    PutRight("sub/new-right.txt", "new on the share", synctest::kNew);
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_EQ(Read(R, "a.txt"), "alpha two");
    EXPECT_EQ(MTime(R + "/a.txt"), synctest::kNew);
    EXPECT_FALSE(Has(R, "sub/b.txt"));
    EXPECT_EQ(Read(L, "sub/new-right.txt"), "new on the share");

    // A deletion on the share reaches the left side too.
    std::filesystem::remove_all(R + "/sub/deeper");
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_FALSE(Has(L, "sub/deeper"));
    EXPECT_EQ(Read(L, "a.txt"), "alpha two");

    Analyze();
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(Leftovers(R), Lines{});
}

// A share root written with "/" names the same folder as one written with "\":
// empty folders are made where they belong, never nested under a copy of the path.
TEST_F(SmbSyncTest, EmptyFoldersLandInARootWrittenWithSlashes) {
    std::string slashed = unc;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    task.RFolder.FolerAllName = slashed + "/";
    std::filesystem::create_directories(L + "/empty");
    std::filesystem::create_directories(L + "/sub/deeper");
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), Lines{});
    EXPECT_TRUE(std::filesystem::is_directory(R + "/empty"));
    EXPECT_TRUE(std::filesystem::is_directory(R + "/sub/deeper"));
    Lines names;
    for (const auto& item : std::filesystem::directory_iterator(R)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"__Tandemora__", "empty", "sub"}));
}

// A name the share cannot hold fails with a line that says why, and only its item.
TEST_F(SmbSyncTest, ANameTheShareCannotHoldFailsWithAReason) {
    Put(L, "q?x.txt", "question", synctest::kOld);
    Put(L, "plain.txt", "plain", synctest::kOld);
    PutRight("a?b.txt", "shown short", synctest::kOld);
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(), (Lines{"Error Copy:" + L + "/q?x.txt -> " + unc +
                                   "\\q?x.txt (a network share cannot hold this name)"}));
    EXPECT_EQ(Read(R, "plain.txt"), "plain");
    // Samba shows a name it cannot pass under a short stand-in ("A6ARMU~L.TXT"),
    // which reads like any other name.
    for (const auto& item : std::filesystem::directory_iterator(L)) {
        if (item.path().filename().string().find('~') != std::string::npos) {
            EXPECT_EQ(testsupport::ReadFile(item.path().string()), "shown short");
        }
    }
}

TEST_F(SmbSyncTest, AShareThatCannotBeFullyListedLosesNothing) {
    Put(L, "locked/kept.txt", "local copy", synctest::kOld);
    Put(L, "plain.txt", "plain", synctest::kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(R, "locked/kept.txt"), "local copy");
    Analyze();
    ASSERT_EQ(Changes(), 0);

    // The share's user can no longer look into the folder: its content is
    // unknown, not gone, so nothing of it is deleted on the left.
    chown((R + "/locked").c_str(), 0, 0);
    chmod((R + "/locked").c_str(), 0700);
    AnalyzeAndSync();
    EXPECT_TRUE(Has(L, "locked/kept.txt"));
    EXPECT_EQ(Read(L, "locked/kept.txt"), "local copy");
    EXPECT_EQ(Read(R, "locked/kept.txt"), "local copy");
    chmod((R + "/locked").c_str(), 0777);
}

} // namespace
} // namespace smbtest
