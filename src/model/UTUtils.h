#pragma once
// Routines every layer shares: the error log, special folders, start at log-in,
// power-off, user and computer names, name and path helpers, time conversions,
// the name order of every tree, and the program-wide transfer status text.

#include <cstdint>
#include <ctime>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace tandemora {

// ---- Error log: "ErrorInfo.txt" in the program folder -----------------------

// Writes one line per failure. Never fails its caller: a log that cannot be
// written drops the line. Safe to call from any thread.
class TMyException {
public:
    // The program-wide handler of uncaught exceptions: logs with the text "unknown".
    void HandleException(const std::exception& e);
    // The common entry for every caller.
    void LogError(const std::string& text, const std::exception& e);
    // For failures that are not C++ exceptions (a class name and message of our own).
    void LogError(const std::string& text, const std::string& className, const std::string& message);
    void WriteErrorLog(const std::string& text, const std::string& className, const std::string& message);
};

// The one logger of the program.
extern TMyException ErrorLogger;

// ---- Program-wide transfer status text --------------------------------------

// Replaces the whole text under the program-wide lock.
void SetSyncStatusText(const std::string& text);
// A copy of the text taken under the same lock.
std::string GetSyncStatusText();

// ---- Name order --------------------------------------------------------------

// The one total order of names used by every scan, snapshot and merge walk:
// names compared without letter case (Unicode simple case folding of UTF-8, raw
// bytes where a name is not UTF-8), then byte by byte to break ties, so that only
// identical names compare equal. Independent of the locale. <0, 0 or >0.
int CompareNames(const std::string& a, const std::string& b);
// True when two names are told apart by letter case alone ("report.txt" and
// "Report.txt"): one file on a target that ignores case.
bool DifferOnlyInCase(const std::string& a, const std::string& b);

// ---- Special folders ------------------------------------------------------------

// The user's application-data folder ($XDG_DATA_HOME, by default ~/.local/share)
// followed by "/"; created (mode 0700) when missing. "/" when no home is known.
std::string GetAppDataFolder();
// The user's templates folder (XDG_TEMPLATES_DIR of user-dirs.dirs, by default
// ~/Templates) followed by "/". "/" when no home is known.
std::string GetTemplatesFolder();
// A private folder for the temporary files of remote transfers
// ($XDG_CACHE_HOME/Tandemora/staging/, by default under ~/.cache), created with
// mode 0700 so that no other user can read a file on its way.
std::string GetStagingFolder();
// The folder of the local snapshot files ($XDG_DATA_HOME/Tandemora/), created with
// mode 0700 when missing: the snapshots name every item of the synchronised folders.
std::string GetLocalSnapshotFolder();

// Opens a file of the program's own for appending, creating it when missing: the
// descriptor, or -1 with errno set. The error log and the task logs name items of
// the synchronised folders, which may be private, so a new file gets mode 0600
// and an older one that others could read loses those rights.
int OpenPrivateAppend(const std::string& path);

// ---- System services ------------------------------------------------------------

// Starts the program at log-in: writes the autostart entry
// $XDG_CONFIG_HOME/autostart/<ValueName>.desktop when Flag (blanks trimmed) is not
// empty, removes it otherwise. Failures go to the error log only.
void SetRunAtStartup(const std::string& ValueName, const std::string& Flag);
// The program's icon, beside the program; the autostart entry names it.
inline constexpr const char* kProgramIconFileName = "Tandemora.png";
// The text of the autostart entry named ValueName that starts ProgramPath.
std::string AutostartEntryText(const std::string& ValueName, const std::string& ProgramPath);

// Powers the computer off; True when the power-off command accepted the request
// (exited with status 0).
bool ShutdownComputer();
// The command ShutdownComputer runs, {"systemctl", "poweroff"} unless replaced.
void SetPowerOffCommand(const std::vector<std::string>& Command);
std::vector<std::string> GetPowerOffCommand();

// The name of the user the program runs as, empty when it has none.
std::string GetLoginUserName();
// The host name of this computer.
std::string GetLocalComputerName();

// ---- Name and path routines -----------------------------------------------------

// False when Name contains any of \ / : * ? > < |.
bool IsValidFileName(const std::string& Name);
// S without a final "/" and then without a final "\" (trailing blanks are looked past).
std::string ExcludeTrailingSlash(const std::string& S);
// A + Sep + B with the separators of both turned into Sep and no doubled Sep.
std::string JoinPath(const std::string& A, const std::string& B, const std::string& Sep);
// An item's path below its endpoint root from its RelPath and name. Local
// scans give RelPath with a closing "/" ("/sub/"), the WebDAV scan without one
// ("/sub"), so the separator is added where it is missing.
std::string ItemRelPath(const std::string& RelPath, const std::string& Name);
// The text before the last Delim; empty when Path holds no Delim.
std::string GetPathBeforeLast(const std::string& Path, const std::string& Delim);
// The text after the last Delim; the whole Path when it holds no Delim.
std::string GetLastPathPart(const std::string& Path, const std::string& Delim);
// The number of lines once every Delim in Text is a line break ("a,b," gives 2).
int CountDelimitedParts(const std::string& Delim, const std::string& Text);
// The index of the first entry equal to S when both are trimmed of blanks; -1 when none.
int IndexOfTrimmed(const std::string& S, const std::vector<std::string>& List);
// S without the blanks and control characters at either end (folder texts
// typed by users may carry them).
std::string TrimBlanks(const std::string& S);
// The number of characters of S: UTF-8 code points, each invalid byte counting once.
int AnsiCharCount(const std::string& S);
int BoolToInt(bool B);
// True only for 1.
bool IntToBool(int I);

// ---- Time routines ---------------------------------------------------------------

// 100-nanosecond ticks since 1601-01-01 00:00:00, as FTP listings give them.
using TFileTime = std::uint64_t;

struct TSystemTime {
    std::uint16_t wYear = 0;
    std::uint16_t wMonth = 0;     // 1-12
    std::uint16_t wDayOfWeek = 0; // 0 = Sunday
    std::uint16_t wDay = 0;       // 1-31
    std::uint16_t wHour = 0;
    std::uint16_t wMinute = 0;
    std::uint16_t wSecond = 0;
    std::uint16_t wMilliseconds = 0;
};

// Days since 1899-12-30; the fraction is the time of day (subtracted for days
// before that date, so -1.25 is 1899-12-29 06:00).
using TDateTime = double;

// Splits a file time into its calendar fields, without any change of time zone.
// False (SystemTime unchanged) for times of 2^63 ticks and more, as Windows does.
bool FileTimeToSysTime(TFileTime FileTime, TSystemTime& SystemTime);
// The date-time of the fields (wDayOfWeek is ignored). Raises EConvertError for
// fields that name no date or time.
TDateTime SystemTimeToDateTimeEx(const TSystemTime& SystemTime);

// ---- String sort -----------------------------------------------------------------

// A list of texts, each with an object attached.
using TStringObjectList = std::vector<std::pair<std::string, void*>>;

// Sorts List by CompareNames, each object staying with its text.
void ShellSortStrings(TStringObjectList& List);

} // namespace tandemora
