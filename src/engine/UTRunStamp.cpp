#include "engine/UTRunStamp.h"

#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "tasks/UTSyncTask.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace tandemora {

namespace {

// FNV-1a over the text, with its length: enough to tell two snapshot texts
// apart; nobody gains anything by forging one.
std::string Digest(const std::string& text) {
    uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    std::ostringstream out;
    out << std::hex << hash << std::dec << ":" << text.size();
    return out.str();
}

std::string TextOf(const TFileTree* root) {
    std::ostringstream out;
    root->SaveToStream(out, root->Name);
    return out.str();
}

} // namespace

std::string TRunStamp::Of(const std::string& LeftText, const std::string& RightText) {
    return "L " + Digest(LeftText) + "\r\nR " + Digest(RightText) + "\r\n";
}

std::string TRunStamp::OfTrees(const TFileTree* Left, const TFileTree* Right) {
    return Of(TextOf(Left), TextOf(Right));
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

bool TRunStamp::Write(const TSyncTask& Task, const std::string& Stamp) {
    try {
        return ReplaceLocalFile(Task.RunStampPath(), Stamp);
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
    return !stamp.empty() && stamp == OfTrees(Left, Right);
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
