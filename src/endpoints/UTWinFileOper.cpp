#include "endpoints/UTWinFileOper.h"

#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <istream>
#include <langinfo.h>
#include <mutex>
#include <streambuf>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tandemora {

namespace {

const char* const WorkRelPath = "/__Tandemora__/";

// The root without its trailing separators, so that a relative path (which starts
// with "/") can be put right behind it. The file system root "/" becomes "", and
// no join can start with two separators, which would name a network share.
std::string RootBase(const TFolderSource* source) {
    std::string base = TrimBlanks(source->FolerAllName);
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base;
}

// The folder of an item: root + relative path, ending in "/". Relative paths from
// other endpoint kinds may lack the leading or trailing separator.
std::string FolderOf(const TFolderSource* source, const std::string& relPath) {
    size_t skip = 0;
    while (skip < relPath.size() && relPath[skip] == '/') {
        ++skip;
    }
    std::string folder = RootBase(source) + "/" + relPath.substr(skip);
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string SystemMessage(int error) {
    return std::strerror(error);
}

// True when the open source and the item st are one file: a file is never
// copied onto itself.
bool SameFile(const fs::TFileHandle& source, const struct stat& target) {
    struct stat st;
    return fstat(source.Fd(), &st) == 0 && S_ISREG(target.st_mode) && st.st_dev == target.st_dev &&
           st.st_ino == target.st_ino;
}

bool SameInstant(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Said of a copy whose target was saved by someone else while the copy was
// written or waited for its flush: the other save is kept.
const char* const TargetChangedText = "the target changed after the analysis";

// Up to this many folders with new names are flushed one by one after a
// batch's renames; beyond it one flush of the file system costs less.
constexpr size_t FoldersFlushedOneByOne = 8;

// Whether the name still holds what it held when the copy began: still nothing,
// or the same file with the same size and times. One stat, taken just before
// the rename, so an edit saved in place or by a rename meanwhile is never
// replaced by the copy.
bool TargetStillAsSeen(const fs::TFolder& folder, const std::string& name, bool existed,
                       const struct stat& seen) {
    struct stat now;
    const bool exists = folder.Stat(name, now);
    if (!existed || !exists) {
        return existed == exists && (exists || errno == ENOENT);
    }
    return now.st_dev == seen.st_dev && now.st_ino == seen.st_ino && now.st_size == seen.st_size &&
           SameInstant(now.st_mtim, seen.st_mtim) && SameInstant(now.st_ctim, seen.st_ctim);
}

// Whether what stands under the name (existed, seen) is what the analysis saw
// there: nothing, or a file (a link to one counts as the file) of its size and
// DOS time. The sync checks that before a copy; a copy that begins later, on a
// copy thread, checks it again on its own look at the target, which is then
// the one its rename is checked against.
bool StillAsAnalysed(const fs::TFolder& folder, const std::string& name, bool existed,
                     const struct stat& seen, const TFileOper::TAnalysedTarget& analysed) {
    if (!analysed.Known || !analysed.Exists) {
        return !analysed.Known || !existed;
    }
    struct stat file = seen;
    if (!existed || (S_ISLNK(seen.st_mode) && !folder.Stat(name, file, true))) {
        return false;
    }
    return S_ISREG(file.st_mode) && static_cast<int64_t>(file.st_size) == analysed.Size &&
           fs::UnixToDosTime(file.st_mtim) == analysed.Date;
}

// The part file a copy is written into, in the target's folder, until it takes
// the target's name. Until Commit succeeds it is removed again, whatever way the
// copy ends, so a partial copy never stands under the final name and an old
// target stays as it was.
class TPartFile {
public:
    TPartFile(const fs::TFolder& folder, const std::string& owner) : folder_(folder), owner_(owner) {}
    ~TPartFile() {
        if (!name_.empty()) {
            File.Close();
            folder_.RemoveLeftover(name_);
        }
    }
    TPartFile(const TPartFile&) = delete;
    TPartFile& operator=(const TPartFile&) = delete;

    // Creates the part file for Target with the given mode (the umask applies).
    bool Create(const std::string& target, mode_t mode) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = fs::PartFileName(target, owner_);
            if (folder_.CreateNew(candidate, mode, File)) {
                name_ = candidate;
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    // Flushes and closes the file and renames it over the target (a link
    // standing there is replaced itself).
    bool Commit(const std::string& target) {
        const bool written = File.Sync();
        if (!File.Close() || !written || !folder_.Rename(name_, folder_, target)) {
            return false;
        }
        name_.clear();
        return true;
    }

    // Closes the file without flushing it and hands its name over: from here
    // on the caller removes the part file when it does not take the target's
    // name. False (the part file removed) when the close reports lost writes.
    bool Release(std::string& name) {
        if (!File.Close()) {
            return false;
        }
        name.swap(name_);
        name_.clear();
        return true;
    }

    fs::TFileHandle File;

private:
    const fs::TFolder& folder_;
    const std::string owner_;
    std::string name_;
};

// One chunk of a copy from In to Out: inside the kernel while the system can
// copy between the two files, else through Buffer (made once, kept for later
// copies). The bytes copied, 0 at In's end, -1 on failure.
int64_t CopyChunk(fs::TFileHandle& in, fs::TFileHandle& out, bool& inKernel, std::vector<char>& buffer) {
    if (inKernel) {
        const int64_t n = out.CopyFrom(in, static_cast<size_t>(CopyChunkSize));
        if (n >= 0 || !fs::TFileHandle::CannotCopyInKernel(errno)) {
            return n;
        }
        inKernel = false;
    }
    if (buffer.empty()) {
        buffer.resize(static_cast<size_t>(CopyChunkSize));
    }
    const int64_t n = in.Read(buffer.data(), buffer.size());
    if (n > 0 && !out.WriteAll(buffer.data(), static_cast<size_t>(n))) {
        return -1;
    }
    return n;
}

// Copies every byte of the open file In (of Total bytes when opened) into Part,
// reading to its end, and checks that In is still as it was opened: its size
// and modification time unchanged. AfterChunk runs after each chunk written while
// no more than Total bytes have come; false from it breaks the copy off (-1,
// errno ECANCELED). 0 done, Part then dated like In and with its permission
// bits; -1 a read or write failed; 1 the source changed meanwhile. Seen, when
// given, is In's fstat at its opening: the copy then looks at In only once
// more, at its end.
int CopyOpenFile(fs::TFileHandle& in, int64_t total, TPartFile& part, std::vector<char>& buffer,
                 const std::function<bool(int64_t)>& afterChunk, const struct stat* seen = nullptr) {
    timespec access{};
    timespec opened{};
    if (seen != nullptr) {
        opened = seen->st_mtim;
    } else if (!in.GetTimes(access, opened)) {
        return -1;
    }
    fs::TWriteBehind writeBehind(part.File);
    bool inKernel = true;
    int64_t copied = 0;
    for (;;) {
        const int64_t n = CopyChunk(in, part.File, inKernel, buffer);
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        writeBehind.Wrote(static_cast<size_t>(n));
        copied += n;
        if (copied > total) {
            return 1; // it grew
        }
        if (afterChunk && !afterChunk(copied)) {
            errno = ECANCELED;
            return -1;
        }
    }
    // The copy takes the source's own time, to the nanosecond, and its
    // permission bits: a read-only file stays read-only, a private one private.
    if (seen != nullptr) {
        struct stat now;
        if (fstat(in.Fd(), &now) != 0) {
            return -1;
        }
        if (copied != total || now.st_size != total || !SameInstant(now.st_mtim, opened)) {
            return 1;
        }
        return part.File.SetTimes(now.st_atim, now.st_mtim) && fchmod(part.File.Fd(), now.st_mode & 0777) == 0
                   ? 0
                   : -1;
    }
    timespec modify{};
    if (copied != total || in.Size() != total || !in.GetTimes(access, modify) ||
        !SameInstant(modify, opened)) {
        return 1;
    }
    struct stat st;
    if (!part.File.SetTimes(access, modify) || fstat(in.Fd(), &st) != 0 ||
        fchmod(part.File.Fd(), st.st_mode & 0777) != 0) {
        return -1;
    }
    return 0;
}

// The mode a folder made by a copy takes: that of the source folder it stands
// for, when the levels of the relative path match the source's folders by name
// (0, the usual mode, otherwise). The owner keeps full access, or the sync could
// not fill the folder.
fs::TFolderMode SourceFolderModes(const std::string& sourceFolder, const std::string& rel) {
    if (fs::IsUncPath(sourceFolder)) {
        return nullptr;
    }
    size_t levels = 0;
    for (size_t i = 0; i < rel.size(); ++i) {
        if (rel[i] != '/' && (i == 0 || rel[i - 1] == '/')) {
            ++levels;
        }
    }
    return [sourceFolder, levels](size_t level, const std::string& name) -> mode_t {
        std::string folder = sourceFolder;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        for (size_t up = level + 1; up < levels; ++up) {
            const size_t slash = folder.rfind('/');
            folder = slash == std::string::npos ? std::string() : folder.substr(0, slash);
        }
        struct stat st;
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos || folder.compare(slash + 1, std::string::npos, name) != 0 ||
            stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return 0;
        }
        return (st.st_mode & 0777) | S_IRWXU;
    };
}

// An open local file as a stream buffer that can go back: the snapshot reader
// passes over the text twice.
class TFileReadBuffer : public std::streambuf {
public:
    TFileReadBuffer(fs::TFileHandle& file, const std::string& path)
        : file_(file), path_(path), block_(65536) {}

protected:
    int_type underflow() override {
        const int64_t n = file_.Read(block_.data(), block_.size());
        if (n < 0) {
            throw EInOutError("Cannot read file \"" + path_ + "\". " + SystemMessage(errno));
        }
        if (n == 0) {
            return traits_type::eof();
        }
        setg(block_.data(), block_.data(), block_.data() + n);
        return traits_type::to_int_type(*gptr());
    }

    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode) override {
        if (dir == std::ios::cur) {
            off -= egptr() - gptr(); // read ahead into the block but not yet taken
        }
        const int whence = dir == std::ios::beg ? SEEK_SET : dir == std::ios::cur ? SEEK_CUR : SEEK_END;
        const off_t at = lseek(file_.Fd(), off, whence);
        setg(block_.data(), block_.data(), block_.data());
        return at < 0 ? pos_type(off_type(-1)) : pos_type(at);
    }

    pos_type seekpos(pos_type pos, std::ios::openmode which) override {
        return seekoff(off_type(pos), std::ios::beg, which);
    }

private:
    fs::TFileHandle& file_;
    std::string path_;
    std::vector<char> block_;
};

// Loads a local snapshot file straight from the disk rather than through
// ReadToStream: a snapshot is as large as its tree, and the reader takes it block
// by block instead of holding the whole text beside the tree it builds. An empty
// file is no snapshot.
void LoadFromFile(const std::string& path, TFileTree& snapshot) {
    fs::TFileHandle file;
    if (!file.OpenRead(path)) {
        throw EFOpenError("Cannot open file \"" + path + "\". " + SystemMessage(errno));
    }
    const int64_t size = file.Size();
    if (size < 0) {
        throw EInOutError("Cannot read file \"" + path + "\". " + SystemMessage(errno));
    }
    if (size > 0) {
        TFileReadBuffer buffer(file, path);
        std::istream stream(&buffer);
        snapshot.LoadFromStream(stream);
    }
}

} // namespace

TWinFileOper::TWinFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {
    ResetTree();
}

TWinFileOper::~TWinFileOper() {
    WaitForScan();
    // Copies handed over and not yet begun stay undone, and nothing takes its
    // name any more: whoever would have reported them is gone.
    closing_.store(true);
    workers_.reset();
    DropPending();
}

std::string TWinFileOper::FormatPercent(int64_t Copied, int64_t Total) {
    if (Total <= 0) {
        return "100";
    }
    const long double exact = static_cast<long double>(Copied) * 10000.0L / static_cast<long double>(Total);
    const long long hundredths = std::llround(exact);
    std::string text;
    if (hundredths >= 100) {
        text = std::to_string(hundredths / 100);
    }
    const int fraction = static_cast<int>(hundredths % 100);
    if (fraction != 0) {
        // The user's decimal separator, as every other number on the screen shows it.
        const char* radix = nl_langinfo(RADIXCHAR);
        text += radix != nullptr && radix[0] != '\0' ? radix : ".";
        text += static_cast<char>('0' + fraction / 10);
        if (fraction % 10 != 0) {
            text += static_cast<char>('0' + fraction % 10);
        }
    }
    // Nothing but optional digits: a share too small to show still reads "0".
    return text.empty() ? "0" : text;
}

std::string TWinFileOper::Root() const {
    return TrimBlanks(Source->FolerAllName);
}

// The relative path of a listed folder: the folder below the root, with a leading
// and a trailing "/" ("/" for the root itself). Only the root at the start is
// taken off, so a folder deeper down that repeats the root's text keeps its path.
std::string TWinFileOper::RelativeOf(const std::string& Dir) const {
    const std::string base = RootBase(Source);
    if (Dir.size() > base.size() && Dir.compare(0, base.size(), base) == 0 && Dir[base.size()] == '/') {
        return Dir.substr(base.size());
    }
    return Dir;
}

// ---- Scan -------------------------------------------------------------------------

int TWinFileOper::ScanTree() {
    if (Tree == nullptr || Tree->ChildCount > 0 || !Tree->Children.empty()) {
        ResetTree();
    }
    Tree->ListFailed = 0;
    UnreadFolders.clear();
    ScanIncomplete = false;
    NotAnswering = false;
    RootMissing = IsRootMissing() != 0;
    if (RootMissing) {
        // Nothing seen is not the same as nothing there: the empty tree is marked.
        Notify(WM_UPDATEPROCESS);
        Tree->ListFailed = 1;
    } else {
        try {
            const std::string root = FolderOf(Source, "/");
            if (fs::IsUncPath(root)) {
                scanAncestors_.clear();
                ListFolder(Tree, root);
                SortTree(Tree);
            } else {
                ScanLocalTree(root);
            }
            Tree->RemoveChild(WorkFolderName);
        } catch (const std::exception& e) {
            ErrorLogger.LogError("", e);
            MarkIncomplete();
            return 0;
        }
    }
    if (LoadSnapshotFlag) {
        LoadSnapshot();
        LoadSnapshotFlag = false;
    }
    return 0;
}

void TWinFileOper::ListFolder(TFileTree* Node, const std::string& Path) {
    Notify(WM_UPDATEPROCESS);
    if (Terminated()) {
        Node->ListFailed = 1;
        MarkIncomplete();
        return;
    }
    // Not trimmed: below the root, a blank or control character at the end is
    // part of a folder's name.
    const std::string Dir = !Path.empty() && Path.back() == '/' ? Path : Path + "/";
    // A server that stopped answering would make every further folder wait as
    // long again for nothing: they count as not seen.
    if (NotAnswering) {
        Node->ListFailed = 1;
        UnreadFolders.push_back(Dir);
        MarkIncomplete();
        return;
    }
    // One text for the relative path of every entry listed here.
    const TRelPath Rel = RelativeOf(Dir);
    TTreeArena* arena = Node->Arena;

    // Sub-folders are listed once this folder is closed again, so that a deep tree
    // holds one open folder at a time; the order of the walk stays depth first.
    std::vector<std::pair<TFileTree*, TFolderID>> folders;
    const bool share = fs::IsUncPath(Dir);
    const int error = fs::ListFolder(Dir, [&](const fs::DirEntry& entry) {
        if (!IsSafeEntryName(entry.Name, share)) {
            ListingDamaged(Node, Dir, entry.Name);
            return;
        }
        if (LeftOutOfScan(entry, scanAncestors_)) {
            return;
        }
        TFileAttri* attr = arena->NewAttri();
        attr->Name = entry.Name;
        attr->Size = entry.Size;
        attr->Time = entry.Time;
        if (!share && !entry.IsFolder) {
            attr->TimeFraction = fs::TimeFraction(entry.ModifyTime);
        }
        attr->Attr = static_cast<int32_t>(entry.Attr);
        attr->RelPath = Rel;
        attr->IsFolder = entry.IsFolder ? 1 : 0;
        TFileTree* child = Node->AddChild(entry.Name, attr);
        if (entry.IsFolder) {
            folders.emplace_back(child, TFolderID(entry.Device, entry.Inode));
        }
    });
    // The child list grew by doubling; trimmed now, its spare room serves the
    // next folder instead of staying with this one for the life of the tree.
    Node->Children.shrink_to_fit();
    if (error != 0) {
        FolderNotRead(Node, Dir, error);
    }
    for (const auto& [child, id] : folders) {
        scanAncestors_.push_back(id);
        ListFolder(child, Dir + child->Name);
        scanAncestors_.pop_back();
    }
}

// ---- Local scan on several threads --------------------------------------------

namespace {

// Threads that list one local side: half the processors, at most four (the other
// side scans at the same time), the scan's own thread among them.
unsigned ScanThreadCount() {
    return std::clamp(std::thread::hardware_concurrency() / 2, 1U, 4U);
}

// Entries taken from the arena at a time: the lock is held once per batch, and a
// folder of a million entries is never held twice over on its way into the tree.
constexpr size_t ScanBatch = 512;

// What a folder's listing met beyond its entries. Told to UnreadFolders and the
// error log after the scan, in the order of the finished tree, so that the
// threads' timing decides nothing a person reads.
struct TScanEvents {
    std::string Dir;
    std::vector<std::string> Damaged;
    int Error = 0;
    bool Skipped = false;
};

} // namespace

struct TWinFileOper::TScanJob {
    TFileTree* Node = nullptr;
    std::string Dir; // ends in "/"
    // The folders from the root down to this one, so that none is entered again.
    std::vector<TFolderID> Ancestors;
};

struct TWinFileOper::TFolderScan {
    std::mutex Lock;
    std::condition_variable Wake;
    // Folders found and not yet handed out, the next one last.
    std::vector<TScanJob> Found;
    // Folders handed out to the listing threads, the first one first.
    std::deque<TScanJob> Ready;
    size_t Busy = 0;   // folders being listed
    bool Done = false; // the listing threads may go
    std::exception_ptr Failure;
    std::unordered_map<const TFileTree*, TScanEvents> Events;
    // Nodes and entries come from the tree's one arena.
    std::mutex ArenaLock;
    std::atomic<bool> NotAnswering{false};
    bool Terminated = false;
};

// The scan's own thread hands the folders out, each after its progress step and
// the look at Terminate, as a single walk does, so that a Stop during a step
// keeps that folder and every later one unlisted; the listing threads list them.
void TWinFileOper::ScanLocalTree(const std::string& Root) {
    TFolderScan scan;
    TScanJob first;
    first.Node = Tree;
    first.Dir = Root.back() == '/' ? Root : Root + "/";
    struct stat st;
    if (stat(Root.c_str(), &st) == 0) {
        first.Ancestors.emplace_back(st.st_dev, st.st_ino);
    }
    scan.Found.push_back(std::move(first));
    std::vector<std::thread> listers;
    try {
        for (unsigned i = 0; i < ScanThreadCount(); ++i) {
            listers.emplace_back([this, &scan] { ScanWorker(scan); });
        }
    } catch (const std::system_error&) {
        // No more threads to be had: those started do the work.
    }
    HandOutFolders(scan, listers.empty());
    for (std::thread& lister : listers) {
        lister.join();
    }
    if (scan.Failure) {
        std::rethrow_exception(scan.Failure);
    }
    ReplayScanEvents(scan, Tree);
    if (scan.Terminated) {
        MarkIncomplete();
    }
}

void TWinFileOper::HandOutFolders(TFolderScan& Scan, bool ListHere) {
    std::vector<TScanJob> batch;
    fs::TDosClock clock;
    std::unique_lock<std::mutex> lock(Scan.Lock);
    for (;;) {
        Scan.Wake.wait(lock, [&Scan] {
            return Scan.Failure || !Scan.Found.empty() || (Scan.Ready.empty() && Scan.Busy == 0);
        });
        if (Scan.Failure || Scan.Found.empty()) {
            break; // broken off, or nothing waits and nobody can find more
        }
        batch.swap(Scan.Found);
        lock.unlock();
        std::vector<TScanJob> handed;
        for (auto job = batch.rbegin(); job != batch.rend(); ++job) {
            if (HandOut(Scan, *job)) {
                handed.push_back(std::move(*job));
            }
        }
        batch.clear();
        if (ListHere) {
            // Without listing threads the folders are listed here, one by one.
            for (TScanJob& job : handed) {
                std::vector<TScanJob> found;
                ListLocalFolder(Scan, job, clock, found);
                const std::lock_guard<std::mutex> guard(Scan.Lock);
                Scan.Found.insert(Scan.Found.end(), std::make_move_iterator(found.rbegin()),
                                  std::make_move_iterator(found.rend()));
            }
            handed.clear();
        }
        lock.lock();
        for (TScanJob& job : handed) {
            Scan.Ready.push_back(std::move(job));
        }
        Scan.Wake.notify_all();
    }
    Scan.Done = true;
    Scan.Wake.notify_all();
}

// A folder's progress step and the looks that may keep it from being listed;
// true when it is to be listed.
bool TWinFileOper::HandOut(TFolderScan& Scan, TScanJob& Job) {
    Notify(WM_UPDATEPROCESS);
    if (Terminated()) {
        Job.Node->ListFailed = 1;
        Scan.Terminated = true;
        return false;
    }
    if (Scan.NotAnswering) {
        // As in a single walk: once the disk stops answering, further folders
        // count as not seen rather than each waiting as long again.
        Job.Node->ListFailed = 1;
        TScanEvents events;
        events.Dir = Job.Dir;
        events.Skipped = true;
        const std::lock_guard<std::mutex> guard(Scan.Lock);
        Scan.Events.emplace(Job.Node, std::move(events));
        return false;
    }
    return true;
}

void TWinFileOper::ScanWorker(TFolderScan& Scan) {
    std::vector<TScanJob> found;
    fs::TDosClock clock;
    std::unique_lock<std::mutex> lock(Scan.Lock);
    for (;;) {
        Scan.Wake.wait(lock, [&Scan] { return Scan.Done || !Scan.Ready.empty(); });
        if (Scan.Ready.empty()) {
            return;
        }
        TScanJob job = std::move(Scan.Ready.front());
        Scan.Ready.pop_front();
        ++Scan.Busy;
        lock.unlock();
        found.clear();
        std::exception_ptr failure;
        try {
            ListLocalFolder(Scan, job, clock, found);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        --Scan.Busy;
        if (failure && !Scan.Failure) {
            Scan.Failure = failure;
        }
        // Reversed: the first sub-folder is handed out first.
        Scan.Found.insert(Scan.Found.end(), std::make_move_iterator(found.rbegin()),
                          std::make_move_iterator(found.rend()));
        Scan.Wake.notify_all();
    }
}

void TWinFileOper::ListLocalFolder(TFolderScan& Scan, TScanJob& Job, fs::TDosClock& Clock,
                                   std::vector<TScanJob>& Found) {
    TFileTree* node = Job.Node;
    TScanEvents events;
    const TRelPath rel = RelativeOf(Job.Dir);
    std::vector<fs::DirEntry> batch;
    const auto addBatch = [&] {
        const size_t first = node->Children.size();
        {
            const std::lock_guard<std::mutex> guard(Scan.ArenaLock);
            for (size_t i = 0; i < batch.size(); ++i) {
                node->AddChild(std::string(), node->Arena->NewAttri());
            }
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            const fs::DirEntry& entry = batch[i];
            TFileTree* child = node->Children[first + i];
            TFileAttri* attr = child->Data;
            child->Name = entry.Name;
            attr->Name = entry.Name;
            attr->Size = entry.Size;
            attr->Time = entry.Time;
            if (!entry.IsFolder) {
                attr->TimeFraction = fs::TimeFraction(entry.ModifyTime);
            }
            attr->Attr = static_cast<int32_t>(entry.Attr);
            attr->RelPath = rel;
            attr->IsFolder = entry.IsFolder ? 1 : 0;
            if (entry.IsFolder) {
                TScanJob& sub = Found.emplace_back();
                sub.Node = child;
                sub.Dir = Job.Dir + entry.Name + "/";
                sub.Ancestors = Job.Ancestors;
                sub.Ancestors.emplace_back(entry.Device, entry.Inode);
            }
        }
        batch.clear();
    };
    events.Error = fs::ListFolder(
        Job.Dir,
        [&](const fs::DirEntry& entry) {
            if (!IsSafeEntryName(entry.Name, false)) {
                events.Damaged.push_back(entry.Name);
                return;
            }
            if (LeftOutOfScan(entry, Job.Ancestors)) {
                return;
            }
            batch.push_back(entry);
            if (batch.size() == ScanBatch) {
                addBatch();
            }
        },
        &Clock);
    addBatch();
    node->Children.shrink_to_fit();
    SortChildren(node);
    if (IsUnansweredError(events.Error)) {
        Scan.NotAnswering = true;
    }
    if (events.Error != 0 || !events.Damaged.empty()) {
        events.Dir = Job.Dir;
        const std::lock_guard<std::mutex> guard(Scan.Lock);
        Scan.Events.emplace(node, std::move(events));
    }
}

void TWinFileOper::ReplayScanEvents(TFolderScan& Scan, TFileTree* Node) {
    const auto found = Scan.Events.find(Node);
    if (found != Scan.Events.end()) {
        const TScanEvents& events = found->second;
        if (events.Skipped) {
            UnreadFolders.push_back(events.Dir);
            MarkIncomplete();
        }
        for (const std::string& name : events.Damaged) {
            ListingDamaged(Node, events.Dir, name);
        }
        if (events.Error != 0) {
            FolderNotRead(Node, events.Dir, events.Error);
        }
        Scan.Events.erase(found);
    }
    for (TFileTree* child : Node->Children) {
        if (Scan.Events.empty()) {
            return;
        }
        if (child->Data != nullptr && child->Data->IsFolder == 1) {
            ReplayScanEvents(Scan, child);
        }
    }
}

// Entries of a listing that are no items of the tree.
bool TWinFileOper::LeftOutOfScan(const fs::DirEntry& entry, const std::vector<TFolderID>& ancestors) const {
    if (!entry.IsFolder && fs::IsPartFileOf(entry.Name, PartOwner)) {
        return true; // this task's unfinished copy, never an item of the tree
    }
    // A work folder holds a side's snapshot and kept versions, wherever it
    // is (a folder of another task's side inside this one): never user data.
    if (entry.IsFolder && entry.Name == WorkFolderName) {
        return true;
    }
    // A folder that is one above it again (a bind mount of a folder inside
    // itself) would be listed without end: left out, like a link to a folder.
    const TFolderID id(entry.Device, entry.Inode);
    return entry.IsFolder && (id.first != 0 || id.second != 0) &&
           std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end();
}

void TWinFileOper::FolderNotRead(TFileTree* Node, const std::string& Dir, int Error) {
    // What was listed stays, but the folder counts as not seen.
    Node->ListFailed = 1;
    UnreadFolders.push_back(Dir);
    NotAnswering = NotAnswering || IsUnansweredError(Error);
}

int TWinFileOper::GetTopFolderCount() {
    int count = 0;
    fs::ListFolder(FolderOf(Source, "/"), [&count](const fs::DirEntry& entry) {
        if (entry.IsFolder) {
            ++count;
        }
    });
    return count;
}

// ---- Snapshot --------------------------------------------------------------------------

int TWinFileOper::LoadSnapshot() {
    ResetSnapshot();
    SnapshotFailed = false;
    if (SnapshotName.empty()) {
        return 0;
    }
    TFileAttri attr;
    attr.Name = SnapshotName;
    attr.RelPath = WorkRelPath;
    if (!fs::FileExists(FolderOf(Source, attr.RelPath) + attr.Name)) {
        return 0;
    }
    try {
        std::string path;
        BuildFullPath(Source, &attr, path);
        if (fs::IsUncPath(path)) {
            // A file on a share cannot be read twice through its handle, so its
            // text comes into memory first.
            std::stringstream stream;
            ReadToStream(Source, &attr, stream);
            if (stream.rdbuf()->in_avail() > 0) {
                Snapshot->LoadFromStream(stream);
            }
        } else {
            LoadFromFile(path, *Snapshot);
        }
    } catch (const std::exception& e) {
        // A snapshot that cannot be used counts as absent; the log tells why.
        ResetSnapshot();
        SnapshotFailed = true;
        ErrorLogger.LogError("Read Snapshot Error", e);
    }
    return 0;
}

// ---- Single file operations ---------------------------------------------------------------

int TWinFileOper::Connect() {
    return IsRootMissing();
}

bool TWinFileOper::ConnectsPerItem() const {
    return Source == nullptr || Source->DeviceType != dtLocal || fs::IsUncPath(Root());
}

int TWinFileOper::IsRootMissing() {
    const std::string root = Root();
    if (root.empty()) {
        return Fail(1, "no folder is given");
    }
    if (root.front() != '/' && !fs::IsUncPath(root)) {
        // A relative path names a folder below wherever the program was started
        // (the home folder under cron, any folder from a shell): never one place.
        return Fail(1, "not a full path (a folder is named from \"/\")");
    }
    errno = 0;
    if (!fs::DirectoryExists(root)) {
        return errno != 0 ? FailWithErrno(1, "") : Fail(1, "not a folder");
    }
    return 0;
}

int TWinFileOper::ReadToStream(TFolderSource* Source, TFileAttri* Attr, std::stringstream& Stream) {
    std::string path;
    BuildFullPath(Source, Attr, path);
    fs::TFileHandle in;
    if (!in.OpenRead(path)) {
        throw EFOpenError("Cannot open file \"" + path + "\". " + SystemMessage(errno));
    }
    // Sized for the whole file at once: a snapshot is as large as its tree, and
    // growing the text step by step would need up to twice that.
    std::string bytes;
    bytes.reserve(static_cast<size_t>(std::max<int64_t>(in.Size(), 0)));
    std::vector<char> buffer(65536);
    for (;;) {
        const int64_t n = in.Read(buffer.data(), buffer.size());
        if (n < 0) {
            throw EInOutError("Cannot read file \"" + path + "\". " + SystemMessage(errno));
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer.data(), static_cast<size_t>(n));
    }
    Stream.str(std::move(bytes));
    Stream.clear();
    return erOk;
}

// ---- Writing below the root -------------------------------------------------------------------

// Every write opens the folders from the root down without following a link
// (fs::TFolder), so that a link planted in the tree, also after the scan, can
// never take it elsewhere.
bool TWinFileOper::OpenFolder(TFolderSource* Side, const std::string& RelPath, bool Make, fs::TFolder& Folder,
                              const fs::TFolderMode& Mode) {
    if (TrimBlanks(Side->FolerAllName).empty()) {
        errno = ENOENT;
        return false;
    }
    const std::string base = RootBase(Side);
    return Folder.Open(base.empty() ? "/" : base, RelPath, Make, Mode);
}

// The folder of a full path and the item's name. Below the root the folders are
// opened without links; a path elsewhere (a staging file of the sync's own) is
// taken as it stands.
bool TWinFileOper::OpenItemFolder(const std::string& Path, fs::TFolder& Folder, std::string& Name) {
    const bool share = fs::IsUncPath(Path);
    const size_t slash = Path.find_last_of(share ? "/\\" : "/");
    if (slash == std::string::npos || slash + 1 == Path.size()) {
        errno = EINVAL;
        return false;
    }
    Name = Path.substr(slash + 1);
    const std::string folder = Path.substr(0, slash);
    const std::string base = RootBase(Source);
    if (!share && !Root().empty() &&
        (folder == base || folder.compare(0, base.size() + 1, base + "/") == 0)) {
        return OpenFolder(Source, folder.substr(base.size()), false, Folder);
    }
    return Folder.OpenPath(folder.empty() ? "/" : folder);
}

// A killed copy leaves its part file behind; the first write of this object into
// a folder removes those of its own task.
void TWinFileOper::RemoveStaleParts(const fs::TFolder& Folder, const std::string& Path) {
    if (PartOwner.empty() || !Folder.IsOpen() || !PartFoldersCleared.insert(Path).second) {
        return;
    }
    std::vector<std::string> removed;
    Folder.RemovePartFilesOf(PartOwner, removed);
    const std::string folder = Path.empty() || Path.back() == '/' ? Path : Path + "/";
    for (const std::string& name : removed) {
        RemovedPartFiles.push_back(folder + name);
    }
}

// Writes a part file beside the target and renames it over the target, so the
// target is either the old file or the complete new one. The file is private
// (0600): the work folder's snapshots name everything in the tree. A read-only
// target is kept unless ClearReadOnly is set.
int TWinFileOper::WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                                  bool ClearReadOnly) {
    ForgetCopyFolder();
    if (!ShareCanHold(Source, Attr->RelPath, Attr->Name)) {
        return erFailed;
    }
    fs::TFolder folder;
    if (!OpenFolder(Source, Attr->RelPath, true, folder)) {
        return erFailed;
    }
    RemoveStaleParts(folder, FolderOf(Source, Attr->RelPath));
    struct stat old;
    if (folder.Stat(Attr->Name, old, true) && !S_ISDIR(old.st_mode) && (old.st_mode & S_IWUSR) == 0) {
        // The read-only bit is honoured the way the user set it. A server may
        // refuse to replace a read-only file, so there it is cleared first.
        if (!ClearReadOnly) {
            return erFailed;
        }
        if (folder.Fd() < 0) {
            std::string path;
            BuildFullPath(Source, Attr, path);
            fs::ClearReadOnly(path);
        }
    }
    TPartFile part(folder, PartOwner);
    if (!part.Create(Attr->Name, 0600)) {
        return erFailed;
    }
    std::vector<char> buffer(65536);
    bool written = true;
    while (written && Stream) {
        Stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize n = Stream.gcount();
        if (n > 0) {
            written = part.File.WriteAll(buffer.data(), static_cast<size_t>(n));
        }
    }
    if (!written || Stream.bad()) {
        return erFailed;
    }
    // Without a valid date (a snapshot has none) the file keeps the time of writing.
    time_t when = 0;
    if (fs::DosTimeToUnix(Attr->Time, when)) {
        part.File.SetTimes({when, 0}, {when, 0});
    }
    return part.Commit(Attr->Name) ? erOk : erFailed;
}

int TWinFileOper::MakeFolder(const std::string& RelPath) {
    ForgetCopyFolder();
    if (!ShareCanHold(Source, RelPath, "")) {
        return 1;
    }
    fs::TFolder folder;
    return OpenFolder(Source, RelPath, true, folder) ? 0 : FailWithErrno(1, "making the folder");
}

int TWinFileOper::MakeFolderLike(const std::string& RelPath, const std::string& SourcePath) {
    ForgetCopyFolder();
    if (!ShareCanHold(Source, RelPath, "")) {
        return 1;
    }
    fs::TFolder folder;
    return OpenFolder(Source, RelPath, true, folder, SourceFolderModes(SourcePath, RelPath))
               ? 0
               : FailWithErrno(1, "making the folder");
}

int TWinFileOper::DeleteFile(TFolderSource* Source, TFileAttri* Attr) {
    return Delete(Source, Attr, false);
}

int TWinFileOper::DeleteReadOnlyFile(TFolderSource* Source, TFileAttri* Attr) {
    return Delete(Source, Attr, true);
}

int TWinFileOper::Delete(TFolderSource* Source, TFileAttri* Attr, bool ReadOnlyToo) {
    ForgetCopyFolder();
    if (!ShareCanHold(Source, Attr->RelPath, Attr->Name)) {
        return erFailed;
    }
    std::string path;
    BuildFullPath(Source, Attr, path);
    fs::TFolder folder;
    const bool deleted =
        OpenFolder(Source, Attr->RelPath, false, folder) && folder.DeleteFile(Attr->Name, ReadOnlyToo);
    const int result = deleted ? erOk : FailWithErrno(erFailed, "deleting");
    SetSyncStatusText("Delete:" + path);
    Notify(WM_COPYPROCESS);
    return result;
}

int TWinFileOper::RemoveFolder(TFolderSource* Source, TFileAttri* Attr) {
    ForgetCopyFolder();
    if (!ShareCanHold(Source, Attr->RelPath, Attr->Name)) {
        return erFailed;
    }
    if (Attr->RelPath.empty()) {
        Attr->RelPath = "/";
    }
    fs::TFolder folder;
    return OpenFolder(Source, Attr->RelPath, false, folder) && folder.RemoveFolder(Attr->Name)
               ? erOk
               : FailWithErrno(erFailed, "removing the folder");
}

int TWinFileOper::GetSavedFolder(std::string& Path) {
    const std::string work = std::string("/") + WorkFolderName;
    const std::string saved = work + "/" + SavedFolderName;
    const int made = MakeFolder(work) == 0 && MakeFolder(saved) == 0 ? 0 : 1;
    Path = saved;
    return made;
}

int64_t TWinFileOper::GetFileSize(const std::string& Path) {
    if (fs::IsUncPath(Path)) {
        fs::DirEntry info;
        errno = 0;
        if (!fs::GetEntryInfo(Path, info)) {
            // Only the server's "not there" means absent; a lost connection does not.
            return errno == ENOENT || errno == ENOTDIR ? -1 : FileSizeUnknown;
        }
        return info.IsFolder != 0 ? FileSizeUnknown : info.Size;
    }
    struct stat st;
    if (stat(Path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            FailWithErrno(0, "looking at the target");
            return FileSizeUnknown;
        }
        // A dangling link is still something standing under the name.
        return lstat(Path.c_str(), &st) == 0 ? FileSizeUnknown : -1;
    }
    // A folder, FIFO or device where a file is expected is not a file to replace.
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : FileSizeUnknown;
}

// Keeps the current file as its previous version below "__saved__". The saved copy
// is written into a part file first, so an earlier saved copy is only replaced by
// a complete one; it has the file's time and permission bits.
int TWinFileOper::SaveOldFile(TFolderSource* Source, TFileAttri* Attr) {
    ForgetCopyFolder();
    if (!ShareCanHold(Source, Attr->RelPath, Attr->Name)) {
        return 1;
    }
    std::string saved;
    if (GetSavedFolder(saved) != 0) {
        return 1;
    }
    if (Attr->RelPath.empty()) {
        Attr->RelPath = "/";
    }
    std::string rel = Attr->RelPath;
    if (rel.front() != '/') {
        rel.insert(rel.begin(), '/');
    }
    fs::TFolder itemFolder;
    fs::TFileHandle in;
    if (!OpenFolder(Source, Attr->RelPath, false, itemFolder) || !itemFolder.OpenRead(Attr->Name, in)) {
        return 1;
    }
    // The folders below "__saved__" are as private as those they stand for.
    const fs::TFolderMode itemModes = SourceFolderModes(FolderOf(Source, rel), rel);
    const auto mirrorModes = [&itemModes](size_t level, const std::string& name) -> mode_t {
        return level < 2 || !itemModes ? 0 : itemModes(level - 2, name);
    };
    const int64_t total = in.Size();
    fs::TFolder mirror;
    if (total < 0 || !OpenFolder(Source, saved + rel, true, mirror, mirrorModes)) {
        return 1;
    }
    RemoveStaleParts(mirror, FolderOf(Source, saved + rel));
    TPartFile part(mirror, PartOwner);
    if (!part.Create(Attr->Name, 0600) || CopyOpenFile(in, total, part, copyBuffer_, nullptr) != 0) {
        return 1;
    }
    return part.Commit(Attr->Name) ? 0 : 1;
}

int TWinFileOper::ExtractFolderPath(const std::string& Path, std::string& Folder) {
    const size_t last = Path.rfind('/');
    Folder = last == std::string::npos ? std::string() : Path.substr(0, last + 1);
    return 0;
}

int TWinFileOper::BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) {
    if (Attr->RelPath.empty()) {
        Attr->RelPath = "/";
    }
    Path = FolderOf(Source, Attr->RelPath) + Attr->Name;
    return 0;
}

int TWinFileOper::BuildFolderPath(TFolderSource*, TFileAttri*, std::string&) {
    return 0;
}

// New folders on the way take the modes of the source's folders; the copy takes
// the source's exact time and permission bits (CopyWithProgress).
int TWinFileOper::PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int) {
    if (!ShareCanHold(Source, Attr->RelPath, Attr->Name)) {
        return -1;
    }
    if (Attr->RelPath.empty()) {
        Attr->RelPath = "/";
    }
    const bool toWorker =
        DeferCommits && CopyWorkers > 0 && Attr->Size <= DeferredCopyMax && !fs::IsUncPath(LocalPath);
    SetSyncStatusText("Copy:" + LocalPath);
    ShowStatus(toWorker);
    std::string sourceFolder;
    ExtractFolderPath(LocalPath, sourceFolder);
    const std::shared_ptr<fs::TFolder> folder = CopyFolder(Source, Attr->RelPath, sourceFolder);
    if (!folder) {
        return FailWithErrno(-1, "making the folder");
    }
    RemoveStaleParts(*folder, FolderOf(Source, Attr->RelPath));
    const std::string target = CopyObserver ? FolderOf(Source, Attr->RelPath) + Attr->Name : std::string();
    if (!toWorker || folder->Fd() < 0) {
        return CopyInto(LocalPath, folder, Attr->Name, Attr->Size, DeferCommits, target);
    }
    auto copy = std::make_unique<TPendingCommit>();
    copy->Folder = folder;
    copy->Source = LocalPath;
    copy->Name = Attr->Name;
    copy->Target = target;
    copy->Size = Attr->Size;
    copy->Analysed = AnalysedTarget;
    HandToWorker(std::move(copy));
    return 0;
}

// The folder the copies of a sync go into. The walk copies a folder's files one
// after the other, so the folder opened (from the root, without links) for the
// first of them stays open for the next: opening it again from the root for
// every file would cost more than a small file's copy. It is opened again when
// the copies move on to another folder, and after any other change this object
// makes to the tree (a folder made or removed, an item deleted or renamed).
std::shared_ptr<fs::TFolder> TWinFileOper::CopyFolder(TFolderSource* Side, const std::string& RelPath,
                                                      const std::string& SourceFolder) {
    std::string key = RootBase(Side);
    key += '\0';
    key += RelPath;
    if (copyFolder_ && copyFolderKey_ == key) {
        return copyFolder_;
    }
    ForgetCopyFolder();
    auto folder = std::make_shared<fs::TFolder>();
    if (!OpenFolder(Side, RelPath, true, *folder, SourceFolderModes(SourceFolder, RelPath))) {
        return nullptr;
    }
    if (folder->Fd() >= 0) {
        copyFolder_ = folder;
        copyFolderKey_ = std::move(key);
    }
    return folder;
}

// Tells the window that the status text changed. Small copies handed to the
// copy threads follow each other faster than anyone reads them: for those the
// window hears of it a few times a second, not once per file.
void TWinFileOper::ShowStatus(bool Often) {
    const auto now = std::chrono::steady_clock::now();
    if (Often && now - statusShown_ < std::chrono::milliseconds(100)) {
        return;
    }
    statusShown_ = now;
    Notify(WM_COPYPROCESS);
}

void TWinFileOper::ForgetCopyFolder() {
    copyFolder_.reset();
    copyFolderKey_.clear();
}

int TWinFileOper::RenameFile(const std::string& OldPath, const std::string& NewPath) {
    ForgetCopyFolder();
    fs::TFolder from;
    fs::TFolder into;
    std::string oldName;
    std::string newName;
    return OpenItemFolder(OldPath, from, oldName) && OpenItemFolder(NewPath, into, newName) &&
                   from.Rename(oldName, into, newName)
               ? 0
               : FailWithErrno(1, "renaming");
}

int TWinFileOper::GetFile(const std::string&, TFolderSource*, TFileAttri*, int) {
    return erFailed;
}

bool TWinFileOper::ShareCanHold(const TFolderSource* Side, const std::string& RelPath,
                                const std::string& Name) {
    const bool share = Side->DeviceType == dtNetShare || fs::IsUncPath(TrimBlanks(Side->FolerAllName));
    if (!share || (RelPath + Name).find('\\') == std::string::npos) {
        return true;
    }
    Fail(erFailed, NameTroubleOf(*Side, "\\", true));
    return false;
}

// ---- Copy ---------------------------------------------------------------------------------

int TWinFileOper::CopyWithProgress(const std::string& Src, const std::string& Dst, int64_t ExpectedSize) {
    auto folder = std::make_shared<fs::TFolder>();
    std::string name;
    if (!OpenItemFolder(Dst, *folder, name)) {
        return FailWithErrno(-1, "opening the target's folder");
    }
    RemoveStaleParts(*folder, Dst.substr(0, Dst.size() - name.size()));
    return CopyInto(Src, folder, name, ExpectedSize, false, Dst);
}

// A copy on the caller's thread: one that takes its name at once, or one that
// waits in its part file for the commit of its batch.
int TWinFileOper::CopyInto(const std::string& Src, const std::shared_ptr<fs::TFolder>& Folder,
                           const std::string& Name, int64_t ExpectedSize, bool MayWait,
                           const std::string& Target) {
    auto copy = std::make_unique<TPendingCommit>();
    copy->Folder = Folder;
    copy->Source = Src;
    copy->Name = Name;
    copy->Target = Target;
    copy->Size = ExpectedSize;
    // The sync has just checked the target on this very thread: no second look.
    const bool wait = MayWait && Folder->Fd() >= 0 && ExpectedSize <= DeferredCopyMax;
    if (CopyObserver) {
        CopyObserver(csBegin, Target);
    }
    const int result = WriteCopy(*copy, copyBuffer_, wait);
    if (result != 0) {
        NotAnswering = NotAnswering || copy->NotAnswering;
        return Fail(result, copy->ErrorText);
    }
    if (wait) {
        AddPending(std::move(copy));
    }
    return 0;
}

namespace {

// Notes why a copy failed, for its line, and answers Result.
int CopyFailed(std::string& ErrorText, int Result, const std::string& Text) {
    ErrorText = Text;
    return Result;
}

// The same with what the system said (errno) about What, as FailWithErrno says it.
int CopyFailedWithErrno(std::string& ErrorText, bool& NotAnswering, int Result, const std::string& What) {
    const int error = errno;
    NotAnswering = NotAnswering || TFileOper::IsUnansweredError(error);
    return CopyFailed(ErrorText, Result, error == 0 ? What : What + ": " + std::strerror(error));
}

} // namespace

// Writes Copy into a part file beside its target and, unless MayWait, gives
// it the target's name at once (after the check that the target is still as
// the copy found it). A copy that may wait keeps its part file (Copy.Part) for
// the commit of its batch. The result as CopyWithProgress answers it; why it
// failed in Copy.ErrorText. Runs on the caller's thread or on a copy thread:
// it touches nothing of this object's but the copy, Buffer and what it only reads.
int TWinFileOper::WriteCopy(TPendingCommit& Copy, std::vector<char>& Buffer, bool MayWait) {
    const std::string& Src = Copy.Source;
    const fs::TFolder& folder = *Copy.Folder;
    const std::string& Name = Copy.Name;
    std::string& why = Copy.ErrorText;
    bool& silent = Copy.NotAnswering;
    // A local source is opened at once and looked at once; what it was then
    // serves every check below.
    const bool localSource = !fs::IsUncPath(Src);
    struct stat seen {};
    fs::TFileHandle in;
    if (!localSource && !fs::FileExists(Src)) {
        return CopyFailedWithErrno(why, silent, -1, "reading the source");
    }
    if (!(localSource ? in.OpenRead(Src, seen) : in.OpenRead(Src))) {
        // A source that is not there (or cannot be reached) differs from one
        // that is there but cannot be read.
        if (localSource && !fs::FileExists(Src)) {
            return CopyFailedWithErrno(why, silent, -1, "reading the source");
        }
        return CopyFailedWithErrno(why, silent, 1, "reading the source");
    }
    const int64_t total = localSource ? static_cast<int64_t>(seen.st_size) : in.Size();
    if (total < 0 || total != Copy.Size) {
        // The file changed since the analysis saw it: the target is not touched.
        return CopyFailed(why, 1, "the source changed since the analysis");
    }
    // What stands under the name is replaced: a file, or a link itself (never
    // what it leads to); a folder or a special file is not.
    struct stat& old = Copy.Seen;
    const bool existed = folder.Stat(Name, old);
    Copy.TargetExisted = existed;
    const bool sameFile = localSource
                              ? S_ISREG(old.st_mode) && seen.st_dev == old.st_dev && seen.st_ino == old.st_ino
                              : SameFile(in, old);
    if (existed && ((!S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode)) || sameFile)) {
        return CopyFailed(why, -1, "the target is not a file of its own");
    }
    if (!StillAsAnalysed(folder, Name, existed, old, Copy.Analysed)) {
        return CopyFailed(why, 1, TargetChangedText);
    }
    // The bytes go into a part file beside the target, private while it is
    // written, which replaces the target (read-only or not) only once every
    // byte is there: a copy that stops early leaves the old file, or no file,
    // never a truncated one.
    TPartFile part(folder, PartOwner);
    if (!part.Create(Name, 0600)) {
        return CopyFailedWithErrno(why, silent, -1, "writing the target");
    }
    const int copied = CopyOpenFile(
        in, total, part, Buffer,
        [&](int64_t done) {
            ChunkWritten(done);
            SetSyncStatusText("Copy:" + Src + " : " + FormatPercent(done, total) + "%");
            if (done < total) {
                Notify(WM_COPYPROCESS);
            }
            // A cancelled run does not wait for the rest of a file on a share.
            return !(CancelCheck && CancelCheck());
        },
        localSource ? &seen : nullptr);
    if (copied != 0) {
        return copied < 0 ? CopyFailedWithErrno(why, silent, copied, "copying")
                          : CopyFailed(why, copied, "the source changed while it was copied");
    }
    if (existed && S_ISREG(old.st_mode) && fchown(part.File.Fd(), old.st_uid, old.st_gid) != 0) {
        // Only root may hand a file to another user; the copy then stays ours.
    }
    if (!MayWait) {
        if (CopyObserver) {
            CopyObserver(csBeforeRename, Copy.Target);
        }
        if (!TargetStillAsSeen(folder, Name, existed, old)) {
            return CopyFailed(why, 1, TargetChangedText);
        }
        return part.Commit(Name) ? 0 : CopyFailedWithErrno(why, silent, -1, "replacing the target");
    }
    if (!part.Release(Copy.Part)) {
        return CopyFailedWithErrno(why, silent, -1, "replacing the target");
    }
    return 0;
}

// A batch of copies: written (on the caller's thread or the copy threads),
// then flushed and renamed by its commit, whose results its owner collects.
struct TWinFileOper::TCommitBatch {
    std::mutex Mutex;
    std::condition_variable Changed;
    size_t Writing = 0; // copies handed to the copy threads and not yet written
    bool Committed = false;
    std::vector<std::unique_ptr<TPendingCommit>> Copies;
    std::vector<TCommitResult> Results;

    void Wrote() {
        std::lock_guard<std::mutex> lock(Mutex);
        --Writing;
        Changed.notify_all();
    }
    void WaitWritten() {
        std::unique_lock<std::mutex> lock(Mutex);
        Changed.wait(lock, [this] { return Writing == 0; });
    }
    void SetCommitted() {
        std::lock_guard<std::mutex> lock(Mutex);
        Committed = true;
        Changed.notify_all();
    }
    void WaitCommitted() {
        std::unique_lock<std::mutex> lock(Mutex);
        Changed.wait(lock, [this] { return Committed; });
    }
};

void TWinFileOper::AddPending(std::unique_ptr<TPendingCommit> Copy) {
    // Copies into one folder share it (PutFile keeps it open across them); a
    // folder opened afresh counts as the same only when it is the very same.
    const std::shared_ptr<fs::TFolder>& last = pending_.empty() ? Copy->Folder : pending_.back()->Folder;
    bool sameFolder = !pending_.empty() && last == Copy->Folder;
    if (!sameFolder && !pending_.empty()) {
        struct stat now;
        struct stat before;
        sameFolder = fstat(Copy->Folder->Fd(), &now) == 0 && fstat(last->Fd(), &before) == 0 &&
                     now.st_dev == before.st_dev && now.st_ino == before.st_ino;
    }
    if (sameFolder) {
        Copy->Folder = last;
    } else {
        ++pendingFolders_;
    }
    pendingBytes_ += Copy->Size;
    pending_.push_back(std::move(Copy));
}

// The copies of one folder go to one copy thread, in the walk's order; the
// next folder's to the next thread, so that small folders spread evenly.
void TWinFileOper::HandToWorker(std::unique_ptr<TPendingCommit> Copy) {
    if (!workers_) {
        workerBuffers_.resize(CopyWorkers);
        workers_ = std::make_unique<TCopyWorkers>(CopyWorkers + 1);
    }
    if (!writing_) {
        writing_ = std::make_shared<TCommitBatch>();
    }
    if (Copy->Folder.get() != workerFolder_) {
        workerFolder_ = Copy->Folder.get();
        worker_ = (worker_ + 1) % CopyWorkers;
    }
    TPendingCommit* copy = Copy.get();
    AddPending(std::move(Copy));
    {
        std::lock_guard<std::mutex> lock(writing_->Mutex);
        ++writing_->Writing;
    }
    const size_t worker = worker_;
    workers_->Run(worker, [this, copy, worker, batch = writing_] {
        WriteOnWorker(*copy, worker);
        batch->Wrote();
    });
}

void TWinFileOper::WriteOnWorker(TPendingCommit& Copy, size_t Worker) {
    try {
        if (CopyObserver) {
            CopyObserver(csBegin, Copy.Target);
        }
        if (closing_.load() || (CopiesCancelled && CopiesCancelled())) {
            Copy.Result = CopyNotBegun;
            return;
        }
        Copy.Result = WriteCopy(Copy, workerBuffers_[Worker], true);
    } catch (const std::exception& e) {
        Copy.Result = -1;
        Copy.ErrorText = e.what();
    } catch (...) {
        Copy.Result = -1;
        Copy.ErrorText = "copying: unknown failure";
    }
}

bool TWinFileOper::PendingFull() const {
    // The open folders count against the process's limit of open files.
    return pending_.size() >= 1000 || pendingFolders_ >= 64 || pendingBytes_ >= (int64_t(64) << 20);
}

void TWinFileOper::StartCommit() {
    std::shared_ptr<TCommitBatch> batch = writing_ ? std::move(writing_) : std::make_shared<TCommitBatch>();
    writing_.reset();
    batch->Copies.swap(pending_);
    pending_.clear();
    pendingBytes_ = 0;
    pendingFolders_ = 0;
    workerFolder_ = nullptr;
    committing_ = batch;
    if (!workers_) {
        CommitBatch(*batch);
        batch->SetCommitted();
        return;
    }
    // The commit runs beside the next batch's copies.
    workers_->Run(workers_->Count() - 1, [this, batch] {
        batch->WaitWritten();
        try {
            CommitBatch(*batch);
        } catch (...) {
            // The results say what did not take its name.
        }
        batch->SetCommitted();
    });
}

void TWinFileOper::FinishCommit(std::vector<TCommitResult>& Results) {
    Results.clear();
    if (!committing_) {
        return;
    }
    std::shared_ptr<TCommitBatch> batch = std::move(committing_);
    committing_.reset();
    batch->WaitCommitted();
    Results.swap(batch->Results);
    Results.resize(batch->Copies.size(), TCommitResult{-1, "replacing the target"});
}

// Makes the written copies of Batch durable together, then gives each its
// target's name in the order they were written, then flushes the folders
// holding the new names. Copies that failed or never began keep their results;
// part files that did not take a name are removed.
void TWinFileOper::CommitBatch(TCommitBatch& Batch) {
    std::vector<std::unique_ptr<TPendingCommit>>& copies = Batch.Copies;
    Batch.Results.assign(copies.size(), TCommitResult());
    // One flush for each file system the part files are on. Only once no byte
    // of them is left in memory alone may they take the targets' names.
    std::vector<dev_t> flushed;
    std::vector<int> flushedBy; // a folder on each of those file systems
    int error = 0;
    const fs::TFolder* looked = nullptr;
    for (const auto& copy : copies) {
        // Copies of one folder follow each other and share it: one look each.
        if (copy->Result != 0 || copy->Folder.get() == looked) {
            continue;
        }
        looked = copy->Folder.get();
        struct stat st;
        if (fstat(copy->Folder->Fd(), &st) != 0) {
            error = errno;
            break;
        }
        if (std::find(flushed.begin(), flushed.end(), st.st_dev) == flushed.end()) {
            if (syncfs(copy->Folder->Fd()) != 0) {
                error = errno;
                break;
            }
            flushed.push_back(st.st_dev);
            flushedBy.push_back(copy->Folder->Fd());
        }
    }
    const fs::TFolder* renamedIn = nullptr;
    std::vector<const fs::TFolder*> renamed;
    for (size_t i = 0; i < copies.size(); ++i) {
        TPendingCommit& copy = *copies[i];
        if (copy.Result != 0) {
            Batch.Results[i] = {copy.Result, copy.ErrorText};
            continue;
        }
        if (error == 0 && CopyObserver) {
            CopyObserver(csBeforeRename, copy.Target);
        }
        if (error == 0 && closing_.load()) {
            Batch.Results[i] = {-1, "replacing the target: the run ended first"};
            continue;
        }
        if (error == 0 && !TargetStillAsSeen(*copy.Folder, copy.Name, copy.TargetExisted, copy.Seen)) {
            Batch.Results[i] = {1, TargetChangedText};
            continue;
        }
        if (error == 0 && copy.Folder->Rename(copy.Part, *copy.Folder, copy.Name)) {
            copy.Part.clear();
            if (copy.Folder.get() != renamedIn) {
                renamedIn = copy.Folder.get();
                renamed.push_back(renamedIn);
            }
            continue;
        }
        const int why = error != 0 ? error : errno;
        Batch.Results[i] = {-1, std::string("replacing the target: ") + std::strerror(why)};
    }
    // The new names themselves on the disk: each folder flushed, or, when
    // they are many, each file system flushed once more, which takes every
    // folder's new names with it at the cost of one flush.
    if (renamed.size() > FoldersFlushedOneByOne) {
        for (const int fd : flushedBy) {
            syncfs(fd);
        }
    } else {
        for (const fs::TFolder* folder : renamed) {
            fsync(folder->Fd());
        }
    }
    for (const auto& copy : copies) {
        if (!copy->Part.empty()) {
            copy->Folder->RemoveLeftover(copy->Part);
            copy->Part.clear();
        }
    }
}

// Removes the part files of copies that did not take their names. Only once
// no copy thread writes any more (none were made, or they are gone).
void TWinFileOper::DropPending() {
    for (const std::shared_ptr<TCommitBatch>& batch : {writing_, committing_}) {
        if (batch) {
            for (const auto& copy : batch->Copies) {
                if (!copy->Part.empty()) {
                    copy->Folder->RemoveLeftover(copy->Part);
                }
            }
        }
    }
    for (const auto& copy : pending_) {
        if (!copy->Part.empty()) {
            copy->Folder->RemoveLeftover(copy->Part);
        }
    }
    pending_.clear();
    writing_.reset();
    committing_.reset();
    pendingBytes_ = 0;
    pendingFolders_ = 0;
}

void TWinFileOper::ChunkWritten(int64_t) {}

int TWinFileOper::LocalCopyForCompare(TFolderSource* Source, TFileAttri* Attr, const std::string&,
                                      std::string& LocalPath) {
    BuildFullPath(Source, Attr, LocalPath);
    return fs::FileExists(LocalPath) ? erOk : FailWithErrno(erMissing, "reading");
}

} // namespace tandemora
