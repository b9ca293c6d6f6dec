// A local folder synchronised with a folder on each WebDAV server: Apache over
// http and over https, rclone (Go's webdav package, which replaces a file by MOVE
// only when asked to overwrite) and lighttpd's module.

#include "WebDavTestSupport.h"
#include "remote/RemoteSyncTest.h"

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

TEST_P(WebDavSyncTest, PartFilesGoByTheirTaskAndLookAlikesAreTheUsersFiles) {
    PartFilesGoByTheirTask();
}

TEST_P(WebDavSyncTest, AnUnreadableServerFolderDeletesNothing) {
    if (GetParam() == "RCLONE_") {
        GTEST_SKIP() << "rclone answers from its cache of the folder, whatever its mode on disk";
    }
    UnreadServerFolderLosesNothing();
}

} // namespace
