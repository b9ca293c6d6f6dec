#pragma once
// What the WebDAV suites share:
// - the server the fixture script started (tests/servers/webdav.sh): its URL,
//   credentials and the folder on disk that it serves, read from
//   $TANDEMORA_SERVER_STATE/env; every test works in a folder of its own there;
// - a canned-reply HTTP server on 127.0.0.1 for the replies a sound server never
//   gives (a listing that is an HTML page, a body cut short, a refused PUT).

#include "TestSupport.h"
#include "endpoints/EndpointTestSupport.h"
#include "endpoints/UTWebDavFileOper.h"
#include "platform/Http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace webdavtest {

using namespace tandemora;

// The fixture server's settings.
struct TServer {
    std::string Url;  // http://127.0.0.1:PORT/dav
    std::string Root; // the folder on disk behind Url
    std::string User;
    std::string Password;
    std::string CaFile; // the CA that signed the certificate of the https server
};

// Kind "" is Apache over http, "HTTPS_" the same Apache over TLS, "RCLONE_"
// rclone's WebDAV server, "LIGHTTPD_" lighttpd's; an empty Url when the
// fixture has no such server.
inline TServer ReadServer(const std::string& kind = "") {
    TServer server;
    const char* state = std::getenv("TANDEMORA_SERVER_STATE");
    std::ifstream env(std::string(state != nullptr ? state : "") + "/env");
    std::string line;
    while (std::getline(env, line)) {
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (key == kind + "URL") {
            server.Url = value;
        } else if (key == kind + "ROOT") {
            server.Root = value;
        } else if (key == "CA_FILE") {
            server.CaFile = value;
        } else if (key == "USER") {
            server.User = value;
        } else if (key == "PASSWORD") {
            server.Password = value;
        }
    }
    return server;
}

// Sends one request to the server with the test credentials; the status, or 0.
inline int Request(const TServer& server, const std::string& method, const std::string& url,
                   const std::string& body = "", std::vector<http::THeader> headers = {}) {
    http::TRequest request;
    request.Method = method;
    request.Url = TWebDavFileOper::EncodeUrl(url);
    request.User = server.User;
    request.Password = server.Password;
    request.Body = body;
    request.Headers = std::move(headers);
    http::TReply reply;
    http::Send(request, reply);
    return reply.Status;
}

// Every test gets a fresh folder "<suite>.<test>" on the server, the endpoint
// pointed at it, and temporary time zone, program and XDG folders.
class WebDavTest : public ::testing::Test {
protected:
    WebDavTest()
        : Server(ReadServer()), tz_("TZ", "UTC"), dataHome_("XDG_DATA_HOME", Home / "data"),
          configHome_("XDG_CONFIG_HOME", Home / "config"), cacheHome_("XDG_CACHE_HOME", Home / "cache") {
        SetProgramFolder(Home.path() + "/");
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string(info->test_suite_name()) + "." + info->name();
        Base = Server.Url + "/" + name;
        Disk = Server.Root + "/" + name;
        Source.DeviceType = dtWebDav;
        Source.FolerAllName = Base;
        Source.UserName = Server.User;
        Source.PWD = Server.Password;
    }
    ~WebDavTest() override { SetProgramFolder(""); }

    void SetUp() override {
        ASSERT_FALSE(Server.Url.empty()) << "no WebDAV server state in TANDEMORA_SERVER_STATE";
        Request(Server, "DELETE", Base); // what an earlier run left
        ASSERT_EQ(Request(Server, "MKCOL", Base), 201);
    }

    // An endpoint on Base, not started, sending to Log.
    std::unique_ptr<TWebDavFileOper> MakeOper() {
        auto oper = std::make_unique<TWebDavFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        return oper;
    }

    // Puts content on the server below Base, making the folders on the way.
    void ServerPut(const std::string& rel, const std::string& bytes) {
        std::string url = Base;
        size_t start = 0;
        for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', start)) {
            url = Base + "/" + rel.substr(0, slash);
            Request(Server, "MKCOL", url);
            start = slash + 1;
        }
        ASSERT_TRUE(http::IsSuccess(Request(Server, "PUT", Base + "/" + rel, bytes))) << rel;
    }
    void ServerMkcol(const std::string& rel) {
        ASSERT_EQ(Request(Server, "MKCOL", Base + "/" + rel), 201) << rel;
    }

    std::string DiskRead(const std::string& rel) const { return testsupport::ReadFile(Disk + "/" + rel); }
    bool DiskHas(const std::string& rel) const { return testsupport::Exists(Disk + "/" + rel); }
    // Names in a folder on disk, "." names included.
    std::vector<std::string> DiskNames(const std::string& rel) const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Disk + "/" + rel)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string ErrorLogText() const { return testsupport::ReadFile(Home / "ErrorInfo.txt"); }

    TServer Server;
    testsupport::TempDir Home;
    testsupport::TempDir Local;

private:
    testsupport::ScopedEnv tz_;
    testsupport::ScopedEnv dataHome_;
    testsupport::ScopedEnv configHome_;
    testsupport::ScopedEnv cacheHome_;

protected:
    std::string Base; // this test's folder URL
    std::string Disk; // the same folder on disk
    TFolderSource Source;
    endpointtest::TMessageLog Log;
};

// An HTTP server on 127.0.0.1 that answers each request with the reply given for
// its method and path (the path as it comes on the wire; a key ending in "*"
// stands for every path that starts with the rest), and 404 otherwise.
// One request per connection. A reply may be sent before the request body was
// read, as a server refusing an upload does.
class TCannedServer {
public:
    struct TCanned {
        std::string Raw;      // status line, headers, blank line and body, as sent
        bool ReadBody = true; // false: answer without reading the request body
    };

    TCannedServer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 16);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TCannedServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    TCannedServer(const TCannedServer&) = delete;
    TCannedServer& operator=(const TCannedServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

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

    // A whole reply with a length header for the body.
    static std::string Reply(int status, const std::string& body, const std::string& extra = "") {
        return "HTTP/1.1 " + std::to_string(status) +
               " Canned\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
               "Connection: close\r\n\r\n" + body;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int client = accept(listener_, nullptr, nullptr);
            if (client >= 0) {
                Answer(client);
                close(client);
            }
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
        TCanned canned{Reply(404, "<html>Not Found</html>")};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(key);
            for (const auto& [pattern, reply] : replies_) {
                const bool prefix = !pattern.empty() && pattern.back() == '*';
                if (pattern == key ||
                    (prefix && key.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0)) {
                    canned = reply;
                }
            }
        }
        if (canned.ReadBody) {
            if (head.find("Expect: 100-continue") != std::string::npos) {
                const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
                send(client, go.data(), go.size(), MSG_NOSIGNAL);
            }
            long long remaining = 0;
            const size_t at = head.find("Content-Length: ");
            if (at != std::string::npos) {
                remaining = std::atoll(head.c_str() + at + 16);
            }
            std::vector<char> buffer(65536);
            while (remaining > 0) {
                const ssize_t n = recv(client, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    break;
                }
                remaining -= n;
            }
        }
        send(client, canned.Raw.data(), canned.Raw.size(), MSG_NOSIGNAL);
        shutdown(client, SHUT_WR);
        // Let the client read the reply before the connection goes.
        pollfd p{client, POLLIN, 0};
        char sink[4096];
        while (poll(&p, 1, 200) > 0 && recv(client, sink, sizeof(sink), 0) > 0) {
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, TCanned> replies_;
    std::vector<std::string> requests_;
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
        const bool folder = !m.empty() && m.back() == '/';
        text += response(path + "/" + m, folder);
    }
    return text + "</D:multistatus>";
}

} // namespace webdavtest
