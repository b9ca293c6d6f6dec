#include "platform/Profile.h"
#include "platform/Exceptions.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tandemora;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

TProfile ProfileOf(const TempDir& dir, const std::string& text) {
    WriteFile(dir / "test.ini", text);
    return TProfile(dir / "test.ini");
}

} // namespace

TEST(Profile, ReadsLikeTheWindowsProfileCalls) {
    TempDir dir;
    const std::string text = "\xEF\xBB\xBF[Main]\r\n" // a byte-order mark, CR LF and LF alike
                             "; a comment=not a key\n"
                             "plain=value\n"
                             "  spaced  =   padded value  \n"
                             "dquoted=\"  kept blanks  \"\n"
                             "squoted='single'\n"
                             "mixed=\"not a pair'\n"
                             "inner=a \"b\" c\n"
                             "twice=first\n"
                             "TWICE=second\n"
                             "empty=\n"
                             "eq=a=b\n"
                             "\t[ Other ]\t\n"
                             "plain=other section\n"
                             "[main]\n"
                             "late=in a repeated section\n";
    TProfile ini = ProfileOf(dir, text);
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"Main", "plain", "value"},
        {"MAIN", "PLAIN", "value"},             // sections and keys without letter case
        {"Main", "spaced", "padded value"},     // blanks around names and values trimmed
        {"Main", "dquoted", "  kept blanks  "}, // one pair of quotes removed after trimming
        {"Main", "mixed", "\"not a pair'"},     // quotes that do not pair stay
        {"Main", "inner", "a \"b\" c"},
        {"Main", "twice", "first"}, // first match wins
        {"Main", "eq", "a=b"},
        {"Other", "plain", "other section"}, // blanks around a header are ignored
        {"main", "late", "<default>"},       // only the first section of a name is read
        {"Main", "; a comment", "<default>"},
        {"Missing", "plain", "<default>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ini.ReadString(c.section, c.key, "<default>")) << c.section << "/" << c.key;
    }
    EXPECT_TRUE(ini.ValueExists("main", "EMPTY"));
    EXPECT_FALSE(ini.ValueExists("main", "missing"));
    EXPECT_TRUE(ini.SectionExists("other"));
    EXPECT_EQ((std::vector<std::string>{"Main", "Other"}), ini.ReadSections());
    EXPECT_EQ((std::vector<std::string>{"plain", "spaced", "dquoted", "squoted", "mixed", "inner", "twice",
                                        "TWICE", "empty", "eq"}),
              ini.ReadSection("main"));
}

TEST(Profile, ReadIntegerTakesNumbersOnlyAndOtherwiseTheDefault) {
    TempDir dir;
    TProfile ini = ProfileOf(dir, "[n]\none=1\nneg=-12\nhex=$1F\ncx=0x10\nword=yes\nmix=12a\nempty=\n"
                                  "big=99999999999\nquoted=\"7\"\nall=$FFFFFFFF\n");
    struct Case {
        const char* key;
        int expected;
    } cases[] = {{"one", 1},   {"neg", -12}, {"hex", 31},   {"cx", 16},  {"word", 5}, {"mix", 5},
                 {"empty", 5}, {"big", 5},   {"quoted", 7}, {"all", -1}, {"none", 5}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ini.ReadInteger("n", c.key, 5)) << c.key;
    }
}

TEST(Profile, TheBufferLimitCutsAt2047CharactersWithoutSplittingACharacter) {
    TempDir dir;
    std::string ascii(3000, 'x');
    // 2046 ASCII bytes and a two-byte character: the character would straddle the limit.
    std::string straddle = std::string(2046, 'y') + "\xC3\xA9" + "zz";
    TProfile ini = ProfileOf(dir, "[t]\nlong=" + ascii + "\nstraddle=" + straddle + "\n");
    EXPECT_EQ(3000u, ini.ReadString("t", "long", "").size()); // no limit unless asked
    EXPECT_EQ(std::string(2047, 'x'), ini.ReadString("t", "long", "", kProfileBufferChars));
    EXPECT_EQ(std::string(2046, 'y'), ini.ReadString("t", "straddle", "", kProfileBufferChars));
    EXPECT_EQ(std::string(2047, 'd'),
              ini.ReadString("t", "missing", std::string(2100, 'd'), kProfileBufferChars));
}

TEST(Profile, WritesChangeOneLineAndKeepEverythingElse) {
    struct Case {
        const char* name;
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"in place, key spelling and comments kept", "; options\n[Main]\nKey = old\n; note\nother=1\n",
         "MAIN", "key", "new", "; options\n[Main]\nKey=new\n; note\nother=1\n"},
        {"new key after the section's last entry", "[a]\nx=1\n\n[b]\ny=2\n", "a", "z", "3",
         "[a]\nx=1\nz=3\n\n[b]\ny=2\n"},
        {"last line without an end", "[a]\nx=1", "a", "y", "2", "[a]\nx=1\ny=2\n"},
        {"CR LF file keeps CR LF", "[a]\r\nx=1\r\n", "a", "y", "2", "[a]\r\nx=1\r\ny=2\r\n"},
        {"blanks at the ends are quoted", "[a]\n", "a", "p", " pad ", "[a]\np=\" pad \"\n"},
        {"enclosing quotes are quoted", "[a]\n", "a", "q", "'x'", "[a]\nq=\"'x'\"\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteFile(dir / "w.ini", c.before);
        TProfile ini(dir / "w.ini");
        ini.WriteString(c.section, c.key, c.value);
        ini.UpdateFile();
        EXPECT_EQ(c.after, ReadFile(dir / "w.ini")) << c.name;
        EXPECT_EQ(c.value, TProfile(dir / "w.ini").ReadString(c.section, c.key, "")) << c.name;
    }
}

TEST(Profile, UpdateFileReplacesAtomicallyAndKeepsPermissionsAndLinks) {
    TempDir dir;
    WriteFile(dir / "real.ini", "[a]\nk=1\n");
    chmod((dir / "real.ini").c_str(), 0640);
    symlink((dir / "real.ini").c_str(), (dir / "link.ini").c_str());
    TProfile ini(dir / "link.ini");
    ini.WriteString("a", "k", "2");
    ini.UpdateFile();

    struct stat st;
    ASSERT_EQ(0, lstat((dir / "link.ini").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)); // the link survives, its target is replaced
    ASSERT_EQ(0, stat((dir / "real.ini").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("[a]\nk=2\n", ReadFile(dir / "real.ini"));
    // No temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(2, entries);
}

TEST(Profile, AFailedUpdateRaisesAndLeavesNoTrace) {
    TempDir dir;
    // The name was taken by a folder after loading: the replacement must fail, not
    // report success, and the folder stays.
    TProfile taken(dir / "taken.ini");
    taken.WriteString("a", "k", "v");
    mkdir((dir / "taken.ini").c_str(), 0755);
    EXPECT_THROW(taken.UpdateFile(), EFCreateError);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken.ini"));
    TProfile ini;
    EXPECT_THROW(ini.UpdateFile(), EFCreateError); // no file name at all
    TProfile missingFolder(dir / "no/such/folder.ini");
    missingFolder.WriteString("a", "k", "v");
    EXPECT_THROW(missingFolder.UpdateFile(), EFCreateError);
    EXPECT_FALSE(testsupport::Exists(dir / "no"));
}

TEST(Profile, DeleteKeyAndAddSection) {
    TempDir dir;
    WriteFile(dir / "d.ini", "[a]\nk=1\nk=2\nj=3\n");
    TProfile ini(dir / "d.ini");
    EXPECT_TRUE(ini.DeleteKey("A", "K"));
    EXPECT_EQ("2", ini.ReadString("a", "k", "")); // the next entry of that name now wins
    EXPECT_FALSE(ini.DeleteKey("a", "none"));
    EXPECT_FALSE(ini.DeleteKey("none", "k"));
    ini.AddSection("A"); // exists already, nothing added
    ini.AddSection("b");
    ini.UpdateFile();
    EXPECT_EQ("[a]\nk=2\nj=3\n[b]\n", ReadFile(dir / "d.ini"));
}

// A program file is read only when it is a regular file (a link to one is
// fine) of a sane size: a FIFO would block for ever, /dev/zero never ends.
TEST(Profile, OnlyARegularFileOfASaneSizeIsRead) {
    TempDir dir;
    WriteFile(dir / "real.ini", "[Main]\nkey=value\n");
    symlink((dir / "real.ini").c_str(), (dir / "link.ini").c_str());
    mkfifo((dir / "fifo.ini").c_str(), 0600);
    symlink("/dev/zero", (dir / "zero.ini").c_str());
    mkdir((dir / "folder.ini").c_str(), 0700);
    WriteFile(dir / "limit.ini", std::string(1000, ';'));
    struct Case {
        const char* name;
        long long limit;
        const char* says; // "" when it reads
    };
    const Case cases[] = {
        {"real.ini", 1000, ""},
        {"link.ini", 1000, ""},
        {"limit.ini", 1000, ""},
        {"limit.ini", 999, "It is larger than"},
        {"fifo.ini", 1000, "It is not a regular file"},
        {"zero.ini", 1000, "It is not a regular file"},
        {"folder.ini", 1000, "It is not a regular file"},
        {"missing.ini", 1000, "No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.limit));
        if (*c.says == '\0') {
            EXPECT_EQ(ReadProgramFile(dir / c.name, c.limit), ReadFile(dir / c.name));
            continue;
        }
        try {
            ReadProgramFile(dir / c.name, c.limit);
            ADD_FAILURE() << "read";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(dir / c.name), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(TProfile(dir / "link.ini").ReadString("Main", "key", ""), "value");
    EXPECT_THROW(TProfile(dir / "fifo.ini"), EFOpenError);
}
