#pragma once
// The network-share back end of the file layer. A path that starts with two
// separators names an item on an SMB server: "\\server\share\dir\file" or
// "//server/share/dir/file", with "\" and "/" mixed freely (both separate, and
// empty parts are dropped). FileSystem hands every such path to this unit, which
// reaches it through libsmbclient as "smb://server/share/dir/file". The server
// part may carry a port ("\\host:4455\share"); without one libsmbclient tries
// the usual SMB ports.
//
// Log-on: the user and password given to LogOn for a server serve every later
// connection to that server, from every endpoint, until LogOn names others (as
// a log-on made with "net use" serves the whole session on Windows). A server
// without a log-on is reached anonymously. A wrong password is an error, never a
// silent fall-back to the guest account. Passwords stay in memory only: no text
// of this unit, and nothing libsmbclient would log, reaches a log.
//
// libsmbclient may not be used from several threads at once, so one connection
// context serves the program and every call into it holds one lock: a call waits
// while another thread's call runs.
//
// Failures leave errno set as the matching POSIX call would (EACCES, ENOENT,
// EEXIST, ENOTEMPTY, ECONNREFUSED, ...), EIO when the library gave no reason.
// A server that cannot be found, or a server part that is no host name, is
// ENOENT: the path names nothing.

#include "platform/FileSystem.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tandemora::smb {

// The libsmbclient URL of a network path: "smb://server/share/dir" with every
// name percent-encoded. Empty when the path does not start with two separators
// or names no proper server.
std::string UrlOf(const std::string& path);

// Registers the account used for every later connection to the server of path
// ("\\server", "\\server:port", or any path on it). An empty user means an
// anonymous connection. "DOMAIN\user" logs on to that domain. Idle connections
// made with other credentials are dropped so that the new ones take effect.
void LogOn(const std::string& path, const std::string& user, const std::string& password);

// How long libsmbclient waits for a connection, or for a reply, before a call
// fails with ETIMEDOUT (at least one second; 30 seconds unless set). One
// connection context serves the program, so the value last set holds for every
// connection made from then on; connections already open keep theirs.
void SetTimeout(int64_t ms);

// How long the call into libsmbclient that runs now has been waiting; 0 when
// none runs. (One call runs at a time: see the lock above.)
int64_t CallWaitingMs();

// Cuts this process's connections to the server of path (shuts their sockets
// down), so that a call waiting for that server fails at once (ETIMEDOUT) and
// the next one connects afresh. libsmbclient offers no way to break a call
// off, and its waits end only at the time-out. The number of connections cut.
int BreakOff(const std::string& path);

// While it lives, a call that has been waiting AfterMs or longer is broken off
// (BreakOff of Path) as soon as Cancelled says so; Cancelled is asked about
// five times a second from a thread of its own.
class TBreakOnCancel {
public:
    TBreakOnCancel(std::string Path, std::function<bool()> Cancelled, int64_t AfterMs);
    ~TBreakOnCancel();
    TBreakOnCancel(const TBreakOnCancel&) = delete;
    TBreakOnCancel& operator=(const TBreakOnCancel&) = delete;

private:
    void Watch();

    std::string path_;
    std::function<bool()> cancelled_;
    int64_t afterMs_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool end_ = false;
    std::thread watcher_; // last: it starts once the rest is set
};

// The server's disk shares (print, IPC and hidden "$" shares left out), in the
// server's order, as bare share names. 0 when the server answered, else errno.
int ListShares(const std::string& server, std::vector<std::string>& shares);

// As fs::ListFolder, for a folder on a share. The server sends a folder's whole
// listing at once, so a listing either succeeds completely or fails (errno).
// Attributes are the server's: folder 16, archive 32 on every file, read-only 1
// and hidden 2 as the server reports them.
int ListFolder(const std::string& path, const std::function<void(const fs::DirEntry&)>& onEntry);

// Describes one item on a share (a share itself is a folder). False when it is
// missing or the server cannot be reached.
bool GetEntryInfo(const std::string& path, fs::DirEntry& entry);

// Sets the last-access and last-write times of an item.
bool SetTimes(const std::string& path, time_t modify);
// Clears the read-only attribute and keeps the others. True when the item is
// writable afterwards.
bool ClearReadOnly(const std::string& path);
// Deletes a file; a read-only file is refused (EACCES), a folder too (EISDIR).
bool DeleteFile(const std::string& path);
// Removes an empty folder.
bool RemoveFolder(const std::string& path);
// Renames or moves within one share; an existing target file is replaced.
bool RenameFile(const std::string& from, const std::string& to);
// Creates one folder level.
bool CreateFolder(const std::string& path);
// Creates every missing folder level below the share. True when the folder
// exists afterwards.
bool ForceDirectories(const std::string& path);
// Space on the share that holds path.
bool FreeSpace(const std::string& path, fs::DiskSpace& space);

// ---- Open files -------------------------------------------------------------------
//
// An open file on a share is known by a descriptor of this process (an anonymous
// memory file that is never read or written), so that it cannot be mistaken for
// any other open file and fits fs::TFileHandle. Only these functions act on it.

// Opens a file with open(2) flags (O_RDONLY; O_WRONLY with O_CREAT and O_TRUNC or
// O_EXCL). Folders are refused (EISDIR). The descriptor, or -1.
int OpenFile(const std::string& path, int flags);
// True when fd was returned by OpenFile and is not closed yet.
bool IsOpenFile(int fd);
// Reads up to count bytes: the number read, 0 at the end, -1 on failure.
int64_t ReadFile(int fd, void* buffer, size_t count);
// Writes up to count bytes: the number written, -1 on failure.
int64_t WriteFile(int fd, const void* buffer, size_t count);
// Size and times of the open file.
bool GetFileInfo(int fd, int64_t& size, timespec& access, timespec& modify);
// Times to give the file once it is closed: a write after setting them would
// move the last-write time on again, so they are set by CloseFile.
bool SetFileTimes(int fd, const timespec& access, const timespec& modify);
// Closes the file, then sets the times that SetFileTimes left. False when the
// close failed (written data may be lost); a time that could not be set does
// not fail the close, as the file's content is complete.
bool CloseFile(int fd);

} // namespace tandemora::smb
