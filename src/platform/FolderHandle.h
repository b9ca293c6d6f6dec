#pragma once
// Writing below a synchronised folder without following links.
//
// The folders of a tree can change between the scan and the sync: a folder may
// be replaced by a symbolic link to somewhere else. So every write, deletion and
// rename below a root opens the folders on the way from the root as real folders,
// refusing any symbolic link, and then works on names in that open folder
// (openat, renameat, unlinkat, mkdirat): nothing can take it outside the root. The
// root itself is opened as usual, links and all: the user chose it.
//
// A folder on a network share (a root with two leading separators) is kept as its
// path and worked on through the SMB client, as FileSystem.h does; the server
// resolves its paths.

#include "platform/FileSystem.h"

#include <functional>
#include <string>
#include <sys/stat.h>

namespace tandemora::fs {

// How a folder below a root is reached: one openat2 call with RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS where the kernel has it, else one level at a time with
// O_NOFOLLOW. Walk asks for the second way whatever the kernel offers.
enum class TResolve { Auto, Walk };

// The mode for a folder level that is about to be made: its index in the
// relative path (0 for the first level below the root) and its name. 0 leaves
// the usual mode (0777 less the umask); anything else is set exactly.
using TFolderMode = std::function<mode_t(size_t Level, const std::string& Name)>;

// Opens the folder Rel below the open folder RootFd: its levels separated by "/"
// (leading, trailing and doubled ones ignored; an empty Rel is RootFd itself).
// Every level must be a real folder: a symbolic link on the way fails (ELOOP or
// ENOTDIR), so does a level "." or ".." (EINVAL). With Make, missing levels are
// made, each with the mode Mode gives. Returns a new descriptor (read-only,
// O_DIRECTORY, close-on-exec), or -1 with errno.
int OpenBelow(int RootFd, const std::string& Rel, bool Make = false, const TFolderMode& Mode = nullptr,
              TResolve How = TResolve::Auto);

// One open folder below a root, and the items in it by name. Names are single
// levels (a name that is empty, "." or "..", or holds "/" fails with EINVAL); an
// item's own symbolic link is never followed by a write: it is replaced, renamed
// or removed itself.
class TFolder {
public:
    TFolder() = default;
    ~TFolder();
    TFolder(const TFolder&) = delete;
    TFolder& operator=(const TFolder&) = delete;

    // Opens Rel below Root by the rules of OpenBelow (Root is opened following
    // links). False with errno when it cannot: Root missing, a level missing
    // (without Make), a link or file on the way.
    bool Open(const std::string& Root, const std::string& Rel, bool Make = false,
              const TFolderMode& Mode = nullptr, TResolve How = TResolve::Auto);
    // Opens a folder by its path as any path is resolved, links and all: for
    // folders that belong to no synchronised tree (a private staging folder).
    bool OpenPath(const std::string& Path);

    bool IsOpen() const { return fd_ >= 0 || !share_.empty(); }
    // The open folder's descriptor; -1 for a folder on a share.
    int Fd() const { return fd_; }
    // A path that names this very folder for code that only takes paths (the
    // download of a remote endpoint): the folder's entry in /proc/self/fd, which
    // leads to the open folder whatever has become of the path it was opened by.
    // Ends in "/". The folder's own path on a share; empty when /proc is not
    // mounted.
    std::string PinnedPath() const;

    // The item itself (a link is not followed), or with Follow what a link
    // leads to. On a share: what the server says (mode 0444 or 0644 for a file,
    // by its read-only attribute).
    bool Stat(const std::string& Name, struct stat& St, bool Follow = false) const;
    // Opens a file for reading, following a link in its place (the scan lists a
    // link to a file as that file).
    bool OpenRead(const std::string& Name, TFileHandle& File) const;
    // Creates a new file that must not exist yet, not even as a link.
    bool CreateNew(const std::string& Name, mode_t Mode, TFileHandle& File) const;
    // Renames an item of this folder to To in folder Into (this one or another
    // of the same tree), replacing an existing file or link To itself.
    bool Rename(const std::string& From, const TFolder& Into, const std::string& To) const;
    // Deletes a file or a link (never what it leads to). Refuses a folder
    // (EISDIR) and a file the owner may not write (EACCES, for a link: by what it
    // leads to), as DeleteFile does, unless ReadOnlyToo (on a share its
    // read-only attribute is cleared first).
    bool DeleteFile(const std::string& Name, bool ReadOnlyToo = false) const;
    // Removes an empty folder (a link in its place is not a folder).
    bool RemoveFolder(const std::string& Name) const;
    // Removes a file or link that a transfer of ours left (nothing else).
    void RemoveLeftover(const std::string& Name) const;
    // Removes the part files of the task Owner in this folder (IsPartFileOf),
    // adding the name of each one removed to Removed. Only a run that holds the
    // task's lock calls it: no transfer of that task can still be writing them.
    void RemovePartFilesOf(const std::string& Owner, std::vector<std::string>& Removed) const;

private:
    void Close();
    std::string ShareItem(const std::string& Name) const { return share_ + Name; }

    int fd_ = -1;
    std::string share_; // the folder's path with a trailing "/" when it is on a share
};

} // namespace tandemora::fs
