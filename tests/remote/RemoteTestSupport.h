#pragma once
// What the fixtures of every server kind share: the connection data that a
// tests/servers/<kind>.sh start leaves in STATE_DIR/env, the name of each test's
// scratch folder on a server, the look for leftovers of unfinished copies, and
// the listening socket of the scripted servers.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace remotetest {

// The KEY=VALUE lines of STATE_DIR/env (by default $TANDEMORA_SERVER_STATE's);
// empty when no server was started.
inline std::map<std::string, std::string> ServerEnv(std::string stateDir = "") {
    if (stateDir.empty()) {
        const char* state = std::getenv("TANDEMORA_SERVER_STATE");
        stateDir = state != nullptr ? state : "/nonexistent";
    }
    std::map<std::string, std::string> values;
    std::ifstream env(stateDir + "/env");
    std::string line;
    while (std::getline(env, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

// "<suite>.<test>" of the running test, "/" of parameterised names made ".".
inline std::string ScratchName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '.');
    return name;
}

// The names in a folder, sorted.
inline std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The lines of a run's log that tell of a failure.
inline std::vector<std::string> ErrorLines(const std::vector<std::string>& lines) {
    std::vector<std::string> errors;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(errors), [](const std::string& line) {
        return line.rfind("Error", 0) == 0 || line.find("not saved") != std::string::npos;
    });
    return errors;
}

// Files below root whose names show a copy that was left half-way.
inline std::vector<std::string> Leftovers(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (const std::string end : {".part", ".tmp", ".p"}) {
            if (name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0) {
                found.push_back(it->path().string());
            }
        }
    }
    return found;
}

// A socket listening on 127.0.0.1 at a port the system chose, and that port.
inline int ListenOnLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd, 16);
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A port on 127.0.0.1 where nothing listens.
inline int ClosedPort() {
    int port = 0;
    close(ListenOnLoopback(port));
    return port;
}

} // namespace remotetest
