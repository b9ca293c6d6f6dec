#pragma once
// The synchronisation worker. It walks the rows of a task window's result view,
// carries out each row's action through the endpoint operations (copy, overwrite
// with the previous version kept, copy through a temporary name, delete, make or
// remove a folder), logs one line per operation, marks each row done (18) or
// failed (3), and then rescans both sides and saves their trees as the snapshots
// the next analysis compares against (a run that did nothing only where the
// snapshots of the last synchronisation would not tell the next analysis the
// same; see SaveSnapshots).
//
// Before a file is overwritten or deleted, the target must still be the file the
// analysis saw (and a new file's target must still be absent): the analysis may be
// hours old, and a change made since then is never lost to it. Such a row fails.
// Items a run does not bring in step (failed, skipped, conflicting, filtered, not
// reached before a cancel) keep in the new snapshots what the analysis compared
// with, so the next analysis proposes them again as this one did.

#include "endpoints/UTFileOper.h"
#include "model/UTFileAttri.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tandemora {

class TFileOper;
class TResultRow;
class TResultRows;
class TRowCodes;
class TFileTree;
class TSyncTask;

// What an action code asks of the synchronisation.
enum : int32_t {
    opNone = -1,
    opCopy = 0,
    opDelete = 1,
};

// Items in a row that fail because a server does not answer before the run
// stops trying the rest.
inline constexpr int UnansweredItemsLimit = 3;
// The threads that write small copies between two folders on this machine:
// a few keep a disk busy; more only wait for one another.
inline constexpr size_t LocalCopyWorkers = 4;
// The stall limit of the snapshot rescan after a cancel: the user asked the run
// to end, and a server that answers at all answers a listing far sooner.
inline constexpr int64_t AfterCancelStallLimitMs = 2000;

class TTandemoraThread : public TThread {
public:
    // Created without running and freeing itself at its end. The window then sets
    // NotifyWnd, LogMemo, RowChanged and OnTerminate, and only then calls Start().
    // The rows are marked as walked by a synchronisation from here until the walk
    // has ended (view rebuilds and overrides are refused meanwhile).
    TTandemoraThread(TResultRows* View, TSyncTask* Task);
    ~TTandemoraThread() override;

    std::unique_ptr<TFileOper> LeftOper;
    std::unique_ptr<TFileOper> RightOper;
    std::string LogLine;             // the line being handed to the log panel
    std::atomic<int32_t> OpCount{0}; // item operations attempted
    std::string NotStartedReason;    // why the run touched nothing, when a check refused it
    // Why the snapshots were not saved, when they were not: the run then did
    // not leave the pair as it should, and ends as failed.
    std::string SnapshotsNotSaved;
    TResultRows* View;                 // the rows walked (not owned)
    TSyncTask* Task;                   // not owned
    NotifyTarget* NotifyWnd = nullptr; // receives WM_UPDATEPROCESS per item
    // The endpoint objects whose scans the analysis compared (not owned; they
    // and their trees must outlive the run), or null. A folder on this computer
    // whose scan is given here gets its new snapshot from that scan and from
    // what the run wrote there (TSnapshotDraft), without a second scan.
    const TFileOper* Scanned[2] = {nullptr, nullptr};
    // Set by the window when the analysis behind the rows compared against the
    // pair of snapshots the last synchronisation wrote (the task's stamp named
    // them). Editing the task drops that result, and the task's lock keeps its
    // other runs away, so the pair on disk is still the one compared with: a run
    // that then changes nothing need not load and check it again.
    bool AnalysisCompared = false;
    // The stall limit given to every endpoint object of the run (see
    // TFileOper::StallLimitMs); set before Start(). Tests shorten it.
    int64_t StallLimitMs = ServerStallLimitMs;

    // The log panel: receives every log line, on the main thread.
    std::function<void(const std::string& line)> LogMemo;
    // Repaint request for a row whose code changed, on the main thread.
    std::function<void(TResultRow* row)> RowChanged;
    // Both are called in the order the run produced the lines and changes, in
    // batches; the worker never waits for them, except that every one has been
    // called before the rows are handed back and the end handler runs.

    // The operation and side of an action code: side 0 copies left to right (or
    // deletes on the right), side 1 the reverse. opNone and side -1 for every
    // code that asks for nothing (18, 21 and the codes the sync does not act on).
    static void GetOperation(int32_t Code, int32_t& Operation, int32_t& Side);

protected:
    void Execute() override;

    // The endpoint object for one side; TSyncTask::CreateOper unless a test
    // supplies another kind.
    virtual std::unique_ptr<TFileOper> CreateOper(const TFolderSource& Source);

    void LogRemovedParts(TFileOper* Oper);

    // Hands LogLine to the log panel (see LogMemo).
    void AddLogLine();
    void SyncNodes(TResultRow* Row);
    void SyncRow(TResultRow* Row);
    int SyncItem(TResultRow* Row);
    int SyncFolder(TResultRow* Row);
    void PrepareWorkFolders();
    int SaveSnapshots();
    // Written beside the old file and renamed over it, so a failure leaves the
    // old snapshot whole; the text goes to the file as it is made.
    int SaveLocalSnapshot(const TFileTree* Tree, const std::string& RootName, int32_t Side,
                          std::string& Digest);

private:
    // The items whose rows asked the run to write to the left (0) and the
    // right (1) folder where their own codes did not, whatever came of it.
    std::vector<const TFileTree*> written_[2];
    struct TWindowQueue;
    // What the window is told after the copies waiting for their flush: a
    // line, a changed row, a waiting copy (whose line and row the flush
    // decides), or the end of a folder's walk (whose code its copies decide),
    // in the order the run produced them.
    struct THeld {
        std::string Line;
        TResultRow* Row = nullptr;
        TFileOper* Dst = nullptr; // a waiting copy into this endpoint
        size_t Index = 0;         // its place among that endpoint's copies of its batch
        int32_t Side = -1;
        std::string Name;
        bool FolderEnd = false; // Row is a folder walked to its end
        int32_t FolderCode = 0; // the folder's code when its walk began
    };

    void HandToWindow(const std::string* Line, TResultRow* Row);
    void FlushWindowQueue();
    void CommitCopies();
    void StartBatch();
    void FinishBatch();
    void ReleaseHeld(THeld& Item, const std::vector<TFileOper::TCommitResult>& Left,
                     const std::vector<TFileOper::TCommitResult>& Right);
    void EndFolder(TResultRow* Row, int32_t Code);
    bool CommitDue() const;
    bool CheckEndpoints();
    bool CheckWorkFolders();
    bool CheckDataFolder();
    void Run();
    void SetRowCode(TResultRow* Row, int32_t Code);
    int CopyItem(TResultRow* Row, int32_t Side, TFileAttri& Attr, std::string& Line);
    int DeleteItem(TResultRow* Row, int32_t Side, TFileAttri& Attr, std::string& Line);
    int CopyByRoute(TFileOper* Src, TFileOper* Dst, TFolderSource* SrcSource, TFolderSource* DstSource,
                    TFileAttri& Attr, TFileAttri& WriteAttr, const std::string& SourcePath,
                    int32_t SourceAttrBits);
    std::string ItemLine(int32_t Operation, int32_t Side, TFileAttri Attr);
    std::string NameTrouble(int32_t Operation, int32_t Side, const std::string& Name) const;
    bool ContentsRemoved(const TResultRow* Row, int32_t Code) const;
    static bool NothingArrived(const TResultRow* Row, int32_t Code);
    // The old name of a file whose letter case changed on the source.
    struct TCaseTwin {
        TResultRow* Row = nullptr;       // its row, when it is shown
        const TFileTree* Item = nullptr; // its result item
        std::string Name;
        std::string Path;
        int32_t Date = 0; // of its file on the target
        int64_t Size = 0;
    };
    // The rows of Row's children that were dealt with ahead of the walk: files
    // whose letter case changed, renamed in place on a target that ignores
    // case (the copy, and the deletion of the old name).
    std::set<const TResultRow*> RenameCaseChanges(TResultRow* Row);
    // Folders whose letter case changed, added to Done once dealt with.
    void RenameCaseFolders(TResultRow* Row, std::set<const TResultRow*>& Done);
    void MatchRenamedContents(TResultRow* Copy, TResultRow* Old, int32_t Side);
    const TFileTree* RowFolder(TResultRow* Row) const;
    static bool TargetOnly(const TFileTree* Node, int32_t Side);
    bool FindKeptFolder(TResultRow* Row, TResultRow* Copy, int32_t Side,
                        const std::set<const TFileTree*>& Renamed, TCaseTwin& Twin);
    bool SameKeptContents(TResultRow* Copy, const TFileTree* Old, int32_t Side, bool Apply);
    // Side as GetOperation gives it: 0 when the copy goes to the right.
    bool FindCaseTwin(TResultRow* Row, TResultRow* Copy, int32_t Side,
                      const std::set<const TResultRow*>& Done, const std::set<const TFileTree*>& Renamed,
                      TCaseTwin& Twin);
    void ConnectForCase();
    void TwinPaths(const TResultRow* Copy, const TCaseTwin& Old, int32_t Side, std::string& NewPath,
                   std::string& OldPath, bool Folder = false);
    bool CaseBlindTarget(TResultRow* Copy, const TCaseTwin& Old, int32_t Side);
    int32_t FolderCaseBlind(TResultRow* Copy, const TCaseTwin& Old, int32_t Side);
    int RenameInPlace(TResultRow* Copy, const TCaseTwin& Old, int32_t Side);
    // Whether another row of the same folder names the item in another letter case.
    static bool HasCaseTwin(const TResultRow* Row);
    int KeepFolder(TResultRow* Row);
    bool TargetAsAnalysed(TFileOper* Dst, TFolderSource* DstSource, const std::string& Path, int32_t Date,
                          int64_t Size);
    TFileTree* LoadPrevious(TFileOper* Oper, int32_t Side, bool Local, TArenaPtr& Arena);
    // Both sides' previous snapshots; side by side when both are files on this
    // computer (each is read into a tree and an arena of its own).
    void LoadPreviousPair(TFileOper* Left, TFileOper* Right, const bool Local[2], bool SideBySide,
                          TArenaPtr Arenas[2], TFileTree* Bases[2]);
    TRowCodes RowCodes() const;
    bool SettledAlike(const TRowCodes& Codes) const;
    bool SaveSideSnapshot(TFileOper* Oper, int32_t Side, bool Local, std::string& Digest,
                          const TFileTree* Tree = nullptr, bool Report = true);
    bool SaveSecondSnapshot(TFileOper* Oper, int32_t Side, bool Local, std::string& Digest);
    bool KeepUnread(TFileOper* Oper, const TFileTree* Base, int32_t Side);
    void NoteKnownBytes(TFileTree* Open, const TFileTree* Other, TFileOper* OtherOper, int32_t OtherSide);
    void ReportUnsaved(const std::string& Why);
    void RemoveSnapshotsElsewhere(TFileOper* Left, TFileOper* Right, int32_t Place);
    void Notify(uint32_t Message);
    void FinishWalk();
    std::unique_ptr<TFileOper> NewOper(const TFolderSource& Source, bool AfterCancel);
    bool ConnectBoth();
    void NoteAnswer(int Result);
    void StopUnanswered();

    // Items in a row that failed because a server did not answer; whether the
    // last operation on each side (left, right) found its server silent; and
    // whether the run stopped on that account.
    int unanswered_ = 0;
    bool silent_[2] = {false, false};
    std::atomic<bool> stoppedUnanswered_{false};
    // Copies whose target a case rename left under their name: the date and
    // size the target has now, in place of the row's (which saw no file there).
    std::map<const TResultRow*, std::pair<int32_t, int64_t>> renamedTargets_;
    // Result items this run deleted (files and folders), for the folders above them.
    std::set<const TFileTree*> removed_;
    bool walkMarked_ = false;
    int32_t stagingCount_ = 0;
    // Why the current item's operation failed, as its endpoint said (" (...)").
    std::string failure_;
    // Lines and row changes on their way to the window (shared with the calls
    // posted to the main thread, which may run after this object is gone).
    std::shared_ptr<TWindowQueue> toWindow_;
    std::vector<THeld> held_;
    size_t waiting_ = 0; // copies of the batch being written
    // Copies of the batch being committed (their entries are the first
    // inFlightHeld_ of held_); whether the walk of held entries to the window
    // goes on; whether a copy never began (a cancel came first).
    size_t inFlight_ = 0;
    size_t inFlightHeld_ = 0;
    bool releasing_ = false;
    bool notBegun_ = false;
    std::chrono::steady_clock::time_point firstWaiting_; // when the first of them was written
};

} // namespace tandemora
