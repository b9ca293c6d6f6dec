// A local folder synchronised with a folder on each WebDAV server: Apache over
// http and over https, rclone (Go's webdav package, which replaces a file by MOVE
// only when asked to overwrite) and lighttpd's module.

#include "WebDavTestSupport.h"
#include "remote/RemoteSyncTest.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class WebDavSyncTest : public remotetest::RemoteSyncTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        RemoteSyncTest::SetUp();
        ASSERT_TRUE(dav.Open(GetParam()))
            << "no WebDAV server " << GetParam() << " in TANDEMORA_SERVER_STATE";
        dav.Use(task.RFolder);
        S = dav.Disk;
    }
    void ServerPut(const std::string& rel, const std::string& bytes, time_t when) override {
        dav.Put(rel, bytes);
        SetTime(dav.Disk + "/" + rel, when);
    }
    void Lock(const std::string& rel, bool locked) override {
        chmod((dav.Disk + "/" + rel).c_str(), locked ? 0 : 0755);
    }
    void ServerMkdir(const std::string& rel) override {
        for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
            dav.Mkcol(rel.substr(0, slash));
        }
        dav.Mkcol(rel);
    }

    testsupport::ScopedEnv ca{"TANDEMORA_TEST_CA_FILE", webdavtest::TServer::Read().CaFile};
    webdavtest::TDavFolder dav;
};

INSTANTIATE_TEST_SUITE_P(Servers, WebDavSyncTest, ::testing::Values("", "HTTPS_", "RCLONE_", "LIGHTTPD_"),
                         [](const auto& info) {
                             return info.param.empty() ? "Apache"
                                                       : info.param.substr(0, info.param.size() - 1);
                         });

// Names that are each a different trap for a URL.
TEST_P(WebDavSyncTest, LocalFolderAndServerFolderStayInStep) {
    KeepInStep({"sub dir/b#1.txt", "\xC3\xBC/c%.txt", "blank /d.txt", "odd #1?/what?.txt", "a+b.txt",
                "amp&eq=semi;.txt", "\xE2\x82\xAC 100%", "%41 not A.txt"});
}

TEST_P(WebDavSyncTest, PartFilesGoByTheirTask) {
    PartFilesGoByTheirTask(false);
}

TEST_P(WebDavSyncTest, AnUnreadableServerFolderDeletesNothing) {
    if (GetParam() == "RCLONE_") {
        GTEST_SKIP() << "rclone answers from its cache of the folder, whatever its mode on disk";
    }
    UnreadServerFolderLosesNothing();
}

// ---- Over several runs, the server's folder edited as another client would ----

TEST_P(WebDavSyncTest, AKilledRunLeavesNoConflicts) {
    AKilledRunLeavesNoConflicts();
}

TEST_P(WebDavSyncTest, AnEmptyServerFolderArrivesWhole) {
    AnEmptyServerFolderArrivesWhole();
}

TEST_P(WebDavSyncTest, AReadOnlyFileFollowsItsTwinDeletedOnTheServer) {
    AReadOnlyFileFollowsItsTwinDeletedOnTheServer();
}

TEST_P(WebDavSyncTest, AOneWaySourceThatReplacedAFolderByAFileFailsNoMore) {
    AOneWaySourceThatReplacedAFolderByAFileFailsNoMore();
}

TEST_P(WebDavSyncTest, ACaseOnlyRenameEndsUnderTheNewName) {
    ACaseOnlyRenameEndsUnderTheNewName();
}

// lighttpd writes a PUT into a name of its own beside the target (the
// target's and a few more bytes), so another client cannot make a name of 250
// bytes there; the uploads, which go through a short name, can.
TEST_P(WebDavSyncTest, LongNamesTravel) {
    LongNamesTravel("odd: ", GetParam() == "LIGHTTPD_" ? 117 : 123);
}

TEST_P(WebDavSyncTest, ACaseOnlyFolderRenameEndsUnderTheNewName) {
    ACaseOnlyFolderRenameEndsUnderTheNewName();
}

} // namespace

namespace {

using webdavtest::TPrivateServer;
using namespace tandemora;
using synctest::kNewer;
using synctest::kOld;

class WebDavRestartTest : public remotetest::RemoteSyncTest {
protected:
    void SetUp() override {
        RemoteSyncTest::SetUp();
        if (system("command -v rclone >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "rclone is not installed";
        }
        // A folder below the server's root, as the suite's servers are used.
        S = disk / "folder";
        std::filesystem::create_directories(S);
        server = std::make_unique<TPrivateServer>(disk.path(), "tandemora", "restart-pw");
        ASSERT_TRUE(server->Start());
        task.RFolder.DeviceType = dtWebDav;
        task.RFolder.FolerAllName = server->Url() + "/folder";
        task.RFolder.UserName = "tandemora";
        task.RFolder.PWD = "restart-pw";
    }
    void ServerPut(const std::string& rel, const std::string& bytes, time_t when) override {
        Put(S, rel, bytes, when);
    }
    void Lock(const std::string&, bool) override {}

    testsupport::TempDir disk;
    std::unique_ptr<TPrivateServer> server;
};

// A local folder and a folder on a WebDAV server that is down for one run and
// back for the next: the run without the server changes nothing and proposes
// nothing, the next carries what both sides did meanwhile, including a file
// both sides made alike.
TEST_F(WebDavRestartTest, AServerDownForARunLosesNothing) {
    Put(L, "a.txt", "alpha", kOld);
    ServerPut("c.txt", "charlie", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(remotetest::ErrorLines(lines), std::vector<std::string>{});

    server->Stop();
    Put(L, "a.txt", "alpha, edited", kNewer);
    Put(L, "both.txt", "made alike", synctest::kNew);
    Analyze(vkAll);
    EXPECT_FALSE(rightScan->ScanComplete());
    EXPECT_EQ(Changes(), 0);
    Sync();
    EXPECT_EQ(Read(L, "c.txt") + "|" + Read(L, "a.txt"), "charlie|alpha, edited");

    ASSERT_TRUE(server->Start());
    ServerPut("c.txt", "charlie, edited there", kNewer);
    ServerPut("both.txt", "made alike", kNewer); // another client's copy
    Analyze(vkAll);
    EXPECT_EQ(Code("/a.txt"), saOverwriteLtoR);
    EXPECT_EQ(Code("/c.txt"), saOverwriteRtoL);
    EXPECT_NE(Code("/both.txt"), saConflict);
    Sync();
    EXPECT_EQ(remotetest::ErrorLines(lines), std::vector<std::string>{});
    EXPECT_EQ(Read(S, "a.txt") + "|" + Read(L, "c.txt"), "alpha, edited|charlie, edited there");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

} // namespace
