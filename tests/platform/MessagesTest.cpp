#include "platform/Messages.h"
#include "platform/Thread.h"

#include "PumpedDispatcher.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

using namespace tandemora;
using testsupport::PumpedDispatcher;
using testsupport::RecordingTarget;

TEST(Messages, ValuesAreTheOnesTheWindowsExchange) {
    struct Case {
        uint32_t value;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {WM_USER, 0x400},       {WM_UPDATEPROCESS, 0x464}, {WM_SYNC, 0x465},        {WM_LTOR, 0x4C8},
        {WM_INCLUDED, 0x4C9},   {WM_EXCLUDED, 0x4CA},      {WM_DELETE, 0x4CB},      {WM_CONFLICT, 0x4CC},
        {WM_NEW, 0x4CD},        {WM_RTOL, 0x4CE},          {WM_OVERWRITE, 0x4CF},   {WM_ERROR, 0x4D0},
        {WM_ALL, 0x4D1},        {WM_MODIFY, 0x4D2},        {WM_SHOWLOG, 0x4E6},     {WM_TASKFINISHED, 0x4E8},
        {WM_ANAL_SYNC, 0x4E9},  {WM_JOB_OPTION, 0x4EA},    {WM_ANAL_JOB, 0x4EB},    {WM_NOT_COPY, 0x4EC},
        {WM_MOVE_LTOR, 0x4ED},  {WM_MOVE_RTOL, 0x4EE},     {WM_TASKRENAMED, 0x4F0}, {WM_COPYPROCESS, 0x52C},
        {WM_TRAYNOTIFY, 0x5F4}, {WM_LBUTTONDOWN, 0x201},   {WM_RBUTTONDOWN, 0x204},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].expected, cases[i].value) << "row " << i;
    }
}

TEST(Messages, ASendOnTheOwnerThreadIsHandledBeforeItReturns) {
    PumpedDispatcher main;
    RecordingTarget window;
    EXPECT_TRUE(SendNotifyMessage(&window, WM_TASKFINISHED, 0, 10));
    ASSERT_EQ(1u, window.Count());
    EXPECT_EQ(0u, main.PendingCount());
    const auto got = window.Received()[0];
    EXPECT_EQ(WM_TASKFINISHED, got.Msg);
    EXPECT_EQ(0, got.WParam);
    EXPECT_EQ(10, got.LParam);
    EXPECT_EQ(std::this_thread::get_id(), got.HandledOn);
}

TEST(Messages, ANullTargetReceivesNothing) {
    PumpedDispatcher main;
    EXPECT_FALSE(SendNotifyMessage(nullptr, WM_UPDATEPROCESS, 0, 10));
    EXPECT_EQ(0u, main.PendingCount());
}

TEST(Messages, SendsFromAWorkerAreQueuedInOrderAndNeverWait) {
    PumpedDispatcher main;
    RecordingTarget window;
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
