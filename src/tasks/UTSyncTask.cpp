#include "tasks/UTSyncTask.h"

#include "endpoints/UTFileOper.h"
#include "endpoints/UTFtpFileOper.h"
#include "endpoints/UTNetFileOper.h"
#include "endpoints/UTWebDavFileOper.h"
#include "endpoints/UTWinFileOper.h"
#include "model/UTFileTree.h"
#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <vector>

namespace tandemora {

namespace {

// The endpoint fields a copy of a task carries; the rest belong to a run.
void CopyEndpoint(TFolderSource& target, const TFolderSource& source) {
    target.DeviceType = source.DeviceType;
    target.FolerAllName = source.FolerAllName;
    target.UserName = source.UserName;
    target.PWD = source.PWD;
    target.PrivateKey = source.PrivateKey;
}

// Everything but the name, identity and endpoints.
void CopyOptions(TSyncTask& target, const TSyncTask& source) {
    target.SyncDirection = source.SyncDirection;
    target.ForcedOrVerified = source.ForcedOrVerified;
    target.IsDeleteFile = source.IsDeleteFile;
    target.SaveOldFile = source.SaveOldFile;
    target.UseTempFile = source.UseTempFile;
    target.CheckNoChange = source.CheckNoChange;
    target.EstimateDiskSpace = source.EstimateDiskSpace;
    target.IncludeFilter = source.IncludeFilter;
    target.ExcludeFilter = source.ExcludeFilter;
    target.ExcludeEmtpyFolder = source.ExcludeEmtpyFolder;
    target.ExcludeHiddenFile = source.ExcludeHiddenFile;
    target.ExcludeSystemFile = source.ExcludeSystemFile;
    target.StartAnalyze = source.StartAnalyze;
    target.StartSync = source.StartSync;
    target.ConnectAnalyze = source.ConnectAnalyze;
    target.ConnectSync = source.ConnectSync;
    target.LogoffAnalyze = source.LogoffAnalyze;
    target.LogoffSync = source.LogoffSync;
    target.PeriodAnalyze = source.PeriodAnalyze;
    target.PeriodSync = source.PeriodSync;
    target.Hours = source.Hours;
    target.minutes = source.minutes;
    target.TSsync = source.TSsync;
    target.TSanalyze = source.TSanalyze;
    target.TaskScheduler = source.TaskScheduler;
    target.Conflicts = source.Conflicts;
    target.EnsureFolderTags = source.EnsureFolderTags;
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

bool IsTrimmedEmpty(const std::string& text) {
    for (char c : text) {
        if (!IsBlankOrControl(c)) {
            return false;
        }
    }
    return true;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// A path taken apart for the folder check. A share path ("\\server\share" or
// "//server/share") separates with either slash; local paths and URLs only
// with "/", since "\" is an ordinary character in a local name. Empty parts
// (doubled or trailing separators) are dropped, so "/a/b/" and "/a//b" are
// both the folder /a/b.
struct TPathParts {
    int Kind = 0; // 0 relative or URL, 1 rooted local path, 2 share path
    std::vector<std::string> Parts;
};

TPathParts SplitPath(const std::string& path) {
    TPathParts result;
    const bool share = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
    if (share) {
        result.Kind = 2;
    } else if (!path.empty() && path[0] == '/') {
        result.Kind = 1;
    }
    std::string part;
    for (char c : path) {
        if (c == '/' || (share && c == '\\')) {
            if (!part.empty()) {
                result.Parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        result.Parts.push_back(part);
    }
    return result;
}

// True when a's parts begin b's (a lies at or above b).
bool IsPrefixOf(const TPathParts& a, const TPathParts& b) {
    if (a.Kind != b.Kind || a.Parts.size() > b.Parts.size()) {
        return false;
    }
    for (size_t i = 0; i < a.Parts.size(); ++i) {
        if (a.Parts[i] != b.Parts[i]) {
            return false;
        }
    }
    return true;
}

// A local folder as the kernel reaches it: the real path of the longest leading
// part that is there, then the rest, which the sync will make. A folder that does
// not exist yet lies wherever the links above it lead.
std::string RealFolderPath(const std::string& folder) {
    std::string head = folder;
    std::vector<std::string> rest;
    std::string resolved;
    for (;;) {
        if (char* real = realpath(head.c_str(), nullptr)) {
            resolved = real;
            free(real);
            break;
        }
        while (head.size() > 1 && head.back() == '/') {
            head.pop_back();
        }
        const size_t slash = head.rfind('/');
        if (slash == std::string::npos || head.size() <= 1) {
            return folder;
        }
        rest.push_back(head.substr(slash + 1));
        head.erase(slash == 0 ? 1 : slash);
    }
    // What is not there holds no link, so "." and ".." in it are read as written.
    for (auto part = rest.rbegin(); part != rest.rend(); ++part) {
        if (*part == "..") {
            resolved.erase(std::max<size_t>(resolved.rfind('/'), 1));
        } else if (!part->empty() && *part != ".") {
            resolved += (resolved == "/" ? "" : "/") + *part;
        }
    }
    return resolved;
}

// The folder an endpoint will work in: every kind trims the blanks off the ends of
// the typed text, and the FTP endpoint adds the scheme a text may lack.
// A local folder is taken as the kernel reaches it: a link on the way or a ".."
// must not hide that one folder lies inside the other (a sync would copy the
// outer folder into itself on every run).
std::string FolderAsUsed(const TFolderSource& source) {
    if (source.DeviceType == dtFtp && !TrimBlanks(source.FolerAllName).empty()) {
        return TFtpFileOper::NormalizeUrl(source.FolerAllName);
    }
    const std::string folder = TrimBlanks(source.FolerAllName);
    if (!folder.empty() && folder[0] == '/' && !fs::IsUncPath(folder)) {
        return RealFolderPath(folder);
    }
    return folder;
}

} // namespace

std::string SyncIDProblem(const std::string& id) {
    if (id.size() > kMaxSyncIDBytes) {
        return "it is longer than " + std::to_string(kMaxSyncIDBytes) + " bytes";
    }
    for (char c : id) {
        if (c == '/' || c == '\\') {
            return std::string("it holds \"") + c + "\"";
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return "it holds a control character";
        }
    }
    if (!id.empty() && (id.front() == '.' || id.front() == ' ')) {
        return id.front() == '.' ? "it begins with \".\"" : "it begins with a blank";
    }
    return "";
}

bool IsSafeSyncID(const std::string& id) {
    return SyncIDProblem(id).empty();
}

const std::string& TSyncTask::FileID() const {
    const std::string problem = SyncIDProblem(SyncID);
    if (!problem.empty()) {
        throw EInOutError("The task \"" + EscapeForLog(SyncName) +
                          "\" cannot keep its files under the SyncID \"" + EscapeForLog(SyncID) +
                          "\": " + problem);
    }
    return SyncID;
}

void TSyncTask::Assign(const TSyncTask& source) {
    if (&source == this) {
        return;
    }
    SyncName = source.SyncName;
    SyncID = source.SyncID;
    CopyEndpoint(LFolder, source.LFolder);
    CopyEndpoint(RFolder, source.RFolder);
    CopyOptions(*this, source);
}

std::unique_ptr<TSyncTask> TSyncTask::CloneAsNew(const TSyncTask& source) {
    auto clone = std::make_unique<TSyncTask>();
    clone->SyncName = "New_" + source.SyncName;
    clone->SyncID = "New_" + source.SyncID;
    CopyOptions(*clone, source);
    return clone;
}

// Folders are compared as the endpoints will use them, part by part:
// /home/u/photos and /home/u/photos-backup are two separate folders,
// /home/u/photos/ and "/home/u/photos " are /home/u/photos, and letter case
// counts because Linux file systems keep it.
int32_t TSyncTask::CheckFolders() const {
    const std::string left = FolderAsUsed(LFolder);
    const std::string right = FolderAsUsed(RFolder);
    if (left == right) {
        return fcSameFolder;
    }
    const TPathParts l = SplitPath(left);
    const TPathParts r = SplitPath(right);
    const bool leftEmpty = IsTrimmedEmpty(left);
    const bool rightEmpty = IsTrimmedEmpty(right);
    if (!leftEmpty && !rightEmpty) {
        if (l.Kind == r.Kind && l.Parts == r.Parts) {
            return fcSameFolder;
        }
        if (IsPrefixOf(l, r) || IsPrefixOf(r, l)) {
            return fcNested;
        }
    }
    if (leftEmpty || rightEmpty) {
        return fcEmptyPath;
    }
    return fcOk;
}

int32_t TSyncTask::SnapshotPlace() const {
    if (EstimateDiskSpace == 1) {
        return spBothLocal;
    }
    if (EnsureFolderTags == 1) {
        return SyncDirection == sdLeftToRight ? spLeftLocal : spRightLocal;
    }
    return spInFolders;
}

std::unique_ptr<TFileOper> TSyncTask::CreateOper(const TFolderSource& source, bool FreeOnTerminate) {
    switch (source.DeviceType) {
    case dtLocal:
        return std::make_unique<TWinFileOper>(FreeOnTerminate);
    case dtNetShare:
        return std::make_unique<TNetFileOper>(FreeOnTerminate);
    case dtFtp:
        return std::make_unique<TFtpFileOper>(FreeOnTerminate);
    case dtWebDav:
        return std::make_unique<TWebDavFileOper>(FreeOnTerminate);
    default:
        // A new endpoint (kind 0), SFTP and Windows Mobile have no endpoint
        // class. The caller refuses the run.
        return nullptr;
    }
}

std::string TSyncTask::LocalSnapshotPath(int32_t side) const {
    return GetLocalSnapshotFolder() + FileID() + (side == 0 ? "L" : "R");
}

std::string TSyncTask::RunStampPath() const {
    return GetLocalSnapshotFolder() + FileID() + "S";
}

std::string TSyncTask::RunLockPath() const {
    return GetLocalSnapshotFolder() + FileID() + ".lock";
}

int32_t TSyncTask::LoadSnapshot(TFileTree* tree, int32_t side) const {
    try {
        const std::string path = LocalSnapshotPath(side);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            return 0;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return 1;
        }
        if (st.st_size > 0) {
            // Loads all or nothing: a text that breaks off leaves the tree as it was.
            tree->LoadFromStream(in);
        }
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

std::string TSyncTask::GetShareRoot(const std::string& path) {
    if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1])) {
        return "";
    }
    size_t first = 2;
    while (first < path.size() && !IsSeparator(path[first])) {
        ++first;
    }
    if (first >= path.size() || first == 2) {
        return "";
    }
    size_t next = first + 1;
    while (next < path.size() && !IsSeparator(path[next])) {
        ++next;
    }
    return path.substr(0, next);
}

} // namespace tandemora
