#pragma once
// The endpoint: one side of a sync task (a local folder, a network share, an FTP
// or a WebDAV folder). An endpoint object is at the same time a worker thread:
// running it scans the endpoint into Tree. Objects made for a synchronisation are
// never started; the sync thread calls their operations directly.
//
// Progress towards the windows goes through the program-wide status text
// (SetSyncStatusText) and two notifications sent to NotifyWnd:
//   WM_UPDATEPROCESS (wParam 0, lParam 10): one more step done (a folder listed);
//   WM_COPYPROCESS   (wParam 0, lParam 10): the status text has changed.

#include "model/UTFileAttri.h"
#include "model/UTFileTree.h"
#include "model/UTFolderSource.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tandemora {

// Endpoint result codes shared by every kind; some kinds return further codes.
enum : int32_t {
    erOk = 0,
    erFailed = -1,
    erMissing = 1,
};

// The work folder directly under every endpoint root, and the folder in it that
// keeps the previous versions of replaced or deleted files.
inline constexpr const char* WorkFolderName = "__Tandemora__";
inline constexpr const char* SavedFolderName = "__saved__";

// What GetFileSize answers when it could not find out: the item is a folder or
// something else that is not a file, or the server did not answer. No file has
// this size, so a check that the target is still what the analysis saw refuses,
// where -1 ("there is nothing") would let a copy go ahead over it.
inline constexpr int64_t FileSizeUnknown = INT64_MAX;

// How long a wait on a server may go without progress (no byte moved, no reply,
// no connection made) before the operation fails. A server that stopped
// answering then costs an item this long instead of holding the run for ever.
inline constexpr int64_t ServerStallLimitMs = 30000;

// Whether a name given by a listing may become an item of a tree. Every path the
// program builds joins a folder and a name, so a name that is empty, "." or "..",
// or that holds "/" (or a NUL, where the system ends a path) would name something
// other than an item of its folder, possibly outside the synchronised folders.
// On a network share "\" separates too (BackslashSeparates). A listing that gives
// such a name is damaged: the name is never added and the folder counts as unread.
bool IsSafeEntryName(const std::string& Name, bool BackslashSeparates = false);

// The attribute bits of an item a server lists: hidden when its name starts with
// ".", as on a local folder, so that the hidden-file switch leaves out the same
// items on both sides (a server gives no such bit of its own).
int32_t HiddenAttrOf(const std::string& Name);

// A user name or password typed into an FTP or WebDAV address
// ("ftp://user:pw@host/") would be stored and shown wherever the address is,
// and sent in place of the user and password fields. Such addresses are refused
// with UserPartMessage, and no line shows an address with its user part.
bool UrlHasUserPart(const std::string& Url);
// The address with its user part taken out ("ftp://host/dir").
std::string UrlWithoutUserPart(const std::string& Url);
// Why an item of this name may fail to go to (Writing) or come from an endpoint
// on account of its name alone, or "" when the name is no reason: a network
// share cannot hold \ : * ? " < > | or control characters, and shows an item
// whose name holds them under a short stand-in name ("A6ARMU~L.TXT"); an FTP
// server cannot be given a name holding a line break. Only for error lines.
std::string NameTroubleOf(const TFolderSource& Source, const std::string& Name, bool Writing);

inline constexpr const char* UserPartMessage =
    "The address holds a user name or password. Please give the address without them and type them "
    "into the User and Password fields.";

// A network connection that a remote endpoint keeps open. Close may be called
// from the main thread while another thread is blocked in a transfer on it: it
// must make that transfer return at once and every later call on it fail.
class TInternetHandle {
public:
    virtual ~TInternetHandle() = default;
    virtual void Close() = 0;
};
using HINTERNET = std::shared_ptr<TInternetHandle>;

class TFileOper : public TThread {
public:
    // Created suspended; the creator wires Source, NotifyWnd, SnapshotName,
    // LoadSnapshotFlag and the end handler (OnTerminate), then calls Start().
    // Each kind creates Tree. A kind's destructor calls WaitForScan() first.
    explicit TFileOper(bool FreeOnTerminate);
    ~TFileOper() override;
    TFileOper(const TFileOper&) = delete;
    TFileOper& operator=(const TFileOper&) = delete;

    HINTERNET hConnect;                // remote kinds only; empty when none
    HINTERNET hSession;                // remote kinds only; empty when none
    TFolderSource* Source;             // the endpoint; the task owns the one the creator sets
    NotifyTarget* NotifyWnd = nullptr; // receives the progress messages; null sends none
    std::string ServerInfo;            // server description set by Connect of the remote kinds
    TFileTree* Tree = nullptr;         // root of the scanned tree, in TreeArena
    std::string SnapshotName;          // the task's SyncID: the snapshot file in the work folder
    bool LoadSnapshotFlag = false;     // when set, the scan loads the snapshot at its end
    TFileTree* Snapshot = nullptr;     // root of the snapshot read from the work folder

    // The arenas that own Tree and Snapshot. The creator keeps them (with the
    // trees) after the scan has ended; the endpoint object may then go.
    TArenaPtr TreeArena;
    TArenaPtr SnapshotArena;

    // What the scan could not see. A folder that could not be listed is not empty:
    // its node has ListFailed = 1 and its full path is in UnreadFolders. A scan that
    // was stopped (Stop or Terminate) or broke off with an error sets ScanIncomplete
    // and ListFailed on the root. A root that does not exist leaves an empty tree
    // with RootMissing set and ListFailed on the root. Nothing may be deleted or
    // overwritten on account of what a scan did not see (ScanComplete() false).
    std::vector<std::string> UnreadFolders;
    bool ScanIncomplete = false;
    bool RootMissing = false;
    // Set when a snapshot file was there but could not be read or parsed (it is
    // written to the error log; Snapshot stays an empty root).
    bool SnapshotFailed = false;

    // The identity (SyncID) of the task whose run uses this object: its
    // transfers' part files are named after it, and the scan leaves out only
    // those (any other name is the user's). Empty outside a task's run.
    std::string PartOwner;
    // Full paths of the part files of PartOwner that an earlier, killed run
    // left and this object removed; the sync logs and clears them.
    std::vector<std::string> RemovedPartFiles;
    // The folders this object has cleared of such part files (before its first
    // write into each).
    std::set<std::string> PartFoldersCleared;

    // Why the last operation that failed did so, in words: the system's error
    // text or the server's reply. Each kind sets it where an operation fails;
    // a caller that reports a failure clears it before the operation.
    std::string LastErrorText;

    // The stall limit of every wait on a server (ServerStallLimitMs unless set
    // before the first operation; tests shorten it).
    int64_t StallLimitMs = ServerStallLimitMs;
    // Asked now and then during every wait on a server; true breaks the wait off
    // as Stop does, but only for that wait. The sync thread points it at its own
    // cancel, so that a cancel does not wait for the transfer in flight.
    std::function<bool()> CancelCheck;
    // Set when an operation failed because the server could not be reached or
    // stopped answering (a refused or timed-out connection, a reply or transfer
    // that stalled past StallLimitMs). A caller clears it.
    bool NotAnswering = false;
    // Whether a wait on the server is to be broken off now: Stop or CancelCheck.
    bool WaitCancelled() const;
    // Whether a system error number says that the server did not answer.
    static bool IsUnansweredError(int Error);

    // True when the whole endpoint was seen: root present, every folder listed,
    // the scan ran to its end.
    bool ScanComplete() const;

    // Sets the terminate request, then closes the network handles (once), so that
    // a blocking network call returns at once. A remote kind reads hConnect and
    // hSession under HandleLock, as Stop may empty them from the main thread.
    void Stop();

    // ---- The endpoint operations, in their fixed order ------------------------

    // 0 when the endpoint can be used, non-zero otherwise (a kind's own code).
    virtual int Connect() = 0;
    // Fills Tree with the whole endpoint: folders first, then files, each group in
    // name order without letter case; the root's work folder left out; then the
    // snapshot when LoadSnapshotFlag is set. Stops early when Terminated.
    virtual int ScanTree() = 0;
    // Replaces Stream's content with the bytes of the file; 0. A file that cannot
    // be read raises (the local kind: EFOpenError).
    virtual int ReadToStream(TFolderSource* Source, TFileAttri* Attr, std::stringstream& Stream) = 0;
    // Writes the bytes of Stream from its current position to its end as the file,
    // making missing folders, dating it with Attr->Time and replacing the old file.
    virtual int WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                                bool ClearReadOnly) = 0;
    // 0 when the folder RelPath below the root exists afterwards.
    virtual int MakeFolder(const std::string& RelPath) = 0;
    // MakeFolder for a folder that a copy brings over from SourcePath (a local
    // path of the other side): kinds that keep permission bits give new levels
    // those of the source's folders. The others make the folder as MakeFolder does.
    virtual int MakeFolderLike(const std::string& RelPath, const std::string& SourcePath);
    // Steps of the scan progress bar for this side.
    virtual int GetTopFolderCount() = 0;
    // Loads Snapshot from the work folder; any failure leaves it an empty root.
    virtual int LoadSnapshot() = 0;
    // Sets "Delete:" + path and sends WM_COPYPROCESS whatever the outcome; 0 deleted, -1 not.
    virtual int DeleteFile(TFolderSource* Source, TFileAttri* Attr) = 0;
    // DeleteFile for a file whose read-only bit is no reason to keep it. Kinds
    // without such a bit delete as DeleteFile does.
    virtual int DeleteReadOnlyFile(TFolderSource* Source, TFileAttri* Attr);
    // 0 when the (empty) folder was removed, -1 otherwise.
    virtual int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) = 0;
    // Makes sure the saved-versions folder exists and returns its path.
    virtual int GetSavedFolder(std::string& Path) = 0;
    // The file's size in bytes; -1 when nothing is there; FileSizeUnknown when
    // something other than a file is there or the endpoint could not tell.
    virtual int64_t GetFileSize(const std::string& Path) = 0;
    // Copies the current file below the saved-versions folder; 0 copied, 1 not.
    virtual int SaveOldFile(TFolderSource* Source, TFileAttri* Attr) = 0;
    // The folder part of a full path with its trailing separator (local kinds).
    virtual int ExtractFolderPath(const std::string& Path, std::string& Folder) = 0;
    // The full path or URL of the item.
    virtual int BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) = 0;
    // The server path of the item's folder (WebDAV); other kinds leave Path unchanged.
    virtual int BuildFolderPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) = 0;
    // Copies the local file LocalPath to the item; "Copy:" + LocalPath and
    // WM_COPYPROCESS first; dates the target on success; 0 on success.
    virtual int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                        int Reserved) = 0;
    // Renames or moves within the endpoint; 0 done, non-zero not.
    virtual int RenameFile(const std::string& OldPath, const std::string& NewPath) = 0;
    // Copies the item to the local file LocalPath (FTP and WebDAV only).
    virtual int GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                        int Reserved) = 0;
    // Non-zero when the endpoint root cannot be reached or does not exist.
    virtual int IsRootMissing() = 0;
    // Whether a sync calls Connect before each item: a remote kind makes a lost
    // connection anew there. A kind without a connection answers false, and is
    // then asked (Connect) only when an item failed, for the reason.
    virtual bool ConnectsPerItem() const { return true; }

    // ---- Same content? ----------------------------------------------------------
    // A local file that holds the item's bytes, to compare them with the other
    // side's: a disk kind gives the file's own path (a share's included); a
    // remote kind downloads the item (of the size Attr gives) into StagingPath, a
    // private file the caller made, and gives that. 0 when LocalPath holds them.
    virtual int LocalCopyForCompare(TFolderSource* Source, TFileAttri* Attr, const std::string& StagingPath,
                                    std::string& LocalPath);

    // ---- Copies made durable together -------------------------------------------
    // Flushing every small file to the disk on its own costs more than writing it.
    // With DeferCommits set, a kind that can (a local folder) may leave a small
    // copy that PutFile finished waiting: every byte of it in its part file
    // beside the target, the target itself untouched; PendingCommits grows by
    // one. CommitPending makes all waiting copies durable together (one flush
    // per file system), only then gives each its target's name, in the order
    // they were written, and then flushes the folders holding the new names. A
    // crash at any point leaves each target either old or new. An object that
    // goes with copies still waiting removes their part files.
    //
    // A kind may also write such copies on threads of its own (CopyWorkers):
    // PutFile then only hands the copy over and answers 0; whether it was
    // written at all shows in its commit result. The flush of one batch
    // (StartCommit) may run while the next batch is written.
    struct TCommitResult {
        int Result = 0;        // 0 the copy has its name; CopyNotBegun; otherwise it failed
        std::string ErrorText; // why, as LastErrorText would say
    };
    // The result of a copy that never began: the run was cancelled before its
    // turn came. Its target is untouched and there is nothing to report.
    static constexpr int CopyNotBegun = 2;
    bool DeferCommits = false;
    // How many threads of its own a kind that can may write waiting copies on;
    // 0 writes every copy on the caller's thread.
    size_t CopyWorkers = 0;
    // Asked on such a thread just before a copy begins: true leaves it not begun.
    std::function<bool()> CopiesCancelled;
    // What the analysis saw under the name the next PutFile writes (set by the
    // sync before it, when Known): a file of that DOS time and size, or none.
    // A copy written later than the sync's own check of the target looks
    // again as it begins, and refuses a target that has changed since.
    struct TAnalysedTarget {
        bool Known = false;
        bool Exists = false;
        int32_t Date = 0;
        int64_t Size = 0;
    };
    TAnalysedTarget AnalysedTarget;
    virtual size_t PendingCommits() const { return 0; }
    // True when the waiting copies hold as much as one flush should cover.
    virtual bool PendingFull() const { return false; }
    // Hands every waiting copy to its flush and renames; none wait afterwards.
    // At most one such batch is on its way: FinishCommit comes before the next.
    virtual void StartCommit() {}
    // Waits for the batch StartCommit handed over: one result per copy, in
    // their order; none when no batch is on its way.
    virtual void FinishCommit(std::vector<TCommitResult>& Results) { Results.clear(); }
    // Both at once: one result per waiting copy, in their order.
    void CommitPending(std::vector<TCommitResult>& Results) {
        StartCommit();
        FinishCommit(Results);
    }

    // Orders Node's own children as every scan leaves them (folders first, then
    // files, each by CompareNames), leaving the levels below alone.
    static void SortChildren(TFileTree* Node);

protected:
    // The thread body: one scan.
    void Execute() override;

    // Notes Text as LastErrorText and answers Result, for a failing return.
    int Fail(int Result, const std::string& Text);
    // Notes what the system said (errno) about What, and answers Result.
    int FailWithErrno(int Result, const std::string& What);

    // Sends a progress message to NotifyWnd (none when it is null).
    void Notify(uint32_t Message);
    // Marks the scan as stopped early, so that nobody takes the tree for the whole endpoint.
    void MarkIncomplete();
    // A listing of Folder (Node in the tree) gave a name IsSafeEntryName refuses:
    // the folder counts as unread, so nothing is deleted on its account.
    void ListingDamaged(TFileTree* Node, const std::string& Folder, const std::string& Name);
    // Replaces Snapshot with a fresh empty root.
    void ResetSnapshot();
    // Orders every level below Node: folders first, then files, each by
    // CompareNames. Every kind's scan ends with it, so all trees share one order.
    void SortTree(TFileTree* Node);
    // Creates Tree as an empty root (each kind's constructor) and forgets what an
    // earlier scan could not see.
    void ResetTree();
    // A started thread that does not free itself is stopped and joined. Called by
    // each kind's destructor, while the kind's ScanTree can still run.
    void WaitForScan();

    // Guards hConnect and hSession between Stop (main thread) and the worker.
    std::mutex HandleLock;

private:
    TFolderSource OwnSource; // the empty source Source points to until the creator sets one
};

} // namespace tandemora
