#include "engine/UTRunStamp.h"

#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/MountWatch.h"
#include "tasks/UTSyncTask.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <system_error>

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

// What a local file is written through: blocks go to the open file and to the
// digest as they fill, so the text is never held whole. A write that fails makes
// the stream fail (and the file is not used).
class TFileWriteBuffer : public std::streambuf {
public:
    TFileWriteBuffer(fs::TFileHandle& file, TDigest& digest) : file_(file), digest_(digest), block_(65536) {
        setp(block_.data(), block_.data() + block_.size());
    }
    bool Failed() const { return failed_; }

protected:
    int_type overflow(int_type c) override {
        if (!Drain()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return Drain() ? 0 : -1; }

private:
    bool Drain() {
        const size_t count = static_cast<size_t>(pptr() - pbase());
        if (failed_ || (count > 0 && !file_.WriteAll(pbase(), count))) {
            failed_ = true;
            return false;
        }
        digest_.Add(pbase(), count);
        setp(block_.data(), block_.data() + block_.size());
        return true;
    }

    fs::TFileHandle& file_;
    TDigest& digest_;
    std::vector<char> block_;
    bool failed_ = false;
};

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

// The mount points below the local sides, one record per folder: the side's
// letter, the relative path, a NUL (names may hold any other byte). Before a
// side's folders, the root they are relative to: the side's letter in lower
// case, the root, a NUL; the folders of another root (the task's folder was
// changed since) say nothing about this one.
std::string MountsPath(const TSyncTask& task) {
    return task.RunStampPath() + ".mounts";
}

// The side's root as the mount table names folders (links resolved); empty for
// a side that is no local folder.
std::string RealRoot(const TFolderSource& side) {
    const std::string root = TrimBlanks(side.FolerAllName);
    if (side.DeviceType != dtLocal || root.empty() || fs::IsUncPath(root)) {
        return "";
    }
    char* real = realpath(root.c_str(), nullptr);
    if (real == nullptr) {
        return "";
    }
    std::string result(real);
    free(real);
    return result;
}

// Whether the folder holds nothing but hidden items (or nothing at all): how a
// mount point looks with nothing mounted on it.
bool NothingVisibleIn(const std::string& folder) {
    bool visible = false;
    const int error = fs::ListFolder(folder, [&visible](const fs::DirEntry& entry) {
        visible = visible || (entry.Attr & fs::faHidden) == 0;
    });
    return error == 0 && !visible;
}

std::vector<std::string> MountsBelow(const std::string& root, const TMountTable& table) {
    std::vector<std::string> found;
    const std::string prefix = root == "/" ? root : root + "/";
    for (const TMountEntry& entry : table) {
        if (entry.MountPoint == root) {
            found.emplace_back();
        } else if (entry.MountPoint.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(entry.MountPoint.substr(prefix.size()));
        }
    }
    return found;
}

// What Write keeps for the next analysis: the folders mounted now, and those
// mounted before that still hold no visible item (their disk is still away, and
// the items the snapshot lists for them are still held back).
void WriteMounts(const TSyncTask& task) {
    TMountTable table;
    const bool tableRead = ReadMountTable(kMountTablePath, table);
    std::string text;
    for (int32_t side : {0, 1}) {
        const std::string root = RealRoot(side == 0 ? task.LFolder : task.RFolder);
        if (root.empty()) {
            continue;
        }
        std::vector<std::string> folders = tableRead ? MountsBelow(root, table) : std::vector<std::string>();
        for (const std::string& before : TRunStamp::MountedFolders(task, side)) {
            const std::string path = before.empty() ? root : root + "/" + before;
            if ((!tableRead || NothingVisibleIn(path)) &&
                std::find(folders.begin(), folders.end(), before) == folders.end()) {
                folders.push_back(before);
            }
        }
        if (!folders.empty()) {
            text += (side == 0 ? 'l' : 'r') + root + '\0';
        }
        for (const std::string& folder : folders) {
            text += (side == 0 ? 'L' : 'R') + folder + '\0';
        }
    }
    if (text.empty()) {
        if (fs::FileExists(MountsPath(task))) {
            fs::DeleteFile(MountsPath(task));
        }
        return;
    }
    TRunStamp::ReplaceLocalFile(MountsPath(task), text);
}

// The finer file times of the pair of snapshots a stamp names: the stamp's text,
// then for each side "L n" or "R n" and one line per node of its tree in the
// order the snapshot text lists them ("-" where nothing finer is known, "m"
// for a time a server listed to the minute while that minute still ran, with
// the digest of the file's bytes after it where the sync knew them).
std::string FineTimesPath(const TSyncTask& task) {
    return task.RunStampPath() + ".times";
}

template <typename Visit> void EachNode(const TFileTree* node, const Visit& visit) {
    for (const TFileTree* child : node->Children) {
        visit(child);
        EachNode(child, visit);
    }
}

void AddFineTimes(std::string& text, char side, const TFileTree* tree) {
    std::string lines;
    size_t count = 0;
    EachNode(tree, [&](const TFileTree* node) {
        const int32_t fraction = node->Data != nullptr ? node->Data->TimeFraction : -1;
        uint32_t digest = 0;
        if (fraction >= 0) {
            lines += std::to_string(fraction);
        } else if (OpenMinuteDigest(fraction, digest)) {
            lines += "m" + std::to_string(digest);
        } else {
            lines += fraction == tfMinuteOpen ? "m" : "-";
        }
        lines += '\n';
        ++count;
    });
    text += side;
    text += ' ' + std::to_string(count) + '\n' + lines;
}

// Reads one side's block at pos into its snapshot tree; false (tree untouched
// where it has not been reached) when the block does not fit the tree.
bool TakeFineTimes(const std::string& text, size_t& pos, char side, TFileTree* tree) {
    auto nextLine = [&](std::string& line) {
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            return false;
        }
        line.assign(text, pos, end - pos);
        pos = end + 1;
        return true;
    };
    std::string line;
    if (!nextLine(line) || line.size() < 3 || line[0] != side || line[1] != ' ') {
        return false;
    }
    size_t count = 0;
    EachNode(tree, [&count](const TFileTree*) { ++count; });
    if (line.substr(2) != std::to_string(count)) {
        return false;
    }
    std::vector<int32_t> fractions;
    fractions.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (!nextLine(line)) {
            return false;
        }
        if (line == "-" || line == "m") {
            fractions.push_back(line == "m" ? tfMinuteOpen : tfUnknown);
            continue;
        }
        if (line[0] == 'm') {
            char* end = nullptr;
            const unsigned long digest = std::strtoul(line.c_str() + 1, &end, 10);
            if (*end != '\0' || digest > 0x3FFFFFFFul || !std::isdigit(static_cast<unsigned char>(line[1]))) {
                return false;
            }
            fractions.push_back(MinuteOpenWith(static_cast<uint32_t>(digest)));
            continue;
        }
        char* end = nullptr;
        const long value = std::strtol(line.c_str(), &end, 10);
        if (line.empty() || *end != '\0' || value < 0 || value >= 2000000000L) {
            return false;
        }
        fractions.push_back(static_cast<int32_t>(value));
    }
    size_t i = 0;
    EachNode(tree, [&](const TFileTree* node) {
        if (node->Data != nullptr && node->Data->IsFolder == 0) {
            node->Data->TimeFraction = fractions[i];
        }
        ++i;
    });
    return true;
}

void WriteFineTimes(const TSyncTask& task, const std::string& placed, const TFileTree* left,
                    const TFileTree* right) {
    std::string text = placed + "F\n";
    AddFineTimes(text, 'L', left);
    AddFineTimes(text, 'R', right);
    if (!TRunStamp::ReplaceLocalFile(FineTimesPath(task), text) && fs::FileExists(FineTimesPath(task))) {
        // Times of an older pair must not be taken for this one's.
        fs::DeleteFile(FineTimesPath(task));
    }
}

} // namespace

void TRunStamp::LoadFineTimes(const TSyncTask& Task, TFileTree* Left, TFileTree* Right) {
    if (Left == nullptr || Right == nullptr) {
        return;
    }
    try {
        std::ifstream in(FineTimesPath(Task), std::ios::binary);
        if (!in) {
            return;
        }
        std::ostringstream read;
        read << in.rdbuf();
        const std::string text = read.str();
        const std::string head = Read(Task) + "F\n";
        if (head.size() <= 2 || text.compare(0, head.size(), head) != 0) {
            return;
        }
        size_t pos = head.size();
        if (TakeFineTimes(text, pos, 'L', Left)) {
            TakeFineTimes(text, pos, 'R', Right);
        }
    } catch (...) {
        // Without them the comparison goes by DOS times, as the snapshots say.
    }
}

std::vector<std::string> TRunStamp::MountedFolders(const TSyncTask& Task, int32_t Side) {
    std::vector<std::string> folders;
    try {
        std::ifstream in(MountsPath(Task), std::ios::binary);
        std::string record;
        bool otherRoot = false; // records written before roots were kept name none
        while (std::getline(in, record, '\0')) {
            if (!record.empty() && record[0] == (Side == 0 ? 'L' : 'R')) {
                folders.push_back(record.substr(1));
            } else if (!record.empty() && record[0] == (Side == 0 ? 'l' : 'r')) {
                otherRoot = record.substr(1) != RealRoot(Side == 0 ? Task.LFolder : Task.RFolder);
            }
        }
        if (otherRoot) {
            folders.clear();
        }
    } catch (...) {
        folders.clear();
    }
    return folders;
}

std::string TRunStamp::Of(const std::string& LeftText, const std::string& RightText) {
    return OfDigests(DigestOf(LeftText), DigestOf(RightText));
}

std::string TRunStamp::OfDigests(const std::string& LeftDigest, const std::string& RightDigest) {
    return "L " + LeftDigest + "\r\nR " + RightDigest + "\r\n";
}

std::string TRunStamp::DigestOf(std::string_view Text) {
    TDigest digest;
    digest.Add(Text.data(), Text.size());
    return digest.Text();
}

std::string TRunStamp::DigestOf(const TFileTree* Tree, const std::string& RootName) {
    TDigest digest;
    std::ostream out(&digest);
    Tree->SaveToStream(out, RootName);
    return digest.Text();
}

std::string TRunStamp::Of(const TFileTree* Left, const TFileTree* Right) {
    // Each digest is a walk of its own tree that only reads it: the two are
    // made side by side, which halves what the check adds to an analysis.
    std::future<std::string> left;
    try {
        left = std::async(std::launch::async, [Left] { return DigestOf(Left, Left->Name); });
    } catch (const std::system_error&) {
        // No thread to be had: one after the other, as before.
        return OfDigests(DigestOf(Left, Left->Name), DigestOf(Right, Right->Name));
    }
    const std::string right = DigestOf(Right, Right->Name);
    return OfDigests(left.get(), right);
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

int32_t TZoneOffsets::MovedHere(int32_t Then) const {
    const int month = (Then >> 21) & 0x0F;
    const bool julyOffset = (month >= 4 && month <= 9) || (month == 10 && July > January);
    time_t asIfHere = 0;
    tm fields{};
    if (!fs::DosTimeToUnix(Then, asIfHere) || localtime_r(&asIfHere, &fields) == nullptr) {
        return Then;
    }
    // The fields of Then read as UTC, less the offset they were written with.
    const time_t fieldsAsUtc = asIfHere + fields.tm_gmtoff;
    return fs::UnixToDosTime(timespec{fieldsAsUtc - (julyOffset ? July : January), 0});
}

bool TRunStamp::Write(const TSyncTask& Task, const std::string& Stamp, const TFileTree* Left,
                      const TFileTree* Right) {
    try {
        // The stamp as the file holds it, with the zone its snapshots were
        // written in; the fine times are tied to exactly that text.
        const std::string written = Placed(Task, Stamp) + ZoneLine(TZoneOffsets::Now());
        if (!ReplaceLocalFile(Task.RunStampPath(), written)) {
            return false;
        }
        // Helps for the comparison and for holding deletions back: the stamp
        // stands without them.
        try {
            if (Left != nullptr && Right != nullptr) {
                WriteFineTimes(Task, written, Left, Right);
            }
            WriteMounts(Task);
        } catch (...) {
        }
        return true;
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
    return ReplaceLocalFile(Path, [&Text](std::ostream& out) {
        out.write(Text.data(), static_cast<std::streamsize>(Text.size()));
    });
}

bool TRunStamp::ReplaceLocalFile(const std::string& Path, const std::function<void(std::ostream&)>& Write,
                                 std::string* Digest) {
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
        TDigest digest;
        bool ok = false;
        try {
            TFileWriteBuffer buffer(out, digest);
            std::ostream stream(&buffer);
            Write(stream);
            stream.flush();
            ok = stream.good() && !buffer.Failed();
        } catch (...) {
            ok = false;
        }
        ok = ok && out.Sync();
        ok = out.Close() && ok;
        if (!ok || !fs::RenameFile(temp, Path)) {
            fs::DeleteFile(temp);
            return false;
        }
        if (Digest != nullptr) {
            *Digest = digest.Text();
        }
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace tandemora
