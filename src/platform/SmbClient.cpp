#include "platform/SmbClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <libsmbclient.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace tandemora::smb {

namespace {

// DOS attribute bits as SMB servers report them.
constexpr uint16_t DosReadOnly = 0x01;
constexpr uint16_t DosHidden = 0x02;
constexpr uint16_t DosSystem = 0x04;
constexpr uint16_t DosDirectory = 0x10;
constexpr uint16_t DosArchive = 0x20;

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// ASCII letters and digits, whatever the locale says about other bytes.
bool IsAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A network path taken apart: the server (with its port, if any) and the names
// below it, the share first.
struct TUncPath {
    std::string Server;
    std::vector<std::string> Parts;
};

// Host names, addresses (IPv6 in brackets) and a port. Anything else would be
// read by libsmbclient as more than a server (user, password, options).
bool IsServerName(const std::string& server) {
    if (server.empty()) {
        return false;
    }
    return std::all_of(server.begin(), server.end(), [](char c) {
        return IsAsciiAlnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == ':' ||
               c == '[' || c == ']';
    });
}

bool ParseUnc(const std::string& path, TUncPath& unc) {
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) {
        return false;
    }
    unc = TUncPath();
    std::string part;
    bool first = true;
    for (std::size_t i = 2; i <= path.size(); ++i) {
        if (i < path.size() && !IsSeparator(path[i])) {
            part += path[i];
            continue;
        }
        if (first) {
            unc.Server = part;
            first = false;
        } else if (part == "..") {
            // The server would go up a level. A name holding a backslash, legal
            // on every other kind of side, is split into levels here, and one
            // like "..\..\x" must never reach a folder above the one it is put in.
            return false;
        } else if (!part.empty() && part != ".") {
            unc.Parts.push_back(part);
        }
        part.clear();
    }
    return IsServerName(unc.Server);
}

// Server names are resolved through the system's resolver (hosts file, DNS,
// mDNS) and libsmbclient is handed the address. Left to itself, libsmbclient
// falls back to NetBIOS name queries broadcast on the local network for any
// name it cannot find, which a desktop program should not send unasked.
bool ResolveServer(TUncPath& unc);

// Where the port of a server part starts (its ":"), npos when it has none. The
// colons inside an IPv6 address in brackets do not count.
std::size_t PortColon(const std::string& server) {
    const std::size_t bracket = server.rfind(']');
    const std::size_t colon = server.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        return colon;
    }
    return std::string::npos;
}

// The port written in a server part, empty when none.
std::string PortOf(const std::string& server) {
    const std::size_t colon = PortColon(server);
    return colon == std::string::npos ? std::string() : server.substr(colon + 1);
}

// The server without its port, in lower case: the name libsmbclient asks
// credentials for.
std::string HostOf(const std::string& server) {
    std::string host = server.substr(0, PortColon(server));
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return host;
}

bool ResolveServer(TUncPath& unc) {
    const std::size_t colon = PortColon(unc.Server);
    std::string host = unc.Server.substr(0, colon);
    const std::string port = colon == std::string::npos ? std::string() : unc.Server.substr(colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return true; // an IPv6 address already
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        errno = ENOENT;
        return false;
    }
    char text[INET6_ADDRSTRLEN] = {};
    bool ok = false;
    if (found->ai_family == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        ok = inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
        host = text;
    } else if (found->ai_family == AF_INET6) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(found->ai_addr);
        ok = inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) != nullptr;
        host = std::string("[") + text + "]";
    }
    freeaddrinfo(found);
    if (!ok) {
        errno = ENOENT;
        return false;
    }
    unc.Server = host + port;
    return true;
}

// A network path taken apart with its server resolved, for every call that
// reaches the network.
bool ParseAndResolve(const std::string& path, TUncPath& unc) {
    return ParseUnc(path, unc) && ResolveServer(unc);
}

// libsmbclient decodes "%XX" in every name and reads "?" as the start of options,
// so every byte that is not plainly safe is encoded.
std::string Encode(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string result;
    for (const unsigned char c : name) {
        if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            result += static_cast<char>(c);
        } else {
            result += '%';
            result += hex[c >> 4];
            result += hex[c & 15];
        }
    }
    return result;
}

// The URL of the server and the first count parts.
std::string UrlOfParts(const TUncPath& unc, std::size_t count) {
    std::string url = "smb://" + unc.Server;
    for (std::size_t i = 0; i < count && i < unc.Parts.size(); ++i) {
        url += "/" + Encode(unc.Parts[i]);
    }
    return url;
}

// libsmbclient brings some eighty libraries of Samba's with it. Linked to the
// program, every start would load and relocate them all (about 20 ms, a third
// of a start) whether or not a task uses a share; they are loaded when a share
// is first used instead.
struct TSmbLibrary {
    decltype(&smbc_free_context) free_context = nullptr;
    decltype(&smbc_getFunctionClose) getFunctionClose = nullptr;
    decltype(&smbc_getFunctionClosedir) getFunctionClosedir = nullptr;
    decltype(&smbc_getFunctionFstat) getFunctionFstat = nullptr;
    decltype(&smbc_getFunctionMkdir) getFunctionMkdir = nullptr;
    decltype(&smbc_getFunctionOpen) getFunctionOpen = nullptr;
    decltype(&smbc_getFunctionOpendir) getFunctionOpendir = nullptr;
    decltype(&smbc_getFunctionPurgeCachedServers) getFunctionPurgeCachedServers = nullptr;
    decltype(&smbc_getFunctionRead) getFunctionRead = nullptr;
    decltype(&smbc_getFunctionReaddir) getFunctionReaddir = nullptr;
    decltype(&smbc_getFunctionReaddirPlus) getFunctionReaddirPlus = nullptr;
    decltype(&smbc_getFunctionRemoveUnusedServer) getFunctionRemoveUnusedServer = nullptr;
    decltype(&smbc_getFunctionRename) getFunctionRename = nullptr;
    decltype(&smbc_getFunctionRmdir) getFunctionRmdir = nullptr;
    decltype(&smbc_getFunctionSetxattr) getFunctionSetxattr = nullptr;
    decltype(&smbc_getFunctionStat) getFunctionStat = nullptr;
    decltype(&smbc_getFunctionStatVFS) getFunctionStatVFS = nullptr;
    decltype(&smbc_getFunctionUnlink) getFunctionUnlink = nullptr;
    decltype(&smbc_getFunctionUtimes) getFunctionUtimes = nullptr;
    decltype(&smbc_getFunctionWrite) getFunctionWrite = nullptr;
    decltype(&smbc_init_context) init_context = nullptr;
    decltype(&smbc_new_context) new_context = nullptr;
    decltype(&smbc_setDebug) setDebug = nullptr;
    decltype(&smbc_setFunctionAddCachedServer) setFunctionAddCachedServer = nullptr;
    decltype(&smbc_setFunctionAuthDataWithContext) setFunctionAuthDataWithContext = nullptr;
    decltype(&smbc_setFunctionGetCachedServer) setFunctionGetCachedServer = nullptr;
    decltype(&smbc_setFunctionPurgeCachedServers) setFunctionPurgeCachedServers = nullptr;
    decltype(&smbc_setFunctionRemoveCachedServer) setFunctionRemoveCachedServer = nullptr;
    decltype(&smbc_setLogCallback) setLogCallback = nullptr;
    decltype(&smbc_setOptionNoAutoAnonymousLogin) setOptionNoAutoAnonymousLogin = nullptr;
    decltype(&smbc_setTimeout) setTimeout = nullptr;
};

template <typename TEntry> bool Take(void* handle, const char* name, TEntry& entry) {
    entry = reinterpret_cast<TEntry>(dlsym(handle, name));
    return entry != nullptr;
}

bool Load(TSmbLibrary& library) {
    void* handle = dlopen("libsmbclient.so.0", RTLD_NOW | RTLD_LOCAL);
    return handle != nullptr && Take(handle, "smbc_free_context", library.free_context) &&
           Take(handle, "smbc_getFunctionClose", library.getFunctionClose) &&
           Take(handle, "smbc_getFunctionClosedir", library.getFunctionClosedir) &&
           Take(handle, "smbc_getFunctionFstat", library.getFunctionFstat) &&
           Take(handle, "smbc_getFunctionMkdir", library.getFunctionMkdir) &&
           Take(handle, "smbc_getFunctionOpen", library.getFunctionOpen) &&
           Take(handle, "smbc_getFunctionOpendir", library.getFunctionOpendir) &&
           Take(handle, "smbc_getFunctionPurgeCachedServers", library.getFunctionPurgeCachedServers) &&
           Take(handle, "smbc_getFunctionRead", library.getFunctionRead) &&
           Take(handle, "smbc_getFunctionReaddir", library.getFunctionReaddir) &&
           Take(handle, "smbc_getFunctionReaddirPlus", library.getFunctionReaddirPlus) &&
           Take(handle, "smbc_getFunctionRemoveUnusedServer", library.getFunctionRemoveUnusedServer) &&
           Take(handle, "smbc_getFunctionRename", library.getFunctionRename) &&
           Take(handle, "smbc_getFunctionRmdir", library.getFunctionRmdir) &&
           Take(handle, "smbc_getFunctionSetxattr", library.getFunctionSetxattr) &&
           Take(handle, "smbc_getFunctionStat", library.getFunctionStat) &&
           Take(handle, "smbc_getFunctionStatVFS", library.getFunctionStatVFS) &&
           Take(handle, "smbc_getFunctionUnlink", library.getFunctionUnlink) &&
           Take(handle, "smbc_getFunctionUtimes", library.getFunctionUtimes) &&
           Take(handle, "smbc_getFunctionWrite", library.getFunctionWrite) &&
           Take(handle, "smbc_init_context", library.init_context) &&
           Take(handle, "smbc_new_context", library.new_context) &&
           Take(handle, "smbc_setDebug", library.setDebug) &&
           Take(handle, "smbc_setFunctionAddCachedServer", library.setFunctionAddCachedServer) &&
           Take(handle, "smbc_setFunctionAuthDataWithContext", library.setFunctionAuthDataWithContext) &&
           Take(handle, "smbc_setFunctionGetCachedServer", library.setFunctionGetCachedServer) &&
           Take(handle, "smbc_setFunctionPurgeCachedServers", library.setFunctionPurgeCachedServers) &&
           Take(handle, "smbc_setFunctionRemoveCachedServer", library.setFunctionRemoveCachedServer) &&
           Take(handle, "smbc_setLogCallback", library.setLogCallback) &&
           Take(handle, "smbc_setOptionNoAutoAnonymousLogin", library.setOptionNoAutoAnonymousLogin) &&
           Take(handle, "smbc_setTimeout", library.setTimeout) && true;
}

// The library's entry points; null when it cannot be loaded, which the shares
// meet as a libsmbclient that cannot start.
const TSmbLibrary* SmbLibrary() {
    static TSmbLibrary library;
    static const bool loaded = Load(library);
    return loaded ? &library : nullptr;
}

// Only once Context() gave a context: the library is loaded then.
const TSmbLibrary& Smb() {
    return *SmbLibrary();
}

SMBCCTX* Context();

// When the call that holds the lock began (steady clock, milliseconds), 0
// while none does; and whether BreakOff cut that call's connection.
std::atomic<int64_t> callSince{0};
std::atomic<bool> callBrokenOff{false};

// libsmbclient sometimes fails without saying why (a connection that broke
// off), and answers EINVAL for a server it cannot find: the paths it is given
// are well-formed, so that means the path names nothing there is. A connection
// on which a request timed out failed the first call made on it once the
// server answered again, so the idle connections go and the next call connects
// afresh. Called with the lock held, right after a libsmbclient call.
int Failed() {
    // A call whose connection BreakOff cut waited too long for its server.
    if (callBrokenOff.exchange(false)) {
        errno = ETIMEDOUT;
    }
    if (errno == 0) {
        errno = EIO;
    } else if (errno == EINVAL) {
        errno = ENOENT;
    } else if (errno == ETIMEDOUT) {
        if (SMBCCTX* context = Context(); context != nullptr) {
            Smb().getFunctionPurgeCachedServers(context)(context);
        }
        errno = ETIMEDOUT;
    }
    return errno;
}

struct TCredentials {
    std::string Domain;
    std::string User;
    std::string Password;
};

bool operator==(const TCredentials& a, const TCredentials& b) {
    return a.Domain == b.Domain && a.User == b.User && a.Password == b.Password;
}

struct TOpenFile {
    SMBCFILE* File = nullptr;
    std::string Server;
    std::string Url;
    bool TimesPending = false;
    timeval Times[2]{};
};

// Everything below is touched only with Lock() held. The credentials are read by
// Authenticate, which libsmbclient calls from inside a call that holds the lock.
std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Holds the lock for one call into libsmbclient and tells CallWaitingMs about it.
class TCall {
public:
    TCall() : guard_(Lock()) {
        callBrokenOff.store(false);
        callSince.store(std::max<int64_t>(SteadyMs(), 1));
    }
    ~TCall() { callSince.store(0); }
    TCall(const TCall&) = delete;
    TCall& operator=(const TCall&) = delete;

private:
    std::lock_guard<std::mutex> guard_;
};

// The accounts by server ("host:port", the port empty when none was given).
std::map<std::string, TCredentials>& Accounts() {
    static std::map<std::string, TCredentials> accounts;
    return accounts;
}

std::map<int, TOpenFile>& OpenFiles() {
    static std::map<int, TOpenFile> files;
    return files;
}

// How many files are open, read without the lock, so that the local file
// handles do not pay for a lookup while no network file is open.
std::atomic<int> openCount{0};

// libsmbclient keeps its connections by server name, share and account, but not
// by port: two servers on one host would share a connection, and a file meant
// for one would land on the other. The program's own cache adds the port of
// the path being worked on, which every call sets before it asks the library.
std::string& CurrentPort() {
    static std::string port;
    return port;
}

struct TCachedServer {
    SMBCSRV* Server;
    std::string Key;
};

std::vector<TCachedServer>& ServerCache() {
    static std::vector<TCachedServer> cache;
    return cache;
}

void CopyText(char* target, int length, const std::string& text) {
    if (length <= 0) {
        return;
    }
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(length - 1));
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

void Authenticate(SMBCCTX*, const char* server, const char*, char* workgroup, int workgroupLength, char* user,
                  int userLength, char* password, int passwordLength) {
    const auto found = Accounts().find(HostOf(server != nullptr ? server : "") + ":" + CurrentPort());
    if (found == Accounts().end()) {
        // No log-on for this server: an anonymous connection.
        CopyText(user, userLength, "");
        CopyText(password, passwordLength, "");
        return;
    }
    if (!found->second.Domain.empty()) {
        CopyText(workgroup, workgroupLength, found->second.Domain);
    }
    CopyText(user, userLength, found->second.User);
    CopyText(password, passwordLength, found->second.Password);
}

std::string CacheKey(const char* server, const char* share, const char* workgroup, const char* user) {
    return HostOf(server != nullptr ? server : "") + "\n" + CurrentPort() + "\n" +
           (share != nullptr ? share : "") + "\n" + (workgroup != nullptr ? workgroup : "") + "\n" +
           (user != nullptr ? user : "");
}

int AddCachedServer(SMBCCTX*, SMBCSRV* server, const char* name, const char* share, const char* workgroup,
                    const char* user) {
    ServerCache().push_back({server, CacheKey(name, share, workgroup, user)});
    return 0;
}

SMBCSRV* GetCachedServer(SMBCCTX*, const char* name, const char* share, const char* workgroup,
                         const char* user) {
    const std::string key = CacheKey(name, share, workgroup, user);
    for (const TCachedServer& cached : ServerCache()) {
        if (cached.Key == key) {
            return cached.Server;
        }
    }
    return nullptr;
}

int RemoveCachedServer(SMBCCTX*, SMBCSRV* server) {
    auto& cache = ServerCache();
    cache.erase(std::remove_if(cache.begin(), cache.end(),
                               [server](const TCachedServer& cached) { return cached.Server == server; }),
                cache.end());
    return 0;
}

// Drops every connection without an open file; 1 when some had to stay.
int PurgeCachedServers(SMBCCTX* context) {
    const std::vector<TCachedServer> cache = ServerCache();
    int kept = 0;
    for (const TCachedServer& cached : cache) {
        if (Smb().getFunctionRemoveUnusedServer(context)(context, cached.Server) != 0) {
            kept = 1;
        }
    }
    return kept;
}

// libsmbclient's own messages go nowhere: at higher levels they may carry
// account details.
void DiscardLog(void*, int, const char*) {}

constexpr int DefaultTimeoutMs = 30000;

// The one context, made on first use. Null when libsmbclient cannot start.
SMBCCTX* Context() {
    static SMBCCTX* context = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        SMBCCTX* made = SmbLibrary() != nullptr ? Smb().new_context() : nullptr;
        if (made != nullptr) {
            Smb().setDebug(made, 0);
            Smb().setLogCallback(made, nullptr, DiscardLog);
            Smb().setFunctionAuthDataWithContext(made, Authenticate);
            Smb().setFunctionAddCachedServer(made, AddCachedServer);
            Smb().setFunctionGetCachedServer(made, GetCachedServer);
            Smb().setFunctionRemoveCachedServer(made, RemoveCachedServer);
            Smb().setFunctionPurgeCachedServers(made, PurgeCachedServers);
            // A rejected password must fail, not turn into a guest connection
            // that shows the share as empty or read-only.
            Smb().setOptionNoAutoAnonymousLogin(made, 1);
            // A server that stopped answering fails a call after this long
            // (libsmbclient's own default is 20 seconds per reply, and several
            // replies may be waited for in one call).
            Smb().setTimeout(made, DefaultTimeoutMs);
            if (Smb().init_context(made) == nullptr) {
                Smb().free_context(made, 0);
                made = nullptr;
            }
        }
        context = made;
    }
    if (context == nullptr) {
        errno = ENOSYS;
    }
    return context;
}

// The context for a call that works on the given server: the port of that
// server becomes the one the connection cache looks for.
SMBCCTX* ContextFor(const std::string& server) {
    CurrentPort() = PortOf(server);
    return Context();
}

// Runs one libsmbclient step with the URL of path, under the lock. False (with
// errno) when the path is not a network path or the step failed.
bool WithUrl(const std::string& path, const std::function<bool(SMBCCTX*, const std::string&)>& step) {
    TUncPath unc;
    if (!ParseAndResolve(path, unc)) {
        errno = ENOENT;
        return false;
    }
    const std::string url = UrlOfParts(unc, unc.Parts.size());
    const TCall call;
    SMBCCTX* context = ContextFor(unc.Server);
    if (context == nullptr) {
        return false;
    }
    errno = 0;
    if (!step(context, url)) {
        Failed();
        return false;
    }
    return true;
}

uint32_t AttrOf(uint16_t dos, bool folder) {
    uint32_t attr = folder ? fs::faDirectory : fs::faArchive;
    if ((dos & DosReadOnly) != 0) {
        attr |= fs::faReadOnly;
    }
    if ((dos & DosHidden) != 0) {
        attr |= fs::faHidden;
    }
    return attr;
}

// The DOS attributes behind a stat result: libsmbclient shows read-only as a
// missing owner write bit, archive, system and hidden as the three execute bits.
uint16_t DosOf(const struct stat& st) {
    uint16_t dos = S_ISDIR(st.st_mode) ? DosDirectory : 0;
    if ((st.st_mode & S_IWUSR) == 0) {
        dos |= DosReadOnly;
    }
    if ((st.st_mode & S_IXUSR) != 0 && !S_ISDIR(st.st_mode)) {
        dos |= DosArchive;
    }
    if ((st.st_mode & S_IXGRP) != 0) {
        dos |= DosSystem;
    }
    if ((st.st_mode & S_IXOTH) != 0) {
        dos |= DosHidden;
    }
    return dos;
}

void FillEntry(fs::DirEntry& entry, bool folder, int64_t size, const timespec& modify, uint16_t dos) {
    entry.IsFolder = folder;
    entry.Size = folder ? 0 : size;
    entry.ModifyTime = modify;
    entry.Time = fs::UnixToDosTime(modify);
    entry.Attr = AttrOf(dos, folder);
}

bool StatUrl(SMBCCTX* context, const std::string& url, struct stat& st) {
    return Smb().getFunctionStat(context)(context, url.c_str(), &st) == 0;
}

// Once setting times or attributes by name has failed on a connection,
// libsmbclient sets them on that connection only through a file opened for
// writing from then on, which a read-only file refuses. Such a failure
// therefore drops the idle connections, and the next call starts afresh.
bool SetFailed(SMBCCTX* context) {
    const int error = Failed();
    Smb().getFunctionPurgeCachedServers(context)(context);
    errno = error;
    return false;
}

} // namespace

std::string UrlOf(const std::string& path) {
    TUncPath unc;
    if (!ParseUnc(path, unc)) {
        return "";
    }
    return UrlOfParts(unc, unc.Parts.size());
}

void SetTimeout(int64_t ms) {
    const TCall call;
    SMBCCTX* context = Context();
    if (context != nullptr) {
        Smb().setTimeout(context, static_cast<int>(std::clamp<int64_t>(ms, 1000, 3600000)));
    }
}

void LogOn(const std::string& path, const std::string& user, const std::string& password) {
    TUncPath unc;
    if (!ParseAndResolve(path, unc)) {
        return;
    }
    TCredentials account;
    account.User = user;
    account.Password = password;
    const std::size_t slash = user.find('\\');
    if (slash != std::string::npos) {
        account.Domain = user.substr(0, slash);
        account.User = user.substr(slash + 1);
    }
    const TCall call;
    const std::string key = HostOf(unc.Server) + ":" + PortOf(unc.Server);
    const auto found = Accounts().find(key);
    if (found != Accounts().end() && found->second == account) {
        return;
    }
    Accounts()[key] = account;
    // Connections kept from before would go on under the old account; those
    // with no open file are dropped (the others end with their files).
    if (SMBCCTX* context = Context()) {
        Smb().getFunctionPurgeCachedServers(context)(context);
    }
}

int ListShares(const std::string& server, std::vector<std::string>& shares) {
    shares.clear();
    TUncPath unc;
    if (!ParseAndResolve(server, unc)) {
        return ENOENT;
    }
    const TCall call;
    SMBCCTX* context = ContextFor(unc.Server);
    if (context == nullptr) {
        return errno;
    }
    errno = 0;
    SMBCFILE* dir = Smb().getFunctionOpendir(context)(context, UrlOfParts(unc, 0).c_str());
    if (dir == nullptr) {
        return Failed();
    }
    while (const smbc_dirent* item = Smb().getFunctionReaddir(context)(context, dir)) {
        const std::string name = item->name;
        // Shares ending in "$" are hidden from browsing (administrative shares).
        if (item->smbc_type == SMBC_FILE_SHARE && !name.empty() && name.back() != '$') {
            shares.push_back(name);
        }
    }
    Smb().getFunctionClosedir(context)(context, dir);
    return 0;
}

int ListFolder(const std::string& path, const std::function<void(const fs::DirEntry&)>& onEntry) {
    // Collected under the lock, handed out after it: onEntry may itself touch
    // the network (or take long), which must not happen inside a library call.
    std::vector<fs::DirEntry> entries;
    const bool listed = WithUrl(path, [&](SMBCCTX* context, const std::string& url) {
        SMBCFILE* dir = Smb().getFunctionOpendir(context)(context, url.c_str());
        if (dir == nullptr) {
            return false;
        }
        fs::DirEntry entry;
        while (const libsmb_file_info* info = Smb().getFunctionReaddirPlus(context)(context, dir)) {
            const char* name = info->name;
            if (name == nullptr ||
                (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) {
                continue;
            }
            entry.Name.assign(name);
            FillEntry(entry, (info->attrs & DosDirectory) != 0, static_cast<int64_t>(info->size),
                      info->mtime_ts, info->attrs);
            entries.push_back(entry);
        }
        Smb().getFunctionClosedir(context)(context, dir);
        return true;
    });
    if (!listed) {
        return errno;
    }
    for (const fs::DirEntry& entry : entries) {
        onEntry(entry);
    }
    return 0;
}

bool GetEntryInfo(const std::string& path, fs::DirEntry& entry) {
    struct stat st {};
    if (!WithUrl(path, [&](SMBCCTX* context, const std::string& url) { return StatUrl(context, url, st); })) {
        return false;
    }
    TUncPath unc;
    ParseUnc(path, unc);
    entry.Name = unc.Parts.empty() ? unc.Server : unc.Parts.back();
    FillEntry(entry, S_ISDIR(st.st_mode), static_cast<int64_t>(st.st_size), st.st_mtim, DosOf(st));
    return true;
}

bool SetTimes(const std::string& path, time_t modify) {
    timeval times[2] = {{modify, 0}, {modify, 0}};
    return WithUrl(path, [&](SMBCCTX* context, const std::string& url) {
        // A missing item is found out first: trying it would spoil the connection.
        struct stat st {};
        if (!StatUrl(context, url, st)) {
            return false;
        }
        return Smb().getFunctionUtimes(context)(context, url.c_str(), times) == 0 || SetFailed(context);
    });
}

bool ClearReadOnly(const std::string& path) {
    return WithUrl(path, [&](SMBCCTX* context, const std::string& url) {
        struct stat st {};
        if (!StatUrl(context, url, st)) {
            return false;
        }
        const uint16_t dos = DosOf(st);
        if ((dos & DosReadOnly) == 0) {
            return true;
        }
        // The attributes are set as a whole. None at all would mean "leave them
        // as they are", so a file keeps at least its archive bit.
        uint16_t rest = dos & static_cast<uint16_t>(~DosReadOnly);
        if (rest == 0) {
            rest = DosArchive;
        }
        char value[16];
        std::snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(rest));
        if (Smb().getFunctionSetxattr(context)(context, url.c_str(), "system.dos_attr.mode", value,
                                               std::strlen(value), 0) != 0) {
            return SetFailed(context);
        }
        if (!StatUrl(context, url, st)) {
            return false;
        }
        if ((DosOf(st) & DosReadOnly) != 0) {
            errno = EACCES;
            return false;
        }
        return true;
    });
}

bool DeleteFile(const std::string& path) {
    return WithUrl(path, [&](SMBCCTX* context, const std::string& url) {
        struct stat st {};
        if (!StatUrl(context, url, st)) {
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        // As on a local disk, the read-only attribute protects a file.
        if ((st.st_mode & S_IWUSR) == 0) {
            errno = EACCES;
            return false;
        }
        return Smb().getFunctionUnlink(context)(context, url.c_str()) == 0;
    });
}

bool RemoveFolder(const std::string& path) {
    return WithUrl(path, [&](SMBCCTX* context, const std::string& url) {
        return Smb().getFunctionRmdir(context)(context, url.c_str()) == 0;
    });
}

bool RenameFile(const std::string& from, const std::string& to) {
    TUncPath target;
    if (!ParseAndResolve(to, target)) {
        errno = ENOENT;
        return false;
    }
    const std::string toUrl = UrlOfParts(target, target.Parts.size());
    return WithUrl(from, [&](SMBCCTX* context, const std::string& url) {
        return Smb().getFunctionRename(context)(context, url.c_str(), context, toUrl.c_str()) == 0;
    });
}

bool CreateFolder(const std::string& path) {
    return WithUrl(path, [&](SMBCCTX* context, const std::string& url) {
        return Smb().getFunctionMkdir(context)(context, url.c_str(), 0777) == 0;
    });
}

bool ForceDirectories(const std::string& path) {
    TUncPath unc;
    if (!ParseAndResolve(path, unc) || unc.Parts.empty()) {
        errno = ENOENT;
        return false;
    }
    const TCall call;
    SMBCCTX* context = ContextFor(unc.Server);
    if (context == nullptr) {
        return false;
    }
    struct stat st {};
    const std::string full = UrlOfParts(unc, unc.Parts.size());
    errno = 0;
    if (StatUrl(context, full, st) && S_ISDIR(st.st_mode)) {
        return true;
    }
    // A server that did not answer would be waited for once more per level.
    if (errno == ETIMEDOUT || errno == ECONNREFUSED) {
        return false;
    }
    // The share is there or not; below it, each level is made in turn and
    // levels that exist already answer EEXIST.
    int lastError = 0;
    for (std::size_t count = 2; count <= unc.Parts.size(); ++count) {
        errno = 0;
        if (Smb().getFunctionMkdir(context)(context, UrlOfParts(unc, count).c_str(), 0777) != 0 &&
            Failed() != EEXIST) {
            lastError = errno;
        }
    }
    errno = 0;
    if (StatUrl(context, full, st) && S_ISDIR(st.st_mode)) {
        return true;
    }
    errno = lastError != 0 ? lastError : (errno != 0 ? errno : ENOTDIR);
    return false;
}

bool FreeSpace(const std::string& path, fs::DiskSpace& space) {
    TUncPath unc;
    if (!ParseAndResolve(path, unc) || unc.Parts.empty()) {
        errno = ENOENT;
        return false;
    }
    // The space of a share is the space of its root.
    std::string share = UrlOfParts(unc, 1);
    struct statvfs info {};
    {
        const TCall call;
        SMBCCTX* context = ContextFor(unc.Server);
        if (context == nullptr) {
            return false;
        }
        errno = 0;
        if (Smb().getFunctionStatVFS(context)(context, share.data(), &info) != 0) {
            Failed();
            return false;
        }
    }
    // libsmbclient passes the server's figures on as they come: f_bsize holds
    // the bytes per sector and f_frsize the sectors per allocation unit.
    const int64_t unit =
        static_cast<int64_t>(info.f_bsize) * static_cast<int64_t>(info.f_frsize == 0 ? 1 : info.f_frsize);
    space.Available = static_cast<int64_t>(info.f_bavail) * unit;
    space.Total = static_cast<int64_t>(info.f_blocks) * unit;
    space.Free = static_cast<int64_t>(info.f_bfree) * unit;
    return true;
}

// ---- Open files -------------------------------------------------------------------

int OpenFile(const std::string& path, int flags) {
    TUncPath unc;
    if (!ParseAndResolve(path, unc)) {
        errno = ENOENT;
        return -1;
    }
    const std::string url = UrlOfParts(unc, unc.Parts.size());
    const int fd = memfd_create("tandemora-smb", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // Code that looks at the descriptor itself (permission bits for a copy)
    // sees an ordinary private file.
    fchmod(fd, 0644);
    const TCall call;
    SMBCCTX* context = ContextFor(unc.Server);
    errno = 0;
    SMBCFILE* file =
        context == nullptr ? nullptr : Smb().getFunctionOpen(context)(context, url.c_str(), flags, 0666);
    if (file == nullptr) {
        const int error = context == nullptr ? errno : Failed();
        close(fd);
        errno = error;
        return -1;
    }
    TOpenFile& open = OpenFiles()[fd];
    open.File = file;
    open.Server = unc.Server;
    open.Url = url;
    openCount.fetch_add(1);
    return fd;
}

bool IsOpenFile(int fd) {
    if (fd < 0 || openCount.load() == 0) {
        return false;
    }
    const TCall call;
    return OpenFiles().count(fd) != 0;
}

int64_t ReadFile(int fd, void* buffer, size_t count) {
    const TCall call;
    const auto found = OpenFiles().find(fd);
    SMBCCTX* context = found == OpenFiles().end() ? nullptr : ContextFor(found->second.Server);
    if (context == nullptr) {
        errno = EBADF;
        return -1;
    }
    errno = 0;
    const ssize_t got = Smb().getFunctionRead(context)(context, found->second.File, buffer, count);
    if (got < 0) {
        Failed();
        return -1;
    }
    return static_cast<int64_t>(got);
}

int64_t WriteFile(int fd, const void* buffer, size_t count) {
    const TCall call;
    const auto found = OpenFiles().find(fd);
    SMBCCTX* context = found == OpenFiles().end() ? nullptr : ContextFor(found->second.Server);
    if (context == nullptr) {
        errno = EBADF;
        return -1;
    }
    errno = 0;
    const ssize_t written = Smb().getFunctionWrite(context)(context, found->second.File, buffer, count);
    if (written < 0) {
        Failed();
        return -1;
    }
    return static_cast<int64_t>(written);
}

bool GetFileInfo(int fd, int64_t& size, timespec& access, timespec& modify) {
    const TCall call;
    const auto found = OpenFiles().find(fd);
    SMBCCTX* context = found == OpenFiles().end() ? nullptr : ContextFor(found->second.Server);
    if (context == nullptr) {
        errno = EBADF;
        return false;
    }
    struct stat st {};
    errno = 0;
    if (Smb().getFunctionFstat(context)(context, found->second.File, &st) != 0) {
        Failed();
        return false;
    }
    size = static_cast<int64_t>(st.st_size);
    access = st.st_atim;
    modify = st.st_mtim;
    return true;
}

bool SetFileTimes(int fd, const timespec& access, const timespec& modify) {
    const TCall call;
    const auto found = OpenFiles().find(fd);
    if (found == OpenFiles().end()) {
        errno = EBADF;
        return false;
    }
    found->second.TimesPending = true;
    found->second.Times[0] = {access.tv_sec, static_cast<suseconds_t>(access.tv_nsec / 1000)};
    found->second.Times[1] = {modify.tv_sec, static_cast<suseconds_t>(modify.tv_nsec / 1000)};
    return true;
}

bool CloseFile(int fd) {
    bool closed = false;
    int error = 0;
    {
        const TCall call;
        const auto found = OpenFiles().find(fd);
        if (found == OpenFiles().end()) {
            errno = EBADF;
            return false;
        }
        TOpenFile open = found->second;
        OpenFiles().erase(found);
        openCount.fetch_sub(1);
        SMBCCTX* context = ContextFor(open.Server);
        if (context != nullptr) {
            errno = 0;
            closed = Smb().getFunctionClose(context)(context, open.File) == 0;
            error = closed ? 0 : Failed();
            if (closed && open.TimesPending &&
                Smb().getFunctionUtimes(context)(context, open.Url.c_str(), open.Times) != 0) {
                SetFailed(context);
            }
        }
    }
    // The descriptor goes last, so that its number cannot be handed out again
    // while it still names the network file.
    close(fd);
    errno = error;
    return closed;
}

int64_t CallWaitingMs() {
    const int64_t since = callSince.load();
    return since == 0 ? 0 : std::max<int64_t>(SteadyMs() - since, 0);
}

namespace {

// Whether a socket's peer is the address of host (an IPv4 or a bracketed IPv6
// address, as ResolveServer leaves it) on one of ports.
bool PeerIs(int fd, const std::string& host, const std::vector<uint16_t>& ports) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
        return false;
    }
    uint16_t port = 0;
    if (peer.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        in_addr want{};
        if (inet_pton(AF_INET, host.c_str(), &want) != 1 || want.s_addr != v4->sin_addr.s_addr) {
            return false;
        }
        port = ntohs(v4->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        const std::string bare =
            host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
        in6_addr want{};
        if (inet_pton(AF_INET6, bare.c_str(), &want) != 1 ||
            std::memcmp(&want, &v6->sin6_addr, sizeof want) != 0) {
            return false;
        }
        port = ntohs(v6->sin6_port);
    } else {
        return false;
    }
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

} // namespace

int BreakOff(const std::string& path) {
    TUncPath unc;
    if (!ParseAndResolve(path, unc)) {
        return 0;
    }
    const std::string host = unc.Server.substr(0, PortColon(unc.Server));
    const std::string port = PortOf(unc.Server);
    std::vector<uint16_t> ports = {445, 139}; // the ports libsmbclient tries without one
    if (!port.empty()) {
        ports = {static_cast<uint16_t>(std::strtoul(port.c_str(), nullptr, 10))};
    }
    // libsmbclient shows no connection's socket, but this process's sockets to
    // the server are its connections: shut down, a call waiting on one wakes
    // with its connection gone, and the next call connects afresh.
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return 0;
    }
    int cut = 0;
    while (const dirent* item = readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(item->d_name, &end, 10);
        struct stat st {};
        if (end == item->d_name || *end != '\0' || fd < 0 || fd == dirfd(fds) ||
            fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode) ||
            !PeerIs(static_cast<int>(fd), host, ports)) {
            continue;
        }
        callBrokenOff.store(true);
        if (shutdown(static_cast<int>(fd), SHUT_RDWR) == 0) {
            ++cut;
        }
    }
    closedir(fds);
    return cut;
}

TBreakOnCancel::TBreakOnCancel(std::string Path, std::function<bool()> Cancelled, int64_t AfterMs)
    : path_(std::move(Path)), cancelled_(std::move(Cancelled)), afterMs_(AfterMs),
      watcher_([this] { Watch(); }) {}

TBreakOnCancel::~TBreakOnCancel() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        end_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void TBreakOnCancel::Watch() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!end_) {
        wake_.wait_for(guard, std::chrono::milliseconds(200));
        if (!end_ && CallWaitingMs() >= afterMs_ && cancelled_()) {
            BreakOff(path_);
        }
    }
}

} // namespace tandemora::smb
