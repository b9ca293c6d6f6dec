#include "tasks/UTTaskLog.h"

#include "endpoints/UTFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tandemora {

namespace {

std::string FormatTm(const char* format, const std::tm& parts) {
    char buffer[256];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

bool SaveLogOn() {
    return SysConfig != nullptr && SysConfig->SaveLog == 1;
}

} // namespace

std::string FolderWithoutUserPart(const TFolderSource& source) {
    const std::string& folder = source.FolerAllName;
    if (source.DeviceType == dtFtp || source.DeviceType == dtWebDav) {
        return UrlWithoutUserPart(folder);
    }
    // A share's path as the endpoint takes it, without the blanks around it.
    const std::string share = TrimBlanks(folder);
    if ((source.DeviceType == dtNetShare || fs::IsUncPath(share)) && UrlHasUserPart(share)) {
        return UrlWithoutUserPart(share);
    }
    return folder;
}

std::string DirectionArrow(int32_t direction) {
    switch (direction) {
    case sdBothWays:
        return " <-> ";
    case sdLeftToRight:
        return " -> ";
    case sdRightToLeft:
        return " <- ";
    default:
        return "";
    }
}

std::string FormatLogDateTime(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const time_t seconds = system_clock::to_time_t(moment);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    std::string text = FormatTm("%x", parts);
    const bool midnight = parts.tm_hour == 0 && parts.tm_min == 0 && parts.tm_sec == 0 &&
                          floor<milliseconds>(moment) == floor<std::chrono::seconds>(moment);
    if (!midnight) {
        text += " " + FormatTm("%X", parts);
    }
    return text;
}

std::string TSyncTask::LogPath() const {
    return GetProgramFolder() + FileID() + ".log";
}

std::string TSyncTask::LogHeader(const std::string& action) const {
    return "----- " + FormatLogDateTime(std::chrono::system_clock::now()) + " ,Job:\"" +
           EscapeForLog(SyncName) + "\" ," + action + "," + GetLocalComputerName() + "," +
           GetLoginUserName() + " -----" + kLogLineEnd + EscapeForLog(FolderWithoutUserPart(LFolder)) +
           DirectionArrow(SyncDirection) + EscapeForLog(FolderWithoutUserPart(RFolder));
}

std::string TSyncTask::RecordAnalysis(const std::string& timesLine, const std::string& countsLine,
                                      const std::string& diskLine,
                                      const std::vector<std::string>& notes) const {
    std::string text;
    try {
        const std::string header = LogHeader(kLogActionAnalysis) + kLogLineEnd;
        const std::string rest =
            countsLine + kLogLineEnd + diskLine + kLogLineEnd + "----- Analysis " + timesLine + " -----";
        text = header + rest;
        if (SaveLogOn()) {
            std::string logged = header;
            for (const std::string& note : notes) {
                logged += note + kLogLineEnd;
            }
            WriteLog(logged + rest);
        }
    } catch (const std::exception&) {
        // An unwritable log must never disturb the analysis it records.
    }
    return text;
}

void TSyncTask::RecordNotStarted(const std::string& action, const std::string& reason) const {
    const bool sync = action == kLogActionSync;
    std::string text = LogHeader(action) + kLogLineEnd + reason + kLogLineEnd + "----- " +
                       (sync ? "Sync" : "Analysis") + " not started -----";
    if (sync) {
        text += kLogLineEnd;
    }
    try {
        SaveLog(text);
    } catch (const std::exception& e) {
        ErrorLogger.HandleException(e);
    }
}

TTaskLogFile::~TTaskLogFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void TTaskLogFile::Open(const std::string& Path) {
    if (fd_ >= 0) {
        Close();
    }
    fd_ = OpenPrivateAppend(Path);
    if (fd_ < 0) {
        throw EInOutError("Cannot open log \"" + Path + "\": " + std::strerror(errno));
    }
    path_ = Path;
}

void TTaskLogFile::Append(const std::string& Text) {
    if (fd_ < 0) {
        throw EInOutError("Cannot write log \"" + path_ + "\": " + std::strerror(EBADF));
    }
    const std::string line = Text + kLogLineEnd;
    size_t done = 0;
    int error = 0;
    while (done < line.size()) {
        const ssize_t n = write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    struct stat after {};
    if (error != 0 && done > 0 && fstat(fd_, &after) == 0 && S_ISREG(after.st_mode) &&
        after.st_size >= static_cast<off_t>(done)) {
        // Part of a line (the disk filled up) would run into the next record once
        // there is room again; the file goes back to its last whole line. The cut
        // is measured from the end the part went to: another program may have
        // appended a record since this one opened the file.
        (void)!ftruncate(fd_, after.st_size - static_cast<off_t>(done));
    }
    if (error != 0) {
        throw EInOutError("Cannot write log \"" + path_ + "\": " + std::strerror(error));
    }
}

void TTaskLogFile::Close() {
    if (fd_ < 0) {
        return;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        throw EInOutError("Cannot write log \"" + path_ + "\": " + std::strerror(errno));
    }
}

int32_t TSyncTask::WriteLog(const std::string& text) const {
    TTaskLogFile file;
    file.Open(LogPath());
    file.Append(text);
    file.Close();
    return 0;
}

void TSyncTask::SaveLog(const std::string& text) const {
    if (SaveLogOn()) {
        WriteLog(text);
    }
}

} // namespace tandemora
