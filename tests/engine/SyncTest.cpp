// Synchronisations end to end on real folders: scan, analysis, result rows and
// the sync thread, checked by the files on both sides, the log lines, the row
// codes and the snapshots the run leaves for the next analysis.

#include "SyncTestSupport.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <thread>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

} // namespace

class SyncTest : public SyncFixture {};

TEST_F(SyncTest, FirstSyncOfTwoFilledFoldersCopiesBothWaysAndSavesSnapshots) {
    Put(L, "sub/b.txt", "bee", kOld);
    Put(L, "a.txt", "alpha", kOld);
    Put(L, "common.txt", "left wins", kNew);
    Put(L, "Same.txt", "x", kOld);
    Put(R, "rsub/c.txt", "sea", kOld);
    Put(R, "common.txt", "right", kOld);
    Put(R, "r.txt", "arr", kOld);
    Put(R, "Same.txt", "x", kOld);

    Analyze();
    EXPECT_FALSE(analysis->UsedSnapshots);
    EXPECT_EQ(Code("/common.txt"), saOverwriteLtoR);
    EXPECT_EQ(Row("/Same.txt"), nullptr); // nothing to do, so not in the Changes view
    Sync();

    EXPECT_EQ(lines,
              (Lines{CopyLine(R, L, "rsub/c.txt"), CopyLine(L, R, "sub/b.txt"), CopyLine(L, R, "a.txt"),
                     CopyLine(L, R, "common.txt"), CopyLine(R, L, "r.txt"), "Operator File :5"}));
    EXPECT_EQ(opCount, 5);
    EXPECT_EQ(Read(L, "rsub/c.txt"), "sea");
    EXPECT_EQ(Read(R, "sub/b.txt"), "bee");
    EXPECT_EQ(Read(R, "a.txt"), "alpha");
    EXPECT_EQ(Read(R, "common.txt"), "left wins");
    EXPECT_EQ(Read(L, "r.txt"), "arr");
    fs::DirEntry copied;
    ASSERT_TRUE(fs::GetEntryInfo(R + "/common.txt", copied));
    EXPECT_EQ(copied.Time, DosOf(kNew)); // the copy carries the source's time
    for (const char* key :
         {"/rsub", "/rsub/c.txt", "/sub", "/sub/b.txt", "/a.txt", "/common.txt", "/r.txt"}) {
        EXPECT_EQ(Code(key), saSame) << key;
    }
    EXPECT_EQ(Messages(WM_UPDATEPROCESS), 5);
    EXPECT_GE(Messages(WM_COPYPROCESS), 5);
    EXPECT_GE(repaints, 7);

    const Lines items = {"rsub/", "rsub/c.txt", "sub/",  "sub/b.txt",
                         "a.txt", "common.txt", "r.txt", "Same.txt"};
    Lines expectLeft = {L};
    expectLeft.insert(expectLeft.end(), items.begin(), items.end());
    Lines expectRight = {R};
    expectRight.insert(expectRight.end(), items.begin(), items.end());
    EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), expectLeft);
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), expectRight);
    EXPECT_FALSE(Has(appData.path(), "Tandemora/Docs123L"));

    // Right after the sync, a new analysis (now against the snapshots) finds nothing.
    Analyze();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(result->ConflictFlag, 0);
    EXPECT_EQ(rows.RowCount(), 1);
}

TEST_F(SyncTest, ChangesOnBothSidesSinceTheLastSyncAndAConflict) {
    for (const char* name : {"keep.txt", "x.txt", "y.txt", "z.txt"}) {
        Put(L, name, std::string("old ") + name, kOld);
    }
    AnalyzeAndSync();
    ASSERT_EQ(opCount, 4);

    Put(L, "x.txt", "x from left", kNew);
    Put(R, "y.txt", "y from right", kNew);
    Put(L, "z.txt", "z left", kNew);
    Put(R, "z.txt", "z right", kNewer);
    Put(R, "n.txt", "new on right", kNew);

    Analyze(vkAll);
    ASSERT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Code("/x.txt"), saOverwriteLtoR);
    EXPECT_EQ(Code("/y.txt"), saOverwriteRtoL);
    EXPECT_EQ(Code("/z.txt"), saConflict);
    EXPECT_EQ(Code("/n.txt"), saCopyRtoL);
    Sync();

    EXPECT_EQ(lines, (Lines{CopyLine(R, L, "n.txt"), CopyLine(L, R, "x.txt"), CopyLine(R, L, "y.txt"),
                            "Operator File :3"}));
    EXPECT_EQ(Read(L, "n.txt"), "new on right");
    EXPECT_EQ(Read(R, "x.txt"), "x from left");
    EXPECT_EQ(Read(L, "y.txt"), "y from right");
    EXPECT_EQ(Read(L, "z.txt"), "z left");
    EXPECT_EQ(Read(R, "z.txt"), "z right");
    EXPECT_EQ(Code("/z.txt"), saConflict); // nothing done, the row keeps its code
    EXPECT_EQ(Code("/keep.txt"), saSame);
    EXPECT_EQ(Code("/x.txt"), saSame);
    EXPECT_EQ(Code("/n.txt"), saSame);

    // The conflict is not taken for settled by the snapshots of this run.
    Analyze(vkAll);
    EXPECT_EQ(Code("/z.txt"), saConflict);
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(result->ConflictFlag, 1);
}

TEST_F(SyncTest, DeletionsFollowIsDeleteFile) {
    for (int32_t isDeleteFile : {1, 0}) {
        SCOPED_TRACE("IsDeleteFile " + std::to_string(isDeleteFile));
        testsupport::TempDir folders;
        UseFolders(folders);
        task.IsDeleteFile = isDeleteFile;
        Put(L, "f/inner.txt", "inner", kOld);
        Put(L, "d.txt", "dee", kOld);
        Put(L, "keep.txt", "keep", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(opCount, 3);

        std::filesystem::remove_all(L + "/f");
        std::filesystem::remove(L + "/d.txt");
        std::filesystem::remove(R + "/keep.txt");
        const std::string rightSnapshotBefore = testsupport::ReadFile(WorkSnapshot(R));
        Analyze();
        Sync();

        if (isDeleteFile == 1) {
            EXPECT_EQ(lines,
                      (Lines{"Delete:" + R + "/f/inner.txt", "Delete Folder " + R + "/f",
                             "Delete:" + R + "/d.txt", "Delete:" + L + "/keep.txt", "Operator File :3"}));
            EXPECT_FALSE(Has(R, "f"));
            EXPECT_FALSE(Has(R, "d.txt"));
            EXPECT_FALSE(Has(L, "keep.txt"));
            EXPECT_EQ(Code("/f"), saSame);
            EXPECT_EQ(Code("/f/inner.txt"), saSame);
            EXPECT_EQ(Code("/d.txt"), saSame);
            EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{R}));
            EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), (Lines{L}));
        } else {
            // Nothing to carry out: the snapshots of the last sync stay as they were.
            EXPECT_EQ(lines, (Lines{"Operator File :0"}));
            EXPECT_EQ(Read(R, "f/inner.txt"), "inner");
            EXPECT_EQ(Read(R, "d.txt"), "dee");
            EXPECT_EQ(Read(L, "keep.txt"), "keep");
            EXPECT_EQ(testsupport::ReadFile(WorkSnapshot(R)), rightSnapshotBefore);
        }
    }
}

TEST_F(SyncTest, OneWayTasksWithForcedCopyAndVerified) {
    for (int32_t direction : {sdLeftToRight, sdRightToLeft}) {
        for (int32_t forced : {fvForcedCopy, fvVerified}) {
            SCOPED_TRACE("direction " + std::to_string(direction) + " mode " + std::to_string(forced));
            testsupport::TempDir folders;
            UseFolders(folders);
            task.SyncDirection = direction;
            task.ForcedOrVerified = forced;
            Put(L, "a.txt", "a", kOld);
            Put(L, "c.txt", "left", kOld);
            Put(L, "c2.txt", "left2", kNew);
            Put(R, "c.txt", "right", kNew);
            Put(R, "c2.txt", "right2", kOld);
            Put(R, "r.txt", "r", kOld);
            AnalyzeAndSync();

            Lines expected;
            if (direction == sdLeftToRight && forced == fvForcedCopy) {
                // The target side follows the source, newer or not; its own files stay.
                expected = {CopyLine(L, R, "a.txt"), CopyLine(L, R, "c.txt"), CopyLine(L, R, "c2.txt")};
                EXPECT_EQ(Read(R, "c.txt"), "left");
                EXPECT_EQ(Read(R, "c2.txt"), "left2");
                EXPECT_EQ(Read(R, "r.txt"), "r");
                EXPECT_FALSE(Has(L, "r.txt"));
            } else if (direction == sdLeftToRight) {
                // Verified: what would go against the direction is a conflict, left alone.
                expected = {CopyLine(L, R, "a.txt"), CopyLine(L, R, "c2.txt")};
                EXPECT_EQ(Read(R, "c.txt"), "right");
                EXPECT_EQ(Read(R, "c2.txt"), "left2");
                EXPECT_FALSE(Has(L, "r.txt"));
            } else if (forced == fvForcedCopy) {
                expected = {CopyLine(R, L, "c.txt"), CopyLine(R, L, "c2.txt"), CopyLine(R, L, "r.txt")};
                EXPECT_EQ(Read(L, "c.txt"), "right");
                EXPECT_EQ(Read(L, "c2.txt"), "right2");
                EXPECT_FALSE(Has(R, "a.txt"));
            } else {
                expected = {CopyLine(R, L, "c.txt"), CopyLine(R, L, "r.txt")};
                EXPECT_EQ(Read(L, "c.txt"), "right");
                EXPECT_EQ(Read(L, "c2.txt"), "left2");
                EXPECT_FALSE(Has(R, "a.txt"));
            }
            expected.push_back("Operator File :" + std::to_string(expected.size()));
            EXPECT_EQ(lines, expected);
            EXPECT_EQ(Read(L, "a.txt"), "a");
        }
    }
}

TEST_F(SyncTest, PreviousVersionsAreKeptUnlessBookkeepingStaysOutOfTheFolders) {
    for (int32_t estimate : {0, 1}) {
        SCOPED_TRACE("EstimateDiskSpace " + std::to_string(estimate));
        testsupport::TempDir folders;
        UseFolders(folders);
        task.SaveOldFile = 1;
        task.EstimateDiskSpace = estimate;
        Put(L, "sub/c.txt", "version one", kOld);
        Put(L, "d.txt", "doomed", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(opCount, 2);

        Put(L, "sub/c.txt", "version two", kNew);
        std::filesystem::remove(L + "/d.txt");
        Analyze();
        ASSERT_TRUE(analysis->UsedSnapshots);
        Sync();

        EXPECT_EQ(lines, (Lines{CopyLine(L, R, "sub/c.txt"), "Delete:" + R + "/d.txt", "Operator File :2"}));
        EXPECT_EQ(Read(R, "sub/c.txt"), "version two");
        EXPECT_FALSE(Has(R, "d.txt"));
        if (estimate == 0) {
            EXPECT_EQ(Read(R, "__Tandemora__/__saved__/sub/c.txt"), "version one");
            EXPECT_EQ(Read(R, "__Tandemora__/__saved__/d.txt"), "doomed");
        } else {
            // Both snapshots live under the application data; the folders get no
            // work folder and no saved versions at all.
            EXPECT_FALSE(Has(R, "__Tandemora__"));
            EXPECT_FALSE(Has(L, "__Tandemora__"));
            EXPECT_TRUE(Has(appData.path(), "Tandemora/Docs123R"));
        }
    }
}

TEST_F(SyncTest, CopyThroughATemporaryFileEndsUnderTheFinalName) {
    task.UseTempFile = 1;
    Put(L, "c.txt", "first", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(R, "c.txt"), "first");

    Put(L, "c.txt", "second, longer", kNew);
    Put(L, "sub/n.txt", "new", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "sub/n.txt"), CopyLine(L, R, "c.txt"), "Operator File :2"}));
    EXPECT_EQ(Read(R, "c.txt"), "second, longer");
    EXPECT_EQ(Read(R, "sub/n.txt"), "new");
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "c.txt", "sub"}));
    EXPECT_EQ(Names(R + "/sub"), (Lines{"n.txt"}));
    fs::DirEntry entry;
    ASSERT_TRUE(fs::GetEntryInfo(R + "/c.txt", entry));
    EXPECT_EQ(entry.Time, DosOf(kNew));
}

// Below the root, a blank or control character at the end of a folder's name is
// part of the name: trimmed, the folder could never be listed, every scan would
// count as incomplete and nothing in it would ever be synchronised.
TEST_F(SyncTest, FolderNamesEndingInABlankOrControlCharacterAreSyncedRunAfterRun) {
    const Lines names = {"blank ", "cr\r", "tab\t"};
    for (const std::string& name : names) {
        Put(L, name + "/l.txt", name, kOld);
        Put(R, "in/" + name + "/r.txt", name, kOld);
    }
    AnalyzeAndSync();
    EXPECT_TRUE(leftScan->ScanComplete());
    EXPECT_TRUE(rightScan->ScanComplete());
    for (const std::string& name : names) {
        EXPECT_EQ(Read(R, name + "/l.txt"), name);
        EXPECT_EQ(Read(L, "in/" + name + "/r.txt"), name);
    }

    Put(L, "cr\r/l.txt", "changed", kNew);
    AnalyzeAndSync();
    EXPECT_TRUE(analysis->UsedSnapshots);
    EXPECT_EQ(Read(R, "cr\r/l.txt"), "changed");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

TEST_F(SyncTest, AUsersTmpFileIsNeverTakenForTheTemporaryCopy) {
    task.UseTempFile = 1;
    Put(L, "c.txt", "one", kOld);
    Put(L, "c.txt.tmp", "my own notes", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(Read(R, "c.txt.tmp"), "my own notes");

    Put(L, "c.txt", "two, longer", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "c.txt"), "Operator File :1"}));
    EXPECT_EQ(Read(R, "c.txt.tmp"), "my own notes");
    EXPECT_EQ(Read(R, "c.txt"), "two, longer");
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "c.txt", "c.txt.tmp"}));
}

TEST_F(SyncTest, EachSnapshotPlaceStoresBothSnapshotsWhereTheNextAnalysisLooks) {
    struct Case {
        int32_t estimate, folderTags, direction;
        int32_t place;
        bool leftLocal, rightLocal;
    };
    const std::vector<Case> cases = {
        {0, 0, sdBothWays, spInFolders, false, false},
        {0, 1, sdLeftToRight, spLeftLocal, true, false},
        {0, 1, sdBothWays, spRightLocal, false, true},
        {1, 0, sdBothWays, spBothLocal, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("snapshot place " + std::to_string(c.place));
        testsupport::TempDir folders;
        testsupport::TempDir data;
        testsupport::ScopedEnv xdg("XDG_DATA_HOME", data.path());
        UseFolders(folders);
        task.EstimateDiskSpace = c.estimate;
        task.EnsureFolderTags = c.folderTags;
        task.SyncDirection = c.direction;
        ASSERT_EQ(task.SnapshotPlace(), c.place);
        Put(L, "a.txt", "a", kOld);
        Put(L, "sub/b.txt", "b", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(opCount, 2);

        const Lines leftItems = {L, "sub/", "sub/b.txt", "a.txt"};
        const Lines rightItems = {R, "sub/", "sub/b.txt", "a.txt"};
        const std::string leftLocal = data.path() + "/Tandemora/Docs123L";
        const std::string rightLocal = data.path() + "/Tandemora/Docs123R";
        EXPECT_EQ(SnapshotItems(c.leftLocal ? leftLocal : WorkSnapshot(L)), leftItems);
        EXPECT_EQ(SnapshotItems(c.rightLocal ? rightLocal : WorkSnapshot(R)), rightItems);
        EXPECT_EQ(testsupport::Exists(leftLocal), c.leftLocal);
        EXPECT_EQ(testsupport::Exists(rightLocal), c.rightLocal);
        // A side whose snapshot is kept locally gets no work folder at all.
        EXPECT_EQ(Has(L, "__Tandemora__"), !c.leftLocal);
        EXPECT_EQ(Has(R, "__Tandemora__"), !c.rightLocal);
        if (c.leftLocal) {
            struct stat st;
            ASSERT_EQ(stat(leftLocal.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            EXPECT_FALSE(testsupport::Exists(leftLocal + ".p"));
        }

        Analyze();
        EXPECT_TRUE(analysis->UsedSnapshots);
        EXPECT_EQ(Changes(), 0);
    }
}

TEST_F(SyncTest, DeletedFolderThatReceivesACopyInTheSameRunStays) {
    Put(L, "f/a.txt", "a", kOld);
    Put(L, "keep.txt", "k", kOld);
    AnalyzeAndSync();
    ASSERT_EQ(opCount, 2);

    std::filesystem::remove_all(L + "/f");
    Put(R, "f/b.txt", "b", kNew);
    Analyze();
    EXPECT_EQ(Code("/f"), saDeleteRight);
    ASSERT_NE(Row("/f"), nullptr);
    EXPECT_EQ(Row("/f")->RtoLCount, 1);
    Sync();

    EXPECT_EQ(lines, (Lines{"Delete:" + R + "/f/a.txt", CopyLine(R, L, "f/b.txt"), "Operator File :2"}));
    EXPECT_EQ(Read(R, "f/b.txt"), "b");
    EXPECT_EQ(Read(L, "f/b.txt"), "b");
    EXPECT_FALSE(Has(R, "f/a.txt"));
    EXPECT_EQ(Code("/f"), saSame);
}

TEST_F(SyncTest, EmptyFoldersAreCopiedAndCounted) {
    ASSERT_TRUE(fs::ForceDirectories(L + "/e"));
    ASSERT_TRUE(fs::ForceDirectories(L + "/p/q"));
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{"Copy Folder e", "Copy Folder p/q", "Operator File :2"}));
    EXPECT_TRUE(fs::DirectoryExists(R + "/e"));
    EXPECT_TRUE(fs::DirectoryExists(R + "/p/q"));
    EXPECT_EQ(Code("/e"), saSame);
    EXPECT_EQ(Code("/p"), saSame);
    EXPECT_EQ(Code("/p/q"), saSame);
    EXPECT_EQ(Messages(WM_UPDATEPROCESS), 2);
}

TEST_F(SyncTest, ReadOnlyTargetIsReplacedByACopyButNotDeleted) {
    Put(L, "c.txt", "old", kOld);
    Put(L, "d.txt", "keep me", kOld);
    AnalyzeAndSync();
    chmod((R + "/c.txt").c_str(), 0444);
    chmod((R + "/d.txt").c_str(), 0444);
    Put(L, "c.txt", "new", kNew);
    std::filesystem::remove(L + "/d.txt");

    AnalyzeAndSync();
    EXPECT_EQ(lines,
              (Lines{CopyLine(L, R, "c.txt"), "Error Delete:" + R + "/d.txt (deleting: Permission denied)",
                     "Operator File :2"}));
    EXPECT_EQ(Read(R, "c.txt"), "new");
    EXPECT_EQ(Read(R, "d.txt"), "keep me");
    EXPECT_EQ(Code("/c.txt"), saSame);
    EXPECT_EQ(Code("/d.txt"), saError);
}

TEST_F(SyncTest, TargetsChangedAfterTheAnalysisAreLeftAlone) {
    Put(L, "c.txt", "c one", kOld);
    Put(L, "d.txt", "d one", kOld);
    Put(L, "t.txt", "t one", kOld);
    Put(L, "ok.txt", "ok one", kOld);
    AnalyzeAndSync();

    Put(L, "c.txt", "c two", kNew);
    Put(L, "t.txt", "t two", kNew);
    Put(L, "ok.txt", "ok two", kNew);
    Put(L, "n.txt", "n from left", kNew);
    std::filesystem::remove(L + "/d.txt");
    Analyze();
    ASSERT_EQ(Changes(), 5);

    // Meanwhile someone works on the right side.
    Put(R, "c.txt", "c edited on the right", kNewer);
    Put(R, "n.txt", "mine", kNewer);
    Put(R, "d.txt", "d edited", kNewer);
    SetTime(R + "/t.txt", kNewer); // same size, only touched
    Sync();

    const std::string changed = " (the target changed after the analysis)";
    EXPECT_EQ(lines,
              (Lines{"Error " + CopyLine(L, R, "c.txt") + changed, "Error Delete:" + R + "/d.txt" + changed,
                     "Error " + CopyLine(L, R, "n.txt") + changed, CopyLine(L, R, "ok.txt"),
                     "Error " + CopyLine(L, R, "t.txt") + changed, "Operator File :5"}));
    EXPECT_EQ(Read(R, "c.txt"), "c edited on the right");
    EXPECT_EQ(Read(R, "n.txt"), "mine");
    EXPECT_EQ(Read(R, "d.txt"), "d edited");
    EXPECT_EQ(Read(R, "t.txt"), "t one");
    EXPECT_EQ(Read(R, "ok.txt"), "ok two");
    for (const char* key : {"/c.txt", "/d.txt", "/n.txt", "/t.txt"}) {
        EXPECT_EQ(Code(key), saError) << key;
    }
    EXPECT_EQ(Code("/ok.txt"), saSame);

    // Next time both sides' changes are seen: conflicts where both changed, also
    // the file edited on the right that the left deleted.
    Analyze(vkAll);
    EXPECT_EQ(Code("/c.txt"), saConflict);
    EXPECT_EQ(Code("/n.txt"), saConflict);
    EXPECT_EQ(Code("/t.txt"), saConflict);
    EXPECT_EQ(Code("/d.txt"), saConflict);
    EXPECT_EQ(Code("/ok.txt"), saSame);
}

TEST_F(SyncTest, ChangedSourceIsRefusedByTheCopy) {
    Put(L, "grow.txt", "short", kOld);
    Analyze();
    Put(L, "grow.txt", "much longer now", kOld);
    Sync();
    EXPECT_EQ(lines,
              (Lines{"Error " + CopyLine(L, R, "grow.txt") + " (the source changed since the analysis)",
                     "Operator File :1"}));
    EXPECT_FALSE(Has(R, "grow.txt"));
    EXPECT_EQ(Code("/grow.txt"), saError);
}

TEST_F(SyncTest, CancelStopsBeforeTheNextItemAndStillSavesSnapshots) {
    for (const char* name : {"f1", "f2", "f3", "f4"}) {
        Put(L, name, name, kOld);
    }
    AnalyzeAndSync();
    ASSERT_EQ(opCount, 4);
    for (const char* name : {"f1", "f2", "f3", "f4"}) {
        Put(L, name, std::string(name) + " changed", kNew);
    }
    Analyze();
    onLine = [this](const std::string& line) {
        if (line.rfind("Copy:", 0) == 0 && current != nullptr) {
            current->Terminate(); // the window's cancel, while the first line is shown
        }
    };
    Sync();
    onLine = nullptr;
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "f1"), "Operator File :1"}));
    EXPECT_EQ(Read(R, "f1"), "f1 changed");
    EXPECT_EQ(Read(R, "f2"), "f2");
    EXPECT_EQ(Code("/f1"), saSame);
    EXPECT_EQ(Code("/f2"), saOverwriteLtoR);
    EXPECT_EQ(Code("/f4"), saOverwriteLtoR);
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{R, "f1", "f2", "f3", "f4"}));

    // What the cancel left undone is still proposed by the next analysis.
    Analyze();
    EXPECT_EQ(Row("/f1"), nullptr);
    EXPECT_EQ(Code("/f2"), saOverwriteLtoR);
    EXPECT_EQ(Code("/f3"), saOverwriteLtoR);
    EXPECT_EQ(Code("/f4"), saOverwriteLtoR);
}

TEST_F(SyncTest, CancelOfAFirstSyncSavesWhatWasDone) {
    for (const char* name : {"f1", "f2", "f3"}) {
        Put(L, name, name, kOld);
    }
    Analyze();
    onLine = [this](const std::string& line) {
        if (line.rfind("Copy:", 0) == 0 && current != nullptr) {
            current->Terminate();
        }
    };
    Sync();
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "f1"), "Operator File :1"}));
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{R, "f1"}));
    // The files not reached are not in the left snapshot either: still new there.
    EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), (Lines{L, "f1"}));
    onLine = nullptr;
    Analyze();
    EXPECT_EQ(ShownKeys(), (Lines{"/f2", "/f3"}));
}

TEST_F(SyncTest, CancelInsideAFolderLeavesTheFolderRowAsItWas) {
    Put(L, "dir/a", "a", kOld);
    Put(L, "dir/b", "b", kOld);
    Analyze();
    onLine = [this](const std::string&) {
        if (current != nullptr) {
            current->Terminate();
        }
    };
    Sync();
    EXPECT_EQ(Code("/dir/a"), saSame);
    EXPECT_EQ(Code("/dir/b"), saCopyLtoR);
    EXPECT_EQ(Code("/dir"), saCopyLtoR); // not walked to its end, so not "done"
}

TEST_F(SyncTest, SideWithoutAnEndpointClassStopsTheRunWithOneLine) {
    struct Case {
        int32_t left, right;
        std::string line;
    };
    const std::vector<Case> cases = {
        {dtLocal, dtSftp, "Sync not started: there is no endpoint for the Right folder (device type 4)."},
        {dtNone, dtLocal, "Sync not started: there is no endpoint for the Left folder (device type 0)."},
        {dtWinMobile, dtSftp,
         "Sync not started: there is no endpoint for the Left folder (device type 6) and the Right folder "
         "(device type 4)."},
    };
    Put(L, "a.txt", "a", kOld);
    Analyze();
    for (const Case& c : cases) {
        task.LFolder.DeviceType = c.left;
        task.RFolder.DeviceType = c.right;
        Sync();
        EXPECT_EQ(lines, (Lines{c.line}));
        EXPECT_EQ(opCount, 0);
        EXPECT_FALSE(Has(R, "a.txt"));
        EXPECT_FALSE(Has(L, "__Tandemora__"));
        EXPECT_FALSE(Has(R, "__Tandemora__"));
        EXPECT_EQ(Code("/a.txt"), saCopyLtoR);
    }
}

TEST_F(SyncTest, ViewWithNothingToDoWritesOnlyTheCountLine) {
    Put(L, "a.txt", "a", kOld);
    Put(L, "b.txt", "b", kOld);
    Analyze(vkAll);
    ASSERT_TRUE(rows.SetItemAction(Row("/a.txt"), saDoNotCopy));
    ASSERT_TRUE(rows.SetItemAction(Row("/b.txt"), saSame));
    Sync();
    EXPECT_EQ(lines, (Lines{"Operator File :0"}));
    EXPECT_FALSE(Has(R, "a.txt"));
    EXPECT_EQ(Code("/a.txt"), saDoNotCopy);
    EXPECT_EQ(Messages(WM_UPDATEPROCESS), 0);
    // The first snapshots are written all the same; what was skipped is still new.
    EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), (Lines{L, "b.txt"}));
    Analyze();
    EXPECT_EQ(Code("/a.txt"), saCopyLtoR);
    EXPECT_EQ(Code("/b.txt"), saCopyLtoR);
}

TEST_F(SyncTest, ExcludedRowsAreNotActedOnWhenAViewShowsThem) {
    task.ExcludeFilter = {"^skip"};
    Put(L, "skip.txt", "s", kOld);
    Put(L, "take.txt", "t", kOld);
    Analyze(vkAll);
    ASSERT_NE(Row("/skip.txt"), nullptr);
    Sync();
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "take.txt"), "Operator File :1"}));
    EXPECT_FALSE(Has(R, "skip.txt"));
}

TEST_F(SyncTest, RowsAreFreeForTheWindowAgainWhenTheThreadEndsByItself) {
    Put(L, "a.txt", "a", kOld);
    Analyze();
    // As the window runs it: the thread frees itself after its end handler.
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> alive = token;
    bool ended = false;
    auto* thread = new TTandemoraThread(&rows, &task);
    thread->NotifyWnd = &window;
    thread->LogMemo = [this, token](const std::string& line) { lines.push_back(line); };
    token.reset();
    thread->OnTerminate = [&](TThread*) {
        ended = true;
        EXPECT_FALSE(rows.SyncRunning());
    };
    EXPECT_TRUE(rows.SyncRunning());
    EXPECT_FALSE(rows.ShowView(vkAll));
    thread->Start();
    ASSERT_TRUE(dispatcher.WaitAndProcess([&] { return ended; }));
    while (!alive.expired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "a.txt"), "Operator File :1"}));
    EXPECT_TRUE(rows.ShowView(vkAll));
}

// Links planted in the right folder, before the analysis or between the analysis
// and the sync: whatever the run does, a canary tree beside the two folders keeps
// every byte and gains nothing.
TEST_F(SyncTest, LinksPlantedInTheTargetNeverLetARunWriteOutside) {
    struct Case {
        const char* Label;
        std::function<void(const std::string& canary)> Plant; // before the analysis
        std::function<void(const std::string& canary)> Swap;  // after it
        std::function<Lines()> Expected;
    };
    const auto refused = [this](const std::string& rel) {
        return Lines{"Sync not started: " + R + rel +
                     " must be a folder, not a symbolic link; remove the link and run the task again."};
    };
    const Case cases[] = {
        {"file link",
         [this](const std::string& canary) {
             Put(L, "f.txt", "from the left", kNew);
             Put(canary, "c.txt", "canary", kOld);
             ASSERT_EQ(symlink((canary + "/c.txt").c_str(), (R + "/f.txt").c_str()), 0);
         },
         nullptr,
         [this] {
             return Lines{CopyLine(L, R, "f.txt"), "Operator File :1"};
         }},
        {"folder link swapped in after the analysis",
         [this](const std::string& canary) {
             // A deletion and a copy into "sub" are due; the canary holds a file
             // just like the one to delete.
             Put(L, "sub/y.txt", "on both sides", kOld);
             AnalyzeAndSync();
             std::filesystem::remove(L + "/sub/y.txt");
             Put(L, "sub/x.txt", "new on the left", kNew);
             Put(canary, "y.txt", "on both sides", kOld);
         },
         [this](const std::string& canary) {
             std::filesystem::rename(R + "/sub", R + "-sub");
             ASSERT_EQ(symlink(canary.c_str(), (R + "/sub").c_str()), 0);
         },
         [this] {
             const std::string link = ": Too many levels of symbolic links)";
             return Lines{"Error " + CopyLine(L, R, "sub/x.txt") + " (making the folder" + link,
                          "Error Delete:" + R + "/sub/y.txt (deleting" + link, "Operator File :2"};
         }},
        {"work folder link",
         [this](const std::string& canary) {
             Put(L, "a.txt", "a", kOld);
             ASSERT_EQ(symlink(canary.c_str(), (R + "/__Tandemora__").c_str()), 0);
         },
         nullptr, [&] { return refused("/__Tandemora__"); }},
        {"saved-versions folder link",
         [this](const std::string& canary) {
             task.SaveOldFile = 1;
             Put(L, "a.txt", "a", kOld);
             ASSERT_TRUE(fs::ForceDirectories(R + "/__Tandemora__"));
             ASSERT_EQ(symlink(canary.c_str(), (R + "/__Tandemora__/__saved__").c_str()), 0);
         },
         nullptr, [&] { return refused("/__Tandemora__/__saved__"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        testsupport::TempDir folders;
        UseFolders(folders);
        task.SaveOldFile = 0;
        const std::string canary = folders / "canary";
        Put(canary, "inner/kept.txt", "canary", kOld);
        c.Plant(canary);
        const auto before = testsupport::TreeOutside(canary, {});
        Analyze();
        if (c.Swap) {
            c.Swap(canary);
        }
        Sync();
        EXPECT_EQ(lines, c.Expected());
        EXPECT_EQ(testsupport::TreeOutside(canary, {}), before);
    }
}

// Copies between local folders are the source's to the nanosecond and the
// permission bit, folders made for them too, and the next analysis finds nothing.
TEST_F(SyncTest, LocalCopiesKeepExactTimesAndPermissions) {
    Put(L, "private/secret.txt", "read-only and private", kOld);
    chmod((L + "/private/secret.txt").c_str(), 0400);
    chmod((L + "/private").c_str(), 0700);
    ASSERT_TRUE(fs::ForceDirectories(L + "/empty"));
    chmod((L + "/empty").c_str(), 0700);
    Put(L, "note.txt", "newer, private", kNew);
    chmod((L + "/note.txt").c_str(), 0600);
    Put(R, "note.txt", "older", kOld);
    chmod((R + "/note.txt").c_str(), 0644);
    // An odd second and nanoseconds: no DOS time holds them.
    const timespec exact[2] = {{kOld + 1, 987654321}, {kOld + 1, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, (L + "/private/secret.txt").c_str(), exact, 0), 0);
    const mode_t oldMask = umask(022);
    AnalyzeAndSync();
    umask(oldMask);

    const auto mode = [](const std::string& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(R + "/private"), 0700u);
    EXPECT_EQ(mode(R + "/empty"), 0700u);
    EXPECT_EQ(mode(R + "/private/secret.txt"), 0400u);
    EXPECT_EQ(mode(R + "/note.txt"), 0600u);
    struct stat st {};
    ASSERT_EQ(stat((R + "/private/secret.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, kOld + 1);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    Analyze();
    EXPECT_EQ(Changes(), 0);
}
