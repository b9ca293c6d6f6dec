#include "engine/UTRunStamp.h"

#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "tasks/UTSyncTask.h"

#include <cstdint>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace tandemora {

namespace {

// FNV-1a over a text, with its length: enough to tell two snapshot texts
// apart; nobody gains anything by forging one. Fed as the text is written, so a
// large snapshot is not held twice.
class TDigest : public std::streambuf {
public:
    void Add(const char* text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            hash_ ^= static_cast<unsigned char>(text[i]);
            hash_ *= 1099511628211ULL;
        }
        size_ += count;
    }
    std::string Text() const {
        std::ostringstream out;
        out << std::hex << hash_ << std::dec << ":" << size_;
        return out.str();
    }

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char one = traits_type::to_char_type(c);
            Add(&one, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        Add(text, static_cast<size_t>(count));
        return count;
    }

private:
    uint64_t hash_ = 1469598103934665603ULL;
    uint64_t size_ = 0;
};

std::string Digest(const std::string& text) {
    TDigest digest;
    digest.Add(text.data(), text.size());
    return digest.Text();
}

// Snapshots at another place hold texts of their own time; back at that place,
// one of them may read exactly as the one written since at the place in between,
// and the pair would pass. So the stamp names the place its pair was written to.
std::string Placed(const TSyncTask& task, const std::string& stamp) {
    return "P " + std::to_string(task.SnapshotPlace()) + "\r\n" + stamp;
}

// The line that names the zone: "Z <January> <July>". It is no part of what
// Matches compares.
const char* const ZoneMark = "Z ";

std::string ZoneLine(const TZoneOffsets& zone) {
    return ZoneMark + std::to_string(zone.January) + " " + std::to_string(zone.July) + "\r\n";
}

// The stamp without its zone line.
std::string WithoutZone(const std::string& stamp) {
    const size_t at = stamp.find(std::string("\r\n") + ZoneMark);
    if (at == std::string::npos) {
        return stamp;
    }
    const size_t end = stamp.find("\r\n", at + 2);
    return stamp.substr(0, at + 2) + (end == std::string::npos ? "" : stamp.substr(end + 2));
}

long OffsetAt(int year, int month) {
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = 15;
    fields.tm_hour = 12;
    const time_t when = timegm(&fields);
    tm local{};
    return localtime_r(&when, &local) != nullptr ? local.tm_gmtoff : 0;
}

std::string DigestOf(const TFileTree* root) {
    TDigest digest;
    std::ostream out(&digest);
    root->SaveToStream(out, root->Name);
    return digest.Text();
}

} // namespace

std::string TRunStamp::Of(const std::string& LeftText, const std::string& RightText) {
    return "L " + Digest(LeftText) + "\r\nR " + Digest(RightText) + "\r\n";
}

std::string TRunStamp::Of(const TFileTree* Left, const TFileTree* Right) {
    return "L " + DigestOf(Left) + "\r\nR " + DigestOf(Right) + "\r\n";
}

std::string TRunStamp::Read(const TSyncTask& Task) {
    try {
        std::ifstream in(Task.RunStampPath(), std::ios::binary);
        if (!in) {
            return "";
        }
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    } catch (...) {
        return "";
    }
}

TZoneOffsets TZoneOffsets::Now() {
    const time_t now = time(nullptr);
    tm local{};
    const int year = localtime_r(&now, &local) != nullptr ? local.tm_year + 1900 : 2000;
    return {OffsetAt(year, 1), OffsetAt(year, 7)};
}

bool TRunStamp::Write(const TSyncTask& Task, const std::string& Stamp) {
    try {
        return ReplaceLocalFile(Task.RunStampPath(), Placed(Task, Stamp) + ZoneLine(TZoneOffsets::Now()));
    } catch (...) {
        return false;
    }
}

void TRunStamp::Remove(const TSyncTask& Task) {
    try {
        const std::string path = Task.RunStampPath();
        if (fs::FileExists(path)) {
            fs::DeleteFile(path);
        }
    } catch (...) {
        // A task whose identity names no file has no stamp either.
    }
}

bool TRunStamp::Matches(const TSyncTask& Task, const TFileTree* Left, const TFileTree* Right) {
    const std::string stamp = Read(Task);
    return !stamp.empty() && WithoutZone(stamp) == Placed(Task, Of(Left, Right));
}

bool TRunStamp::WrittenIn(const TSyncTask& Task, TZoneOffsets& Zone) {
    const std::string stamp = Read(Task);
    const size_t at = stamp.find(std::string("\r\n") + ZoneMark);
    if (at == std::string::npos) {
        return false;
    }
    std::istringstream line(stamp.substr(at + 4));
    TZoneOffsets zone;
    if (!(line >> zone.January >> zone.July)) {
        return false;
    }
    Zone = zone;
    return true;
}

bool TRunStamp::ReplaceLocalFile(const std::string& Path, const std::string& Text) {
    try {
        if (!fs::DirectoryExists(GetLocalSnapshotFolder())) {
            return false;
        }
        const std::string temp = Path + ".p";
        if (fs::FileExists(temp)) {
            fs::ClearReadOnly(temp);
        }
        fs::TFileHandle out;
        // A temporary file left by an earlier run keeps its mode when reopened.
        if (!out.Create(temp, 0600) || fchmod(out.Fd(), 0600) != 0) {
            return false;
        }
        bool ok = out.WriteAll(Text.data(), Text.size()) && out.Sync();
        ok = out.Close() && ok;
        if (!ok || !fs::RenameFile(temp, Path)) {
            fs::DeleteFile(temp);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace tandemora
