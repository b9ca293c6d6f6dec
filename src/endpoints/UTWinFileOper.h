#pragma once
// The local endpoint: a folder on this machine (DeviceType dtLocal). Paths are
// POSIX paths with "/" as the separator; names are the file system's own bytes.
// Relative paths of items are "/" for the root's items and "/sub/" one level down.

#include "endpoints/UTCopyWorkers.h"
#include "endpoints/UTFileOper.h"
#include "platform/FolderHandle.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace tandemora {

// Bytes moved per step of a local copy.
inline constexpr int64_t CopyChunkSize = 2097152;
// The largest copy that may wait for a flush together with others: a larger
// file's own flush costs little next to its writing.
inline constexpr int64_t DeferredCopyMax = 4 << 20;

class TWinFileOper : public TFileOper {
public:
    explicit TWinFileOper(bool FreeOnTerminate);
    ~TWinFileOper() override;

    int Connect() override;
    int ScanTree() override;
    int ReadToStream(TFolderSource* Source, TFileAttri* Attr, std::stringstream& Stream) override;
    int WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                        bool ClearReadOnly) override;
    int MakeFolder(const std::string& RelPath) override;
    int MakeFolderLike(const std::string& RelPath, const std::string& SourcePath) override;
    int GetTopFolderCount() override;
    int LoadSnapshot() override;
    int DeleteFile(TFolderSource* Source, TFileAttri* Attr) override;
    int DeleteReadOnlyFile(TFolderSource* Source, TFileAttri* Attr) override;
    int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) override;
    int GetSavedFolder(std::string& Path) override;
    int64_t GetFileSize(const std::string& Path) override;
    int SaveOldFile(TFolderSource* Source, TFileAttri* Attr) override;
    int ExtractFolderPath(const std::string& Path, std::string& Folder) override;
    int BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int BuildFolderPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;
    int RenameFile(const std::string& OldPath, const std::string& NewPath) override;
    // Never asked of a local endpoint; returns erFailed.
    int GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;
    int IsRootMissing() override;
    // The file itself: a disk side is read where it lies.
    int LocalCopyForCompare(TFolderSource* Source, TFileAttri* Attr, const std::string& StagingPath,
                            std::string& LocalPath) override;
    // A folder on this machine has no connection to make; a share does.
    bool ConnectsPerItem() const override;
    size_t PendingCommits() const override { return pending_.size(); }
    bool PendingFull() const override;
    void StartCommit() override;
    void FinishCommit(std::vector<TCommitResult>& Results) override;

    // The points of a copy where something else may happen at the same time.
    enum TCopyStage {
        csBegin,        // the copy begins: its source is not opened yet
        csBeforeRename, // the copy is complete and about to take its name
    };
    // Called with the target's full path at each stage, on the thread that
    // does the copy or its rename, before the copy's own look at the source or
    // the target; lets a test change either at exactly that point.
    std::function<void(TCopyStage Stage, const std::string& Target)> CopyObserver;

    // Lists the folder Path into Node, depth first, one WM_UPDATEPROCESS per folder
    // before it is listed. A folder that cannot be listed gets ListFailed and is
    // recorded in UnreadFolders.
    void ListFolder(TFileTree* Node, const std::string& Path);
    // Copies Src to Dst in 2 MB chunks (inside the kernel where the system can,
    // else through a buffer) with a percentage in the status text. The
    // bytes go to a part file beside Dst that replaces Dst (a link there itself,
    // never what it leads to) only when complete, with Src's exact modification
    // time and permission bits. 0 copied completely; 1 the source's size is not
    // ExpectedSize, or the source changed while it was copied (it did not end
    // with the size and modification time it had when opened); -1 the source is
    // missing or the copy failed part way. On 1 and -1 Dst is as it was.
    int CopyWithProgress(const std::string& Src, const std::string& Dst, int64_t ExpectedSize);

    // The percentage text of a copy: at most two decimals, no trailing zeros, no
    // leading zero ("66.67", "100", ".5", "0" for nothing yet), with the decimal
    // separator of the current locale ("66,67" in a German one).
    static std::string FormatPercent(int64_t Copied, int64_t Total);

    // Removes the part files an earlier run of this task (PartOwner) left in
    // Folder, whose path is Path, once per folder and object; each goes into
    // RemovedPartFiles. Every write into a folder calls it first.
    void RemoveStaleParts(const fs::TFolder& Folder, const std::string& Path);

protected:
    // Called after each chunk of a copy has been written to its part file, with
    // the bytes copied so far; does nothing. Lets a subclass act at a given
    // point of a copy.
    virtual void ChunkWritten(int64_t Copied);
    // On a share "\" separates folders as "/" does: an item whose name, or a
    // folder's on its way, holds one would be written into another folder of the
    // share, where it could replace a file of the user's. False, with the reason
    // in LastErrorText, for such an item on a share; asked before the server is.
    bool ShareCanHold(const TFolderSource* Side, const std::string& RelPath, const std::string& Name);

private:
    std::string Root() const;
    std::string RelativeOf(const std::string& Dir) const;
    bool OpenFolder(TFolderSource* Side, const std::string& RelPath, bool Make, fs::TFolder& Folder,
                    const fs::TFolderMode& Mode = nullptr);
    bool OpenItemFolder(const std::string& Path, fs::TFolder& Folder, std::string& Name);
    int Delete(TFolderSource* Source, TFileAttri* Attr, bool ReadOnlyToo);
    // A copy into a part file that waits for its commit: its part file in
    // Folder, the name it is to take there, and what stood under that name when
    // the copy began. Copies in one folder share the open folder. A copy on a
    // worker fills in everything from Part on.
    struct TPendingCommit {
        std::shared_ptr<fs::TFolder> Folder;
        std::string Source;
        std::string Name;
        std::string Target; // the full path, for CopyObserver only
        int64_t Size = 0;
        TAnalysedTarget Analysed; // checked again when the copy begins on a copy thread
        std::string Part;
        bool TargetExisted = false;
        struct stat Seen {};
        int Result = 0; // as CopyWithProgress answers, or CopyNotBegun
        std::string ErrorText;
        bool NotAnswering = false;
    };
    struct TCommitBatch;

    int CopyInto(const std::string& Src, const std::shared_ptr<fs::TFolder>& Folder, const std::string& Name,
                 int64_t ExpectedSize, bool MayWait, const std::string& Target);
    int WriteCopy(TPendingCommit& Copy, std::vector<char>& Buffer, bool MayWait);
    void AddPending(std::unique_ptr<TPendingCommit> Copy);
    void HandToWorker(std::unique_ptr<TPendingCommit> Copy);
    void WriteOnWorker(TPendingCommit& Copy, size_t Worker);
    void CommitBatch(TCommitBatch& Batch);
    void DropPending();
    void ShowStatus(bool Often);
    std::shared_ptr<fs::TFolder> CopyFolder(TFolderSource* Side, const std::string& RelPath,
                                            const std::string& SourceFolder);
    void ForgetCopyFolder();

    // A folder's identity: device and inode.
    using TFolderID = std::pair<uint64_t, uint64_t>;
    // The folders from the root down to the one a scan lists now.
    std::vector<TFolderID> scanAncestors_;

    // A folder on this machine is listed by several threads at once, each taking
    // whole folders (TFolderScan); a share, whose client library serves one
    // thread, by ListFolder alone.
    struct TFolderScan;
    struct TScanJob;
    void ScanLocalTree(const std::string& Root);
    void HandOutFolders(TFolderScan& Scan, bool ListHere);
    bool HandOut(TFolderScan& Scan, TScanJob& Job);
    void ScanWorker(TFolderScan& Scan);
    void ListLocalFolder(TFolderScan& Scan, TScanJob& Job, fs::TDosClock& Clock,
                         std::vector<TScanJob>& Found);
    void ReplayScanEvents(TFolderScan& Scan, TFileTree* Node);
    bool LeftOutOfScan(const fs::DirEntry& entry, const std::vector<TFolderID>& ancestors) const;
    // A folder the scan could not list (Error): marked unseen, its path kept.
    void FolderNotRead(TFileTree* Node, const std::string& Dir, int Error);
    // The copies of the batch being written (waiting for StartCommit), the
    // batch they belong to, and the batch StartCommit handed to its commit.
    std::vector<std::unique_ptr<TPendingCommit>> pending_;
    std::shared_ptr<TCommitBatch> writing_;
    std::shared_ptr<TCommitBatch> committing_;
    // The copy threads (CopyWorkers of them) and, last, the one that commits;
    // each copy thread's buffer; the thread and folder of the last copy.
    std::unique_ptr<TCopyWorkers> workers_;
    std::vector<std::vector<char>> workerBuffers_;
    size_t worker_ = 0;
    const fs::TFolder* workerFolder_ = nullptr;
    // Set when the object goes: nothing not yet begun begins, nothing takes a name.
    std::atomic<bool> closing_{false};
    // When the window was last told of a changed status text by ShowStatus.
    std::chrono::steady_clock::time_point statusShown_;
    int64_t pendingBytes_ = 0;
    size_t pendingFolders_ = 0;
    // The folder PutFile copied into last, kept open for the next copy into it
    // (CopyFolder), and which one it is: the root and the relative path.
    std::shared_ptr<fs::TFolder> copyFolder_;
    std::string copyFolderKey_;
    // The buffer of copies that cannot be made inside the kernel, kept for the
    // next copy.
    std::vector<char> copyBuffer_;
};

} // namespace tandemora
