#include "model/UTUtils.h"

#include "model/UTFileTree.h"
#include "platform/Exceptions.h"
#include "platform/Process.h"
#include "platform/ProgramFolder.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits.h>
#include <locale.h>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

namespace tandemora {

TMyException ErrorLogger;

namespace {

std::mutex errorLogLock;

std::mutex syncStatusLock;
std::string syncStatusText;

std::mutex powerOffLock;
std::vector<std::string> powerOffCommand{"systemctl", "poweroff"};

const char* const kRunAtStartupError = "Error Registry,If You run on vista,then please run as administrator.";

// ---- Small text helpers ---------------------------------------------------------

// Blanks as the trimming routines understand them: the space and every control character.
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string Trim(const std::string& s) {
    return TrimBlanks(s);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return;
    }
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
}

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// ---- UTF-8 and case folding ------------------------------------------------------

// The length of the well-formed UTF-8 sequence at s[i] (1-4) with its code point in
// cp, or 0 when the byte at i starts no such sequence (overlong forms, surrogates
// and values past U+10FFFF included).
int DecodeUtf8(const unsigned char* s, size_t n, size_t i, char32_t& cp) {
    unsigned lead = s[i];
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t len = 0;
    char32_t value = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (n - i < len || s[i + 1] < low || s[i + 1] > high) {
        return 0;
    }
    value = (value << 6) | (s[i + 1] & 0x3F);
    for (size_t k = 2; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (s[i + k] & 0x3F);
    }
    cp = value;
    return static_cast<int>(len);
}

// Unicode simple case folding from the C library's UTF-8 character tables, which do
// not depend on the user's locale. Folding is lower(upper(c)) with the two places
// where Unicode folds differently: the Turkish dotted and dotless i keep their own
// identity, and Cherokee folds to its capitals. The first 2048 code points (Latin,
// Greek, Cyrillic, ...) come from a table built once.
class CaseFolder {
public:
    CaseFolder() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr))) {
        for (char32_t c = 0; c < kTableSize; ++c) {
            table_[c] = Compute(c);
        }
    }
    CaseFolder(const CaseFolder&) = delete;
    CaseFolder& operator=(const CaseFolder&) = delete;

    char32_t Fold(char32_t c) const { return c < kTableSize ? table_[c] : Compute(c); }

private:
    static constexpr char32_t kTableSize = 0x800;

    char32_t Compute(char32_t c) const {
        if (c < 0x80) {
            return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
        }
        // Without the UTF-8 tables only ASCII letters fold; the order stays total.
        if (locale_ == locale_t(nullptr) || c == 0x130 || c == 0x131) {
            return c;
        }
        char32_t upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale_));
        if (upper >= 0x13A0 && upper <= 0x13F5) {
            return upper;
        }
        return static_cast<char32_t>(towlower_l(static_cast<wint_t>(upper), locale_));
    }

    // Kept for the whole run: names are compared until the last moment.
    locale_t locale_;
    char32_t table_[kTableSize];
};

const CaseFolder& Folder() {
    static const CaseFolder folder;
    return folder;
}

// The folded unit at s[i], moving i past it. A byte that starts no valid UTF-8
// sequence is one unit of its own, compared by its value.
char32_t NextFoldedUnit(const unsigned char* s, size_t n, size_t& i) {
    char32_t cp = 0;
    int len = DecodeUtf8(s, n, i, cp);
    if (len == 0) {
        return s[i++];
    }
    i += static_cast<size_t>(len);
    return Folder().Fold(cp);
}

char AsciiFold(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

// ---- Folders ----------------------------------------------------------------------

// The user's home folder: $HOME when it is an absolute path, else the password
// database's entry; empty when neither knows one.
std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return "";
}

// Folder + "/" + name, without doubling a "/" that Folder already ends with.
std::string InFolder(const std::string& folder, const std::string& name) {
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string WithSlash(const std::string& folder) {
    return !folder.empty() && folder.back() == '/' ? folder : folder + "/";
}

// An XDG base folder: the variable when it holds an absolute path (relative ones are
// to be ignored), else the default below the home folder; empty when no home is known.
std::string XdgBaseFolder(const char* variable, const char* belowHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    std::string home = HomeFolder();
    return home.empty() ? std::string() : InFolder(home, belowHome);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates Path and every missing folder above it with Mode; True when Path is a folder.
bool MakeFolders(const std::string& path, mode_t mode) {
    if (path.empty() || IsFolder(path)) {
        return !path.empty();
    }
    for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        std::string part = path.substr(0, pos);
        if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) {
            break;
        }
    }
    return IsFolder(path);
}

// The value of one key of user-dirs.dirs ("XDG_TEMPLATES_DIR"), with its quotes and
// backslash escapes removed and "$HOME" replaced; empty when absent or unusable.
std::string UserDirsValue(const std::string& key) {
    std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
    if (config.empty()) {
        return "";
    }
    std::ifstream in(InFolder(config, "user-dirs.dirs"));
    std::string line;
    std::string raw;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            raw = line.substr(key.size() + 1);
        }
    }
    std::string value;
    bool quoted = raw.size() >= 2 && raw.front() == '"' && raw.back() == '"';
    std::string inner = quoted ? raw.substr(1, raw.size() - 2) : raw;
    for (size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '\\' && i + 1 < inner.size()) {
            ++i;
        }
        value += inner[i];
    }
    for (const char* homeWord : {"${HOME}", "$HOME"}) {
        size_t len = std::strlen(homeWord);
        if (value.compare(0, len, homeWord) == 0 && (value.size() == len || value[len] == '/')) {
            std::string home = HomeFolder();
            return home.empty() ? std::string() : home + value.substr(len);
        }
    }
    return !value.empty() && value[0] == '/' ? value : std::string();
}

// A folder that only this user can enter, for when no home is known: under /tmp,
// where another user could have put something of theirs under the name first.
std::string PrivateTempBase() {
    std::string base = "/tmp/Tandemora-" + std::to_string(geteuid());
    mkdir(base.c_str(), 0700);
    struct stat st {};
    if (lstat(base.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
        chmod(base.c_str(), 0700);
        return base;
    }
    std::string pattern = "/tmp/Tandemora-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// ---- Autostart entry -----------------------------------------------------------

// The full path of the running executable.
std::string ProgramPath() {
    std::string buffer(PATH_MAX, '\0');
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) {
        throw EOSError(ErrnoText("Cannot read the program path"));
    }
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

// A value of type string in a desktop entry: backslash and line breaks escaped.
std::string DesktopString(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// One argument of an Exec line: in double quotes, with the characters that are
// special inside them escaped, and "%" doubled so that it is not a field code.
std::string DesktopExecArgument(const std::string& arg) {
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return quoted + "\"";
}

// Replaces Path by a file holding Text: written beside it, then renamed over it, so
// that a failure never leaves half an entry behind.
void ReplaceFile(const std::string& path, const std::string& text) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        throw EFCreateError(ErrnoText("Cannot create " + path));
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && fchmod(fd, 0644) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        std::string message = ErrnoText("Cannot write " + path);
        unlink(temp.c_str());
        throw EFCreateError(message);
    }
}

} // namespace

// ---- Error log --------------------------------------------------------------------

void TMyException::HandleException(const std::exception& e) {
    LogError("unknown", e);
}

void TMyException::LogError(const std::string& text, const std::exception& e) {
    try {
        WriteErrorLog(text, ExceptionClassName(e), e.what());
    } catch (...) {
        // The log never fails its caller; without memory for the line it is dropped.
    }
}

void TMyException::LogError(const std::string& text, const std::string& className,
                            const std::string& message) {
    WriteErrorLog(text, className, message);
}

void TMyException::WriteErrorLog(const std::string& text, const std::string& className,
                                 const std::string& message) {
    try {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char date[128];
        char time[128];
        size_t dateLen = std::strftime(date, sizeof date, "%x", &local);
        size_t timeLen = std::strftime(time, sizeof time, "%X", &local);
        std::string line = "[Error]:" + std::string(date, dateLen) + " " + std::string(time, timeLen) +
                           " msg:" + EscapeForLog(text) + " " + EscapeForLog(className) + ":" +
                           EscapeForLog(message) + "\r\n";
        std::string path = GetProgramFolder() + "ErrorInfo.txt";

        // One writer at a time from open to close, so lines never interleave.
        std::lock_guard<std::mutex> guard(errorLogLock);
        int fd = OpenPrivateAppend(path);
        if (fd < 0) {
            return;
        }
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    } catch (...) {
        // The log never fails its caller; a line that cannot be built is dropped.
    }
}

// ---- Program-wide transfer status text ------------------------------------------

void SetSyncStatusText(const std::string& text) {
    std::lock_guard<std::mutex> guard(syncStatusLock);
    syncStatusText = text;
}

std::string GetSyncStatusText() {
    std::lock_guard<std::mutex> guard(syncStatusLock);
    return syncStatusText;
}

// ---- Name order --------------------------------------------------------------------

namespace {

// CompareNames without its tie-break on the bytes.
int CompareFolded(const std::string& a, const std::string& b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const size_t na = a.size();
    const size_t nb = b.size();
    size_t i = 0;
    size_t j = 0;
    while (i < na && j < nb) {
        unsigned char ca = pa[i];
        unsigned char cb = pb[j];
        // Most names are ASCII: compare them byte by byte without decoding.
        if ((ca | cb) < 0x80) {
            if (ca != cb) {
                char fa = AsciiFold(ca);
                char fb = AsciiFold(cb);
                if (fa != fb) {
                    return fa < fb ? -1 : 1;
                }
            }
            ++i;
            ++j;
            continue;
        }
        char32_t ua = NextFoldedUnit(pa, na, i);
        char32_t ub = NextFoldedUnit(pb, nb, j);
        if (ua != ub) {
            return ua < ub ? -1 : 1;
        }
    }
    if (i < na) {
        return 1;
    }
    if (j < nb) {
        return -1;
    }
    return 0;
}

} // namespace

int CompareNames(const std::string& a, const std::string& b) {
    const int folded = CompareFolded(a, b);
    if (folded != 0) {
        return folded;
    }
    // Equal without case: the bytes decide, so that "README" and "Readme" are two names.
    int raw = a.compare(b);
    return raw < 0 ? -1 : (raw > 0 ? 1 : 0);
}

bool DifferOnlyInCase(const std::string& a, const std::string& b) {
    return a != b && CompareFolded(a, b) == 0;
}

// ---- Special folders -------------------------------------------------------------

std::string GetAppDataFolder() {
    std::string folder = XdgBaseFolder("XDG_DATA_HOME", ".local/share");
    if (folder.empty()) {
        return "/";
    }
    // A fresh account may not have it yet; the snapshot files are written into it.
    MakeFolders(folder, 0700);
    return WithSlash(folder);
}

std::string GetTemplatesFolder() {
    std::string folder = UserDirsValue("XDG_TEMPLATES_DIR");
    if (folder.empty()) {
        std::string home = HomeFolder();
        folder = home.empty() ? std::string("/") : InFolder(home, "Templates");
    }
    return WithSlash(folder);
}

std::string GetLocalSnapshotFolder() {
    const std::string folder = GetAppDataFolder() + "Tandemora";
    MakeFolders(folder, 0700);
    return folder + "/";
}

int OpenPrivateAppend(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
        fchmod(fd, st.st_mode & 0700);
    }
    return fd;
}

std::string GetStagingFolder() {
    std::string base = XdgBaseFolder("XDG_CACHE_HOME", ".cache");
    if (base.empty()) {
        base = PrivateTempBase();
    }
    std::string folder = InFolder(base, "Tandemora/staging");
    MakeFolders(folder, 0700);
    // Files on their way hold other people's data: only this user may look in.
    chmod(InFolder(base, "Tandemora").c_str(), 0700);
    chmod(folder.c_str(), 0700);
    return WithSlash(folder);
}

// ---- System services -----------------------------------------------------------

std::string AutostartEntryText(const std::string& ValueName, const std::string& ProgramPath) {
    // The program's icon lies beside it.
    const std::string icon = ProgramPath.substr(0, ProgramPath.rfind('/') + 1) + kProgramIconFileName;
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           DesktopString(ValueName) +
           "\n"
           "Exec=" +
           DesktopString(DesktopExecArgument(ProgramPath)) +
           "\n"
           "Icon=" +
           DesktopString(icon) +
           "\n"
           "Terminal=false\n";
}

void SetRunAtStartup(const std::string& ValueName, const std::string& Flag) {
    try {
        if (ValueName.empty() || ValueName.find('/') != std::string::npos) {
            throw EOSError("Not a usable autostart entry name: \"" + ValueName + "\"");
        }
        std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
        if (config.empty()) {
            throw EOSError("No home folder to keep the autostart entry in");
        }
        std::string folder = InFolder(config, "autostart");
        std::string path = InFolder(folder, ValueName + ".desktop");
        if (Trim(Flag).empty()) {
            // An entry that is not there is already what the caller wants.
            if (unlink(path.c_str()) != 0 && errno != ENOENT) {
                throw EOSError(ErrnoText("Cannot delete " + path));
            }
            return;
        }
        std::string program = ProgramPath();
        if (!MakeFolders(folder, 0700)) {
            throw EOSError(ErrnoText("Cannot create " + folder));
        }
        ReplaceFile(path, AutostartEntryText(ValueName, program));
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kRunAtStartupError, e);
    }
}

bool ShutdownComputer() {
    std::vector<std::string> command = GetPowerOffCommand();
    return !command.empty() && RunProcess(command) == 0;
}

void SetPowerOffCommand(const std::vector<std::string>& Command) {
    std::lock_guard<std::mutex> guard(powerOffLock);
    powerOffCommand = Command;
}

std::vector<std::string> GetPowerOffCommand() {
    std::lock_guard<std::mutex> guard(powerOffLock);
    return powerOffCommand;
}

std::string GetLoginUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        return found->pw_name;
    }
    return "";
}

std::string GetLocalComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

// ---- Name and path routines --------------------------------------------------------

bool IsValidFileName(const std::string& Name) {
    return Name.find_first_of("\\/:*?><|") == std::string::npos;
}

std::string ExcludeTrailingSlash(const std::string& S) {
    // Blanks behind the slash are looked past and go with it: "x/ " is the folder "x".
    auto dropFinal = [](const std::string& text, char slash) {
        size_t end = text.size();
        while (end > 0 && IsBlank(text[end - 1])) {
            --end;
        }
        return end > 0 && text[end - 1] == slash ? text.substr(0, end - 1) : text;
    };
    return dropFinal(dropFinal(S, '/'), '\\');
}

std::string ItemRelPath(const std::string& RelPath, const std::string& Name) {
    if (RelPath.empty() || RelPath.back() == '/') {
        return RelPath + Name;
    }
    return RelPath + "/" + Name;
}

std::string JoinPath(const std::string& A, const std::string& B, const std::string& Sep) {
    std::string left = A;
    std::string right = B;
    for (std::string* part : {&left, &right}) {
        if (Sep == "/") {
            std::replace(part->begin(), part->end(), '\\', '/');
        } else {
            ReplaceAll(*part, "/", Sep);
        }
    }
    if (right.compare(0, Sep.size(), Sep) != 0) {
        right = Sep + right;
    }
    if (!Sep.empty() && left.size() >= Sep.size() &&
        left.compare(left.size() - Sep.size(), Sep.size(), Sep) == 0) {
        left.erase(left.size() - Sep.size());
    }
    return left + right;
}

std::string GetPathBeforeLast(const std::string& Path, const std::string& Delim) {
    size_t pos = Delim.empty() ? std::string::npos : Path.rfind(Delim);
    return pos == std::string::npos ? std::string() : Path.substr(0, pos);
}

std::string GetLastPathPart(const std::string& Path, const std::string& Delim) {
    size_t pos = Delim.empty() ? std::string::npos : Path.rfind(Delim);
    return pos == std::string::npos ? Path : Path.substr(pos + Delim.size());
}

int CountDelimitedParts(const std::string& Delim, const std::string& Text) {
    std::string text = Text;
    ReplaceAll(text, Delim, "\r\n");
    // Lines as a text list reads them: CR, LF or CR LF ends a line, and a break at
    // the very end starts no further line.
    int count = 0;
    size_t i = 0;
    while (i < text.size()) {
        ++count;
        size_t pos = text.find_first_of("\r\n", i);
        if (pos == std::string::npos) {
            break;
        }
        i = pos + 1;
        if (text[pos] == '\r' && i < text.size() && text[i] == '\n') {
            ++i;
        }
    }
    return count;
}

std::string TrimBlanks(const std::string& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(s[end - 1])) {
        --end;
    }
    return s.substr(begin, end - begin);
}

int IndexOfTrimmed(const std::string& S, const std::vector<std::string>& List) {
    std::string wanted = Trim(S);
    for (size_t i = 0; i < List.size(); ++i) {
        if (Trim(List[i]) == wanted) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int AnsiCharCount(const std::string& S) {
    const auto* p = reinterpret_cast<const unsigned char*>(S.data());
    int count = 0;
    for (size_t i = 0; i < S.size(); ++count) {
        char32_t cp = 0;
        int len = DecodeUtf8(p, S.size(), i, cp);
        i += len > 0 ? static_cast<size_t>(len) : 1;
    }
    return count;
}

int BoolToInt(bool B) {
    return B ? 1 : 0;
}

bool IntToBool(int I) {
    return I == 1;
}

// ---- Time routines -----------------------------------------------------------------

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeapYear(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

constexpr std::int64_t kDays1601To1970 = 134774;
constexpr std::int64_t kMillisecondsPerDay = 86400000;

} // namespace

bool FileTimeToSysTime(TFileTime FileTime, TSystemTime& SystemTime) {
    if (FileTime >= (TFileTime(1) << 63)) {
        return false;
    }
    const auto totalMs = static_cast<std::int64_t>(FileTime / 10000);
    const std::int64_t days = totalMs / kMillisecondsPerDay;
    const std::int64_t msOfDay = totalMs % kMillisecondsPerDay;

    // Civil date from days since 1970-01-01 (shifted to an era starting in March).
    const std::int64_t z = days - kDays1601To1970 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);

    SystemTime.wYear = static_cast<std::uint16_t>(year);
    SystemTime.wMonth = static_cast<std::uint16_t>(month);
    SystemTime.wDay = static_cast<std::uint16_t>(doy - (153 * mp + 2) / 5 + 1);
    // 1601-01-01 was a Monday.
    SystemTime.wDayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);
    SystemTime.wHour = static_cast<std::uint16_t>(msOfDay / 3600000);
    SystemTime.wMinute = static_cast<std::uint16_t>(msOfDay / 60000 % 60);
    SystemTime.wSecond = static_cast<std::uint16_t>(msOfDay / 1000 % 60);
    SystemTime.wMilliseconds = static_cast<std::uint16_t>(msOfDay % 1000);
    return true;
}

TDateTime SystemTimeToDateTimeEx(const TSystemTime& SystemTime) {
    const TSystemTime& t = SystemTime;
    if (t.wYear < 1 || t.wYear > 9999 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > DaysInMonth(t.wYear, t.wMonth)) {
        throw EConvertError("Invalid argument to date encode");
    }
    if (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999) {
        throw EConvertError("Invalid argument to time encode");
    }
    const double date =
        static_cast<double>(DaysFromCivil(t.wYear, t.wMonth, t.wDay) - DaysFromCivil(1899, 12, 30));
    const double time =
        static_cast<double>(((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds) /
        static_cast<double>(kMillisecondsPerDay);
    return date >= 0 ? date + time : date - time;
}

// ---- String sort -----------------------------------------------------------------

void ShellSortStrings(TStringObjectList& List) {
    // CompareNames is a total order (texts differing only in letter case are still
    // told apart by their bytes), so every correct sort gives the same result, and an
    // O(n log n) sort keeps folders with hundreds of thousands of entries quick. The
    // locale's case-insensitive comparison is not used: it would let "Readme" and
    // "README" tie, and the merge walks that follow would pair the wrong files.
    std::stable_sort(List.begin(), List.end(), [](const auto& left, const auto& right) {
        return CompareNames(left.first, right.first) < 0;
    });
}

} // namespace tandemora
