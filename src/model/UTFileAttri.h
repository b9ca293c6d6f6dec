#pragma once
// One file or folder as listed on an endpoint.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tandemora {

// The containing folder of an entry, relative to the endpoint root. Every entry
// listed from one folder carries the same text, and a large tree has hundreds of
// thousands of entries, so the text is kept once per folder and shared: copying
// a TRelPath copies a reference to the same text, which never changes. Assigning
// another path to one entry gives that entry new text of its own and leaves its
// siblings as they were. An empty path holds no text at all.
//
// Reads like the std::string it stands for: it is made from a string, converts
// to const std::string&, and compares and concatenates with strings. Since the
// conversions go both ways, `cond ? entry.RelPath : std::string()` is ambiguous;
// such code takes entry.RelPath.str().
class TRelPath {
public:
    TRelPath() = default;
    TRelPath(std::string&& text) {
        if (!text.empty()) {
            text_ = std::make_shared<const std::string>(std::move(text));
        }
    }
    TRelPath(const std::string& text) : TRelPath(std::string(text)) {}
    TRelPath(const char* text) : TRelPath(std::string(text)) {}

    const std::string& str() const { return text_ ? *text_ : NoText(); }
    operator const std::string&() const { return str(); }

    bool empty() const { return !text_; }
    size_t size() const { return str().size(); }
    char back() const { return str().back(); }
    const char* c_str() const { return str().c_str(); }

    // True when both hold the very same text (not merely equal text).
    bool SharesText(const TRelPath& other) const { return text_ == other.text_; }

private:
    static const std::string& NoText() {
        static const std::string none;
        return none;
    }

    std::shared_ptr<const std::string> text_;
};

inline bool operator==(const TRelPath& a, const TRelPath& b) {
    return a.SharesText(b) || a.str() == b.str();
}
inline bool operator==(const TRelPath& a, const std::string& b) {
    return a.str() == b;
}
inline bool operator==(const TRelPath& a, const char* b) {
    return a.str() == b;
}

inline std::string operator+(const TRelPath& a, const std::string& b) {
    return a.str() + b;
}
inline std::string operator+(const std::string& a, const TRelPath& b) {
    return a + b.str();
}
inline std::string operator+(const TRelPath& a, const char* b) {
    return a.str() + b;
}
inline std::string operator+(const char* a, const TRelPath& b) {
    return a + b.str();
}

std::ostream& operator<<(std::ostream& stream, const TRelPath& path);

class TFileAttri {
public:
    int32_t IsFolder = 0; // 1 folder, 0 file
    // Where the last-write instant lies within its 2-second step, in nanoseconds
    // (seconds mod 2, then the fraction): what Time cannot tell apart. -1 where
    // nothing finer than Time is known (servers, snapshot text); the other
    // values below zero say that Time is coarser than its steps (tfMinuteOnly...).
    int32_t TimeFraction = -1;
    std::string Name; // bare name, no path
    int64_t Size = 0; // bytes; 0 for listed folders, -1 marks a folder in snapshot text
    int32_t Time = 0; // last-write time as a DOS date-time (2-second steps), compared signed
    int32_t Attr = 0; // 1 read-only, 2 hidden, 4 system, 16 folder, 32 archive
    TRelPath RelPath; // containing folder relative to the endpoint root, e.g. "\" or "\sub\"
};

// TimeFraction below zero: how much of Time is known. An FTP server that lists
// with LIST and tells no exact time (MDTM) shows a file's minute, or only its
// day for older files: the file's instant lies anywhere within it.
enum : int32_t {
    tfUnknown = -1,    // nothing finer than Time (to its 2-second step)
    tfMinuteOnly = -2, // Time is the start of the minute the listing showed
    tfDayOnly = -3,    // Time is the start of the day the listing showed
    // As tfMinuteOnly, but listed while that minute still ran by the server's
    // clock: a later change within the same minute would be listed alike.
    tfMinuteOpen = -4,
};

// A tfMinuteOpen time that also carries a digest of the bytes the sync knew the
// file to hold (30 bits; see TSameContent::DigestOf): below tfMinuteOpen.
inline int32_t MinuteOpenWith(uint32_t Digest) {
    return tfMinuteOpen - 1 - static_cast<int32_t>(Digest & 0x3FFFFFFFu);
}
inline bool IsMinuteOpen(int32_t Fraction) {
    return Fraction <= tfMinuteOpen;
}
// The digest a MinuteOpenWith value carries; false for any other value.
inline bool OpenMinuteDigest(int32_t Fraction, uint32_t& Digest) {
    if (Fraction >= tfMinuteOpen) {
        return false;
    }
    Digest = static_cast<uint32_t>(tfMinuteOpen - 1 - Fraction);
    return true;
}

// File attribute bits as the file model stores them.
enum : int32_t {
    faReadOnly = 1,
    faHidden = 2,
    faSysFile = 4,
    faVolumeID = 8,
    faDirectory = 16,
    faArchive = 32,
    faNormal = 128,
};

using FileList = std::vector<TFileAttri*>;

// Whether a name read from a listing or a snapshot can stand for one item inside
// its folder. An empty name, "." and ".." would name the folder itself or its
// parent, and a "/" or NUL would make a path built from the name lead somewhere
// else; such an entry means the listing or snapshot is damaged.
inline bool IsSafeItemName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

} // namespace tandemora
