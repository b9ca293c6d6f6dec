#include "engine/UTSameContent.h"

#include "engine/UTStagingFile.h"
#include "platform/FileSystem.h"

#include <algorithm>
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
                                            const std::function<bool()>& Cancelled) {
    if (Left.Size != Right.Size || Left.IsFolder != 0 || Right.IsFolder != 0) {
        return Left.Size != Right.Size ? scDifferent : scCannotTell;
    }
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
