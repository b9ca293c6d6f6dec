#include "platform/Thread.h"

#include "platform/MainThread.h"

namespace tandemora {

namespace {

std::mutex handlerMutex;
ThreadExceptionHandler exceptionHandler;

void ReportException(TThread* thread, std::exception_ptr error) {
    ThreadExceptionHandler handler;
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        handler = exceptionHandler;
    }
    if (handler) {
        try {
            handler(thread, error);
        } catch (...) {
            // A failing error handler has nowhere left to report to.
        }
    }
}

std::string ExceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// A main-thread call that the worker waits for.
struct SyncRequest {
    const std::function<void()>* fn = nullptr; // lives on the waiting worker's stack
    bool done = false;
    std::exception_ptr error;
};

} // namespace

// What the worker and the main thread share. It outlives the TThread object when
// needed: the worker and every queued call hold their own reference.
struct TThread::SyncState {
    std::mutex mutex;
    std::condition_variable changed;
    std::shared_ptr<SyncRequest> pending; // the call the worker waits for, if any
    bool ended = false;                   // the worker will not touch the object again
    bool ownerGone = false;               // the object was destroyed while the worker waited
    bool freeOnTerminate = false;         // copied at Start()
};

namespace {

// Runs the worker's waiting call, if it has not run yet. Main thread only.
void RunPending(std::mutex& mutex, std::condition_variable& changed, std::shared_ptr<SyncRequest>& slot) {
    std::shared_ptr<SyncRequest> request;
    {
        std::lock_guard<std::mutex> lock(mutex);
        request = std::move(slot);
        slot.reset();
    }
    if (!request) {
        return;
    }
    std::exception_ptr error;
    try {
        (*request->fn)();
    } catch (...) {
        error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    request->error = std::move(error);
    request->done = true;
    // The waiting worker keeps the last reference, so the request, and an
    // exception it carries, ends on the worker after it has seen it.
    request.reset();
    changed.notify_all();
}

} // namespace

void SetThreadExceptionHandler(ThreadExceptionHandler handler) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    exceptionHandler = std::move(handler);
}

TThread::TThread() : sync_(std::make_shared<SyncState>()) {}

TThread::~TThread() {
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id() ||
        endHandlerThread_.load() == std::this_thread::get_id()) {
        // Deleted from inside its own end handler: the worker is waiting for that
        // handler to return, so it cannot be joined here. It ends by itself and,
        // told that the object is gone, does not touch it again.
        {
            std::lock_guard<std::mutex> lock(sync_->mutex);
            sync_->ownerGone = true;
        }
        thread_.detach();
        return;
    }
    Terminate();
    WaitFor();
}

void TThread::SetFreeOnTerminate(bool value) {
    if (!started_) {
        freeOnTerminate_ = value;
    }
}

void TThread::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    sync_->freeOnTerminate = freeOnTerminate_;
    if (freeOnTerminate_) {
        // Nothing is stored in the object: it may delete itself before the
        // constructor of std::thread has even returned here.
        std::thread(&TThread::Run, this, sync_).detach();
    } else {
        thread_ = std::thread(&TThread::Run, this, sync_);
    }
}

void TThread::Run(TThread* self, std::shared_ptr<SyncState> state) {
    try {
        self->Execute();
    } catch (...) {
        self->fatalException_ = std::current_exception();
        self->fatalMessage_ = ExceptionText(self->fatalException_);
        ReportException(self, self->fatalException_);
    }
    const std::function<void()> endHandler = [self] { self->RunEndHandler(); };
    try {
        self->Synchronize(endHandler);
    } catch (...) {
        // RunEndHandler reports its own failures; nothing else can raise here.
    }
    // From here on the object may be gone (deleted inside its end handler), so only
    // the shared state is read before touching it.
    bool freeIt = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->ownerGone) {
            self->finished_.store(true);
            freeIt = state->freeOnTerminate;
        }
    }
    if (freeIt) {
        delete self;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->ended = true;
    state->changed.notify_all();
}

void TThread::RunEndHandler() {
    if (!OnTerminate) {
        return;
    }
    // The handler may delete this thread (when it is not FreeOnTerminate), so it
    // runs from a copy, and afterwards only the shared state tells whether the
    // object still exists.
    std::shared_ptr<SyncState> state = sync_;
    const std::function<void(TThread*)> handler = OnTerminate;
    endHandlerThread_.store(std::this_thread::get_id());
    std::exception_ptr error;
    try {
        handler(this);
    } catch (...) {
        error = std::current_exception();
    }
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        gone = state->ownerGone;
    }
    if (!gone) {
        endHandlerThread_.store(std::thread::id());
    }
    if (error) {
        ReportException(gone ? nullptr : this, error);
    }
}

void TThread::Synchronize(const std::function<void()>& fn) {
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    if (dispatcher == nullptr || dispatcher->IsMainThread()) {
        fn();
        return;
    }
    // The object may be deleted while we wait (from inside the end handler), so
    // everything after the wait uses local references only.
    std::shared_ptr<SyncState> state = sync_;
    auto request = std::make_shared<SyncRequest>();
    request->fn = &fn;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->pending = request;
        state->changed.notify_all();
    }
    dispatcher->Post([state] { RunPending(state->mutex, state->changed, state->pending); });
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [&] { return request->done; });
    if (request->error) {
        std::rethrow_exception(request->error);
    }
}

void TThread::WaitFor() {
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
        return;
    }
    if (endHandlerThread_.load() == std::this_thread::get_id()) {
        // Called from the end handler: Execute is over and the worker only waits
        // for this handler, so it must not be joined now.
        return;
    }
    std::shared_ptr<SyncState> state = sync_;
    if (IsMainThread()) {
        // The worker may be waiting for the main thread (a Synchronize call or its
        // end handler); run that here instead of waiting for the queue.
        for (;;) {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->changed.wait(lock, [&] { return state->ended || state->pending != nullptr; });
            if (state->ended) {
                break;
            }
            lock.unlock();
            RunPending(state->mutex, state->changed, state->pending);
        }
    }
    thread_.join();
}

} // namespace tandemora
