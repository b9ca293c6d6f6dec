#include "engine/UTTandemoraThread.h"

#include "endpoints/UTFileOper.h"
#include "endpoints/UTWinFileOper.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTRunStamp.h"
#include "engine/UTSameContent.h"
#include "engine/UTSnapshotDraft.h"
#include "engine/UTStagingFile.h"
#include "engine/UTUnsettled.h"
#include "model/UTFileTree.h"
#include "model/UTResultRows.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/FolderHandle.h"
#include "platform/MainThread.h"
#include "tasks/UTSyncTask.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tandemora {

namespace {

const char* const TargetChangedText = " (the target changed after the analysis)";
const char* const NotSavedText = " (its previous version could not be kept)";
const char* const TempTakenText = " (its temporary name is taken)";
const char* const FolderNotEmptyText = " (it still holds items)";
const char* const CaseTwinText =
    " (the target does not tell letter case apart, and another item of this folder has this name in "
    "another case)";

// " (why)" for an item's log line: what the first endpoint that knows says
// about the failure (the system's error text, the server's reply); empty when
// neither knows.
std::string Reason(const TFileOper* first, const TFileOper* second = nullptr) {
    for (const TFileOper* oper : {first, second}) {
        if (oper != nullptr && !oper->LastErrorText.empty()) {
            return " (" + EscapeForLog(oper->LastErrorText) + ")";
        }
    }
    return "";
}

// Why the check of the target failed: the endpoint could not look (a server
// that went away, a folder it may not read, a local root that is gone), or the
// target is not what the analysis saw. An endpoint that is not connected before
// every item (a local folder) is asked about its root only here, when
// something failed.
std::string TargetCheckFailed(TFileOper* Dst) {
    if (Dst->LastErrorText.empty() && !Dst->ConnectsPerItem()) {
        Dst->Connect();
    }
    const std::string why = Reason(Dst);
    return why.empty() ? std::string(TargetChangedText) : why;
}

// A remote side connects again before each item (a lost connection is made
// anew); a local folder is not looked at for every item: each write opens its
// folder from the root and fails, with the system's reason, when the root is
// gone.
void ConnectForItem(TFileOper* Oper) {
    if (Oper->ConnectsPerItem()) {
        Oper->Connect();
    }
}

void ClearReasons(TFileOper* a, TFileOper* b) {
    a->LastErrorText.clear();
    b->LastErrorText.clear();
}

// Local folders and network shares are reached through file-system paths; FTP
// and WebDAV folders only through their own transfers.
bool IsDiskKind(int32_t deviceType) {
    return deviceType == dtLocal || deviceType == dtNetShare;
}

// A folder on this computer's own disks (no share, no server).
bool PlainLocal(const TFolderSource& side) {
    return side.DeviceType == dtLocal && !fs::IsUncPath(TrimBlanks(side.FolerAllName));
}

// A DOS date of 0 (no date) or -1 (never set) is how a row says that the analysis
// saw no file on that side.
bool AnalysisSawFile(int32_t date) {
    return date != 0 && date != -1;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string WithoutTrailingSeparators(std::string path) {
    while (!path.empty() && (IsSeparator(path.back()) || static_cast<unsigned char>(path.back()) <= ' ')) {
        path.pop_back();
    }
    size_t first = 0;
    while (first < path.size() && static_cast<unsigned char>(path[first]) <= ' ') {
        ++first;
    }
    return path.substr(first);
}

// A share path in one form: "/" for every separator (on a share "\" and "/"
// both separate), and no empty parts after the leading two.
std::string ShareForm(const std::string& path) {
    std::string form = "//";
    for (size_t i = 2; i < path.size(); ++i) {
        const char c = IsSeparator(path[i]) ? '/' : path[i];
        if (c != '/' || form.back() != '/') {
            form += c;
        }
    }
    return form;
}

// A folder's path below its endpoint root, without a leading separator. Only the
// root at the start is taken off: a folder deeper down whose path repeats the
// root's text keeps its own path.
std::string RelativeToRoot(const std::string& path, const std::string& root) {
    // A share endpoint builds its paths with "\" whatever form the root was typed
    // in; compared as typed, the root would not be found and the whole path would
    // be taken for a folder below it.
    if (fs::IsUncPath(path) && fs::IsUncPath(TrimBlanks(root))) {
        const std::string sharePath = ShareForm(path);
        const std::string shareRoot = ShareForm(TrimBlanks(root));
        if (sharePath != path || shareRoot != root) {
            return RelativeToRoot(sharePath, shareRoot);
        }
    }
    std::string rel = path;
    const std::string trimmed = WithoutTrailingSeparators(root);
    if (!root.empty() && path.compare(0, root.size(), root) == 0) {
        rel = path.substr(root.size());
    } else if (!trimmed.empty() && path.compare(0, trimmed.size(), trimmed) == 0) {
        rel = path.substr(trimmed.size());
    }
    if (!rel.empty() && IsSeparator(rel.front())) {
        rel.erase(0, 1);
    }
    return rel;
}

// A row whose item the filters excluded entirely is shown by some views but never
// acted on.
bool FilteredOut(const TResultRow* Row) {
    const TFileTree* item = Row->Item;
    return item != nullptr && item->IncludedFlag == 0 && item->ExcludedFlag > 0;
}

// A copy of a snapshot written in the zone Then, with every time moved to the
// same instant in this zone. The entries the new snapshots take over from the
// old ones are written with a stamp of this zone, so they must read in it too,
// or the next run sees every item this run left unsettled as changed.
const TFileTree* MovedToThisZone(const TFileTree* Tree, const TZoneOffsets& Then, TArenaPtr& Arena) {
    TFileTree* copy = NewTree(Arena);
    copy->Name = Tree->Name;
    std::vector<std::pair<const TFileTree*, TFileTree*>> pending = {{Tree, copy}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        to->ListFailed = from->ListFailed;
        if (from->Data != nullptr) {
            to->Data = Arena->NewAttri();
            *to->Data = *from->Data;
            to->Data->Time = Then.MovedHere(from->Data->Time);
        }
        for (const TFileTree* child : from->Children) {
            TFileTree* made = to->AddChild(child->Name, nullptr);
            pending.emplace_back(child, made);
        }
    }
    return copy;
}

} // namespace

TTandemoraThread::TTandemoraThread(TResultRows* View, TSyncTask* Task) : View(View), Task(Task) {
    SetFreeOnTerminate(true);
    if (View != nullptr) {
        View->SetSyncRunning(true);
        walkMarked_ = true;
    }
}

TTandemoraThread::~TTandemoraThread() {
    Terminate();
    WaitFor();
    // A thread that never ran leaves the rows free again here (on the creator's thread).
    if (!Started() && walkMarked_ && View != nullptr) {
        View->SetSyncRunning(false);
    }
}

std::unique_ptr<TFileOper> TTandemoraThread::CreateOper(const TFolderSource& Source) {
    return TSyncTask::CreateOper(Source, false);
}

void TTandemoraThread::GetOperation(int32_t Code, int32_t& Operation, int32_t& Side) {
    switch (Code) {
    case saCopyLtoR:
    case saOverwriteLtoR:
        Operation = opCopy;
        Side = 0;
        break;
    case saCopyRtoL:
    case saOverwriteRtoL:
        Operation = opCopy;
        Side = 1;
        break;
    case saDeleteRight:
        Operation = opDelete;
        Side = 0;
        break;
    case saDeleteLeft:
        Operation = opDelete;
        Side = 1;
        break;
    default:
        Operation = opNone;
        Side = -1;
        break;
    }
}

// ---- The run ---------------------------------------------------------------------------

void TTandemoraThread::Execute() {
    std::exception_ptr failure;
    try {
        Run();
    } catch (...) {
        failure = std::current_exception();
        try {
            // Copies finished before the failure still take their names.
            CommitCopies();
        } catch (...) {
        }
    }
    // Whatever happened: the endpoint objects are stopped (closing their network
    // handles) and released, and the rows are free for the window again.
    if (LeftOper) {
        LeftOper->Stop();
    }
    if (RightOper) {
        RightOper->Stop();
    }
    LeftOper.reset();
    RightOper.reset();
    try {
        FlushWindowQueue();
    } catch (...) {
        if (!failure) {
            failure = std::current_exception();
        }
    }
    try {
        FinishWalk();
    } catch (...) {
        // The window's side of the call failed; the failure above (if any) matters more.
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TTandemoraThread::Run() {
    LeftOper = NewOper(Task->LFolder, false);
    RightOper = NewOper(Task->RFolder, false);
    if (!CheckEndpoints()) {
        return;
    }
    LeftOper->Source = &Task->LFolder;
    RightOper->Source = &Task->RFolder;
    if (!CheckWorkFolders() || !CheckDataFolder()) {
        return;
    }
    PrepareWorkFolders();
    // A copy through a temporary name is renamed by the walk itself.
    LeftOper->DeferCommits = Task->UseTempFile != 1;
    RightOper->DeferCommits = Task->UseTempFile != 1;
    // Between two folders on this machine the small copies are written on a
    // few threads beside the walk (a server or a share keeps one connection
    // busy as it is). A cancel leaves those that have not begun; a run that
    // stops itself because a server went silent still writes what it handed over.
    if (PlainLocal(Task->LFolder) && PlainLocal(Task->RFolder)) {
        for (TFileOper* oper : {LeftOper.get(), RightOper.get()}) {
            oper->CopyWorkers = LocalCopyWorkers;
            oper->CopiesCancelled = [this] { return Terminated() && !stoppedUnanswered_.load(); };
        }
    }
    if (View != nullptr && View->RootRow() != nullptr) {
        SyncNodes(View->RootRow());
    }
    CommitCopies();
    LogLine = "Operator File :" + std::to_string(OpCount.load());
    AddLogLine();
    // A run that did nothing may still have to record where things stand (see
    // SaveSnapshots); one cut short without doing anything leaves them.
    if (OpCount.load() > 0 || !Terminated()) {
        SaveSnapshots();
    }
}

// An endpoint object with the run's stall limit. While the run goes on, a
// cancel breaks off any wait on a server (and a copy to or from a share
// between two chunks); copies between local folders still end their item.
// After a cancel a server gets only a short while to answer.
std::unique_ptr<TFileOper> TTandemoraThread::NewOper(const TFolderSource& Source, bool AfterCancel) {
    std::unique_ptr<TFileOper> oper = CreateOper(Source);
    if (!oper) {
        return oper;
    }
    oper->PartOwner = Task->SyncID;
    oper->StallLimitMs = AfterCancel ? std::min(StallLimitMs, AfterCancelStallLimitMs) : StallLimitMs;
    auto remote = [](const TFolderSource& side) {
        return side.DeviceType != dtLocal || fs::IsUncPath(TrimBlanks(side.FolerAllName));
    };
    if (!AfterCancel && (remote(Task->LFolder) || remote(Task->RFolder))) {
        oper->CancelCheck = [this] { return Terminated(); };
    }
    return oper;
}

// Connects both sides for the next item; false when a server did not answer.
bool TTandemoraThread::ConnectBoth() {
    LeftOper->NotAnswering = false;
    RightOper->NotAnswering = false;
    ConnectForItem(LeftOper.get());
    ConnectForItem(RightOper.get());
    return !LeftOper->NotAnswering && !RightOper->NotAnswering;
}

// Counts the items in a row that failed because a server did not answer; a
// success, or a failure the server answered, starts the count again. A wait
// that a cancel broke off tells nothing about the server.
void TTandemoraThread::NoteAnswer(int Result) {
    silent_[0] = Result != 0 && LeftOper->NotAnswering;
    silent_[1] = Result != 0 && RightOper->NotAnswering;
    if (!silent_[0] && !silent_[1]) {
        unanswered_ = 0;
        return;
    }
    if (!Terminated() && ++unanswered_ >= UnansweredItemsLimit) {
        StopUnanswered();
    }
}

// Trying every further item would cost each of them the stall limit. What is
// left keeps its action (the next analysis proposes it again) and is counted
// in the log.
void TTandemoraThread::StopUnanswered() {
    stoppedUnanswered_ = true;
    Terminate();
    // Copies waiting for their flush are done: their rows say so first.
    CommitCopies();
    int left = 0;
    if (View != nullptr) {
        View->ForEachRow([&left](TResultRow* row) {
            int32_t operation = opNone;
            int32_t side = -1;
            GetOperation(row->Action.load(), operation, side);
            left += operation != opNone ? 1 : 0;
        });
    }
    std::string servers;
    for (int32_t side = 0; side < 2; ++side) {
        if (silent_[side]) {
            const TFolderSource& source = side == 0 ? Task->LFolder : Task->RFolder;
            servers += (servers.empty() ? "" : ", ") + UrlWithoutUserPart(TrimBlanks(source.FolerAllName));
        }
    }
    LogLine = "Sync stopped: the server is not answering (" + EscapeForLog(servers) + "); " +
              std::to_string(left) + (left == 1 ? " item was" : " items were") +
              " not done and will be proposed again at the next run.";
    AddLogLine();
}

// Every step needs one endpoint object per side; a device type that no endpoint
// class serves stops the run before anything is touched.
bool TTandemoraThread::CheckEndpoints() {
    if (LeftOper && RightOper) {
        return true;
    }
    const std::string left = "the Left folder (device type " + std::to_string(Task->LFolder.DeviceType) + ")";
    const std::string right =
        "the Right folder (device type " + std::to_string(Task->RFolder.DeviceType) + ")";
    std::string which;
    if (!LeftOper && !RightOper) {
        which = left + " and " + right;
    } else {
        which = !LeftOper ? left : right;
    }
    LogLine = "Sync not started: there is no endpoint for " + which + ".";
    NotStartedReason = LogLine;
    AddLogLine();
    return false;
}

// The run stamp, the snapshots kept on this computer and the run lock live in
// the program's data folder. A run that could not write them there would leave
// the next one nothing to compare with but the files' times, so it does not
// start, and says why.
bool TTandemoraThread::CheckDataFolder() {
    std::string folder;
    int error = 0;
    try {
        folder = GetLocalSnapshotFolder();
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            error = errno;
        }
    } catch (...) {
        error = EIO;
    }
    if (error == 0) {
        return true;
    }
    LogLine = "Sync not started: the folder " + EscapeForLog(folder) + " cannot be written (" +
              EscapeForLog(std::strerror(error)) +
              "); it keeps the run stamp, the snapshots kept on this computer and the run lock.";
    NotStartedReason = LogLine;
    AddLogLine();
    ErrorLogger.LogError("Sync not started", "EDataFolder", LogLine);
    return false;
}

// The work folder and its saved-versions folder receive snapshots and previous
// versions. Planted as links they would send them elsewhere; the writes refuse to
// follow them, and the run does not start, with one line that says why.
bool TTandemoraThread::CheckWorkFolders() {
    std::string links;
    for (const TFolderSource* side : {&Task->LFolder, &Task->RFolder}) {
        const std::string root = WithoutTrailingSeparators(side->FolerAllName);
        if (side->DeviceType != dtLocal || fs::IsUncPath(root)) {
            continue;
        }
        const std::string work = root + "/" + WorkFolderName;
        for (const std::string& folder : {work, work + "/" + SavedFolderName}) {
            struct stat st;
            if (lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                links += (links.empty() ? "" : " and ") + EscapeForLog(folder);
                break;
            }
        }
    }
    if (links.empty()) {
        return true;
    }
    LogLine = "Sync not started: " + links +
              " must be a folder, not a symbolic link; remove the link and run the task again.";
    NotStartedReason = LogLine;
    AddLogLine();
    return false;
}

void TTandemoraThread::FinishWalk() {
    if (!walkMarked_ || View == nullptr) {
        return;
    }
    walkMarked_ = false;
    TResultRows* view = View;
    Synchronize([view] { view->SetSyncRunning(false); });
}

// A line and a changed row per item: waiting for the main thread each time
// would cost more than a small copy. They are queued here and handed over
// together by one call on the main thread, posted when the queue was empty; a
// main thread that is busy meets a longer queue the next time.
struct TTandemoraThread::TWindowQueue {
    struct TUpdate {
        std::string Line;
        TResultRow* Row = nullptr; // a changed row, else a line
    };
    std::mutex Mutex;
    std::vector<TUpdate> Updates;
    bool Posted = false;
    std::function<void(const std::string&)> LogMemo;
    std::function<void(TResultRow*)> RowChanged;
    std::exception_ptr Failure; // raised by a callback, raised again on the worker

    // On the main thread: everything queued so far, in order.
    void Deliver() {
        std::vector<TUpdate> updates;
        std::function<void(const std::string&)> logMemo;
        std::function<void(TResultRow*)> rowChanged;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Posted = false;
            if (Updates.empty()) {
                return;
            }
            updates.swap(Updates);
            logMemo = LogMemo;
            rowChanged = RowChanged;
        }
        for (const TUpdate& update : updates) {
            if (update.Row != nullptr) {
                if (rowChanged) {
                    rowChanged(update.Row);
                }
            } else if (logMemo) {
                logMemo(update.Line);
            }
        }
    }
};

void TTandemoraThread::HandToWindow(const std::string* Line, TResultRow* Row) {
    if ((waiting_ > 0 || inFlight_ > 0) && !releasing_) {
        THeld held;
        held.Line = Line != nullptr ? *Line : std::string();
        held.Row = Row;
        held_.push_back(std::move(held));
        return;
    }
    if (!toWindow_) {
        toWindow_ = std::make_shared<TWindowQueue>();
        toWindow_->LogMemo = LogMemo;
        toWindow_->RowChanged = RowChanged;
    }
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(toWindow_->Mutex);
        if (toWindow_->Failure) {
            std::rethrow_exception(toWindow_->Failure);
        }
        toWindow_->Updates.push_back({Line != nullptr ? *Line : std::string(), Row});
        post = !toWindow_->Posted;
        toWindow_->Posted = true;
    }
    if (dispatcher == nullptr || dispatcher->IsMainThread()) {
        toWindow_->Deliver();
    } else if (post) {
        dispatcher->Post([queue = toWindow_] {
            try {
                queue->Deliver();
            } catch (...) {
                std::lock_guard<std::mutex> lock(queue->Mutex);
                queue->Failure = std::current_exception();
            }
        });
    }
}

// Waits until the window has everything queued, then lets go of its callbacks:
// a call posted earlier that runs later finds nothing to hand over.
void TTandemoraThread::FlushWindowQueue() {
    if (!toWindow_) {
        return;
    }
    std::shared_ptr<TWindowQueue> queue = toWindow_;
    Synchronize([queue] { queue->Deliver(); });
    std::lock_guard<std::mutex> lock(queue->Mutex);
    queue->LogMemo = nullptr;
    queue->RowChanged = nullptr;
    if (queue->Failure) {
        std::rethrow_exception(queue->Failure);
    }
}

void TTandemoraThread::AddLogLine() {
    if (LogMemo) {
        HandToWindow(&LogLine, nullptr);
    }
}

// Small local copies wait in their part files and are flushed to the disk
// together (TFileOper::DeferCommits); their lines and rows, and everything the
// run says after them, wait with them so that the window sees it all in order.
// Commits every copy written so far and hands everything held to the window.
void TTandemoraThread::CommitCopies() {
    FinishBatch();
    if (waiting_ > 0) {
        StartBatch();
        FinishBatch();
    }
}

// Hands the batch written so far to its commit, which runs while the walk
// goes on writing the next; the batch before it is finished first.
void TTandemoraThread::StartBatch() {
    FinishBatch();
    LeftOper->StartCommit();
    RightOper->StartCommit();
    inFlight_ = waiting_;
    inFlightHeld_ = held_.size();
    waiting_ = 0;
}

// Waits for the batch being committed and hands its lines and rows, and what
// the run said after them up to the next batch, to the window.
void TTandemoraThread::FinishBatch() {
    if (inFlight_ == 0 && inFlightHeld_ == 0 && (waiting_ > 0 || held_.empty())) {
        return;
    }
    std::vector<TFileOper::TCommitResult> left;
    std::vector<TFileOper::TCommitResult> right;
    LeftOper->FinishCommit(left);
    RightOper->FinishCommit(right);
    std::vector<THeld> held(
        std::make_move_iterator(held_.begin()),
        std::make_move_iterator(held_.begin() + static_cast<std::ptrdiff_t>(inFlightHeld_)));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(inFlightHeld_));
    inFlight_ = 0;
    inFlightHeld_ = 0;
    if (waiting_ == 0) {
        // Nothing written since: what the run said after the batch goes too.
        std::move(held_.begin(), held_.end(), std::back_inserter(held));
        held_.clear();
    }
    releasing_ = true;
    try {
        for (THeld& item : held) {
            ReleaseHeld(item, left, right);
        }
    } catch (...) {
        releasing_ = false;
        throw;
    }
    releasing_ = false;
}

void TTandemoraThread::ReleaseHeld(THeld& Item, const std::vector<TFileOper::TCommitResult>& Left,
                                   const std::vector<TFileOper::TCommitResult>& Right) {
    if (Item.FolderEnd) {
        // A folder some of whose copies never began was not walked to its end.
        if (!notBegun_) {
            SetRowCode(Item.Row, NothingArrived(Item.Row, Item.FolderCode) ? saError : saSame);
        }
        return;
    }
    if (Item.Dst == nullptr) {
        HandToWindow(Item.Row != nullptr ? nullptr : &Item.Line, Item.Row);
        return;
    }
    const std::vector<TFileOper::TCommitResult>& results = Item.Dst == LeftOper.get() ? Left : Right;
    const bool known = Item.Index < results.size();
    if (known && results[Item.Index].Result == TFileOper::CopyNotBegun) {
        // As an item a cancel kept the walk from: no line, its row as it was.
        notBegun_ = true;
        --OpCount;
        return;
    }
    const bool done = known && results[Item.Index].Result == 0;
    if (done) {
        LogLine = Item.Line;
    } else {
        const std::string trouble = NameTrouble(opCopy, Item.Side, Item.Name);
        const std::string why = known ? " (" + EscapeForLog(results[Item.Index].ErrorText) + ")" : "";
        LogLine = "Error " + Item.Line + (trouble.empty() ? why : trouble);
    }
    AddLogLine();
    SetRowCode(Item.Row, done ? saSame : saError);
}

// The code of a folder walked to its end: decided when its copies are.
void TTandemoraThread::EndFolder(TResultRow* Row, int32_t Code) {
    if ((waiting_ > 0 || inFlight_ > 0) && !releasing_) {
        THeld held;
        held.Row = Row;
        held.FolderEnd = true;
        held.FolderCode = Code;
        held_.push_back(std::move(held));
        return;
    }
    SetRowCode(Row, NothingArrived(Row, Code) ? saError : saSame);
}

// Waiting copies are committed once their endpoint holds enough of them, and
// at the latest half a second after the first, so the window never lags far.
bool TTandemoraThread::CommitDue() const {
    return waiting_ > 0 &&
           (LeftOper->PendingFull() || RightOper->PendingFull() ||
            std::chrono::steady_clock::now() - firstWaiting_ >= std::chrono::milliseconds(500));
}

void TTandemoraThread::Notify(uint32_t Message) {
    if (NotifyWnd != nullptr) {
        SendNotifyMessage(NotifyWnd, Message, 0, 10);
    }
}

void TTandemoraThread::SetRowCode(TResultRow* Row, int32_t Code) {
    Row->Action.store(Code);
    if (RowChanged) {
        HandToWindow(nullptr, Row);
    }
}

// ---- Work folders ----------------------------------------------------------------------

void TTandemoraThread::PrepareWorkFolders() {
    try {
        std::unique_ptr<TFileOper> left = NewOper(Task->LFolder, false);
        std::unique_ptr<TFileOper> right = NewOper(Task->RFolder, false);
        if (!left || !right) {
            return;
        }
        left->Source = &Task->LFolder;
        right->Source = &Task->RFolder;
        left->Connect();
        right->Connect();
        const int32_t place = Task->SnapshotPlace();
        const std::string workFolder = std::string("/") + WorkFolderName;
        // A server that did not answer the connect is not asked again here.
        if (place != spLeftLocal && place != spBothLocal && !left->NotAnswering) {
            left->MakeFolder(workFolder);
        }
        if (place != spRightLocal && place != spBothLocal && !right->NotAnswering) {
            right->MakeFolder(workFolder);
        }
        left->Stop();
        right->Stop();
    } catch (...) {
        // A work folder that could not be made shows when the snapshot is written.
    }
}

// ---- The walk -------------------------------------------------------------------------

void TTandemoraThread::SyncNodes(TResultRow* Row) {
    // A file that gives way to a folder of its name must be gone before the
    // folder is made, so such deletions go first. (A folder that gives way to a
    // file is emptied and removed before the file comes: folder rows come first.)
    std::set<std::string> folders;
    for (int i = 0; i < Row->ChildCount(); ++i) {
        if (Row->Child(i)->IsFolder == 1) {
            folders.insert(Row->Child(i)->Name);
        }
    }
    std::set<const TResultRow*> done = RenameCaseChanges(Row);
    std::set<const TResultRow*> early;
    for (int i = 0; i < Row->ChildCount() && !folders.empty(); ++i) {
        const TResultRow* c = Row->Child(i);
        const int32_t code = c->Action.load();
        if (c->IsFolder == 0 && (code == saDeleteRight || code == saDeleteLeft) &&
            folders.count(c->Name) != 0) {
            early.insert(c);
        }
    }
    for (int i = 0; i < Row->ChildCount() && !Terminated(); ++i) {
        if (early.count(Row->Child(i)) != 0) {
            SyncRow(Row->Child(i));
        }
    }
    for (int i = 0; i < Row->ChildCount() && !Terminated(); ++i) {
        if (early.count(Row->Child(i)) == 0 && done.count(Row->Child(i)) == 0) {
            SyncRow(Row->Child(i));
        }
    }
}

// A file renamed on one side with only its letter case changed ("report.txt"
// to "Report.txt") reads as a new file to copy and an old one to delete. On a
// target that ignores case the new name already stands for the old file: the
// copy would find its target taken (at every run, where the deletion is held
// back), and a deletion would then take the only copy there. So there the old
// file is renamed in place, after the copy has replaced it where the contents
// differ too, and the deletion is not made.
std::set<const TResultRow*> TTandemoraThread::RenameCaseChanges(TResultRow* Row) {
    std::set<const TResultRow*> done;
    RenameCaseFolders(Row, done);
    std::set<const TFileTree*> renamedItems;
    for (int i = 0; i < Row->ChildCount() && !Terminated(); ++i) {
        TResultRow* copy = Row->Child(i);
        const int32_t code = copy->Action.load();
        if (copy->IsFolder == 1 || (code != saCopyLtoR && code != saCopyRtoL) || FilteredOut(copy) ||
            done.count(copy) != 0) {
            continue;
        }
        const int32_t side = code == saCopyLtoR ? 0 : 1;
        TCaseTwin old;
        if (!FindCaseTwin(Row, copy, side, done, renamedItems, old) || !CaseBlindTarget(copy, old, side)) {
            continue;
        }
        done.insert(copy);
        if (old.Row != nullptr) {
            done.insert(old.Row);
        }
        renamedItems.insert(old.Item);
        const bool sameFile = (side == 0 ? copy->LeftDate : copy->RightDate) == old.Date &&
                              (side == 0 ? copy->LeftSize : copy->RightSize) == old.Size;
        if (!sameFile) {
            // The copy replaces the old file under its old spelling first.
            renamedTargets_[copy] = {old.Date, old.Size};
            SyncRow(copy);
            CommitCopies();
            if (copy->Action.load() != saSame) {
                continue; // the old file stays as it was; its deletion waits
            }
        }
        const int renamed = RenameInPlace(copy, old, side);
        if (old.Row != nullptr) {
            SetRowCode(old.Row, renamed == 0 ? saSame : saError);
        }
        if (sameFile) {
            SetRowCode(copy, renamed == 0 ? saSame : saError);
        }
    }
    return done;
}

// The same for a folder: on a target that ignores case, the copies into the
// new name would land in the old folder, and the old folder's deletion would
// then take them all. The old folder is renamed in place instead, and what it
// holds is what the new folder's items find on the target: a file there is
// replaced by its copy only where it differs, and the old folder's items that
// the new one no longer holds are deleted as proposed. Where the rename fails,
// or the target cannot be told apart, neither folder is touched.
void TTandemoraThread::RenameCaseFolders(TResultRow* Row, std::set<const TResultRow*>& Done) {
    std::set<const TFileTree*> kept; // old folders renamed already
    for (int i = 0; i < Row->ChildCount() && !Terminated(); ++i) {
        TResultRow* copy = Row->Child(i);
        const int32_t code = copy->Action.load();
        if (copy->IsFolder != 1 || (code != saCopyLtoR && code != saCopyRtoL) || FilteredOut(copy) ||
            Done.count(copy) != 0) {
            continue;
        }
        const int32_t side = code == saCopyLtoR ? 0 : 1;
        const int32_t deletion = side == 0 ? saDeleteRight : saDeleteLeft;
        TResultRow* old = nullptr;
        for (int j = 0; j < Row->ChildCount() && old == nullptr; ++j) {
            TResultRow* candidate = Row->Child(j);
            if (candidate->IsFolder == 1 && candidate->Action.load() == deletion &&
                Done.count(candidate) == 0 && !FilteredOut(candidate) &&
                DifferOnlyInCase(copy->Name, candidate->Name)) {
                old = candidate;
            }
        }
        TCaseTwin twin;
        if (old != nullptr) {
            twin = {old, old->Item, old->Name, old->Path, 0, 0};
        } else if (!FindKeptFolder(Row, copy, side, kept, twin)) {
            continue;
        }
        const int32_t target = FolderCaseBlind(copy, twin, side);
        if (target == 0) {
            continue; // a target that tells case apart holds two folders
        }
        Done.insert(copy);
        if (old == nullptr) {
            // The old folder stays, its deletion held back: renamed, it holds
            // the very files the new one brings, and nothing else is touched.
            kept.insert(twin.Item);
            if (target > 0 && RenameInPlace(copy, twin, side) == 0) {
                SameKeptContents(copy, twin.Item, side, true);
                SyncRow(copy);
            } else {
                SetRowCode(copy, saError);
            }
            continue;
        }
        Done.insert(old);
        if (target < 0 || RenameInPlace(copy, twin, side) != 0) {
            SetRowCode(copy, saError);
            SetRowCode(old, saError);
            continue;
        }
        // The folder itself is done; what remains are the items inside it.
        SetRowCode(old, saSame);
        MatchRenamedContents(copy, old, side);
        SyncRow(old);
        SyncRow(copy);
    }
}

// The result's folder of a row: its item, or for the root row the whole result.
const TFileTree* TTandemoraThread::RowFolder(TResultRow* Row) const {
    if (Row->Item == nullptr && View != nullptr && Row == View->RootRow()) {
        return View->ResultTree();
    }
    return Row->Item;
}

// Whether an item's entry is the target's (Side 0 copies to the right) and the
// source holds nothing of its name.
bool TTandemoraThread::TargetOnly(const TFileTree* Node, int32_t Side) {
    return Side == 0 ? Node->RightEntry == 1 : Node->RightEntry == 0 && Node->OtherTime == -1;
}

// Where the old folder's deletion is held back (deletions off, a one-way
// task), the target's folder of the old name is an item of the result that the
// source no longer holds. It is taken for the renamed folder only where each
// of its files that the new folder holds under the same name is the very file
// the source holds there (same size and time), or the one the last sync left
// there (see SameKeptContents): renaming it then loses nothing.
bool TTandemoraThread::FindKeptFolder(TResultRow* Row, TResultRow* Copy, int32_t Side,
                                      const std::set<const TFileTree*>& Renamed, TCaseTwin& Twin) {
    const TFileTree* folder = RowFolder(Row);
    for (const TFileTree* node : folder != nullptr ? folder->Children : TFileTreeList()) {
        const TFileAttri* data = node->Data;
        if (data != nullptr && data->IsFolder == 1 && node->Action == saDoNotCopy && TargetOnly(node, Side) &&
            Renamed.count(node) == 0 && DifferOnlyInCase(Copy->Name, data->Name) &&
            SameKeptContents(Copy, node, Side, false)) {
            Twin = {nullptr, node, data->Name, data->RelPath.str(), 0, 0};
            return true;
        }
    }
    return false;
}

// Whether every item of the kept folder Old that Copy's folder holds under the
// same name may stand for it: a folder, a file of the source's size and time,
// or a file whose deletion waits (the one the last sync left there, which the
// source's edited copy then replaces). With Apply, the copies of the same
// files are marked as done and the others set to replace theirs.
bool TTandemoraThread::SameKeptContents(TResultRow* Copy, const TFileTree* Old, int32_t Side, bool Apply) {
    for (int i = 0; i < Copy->ChildCount(); ++i) {
        TResultRow* item = Copy->Child(i);
        for (const TFileTree* node : Old->Children) {
            const TFileAttri* data = node->Data;
            if (data == nullptr || data->Name != item->Name) {
                continue;
            }
            if (data->IsFolder != item->IsFolder) {
                return false;
            }
            if (item->IsFolder == 1) {
                if (!SameKeptContents(item, node, Side, Apply)) {
                    return false;
                }
            } else if ((Side == 0 ? item->LeftDate : item->RightDate) == data->Time &&
                       (Side == 0 ? item->LeftSize : item->RightSize) == data->Size) {
                if (Apply) {
                    SetRowCode(item, saSame);
                }
            } else if (node->Action != saDoNotCopy) {
                return false; // changed there since the last sync, or not its deletion that waits
            } else if (Apply) {
                // The file the last sync left there: the edited copy replaces it.
                renamedTargets_[item] = {data->Time, data->Size};
            }
            break;
        }
    }
    return true;
}

// Whether the target finds the old folder under the copy's name: 1 when it
// does (it ignores case), 0 when nothing stands under the new name, -1 when
// that cannot be told (a server that does not answer, something else there).
int32_t TTandemoraThread::FolderCaseBlind(TResultRow* Copy, const TCaseTwin& Old, int32_t Side) {
    TFolderSource* dstSource = Side == 0 ? &Task->RFolder : &Task->LFolder;
    if (!IsDiskKind(dstSource->DeviceType)) {
        return 0; // FTP and WebDAV servers tell case apart
    }
    try {
        ConnectForCase();
        std::string newPath;
        std::string oldPath;
        TwinPaths(Copy, Old, Side, newPath, oldPath, true);
        fs::DirEntry entry;
        errno = 0;
        if (!fs::GetEntryInfo(newPath, entry)) {
            return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
        }
        fs::DirEntry oldEntry;
        return entry.IsFolder != 0 && fs::GetEntryInfo(oldPath, oldEntry) && oldEntry.IsFolder != 0 ? 1 : -1;
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Write Error", e);
        return -1;
    }
}

// After its folder was renamed in place, an item of the old folder that the
// new folder holds under the same name stands where that item's copy goes:
// its deletion is done, and the copy is made only where the file differs.
void TTandemoraThread::MatchRenamedContents(TResultRow* Copy, TResultRow* Old, int32_t Side) {
    const int32_t deletion = Side == 0 ? saDeleteRight : saDeleteLeft;
    for (int i = 0; i < Copy->ChildCount(); ++i) {
        TResultRow* item = Copy->Child(i);
        for (int j = 0; j < Old->ChildCount(); ++j) {
            TResultRow* was = Old->Child(j);
            if (was->Name != item->Name || was->IsFolder != item->IsFolder ||
                was->Action.load() != deletion || FilteredOut(was)) {
                continue;
            }
            SetRowCode(was, saSame);
            if (item->IsFolder == 1) {
                MatchRenamedContents(item, was, Side);
                break;
            }
            const int32_t wasDate = Side == 0 ? was->RightDate : was->LeftDate;
            const int64_t wasSize = Side == 0 ? was->RightSize : was->LeftSize;
            if ((Side == 0 ? item->LeftDate : item->RightDate) == wasDate &&
                (Side == 0 ? item->LeftSize : item->RightSize) == wasSize) {
                SetRowCode(item, saSame);
            } else {
                renamedTargets_[item] = {wasDate, wasSize};
            }
            break;
        }
    }
}

// The old name of a copy's file on the target: a row of Row whose deletion
// is proposed there; or, where the deletion is held back (deletions off, a
// one-way task: not among the changes shown), an item of the result that the
// source no longer holds. Such an item is the file the last sync left there
// (one changed since would be copied back, or in a one-way task that copies
// over the target's changes, give way to the source's all the same), so the
// copy may replace it even where the source was edited as it was renamed: on
// a target that ignores case both names cannot stay, and otherwise the copy
// would find its target taken at every run.
bool TTandemoraThread::FindCaseTwin(TResultRow* Row, TResultRow* Copy, int32_t Side,
                                    const std::set<const TResultRow*>& Done,
                                    const std::set<const TFileTree*>& Renamed, TCaseTwin& Twin) {
    const int32_t deletion = Side == 0 ? saDeleteRight : saDeleteLeft;
    for (int j = 0; j < Row->ChildCount(); ++j) {
        TResultRow* old = Row->Child(j);
        if (old->IsFolder == 0 && old->Action.load() == deletion && Done.count(old) == 0 &&
            !FilteredOut(old) && DifferOnlyInCase(Copy->Name, old->Name)) {
            Twin = {old,
                    old->Item,
                    old->Name,
                    old->Path,
                    Side == 0 ? old->RightDate : old->LeftDate,
                    Side == 0 ? old->RightSize : old->LeftSize};
            return true;
        }
    }
    const TFileTree* folder = RowFolder(Row);
    for (const TFileTree* node : folder != nullptr ? folder->Children : TFileTreeList()) {
        const TFileAttri* data = node->Data;
        if (data != nullptr && data->IsFolder == 0 && node->Action == saDoNotCopy && TargetOnly(node, Side) &&
            Renamed.count(node) == 0 && DifferOnlyInCase(Copy->Name, data->Name)) {
            Twin = {nullptr, node, data->Name, data->RelPath.str(), data->Time, data->Size};
            return true;
        }
    }
    return false;
}

// Both sides reached before a case rename looks at the target.
void TTandemoraThread::ConnectForCase() {
    LeftOper->Source = &Task->LFolder;
    RightOper->Source = &Task->RFolder;
    LeftOper->Connect();
    RightOper->Connect();
}

// The target's paths of the copy's name and of the old item's name.
void TTandemoraThread::TwinPaths(const TResultRow* Copy, const TCaseTwin& Old, int32_t Side,
                                 std::string& NewPath, std::string& OldPath, bool Folder) {
    TFileOper* dst = Side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* dstSource = Side == 0 ? &Task->RFolder : &Task->LFolder;
    TFileAttri newAttr;
    newAttr.Name = Copy->Name;
    newAttr.RelPath = Copy->Path;
    newAttr.IsFolder = Folder ? 1 : 0;
    TFileAttri oldAttr;
    oldAttr.Name = Old.Name;
    oldAttr.RelPath = Old.Path;
    oldAttr.IsFolder = Folder ? 1 : 0;
    dst->BuildFullPath(dstSource, &newAttr, NewPath);
    dst->BuildFullPath(dstSource, &oldAttr, OldPath);
}

// Whether the target finds the old file under the copy's name (it ignores
// case), and the old file is still as the analysis saw it.
bool TTandemoraThread::CaseBlindTarget(TResultRow* Copy, const TCaseTwin& Old, int32_t Side) {
    TFileOper* dst = Side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* dstSource = Side == 0 ? &Task->RFolder : &Task->LFolder;
    try {
        ConnectForCase();
        std::string newPath;
        std::string oldPath;
        TwinPaths(Copy, Old, Side, newPath, oldPath);
        return TargetAsAnalysed(dst, dstSource, oldPath, Old.Date, Old.Size) &&
               TargetAsAnalysed(dst, dstSource, newPath, Old.Date, Old.Size);
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Write Error", e);
        return false;
    }
}

// Renames the old file to the copy's name on the target and logs it; 0 done.
int TTandemoraThread::RenameInPlace(TResultRow* Copy, const TCaseTwin& Old, int32_t Side) {
    TFileOper* dst = Side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* dstSource = Side == 0 ? &Task->RFolder : &Task->LFolder;
    TFileAttri midAttr;
    midAttr.Name = fs::PartFileName(Copy->Name, Task->SyncID);
    midAttr.RelPath = Copy->Path;
    std::string newPath;
    std::string oldPath;
    std::string midPath;
    int result = 1;
    try {
        TwinPaths(Copy, Old, Side, newPath, oldPath);
        dst->BuildFullPath(dstSource, &midAttr, midPath);
        dst->LastErrorText.clear();
        // Through a name of its own, and the new name looked up once the old
        // file has left it (it must be free then): Samba remembers the spelling
        // it last found for a name, and would otherwise give the renamed file
        // the old spelling again.
        if (TargetAsAnalysed(dst, dstSource, midPath, 0, 0) && dst->RenameFile(oldPath, midPath) == 0) {
            result = dst->GetFileSize(newPath) < 0 && dst->RenameFile(midPath, newPath) == 0 ? 0 : 1;
            if (result != 0) {
                dst->RenameFile(midPath, oldPath);
            }
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Write Error", e);
        result = 1;
    }
    const std::string line = "Rename:" + EscapeForLog(oldPath) + " -> " + EscapeForLog(newPath);
    LogLine = result == 0 ? line : "Error " + line + Reason(dst);
    AddLogLine();
    ++OpCount;
    Notify(WM_UPDATEPROCESS);
    return result;
}

bool TTandemoraThread::HasCaseTwin(const TResultRow* Row) {
    // The source's own folder knows all its names; the view may show only some.
    const TFileTree* folder = Row->Item != nullptr ? Row->Item->Parent : nullptr;
    if (folder != nullptr) {
        return std::any_of(folder->Children.begin(), folder->Children.end(), [Row](const TFileTree* child) {
            return DifferOnlyInCase(child->Name, Row->Name);
        });
    }
    const TResultRow* parent = Row->Parent();
    for (int i = 0; parent != nullptr && i < parent->ChildCount(); ++i) {
        if (DifferOnlyInCase(parent->Child(i)->Name, Row->Name)) {
            return true;
        }
    }
    return false;
}

void TTandemoraThread::SyncRow(TResultRow* c) {
    const int32_t code = c->Action.load();
    int32_t operation = opNone;
    int32_t side = -1;
    GetOperation(code, operation, side);
    if (operation != opNone && c->Item != nullptr && code != c->Item->Action) {
        // A row told to write other than its item's code says (the item's
        // code is what the new snapshots look at otherwise). Side 0 writes to
        // the right folder.
        written_[side == 0 ? 1 : 0].push_back(c->Item);
    }
    bool ownFailed = false;
    if (c->HasChildren()) {
        // Contents first; a deleted folder goes last, unless something is
        // copied into it in this run.
        SyncNodes(c);
        if ((code == saDeleteRight || code == saDeleteLeft) && c->LtoRCount == 0 && c->RtoLCount == 0 &&
            !Terminated() && !FilteredOut(c)) {
            // Some endpoints remove a folder together with whatever is in it, so
            // a folder that still holds items (filtered, skipped, refused or
            // failed ones) is not handed to them at all.
            CommitCopies();
            const int result = ContentsRemoved(c, code) ? SyncFolder(c) : KeepFolder(c);
            ownFailed = result != 0;
            if (ownFailed) {
                SetRowCode(c, saError);
            } else {
                removed_.insert(c->Item);
            }
        }
    } else if (operation != opNone && !FilteredOut(c)) {
        const size_t waiting = waiting_;
        LeftOper->NotAnswering = false;
        RightOper->NotAnswering = false;
        const int result = c->IsFolder == 0 ? SyncItem(c) : SyncFolder(c);
        ++OpCount;
        // A copy waiting for its flush gets its row with the flush.
        if (waiting_ <= waiting) {
            ownFailed = result != 0;
            if (!ownFailed && operation == opDelete) {
                removed_.insert(c->Item);
            }
            SetRowCode(c, ownFailed ? saError : saSame);
        }
        NoteAnswer(result);
        if (CommitDue()) {
            StartBatch();
        }
    }
    // A folder is done once everything in it was walked; one whose own
    // operation failed, or whose walk a cancel cut short, does not say so.
    if (c->IsFolder == 1 && !ownFailed && !Terminated()) {
        EndFolder(c, code);
    }
}

// Whether a folder to copy got none of its items over and some failed: it may
// never have been made (a file of its name in the way), so it is not settled.
bool TTandemoraThread::NothingArrived(const TResultRow* Row, int32_t Code) {
    if (Code != saCopyLtoR && Code != saCopyRtoL) {
        return false;
    }
    bool failed = false;
    for (int i = 0; i < Row->ChildCount(); ++i) {
        const int32_t code = Row->Child(i)->Action.load();
        if (code == saSame) {
            return false;
        }
        failed = failed || code == saError;
    }
    return failed;
}

// Whether this run deleted everything the analysis found in a folder that is to
// be deleted: each item of the folder was deleted here with the folder's own
// code, or is one that neither side holds any more (kept as "same").
bool TTandemoraThread::ContentsRemoved(const TResultRow* Row, int32_t Code) const {
    if (Row->Item == nullptr) {
        return false;
    }
    for (const TFileTree* child : Row->Item->Children) {
        if (child->Action != saSame && (child->Action != Code || removed_.count(child) == 0)) {
            return false;
        }
    }
    return true;
}

// A folder to delete that still holds items stays, and says so.
int TTandemoraThread::KeepFolder(TResultRow* Row) {
    TFileAttri attr;
    attr.Name = Row->Name;
    attr.RelPath = Row->Path;
    attr.IsFolder = 1;
    int32_t operation = opNone;
    int32_t side = -1;
    GetOperation(Row->Action.load(), operation, side);
    TFileOper* dst = side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* dstSource = side == 0 ? &Task->RFolder : &Task->LFolder;
    std::string path;
    dst->BuildFullPath(dstSource, &attr, path);
    LogLine = "Error Delete Folder " + EscapeForLog(path) + FolderNotEmptyText;
    AddLogLine();
    Notify(WM_UPDATEPROCESS);
    return 1;
}

int TTandemoraThread::SyncItem(TResultRow* Row) {
    TFileAttri attr;
    attr.Name = Row->Name;
    attr.RelPath = Row->Path;
    const int32_t code = Row->Action.load();
    int32_t operation = opNone;
    int32_t side = -1;
    GetOperation(code, operation, side);
    // One side over the other, chosen by hand for a file that side does not
    // hold (a deletion held back for a folder that looks unmounted), makes the
    // other side like it: the file goes there, if the task deletes at all.
    const bool overwrite = code == saOverwriteLtoR || code == saOverwriteRtoL;
    if (overwrite && !AnalysisSawFile(side == 0 ? Row->LeftDate : Row->RightDate) &&
        Task->IsDeleteFile != 0) {
        operation = opDelete;
    }
    LeftOper->Source = &Task->LFolder;
    RightOper->Source = &Task->RFolder;
    attr.Size = side == 0 ? Row->LeftSize : Row->RightSize;
    attr.Time = side == 0 ? Row->LeftDate : Row->RightDate;

    std::string line;
    int result = 1;
    TFileOper* dst = side == 0 ? RightOper.get() : LeftOper.get();
    const size_t waitingBefore = dst->PendingCommits();
    try {
        // The line names the item even when connecting already fails.
        line = ItemLine(operation, side, attr);
        // Copy threads may read it meanwhile: written only when it changes.
        for (TFileOper* oper : {LeftOper.get(), RightOper.get()}) {
            if (oper->NotifyWnd != NotifyWnd) {
                oper->NotifyWnd = NotifyWnd;
            }
        }
        // A connection lost since the last item says so in the checks below.
        ClearReasons(LeftOper.get(), RightOper.get());
        failure_.clear();
        if (!ConnectBoth()) {
            // Every further step would wait as long again for nothing.
            failure_ = LeftOper->NotAnswering ? Reason(LeftOper.get()) : Reason(RightOper.get());
            if (failure_.empty()) {
                failure_ = " (the server is not answering)";
            }
            result = 1;
        } else if (operation == opCopy) {
            result = CopyItem(Row, side, attr, line);
        } else {
            result = DeleteItem(Row, side, attr, line);
        }
        LogRemovedParts(dst);
        if (result == 0 && dst->PendingCommits() > waitingBefore) {
            // Its line and row come when its flush has decided (CommitCopies).
            THeld held;
            held.Line = line;
            held.Row = Row;
            held.Dst = dst;
            held.Index = waitingBefore;
            held.Side = side;
            held.Name = attr.Name;
            held_.push_back(std::move(held));
            if (waiting_++ == 0) {
                firstWaiting_ = std::chrono::steady_clock::now();
            }
            Notify(WM_UPDATEPROCESS);
            return 0;
        }
        // A name the endpoint cannot hold says more than what the system made of it.
        const std::string trouble = result == 0 ? std::string() : NameTrouble(operation, side, attr.Name);
        LogLine = result == 0 ? line : "Error " + line + (trouble.empty() ? failure_ : trouble);
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Write Error", e);
        Terminate();
        LogLine = "Error: " + line + " (" + EscapeForLog(e.what()) + ")";
        result = 1;
    } catch (...) {
        ErrorLogger.LogError("Write Error", "Exception", "unknown exception");
        Terminate();
        LogLine = "Error: " + line;
        result = 1;
    }
    AddLogLine();
    Notify(WM_UPDATEPROCESS);
    return result;
}

// Why an item that failed may have failed on account of its name alone, as the
// end of its error line; empty when its name is no reason.
std::string TTandemoraThread::NameTrouble(int32_t Operation, int32_t Side, const std::string& Name) const {
    const TFolderSource& source = Side == 0 ? Task->LFolder : Task->RFolder;
    const TFolderSource& target = Side == 0 ? Task->RFolder : Task->LFolder;
    std::string trouble = NameTroubleOf(target, Name, Operation == opCopy);
    if (trouble.empty() && Operation == opCopy) {
        trouble = NameTroubleOf(source, Name, false);
    }
    return trouble.empty() ? trouble : " (" + trouble + ")";
}

// The part files an earlier, killed run of this task left, which the endpoint
// removed before it wrote into their folder.
void TTandemoraThread::LogRemovedParts(TFileOper* Oper) {
    for (const std::string& path : Oper->RemovedPartFiles) {
        LogLine = "Removed the part file of an earlier run of this task: " + EscapeForLog(path);
        AddLogLine();
    }
    Oper->RemovedPartFiles.clear();
}

std::string TTandemoraThread::ItemLine(int32_t Operation, int32_t Side, TFileAttri Attr) {
    TFileOper* src = Side == 0 ? LeftOper.get() : RightOper.get();
    TFileOper* dst = Side == 0 ? RightOper.get() : LeftOper.get();
    std::string targetPath;
    dst->BuildFullPath(Side == 0 ? &Task->RFolder : &Task->LFolder, &Attr, targetPath);
    if (Operation != opCopy) {
        return "Delete:" + EscapeForLog(targetPath);
    }
    std::string sourcePath;
    src->BuildFullPath(Side == 0 ? &Task->LFolder : &Task->RFolder, &Attr, sourcePath);
    return "Copy:" + EscapeForLog(sourcePath) + " -> " + EscapeForLog(targetPath);
}

int TTandemoraThread::CopyItem(TResultRow* Row, int32_t Side, TFileAttri& Attr, std::string& Line) {
    TFileOper* src = Side == 0 ? LeftOper.get() : RightOper.get();
    TFileOper* dst = Side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* srcSource = Side == 0 ? &Task->LFolder : &Task->RFolder;
    TFolderSource* dstSource = Side == 0 ? &Task->RFolder : &Task->LFolder;
    const int32_t srcAttrBits = Side == 0 ? Row->LeftAttr : Row->RightAttr;
    int32_t targetDate = Side == 0 ? Row->RightDate : Row->LeftDate;
    int64_t targetSize = Side == 0 ? Row->RightSize : Row->LeftSize;
    const int32_t code = Row->Action.load();
    bool overwrite = code == saOverwriteRtoL || code == saOverwriteLtoR;
    const auto caseRenamed = renamedTargets_.find(Row);
    if (caseRenamed != renamedTargets_.end()) {
        // The old file now stands under this name: the copy replaces it.
        targetDate = caseRenamed->second.first;
        targetSize = caseRenamed->second.second;
        overwrite = true;
    }

    std::string targetPath;
    std::string sourcePath;
    dst->BuildFullPath(dstSource, &Attr, targetPath);
    src->BuildFullPath(srcSource, &Attr, sourcePath);
    Line = "Copy:" + EscapeForLog(sourcePath) + " -> " + EscapeForLog(targetPath);

    if (!TargetAsAnalysed(dst, dstSource, targetPath, targetDate, targetSize)) {
        // Two names of the source that differ only in case are one name on a
        // target that ignores case: that, not a change, is why it is taken.
        const bool twin = !AnalysisSawFile(targetDate) && dst->LastErrorText.empty() && HasCaseTwin(Row);
        Line += twin ? std::string(CaseTwinText) : TargetCheckFailed(dst);
        return 1;
    }
    TFileAttri writeAttr = Attr;
    std::string tempPath;
    if (Task->UseTempFile == 1) {
        // A part-file name, which no scan lists: a run killed before the rename
        // leaves nothing that the next run would take for a file of the user's.
        writeAttr.Name = fs::PartFileName(Attr.Name, Task->SyncID);
        dst->BuildFullPath(dstSource, &writeAttr, tempPath);
        // Whatever stands under the temporary name (a file of the user's, or one
        // an earlier run left) would be overwritten and then renamed away.
        if (!TargetAsAnalysed(dst, dstSource, tempPath, 0, 0)) {
            const std::string why = Reason(dst);
            Line += why.empty() ? std::string(TempTakenText) : why;
            return 1;
        }
    }
    if (Task->SaveOldFile == 1 && overwrite && Task->EstimateDiskSpace == 0 && AnalysisSawFile(targetDate)) {
        // The user asked for the old version to be kept: without it, no overwrite.
        if (dst->SaveOldFile(dstSource, &Attr) != 0) {
            Line += NotSavedText;
            return 1;
        }
    }

    ClearReasons(src, dst);
    // A copy written later, on another thread, checks the target again then.
    dst->AnalysedTarget = {Task->UseTempFile != 1, AnalysisSawFile(targetDate), targetDate, targetSize};
    int result = CopyByRoute(src, dst, srcSource, dstSource, Attr, writeAttr, sourcePath, srcAttrBits);
    dst->AnalysedTarget = TFileOper::TAnalysedTarget();
    if (result != 0) {
        failure_ = Reason(dst, src);
    }
    if (Task->UseTempFile != 1) {
        return result;
    }
    // The temporary name was free before the copy, so whatever stands there now is
    // this run's own: a failed copy must not leave it behind, where it would block
    // the next try and be taken for a new file of the user's.
    auto dropTemp = [&](int failure) {
        if (dst->GetFileSize(tempPath) >= 0) {
            dst->DeleteFile(dstSource, &writeAttr);
        }
        return failure;
    };
    if (result != 0) {
        return dropTemp(result);
    }

    // Safe copy: the ".tmp" file takes the item's name only when it is complete
    // and the target is still the one the analysis saw.
    ClearReasons(src, dst);
    if (dst->GetFileSize(tempPath) != Attr.Size) {
        const std::string why = Reason(dst);
        Line += why.empty() ? std::string(" (the copy is not complete)") : why;
        return dropTemp(1);
    }
    if (!TargetAsAnalysed(dst, dstSource, targetPath, targetDate, targetSize)) {
        Line += TargetCheckFailed(dst);
        return dropTemp(1);
    }
    // A disk rename replaces the old file in one step, so it is never missing in
    // between; a remote server may refuse to rename onto an existing name.
    if (overwrite && !IsDiskKind(dstSource->DeviceType)) {
        dst->DeleteFile(dstSource, &Attr);
    }
    dst->LastErrorText.clear();
    const int renamed = dst->RenameFile(tempPath, targetPath);
    if (renamed != 0) {
        failure_ = Reason(dst);
    }
    return renamed;
}

int TTandemoraThread::CopyByRoute(TFileOper* Src, TFileOper* Dst, TFolderSource* SrcSource,
                                  TFolderSource* DstSource, TFileAttri& Attr, TFileAttri& WriteAttr,
                                  const std::string& SourcePath, int32_t SourceAttrBits) {
    const bool srcDisk = IsDiskKind(SrcSource->DeviceType);
    const bool dstDisk = IsDiskKind(DstSource->DeviceType);
    // A share is written only by its endpoint, which refuses names it cannot
    // hold; a download into it goes through a staging file like a remote target.
    const bool dstShare = fs::IsUncPath(TrimBlanks(DstSource->FolerAllName));
    if (srcDisk && dstDisk) {
        return Dst->PutFile(SourcePath, DstSource, &WriteAttr, SourceAttrBits);
    }
    if (!srcDisk && dstDisk && !dstShare) {
        Dst->MakeFolder(Attr.RelPath);
        // The download writes by path. The target folder is opened from the root
        // without following links and the download is pointed at that very
        // folder, so a link put in place of a folder after the analysis cannot
        // take it elsewhere.
        std::string writePath;
        Dst->BuildFullPath(DstSource, &WriteAttr, writePath);
        fs::TFolder folder;
        const std::string root = WithoutTrailingSeparators(DstSource->FolerAllName);
        if (!folder.Open(root.empty() ? "/" : root, WriteAttr.RelPath)) {
            return erFailed;
        }
        if (auto* local = dynamic_cast<TWinFileOper*>(Dst)) {
            std::string folderPath;
            Dst->BuildFullPath(DstSource, &WriteAttr, folderPath);
            local->RemoveStaleParts(folder, folderPath.substr(0, folderPath.size() - WriteAttr.Name.size()));
        }
        const std::string pinned = folder.PinnedPath();
        if (!pinned.empty()) {
            writePath = pinned + WriteAttr.Name;
        }
        return Src->GetFile(writePath, SrcSource, &Attr, 0);
    }
    if (srcDisk && !dstDisk) {
        Dst->MakeFolder(Attr.RelPath);
        return Dst->PutFile(SourcePath, DstSource, &WriteAttr, 0);
    }
    // Remote to remote, or into a share: through a private local file that nobody
    // else can read.
    TStagingFile staging("copy", this, ++stagingCount_);
    if (staging.Path().empty()) {
        return erFailed;
    }
    const int fetched = Src->GetFile(staging.Path(), SrcSource, &Attr, 0);
    if (fetched != 0) {
        return fetched;
    }
    return Dst->PutFile(staging.Path(), DstSource, &WriteAttr, SourceAttrBits);
}

int TTandemoraThread::DeleteItem(TResultRow* Row, int32_t Side, TFileAttri& Attr, std::string& Line) {
    TFileOper* dst = Side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* dstSource = Side == 0 ? &Task->RFolder : &Task->LFolder;
    const int32_t targetDate = Side == 0 ? Row->RightDate : Row->LeftDate;
    const int64_t targetSize = Side == 0 ? Row->RightSize : Row->LeftSize;
    // The file to delete is the target's: its own size and date.
    Attr.Size = targetSize;
    Attr.Time = targetDate;

    std::string targetPath;
    dst->BuildFullPath(dstSource, &Attr, targetPath);
    Line = "Delete:" + EscapeForLog(targetPath);
    if (!TargetAsAnalysed(dst, dstSource, targetPath, targetDate, targetSize)) {
        Line += TargetCheckFailed(dst);
        return 1;
    }
    if (Task->SaveOldFile == 1 && Task->EstimateDiskSpace == 0 && dst->SaveOldFile(dstSource, &Attr) != 0) {
        Line += NotSavedText;
        return 1;
    }
    dst->LastErrorText.clear();
    // A read-only bit the copy took over from the file the user deleted does
    // not keep its copy here; one set on this side alone does.
    const bool copiedBit = Row->Item != nullptr && Row->Item->DeletedReadOnly != 0;
    const int deleted =
        copiedBit ? dst->DeleteReadOnlyFile(dstSource, &Attr) : dst->DeleteFile(dstSource, &Attr);
    if (deleted != 0) {
        failure_ = Reason(dst);
    }
    return deleted;
}

// Whether the target is still what the analysis saw: absent when the row shows
// no file on that side, otherwise a file of the row's size and (where the
// endpoint can tell) the row's DOS time.
bool TTandemoraThread::TargetAsAnalysed(TFileOper* Dst, TFolderSource* DstSource, const std::string& Path,
                                        int32_t Date, int64_t Size) {
    const bool expected = AnalysisSawFile(Date);
    if (DstSource->DeviceType == dtLocal && !fs::IsUncPath(Path)) {
        // Nothing under the name, not even a link: one look says so (whatever
        // would stop that look stops one that follows links too).
        struct stat st;
        if (lstat(Path.c_str(), &st) != 0) {
            return !expected;
        }
        fs::DirEntry entry;
        const bool described = fs::GetEntryInfo(Path, entry);
        const bool present = described || fs::FileExists(Path) || fs::DirectoryExists(Path);
        if (!expected) {
            return !present;
        }
        return described && !entry.IsFolder && entry.Size == Size && entry.Time == Date;
    }
    const int64_t actual = Dst->GetFileSize(Path);
    return expected ? actual == Size : actual < 0;
}

int TTandemoraThread::SyncFolder(TResultRow* Row) {
    TFileAttri attr;
    attr.Name = Row->Name;
    attr.RelPath = Row->Path;
    attr.IsFolder = 1;
    int32_t operation = opNone;
    int32_t side = -1;
    GetOperation(Row->Action.load(), operation, side);
    LeftOper->Source = &Task->LFolder;
    RightOper->Source = &Task->RFolder;
    TFileOper* dst = side == 0 ? RightOper.get() : LeftOper.get();
    TFolderSource* dstSource = side == 0 ? &Task->RFolder : &Task->LFolder;

    if (operation != opCopy) {
        // No copy waiting for its flush is left inside a folder to remove.
        CommitCopies();
    }
    std::string line;
    int result = 1;
    try {
        // A remote side connects at its first operation; a folder may be the
        // run's first, and a lost connection is tried again as for a file.
        dst->LastErrorText.clear();
        LeftOper->Connect();
        RightOper->Connect();
        std::string path;
        dst->BuildFullPath(dstSource, &attr, path);
        if (operation == opCopy) {
            path = RelativeToRoot(path, dstSource->FolerAllName);
            line = "Copy Folder " + EscapeForLog(path);
            // A folder from a disk side keeps its permission bits where the target can hold them.
            std::string sourcePath;
            TFileOper* src = side == 0 ? LeftOper.get() : RightOper.get();
            TFolderSource* srcSource = side == 0 ? &Task->LFolder : &Task->RFolder;
            if (IsDiskKind(srcSource->DeviceType)) {
                src->BuildFullPath(srcSource, &attr, sourcePath);
            }
            // A disk side is given the folder's levels as listed: a share's full
            // path has turned every "/" into "\", and a name holding "\" could no
            // longer be told from two levels.
            std::string levels = ItemRelPath(attr.RelPath, attr.Name);
            levels.erase(0, levels.find_first_not_of('/'));
            result = dst->MakeFolderLike(IsDiskKind(dstSource->DeviceType) ? levels : path, sourcePath);
        } else {
            line = "Delete Folder " + EscapeForLog(path);
            result = dst->RemoveFolder(dstSource, &attr);
        }
        LogLine = result == 0 ? line : "Error " + line + Reason(dst);
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Write Folder Error", e);
        Terminate();
        LogLine = "Error:Write Folder " + line + " (" + EscapeForLog(e.what()) + ")";
        result = 1;
    } catch (...) {
        ErrorLogger.LogError("Write Folder Error", "Exception", "unknown exception");
        Terminate();
        LogLine = "Error:Write Folder " + line;
        result = 1;
    }
    AddLogLine();
    Notify(WM_UPDATEPROCESS);
    return result;
}

// ---- Snapshots ----------------------------------------------------------------------------

// The new snapshots are fresh scans of both sides, in which the items this run
// did not settle keep what the analysis compared with, the items changed
// while it ran what the analysis saw, and the parts the rescan could not read
// what the last snapshots said there with what this run did folded in
// (TUnsettledItems). A run without an operation writes them only when the
// analysis had no pair of snapshots to compare with (else the next analysis
// would judge every item by time again) or found files both sides had changed
// alike; otherwise the snapshots of the last synchronisation stay as they are.
int TTandemoraThread::SaveSnapshots() {
    std::unique_ptr<TFileOper> left;
    std::unique_ptr<TFileOper> right;
    int result = 0;
    bool compared = false;
    try {
        // After a cancel nothing waits long on a server; a side whose server
        // did not answer the run's last operation on it is not asked again.
        // Such a side is not rescanned: its snapshot keeps what the last one
        // said there, with this run's changes.
        const bool afterCancel = Terminated() && !stoppedUnanswered_;
        left = NewOper(Task->LFolder, afterCancel);
        right = NewOper(Task->RFolder, afterCancel);
        left->Source = &Task->LFolder;
        right->Source = &Task->RFolder;
        bool silent[2] = {silent_[0], silent_[1]};
        TFileOper* opers[2] = {left.get(), right.get()};
        for (int32_t side = 0; side < 2; ++side) {
            if (!silent[side]) {
                opers[side]->Connect();
                silent[side] = opers[side]->NotAnswering;
            }
        }
        const int32_t place = Task->SnapshotPlace();
        const bool local[2] = {place == spLeftLocal || place == spBothLocal,
                               place == spRightLocal || place == spBothLocal};
        if ((silent[0] && !local[0]) || (silent[1] && !local[1])) {
            // A snapshot kept on a server that does not answer can be neither
            // read nor replaced: the pair an earlier run wrote stays as it is,
            // and the next analysis sees what this run did as made alike on
            // both sides.
            LogLine = "The snapshots stay as the last sync left them: the server does not answer.";
            AddLogLine();
            left->Stop();
            right->Stop();
            return 0;
        }
        const TRowCodes codes = RowCodes();
        const bool onThisComputer[2] = {local[0] || PlainLocal(Task->LFolder),
                                        local[1] || PlainLocal(Task->RFolder)};
        if (OpCount.load() == 0 && AnalysisCompared && onThisComputer[0] && onThisComputer[1] &&
            !SettledAlike(codes)) {
            // Nothing done and nothing agreed: the pair on this computer that
            // the analysis compared with already says what a new pair would.
            left->Stop();
            right->Stop();
            return 0;
        }
        TArenaPtr baseArenas[2];
        TFileTree* loaded[2] = {nullptr, nullptr};
        LoadPreviousPair(left.get(), right.get(), local, onThisComputer[0] && onThisComputer[1], baseArenas,
                         loaded);
        TFileTree* leftBase = loaded[0];
        TFileTree* rightBase = loaded[1];
        compared = TAnalyzeThread::SnapshotsUsable(Task, leftBase, rightBase);
        if (compared) {
            // Entries kept from the last pair keep what the analysis knew of them.
            TRunStamp::LoadFineTimes(*Task, leftBase, rightBase);
        }
        if (OpCount.load() == 0 && compared && !SettledAlike(codes)) {
            left->Stop();
            right->Stop();
            return 0;
        }
        TFolderSource* sources[2] = {&Task->LFolder, &Task->RFolder};
        for (int32_t side = 0; side < 2; ++side) {
            silent[side] = silent[side] || opers[side]->NotAnswering;
            if (silent[side]) {
                opers[side]->ScanIncomplete = true;
            } else if (Scanned[side] != nullptr && TSnapshotDraft::Usable(*sources[side])) {
                std::sort(written_[side].begin(), written_[side].end());
                TSnapshotDraft::Build(opers[side], Scanned[side],
                                      View != nullptr ? View->ResultTree() : nullptr, side, written_[side]);
            } else {
                opers[side]->ScanTree();
            }
        }
        const auto rootUnread = [](const TFileOper* oper) {
            return oper->ScanIncomplete || oper->RootMissing || oper->Tree->ListFailed != 0;
        };
        // The last pair may also lie in the place the task kept its snapshots
        // in before its settings changed: the run stamp still names it.
        const bool lastPair = compared || !TRunStamp::Read(*Task).empty();
        if (OpCount.load() == 0 && lastPair && (rootUnread(left.get()) || rootUnread(right.get()))) {
            // A run that changed nothing and cannot see a side now (a server
            // that is down) keeps the last pair whole: one side's new snapshot
            // beside the other's old one would end the pair, and the next
            // analysis would judge every file by its times alone; so would a
            // new pair in another place, whose stamp would replace the last
            // pair's. A folder below that could not be read keeps its entries
            // in the new pair; without any last pair, the new one (with nothing
            // below what was not read) is still better than none.
            for (TFileOper* oper : {left.get(), right.get()}) {
                if (rootUnread(oper)) {
                    LogLine = std::string(oper == left.get() ? "Left" : "Right") +
                              " snapshot not saved: the folder could not be read completely after the sync; "
                              "the previous snapshots stay.";
                    AddLogLine();
                }
            }
            left->Stop();
            right->Stop();
            return 0;
        }
        const TFileTree* bases[2] = {compared ? leftBase : nullptr, compared ? rightBase : nullptr};
        // The entries taken over from the old pair are read in this zone, like
        // the new pair; bases stays as written, to put the old pair back.
        const TFileTree* kept[2] = {bases[0], bases[1]};
        TArenaPtr movedArenas[2];
        TZoneOffsets then;
        if (compared && TRunStamp::WrittenIn(*Task, then) && !(then == TZoneOffsets::Now())) {
            for (int32_t side = 0; side < 2; ++side) {
                if (bases[side] != nullptr) {
                    kept[side] = MovedToThisZone(bases[side], then, movedArenas[side]);
                }
            }
        }
        const bool known[2] = {KeepUnread(opers[0], kept[0], 0), KeepUnread(opers[1], kept[1], 1)};
        TUnsettledItems unsettled;
        const TFileTree* resultTree = View != nullptr ? View->ResultTree() : nullptr;
        unsettled.Collect(resultTree, codes);
        unsettled.CollectChangedSince(resultTree, codes, left->Tree, right->Tree);
        unsettled.Apply(left->Tree, right->Tree, kept[0], kept[1]);
        // The pair is replaced as a whole or not at all: the side kept on an
        // endpoint (where a write fails more often) goes first.
        const int32_t first = local[0] && !local[1] ? 1 : 0;
        const int32_t second = 1 - first;
        std::string digests[2];
        bool written =
            known[0] && known[1] && SaveSideSnapshot(opers[first], first, local[first], digests[first]);
        if (written && !SaveSecondSnapshot(opers[second], second, local[second], digests[second])) {
            written = false;
            // The first side holds the new one: the old pair is gone unless it
            // is put back (and stays gone if putting it back raises).
            const bool hadPair = compared;
            compared = false;
            std::string previous;
            compared =
                hadPair && SaveSideSnapshot(opers[first], first, local[first], previous, bases[first], false);
        }
        if (written) {
            NoteKnownBytes(left->Tree, right->Tree, right.get(), 1);
            NoteKnownBytes(right->Tree, left->Tree, left.get(), 0);
        }
        if (written &&
            !TRunStamp::Write(*Task, TRunStamp::OfDigests(digests[0], digests[1]), left->Tree, right->Tree)) {
            written = false;
            compared = false;
            ReportUnsaved("the run stamp " + EscapeForLog(Task->RunStampPath()) + " could not be written");
        }
        if (!written && !compared) {
            // Only a pair written together may be compared with as a pair.
            TRunStamp::Remove(*Task);
        }
        if (written && !silent[0] && !silent[1]) {
            RemoveSnapshotsElsewhere(left.get(), right.get(), place);
        }
    } catch (const std::exception& e) {
        if (!compared) {
            TRunStamp::Remove(*Task);
        }
        ReportUnsaved(std::string("the run stopped while making them (") + EscapeForLog(e.what()) + ")");
        result = 1;
    } catch (...) {
        if (!compared) {
            TRunStamp::Remove(*Task);
        }
        ReportUnsaved("the run stopped while making them");
        result = 1;
    }
    // Part files of a snapshot write killed half-way, also after a run that
    // stopped while making the snapshots.
    if (left) {
        LogRemovedParts(left.get());
        left->Stop();
    }
    if (right) {
        LogRemovedParts(right.get());
        right->Stop();
    }
    return result;
}

// The second side's snapshot: one whose text cannot even be made failed like
// one that cannot be written, so the caller puts the first side's earlier
// snapshot back.
bool TTandemoraThread::SaveSecondSnapshot(TFileOper* Oper, int32_t Side, bool Local, std::string& Digest) {
    try {
        return SaveSideSnapshot(Oper, Side, Local, Digest);
    } catch (const std::exception& e) {
        ReportUnsaved(std::string(Side == 0 ? "Left" : "Right") + " snapshot could not be made (" +
                      EscapeForLog(e.what()) + ")");
    } catch (...) {
        ReportUnsaved(std::string(Side == 0 ? "Left" : "Right") + " snapshot could not be made");
    }
    return false;
}

// A side the rescan could not read completely keeps, where it was not read,
// what its last snapshot said (when the analysis compared with one). False when
// no snapshot is to be written: the side's folder is not there any more (a
// write would make it again, on the disk below a mount point say), or its root
// was not read and there is no earlier snapshot to fall back on.
bool TTandemoraThread::KeepUnread(TFileOper* Oper, const TFileTree* Base, int32_t Side) {
    if (Oper->ScanComplete()) {
        return true;
    }
    const std::string sideName = Side == 0 ? "Left" : "Right";
    if (Oper->RootMissing) {
        ReportUnsaved(sideName + " folder was not there after the sync" +
                      (Base != nullptr ? std::string("; the earlier pair stays") : std::string()));
        return false;
    }
    const bool rootUnread = Oper->Tree->ListFailed != 0 || Oper->ScanIncomplete || Oper->RootMissing;
    if (rootUnread && Base == nullptr) {
        ReportUnsaved(sideName + " folder could not be read after the sync and there is no earlier snapshot "
                                 "of it to keep");
        return false;
    }
    // A scan that broke off may have missed any folder: it counts as not read.
    Oper->Tree->ListFailed = rootUnread ? 1 : 0;
    TUnsettledItems::KeepUnread(Oper->Tree, Base);
    std::string folders;
    for (const std::string& folder : Oper->UnreadFolders) {
        folders += (folders.empty() ? "" : ", ") + EscapeForLog(folder);
    }
    LogLine = sideName + " folder could not be read completely after the sync" +
              (folders.empty() ? std::string() : " (" + folders + ")") +
              "; its snapshot keeps what the last one said there, with this run's changes.";
    AddLogLine();
    return true;
}

// Said in the log and in the error log: the next run compares the folders
// directly unless the earlier pair of snapshots still stands.
void TTandemoraThread::ReportUnsaved(const std::string& Why) {
    if (SnapshotsNotSaved.empty()) {
        SnapshotsNotSaved = Why;
    }
    LogLine = "Error: snapshots not saved: " + Why + ".";
    AddLogLine();
    ErrorLogger.LogError("Snapshots not saved", "ESnapshot", LogLine);
}

// The snapshot of one side as the next analysis would load it (an empty root
// when there is none).
TFileTree* TTandemoraThread::LoadPrevious(TFileOper* Oper, int32_t Side, bool Local, TArenaPtr& Arena) {
    if (Local) {
        TFileTree* loaded = NewTree(Arena);
        if (Task->LoadSnapshot(loaded, Side) != 0) {
            loaded = NewTree(Arena);
        }
        return loaded;
    }
    Oper->SnapshotName = Task->FileID();
    Oper->LoadSnapshot();
    Arena = Oper->SnapshotArena;
    return Oper->Snapshot;
}

void TTandemoraThread::LoadPreviousPair(TFileOper* Left, TFileOper* Right, const bool Local[2],
                                        bool SideBySide, TArenaPtr Arenas[2], TFileTree* Bases[2]) {
    if (SideBySide) {
        std::future<TFileTree*> left;
        try {
            left = std::async(std::launch::async, [this, Left, Local, Arenas] {
                return LoadPrevious(Left, 0, Local[0], Arenas[0]);
            });
        } catch (const std::system_error&) {
            SideBySide = false; // no thread to be had: one after the other
        }
        if (SideBySide) {
            Bases[1] = LoadPrevious(Right, 1, Local[1], Arenas[1]);
            Bases[0] = left.get();
            return;
        }
    }
    Bases[0] = LoadPrevious(Left, 0, Local[0], Arenas[0]);
    Bases[1] = LoadPrevious(Right, 1, Local[1], Arenas[1]);
}

// A row's code is the sync's word on its item; items the view did not show
// keep the code of the analysis.
TRowCodes TTandemoraThread::RowCodes() const {
    TRowCodes codes;
    if (View != nullptr) {
        View->ForEachRow([&codes](TResultRow* row) {
            if (row->Item != nullptr) {
                codes.Add(row->Item, row->Action.load());
            }
        });
    }
    codes.Sort();
    return codes;
}

// A server file listed while its minute still ran (tfMinuteOpen) could take
// another client's edit of the same size later in that minute unseen. Where
// the other side is a disk, the bytes of its file of the same size there (as
// the sync left them) go with the time, as a digest, so that the next
// analysis can tell whether they are still on the server.
void TTandemoraThread::NoteKnownBytes(TFileTree* Open, const TFileTree* Other, TFileOper* OtherOper,
                                      int32_t OtherSide) {
    TFolderSource* source = OtherSide == 0 ? &Task->LFolder : &Task->RFolder;
    if (Open == nullptr || Other == nullptr || !IsDiskKind(source->DeviceType) || Terminated()) {
        return;
    }
    std::map<std::string_view, const TFileTree*> others;
    for (const TFileTree* child : Other->Children) {
        others.emplace(child->Name, child);
    }
    for (TFileTree* child : Open->Children) {
        const auto found = others.find(child->Name);
        if (found == others.end() || child->Data == nullptr || found->second->Data == nullptr) {
            continue;
        }
        const TFileAttri* mine = child->Data;
        TFileAttri theirs = *found->second->Data;
        if (mine->IsFolder == 1 && theirs.IsFolder == 1) {
            NoteKnownBytes(child, found->second, OtherOper, OtherSide);
            continue;
        }
        if (mine->IsFolder != 0 || theirs.IsFolder != 0 || mine->TimeFraction != tfMinuteOpen ||
            mine->Size != theirs.Size) {
            continue;
        }
        std::string path;
        OtherOper->BuildFullPath(source, &theirs, path);
        uint32_t digest = 0;
        if (TSameContent::DigestOf(path, theirs.Size, digest)) {
            child->Data->TimeFraction = MinuteOpenWith(digest);
        }
    }
}

// Whether the result holds a file that both sides had changed alike and that
// stayed settled, or the snapshots list items neither side holds any more.
bool TTandemoraThread::SettledAlike(const TRowCodes& Codes) const {
    if (View == nullptr || View->ResultTree() == nullptr) {
        return false;
    }
    if (View->ResultTree()->Agreed != 0) {
        return true;
    }
    std::vector<const TFileTree*> pending = {View->ResultTree()};
    while (!pending.empty()) {
        const TFileTree* node = pending.back();
        pending.pop_back();
        for (const TFileTree* child : node->Children) {
            if (child->Agreed != 0 && Codes.CodeOf(child) == saSame) {
                return true;
            }
            pending.push_back(child);
        }
    }
    return false;
}

// Writes one side's snapshot: Tree (the fresh scan made ready by SaveSnapshots)
// or, to put the earlier one back, Tree given here; Digest receives the digest of
// the text written (for the run stamp). Report false writes no line.
bool TTandemoraThread::SaveSideSnapshot(TFileOper* Oper, int32_t Side, bool Local, std::string& Digest,
                                        const TFileTree* Tree, bool Report) {
    TFolderSource* source = Side == 0 ? &Task->LFolder : &Task->RFolder;
    const TFileTree* root = Tree != nullptr ? Tree : Oper->Tree;
    const std::string& rootName = Tree != nullptr ? Tree->Name : source->FolerAllName;
    int written = 0;
    // A write that raises (a server gone mid-transfer) failed like one that
    // says so: the caller still puts the earlier snapshot back.
    std::string why;
    try {
        if (Local) {
            written = SaveLocalSnapshot(root, rootName, Side, Digest);
        } else {
            // The endpoint reads the text as it writes it; the digest is taken
            // from the tree (the same text) rather than from a copy held whole.
            Digest = TRunStamp::DigestOf(root, rootName);
            TSnapshotStreamBuf text(*root, rootName);
            std::istream stream(&text);
            TFileAttri attr;
            attr.Name = Task->FileID();
            attr.RelPath = std::string("/") + WorkFolderName + "/";
            written = Oper->WriteFromStream(stream, source, &attr, false);
        }
    } catch (const std::exception& e) {
        written = 1;
        why = std::string(" (") + EscapeForLog(e.what()) + ")";
    }
    if (written != 0 && Report) {
        const std::string where =
            Local ? EscapeForLog(Task->LocalSnapshotPath(Side)) : std::string("its work folder");
        ReportUnsaved(std::string(Side == 0 ? "Left" : "Right") + " snapshot could not be written to " +
                      where + why);
    }
    return written == 0;
}

// A snapshot left at a place the task no longer uses must not come back into
// use when the task returns to that place. The program's own files go; a work
// folder is cleared only when the task keeps its bookkeeping out of both
// folders (a source kept read-only is not written to).
void TTandemoraThread::RemoveSnapshotsElsewhere(TFileOper* Left, TFileOper* Right, int32_t Place) {
    const bool local[2] = {Place == spLeftLocal || Place == spBothLocal,
                           Place == spRightLocal || Place == spBothLocal};
    TFileOper* opers[2] = {Left, Right};
    TFolderSource* sources[2] = {&Task->LFolder, &Task->RFolder};
    for (int32_t side = 0; side < 2; ++side) {
        if (!local[side]) {
            const std::string file = Task->LocalSnapshotPath(side);
            if (fs::FileExists(file)) {
                fs::DeleteFile(file);
            }
        } else if (Place == spBothLocal) {
            TFileAttri attr;
            attr.Name = Task->FileID();
            attr.RelPath = std::string("/") + WorkFolderName + "/";
            std::string path;
            opers[side]->BuildFullPath(sources[side], &attr, path);
            if (opers[side]->GetFileSize(path) >= 0) {
                opers[side]->DeleteFile(sources[side], &attr);
            }
        }
    }
}

int TTandemoraThread::SaveLocalSnapshot(const TFileTree* Tree, const std::string& RootName, int32_t Side,
                                        std::string& Digest) {
    auto write = [Tree, &RootName](std::ostream& out) { Tree->SaveToStream(out, RootName); };
    return TRunStamp::ReplaceLocalFile(Task->LocalSnapshotPath(Side), write, &Digest) ? 0 : 1;
}

} // namespace tandemora
