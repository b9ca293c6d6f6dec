#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace tandemora {

namespace {

// The spawn attributes and file actions, released on every way out.
class SpawnSetup {
public:
    SpawnSetup() {
        okActions_ = posix_spawn_file_actions_init(&actions_) == 0;
        okAttr_ = posix_spawnattr_init(&attr_) == 0;
    }
    ~SpawnSetup() {
        if (okActions_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
        if (okAttr_) {
            posix_spawnattr_destroy(&attr_);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool Prepare() {
        if (!okActions_ || !okAttr_) {
            return false;
        }
        // The child never talks to a terminal: all three streams go to /dev/null.
        if (posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0 ||
            posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) != 0 ||
            posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) != 0) {
            return false;
        }
        // A worker thread may block signals, and an ignored SIGPIPE or SIGCHLD
        // would survive exec; the child starts with the ordinary defaults.
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
            sigaddset(&defaults, sig);
        }
        return posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
               posix_spawnattr_setsigdefault(&attr_, &defaults) == 0 &&
               posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }

    const posix_spawn_file_actions_t* Actions() const { return &actions_; }
    const posix_spawnattr_t* Attr() const { return &attr_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attr_{};
    bool okActions_ = false;
    bool okAttr_ = false;
};

} // namespace

int RunProcess(const std::vector<std::string>& Args) {
    if (Args.empty() || Args[0].empty()) {
        return -1;
    }
    SpawnSetup setup;
    if (!setup.Prepare()) {
        return -1;
    }
    std::vector<char*> argv;
    argv.reserve(Args.size() + 1);
    for (const std::string& arg : Args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], setup.Actions(), setup.Attr(), argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace tandemora
