#include "platform/FtpSession.h"

#include "platform/FileSystem.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandemora {

namespace {

std::once_flag curlStarted;

void StartCurl() {
    std::call_once(curlStarted, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURL* Easy(void* handle) {
    return static_cast<CURL*>(handle);
}

// Whole seconds for the limits libcurl takes only in seconds, never less than one.
long SecondsOf(int64_t Ms) {
    return static_cast<long>(std::max<int64_t>(1, (Ms + 999) / 1000));
}

// How much of a listing line that could not be read the error names.
constexpr size_t MaxNamedLine = 200;

// Bytes libcurl reads from a transfer connection at a time (its own default
// is 16 KB): a large download then takes a few hundred reads instead of
// thousands. The upload buffer is as large, so a large upload goes out in as
// few writes.
constexpr long TransferBufferBytes = 512 * 1024;

bool IsDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A decimal number that fits int64_t; false otherwise.
bool ParseCount(const std::string& text, int64_t& value) {
    if (!IsDigits(text) || text.size() > 18) {
        return false;
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

int Number(const std::string& text, size_t first, size_t count) {
    return std::atoi(text.substr(first, count).c_str());
}

// The lines of a listing without their CR LF; a last line without a line end
// counts too.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// MLSD's "YYYYMMDDHHMMSS[.fraction]" in UTC, as a local DOS date-time.
bool ParseMlsdTime(const std::string& text, int32_t& dos, int64_t& utc) {
    time_t instant = 0;
    if (!ParseFtpTimeStamp(text, instant)) {
        return false;
    }
    dos = fs::UnixToDosTime(timespec{instant, 0});
    utc = instant;
    return true;
}

// The facts part of an MLSD line or MLST reply ("type=file;size=6;modify=...;").
bool ParseFacts(const std::string& facts, TFtpEntry& entry, bool& listed) {
    std::string type;
    int64_t size = 0;
    int32_t time = FtpNoTime;
    int64_t shown = 0;
    size_t start = 0;
    while (start < facts.size()) {
        size_t end = facts.find(';', start);
        if (end == std::string::npos) {
            end = facts.size();
        }
        const std::string fact = facts.substr(start, end - start);
        start = end + 1;
        if (fact.empty()) {
            continue;
        }
        const size_t equals = fact.find('=');
        if (equals == std::string::npos || equals == 0) {
            return false;
        }
        const std::string name = Lower(fact.substr(0, equals));
        const std::string value = fact.substr(equals + 1);
        if (name == "type") {
            type = Lower(value);
        } else if (name == "size") {
            if (!ParseCount(value, size)) {
                return false;
            }
        } else if (name == "modify") {
            if (!ParseMlsdTime(value, time, shown)) {
                return false;
            }
        }
    }
    if (type.empty()) {
        return false;
    }
    listed = true;
    if (type == "cdir" || type == "pdir") {
        listed = false;
    } else if (type == "dir") {
        entry.IsFolder = true;
    } else if (type.compare(0, 8, "os.unix=") == 0) {
        // Links are left out, as on a local folder; devices, pipes and sockets
        // too: reading one would hang or make no sense.
        listed = false;
    }
    entry.Size = entry.IsFolder ? 0 : size;
    entry.Time = time;
    entry.Shown = shown;
    entry.Precision = ftpExactTime;
    return true;
}

bool IsMonth(const std::string& text, int& month) {
    static const char* const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string lower = Lower(text);
    for (int i = 0; i < 12; ++i) {
        if (lower == names[i]) {
            month = i + 1;
            return true;
        }
    }
    return false;
}

// "HH:MM" (Unix) with optional "AM"/"PM" (DOS).
bool ParseClock(std::string text, int& hour, int& minute) {
    int offset = -1;
    const std::string suffix = text.size() > 2 ? Lower(text.substr(text.size() - 2)) : std::string();
    if (suffix == "am" || suffix == "pm") {
        offset = suffix == "pm" ? 12 : 0;
        text.erase(text.size() - 2);
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() - colon != 3 ||
        !IsDigits(text.substr(0, colon)) || !IsDigits(text.substr(colon + 1))) {
        return false;
    }
    hour = Number(text, 0, colon);
    minute = Number(text, colon + 1, 2);
    if (offset >= 0) {
        if (hour < 1 || hour > 12) {
            return false;
        }
        hour = hour % 12 + offset;
    }
    return hour < 24 && minute < 60;
}

struct TToken {
    size_t Start;
    size_t End;
    std::string Text;
};

std::vector<TToken> Tokens(const std::string& line) {
    std::vector<TToken> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        const size_t start = i;
        while (i < line.size() && line[i] != ' ') {
            ++i;
        }
        tokens.push_back({start, i, line.substr(start, i - start)});
    }
    return tokens;
}

// Calendar fields counted as UTC seconds since 1970 (what a LIST line shows,
// before the server's offset is known).
int64_t ShownSeconds(int year, int month, int day, int hour, int minute) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    return static_cast<int64_t>(timegm(&fields));
}

// The year of a date shown without one: the latest that puts it not after
// tomorrow (a day of slack for the server's clock and time zone).
int YearOfRecentDate(int month, int day, time_t now) {
    const time_t tomorrow = now + 86400;
    std::tm today{};
    localtime_r(&tomorrow, &today);
    const int year = today.tm_year + 1900;
    const bool later = month > today.tm_mon + 1 || (month == today.tm_mon + 1 && day > today.tm_mday);
    return later ? year - 1 : year;
}

// "drwxr-xr-x 2 owner group 4096 Dec  6 18:05 name" (group may be missing).
bool ParseUnixLine(const std::string& line, time_t now, TFtpEntry& entry, bool& listed) {
    const std::vector<TToken> tokens = Tokens(line);
    if (tokens.size() < 6 || tokens[0].Text.size() < 10) {
        return false;
    }
    const char kind = tokens[0].Text[0];
    for (size_t i = 2; i + 2 < tokens.size(); ++i) {
        int month = 0;
        if (!IsMonth(tokens[i].Text, month) || !IsDigits(tokens[i - 1].Text) ||
            !IsDigits(tokens[i + 1].Text) || tokens[i + 1].Text.size() > 2) {
            continue;
        }
        const int day = std::atoi(tokens[i + 1].Text.c_str());
        const std::string& when = tokens[i + 2].Text;
        int year = 0;
        int hour = 0;
        int minute = 0;
        if (when.size() == 4 && IsDigits(when)) {
            year = std::atoi(when.c_str());
        } else if (ParseClock(when, hour, minute)) {
            year = YearOfRecentDate(month, day, now);
        } else {
            continue;
        }
        // Exactly one blank stands between the date and the name; a name may
        // itself start with blanks.
        const size_t nameStart = tokens[i + 2].End + 1;
        if (nameStart >= line.size()) {
            return false;
        }
        std::string name = line.substr(nameStart);
        if (kind == 'l') {
            const size_t arrow = name.find(" -> ");
            if (arrow != std::string::npos) {
                name.erase(arrow);
            }
        }
        int64_t size = 0;
        if (!ParseCount(tokens[i - 1].Text, size)) {
            return false;
        }
        const int32_t time = DosTimeOfFields(year, month, day, hour, minute, 0);
        if (time == 0 || name.empty()) {
            return false;
        }
        listed = true;
        switch (kind) {
        case 'd':
            entry.IsFolder = true;
            break;
        case '-':
            break;
        case 'l': // links are left out, as on a local folder
        case 'b':
        case 'c':
        case 'p':
        case 's':
            listed = false;
            break;
        default:
            return false;
        }
        entry.Name = name;
        entry.Size = entry.IsFolder ? 0 : size;
        entry.Time = time;
        entry.Shown = ShownSeconds(year, month, day, hour, minute);
        entry.Precision = when.size() == 4 ? ftpDayTime : ftpMinuteTime;
        return true;
    }
    return false;
}

// "03-04-20  05:06AM       <DIR>          name" or "... 1234 name" (IIS).
bool ParseDosLine(const std::string& line, TFtpEntry& entry, bool& listed) {
    const std::vector<TToken> tokens = Tokens(line);
    if (tokens.size() < 4) {
        return false;
    }
    const std::string& date = tokens[0].Text;
    if ((date.size() != 8 && date.size() != 10) || date[2] != '-' || date[5] != '-' ||
        !IsDigits(date.substr(0, 2)) || !IsDigits(date.substr(3, 2)) || !IsDigits(date.substr(6))) {
        return false;
    }
    int year = Number(date, 6, date.size() - 6);
    if (date.size() == 8) {
        year += year < 70 ? 2000 : 1900;
    }
    int hour = 0;
    int minute = 0;
    if (!ParseClock(tokens[1].Text, hour, minute)) {
        return false;
    }
    const bool folder = tokens[2].Text == "<DIR>";
    int64_t size = 0;
    if (!folder && !ParseCount(tokens[2].Text, size)) {
        return false;
    }
    const int32_t time = DosTimeOfFields(year, Number(date, 0, 2), Number(date, 3, 2), hour, minute, 0);
    if (time == 0) {
        return false;
    }
    entry.Name = line.substr(tokens[3].Start);
    entry.IsFolder = folder;
    entry.Size = folder ? 0 : size;
    entry.Time = time;
    entry.Shown = ShownSeconds(year, Number(date, 0, 2), Number(date, 3, 2), hour, minute);
    entry.Precision = ftpMinuteTime;
    listed = true;
    return true;
}

bool IsDotName(const std::string& name) {
    return name == "." || name == "..";
}

// The lines of the last reply of the server (a reply of several lines comes
// whole), from the reply lines of one request.
std::vector<std::string> FinalReply(const std::vector<std::string>& replies) {
    std::vector<std::string> lines;
    if (replies.empty() || replies.back().size() < 3) {
        return lines;
    }
    const std::string code = replies.back().substr(0, 3);
    for (size_t i = replies.size(); i-- > 0;) {
        const std::string& line = replies[i];
        const bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                           std::isdigit(static_cast<unsigned char>(line[1])) &&
                           std::isdigit(static_cast<unsigned char>(line[2]));
        if (coded && line.compare(0, 3, code) != 0) {
            break;
        }
        lines.insert(lines.begin(), line);
    }
    return lines;
}

// Some servers answer the listing of a folder they cannot read with success and
// no entries, and tell only in the words of that reply ("226 Transfer done (but
// failed to open directory).", "226-Sorry, we were unable to read [.]"). Names
// in quotes are left out, so that a folder called "errors" is not taken for one.
bool ReplyTellsOfFailure(const std::vector<std::string>& lines) {
    static const char* const words[] = {"fail", "unable", "cannot", "can't", "denied", "error"};
    for (const std::string& line : lines) {
        std::string text;
        bool quoted = false;
        for (const char c : line) {
            if (c == '"') {
                quoted = !quoted;
            } else if (!quoted) {
                text += c;
            }
        }
        text = Lower(text);
        for (const char* word : words) {
            if (text.find(word) != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

// Whether a listing asked for hidden names (All) holds every entry of the plain
// one, as the same kind of entry, and nothing else but names starting with ".".
bool ListsAllOf(const std::vector<TFtpEntry>& all, const std::vector<TFtpEntry>& plain) {
    std::map<std::string, bool> folders;
    for (const TFtpEntry& entry : all) {
        folders[entry.Name] = entry.IsFolder;
    }
    for (const TFtpEntry& entry : plain) {
        const auto found = folders.find(entry.Name);
        if (found == folders.end() || found->second != entry.IsFolder) {
            return false;
        }
        folders.erase(found);
    }
    for (const auto& [name, folder] : folders) {
        if (name[0] != '.') {
            return false;
        }
    }
    return true;
}

// A local file that a download is written into beside its target. It takes the
// target's name only through Commit; otherwise it is removed again.
class TLocalPart {
public:
    TLocalPart() = default;
    ~TLocalPart() {
        if (!path_.empty()) {
            File.Close();
            unlink(path_.c_str());
        }
    }
    TLocalPart(const TLocalPart&) = delete;
    TLocalPart& operator=(const TLocalPart&) = delete;

    bool Create(const std::string& target, const std::string& owner) {
        const size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        // A link standing in the target's place is replaced itself, like a
        // new file; it is never written through.
        struct stat old;
        const bool existed = lstat(target.c_str(), &old) == 0 && !S_ISLNK(old.st_mode);
        if (existed && !S_ISREG(old.st_mode)) {
            return false;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = folder + fs::PartFileName(target.substr(folder.size()), owner);
            if (File.CreateNew(candidate, existed ? 0600 : 0666)) {
                path_ = candidate;
                if (existed) {
                    // A file that is replaced keeps its permission bits.
                    fchmod(File.Fd(), (old.st_mode & 0777) | S_IWUSR);
                }
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    bool Commit(const std::string& target) {
        const bool written = File.Sync();
        if (!File.Close() || !written || !fs::RenameFile(path_, target)) {
            return false;
        }
        path_.clear();
        return true;
    }

    fs::TFileHandle File;

private:
    std::string path_;
};

} // namespace

// ---- Listing text -------------------------------------------------------------------

int32_t DosTimeOfFields(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    if (Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month) || Hour < 0 || Hour > 23 ||
        Minute < 0 || Minute > 59 || Second < 0 || Second > 59) {
        return 0;
    }
    if (Year < 1980) {
        return FtpNoTime;
    }
    if (Year > 2107) {
        Year = 2107;
        Month = 12;
        Day = 31;
        Hour = 23;
        Minute = 59;
        Second = 58;
    }
    const uint32_t date = static_cast<uint32_t>(((Year - 1980) << 9) | (Month << 5) | Day);
    const uint32_t time = static_cast<uint32_t>((Hour << 11) | (Minute << 5) | (Second / 2));
    return static_cast<int32_t>((date << 16) | time);
}

bool ParseFtpTimeStamp(const std::string& Text, time_t& Utc) {
    const std::string digits = Text.substr(0, Text.find('.'));
    if (digits.size() != 14 || !IsDigits(digits)) {
        return false;
    }
    std::tm fields{};
    fields.tm_year = Number(digits, 0, 4) - 1900;
    fields.tm_mon = Number(digits, 4, 2) - 1;
    fields.tm_mday = Number(digits, 6, 2);
    fields.tm_hour = Number(digits, 8, 2);
    fields.tm_min = Number(digits, 10, 2);
    fields.tm_sec = Number(digits, 12, 2);
    const int year = fields.tm_year + 1900;
    const int month = fields.tm_mon + 1;
    if (month < 1 || month > 12 || fields.tm_mday < 1 || fields.tm_mday > DaysInMonth(year, month) ||
        fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 60) {
        return false;
    }
    Utc = timegm(&fields);
    return true;
}

std::string FtpTimeStamp(time_t Utc) {
    std::tm fields{};
    gmtime_r(&Utc, &fields);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

bool IsStandInName(const std::string& Name) {
    return Name.find(StandInMark) != std::string::npos;
}

std::string StandInMarkOf(const std::string& Owner, long Pid, unsigned Serial) {
    const std::string tag = Owner.empty() ? std::string() : fs::PartOwnerTag(Owner) + "-";
    return StandInMark + tag + std::to_string(Pid) + "-" + std::to_string(Serial) + "~";
}

namespace {

// The bytes of the UTF-8 character that starts at At, or 0 where none does.
size_t Utf8CharAt(const std::string& Text, size_t At) {
    const auto lead = static_cast<unsigned char>(Text[At]);
    const size_t size = lead >= 0xF0 && lead <= 0xF4  ? 4
                        : lead >= 0xE0                ? 3
                        : lead >= 0xC2 && lead < 0xE0 ? 2
                                                      : 0;
    if (size == 0 || At + size > Text.size()) {
        return 0;
    }
    for (size_t i = At + 1; i < At + size; ++i) {
        if ((static_cast<unsigned char>(Text[i]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return size;
}

constexpr size_t NameMaxBytes = 255;

} // namespace

std::string StandInName(const std::string& Name, const std::string& Mark) {
    // Name's characters: where each starts, and whether it may give way.
    struct TChar {
        size_t At;
        size_t Size;
        bool Yields;
    };
    std::vector<TChar> chars;
    for (size_t at = 0; at < Name.size();) {
        const char c = Name[at];
        const size_t wide = Utf8CharAt(Name, at);
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
        chars.push_back({at, wide > 0 ? wide : 1, wide > 0 || plain});
        at += wide > 0 ? wide : 1;
    }
    size_t middle = 0;
    while (middle < chars.size() && chars[middle].At < Name.size() / 2) {
        ++middle;
    }
    const size_t whole = Name.size() + Mark.size();
    const size_t excess = whole > NameMaxBytes ? whole - NameMaxBytes : 0;
    // Those nearest the mark go first, one after it and one before it in turn.
    std::vector<bool> gone(chars.size(), false);
    size_t freed = 0;
    for (size_t step = 0; freed < excess && step < chars.size(); ++step) {
        for (const size_t i : {middle + step, middle - 1 - step}) {
            if (i < chars.size() && chars[i].Yields && freed < excess) {
                gone[i] = true;
                freed += chars[i].Size;
            }
        }
    }
    std::string standIn;
    for (size_t i = 0; i <= chars.size(); ++i) {
        if (i == middle) {
            standIn += Mark;
        }
        if (i < chars.size() && !gone[i]) {
            standIn.append(Name, chars[i].At, chars[i].Size);
        }
    }
    return standIn;
}

bool IsStandInOf(const std::string& Name, const std::string& Owner) {
    if (Owner.empty()) {
        return false;
    }
    const std::string start = StandInMark + fs::PartOwnerTag(Owner) + "-";
    for (size_t at = Name.find(start); at != std::string::npos; at = Name.find(start, at + 1)) {
        // Then "<pid>-<serial>~": a longer task name that starts alike is another task.
        size_t i = at + start.size();
        size_t digits = 0;
        for (; i < Name.size() && std::isdigit(static_cast<unsigned char>(Name[i])) != 0; ++i) {
            ++digits;
        }
        if (digits == 0 || i >= Name.size() || Name[i] != '-') {
            continue;
        }
        digits = 0;
        for (++i; i < Name.size() && std::isdigit(static_cast<unsigned char>(Name[i])) != 0; ++i) {
            ++digits;
        }
        if (digits > 0 && i < Name.size() && Name[i] == '~') {
            return true;
        }
    }
    return false;
}

bool IsPlainFtpName(const std::string& Name) {
    if (Name.empty() || Name.front() == ' ' || Name.back() == ' ' || Name.back() == '.') {
        return false;
    }
    for (const char c : Name) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || std::strchr("\\:*?\"<>|", c) != nullptr) {
            return false;
        }
    }
    return true;
}

// ---- The server's clock ------------------------------------------------------------------

void TFtpServerClock::Learn(const TFtpEntry& Listed, time_t Utc) {
    if (learnt_ || Listed.Precision != ftpMinuteTime || Listed.Shown == 0) {
        return;
    }
    // The line shows the minute the file's second fell in: the offset lies
    // between the difference and a minute more. Zones differ by quarter hours.
    const int64_t difference = Listed.Shown - static_cast<int64_t>(Utc) + 30;
    const int64_t quarter = 15 * 60;
    const int64_t offset =
        (difference >= 0 ? difference + quarter / 2 : difference - quarter / 2) / quarter * quarter;
    if (offset < -15 * 3600 || offset > 15 * 3600) {
        return;
    }
    offset_ = offset;
    learnt_ = true;
}

time_t TFtpServerClock::UtcOf(const TFtpEntry& Entry) const {
    if (Entry.Precision == ftpExactTime) {
        return static_cast<time_t>(Entry.Shown);
    }
    return static_cast<time_t>(Entry.Shown - offset_);
}

int32_t TFtpServerClock::DosTimeOf(const TFtpEntry& Entry) const {
    if (Entry.Shown == 0) {
        return Entry.Time;
    }
    return fs::UnixToDosTime(timespec{UtcOf(Entry), 0});
}

bool ParseMlsdLine(const std::string& Line, TFtpEntry& Entry, bool& Listed) {
    Entry = TFtpEntry();
    Listed = false;
    const size_t blank = Line.find(' ');
    if (blank == std::string::npos) {
        return false;
    }
    Entry.Name = Line.substr(blank + 1);
    if (Entry.Name.empty() || Entry.Name.find('/') != std::string::npos) {
        return false;
    }
    if (!ParseFacts(Line.substr(0, blank), Entry, Listed)) {
        return false;
    }
    if (IsDotName(Entry.Name)) {
        Listed = false;
    }
    return true;
}

bool ParseMlsdListing(const std::string& Text, std::vector<TFtpEntry>& Entries) {
    Entries.clear();
    for (const std::string& line : SplitLines(Text)) {
        if (line.empty()) {
            continue;
        }
        TFtpEntry entry;
        bool listed = false;
        if (!ParseMlsdLine(line, entry, listed)) {
            Entries.clear();
            return false;
        }
        if (listed) {
            Entries.push_back(entry);
        }
    }
    return true;
}

bool ParseListLine(const std::string& Line, time_t Now, TFtpEntry& Entry, bool& Listed) {
    Entry = TFtpEntry();
    Listed = false;
    if (Line.find_first_not_of(' ') == std::string::npos) {
        return true;
    }
    if (Line.compare(0, 6, "total ") == 0 && IsDigits(Line.substr(6))) {
        return true;
    }
    const bool ok = std::isdigit(static_cast<unsigned char>(Line[0]))
                        ? ParseDosLine(Line, Entry, Listed)
                        : ParseUnixLine(Line, Now, Entry, Listed);
    if (ok && IsDotName(Entry.Name)) {
        Listed = false;
    }
    return ok;
}

bool ParseListListing(const std::string& Text, time_t Now, std::vector<TFtpEntry>& Entries) {
    Entries.clear();
    for (const std::string& line : SplitLines(Text)) {
        TFtpEntry entry;
        bool listed = false;
        if (!ParseListLine(line, Now, entry, listed)) {
            Entries.clear();
            return false;
        }
        if (listed) {
            Entries.push_back(entry);
        }
    }
    return true;
}

// ---- Addresses ----------------------------------------------------------------------

bool SplitHostPort(const std::string& HostPort, std::string& Host, int& Port) {
    std::string host = HostPort;
    std::string port;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) {
            return false;
        }
        const std::string rest = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                return false;
            }
            port = rest.substr(1);
            if (port.empty()) {
                return false;
            }
        }
    } else {
        const size_t colon = host.find(':');
        // More than one colon without brackets: an IPv6 address without a port.
        if (colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
            port = host.substr(colon + 1);
            host.erase(colon);
            if (port.empty()) {
                return false;
            }
        }
    }
    if (host.empty()) {
        return false;
    }
    int number = 21;
    if (!port.empty()) {
        if (!IsDigits(port) || port.size() > 5) {
            return false;
        }
        number = std::atoi(port.c_str());
        if (number < 1 || number > 65535) {
            return false;
        }
    }
    Host = host;
    Port = number;
    return true;
}

std::string FtpUrlEncode(const std::string& Text) {
    static const char* const hex = "0123456789ABCDEF";
    std::string encoded;
    for (char c : Text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[b >> 4];
            encoded += hex[b & 15];
        }
    }
    return encoded;
}

bool IsSafeFtpArgument(const std::string& Text) {
    return Text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// ---- libcurl callbacks ----------------------------------------------------------------

struct TFtpCallbacks {
    static size_t Write(char* data, size_t size, size_t count, void* user) {
        auto* session = static_cast<TFtpSession*>(user);
        const size_t bytes = size * count;
        if (session->request_ == nullptr || !session->request_->Sink) {
            return bytes;
        }
        return session->request_->Sink(data, bytes) ? bytes : 0;
    }

    static size_t Read(char* data, size_t size, size_t count, void* user) {
        auto* session = static_cast<TFtpSession*>(user);
        if (session->request_ == nullptr || !session->request_->Source) {
            return 0;
        }
        const int64_t bytes = session->request_->Source(data, size * count);
        return bytes < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(bytes);
    }

    // libcurl hands every reply line of the server to the header callback.
    static size_t Header(char* data, size_t size, size_t count, void* user) {
        auto* session = static_cast<TFtpSession*>(user);
        std::string line(data, size * count);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        session->replies_.push_back(line);
        return size * count;
    }

    // libcurl calls it at least once a second, also while it waits for a
    // connection or a reply, so a cancel never waits for the server.
    static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* session = static_cast<TFtpSession*>(user);
        return session->aborted_.load() || (session->cancelCheck_ && session->cancelCheck_()) ? 1 : 0;
    }

    // Every socket of the session is known, so that Abort can shut them down
    // while a call on another thread waits on one of them.
    static curl_socket_t OpenSocket(void* user, curlsocktype, struct curl_sockaddr* address) {
        auto* session = static_cast<TFtpSession*>(user);
        std::lock_guard<std::mutex> lock(session->socketLock_);
        if (session->aborted_.load()) {
            return CURL_SOCKET_BAD;
        }
        const int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd >= 0) {
            session->sockets_.insert(fd);
        }
        return fd;
    }

    // Closed under the lock: Abort never shuts down a descriptor number that was
    // closed and handed out again meanwhile.
    static int CloseSocket(void* user, curl_socket_t fd) {
        auto* session = static_cast<TFtpSession*>(user);
        std::lock_guard<std::mutex> lock(session->socketLock_);
        session->sockets_.erase(fd);
        return close(fd);
    }
};

// ---- The session ------------------------------------------------------------------------

TFtpSession::TFtpSession(const std::string& Host, int Port, const std::string& User,
                         const std::string& Password)
    : user_(User), password_(Password), errorBuffer_(CURL_ERROR_SIZE + 1, '\0') {
    StartCurl();
    const std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    base_ = "ftp://" + host + ":" + std::to_string(Port) + "/";
    CURL* c = curl_easy_init();
    curl_ = c;
    if (c == nullptr) {
        return;
    }
    if (!user_.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user_.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str());
    }
    // The session enters folders itself; libcurl names files as it is told.
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    SetStallLimit(DefaultFtpStallLimitMs);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, TransferBufferBytes);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, TransferBufferBytes);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer_.data());
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &TFtpCallbacks::Progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &TFtpCallbacks::Write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &TFtpCallbacks::Read);
    curl_easy_setopt(c, CURLOPT_READDATA, this);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &TFtpCallbacks::Header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &TFtpCallbacks::OpenSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &TFtpCallbacks::CloseSocket);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, this);
}

TFtpSession::~TFtpSession() {
    if (curl_ != nullptr) {
        curl_easy_cleanup(Easy(curl_));
    }
}

void TFtpSession::SetStallLimit(int64_t Ms) {
    if (curl_ == nullptr) {
        return;
    }
    CURL* c = Easy(curl_);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<int64_t>(1, Ms)));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, SecondsOf(Ms));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, SecondsOf(Ms));
}

void TFtpSession::SetCancelCheck(std::function<bool()> Check) {
    cancelCheck_ = std::move(Check);
}

bool TFtpSession::LastNotAnswered() const {
    switch (lastCode_) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return !aborted_.load();
    default:
        return false;
    }
}

void TFtpSession::Abort() {
    aborted_.store(true);
    std::lock_guard<std::mutex> lock(socketLock_);
    for (int fd : sockets_) {
        shutdown(fd, SHUT_RDWR);
    }
}

int TFtpSession::Perform(const TRequest& Request) {
    replies_.clear();
    error_.clear();
    replyCode_ = 0;
    lastCode_ = 0;
    if (curl_ == nullptr) {
        error_ = "the FTP library could not be started";
        return CURLE_FAILED_INIT;
    }
    if (aborted_.load()) {
        error_ = "the connection was closed";
        return CURLE_ABORTED_BY_CALLBACK;
    }
    bool safe = IsSafeFtpArgument(Request.Name) && IsSafeFtpArgument(Request.Custom);
    for (const std::string& command : Request.Quote) {
        safe = safe && IsSafeFtpArgument(command);
    }
    if (!safe) {
        error_ = "a name holds a line break, which no FTP command can carry";
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    CURL* c = Easy(curl_);
    curl_slist* quote = nullptr;
    for (const std::string& command : Request.Quote) {
        quote = curl_slist_append(quote, command.c_str());
    }
    const std::string url = base_ + FtpUrlEncode(Request.Name);
    errorBuffer_.assign(errorBuffer_.size(), '\0');
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_QUOTE, quote);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, Request.Custom.empty() ? nullptr : Request.Custom.c_str());
    curl_easy_setopt(c, CURLOPT_NOBODY, Request.NoBody ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_UPLOAD, Request.Upload ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(Request.UploadSize));
    request_ = &Request;
    CURLcode code = curl_easy_perform(c);
    lastCode_ = code;
    request_ = nullptr;
    curl_easy_setopt(c, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);
    long reply = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply);
    replyCode_ = reply;
    if (aborted_.load()) {
        code = CURLE_ABORTED_BY_CALLBACK;
    }
    if (code != CURLE_OK) {
        error_ = errorBuffer_.c_str();
        if (error_.empty()) {
            error_ = curl_easy_strerror(code);
        }
    }
    return code;
}

int TFtpSession::ResultOf(int CurlCode) const {
    switch (CurlCode) {
    case CURLE_OK:
        return replyCode_ >= 400 ? ftpRefused : ftpOk;
    case CURLE_QUOTE_ERROR:
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_REMOTE_FILE_EXISTS:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_UPLOAD_FAILED:
    case CURLE_BAD_FUNCTION_ARGUMENT:
        return ftpRefused;
    case CURLE_PARTIAL_FILE:
        return ftpIncomplete;
    case CURLE_WRITE_ERROR:
    case CURLE_READ_ERROR:
        return ftpLocalError;
    default:
        return ftpBroken;
    }
}

int TFtpSession::Command(const std::vector<std::string>& Quote) {
    TRequest request;
    request.Quote = Quote;
    request.NoBody = true;
    return ResultOf(Perform(request));
}

std::vector<std::string> TFtpSession::InCurrentDir(std::vector<std::string> Commands) const {
    if (!current_.empty()) {
        Commands.insert(Commands.begin(), "CWD " + current_);
    }
    return Commands;
}

// The continuation lines of the last reply ("250-..." up to "250 ...").
std::vector<std::string> TFtpSession::LastReplyLines() const {
    std::vector<std::string> lines;
    if (replies_.empty() || replies_.back().size() < 3) {
        return lines;
    }
    const std::string first = replies_.back().substr(0, 3) + "-";
    for (size_t i = replies_.size() - 1; i-- > 0;) {
        if (replies_[i].compare(0, 4, first) == 0) {
            lines.assign(replies_.begin() + static_cast<std::ptrdiff_t>(i) + 1, replies_.end() - 1);
            break;
        }
    }
    return lines;
}

int TFtpSession::Open() {
    if (curl_ == nullptr) {
        return ftpBroken;
    }
    TRequest request;
    request.NoBody = true;
    request.Quote = {"*FEAT"};
    const int code = Perform(request);
    const int result = ResultOf(code);
    if (code == CURLE_OK && result == ftpRefused) {
        // FEAT itself may be refused by an old server; the login went through
        // (a refused login fails the request, whatever the reply code).
    } else if (result != ftpOk) {
        return result;
    }
    mlst_ = false;
    mfmt_ = false;
    mdtmOffered_ = false;
    for (const std::string& line : LastReplyLines()) {
        const std::vector<TToken> words = Tokens(line);
        const std::string feature = words.empty() ? std::string() : Lower(words[0].Text);
        mlst_ = mlst_ || feature == "mlst";
        mfmt_ = mfmt_ || feature == "mfmt";
        mdtmOffered_ = mdtmOffered_ || feature == "mdtm";
    }
    mlsd_ = mlst_;
    current_.clear();
    open_ = true;
    return ftpOk;
}

int TFtpSession::ChangeDir(const std::string& Path) {
    const std::string path = Path.empty() ? "/" : Path;
    const int result = Command({"*CWD " + path});
    if (result == ftpOk) {
        current_ = path;
    }
    return result;
}

int TFtpSession::ListWith(const std::string& Verb, std::vector<TFtpEntry>& Entries) {
    std::string text;
    TRequest request;
    request.Quote = InCurrentDir({});
    request.Custom = Verb;
    bool tooLong = false;
    request.Sink = [&](const char* data, size_t bytes) {
        if (text.size() + bytes > maxListing_) {
            tooLong = true;
            return false;
        }
        text.append(data, bytes);
        return true;
    };
    const int result = ResultOf(Perform(request));
    if (tooLong) {
        error_ = "the server's listing is larger than " + std::to_string(maxListing_) + " bytes";
        return ftpIncomplete;
    }
    if (result != ftpOk) {
        return result == ftpLocalError ? ftpIncomplete : result;
    }
    if (ReplyTellsOfFailure(FinalReply(replies_))) {
        error_ = "the server could not read the folder: " + replies_.back();
        return ftpIncomplete;
    }
    const time_t now = std::time(nullptr);
    const auto parse = [&](const std::string& listing, std::vector<TFtpEntry>& entries) {
        return Verb == "MLSD" ? ParseMlsdListing(listing, entries) : ParseListListing(listing, now, entries);
    };
    if (!parse(text, Entries)) {
        // The line is named: a server that lists with LIST writes a name holding
        // a line break as it stands, on two lines, and the user has to find it.
        std::string unread;
        for (const std::string& line : SplitLines(text)) {
            std::vector<TFtpEntry> one;
            if (!parse(line, one)) {
                unread = line;
                break;
            }
        }
        // A line from a hostile server may be as long as the listing: enough of
        // it to find the file, cut where no UTF-8 character is split.
        if (unread.size() > MaxNamedLine) {
            size_t cut = MaxNamedLine;
            while (cut > 0 && (static_cast<unsigned char>(unread[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            unread = unread.substr(0, cut) + "\xE2\x80\xA6";
        }
        error_ = "the server's listing could not be read" +
                 (unread.empty() ? std::string() : " at the line \"" + unread + "\"");
        return ftpIncomplete;
    }
    return ftpOk;
}

int TFtpSession::List(std::vector<TFtpEntry>& Entries, bool ExactTimes) {
    Entries.clear();
    if (mlsd_) {
        const int result = ListWith("MLSD", Entries);
        const bool unknown = replyCode_ == 500 || replyCode_ == 502 || replyCode_ == 504;
        if (result != ftpRefused || !unknown) {
            return result;
        }
        // Offered but not understood after all: LIST from now on.
        mlsd_ = false;
    }
    const int result = ListWithHidden(Entries);
    return result == ftpOk ? AskExactTimes(Entries, ExactTimes) : result;
}

// Asks MDTM for the exact time of every file of a LIST reply, many names to a
// request, and gives the others the time their line shows, moved by the
// listing's offset from UTC. A file the server gives no time for keeps its
// line's time; only a broken connection fails the listing.
int TFtpSession::AskExactTimes(std::vector<TFtpEntry>& Entries, bool Ask) {
    constexpr size_t Batch = 64;
    std::vector<TFtpEntry*> files;
    for (TFtpEntry& entry : Entries) {
        // "MDTM 20200101000000 name" sets the time of "name" on vsftpd and
        // Pure-FTPd: a name that starts like that is not asked about.
        const bool looksLikeSetting =
            entry.Name.size() > 14 && IsDigits(entry.Name.substr(0, 14)) && entry.Name[14] == ' ';
        if (!entry.IsFolder && entry.Precision != ftpExactTime && IsSafeFtpArgument(entry.Name) &&
            !looksLikeSetting) {
            files.push_back(&entry);
        }
    }
    if (Ask && mdtm_ != 0 && !files.empty()) {
        LearnMdtmZone();
    }
    for (size_t first = 0; Ask && mdtm_ != 0 && first < files.size(); first += Batch) {
        const size_t count = std::min(Batch, files.size() - first);
        TRequest request;
        request.NoBody = true;
        for (size_t i = 0; i < count; ++i) {
            request.Quote.push_back("*MDTM " + files[first + i]->Name);
        }
        request.Quote = InCurrentDir(request.Quote);
        const int code = Perform(request);
        if (code != CURLE_OK) {
            const int result = ResultOf(code);
            return result == ftpBroken ? ftpBroken : ftpIncomplete;
        }
        // The last replies answer the MDTM commands, one line each.
        std::vector<std::string> answers;
        for (const std::string& line : replies_) {
            if (line.size() >= 4 && IsDigits(line.substr(0, 3)) && line[3] == ' ') {
                answers.push_back(line);
            }
        }
        if (answers.size() < count) {
            error_ = "the server did not answer every MDTM";
            return ftpIncomplete;
        }
        answers.erase(answers.begin(), answers.end() - static_cast<std::ptrdiff_t>(count));
        for (size_t i = 0; i < count; ++i) {
            TFtpEntry& entry = *files[first + i];
            const std::string reply = answers[i].substr(0, 3);
            time_t utc = 0;
            if (reply == "213" && ParseFtpTimeStamp(answers[i].substr(4), utc)) {
                utc -= static_cast<time_t>(mdtmZone_);
                mdtm_ = 1;
                clock_.Learn(entry, utc);
                entry.Shown = utc;
                entry.Precision = ftpExactTime;
                entry.Time = fs::UnixToDosTime(timespec{utc, 0});
            } else if (mdtm_ != 1 && (reply == "500" || reply == "502" || reply == "504")) {
                mdtm_ = 0; // not known to this server: never asked again
                break;
            }
        }
    }
    // No exact time on this connection yet: MDTM unknown to the server, or
    // refused for every file asked.
    if (Ask && mdtm_ != 1 && !files.empty()) {
        LearnListingZone();
    }
    error_.clear();
    const time_t now = std::time(nullptr);
    for (TFtpEntry& entry : Entries) {
        if (entry.Precision != ftpExactTime) {
            entry.Time = clock_.DosTimeOf(entry);
            entry.MinuteOpen = entry.Precision == ftpMinuteTime && now < clock_.UtcOf(entry) + 60;
        }
    }
    return ftpOk;
}

// Many servers leave names starting with "." out of a LIST reply unless asked
// with "LIST -a" (vsftpd, ProFTPD by default); a file they hide is never seen
// there, never fetched, and sent again on every run. A server that does not
// know the option may take "-a" for a name and list nothing at all, which must
// not pass for an empty folder. So "LIST -a" is used alone only once a folder
// showed that it lists every name plain LIST does, and nothing besides but "."
// names; until a folder with entries decides it, both are asked.
int TFtpSession::ListWithHidden(std::vector<TFtpEntry>& Entries) {
    if (listAll_ == 1) {
        return ListWith("LIST -a", Entries);
    }
    std::vector<TFtpEntry> plain;
    const int result = ListWith("LIST", plain);
    if (result != ftpOk || listAll_ == 0) {
        Entries = std::move(plain);
        return result;
    }
    std::vector<TFtpEntry> all;
    const int allResult = ListWith("LIST -a", all);
    if (allResult == ftpBroken) {
        return allResult;
    }
    if (allResult == ftpOk && ListsAllOf(all, plain)) {
        if (!plain.empty()) {
            listAll_ = 1;
        }
        Entries = std::move(all);
    } else {
        listAll_ = 0;
        Entries = std::move(plain);
    }
    error_.clear();
    return ftpOk;
}

int TFtpSession::FindInListing(const std::string& Name, TFtpEntry& Entry) {
    std::vector<TFtpEntry> entries;
    const int result = List(entries);
    if (result != ftpOk) {
        return result;
    }
    for (const TFtpEntry& entry : entries) {
        if (entry.Name == Name) {
            Entry = entry;
            return ftpOk;
        }
    }
    return ftpRefused;
}

int TFtpSession::Stat(const std::string& Name, TFtpEntry& Entry) {
    Entry = TFtpEntry();
    if (Name.empty() || IsDotName(Name)) {
        return ftpRefused;
    }
    if (mlst_) {
        const int result = Command(InCurrentDir({"*MLST " + Name}));
        if (result == ftpOk) {
            for (const std::string& line : LastReplyLines()) {
                if (line.empty() || line[0] != ' ') {
                    continue;
                }
                const std::string facts = line.substr(1, line.find(' ', 1) - 1);
                bool listed = false;
                if (!ParseFacts(facts, Entry, listed)) {
                    break;
                }
                Entry.Name = Name;
                return ftpOk;
            }
            error_ = "the server's reply to MLST could not be read";
            return ftpIncomplete;
        }
        if (result != ftpRefused || (replyCode_ != 500 && replyCode_ != 502 && replyCode_ != 504)) {
            return result;
        }
        mlst_ = false;
    }
    // Without MLST: SIZE finds files. Binary mode first, as some servers give
    // no size in ASCII mode.
    const int result = Command(InCurrentDir({"TYPE I", "*SIZE " + Name}));
    if (result == ftpOk && !replies_.empty()) {
        const std::string& reply = replies_.back();
        int64_t size = 0;
        if (reply.size() > 4 && ParseCount(reply.substr(4), size)) {
            Entry.Name = Name;
            Entry.Size = size;
            Entry.Time = FtpNoTime;
            return ftpOk;
        }
    }
    if (result == ftpRefused && (replyCode_ == 500 || replyCode_ == 502 || replyCode_ == 504)) {
        return FindInListing(Name, Entry);
    }
    if (result == ftpRefused) {
        return FolderOrNothing(Name, Entry);
    }
    return result == ftpOk ? ftpIncomplete : result;
}

// SIZE refuses a folder the way it refuses a missing name; a folder standing
// under the name must not pass for nothing there. It is a folder when the
// server lets it be entered.
int TFtpSession::FolderOrNothing(const std::string& Name, TFtpEntry& Entry) {
    const std::string reason = error_;
    const long reply = replyCode_;
    std::string path = current_.empty() ? "/" : current_;
    if (path.back() != '/') {
        path += '/';
    }
    const int entered = Command({"*CWD " + path + Name});
    if (entered == ftpOk) {
        Entry.Name = Name;
        Entry.IsFolder = true;
        Entry.Time = FtpNoTime;
        return ftpOk;
    }
    if (entered != ftpRefused) {
        return entered;
    }
    error_ = reason;
    replyCode_ = reply;
    return ftpRefused;
}

int TFtpSession::GetToFile(const std::string& Name, const std::string& LocalPath, int64_t ExpectedSize) {
    if (Name.empty() || !IsSafeFtpArgument(Name)) {
        return ftpRefused;
    }
    const std::string& target = LocalPath;
    TLocalPart part;
    if (!part.Create(target, PartOwner)) {
        error_ = std::string("cannot create a file beside ") + target + ": " + std::strerror(errno);
        return ftpLocalError;
    }
    int64_t written = 0;
    bool writeFailed = false;
    fs::TWriteBehind writeBehind(part.File);
    TRequest request;
    request.Quote = InCurrentDir({});
    request.Name = Name;
    request.Sink = [&](const char* data, size_t bytes) {
        if (!part.File.WriteAll(data, bytes)) {
            writeFailed = true;
            return false;
        }
        writeBehind.Wrote(bytes);
        written += static_cast<int64_t>(bytes);
        return true;
    };
    const int code = Perform(request);
    if (writeFailed) {
        return ftpLocalError;
    }
    const int result = ResultOf(code);
    if (result != ftpOk) {
        return result;
    }
    curl_off_t reported = -1;
    curl_easy_getinfo(Easy(curl_), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &reported);
    if ((reported >= 0 && written != reported) || (ExpectedSize >= 0 && written != ExpectedSize)) {
        error_ = "the download has " + std::to_string(written) + " bytes, not " +
                 std::to_string(ExpectedSize >= 0 ? ExpectedSize : static_cast<int64_t>(reported));
        return ftpIncomplete;
    }
    if (!part.Commit(target)) {
        error_ = std::string("cannot replace ") + target + ": " + std::strerror(errno);
        return ftpLocalError;
    }
    return ftpOk;
}

std::string TFtpSession::TempNameFor(const std::string& Name) {
    return fs::PartFileName(Name, PartOwner);
}

int TFtpSession::PutFromFile(const std::string& LocalPath, const std::string& Name, int64_t ExpectedSize,
                             time_t ModifyTime) {
    if (Name.empty() || !IsSafeFtpArgument(Name)) {
        return ftpRefused;
    }
    fs::TFileHandle in;
    if (!in.OpenRead(LocalPath)) {
        error_ = std::string("cannot read ") + LocalPath + ": " + std::strerror(errno);
        return ftpLocalError;
    }
    const int64_t size = in.Size();
    if (size < 0 || (ExpectedSize >= 0 && size != ExpectedSize)) {
        error_ = LocalPath + " is not the size it had (" + std::to_string(size) + " bytes)";
        return ftpIncomplete;
    }
    const std::string temp = TempNameFor(Name);
    int64_t sent = 0;
    bool readFailed = false;
    TRequest request;
    request.Quote = InCurrentDir({});
    request.Name = temp;
    request.Upload = true;
    request.UploadSize = size;
    request.Source = [&](char* data, size_t bytes) -> int64_t {
        const int64_t got = in.Read(data, bytes);
        if (got < 0) {
            readFailed = true;
            return -1;
        }
        sent += got;
        return got;
    };
    int result = ResultOf(Perform(request));
    if (readFailed) {
        result = ftpLocalError;
    } else if (result == ftpOk && sent != size) {
        result = ftpIncomplete;
    }
    if (result == ftpOk) {
        // The server's own word on what it stored.
        TFtpEntry stored;
        result = Stat(temp, stored);
        if (result == ftpOk && (stored.IsFolder || stored.Size != size)) {
            error_ =
                "the server holds " + std::to_string(stored.Size) + " of " + std::to_string(size) + " bytes";
            result = ftpIncomplete;
        } else if (result == ftpRefused) {
            error_ = "the uploaded file is not on the server";
            result = DropRenamedPart(temp, Name) ? ftpRefused : ftpIncomplete;
        }
    }
    if (result != ftpOk) {
        const std::string reason = error_;
        const long reply = replyCode_;
        if (!aborted_.load()) {
            Command(InCurrentDir({"*DELE " + temp}));
        }
        error_ = reason;
        replyCode_ = reply;
        return result;
    }
    if (ModifyTime >= 0) {
        // The copy carries its source's time, so that a run cut short leaves
        // both sides alike rather than new on both sides with different times.
        SetModifyTime(temp, ModifyTime);
    }
    return TakeName(temp, Name);
}

// An upload that the server does not list under its temporary name may have
// been stored under another (by a server that changes characters anywhere in
// a name). The
// temporary name ends in a mark of this upload alone, so what holds that mark is
// this upload's and goes; the reason names the name the server cannot hold.
bool TFtpSession::DropRenamedPart(const std::string& Temp, const std::string& Name) {
    const size_t tail = Temp.rfind(".Tandemora-");
    if (tail == std::string::npos) {
        return false;
    }
    std::vector<std::string> marked;
    ListsName(Temp, &marked, Temp.substr(tail));
    for (const std::string& other : marked) {
        Command(InCurrentDir({"*DELE " + other}));
    }
    if (marked.empty()) {
        return false;
    }
    error_ =
        "the server cannot hold the name \"" + Name + "\" (it stored the copy as \"" + marked.front() + "\")";
    replyCode_ = 0;
    return true;
}

int TFtpSession::SetModifyTime(const std::string& Name, time_t Utc) {
    if (!mfmt_ && !mdtmOffered_) {
        error_ = "the server sets no file times";
        return ftpRefused;
    }
    // vsftpd takes the setting form of MDTM (in the zone its MDTM speaks); a
    // server that knows MFMT is asked in the form meant for it.
    if (mfmt_) {
        return Command(InCurrentDir({"*MFMT " + FtpTimeStamp(Utc) + " " + Name}));
    }
    LearnMdtmZone();
    return Command(
        InCurrentDir({"*MDTM " + FtpTimeStamp(Utc + static_cast<time_t>(mdtmZone_)) + " " + Name}));
}

// An empty file of Name in the current folder, as the zone probes make it.
bool TFtpSession::UploadEmptyFile(const std::string& Name) {
    TRequest upload;
    upload.Quote = InCurrentDir({});
    upload.Name = Name;
    upload.Upload = true;
    upload.UploadSize = 0;
    upload.Source = [](char*, size_t) -> int64_t { return 0; };
    return ResultOf(Perform(upload)) == ftpOk;
}

// MDTM should answer in UTC, but vsftpd with use_localtime=YES answers (and
// sets times) in its own zone, and its files would read that much newer or
// older than they are. So once per connection, on a LIST-only server, the
// server is asked for its idea of now: an empty part file of this task is made
// in the current folder, asked for its MDTM and deleted at once (a run killed
// in between leaves it to the task's next run, as any part file). Its distance
// from this computer's clock, to the nearest quarter of an hour, is the zone
// MDTM speaks in; it is taken only when it lies within two minutes of that
// quarter and within the zones there are, so that clocks that merely drift
// apart are no zone. Where writing is refused nothing is learnt (UTC).
void TFtpSession::LearnMdtmZone() {
    if (mdtmZoneAsked_ || mlsd_ || mdtm_ == 0 || PartOwner.empty()) {
        return;
    }
    mdtmZoneAsked_ = true;
    const std::string reason = error_;
    const long reply = replyCode_;
    const std::string probe = fs::PartFileName("clock", PartOwner);
    const time_t before = std::time(nullptr);
    if (UploadEmptyFile(probe) && Command(InCurrentDir({"*MDTM " + probe, "*DELE " + probe})) == ftpOk) {
        const time_t after = std::time(nullptr);
        for (const std::string& line : replies_) {
            time_t shown = 0;
            if (line.rfind("213 ", 0) != 0 || !ParseFtpTimeStamp(line.substr(4), shown)) {
                continue;
            }
            const int64_t quarter = 15 * 60;
            const int64_t raw = static_cast<int64_t>(shown) - (static_cast<int64_t>(before) + after) / 2;
            const int64_t zone = (raw >= 0 ? raw + quarter / 2 : raw - quarter / 2) / quarter * quarter;
            if (std::llabs(raw - zone) <= 120 + (after - before) && std::llabs(zone) <= 14 * 3600) {
                mdtmZone_ = zone;
            }
            break;
        }
    }
    error_ = reason;
    replyCode_ = reply;
}

// A server without MDTM tells no exact time at all, but its listing shows the
// time of a file made now: once per connection an empty part file of this task
// is made in the current folder, listed and deleted at once, and the minute
// its line shows teaches the clock the listing's offset (as an exact time would,
// see TFtpServerClock::Learn). Where writing is refused nothing is learnt, and
// the listing is taken to be in UTC.
void TFtpSession::LearnListingZone() {
    if (listingZoneAsked_ || mlsd_ || clock_.Learnt() || PartOwner.empty()) {
        return;
    }
    listingZoneAsked_ = true;
    TFailure failure = KeepFailure();
    const std::string probe = fs::PartFileName("clock", PartOwner);
    const time_t before = std::time(nullptr);
    if (UploadEmptyFile(probe)) {
        std::vector<TFtpEntry> entries;
        const int listed = ListWithHidden(entries);
        const time_t after = std::time(nullptr);
        for (const TFtpEntry& entry : entries) {
            // Listed within a few seconds of its making: else the minute shown
            // may be one the file was not made in.
            if (listed == ftpOk && entry.Name == probe && after - before <= 5) {
                clock_.Learn(entry, before);
            }
        }
        Command(InCurrentDir({"*DELE " + probe}));
    }
    RestoreFailure(std::move(failure));
}

// Whether the current folder's listing holds Name exactly. Marked (when given)
// receives the names holding Mark.
bool TFtpSession::ListsName(const std::string& Name, std::vector<std::string>* Marked,
                            const std::string& Mark) {
    std::vector<TFtpEntry> entries;
    if (List(entries, false) != ftpOk) {
        return false;
    }
    bool found = false;
    for (const TFtpEntry& entry : entries) {
        found = found || entry.Name == Name;
        if (Marked != nullptr && entry.Name.find(Mark) != std::string::npos) {
            Marked->push_back(entry.Name);
        }
    }
    return found;
}

// A server may store a name under another one (Pure-FTPd turns a leading blank
// into "_") and would then replace a file of that other name, someone else's.
// A name that is not plain is therefore first given to a stand-in that holds
// every character of it in place, with a mark of this upload in its middle:
// the stand-in can collide with nothing, and the listing shows whether the
// server kept it as it was asked. Only then does the copy take the name, and
// the listing must show it under that name.
int TFtpSession::TakeName(const std::string& Temp, const std::string& Name) {
    if (IsPlainFtpName(Name)) {
        return ReplaceWith(Temp, Name);
    }
    static std::atomic<unsigned> serial{0};
    const std::string mark = StandInMarkOf(PartOwner, static_cast<long>(getpid()), serial.fetch_add(1));
    const std::string standIn = StandInName(Name, mark);
    int result = Rename(Temp, standIn);
    if (result != ftpOk) {
        TFailure failure = KeepFailure();
        if (result != ftpBroken) {
            Command(InCurrentDir({"*DELE " + Temp}));
        }
        RestoreFailure(std::move(failure));
        return result;
    }
    std::vector<std::string> marked;
    if (!ListsName(standIn, &marked, mark)) {
        for (const std::string& other : marked) {
            Command(InCurrentDir({"*DELE " + other}));
        }
        error_ = "the server cannot hold the name \"" + Name + "\"" +
                 (marked.empty() ? std::string() : " (it stored the copy as \"" + marked.front() + "\")") +
                 "; rename the file to copy it there";
        replyCode_ = 0;
        return ftpRefused;
    }
    result = ReplaceWith(standIn, Name);
    if (result == ftpOk && !ListsName(Name, nullptr, std::string())) {
        error_ = "the server does not list the copy under the name \"" + Name + "\"";
        replyCode_ = 0;
        return ftpIncomplete;
    }
    return result;
}

// The complete upload takes the target's name. Servers that will not rename
// onto an existing file get the old file deleted first; should the rename still
// fail then, the complete copy stays under its temporary name rather than
// being thrown away with the old file already gone.
int TFtpSession::ReplaceWith(const std::string& Temp, const std::string& Name) {
    int result = Rename(Temp, Name);
    if (result == ftpOk || result == ftpBroken) {
        return result;
    }
    TFailure failure = KeepFailure();
    TFtpEntry existing;
    if (Stat(Name, existing) == ftpOk && !existing.IsFolder && Delete(Name) == ftpOk) {
        result = Rename(Temp, Name);
        if (result != ftpOk) {
            error_ = "the old " + Name + " was removed, and the new copy is kept as " + Temp;
        }
        return result;
    }
    Command(InCurrentDir({"*DELE " + Temp}));
    RestoreFailure(std::move(failure));
    return result;
}

void TFtpSession::RestoreFailure(TFailure Failure) {
    error_ = std::move(Failure.Error);
    replyCode_ = Failure.ReplyCode;
    replies_ = std::move(Failure.Replies);
}

int TFtpSession::MakeDir(const std::string& Path) {
    return Command({"*MKD " + Path});
}

int TFtpSession::RemoveDir(const std::string& Path) {
    return Command({"*RMD " + Path});
}

int TFtpSession::Delete(const std::string& Name) {
    return Command(InCurrentDir({"*DELE " + Name}));
}

int TFtpSession::Rename(const std::string& From, const std::string& To) {
    return Command(InCurrentDir({"RNFR " + From, "*RNTO " + To}));
}

} // namespace tandemora
