// The model-based multi-run test of tests/engine/ModelSyncTest.cpp with the
// right side on an FTP server: random edits on both sides (those on the
// server made in its folder on disk, as another client would), killed runs
// (counting the server's operations too), read-only bits, hidden names and
// folders the server cannot list on both sides, each run checked against the
// same reference model. Pure-FTPd lists with MLSD and takes the uploads'
// times (MFMT); vsftpd lists with LIST only and sets times with MDTM. A
// private Pure-FTPd is also restarted between runs on its port, stopped for
// a whole run, or frozen (SIGSTOP) for one.
//   Replay one sequence: TANDEMORA_MBT_SEED=17 ctest -R FtpModelSync
//   Long mode:           TANDEMORA_MBT_RUNS=400 build/test/tests/ftp_tests
//   --gtest_filter='*FtpModelSync*Vsftpd'
// (the long mode needs TANDEMORA_SERVER_STATE of a started tests/servers/ftp.sh).
// A failing sequence is shrunk and printed as a row for ServerRegressions
// (remote/ServerModelTest.h), or for kRegressions below if it is this kind's own.

#include "remote/FreezableServer.h"
#include "remote/ServerModelTest.h"
#include "remote/ftp/FtpTestSupport.h"

using namespace servermodel;

namespace {

const std::vector<TRegression> kRegressions = ServerRegressions();

// A fresh scratch folder on one of the suite's servers, or on a private
// Pure-FTPd that the model may freeze for a run.
class TFtpSide : public TServerSide {
public:
    TFtpSide(std::string kind, bool own) : kind_(std::move(kind)) {
        if (own) {
            own_ = std::make_unique<remotetest::TFreezableServer>("ftp");
        }
    }
    ~TFtpSide() override { folder_.Unlock(); }

    bool Open() override {
        if (own_ && !own_->Start()) {
            return false;
        }
        const auto env = own_ ? own_->Env() : remotetest::ServerEnv();
        if (!folder_.Open(kind_, env)) {
            return false;
        }
        Right.Uid = folder_.Server.Uid;
        Right.Gid = folder_.Server.Gid;
        Right.Open = [this, env](TSyncTask& task) {
            folder_.Open(kind_, env);
            folder_.Use(task.RFolder);
            return folder_.Disk;
        };
        Right.HiddenNames = true;
        Right.ReadOnlyBits = true;
        Right.Locks = true;
        if (own_) {
            remotetest::TFreezableServer* server = own_.get();
            Right.Steps = {
                {"freeze", true, [server] { return server->Freeze(); }, [server] { return server->Thaw(); }},
                {"restart", false, [server] { return server->Stop() && server->StartAgain(); }, nullptr},
                {"down", true, [server] { return server->Stop(); },
                 [server] { return server->StartAgain(); }},
            };
            Right.StepOdds = 25;
        }
        return true;
    }

private:
    std::string kind_;
    std::unique_ptr<remotetest::TFreezableServer> own_;
    ftptest::TServerFolder folder_;
};

const TKind kKinds[] = {
    {"PureFtpd", 5, [] { return std::make_unique<TFtpSide>("", false); }},
    {"Vsftpd", 2, [] { return std::make_unique<TFtpSide>("VSFTPD_", false); }},
    {"PureFtpdRestarted", 2, [] { return std::make_unique<TFtpSide>("", true); }, true},
};

class FtpModelSync : public ::testing::TestWithParam<TKind> {};
class FtpModelRegression : public ::testing::TestWithParam<std::tuple<TKind, TRegression>> {};

} // namespace

TEST_P(FtpModelSync, RandomEditsBetweenRuns) {
    const std::unique_ptr<TServerSide> side = GetParam().Make();
    if (!side->Open()) {
        GTEST_SKIP() << "no FTP server: run through ctest, which starts tests/servers/ftp.sh";
    }
    RunSeeds(GetParam(), side->Right);
}

TEST_P(FtpModelRegression, Replays) {
    if (!ReplaysOn(std::get<0>(GetParam()), std::get<1>(GetParam()))) {
        GTEST_SKIP() << "replayed on the suite's servers";
    }
    const std::unique_ptr<TServerSide> side = std::get<0>(GetParam()).Make();
    if (!side->Open()) {
        GTEST_SKIP() << "no FTP server: run through ctest, which starts tests/servers/ftp.sh";
    }
    EXPECT_EQ(Replay(Parse(std::get<1>(GetParam()).Script), side->Right), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpModelSync, ::testing::ValuesIn(kKinds), KindName);
INSTANTIATE_TEST_SUITE_P(Found, FtpModelRegression,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::ValuesIn(kRegressions)),
                         RowName);
