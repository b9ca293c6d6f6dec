#pragma once
// A task on two real temporary folders, run the way a task window runs it: both
// sides scanned (with the snapshots of the last synchronisation), analysed, shown
// through a result view, then synchronised by the sync thread while the test's
// thread plays the main thread. Everything the run leaves is kept for the checks:
// log lines, rows, error log, snapshots.

#include "PairFolder.h"
#include "TestSupport.h"
#include "endpoints/UTWinFileOper.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTTandemoraThread.h"
#include "model/UTResultRows.h"
#include "platform/FileSystem.h"
#include "platform/MainThread.h"
#include "platform/Messages.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSyncTask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace synctest {

using namespace tandemora;

// Whole even seconds in 2023 (UTC), so DOS times keep them exactly.
constexpr time_t kOld = 1700000000;
constexpr time_t kNew = 1700003600;
constexpr time_t kNewer = 1700007200;

// A sync thread cancelled while its first copy is being written, as the
// window's cancel may come at any moment: that item still ends, no other starts.
// Copies written on threads of their own beside the walk may begin in any
// order: every one but the first begins only after the cancel here.
class TCancelledThread : public TTandemoraThread {
public:
    using TTandemoraThread::TTandemoraThread;
    ~TCancelledThread() override {
        Terminate();
        WaitFor();
    }

protected:
    std::unique_ptr<TFileOper> CreateOper(const TFolderSource&) override {
        return std::make_unique<TOper>(this);
    }

private:
    void Cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        Terminate();
        changed_.notify_all();
    }
    void AwaitCancel() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return Terminated(); });
    }

    class TOper : public TWinFileOper {
    public:
        explicit TOper(TCancelledThread* thread) : TWinFileOper(false), thread_(thread) {
            CopyObserver = [thread](TCopyStage stage, const std::string& target) {
                if (stage == csBegin && target != thread->first_) {
                    thread->AwaitCancel();
                }
            };
        }
        int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                    int Reserved) override {
            if (thread_->first_.empty()) {
                BuildFullPath(Source, Attr, thread_->first_);
            }
            return TWinFileOper::PutFile(LocalPath, Source, Attr, Reserved);
        }

    protected:
        void ChunkWritten(int64_t) override { thread_->Cancel(); }

    private:
        TCancelledThread* thread_;
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string first_; // the target of the walk's first copy
};

class SyncFixture : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramFolder(program.path());
        UseFolders(base);
        task.SyncName = "Docs";
        task.SyncID = "Docs123";
        task.LFolder.DeviceType = dtLocal;
        task.RFolder.DeviceType = dtLocal;
        task.IsDeleteFile = 1;
    }
    // Points the task at a fresh pair of folders inside dir.
    void UseFolders(const testsupport::TempDir& dir) {
        L = dir / "L";
        R = dir / "R";
        ASSERT_TRUE(fs::ForceDirectories(L));
        ASSERT_TRUE(fs::ForceDirectories(R));
        task.LFolder.FolerAllName = L;
        task.RFolder.FolerAllName = R;
    }
    void TearDown() override {
        rows.InitView(""); // the rows point into the result; drop them first
        SetProgramFolder("");
    }

    // Writes a file below a side's folder with a given modification time.
    static void Put(const std::string& root, const std::string& rel, const std::string& bytes, time_t when) {
        pairtest::PutFile(root, rel, bytes, when);
    }
    static void SetTime(const std::string& path, time_t when) { pairtest::SetTime(path, when); }
    static std::string Read(const std::string& root, const std::string& rel) {
        return testsupport::ReadFile(root + "/" + rel);
    }
    static bool Has(const std::string& root, const std::string& rel) {
        return testsupport::Exists(root + "/" + rel);
    }
    static int32_t DosOf(time_t when) { return fs::UnixToDosTime(timespec{when, 0}); }
    // The names in a folder, sorted: what a run left there, part files included.
    static std::vector<std::string> Names(const std::string& folder) {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Scans both sides as the task window does, analyses and shows the view kind.
    void Analyze(int32_t kind = vkChanged) {
        rows.InitView(task.SyncName);
        leftScan = MakeScanner(task.LFolder);
        rightScan = MakeScanner(task.RFolder);
        const int32_t place = task.SnapshotPlace();
        if (place == spLeftLocal || place == spBothLocal) {
            task.LoadSnapshot(leftScan->Snapshot, 0);
        }
        if (place == spRightLocal || place == spBothLocal) {
            task.LoadSnapshot(rightScan->Snapshot, 1);
        }
        analysis.reset();
        result = NewTree(resultArena);
        analysis = std::make_unique<TAnalyzeThread>(&task, leftScan->Tree, rightScan->Tree, result,
                                                    leftScan->Snapshot, rightScan->Snapshot);
        analysis->Execute();
        rows.SetResultTree(result);
        ASSERT_TRUE(rows.ShowView(kind));
    }

    // Runs the sync thread to its end (the test's thread runs its main-thread
    // calls meanwhile) and keeps what it reported.
    void Sync(TTandemoraThread* thread = nullptr) {
        if (thread == nullptr) {
            // A thread of a test's own keeps its endpoint objects' faults in
            // a scan after the sync.
            thread = new TTandemoraThread(&rows, &task);
            thread->Scanned[0] = leftScan.get();
            thread->Scanned[1] = rightScan.get();
        }
        current = thread;
        lines.clear();
        thread->SetFreeOnTerminate(false);
        thread->NotifyWnd = &window;
        thread->LogMemo = [this](const std::string& line) { lines.push_back(line); };
        EXPECT_TRUE(rows.SyncRunning());
        thread->Start();
        thread->WaitFor();
        dispatcher.ProcessPending();
        opCount = thread->OpCount.load();
        fatal = thread->FatalExceptionMessage();
        current = nullptr;
        delete thread;
        EXPECT_FALSE(rows.SyncRunning());
    }

    // Analysis and sync in one, as "analyse and synchronise" does.
    void AnalyzeAndSync(int32_t kind = vkChanged) {
        Analyze(kind);
        Sync();
    }

    TResultRow* Row(const std::string& key) const {
        TResultRow* found = nullptr;
        rows.ForEachRow([&](TResultRow* row) {
            if (row != rows.RootRow() && row->Path + row->Name == key) {
                found = row;
            }
        });
        return found;
    }
    int32_t Code(const std::string& key) const {
        const TResultRow* row = Row(key);
        return row == nullptr ? -100 : row->Action.load();
    }
    // The result root's new + overwrite + delete counts, what enables Sync.
    int Changes() const { return result->NewFlag + result->OverwriteFlag + result->DeleteFlag; }

    std::string ErrorLog() const { return testsupport::ReadFile(program / "ErrorInfo.txt"); }
    std::string WorkSnapshot(const std::string& root) const { return root + "/__Tandemora__/" + task.SyncID; }
    std::string LocalSnapshot(int32_t side) const { return task.LocalSnapshotPath(side); }

    // The items of a snapshot file as "rel/name" ("sub/" for folders), in file order;
    // the root name first.
    static std::vector<std::string> SnapshotItems(const std::string& file) {
        std::vector<std::string> items;
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            return items;
        }
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        root->LoadFromStream(in);
        items.push_back(root->Name);
        Collect(root, items);
        return items;
    }

    std::string CopyLine(const std::string& from, const std::string& to, const std::string& rel) const {
        return "Copy:" + from + "/" + rel + " -> " + to + "/" + rel;
    }

    testsupport::TempDir base;
    testsupport::TempDir program;
    testsupport::TempDir appData;
    testsupport::TempDir cache;
    testsupport::ScopedEnv tz{"TZ", std::string("UTC")};
    testsupport::ScopedEnv xdgData{"XDG_DATA_HOME", appData.path()};
    testsupport::ScopedEnv xdgCache{"XDG_CACHE_HOME", cache.path()};
    TQueueDispatcher dispatcher;
    ScopedMainThreadDispatcher scope{&dispatcher};
    TCallbackNotifyTarget window{[](uint32_t, intptr_t, intptr_t) {}, &dispatcher};

    std::string L;
    std::string R;
    TSyncTask task;
    std::unique_ptr<TFileOper> leftScan;
    std::unique_ptr<TFileOper> rightScan;
    TArenaPtr resultArena;
    TFileTree* result = nullptr;
    std::unique_ptr<TAnalyzeThread> analysis;
    TResultRows rows;

    TTandemoraThread* current = nullptr;
    std::vector<std::string> lines;
    int32_t opCount = 0;
    std::string fatal;

private:
    std::unique_ptr<TFileOper> MakeScanner(TFolderSource& source) {
        std::unique_ptr<TFileOper> scanner = TSyncTask::CreateOper(source, false);
        scanner->Source = &source;
        scanner->SnapshotName = task.SyncID;
        scanner->PartOwner = task.SyncID;
        scanner->LoadSnapshotFlag = true;
        scanner->ScanTree();
        return scanner;
    }

    static void Collect(const TFileTree* node, std::vector<std::string>& items) {
        for (const TFileTree* child : node->Children) {
            const bool folder = child->Data != nullptr && child->Data->IsFolder != 0;
            const std::string rel = child->Data != nullptr ? child->Data->RelPath.str() : std::string();
            items.push_back(rel.substr(rel.empty() ? 0 : 1) + child->Name + (folder ? "/" : ""));
            Collect(child, items);
        }
    }
};

} // namespace synctest
