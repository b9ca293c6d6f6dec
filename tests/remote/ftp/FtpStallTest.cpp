// An FTP server that stops answering during a run (see remote/StallSyncTest.h).

#include "endpoints/UTFtpFileOper.h"
#include "remote/StallSyncTest.h"

#include <unistd.h>

namespace {

using namespace tandemora;

class FtpStallTest : public remotetest::StallSyncTest {
protected:
    FtpStallTest() : StallSyncTest("ftp") {}

    void UseServer(const std::map<std::string, std::string>& env) override {
        uid_ = static_cast<uid_t>(std::stoul(env.at("FTPUID")));
        gid_ = static_cast<gid_t>(std::stoul(env.at("FTPGID")));
        S = env.at("ROOT") + "/stall";
        std::filesystem::create_directories(S);
        Give(S);
        task.RFolder.DeviceType = dtFtp;
        task.RFolder.FolerAllName = env.at("URL") + "/stall";
        task.RFolder.UserName = env.at("USER");
        task.RFolder.PWD = env.at("PASSWORD");
    }
    void Give(const std::string& path) override { lchown(path.c_str(), uid_, gid_); }
    std::unique_ptr<TFileOper> FreezingOper(std::function<void()> beforePut) override {
        return std::make_unique<remotetest::TFreezeOnPut<TFtpFileOper>>(std::move(beforePut));
    }

    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

TEST_F(FtpStallTest, AFrozenServerStopsTheRunAndTheNextRunsSettle) {
    FrozenServerStopsTheRun();
}

// The stall limit stays at its 30 seconds: only a broken-off wait ends sooner.
TEST_F(FtpStallTest, ACancelBreaksOffTheUploadInFlight) {
    CancelBreaksOffTheTransfer(ServerStallLimitMs, 20.0);
}

} // namespace
