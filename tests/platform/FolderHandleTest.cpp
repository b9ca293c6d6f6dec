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

// A part file names the task that writes it, so that a run (which holds its
// task's lock) knows its own stale ones, and nothing else looks like one.
TEST(FolderHandleTest, PartFileNamesNameTheirTaskExactly) {
    const std::string longName(300, 'x');
    const std::string utf8Name = std::string(159, 'y') + "\xc3\xbc.txt";
    const std::string longOwner(251, 'o');
    for (const std::string& owner : {std::string("Docs123"), std::string("a..b c."), longOwner}) {
        for (const std::string& name : {std::string("a"), std::string("report.txt"), longName, utf8Name}) {
            const std::string part = fs::PartFileName(name, owner);
            EXPECT_TRUE(fs::IsPartFileOf(part, owner)) << part;
            EXPECT_FALSE(fs::IsPartFileOf(part, owner + "4")) << part;
            EXPECT_FALSE(fs::IsPartFileOf(part, "")) << part;
            EXPECT_LE(part.size(), 255u);
            EXPECT_EQ(part[0], '.');
            EXPECT_NE(part, fs::PartFileName(name, owner)); // every call its own
        }
    }
    EXPECT_FALSE(fs::IsPartFileOf(fs::PartFileName("a", std::string(250, 'o')), longOwner));
    // Cut at a character boundary, never inside one: the two-byte character at
    // the cut goes as a whole.
    const std::string kept = "." + std::string(159, 'y') + ".Docs123.Tandemora-";
    EXPECT_EQ(fs::PartFileName(utf8Name, "Docs123").substr(0, kept.size()), kept);
    const char* notOfDocs123[] = {
        "report.txt",
        ".report.Tandemora-99999-1.part",        // the form of another version: a user's file now
        ".report.txt.Docs12.Tandemora-5.part",   // another task's
        ".report.txt.xDocs123.Tandemora-5.part", // another task's
        "report.txt.Docs123.Tandemora-5.part",   // not hidden
        ".Docs123.Tandemora-5.part",             // no name
        ".report.txt.Docs123.Tandemora-5a.part", // no serial
        ".report.txt.Docs123.Tandemora-.part",   // no serial
        ".report.txt.Docs123.Tandemora-12345678901.part",
        ".report.txt.Docs123.Tandemora-5.part.txt",
    };
    for (const char* name : notOfDocs123) {
        EXPECT_FALSE(fs::IsPartFileOf(name, "Docs123")) << name;
    }
    EXPECT_TRUE(fs::IsPartFileOf(".report.txt.Docs123.Tandemora-5.part", "Docs123"));
}

// Only the task's own part files go, whatever process wrote them; folders,
// other tasks' part files and look-alikes stay.
TEST(FolderHandleTest, RemovesThePartFilesOfItsTaskOnly) {
    TempDir dir;
    const std::string own = fs::PartFileName("a.txt", "Docs123");
    const std::string other = fs::PartFileName("a.txt", "Mail9");
    const std::string lookAlike = ".report.Tandemora-99999-1.part";
    const std::string ownFolder = fs::PartFileName("b", "Docs123");
    for (const std::string& name : {own, other, lookAlike, std::string("a.txt")}) {
        WriteFile(dir / name, name);
    }
    std::filesystem::create_directory(dir / ownFolder);
    fs::TFolder folder;
    ASSERT_TRUE(folder.Open(dir.path(), ""));
    std::vector<std::string> removed;
    folder.RemovePartFilesOf("Docs123", removed);
    EXPECT_EQ(removed, std::vector<std::string>{own});
    EXPECT_FALSE(testsupport::Exists(dir / own));
    for (const std::string& name : {other, lookAlike, std::string("a.txt"), ownFolder}) {
        EXPECT_TRUE(testsupport::Exists(dir / name)) << name;
    }
    folder.RemovePartFilesOf("", removed);
    EXPECT_EQ(removed.size(), 1u);
}

} // namespace
