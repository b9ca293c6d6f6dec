// Waits on a server that does not answer: each ends, and says whether the server
// was silent (which stops a run after a few items) or the caller broke the wait
// off (which says nothing about the server).

#include "platform/FtpSession.h"
#include "platform/Http.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

namespace {

using namespace tandemora;

// A socket on 127.0.0.1 that the system completes connections to, but that
// never reads or answers: a server that froze. Closed again, its port is one
// that refuses.
class TSilentServer {
public:
    TSilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            listen(fd_, 16) == 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~TSilentServer() { Close(); }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

struct TCase {
    const char* Name;
    bool Refusing;   // the port is closed
    bool Cancelling; // the caller breaks the wait off
    bool NoAnswer;   // what the wait is to say about the server
};

const TCase Cases[] = {
    {"a frozen server", false, false, true},
    {"a refusing server", true, false, true},
    {"a cancel while waiting", false, true, false},
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ServerWait, AnHttpRequestEndsAndTellsASilentServerFromACancel) {
    for (const TCase& c : Cases) {
        SCOPED_TRACE(c.Name);
        TSilentServer server;
        ASSERT_GT(server.Port(), 0);
        const int port = server.Port();
        if (c.Refusing) {
            server.Close();
        }
        http::TRequest request;
        request.Method = "PROPFIND";
        request.Url = "http://127.0.0.1:" + std::to_string(port) + "/dav";
        request.Body = "<propfind/>";
        request.ConnectTimeoutMs = 1000;
        request.StallTimeoutMs = 1000;
        if (c.Cancelling) {
            request.Cancelled = [] { return true; };
        }
        http::TReply reply;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(http::Send(request, reply));
        EXPECT_LT(SecondsSince(start), 30.0); // its stall limit, not libcurl's default
        EXPECT_EQ(reply.Status, 0);
        EXPECT_FALSE(reply.Complete);
        EXPECT_EQ(reply.NoAnswer, c.NoAnswer) << reply.Error;
    }
}

TEST(ServerWait, AnFtpLoginEndsAndTellsASilentServerFromACancel) {
    for (const TCase& c : Cases) {
        SCOPED_TRACE(c.Name);
        TSilentServer server;
        ASSERT_GT(server.Port(), 0);
        const int port = server.Port();
        if (c.Refusing) {
            server.Close();
        }
        TFtpSession session("127.0.0.1", port, "user", "password");
        session.SetStallLimit(1000);
        if (c.Cancelling) {
            session.SetCancelCheck([] { return true; });
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(session.Open(), ftpBroken);
        EXPECT_LT(SecondsSince(start), 30.0);
        EXPECT_EQ(session.LastNotAnswered(), c.NoAnswer) << session.LastError();
    }
}

} // namespace
