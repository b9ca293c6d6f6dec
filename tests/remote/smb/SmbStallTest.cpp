// A Samba server that stops answering during a run (see remote/StallSyncTest.h).

#include "endpoints/UTNetFileOper.h"
#include "platform/SmbClient.h"
#include "remote/StallSyncTest.h"
#include "remote/smb/SmbTestSupport.h"

#include <chrono>
#include <thread>

namespace {

using namespace tandemora;

class SmbStallTest : public remotetest::StallSyncTest {
protected:
    SmbStallTest() : StallSyncTest("smb") {}

    void UseServer(const std::map<std::string, std::string>& env) override {
        S = env.at("ROOT") + "/stall";
        std::filesystem::create_directories(S);
        Give(S);
        const std::string server = "\\\\127.0.0.1:" + env.at("PORT");
        smb::LogOn(server, env.at("USER"), env.at("PASSWORD"));
        task.RFolder.DeviceType = dtNetShare;
        task.RFolder.FolerAllName = server + "\\" + env.at("SHARE") + "\\stall";
        task.RFolder.UserName = env.at("USER");
        task.RFolder.PWD = env.at("PASSWORD");
        // libsmbclient gives each connection the time-out of its making, and the
        // analysis makes the first one.
        smb::SetTimeout(1000);
    }
    void TearDown() override {
        smb::SetTimeout(ServerStallLimitMs);
        StallSyncTest::TearDown();
    }
    void Give(const std::string& path) override { smbtest::GiveToShare(path); }
    // Samba, let go again, may refuse the first call for a moment while it
    // drops the sessions that timed out.
    void AwaitServer() override {
        fs::DirEntry entry;
        for (int i = 0; i < 300 && !fs::GetEntryInfo(task.RFolder.FolerAllName, entry); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::unique_ptr<TFileOper> FreezingOper(std::function<void()> beforePut) override {
        return std::make_unique<remotetest::TFreezeOnPut<TNetFileOper>>(std::move(beforePut));
    }

    testsupport::ScopedEnv home_{"HOME", base / "home"};
};

TEST_F(SmbStallTest, AFrozenServerStopsTheRunAndTheNextRunsSettle) {
    FrozenServerStopsTheRun();
}

// libsmbclient waits for its server up to the stall limit, and more than once
// in one call, whatever a cancel says: its connection is cut instead, so the
// run ends within seconds even at the stall limit users have.
TEST_F(SmbStallTest, ACancelEndsTheRunWithinSecondsWhateverTheStallLimit) {
    smb::SetTimeout(ServerStallLimitMs); // for the connection the analysis makes
    CancelBreaksOffTheTransfer(ServerStallLimitMs, 10.0);
}

} // namespace
