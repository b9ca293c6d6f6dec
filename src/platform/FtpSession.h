#pragma once
// One logged-in FTP connection (libcurl, passive mode) and the server folder the
// next commands work in.
//
// The session keeps its current folder itself and enters it again at the start
// of every command that names a file by its bare name. libcurl may drop and
// re-open the control connection at any time (after a refused command, after a
// time-out), and a fresh login starts in the login folder: a DELE or STOR sent
// there would hit the wrong file. Entering the folder in the same request makes
// that impossible; if the folder cannot be entered, the command is not sent.
//
// Names and paths go to the server as the bytes they are (UTF-8 here). A name
// or path holding CR, LF or NUL is refused before anything is sent: those bytes
// end an FTP command line, so such a name could carry a command of its own.
//
// Every operation returns one of the ftp* results below. A transfer that the
// server does not confirm with a 2xx reply, or that moved fewer bytes than the
// file holds, is never ftpOk.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tandemora {

// One entry of a folder listing.
struct TFtpEntry {
    std::string Name;
    bool IsFolder = false;
    int64_t Size = 0; // bytes; 0 for folders
    int32_t Time = 0; // last change as a local DOS date-time
};

enum : int {
    ftpOk = 0,
    // The server answered with an error reply (no such file, no permission,
    // login refused, command not allowed).
    ftpRefused = 1,
    // A transfer or listing ended short, the sizes did not match, or the reply
    // could not be read as a listing: what arrived is not the whole thing.
    ftpIncomplete = 2,
    // A local file could not be read, written or renamed.
    ftpLocalError = 3,
    // No usable connection: not logged in, the connection broke or timed out,
    // or the session was aborted.
    ftpBroken = -1,
};

// ---- Listing text --------------------------------------------------------------
//
// The parsers take a whole listing and succeed only when every line was
// understood: an entry that cannot be read is an entry not seen, and a folder
// with an unseen entry must not pass for completely listed. "." and ".." (and
// MLSD's cdir/pdir entries) are left out.

// Times without a date are given the DOS time of 1980-01-01 00:00:00, the
// earliest one there is.
inline constexpr int32_t FtpNoTime = 0x00210000;

// One MLSD line ("facts; name") or the facts line of an MLST reply (without its
// leading blank). Listed is false for entries that are left out (cdir, pdir).
// False when the line is malformed.
bool ParseMlsdLine(const std::string& Line, TFtpEntry& Entry, bool& Listed);
bool ParseMlsdListing(const std::string& Text, std::vector<TFtpEntry>& Entries);

// One line of a LIST reply in the Unix "ls -l" style or the DOS style of IIS.
// Now is the current time: a Unix line shows recent dates without a year, and
// the year is the one that puts the date not after tomorrow. Its time is taken
// as shown (the server's own clock), without a change of time zone. Links are
// left out, as on a local folder (a LIST line gives the link's own size, not
// that of what it points to); devices, pipes and sockets too (reading one would
// hang). "total N" lines are skipped.
bool ParseListLine(const std::string& Line, time_t Now, TFtpEntry& Entry, bool& Listed);
bool ParseListListing(const std::string& Text, time_t Now, std::vector<TFtpEntry>& Entries);

// The DOS date-time of calendar fields, clamped to the DOS range; 0 when the
// fields name no date or time.
int32_t DosTimeOfFields(int Year, int Month, int Day, int Hour, int Minute, int Second);

// ---- Addresses --------------------------------------------------------------------

// Splits "host", "host:port", "[v6]" or "[v6]:port". Port is 21 when none is
// written. False for an empty host or a port that is not a number in 1..65535.
bool SplitHostPort(const std::string& HostPort, std::string& Host, int& Port);
// Percent-encodes every byte except unreserved URL characters.
std::string FtpUrlEncode(const std::string& Text);
// False for text holding CR, LF or NUL.
bool IsSafeFtpArgument(const std::string& Text);

// ---- The session ---------------------------------------------------------------------

class TFtpSession {
public:
    TFtpSession(const std::string& Host, int Port, const std::string& User, const std::string& Password);
    ~TFtpSession();
    TFtpSession(const TFtpSession&) = delete;
    TFtpSession& operator=(const TFtpSession&) = delete;

    // Connects directly (proxy settings of the environment are not used) and
    // logs in, and asks the server what it offers. ftpRefused when
    // the login was refused.
    int Open();
    bool IsOpen() const { return open_; }

    // Makes the command running on another thread fail at once, and every later
    // one. Safe to call from any thread, any number of times.
    void Abort();
    bool Aborted() const { return aborted_.load(); }

    // Enters a folder by its full server path ("" is "/"). The current folder
    // changes only when the server accepted it.
    int ChangeDir(const std::string& Path);
    const std::string& CurrentDir() const { return current_; }

    // Lists the current folder: MLSD when the server offers it (exact sizes,
    // UTC times), LIST otherwise, with names starting with "." where the
    // server hides them from a plain LIST. Entries is empty unless the result
    // is ftpOk.
    int List(std::vector<TFtpEntry>& Entries);
    // Looks up one name in the current folder: ftpOk when it is there (Entry
    // filled as far as the server tells), ftpRefused when it is not.
    int Stat(const std::string& Name, TFtpEntry& Entry);

    // Downloads a file of the current folder into a part file beside LocalPath,
    // which replaces LocalPath only when every byte arrived, the server
    // confirmed the transfer and the size is the one the server reported (and
    // ExpectedSize, unless that is negative). Otherwise LocalPath is as it was.
    int GetToFile(const std::string& Name, const std::string& LocalPath, int64_t ExpectedSize);
    // Uploads a local file into the current folder under a temporary name and
    // renames that over Name only once the server confirmed the transfer and
    // holds every byte. ExpectedSize (unless negative) must be the local file's
    // size, or nothing is sent. A failed upload removes its temporary file.
    int PutFromFile(const std::string& LocalPath, const std::string& Name, int64_t ExpectedSize);

    // Folders by full server path.
    int MakeDir(const std::string& Path);
    int RemoveDir(const std::string& Path);
    // Files of the current folder. Rename's To may also be a full server path.
    int Delete(const std::string& Name);
    int Rename(const std::string& From, const std::string& To);

    // Whether listings use MLSD. Tests switch it off to read LIST replies.
    bool UsesMlsd() const { return mlsd_; }
    void SetUseMlsd(bool Use) { mlsd_ = Use; }
    // A listing longer than this (1 GiB unless set) is no listing: it is read
    // into memory whole, and a server that never ends it would take all there is.
    void SetMaxListingBytes(size_t Bytes) { maxListing_ = Bytes; }

    // The task (SyncID) whose part files this session writes, named after it.
    std::string PartOwner;

    // The temporary server name an upload of Name uses first.
    std::string TempNameFor(const std::string& Name);

    // The last reply code of the server and libcurl's word on the last failure.
    long LastReplyCode() const { return replyCode_; }
    const std::string& LastError() const { return error_; }
    // The last reply line of the server ("550 No such file"), empty when none came.
    std::string LastReply() const { return replies_.empty() ? std::string() : replies_.back(); }

private:
    struct TRequest {
        std::vector<std::string> Quote; // sent first; "*" in front: a failure is read, not fatal
        std::string Name;               // file name the URL ends in (bare, not encoded)
        std::string Custom;             // a listing command instead of a transfer
        bool NoBody = false;            // no transfer at all
        bool Upload = false;
        int64_t UploadSize = -1;
        std::function<bool(const char*, size_t)> Sink; // received bytes; false stops
        std::function<int64_t(char*, size_t)> Source;  // bytes to send; -1 on failure
    };

    int Perform(const TRequest& Request);
    int ResultOf(int CurlCode) const;
    int Command(const std::vector<std::string>& Quote);
    std::vector<std::string> InCurrentDir(std::vector<std::string> Commands) const;
    std::vector<std::string> LastReplyLines() const;
    int ListWith(const std::string& Verb, std::vector<TFtpEntry>& Entries);
    int ListWithHidden(std::vector<TFtpEntry>& Entries);
    int FindInListing(const std::string& Name, TFtpEntry& Entry);
    int FolderOrNothing(const std::string& Name, TFtpEntry& Entry);
    int ReplaceWith(const std::string& Temp, const std::string& Name);

    // libcurl's callbacks reach the members through this.
    friend struct TFtpCallbacks;

    void* curl_ = nullptr;
    std::string base_; // "ftp://host:port/"
    std::string user_;
    std::string password_;
    std::string current_;
    bool open_ = false;
    bool mlsd_ = false;
    bool mlst_ = false;
    size_t maxListing_ = size_t(1) << 30;
    int listAll_ = -1; // whether "LIST -a" lists hidden names: 1 yes, 0 no, -1 not known yet
    long replyCode_ = 0;
    std::string error_;
    std::string errorBuffer_; // libcurl writes its message for the last failure here
    std::vector<std::string> replies_;
    const TRequest* request_ = nullptr;

    std::atomic<bool> aborted_{false};
    std::mutex socketLock_;
    std::set<int> sockets_;
};

} // namespace tandemora
