#pragma once
// A worker thread in the shape the engine relies on: created without running,
// wired by its creator, then started; cancelled by a terminate request that the
// worker tests between items; its end handler runs on the main thread once
// Execute has returned; optionally it deletes itself after that.
//
// Life of a TThread:
//   constructor (not running) -> wiring (SetFreeOnTerminate, OnTerminate, fields)
//   -> Start() -> Execute() on the worker -> end handler on the main thread
//   (the worker waits for it) -> Finished() -> delete itself when FreeOnTerminate.
//
// The end handler runs through the main-thread dispatcher (MainThread.h); with no
// dispatcher installed it runs on the worker itself.

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tandemora {

class TThread {
public:
    TThread();
    // A thread that was started and still runs is asked to terminate and joined
    // (from the main thread its pending main-thread calls are run meanwhile).
    // This happens in the base destructor, after a derived class's members are
    // gone: a derived class whose Execute uses its own members must call
    // Terminate() and WaitFor() in its own destructor. Never delete a started
    // FreeOnTerminate thread; it deletes itself.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the worker; later calls do nothing. After Start() a FreeOnTerminate
    // thread may be deleted at any moment after its end handler: the creator keeps
    // no pointer to it beyond what the end handler receives.
    void Start();

    // Sets the terminate request; Execute tests Terminated() and returns early.
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }

    // True once Execute has returned and the end handler has run.
    bool Finished() const { return finished_.load(); }
    bool Started() const { return started_; }

    // Set before Start(); ignored afterwards. A FreeOnTerminate thread deletes
    // itself (on its own worker thread) right after its end handler has run.
    // A FreeOnTerminate thread that was never started is deleted by its creator.
    void SetFreeOnTerminate(bool value);
    bool FreeOnTerminate() const { return freeOnTerminate_; }

    // The end handler, called with this thread on the main thread after Execute.
    // Set before Start(). May read everything the worker produced.
    std::function<void(TThread*)> OnTerminate;

    // Waits until the worker has ended and joins it. On the main thread it runs the
    // worker's pending Synchronize calls and its end handler meanwhile, so a worker
    // that waits for the main thread cannot deadlock it. Must not be called on a
    // FreeOnTerminate thread after Start() (the object may already be gone), nor from
    // the worker itself. Returns at once when the thread never started.
    void WaitFor();

    // The exception that escaped Execute, if any (null otherwise), and its text
    // (what() of a std::exception, "unknown exception" for anything else).
    // Valid once Execute has returned, e.g. in the end handler.
    std::exception_ptr FatalException() const { return fatalException_; }
    const std::string& FatalExceptionMessage() const { return fatalMessage_; }

protected:
    // The worker's job. Test Terminated() between items.
    virtual void Execute() = 0;

    // Runs fn on the main thread and waits for it (at once when already there).
    // An exception from fn is raised again here, on the worker.
    void Synchronize(const std::function<void()>& fn);

private:
    struct SyncState;
    static void Run(TThread* self, std::shared_ptr<SyncState> state);
    void RunEndHandler();

    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::thread::id> endHandlerThread_{}; // the thread running the end handler, if any
    bool started_ = false;
    bool freeOnTerminate_ = false;
    std::thread thread_;
    std::shared_ptr<SyncState> sync_;
    std::exception_ptr fatalException_;
    std::string fatalMessage_;
};

// Receives every exception that escapes a thread's Execute or its end handler,
// called on the thread where it was caught. By default nothing is written; the
// error log installs its handler at start-up. Pass an empty function to restore
// the default. The handler must not throw.
using ThreadExceptionHandler = std::function<void(TThread* thread, std::exception_ptr error)>;
void SetThreadExceptionHandler(ThreadExceptionHandler handler);

} // namespace tandemora
