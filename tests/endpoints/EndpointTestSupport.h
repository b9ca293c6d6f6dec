#pragma once
// What the endpoint suites share: a local endpoint on a fresh temporary folder,
// a window stand-in that records every progress message with the status text
// of that moment, and small file helpers.

#include "TestSupport.h"
#include "endpoints/UTWinFileOper.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/MainThread.h"
#include "platform/Messages.h"
#include "platform/ProgramFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace endpointtest {

using namespace tandemora;

struct TMessage {
    uint32_t Msg;
    intptr_t WParam;
    intptr_t LParam;
    std::string Status; // the status text when the message arrived
};

// Stands in for a task window. Messages sent from the test's own thread arrive at
// once; those from a scanner thread wait in the dispatcher until it is pumped.
class TMessageLog {
public:
    TMessageLog()
        : scope_(&Dispatcher),
          target_([this](uint32_t msg, intptr_t w, intptr_t l) { Receive(msg, w, l); }, &Dispatcher) {}

    NotifyTarget* Target() { return &target_; }

    int Count(uint32_t msg) const {
        int n = 0;
        for (const auto& m : Messages) {
            n += m.Msg == msg ? 1 : 0;
        }
        return n;
    }

    std::vector<std::string> Statuses(uint32_t msg) const {
        std::vector<std::string> texts;
        for (const auto& m : Messages) {
            if (m.Msg == msg) {
                texts.push_back(m.Status);
            }
        }
        return texts;
    }

    TQueueDispatcher Dispatcher;
    std::vector<TMessage> Messages;
    // Called for each message after it was recorded (on the test's thread).
    std::function<void(uint32_t)> OnMessage;

private:
    void Receive(uint32_t msg, intptr_t w, intptr_t l) {
        Messages.push_back({msg, w, l, GetSyncStatusText()});
        if (OnMessage) {
            OnMessage(msg);
        }
    }

    ScopedMainThreadDispatcher scope_;
    TCallbackNotifyTarget target_;
};

using testsupport::Dos;

// An item of the tree as the sync hands it to an endpoint.
inline TFileAttri Item(const std::string& relPath, const std::string& name, int64_t size = 0,
                       int32_t time = Dos(2020, 1, 2, 3, 4, 6)) {
    TFileAttri attr;
    attr.RelPath = relPath;
    attr.Name = name;
    attr.Size = size;
    attr.Time = time;
    return attr;
}

inline void SetModifyTime(const std::string& path, time_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline time_t ModifyTime(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtime;
}

inline void MakeDir(const std::string& path) {
    std::filesystem::create_directories(path);
}

// Every test works in its own folder, with the time zone, the program folder
// (where the error log goes) and the XDG folders pointing at temporary places.
class EndpointTest : public ::testing::Test {
protected:
    EndpointTest()
        : tz_("TZ", "UTC"), dataHome_("XDG_DATA_HOME", Home / "data"),
          configHome_("XDG_CONFIG_HOME", Home / "config"), cacheHome_("XDG_CACHE_HOME", Home / "cache") {
        SetProgramFolder(Home.path() + "/");
        Root = Dir.path();
        Source.DeviceType = dtLocal;
        Source.FolerAllName = Root;
    }
    ~EndpointTest() override { SetProgramFolder(""); }

    // A local endpoint on Root, not started, sending to Log.
    std::unique_ptr<TWinFileOper> MakeOper(bool withTarget = true) {
        auto oper = std::make_unique<TWinFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = withTarget ? Log.Target() : nullptr;
        return oper;
    }

    std::string ErrorLogText() const { return testsupport::ReadFile(Home / "ErrorInfo.txt"); }

    testsupport::TempDir Home;
    testsupport::TempDir Dir;

private:
    testsupport::ScopedEnv tz_;
    testsupport::ScopedEnv dataHome_;
    testsupport::ScopedEnv configHome_;
    testsupport::ScopedEnv cacheHome_;

protected:
    std::string Root;
    TFolderSource Source;
    TMessageLog Log;
};

using testsupport::ChildNames;
using testsupport::FindChild;

} // namespace endpointtest
