#pragma once
// The task log: "<SyncID>.log" in the program folder, one record appended after
// every analysis and every synchronisation when the option SaveLog is 1. Lines
// end in CR LF; nothing ever trims or rewrites the file.
//
// The record operations are members of TSyncTask (LogHeader, RecordAnalysis,
// WriteLog, SaveLog); this unit holds the helpers they are built from.

#include <chrono>
#include <cstdint>
#include <string>

#include "model/UTFolderSource.h"

namespace tandemora {

// The action words of the report header.
inline constexpr const char* kLogActionAnalysis = "ANALYSIS";
inline constexpr const char* kLogActionSync = "SYNC";

// The line end of every log line.
inline constexpr const char* kLogLineEnd = "\r\n";

// The task log kept open for the lines of one record (a sync writes a line per
// item): opened at the first line, closed at the record's end. Every line goes
// to the file at once, nothing waits in this process, so a run that is killed
// leaves each line it wrote before, as when the file was opened per line.
class TTaskLogFile {
public:
    TTaskLogFile() = default;
    TTaskLogFile(const TTaskLogFile&) = delete;
    TTaskLogFile& operator=(const TTaskLogFile&) = delete;
    ~TTaskLogFile();

    // Opens Path for appending (made 0600 when new, other people's rights taken
    // away); raises EInOutError.
    void Open(const std::string& Path);
    bool IsOpen() const { return fd_ >= 0; }
    // Appends Text and the line end; raises EInOutError. A line that did not fit
    // whole (the disk full) is taken back, so the next record starts on a line
    // of its own.
    void Append(const std::string& Text);
    // Closes the file; raises EInOutError when the system reports a failure.
    void Close();

private:
    int fd_ = -1;
    std::string path_;
};

// A folder as logs and the window show it: a server or share address never
// with its user part, so a password typed into the address stays out of sight.
std::string FolderWithoutUserPart(const TFolderSource& source);

// The arrow between the two paths of a header: " <-> ", " -> ", " <- " for the
// directions 0, 1, 2, nothing for any other value.
std::string DirectionArrow(int32_t direction);

// A moment in the local short date format followed by the long time format of
// the current locale (LC_TIME); the time is left out at exactly midnight.
std::string FormatLogDateTime(std::chrono::system_clock::time_point moment);

} // namespace tandemora
