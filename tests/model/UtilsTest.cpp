#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/ProgramFolder.h"

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tandemora;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

int Sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// ---- Names and paths ------------------------------------------------------------

TEST(NameRoutines, PathsAndNamesByTable) {
    const std::pair<std::string, bool> valid[] = {
        {"report.txt", true},
        {"a\"b", true},
        {"a?b", false},
        {"a/b", false},
        {"c:", false},
        {"a|b", false},
        {"Überweisung 2024", true},
    };
    for (const auto& [name, ok] : valid) {
        EXPECT_EQ(IsValidFileName(name), ok) << name;
    }
    const std::pair<std::string, std::string> trimmed[] = {
        {"C:\\data\\", "C:\\data"}, {"a//", "a/"}, {"/", ""}, {"x\\ \t", "x"}, {"x ", "x "},
    };
    for (const auto& [in, out] : trimmed) {
        EXPECT_EQ(ExcludeTrailingSlash(in), out) << "[" << in << "]";
    }
    struct Join {
        std::string a, b, sep, joined;
    };
    const Join joins[] = {
        {"ftp://h/a", "b", "/", "ftp://h/a/b"},
        {"/a/", "/b", "/", "/a/b"},
        {"a\\b", "c\\d", "/", "a/b/c/d"},
        {"a//", "b", "/", "a//b"}, // only one final separator goes
    };
    for (const Join& c : joins) {
        EXPECT_EQ(JoinPath(c.a, c.b, c.sep), c.joined) << c.a << " + " << c.b;
    }
    const std::pair<std::string, int> counts[] = {
        {"\xC3\x84pfel", 5}, {"\xF0\x9F\x98\x80", 1}, {"\xC4pfel", 5}, {"\xED\xA0\x80", 3}, {"\xE6\x97", 2},
    };
    for (const auto& [text, count] : counts) {
        EXPECT_EQ(AnsiCharCount(text), count) << text;
    }
}

// ---- Name order --------------------------------------------------------------------

TEST(CompareNames, OrderTable) {
    struct Case {
        std::string a, b;
        int sign;
    };
    const Case cases[] = {
        {"alpha", "Zeta", -1},
        {"b.txt", "C.txt", -1},
        {"A_b", "a_B", -1},           // equal without case: bytes decide
        {"a.txt", "a_txt", -1},       // "." < "_" as folded characters
        {"\xC3\x84pfel", "Zebra", 1}, // "Ä" folds above "z"
        {"\xC3\xA4"
         "b",
         "\xC3\x84"
         "c",
         -1}, // "äb" < "Äc"
        {"\xCF\x82"
         "a",
         "\xCE\xA3"
         "b",
         -1},                          // final sigma folds with "Σ"
        {"\xE2\x84\xAA", "l", -1},     // Kelvin sign folds to "k"
        {"\xC4\xB0", "j", 1},          // Turkish dotted capital I does not fold to "i"
        {"\xC4pfelB", "\xC4pfela", 1}, // not UTF-8: raw bytes, ASCII letters still folded
        {"\xC3", "\xC3\x84", -1},      // cut-short sequence against the full one
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sign(CompareNames(c.a, c.b)), c.sign) << "[" << c.a << "] vs [" << c.b << "]";
        EXPECT_EQ(Sign(CompareNames(c.b, c.a)), -c.sign) << "[" << c.b << "] vs [" << c.a << "]";
    }
}

// A sort or merge walk needs a strict total order: no two different names equal,
// no cycles. Checked over every pair and triple of a mixed list.
TEST(CompareNames, IsATotalOrder) {
    const std::vector<std::string> names = {
        "a", "A",        "b.txt",    "Readme",   "README",   "_x",       "~x",           "",
        " ", "\xC3\x84", "\xC3\xA4", "\xCE\xA3", "\xCF\x82", "\xCF\x83", "\xE2\x84\xAA", "k",
        "K", "\xC4\xB0", "i",        "\xC4",     "\xC4x",    "\xC4X"};
    for (const auto& a : names) {
        for (const auto& b : names) {
            const int ab = CompareNames(a, b);
            EXPECT_EQ(Sign(ab), -Sign(CompareNames(b, a))) << a << " / " << b;
            EXPECT_EQ(ab == 0, a == b) << a << " / " << b;
            for (const auto& c : names) {
                if (ab < 0 && CompareNames(b, c) < 0) {
                    EXPECT_LT(CompareNames(a, c), 0) << a << " < " << b << " < " << c;
                }
            }
        }
    }
}

// ---- Program-wide status text ----------------------------------------------------

TEST(SyncStatusText, ReadersSeeWholeTextsWhileOthersWrite) {
    const std::string first(1000, 'x');
    const std::string second = "Copy:/data/file.bin : 66.67%";
    SetSyncStatusText(second);
    EXPECT_EQ(GetSyncStatusText(), second);

    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            SetSyncStatusText(i % 2 == 0 ? first : second);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        std::string seen = GetSyncStatusText();
        ASSERT_TRUE(seen == first || seen == second) << seen.substr(0, 40);
    }
    writer.join();
    SetSyncStatusText("");
}

// ---- Time routines -----------------------------------------------------------------

TEST(TimeRoutines, SystemTimeToDateTimeEx) {
    struct Case {
        TSystemTime t;
        double expected;
    };
    const double day = 86400.0;
    const Case cases[] = {
        {{1899, 12, 0, 30, 12, 0, 0, 0}, 0.5},
        {{1899, 12, 0, 29, 6, 0, 0, 0}, -1.25}, // before the epoch the time is subtracted
        {{2010, 5, 0, 17, 14, 30, 22, 123}, 40315.0 + (14 * 3600 + 30 * 60 + 22.123) / day},
        {{9999, 12, 0, 31, 23, 59, 59, 999}, 2958465.0 + (day - 0.001) / day},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(SystemTimeToDateTimeEx(c.t), c.expected, 1e-9)
            << c.t.wYear << "-" << c.t.wMonth << "-" << c.t.wDay;
    }
    const TSystemTime invalid[] = {
        {2001, 13, 0, 1, 0, 0, 0, 0}, {1900, 2, 0, 29, 0, 0, 0, 0}, {2001, 4, 0, 31, 0, 0, 0, 0},
        {0, 1, 0, 1, 0, 0, 0, 0},     {2001, 1, 0, 1, 24, 0, 0, 0}, {2001, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const TSystemTime& t : invalid) {
        EXPECT_THROW(SystemTimeToDateTimeEx(t), EConvertError) << t.wYear << "-" << t.wMonth << "-" << t.wDay;
    }
}

// ---- Special folders ---------------------------------------------------------------

// The data folder takes snapshot files straight away, so it must exist; the
// staging folder holds downloads in passing, so it is private, even when it was
// left open.
TEST(SpecialFolders, FoldersFollowTheXdgVariablesAndTheStagingFolderIsPrivate) {
    TempDir dir;
    ScopedEnv home("HOME", dir / "home");
    for (const auto& [xdg, expected] :
         {std::pair{std::optional<std::string>(dir / "data"), dir / "data/"},
          std::pair{std::optional<std::string>("relative/path"), dir / "home/.local/share/"}}) {
        ScopedEnv data("XDG_DATA_HOME", xdg);
        EXPECT_EQ(GetAppDataFolder(), expected);
        EXPECT_TRUE(std::filesystem::is_directory(expected)) << expected;
    }
    ScopedEnv config("XDG_CONFIG_HOME", dir / "config");
    EXPECT_EQ(GetTemplatesFolder(), dir / "home/Templates/");
    WriteFile(dir / "config/user-dirs.dirs",
              "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/D\"\n"
              "XDG_TEMPLATES_DIR=\"$HOME/My \\\"T\\\"\"\n");
    EXPECT_EQ(GetTemplatesFolder(), dir / "home/My \"T\"/");

    ScopedEnv cache("XDG_CACHE_HOME", std::nullopt);
    std::filesystem::create_directories(dir / "home/.cache/Tandemora/staging");
    chmod((dir / "home/.cache/Tandemora/staging").c_str(), 0755);
    EXPECT_EQ(GetStagingFolder(), dir / "home/.cache/Tandemora/staging/");
    EXPECT_EQ(ModeOf(dir / "home/.cache/Tandemora/staging"), 0700u);
}

// ---- Start at log-in ---------------------------------------------------------------

class RunAtStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramFolder(dir_ / "program");
        std::filesystem::create_directories(dir_ / "program");
    }
    void TearDown() override { SetProgramFolder(""); }
    std::string Entry() const { return dir_ / "config/autostart/Tandemora.desktop"; }
    std::string ErrorLog() const { return ReadFile(dir_ / "program/ErrorInfo.txt"); }

    TempDir dir_;
    ScopedEnv config_{"XDG_CONFIG_HOME", dir_ / "config"};
};

TEST_F(RunAtStartupTest, TickedWritesTheEntryAndClearedRemovesIt) {
    SetRunAtStartup("Tandemora", "Tandemora");
    SetRunAtStartup("Tandemora", "Tandemora"); // replaced, nothing else left behind
    EXPECT_EQ(ReadFile(Entry()),
              AutostartEntryText("Tandemora", std::filesystem::read_symlink("/proc/self/exe")));
    EXPECT_EQ(ModeOf(Entry()), 0644u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "config/autostart"),
                            std::filesystem::directory_iterator()),
              1);
    SetRunAtStartup("Tandemora", " \t");
    EXPECT_FALSE(Exists(Entry()));
    SetRunAtStartup("Tandemora", ""); // not there: no failure
    EXPECT_EQ(ErrorLog(), "");
}

TEST_F(RunAtStartupTest, FailuresGoToTheErrorLogOnly) {
    const std::string expected = " msg:Error Registry,If You run on vista,then please run as administrator. ";
    // The autostart folder cannot be created: a file stands in its place.
    WriteFile(dir_ / "config/autostart", "not a folder");
    EXPECT_NO_THROW(SetRunAtStartup("Tandemora", "Tandemora"));
    // A name that would reach outside the autostart folder.
    EXPECT_NO_THROW(SetRunAtStartup("../Tandemora", "Tandemora"));

    std::string log = ErrorLog();
    size_t first = log.find(expected);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(expected, first + 1), std::string::npos) << log;
    EXPECT_EQ(ReadFile(dir_ / "config/autostart"), "not a folder");
    EXPECT_FALSE(Exists(dir_ / "config/Tandemora.desktop"));
}

TEST(AutostartEntryText, QuotesTheProgramPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"/opt/my apps/Tandemora", "\nExec=\"/opt/my apps/Tandemora\"\nIcon=/opt/my apps/Tandemora.png\n"},
        {"/opt/a\"b", "\nExec=\"/opt/a\\\\\"b\"\n"},
        {"/opt/$HOME/`x`", "\nExec=\"/opt/\\\\$HOME/\\\\`x\\\\`\"\n"},
        {"/opt/100%", "\nExec=\"/opt/100%%\"\n"},
    };
    for (const auto& [path, exec] : cases) {
        std::string text = AutostartEntryText("Tandemora", path);
        EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\nName=Tandemora\n", 0), 0u) << text;
        EXPECT_NE(text.find(exec), std::string::npos) << text;
    }
}

// ---- Power-off, user and computer ---------------------------------------------------

class ShutdownComputerTest : public ::testing::Test {
protected:
    void TearDown() override { SetPowerOffCommand(saved_); }
    std::vector<std::string> saved_ = GetPowerOffCommand();
};

TEST_F(ShutdownComputerTest, RunsThePowerOffCommand) {
    EXPECT_EQ(saved_, (std::vector<std::string>{"systemctl", "poweroff"}));

    TempDir dir;
    std::string marker = dir / "powered-off";
    struct Case {
        std::vector<std::string> command;
        bool accepted;
    };
    const Case cases[] = {
        {{"/bin/sh", "-c", "touch \"$0\"", marker}, true},
        {{"/bin/sh", "-c", "kill -9 $$"}, false},
        {{dir / "no-such-program"}, false},
        {{}, false},
    };
    for (const Case& c : cases) {
        SetPowerOffCommand(c.command);
        EXPECT_EQ(ShutdownComputer(), c.accepted) << (c.command.empty() ? "(none)" : c.command.back());
    }
    EXPECT_TRUE(Exists(marker));
}

} // namespace
