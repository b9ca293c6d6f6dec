#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/ProgramFolder.h"

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <random>
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

// ---- Name and path routines ----------------------------------------------------

TEST(NameRoutines, IsValidFileName) {
    const std::pair<std::string, bool> cases[] = {
        {"report.txt", true}, {"a\"b", true}, {"", true},     {"a?b", false},
        {"a\\b", false},      {"a/b", false}, {"c:", false},  {"*.txt", false},
        {"a>b", false},       {"a<b", false}, {"a|b", false}, {"Überweisung 2024", true},
    };
    for (const auto& [name, valid] : cases) {
        EXPECT_EQ(IsValidFileName(name), valid) << name;
    }
}

TEST(NameRoutines, ExcludeTrailingSlash) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\data\\", "C:\\data"},
        {"x\\/", "x"},
        {"/a/b/", "/a/b"},
        {"/a/b", "/a/b"},
        {"a//", "a/"},
        {"\\\\srv\\share\\", "\\\\srv\\share"},
        {"/", ""},
        {"", ""},
        {"x/ ", "x"},
        {"x\\ \t", "x"},
        {"x ", "x "},
        {"/\\", "/"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(ExcludeTrailingSlash(in), out) << "[" << in << "]";
    }
}

TEST(NameRoutines, JoinPath) {
    struct Case {
        std::string a, b, sep, joined;
    };
    const Case cases[] = {
        {"C:\\data\\", "\\sub\\", "\\", "C:\\data\\sub\\"},
        {"ftp://h/a", "b", "/", "ftp://h/a/b"},
        {"/a/", "/b", "/", "/a/b"},
        {"/a/", "b", "/", "/a/b"},
        {"a\\b", "c\\d", "/", "a/b/c/d"},
        {"/a", "b/c", "\\", "\\a\\b\\c"},
        {"a", "", "/", "a/"},
        {"", "b", "/", "/b"},
        {"a//", "b", "/", "a//b"}, // only one final separator goes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoinPath(c.a, c.b, c.sep), c.joined) << c.a << " + " << c.b << " with " << c.sep;
    }
}

TEST(NameRoutines, PathBeforeLastAndLastPart) {
    struct Case {
        std::string path, delim, before, last;
    };
    const Case cases[] = {
        {"/a/b/c", "/", "/a/b", "c"}, {"/a", "/", "", "a"},           {"a/", "/", "a", ""},
        {"abc", "/", "", "abc"},      {"a::b::c", "::", "a::b", "c"}, {"", "/", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetPathBeforeLast(c.path, c.delim), c.before) << c.path;
        EXPECT_EQ(GetLastPathPart(c.path, c.delim), c.last) << c.path;
    }
}

TEST(NameRoutines, CountDelimitedParts) {
    struct Case {
        std::string delim, text;
        int parts;
    };
    const Case cases[] = {
        {",", "a,b", 2},  {",", "a,b,", 2}, {",", "", 0},      {",", "abc", 1},   {",", ",a", 2},
        {",", "a,,b", 3}, {",", ",", 1},    {";", "a;b;c", 3}, {"::", "a::b", 2}, {",", "a\r\nb,c", 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CountDelimitedParts(c.delim, c.text), c.parts) << "[" << c.text << "]";
    }
}

TEST(NameRoutines, IndexOfTrimmed) {
    struct Case {
        std::string s;
        std::vector<std::string> list;
        int index;
    };
    const Case cases[] = {
        {" en ", {"de", "en  "}, 1}, {"fr", {"de", "en"}, -1}, {"EN", {"en"}, -1},
        {"de", {"de", " de"}, 0},    {"", {"x", "  "}, 1},     {"x", {}, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IndexOfTrimmed(c.s, c.list), c.index) << "[" << c.s << "]";
    }
}

TEST(NameRoutines, AnsiCharCountCountsCodePointsAndInvalidBytes) {
    const std::pair<std::string, int> cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xC3\x84pfel", 5},             // "Äpfel"
        {"\xE6\x97\xA5\xE6\x9C\xAC", 2}, // two CJK characters
        {"\xF0\x9F\x98\x80", 1},         // one character outside the BMP
        {"\xC4pfel", 5},                 // Latin-1 "Ä": one invalid byte
        {"\xED\xA0\x80", 3},             // an encoded surrogate is not UTF-8
        {"\xC0\xAF", 2},                 // overlong "/"
        {"\xE6\x97", 2},                 // cut short
    };
    for (const auto& [text, count] : cases) {
        EXPECT_EQ(AnsiCharCount(text), count) << text;
    }
}

TEST(NameRoutines, BoolAndIntConversions) {
    EXPECT_EQ(BoolToInt(true), 1);
    EXPECT_EQ(BoolToInt(false), 0);
    const std::pair<int, bool> cases[] = {{1, true}, {0, false}, {2, false}, {-1, false}};
    for (const auto& [i, b] : cases) {
        EXPECT_EQ(IntToBool(i), b) << i;
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
        {"Zeta", "alpha", 1},
        {"b.txt", "C.txt", -1},
        {"a", "a", 0},
        {"", "", 0},
        {"", "a", -1},
        {"a", "ab", -1},
        {"ab", "A", 1},
        {"A_b", "a_B", -1}, // equal without case: bytes decide
        {"README", "Readme", -1},
        {"Readme", "readme", -1},
        {"readme", "README", 1},
        {"a.txt", "a_txt", -1}, // "." < "_" as folded characters
        // UTF-8 letters fold too
        {"\xC3\x84pfel", "\xC3\xA4pfel", -1}, // "Äpfel" / "äpfel": tie, bytes decide
        {"\xC3\xA4"
         "b",
         "\xC3\x84"
         "c",
         -1},                                         // "äb" < "Äc"
        {"\xC3\x84pfel", "Zebra", 1},                 // "ä" folds above "z"
        {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB2", -1}, // "ΣΑ" < "σβ"
        {"\xCF\x82"
         "a",
         "\xCE\xA3"
         "b",
         -1},                                                         // final sigma folds with "Σ"
        {"\xD0\x96\xD1\x83\xD0\xBA", "\xD0\xB6\xD1\x83\xD1\x87", -1}, // "Жук" < "жуч"
        {"\xE2\x84\xAA", "k", 1},  // Kelvin sign folds to "k": tie, bytes decide
        {"\xE2\x84\xAA", "l", -1}, // ... and so sorts before "l"
        {"\xC4\xB0", "j", 1},      // Turkish dotted capital I does not fold to "i"
        {"\xE1\x8E\xA0",
         "\xEA\xAD\xB0"
         "a",
         -1}, // Cherokee capital and small letter fold together
        // Names that are not UTF-8: raw bytes, ASCII letters still folded
        {"\xC4pfel", "\xE4pfel", -1},
        {"\xC4Pfel", "\xC4pfel", -1},
        {"\xC4pfelB", "\xC4pfela", 1},
        {"\xFF", "z", 1},
        {"a\xFF", "A\xFF", 1},
        {"\xC3", "\xC3\x84", -1}, // cut-short sequence against the full one
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sign(CompareNames(c.a, c.b)), c.sign) << "[" << c.a << "] vs [" << c.b << "]";
        EXPECT_EQ(Sign(CompareNames(c.b, c.a)), -c.sign) << "[" << c.b << "] vs [" << c.a << "]";
    }
}

// A sort or merge walk needs a strict total order: no two different names equal,
// no cycles. Checked over every pair and triple of a mixed list.
TEST(CompareNames, IsATotalOrder) {
    std::vector<std::string> names = {
        "a",
        "A",
        "b",
        "B.txt",
        "b.txt",
        "C.txt",
        "Readme",
        "README",
        "readme",
        "_x",
        "[x]",
        "~x",
        "x1",
        "x10",
        "x2",
        "",
        " ",
        "\xC3\x84",
        "\xC3\xA4",
        "\xC3\x84x",
        "\xCE\xA3",
        "\xCF\x83",
        "\xCF\x82",
        "\xE2\x84\xAA",
        "k",
        "K",
        "\xC4\xB0",
        "i",
        "I",
        "\xC4\xB1",
        "\xC4",
        "\xE4",
        "\xC4x",
        "\xC4X",
        "\xFF\xFE",
        "\xED\xA0\x80",
        "\xF0\x9F\x98\x80",
        "z",
        "Zeta",
        "alpha",
        "\xE1\x8E\xA0",
        "\xEA\xAD\xB0",
    };
    std::mt19937 shuffle(12345);
    std::shuffle(names.begin(), names.end(), shuffle);
    for (const auto& a : names) {
        for (const auto& b : names) {
            int ab = CompareNames(a, b);
            EXPECT_EQ(Sign(ab), -Sign(CompareNames(b, a))) << a << " / " << b;
            EXPECT_EQ(ab == 0, a == b) << a << " / " << b;
            for (const auto& c : names) {
                if (ab < 0 && CompareNames(b, c) < 0) {
                    EXPECT_LT(CompareNames(a, c), 0) << a << " < " << b << " < " << c;
                }
            }
        }
    }
    // Any starting order sorts to the one result.
    auto sorted = names;
    std::sort(sorted.begin(), sorted.end(), [](auto& x, auto& y) { return CompareNames(x, y) < 0; });
    std::shuffle(names.begin(), names.end(), shuffle);
    std::sort(names.begin(), names.end(), [](auto& x, auto& y) { return CompareNames(x, y) < 0; });
    EXPECT_EQ(names, sorted);
}

TEST(CompareNames, DoesNotDependOnTheLocale) {
    std::string old = std::setlocale(LC_ALL, nullptr);
    const std::pair<std::string, std::string> pairs[] = {
        {"\xC3\x84pfel", "Zebra"}, {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB2"}, {"b.txt", "C.txt"}};
    std::vector<int> inC;
    std::setlocale(LC_ALL, "C");
    for (const auto& [a, b] : pairs) {
        inC.push_back(CompareNames(a, b));
    }
    std::setlocale(LC_ALL, "C.UTF-8");
    for (size_t i = 0; i < std::size(pairs); ++i) {
        EXPECT_EQ(CompareNames(pairs[i].first, pairs[i].second), inC[i]) << pairs[i].first;
    }
    std::setlocale(LC_ALL, old.c_str());
}

TEST(ShellSortStrings, SortsTextsWithTheirObjects) {
    int objects[6] = {};
    struct Case {
        std::vector<std::string> in, out;
    };
    const Case cases[] = {
        {{"b", "A", "c"}, {"A", "b", "c"}},
        {{"readme", "Readme", "README"}, {"README", "Readme", "readme"}},
        {{"Zeta", "alpha", "b.txt", "C.txt"}, {"alpha", "b.txt", "C.txt", "Zeta"}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        TStringObjectList list;
        for (size_t i = 0; i < c.in.size(); ++i) {
            list.emplace_back(c.in[i], &objects[i]);
        }
        ShellSortStrings(list);
        ASSERT_EQ(list.size(), c.out.size());
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(list[i].first, c.out[i]);
            // The object travels with its text.
            size_t from = std::find(c.in.begin(), c.in.end(), list[i].first) - c.in.begin();
            EXPECT_EQ(list[i].second, &objects[from]) << list[i].first;
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

TEST(TimeRoutines, FileTimeToSysTime) {
    struct Case {
        TFileTime ticks;
        TSystemTime expected; // wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds
    };
    const Case cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {116444736000000000ull, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {129185802221230000ull, {2010, 5, 1, 17, 14, 30, 22, 123}},
        {125963423999990000ull, {2000, 2, 2, 29, 23, 59, 59, 999}},
        {94405824000000000ull, {1900, 3, 4, 1, 0, 0, 0, 0}},
        {129185802221239999ull, {2010, 5, 1, 17, 14, 30, 22, 123}}, // below a millisecond is dropped
        {0x7FFFFFFFFFFFFFFFull, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ticks);
        TSystemTime t;
        ASSERT_TRUE(FileTimeToSysTime(c.ticks, t));
        EXPECT_EQ(t.wYear, c.expected.wYear);
        EXPECT_EQ(t.wMonth, c.expected.wMonth);
        EXPECT_EQ(t.wDayOfWeek, c.expected.wDayOfWeek);
        EXPECT_EQ(t.wDay, c.expected.wDay);
        EXPECT_EQ(t.wHour, c.expected.wHour);
        EXPECT_EQ(t.wMinute, c.expected.wMinute);
        EXPECT_EQ(t.wSecond, c.expected.wSecond);
        EXPECT_EQ(t.wMilliseconds, c.expected.wMilliseconds);
    }
    TSystemTime untouched{7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_FALSE(FileTimeToSysTime(0x8000000000000000ull, untouched));
    EXPECT_EQ(untouched.wYear, 7);
}

TEST(TimeRoutines, SystemTimeToDateTimeEx) {
    struct Case {
        TSystemTime t;
        double expected;
    };
    const double day = 86400.0;
    const Case cases[] = {
        {{1899, 12, 0, 30, 0, 0, 0, 0}, 0.0},
        {{1899, 12, 0, 30, 12, 0, 0, 0}, 0.5},
        {{1899, 12, 0, 29, 6, 0, 0, 0}, -1.25}, // before the epoch the time is subtracted
        {{1900, 1, 0, 1, 0, 0, 0, 0}, 2.0},
        {{2010, 5, 0, 17, 14, 30, 22, 123}, 40315.0 + (14 * 3600 + 30 * 60 + 22.123) / day},
        {{1, 1, 0, 1, 18, 0, 0, 0}, -693593.75},
        {{9999, 12, 0, 31, 23, 59, 59, 999}, 2958465.0 + (day - 0.001) / day},
        {{2000, 2, 0, 29, 0, 0, 0, 0}, 36585.0},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(SystemTimeToDateTimeEx(c.t), c.expected, 1e-9)
            << c.t.wYear << "-" << c.t.wMonth << "-" << c.t.wDay;
    }
    const TSystemTime invalid[] = {
        {2001, 0, 0, 1, 0, 0, 0, 0},  {2001, 13, 0, 1, 0, 0, 0, 0},   {2001, 2, 0, 29, 0, 0, 0, 0},
        {1900, 2, 0, 29, 0, 0, 0, 0}, {2001, 4, 0, 31, 0, 0, 0, 0},   {2001, 1, 0, 0, 0, 0, 0, 0},
        {0, 1, 0, 1, 0, 0, 0, 0},     {2001, 1, 0, 1, 24, 0, 0, 0},   {2001, 1, 0, 1, 0, 60, 0, 0},
        {2001, 1, 0, 1, 0, 0, 60, 0}, {2001, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const TSystemTime& t : invalid) {
        EXPECT_THROW(SystemTimeToDateTimeEx(t), EConvertError) << t.wYear << "-" << t.wMonth << "-" << t.wDay;
    }
}

TEST(TimeRoutines, FileTimeThroughSystemTimeToDateTime) {
    TSystemTime t;
    ASSERT_TRUE(FileTimeToSysTime(129185802221230000ull, t));
    EXPECT_NEAR(SystemTimeToDateTimeEx(t), 40315.0 + (14 * 3600 + 30 * 60 + 22.123) / 86400.0, 1e-9);
}

// ---- Special folders ---------------------------------------------------------------

TEST(SpecialFolders, AppDataFolderFollowsXdgDataHome) {
    TempDir dir;
    struct Case {
        std::optional<std::string> xdgDataHome;
        std::string expected;
    };
    const Case cases[] = {
        {dir / "data", dir / "data/"},
        {dir / "data2/", dir / "data2/"},
        {std::nullopt, dir / "home/.local/share/"},
        {std::string("relative/path"), dir / "home/.local/share/"}, // relative values are ignored
        {std::string(""), dir / "home/.local/share/"},
    };
    ScopedEnv home("HOME", dir / "home");
    for (const Case& c : cases) {
        ScopedEnv data("XDG_DATA_HOME", c.xdgDataHome);
        EXPECT_EQ(GetAppDataFolder(), c.expected);
        // Snapshot files are written straight into it, so it must exist.
        EXPECT_TRUE(std::filesystem::is_directory(c.expected)) << c.expected;
    }
}

TEST(SpecialFolders, TemplatesFolderFromUserDirs) {
    TempDir dir;
    ScopedEnv home("HOME", dir / "home");
    ScopedEnv config("XDG_CONFIG_HOME", dir / "config");
    struct Case {
        std::optional<std::string> userDirs;
        std::string expected;
    };
    const Case cases[] = {
        {std::nullopt, dir / "home/Templates/"},
        {"XDG_TEMPLATES_DIR=\"$HOME/Vorlagen\"\n", dir / "home/Vorlagen/"},
        {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
         "XDG_TEMPLATES_DIR=\"$HOME/My \\\"T\\\"\"\nXDG_MUSIC_DIR=\"$HOME/Music\"\n",
         dir / "home/My \"T\"/"},
        {"XDG_TEMPLATES_DIR=\"/srv/templates\"\n", "/srv/templates/"},
        {"XDG_TEMPLATES_DIR=\"$HOME/\"\n", dir / "home/"},
        {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", dir / "home/Templates/"},
        {"XDG_TEMPLATES_DIR=\"relative\"\n", dir / "home/Templates/"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir / "config/user-dirs.dirs");
        if (c.userDirs) {
            WriteFile(dir / "config/user-dirs.dirs", *c.userDirs);
        }
        EXPECT_EQ(GetTemplatesFolder(), c.expected) << c.userDirs.value_or("(no file)");
    }
}

TEST(SpecialFolders, StagingFolderIsPrivate) {
    TempDir dir;
    ScopedEnv home("HOME", dir / "home");
    {
        ScopedEnv cache("XDG_CACHE_HOME", dir / "cache");
        EXPECT_EQ(GetStagingFolder(), dir / "cache/Tandemora/staging/");
        EXPECT_EQ(ModeOf(dir / "cache/Tandemora/staging"), 0700u);
        EXPECT_EQ(ModeOf(dir / "cache/Tandemora"), 0700u);
    }
    {
        ScopedEnv cache("XDG_CACHE_HOME", std::nullopt);
        // A folder left open by someone else is closed again.
        std::filesystem::create_directories(dir / "home/.cache/Tandemora/staging");
        chmod((dir / "home/.cache/Tandemora/staging").c_str(), 0755);
        EXPECT_EQ(GetStagingFolder(), dir / "home/.cache/Tandemora/staging/");
        EXPECT_EQ(ModeOf(dir / "home/.cache/Tandemora/staging"), 0700u);
    }
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
    std::string program = std::filesystem::read_symlink("/proc/self/exe");

    SetRunAtStartup("Tandemora", "Tandemora");
    ASSERT_TRUE(Exists(Entry()));
    EXPECT_EQ(ReadFile(Entry()), AutostartEntryText("Tandemora", program));
    EXPECT_NE(ReadFile(Entry()).find("Exec=\"" + program + "\"\n"), std::string::npos);
    EXPECT_EQ(ModeOf(Entry()), 0644u);

    // Writing again replaces the entry and leaves nothing else behind.
    SetRunAtStartup("Tandemora", "Tandemora");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "config/autostart"),
                            std::filesystem::directory_iterator()),
              1);

    for (const char* cleared : {"  ", "", "\t"}) {
        SetRunAtStartup("Tandemora", "Tandemora");
        SetRunAtStartup("Tandemora", cleared);
        EXPECT_FALSE(Exists(Entry())) << "[" << cleared << "]";
    }
    // Clearing an entry that is not there is no failure.
    SetRunAtStartup("Tandemora", "");
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
        {"/opt/Tandemora/Tandemora", "Exec=\"/opt/Tandemora/Tandemora\"\n"},
        {"/opt/my apps/Tandemora", "Exec=\"/opt/my apps/Tandemora\"\n"},
        {"/opt/a\"b", "Exec=\"/opt/a\\\\\"b\"\n"},
        {"/opt/$HOME/`x`", "Exec=\"/opt/\\\\$HOME/\\\\`x\\\\`\"\n"},
        {"/opt/a\\b", "Exec=\"/opt/a\\\\\\\\b\"\n"},
        {"/opt/100%", "Exec=\"/opt/100%%\"\n"},
    };
    for (const auto& [path, exec] : cases) {
        std::string text = AutostartEntryText("Tandemora", path);
        EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
        EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
        EXPECT_NE(text.find("\nName=Tandemora\n"), std::string::npos);
        EXPECT_NE(text.find("\n" + exec), std::string::npos) << text;
    }
    // The icon is the one beside the program.
    EXPECT_NE(
        AutostartEntryText("Tandemora", "/opt/my apps/Tandemora").find("\nIcon=/opt/my apps/Tandemora.png\n"),
        std::string::npos);
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
        {{"sh", "-c", "exit 1"}, false},
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

TEST(SystemNames, UserAndComputer) {
    std::string user = GetLoginUserName();
    ASSERT_FALSE(user.empty());
    passwd* entry = getpwnam(user.c_str());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->pw_uid, geteuid());

    std::string host = ReadFile("/proc/sys/kernel/hostname");
    host.erase(host.find_last_not_of('\n') + 1);
    EXPECT_EQ(GetLocalComputerName(), host);
}

} // namespace
