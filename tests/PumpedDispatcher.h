#pragma once
// A main thread for tests: installs a queue dispatcher as the program's main-thread
// dispatcher for the lifetime of the object. The test's own thread is the main
// thread; end handlers, Synchronize calls and queued notify messages run when the
// test pumps (ProcessPending, WaitAndProcess).
//
// RecordingTarget is a NotifyTarget that keeps every message it receives, with
// the thread it was handled on.

#include "platform/MainThread.h"
#include "platform/Messages.h"

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class PumpedDispatcher {
public:
    PumpedDispatcher() : scope_(&queue_) {}

    std::size_t ProcessPending() { return queue_.ProcessPending(); }
    template <typename Predicate> bool WaitAndProcess(Predicate predicate) {
        return queue_.WaitAndProcess(predicate);
    }
    std::size_t PendingCount() const { return queue_.PendingCount(); }
    tandemora::TQueueDispatcher& Queue() { return queue_; }

private:
    tandemora::TQueueDispatcher queue_;
    tandemora::ScopedMainThreadDispatcher scope_;
};

struct ReceivedMessage {
    uint32_t Msg;
    intptr_t WParam;
    intptr_t LParam;
    std::thread::id HandledOn;
};

class RecordingTarget : public tandemora::TCallbackNotifyTarget {
public:
    RecordingTarget()
        : TCallbackNotifyTarget([this](uint32_t msg, intptr_t wParam, intptr_t lParam) {
              std::lock_guard<std::mutex> lock(mutex_);
              received_.push_back({msg, wParam, lParam, std::this_thread::get_id()});
          }) {}

    std::vector<ReceivedMessage> Received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<ReceivedMessage> received_;
};

} // namespace testsupport
