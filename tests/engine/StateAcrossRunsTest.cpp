// What one synchronisation leaves for the next ones: each scenario runs a task
// three times or more over real folders (scan, analysis, rows, sync), with the
// user's changes in between, and checks what the user sees: the files, the log
// lines and what each analysis proposes.

#include "SyncTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <functional>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

} // namespace

class StateAcrossRunsTest : public SyncFixture {
protected:
    bool Logged(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // An analysis right after a run proposes nothing.
    void ExpectInStep() {
        Analyze(vkAll);
        EXPECT_EQ(Changes(), 0);
        EXPECT_EQ(result->ConflictFlag, 0);
    }
    static void Remove(const std::string& root, const std::string& rel) {
        std::filesystem::remove_all(root + "/" + rel);
    }
};

TEST_F(StateAcrossRunsTest, AFirstSyncWithNothingToDoStillRecordsTheState) {
    for (const std::string& root : {L, R}) {
        Put(root, "a.txt", "same", kOld);
        Put(root, "b.txt", "bee", kOld);
    }
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{"Operator File :0"}));

    // Edited on both sides: a conflict, not "newer wins"; deleted on the right:
    // deleted on the left too, not copied back.
    Put(L, "a.txt", "left edit", kNew);
    Put(R, "a.txt", "right edit", kNewer);
    Remove(R, "b.txt");
    AnalyzeAndSync(vkAll);
    EXPECT_EQ(lines, (Lines{"Delete:" + L + "/b.txt", "Operator File :1"}));
    EXPECT_EQ(Read(L, "a.txt"), "left edit");
    EXPECT_EQ(Read(R, "a.txt"), "right edit");

    Analyze(vkAll);
    EXPECT_EQ(Code("/a.txt"), saConflict);
    EXPECT_EQ(Changes(), 0);
}

TEST_F(StateAcrossRunsTest, ADeletionTheRunDidNotCarryOutIsProposedUntilItIs) {
    struct Case {
        const char* cause;
        const char* name;
        std::function<void()> hold;
        std::function<void()> release;
    };
    const Case cases[] = {
        {"deletions switched off", "d.txt", [this] { task.IsDeleteFile = 0; },
         [this] { task.IsDeleteFile = 1; }},
        {"read-only target", "d.txt", [this] { chmod((R + "/d.txt").c_str(), 0444); },
         [this] { chmod((R + "/d.txt").c_str(), 0644); }},
        {"excluded by a pattern", "d.txt", [this] { task.ExcludeFilter = {"^d\\.txt$"}; },
         [this] { task.ExcludeFilter.clear(); }},
        {"hidden and hidden items left out", ".d", [this] { task.ExcludeHiddenFile = 1; },
         [this] { task.ExcludeHiddenFile = 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause);
        testsupport::TempDir folders;
        UseFolders(folders);
        Put(L, c.name, "doomed", kOld);
        Put(L, "keep.txt", "keep", kOld);
        AnalyzeAndSync();
        ASSERT_TRUE(Has(R, c.name));

        Remove(L, c.name);
        c.hold();
        AnalyzeAndSync();
        EXPECT_TRUE(Has(R, c.name));
        EXPECT_FALSE(Has(L, c.name)); // never copied back
        AnalyzeAndSync();
        EXPECT_TRUE(Has(R, c.name));
        EXPECT_FALSE(Has(L, c.name));

        c.release();
        AnalyzeAndSync();
        EXPECT_TRUE(Logged("Delete:" + R + "/" + c.name)) << ::testing::PrintToString(lines);
        EXPECT_FALSE(Has(R, c.name));
        EXPECT_FALSE(Has(L, c.name));
        ExpectInStep();
    }
}

TEST_F(StateAcrossRunsTest, AnEditFacingADeletionStaysAConflictUntilTheUserChooses) {
    struct Case {
        const char* name;
        bool leftEdits; // else the left deletes and the right edits
        int32_t choice;
    };
    const Case cases[] = {{"edited left, deleted right", true, saOverwriteLtoR},
                          {"deleted left, edited right", false, saOverwriteRtoL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir folders;
        UseFolders(folders);
        Put(L, "f.txt", "first", kOld);
        Put(L, "keep.txt", "keep", kOld);
        AnalyzeAndSync();

        const std::string& editor = c.leftEdits ? L : R;
        Put(editor, "f.txt", "edited", kNew);
        Remove(c.leftEdits ? R : L, "f.txt");
        for (int run = 0; run < 2; ++run) {
            AnalyzeAndSync(vkAll);
            EXPECT_EQ(Code("/f.txt"), saConflict) << "run " << run;
            EXPECT_EQ(lines, (Lines{"Operator File :0"}));
            EXPECT_EQ(Read(editor, "f.txt"), "edited");
        }
        ASSERT_TRUE(rows.SetItemAction(Row("/f.txt"), c.choice));
        Sync();
        EXPECT_EQ(Read(L, "f.txt"), "edited");
        EXPECT_EQ(Read(R, "f.txt"), "edited");
        ExpectInStep();
    }
}

TEST_F(StateAcrossRunsTest, FilesBothSidesChangedAlikeAreSettledAndLaterEditsFlow) {
    Put(L, "a.txt", "alpha", kOld);
    AnalyzeAndSync();
    // Every time moves an hour, and one file is added to both sides by hand.
    testsupport::ScopedEnv zone("TZ", std::string("XXX-1"));
    Put(L, "n.txt", "new", kNew);
    Put(R, "n.txt", "new", kNew);
    task.Unattended = true;
    task.Conflicts = cfDoNotCopy;
    AnalyzeAndSync(vkAll);
    EXPECT_EQ(result->ConflictFlag, 0);
    EXPECT_EQ(Code("/a.txt"), saSame);
    EXPECT_EQ(Code("/n.txt"), saSame);
    EXPECT_EQ(lines, (Lines{"Operator File :0"}));

    Put(L, "a.txt", "alpha two", kNewer);
    Put(R, "n.txt", "new two", kNewer);
    AnalyzeAndSync();
    EXPECT_EQ(Read(R, "a.txt"), "alpha two");
    EXPECT_EQ(Read(L, "n.txt"), "new two");
    ExpectInStep();
}

TEST_F(StateAcrossRunsTest, AFileDatedAfter2043IsTheNewerOne) {
    const time_t in2050 = 2524608000; // 2050-01-01, past the DOS times' top bit
    const time_t in2020 = 1577836800;
    Put(L, "f.txt", "from the future", in2050);
    Put(R, "f.txt", "from the past", in2020);
    AnalyzeAndSync();
    EXPECT_EQ(Read(R, "f.txt"), "from the future");

    task.Unattended = true;
    task.Conflicts = cfNewerFileWins;
    Put(L, "f.txt", "future, edited", in2050 + 3600);
    Put(R, "f.txt", "past, edited", in2020 + 3600);
    AnalyzeAndSync();
    EXPECT_EQ(Read(R, "f.txt"), "future, edited");
    ExpectInStep();
}

TEST_F(StateAcrossRunsTest, ADifferentSizeIsAChangeWhateverTheTime) {
    Put(L, "f.txt", "one", kOld);
    Put(L, "g.txt", "left g", kOld);
    Put(R, "g.txt", "right, longer g", kOld); // one time, two files
    AnalyzeAndSync(vkAll);
    EXPECT_EQ(Code("/g.txt"), saConflict);

    Put(R, "f.txt", "one, rewritten", kOld); // a server that keeps the time
    AnalyzeAndSync(vkAll);
    EXPECT_EQ(Read(L, "f.txt"), "one, rewritten");
    EXPECT_EQ(Code("/g.txt"), saConflict);

    Put(L, "f.txt", "two", kNew);
    AnalyzeAndSync(vkAll);
    EXPECT_EQ(Read(R, "f.txt"), "two");
    EXPECT_EQ(Read(L, "g.txt"), "left g");
    EXPECT_EQ(Read(R, "g.txt"), "right, longer g");
}

TEST_F(StateAcrossRunsTest, AnEmptyFolderOnBothSidesIsInStep) {
    for (int32_t leaveOut : {0, 1}) {
        SCOPED_TRACE("empty folders left out: " + std::to_string(leaveOut));
        testsupport::TempDir folders;
        UseFolders(folders);
        task.ExcludeEmtpyFolder = leaveOut;
        ASSERT_TRUE(fs::ForceDirectories(L + "/e"));
        ASSERT_TRUE(fs::ForceDirectories(R + "/e"));
        Put(L, "a.txt", "a", kOld);
        for (int run = 0; run < 3; ++run) {
            AnalyzeAndSync(); // the Changes view, which does not show the folder
            const auto e = std::find_if(result->Children.begin(), result->Children.end(),
                                        [](const TFileTree* item) { return item->Name == "e"; });
            ASSERT_NE(e, result->Children.end());
            EXPECT_EQ((*e)->Action, saSame) << "run " << run;
            EXPECT_EQ(result->ConflictFlag, 0) << "run " << run;
        }
        Put(L, "e/n.txt", "n", kNew);
        AnalyzeAndSync();
        EXPECT_EQ(Read(R, "e/n.txt"), "n");
        ExpectInStep();
    }
}

TEST_F(StateAcrossRunsTest, AFileReplacedByAFolderOfItsNameTakesOneRun) {
    Put(L, "x", "a file", kOld);
    Put(L, "keep.txt", "keep", kOld);
    AnalyzeAndSync();

    Remove(L, "x");
    Put(L, "x/inner.txt", "inside", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{"Delete:" + R + "/x", CopyLine(L, R, "x/inner.txt"), "Operator File :2"}));
    EXPECT_EQ(Read(R, "x/inner.txt"), "inside");
    ExpectInStep();

    // And back: the folder gives way to a file.
    Remove(L, "x");
    Put(L, "x", "a file again", kNewer);
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{"Delete:" + R + "/x/inner.txt", "Delete Folder " + R + "/x", CopyLine(L, R, "x"),
                            "Operator File :2"}));
    EXPECT_EQ(Read(R, "x"), "a file again");
    ExpectInStep();
}

TEST_F(StateAcrossRunsTest, ASideThatTurnsUpEmptyDeletesNothingOnTheOther) {
    task.EstimateDiskSpace = 1; // snapshots kept on this computer, outside the folders
    Put(L, "a.txt", "a", kOld);
    Put(L, "d/b.txt", "b", kOld);
    AnalyzeAndSync();

    // The left drive is not mounted: its mount point is an empty folder.
    Remove(L, "a.txt");
    Remove(L, "d");
    for (int run = 0; run < 2; ++run) {
        AnalyzeAndSync(vkAll);
        EXPECT_TRUE(analysis->LeftEmptied);
        EXPECT_EQ(Code("/a.txt"), saDoNotCopy);
        EXPECT_EQ(Code("/d/b.txt"), saDoNotCopy);
        EXPECT_EQ(lines, (Lines{"Operator File :0"}));
        EXPECT_EQ(Read(R, "a.txt"), "a");
        EXPECT_EQ(Read(R, "d/b.txt"), "b");
    }
    // Back again.
    Put(L, "a.txt", "a", kOld);
    Put(L, "d/b.txt", "b", kOld);
    ExpectInStep();
    EXPECT_FALSE(analysis->LeftEmptied);
}

TEST_F(StateAcrossRunsTest, SnapshotsOfAnotherPairAreNeverComparedWith) {
    Put(L, "a.txt", "first", kOld);
    AnalyzeAndSync();
    // Pointed at another right folder for one run, in which the left file changes.
    testsupport::TempDir elsewhere;
    const std::string home = R;
    task.RFolder.FolerAllName = elsewhere.path();
    Put(L, "a.txt", "second", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(testsupport::ReadFile(elsewhere / "a.txt"), "second");
    // Back home, the old right file is behind.
    task.RFolder.FolerAllName = home;
    Analyze();
    EXPECT_FALSE(analysis->UsedSnapshots);
    Sync();
    EXPECT_EQ(Read(R, "a.txt"), "second");
    ExpectInStep();
}

TEST_F(StateAcrossRunsTest, SnapshotsLeftAtAPlaceNoLongerUsedAreGone) {
    Put(L, "a.txt", "a", kOld);
    Put(L, "b.txt", "b", kOld);
    AnalyzeAndSync();
    ASSERT_TRUE(testsupport::Exists(WorkSnapshot(L)));

    task.EstimateDiskSpace = 1;
    Remove(L, "b.txt");
    AnalyzeAndSync();
    EXPECT_FALSE(Has(R, "b.txt"));
    EXPECT_FALSE(testsupport::Exists(WorkSnapshot(L)));
    EXPECT_FALSE(testsupport::Exists(WorkSnapshot(R)));

    // Back to the folders, with the file restored on the left: it is copied, not deleted.
    task.EstimateDiskSpace = 0;
    Put(L, "b.txt", "b", kOld);
    AnalyzeAndSync();
    EXPECT_EQ(Read(R, "b.txt"), "b");
    EXPECT_EQ(Read(L, "b.txt"), "b");
    EXPECT_FALSE(testsupport::Exists(LocalSnapshot(0)));
    EXPECT_FALSE(testsupport::Exists(LocalSnapshot(1)));
    ExpectInStep();
}
