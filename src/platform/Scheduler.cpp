#include "platform/Scheduler.h"

#include "platform/FileSystem.h"
#include "platform/Process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace tandemora {

namespace {

std::string crontabFileOverride;
std::string systemZoneLink = "/etc/localtime";

// Marks a crontab line as one of our work items; the item's name follows.
const char* const kMarker = "#Tandemora:";

// Debian's cron reads at most 999 characters of a command; a longer one would be
// cut off and its rest read as a line of its own.
constexpr size_t kMaxCommand = 999;

// The local calendar day's number at the moment cron runs the line, as the shell
// computes it: today's local date read as a UTC midnight. Counting local dates
// keeps a change to or from summer time from shifting the count.
const char* const kTodayNumber = "$(date -u -d $(date +\\%F) +\\%s) / 86400";

// ---- Quoting ---------------------------------------------------------------------------------

// A word that the shell reads back as exactly text. Runs of ordinary characters
// go inside single quotes, where nothing is special to the shell; a quote is
// written as \' and a percent sign as \% outside the quotes. Cron turns \% into
// a plain % before the shell sees the line, and since the % never stands inside
// a quoted run, no backslash of the text can pair with it.
std::string QuoteWord(const std::string& text) {
    std::string out;
    std::string run;
    auto flush = [&] {
        if (!run.empty()) {
            out += '\'' + run + '\'';
            run.clear();
        }
    };
    for (char c : text) {
        if (c == '\'' || c == '%') {
            flush();
            out += '\\';
            out += c;
        } else {
            run += c;
        }
    }
    flush();
    return out.empty() ? std::string("''") : out;
}

bool HasControlCharacter(const std::string& text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void SkipBlanks(const std::string& s, size_t& pos) {
    while (pos < s.size() && IsBlank(s[pos])) {
        ++pos;
    }
}

// Reads the word at pos as the shell would for the words QuoteWord writes:
// single-quoted runs, backslash escapes and plain characters, up to a blank.
// False for a quote that is never closed or a backslash at the end.
bool ReadWord(const std::string& s, size_t& pos, std::string& word) {
    word.clear();
    while (pos < s.size() && !IsBlank(s[pos])) {
        const char c = s[pos++];
        if (c == '\'') {
            const size_t close = s.find('\'', pos);
            if (close == std::string::npos) {
                return false;
            }
            word += s.substr(pos, close - pos);
            pos = close + 1;
        } else if (c == '\\') {
            if (pos >= s.size()) {
                return false;
            }
            word += s[pos++];
        } else {
            word += c;
        }
    }
    return true;
}

// ---- Numbers and dates -------------------------------------------------------------------------

bool ReadNumber(const std::string& s, size_t& pos, int64_t& value) {
    const size_t start = pos;
    if (pos < s.size() && s[pos] == '-') {
        ++pos;
    }
    const size_t digits = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - digits < 12) {
        ++pos;
    }
    if (pos == digits || (pos < s.size() && s[pos] >= '0' && s[pos] <= '9')) {
        pos = start;
        return false;
    }
    value = std::strtoll(s.c_str() + start, nullptr, 10);
    return true;
}

// Matches text against literals[0] n literals[1] n ... literals[k]; the numbers
// in between go to numbers.
bool MatchPattern(const std::string& text, const std::vector<std::string>& literals,
                  std::vector<int64_t>& numbers) {
    numbers.clear();
    size_t pos = 0;
    for (size_t i = 0; i < literals.size(); ++i) {
        if (text.compare(pos, literals[i].size(), literals[i]) != 0) {
            return false;
        }
        pos += literals[i].size();
        if (i + 1 < literals.size()) {
            int64_t value = 0;
            if (!ReadNumber(text, pos, value)) {
                return false;
            }
            numbers.push_back(value);
        }
    }
    return pos == text.size();
}

void CivilFromDays(int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

bool ValidDate(int year, unsigned month, unsigned day) {
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDays(DaysFromCivil(year, month, day), y, m, d);
    return y == year && m == month && d == day;
}

bool HasBeginDate(const TTaskTrigger& t) {
    return ValidDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
}

int64_t BeginDayNumber(const TTaskTrigger& t) {
    return DaysFromCivil(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
}

void SetBeginDay(TTaskTrigger& t, int64_t dayNumber) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(dayNumber, year, month, day);
    t.wBeginYear = static_cast<uint16_t>(year);
    t.wBeginMonth = static_cast<uint16_t>(month);
    t.wBeginDay = static_cast<uint16_t>(day);
}

// ---- Date tests ------------------------------------------------------------------------------

std::vector<std::string> DailyTestPattern() {
    return {"[ $(( (" + std::string(kTodayNumber) + " - ", ") \\% ", " )) -eq 0 ] && "};
}

std::vector<std::string> WeeklyTestPattern() {
    // Weeks start on Monday; day 0 (1970-01-01) was a Thursday.
    return {"[ $(( ((" + std::string(kTodayNumber) + " + 3) / 7 - (", " + 3) / 7) \\% ", " )) -eq 0 ] && "};
}

std::vector<std::string> YearTestPattern() {
    return {"[ $(date +\\%Y) -eq ", " ] && "};
}

std::string FillPattern(const std::vector<std::string>& literals, const std::vector<int64_t>& numbers) {
    std::string out = literals[0];
    for (size_t i = 0; i < numbers.size(); ++i) {
        out += std::to_string(numbers[i]) + literals[i + 1];
    }
    return out;
}

// ---- Time fields -----------------------------------------------------------------------------

// "2,4" from bits; bit i stands for the value first + i.
std::string BitList(uint32_t bits, int count, int first) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        if ((bits & (1u << i)) != 0) {
            out += (out.empty() ? "" : ",") + std::to_string(first + i);
        }
    }
    return out;
}

// The bits of a list such as "2,4"; values outside [low, high] fail. A value of
// wrapFrom is read as the value low (cron's 7 for Sunday); -1 for none.
bool ReadBitList(const std::string& field, int low, int high, int wrapFrom, uint32_t& bits) {
    bits = 0;
    size_t pos = 0;
    while (pos < field.size()) {
        int64_t value = 0;
        if (!ReadNumber(field, pos, value)) {
            return false;
        }
        if (value == wrapFrom) {
            value = low;
        }
        if (value < low || value > high) {
            return false;
        }
        bits |= 1u << (value - low);
        if (pos < field.size()) {
            if (field[pos] != ',') {
                return false;
            }
            ++pos;
        }
    }
    return bits != 0;
}

bool ReadFieldNumber(const std::string& field, int low, int high, int64_t& value) {
    size_t pos = 0;
    return ReadNumber(field, pos, value) && pos == field.size() && value >= low && value <= high;
}

// The three date fields (day of month, month, day of week) and the date test of a trigger.
bool DateFields(const TTaskTrigger& t, std::string& fields, std::string& test, std::string& why) {
    switch (t.TriggerType) {
    case TASK_TIME_TRIGGER_DAILY:
        if (t.DaysInterval < 1) {
            why = "the interval must be at least one day";
            return false;
        }
        fields = "* * *";
        if (t.DaysInterval > 1) {
            test = FillPattern(DailyTestPattern(), {BeginDayNumber(t), t.DaysInterval});
        }
        return true;
    case TASK_TIME_TRIGGER_WEEKLY:
        if (t.WeeksInterval < 1) {
            why = "the interval must be at least one week";
            return false;
        }
        if ((t.rgfDaysOfTheWeek & 0x7F) == 0) {
            why = "no day of the week is chosen";
            return false;
        }
        fields = "* * " + BitList(t.rgfDaysOfTheWeek & 0x7F, 7, 0);
        if (t.WeeksInterval > 1) {
            test = FillPattern(WeeklyTestPattern(), {BeginDayNumber(t), t.WeeksInterval});
        }
        return true;
    case TASK_TIME_TRIGGER_MONTHLYDATE:
        if ((t.rgfDays & 0x7FFFFFFF) == 0 || (t.rgfMonths & 0xFFF) == 0) {
            why = "no day or no month is chosen";
            return false;
        }
        fields = BitList(t.rgfDays & 0x7FFFFFFF, 31, 1) + " " +
                 ((t.rgfMonths & 0xFFF) == 0xFFF ? std::string("*") : BitList(t.rgfMonths & 0xFFF, 12, 1)) +
                 " *";
        return true;
    case TASK_TIME_TRIGGER_ONCE:
        fields = std::to_string(t.wBeginDay) + " " + std::to_string(t.wBeginMonth) + " *";
        test = FillPattern(YearTestPattern(), {t.wBeginYear});
        return true;
    default:
        why = "its kind is unknown";
        return false;
    }
}

// Reads the time fields and date test back into a trigger.
bool ReadTrigger(const std::vector<std::string>& f, const std::string& test, TTaskTrigger& t) {
    int64_t minute = 0;
    int64_t hour = 0;
    if (!ReadFieldNumber(f[0], 0, 59, minute) || !ReadFieldNumber(f[1], 0, 23, hour)) {
        return false;
    }
    t.wStartMinute = static_cast<uint16_t>(minute);
    t.wStartHour = static_cast<uint16_t>(hour);
    std::vector<int64_t> n;
    const bool anyDay = f[2] == "*";
    const bool anyMonth = f[3] == "*";
    const bool anyWeekDay = f[4] == "*";
    uint32_t bits = 0;
    if (anyDay && anyMonth && anyWeekDay) {
        t.TriggerType = TASK_TIME_TRIGGER_DAILY;
        t.DaysInterval = 1;
        if (!test.empty()) {
            if (!MatchPattern(test, DailyTestPattern(), n) || n[1] < 2 || n[1] > 65535) {
                return false;
            }
            SetBeginDay(t, n[0]);
            t.DaysInterval = static_cast<uint16_t>(n[1]);
        }
        return true;
    }
    if (anyDay && anyMonth) {
        if (!ReadBitList(f[4], 0, 6, 7, bits)) {
            return false;
        }
        t.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
        t.rgfDaysOfTheWeek = static_cast<uint16_t>(bits);
        t.WeeksInterval = 1;
        if (!test.empty()) {
            if (!MatchPattern(test, WeeklyTestPattern(), n) || n[1] < 2 || n[1] > 65535) {
                return false;
            }
            SetBeginDay(t, n[0]);
            t.WeeksInterval = static_cast<uint16_t>(n[1]);
        }
        return true;
    }
    if (!anyWeekDay) {
        return false;
    }
    if (test.empty()) {
        uint32_t months = 0xFFF;
        if (!ReadBitList(f[2], 1, 31, -1, bits) || (!anyMonth && !ReadBitList(f[3], 1, 12, -1, months))) {
            return false;
        }
        t.TriggerType = TASK_TIME_TRIGGER_MONTHLYDATE;
        t.rgfDays = bits;
        t.rgfMonths = static_cast<uint16_t>(months);
        return true;
    }
    int64_t day = 0;
    int64_t month = 0;
    if (!ReadFieldNumber(f[2], 1, 31, day) || !ReadFieldNumber(f[3], 1, 12, month) ||
        !MatchPattern(test, YearTestPattern(), n) ||
        !ValidDate(static_cast<int>(n[0]), static_cast<unsigned>(month), static_cast<unsigned>(day))) {
        return false;
    }
    t.TriggerType = TASK_TIME_TRIGGER_ONCE;
    t.wBeginYear = static_cast<uint16_t>(n[0]);
    t.wBeginMonth = static_cast<uint16_t>(month);
    t.wBeginDay = static_cast<uint16_t>(day);
    return true;
}

// ---- The crontab as lines ----------------------------------------------------------------------

// Each line keeps its own line break (the last one may have none), so the lines
// we do not touch go back exactly as they came.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, next - start));
        start = next;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
    }
    return text;
}

// The name of the work item on a line; false when the line is not ours.
bool ItemNameOf(const std::string& line, std::string& name) {
    TWorkItem item;
    if (!TScheduler::ParseCronLine(line, item)) {
        return false;
    }
    name = item.Name;
    return true;
}

// Appends a line, ending the table's last line first if it has no line break.
void AppendLine(std::vector<std::string>& lines, const std::string& line) {
    if (!lines.empty() && lines.back().back() != '\n') {
        lines.back() += '\n';
    }
    lines.push_back(line + "\n");
}

// ---- Files and commands ----------------------------------------------------------------------

std::string ErrnoText(int code) {
    return std::strerror(code);
}

bool ReadWholeFile(const std::string& path, std::string& text, int& code) {
    if (fs::ReadRegularFile(path, std::numeric_limits<int64_t>::max(), text) == fs::ReadResult::Read) {
        return true;
    }
    code = errno;
    return false;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes text into a new private file made from pattern (mkstemp); its path goes
// back in pattern. False, with nothing left behind, when any step fails.
bool WriteNewFile(std::string& pattern, const std::string& text, int& code) {
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        code = errno;
        return false;
    }
    const bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    code = errno;
    if (close(fd) != 0 && ok) {
        code = errno;
        unlink(pattern.c_str());
        return false;
    }
    if (!ok) {
        unlink(pattern.c_str());
    }
    return ok;
}

// A private folder for the crontab command's input and output, removed with its
// files at the end.
class TScratchFolder {
public:
    TScratchFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tandemora-cron-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TScratchFolder() {
        if (path_.empty()) {
            return;
        }
        for (const char* name : {"/out", "/err"}) {
            unlink((path_ + name).c_str());
        }
        rmdir(path_.c_str());
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;

    bool Ok() const { return !path_.empty(); }
    std::string operator/(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The crontab command's own words about a failure, on one line.
std::string CommandMessage(const std::string& errFile, int status) {
    std::string text;
    int code = 0;
    ReadWholeFile(errFile, text, code);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n') {
            c = ' ';
        }
    }
    if (!text.empty()) {
        return text;
    }
    return status < 0 ? std::string("the crontab command could not be run")
                      : "the crontab command ended with status " + std::to_string(status);
}

// The crontab command on PATH; empty when there is none.
std::string FindCrontabCommand() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/crontab";
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

const char* const kCronMissing =
    "Scheduled runs need cron, which is not installed here (the \"crontab\" command "
    "was not found). Install the \"cron\" package and try again.";

} // namespace

// ---- Public helpers ----------------------------------------------------------------------------

int64_t DaysFromCivil(int year, unsigned month, unsigned day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<int64_t>(era) * 146097 + static_cast<int64_t>(doe) - 719468;
}

void SetCrontabFile(const std::string& path) {
    crontabFileOverride = path;
}

std::string GetCrontabFile() {
    return crontabFileOverride;
}

void SetSystemZoneLink(const std::string& path) {
    systemZoneLink = path.empty() ? std::string("/etc/localtime") : path;
}

std::string SystemTimeZoneName() {
    std::vector<char> target(4096);
    const ssize_t n = readlink(systemZoneLink.c_str(), target.data(), target.size() - 1);
    if (n > 0) {
        const std::string link(target.data(), static_cast<size_t>(n));
        const std::string folder = "zoneinfo/";
        const size_t at = link.rfind(folder);
        return at == std::string::npos ? std::string() : link.substr(at + folder.size());
    }
    const size_t slash = systemZoneLink.rfind('/');
    const std::string named = systemZoneLink.substr(0, slash + 1) + "timezone";
    std::string text;
    const int fd = open(named.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[256];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        close(fd);
        if (got > 0) {
            text.assign(buffer, static_cast<size_t>(got));
        }
    }
    const size_t end = text.find_first_of(" \t\r\n");
    return text.substr(0, end);
}

// ---- Lines -------------------------------------------------------------------------------------

std::string TScheduler::CronLine(const TWorkItem& item, std::string& error) {
    const std::string quoted = "\"" + item.Name + "\"";
    if (item.Name.empty()) {
        error = "A scheduled run needs a name.";
        return "";
    }
    for (const std::string* text :
         {&item.Name, &item.ApplicationName, &item.WorkingDirectory, &item.Parameters}) {
        if (HasControlCharacter(*text)) {
            error = "The scheduled run " + quoted +
                    " cannot be written into the crontab: its name, program or folder holds a line break "
                    "or another control character.";
            return "";
        }
    }
    if (item.ApplicationName.empty() || item.WorkingDirectory.empty()) {
        error = "The scheduled run " + quoted + " names no program to start.";
        return "";
    }
    const TTaskTrigger& t = item.Trigger;
    std::string why;
    if (t.wStartHour > 23 || t.wStartMinute > 59) {
        why = "its start time is not a time of day";
    } else if ((t.TriggerType == TASK_TIME_TRIGGER_ONCE ||
                (t.TriggerType == TASK_TIME_TRIGGER_DAILY && t.DaysInterval > 1) ||
                (t.TriggerType == TASK_TIME_TRIGGER_WEEKLY && t.WeeksInterval > 1)) &&
               !HasBeginDate(t)) {
        why = "its begin date is not a date";
    }
    std::string dateFields;
    std::string test;
    if (!why.empty() || !DateFields(t, dateFields, test, why)) {
        error = "The schedule of " + quoted + " cannot be kept: " + why + ".";
        return "";
    }
    const std::string command = test + "cd " + QuoteWord(item.WorkingDirectory) + " && exec " +
                                QuoteWord(item.ApplicationName) + " " + QuoteWord(item.Parameters) + " " +
                                kMarker + QuoteWord(item.Name);
    if (command.size() > kMaxCommand) {
        error = "The scheduled run " + quoted + " does not fit on one crontab line (cron reads " +
                std::to_string(kMaxCommand) + " characters of a command). Please choose a shorter task name.";
        return "";
    }
    return std::to_string(t.wStartMinute) + " " + std::to_string(t.wStartHour) + " " + dateFields + " " +
           command;
}

bool TScheduler::ParseCronLine(const std::string& rawLine, TWorkItem& item) {
    item = TWorkItem();
    std::string line = rawLine;
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    size_t pos = 0;
    SkipBlanks(line, pos);
    if (pos >= line.size() || line[pos] == '#') {
        return false;
    }
    std::vector<std::string> fields;
    while (fields.size() < 5) {
        const size_t start = pos;
        while (pos < line.size() && !IsBlank(line[pos])) {
            ++pos;
        }
        if (pos == start) {
            return false;
        }
        fields.push_back(line.substr(start, pos - start));
        SkipBlanks(line, pos);
    }
    // An optional date test, then the command's words up to the marker.
    std::string test;
    if (line.compare(pos, 2, "[ ") == 0) {
        const size_t end = line.find(" ] && ", pos);
        if (end == std::string::npos) {
            return false;
        }
        test = line.substr(pos, end + 6 - pos);
        pos = end + 6;
    }
    std::vector<std::string> words;
    for (;;) {
        SkipBlanks(line, pos);
        if (pos >= line.size()) {
            return false; // no marker: not ours
        }
        if (line[pos] == '#') {
            break;
        }
        std::string word;
        if (!ReadWord(line, pos, word)) {
            return false;
        }
        words.push_back(word);
    }
    if (line.compare(pos, std::strlen(kMarker), kMarker) != 0) {
        return false;
    }
    pos += std::strlen(kMarker);
    if (!ReadWord(line, pos, item.Name)) {
        return false;
    }
    SkipBlanks(line, pos);
    if (pos != line.size()) {
        return false;
    }
    item.Readable = words.size() == 6 && words[0] == "cd" && words[2] == "&&" && words[3] == "exec" &&
                    ReadTrigger(fields, test, item.Trigger);
    if (item.Readable) {
        item.WorkingDirectory = words[1];
        item.ApplicationName = words[4];
        item.Parameters = words[5];
    } else {
        item.Trigger = TTaskTrigger();
    }
    return true;
}

// ---- Operations --------------------------------------------------------------------------------

TScheduler::TScheduler(const std::string& crontabFile) : crontabFile_(crontabFile) {}

std::string TScheduler::CheckAvailable() const {
    if (!crontabFile_.empty() || !FindCrontabCommand().empty()) {
        return "";
    }
    return kCronMissing;
}

bool TScheduler::ListWorkItems(std::vector<TWorkItem>& items, std::string& error) const {
    items.clear();
    std::string text;
    if (!ReadCrontab(text, error)) {
        return false;
    }
    for (const std::string& line : SplitLines(text)) {
        TWorkItem item;
        if (ParseCronLine(line, item)) {
            items.push_back(item);
        }
    }
    return true;
}

bool TScheduler::FindWorkItem(const std::string& name, TWorkItem& item, std::string& error) const {
    error.clear();
    std::vector<TWorkItem> items;
    if (!ListWorkItems(items, error)) {
        return false;
    }
    for (const TWorkItem& candidate : items) {
        if (candidate.Name == name) {
            item = candidate;
            return true;
        }
    }
    return false;
}

bool TScheduler::SaveWorkItem(const TWorkItem& item, std::string& error) const {
    const std::string newLine = CronLine(item, error);
    if (newLine.empty()) {
        return false;
    }
    std::string text;
    if (!ReadCrontab(text, error)) {
        return false;
    }
    std::vector<std::string> lines = SplitLines(text);
    bool placed = false;
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        std::string name;
        if (ItemNameOf(line, name) && name == item.Name) {
            // One item per name: the first line of the name takes the new schedule,
            // any further one goes.
            if (!placed) {
                kept.push_back(newLine + "\n");
                placed = true;
            }
            continue;
        }
        kept.push_back(line);
    }
    if (!placed) {
        AppendLine(kept, newLine);
    }
    return WriteCrontab(JoinLines(kept), error);
}

bool TScheduler::DeleteWorkItem(const std::string& name, std::string& error) const {
    std::string text;
    if (!ReadCrontab(text, error)) {
        return false;
    }
    std::vector<std::string> kept;
    bool removed = false;
    for (const std::string& line : SplitLines(text)) {
        std::string lineName;
        if (ItemNameOf(line, lineName) && lineName == name) {
            removed = true;
            continue;
        }
        kept.push_back(line);
    }
    return !removed || WriteCrontab(JoinLines(kept), error);
}

bool TScheduler::RenameWorkItem(const std::string& oldName, const std::string& newName,
                                std::string& error) const {
    error.clear();
    if (oldName == newName) {
        return true;
    }
    std::string text;
    if (!ReadCrontab(text, error)) {
        return false;
    }
    std::vector<std::string> lines = SplitLines(text);
    TWorkItem item;
    bool found = false;
    for (const std::string& line : lines) {
        if (ParseCronLine(line, item) && item.Name == oldName) {
            found = true;
            break;
        }
    }
    if (!found) {
        return true;
    }
    if (!item.Readable) {
        error = "The scheduled run \"" + oldName +
                "\" was changed outside Tandemora and cannot be renamed; please schedule the task again.";
        return false;
    }
    item.Name = newName;
    if (item.Parameters == oldName) {
        item.Parameters = newName;
    }
    const std::string newLine = CronLine(item, error);
    if (newLine.empty()) {
        return false;
    }
    std::vector<std::string> kept;
    bool placed = false;
    for (const std::string& line : lines) {
        std::string name;
        if (ItemNameOf(line, name) && (name == oldName || name == newName)) {
            if (!placed && name == oldName) {
                kept.push_back(newLine + "\n");
                placed = true;
            }
            continue;
        }
        kept.push_back(line);
    }
    return WriteCrontab(JoinLines(kept), error);
}

// ---- Reading and writing the table ---------------------------------------------------------------

bool TScheduler::ReadCrontab(std::string& text, std::string& error) const {
    return crontabFile_.empty() ? ReadFromCommand(text, error) : ReadFromFile(text, error);
}

bool TScheduler::WriteCrontab(const std::string& text, std::string& error) const {
    return crontabFile_.empty() ? WriteToCommand(text, error) : WriteToFile(text, error);
}

bool TScheduler::ReadFromFile(std::string& text, std::string& error) const {
    int code = 0;
    if (ReadWholeFile(crontabFile_, text, code)) {
        return true;
    }
    if (code == ENOENT) {
        text.clear(); // no table yet
        return true;
    }
    error = "The crontab \"" + crontabFile_ + "\" could not be read: " + ErrnoText(code) + ".";
    return false;
}

bool TScheduler::WriteToFile(const std::string& text, std::string& error) const {
    // A complete new file takes the table's name in one step, so the table is
    // either the old one or the new one, never a part.
    std::string temporary = crontabFile_ + ".XXXXXX";
    int code = 0;
    if (!WriteNewFile(temporary, text, code)) {
        error = "The crontab \"" + crontabFile_ +
                "\" could not be written, so it was left as it was: " + ErrnoText(code) + ".";
        return false;
    }
    if (rename(temporary.c_str(), crontabFile_.c_str()) != 0) {
        code = errno;
        unlink(temporary.c_str());
        error = "The crontab \"" + crontabFile_ +
                "\" could not be replaced, so it was left as it was: " + ErrnoText(code) + ".";
        return false;
    }
    return true;
}

bool TScheduler::ReadFromCommand(std::string& text, std::string& error) const {
    const std::string command = FindCrontabCommand();
    if (command.empty()) {
        error = kCronMissing;
        return false;
    }
    TScratchFolder scratch;
    if (!scratch.Ok()) {
        error =
            "The crontab could not be read: no temporary folder could be made (" + ErrnoText(errno) + ").";
        return false;
    }
    const std::string out = scratch / "out";
    const std::string err = scratch / "err";
    const int status =
        RunProcess({"/bin/sh", "-c", "exec \"$1\" -l >\"$2\" 2>\"$3\"", "sh", command, out, err});
    int code = 0;
    if (status == 0 && ReadWholeFile(out, text, code)) {
        return true;
    }
    text.clear();
    const std::string message = CommandMessage(err, status);
    // A user who never had a crontab has an empty one.
    if (status > 0 && message.find("no crontab for") != std::string::npos) {
        return true;
    }
    error = "The crontab could not be read: " + message + ".";
    return false;
}

bool TScheduler::WriteToCommand(const std::string& text, std::string& error) const {
    const std::string command = FindCrontabCommand();
    if (command.empty()) {
        error = kCronMissing;
        return false;
    }
    TScratchFolder scratch;
    std::string in = scratch / "in.XXXXXX";
    int code = 0;
    if (!scratch.Ok() || !WriteNewFile(in, text, code)) {
        error =
            "The crontab could not be written, so it was left as it was: no temporary file could be made.";
        return false;
    }
    const std::string err = scratch / "err";
    // "crontab -" checks the whole new table and replaces the old one only when
    // it accepts it.
    const int status =
        RunProcess({"/bin/sh", "-c", "exec \"$1\" - <\"$2\" 2>\"$3\"", "sh", command, in, err});
    unlink(in.c_str());
    if (status != 0) {
        error = "The crontab could not be written, so it was left as it was: " + CommandMessage(err, status) +
                ".";
        return false;
    }
    return true;
}

} // namespace tandemora
