// Folders opened below a root without following links, and the part-file names
// that every transfer shares.

#include "platform/FolderHandle.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tandemora;
using testsupport::TempDir;
using testsupport::TreeOutside;
using testsupport::WriteFile;

namespace {

// Both ways of reaching a folder must refuse the same things: the kernel's
// openat2 and the level-by-level walk used where the kernel lacks it.
TEST(FolderHandleTest, FoldersBelowTheRootAreReachedOnlyThroughRealFolders) {
    struct Case {
        const char* Rel;
        bool Make;
        bool Opens;
    };
    const Case cases[] = {
        {"", false, true},
        {"a/b", false, true},
        {"a/missing", false, false},
        {"a/made/here", true, true},
        {"link", false, false},         // a link to a folder outside
        {"link/new", true, false},      // ... also when levels are to be made below it
        {"a/inner-link", false, false}, // a link to a folder inside the root
        {"a/file", false, false},
        {"a/../a", false, false},
    };
    for (const fs::TResolve how : {fs::TResolve::Auto, fs::TResolve::Walk}) {
        TempDir dir;
        const std::string root = dir / "root";
        const std::string canary = dir / "canary";
        WriteFile(canary + "/inner/kept.txt", "canary");
        WriteFile(root + "/a/file", "f");
        std::filesystem::create_directories(root + "/a/b");
        ASSERT_EQ(symlink(canary.c_str(), (root + "/link").c_str()), 0);
        ASSERT_EQ(symlink((root + "/a/b").c_str(), (root + "/a/inner-link").c_str()), 0);
        const auto before = TreeOutside(canary, {});
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.Rel) + (how == fs::TResolve::Walk ? " (walk)" : " (auto)"));
            fs::TFolder folder;
            EXPECT_EQ(folder.Open(root, c.Rel, c.Make, nullptr, how), c.Opens);
            if (c.Opens) {
                struct stat st {};
                ASSERT_EQ(fstat(folder.Fd(), &st), 0);
                EXPECT_TRUE(S_ISDIR(st.st_mode));
            }
        }
        EXPECT_TRUE(std::filesystem::is_directory(root + "/a/made/here"));
        EXPECT_EQ(TreeOutside(canary, {}), before);
    }
}

// Names come from listings and snapshots: one that would lead out of the folder
// is refused by every operation, whoever let it through.
TEST(FolderHandleTest, ItemNamesNeverLeadOutOfTheirFolder) {
    TempDir dir;
    WriteFile(dir / "root/sub/a.txt", "a");
    WriteFile(dir / "kept.txt", "kept");
    const auto before = TreeOutside(dir.path(), {});
    fs::TFolder folder;
    ASSERT_TRUE(folder.Open(dir / "root", "sub"));
    for (const char* name : {"", ".", "..", "../../kept.txt", "../b.txt"}) {
        SCOPED_TRACE(name);
        fs::TFileHandle file;
        EXPECT_FALSE(folder.CreateNew(name, 0600, file));
        EXPECT_FALSE(folder.Rename("a.txt", folder, name));
        EXPECT_FALSE(folder.DeleteFile(name));
        EXPECT_FALSE(folder.RemoveFolder(name));
    }
    EXPECT_EQ(TreeOutside(dir.path(), {}), before);
}

TEST(FolderHandleTest, PartFileNamesAreRecognisedExactly) {
    const std::string longName(300, 'x');
    const std::string utf8Name = std::string(199, 'y') + "\xc3\xbc.txt";
    for (const std::string& name : {std::string("a"), std::string("report.txt"), longName, utf8Name}) {
        const std::string part = fs::PartFileName(name);
        EXPECT_TRUE(fs::IsPartFileName(part)) << part;
        EXPECT_LE(part.size(), 255u);
        EXPECT_EQ(part[0], '.');
        EXPECT_NE(part, fs::PartFileName(name)); // every call its own
    }
    // Cut at a character boundary, never inside one: the two-byte character at
    // the cut goes as a whole.
    const std::string kept = "." + std::string(199, 'y') + ".Tandemora-";
    EXPECT_EQ(fs::PartFileName(utf8Name).substr(0, kept.size()), kept);
    const char* notParts[] = {
        "report.txt",
        ".report.txt.1234-5.part",          // another program's part file
        "report.txt.Tandemora-1234-5.part", // not hidden
        ".Tandemora-1234-5.part",           // no name
        ".report.txt.Tandemora-12a4-5.part",
        ".report.txt.Tandemora-12345678901-5.part",
    };
    for (const char* name : notParts) {
        EXPECT_FALSE(fs::IsPartFileName(name)) << name;
        EXPECT_FALSE(fs::IsStalePartFile(name)) << name;
    }
}

TEST(FolderHandleTest, OnlyPartFilesOfEndedProcessesAreStale) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string ended = ".a.txt.Tandemora-" + std::to_string(child) + "-0.part";
    const std::string parent = ".a.txt.Tandemora-" + std::to_string(getppid()) + "-0.part";
    EXPECT_TRUE(fs::IsStalePartFile(ended));
    EXPECT_FALSE(fs::IsStalePartFile(parent));
    EXPECT_FALSE(fs::IsStalePartFile(fs::PartFileName("a.txt"))); // this process's own

    TempDir dir;
    WriteFile(dir / ended, "left by a killed copy");
    WriteFile(dir / parent, "still being written");
    WriteFile(dir / "a.txt", "a");
    std::filesystem::create_directory(dir / (".b.Tandemora-" + std::to_string(child) + "-1.part"));
    fs::TFolder folder;
    ASSERT_TRUE(folder.Open(dir.path(), ""));
    folder.RemoveStalePartFiles();
    EXPECT_FALSE(testsupport::Exists(dir / ended));
    EXPECT_TRUE(testsupport::Exists(dir / parent));
    EXPECT_TRUE(testsupport::Exists(dir / "a.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / (".b.Tandemora-" + std::to_string(child) + "-1.part")));
}

} // namespace
