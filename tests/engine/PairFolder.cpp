#include "PairFolder.h"

#include "endpoints/UTFileOper.h"
#include "endpoints/UTFtpFileOper.h"
#include "endpoints/UTWebDavFileOper.h"
#include "endpoints/UTWinFileOper.h"
#include "engine/UTTandemoraThread.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pairtest {

namespace stdfs = std::filesystem;

namespace {

std::string KeyOf(const TFileTree* node) {
    std::string rel = node->Data != nullptr ? node->Data->RelPath.str() : std::string();
    while (!rel.empty() && rel.front() == '/') {
        rel.erase(0, 1);
    }
    return rel + node->Name;
}

bool IsFolderNode(const TFileTree* node) {
    return node->Data != nullptr && node->Data->IsFolder != 0;
}

void CollectSnapshot(const TFileTree* node, TTree& tree) {
    for (const TFileTree* child : node->Children) {
        TItem item;
        item.Dir = IsFolderNode(child);
        item.Dos = item.Dir ? 0 : child->Data->Time;
        item.Size = item.Dir ? 0 : child->Data->Size;
        tree[KeyOf(child)] = item;
        CollectSnapshot(child, tree);
    }
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void CollectLeftovers(const std::string& folder, std::vector<std::string>& found, bool everything) {
    std::error_code error;
    if (!stdfs::exists(folder, error)) {
        return;
    }
    for (auto it = stdfs::recursive_directory_iterator(folder, error);
         it != stdfs::recursive_directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (everything || EndsWith(name, ".part") || EndsWith(name, ".tmp") || EndsWith(name, ".p")) {
            found.push_back(it->path().string());
        }
    }
}

} // namespace

bool SameForUser(const TItem& a, const TItem& b) {
    return a.Dir == b.Dir && (a.Dir || a.Bytes == b.Bytes);
}

bool SameForUser(const TTree& a, const TTree& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.first == y.first && SameForUser(x.second, y.second);
           });
}

std::string Show(const TTree& tree) {
    std::string text;
    for (const auto& [key, item] : tree) {
        text += "  " + key + (item.Dir ? "/" : " '" + item.Bytes + "'") + "\n";
    }
    return text.empty() ? "  (empty)\n" : text;
}

TTree ReadTree(const std::string& root) {
    TTree tree;
    std::error_code error;
    const stdfs::path work = stdfs::path(root) / WorkFolderName;
    for (auto it = stdfs::recursive_directory_iterator(root, error);
         it != stdfs::recursive_directory_iterator(); it.increment(error)) {
        if (it->path() == work) {
            it.disable_recursion_pending();
            continue;
        }
        TItem item;
        item.Dir = it->is_directory(error);
        struct stat st;
        if (stat(it->path().c_str(), &st) == 0 && !item.Dir) {
            item.Bytes = testsupport::ReadFile(it->path().string());
            item.Size = static_cast<int64_t>(item.Bytes.size());
            item.Dos = fs::UnixToDosTime(st.st_mtim);
            item.ReadOnly = (st.st_mode & S_IWUSR) == 0;
        }
        tree[stdfs::relative(it->path(), root).string()] = item;
    }
    return tree;
}

TTree ReadSnapshot(const std::string& file) {
    TTree tree;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return tree;
    }
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    root->LoadFromStream(in);
    CollectSnapshot(root, tree);
    return tree;
}

std::vector<std::string> Leftovers(const std::string& root) {
    std::vector<std::string> found;
    CollectLeftovers(root, found, false);
    return found;
}

std::map<std::string, int32_t> TRun::Proposals() const {
    std::map<std::string, int32_t> proposals;
    for (const auto& [key, code] : Codes) {
        if (code != saSame && code != saUnset) {
            proposals[key] = code;
        }
    }
    return proposals;
}

// ---- Faults played through the endpoint layer ------------------------------------------

// The local endpoint, with a folder no scan can list and a count of operations
// that stops the run after the given number.
class TPairFolder::TFaultOper : public TWinFileOper {
public:
    TFaultOper(std::string unread, std::function<void()> operation)
        : TWinFileOper(false), unread_(std::move(unread)), operation_(std::move(operation)) {}

    int ScanTree() override {
        const int result = TWinFileOper::ScanTree();
        TFileTree* node = unread_.empty() ? nullptr : Tree;
        for (size_t start = 0; node != nullptr && start <= unread_.size();) {
            const size_t slash = std::min(unread_.find('/', start), unread_.size());
            const std::string name = unread_.substr(start, slash - start);
            const auto found =
                std::find_if(node->Children.begin(), node->Children.end(),
                             [&](const TFileTree* c) { return IsFolderNode(c) && c->Name == name; });
            node = found != node->Children.end() ? *found : nullptr;
            start = slash + 1;
        }
        if (node != nullptr) {
            node->Children.clear();
            node->ChildCount = 0;
            node->ListFailed = 1;
            UnreadFolders.push_back(TrimBlanks(Source->FolerAllName) + "/" + unread_);
        }
        return result;
    }
    int DeleteFile(TFolderSource* Source, TFileAttri* Attr) override {
        return Counted(TWinFileOper::DeleteFile(Source, Attr));
    }
    int DeleteReadOnlyFile(TFolderSource* Source, TFileAttri* Attr) override {
        return Counted(TWinFileOper::DeleteReadOnlyFile(Source, Attr));
    }
    int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) override {
        return Counted(TWinFileOper::RemoveFolder(Source, Attr));
    }
    int MakeFolder(const std::string& RelPath) override { return Counted(TWinFileOper::MakeFolder(RelPath)); }
    int MakeFolderLike(const std::string& RelPath, const std::string& SourcePath) override {
        return Counted(TWinFileOper::MakeFolderLike(RelPath, SourcePath));
    }

protected:
    // Each chunk a copy writes; the files of the tests that stop runs are small
    // enough to take one chunk each.
    void ChunkWritten(int64_t Copied) override {
        TWinFileOper::ChunkWritten(Copied);
        Counted(0);
    }

private:
    int Counted(int result) {
        if (operation_) {
            operation_();
        }
        return result;
    }

    std::string unread_;
    std::function<void()> operation_;
};

// A server's endpoint (FTP or WebDAV) whose operations count as the local
// one's do: a transfer counts as it starts, so that the one that reaches the
// count is broken off as a killed run breaks it off; a deletion or a folder
// made or removed counts once it is done.
template <class TKind> class TCountedRemoteOper : public TKind {
public:
    explicit TCountedRemoteOper(std::function<void()> operation)
        : TKind(false), operation_(std::move(operation)) {}

    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                int Reserved) override {
        operation_();
        return TKind::PutFile(LocalPath, Source, Attr, Reserved);
    }
    int GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr,
                int Reserved) override {
        operation_();
        return TKind::GetFile(LocalPath, Source, Attr, Reserved);
    }
    int DeleteFile(TFolderSource* Source, TFileAttri* Attr) override {
        return Counted(TKind::DeleteFile(Source, Attr));
    }
    int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) override {
        return Counted(TKind::RemoveFolder(Source, Attr));
    }
    int MakeFolder(const std::string& RelPath) override { return Counted(TKind::MakeFolder(RelPath)); }

private:
    int Counted(int result) {
        operation_();
        return result;
    }

    std::function<void()> operation_;
};

class TPairFolder::TFaultThread : public TTandemoraThread {
public:
    TFaultThread(TResultRows* view, TSyncTask* task, const std::string* unread, int stopAfter)
        : TTandemoraThread(view, task), unread_(unread), left_(stopAfter) {}

protected:
    // Operations count on both sides, a server's included; only a local side
    // has folders the test keeps from being read.
    std::unique_ptr<TFileOper> CreateOper(const TFolderSource& Source) override {
        const auto operation = [this] {
            if (left_.load() > 0 && --left_ == 0) {
                Terminate();
            }
        };
        if (Source.DeviceType == dtFtp) {
            return std::make_unique<TCountedRemoteOper<TFtpFileOper>>(operation);
        }
        if (Source.DeviceType == dtWebDav) {
            return std::make_unique<TCountedRemoteOper<TWebDavFileOper>>(operation);
        }
        if (Source.DeviceType != dtLocal) {
            return TTandemoraThread::CreateOper(Source);
        }
        const int side = &Source == &Task->LFolder ? 0 : 1;
        return std::make_unique<TFaultOper>(unread_[side], operation);
    }

private:
    const std::string* unread_;
    std::atomic<int> left_; // counted on the copy threads too
};

// ---- The pair ------------------------------------------------------------------------

TPairFolder::TPairFolder() {
    SetProgramFolder(program_.path());
    task_.SyncName = "Docs";
    task_.SyncID = "Docs123";
    task_.LFolder.DeviceType = dtLocal;
    task_.RFolder.DeviceType = dtLocal;
    task_.IsDeleteFile = 1;
    for (int side : {0, 1}) {
        UseFolder(side, base_ / (side == 0 ? "L" : "R"));
        fs::ForceDirectories(Root(side));
        fs::ForceDirectories(Other(side));
    }
}

TPairFolder::~TPairFolder() {
    ForgetResult();
    SetProgramFolder("");
}

void TPairFolder::GiveTo(uid_t uid, gid_t gid) const {
    for (const testsupport::TempDir* dir : {&base_, &program_, &appData_, &cache_}) {
        std::error_code error;
        lchown(dir->path().c_str(), uid, gid);
        for (auto it = stdfs::recursive_directory_iterator(dir->path(), error);
             it != stdfs::recursive_directory_iterator(); it.increment(error)) {
            lchown(it->path().c_str(), uid, gid);
        }
    }
}

void TPairFolder::HandOver() const {
    for (int side : {0, 1}) {
        if (disk_[side].empty()) {
            continue;
        }
        std::error_code error;
        const auto [uid, gid] = owner_[side];
        lchown(disk_[side].c_str(), uid, gid);
        for (auto it = stdfs::recursive_directory_iterator(disk_[side], error);
             it != stdfs::recursive_directory_iterator(); it.increment(error)) {
            lchown(it->path().c_str(), uid, gid);
        }
    }
}

void TPairFolder::Remove(int side, const std::string& rel) {
    std::error_code error;
    stdfs::remove_all(Root(side) + "/" + rel, error);
}

void TPairFolder::Rename(int side, const std::string& from, const std::string& to) {
    std::error_code error;
    stdfs::rename(Root(side) + "/" + from, Root(side) + "/" + to, error);
}

std::unique_ptr<TFileOper> TPairFolder::NewScan(int side) {
    TFolderSource& source = side == 0 ? task_.LFolder : task_.RFolder;
    if (Unread[side].empty()) {
        return TSyncTask::CreateOper(source, false);
    }
    return std::make_unique<TFaultOper>(Unread[side], nullptr);
}

// What runs write for the next one (the program's data folder, the work
// folders but for the previous versions kept there), copied to a folder or
// put back from it.
void TPairFolder::CopyRunState(bool keep, const std::string& folder) const {
    const std::string places[3] = {appData_.path(), Root(0) + "/" + WorkFolderName,
                                   Root(1) + "/" + WorkFolderName};
    for (int i = 0; i < 3; ++i) {
        const std::string copy = folder + "/" + std::to_string(i);
        const std::string& from = keep ? places[i] : copy;
        const std::string& to = keep ? copy : places[i];
        std::error_code error;
        stdfs::create_directories(to, error);
        for (const auto& entry : stdfs::directory_iterator(to, error)) {
            if (entry.path().filename() != SavedFolderName) {
                stdfs::remove_all(entry.path(), error);
            }
        }
        for (const auto& entry : stdfs::directory_iterator(from, error)) {
            if (entry.path().filename() != SavedFolderName) {
                stdfs::copy(entry.path(), to + "/" + entry.path().filename().string(),
                            stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks, error);
            }
        }
    }
}

std::vector<std::string> TPairFolder::Leftovers() const {
    std::vector<std::string> found;
    for (int side : {0, 1}) {
        CollectLeftovers(Root(side), found, false);
    }
    CollectLeftovers(appData_.path(), found, false);
    CollectLeftovers(cache_ / "Tandemora/staging", found, true);
    return found;
}

TTree TPairFolder::Snapshot(int side) const {
    const int32_t place = task_.SnapshotPlace();
    const bool local = place == spBothLocal || place == (side == 0 ? spLeftLocal : spRightLocal);
    return ReadSnapshot(local ? task_.LocalSnapshotPath(side)
                              : Root(side) + "/" + WorkFolderName + "/" + task_.SyncID);
}

testing::AssertionResult TPairFolder::InStep() const {
    const TTree left = Read(0);
    const TTree right = Read(1);
    if (!SameForUser(left, right)) {
        return testing::AssertionFailure() << "the sides differ\nleft:\n"
                                           << Show(left) << "right:\n"
                                           << Show(right);
    }
    for (int side : {0, 1}) {
        const TTree snapshot = Snapshot(side);
        bool same = snapshot.size() == left.size();
        for (const auto& [key, item] : left) {
            const auto entry = snapshot.find(key);
            same = same && entry != snapshot.end() && entry->second.Dir == item.Dir &&
                   (item.Dir || (entry->second.Size == item.Size && entry->second.Dos == item.Dos));
        }
        if (!same) {
            return testing::AssertionFailure() << (side == 0 ? "left" : "right") << " snapshot\n"
                                               << Show(snapshot) << "does not list the sides\n"
                                               << Show(left);
        }
    }
    return testing::AssertionSuccess();
}

// ---- Runs ----------------------------------------------------------------------------

void TPairFolder::ForgetResult() {
    rows_.SetResultTree(nullptr);
    rows_.InitView(task_.SyncName);
    analysis_.reset();
    result_ = nullptr;
    resultArena_.reset();
    for (int side : {0, 1}) {
        scans_[side].reset();
        snapshotArenas_[side].reset();
    }
}

std::map<std::string, int32_t> TPairFolder::ItemCodes() const {
    std::map<const TFileTree*, int32_t> rowCodes;
    rows_.ForEachRow([&rowCodes](TResultRow* row) {
        if (row->Item != nullptr) {
            rowCodes[row->Item] = row->Action.load();
        }
    });
    std::map<std::string, int32_t> codes;
    std::function<void(const TFileTree*)> walk = [&](const TFileTree* node) {
        for (const TFileTree* child : node->Children) {
            const auto row = rowCodes.find(child);
            codes[KeyOf(child) + (IsFolderNode(child) ? "/" : "")] =
                row != rowCodes.end() ? row->second : child->Action;
            walk(child);
        }
    };
    if (result_ != nullptr) {
        walk(result_);
    }
    return codes;
}

// As the task window starts a run: the folder check, both endpoints connected
// and scanned with their work-folder snapshots, the local snapshots read in
// their place, the analysis, the Changes view.
TRun TPairFolder::Scan() {
    TRun run;
    ForgetResult();
    run.Refused = task_.CheckFolders();
    if (run.Refused != fcOk) {
        return run;
    }
    TFolderSource* sources[2] = {&task_.LFolder, &task_.RFolder};
    const int32_t place = task_.SnapshotPlace();
    for (int side : {0, 1}) {
        scans_[side] = NewScan(side);
        TFileOper& scan = *scans_[side];
        scan.Source = sources[side];
        scan.LoadSnapshotFlag = true;
        scan.SnapshotName = task_.SyncID;
        scan.PartOwner = task_.SyncID;
        scan.StallLimitMs = StallLimitMs;
        scan.Connect();
        scan.ScanTree();
        if (place == spBothLocal || place == (side == 0 ? spLeftLocal : spRightLocal)) {
            scan.Snapshot = NewTree(snapshotArenas_[side]);
            task_.LoadSnapshot(scan.Snapshot, side);
        }
    }
    task_.Unattended = Unattended;
    result_ = NewTree(resultArena_);
    analysis_ = std::make_unique<TAnalyzeThread>(&task_, scans_[0]->Tree, scans_[1]->Tree, result_,
                                                 scans_[0]->Snapshot, scans_[1]->Snapshot);
    analysis_->Execute();
    // The trees stay for the rows; the connections go now, as a run's do, and
    // not only at the next run, when its server may have stopped answering
    // (saying goodbye to it would wait for a reply that never comes).
    for (int side : {0, 1}) {
        scans_[side]->Stop();
    }
    // The sync button clears the flag; the analysis has read it by then.
    task_.Unattended = false;
    rows_.SetResultTree(result_);
    rows_.ShowView(vkChanged);
    run.UsedSnapshots = analysis_->UsedSnapshots;
    if (analysis_->LeftEmptied) {
        run.HeldBack.push_back("L");
    }
    if (analysis_->RightEmptied) {
        run.HeldBack.push_back("R");
    }
    for (const auto* folders : {&analysis_->LeftEmptiedFolders, &analysis_->RightEmptiedFolders}) {
        run.HeldBack.insert(run.HeldBack.end(), folders->begin(), folders->end());
    }
    run.Proposed = ItemCodes();
    run.Codes = run.Proposed;
    return run;
}

TRun TPairFolder::SyncOnce(const std::map<std::string, int32_t>& overrides,
                           const std::function<void()>& beforeSync) {
    TRun run = Scan();
    if (run.Refused != fcOk) {
        return run;
    }
    // A user who overrides rows chooses them in the view of all items.
    if (!overrides.empty()) {
        rows_.ShowView(vkAll);
    }
    for (const auto& [key, code] : overrides) {
        TResultRow* found = nullptr;
        rows_.ForEachRow([&](TResultRow* row) {
            if (row->Item != nullptr && KeyOf(row->Item) + (IsFolderNode(row->Item) ? "/" : "") == key) {
                found = row;
            }
        });
        // Only what the row's popup offers.
        const TItemActions offered = TResultRows::UpdateItemActions(
            found != nullptr ? found->Action.load() : saUnset, task_.SyncDirection);
        const bool allowed = (code == saOverwriteLtoR && offered.LtoR) ||
                             (code == saOverwriteRtoL && offered.RtoL) ||
                             (code == saDoNotCopy && offered.DoNotCopy);
        EXPECT_TRUE(found != nullptr && allowed && rows_.SetItemAction(found, code))
            << "cannot override " << key;
        rows_.RecountTree(result_);
    }
    if (beforeSync) {
        beforeSync();
    }
    const bool faults = StopAfter > 0 || !Unread[0].empty() || !Unread[1].empty();
    auto* thread =
        faults ? new TFaultThread(&rows_, &task_, Unread, StopAfter) : new TTandemoraThread(&rows_, &task_);
    // A killed run leaves what the last completed one wrote for the next.
    const testsupport::TempDir before;
    if (StopAfter > 0) {
        CopyRunState(true, before.path());
    }
    thread->StallLimitMs = StallLimitMs;
    thread->SetFreeOnTerminate(false);
    thread->Scanned[0] = scans_[0].get();
    thread->Scanned[1] = scans_[1].get();
    thread->AnalysisCompared = analysis_ && analysis_->UsedSnapshots;
    thread->LogMemo = [&run](const std::string& line) { run.Lines.push_back(line); };
    thread->Start();
    thread->WaitFor();
    dispatcher_.ProcessPending();
    run.Ops = thread->OpCount.load();
    run.Stopped = StopAfter > 0 && thread->Terminated();
    delete thread;
    if (run.Stopped) {
        CopyRunState(false, before.path());
    }
    StopAfter = 0;
    run.Codes = ItemCodes();
    return run;
}

} // namespace pairtest
