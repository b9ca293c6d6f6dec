#include "endpoints/UTFtpFileOper.h"

#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <limits>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tandemora {

namespace {

// Result codes of the connection, in the numbers the task window knows.
constexpr int ErrorServerRefused = 12003; // the server refused (typically the login)
constexpr int ErrorNameNotResolved = 12007;
constexpr int ErrorCannotConnect = 12029;
constexpr int ErrorConnectionAborted = 12030;

// The greeting is a courtesy for the task window; it never holds up a connect.
constexpr int BannerWaitMs = 5000;

// GetFileSize's answer when something may stand under a path but no file size
// can be given for it: a folder, or a server that could not be asked. No file
// has this size, so the sync thread's checks (a file of the analysed size, or
// nothing at all) both fail, and nothing is copied over or deleted on a guess.
constexpr int64_t SizeNotKnown = FileSizeUnknown;

const char* const Scheme = "ftp://";

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

bool StartsWithScheme(const std::string& text) {
    if (text.size() < 6) {
        return false;
    }
    std::string head = text.substr(0, 6);
    for (char& c : head) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return head == Scheme;
}

// A + "/" + B with one "/" between them. Unlike the general path join, "\" is
// left alone: on an FTP server it is an ordinary name character.
std::string JoinServerPath(const std::string& a, const std::string& b) {
    std::string left = a;
    if (!left.empty() && left.back() == '/') {
        left.pop_back();
    }
    return left + (StartsWith(b, "/") ? b : "/" + b);
}

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path;
}

// Maps a failed session call to the number an operation reports.
int ErrorCodeOf(int result) {
    switch (result) {
    case ftpRefused:
        return ErrorServerRefused;
    case ftpBroken:
        return ErrorConnectionAborted;
    default:
        return -1;
    }
}

// A file of the private staging folder; removed when this goes, whatever happened.
class TStagingFile {
public:
    TStagingFile() {
        static std::atomic<unsigned> serial{0};
        path_ = GetStagingFolder() + "ftp-" + std::to_string(getpid()) + "-" +
                std::to_string(serial.fetch_add(1));
        unlink(path_.c_str());
    }
    ~TStagingFile() { unlink(path_.c_str()); }
    TStagingFile(const TStagingFile&) = delete;
    TStagingFile& operator=(const TStagingFile&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    fs::TFileHandle in;
    if (!in.OpenRead(path)) {
        return false;
    }
    bytes.clear();
    std::vector<char> buffer(65536);
    for (;;) {
        const int64_t n = in.Read(buffer.data(), buffer.size());
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        bytes.append(buffer.data(), static_cast<size_t>(n));
    }
}

bool WriteStreamToFile(std::istream& stream, const std::string& path) {
    fs::TFileHandle out;
    if (!out.CreateNew(path, 0600)) {
        return false;
    }
    std::vector<char> buffer(65536);
    bool written = true;
    while (written && stream) {
        stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize n = stream.gcount();
        if (n > 0) {
            written = out.WriteAll(buffer.data(), static_cast<size_t>(n));
        }
    }
    written = written && !stream.bad();
    return out.Close() && written;
}

} // namespace

TFtpFileOper::TFtpFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {
    ResetTree();
}

TFtpFileOper::~TFtpFileOper() {
    // A scan blocked on the network returns at once when its connection closes.
    if (Started() && !this->FreeOnTerminate()) {
        Stop();
    }
    WaitForScan();
}

// ---- URL handling ---------------------------------------------------------------------------

std::string TFtpFileOper::NormalizeUrl(const std::string& Url) {
    std::string url = TrimBlanks(Url);
    if (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    if (!StartsWithScheme(url)) {
        return Scheme + url;
    }
    // A scheme typed in capitals still names FTP.
    return Scheme + url.substr(6);
}

std::string TFtpFileOper::HostOf(const std::string& Url) {
    const std::string rest = Url.size() > 6 ? Url.substr(6) : std::string();
    return rest.substr(0, rest.find('/'));
}

std::string TFtpFileOper::UrlPrefix(const std::string& Url) {
    return Scheme + HostOf(NormalizeUrl(Url));
}

std::string TFtpFileOper::GetRootPath() {
    const std::string url = NormalizeUrl(Source->FolerAllName);
    const std::string prefix = UrlPrefix(url);
    std::string root = StartsWith(url, prefix) ? url.substr(prefix.size()) : url;
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

void TFtpFileOper::ParseSourceUrl() {
    Source->FolerAllName = NormalizeUrl(Source->FolerAllName);
    Prefix = UrlPrefix(Source->FolerAllName);
    RootPath = GetRootPath();
}

std::string TFtpFileOper::FolderOf(const std::string& RelPath) const {
    return WithSlash(JoinServerPath(RootPath, RelPath.empty() ? "/" : RelPath));
}

bool TFtpFileOper::SplitUrl(const std::string& Url, std::string& Folder, std::string& Name) const {
    std::string base = TrimBlanks(Source->FolerAllName);
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    if (!StartsWith(Url, base) || Url.size() <= base.size() || Url[base.size()] != '/') {
        return false;
    }
    const std::string rel = Url.substr(base.size());
    const size_t slash = rel.rfind('/');
    Name = rel.substr(slash + 1);
    Folder = FolderOf(rel.substr(0, slash + 1));
    return !Name.empty();
}

// ---- Connection -------------------------------------------------------------------------------

std::shared_ptr<TFtpSession> TFtpFileOper::Session() {
    HINTERNET handle;
    {
        std::lock_guard<std::mutex> lock(HandleLock);
        handle = hConnect;
    }
    if (!handle) {
        return nullptr;
    }
    return static_cast<TFtpHandle*>(handle.get())->Session;
}

void TFtpFileOper::Disconnect() {
    HINTERNET handle;
    {
        std::lock_guard<std::mutex> lock(HandleLock);
        handle.swap(hConnect);
    }
    if (handle) {
        handle->Close();
    }
}

int TFtpFileOper::Connect() {
    if (Session()) {
        return 0;
    }
    if (Source->DeviceType != dtFtp) {
        return -2;
    }
    if (UrlHasUserPart(Source->FolerAllName)) {
        ErrorLogger.LogError("FTP Connect Error", "EFtpError",
                             UrlWithoutUserPart(TrimBlanks(Source->FolerAllName)) + ": " + UserPartMessage);
        return ErrorNameNotResolved;
    }
    ParseSourceUrl();
    ProxyList = Source->ProxyName;
    BypassList = Source->ProxyBypass;
    Host = HostOf(Source->FolerAllName);
    User = Source->UserName;
    Password = Source->PWD;
    ServerInfo = ReadServerBanner();

    std::string host;
    int port = 21;
    if (!SplitHostPort(Host, host, port)) {
        ErrorLogger.LogError("FTP Connect Error", "EFtpError", "\"" + Host + "\" names no server");
        return Fail(ErrorNameNotResolved, "\"" + Host + "\" names no server");
    }
    auto session = std::make_shared<TFtpSession>(host, port, User, Password);
    session->SetStallLimit(StallLimitMs);
    session->SetCancelCheck([this] { return CancelCheck && CancelCheck(); });
    session->PartOwner = PartOwner;
    const HINTERNET handle = std::make_shared<TFtpHandle>(session);
    {
        // Stop finds the session before the login starts, so that it breaks off
        // a login that hangs as it does any other command; a stopped endpoint
        // does not connect again.
        std::lock_guard<std::mutex> lock(HandleLock);
        if (Terminated()) {
            return ErrorConnectionAborted;
        }
        hConnect = handle;
    }
    const int opened = session->Open();
    if (opened != ftpOk) {
        {
            std::lock_guard<std::mutex> lock(HandleLock);
            if (hConnect == handle) {
                hConnect.reset();
            }
        }
        if (!session->Aborted()) {
            RecordFailure("FTP Connect Error", session);
        }
        return opened == ftpRefused ? ErrorServerRefused : ErrorCannotConnect;
    }
    return 0;
}

std::string TFtpFileOper::ReadServerBanner() {
    const std::string none = Scheme + Host;
    std::string host;
    int port = 21;
    in_addr address{};
    // Only a dotted IPv4 address is asked for its greeting; a name is not looked up.
    if (!SplitHostPort(Host, host, port) || inet_pton(AF_INET, host.c_str(), &address) != 1) {
        return none;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return none;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr = address;
    std::string text;
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0 || errno == EINPROGRESS) {
        pollfd wait{fd, POLLIN, 0};
        const int waitMs = static_cast<int>(std::min<int64_t>(BannerWaitMs, StallLimitMs));
        if (poll(&wait, 1, waitMs) == 1 && (wait.revents & POLLIN) != 0) {
            char buffer[101];
            const ssize_t n = recv(fd, buffer, 100, 0);
            if (n > 0) {
                text.assign(buffer, static_cast<size_t>(n));
            }
        }
    }
    close(fd);
    // Without its reply code, and with the line breaks taken out.
    text = text.size() > 3 ? text.substr(3) : std::string();
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos)) {
        text.erase(pos, 2);
    }
    return text.empty() ? none : "FTP:" + text;
}

int TFtpFileOper::ChangeDir(const std::string& Path) {
    std::shared_ptr<TFtpSession> session = Session();
    if (!session) {
        return -1;
    }
    const int result = session->ChangeDir(Path);
    if (result == ftpOk) {
        return 0;
    }
    return result == ftpBroken ? -1 : -2;
}

std::shared_ptr<TFtpSession> TFtpFileOper::EnterFolder(const std::string& Folder, int& Result) {
    std::shared_ptr<TFtpSession> session = Session();
    Result = session ? session->ChangeDir(Folder) : ftpBroken;
    if (Result != ftpOk) {
        FailFrom(Result, session);
        return nullptr;
    }
    return session;
}

int TFtpFileOper::IsRootMissing() {
    std::shared_ptr<TFtpSession> session = Session();
    if (!session || session->ChangeDir(WithSlash(GetRootPath())) != ftpOk) {
        return FailFrom(1, session);
    }
    return 0;
}

void TFtpFileOper::RecordFailure(const std::string& What, const std::shared_ptr<TFtpSession>& Session) {
    std::string reason = Session ? Session->LastError() : std::string("no connection");
    if (Session && Session->LastReplyCode() != 0) {
        reason += " (reply " + std::to_string(Session->LastReplyCode()) + ")";
    }
    ErrorLogger.LogError(What, "EFtpError", Prefix + ": " + reason);
    FailFrom(0, Session);
}

int TFtpFileOper::FailFrom(int Result, const std::shared_ptr<TFtpSession>& Session) {
    if (!Session) {
        // What the failed connect said is the better reason.
        return LastErrorText.empty() ? Fail(Result, "no connection to the server") : Result;
    }
    if (Session->LastNotAnswered()) {
        NotAnswering = true;
    }
    std::string reason = Session->LastError();
    if (Session->LastReplyCode() >= 400 && !Session->LastReply().empty()) {
        reason +=
            (reason.empty() ? "" : "; ") + std::string("the server replied \"") + Session->LastReply() + "\"";
    }
    return Fail(Result, reason.empty() ? std::string("the server did not answer") : reason);
}

// ---- Scan -----------------------------------------------------------------------------------------

int TFtpFileOper::ScanTree() {
    if (Tree == nullptr || Tree->ChildCount > 0 || !Tree->Children.empty()) {
        ResetTree();
    }
    Tree->ListFailed = 0;
    UnreadFolders.clear();
    ScanIncomplete = false;
    NextLevel.clear();
    try {
        if (!Session()) {
            Connect();
        }
        RootMissing = IsRootMissing() != 0;
        if (RootMissing) {
            // Nothing seen is not the same as nothing there: the empty tree is marked.
            Notify(WM_UPDATEPROCESS);
            Tree->ListFailed = 1;
        } else {
            ScanLevel({{RootPath, Tree}});
            while (!NextLevel.empty()) {
                TFtpLevelList level;
                level.swap(NextLevel);
                ScanLevel(level);
            }
            SortTree(Tree);
            Tree->RemoveChild(WorkFolderName);
        }
    } catch (const std::exception& e) {
        ErrorLogger.LogError("", e);
        NextLevel.clear();
        MarkIncomplete();
    }
    if (LoadSnapshotFlag) {
        LoadSnapshot();
        LoadSnapshotFlag = false;
    }
    return 0;
}

void TFtpFileOper::ScanLevel(const TFtpLevelList& List) {
    Notify(WM_UPDATEPROCESS);
    TFtpLevelList queued;
    for (const auto& [line, node] : List) {
        std::shared_ptr<TFtpSession> session = Session();
        if (Terminated() || !session) {
            // Stopped or disconnected: what was listed stays, marked as not the whole.
            NextLevel.clear();
            MarkIncomplete();
            return;
        }
        // Not trimmed: a blank or control character at the end is part of a
        // folder's name.
        const std::string path = WithSlash(line);
        // Only the root at the start is taken off: a folder deeper down that
        // repeats the root's name keeps it.
        const TRelPath rel = StartsWith(path, RootPath) ? path.substr(RootPath.size()) : path;
        std::vector<TFtpEntry> entries;
        int result = session->ChangeDir(path);
        if (result == ftpOk) {
            result = session->List(entries);
        }
        if (result != ftpOk) {
            // Not listed is not empty: nothing below may be taken as deleted.
            RecordFailure("FTP List Error " + path, session);
            node->ListFailed = 1;
            UnreadFolders.push_back(path);
            if (result == ftpBroken) {
                NextLevel.clear();
                MarkIncomplete();
                return;
            }
            continue;
        }
        TTreeArena* arena = node->Arena;
        for (const TFtpEntry& entry : entries) {
            if (!IsSafeEntryName(entry.Name)) {
                ListingDamaged(node, path, entry.Name);
                continue;
            }
            if (!entry.IsFolder && (fs::IsPartFileOf(entry.Name, PartOwner) || IsStandInName(entry.Name))) {
                continue; // this task's unfinished upload, never an item of the tree
            }
            if (entry.IsFolder && entry.Name == WorkFolderName) {
                continue; // a side's work folder, at any depth, is no user data
            }
            TFileAttri* attr = arena->NewAttri();
            attr->IsFolder = entry.IsFolder ? 1 : 0;
            attr->Attr = HiddenAttrOf(entry.Name);
            attr->Name = entry.Name;
            attr->Size = entry.Size;
            attr->Time = entry.Time;
            attr->TimeFraction = entry.Precision == ftpExactTime ? tfUnknown
                                 : entry.Precision == ftpDayTime ? tfDayOnly
                                 : entry.MinuteOpen              ? tfMinuteOpen
                                                                 : tfMinuteOnly;
            attr->RelPath = rel;
            TFileTree* child = node->AddChild(entry.Name, attr);
            if (entry.IsFolder) {
                queued.emplace_back(path + entry.Name + "/", child);
            }
        }
    }
    NextLevel = std::move(queued);
}

int TFtpFileOper::GetTopFolderCount() {
    return 10;
}

// ---- Snapshot ------------------------------------------------------------------------------------

int TFtpFileOper::LoadSnapshot() {
    ResetSnapshot();
    SnapshotFailed = false;
    if (SnapshotName.empty()) {
        return 0;
    }
    TFileAttri probe;
    probe.Name = SnapshotName;
    probe.RelPath = RootPath + "/" + WorkFolderName + "/";
    const int exists = RemoteExists(probe);
    if (exists == 1) {
        return 0;
    }
    try {
        if (exists != 0) {
            throw EInOutError("Cannot look for the snapshot: no connection to " + Prefix);
        }
        TFileAttri entry;
        entry.Name = SnapshotName;
        entry.RelPath = std::string("/") + WorkFolderName + "/";
        std::stringstream stream;
        if (ReadToStream(Source, &entry, stream) != 0) {
            throw EInOutError("Cannot read the snapshot " + SnapshotName + " from " + Prefix);
        }
        if (!stream.str().empty()) {
            Snapshot->LoadFromStream(stream);
        }
    } catch (const std::exception& e) {
        // A snapshot that cannot be used counts as absent; the log tells why.
        ResetSnapshot();
        SnapshotFailed = true;
        ErrorLogger.LogError("Read Snapshot Error", e);
    }
    return 0;
}

// ---- Transfers --------------------------------------------------------------------------------------

bool TFtpFileOper::DownloadFile(const std::string& Name, const std::string& LocalPath, int64_t ExpectedSize) {
    std::shared_ptr<TFtpSession> session = Session();
    if (!session) {
        return false;
    }
    if (session->GetToFile(Name, LocalPath, ExpectedSize) != ftpOk) {
        RecordFailure("FTP Download Error " + session->CurrentDir() + Name, session);
        return false;
    }
    return true;
}

bool TFtpFileOper::UploadFile(const std::string& Name, const std::string& LocalPath, int64_t ExpectedSize,
                              int32_t Time) {
    std::shared_ptr<TFtpSession> session = Session();
    if (!session) {
        return false;
    }
    time_t when = -1;
    if (Time == 0 || Time == FtpNoTime || !fs::DosTimeToUnix(Time, when)) {
        when = -1;
    }
    if (session->PutFromFile(LocalPath, Name, ExpectedSize, when) != ftpOk) {
        RecordFailure("FTP Upload Error " + session->CurrentDir() + Name, session);
        return false;
    }
    return true;
}

int TFtpFileOper::GetFile(const std::string& LocalPath, TFolderSource*, TFileAttri* Attr, int) {
    int entered = ftpOk;
    std::shared_ptr<TFtpSession> session = EnterFolder(FolderOf(Attr->RelPath), entered);
    if (!session) {
        return entered == ftpBroken ? -1 : 2;
    }
    SetSyncStatusText("Copy:" + Attr->Name);
    Notify(WM_COPYPROCESS);
    // The file must still be the one the analysis saw.
    const int result = session->GetToFile(Attr->Name, LocalPath, Attr->Size);
    if (result != ftpOk) {
        RecordFailure("FTP Download Error " + session->CurrentDir() + Attr->Name, session);
        return ErrorCodeOf(result);
    }
    // The copy carries the server file's time, as an upload carries its
    // source's: a run cut short before its snapshots leaves both alike.
    if (Attr->Time != 0 && Attr->Time != FtpNoTime) {
        fs::SetFileDosTime(LocalPath, Attr->Time);
    }
    return 0;
}

int TFtpFileOper::Upload(const std::string& LocalPath, TFileAttri* Attr, int64_t ExpectedSize,
                         const std::string& Status) {
    MakeFolder(WithSlash(Attr->RelPath.empty() ? std::string("/") : Attr->RelPath.str()));
    int entered = ftpOk;
    const std::shared_ptr<TFtpSession> session = EnterFolder(FolderOf(Attr->RelPath), entered);
    if (!session) {
        return 1;
    }
    RemoveStaleParts(*session, *Attr);
    if (!Status.empty()) {
        SetSyncStatusText(Status);
        Notify(WM_COPYPROCESS);
    }
    return UploadFile(Attr->Name, LocalPath, ExpectedSize, Attr->Time) ? 0 : -1;
}

// A killed upload leaves its part file (or the stand-in of a name that is not
// plain) on the server; the first upload of this object into a folder removes
// those of its own task. A listing that fails removes nothing.
void TFtpFileOper::RemoveStaleParts(TFtpSession& Session, const TFileAttri& Attr) {
    const std::string folder = FolderOf(Attr.RelPath);
    if (PartOwner.empty() || !PartFoldersCleared.insert(folder).second) {
        return;
    }
    std::vector<TFtpEntry> entries;
    if (Session.List(entries) != ftpOk) {
        return;
    }
    for (const TFtpEntry& entry : entries) {
        const bool own = fs::IsPartFileOf(entry.Name, PartOwner) || IsStandInOf(entry.Name, PartOwner);
        if (!entry.IsFolder && own && Session.Delete(entry.Name) == ftpOk) {
            TFileAttri part;
            part.Name = entry.Name;
            part.RelPath = Attr.RelPath;
            std::string path = folder + entry.Name;
            if (Source != nullptr) {
                BuildFullPath(Source, &part, path);
            }
            RemovedPartFiles.push_back(path);
        }
    }
}

int TFtpFileOper::PutFile(const std::string& LocalPath, TFolderSource*, TFileAttri* Attr, int) {
    // The local file must still be the one the analysis saw.
    return Upload(LocalPath, Attr, Attr->Size, "Copy:" + LocalPath);
}

int TFtpFileOper::ReadToStream(TFolderSource*, TFileAttri* Attr, std::stringstream& Stream) {
    int entered = ftpOk;
    if (!EnterFolder(FolderOf(Attr->RelPath), entered)) {
        return -1;
    }
    TStagingFile staging;
    std::shared_ptr<TFtpSession> session = Session();
    const int result = session ? session->GetToFile(Attr->Name, staging.Path(), -1) : ftpBroken;
    if (result != ftpOk) {
        RecordFailure("FTP Download Error " + FolderOf(Attr->RelPath) + Attr->Name, session);
        return ErrorCodeOf(result);
    }
    std::string bytes;
    if (!ReadWholeFile(staging.Path(), bytes)) {
        return -1;
    }
    Stream.str(std::move(bytes));
    Stream.clear();
    return 0;
}

int TFtpFileOper::WriteFromStream(std::istream& Stream, TFolderSource*, TFileAttri* Attr, bool) {
    TStagingFile staging;
    if (!WriteStreamToFile(Stream, staging.Path())) {
        return -1;
    }
    return Upload(staging.Path(), Attr, -1, "") == 0 ? 0 : -1;
}

// Keeps the current server file below "__saved__" before it is replaced or
// deleted. A file that could not be fetched gives no saved copy, and the caller
// then leaves the file alone.
int TFtpFileOper::SaveOldFile(TFolderSource*, TFileAttri* Attr) {
    try {
        int entered = ftpOk;
        if (!EnterFolder(FolderOf(Attr->RelPath), entered)) {
            return 1;
        }
        TStagingFile staging;
        if (!DownloadFile(Attr->Name, staging.Path())) {
            return 1;
        }
        std::string saved;
        if (GetSavedFolder(saved) != 0) {
            return 1;
        }
        TFileAttri copy = *Attr;
        copy.RelPath =
            WithSlash(JoinServerPath("/" + saved, Attr->RelPath.empty() ? "/" : Attr->RelPath.str()));
        return Upload(staging.Path(), &copy, -1, "") == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Save Old File Error", e);
        return 1;
    }
}

// ---- Folders and single items ---------------------------------------------------------------------------

int TFtpFileOper::MakeFolder(const std::string& RelPath) {
    const std::string rel = StartsWith(RelPath, "/") ? RelPath : "/" + RelPath;
    std::shared_ptr<TFtpSession> session = Session();
    if (!session) {
        return -1;
    }
    if (session->ChangeDir(RootPath + rel) == ftpOk) {
        return 0;
    }
    // Level by level from the root; the deepest level decides.
    int result = -2;
    std::string path = RootPath;
    size_t start = 0;
    while (start < rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) {
            end = rel.size();
        }
        const std::string part = rel.substr(start, end - start);
        start = end + 1;
        if (part.empty()) {
            continue;
        }
        path += "/" + part;
        // Some servers take a blank at the end of a path for one too many and
        // drop or replace it (Pure-FTPd makes "x " into "x_"); behind a "/",
        // it is plainly part of the folder's name.
        const bool blankEnd = static_cast<unsigned char>(part.back()) <= ' ';
        const int made = session->MakeDir(blankEnd ? path + "/" : path);
        result = made == ftpOk ? 0 : (made == ftpBroken ? -1 : -3);
    }
    return result == 0 ? 0 : FailFrom(result, session);
}

int TFtpFileOper::RemoveDirectory(const std::string& Path) {
    std::shared_ptr<TFtpSession> session = Session();
    if (!session) {
        return -1;
    }
    const int result = session->RemoveDir(Path);
    if (result == ftpOk) {
        return 0;
    }
    return FailFrom(result == ftpBroken ? -1 : -3, session);
}

int TFtpFileOper::RemoveFolder(TFolderSource*, TFileAttri* Attr) {
    std::string path = FolderOf(Attr->RelPath) + Attr->Name;
    return RemoveDirectory(path);
}

int TFtpFileOper::RemoteExists(const TFileAttri& Attr) {
    std::shared_ptr<TFtpSession> session = Session();
    if (!session) {
        return -1;
    }
    const int entered = session->ChangeDir(Attr.RelPath);
    if (entered != ftpOk) {
        return entered == ftpBroken ? -1 : 1;
    }
    TFtpEntry entry;
    const int found = session->Stat(Attr.Name, entry);
    if (found == ftpOk) {
        return 0;
    }
    return found == ftpRefused ? 1 : -1;
}

int TFtpFileOper::DeleteFile(TFolderSource*, TFileAttri* Attr) {
    TFileAttri probe;
    probe.Name = Attr->Name;
    probe.RelPath = FolderOf(Attr->RelPath);
    SetSyncStatusText("Delete:" + Attr->Name);
    Notify(WM_COPYPROCESS);
    // RemoteExists leaves the session in the file's folder.
    if (RemoteExists(probe) != 0) {
        return -1;
    }
    std::shared_ptr<TFtpSession> session = Session();
    return session && session->Delete(Attr->Name) == ftpOk ? 0 : FailFrom(-1, session);
}

int TFtpFileOper::GetSavedFolder(std::string& Path) {
    int entered = ftpOk;
    if (!EnterFolder(WithSlash(TrimBlanks(GetRootPath())), entered)) {
        Path.clear();
        return 1;
    }
    const std::string work = WorkFolderName;
    const std::string saved = work + "/" + SavedFolderName;
    const bool made = MakeFolder(work) == 0 && MakeFolder(saved) == 0;
    Path = saved;
    return made ? 0 : 1;
}

// -1 only when the server says there is no such file (or no such folder to
// hold it); a lost connection or a reply that cannot be read is no proof of it.
int64_t TFtpFileOper::GetFileSize(const std::string& Path) {
    std::string folder;
    std::string name;
    if (!SplitUrl(Path, folder, name)) {
        return SizeNotKnown;
    }
    int entered = ftpOk;
    std::shared_ptr<TFtpSession> session = EnterFolder(folder, entered);
    if (!session) {
        return entered == ftpRefused ? -1 : SizeNotKnown;
    }
    TFtpEntry entry;
    const int found = session->Stat(name, entry);
    if (found == ftpRefused) {
        return -1;
    }
    if (found != ftpOk) {
        FailFrom(0, session);
        return SizeNotKnown;
    }
    return entry.IsFolder ? SizeNotKnown : entry.Size;
}

// A rename goes where the new path says: within the folder, or into another
// folder of the endpoint.
int TFtpFileOper::RenameFile(const std::string& OldPath, const std::string& NewPath) {
    std::string oldFolder;
    std::string oldName;
    std::string newFolder;
    std::string newName;
    if (!SplitUrl(OldPath, oldFolder, oldName) || !SplitUrl(NewPath, newFolder, newName)) {
        return -1;
    }
    int entered = ftpOk;
    std::shared_ptr<TFtpSession> session = EnterFolder(oldFolder, entered);
    if (!session) {
        return -1;
    }
    const std::string target = newFolder == oldFolder ? newName : newFolder + newName;
    return session->Rename(oldName, target) == ftpOk ? 0 : FailFrom(1, session);
}

int TFtpFileOper::ExtractFolderPath(const std::string&, std::string&) {
    return 0;
}

int TFtpFileOper::BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) {
    if (Attr->RelPath.empty()) {
        Attr->RelPath = "/";
    }
    Path = WithSlash(JoinServerPath(TrimBlanks(Source->FolerAllName), Attr->RelPath)) + Attr->Name;
    return 0;
}

int TFtpFileOper::BuildFolderPath(TFolderSource*, TFileAttri*, std::string&) {
    return 0;
}

} // namespace tandemora
