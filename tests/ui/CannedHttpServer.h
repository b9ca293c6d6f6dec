#pragma once
// A tiny HTTP server on 127.0.0.1 for the update check: it listens on a port of
// its own, answers the first request with a canned reply and ends. It keeps the
// request it received, so a test can check what the program asked for.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace uitest {

class CannedHttpServer {
public:
    // Head: the status line and headers (each line ending in CR LF, without the
    // empty line). Body is sent Repeat times after the empty line. A stalling
    // server then sends nothing more and keeps the connection open until it is
    // destroyed.
    CannedHttpServer(std::string head, std::string body, size_t repeat = 1, bool stall = false)
        : head_(std::move(head)), body_(std::move(body)), repeat_(repeat), stall_(stall) {
        listener_ = Listen(port_);
        thread_ = std::thread([this] { Serve(); });
    }

    ~CannedHttpServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

    CannedHttpServer(const CannedHttpServer&) = delete;
    CannedHttpServer& operator=(const CannedHttpServer&) = delete;

    // "200 OK" with the body as it stands and its length announced.
    static std::string OkHead(size_t length) {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(length) +
               "\r\nConnection: close\r\n";
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // The request head as it arrived (empty until one came).
    std::string Request() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

    // An address on which nothing listens: connecting is refused at once.
    static std::string ClosedUrl() {
        int port = 0;
        const int fd = Listen(port);
        close(fd);
        return "http://127.0.0.1:" + std::to_string(port);
    }

private:
    static int Listen(int& port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port = ntohs(address.sin_port);
        return fd;
    }

    // Waits for a connection until the server is destroyed.
    int Accept() {
        while (!stop_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (poll(&waiting, 1, 50) > 0) {
                return accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            }
        }
        return -1;
    }

    void Serve() {
        const int client = Accept();
        if (client < 0) {
            return;
        }
        std::string received;
        char buffer[4096];
        while (received.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            request_ = received;
        }
        bool open = SendAll(client, head_ + "\r\n");
        for (size_t i = 0; open && i < repeat_ && !stop_; ++i) {
            open = SendAll(client, body_);
        }
        while (stall_ && !stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        shutdown(client, SHUT_WR);
        close(client);
    }

    // False once the client has gone away.
    static bool SendAll(int fd, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    std::string head_;
    std::string body_;
    size_t repeat_;
    bool stall_;
    int port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string request_;
    std::thread thread_;
};

} // namespace uitest
