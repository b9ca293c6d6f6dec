#include "platform/FolderHandle.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <memory>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace tandemora::fs {

namespace {

// The levels of a relative path; false for a level "." or "..".
bool SplitLevels(const std::string& rel, std::vector<std::string>& levels) {
    levels.clear();
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) {
            end = rel.size();
        }
        const std::string level = rel.substr(start, end - start);
        if (level == "." || level == "..") {
            return false;
        }
        if (!level.empty()) {
            levels.push_back(level);
        }
        start = end + 1;
    }
    return true;
}

// One level of a path: an item's name never leads out of its folder.
bool IsItemName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    return true;
}

int OpenLevel(int dirFd, const std::string& name) {
    return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The kernel resolves the whole path at once and refuses any link on the way.
// -2 when the kernel (or a filter in front of it) does not offer the call.
int OpenWithOpenat2(int rootFd, const std::vector<std::string>& levels) {
    std::string path;
    for (const std::string& level : levels) {
        path += (path.empty() ? "" : "/") + level;
    }
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof(how));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
        return -2;
    }
    return static_cast<int>(fd);
}

// One level at a time, each opened without following a link. Levels made here
// are opened right after mkdirat by the same rule, so a link put in their place
// meanwhile is refused too.
int OpenByWalk(int rootFd, const std::vector<std::string>& levels, bool make, const TFolderMode& mode) {
    int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    for (size_t i = 0; i < levels.size() && fd >= 0; ++i) {
        int next = OpenLevel(fd, levels[i]);
        if (next < 0 && errno == ENOENT && make) {
            const mode_t wanted = mode ? mode(i, levels[i]) : 0;
            if (mkdirat(fd, levels[i].c_str(), 0777) != 0 && errno != EEXIST) {
                next = -1;
            } else {
                next = OpenLevel(fd, levels[i]);
                if (next >= 0 && wanted != 0) {
                    // Exactly the wanted bits, whatever the umask.
                    fchmod(next, wanted);
                }
            }
        }
        const int error = errno;
        close(fd);
        fd = next;
        errno = error;
    }
    return fd;
}

} // namespace

int OpenBelow(int RootFd, const std::string& Rel, bool Make, const TFolderMode& Mode, TResolve How) {
    std::vector<std::string> levels;
    if (!SplitLevels(Rel, levels)) {
        errno = EINVAL;
        return -1;
    }
    if (levels.empty()) {
        return fcntl(RootFd, F_DUPFD_CLOEXEC, 0);
    }
    if (How == TResolve::Auto) {
        // Mostly the folder is there already: one call finds it.
        const int fd = OpenWithOpenat2(RootFd, levels);
        if (fd >= 0 || (fd == -1 && !(Make && errno == ENOENT))) {
            return fd;
        }
    }
    return OpenByWalk(RootFd, levels, Make, Mode);
}

TFolder::~TFolder() {
    Close();
}

void TFolder::Close() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
    share_.clear();
}

bool TFolder::Open(const std::string& Root, const std::string& Rel, bool Make, const TFolderMode& Mode,
                   TResolve How) {
    Close();
    if (Root.empty()) {
        errno = ENOENT;
        return false;
    }
    if (IsUncPath(Root)) {
        std::vector<std::string> levels;
        if (!SplitLevels(Rel, levels)) {
            errno = EINVAL;
            return false;
        }
        std::string path = Root;
        while (path.size() > 2 && (path.back() == '/' || path.back() == '\\')) {
            path.pop_back();
        }
        for (const std::string& level : levels) {
            path += "/" + level;
        }
        if (Make ? !ForceDirectories(path) : !DirectoryExists(path)) {
            return false;
        }
        share_ = path + "/";
        return true;
    }
    const int root = open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        return false;
    }
    fd_ = OpenBelow(root, Rel, Make, Mode, How);
    const int error = errno;
    close(root);
    errno = error;
    return fd_ >= 0;
}

bool TFolder::OpenPath(const std::string& Path) {
    Close();
    if (IsUncPath(Path)) {
        if (!DirectoryExists(Path)) {
            return false;
        }
        share_ = Path + (Path.back() == '/' || Path.back() == '\\' ? "" : "/");
        return true;
    }
    if (Path.empty()) {
        errno = ENOENT;
        return false;
    }
    fd_ = open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ >= 0;
}

std::string TFolder::PinnedPath() const {
    if (fd_ < 0) {
        return share_;
    }
    const std::string pinned = "/proc/self/fd/" + std::to_string(fd_) + "/";
    return access(pinned.c_str(), X_OK) == 0 ? pinned : std::string();
}

bool TFolder::Stat(const std::string& Name, struct stat& St, bool Follow) const {
    if (!IsItemName(Name)) {
        return false;
    }
    if (!share_.empty()) {
        DirEntry entry;
        if (!GetEntryInfo(ShareItem(Name), entry)) {
            return false;
        }
        St = {};
        St.st_mode =
            entry.IsFolder ? S_IFDIR | 0755 : S_IFREG | ((entry.Attr & faReadOnly) != 0 ? 0444 : 0644);
        St.st_size = entry.Size;
        St.st_mtim = entry.ModifyTime;
        return true;
    }
    return fstatat(fd_, Name.c_str(), &St, Follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

bool TFolder::OpenRead(const std::string& Name, TFileHandle& File) const {
    if (!IsItemName(Name)) {
        return false;
    }
    if (!share_.empty()) {
        return File.OpenRead(ShareItem(Name));
    }
    return File.OpenAt(fd_, Name, O_RDONLY);
}

bool TFolder::CreateNew(const std::string& Name, mode_t Mode, TFileHandle& File) const {
    if (!IsItemName(Name)) {
        return false;
    }
    if (!share_.empty()) {
        return File.CreateNew(ShareItem(Name), Mode);
    }
    return File.OpenAt(fd_, Name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, Mode);
}

bool TFolder::Rename(const std::string& From, const TFolder& Into, const std::string& To) const {
    if (!IsItemName(From) || !IsItemName(To)) {
        return false;
    }
    if (!share_.empty() || !Into.share_.empty()) {
        return RenameFile(ShareItem(From), Into.ShareItem(To));
    }
    return renameat(fd_, From.c_str(), Into.fd_, To.c_str()) == 0;
}

bool TFolder::DeleteFile(const std::string& Name, bool ReadOnlyToo) const {
    if (!IsItemName(Name)) {
        return false;
    }
    if (!share_.empty()) {
        if (ReadOnlyToo) {
            fs::ClearReadOnly(ShareItem(Name));
        }
        return fs::DeleteFile(ShareItem(Name));
    }
    struct stat st;
    if (!Stat(Name, st)) {
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // The read-only attribute is the owner's write bit (of a link's target, as
    // listed), checked by hand: root would not be stopped by the permissions.
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (Stat(Name, target, true)) {
            st = target;
        }
    }
    if (!ReadOnlyToo && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
        errno = EACCES;
        return false;
    }
    return unlinkat(fd_, Name.c_str(), 0) == 0;
}

bool TFolder::RemoveFolder(const std::string& Name) const {
    if (!IsItemName(Name)) {
        return false;
    }
    if (!share_.empty()) {
        return fs::RemoveFolder(ShareItem(Name));
    }
    return unlinkat(fd_, Name.c_str(), AT_REMOVEDIR) == 0;
}

void TFolder::RemoveLeftover(const std::string& Name) const {
    if (!share_.empty()) {
        if (FileExists(ShareItem(Name))) {
            fs::DeleteFile(ShareItem(Name));
        }
        return;
    }
    struct stat st;
    if (Stat(Name, st) && !S_ISDIR(st.st_mode)) {
        unlinkat(fd_, Name.c_str(), 0);
    }
}

void TFolder::RemovePartFilesOf(const std::string& Owner, std::vector<std::string>& Removed) const {
    std::vector<std::string> found;
    if (fd_ >= 0) {
        const int listing = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* opened = listing < 0 ? nullptr : fdopendir(listing);
        if (opened == nullptr) {
            if (listing >= 0) {
                close(listing);
            }
            return;
        }
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, closedir);
        while (const dirent* item = readdir(dir.get())) {
            if (item->d_type != DT_DIR && IsPartFileOf(item->d_name, Owner)) {
                found.emplace_back(item->d_name);
            }
        }
    } else if (!share_.empty()) {
        std::vector<DirEntry> entries;
        if (ListFolder(share_, entries) != 0) {
            return;
        }
        for (const DirEntry& entry : entries) {
            if (!entry.IsFolder && IsPartFileOf(entry.Name, Owner)) {
                found.push_back(entry.Name);
            }
        }
    }
    for (const std::string& name : found) {
        if (DeleteFile(name, true)) {
            Removed.push_back(name);
        }
    }
}

} // namespace tandemora::fs
