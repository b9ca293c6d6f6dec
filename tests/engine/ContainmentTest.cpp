// What a run writes stays inside the two folders and the program's own private
// files: a crafted snapshot moves nothing outside, the program's files are
// readable by their owner only, and names cannot forge log lines.

#include "SyncTestSupport.h"
#include "model/UTUtils.h"

#include <filesystem>
#include <map>

namespace synctest {
namespace {

class ContainmentTest : public SyncFixture {
protected:
    static unsigned ModeOf(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000;
    }
};

TEST_F(ContainmentTest, CraftedSnapshotPathChangesNothingOutsideTheFolders) {
    // A snapshot in a shared work folder (or a local snapshot file) whose entry
    // for a.txt points at a copy of it beside both folders: a run that took the
    // entry's path as it stands deleted that copy.
    struct Case {
        const char* what;
        int32_t estimateDiskSpace; // 1: both snapshots local
    };
    const Case cases[] = {{"work-folder snapshot", 0}, {"local snapshot", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        UseFolders(dir);
        task.EstimateDiskSpace = c.estimateDiskSpace;
        Put(L, "a.txt", "same", kOld);
        Put(R, "a.txt", "same", kOld);
        Put(L, "b.txt", "new", kOld); // a run with work to do writes snapshots
        AnalyzeAndSync();
        const std::string snapshot = c.estimateDiskSpace == 1 ? LocalSnapshot(0) : WorkSnapshot(L);
        std::string text = testsupport::ReadFile(snapshot);
        const size_t entry = text.find("a.txt:0:/:");
        ASSERT_NE(entry, std::string::npos) << text;
        text.replace(entry, 10, "a.txt:0:/../victim/:");
        testsupport::WriteFile(snapshot, text);
        std::filesystem::remove(L + "/a.txt");
        Put(dir.path(), "victim/a.txt", "same", kOld);
        Put(dir.path(), "victim/keep/b.txt", "canary", kOld);
        const auto outside = testsupport::TreeOutside(dir.path(), {L, R});
        AnalyzeAndSync();
        EXPECT_EQ(testsupport::TreeOutside(dir.path(), {L, R}), outside);
        // The damaged snapshot is not used, so nothing is deleted on its account.
        EXPECT_EQ(Read(R, "a.txt"), "same");
        EXPECT_EQ(Read(L, "a.txt"), "same");
    }
}

TEST_F(ContainmentTest, EveryFileTheProgramWritesIsReadableByItsOwnerOnly) {
    // They all name items of the synchronised folders, which may be private.
    task.EstimateDiskSpace = 1;
    const struct {
        const char* what;
        std::string path;
    } files[] = {
        {"task log", program / "Docs123.log"},
        {"error log", program / "ErrorInfo.txt"},
        {"left snapshot", LocalSnapshot(0)},
        {"right snapshot", LocalSnapshot(1)},
    };
    // First every file new; then every file (and a temporary snapshot file left
    // by an earlier run) made readable by all before the program writes again.
    for (const bool widened : {false, true}) {
        SCOPED_TRACE(widened ? "files that were readable by all" : "new files");
        if (widened) {
            for (const auto& file : files) {
                ASSERT_EQ(chmod(file.path.c_str(), 0644), 0) << file.what;
            }
            for (const int32_t side : {0, 1}) {
                testsupport::WriteFile(LocalSnapshot(side) + ".p", "");
                chmod((LocalSnapshot(side) + ".p").c_str(), 0666);
            }
        }
        Put(L, widened ? "b.txt" : "a.txt", "new", kNew);
        AnalyzeAndSync();
        task.WriteLog("one record");
        ErrorLogger.LogError("one error", "EInOutError", "message");
        for (const auto& file : files) {
            EXPECT_EQ(ModeOf(file.path), 0600u) << file.what;
        }
    }
    EXPECT_EQ(ModeOf(GetLocalSnapshotFolder()), 0700u);
}

TEST_F(ContainmentTest, LineBreaksInNamesAreEscapedInEveryLogLine) {
    // A file named so would otherwise write a forged line into the log panel and
    // the task log, and spread an error-log entry over several lines.
    const std::string forged = "x\nCopy:elsewhere -> nowhere\r\x01\xE2\x80\xA8";
    const std::string shown = "x%0ACopy:elsewhere -> nowhere%0D%01%E2%80%A8";
    Put(L, forged, "bytes", kOld);
    ASSERT_TRUE(fs::ForceDirectories(L + "/d\nx"));
    AnalyzeAndSync();
    EXPECT_EQ(Read(R, forged), "bytes");
    EXPECT_NE(std::find(lines.begin(), lines.end(), CopyLine(L, R, shown)), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Copy Folder d%0Ax"), lines.end());

    task.SyncName = "Docs\nforged";
    task.LFolder.FolerAllName = L + "\r";
    lines.push_back(task.LogHeader("SYNC"));
    ErrorLogger.LogError("Write Error", "EInOutError", "cannot write " + L + "/" + forged);
    const std::string errorLog = ErrorLog();
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line.find_first_of("\r\n"), line.find("\r\n" + L)); // only the header's own line end
    }
    EXPECT_NE(lines.back().find("Job:\"Docs%0Aforged\""), std::string::npos);
    EXPECT_NE(lines.back().find(L + "%0D <-> "), std::string::npos);
    EXPECT_EQ(std::count(errorLog.begin(), errorLog.end(), '\n'), 1) << errorLog;
    EXPECT_NE(errorLog.find(shown), std::string::npos);
}

} // namespace
} // namespace synctest
