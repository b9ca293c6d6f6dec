#pragma once
// A task over two real local folders, driven as a command-line run drives it:
// the folder check, both scans with the snapshots of the last synchronisation,
// the analysis (unattended), the Changes view, the sync thread. Both sides and
// both snapshots read back as one value type, so a test says what a user sees
// in a line or two, over as many runs as it likes.

#include "TestSupport.h"
#include "endpoints/UTFileOper.h"
#include "engine/UTAnalyzeThread.h"
#include "model/UTResultRows.h"
#include "platform/FileSystem.h"
#include "platform/MainThread.h"
#include "tasks/UTSyncTask.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace pairtest {

using namespace tandemora;

// One item of a side: a folder, or a file with its bytes. Dos and ReadOnly are
// read from disk but are not part of what a user compares.
struct TItem {
    bool Dir = false;
    std::string Bytes;
    int32_t Dos = 0;
    int64_t Size = 0; // of a snapshot entry, which has no bytes
    bool ReadOnly = false;
};
// Keys are relative paths without a leading "/": "A" (a folder or a file), "A/x".
using TTree = std::map<std::string, TItem>;

// Kind and bytes: what a user sees of two items.
bool SameForUser(const TItem& a, const TItem& b);
bool SameForUser(const TTree& a, const TTree& b);
std::string Show(const TTree& tree);

// ---- Files below a folder, with explicit times ------------------------------------

inline void SetTime(const std::string& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}
// Writes a file (keeping it read-only if it was) with the given modification time.
inline void PutFile(const std::string& root, const std::string& rel, const std::string& bytes, time_t when) {
    const std::string path = root + "/" + rel;
    struct stat st;
    const bool readOnly = stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
    testsupport::WriteFile(path, bytes);
    if (readOnly) {
        chmod(path.c_str(), st.st_mode & 07777);
    }
    SetTime(path, when);
}
inline int32_t DosOf(time_t when) {
    return fs::UnixToDosTime(timespec{when, 0});
}
// Everything below root except the work folder.
TTree ReadTree(const std::string& root);
// A snapshot file parsed to the same type (kind, size, DOS time); empty when absent.
TTree ReadSnapshot(const std::string& file);
// Copies a run may leave behind in error: part files, ".tmp" and ".p" names.
std::vector<std::string> Leftovers(const std::string& root);

// What one run showed and did. Keys as in TTree.
struct TRun {
    int32_t Refused = fcOk;                  // the folder check stopped the run before any scan
    bool UsedSnapshots = false;              // the analysis compared against snapshots
    std::map<std::string, int32_t> Proposed; // every result item's code after the analysis
    std::map<std::string, int32_t> Codes;    // the same after the sync (rows' final codes)
    std::vector<std::string> Lines;          // the sync thread's log lines
    // Folders (full paths) whose deletions on the other side the analysis held
    // back because they look like a disk that is not mounted; "L" or "R" for a
    // whole side.
    std::vector<std::string> HeldBack;
    int Ops = 0;
    bool Stopped = false; // stopped as a killed run (see TPairFolder::StopAfter)
    // Items with a proposal: a code that is neither "same" nor unset.
    std::map<std::string, int32_t> Proposals() const;
    // The code an item ended with; -100 for an item the result does not hold.
    int32_t Code(const std::string& key) const { return Codes.count(key) != 0 ? Codes.at(key) : -100; }
};

class TPairFolder {
public:
    TPairFolder();
    ~TPairFolder();
    TPairFolder(const TPairFolder&) = delete;
    TPairFolder& operator=(const TPairFolder&) = delete;

    TSyncTask& Task() { return task_; }
    // The folder of a side (0 left, 1 right), and another folder of that side's own.
    // A side on a server is read and edited in the server's folder on disk.
    std::string Root(int side) const {
        return !disk_[side].empty() ? disk_[side]
               : side == 0          ? task_.LFolder.FolerAllName
                                    : task_.RFolder.FolerAllName;
    }
    std::string Other(int side) const { return base_ / (side == 0 ? "L2" : "R2"); }
    void UseFolder(int side, const std::string& path) {
        (side == 0 ? task_.LFolder : task_.RFolder).FolerAllName = path;
    }
    // A side whose task folder is a server's folder (already set in the task),
    // and that folder on this machine, whose files the server's user must own.
    void UseServer(int side, const std::string& disk, uid_t uid, gid_t gid) {
        disk_[side] = disk;
        owner_[side] = {uid, gid};
    }
    // Hands what the test wrote in a server's folder to the server's user, as
    // another client of the server would have left it.
    void HandOver() const;
    bool Unattended = true; // the command line and the triggers run unattended
    // A folder of a side (relative to its root) that no scan can list, as one
    // without read rights: every scan and rescan finds it unread until cleared.
    std::string Unread[2];
    // When > 0, the next sync stops after that many operations (copied files,
    // deletions, folders made or removed) as a killed run does: what the run
    // wrote for the next one (snapshots, run stamp) is put back as it was.
    int StopAfter = 0;
    // How long the scans and the sync wait on a server that does not answer.
    int64_t StallLimitMs = ServerStallLimitMs;
    // Hands every folder of the fixture (both sides, the program folder, the
    // data and cache folders) to another user, so that a test can run as that user.
    void GiveTo(uid_t uid, gid_t gid) const;

    // ---- The user's edits ----
    void Put(int side, const std::string& rel, const std::string& bytes, time_t when) {
        PutFile(Root(side), rel, bytes, when);
    }
    void Mkdir(int side, const std::string& rel) { fs::ForceDirectories(Root(side) + "/" + rel); }
    void Remove(int side, const std::string& rel); // a file or a whole folder
    void Rename(int side, const std::string& from, const std::string& to);
    void SetTime(int side, const std::string& rel, time_t when) {
        pairtest::SetTime(Root(side) + "/" + rel, when);
    }
    void ReadOnly(int side, const std::string& rel) { chmod((Root(side) + "/" + rel).c_str(), 0444); }

    // ---- Reading ----
    TTree Read(int side) const { return ReadTree(Root(side)); }
    std::string Bytes(int side, const std::string& rel) const {
        return testsupport::ReadFile(Root(side) + "/" + rel);
    }
    bool Has(int side, const std::string& rel) const { return testsupport::Exists(Root(side) + "/" + rel); }
    std::vector<std::string> Leftovers() const; // of both folders and the program's own places
    TTree Snapshot(int side) const;             // where the task keeps it now
    // Both sides equal as a user sees them, and both snapshots list exactly the
    // items of the sides with their sizes and times.
    testing::AssertionResult InStep() const;

    // ---- Runs ----
    // Scan and analysis only; the result stays shown until the next run.
    TRun Analyze() { return Scan(); }
    // A whole run: analysis, the user's overrides of shown rows (by key), and
    // the sync. beforeSync runs between the two, as a user working meanwhile.
    TRun SyncOnce(const std::map<std::string, int32_t>& overrides = {},
                  const std::function<void()>& beforeSync = {});

private:
    class TFaultOper;
    class TFaultThread;
    TRun Scan();
    std::unique_ptr<TFileOper> NewScan(int side);
    void CopyRunState(bool keep, const std::string& folder) const;
    void ForgetResult();
    std::map<std::string, int32_t> ItemCodes() const;

    std::string disk_[2];
    std::pair<uid_t, gid_t> owner_[2];
    testsupport::TempDir base_;
    testsupport::TempDir program_;
    testsupport::TempDir appData_;
    testsupport::TempDir cache_;
    testsupport::ScopedEnv tz_{"TZ", std::string("UTC")};
    testsupport::ScopedEnv xdgData_{"XDG_DATA_HOME", appData_.path()};
    testsupport::ScopedEnv xdgCache_{"XDG_CACHE_HOME", cache_.path()};
    TQueueDispatcher dispatcher_;
    ScopedMainThreadDispatcher scope_{&dispatcher_};
    TSyncTask task_;
    std::unique_ptr<TFileOper> scans_[2];
    TArenaPtr snapshotArenas_[2];
    TArenaPtr resultArena_;
    TFileTree* result_ = nullptr;
    std::unique_ptr<TAnalyzeThread> analysis_;
    TResultRows rows_;
};

} // namespace pairtest
