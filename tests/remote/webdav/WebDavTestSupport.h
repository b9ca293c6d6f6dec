#pragma once
// The WebDAV fixture: the servers tests/servers/webdav.sh started (Apache over
// http and https, rclone, lighttpd), a scratch folder of each test's own on one of
// them (seen as a URL and as the folder on disk behind it), and a canned-reply
// HTTP server on 127.0.0.1 for the replies a sound server never gives.

#include "TestSupport.h"
#include "endpoints/EndpointTestSupport.h"
#include "endpoints/UTWebDavFileOper.h"
#include "platform/Http.h"
#include "remote/RemoteTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace webdavtest {

using namespace tandemora;
using endpointtest::Item;

// A server's settings. Kind "" is Apache over http, "HTTPS_" the same Apache
// over TLS, "RCLONE_" rclone's WebDAV server, "LIGHTTPD_" lighttpd's; an empty
// Url when the fixture has no such server.
struct TServer {
    std::string Url;  // http://127.0.0.1:PORT/dav
    std::string Root; // the folder on disk behind Url
    std::string User, Password;
    std::string CaFile; // the CA that signed the https server's certificate

    static TServer Read(const std::string& kind = "") {
        auto env = remotetest::ServerEnv();
        return {env[kind + "URL"], env[kind + "ROOT"], env["USER"], env["PASSWORD"], env["CA_FILE"]};
    }
};

// Sends one request with the test credentials; the status, or 0.
inline int Request(const TServer& server, const std::string& method, const std::string& url,
                   const std::string& body = "") {
    http::TRequest request;
    request.Method = method;
    request.Url = TWebDavFileOper::EncodeUrl(url);
    request.User = server.User;
    request.Password = server.Password;
    request.Body = body;
    http::TReply reply;
    http::Send(request, reply);
    return reply.Status;
}

// A test's scratch folder "<suite>.<test>" on a server, made empty.
struct TDavFolder {
    TServer Server;
    std::string Url;  // the folder's URL
    std::string Disk; // the same folder on disk

    bool Open(const std::string& kind = "") {
        Server = TServer::Read(kind);
        Url = Server.Url + "/" + remotetest::ScratchName();
        Disk = Server.Root + "/" + remotetest::ScratchName();
        Request(Server, "DELETE", Url); // what an earlier run left
        return !Server.Url.empty() && Request(Server, "MKCOL", Url) == 201;
    }
    // Puts a file through the server, making the folders on the way.
    void Put(const std::string& rel, const std::string& bytes) const {
        for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
            Request(Server, "MKCOL", Url + "/" + rel.substr(0, slash));
        }
        ASSERT_TRUE(http::IsSuccess(Request(Server, "PUT", Url + "/" + rel, bytes))) << rel;
    }
    void Mkcol(const std::string& rel) const {
        ASSERT_EQ(Request(Server, "MKCOL", Url + "/" + rel), 201) << rel;
    }
    std::string Read(const std::string& rel) const { return testsupport::ReadFile(Disk + "/" + rel); }
    bool Has(const std::string& rel) const { return testsupport::Exists(Disk + "/" + rel); }
    void Use(TFolderSource& source) const {
        source.DeviceType = dtWebDav;
        source.FolerAllName = Url;
        source.UserName = Server.User;
        source.PWD = Server.Password;
    }
};

// Every endpoint test: a scratch folder on Apache, the endpoint's source pointed
// at it, and temporary time zone, program and XDG folders.
class WebDavTest : public endpointtest::EndpointTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dav.Open()) << "no WebDAV server state in TANDEMORA_SERVER_STATE";
        Dav.Use(Source);
    }
    std::unique_ptr<TWebDavFileOper> MakeDav() {
        auto oper = std::make_unique<TWebDavFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        return oper;
    }
    TDavFolder Dav;
};

// An HTTP server on 127.0.0.1 that answers each request with the reply given for
// its method and path (the path as it comes on the wire; a key ending in "*"
// stands for every path that starts with the rest), and 404 otherwise.
// One request per connection. A reply may be sent before the request body was
// read, as a server refusing an upload does.
class TCannedServer {
public:
    TCannedServer() {
        listener_ = remotetest::ListenOnLoopback(port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TCannedServer() {
        shutdown(listener_, SHUT_RDWR); // ends the accept below
        thread_.join();
        close(listener_);
    }
    TCannedServer(const TCannedServer&) = delete;
    TCannedServer& operator=(const TCannedServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // raw: status line, headers, blank line and body, as sent.
    void On(const std::string& method, const std::string& path, const std::string& raw,
            bool readBody = true) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[method + " " + path] = {raw, readBody};
    }
    // "METHOD path" of every request so far, in order.
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // The request line and headers of every request so far, as they came.
    std::vector<std::string> Heads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return heads_;
    }

    // A whole reply with a length header for the body.
    static std::string Reply(int status, const std::string& body, const std::string& extra = "") {
        return "HTTP/1.1 " + std::to_string(status) +
               " Canned\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
               "Connection: close\r\n\r\n" + body;
    }

private:
    void Serve() {
        for (int client; (client = accept(listener_, nullptr, nullptr)) >= 0; close(client)) {
            Answer(client);
        }
    }

    void Answer(int client) {
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && recv(client, &c, 1, 0) == 1) {
            head += c;
        }
        const std::string line = head.substr(0, head.find("\r\n"));
        const std::string key = line.substr(0, line.rfind(' '));
        std::pair<std::string, bool> canned{Reply(404, "<html>Not Found</html>"), true};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(key);
            heads_.push_back(head);
            for (const auto& [pattern, reply] : replies_) {
                const bool prefix = !pattern.empty() && pattern.back() == '*';
                if (pattern == key ||
                    (prefix && key.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0)) {
                    canned = reply;
                }
            }
        }
        if (canned.second) {
            if (head.find("Expect: 100-continue") != std::string::npos) {
                send(client, "HTTP/1.1 100 Continue\r\n\r\n", 25, MSG_NOSIGNAL);
            }
            const size_t at = head.find("Content-Length: ");
            long long remaining = at != std::string::npos ? std::atoll(head.c_str() + at + 16) : 0;
            std::vector<char> buffer(65536);
            for (ssize_t n = 0; remaining > 0 && (n = recv(client, buffer.data(), buffer.size(), 0)) > 0;) {
                remaining -= n;
            }
        }
        send(client, canned.first.data(), canned.first.size(), MSG_NOSIGNAL);
        shutdown(client, SHUT_WR);
        // Let the client read the reply before the connection goes.
        pollfd p{client, POLLIN, 0};
        char sink[4096];
        while (poll(&p, 1, 200) > 0 && recv(client, sink, sizeof(sink), 0) > 0) {
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, bool>> replies_;
    std::vector<std::string> requests_;
    std::vector<std::string> heads_;
};

// A multistatus reply body: the folder at path itself, then the given members
// ("name/" for a folder, "name" for a 6-byte file).
inline std::string Listing(const std::string& path, const std::vector<std::string>& members) {
    auto response = [](const std::string& href, bool folder) {
        return "<D:response><D:href>" + href + "</D:href><D:propstat><D:prop>" +
               (folder ? "<D:resourcetype><D:collection/></D:resourcetype>"
                       : "<D:resourcetype/><D:getcontentlength>6</D:getcontentlength>") +
               "<D:getlastmodified>Sun, 06 Nov 1994 08:49:37 GMT</D:getlastmodified>"
               "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
    };
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:multistatus xmlns:D=\"DAV:\">";
    text += response(path + "/", true);
    for (const std::string& m : members) {
        text += response(path + "/" + m, !m.empty() && m.back() == '/');
    }
    return text + "</D:multistatus>";
}

// An rclone WebDAV server of this test's own on 127.0.0.1, which the test
// stops and starts again on the same port between runs, or freezes.
class TPrivateServer {
public:
    TPrivateServer(const std::string& folder, const std::string& user, const std::string& password)
        : folder_(folder), user_(user), password_(password), port_(remotetest::ClosedPort()) {}
    ~TPrivateServer() { Stop(); }
    TPrivateServer(const TPrivateServer&) = delete;
    TPrivateServer& operator=(const TPrivateServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/dav"; }

    // True once the server answers a listing.
    bool Start() {
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        std::vector<std::string> args = {
            "rclone",    "serve", "webdav", folder_, "--config", "/dev/null", "--addr",           address,
            "--baseurl", "/dav",  "--user", user_,   "--pass",   password_,   "--dir-cache-time", "0s"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&pid_, "rclone", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = 0;
            return false;
        }
        webdavtest::TServer server{Url(), folder_, user_, password_, ""};
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (webdavtest::Request(server, "PROPFIND", Url() + "/") == 207) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGCONT); // a frozen server cannot end
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
    }
    // Stops and continues the server, as one that stops answering for a while.
    bool Freeze() { return pid_ > 0 && kill(pid_, SIGSTOP) == 0; }
    bool Thaw() { return pid_ > 0 && kill(pid_, SIGCONT) == 0; }

private:
    std::string folder_, user_, password_;
    int port_;
    pid_t pid_ = 0;
};

} // namespace webdavtest
