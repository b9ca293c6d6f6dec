#pragma once
// One sync task in memory: its name and identity, its two endpoints, direction,
// options, filters and triggers, plus the few flags a run sets while it goes.
//
// The task-list operations (LoadFromXML ... DecodePassword) are implemented in
// TaskList.cpp and the log operations (LogHeader ... SaveLog) in UTTaskLog.cpp;
// they are members here because every caller reaches them through the task.

#include "model/UTFolderSource.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tandemora {

class TFileOper;
class TFileTree;
class TXMLTastType;

// SyncDirection
enum : int32_t {
    sdBothWays = 0,
    sdLeftToRight = 1,
    sdRightToLeft = 2,
};

// ForcedOrVerified: how a one-way task treats the target side.
enum : int32_t {
    fvNone = -1,
    fvForcedCopy = 0,
    fvVerified = 1,
};

// Conflicts: automatic conflict resolution in unattended runs.
enum : int32_t {
    cfDoNotCopy = 0,
    cfNewerFileWins = 1,
};

// SnapshotPlace: where the snapshots of the last synchronisation are kept.
enum : int32_t {
    spInFolders = 0,  // both in the endpoints' work folders
    spLeftLocal = 1,  // left one under the application-data folder, right one in its work folder
    spRightLocal = 2, // right one local, left one in its work folder
    spBothLocal = 3,
};

// CheckFolders
enum : int32_t {
    fcOk = 0,
    fcSameFolder = 1,
    fcNested = 2,
    fcEmptyPath = 3,
};

// A task's SyncID names its files: the task log beside the program, the local
// snapshot files and the snapshot in each work folder (and the names a transfer
// of it uses on the way). An identity from a task file or template is input
// like any other, so before it names a file it must stay inside that file's
// folder: no "/" or "\" (a separator on shares and some servers), no control
// character, no "." or blank at the start (".." and names that trimming would
// change), and room for the longest suffix within a file name. The empty
// identity of a task never saved is allowed; its files are ".log", "L" and "R".
// SyncIDProblem says what is wrong with an identity, empty when nothing is.
bool IsSafeSyncID(const std::string& id);
std::string SyncIDProblem(const std::string& id);
// The longest SyncID: a file name's 255 bytes less the ".log" of the task log.
constexpr size_t kMaxSyncIDBytes = 251;

class TSyncTask {
public:
    TSyncTask() = default;
    // A task owns its endpoints and lists; copying one goes through Assign or CloneAsNew.
    TSyncTask(const TSyncTask&) = delete;
    TSyncTask& operator=(const TSyncTask&) = delete;

    // ---- Stored in the task list ----
    std::string SyncName;
    std::string SyncID; // empty until the task is first saved
    TFolderSource LFolder;
    TFolderSource RFolder;
    int32_t SyncDirection = sdBothWays;
    int32_t ForcedOrVerified = fvForcedCopy;
    int32_t IsDeleteFile = 0;
    int32_t SaveOldFile = 0;
    int32_t UseTempFile = 0;
    int32_t CheckNoChange = 0;
    int32_t EstimateDiskSpace = 0; // 1: keep both snapshots local (see SnapshotPlace)
    std::vector<std::string> IncludeFilter;
    std::vector<std::string> ExcludeFilter;
    int32_t ExcludeEmtpyFolder = 0;
    int32_t ExcludeHiddenFile = 0;
    int32_t ExcludeSystemFile = 0;
    int32_t StartAnalyze = 0;
    int32_t StartSync = 0;
    int32_t ConnectAnalyze = 0;
    int32_t ConnectSync = 0;
    int32_t LogoffAnalyze = 0;
    int32_t LogoffSync = 0;
    int32_t PeriodAnalyze = 0;
    int32_t PeriodSync = 0;
    int32_t Hours = 0;
    int32_t minutes = 0;
    int32_t TSsync = 0;
    int32_t TSanalyze = 0;
    std::string TaskScheduler;
    int32_t Conflicts = cfDoNotCopy;
    int32_t EnsureFolderTags = 0; // 1: a one-way task's source side gets no work folder

    // ---- Run-time state, never stored ----
    bool Running = false;
    std::chrono::system_clock::time_point LastRun{};
    bool Unattended = false;

    // ---- Copies ----
    // Makes this task a copy of source (stored fields only; run-time state stays).
    void Assign(const TSyncTask& source);
    // A new task named "New_" + source's name with identity "New_" + source's
    // SyncID, the same options and patterns, and empty endpoints. Saving it as a
    // new task gives it an identity of its own should that one be taken already.
    static std::unique_ptr<TSyncTask> CloneAsNew(const TSyncTask& source);

    // ---- Small rules ----
    // fcOk .. fcEmptyPath. Folders are compared by path parts, letter case
    // counting: a trailing separator does not make another folder, and
    // /a/photos-backup does not lie inside /a/photos.
    int32_t CheckFolders() const;
    int32_t SnapshotPlace() const; // spInFolders .. spBothLocal
    // A new endpoint for the device type of source, created suspended, or none for
    // a kind without an endpoint class. The source is not attached. With
    // FreeOnTerminate the object frees itself when its thread ends: release() it
    // before starting.
    static std::unique_ptr<TFileOper> CreateOper(const TFolderSource& source, bool FreeOnTerminate);
    // Reads the local snapshot file of one side (0 left, other right) into tree.
    // 0 when read or when there is no such file, 1 when reading failed.
    int32_t LoadSnapshot(TFileTree* tree, int32_t side) const;
    // The local snapshot file of one side. Raises EInOutError for a SyncID that
    // IsSafeSyncID refuses, as LogPath does.
    std::string LocalSnapshotPath(int32_t side) const;
    // The file beside the local snapshots that names the pair of snapshots the
    // last synchronisation wrote: the SyncID and "S" (no task's snapshot file,
    // which ends in "L" or "R", can have its name). Raises as FileID does.
    std::string RunStampPath() const;
    // The file whose lock a run of the task holds from its start to its end, so
    // that no second run (of this program or another) works on the same folders,
    // snapshots and task log meanwhile: the SyncID and ".lock" beside the local
    // snapshots. Raises as FileID does.
    std::string RunLockPath() const;
    // "\\server\share" of a path that starts so; empty otherwise.
    static std::string GetShareRoot(const std::string& path);

    // ---- Task-list file (TaskList.cpp) ----
    // Fills this task from one Tast element; raises EConvertError at the first
    // integer element that is missing, empty or not a whole number, and for a
    // SyncID that IsSafeSyncID refuses (the message names the task).
    void LoadFromXML(TXMLTastType Tast);
    // Writes every stored field into one Tast element, the counterpart of
    // LoadFromXML: children it has are rewritten where they stand, missing ones
    // are added at its end. Raises EConvertError for a password the scrambled
    // form cannot hold.
    void SaveToXML(TXMLTastType Tast) const;
    // The writers below read "tasklist.td" whole, change it and replace it
    // atomically; a failure goes to the error log and leaves the file as it was.
    // IsNew appends a Tast: the task's SyncID, or SyncName + the tick count when it
    // has none, made unique within the file ("_2", "_3", ...) and kept in the task.
    // An identity that would not be safe (a name that starts with ".", holds a
    // control character or is very long) is made from the name with those
    // characters replaced by "_" and cut to fit.
    // Otherwise the task's own (first matching) Tast is rewritten; none, nothing.
    // Both writers answer whether the file was written.
    bool SaveToTaskList(bool IsNew);
    bool DeleteTaskFromList(const std::string& syncID);
    int32_t SaveFolderPath(int32_t side); // 0 saved, -1 not saved
    int32_t SaveLeftFolderPath();
    int32_t SaveRightFolderPath();
    int32_t SaveAsTemplate(const std::string& fileName); // 0 saved, 1 not saved
    static std::string EncodePassword(const std::string& password);
    static std::string DecodePassword(const std::string& stored);

    // ---- Task log (UTTaskLog.cpp) ----
    std::string LogHeader(const std::string& action) const;
    // Notes (the analysis' own red lines, which the panel shows already) follow
    // the header in the task log only; the text returned is the panel's.
    std::string RecordAnalysis(const std::string& timesLine, const std::string& countsLine,
                               const std::string& diskLine, const std::vector<std::string>& notes = {}) const;
    // The record of a run that ended before its work began: the report header
    // for the action, the reason, and "----- Analysis not started -----" (or
    // "Sync"), a sync record followed by an empty line like any other. Appended
    // when SaveLog is 1; a log that cannot be written goes to the error log.
    void RecordNotStarted(const std::string& action, const std::string& reason) const;
    // Appends text + CR LF to the task's log file; raises EInOutError on failure.
    int32_t WriteLog(const std::string& text) const;
    // WriteLog when the program option SaveLog is 1; failures pass to the caller.
    void SaveLog(const std::string& text) const;
    // The task's log file: program folder + SyncID + ".log".
    std::string LogPath() const;
    // The SyncID when it may name a file; raises EInOutError naming the task otherwise.
    const std::string& FileID() const;
};

} // namespace tandemora
