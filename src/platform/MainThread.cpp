#include "platform/MainThread.h"

#include <atomic>
#include <exception>
#include <memory>

namespace tandemora {

namespace {

std::atomic<IMainThreadDispatcher*> currentDispatcher{nullptr};

// One Synchronize call in flight: the worker waits on it, the main thread fills it.
struct PendingCall {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;
};

} // namespace

void SetMainThreadDispatcher(IMainThreadDispatcher* dispatcher) {
    currentDispatcher.store(dispatcher);
}

IMainThreadDispatcher* MainThreadDispatcher() {
    return currentDispatcher.load();
}

bool IsMainThread() {
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    return dispatcher == nullptr || dispatcher->IsMainThread();
}

void Synchronize(const std::function<void()>& fn) {
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    if (dispatcher == nullptr || dispatcher->IsMainThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    // fn lives on the caller's stack until the wait below ends, so the queued call
    // may refer to it.
    const std::function<void()>* target = &fn;
    dispatcher->Post([call, target]() mutable {
        std::exception_ptr error;
        try {
            (*target)();
        } catch (...) {
            error = std::current_exception();
        }
        // The waiting caller keeps the last reference, so the call's state, and an
        // exception it carries, ends on the caller's thread after it has seen it.
        PendingCall& pending = *call;
        std::lock_guard<std::mutex> lock(pending.mutex);
        pending.error = std::move(error);
        pending.finished = true;
        call.reset();
        pending.done.notify_all();
    });
    std::unique_lock<std::mutex> lock(call->mutex);
    call->done.wait(lock, [&] { return call->finished; });
    if (call->error) {
        std::rethrow_exception(call->error);
    }
}

ScopedMainThreadDispatcher::ScopedMainThreadDispatcher(IMainThreadDispatcher* dispatcher)
    : previous_(MainThreadDispatcher()) {
    SetMainThreadDispatcher(dispatcher);
}

ScopedMainThreadDispatcher::~ScopedMainThreadDispatcher() {
    SetMainThreadDispatcher(previous_);
}

TQueueDispatcher::TQueueDispatcher() : mainThread_(std::this_thread::get_id()) {}

void TQueueDispatcher::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(fn));
    posted_.notify_all();
}

bool TQueueDispatcher::IsMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

// Takes the first queued call and runs it with the lock released, so that the call
// may post again. Returns false when the queue was empty.
bool TQueueDispatcher::RunOne(std::unique_lock<std::mutex>& lock) {
    if (queue_.empty()) {
        return false;
    }
    std::function<void()> fn = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    fn();
    lock.lock();
    return true;
}

std::size_t TQueueDispatcher::ProcessPending() {
    std::size_t count = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (RunOne(lock)) {
        ++count;
    }
    return count;
}

bool TQueueDispatcher::WaitAndProcess(const std::function<bool()>& predicate,
                                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        lock.unlock();
        if (predicate()) {
            return true;
        }
        lock.lock();
        if (RunOne(lock)) {
            continue;
        }
        // Nothing queued: wait for a post. The predicate may also turn true through
        // another thread's work, so look again at least every few milliseconds.
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return predicate();
        }
        posted_.wait_for(lock, std::chrono::milliseconds(5), [&] { return !queue_.empty(); });
    }
}

std::size_t TQueueDispatcher::PendingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

} // namespace tandemora
