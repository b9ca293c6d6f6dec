#pragma once
// A server of one kind started for one test alone (tests/servers/<kind>.sh in a
// state folder of its own), which the test may freeze (SIGSTOP) as a server
// that stops answering, without touching the servers other tests share.
// Whatever happens to the test, the destructor lets it run again and stops it.

#include "TestSupport.h"
#include "remote/RemoteTestSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace remotetest {

class TFreezableServer {
public:
    // kind: "ftp", "webdav" or "smb".
    explicit TFreezableServer(std::string kind) : kind_(std::move(kind)) {
        chmod(dir_.path().c_str(), 0755); // the servers' users must reach inside
    }
    ~TFreezableServer() {
        if (started_) {
            Thaw();
            // A server started again here is this process's child: ended and
            // reaped here, or the script would wait for it in vain.
            if (child_ > 1 && kill(-child_, SIGTERM) == 0) {
                waitpid(child_, nullptr, 0);
            }
            Run("stop");
        }
    }
    TFreezableServer(const TFreezableServer&) = delete;
    TFreezableServer& operator=(const TFreezableServer&) = delete;

    // False when the server did not come up.
    bool Start() {
        started_ = true;
        return Run("start") && !Env().empty();
    }
    // What the start script left for clients (PORT, ROOT, URL, USER, ...).
    std::map<std::string, std::string> Env() const { return ServerEnv(State()); }

    // Stops or continues every process of the server: it was started as the
    // leader of a process group of its own, which holds it and the processes
    // it forked for its clients. False when no such group was found.
    bool Freeze() { return Signal(SIGSTOP); }
    bool Thaw() { return Signal(SIGCONT); }

    // Ends the server as its administrator would (SIGTERM to its group), and
    // starts the same program again, on the same port and with the same
    // folders, once StartAgain is called. Only for a server that runs in the
    // foreground of its group ("ftp": Pure-FTPd).
    bool Stop() {
        const std::string pidFile = State() + "/" + PidFile();
        std::ifstream in(pidFile);
        long pid = 0;
        if (!(in >> pid) || pid <= 1 || Group() != static_cast<pid_t>(pid)) {
            return false;
        }
        std::ifstream args(State() + "/server.args"); // the script's record of its command line
        argv_.clear();
        for (std::string arg; std::getline(args, arg);) {
            argv_.push_back(arg);
        }
        if (argv_.empty() || !Signal(SIGCONT) || !Signal(SIGTERM)) {
            return false;
        }
        for (int i = 0; i < 200 && kill(static_cast<pid_t>(pid), 0) == 0; ++i) {
            waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG); // ours after an earlier StartAgain
            usleep(50000);
        }
        return kill(static_cast<pid_t>(pid), 0) != 0;
    }
    // True once the server started again answers on its port.
    bool StartAgain() {
        if (argv_.empty()) {
            return false;
        }
        std::vector<char*> argv;
        for (std::string& arg : argv_) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes,
                                 POSIX_SPAWN_SETSID); // a group of its own, as the script starts it
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string zone = "TZ=UTC";
        char* environment[] = {zone.data(), nullptr};
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environment);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (spawned != 0 || pid <= 1) {
            return false;
        }
        child_ = pid;
        std::ofstream(State() + "/" + PidFile(), std::ios::trunc) << pid << "\n";
        const int port = std::atoi(Env()["PORT"].c_str());
        for (int i = 0; i < 200; ++i) {
            if (Greets(port)) {
                return true;
            }
            usleep(50000);
        }
        return false;
    }

private:
    std::string State() const { return dir_ / "server"; }

    bool Run(const std::string& verb) const {
        const std::string script =
            (std::filesystem::path(__FILE__).parent_path() / ".." / "servers" / (kind_ + ".sh")).string();
        return std::system(
                   ("bash '" + script + "' " + verb + " '" + State() + "' >/dev/null 2>&1").c_str()) == 0;
    }

    std::string PidFile() const {
        return kind_ == "ftp" ? "server.pid" : kind_ == "smb" ? "run/smbd.pid" : "httpd.pid";
    }

    // Whether a server on the port sends its greeting ("220").
    static bool Greets(int port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char reply[3] = {};
        const timeval wait{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        const bool greets =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            recv(fd, reply, sizeof(reply), MSG_WAITALL) == 3 && std::string(reply, 3) == "220";
        if (fd >= 0) {
            close(fd);
        }
        return greets;
    }

    // The process group of the server; -1 when there is none to signal.
    pid_t Group() const {
        std::ifstream in(State() + "/" + PidFile());
        long pid = 0;
        if (!(in >> pid) || pid <= 1) {
            return -1;
        }
        const pid_t group = getpgid(static_cast<pid_t>(pid));
        return group > 1 && group != getpgrp() ? group : -1;
    }

    bool Signal(int number) const {
        const pid_t group = Group();
        return group > 1 && kill(-group, number) == 0;
    }

    std::string kind_;
    std::vector<std::string> argv_; // the stopped server's command line
    pid_t child_ = 0;               // the server as StartAgain started it
    bool started_ = false;
    testsupport::TempDir dir_;
};

} // namespace remotetest
