#include "platform/Profile.h"

#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandemora {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(s[end - 1])) {
        --end;
    }
    return s.substr(begin, end - begin);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// Removes one pair of matching enclosing quotes, as the profile reader does.
std::string Unquote(const std::string& value) {
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// "[name]" (blanks allowed around and inside): true with the trimmed name.
bool ParseSectionHeader(const std::string& text, std::string& name) {
    std::string t = Trim(text);
    if (t.empty() || t.front() != '[') {
        return false;
    }
    std::size_t close = t.find(']');
    if (close == std::string::npos) {
        close = t.size();
    }
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value": true with the trimmed key and the raw text after "=". Comments and
// lines without "=" are no entries.
bool ParseEntry(const std::string& text, std::string& key, std::string& rawValue) {
    std::string t = Trim(text);
    if (t.empty() || t.front() == ';' || t.front() == '[') {
        return false;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    key = Trim(t.substr(0, eq));
    rawValue = t.substr(eq + 1);
    return true;
}

std::string EntryValue(const std::string& rawValue) {
    return Unquote(Trim(rawValue));
}

// A value that would not read back unchanged as written (blanks at an end, or
// enclosing quotes that the reader would strip) is wrapped in double quotes.
std::string EncodeValue(const std::string& value) {
    if (EntryValue(value) == value) {
        return value;
    }
    return "\"" + value + "\"";
}

// Cuts Text to at most Limit bytes without splitting a UTF-8 character.
std::string Cut(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

bool ParseInteger(const std::string& text, int& result) {
    std::string t = Trim(text);
    bool negative = false;
    std::size_t pos = 0;
    if (pos < t.size() && (t[pos] == '-' || t[pos] == '+')) {
        negative = t[pos] == '-';
        ++pos;
    }
    int base = 10;
    if (pos < t.size() && t[pos] == '$') {
        base = 16;
        ++pos;
    } else if (pos + 1 < t.size() && t[pos] == '0' && (t[pos + 1] == 'x' || t[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    if (pos >= t.size()) {
        return false;
    }
    long long value = 0;
    for (; pos < t.size(); ++pos) {
        char c = LowerAscii(t[pos]);
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (digit < 0) {
            return false;
        }
        value = value * base + digit;
        if (value > 0x100000000LL) {
            return false;
        }
    }
    if (negative) {
        value = -value;
    }
    // Hexadecimal may spell a negative number by its 32-bit pattern ($FFFFFFFF is -1).
    if (base == 16 && value > INT_MAX && value <= 0xFFFFFFFFLL) {
        value -= 0x100000000LL;
    }
    if (value < INT_MIN || value > INT_MAX) {
        return false;
    }
    result = static_cast<int>(value);
    return true;
}

// Gives the last line a whole line end before another line follows it: a lone CR
// becomes the CR LF it was cut from, a missing end becomes Eol.
void EndLine(std::string& lastEol, const std::string& eol) {
    if (lastEol.empty()) {
        lastEol = eol;
    } else if (lastEol == "\r") {
        lastEol = "\r\n";
    }
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// The file a write must replace: the target of a link (so the link survives), the
// path itself otherwise.
std::string WriteTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces Path by Bytes: temporary file beside it, flushed, renamed over it.
void ReplaceFileAtomically(const std::string& path, const std::string& bytes, unsigned newFileMode) {
    std::string target = WriteTarget(path);
    struct stat old;
    bool existed = stat(target.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        throw EFCreateError("Cannot create file \"" + path + "\". Not a regular file");
    }
    std::string temp = target + ".tmp-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        throw EFCreateError("Cannot create file \"" + path + "\". " + ErrnoText(errno));
    }
    mode_t mode = existed ? (old.st_mode & 07777) : static_cast<mode_t>(newFileMode);
    bool ok = fchmod(fd, mode) == 0;
    int err = ok ? 0 : errno;
    if (ok && !WriteAll(fd, bytes)) {
        ok = false;
        err = errno;
    }
    if (ok && fsync(fd) != 0) {
        ok = false;
        err = errno;
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        throw EInOutError("Cannot write file \"" + path + "\". " + ErrnoText(err));
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        unlink(temp.c_str());
        throw EFCreateError("Cannot replace file \"" + path + "\". " + ErrnoText(err));
    }
    // Make the new name durable too; a failure here loses nothing already written.
    int dir = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

} // namespace

std::string ReadProgramFile(const std::string& path, long long limit) {
    std::string bytes;
    const fs::ReadResult result = fs::ReadRegularFile(path, limit, bytes);
    const int code = errno;
    switch (result) {
    case fs::ReadResult::Read:
        return bytes;
    case fs::ReadResult::NotOpened:
        throw EFOpenError("Cannot open file \"" + path + "\". " + ErrnoText(code));
    case fs::ReadResult::NotRegular:
        throw EFOpenError("Cannot open file \"" + path + "\". It is not a regular file");
    case fs::ReadResult::TooLarge:
        throw EInOutError("Cannot read file \"" + path + "\". It is larger than " +
                          std::to_string(limit >> 20) + " MiB");
    case fs::ReadResult::ReadFailed:
        break;
    }
    throw EInOutError("Cannot read file \"" + path + "\". " + ErrnoText(code));
}

bool ProfileFileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TProfile::TProfile(const std::string& fileName) : fileName_(fileName) {
    // A link whose target is gone is there but cannot be read. Taking it for a
    // missing file would hand out the defaults as if they were the user's
    // options, and the next write would replace the link by a fresh file.
    if (!ProfileFileExists(fileName)) {
        return;
    }
    Parse(ReadProgramFile(fileName, kMaxProfileBytes));
}

TProfile TProfile::FromText(const std::string& bytes) {
    TProfile profile;
    profile.Parse(bytes);
    return profile;
}

void TProfile::Parse(const std::string& bytes) {
    std::size_t pos = 0;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        bom_ = true;
        pos = 3;
    }
    while (pos < bytes.size()) {
        std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string::npos) {
            // A CR that ends the text is a line end cut short, read as the CR of a
            // CR LF is: not part of the value, and written back as it came.
            const bool cr = bytes.back() == '\r';
            lines_.push_back(Line{bytes.substr(pos, bytes.size() - pos - (cr ? 1 : 0)), cr ? "\r" : ""});
            break;
        }
        bool crlf = lf > pos && bytes[lf - 1] == '\r';
        std::size_t end = crlf ? lf - 1 : lf;
        lines_.push_back(Line{bytes.substr(pos, end - pos), std::string(crlf ? "\r\n" : "\n")});
        pos = lf + 1;
    }
}

std::size_t TProfile::FindSection(const std::string& section) const {
    std::string name;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (ParseSectionHeader(lines_[i].text, name) && SameName(name, section)) {
            return i;
        }
    }
    return std::string::npos;
}

std::size_t TProfile::FindKey(std::size_t sectionLine, const std::string& key) const {
    std::string name;
    std::string raw;
    for (std::size_t i = sectionLine + 1; i < lines_.size(); ++i) {
        if (ParseSectionHeader(lines_[i].text, name)) {
            break;
        }
        if (ParseEntry(lines_[i].text, name, raw) && SameName(name, key)) {
            return i;
        }
    }
    return std::string::npos;
}

std::size_t TProfile::SectionInsertPoint(std::size_t sectionLine) const {
    std::size_t insert = sectionLine + 1;
    std::string name;
    for (std::size_t i = sectionLine + 1; i < lines_.size(); ++i) {
        if (ParseSectionHeader(lines_[i].text, name)) {
            break;
        }
        if (!Trim(lines_[i].text).empty()) {
            insert = i + 1;
        }
    }
    return insert;
}

std::string TProfile::NewLineEnd() const {
    for (const Line& line : lines_) {
        if (!line.eol.empty() && line.eol.back() == '\n') {
            return line.eol;
        }
    }
    return "\n";
}

std::string TProfile::ReadString(const std::string& section, const std::string& key, const std::string& def,
                                 std::size_t limit) const {
    std::size_t sectionLine = FindSection(section);
    if (sectionLine == std::string::npos) {
        return Cut(def, limit);
    }
    std::size_t keyLine = FindKey(sectionLine, key);
    if (keyLine == std::string::npos) {
        return Cut(def, limit);
    }
    std::string name;
    std::string raw;
    ParseEntry(lines_[keyLine].text, name, raw);
    return Cut(EntryValue(raw), limit);
}

int TProfile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    int value = def;
    if (!ParseInteger(ReadString(section, key, ""), value)) {
        return def;
    }
    return value;
}

bool TProfile::SectionExists(const std::string& section) const {
    return FindSection(section) != std::string::npos;
}

bool TProfile::ValueExists(const std::string& section, const std::string& key) const {
    std::size_t sectionLine = FindSection(section);
    return sectionLine != std::string::npos && FindKey(sectionLine, key) != std::string::npos;
}

std::vector<std::string> TProfile::ReadSections() const {
    std::vector<std::string> result;
    std::string name;
    for (const Line& line : lines_) {
        if (!ParseSectionHeader(line.text, name)) {
            continue;
        }
        bool seen = false;
        for (const std::string& known : result) {
            seen = seen || SameName(known, name);
        }
        if (!seen) {
            result.push_back(name);
        }
    }
    return result;
}

std::vector<std::string> TProfile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    std::size_t sectionLine = FindSection(section);
    if (sectionLine == std::string::npos) {
        return keys;
    }
    std::string name;
    std::string raw;
    for (std::size_t i = sectionLine + 1; i < lines_.size(); ++i) {
        if (ParseSectionHeader(lines_[i].text, name)) {
            break;
        }
        if (ParseEntry(lines_[i].text, name, raw)) {
            keys.push_back(name);
        }
    }
    return keys;
}

void TProfile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos ||
        key.find_first_of("\r\n=[") != std::string::npos ||
        section.find_first_of("\r\n]") != std::string::npos) {
        throw EFCreateError("A profile entry cannot store a line break, nor \"=\" in its name: [" + section +
                            "] " + key);
    }
    std::string eol = NewLineEnd();
    std::string entry = key + "=" + EncodeValue(value);
    std::size_t sectionLine = FindSection(section);
    if (sectionLine == std::string::npos) {
        AddSection(section);
        lines_.push_back({entry, eol});
        return;
    }
    std::size_t keyLine = FindKey(sectionLine, key);
    if (keyLine != std::string::npos) {
        std::string name;
        std::string raw;
        ParseEntry(lines_[keyLine].text, name, raw);
        // Keep the key as the file spells it; only the value changes.
        lines_[keyLine].text = name + "=" + EncodeValue(value);
        return;
    }
    std::size_t insert = SectionInsertPoint(sectionLine);
    if (insert == lines_.size()) {
        EndLine(lines_.back().eol, eol);
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert), Line{entry, eol});
}

void TProfile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TProfile::AddSection(const std::string& section) {
    if (section.find_first_of("\r\n]") != std::string::npos) {
        throw EFCreateError("A profile section name cannot hold a line break or \"]\": " + section);
    }
    if (FindSection(section) != std::string::npos) {
        return;
    }
    std::string eol = NewLineEnd();
    if (!lines_.empty()) {
        EndLine(lines_.back().eol, eol);
    }
    lines_.push_back({"[" + section + "]", eol});
}

bool TProfile::DeleteKey(const std::string& section, const std::string& key) {
    std::size_t sectionLine = FindSection(section);
    if (sectionLine == std::string::npos) {
        return false;
    }
    std::size_t keyLine = FindKey(sectionLine, key);
    if (keyLine == std::string::npos) {
        return false;
    }
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(keyLine));
    return true;
}

void TProfile::UpdateFile(unsigned newFileMode) const {
    if (fileName_.empty()) {
        throw EFCreateError("Cannot create file: the profile has no file name");
    }
    std::string bytes = bom_ ? "\xEF\xBB\xBF" : "";
    for (const Line& line : lines_) {
        bytes += line.text;
        bytes += line.eol;
    }
    ReplaceFileAtomically(fileName_, bytes, newFileMode);
}

} // namespace tandemora
