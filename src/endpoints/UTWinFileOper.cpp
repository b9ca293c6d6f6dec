#include "endpoints/UTWinFileOper.h"

#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <langinfo.h>
#include <streambuf>
#include <sys/stat.h>
#include <unistd.h>
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

// True when both paths name the same file: a file is never copied onto itself.
bool SameFile(const fs::TFileHandle& source, const std::string& target) {
    struct stat a;
    struct stat b;
    if (fstat(source.Fd(), &a) != 0 || stat(target.c_str(), &b) != 0) {
        return false;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes a file or link left under Path by an earlier attempt (never a folder,
// never anything on a network share).
void RemoveLeftover(const std::string& path) {
    if (fs::IsUncPath(path)) {
        // On a share too: a part file left behind would be listed as a new file.
        if (fs::FileExists(path)) {
            fs::DeleteFile(path);
        }
        return;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
    }
}

// The file a copy must replace: the target of a link to a file, so that the link
// stays a link (the listing shows such a link as the file it points to).
std::string ReplaceTarget(const std::string& path) {
    if (fs::IsUncPath(path)) {
        return path;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

// A file that a copy is written into beside its target and that takes the
// target's name only once it is complete. Until Commit succeeds it is removed
// again, whatever way the copy ends, so a partial copy never stands under the
// final name and an old target stays as it was.
class TPartFile {
public:
    TPartFile() = default;
    ~TPartFile() {
        if (!path_.empty()) {
            File.Close();
            RemoveLeftover(path_);
        }
    }
    TPartFile(const TPartFile&) = delete;
    TPartFile& operator=(const TPartFile&) = delete;

    // Creates a new hidden file in the target's folder with the given mode (the
    // umask applies), under a name no other copy uses.
    bool Create(const std::string& target, mode_t mode) {
        static std::atomic<unsigned> serial{0};
        const size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        // Cut long names so that the decorated one still fits a file name.
        const std::string base = target.substr(folder.size()).substr(0, 200);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = folder + "." + base + "." + std::to_string(getpid()) + "-" +
                                          std::to_string(serial.fetch_add(1)) + ".part";
            if (File.CreateNew(candidate, mode)) {
                path_ = candidate;
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    // Flushes and closes the file and renames it over the target.
    bool Commit(const std::string& target) {
        const bool written = File.Sync();
        if (!File.Close() || !written || !fs::RenameFile(path_, target)) {
            return false;
        }
        path_.clear();
        return true;
    }

    fs::TFileHandle File;

private:
    std::string path_;
};

// A copy that replaces a file keeps that file's permission bits (and its owner,
// where the program may set it), made writable for the owner.
void KeepPermissions(fs::TFileHandle& part, const struct stat& old) {
    if (fchown(part.Fd(), old.st_uid, old.st_gid) != 0) {
        // Only root may hand a file to another user; the copy then stays ours.
    }
    fchmod(part.Fd(), (old.st_mode & 0777) | S_IWUSR);
}

// A new copy gets the source's permission bits, like cp, so that a private file
// does not become readable by others on its way; the owner may write it.
mode_t NewFileMode(const fs::TFileHandle& source) {
    struct stat st;
    if (fstat(source.Fd(), &st) != 0) {
        return 0666;
    }
    return (st.st_mode & 0777) | S_IWUSR;
}

// Copies every byte of an open file into Target through a part file, with the
// source's times and permission bits (a kept version is as private as the file
// it keeps). False on any failure; Target is then as it was.
bool CopyContent(fs::TFileHandle& in, const std::string& target) {
    const std::string dest = ReplaceTarget(target);
    TPartFile part;
    if (!part.Create(dest, NewFileMode(in))) {
        return false;
    }
    std::vector<char> buffer(static_cast<size_t>(CopyChunkSize));
    for (;;) {
        const int64_t n = in.Read(buffer.data(), buffer.size());
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        if (!part.File.WriteAll(buffer.data(), static_cast<size_t>(n))) {
            return false;
        }
    }
    timespec access{};
    timespec modify{};
    if (in.GetTimes(access, modify)) {
        part.File.SetTimes(access, modify);
    }
    return part.Commit(dest);
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
}

std::string TWinFileOper::NormalizeFolder(const std::string& Path) {
    std::string folder = TrimBlanks(Path);
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
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
    RootMissing = IsRootMissing() != 0;
    if (RootMissing) {
        // Nothing seen is not the same as nothing there: the empty tree is marked.
        Notify(WM_UPDATEPROCESS);
        Tree->ListFailed = 1;
    } else {
        try {
            ListFolder(Tree, FolderOf(Source, "/"));
            SortTree(Tree);
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
    const std::string Dir = NormalizeFolder(Path);
    // One text for the relative path of every entry listed here.
    const TRelPath Rel = RelativeOf(Dir);
    TTreeArena* arena = Node->Arena;

    // Sub-folders are listed once this folder is closed again, so that a deep tree
    // holds one open folder at a time; the order of the walk stays depth first.
    std::vector<TFileTree*> folders;
    const bool share = fs::IsUncPath(Dir);
    const int error = fs::ListFolder(Dir, [&](const fs::DirEntry& entry) {
        if (!IsSafeEntryName(entry.Name, share)) {
            ListingDamaged(Node, Dir, entry.Name);
            return;
        }
        TFileAttri* attr = arena->NewAttri();
        attr->Name = entry.Name;
        attr->Size = entry.Size;
        attr->Time = entry.Time;
        attr->Attr = static_cast<int32_t>(entry.Attr);
        attr->RelPath = Rel;
        attr->IsFolder = entry.IsFolder ? 1 : 0;
        TFileTree* child = Node->AddChild(entry.Name, attr);
        if (entry.IsFolder) {
            folders.push_back(child);
        }
    });
    // The child list grew by doubling; trimmed now, its spare room serves the
    // next folder instead of staying with this one for the life of the tree.
    Node->Children.shrink_to_fit();
    if (error != 0) {
        // What was listed stays, but the folder counts as not seen.
        Node->ListFailed = 1;
        UnreadFolders.push_back(Dir);
    }
    for (TFileTree* child : folders) {
        ListFolder(child, Dir + child->Name);
    }
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

int TWinFileOper::IsRootMissing() {
    const std::string root = Root();
    return root.empty() || !fs::DirectoryExists(root) ? 1 : 0;
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

// Writes a temporary file beside the target and renames it over the target, so the
// target is either the old file or the complete new one. A read-only target is
// kept (and the temporary file left beside it) unless ClearReadOnly is set.
int TWinFileOper::WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                                  bool ClearReadOnly) {
    const std::string folder = FolderOf(Source, Attr->RelPath);
    const std::string target = folder + Attr->Name;
    const std::string temp = target + ".p";
    if (!fs::ForceDirectories(folder)) {
        return erFailed;
    }
    const bool existed = fs::FileExists(target);
    if (existed && ClearReadOnly) {
        fs::ClearReadOnly(target);
    }
    // An earlier ".p" goes first, whatever it is: opening it for writing would
    // follow a link planted under that name and overwrite the file it points to.
    RemoveLeftover(temp);
    fs::TFileHandle out;
    if (!out.CreateNew(temp)) {
        return erFailed;
    }
    std::vector<char> buffer(65536);
    bool written = true;
    while (written && Stream) {
        Stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize n = Stream.gcount();
        if (n > 0) {
            written = out.WriteAll(buffer.data(), static_cast<size_t>(n));
        }
    }
    written = written && !Stream.bad() && out.Sync();
    if (!out.Close() || !written) {
        fs::DeleteFile(temp);
        return erFailed;
    }
    fs::SetFileDosTime(temp, Attr->Time);
    // rename(2) would replace a read-only file too; the read-only bit is honoured
    // the way the user set it.
    if (existed && fs::IsReadOnly(target)) {
        return erFailed;
    }
    return fs::RenameFile(temp, target) ? erOk : erFailed;
}

int TWinFileOper::MakeFolder(const std::string& RelPath) {
    return fs::ForceDirectories(FolderOf(Source, RelPath)) ? 0 : 1;
}

int TWinFileOper::DeleteFile(TFolderSource* Source, TFileAttri* Attr) {
    std::string path;
    BuildFullPath(Source, Attr, path);
    const int result = fs::DeleteFile(path) ? erOk : erFailed;
    SetSyncStatusText("Delete:" + path);
    Notify(WM_COPYPROCESS);
    return result;
}

int TWinFileOper::RemoveFolder(TFolderSource* Source, TFileAttri* Attr) {
    std::string path;
    BuildFullPath(Source, Attr, path);
    return fs::RemoveFolder(path) ? erOk : erFailed;
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
            return FileSizeUnknown;
        }
        // A dangling link is still something standing under the name.
        return lstat(Path.c_str(), &st) == 0 ? FileSizeUnknown : -1;
    }
    // A folder, FIFO or device where a file is expected is not a file to replace.
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : FileSizeUnknown;
}

// Keeps the current file as its previous version below "__saved__". The saved copy
// is written under a temporary name first, so an earlier saved copy is only
// replaced by a complete one.
int TWinFileOper::SaveOldFile(TFolderSource* Source, TFileAttri* Attr) {
    std::string item;
    BuildFullPath(Source, Attr, item);
    std::string saved;
    if (GetSavedFolder(saved) != 0) {
        return 1;
    }
    std::string rel = Attr->RelPath;
    if (rel.empty() || rel.front() != '/') {
        rel.insert(rel.begin(), '/');
    }
    const std::string folder = FolderOf(Source, saved + rel);
    const std::string mirror = folder + Attr->Name;
    fs::TFileHandle in;
    if (!fs::FileExists(item) || !in.OpenRead(item)) {
        return 1;
    }
    if (!fs::ForceDirectories(folder)) {
        return 1;
    }
    return CopyContent(in, mirror) ? 0 : 1;
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

int TWinFileOper::PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int) {
    std::string target;
    BuildFullPath(Source, Attr, target);
    std::string folder;
    ExtractFolderPath(target, folder);
    SetSyncStatusText("Copy:" + LocalPath);
    Notify(WM_COPYPROCESS);
    fs::ForceDirectories(folder);
    const int result = CopyWithProgress(LocalPath, target, Attr->Size);
    if (result == 0) {
        fs::SetFileDosTime(target, Attr->Time);
    }
    return result;
}

int TWinFileOper::RenameFile(const std::string& OldPath, const std::string& NewPath) {
    return fs::RenameFile(OldPath, NewPath) ? 0 : 1;
}

int TWinFileOper::GetFile(const std::string&, TFolderSource*, TFileAttri*, int) {
    return erFailed;
}

// ---- Copy ---------------------------------------------------------------------------------

int TWinFileOper::CopyWithProgress(const std::string& Src, const std::string& Dst, int64_t ExpectedSize) {
    if (!fs::FileExists(Src)) {
        return -1;
    }
    fs::TFileHandle in;
    const int64_t total = in.OpenRead(Src) ? in.Size() : -1;
    if (total < 0 || total != ExpectedSize) {
        // The file changed since the analysis saw it (or cannot be read): the
        // target is not touched.
        return 1;
    }
    const std::string target = ReplaceTarget(Dst);
    struct stat old;
    const bool existed = stat(target.c_str(), &old) == 0;
    if (existed && (!S_ISREG(old.st_mode) || SameFile(in, target))) {
        return -1;
    }
    // The bytes go into a part file beside the target, which replaces the target
    // (read-only or not) only once every byte is there: a copy that stops early
    // leaves the old file, or no file, never a truncated one.
    TPartFile part;
    if (!part.Create(target, existed ? 0600 : NewFileMode(in))) {
        return -1;
    }
    std::vector<char> buffer(static_cast<size_t>(CopyChunkSize));
    int64_t copied = 0;
    bool failed = false;
    for (;;) {
        const int64_t n = in.Read(buffer.data(), buffer.size());
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        if (!part.File.WriteAll(buffer.data(), static_cast<size_t>(n))) {
            failed = true;
            break;
        }
        copied += n;
        SetSyncStatusText("Copy:" + Src + " : " + FormatPercent(copied, total) + "%");
        if (copied >= total) {
            break;
        }
        Notify(WM_COPYPROCESS);
    }
    // A source that grew or shrank while it was copied does not give a complete copy.
    if (failed || copied != total) {
        return -1;
    }
    timespec access{};
    timespec modify{};
    if (in.GetTimes(access, modify)) {
        part.File.SetTimes(access, modify);
    }
    if (existed) {
        KeepPermissions(part.File, old);
    }
    return part.Commit(target) ? 0 : -1;
}

} // namespace tandemora
