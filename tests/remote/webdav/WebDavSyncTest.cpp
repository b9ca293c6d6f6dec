// A local folder synchronised with a folder on the WebDAV server, end to end:
// scans, analysis, the sync thread and the snapshots, checked on the folder the
// server keeps on disk.

#include "WebDavTestSupport.h"
#include "engine/SyncTestSupport.h"

#include <filesystem>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

Lines Errors(const Lines& lines) {
    Lines errors;
    for (const std::string& line : lines) {
        if (line.rfind("Error", 0) == 0) {
            errors.push_back(line);
        }
    }
    return errors;
}

} // namespace

// Runs against the suite's Apache, unless a test names another server kind.
class WebDavSyncTest : public SyncFixture {
protected:
    void SetUp() override { Use(""); }
    void Use(const std::string& kind) {
        SyncFixture::SetUp();
        server = webdavtest::ReadServer(kind);
        ASSERT_FALSE(server.Url.empty()) << "no WebDAV server " << kind << " in TANDEMORA_SERVER_STATE";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        std::replace(name.begin(), name.end(), '/', '.');
        base = server.Url + "/" + name;
        disk = server.Root + "/" + name;
        webdavtest::Request(server, "DELETE", base);
        ASSERT_EQ(webdavtest::Request(server, "MKCOL", base), 201);
        task.RFolder.DeviceType = dtWebDav;
        task.RFolder.FolerAllName = base;
        task.RFolder.UserName = server.User;
        task.RFolder.PWD = server.Password;
    }

    std::string OnServer(const std::string& rel) const { return testsupport::ReadFile(disk + "/" + rel); }
    bool ServerHas(const std::string& rel) const { return testsupport::Exists(disk + "/" + rel); }

    webdavtest::TServer server;
    std::string base;
    std::string disk;
    testsupport::ScopedEnv ca{"TANDEMORA_TEST_CA_FILE", webdavtest::ReadServer().CaFile};
};

// The same run against Apache over http and over https, against a server
// built on Go's webdav package (rclone), which replaces a file by MOVE only
// when asked to overwrite, and against lighttpd's module.
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

    // First run: everything goes to the server.
    AnalyzeAndSync();
    EXPECT_EQ(Errors(lines), Lines{});
    EXPECT_EQ(OnServer("a.txt"), "alpha");
    EXPECT_EQ(OnServer("sub dir/b#1.txt"), "bee");
    EXPECT_EQ(OnServer(umlaut + "/c%.txt"), "sea");
    EXPECT_EQ(OnServer("blank /d.txt"), "dee");
    EXPECT_TRUE(std::filesystem::is_directory(disk + "/empty ?"));
    EXPECT_TRUE(ServerHas("__Tandemora__/" + task.SyncID)); // the server side's snapshot
    EXPECT_EQ(rightScan->ServerInfo.rfind("WebDAV:", 0), 0u);
    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);

    // Deletions and a change on the local side, keeping the replaced version.
    task.SaveOldFile = 1;
    ASSERT_TRUE(fs::DeleteFile(L + "/a.txt"));
    std::filesystem::remove_all(L + "/sub dir");
    Put(L, umlaut + "/c%.txt", "sea, changed", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(Errors(lines), Lines{});
    EXPECT_FALSE(ServerHas("a.txt"));
    EXPECT_FALSE(ServerHas("sub dir"));
    EXPECT_EQ(OnServer(umlaut + "/c%.txt"), "sea, changed");
    EXPECT_EQ(OnServer("__Tandemora__/__saved__/" + umlaut + "/c%.txt"), "sea");
    EXPECT_EQ(OnServer("__Tandemora__/__saved__/a.txt"), "alpha");
    Analyze();
    EXPECT_EQ(Changes(), 0);

    // A change made on the server comes back to the local folder.
    ASSERT_TRUE(http::IsSuccess(
        webdavtest::Request(server, "PUT", base + "/" + umlaut + "/c%.txt", "from the server")));
    // Times are compared in 2-second steps; this change must not fall into the
    // step of the last run's upload.
    SetTime(disk + "/" + umlaut + "/c%.txt", kNewer);
    ASSERT_TRUE(http::IsSuccess(webdavtest::Request(server, "PUT", base + "/new on server.txt", "new")));
    AnalyzeAndSync();
    EXPECT_EQ(Errors(lines), Lines{});
    EXPECT_EQ(Read(L, umlaut + "/c%.txt"), "from the server");
    EXPECT_EQ(Read(L, "new on server.txt"), "new");
    Analyze();
    EXPECT_EQ(Changes(), 0);

    // Nothing the transfers staged stays behind.
    EXPECT_TRUE(std::filesystem::is_empty(cache.path() + "/Tandemora/staging") ||
                !std::filesystem::exists(cache.path() + "/Tandemora/staging"));
}

// A folder on the server that could not be listed is not taken for an empty one:
// the local copies of what it holds are neither deleted nor overwritten.
TEST_F(WebDavSyncTest, AnUnreadableServerFolderDeletesNothing) {
    Put(L, "kept/a.txt", "alpha", kOld);
    Put(L, "top.txt", "top", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(OnServer("kept/a.txt"), "alpha");

    ASSERT_EQ(chmod((disk + "/kept").c_str(), 0), 0);
    Analyze(vkAll);
    chmod((disk + "/kept").c_str(), 0755);
    EXPECT_FALSE(rightScan->ScanComplete());
    const int32_t code = Code("/kept/a.txt");
    EXPECT_NE(code, saDeleteLeft);
    EXPECT_NE(code, saCopyLtoR);
    EXPECT_NE(code, saOverwriteLtoR);
    Sync();
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("Delete", 0), std::string::npos) << line;
    }
    EXPECT_EQ(Read(L, "kept/a.txt"), "alpha");
    EXPECT_EQ(OnServer("kept/a.txt"), "alpha");
}
