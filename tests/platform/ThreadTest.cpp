#include "platform/Thread.h"
#include "platform/MainThread.h"

#include "PumpedDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tandemora;
using testsupport::PumpedDispatcher;

namespace {

// A worker whose job is a function, so each test states what the thread does.
class TLambdaThread : public TThread {
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> job, std::atomic<int>* destroyed = nullptr)
        : job_(std::move(job)), destroyed_(destroyed) {}
    ~TLambdaThread() override {
        Terminate();
        WaitFor();
        if (destroyed_ != nullptr) {
            ++*destroyed_;
        }
    }
    using TThread::Synchronize;

protected:
    void Execute() override { job_(*this); }

private:
    std::function<void(TLambdaThread&)> job_;
    std::atomic<int>* destroyed_;
};

// Collects what escapes threads for the length of a test and removes the hook after.
class CaughtExceptions {
public:
    CaughtExceptions() {
        SetThreadExceptionHandler([this](TThread*, std::exception_ptr error) {
            std::string text;
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                text = e.what();
            } catch (...) {
                text = "?";
            }
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
        });
    }
    ~CaughtExceptions() { SetThreadExceptionHandler(nullptr); }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

} // namespace

// No pumping: WaitFor on the main thread runs the end handler itself instead of
// waiting for a queue nobody pumps.
TEST(Thread, TheWorkerSeesTheTerminateRequestAndWaitForRunsTheEndHandler) {
    PumpedDispatcher main;
    std::atomic<bool> running{false};
    bool handlerRan = false;
    TLambdaThread thread([&](TLambdaThread& self) {
        while (!self.Terminated()) {
            running = true;
            std::this_thread::yield();
        }
    });
    thread.OnTerminate = [&](TThread*) { handlerRan = true; };
    thread.Start();
    ASSERT_TRUE(main.WaitAndProcess([&] { return running.load(); }));
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    EXPECT_TRUE(handlerRan);
}

TEST(Thread, ExceptionsEscapingExecuteAreKeptAndReported) {
    struct Case {
        const char* what;
        std::function<void()> raise;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"std exception", [] { throw std::runtime_error("disk gone"); }, "disk gone"},
        {"foreign value", [] { throw 42; }, "unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PumpedDispatcher main;
        CaughtExceptions caught;
        std::string seenInHandler;
        bool handlerRan = false;

        TLambdaThread thread([&](TLambdaThread&) { c.raise(); });
        thread.OnTerminate = [&](TThread* t) {
            handlerRan = true;
            seenInHandler = t->FatalExceptionMessage();
        };
        thread.Start();
        ASSERT_TRUE(main.WaitAndProcess([&] { return handlerRan; }));
        thread.WaitFor();

        EXPECT_EQ(c.message, seenInHandler);
        EXPECT_TRUE(thread.FatalException() != nullptr);
        ASSERT_EQ(1u, caught.Texts().size());
        EXPECT_EQ(c.message == "unknown exception" ? "?" : c.message, caught.Texts()[0]);
    }
}

TEST(Thread, AnExceptionInTheEndHandlerIsReportedAndTheThreadStillEnds) {
    PumpedDispatcher main;
    CaughtExceptions caught;
    TLambdaThread thread([](TLambdaThread&) {});
    thread.OnTerminate = [](TThread*) { throw std::runtime_error("handler failed"); };
    thread.Start();
    ASSERT_TRUE(main.WaitAndProcess([&] { return thread.Finished(); }));
    thread.WaitFor();
    EXPECT_EQ(std::vector<std::string>{"handler failed"}, caught.Texts());
    EXPECT_TRUE(thread.FatalException() == nullptr);
}

TEST(Thread, SynchronizeRunsOnTheMainThreadWaitsAndPassesExceptionsBack) {
    PumpedDispatcher main;
    std::thread::id ranOn;
    int valueSeenByWorker = 0;
    std::string errorSeenByWorker;
    bool handlerRan = false;

    TLambdaThread thread([&](TLambdaThread& self) {
        int value = 0;
        self.Synchronize([&] {
            ranOn = std::this_thread::get_id();
            value = 7;
        });
        valueSeenByWorker = value; // set before Synchronize returned
        try {
            self.Synchronize([] { throw std::runtime_error("refused"); });
        } catch (const std::exception& e) {
            errorSeenByWorker = e.what();
        }
    });
    thread.OnTerminate = [&](TThread*) { handlerRan = true; };
    thread.Start();
    ASSERT_TRUE(main.WaitAndProcess([&] { return handlerRan; }));
    thread.WaitFor();

    EXPECT_EQ(std::this_thread::get_id(), ranOn);
    EXPECT_EQ(7, valueSeenByWorker);
    EXPECT_EQ("refused", errorSeenByWorker);
}

namespace {
std::atomic<bool> spinnerEnded{false};

// Touches nothing of its own, so the base class alone may stop it on destruction.
class TSpinThread : public TThread {
protected:
    void Execute() override {
        while (!Terminated()) {
            Synchronize([] {});
        }
        spinnerEnded = true;
    }
};
} // namespace

TEST(Thread, TheBaseDestructorStopsAThreadThatStillRuns) {
    PumpedDispatcher main;
    spinnerEnded = false;
    auto* thread = new TSpinThread;
    thread->Start();
    ASSERT_TRUE(main.WaitAndProcess([&] { return main.PendingCount() > 0 || spinnerEnded; }));
    delete thread;
    EXPECT_TRUE(spinnerEnded);
}

TEST(Thread, AnEndHandlerMayDeleteItsOwnThread) {
    PumpedDispatcher main;
    std::atomic<int> destroyed{0};
    auto* thread = new TLambdaThread([](TLambdaThread&) {}, &destroyed);
    thread->OnTerminate = [](TThread* t) { delete t; };
    thread->Start();
    ASSERT_TRUE(main.WaitAndProcess([&] { return destroyed.load() == 1; }));
}

TEST(Thread, ASynchronizeFromAPlainThreadWaitsForThePump) {
    PumpedDispatcher main;
    std::thread::id ranOn;
    auto worker =
        std::async(std::launch::async, [&] { Synchronize([&] { ranOn = std::this_thread::get_id(); }); });
    ASSERT_TRUE(main.WaitAndProcess(
        [&] { return worker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    worker.get();
    EXPECT_EQ(std::this_thread::get_id(), ranOn);
}
