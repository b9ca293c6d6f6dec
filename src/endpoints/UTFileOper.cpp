#include "endpoints/UTFileOper.h"

#include "model/UTUtils.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tandemora {

int32_t HiddenAttrOf(const std::string& Name) {
    return !Name.empty() && Name[0] == '.' ? static_cast<int32_t>(fs::faHidden) : 0;
}

bool IsSafeEntryName(const std::string& Name, bool BackslashSeparates) {
    return IsSafeItemName(Name) && !(BackslashSeparates && Name.find('\\') != std::string::npos);
}

TFileOper::TFileOper(bool FreeOnTerminate) : Source(&OwnSource) {
    SetFreeOnTerminate(FreeOnTerminate);
    ResetSnapshot();
}

TFileOper::~TFileOper() = default;

bool TFileOper::ScanComplete() const {
    return !ScanIncomplete && !RootMissing && UnreadFolders.empty() &&
           (Tree == nullptr || Tree->ListFailed == 0);
}

void TFileOper::Stop() {
    Terminate();
    HINTERNET connect;
    HINTERNET session;
    {
        std::lock_guard<std::mutex> lock(HandleLock);
        connect.swap(hConnect);
        session.swap(hSession);
    }
    // Closed outside the lock: a worker blocked on a handle may need the lock to
    // give up, and each handle is closed once because it left the fields above.
    if (connect) {
        connect->Close();
    }
    if (session) {
        session->Close();
    }
}

int TFileOper::MakeFolderLike(const std::string& RelPath, const std::string&) {
    return MakeFolder(RelPath);
}

int TFileOper::DeleteReadOnlyFile(TFolderSource* Source, TFileAttri* Attr) {
    return DeleteFile(Source, Attr);
}

void TFileOper::Execute() {
    ScanTree();
}

int TFileOper::Fail(int Result, const std::string& Text) {
    LastErrorText = Text;
    return Result;
}

bool TFileOper::WaitCancelled() const {
    return Terminated() || (CancelCheck && CancelCheck());
}

bool TFileOper::IsUnansweredError(int Error) {
    switch (Error) {
    case ETIMEDOUT:
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

int TFileOper::FailWithErrno(int Result, const std::string& What) {
    const int error = errno;
    if (IsUnansweredError(error)) {
        NotAnswering = true;
    }
    if (error == 0) {
        return Fail(Result, What);
    }
    return Fail(Result,
                What.empty() ? std::string(std::strerror(error)) : What + ": " + std::strerror(error));
}

void TFileOper::Notify(uint32_t Message) {
    if (NotifyWnd != nullptr) {
        SendNotifyMessage(NotifyWnd, Message, 0, 10);
    }
}

void TFileOper::MarkIncomplete() {
    ScanIncomplete = true;
    if (Tree != nullptr) {
        Tree->ListFailed = 1;
    }
}

namespace {

// Where the host part of an address begins and ends (its first "/"). An
// address typed without a scheme starts with its host; a share's path
// ("\\user:pw@server\share", or with "/") has it after its two separators.
void HostPart(const std::string& url, size_t& begin, size_t& end) {
    if (fs::IsUncPath(url)) {
        begin = 2;
        end = url.find_first_of("\\/", begin);
    } else {
        const size_t scheme = url.find("://");
        begin = scheme == std::string::npos ? 0 : scheme + 3;
        end = url.find('/', begin);
    }
    if (end == std::string::npos) {
        end = url.size();
    }
}

} // namespace

bool UrlHasUserPart(const std::string& Url) {
    size_t begin = 0;
    size_t end = 0;
    HostPart(Url, begin, end);
    return Url.find('@', begin) < end;
}

std::string UrlWithoutUserPart(const std::string& Url) {
    size_t begin = 0;
    size_t end = 0;
    HostPart(Url, begin, end);
    const size_t at = Url.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < begin) {
        return Url;
    }
    return Url.substr(0, begin) + Url.substr(at + 1);
}

namespace {

// The short stand-in name a server shows for a name it cannot show: at most
// eight characters, a "~" among them, no small letters, an extension of at most
// three.
bool LooksLikeShortName(const std::string& name) {
    const size_t dot = name.find('.');
    const std::string base = name.substr(0, dot);
    const size_t extension = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (base.size() > 8 || base.find('~') == std::string::npos || extension > 3) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

} // namespace

std::string NameTroubleOf(const TFolderSource& Source, const std::string& Name, bool Writing) {
    const bool share = Source.DeviceType == dtNetShare || fs::IsUncPath(TrimBlanks(Source.FolerAllName));
    if (share && Writing && std::any_of(Name.begin(), Name.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || std::strchr("\\:*?\"<>|", c) != nullptr;
        })) {
        return "a network share cannot hold this name";
    }
    if (share && !Writing && LooksLikeShortName(Name)) {
        return "the server shows this item only under a short stand-in name, as its real name holds "
               "characters a network share cannot hold";
    }
    if (Source.DeviceType == dtFtp && Name.find_first_of("\r\n") != std::string::npos) {
        return "an FTP server cannot be given a name holding a line break";
    }
    return "";
}

void TFileOper::ListingDamaged(TFileTree* Node, const std::string& Folder, const std::string& Name) {
    if (Node->ListFailed == 0 ||
        std::find(UnreadFolders.begin(), UnreadFolders.end(), Folder) == UnreadFolders.end()) {
        UnreadFolders.push_back(Folder);
    }
    Node->ListFailed = 1;
    // The error log shows the name's control characters escaped, so that it
    // cannot break the line it stands in.
    ErrorLogger.LogError("Damaged Listing " + Folder, "EListError",
                         "the listed name \"" + Name + "\" is not a name of an item in the folder");
}

void TFileOper::ResetSnapshot() {
    Snapshot = NewTree(SnapshotArena);
}

void TFileOper::ResetTree() {
    Tree = NewTree(TreeArena);
    UnreadFolders.clear();
    ScanIncomplete = false;
    RootMissing = false;
}

void TFileOper::WaitForScan() {
    if (Started() && !FreeOnTerminate()) {
        Terminate();
        WaitFor();
    }
}

void TFileOper::SortTree(TFileTree* Node) {
    for (TFileTree* child : Node->Children) {
        if (!child->Children.empty()) {
            SortTree(child);
        }
    }
    SortChildren(Node);
}

void TFileOper::SortChildren(TFileTree* Node) {
    // The nodes themselves are ordered, with no copies of their names: folders
    // first, then files, each group in the order ShellSortStrings gives names.
    const auto isFolder = [](const TFileTree* node) {
        return node->Data != nullptr && node->Data->IsFolder == 1;
    };
    std::stable_sort(Node->Children.begin(), Node->Children.end(),
                     [&isFolder](const TFileTree* left, const TFileTree* right) {
                         const bool leftFolder = isFolder(left);
                         if (leftFolder != isFolder(right)) {
                             return leftFolder;
                         }
                         return CompareNames(left->Name, right->Name) < 0;
                     });
}

int TFileOper::LocalCopyForCompare(TFolderSource* Source, TFileAttri* Attr, const std::string& StagingPath,
                                   std::string& LocalPath) {
    const int fetched = GetFile(StagingPath, Source, Attr, 0);
    if (fetched == 0) {
        LocalPath = StagingPath;
    }
    return fetched;
}

} // namespace tandemora
