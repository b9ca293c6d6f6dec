#pragma once
// A server of one kind started for one test alone (tests/servers/<kind>.sh in a
// state folder of its own), which the test may freeze (SIGSTOP) as a server
// that stops answering, without touching the servers other tests share.
// Whatever happens to the test, the destructor lets it run again and stops it.

#include "TestSupport.h"
#include "remote/RemoteTestSupport.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

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

private:
    std::string State() const { return dir_ / "server"; }

    bool Run(const std::string& verb) const {
        const std::string script =
            (std::filesystem::path(__FILE__).parent_path() / ".." / "servers" / (kind_ + ".sh")).string();
        return std::system(
                   ("bash '" + script + "' " + verb + " '" + State() + "' >/dev/null 2>&1").c_str()) == 0;
    }

    // The process group of the server; -1 when there is none to signal.
    pid_t Group() const {
        const std::string file = kind_ == "ftp"   ? "server.pid"
                                 : kind_ == "smb" ? "run/smbd.pid"
                                                  : "httpd.pid";
        std::ifstream in(State() + "/" + file);
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
    bool started_ = false;
    testsupport::TempDir dir_;
};

} // namespace remotetest
