#include "platform/Messages.h"
#include "platform/Thread.h"

#include "PumpedDispatcher.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

using namespace tandemora;
using testsupport::PumpedDispatcher;
using testsupport::RecordingTarget;

// A send on the owner thread is handled before it returns; sends from a worker
// are queued in order and never wait.
TEST(Messages, SendsFromAWorkerAreQueuedInOrderAndNeverWait) {
    PumpedDispatcher main;
    RecordingTarget window;
    RecordingTarget own;
    EXPECT_TRUE(SendNotifyMessage(&own, WM_TASKFINISHED, 0, 10));
    EXPECT_EQ(1u, own.Count());
    EXPECT_EQ(0u, main.PendingCount());
    // The main thread does not pump while the worker sends: a send that waited for
    // the window would never finish.
    auto worker = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100; ++i) {
            SendNotifyMessage(&window, i % 2 == 0 ? WM_UPDATEPROCESS : WM_COPYPROCESS, i, 10);
        }
    });
    ASSERT_EQ(std::future_status::ready, worker.wait_for(std::chrono::seconds(60)));
    EXPECT_EQ(0u, window.Count());

    main.ProcessPending();
    const auto got = window.Received();
    ASSERT_EQ(100u, got.size());
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(i % 2 == 0 ? WM_UPDATEPROCESS : WM_COPYPROCESS, got[i].Msg);
        EXPECT_EQ(i, got[i].WParam);
        EXPECT_EQ(10, got[i].LParam);
        EXPECT_EQ(std::this_thread::get_id(), got[i].HandledOn);
    }
}

TEST(Messages, MessagesQueuedForADestroyedTargetAreDropped) {
    PumpedDispatcher main;
    auto window = std::make_unique<RecordingTarget>();
    std::async(std::launch::async, [&] { SendNotifyMessage(window.get(), WM_UPDATEPROCESS, 0, 10); }).get();
    EXPECT_EQ(1u, main.PendingCount());
    window.reset();
    EXPECT_EQ(1u, main.ProcessPending()); // runs, finds the target gone, does nothing
}

namespace {

// A scanner in miniature: one progress message per item, then its end handler.
class TProgressThread : public TThread {
public:
    TProgressThread(NotifyTarget* target, int items) : target_(target), items_(items) {}
    ~TProgressThread() override {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override {
        for (int i = 0; i < items_ && !Terminated(); ++i) {
            SendNotifyMessage(target_, WM_UPDATEPROCESS, 0, 10);
        }
    }

private:
    NotifyTarget* target_;
    int items_;
};

} // namespace

TEST(Messages, AWorkersProgressArrivesBeforeItsEndHandler) {
    PumpedDispatcher main;
    RecordingTarget window;
    std::size_t countAtEnd = 0;
    bool ended = false;
    TProgressThread scanner(&window, 25);
    scanner.OnTerminate = [&](TThread*) {
        countAtEnd = window.Count();
        ended = true;
    };
    scanner.Start();
    ASSERT_TRUE(main.WaitAndProcess([&] { return ended; }));
    EXPECT_EQ(25u, countAtEnd);
}
