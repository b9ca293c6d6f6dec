#include "endpoints/UTNetFileOper.h"

#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/SmbClient.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

namespace tandemora {

namespace {

const char* const WorkRelPath = "/__Tandemora__/";

// How often Connect asks a server that does not answer, and how long it waits
// between two attempts.
constexpr int ConnectAttempts = 6;
constexpr std::chrono::milliseconds ConnectPause{100};
// How long a call into the SMB client may go on waiting after a cancel: one
// that the server answers ends sooner, and the rest is broken off.
constexpr int64_t BreakOffAfterMs = 1000;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The endpoint path as typed, without the blanks a user may have left around it.
std::string EndpointPath(const TFolderSource* source) {
    return TrimBlanks(source->FolerAllName);
}

// Splits a command line into words at blanks; double quotes group blanks into a
// word and are dropped.
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

} // namespace

TNetFileOper::TNetFileOper(bool FreeOnTerminate) : TWinFileOper(FreeOnTerminate) {}

TNetFileOper::~TNetFileOper() {
    breaker_.reset();
    WaitForScan();
}

int TNetFileOper::NetErrorCode(int Errno) {
    return Errno == EACCES || Errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_NO_NET_OR_BAD_PATH;
}

// The log-on registers the account with the SMB client, which then uses it for
// every connection to that server, so the enumeration right after it already
// runs under the user's account.
int TNetFileOper::Connect() {
    Shares.clear();
    try {
        const std::string server = ExtractServerName(EndpointPath(Source));
        smb::SetTimeout(StallLimitMs);
        if (!breaker_) {
            breaker_ = std::make_unique<smb::TBreakOnCancel>(
                server, [this] { return WaitCancelled(); }, BreakOffAfterMs);
        }
        int result = ERROR_NO_NET_OR_BAD_PATH;
        int error = 0;
        for (int attempt = 1; attempt <= ConnectAttempts; ++attempt) {
            smb::LogOn(server, Source->UserName, Source->PWD);
            std::vector<std::string> names;
            error = smb::ListShares(server, names);
            if (error == 0) {
                for (const std::string& name : names) {
                    Shares.push_back(server + "\\" + name);
                }
                return 0;
            }
            result = NetErrorCode(error);
            // Asking again with a rejected password only risks locking the
            // account, and a server that let a whole time-out pass will not
            // answer sooner the next time.
            if (result == ERROR_ACCESS_DENIED || error == ETIMEDOUT || attempt == ConnectAttempts ||
                WaitCancelled()) {
                break;
            }
            std::this_thread::sleep_for(ConnectPause);
        }
        NotAnswering = NotAnswering || IsUnansweredError(error);
        return Fail(result, server + " answered: " + std::strerror(error));
    } catch (const std::exception& e) {
        return Fail(ERROR_NO_NET_OR_BAD_PATH, e.what());
    }
}

int TNetFileOper::ScanTree() {
    TWinFileOper::ScanTree();
    // A folder that could not be listed because the server stopped answering is
    // not all that is missing: whatever would have been listed after it is too.
    if (!RootMissing && !UnreadFolders.empty() && IsRootMissing() != 0) {
        MarkIncomplete();
    }
    return 0;
}

int TNetFileOper::GetTopFolderCount() {
    return 10;
}

const TStringList& TNetFileOper::GetShareList() const {
    return Shares;
}

int TNetFileOper::LoadSnapshot() {
    ResetSnapshot();
    SnapshotFailed = false;
    if (SnapshotName.empty()) {
        return 0;
    }
    TFileAttri attr;
    attr.Name = SnapshotName;
    attr.RelPath = WorkRelPath;
    std::string path;
    BuildFullPath(Source, &attr, path);
    fs::DirEntry entry;
    if (!fs::GetEntryInfo(path, entry)) {
        if (errno != ENOENT && errno != ENOTDIR) {
            // The server did not say whether there is a snapshot: it is not
            // taken for absent without a word.
            SnapshotFailed = true;
            ErrorLogger.LogError("Read Snapshot Error", "EFOpenError",
                                 "Cannot open file \"" + path + "\". " + std::strerror(errno));
        }
        return 0;
    }
    try {
        std::stringstream stream;
        ReadToStream(Source, &attr, stream);
        if (stream.rdbuf()->in_avail() > 0) {
            Snapshot->LoadFromStream(stream);
        }
    } catch (const std::exception& e) {
        ResetSnapshot();
        SnapshotFailed = true;
        ErrorLogger.LogError("Read Snapshot Error", e);
    }
    return 0;
}

// Asked of the item itself rather than by opening it: a file that is open
// elsewhere or may not be read still has a size, and only the server's "no
// such item" makes it absent.
int TNetFileOper::ExtractFolderPath(const std::string& Path, std::string& Folder) {
    const size_t last = Path.find_last_of("\\/");
    Folder = last == std::string::npos ? std::string() : Path.substr(0, last + 1);
    return 0;
}

int TNetFileOper::BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) {
    if (Attr->RelPath.empty()) {
        Attr->RelPath = "/";
    }
    Path = EndpointPath(Source) + Attr->RelPath + Attr->Name;
    for (char& c : Path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return 0;
}

int TNetFileOper::PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int) {
    if (!ShareCanHold(Source, Attr->RelPath, Attr->Name)) {
        return -1;
    }
    std::string target;
    BuildFullPath(Source, Attr, target);
    std::string folder;
    ExtractFolderPath(target, folder);
    SetSyncStatusText("Copy:" + LocalPath);
    Notify(WM_COPYPROCESS);
    // A server that stopped answering, or a cancel meanwhile, ends the copy here
    // instead of letting every further step wait for the server too.
    if (!fs::ForceDirectories(folder) && IsUnansweredError(errno)) {
        return FailWithErrno(-1, "making the folder");
    }
    if (WaitCancelled()) {
        return Fail(-1, "cancelled");
    }
    // The copy is the local endpoint's: the bytes go into a part file beside the
    // target, which takes the target's name only when complete. It finds the
    // target's folder by the last "/", so the name is put behind one.
    const std::string copyTarget =
        folder.substr(0, folder.empty() ? 0 : folder.size() - 1) + "/" + Attr->Name;
    const int result = CopyWithProgress(LocalPath, copyTarget, Attr->Size);
    if (result == 0) {
        fs::SetFileDosTime(target, Attr->Time);
    }
    return result;
}

// ---- The folder picker's routines --------------------------------------------------

std::string TNetFileOper::ExtractServerName(const std::string& Path) {
    const std::string rest = Path.size() > 2 ? Path.substr(2) : std::string();
    const size_t separator = rest.find_first_of("\\/");
    if (separator == std::string::npos) {
        return Path;
    }
    return "\\\\" + rest.substr(0, separator);
}

std::string TNetFileOper::NormalizeUncPath(const std::string& Path) {
    std::string path = TrimBlanks(Path);
    if (!path.empty() && IsSeparator(path.back())) {
        path.pop_back();
    }
    if (!fs::IsUncPath(path)) {
        return "\\\\" + path;
    }
    return path;
}

std::unique_ptr<TStringList> TNetFileOper::ListSubFolders(const std::string& Path) {
    auto list = std::make_unique<TStringList>();
    std::vector<fs::DirEntry> entries;
    const int error = fs::ListFolder(Path, entries);
    if (error != 0) {
        // The last character is the full-width colon U+FF1A.
        list->push_back("Can not open folder:" + Path + ",Return Code\xEF\xBC\x9A" +
                        std::to_string(NetErrorCode(error)));
        return list;
    }
    for (const fs::DirEntry& entry : entries) {
        if (entry.IsFolder && IsSafeEntryName(entry.Name, true)) {
            list->push_back(Path + "\\" + entry.Name);
        }
    }
    return list;
}

int TNetFileOper::RunHiddenCommand(const std::string& CommandLine, int) {
    const std::vector<std::string> words = SplitCommandLine(CommandLine);
    if (words.empty()) {
        return -1;
    }
    return RunProcess(words);
}

} // namespace tandemora
