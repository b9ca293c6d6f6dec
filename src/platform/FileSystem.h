#pragma once
// The local file system as the endpoints need it. Paths and names are the file
// system's own bytes, passed through unchanged (never re-encoded), so a name that
// is not valid UTF-8 is listed, copied and deleted like any other.
//
// Two leading separators ("//server/share" or "\\server\share") name a network
// share. Those go to the SMB client (SmbClient.h), never to the local disk; a
// share that cannot be reached fails like a missing folder (a listing that fails,
// never an empty one).
//
// Functions that return bool or a negative number on failure leave errno telling
// why. All functions are safe to call from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace tandemora::fs {

// Attribute bits as the engine stores them.
constexpr uint32_t faReadOnly = 1; // the owner may not write the item
constexpr uint32_t faHidden = 2;   // the name starts with "."
constexpr uint32_t faSysFile = 4;  // never set here
constexpr uint32_t faDirectory = 16;
constexpr uint32_t faArchive = 32; // set on every file

// One listed item.
class TDosClock;

struct DirEntry {
    std::string Name; // bytes as the file system gives them
    bool IsFolder = false;
    int64_t Size = 0;      // bytes; 0 for folders
    timespec ModifyTime{}; // last write, as the file system keeps it
    int32_t Time = 0;      // last write as a local DOS date-time (UnixToDosTime)
    uint32_t Attr = 0;     // fa* bits above
    // The item's identity (st_dev, st_ino); both 0 where the listing cannot tell
    // (a share).
    uint64_t Device = 0;
    uint64_t Inode = 0;
};

// Listing rules:
// - "." and ".." are skipped; regular files and folders are listed.
// - Sockets, FIFOs and device files are not listed (nothing is ever opened).
// - A symbolic link to a regular file is listed as that file, with the target's
//   size, time and read-only bit (copying it copies the target's bytes). A
//   symbolic link to a folder, to anything that is not a regular file, or to
//   nothing (dangling) is skipped: links are never followed into folders, so a
//   scan cannot loop, and no item is listed that could not be read.
// - An entry that vanishes between reading the folder and examining it is skipped.
//
// ListFolder calls onEntry for each listed item, in the order the file system
// returns them, and returns 0 when the whole folder was read, or the errno of the
// failure otherwise: the folder could not be opened or read (ENOENT, ENOTDIR,
// EACCES, ...), an entry could not be examined (EACCES on a folder without search
// permission), or the folder was removed while it was read (ENOENT). A failed listing may have
// delivered some entries before the failure; the caller must treat the folder as
// not fully seen, never as empty or complete. The DirEntry passed to onEntry is
// reused for the next item.
// A clock, when given, makes the DOS times (one clock per thread).
int ListFolder(const std::string& path, const std::function<void(const DirEntry&)>& onEntry,
               TDosClock* clock = nullptr);
// The same, collecting the items. entries is cleared first.
int ListFolder(const std::string& path, std::vector<DirEntry>& entries);

// Describes one item by the listing rules above (links to regular files give the
// target; other links, sockets, FIFOs and devices fail with ENOENT-like results).
// Name is the last path component.
bool GetEntryInfo(const std::string& path, DirEntry& entry);

// Where an instant lies within its 2-second step, in nanoseconds (whole steps
// of 100): what a DOS date-time drops. Two instants with one DOS date-time and
// one fraction are one instant to that precision.
int32_t TimeFraction(const timespec& t);

// True for a folder on another file system than the folder that holds it (its
// device differs from its parent's): a mount point with something mounted on
// it. False for anything else, and when either cannot be examined.
bool IsMountPoint(const std::string& path);

// Local date-time of an instant as a DOS date-time: date in the high 16 bits
// (years since 1980 << 9 | month << 5 | day), time in the low 16 bits
// (hour << 11 | minute << 5 | second / 2). Each instant uses the UTC offset in
// force at that instant. Odd seconds and fractions are dropped. Instants before
// 1980-01-01 00:00:00 local give that date; after 2107-12-31 23:59:58, that one.
int32_t UnixToDosTime(const timespec& t);
// UnixToDosTime for many instants on one thread, with the same answers: the
// zone's offset is learnt once per UTC day and kept while TZ stays as it was.
// The C library converts under one process-wide lock, on which a scan listing
// folders on several threads would otherwise queue. Days on which the offset
// changes, and zones whose clock does not follow plain arithmetic (leap
// seconds), are left to UnixToDosTime.
class TDosClock {
public:
    int32_t DosTime(const timespec& t);

private:
    struct TDay {
        int64_t Day = INT64_MIN;
        int64_t Offset = 0;
        bool Uniform = false;
    };
    void Learn(TDay& slot, int64_t day);
    void FollowZone();

    std::string zone_;
    bool zoneSet_ = false;
    bool zoneKnown_ = false;
    std::array<TDay, 64> days_{};
};

// The instant of a local DOS date-time (mktime, the summer-time rule found by
// the C library). False for a value whose fields are out of range.
bool DosTimeToUnix(int32_t dos, time_t& t);
// Sets the last-access and last-write times of a file (following links) to a
// local DOS date-time.
bool SetFileDosTime(const std::string& path, int32_t dos);

// True for a path that starts with two separators ("/" or "\" each).
bool IsUncPath(const std::string& path);

// Gives the owner write permission (chmod u+w). True when the item is writable by
// its owner afterwards.
bool ClearReadOnly(const std::string& path);
// True when the owner may not write the item (the read-only attribute).
bool IsReadOnly(const std::string& path);

// Existence, following links: FileExists for anything that is not a folder,
// DirectoryExists for folders (the root check of an endpoint).
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Size of a regular file that can be opened for reading; -1 when it is missing,
// is not a regular file or cannot be opened.
int64_t GetFileSize64(const std::string& path);

// How ReadRegularFile ended.
enum class ReadResult { Read, NotOpened, NotRegular, TooLarge, ReadFailed };
// Reads a whole regular file of at most limit bytes into bytes (emptied first).
// The file is opened without waiting, so a FIFO is refused rather than waited on.
// Anything but Read leaves errno telling why: the open's or the read's errno,
// EISDIR or EINVAL for an item that is not a regular file, EFBIG for a file over
// the limit (also one that grows past it while it is read).
ReadResult ReadRegularFile(const std::string& path, int64_t limit, std::string& bytes);

// Deletes a file (unlink). A read-only file (the owner may not write it; for a
// symbolic link, its target, as the listing shows it) is not deleted: the result
// is false with errno EACCES, whoever runs the program, root included. A folder is
// not deleted either (EISDIR). A link is deleted, never its target.
bool DeleteFile(const std::string& path);
// Removes an empty folder (rmdir).
bool RemoveFolder(const std::string& path);
// Renames or moves an item on one volume; an existing target file is replaced
// atomically (rename(2)).
bool RenameFile(const std::string& from, const std::string& to);
// Creates one folder level (mode 0777 less the umask). True when it was created.
bool CreateFolder(const std::string& path);
// Creates every missing level of a folder path. True when the folder exists
// afterwards (also when it existed before).
bool ForceDirectories(const std::string& path);

// ---- Part files ---------------------------------------------------------------
// Every transfer of every endpoint kind writes into a part file beside its target
// and gives it the target's name only once it is complete. A part file is named
// after the task whose run writes it, ".<name>.<task>.Tandemora-<serial>.part":
// a run holds its task's lock, so whatever part files of its own task it finds
// were left by an earlier run that was killed, and can go. A name that merely
// looks like a part file (another task's, a user's own) is an ordinary file.

// A part-file name for Name, of the task whose identity is Owner (none when
// empty), that no other transfer of this process uses. Long names are cut (at a
// character boundary) so that the result still fits.
// The task's mark in those names (also in an FTP upload's stand-in name).
std::string PartOwnerTag(const std::string& Owner);
std::string PartFileName(const std::string& Name, const std::string& Owner);
// True when Name is a part-file name that PartFileName gives for the task Owner
// (never for an empty Owner).
bool IsPartFileOf(const std::string& Name, const std::string& Owner);

// Space on the volume holding path, or its nearest existing parent folder when
// the path does not exist (yet).
struct DiskSpace {
    int64_t Available = 0; // bytes the calling user may still write
    int64_t Total = 0;     // size of the volume
    int64_t Free = 0;      // free bytes, reserved blocks included
};
bool FreeSpace(const std::string& path, DiskSpace& space);

// The mount point of the volume holding path (or its nearest existing parent),
// from /proc/self/mountinfo, e.g. "/" or "/media/usb". Empty on failure.
std::string MountPointOf(const std::string& path);
// Every mount point of the mount table, in its order. Empty on failure.
std::vector<std::string> MountPoints();

// An open file for chunked copies: the descriptor is closed by the destructor.
// Reads and writes retry interrupted calls.
class TFileHandle {
public:
    TFileHandle() = default;
    ~TFileHandle();
    TFileHandle(TFileHandle&& other) noexcept;
    TFileHandle& operator=(TFileHandle&& other) noexcept;
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    // Opens a regular file for reading (following links). Never blocks on a FIFO;
    // anything but a regular file fails (EISDIR for folders, EINVAL otherwise).
    bool OpenRead(const std::string& path);
    // OpenRead of a local file (not on a share: EINVAL) that also gives what
    // the file was when opened (its fstat), so that a copy looks at its source
    // once.
    bool OpenRead(const std::string& path, struct stat& Seen);
    // Creates or truncates a file for writing. mode applies to a new file only.
    bool Create(const std::string& path, mode_t mode = 0666);
    // Creates a file that must not exist yet (O_EXCL), for writing.
    bool CreateNew(const std::string& path, mode_t mode = 0666);
    // Opens Name in the open folder DirFd (openat flags). A symbolic link is
    // followed only where flags allow it; anything but a regular file fails.
    bool OpenAt(int DirFd, const std::string& Name, int Flags, mode_t Mode = 0);

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Size of the open file, -1 on failure.
    int64_t Size() const;
    // Reads up to count bytes; returns the number read, 0 at the end, -1 on failure.
    int64_t Read(void* buffer, size_t count);
    // Writes all count bytes, or fails (a short write is a failure, errno ENOSPC
    // when the system gave no reason).
    bool WriteAll(const void* buffer, size_t count);
    // Copies up to count bytes from In's position to this file's position
    // inside the kernel (copy_file_range), advancing both; returns the number
    // copied, 0 at In's end, -1 on failure. Where the system cannot copy
    // between the two files this way (a network share, another file system
    // without support) it fails at once with CannotCopyInKernel() true, and the
    // caller copies through a buffer instead.
    int64_t CopyFrom(TFileHandle& In, size_t count);
    static bool CannotCopyInKernel(int error);
    // Last-access and last-write times of the open file.
    bool GetTimes(timespec& access, timespec& modify) const;
    bool SetTimes(const timespec& access, const timespec& modify);
    // Flushes the file's data to the disk.
    bool Sync();
    // Closes the file and reports a failed close (lost delayed writes).
    bool Close();

private:
    bool Open(int dirFd, const std::string& path, int flags, mode_t mode, struct stat* Seen = nullptr);
    int fd_ = -1;
};

// An advisory lock (flock) on a file of its own, held from TryLock until Release
// or the object's end. The system drops it with the process, however that ends,
// so a process that was killed leaves no stale lock; the empty file stays.
class TFileLock {
public:
    TFileLock() = default;
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    // Takes the lock without waiting, making the file (mode 0600) when missing.
    // False when another holder has it (errno EWOULDBLOCK; also another object
    // of this process) or when the file cannot be opened (errno tells why).
    bool TryLock(const std::string& path);
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Writes a file out to the disk while it is still being written, for a file
// written in order from its start: every few megabytes it asks the system to
// begin writing them out, without waiting for that. The flush after the last
// byte (TFileHandle::Sync) then finds most of a large file on the disk already,
// instead of starting to write all of it only then.
class TWriteBehind {
public:
    explicit TWriteBehind(TFileHandle& file) : file_(file) {}
    // count more bytes were written to the file.
    void Wrote(size_t count);

private:
    TFileHandle& file_;
    int64_t written_ = 0;
    int64_t started_ = 0; // bytes the system was asked to write out
};

} // namespace tandemora::fs
