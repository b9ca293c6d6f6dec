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

// How exactly a listing tells an entry's time.
enum : int {
    ftpExactTime = 0,  // to the second, in UTC (MLSD, MDTM)
    ftpMinuteTime = 1, // a LIST line's date and clock, in the server's own zone
    ftpDayTime = 2,    // a LIST line's date with a year instead of a clock (older files)
};

// One entry of a folder listing.
struct TFtpEntry {
    std::string Name;
    bool IsFolder = false;
    int64_t Size = 0; // bytes; 0 for folders
    int32_t Time = 0; // last change as a local DOS date-time
    // The time as the listing told it, in seconds since 1970: the UTC instant
    // of an exact time; for a LIST line the date and clock shown, counted as if
    // they were UTC (the server's zone is not known to the line). 0 when none.
    int64_t Shown = 0;
    int Precision = ftpExactTime;
    // Shown to the minute while that minute still ran by the server's clock,
    // when it was listed: another change later within it would look the same.
    bool MinuteOpen = false;
};

// A server's clock as its listings show it: one per connection. MLSD and MDTM
// give UTC to the second; a LIST line shows the server's wall clock, which
// vsftpd keeps in UTC unless told otherwise and other servers keep in their own
// zone. Its offset is learnt once, from the first file whose exact time the
// server told beside its LIST line; until then (and on a server that tells no
// exact times) the listing is taken to be in UTC, which at least does not change
// with the zone this program runs in.
class TFtpServerClock {
public:
    // A file's LIST entry and the UTC time MDTM gave for it. Only a line with a
    // clock can teach the offset; a server is never more than 15 hours off UTC.
    void Learn(const TFtpEntry& Listed, time_t Utc);
    bool Learnt() const { return learnt_; }
    // Seconds the listing's clock is ahead of UTC.
    int64_t Offset() const { return offset_; }
    // The UTC instant of an entry (an exact one as it is).
    time_t UtcOf(const TFtpEntry& Entry) const;
    // The entry's time as a local DOS date-time, as a local file's would be.
    int32_t DosTimeOf(const TFtpEntry& Entry) const;

private:
    bool learnt_ = false;
    int64_t offset_ = 0;
};

// "YYYYMMDDHHMMSS[.fraction]" (MLSD's modify fact, an MDTM reply) as a UTC
// instant; false when it is none.
bool ParseFtpTimeStamp(const std::string& Text, time_t& Utc);
// A UTC instant as "YYYYMMDDHHMMSS" (MFMT and MDTM's setting form).
std::string FtpTimeStamp(time_t Utc);
// Whether a name is one that servers store as it is given: printable ASCII or
// UTF-8, none of \ : * ? " < > |, no blank at either end and no dot at the end.
// Others are checked on the server after an upload (see PutFromFile).
bool IsPlainFtpName(const std::string& Name);
// The stand-in an upload of a name that is not plain takes on its way holds
// this mark; a run cut short may leave one, which is never an item of a tree.
// The mark names the task as its part files do ("~Tandemora-probe-<task>-<pid>-
// <serial>~"), so that a later run of that task can tell its own and remove them.
inline constexpr const char* StandInMark = "~Tandemora-probe-";
bool IsStandInName(const std::string& Name);
// The mark of one stand-in of the task Owner (none when empty).
std::string StandInMarkOf(const std::string& Owner, long Pid, unsigned Serial);
// True when Name holds the mark of a stand-in of the task Owner (never for an
// empty Owner).
bool IsStandInOf(const std::string& Name, const std::string& Owner);
// The stand-in of Name: Mark in its middle, every character of Name in place.
// Where that would pass the 255 bytes a server's name may hold, characters
// near the middle that every server stores as given (ASCII letters, digits,
// "-", "_" and whole UTF-8 characters) give way to the mark; blanks, dots and
// every other character stay where the server could change them.
std::string StandInName(const std::string& Name, const std::string& Mark);

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

// The stall limit of a session unless set otherwise: no connection made, no
// reply and no byte moved for this long fails the command.
inline constexpr int64_t DefaultFtpStallLimitMs = 30000;

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

    // How long connecting, waiting for a reply, or a transfer that moves no byte
    // may take before the command fails (whole seconds, but for connecting).
    void SetStallLimit(int64_t Ms);
    // Asked during every command (at least once a second, also while waiting);
    // true breaks that command off, as Abort does, but leaves later ones alone.
    // Set before the first command.
    void SetCancelCheck(std::function<bool()> Check);
    // Whether the last command failed because the server could not be reached
    // or stopped answering (not because it refused, nor because of Abort).
    bool LastNotAnswered() const;

    // Enters a folder by its full server path ("" is "/"). The current folder
    // changes only when the server accepted it.
    int ChangeDir(const std::string& Path);
    const std::string& CurrentDir() const { return current_; }

    // Lists the current folder: MLSD when the server offers it (exact sizes,
    // UTC times), LIST otherwise, with names starting with "." where the
    // server hides them from a plain LIST. Entries is empty unless the result
    // is ftpOk. A LIST shows times to the minute at best, which can hide an
    // edit made in the same minute as the last look; so where the server
    // answers MDTM, every file's exact time is asked for, and the listing's
    // offset from UTC learnt (Clock) for the rest (folders, other servers).
    // Without ExactTimes (a caller that wants the folders only) no MDTM is sent.
    int List(std::vector<TFtpEntry>& Entries, bool ExactTimes = true);
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
    // ModifyTime (UTC, unless negative) is given to the file where the server
    // lets a client set times (MFMT, or MDTM with a time); a server that does
    // not is no failure. A name that is not plain (IsPlainFtpName) is tried
    // under a stand-in holding it first: a server that would store it under
    // another name (Pure-FTPd turns a leading blank into "_") fails the upload
    // with ftpRefused, and the file of that other name is never touched.
    int PutFromFile(const std::string& LocalPath, const std::string& Name, int64_t ExpectedSize,
                    time_t ModifyTime = -1);
    // Sets the modification time of a file of the current folder (UTC).
    int SetModifyTime(const std::string& Name, time_t Utc);
    // The server's clock as learnt on this connection.
    const TFtpServerClock& Clock() const { return clock_; }

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
    int AskExactTimes(std::vector<TFtpEntry>& Entries, bool Ask);
    int TakeName(const std::string& Temp, const std::string& Name);
    // What a failed step said, kept across the clean-up after it, whose
    // replies would otherwise stand for the failure's reason.
    struct TFailure {
        std::string Error;
        long ReplyCode = 0;
        std::vector<std::string> Replies;
    };
    TFailure KeepFailure() const { return {error_, replyCode_, replies_}; }
    void RestoreFailure(TFailure Failure);
    bool DropRenamedPart(const std::string& Temp, const std::string& Name);
    bool ListsName(const std::string& Name, std::vector<std::string>* Marked, const std::string& Mark);
    bool UploadEmptyFile(const std::string& Name);
    void LearnMdtmZone();
    void LearnListingZone();

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
    bool mfmt_ = false;        // FEAT offers MFMT (sets a file's time)
    int mdtm_ = -1;            // MDTM answered: 1 yes, 0 no, -1 not known yet
    bool mdtmOffered_ = false; // FEAT offers MDTM (vsftpd also sets times with it)
    bool mdtmZoneAsked_ = false;
    bool listingZoneAsked_ = false;
    int64_t mdtmZone_ = 0; // seconds east of UTC that MDTM times are given in (LearnMdtmZone)
    TFtpServerClock clock_;
    size_t maxListing_ = size_t(1) << 30;
    int listAll_ = -1; // whether "LIST -a" lists hidden names: 1 yes, 0 no, -1 not known yet
    long replyCode_ = 0;
    std::string error_;
    std::string errorBuffer_; // libcurl writes its message for the last failure here
    std::vector<std::string> replies_;
    const TRequest* request_ = nullptr;

    int lastCode_ = 0; // libcurl's result of the last command
    std::function<bool()> cancelCheck_;
    std::atomic<bool> aborted_{false};
    std::mutex socketLock_;
    std::set<int> sockets_;
};

} // namespace tandemora
