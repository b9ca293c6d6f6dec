// A local folder synchronised with a folder on a WebDAV server, end to end:
// scans, analysis, the sync thread and the snapshots, checked on the folder the
// server keeps on disk.

#include "WebDavTestSupport.h"
#include "engine/SyncTestSupport.h"

#include <filesystem>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

// Runs against Apache, unless a test names another server kind.
class WebDavSyncTest : public SyncFixture {
protected:
    void SetUp() override { Use(""); }
    void Use(const std::string& kind) {
        SyncFixture::SetUp();
        ASSERT_TRUE(dav.Open(kind)) << "no WebDAV server " << kind << " in TANDEMORA_SERVER_STATE";
        dav.Use(task.RFolder);
    }
    Lines Errors() const { return remotetest::ErrorLines(lines); }

    testsupport::ScopedEnv ca{"TANDEMORA_TEST_CA_FILE", webdavtest::TServer::Read().CaFile};
    webdavtest::TDavFolder dav;
};

// The same run against Apache over http and over https, rclone (Go's webdav
// package, which replaces a file by MOVE only when asked to overwrite) and
// lighttpd's module.
class WebDavServersSyncTest : public WebDavSyncTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override { Use(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Servers, WebDavServersSyncTest,
                         ::testing::Values("", "HTTPS_", "RCLONE_", "LIGHTTPD_"), [](const auto& info) {
                             return info.param.empty() ? "Apache"
                                                       : info.param.substr(0, info.param.size() - 1);
                         });

TEST_P(WebDavServersSyncTest, LocalFolderAndServerFolderStayInStep) {
    const std::string umlaut = "\xC3\xBC";
    Put(L, "a.txt", "alpha", kOld);
    Put(L, "sub dir/b#1.txt", "bee", kOld);
    Put(L, umlaut + "/c%.txt", "sea", kOld);
    Put(L, "blank /d.txt", "dee", kOld);
    ASSERT_TRUE(fs::ForceDirectories(L + "/empty ?"));
    // Names that are each a different trap for a URL, made on either side.
    const std::string odd[] = {"what?.txt", "a+b.txt", "amp&eq=semi;.txt", "\xE2\x82\xAC 100%.txt",
                               "%41 not A.txt"};
    for (const std::string& name : odd) {
        Put(L, "odd #1/" + name, name, kOld);
        dav.Put("odd %41/" + name, name);
    }

    // First run: everything goes to the server.
    AnalyzeAndSync();
    EXPECT_EQ(Errors(), Lines{});
    EXPECT_EQ(dav.Read("a.txt"), "alpha");
    EXPECT_EQ(dav.Read("sub dir/b#1.txt"), "bee");
    EXPECT_EQ(dav.Read(umlaut + "/c%.txt"), "sea");
    EXPECT_EQ(dav.Read("blank /d.txt"), "dee");
    EXPECT_TRUE(std::filesystem::is_directory(dav.Disk + "/empty ?"));
    for (const std::string& name : odd) {
        EXPECT_EQ(dav.Read("odd #1/" + name), name);
        EXPECT_EQ(Read(L, "odd %41/" + name), name);
    }
    EXPECT_TRUE(dav.Has("__Tandemora__/" + task.SyncID)); // the server side's snapshot
    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);

    // Deletions and a change on the local side, keeping the replaced version.
    task.SaveOldFile = 1;
    ASSERT_TRUE(fs::DeleteFile(L + "/a.txt"));
    std::filesystem::remove_all(L + "/sub dir");
    Put(L, umlaut + "/c%.txt", "sea, changed", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(Errors(), Lines{});
    EXPECT_FALSE(dav.Has("a.txt"));
    EXPECT_FALSE(dav.Has("sub dir"));
    EXPECT_EQ(dav.Read(umlaut + "/c%.txt"), "sea, changed");
    EXPECT_EQ(dav.Read("__Tandemora__/__saved__/" + umlaut + "/c%.txt"), "sea");
    EXPECT_EQ(dav.Read("__Tandemora__/__saved__/a.txt"), "alpha");
    Analyze();
    EXPECT_EQ(Changes(), 0);

    // A change made on the server comes back to the local folder.
    dav.Put(umlaut + "/c%.txt", "from the server");
    // Times are compared in 2-second steps; this change must not fall into the
    // step of the last run's upload.
    SetTime(dav.Disk + "/" + umlaut + "/c%.txt", kNewer);
    dav.Put("new on server.txt", "new");
    AnalyzeAndSync();
    EXPECT_EQ(Errors(), Lines{});
    EXPECT_EQ(Read(L, umlaut + "/c%.txt"), "from the server");
    EXPECT_EQ(Read(L, "new on server.txt"), "new");
    Analyze();
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(Names(cache / "Tandemora/staging"), Lines{}); // nothing the transfers staged stays
}

// A folder on the server that could not be listed is not taken for an empty one:
// the local copies of what it holds are neither deleted nor overwritten.
TEST_F(WebDavSyncTest, AnUnreadableServerFolderDeletesNothing) {
    Put(L, "kept/a.txt", "alpha", kOld);
    Put(L, "top.txt", "top", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(dav.Read("kept/a.txt"), "alpha");

    ASSERT_EQ(chmod((dav.Disk + "/kept").c_str(), 0), 0);
    Analyze(vkAll);
    chmod((dav.Disk + "/kept").c_str(), 0755);
    EXPECT_FALSE(rightScan->ScanComplete());
    for (int32_t code : {saDeleteLeft, saCopyLtoR, saOverwriteLtoR}) {
        EXPECT_NE(Code("/kept/a.txt"), code);
    }
    Sync();
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("Delete", 0), std::string::npos) << line;
    }
    EXPECT_EQ(Read(L, "kept/a.txt"), "alpha");
    EXPECT_EQ(dav.Read("kept/a.txt"), "alpha");
}

} // namespace
