#pragma once
// Runs against a server that stops answering, for every server kind: a private
// server (remote/FreezableServer.h) on the right, frozen with SIGSTOP while a
// run goes on, then let go again for the runs after it. What a user sees is
// checked: how long the run took (only against generous bounds), its log lines,
// the files on both sides, and that the next runs settle everything.

#include "engine/SyncTestSupport.h"
#include "remote/FreezableServer.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>

namespace remotetest {

using namespace tandemora;
using synctest::kOld;

// An endpoint of a server kind whose PutFile calls BeforePut first.
template <class TKind> class TFreezeOnPut : public TKind {
public:
    explicit TFreezeOnPut(std::function<void()> BeforePut) : TKind(false), beforePut_(std::move(BeforePut)) {}
    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                int Reserved) override {
        beforePut_();
        return TKind::PutFile(LocalPath, Source, Attr, Reserved);
    }

private:
    std::function<void()> beforePut_;
};

// A sync thread whose endpoint objects come from Make.
class TMadeOpersThread : public TTandemoraThread {
public:
    using TMake = std::function<std::unique_ptr<TFileOper>(const TFolderSource&)>;
    TMadeOpersThread(TResultRows* View, TSyncTask* Task, TMake Make)
        : TTandemoraThread(View, Task), make_(std::move(Make)) {}

protected:
    std::unique_ptr<TFileOper> CreateOper(const TFolderSource& Source) override { return make_(Source); }

private:
    TMake make_;
};

class StallSyncTest : public synctest::SyncFixture {
protected:
    explicit StallSyncTest(const std::string& Kind) : server(Kind) {}

    // Points task.RFolder at an empty folder on the started server and S at
    // that folder on this machine.
    virtual void UseServer(const std::map<std::string, std::string>& Env) = 0;
    // Hands a file put below S to the server's user.
    virtual void Give(const std::string& Path) = 0;
    // The right side's endpoint, calling BeforePut at the start of each PutFile.
    virtual std::unique_ptr<TFileOper> FreezingOper(std::function<void()> BeforePut) = 0;
    // Waits until the server, let go again, answers (as a user starts the next
    // run once the server is back).
    virtual void AwaitServer() {}

    void SetUp() override {
        SyncFixture::SetUp();
        if (!server.Start()) {
            GTEST_SKIP() << "the private server did not start";
        }
        UseServer(server.Env());
    }

    void ServerPut(const std::string& rel, const std::string& bytes) {
        Put(S, rel, bytes, kOld);
        Give(S + "/" + rel);
    }

    // Five files on the left, one on the server: six copies to make.
    void PutBothSides() {
        for (int i = 0; i < 5; ++i) {
            Put(L, "f" + std::to_string(i) + ".txt", "file " + std::to_string(i), kOld);
        }
        ServerPut("s.txt", "the server's file");
    }

    // Runs 2 and 3, with the server answering again: everything arrives, and
    // then nothing is left to do.
    void NextRunsSettle() {
        AwaitServer();
        Analyze();
        ASSERT_TRUE(rightScan->ScanComplete())
            << "root missing " << rightScan->RootMissing << ", " << rightScan->LastErrorText << "\n"
            << ErrorLog();
        EXPECT_EQ(Changes(), 6);
        Sync();
        EXPECT_EQ(remotetest::ErrorLines(lines), std::vector<std::string>{});
        for (int i = 0; i < 5; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            EXPECT_EQ(Read(S, name), "file " + std::to_string(i)) << name;
            EXPECT_EQ(Read(L, name), "file " + std::to_string(i)) << name;
        }
        EXPECT_EQ(Read(L, "s.txt"), "the server's file");
        EXPECT_EQ(Read(S, "s.txt"), "the server's file");
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    static double Seconds(std::chrono::steady_clock::duration d) {
        return std::chrono::duration<double>(d).count();
    }

    // A server that stops answering between the analysis and the sync: the run
    // gives up after a few items with a line that says why, touches nothing,
    // and the runs after it settle everything.
    void FrozenServerStopsTheRun() {
        PutBothSides();
        Analyze();
        ASSERT_EQ(Changes(), 6);
        ASSERT_TRUE(server.Freeze());
        auto* thread = new TTandemoraThread(&rows, &task);
        thread->StallLimitMs = 1000;
        const auto start = std::chrono::steady_clock::now();
        Sync(thread);
        const double took = Seconds(std::chrono::steady_clock::now() - start);
        ASSERT_TRUE(server.Thaw());
        // Each wait gives up after a second; without a bound it took minutes.
        EXPECT_LT(took, 60.0);
        // How many items in a row stop a run is UnansweredStopTest's; here only
        // that this kind's endpoint tells a frozen server as one not answering.
        const bool stopped = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("Sync stopped: the server is not answering", 0) == 0;
        });
        EXPECT_TRUE(stopped) << ::testing::PrintToString(lines);
        // Nothing lost, nothing half there.
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(Read(L, "f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
        }
        EXPECT_EQ(Read(S, "s.txt"), "the server's file");
        EXPECT_EQ(remotetest::Leftovers(L), std::vector<std::string>{});
        NextRunsSettle();
    }

    // The server freezes as the first upload starts, and the user cancels:
    // the run ends well before the stall limit (the wait is broken off), and
    // the runs after it settle everything.
    void CancelBreaksOffTheTransfer(int64_t StallLimitMs, double Bound) {
        PutBothSides();
        Analyze();
        ASSERT_EQ(Changes(), 6);
        std::promise<void> putStarted;
        bool frozen = false;
        auto freeze = [&] {
            if (!frozen) {
                frozen = true;
                server.Freeze();
                putStarted.set_value();
            }
        };
        TSyncTask* t = &task;
        auto* thread = new TMadeOpersThread(&rows, &task, [&, t](const TFolderSource& source) {
            return &source == &t->RFolder ? FreezingOper(freeze) : TSyncTask::CreateOper(source, false);
        });
        thread->StallLimitMs = StallLimitMs;
        thread->SetFreeOnTerminate(false);
        thread->NotifyWnd = &window;
        lines.clear();
        thread->LogMemo = [this](const std::string& line) { lines.push_back(line); };
        thread->Start();
        const bool started =
            putStarted.get_future().wait_for(std::chrono::seconds(120)) == std::future_status::ready;
        const auto start = std::chrono::steady_clock::now();
        thread->Terminate();
        thread->WaitFor();
        const double took = Seconds(std::chrono::steady_clock::now() - start);
        dispatcher.ProcessPending();
        delete thread;
        ASSERT_TRUE(server.Thaw());
        ASSERT_TRUE(started) << "no upload started";
        EXPECT_LT(took, Bound);
        EXPECT_FALSE(rows.SyncRunning());
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(Read(L, "f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
        }
        EXPECT_EQ(Read(S, "s.txt"), "the server's file");
        NextRunsSettle();
    }

    TFreezableServer server;
    std::string S; // the server's folder on this machine
};

} // namespace remotetest
