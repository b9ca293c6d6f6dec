#pragma once
// Profile (INI) files read and written the way Windows does it, so option and
// language files made for the Windows program keep working unchanged:
//  - section and key names are matched without letter case; the first match wins;
//  - blanks around names and values are trimmed, then one pair of enclosing
//    quotes (single or double) is removed from a value;
//  - lines starting with ";" are comments;
//  - bytes are kept as they are (no re-encoding); CR LF and LF line ends both read.
// A write changes only the line it concerns (or appends a missing key or section)
// and keeps everything else of the file byte for byte, including its line ends.

#include <cstddef>
#include <string>
#include <vector>

namespace tandemora {

// Windows reads a profile string into a 2048-byte buffer: 2047 characters and the
// terminating zero. Callers that read through such a buffer pass this limit.
constexpr std::size_t kProfileBufferChars = 2047;

// The most a profile file (options, language file, stored settings) may hold;
// real ones hold a few kilobytes.
constexpr long long kMaxProfileBytes = 4LL << 20;

// Reads the whole of one of the program's own files: only a regular file (a
// link to one is fine), and at most Limit bytes, so that a FIFO can never block
// the start and a link to a device never fills the memory. Raises EFOpenError
// when it cannot be opened or is no regular file, EInOutError when it cannot be
// read or holds more than Limit bytes.
std::string ReadProgramFile(const std::string& path, long long limit);

// True when anything at all is found at Path (a file, a folder, a link, even a
// dangling one): something "exists" there, whether or not it can be read.
bool ProfileFileExists(const std::string& path);

// One profile file held in memory. Reads never touch the disk after loading;
// writes change the copy in memory until UpdateFile writes it back.
class TProfile {
public:
    // An empty profile that belongs to no file.
    TProfile() = default;
    // Loads FileName. A missing file gives an empty profile (as Windows reads it);
    // a file that exists but cannot be read (a folder, a FIFO, a link to nothing)
    // raises EFOpenError, one larger than kMaxProfileBytes EInOutError.
    explicit TProfile(const std::string& fileName);
    // A profile read from text held in memory (a server's reply, say); it belongs
    // to no file.
    static TProfile FromText(const std::string& bytes);

    const std::string& FileName() const { return fileName_; }

    // The value of Key in Section, or Default when either is missing. A Limit cuts the
    // value to at most that many bytes (never inside a UTF-8 character).
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                           std::size_t limit = std::string::npos) const;
    // The value as a 32-bit integer: decimal with an optional sign, or hexadecimal
    // written "$1F" or "0x1F". Anything else, and a missing key, gives Default.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Every section name, in file order, each once (the first spelling met).
    std::vector<std::string> ReadSections() const;
    // The key names of the first section called Section, in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;

    // Sets Key in Section: the first matching line is rewritten in place; a missing
    // key is added after the section's last entry; a missing section is appended at
    // the end. A value with blanks at either end, or enclosed in quotes, is written
    // in double quotes so that it reads back exactly. A value holding a line break
    // cannot be stored and raises EFCreateError.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Appends an empty section when no section of that name exists.
    void AddSection(const std::string& section);
    // Removes the first line of Key in Section; false when there was none.
    bool DeleteKey(const std::string& section, const std::string& key);

    // Writes the profile back to its file as a whole: a temporary file in the same
    // folder is written, flushed and renamed over the old one, so a failure leaves
    // the old file as it was. An existing file keeps its permission bits; a new one
    // gets NewFileMode. A link is followed and its target replaced. Raises
    // EFCreateError (or EInOutError for a short write) and leaves the file as it was.
    void UpdateFile(unsigned newFileMode = 0644) const;

private:
    struct Line {
        std::string text; // the line without its end
        std::string eol;  // "\r\n", "\n"; for a last line "" or a lone "\r"
    };

    // The index of the first line of the first section called Section, or npos.
    std::size_t FindSection(const std::string& section) const;
    // The index of the first line of Key within the section whose header is at
    // SectionLine, or npos.
    std::size_t FindKey(std::size_t sectionLine, const std::string& key) const;
    // The index just past the section's last entry (where a new key goes).
    std::size_t SectionInsertPoint(std::size_t sectionLine) const;
    std::string NewLineEnd() const;
    void Parse(const std::string& bytes);

    std::string fileName_;
    std::vector<Line> lines_;
    bool bom_ = false;
};

} // namespace tandemora
