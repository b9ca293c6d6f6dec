#pragma once
// The main thread runs every window and every end handler of a worker thread.
// Workers reach it only through a dispatcher: the Qt program installs one that
// queues calls on the GUI thread, tests install a TQueueDispatcher that they pump.
// Nothing here knows about Qt.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tandemora {

class IMainThreadDispatcher {
public:
    virtual ~IMainThreadDispatcher() = default;
    // Runs fn later on the main thread; callable from any thread, never waits for fn.
    virtual void Post(std::function<void()> fn) = 0;
    // True when called on the main thread.
    virtual bool IsMainThread() const = 0;
};

// The program-wide dispatcher; null until the program (or a test) installs one.
// The installer keeps the object alive until it installs null again.
void SetMainThreadDispatcher(IMainThreadDispatcher* dispatcher);
IMainThreadDispatcher* MainThreadDispatcher();

// True on the main thread, and on every thread while no dispatcher is installed
// (a program without a main-thread loop runs everything where it is called).
bool IsMainThread();

// Runs fn on the main thread and waits until it has run. On the main thread, or with
// no dispatcher installed, fn runs at once on the calling thread, so a call from the
// main thread never waits for itself. An exception from fn is passed back to the caller.
// A worker must not use this while the main thread blocks waiting for that worker
// (TThread::WaitFor avoids that trap for its own thread's calls).
void Synchronize(const std::function<void()>& fn);

// Installs a dispatcher for the lifetime of this object and puts the previous one back.
class ScopedMainThreadDispatcher {
public:
    explicit ScopedMainThreadDispatcher(IMainThreadDispatcher* dispatcher);
    ~ScopedMainThreadDispatcher();
    ScopedMainThreadDispatcher(const ScopedMainThreadDispatcher&) = delete;
    ScopedMainThreadDispatcher& operator=(const ScopedMainThreadDispatcher&) = delete;

private:
    IMainThreadDispatcher* previous_;
};

// A dispatcher with a plain queue, for tests and for programs without a GUI loop.
// The thread that constructs it is its main thread; that thread pumps the queue.
class TQueueDispatcher : public IMainThreadDispatcher {
public:
    TQueueDispatcher();
    void Post(std::function<void()> fn) override;
    bool IsMainThread() const override;

    // Runs every queued call, also those queued by the calls it runs, until the queue
    // is empty. Returns how many ran. Main thread only.
    std::size_t ProcessPending();

    // Runs queued calls as they arrive until predicate() is true (tested before
    // waiting and after each call) or the timeout has passed. Returns predicate().
    // The timeout only keeps a broken test from hanging. Main thread only.
    bool WaitAndProcess(const std::function<bool()>& predicate,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Number of calls waiting to run.
    std::size_t PendingCount() const;

private:
    bool RunOne(std::unique_lock<std::mutex>& lock);

    std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> queue_;
};

} // namespace tandemora
