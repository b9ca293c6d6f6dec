#include "platform/Process.h"

#include "TestSupport.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using tandemora::RunProcess;
using testsupport::ReadFile;
using testsupport::TempDir;

TEST(RunProcess, ReturnsTheExitStatus) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"/bin/sh", "-c", "exit 3"}, 3},
        {{"sh", "-c", "exit 255"}, 255},       // found on PATH
        {{"/bin/sh", "-c", "kill -9 $$"}, -1}, // ended by a signal
        {{dir / "missing"}, -1},
        {{}, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunProcess(c.args), c.status) << (c.args.empty() ? "(none)" : c.args.back());
    }
}

TEST(RunProcess, StandardStreamsAreOnDevNull) {
    TempDir dir;
    std::string out = dir / "streams";
    // Reading stdin ends at once, and the shell's own descriptors 1 and 2 lead to /dev/null.
    ASSERT_EQ(
        RunProcess({"/bin/sh", "-c",
                    "read line; echo \"read=$?\" > \"$0\"; "
                    "links=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$links\" >> \"$0\"",
                    out}),
        0);
    EXPECT_EQ(ReadFile(out), "read=1\n/dev/null\n/dev/null\n/dev/null\n");
}

TEST(RunProcess, ChildStartsWithDefaultSignals) {
    TempDir dir;
    std::string out = dir / "signals";
    // An ignored SIGPIPE in this process must not be passed on to the child.
    struct sigaction ignore {};
    struct sigaction old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    int status = RunProcess({"/bin/sh", "-c", "grep '^SigIgn' /proc/$$/status > \"$0\"", out});
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_EQ(status, 0);
    std::string line = ReadFile(out);
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << line;
}

} // namespace
