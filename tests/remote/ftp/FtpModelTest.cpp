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
// A failing sequence is shrunk and printed as a row for kRegressions below.

#include "remote/FreezableServer.h"
#include "remote/ServerModelTest.h"
#include "remote/ftp/FtpTestSupport.h"

using namespace servermodel;

namespace {

const TRegression kRegressions[] = {
    {"EditedOnTheServerThenDeletedHere", "R put a 8 1; run; R put a 9 2; run; L rm a; run"},
    // A folder holding only a hidden file, replaced by a file here while hidden
    // files were left out: the server's listing showed the dot name as an
    // ordinary item, and the folder's deletion took the hidden file with it.
    {"FolderOfAHiddenFileReplacedWhileHiddenFilesAreLeftOut",
     "L mkdir c; L put c/.h 14 9; run; T hidden 1; L rm c; L put c 16 11; run"},
    // The server's user may not list a folder for a run: nothing below it moves.
    {"FolderTheServerCannotList",
     "R mkdir a; R put a/x 6 1; run; R unread a; R put a/x 7 2; L rm a; L put b 8 3; run; "
     "R readable; run"},
    // The server's folder closed to its user renamed: the model follows the path.
    {"ClosedFolderRenamedOnTheServer", "R mkdir c; R unread c; R mv c d; run"},
    // Killed as the second transfer starts: the first stays, the next run settles.
    {"KilledAtTheSecondTransfer", "R put a 6 1; R put b 7 2; L put c 8 3; T kill 3; run; run"},
    // A server restarted between runs, down for one run and frozen for
    // another (on the kinds that play it): those runs change nothing, and
    // the next does their work.
    {"RestartedDownFrozen",
     "L put a 6 1; L put d 7 2; run; S restart; R put b 8 3; run; S down; L put a 9 4; "
     "R rm b; run; run; S freeze; L rm a; R put c 10 5; run; run"},
    // A run against a silent server with the snapshots kept in another place
    // wrote a new pair there, and the last agreed pair in the first place was
    // no longer used when the task went back to it.
    {"SilentRunWithTheSnapshotsElsewhere",
     "L put c 11 6; run; T estimate 1; S freeze; run; T estimate 0; run"},
    {"ServerDownWhileTheSnapshotsMove",
     "T estimate 1; T tags 1; L put a 7 2; run; T estimate 0; S down; run; T estimate 1; run"},
    // A read-only bit on the server keeps nothing there: the program cannot see it.
    {"ReadOnlyOnTheServerDeletedHere", "R put a 6 1; R put .h 7 2; run; R ro a; L rm a; L rm .h; run"},
};

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
