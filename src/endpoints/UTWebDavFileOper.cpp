#include "endpoints/UTWebDavFileOper.h"

#include "model/UTUtils.h"

#include "endpoints/webdavxml.h"
#include "platform/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tandemora {

namespace {

const char* const PropfindBody =
    "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\"><D:allprop/></D:propfind>";
const char* const UserAgent = "Tandemora";
const char* const AcceptValue = " */*";
const char* const WorkRelPath = "/__Tandemora__/";

// GetFileSize's answer when something may stand under a URL but no file size can
// be given for it: a folder, or a server that could not be asked. No file has
// this size, so the sync thread's checks (a file of the analysed size, or
// nothing at all) both fail, and nothing is copied over or deleted on a guess.
constexpr int64_t SizeNotKnown = FileSizeUnknown;

// Where the host of "scheme://host[:port]/path" begins; npos without "://".
size_t HostStart(const std::string& url) {
    const size_t scheme = url.find("://");
    return scheme == std::string::npos ? std::string::npos : scheme + 3;
}

// Where the path begins: the first "/" after the host, or the end of the text.
size_t PathStart(const std::string& url) {
    const size_t host = HostStart(url);
    if (host == std::string::npos) {
        return 0;
    }
    const size_t slash = url.find('/', host);
    return slash == std::string::npos ? url.size() : slash;
}

// A URL without trailing "/" (never into its "scheme://").
std::string UrlWithoutSlash(std::string u) {
    const size_t host = HostStart(u);
    const size_t keep = host == std::string::npos ? 0 : host;
    while (u.size() > keep && u.back() == '/') {
        u.pop_back();
    }
    return u;
}

// A root URL as typed, trimmed of blanks and of trailing "/". Only a typed root
// is trimmed: below it, a blank at the end is part of a name.
std::string NormalizedUrl(const std::string& url) {
    return UrlWithoutSlash(TrimBlanks(url));
}

// "scheme://host[:port]" of a URL: where its GET and PUT go.
std::string ServerOf(const std::string& url) {
    return url.substr(0, PathStart(url));
}

// A folder URL or path and a relative path joined with exactly one "/" between
// them; "\" stays a name character.
std::string JoinUrl(const std::string& left, const std::string& right) {
    std::string a = left;
    if (!a.empty() && a.back() == '/') {
        a.pop_back();
    }
    return right.empty() || right.front() != '/' ? a + "/" + right : a + right;
}

std::string WithSlash(const std::string& s) {
    return !s.empty() && s.back() == '/' ? s : s + "/";
}

// A local file that is removed again when it goes out of scope, unless kept.
class TLocalTemp {
public:
    explicit TLocalTemp(std::string path) : path_(std::move(path)) {}
    ~TLocalTemp() {
        if (!path_.empty()) {
            fs::DeleteFile(path_);
        }
    }
    TLocalTemp(const TLocalTemp&) = delete;
    TLocalTemp& operator=(const TLocalTemp&) = delete;
    const std::string& Path() const { return path_; }
    void Keep() { path_.clear(); }

private:
    std::string path_;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A length as the reply gives it: decimal digits only, blanks around allowed.
bool ParseLength(const std::string& text, int64_t& value) {
    const std::string t = TrimBlanks(text);
    if (t.empty() || t.size() > 18) {
        return false;
    }
    value = 0;
    for (char c : t) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

// A status line "HTTP/1.1 200 OK" reads as success when its code is 2xx; a
// missing status line counts as success, as servers may leave it out.
bool StatusLineOk(const std::string& line) {
    const std::string t = TrimBlanks(line);
    if (t.empty()) {
        return true;
    }
    const size_t blank = t.find(' ');
    return blank != std::string::npos && blank + 1 < t.size() && t[blank + 1] == '2';
}

// A field of the date text: the characters at 1-based positions, as a number.
int DateField(const std::string& text, size_t position, size_t length) {
    const std::string field = position - 1 < text.size() ? text.substr(position - 1, length) : std::string();
    if (field.empty()) {
        throw EConvertError("'" + field + "' is not a valid integer value");
    }
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') {
            throw EConvertError("'" + field + "' is not a valid integer value");
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

TWebDavFileOper::TWebDavFileOper(bool FreeOnTerminate) : TFileOper(FreeOnTerminate) {
    ResetTree();
}

TWebDavFileOper::~TWebDavFileOper() {
    WaitForScan();
}

// ---- URLs -------------------------------------------------------------------------------

std::string TWebDavFileOper::ExtractHost(const std::string& Url) {
    const size_t host = HostStart(Url);
    if (host == std::string::npos) {
        return "";
    }
    return Url.substr(host, PathStart(Url) - host);
}

std::string TWebDavFileOper::ServerPath() const {
    const std::string root = RootUrl();
    const std::string path = root.substr(PathStart(root));
    return path.empty() ? path : path.substr(1);
}

std::string TWebDavFileOper::UrlPath() const {
    return ServerPath();
}

std::string TWebDavFileOper::FirstPathSegment() const {
    const std::string path = ServerPath();
    return path.substr(0, path.find('/'));
}

std::string TWebDavFileOper::EncodePath(const std::string& Path) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (char ch : Path) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            std::strchr("!$'()*-.@_/", ch) != nullptr) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string TWebDavFileOper::EncodeUrl(const std::string& Url) {
    const size_t path = PathStart(Url);
    return Url.substr(0, path) + EncodePath(Url.substr(path));
}

std::string TWebDavFileOper::DecodePath(const std::string& Path) {
    std::string out;
    for (size_t i = 0; i < Path.size(); ++i) {
        if (Path[i] == '%' && i + 2 < Path.size() && HexValue(Path[i + 1]) >= 0 &&
            HexValue(Path[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(Path[i + 1]) * 16 + HexValue(Path[i + 2]));
            i += 2;
        } else {
            out += Path[i];
        }
    }
    return out;
}

// The root URL as every operation uses it: without blanks and trailing "/", so
// that relative paths come out the same whichever way the user typed it.
std::string TWebDavFileOper::RootUrl() const {
    return NormalizedUrl(Source->FolerAllName);
}

// The relative path of a listed folder: its URL with the root cut off the front;
// "/" for the root itself.
std::string TWebDavFileOper::RelativeOf(const std::string& FolderUrl) const {
    const std::string root = RootUrl();
    std::string rel = FolderUrl;
    if (rel.compare(0, root.size(), root) == 0) {
        rel = rel.substr(root.size());
    }
    return rel.empty() ? "/" : rel;
}

int TWebDavFileOper::BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) {
    Path = WithSlash(JoinUrl(NormalizedUrl(Source->FolerAllName), Attr->RelPath)) + Attr->Name;
    return 0;
}

int TWebDavFileOper::BuildFolderPath(TFolderSource*, TFileAttri* Attr, std::string& Path) {
    std::string path = JoinUrl(ServerPath(), Attr->RelPath);
    if (path.empty() || path.front() != '/') {
        path.insert(path.begin(), '/');
    }
    Path = WithSlash(path);
    return 0;
}

int TWebDavFileOper::ExtractFolderPath(const std::string&, std::string&) {
    return 0;
}

// ---- Requests --------------------------------------------------------------------------

std::string TWebDavFileOper::ServerUrl(const std::string& Host) {
    return Host.find("://") == std::string::npos ? "http://" + Host : Host;
}

void TWebDavFileOper::Send(const http::TRequest& Request, http::TReply& Reply) {
    // The user and password go in their own fields, never in the address.
    if (UrlHasUserPart(Request.Url)) {
        Reply = http::TReply();
        return;
    }
    http::Send(Request, Reply);
    if (Reply.CertificateRefused) {
        CertificateError = "The certificate of " + ServerOf(Request.Url) +
                           " could not be verified, so nothing was sent to it (" + Reply.Error + ").";
        ErrorLogger.LogError("WebDAV Certificate Error", "ECertificateError", CertificateError);
    }
    if (Reply.NoAnswer && !WaitCancelled()) {
        NotAnswering = true;
    }
    // A failure is noted for the line that reports it.
    if (Reply.Status == 0) {
        Fail(0, "no reply from the server: " + Reply.Error);
    } else if (!http::IsSuccess(Reply.Status)) {
        Fail(0, "the server replied " + std::to_string(Reply.Status) + " to " + Request.Method);
    } else if (!Reply.Complete) {
        Fail(0, "the server's reply to " + Request.Method + " broke off: " + Reply.Error);
    }
}

http::TRequest TWebDavFileOper::NewRequest(const std::string& Method, const std::string& Url,
                                           const std::string& User, const std::string& Password) {
    http::TRequest request;
    request.Method = Method;
    request.Url = EncodeUrl(Url);
    request.User = User;
    request.Password = Password;
    request.ConnectTimeoutMs = StallLimitMs;
    request.StallTimeoutMs = StallLimitMs;
    // A stopped endpoint, or a cancelled run, breaks off its request instead of
    // waiting for the server.
    request.Cancelled = [this] { return WaitCancelled(); };
    return request;
}

int TWebDavFileOper::Propfind(const std::string& Url, const std::string& User, const std::string& Password,
                              const std::string& Depth) {
    http::TRequest request = NewRequest("PROPFIND", Url, User, Password);
    request.Headers = {
        {"Accept", AcceptValue}, {"Content-Type", "text/xml"}, {"User-Agent", UserAgent}, {"Depth", Depth}};
    request.Body = PropfindBody;
    request.ReplyHeader = "Server";
    request.MaxReplyBytes = MaxListingBytes;
    http::TReply reply;
    Send(request, reply);
    if (reply.Status == 0) {
        return 2;
    }
    if (reply.Status == 207) {
        ServerInfo = "WebDAV:" + reply.HeaderValue;
        // A reply cut short, or one that is not a listing, is no listing at all:
        // reading it as an empty folder would have its files deleted elsewhere.
        if (!reply.Complete || !ParseMultistatus(TrimBlanks(reply.Body), Url)) {
            return reply.Complete ? Fail(erFailed, "the server's reply is not a listing of this folder alone")
                                  : erFailed;
        }
        return erOk;
    }
    if (reply.Status == 404) {
        return erMissing;
    }
    return reply.Status >= 400 && reply.Status <= 499 ? reply.Status : erFailed;
}

int TWebDavFileOper::PropfindEntry(const std::string& Url) {
    return Propfind(Url, Source->UserName, Source->PWD, "1");
}

int TWebDavFileOper::RemoteExists(TFileAttri* Attr) {
    std::string url;
    BuildFullPath(Source, Attr, url);
    return PropfindEntry(url);
}

// DELETE, MOVE and COPY: done only on a 2xx status. 207 is not done: the server
// says that part of the request failed.
int TWebDavFileOper::SendSimple(const std::string& Method, const std::string& Url, const std::string& User,
                                const std::string& Password, const std::string& Destination,
                                const std::string& Depth) {
    http::TRequest request = NewRequest(Method, Url, User, Password);
    request.Headers = {{"Accept", AcceptValue}, {"User-Agent", UserAgent}};
    if (!Destination.empty()) {
        request.Headers.push_back({"Destination", EncodeUrl(Destination)});
        // Some servers (those built on Go's webdav package among them) refuse
        // to replace an existing target unless asked to in so many words.
        request.Headers.push_back({"Overwrite", "T"});
    }
    if (!Depth.empty()) {
        request.Headers.push_back({"Depth", Depth});
    }
    http::TReply reply;
    Send(request, reply);
    if (reply.Status == 0) {
        return 2;
    }
    if (http::IsSuccess(reply.Status) && reply.Status != 207) {
        return erOk;
    }
    return reply.Status == 404 ? erMissing : erFailed;
}

int TWebDavFileOper::CopyResource(const std::string& SourceUrl, const std::string& DestUrl) {
    return SendSimple("COPY", SourceUrl, Source->UserName, Source->PWD, DestUrl);
}

int TWebDavFileOper::RenameFile(const std::string& OldPath, const std::string& NewPath) {
    return SendSimple("MOVE", OldPath, Source->UserName, Source->PWD, NewPath);
}

int TWebDavFileOper::MakeCollection(const std::string& Url, const std::string& User,
                                    const std::string& Password) {
    http::TRequest request = NewRequest("MKCOL", Url, User, Password);
    request.Headers = {{"Accept", AcceptValue}, {"User-Agent", UserAgent}};
    http::TReply reply;
    Send(request, reply);
    if (reply.Status == 0) {
        return 2;
    }
    if (reply.Status == 201) {
        return erOk;
    }
    return reply.Status == 405 ? 1 : erFailed;
}

int TWebDavFileOper::HttpGetToFile(const std::string& LocalPath, const std::string& Host,
                                   const std::string& RemotePath, const std::string& User,
                                   const std::string& Password, int64_t ExpectedSize) {
    const size_t slash = LocalPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : LocalPath.substr(0, slash + 1);
    TLocalTemp part(folder + fs::PartFileName(LocalPath.substr(folder.size()), PartOwner));
    fs::TFileHandle out;
    if (!out.CreateNew(part.Path())) {
        part.Keep(); // not ours: it existed already
        return erFailed;
    }
    http::TRequest request = NewRequest("GET", ServerUrl(Host) + RemotePath, User, Password);
    // Translate: F asks for the stored bytes of files that a server would run
    // as scripts. No compression is asked for (no Accept-Encoding): the body is
    // stored as it comes, and its length is checked against the listed size, so
    // a compressed body would be refused as short or taken for the file itself.
    request.Headers = {{"User-Agent", UserAgent},
                       {"Content-Type", "application/x-www-form-urlencoded"},
                       {"Connection", "Keep-Alive"},
                       {"Translate", "F"}};
    request.ReplyFile = &out;
    http::TReply reply;
    Send(request, reply);
    const bool written = out.Sync();
    const bool closed = out.Close();
    if (reply.Status == 0) {
        return 2;
    }
    if (reply.Status == 404) {
        return erMissing;
    }
    // An error page is not the file, and a short body is not the whole file.
    if (reply.Status != 200 || !reply.Complete || !written || !closed) {
        return erFailed;
    }
    if (ExpectedSize >= 0 && reply.ReceivedBytes != ExpectedSize) {
        return Fail(erFailed, "the server sent " + std::to_string(reply.ReceivedBytes) + " bytes, not the " +
                                  std::to_string(ExpectedSize) + " it listed");
    }
    if (!fs::RenameFile(part.Path(), LocalPath)) {
        return erFailed;
    }
    part.Keep();
    return erOk;
}

int TWebDavFileOper::HttpPutFromFile(const std::string& LocalPath, const std::string& Host,
                                     const std::string& RemotePath, const std::string& User,
                                     const std::string& Password) {
    fs::TFileHandle in;
    if (!fs::FileExists(LocalPath) || !in.OpenRead(LocalPath)) {
        return erFailed;
    }
    const int64_t size = in.Size();
    if (size < 0) {
        return erFailed;
    }
    // No priming GET goes before the PUT to hand the server the credentials:
    // they go with the PUT itself (Basic, on the first request).
    http::TRequest request = NewRequest("PUT", ServerUrl(Host) + RemotePath, User, Password);
    request.Headers = {{"User-Agent", UserAgent}};
    // The file's own time, for servers that take it from this header (ownCloud
    // and Nextcloud do; Apache's mod_dav, lighttpd and rclone ignore it, and
    // none of them lets getlastmodified be set): a copy whose time matches
    // its source's is settled by times alone at the next run.
    timespec accessed{};
    timespec modified{};
    if (in.GetTimes(accessed, modified)) {
        request.Headers.push_back({"X-OC-Mtime", std::to_string(static_cast<long long>(modified.tv_sec))});
    }
    request.BodyFile = &in;
    request.BodySize = size;
    http::TReply reply;
    Send(request, reply);
    if (reply.Status == 0) {
        return 2;
    }
    if (!http::IsSuccess(reply.Status) || !reply.Complete || reply.SentBytes != size) {
        return erFailed;
    }
    return erOk;
}

// Puts a local file on the server under a temporary name in the target folder
// and moves it over the entry once the server has taken every byte, so the
// entry is the old file or the whole new one, never a part.
int TWebDavFileOper::Upload(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr) {
    std::string url;
    BuildFullPath(Source, Attr, url);
    RemoveStaleParts(Source, url.substr(0, url.size() - Attr->Name.size()));
    const std::string tempUrl =
        url.substr(0, url.size() - Attr->Name.size()) + fs::PartFileName(Attr->Name, PartOwner);
    int result = HttpPutFromFile(LocalPath, ServerOf(url), tempUrl.substr(PathStart(tempUrl)),
                                 Source->UserName, Source->PWD);
    if (result == 0) {
        result = SendSimple("MOVE", tempUrl, Source->UserName, Source->PWD, url);
    }
    if (result != 0) {
        // Whatever the server kept under the temporary name goes again; the
        // reason shown stays the upload's (the server usually kept nothing,
        // and says so to the DELETE).
        const std::string reason = LastErrorText;
        SendSimple("DELETE", tempUrl, Source->UserName, Source->PWD, "", "0");
        LastErrorText = reason;
    }
    return result;
}

// A killed upload leaves its part file on the server; the first upload of this
// object into a folder removes those of its own task. A listing that fails
// removes nothing.
void TWebDavFileOper::RemoveStaleParts(TFolderSource* Source, const std::string& FolderUrl) {
    if (PartOwner.empty() || !PartFoldersCleared.insert(FolderUrl).second) {
        return;
    }
    ClearFileList();
    std::vector<std::string> names;
    const std::string listed = FolderUrl.size() > 1 && FolderUrl.back() == '/'
                                   ? FolderUrl.substr(0, FolderUrl.size() - 1)
                                   : FolderUrl;
    if (Propfind(listed, Source->UserName, Source->PWD, "1") == 0) {
        for (const TFileAttri* entry : FileList) {
            if (entry->IsFolder != 1 && fs::IsPartFileOf(entry->Name, PartOwner)) {
                names.push_back(entry->Name);
            }
        }
    }
    ClearFileList();
    for (const std::string& name : names) {
        if (SendSimple("DELETE", FolderUrl + name, Source->UserName, Source->PWD, "", "0") == 0) {
            RemovedPartFiles.push_back(FolderUrl + name);
        }
    }
}

// ---- Transfers ---------------------------------------------------------------------------

int TWebDavFileOper::GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int) {
    std::string url;
    BuildFullPath(Source, Attr, url);
    const std::string remote = url.substr(PathStart(url));
    SetSyncStatusText("Copy:" + remote);
    Notify(WM_COPYPROCESS);
    // The analysis saw the file with this size: another size is another version.
    const int result =
        HttpGetToFile(LocalPath, ServerOf(url), remote, Source->UserName, Source->PWD, Attr->Size);
    if (result == 0 && Attr->Time != 0) {
        fs::SetFileDosTime(LocalPath, Attr->Time);
    }
    return result;
}

int TWebDavFileOper::PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int) {
    MakeFolder(Attr->RelPath);
    SetSyncStatusText("Copy:" + LocalPath);
    Notify(WM_COPYPROCESS);
    if (!fs::FileExists(LocalPath)) {
        return erFailed;
    }
    if (fs::GetFileSize64(LocalPath) != Attr->Size) {
        // The file changed since the analysis saw it: the server keeps its copy.
        return 1;
    }
    return Upload(LocalPath, Source, Attr);
}

int TWebDavFileOper::ReadToStream(TFolderSource* Source, TFileAttri* Attr, std::stringstream& Stream) {
    TLocalTemp staging(GetStagingFolder() + fs::PartFileName("webdav-" + Attr->Name, PartOwner));
    std::string url;
    BuildFullPath(Source, Attr, url);
    const std::string remote = url.substr(PathStart(url));
    SetSyncStatusText("Copy:" + remote);
    Notify(WM_COPYPROCESS);
    const int result = HttpGetToFile(staging.Path(), ServerOf(url), remote, Source->UserName, Source->PWD);
    if (result != 0) {
        return result;
    }
    fs::TFileHandle in;
    if (!in.OpenRead(staging.Path())) {
        return erFailed;
    }
    std::string bytes;
    std::vector<char> buffer(65536);
    for (;;) {
        const int64_t n = in.Read(buffer.data(), buffer.size());
        if (n < 0) {
            return erFailed;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer.data(), static_cast<size_t>(n));
    }
    Stream.str(std::move(bytes));
    Stream.clear();
    return erOk;
}

int TWebDavFileOper::WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr, bool) {
    TLocalTemp staging(GetStagingFolder() + fs::PartFileName("webdav-" + Attr->Name, PartOwner));
    fs::TFileHandle out;
    if (!out.CreateNew(staging.Path(), 0600)) {
        staging.Keep();
        return erFailed;
    }
    std::vector<char> buffer(65536);
    bool written = true;
    while (written && Stream) {
        Stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize n = Stream.gcount();
        if (n > 0) {
            written = out.WriteAll(buffer.data(), static_cast<size_t>(n));
        }
    }
    written = written && !Stream.bad();
    if (!out.Close() || !written) {
        return erFailed;
    }
    MakeFolder(Attr->RelPath);
    return Upload(staging.Path(), Source, Attr);
}

// ---- Folders -------------------------------------------------------------------------------

// Makes every level of RelPath below the root. 0 when the last level exists as
// a folder afterwards, whether this call made it or it was there already.
int TWebDavFileOper::MakeFolder(const std::string& RelPath) {
    std::string url = RootUrl();
    int result = erFailed;
    bool any = false;
    size_t start = 0;
    while (start <= RelPath.size()) {
        size_t end = RelPath.find('/', start);
        if (end == std::string::npos) {
            end = RelPath.size();
        }
        const std::string level = RelPath.substr(start, end - start);
        start = end + 1;
        if (level.empty()) {
            continue;
        }
        any = true;
        url += "/" + level;
        result = MakeCollection(url, Source->UserName, Source->PWD);
        if (result != 0 && result != 1) {
            return result;
        }
    }
    if (!any) {
        return erFailed;
    }
    if (result == 1) {
        // Refused as existing: as a folder, or as a file of that name.
        ClearFileList();
        if (Propfind(url, Source->UserName, Source->PWD, "0") != 0 || FileList.empty() ||
            FileList[0]->IsFolder != 1) {
            return 1;
        }
        return erOk;
    }
    return result;
}

int TWebDavFileOper::GetSavedFolder(std::string& Path) {
    if (!SavedFolder.empty()) {
        Path = SavedFolder;
        return 0;
    }
    const std::string rel = std::string("/") + WorkFolderName + "/" + SavedFolderName;
    Path = RootUrl() + rel;
    if (MakeFolder(rel) != 0) {
        return 1;
    }
    SavedFolder = Path;
    return 0;
}

int TWebDavFileOper::SaveOldFile(TFolderSource* Source, TFileAttri* Attr) {
    std::string sourceUrl;
    BuildFullPath(Source, Attr, sourceUrl);
    std::string saved = SavedFolder;
    if (saved.empty() && GetSavedFolder(saved) != 0) {
        return 1;
    }
    const std::string target = WithSlash(JoinUrl(saved, Attr->RelPath)) + Attr->Name;
    if (RemoteExists(Attr) != 0) {
        return 1;
    }
    MakeFolder(RelativeOf(GetPathBeforeLast(target, "/")));
    const int copied = CopyResource(sourceUrl, target);
    return copied == 0 ? 0 : copied;
}

// A DELETE of a collection takes all it holds. Depth 0 is refused for a
// collection (servers must delete collections at infinite depth), so a file's
// deletion never takes a folder that stands under the file's name by now.
int TWebDavFileOper::DeleteFile(TFolderSource* Source, TFileAttri* Attr) {
    std::string url;
    BuildFullPath(Source, Attr, url);
    SetSyncStatusText("Delete:" + url);
    Notify(WM_COPYPROCESS);
    return SendSimple("DELETE", url, Source->UserName, Source->PWD, "", "0");
}

// A DELETE of a collection takes everything in it, so the folder is listed first
// and removed only when the listing shows nothing but the folder itself.
int TWebDavFileOper::RemoveFolder(TFolderSource* Source, TFileAttri* Attr) {
    std::string url;
    BuildFullPath(Source, Attr, url);
    SetSyncStatusText("Delete:" + url);
    Notify(WM_COPYPROCESS);
    ClearFileList();
    const int listed = Propfind(url, Source->UserName, Source->PWD, "1");
    if (listed != 0) {
        return listed == erMissing ? erMissing : erFailed;
    }
    if (FileList.size() != 1 || FileList[0]->RelPath != url || FileList[0]->IsFolder != 1) {
        return erFailed;
    }
    return SendSimple("DELETE", url, Source->UserName, Source->PWD, "");
}

// ---- Endpoint ----------------------------------------------------------------------------------

int TWebDavFileOper::Connect() {
    ClearFileList();
    if (UrlHasUserPart(RootUrl())) {
        ErrorLogger.LogError("WebDAV Connect Error", "EWebDavError",
                             UrlWithoutUserPart(RootUrl()) + ": " + UserPartMessage);
        return 2;
    }
    return Propfind(RootUrl(), Source->UserName, Source->PWD, "1");
}

int TWebDavFileOper::IsRootMissing() {
    ClearFileList();
    return Propfind(RootUrl(), Source->UserName, Source->PWD, "1");
}

int TWebDavFileOper::GetTopFolderCount() {
    return 10;
}

// -1 only when the server says there is nothing (404): a refused or failed
// PROPFIND is no proof that a file is absent.
int64_t TWebDavFileOper::GetFileSize(const std::string& Path) {
    ClearFileList();
    const int found = Propfind(Path, Source->UserName, Source->PWD, "0");
    if (found == erMissing) {
        return -1;
    }
    if (found != 0 || FileList.empty() || FileList[0]->IsFolder != 0) {
        return SizeNotKnown;
    }
    return FileList[0]->Size;
}

int TWebDavFileOper::LoadSnapshot() {
    ResetSnapshot();
    SnapshotFailed = false;
    if (SnapshotName.empty()) {
        return 0;
    }
    TFileAttri attr;
    attr.Name = SnapshotName;
    attr.RelPath = WorkRelPath;
    try {
        const int exists = RemoteExists(&attr);
        if (exists == erMissing) {
            return 0;
        }
        std::stringstream stream;
        if (exists != 0 || ReadToStream(Source, &attr, stream) != 0) {
            std::string url;
            BuildFullPath(Source, &attr, url);
            throw EInOutError("Cannot read file \"" + url + "\"");
        }
        if (stream.peek() != std::stringstream::traits_type::eof()) {
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

// ---- Scan ----------------------------------------------------------------------------------------

int TWebDavFileOper::ScanTree() {
    if (Tree == nullptr || !Tree->Children.empty()) {
        ResetTree();
    }
    Tree->ListFailed = 0;
    UnreadFolders.clear();
    ScanIncomplete = false;
    RootMissing = false;
    NextLevel.clear();
    try {
        ScanLevel(TStringObjectList{{RootUrl(), Tree}});
        while (!NextLevel.empty()) {
            const TStringObjectList pending = std::move(NextLevel);
            NextLevel.clear();
            ScanLevel(pending);
        }
        SortTree(Tree);
        Tree->RemoveChild(WorkFolderName);
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

// What a folder whose listing failed leaves: it is not empty, just unseen.
void TWebDavFileOper::FolderUnread(TFileTree* Node, const std::string& Url, int Result) {
    Node->ListFailed = 1;
    if (Node == Tree && (Result == erMissing || Result == 2)) {
        RootMissing = true;
        return;
    }
    UnreadFolders.push_back(Url);
    // The folder is left alone on this run; the log says why, as for the other
    // endpoint kinds (a reply that is no listing would go unnoticed otherwise).
    ErrorLogger.LogError("WebDAV List Error " + Url, "EWebDavError",
                         LastErrorText.empty() ? std::string("the folder could not be listed")
                                               : LastErrorText);
}

void TWebDavFileOper::ScanLevel(const TStringObjectList& Pending) {
    TStringObjectList next;
    Notify(WM_UPDATEPROCESS);
    for (const auto& line : Pending) {
        auto* node = static_cast<TFileTree*>(line.second);
        // Not trimmed: a blank or control character at the end is part of a
        // folder's name.
        std::string url = line.first;
        if (!url.empty() && url.back() == '/') {
            url.pop_back();
        }
        if (Terminated()) {
            NextLevel.clear();
            MarkIncomplete();
            return;
        }
        const TRelPath rel = RelativeOf(url);
        ClearFileList();
        LastErrorText.clear();
        const int result = Propfind(url, Source->UserName, Source->PWD, "1");
        if (result != 0) {
            FolderUnread(node, url, result);
            if (NotAnswering) {
                // Every further folder would wait as long again for nothing.
                NextLevel.clear();
                MarkIncomplete();
                return;
            }
            continue;
        }
        TTreeArena* arena = node->Arena;
        for (const TFileAttri* entry : FileList) {
            if (Terminated()) {
                NextLevel.clear();
                MarkIncomplete();
                return;
            }
            if (entry->RelPath == url) {
                continue; // the folder itself
            }
            if (!IsSafeEntryName(entry->Name)) {
                ListingDamaged(node, url, entry->Name);
                continue;
            }
            if (entry->IsFolder != 1 && fs::IsPartFileOf(entry->Name, PartOwner)) {
                continue; // this task's unfinished upload, never an item of the tree
            }
            if (entry->IsFolder == 1 && entry->Name == WorkFolderName) {
                continue; // a side's work folder, at any depth, is no user data
            }
            TFileAttri* attr = arena->NewAttri();
            attr->Attr = HiddenAttrOf(entry->Name);
            attr->Name = entry->Name;
            attr->Time = entry->Time;
            attr->Size = entry->Size;
            attr->IsFolder = entry->IsFolder;
            attr->RelPath = rel;
            TFileTree* child = node->AddChild(entry->Name, attr);
            if (entry->IsFolder == 1) {
                next.emplace_back(entry->RelPath.str(), child);
            }
        }
    }
    NextLevel = std::move(next);
}

// ---- Parsing ----------------------------------------------------------------------------------

void TWebDavFileOper::ClearFileList() {
    FileList.clear();
    entries_.clear();
}

time_t TWebDavFileOper::ParseHttpInstant(const std::string& Text) {
    std::string s = Text.size() > 4 ? Text.substr(4) : std::string();
    s = TrimBlanks(s.size() >= 4 ? s.substr(0, s.size() - 4) : std::string());
    const int day = DateField(s, 1, 2);
    const int year = DateField(s, 8, 4);
    const int hour = DateField(s, 13, 2);
    const int minute = DateField(s, 16, 2);
    const int second = DateField(s, 19, 2);
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string name = s.size() >= 6 ? s.substr(3, 3) : std::string();
    int month = 0;
    for (int m = 0; m < 12; ++m) {
        if (name == months[m]) {
            month = m + 1;
        }
    }
    if (month == 0) {
        throw EConvertError("'" + name + "' is not a month name");
    }
    TSystemTime fields;
    fields.wYear = static_cast<uint16_t>(year);
    fields.wMonth = static_cast<uint16_t>(month);
    fields.wDay = static_cast<uint16_t>(day);
    fields.wHour = static_cast<uint16_t>(hour);
    fields.wMinute = static_cast<uint16_t>(minute);
    fields.wSecond = static_cast<uint16_t>(second);
    SystemTimeToDateTimeEx(fields); // raises for a day or time that does not exist
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    return timegm(&utc);
}

TDateTime TWebDavFileOper::ParseHttpDate(const std::string& Text) {
    const time_t instant = ParseHttpInstant(Text);
    std::tm local{};
    if (localtime_r(&instant, &local) == nullptr) {
        throw EConvertError("'" + Text + "' is not a valid date and time");
    }
    TSystemTime fields;
    fields.wYear = static_cast<uint16_t>(local.tm_year + 1900);
    fields.wMonth = static_cast<uint16_t>(local.tm_mon + 1);
    fields.wDay = static_cast<uint16_t>(local.tm_mday);
    fields.wHour = static_cast<uint16_t>(local.tm_hour);
    fields.wMinute = static_cast<uint16_t>(local.tm_min);
    fields.wSecond = static_cast<uint16_t>(local.tm_sec);
    return SystemTimeToDateTimeEx(fields);
}

namespace {

// The properties of a response: those of its first propstat whose status is
// 2xx (servers put the properties they lack in a "404" group, in any order).
bool GoodProp(const TXMLResponseType& response, TXMLPropType& prop) {
    for (int i = 0; i < response.PropstatCount(); ++i) {
        const TXMLPropstatType propstat = response.PropstatItem(i);
        if (StatusLineOk(propstat.Status()) && propstat.Prop().Exists()) {
            prop = propstat.Prop();
            return true;
        }
    }
    return false;
}

// The decoded path of an href, which may be a path or a whole URL.
std::string HrefPath(const std::string& href) {
    const std::string h = TrimBlanks(href);
    return TWebDavFileOper::DecodePath(HostStart(h) == std::string::npos ? h : h.substr(PathStart(h)));
}

// Paths in replies are compared without ASCII letter case: servers on file
// systems without case give hrefs in the case of the disk, not of the request.
// (A member of a folder can never equal the folder itself in any case.)
bool SamePath(const std::string& a, const std::string& b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string WithoutTrailingSlash(std::string s) {
    while (!s.empty() && s.back() == '/') {
        s.pop_back();
    }
    return s;
}

} // namespace

bool TWebDavFileOper::ParseMultistatus(const std::string& Text, const std::string& Url) {
    pugi::xml_document doc;
    if (!doc.load_buffer(Text.data(), Text.size(), pugi::parse_default, pugi::encoding_auto)) {
        return false;
    }
    const IXMLMultistatusType multistatus = Getmultistatus(doc);
    if (!multistatus.Exists()) {
        return false;
    }
    const std::string base = UrlWithoutSlash(Url);
    const std::string requested = WithoutTrailingSlash(base.substr(PathStart(base)));
    std::vector<TFileAttri> read;
    bool selfSeen = false;
    try {
        // The responses are walked in one pass: asking for them by index starts
        // from the first each time, which a folder of many thousand files turns
        // into minutes of work that no stop can break off.
        for (pugi::xml_node node = multistatus.Node().first_child(); node; node = node.next_sibling()) {
            if (!IsDavElement(node, "response")) {
                continue;
            }
            TFileAttri entry;
            bool self = false;
            if (!ReadResponse(TXMLResponseType(node), requested, entry, self) || (self && selfSeen)) {
                return false;
            }
            entry.RelPath = self ? Url : base + "/" + entry.Name;
            if (self) {
                // The resource's own entry leads its listing, wherever the server put it.
                read.insert(read.begin(), std::move(entry));
                selfSeen = true;
            } else {
                read.push_back(std::move(entry));
            }
        }
    } catch (const std::exception&) {
        return false;
    }
    // Every reply to a PROPFIND describes the requested resource itself; one that
    // does not is about something else (a proxy in between that moved the paths).
    if (!selfSeen) {
        return false;
    }
    for (TFileAttri& entry : read) {
        entries_.push_back(std::move(entry));
        FileList.push_back(&entries_.back());
    }
    return true;
}

// One response as an entry: false when the server could not describe it whole.
// Raises EConvertError for a date that does not convert.
bool TWebDavFileOper::ReadResponse(const TXMLResponseType& Response, const std::string& Requested,
                                   TFileAttri& Entry, bool& Self) {
    TXMLPropType prop;
    if (!StatusLineOk(Response.Status()) || !GoodProp(Response, prop)) {
        return false;
    }
    Entry.IsFolder = prop.Resourcetype().IsCollection() ? 1 : 0;
    // The name is the last segment of the entry's own address: a display name is
    // only a label, which a server may leave out and which need not name anything.
    const std::string path = WithoutTrailingSlash(HrefPath(Response.Href()));
    if (TrimBlanks(Response.Href()).empty()) {
        return false;
    }
    Self = SamePath(path, Requested);
    if (Self) {
        Entry.Name = GetLastPathPart(Requested, "/");
    } else {
        // A Depth 1 listing holds the folder and its direct members, nothing else.
        Entry.Name = GetLastPathPart(path, "/");
        if (!SamePath(GetPathBeforeLast(path, "/"), Requested) || Entry.Name.empty() || Entry.Name == "." ||
            Entry.Name == "..") {
            return false;
        }
    }
    const IXMLGetcontentlengthType length = prop.Getcontentlength();
    if ((length.Exists() || Entry.IsFolder == 0) && !ParseLength(length.Text(), Entry.Size)) {
        return false;
    }
    // Folders may come without length and date (they have neither on disk).
    const IXMLGetlastmodifiedType modified = prop.Getlastmodified();
    if (modified.Exists() || Entry.IsFolder == 0) {
        Entry.Time = fs::UnixToDosTime(timespec{ParseHttpInstant(modified.Text()), 0});
    }
    return true;
}

} // namespace tandemora
