#pragma once
// A scripted FTP server on 127.0.0.1 for the faults a real server will not
// produce on request: listings and downloads that break off, replies that deny
// a finished transfer, sizes that do not match, a control connection that
// drops. It speaks just enough FTP for libcurl in passive mode (EPSV) and
// records every command it received.

#include "remote/RemoteTestSupport.h"

#include <sys/time.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ftptest {

struct TFakeScript {
    bool OfferMlst = true;
    // Listing text per folder (as CWD names it, without a trailing "/").
    std::map<std::string, std::string> Listings;
    // The reply after a folder's listing data when not "226 Transfer complete"
    // (lines of a longer reply joined by CR LF; "" closes the connection).
    std::map<std::string, std::string> ListFinal;
    std::set<std::string> RefusedFolders; // CWD answers 550
    bool OptionsAsNames = false;          // "LIST -a" takes "-a" for a name and lists nothing
    // The one file to download: its name, bytes sent, size reported by SIZE/MLST
    // (-1: none) and the reply after the data.
    std::string FileName = "file.bin";
    std::string FileData;
    int64_t FileSize = -1;
    std::string RetrFinal = "226 Transfer complete";
    // The reply after an upload's data, and the size SIZE/MLST then report for an
    // uploaded file (-1: the bytes received).
    std::string StorFinal = "226 Transfer complete";
    int64_t StoredSize = -1;
    std::string DropOn; // the connection closes without a reply when this command first comes
    std::string HoldOn; // the reply to this command (the first time) waits until Release()
    std::string PassReply = "230 Logged in";
    bool RefuseFeat = false;
    // Replies to MDTM by its argument; other arguments get "502 Not implemented".
    std::map<std::string, std::string> Mdtm;
    // STOR keeps an upload with "_" in place of its name's first character, as
    // a server that changes names does, and listings show it so.
    bool ChangeStoredNames = false;
};

class TFakeFtpServer {
public:
    explicit TFakeFtpServer(TFakeScript script) : script_(std::move(script)) {
        listener_ = remotetest::ListenOnLoopback(port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~TFakeFtpServer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    TFakeFtpServer(const TFakeFtpServer&) = delete;
    TFakeFtpServer& operator=(const TFakeFtpServer&) = delete;

    int Port() const { return port_; }
    std::string Url() const { return "ftp://127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> Commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    // Waits until the server holds back its reply to HoldOn; Release lets it go on.
    void WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return held_; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }

private:
    // Reads give up after a while, so a confused client cannot hold a test for ever.
    static void Limit(int fd) {
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    // A blocking send on loopback takes all or fails.
    static void Send(int fd, const std::string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    static void Reply(int fd, const std::string& line) { Send(fd, line + "\r\n"); }
    static bool ReadLine(int fd, std::string& line) {
        line.clear();
        for (char c = 0; recv(fd, &c, 1, 0) == 1;) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return true;
            }
            line += c;
        }
        return false;
    }
    static std::string Key(std::string path) {
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }

    void Run() {
        for (;;) {
            const int control = accept(listener_, nullptr, nullptr);
            if (control < 0) {
                return;
            }
            Limit(control);
            Serve(control);
            close(control);
            if (data_ >= 0) {
                close(data_);
                data_ = -1;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
        }
    }

    int64_t SizeOf(const std::string& name) const {
        if (name == stored_) {
            return script_.StoredSize >= 0 ? script_.StoredSize : storedBytes_;
        }
        return name == script_.FileName ? script_.FileSize : -1;
    }

    int AcceptData() {
        const int fd = accept(data_, nullptr, nullptr);
        close(data_);
        data_ = -1;
        if (fd >= 0) {
            Limit(fd);
        }
        return fd;
    }

    // Marks the server as holding and waits for Release or the end; true at the end.
    bool Hold() {
        std::unique_lock<std::mutex> lock(mutex_);
        held_ = true;
        wake_.notify_all();
        wake_.wait(lock, [this] { return released_ || stopping_; });
        return stopping_;
    }

    void Serve(int control) {
        Reply(control, "220 Fake FTP ready");
        std::string cwd = "/";
        std::string line;
        while (ReadLine(control, line)) {
            const size_t blank = line.find(' ');
            const std::string verb = line.substr(0, blank);
            const std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(line);
                if (!script_.DropOn.empty() && verb == script_.DropOn) {
                    script_.DropOn.clear();
                    return;
                }
            }
            if (!script_.HoldOn.empty() && verb == script_.HoldOn) {
                script_.HoldOn.clear();
                if (Hold()) {
                    return;
                }
            }
            const bool mlst = script_.OfferMlst;
            if (verb == "USER") {
                Reply(control, "331 Password required");
            } else if (verb == "PASS") {
                Reply(control, script_.PassReply);
            } else if (verb == "PWD") {
                Reply(control, "257 \"/\" is the current directory");
            } else if (verb == "FEAT") {
                Reply(control, script_.RefuseFeat
                                   ? "500 Unknown command"
                                   : std::string("211-Features:\r\n SIZE\r\n EPSV\r\n") +
                                         (mlst ? " MLST type*;size*;modify*;\r\n MLSD\r\n" : "") + "211 End");
            } else if (verb == "CWD") {
                const bool refused = script_.RefusedFolders.count(Key(arg)) != 0;
                cwd = refused ? cwd : Key(arg);
                Reply(control, refused ? "550 No such directory" : "250 Okay");
            } else if (verb == "TYPE") {
                Reply(control, "200 Type set");
            } else if (verb == "EPSV") {
                int port = 0;
                if (data_ >= 0) {
                    close(data_);
                }
                data_ = remotetest::ListenOnLoopback(port);
                Reply(control, "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
            } else if ((verb == "MLSD" && mlst) || verb == "LIST") {
                Reply(control, "150 Here it comes");
                const int fd = AcceptData();
                std::string listing =
                    script_.OptionsAsNames && !arg.empty() ? std::string() : script_.Listings[cwd];
                if (script_.ChangeStoredNames && !stored_.empty()) {
                    listing += "type=file;size=" + std::to_string(storedBytes_) + ";modify=20200304050607; " +
                               stored_ + "\r\n";
                }
                Send(fd, listing);
                close(fd);
                const auto final = script_.ListFinal.find(cwd);
                if (final != script_.ListFinal.end() && final->second.empty()) {
                    return;
                }
                Reply(control, final != script_.ListFinal.end() ? final->second : "226 Transfer complete");
            } else if (verb == "SIZE" || (verb == "MLST" && mlst)) {
                const int64_t size = SizeOf(arg);
                if (size < 0) {
                    Reply(control, "550 No such file");
                } else if (verb == "SIZE") {
                    Reply(control, "213 " + std::to_string(size));
                } else {
                    Send(control, "250-Listing " + arg + "\r\n type=file;size=" + std::to_string(size) +
                                      ";modify=20200304050607; " + cwd + "/" + arg + "\r\n250 End\r\n");
                }
            } else if (verb == "RETR" && arg == script_.FileName) {
                Reply(control, "150 Sending");
                const int fd = AcceptData();
                Send(fd, script_.FileData);
                close(fd);
                Reply(control, script_.RetrFinal);
            } else if (verb == "STOR") {
                Reply(control, "150 Ready");
                const int fd = AcceptData();
                char buffer[4096];
                stored_ = script_.ChangeStoredNames && !arg.empty() ? "_" + arg.substr(1) : arg;
                storedBytes_ = 0;
                for (ssize_t n = 0; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
                    storedBytes_ += n;
                }
                close(fd);
                Reply(control, script_.StorFinal);
            } else if (verb == "DELE") {
                Reply(control, arg == stored_ ? "250 Deleted" : "550 No such file");
            } else if (verb == "RNFR" || verb == "RNTO") {
                Reply(control, verb == "RNFR" ? "350 Ready for RNTO" : "250 Renamed");
            } else if (verb == "MDTM" && script_.Mdtm.count(arg) != 0) {
                Reply(control, script_.Mdtm.at(arg));
            } else if (verb == "QUIT") {
                Reply(control, "221 Bye");
                return;
            } else {
                Reply(control, verb == "RETR"                     ? "550 No such file"
                               : verb == "MLSD" || verb == "MLST" ? "500 Unknown command"
                                                                  : "502 Not implemented");
            }
        }
    }

    TFakeScript script_;
    int listener_ = -1;
    int port_ = 0;
    int data_ = -1; // the passive listener of the next transfer
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool held_ = false;
    bool released_ = false;
    std::vector<std::string> commands_;
    std::string stored_; // the name of the last upload, and its size
    int64_t storedBytes_ = 0;
};

} // namespace ftptest
