#pragma once
// The mount table as the volume-arrival trigger needs it: the kernel's
// per-process table (/proc/self/mountinfo) read and parsed, and two readings
// compared to find the volumes that were connected in between. A volume's mount
// point stands where a drive letter would: a task uses the volume when one of its
// folders lies under that folder.
//
// The kernel tells a reader of the table that it changed through poll() with
// POLLPRI on an open descriptor of the file (the poll itself takes the notice),
// so TMountWatch keeps one open for an event loop to watch.

#include <cstdint>
#include <string>
#include <vector>

namespace tandemora {

// Where the kernel keeps this process's mount table.
inline constexpr const char* kMountTablePath = "/proc/self/mountinfo";

// One line of the table, its text fields decoded.
struct TMountEntry {
    int64_t MountID = 0;
    std::string Device;     // "major:minor" of the mounted file system
    std::string Root;       // the folder of that file system shown here ("/" unless a bind mount)
    std::string MountPoint; // where it is mounted
    std::string FsType;
    std::string Source; // "/dev/sdb1", "//server/share", "proc", ...
};

using TMountTable = std::vector<TMountEntry>;

// The kernel writes a blank, tab, line break and backslash in a path as a
// backslash and three octal digits (\040, \011, \012, \134); this gives the
// bytes back. A backslash not followed by three octal digits stays as it is.
std::string DecodeMountField(const std::string& field);

// The entries of mountinfo text in table order. A line without the fields the
// kernel always writes (damaged, cut short) is left out.
TMountTable ParseMountInfo(const std::string& text);

// Reads and parses the table at path. False, with table unchanged, when the file
// cannot be read.
bool ReadMountTable(const std::string& path, TMountTable& table);

// True for a file system on a block device (a disk, a memory stick, a partition,
// an image or an encrypted volume), the kind of thing that gets a drive letter.
// Network file systems, the kernel's own file systems and optical discs (whose
// insertion is a media change in a drive that is already there) are not volumes.
bool IsVolume(const TMountEntry& entry);

// The mount points of volumes that arrived between two readings: a volume entry
// of after whose mount is new and whose device had no mount that stayed in place.
// Mounting a folder of a volume that was already there somewhere else (a bind
// mount) is therefore no arrival, while a volume that was taken away and
// connected again between the readings is one. Table order, no duplicates.
std::vector<std::string> NewVolumeMountPoints(const TMountTable& before, const TMountTable& after);

// True when some entry of the table is mounted at mountPoint.
bool IsMounted(const TMountTable& table, const std::string& mountPoint);

// An open mount table and its last reading.
class TMountWatch {
public:
    TMountWatch() = default;
    ~TMountWatch();
    TMountWatch(const TMountWatch&) = delete;
    TMountWatch& operator=(const TMountWatch&) = delete;

    // Opens the table at path and takes the first reading. False (errno set)
    // when it cannot be opened or read; the watch is then closed.
    bool Open(const std::string& path);
    void Close();
    // The descriptor to poll for POLLPRI, or -1 when closed.
    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    // Reads the table again and returns the mount points of the volumes that
    // arrived since the last reading. A reading that fails changes nothing and
    // finds nothing (the next one compares against the last good one).
    std::vector<std::string> Refresh();
    const TMountTable& Table() const { return table_; }

private:
    int fd_ = -1;
    std::string path_;
    TMountTable table_;
};

} // namespace tandemora
