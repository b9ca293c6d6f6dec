// Replacing a local bookkeeping file from a text made piece by piece: the whole
// text or the old file, never a part, with the digest the stamp names.

#include "engine/UTRunStamp.h"
#include "model/UTUtils.h"
#include "tasks/UTSyncTask.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace tandemora;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// About 300 KB in lines, more than the writer's buffer holds.
std::string LongText() {
    std::string text;
    for (int i = 0; i < 10000; ++i) {
        text += "line " + std::to_string(i) + " of a snapshot that is written a block at a time\r\n";
    }
    return text;
}

} // namespace

TEST(RunStampTest, StreamedFileIsWholeOrTheOldOneStays) {
    TempDir home;
    ScopedEnv data("XDG_DATA_HOME", home.path());
    const std::string path = GetLocalSnapshotFolder() + "task1";
    const std::string old = "the snapshot of the last run\r\n";
    ASSERT_TRUE(TRunStamp::ReplaceLocalFile(path, old));
    const std::string text = LongText();
    struct TCase {
        const char* Name;
        bool Fails; // the writer throws after half the text
    };
    for (const TCase& c : {TCase{"a writer that fails half-way", true}, TCase{"a whole writer", false}}) {
        SCOPED_TRACE(c.Name);
        std::string digest = "unset";
        const bool written = TRunStamp::ReplaceLocalFile(
            path,
            [&](std::ostream& out) {
                const size_t half = text.size() / 2;
                out.write(text.data(), static_cast<std::streamsize>(half));
                if (c.Fails) {
                    throw std::runtime_error("no more");
                }
                out.write(text.data() + half, static_cast<std::streamsize>(text.size() - half));
            },
            &digest);
        EXPECT_EQ(written, !c.Fails);
        EXPECT_EQ(ReadFile(path), c.Fails ? old : text);
        EXPECT_EQ(digest, c.Fails ? "unset" : TRunStamp::DigestOf(text));
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_NE(stat((path + ".p").c_str(), &st), 0) << "the temporary file is left";
    }
}

// A folder kept as a mount point is relative to the side's folder of that run:
// once the task names another folder, it says nothing there, also after the
// next run wrote the records again. Records of the form kept before the folder
// was named with them still count.
TEST(RunStampTest, MountedFoldersBelongToTheSidesFolderTheyWereKeptFor) {
    TempDir home;
    ScopedEnv data("XDG_DATA_HOME", home.path());
    TempDir places;
    char* real = realpath(places.path().c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string first = std::string(real) + "/first";
    const std::string other = std::string(real) + "/other";
    free(real);
    for (const std::string& folder : {first + "/m", other + "/m"}) {
        std::filesystem::create_directories(folder); // nothing visible in either
    }
    TSyncTask task;
    task.SyncID = "task1";
    task.RFolder.DeviceType = dtLocal;
    const std::string mounts = task.RunStampPath() + ".mounts";
    struct TCase {
        const char* Name;
        std::string Records;
        std::string Folder; // the task's right folder now
        std::vector<std::string> Before, AfterAWrite;
    };
    const std::string kept = "r" + first + std::string(1, '\0') + "Rm" + std::string(1, '\0');
    const TCase cases[] = {
        {"kept for this folder", kept, first, {"m"}, {"m"}},
        {"kept for the folder named before", kept, other, {}, {}},
        {"kept without the folder", "Rm" + std::string(1, '\0'), other, {"m"}, {"m"}},
        {"kept for the left side's folder",
         "l" + other + std::string(1, '\0') + "Lm" + std::string(1, '\0') + "Rm",
         other,
         {"m"},
         {"m"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(TRunStamp::ReplaceLocalFile(mounts, c.Records));
        task.RFolder.FolerAllName = c.Folder;
        EXPECT_EQ(TRunStamp::MountedFolders(task, 1), c.Before);
        ASSERT_TRUE(TRunStamp::Write(task, TRunStamp::Of("left", "right")));
        EXPECT_EQ(TRunStamp::MountedFolders(task, 1), c.AfterAWrite);
    }
}
