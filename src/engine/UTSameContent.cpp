#include "engine/UTSameContent.h"

#include "engine/UTRunStamp.h"
#include "engine/UTStagingFile.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace tandemora {

namespace {

// Fills Buffer as far as the file still gives bytes; the number read, or -1.
int64_t ReadBlock(fs::TFileHandle& File, std::vector<char>& Buffer) {
    size_t filled = 0;
    while (filled < Buffer.size()) {
        const int64_t got = File.Read(Buffer.data() + filled, Buffer.size() - filled);
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(filled);
}

} // namespace

TSameContent::TSameContent(TSyncTask* Task) : task_(Task) {}

TSameContent::~TSameContent() {
    for (auto& oper : opers_) {
        if (oper) {
            oper->Stop();
        }
    }
}

std::unique_ptr<TFileOper> TSameContent::CreateOper(const TFolderSource& Source) {
    return TSyncTask::CreateOper(Source, false);
}

void TSameContent::Stop() {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    for (auto& oper : opers_) {
        if (oper) {
            oper->Stop();
        }
    }
}

TFileOper* TSameContent::Endpoint(int32_t Side) {
    TFolderSource* source = Side == 0 ? &task_->LFolder : &task_->RFolder;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopped_ || TrimBlanks(source->FolerAllName).empty()) {
            return nullptr;
        }
        if (!opers_[Side]) {
            opers_[Side] = CreateOper(*source);
            if (!opers_[Side]) {
                return nullptr;
            }
            opers_[Side]->Source = source;
        }
    }
    if (!connected_[Side]) {
        if (opers_[Side]->Connect() != 0) {
            return nullptr;
        }
        connected_[Side] = true;
    }
    return opers_[Side].get();
}

TSameContent::TAnswer TSameContent::Compare(const TFileAttri& Left, const TFileAttri& Right,
                                            const std::function<bool()>& Cancelled, bool Remembered) {
    if (Left.Size != Right.Size || Left.IsFolder != 0 || Right.IsFolder != 0) {
        return Left.Size != Right.Size ? scDifferent : scCannotTell;
    }
    if (!Remembered) {
        return CompareBytes(Left, Right, Cancelled);
    }
    const std::string key = Left.RelPath.str() + Left.Name;
    const TSeenPair pair = {Left.Size, Left.Time, Right.Size, Right.Time};
    if (KnownDifferent(key, pair)) {
        return scDifferent;
    }
    const TAnswer answer = CompareBytes(Left, Right, Cancelled);
    Remember(key, pair, answer);
    return answer;
}

TSameContent::TAnswer TSameContent::CompareBytes(const TFileAttri& Left, const TFileAttri& Right,
                                                 const std::function<bool()>& Cancelled) {
    try {
        TFileOper* opers[2] = {Endpoint(0), Endpoint(1)};
        if (opers[0] == nullptr || opers[1] == nullptr) {
            return scCannotTell;
        }
        const TFileAttri* entries[2] = {&Left, &Right};
        TFolderSource* sources[2] = {&task_->LFolder, &task_->RFolder};
        TStagingFile staging[2] = {{"compare", this, ++serial_}, {"compare", this, ++serial_}};
        std::string paths[2];
        for (int32_t side = 0; side < 2; ++side) {
            if (Cancelled() || staging[side].Path().empty()) {
                return scCannotTell;
            }
            TFileAttri entry = *entries[side];
            if (opers[side]->LocalCopyForCompare(sources[side], &entry, staging[side].Path(), paths[side]) !=
                0) {
                return scCannotTell;
            }
        }
        ++compared_;
        return SameBytes(paths[0], paths[1], Left.Size, Cancelled);
    } catch (...) {
        // An endpoint that throws (a server gone mid-transfer) tells nothing.
        return scCannotTell;
    }
}

TSameContent::TAnswer TSameContent::HoldsDigest(const TFileAttri& Entry, int32_t Side, uint32_t Digest,
                                                const std::function<bool()>& Cancelled) {
    try {
        TFileOper* oper = Endpoint(Side);
        TStagingFile staging("compare", this, ++serial_);
        if (oper == nullptr || Cancelled() || staging.Path().empty()) {
            return scCannotTell;
        }
        TFileAttri entry = Entry;
        std::string path;
        TFolderSource* source = Side == 0 ? &task_->LFolder : &task_->RFolder;
        if (oper->LocalCopyForCompare(source, &entry, staging.Path(), path) != 0) {
            return scCannotTell;
        }
        ++compared_;
        uint32_t digest = 0;
        if (!DigestOf(path, Entry.Size, digest)) {
            return scCannotTell;
        }
        return digest == Digest ? scSame : scDifferent;
    } catch (...) {
        return scCannotTell;
    }
}

bool TSameContent::DigestOf(const std::string& Path, int64_t Size, uint32_t& Digest) {
    fs::TFileHandle file;
    if (!file.OpenRead(Path) || file.Size() != Size) {
        return false;
    }
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    std::vector<char> block(1 << 16);
    int64_t done = 0;
    while (done < Size) {
        const int64_t got = ReadBlock(file, block);
        if (got <= 0) {
            return false;
        }
        for (int64_t i = 0; i < got; ++i) {
            hash = (hash ^ static_cast<unsigned char>(block[static_cast<size_t>(i)])) * 1099511628211ull;
        }
        done += got;
    }
    Digest = static_cast<uint32_t>((hash ^ (hash >> 32)) & 0x3FFFFFFFu);
    return done == Size;
}

std::string TSameContent::KnownPath() const {
    return task_->RunStampPath() + ".differ";
}

// The kept answers are read at the first question. A line is
// "<left size> <left time> <right size> <right time> <path and name>".
bool TSameContent::KnownDifferent(const std::string& Key, const TSeenPair& Pair) {
    if (!knownRead_) {
        knownRead_ = true;
        try {
            std::ifstream in(KnownPath(), std::ios::binary);
            std::string line;
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                TSeenPair seen;
                std::string name;
                if (fields >> seen.LeftSize >> seen.LeftTime >> seen.RightSize >> seen.RightTime &&
                    fields.get() == ' ' && std::getline(fields, name) && !name.empty()) {
                    known_[name] = seen;
                }
            }
        } catch (...) {
            known_.clear(); // nothing kept: every answer is asked of the bytes
        }
    }
    asked_.insert(Key);
    const auto found = known_.find(Key);
    return found != known_.end() && found->second == Pair;
}

// Keeps a "different" answer, and forgets the pair once it reads otherwise;
// the file is written only when what it holds changes.
void TSameContent::Remember(const std::string& Key, const TSeenPair& Pair, TAnswer Answer) {
    if (Answer == scCannotTell || Key.find_first_of("\r\n") != std::string::npos) {
        return;
    }
    const auto found = known_.find(Key);
    if (Answer == scSame && found == known_.end()) {
        return;
    }
    if (Answer == scSame) {
        known_.erase(found);
    } else {
        known_[Key] = Pair;
    }
    std::ostringstream text;
    for (const auto& [name, seen] : known_) {
        if (asked_.count(name) != 0) {
            text << seen.LeftSize << ' ' << seen.LeftTime << ' ' << seen.RightSize << ' ' << seen.RightTime
                 << ' ' << name << '\n';
        }
    }
    try {
        TRunStamp::ReplaceLocalFile(KnownPath(), text.str()); // kept or not, the answer stands
    } catch (...) {
    }
}

TSameContent::TAnswer TSameContent::SameBytes(const std::string& LeftPath, const std::string& RightPath,
                                              int64_t Size, const std::function<bool()>& Cancelled) {
    fs::TFileHandle files[2];
    if (!files[0].OpenRead(LeftPath) || !files[1].OpenRead(RightPath)) {
        return scCannotTell;
    }
    // Either file may have changed since the scan: only the size the analysis
    // saw on both sides is an answer.
    if (files[0].Size() != Size || files[1].Size() != Size) {
        return scCannotTell;
    }
    std::vector<char> blocks[2] = {std::vector<char>(1 << 16), std::vector<char>(1 << 16)};
    int64_t done = 0;
    while (done < Size) {
        if (Cancelled()) {
            return scCannotTell;
        }
        const int64_t got[2] = {ReadBlock(files[0], blocks[0]), ReadBlock(files[1], blocks[1])};
        if (got[0] < 0 || got[1] < 0 || got[0] != got[1] || got[0] == 0) {
            return scCannotTell;
        }
        if (!std::equal(blocks[0].begin(), blocks[0].begin() + got[0], blocks[1].begin())) {
            return scDifferent;
        }
        done += got[0];
    }
    return scSame;
}

} // namespace tandemora
