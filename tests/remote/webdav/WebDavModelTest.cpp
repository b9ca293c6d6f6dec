// The model-based multi-run test of tests/engine/ModelSyncTest.cpp with the
// right side on a WebDAV server: random edits on both sides (those on the
// server made in its folder on disk, as another client would), killed runs
// (counting the server's operations too), read-only bits, hidden names and
// folders the server cannot list, each run checked against the same reference
// model. The servers give every upload their own time; the model reads the
// times the server shows and takes files of the same bytes as agreed whatever
// their times. A private rclone is also restarted between runs, stopped for a
// whole run and frozen (SIGSTOP) for one.
//   Replay one sequence: TANDEMORA_MBT_SEED=17 ctest -R WebDavModelSync
//   Long mode:           TANDEMORA_MBT_RUNS=400 build/test/tests/webdav_tests
//   --gtest_filter='*WebDavModelSync*Rclone'
// (the long mode needs TANDEMORA_SERVER_STATE of a started tests/servers/webdav.sh).
// A failing sequence is shrunk and printed as a row for ServerRegressions
// (remote/ServerModelTest.h), or for kRegressions below if it is this kind's own.

#include "remote/ServerModelTest.h"
#include "remote/webdav/WebDavTestSupport.h"

#include <sys/stat.h>

using namespace servermodel;

namespace {

const std::vector<TRegression> kRegressions = ServerRegressions({
    // The upload took the server's time; the model took that for an edit there.
    {"UploadedThenEditedHere", "L put a 8 6; run; L put a 12 7; run"},
});

// A fresh scratch folder on one of the suite's servers, whose files belong to
// the server's user (the owner of its folder on disk).
class TDavSide : public TServerSide {
public:
    TDavSide(std::string kind, bool locks) : kind_(std::move(kind)), locks_(locks) {}

    bool Open() override {
        struct stat st;
        if (!folder_.Open(kind_) || stat(folder_.Disk.c_str(), &st) != 0) {
            return false;
        }
        Right.Uid = st.st_uid;
        Right.Gid = st.st_gid;
        Right.Open = [this](TSyncTask& task) {
            folder_.Open(kind_);
            folder_.Use(task.RFolder);
            return folder_.Disk;
        };
        Right.HiddenNames = true;
        Right.ReadOnlyBits = true;
        Right.Locks = locks_;
        return true;
    }

private:
    std::string kind_;
    bool locks_;
    webdavtest::TDavFolder folder_;
};

// An rclone of the test's own, restarted on its port between runs, stopped for
// a whole run, or frozen for one. It runs as this user, who reads every folder.
class TOwnRcloneSide : public TServerSide {
public:
    bool Open() override {
        if (std::system("command -v rclone >/dev/null 2>&1") != 0 || !server_.Start()) {
            return false;
        }
        Right.Uid = getuid();
        Right.Gid = getgid();
        Right.Open = [this](TSyncTask& task) {
            const std::string name = remotetest::ScratchName();
            std::filesystem::remove_all(disk_ / name);
            std::filesystem::create_directories(disk_ / name);
            task.RFolder.DeviceType = dtWebDav;
            task.RFolder.FolerAllName = server_.Url() + "/" + name;
            task.RFolder.UserName = "tandemora";
            task.RFolder.PWD = "model-pw";
            return disk_ / name;
        };
        Right.HiddenNames = true;
        Right.ReadOnlyBits = true;
        webdavtest::TPrivateServer* server = &server_;
        Right.Steps = {
            {"restart", false, [server] { return server->Stop(), server->Start(); }, nullptr},
            {"down", true, [server] { return server->Stop(), true; }, [server] { return server->Start(); }},
            {"freeze", true, [server] { return server->Freeze(); }, [server] { return server->Thaw(); }},
        };
        Right.StepOdds = 30;
        return true;
    }

private:
    testsupport::TempDir disk_;
    webdavtest::TPrivateServer server_{disk_.path(), "tandemora", "model-pw"};
};

const TKind kKinds[] = {
    {"Apache", 5, [] { return std::make_unique<TDavSide>("", true); }},
    {"Lighttpd", 2, [] { return std::make_unique<TDavSide>("LIGHTTPD_", true); }},
    // rclone runs as root here and lists whatever the folder's mode.
    {"Rclone", 2, [] { return std::make_unique<TDavSide>("RCLONE_", false); }},
    {"RcloneRestarted", 2, [] { return std::make_unique<TOwnRcloneSide>(); }, true},
};

class WebDavModelSync : public ::testing::TestWithParam<TKind> {};
class WebDavModelRegression : public ::testing::TestWithParam<std::tuple<TKind, TRegression>> {};

} // namespace

TEST_P(WebDavModelSync, RandomEditsBetweenRuns) {
    const std::unique_ptr<TServerSide> side = GetParam().Make();
    ASSERT_TRUE(side->Open()) << "no WebDAV server " << GetParam().Name << " in TANDEMORA_SERVER_STATE";
    RunSeeds(GetParam(), side->Right);
}

TEST_P(WebDavModelRegression, Replays) {
    if (!ReplaysOn(std::get<0>(GetParam()), std::get<1>(GetParam()))) {
        GTEST_SKIP() << "replayed on the suite's servers";
    }
    const std::unique_ptr<TServerSide> side = std::get<0>(GetParam()).Make();
    ASSERT_TRUE(side->Open()) << "no WebDAV server " << std::get<0>(GetParam()).Name;
    EXPECT_EQ(Replay(Parse(std::get<1>(GetParam()).Script), side->Right), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, WebDavModelSync, ::testing::ValuesIn(kKinds), KindName);
INSTANTIATE_TEST_SUITE_P(Found, WebDavModelRegression,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::ValuesIn(kRegressions)),
                         RowName);
