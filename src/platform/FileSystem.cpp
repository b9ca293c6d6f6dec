#include "platform/FileSystem.h"

#include "platform/SmbClient.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace tandemora::fs {

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Network paths never reach the local disk (the functions that serve them send
// them to the SMB back end first).
bool RefuseUnc(const std::string& path) {
    if (IsUncPath(path)) {
        errno = ENOENT;
        return true;
    }
    return false;
}

int32_t PackDosTime(int year, int month, int day, int hour, int minute, int second) {
    const uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) | (static_cast<uint32_t>(month) << 5) |
                          static_cast<uint32_t>(day);
    const uint32_t time = (static_cast<uint32_t>(hour) << 11) | (static_cast<uint32_t>(minute) << 5) |
                          static_cast<uint32_t>(second / 2);
    return static_cast<int32_t>((date << 16) | time);
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// What the listing makes of one directory entry, given its lstat result.
enum class Kind { Listed, Skipped, Failed };

// Classifies an item by the listing rules and fills entry (all but Name). For a
// symbolic link, st is replaced by its target's status.
Kind Describe(int dirFd, const char* name, struct stat& st, DirEntry& entry, TDosClock* clock = nullptr) {
    if (S_ISLNK(st.st_mode)) {
        // Followed only to a regular file; a folder, a special file or nothing at
        // the other end leaves the link out.
        if (fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
            return Kind::Skipped;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        entry.IsFolder = true;
        entry.Size = 0;
        entry.Attr = faDirectory;
    } else if (S_ISREG(st.st_mode)) {
        entry.IsFolder = false;
        entry.Size = static_cast<int64_t>(st.st_size);
        entry.Attr = faArchive;
    } else {
        return Kind::Skipped; // sockets, FIFOs, devices
    }
    if ((st.st_mode & S_IWUSR) == 0) {
        entry.Attr |= faReadOnly;
    }
    if (name[0] == '.') {
        entry.Attr |= faHidden;
    }
    entry.ModifyTime = st.st_mtim;
    entry.Time = clock != nullptr ? clock->DosTime(st.st_mtim) : UnixToDosTime(st.st_mtim);
    entry.Device = static_cast<uint64_t>(st.st_dev);
    entry.Inode = static_cast<uint64_t>(st.st_ino);
    return Kind::Listed;
}

// path without trailing separators ("/" stays "/").
std::string TrimTrailingSlashes(const std::string& path) {
    std::string result = path;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

// The folder that holds path: "a/b" -> "a", "/a" -> "/", "a" -> ".".
std::string ParentOf(const std::string& path) {
    const std::string trimmed = TrimTrailingSlashes(path);
    const auto slash = trimmed.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return trimmed.substr(0, slash);
}

// path itself when it exists, else its nearest existing parent folder.
std::string NearestExisting(const std::string& path) {
    std::string current = path.empty() ? "." : path;
    struct stat st;
    while (stat(current.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            return "";
        }
        const std::string parent = ParentOf(current);
        if (parent == current) {
            return "";
        }
        current = parent;
    }
    return current;
}

// Undoes the octal escapes (\040 for a blank) of the mount table.
std::string DecodeMountField(const std::string& field) {
    std::string result;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '7' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            result += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                        (field[i + 3] - '0'));
            i += 3;
        } else {
            result += field[i];
        }
    }
    return result;
}

// True when mountPoint is path or one of its parent folders.
bool IsUnder(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") {
        return !path.empty() && path[0] == '/';
    }
    return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

} // namespace

int ListFolder(const std::string& path, const std::function<void(const DirEntry&)>& onEntry,
               TDosClock* clock) {
    if (IsUncPath(path)) {
        return smb::ListFolder(path, onEntry);
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    DIR* opened = fdopendir(fd);
    if (opened == nullptr) {
        const int error = errno;
        close(fd);
        return error;
    }
    // Closed on every way out, also when onEntry raises (out of memory while a
    // tree is built): a scan of a large tree must not leak a descriptor per folder.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, closedir);
    int failure = 0;
    DirEntry entry;
    struct stat st;
    for (;;) {
        errno = 0;
        const dirent* item = readdir(dir.get());
        if (item == nullptr) {
            if (errno != 0 && failure == 0) {
                failure = errno;
            }
            break;
        }
        const char* name = item->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        // Special files are known from the entry type without a stat.
        if (item->d_type == DT_FIFO || item->d_type == DT_SOCK || item->d_type == DT_CHR ||
            item->d_type == DT_BLK) {
            continue;
        }
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone since the folder was read: nothing to list. Anything else means
            // an item is there that we cannot see, so the listing is incomplete.
            if (errno != ENOENT && failure == 0) {
                failure = errno;
            }
            continue;
        }
        if (Describe(fd, name, st, entry, clock) != Kind::Listed) {
            continue;
        }
        entry.Name.assign(name);
        onEntry(entry);
    }
    // A folder removed while it was being read simply stops giving entries; its
    // link count of 0 tells it apart from a folder that is really empty.
    if (failure == 0 && fstat(fd, &st) == 0 && st.st_nlink == 0) {
        failure = ENOENT;
    }
    return failure;
}

int ListFolder(const std::string& path, std::vector<DirEntry>& entries) {
    entries.clear();
    return ListFolder(path, [&entries](const DirEntry& entry) { entries.push_back(entry); });
}

bool GetEntryInfo(const std::string& path, DirEntry& entry) {
    if (IsUncPath(path)) {
        return smb::GetEntryInfo(path, entry);
    }
    const std::string trimmed = TrimTrailingSlashes(path);
    const auto slash = trimmed.find_last_of('/');
    const std::string name =
        slash == std::string::npos || trimmed == "/" ? trimmed : trimmed.substr(slash + 1);
    struct stat st;
    if (fstatat(AT_FDCWD, trimmed.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    // Describe follows a link relative to the folder fd; with AT_FDCWD the whole
    // path is used, which names the same item.
    if (Describe(AT_FDCWD, trimmed.c_str(), st, entry) != Kind::Listed) {
        errno = ENOENT;
        return false;
    }
    // The hidden bit goes by the item's own name, not by the path.
    entry.Attr &= ~faHidden;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") {
        entry.Attr |= faHidden;
    }
    entry.Name = name;
    return true;
}

int32_t TimeFraction(const timespec& t) {
    const int64_t second = ((static_cast<int64_t>(t.tv_sec) % 2) + 2) % 2;
    // In 100-nanosecond steps, the finest a share or an NTFS volume keeps: a
    // time set to the nanosecond there reads back a little coarser later.
    return static_cast<int32_t>(second * 1000000000 + t.tv_nsec - t.tv_nsec % 100);
}

bool IsMountPoint(const std::string& path) {
    if (IsUncPath(path)) {
        return false;
    }
    const std::string trimmed = TrimTrailingSlashes(path);
    struct stat own;
    struct stat parent;
    return fstatat(AT_FDCWD, trimmed.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(own.st_mode) &&
           fstatat(AT_FDCWD, (trimmed + "/..").c_str(), &parent, 0) == 0 && own.st_dev != parent.st_dev;
}

namespace {

// The DOS date-time of local calendar fields, within the range DOS times hold.
int32_t DosOfLocal(const tm& local) {
    const int year = local.tm_year + 1900;
    if (year < 1980) {
        return PackDosTime(1980, 1, 1, 0, 0, 0);
    }
    if (year > 2107) {
        return PackDosTime(2107, 12, 31, 23, 59, 58);
    }
    // A leap second (60) stays within the minute.
    const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return PackDosTime(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, second);
}

// The calendar fields of a count of seconds from 1970 read as a plain clock
// (every day 86,400 seconds), as gmtime_r gives them, without its lock.
tm FieldsOfSeconds(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days to a civil date, the year taken to begin in March.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    tm fields{};
    fields.tm_mday = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    fields.tm_mon = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 2 : monthFromMarch - 10);
    fields.tm_year = static_cast<int>(yearOfEra + era * 400 + (fields.tm_mon <= 1 ? 1 : 0) - 1900);
    fields.tm_hour = static_cast<int>(rest / 3600);
    fields.tm_min = static_cast<int>(rest / 60 % 60);
    fields.tm_sec = static_cast<int>(rest % 60);
    return fields;
}

bool SameFields(const tm& a, const tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

} // namespace

int32_t UnixToDosTime(const timespec& t) {
    const time_t seconds = t.tv_sec;
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return seconds < 0 ? PackDosTime(1980, 1, 1, 0, 0, 0) : PackDosTime(2107, 12, 31, 23, 59, 58);
    }
    return DosOfLocal(local);
}

int32_t TDosClock::DosTime(const timespec& t) {
    // Far outside the years DOS times hold, the library decides alone.
    constexpr int64_t Limit = int64_t{400} * 366 * 86400;
    const int64_t seconds = t.tv_sec;
    if (seconds < -Limit || seconds > Limit) {
        return UnixToDosTime(t);
    }
    FollowZone();
    const int64_t day = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    TDay& slot = days_[static_cast<size_t>(day) % days_.size()];
    if (slot.Day != day) {
        Learn(slot, day);
    }
    if (!slot.Uniform) {
        return UnixToDosTime(t);
    }
    return DosOfLocal(FieldsOfSeconds(seconds + slot.Offset));
}

// A day whose first and last second have one offset, each giving the library's
// own fields by plain arithmetic, keeps that offset all day: zones change their
// offset at most once a day.
void TDosClock::Learn(TDay& slot, int64_t day) {
    slot.Day = day;
    slot.Uniform = false;
    const time_t first = static_cast<time_t>(day * 86400);
    const time_t last = first + 86399;
    tm atFirst{};
    tm atLast{};
    if (localtime_r(&first, &atFirst) == nullptr || localtime_r(&last, &atLast) == nullptr ||
        atFirst.tm_gmtoff != atLast.tm_gmtoff) {
        return;
    }
    slot.Offset = atFirst.tm_gmtoff;
    slot.Uniform = SameFields(FieldsOfSeconds(first + slot.Offset), atFirst) &&
                   SameFields(FieldsOfSeconds(last + slot.Offset), atLast);
}

// The days learnt hold for the zone TZ named when they were learnt; the library
// reads TZ again at every conversion, so a change forgets them.
void TDosClock::FollowZone() {
    const char* zone = std::getenv("TZ");
    const bool set = zone != nullptr;
    if (zoneKnown_ && set == zoneSet_ && (!set || zone_ == zone)) {
        return;
    }
    zoneKnown_ = true;
    zoneSet_ = set;
    zone_ = set ? zone : "";
    days_.fill(TDay{});
}

bool DosTimeToUnix(int32_t dos, time_t& t) {
    const uint32_t value = static_cast<uint32_t>(dos);
    const uint32_t date = value >> 16;
    const uint32_t time = value & 0xFFFF;
    const int year = static_cast<int>(date >> 9) + 1980;
    const int month = static_cast<int>((date >> 5) & 15);
    const int day = static_cast<int>(date & 31);
    const int hour = static_cast<int>(time >> 11);
    const int minute = static_cast<int>((time >> 5) & 63);
    const int second = static_cast<int>(time & 31) * 2;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1; // let the C library find out whether summer time applies
    errno = 0;
    const time_t result = mktime(&local);
    if (result == static_cast<time_t>(-1) && errno != 0) {
        return false;
    }
    t = result;
    return true;
}

bool SetFileDosTime(const std::string& path, int32_t dos) {
    time_t seconds = 0;
    if (!DosTimeToUnix(dos, seconds)) {
        errno = EINVAL;
        return false;
    }
    if (IsUncPath(path)) {
        return smb::SetTimes(path, seconds);
    }
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool IsUncPath(const std::string& path) {
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

bool ClearReadOnly(const std::string& path) {
    if (IsUncPath(path)) {
        return smb::ClearReadOnly(path);
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    if ((st.st_mode & S_IWUSR) != 0) {
        return true;
    }
    return chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool IsReadOnly(const std::string& path) {
    if (IsUncPath(path)) {
        DirEntry entry;
        return smb::GetEntryInfo(path, entry) && (entry.Attr & faReadOnly) != 0;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

bool FileExists(const std::string& path) {
    if (IsUncPath(path)) {
        DirEntry entry;
        return smb::GetEntryInfo(path, entry) && !entry.IsFolder;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    if (IsUncPath(path)) {
        DirEntry entry;
        return smb::GetEntryInfo(path, entry) && entry.IsFolder;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t GetFileSize64(const std::string& path) {
    TFileHandle file;
    if (!file.OpenRead(path)) {
        return -1;
    }
    return file.Size();
}

namespace {

// Closes fd keeping errno as it was, and gives result back.
ReadResult ClosedWith(int fd, ReadResult result, int code) {
    close(fd);
    errno = code;
    return result;
}

} // namespace

ReadResult ReadRegularFile(const std::string& path, int64_t limit, std::string& bytes) {
    bytes.clear();
    // Without O_NONBLOCK opening a FIFO waits for a writer; a regular file
    // reads the same either way.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return ReadResult::NotOpened;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return ClosedWith(fd, ReadResult::NotRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    if (st.st_size > limit) {
        return ClosedWith(fd, ReadResult::TooLarge, EFBIG);
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ClosedWith(fd, ReadResult::ReadFailed, errno);
        }
        if (n == 0) {
            break;
        }
        // The file may grow while it is read.
        if (static_cast<int64_t>(bytes.size()) + n > limit) {
            return ClosedWith(fd, ReadResult::TooLarge, EFBIG);
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return ReadResult::Read;
}

bool DeleteFile(const std::string& path) {
    if (IsUncPath(path)) {
        return smb::DeleteFile(path);
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // The read-only attribute is the owner's write bit (of a link's target, as
    // listed), checked by hand: the program may run as root, which write
    // permission would not stop.
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (stat(path.c_str(), &target) == 0) {
            st = target;
        }
    }
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
        errno = EACCES;
        return false;
    }
    return unlink(path.c_str()) == 0;
}

bool RemoveFolder(const std::string& path) {
    if (IsUncPath(path)) {
        return smb::RemoveFolder(path);
    }
    return rmdir(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    if (IsUncPath(from) && IsUncPath(to)) {
        return smb::RenameFile(from, to);
    }
    if (IsUncPath(from) || IsUncPath(to)) {
        // Between a share and the local disk nothing can be renamed, only copied.
        errno = EXDEV;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

bool CreateFolder(const std::string& path) {
    if (IsUncPath(path)) {
        return smb::CreateFolder(path);
    }
    return mkdir(path.c_str(), 0777) == 0;
}

bool ForceDirectories(const std::string& path) {
    if (IsUncPath(path)) {
        return smb::ForceDirectories(path);
    }
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    const std::string folder = TrimTrailingSlashes(path);
    if (DirectoryExists(folder)) {
        return true;
    }
    // Create each level in turn; levels that exist already answer EEXIST.
    int lastError = 0;
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string level = slash == std::string::npos ? folder : folder.substr(0, slash);
        if (!level.empty() && level.back() != '/' && mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
            lastError = errno;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    if (DirectoryExists(folder)) {
        return true;
    }
    if (lastError != 0) {
        errno = lastError;
    }
    return false;
}

namespace {

const char PartMark[] = ".Tandemora-";
const char PartEnd[] = ".part";

} // namespace

// The task's mark in its part files' names: its identity itself while it is
// short, else a cut of it and a hash of the whole, so that the name still fits.
std::string PartOwnerTag(const std::string& Owner) {
    if (Owner.size() <= 48) {
        return Owner;
    }
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : Owner) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return Owner.substr(0, 31) + "~" + hex;
}

std::string PartFileName(const std::string& Name, const std::string& Owner) {
    // Each process starts at a random number, so that a new run of a task does
    // not meet the names of a killed one's part files before it has cleared them.
    static std::atomic<unsigned> serial{std::random_device{}()};
    // Cut long names at a character boundary, so the decorated one still fits
    // the 255 bytes of a name.
    size_t cut = std::min<size_t>(Name.size(), 160);
    while (cut > 0 && cut < Name.size() && (static_cast<unsigned char>(Name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    const std::string tag = Owner.empty() ? std::string() : "." + PartOwnerTag(Owner);
    return "." + Name.substr(0, cut) + tag + PartMark + std::to_string(serial.fetch_add(1)) + PartEnd;
}

bool IsPartFileOf(const std::string& Name, const std::string& Owner) {
    if (Owner.empty() || Name.size() < 2 || Name[0] != '.') {
        return false;
    }
    const std::string endSize = PartEnd;
    if (Name.size() < endSize.size() ||
        Name.compare(Name.size() - endSize.size(), endSize.size(), PartEnd) != 0) {
        return false;
    }
    const std::string marked = "." + PartOwnerTag(Owner) + PartMark;
    const size_t numbersEnd = Name.size() - endSize.size();
    size_t numbersStart = numbersEnd;
    while (numbersStart > 0 && Name[numbersStart - 1] >= '0' && Name[numbersStart - 1] <= '9') {
        --numbersStart;
    }
    // Digits, after the mark, after at least one byte of the target's name.
    return numbersStart < numbersEnd && numbersEnd - numbersStart <= 10 &&
           numbersStart >= 2 + marked.size() &&
           Name.compare(numbersStart - marked.size(), marked.size(), marked) == 0;
}

bool FreeSpace(const std::string& path, DiskSpace& space) {
    if (IsUncPath(path)) {
        return smb::FreeSpace(path, space);
    }
    const std::string existing = NearestExisting(path);
    if (existing.empty()) {
        return false;
    }
    struct statvfs info;
    if (statvfs(existing.c_str(), &info) != 0) {
        return false;
    }
    const int64_t unit = static_cast<int64_t>(info.f_frsize != 0 ? info.f_frsize : info.f_bsize);
    space.Available = static_cast<int64_t>(info.f_bavail) * unit;
    space.Total = static_cast<int64_t>(info.f_blocks) * unit;
    space.Free = static_cast<int64_t>(info.f_bfree) * unit;
    return true;
}

std::vector<std::string> MountPoints() {
    std::vector<std::string> result;
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        // Fields: mount id, parent id, major:minor, root, mount point, ...
        std::size_t start = 0;
        for (int field = 0; field < 4 && start != std::string::npos; ++field) {
            start = line.find(' ', start);
            if (start != std::string::npos) {
                ++start;
            }
        }
        if (start == std::string::npos) {
            continue;
        }
        const std::size_t end = line.find(' ', start);
        result.push_back(DecodeMountField(line.substr(start, end == std::string::npos ? end : end - start)));
    }
    return result;
}

std::string MountPointOf(const std::string& path) {
    if (RefuseUnc(path)) {
        return "";
    }
    const std::string existing = NearestExisting(path);
    if (existing.empty()) {
        return "";
    }
    char* resolved = realpath(existing.c_str(), nullptr);
    if (resolved == nullptr) {
        return "";
    }
    const std::string real = resolved;
    free(resolved);
    // The longest mount point above the path; of equal ones the later line, which
    // is mounted on top of the earlier.
    std::string best;
    for (const std::string& mountPoint : MountPoints()) {
        if (IsUnder(real, mountPoint) && mountPoint.size() >= best.size()) {
            best = mountPoint;
        }
    }
    return best;
}

TFileLock::~TFileLock() {
    Release();
}

bool TFileLock::TryLock(const std::string& path) {
    Release();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    int result = 0;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    fd_ = fd;
    return true;
}

void TFileLock::Release() {
    if (fd_ >= 0) {
        close(fd_); // closing the only descriptor drops the lock
        fd_ = -1;
    }
}

TFileHandle::~TFileHandle() {
    if (smb::IsOpenFile(fd_)) {
        smb::CloseFile(fd_);
    } else if (fd_ >= 0) {
        close(fd_);
    }
}

TFileHandle::TFileHandle(TFileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
        if (smb::IsOpenFile(fd_)) {
            smb::CloseFile(fd_);
        } else if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

// Opens without blocking (a FIFO would wait for a partner forever) and keeps the
// descriptor only for a regular file, so that nothing is ever read from or
// written into a device or pipe that happens to carry a listed name. Seen, when
// given, receives what the check found, so a caller need not ask again.
bool TFileHandle::Open(int dirFd, const std::string& path, int flags, mode_t mode, struct stat* Seen) {
    if (smb::IsOpenFile(fd_)) {
        smb::CloseFile(fd_);
        fd_ = -1;
    } else if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (dirFd == AT_FDCWD && IsUncPath(path)) {
        // A file on a share has no mode of ours; the server decides.
        fd_ = smb::OpenFile(path, flags);
        return fd_ >= 0;
    }
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && Seen == nullptr) {
        // An exclusive creation never opens what stood there (not even a link
        // or a FIFO): the file is always a new regular one, and nothing blocks.
        fd_ = openat(dirFd, path.c_str(), flags | O_CLOEXEC, mode);
        return fd_ >= 0;
    }
    const int fd = openat(dirFd, path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    }
    if (error != 0) {
        close(fd);
        errno = error;
        return false;
    }
    // Regular files do not know non-blocking mode; clear it all the same. The
    // call sets only the status flags (the access mode and creation flags
    // stay), so the flags we opened with, less O_NONBLOCK, are what remains.
    fcntl(fd, F_SETFL, flags);
    fd_ = fd;
    if (Seen != nullptr) {
        *Seen = st;
    }
    return true;
}

bool TFileHandle::OpenRead(const std::string& path) {
    return Open(AT_FDCWD, path, O_RDONLY, 0);
}

bool TFileHandle::OpenRead(const std::string& path, struct stat& Seen) {
    if (IsUncPath(path)) {
        errno = EINVAL;
        return false;
    }
    return Open(AT_FDCWD, path, O_RDONLY, 0, &Seen);
}

bool TFileHandle::OpenAt(int DirFd, const std::string& Name, int Flags, mode_t Mode) {
    return Open(DirFd, Name, Flags, Mode);
}

bool TFileHandle::Create(const std::string& path, mode_t mode) {
    if (IsUncPath(path)) {
        // The server refuses to open a folder, so truncating at once is safe.
        return Open(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
    }
    // Truncated only once it is known to be a regular file.
    if (!Open(AT_FDCWD, path, O_WRONLY | O_CREAT, mode)) {
        return false;
    }
    if (ftruncate(fd_, 0) != 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        errno = error;
        return false;
    }
    return true;
}

bool TFileHandle::CreateNew(const std::string& path, mode_t mode) {
    return Open(AT_FDCWD, path, O_WRONLY | O_CREAT | O_EXCL, mode);
}

int64_t TFileHandle::Size() const {
    if (smb::IsOpenFile(fd_)) {
        int64_t size = -1;
        timespec access{};
        timespec modify{};
        return smb::GetFileInfo(fd_, size, access, modify) ? size : -1;
    }
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

int64_t TFileHandle::Read(void* buffer, size_t count) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    if (smb::IsOpenFile(fd_)) {
        return smb::ReadFile(fd_, buffer, count);
    }
    for (;;) {
        const ssize_t got = read(fd_, buffer, count);
        if (got >= 0) {
            return static_cast<int64_t>(got);
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

int64_t TFileHandle::CopyFrom(TFileHandle& In, size_t count) {
    if (fd_ < 0 || In.fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    if (smb::IsOpenFile(fd_) || smb::IsOpenFile(In.fd_)) {
        errno = EXDEV;
        return -1;
    }
    for (;;) {
        const ssize_t copied = copy_file_range(In.fd_, nullptr, fd_, nullptr, count, 0);
        if (copied >= 0) {
            return static_cast<int64_t>(copied);
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool TFileHandle::CannotCopyInKernel(int error) {
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP || error == EBADF;
}

bool TFileHandle::WriteAll(const void* buffer, size_t count) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    const char* next = static_cast<const char*>(buffer);
    const bool network = smb::IsOpenFile(fd_);
    while (count > 0) {
        const ssize_t written =
            network ? static_cast<ssize_t>(smb::WriteFile(fd_, next, count)) : write(fd_, next, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

bool TFileHandle::GetTimes(timespec& access, timespec& modify) const {
    if (smb::IsOpenFile(fd_)) {
        int64_t size = 0;
        return smb::GetFileInfo(fd_, size, access, modify);
    }
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        return false;
    }
    access = st.st_atim;
    modify = st.st_mtim;
    return true;
}

bool TFileHandle::SetTimes(const timespec& access, const timespec& modify) {
    if (smb::IsOpenFile(fd_)) {
        return smb::SetFileTimes(fd_, access, modify);
    }
    const timespec times[2] = {access, modify};
    return fd_ >= 0 && futimens(fd_, times) == 0;
}

bool TFileHandle::Sync() {
    if (smb::IsOpenFile(fd_)) {
        // Every write has reached the server before it returned; there is
        // nothing of ours left to flush.
        return true;
    }
    return fd_ >= 0 && fsync(fd_) == 0;
}

bool TFileHandle::Close() {
    if (fd_ < 0) {
        return true;
    }
    if (smb::IsOpenFile(fd_)) {
        const bool closed = smb::CloseFile(fd_);
        fd_ = -1;
        return closed;
    }
    const int result = close(fd_);
    fd_ = -1;
    return result == 0;
}

void TWriteBehind::Wrote(size_t count) {
    // Large enough that the calls cost nothing next to the writes, small enough
    // that the disk starts early.
    constexpr int64_t step = int64_t(8) << 20;
    written_ += static_cast<int64_t>(count);
    if (written_ - started_ < step || !file_.IsOpen() || smb::IsOpenFile(file_.Fd())) {
        return;
    }
    // Only a head start: a failure here shows in the flush at the end.
    sync_file_range(file_.Fd(), started_, written_ - started_, SYNC_FILE_RANGE_WRITE);
    started_ = written_;
}

} // namespace tandemora::fs
