// A WebDAV server that stops answering during a run (see remote/StallSyncTest.h).

#include "endpoints/UTWebDavFileOper.h"
#include "remote/StallSyncTest.h"

#include <pwd.h>
#include <unistd.h>

namespace {

using namespace tandemora;

class WebDavStallTest : public remotetest::StallSyncTest {
protected:
    WebDavStallTest() : StallSyncTest("webdav") {}

    void UseServer(const std::map<std::string, std::string>& env) override {
        S = env.at("ROOT") + "/stall";
        std::filesystem::create_directories(S);
        Give(S);
        task.RFolder.DeviceType = dtWebDav;
        task.RFolder.FolerAllName = env.at("URL") + "/stall";
        task.RFolder.UserName = env.at("USER");
        task.RFolder.PWD = env.at("PASSWORD");
    }
    // The server works as www-data.
    void Give(const std::string& path) override {
        if (const passwd* user = getpwnam("www-data")) {
            lchown(path.c_str(), user->pw_uid, user->pw_gid);
        }
    }
    std::unique_ptr<TFileOper> FreezingOper(std::function<void()> beforePut) override {
        return std::make_unique<remotetest::TFreezeOnPut<TWebDavFileOper>>(std::move(beforePut));
    }
};

TEST_F(WebDavStallTest, AFrozenServerStopsTheRunAndTheNextRunsSettle) {
    FrozenServerStopsTheRun();
}

// The stall limit stays at its 30 seconds: only a broken-off wait ends sooner.
TEST_F(WebDavStallTest, ACancelBreaksOffTheUploadInFlight) {
    CancelBreaksOffTheTransfer(ServerStallLimitMs, 20.0);
}

} // namespace
