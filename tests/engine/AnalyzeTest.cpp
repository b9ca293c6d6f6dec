// The comparison: both modes, the combination and direction tables through real
// trees, the unattended conflict policy, node sharing, name order, what a scan
// did not see, and cancellation.

#include "endpoints/UTWinFileOper.h"
#include "engine/TreeBuilder.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTRunStamp.h"
#include "model/UTResultRows.h"
#include "platform/MainThread.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utime.h>
#include <vector>

using namespace tandemora;
using enginetest::FindNode;
using enginetest::TTreeBuilder;

namespace {

constexpr int32_t kMissing = -100; // no such item in the result
const char* const kLeftFolder = "/data/left";
const char* const kRightFolder = "/data/right";

// One analysis: the task, the four input trees and the result. Snapshots with
// items count as written together by the last synchronisation; without any,
// there was none.
class TRun {
public:
    TRun() : LeftSnap(kLeftFolder), RightSnap(kRightFolder) {
        Task.LFolder.FolerAllName = kLeftFolder;
        Task.RFolder.FolerAllName = kRightFolder;
        Task.LFolder.DeviceType = dtLocal;
        Task.RFolder.DeviceType = dtLocal;
        Result = NewTree(ResultArena);
    }

    testsupport::TempDir AppData;
    testsupport::ScopedEnv Xdg{"XDG_DATA_HOME", AppData.path()};
    TSyncTask Task;
    TTreeBuilder Left, Right, LeftSnap, RightSnap;
    TArenaPtr ResultArena;
    TFileTree* Result;
    std::unique_ptr<TAnalyzeThread> Thread;

    TAnalyzeThread& Make() {
        if (!LeftSnap.Root->Children.empty() || !RightSnap.Root->Children.empty()) {
            TRunStamp::Write(Task, TRunStamp::Of(LeftSnap.Root, RightSnap.Root));
        }
        Thread = std::make_unique<TAnalyzeThread>(&Task, Left.Root, Right.Root, Result, LeftSnap.Root,
                                                  RightSnap.Root);
        return *Thread;
    }
    TAnalyzeThread& Analyze() {
        Make().Execute();
        return *Thread;
    }
    int32_t Code(const std::string& path) const {
        const TFileTree* node = FindNode(Result, path);
        return node == nullptr ? kMissing : node->Action;
    }
    // Every item at or below the result's top, with the path the test uses.
    void Collect(TFileTree* node, const std::string& prefix,
                 std::vector<std::pair<std::string, int32_t>>& out) {
        for (TFileTree* child : node->Children) {
            const std::string path = prefix + child->Name;
            out.emplace_back(path, child->Action);
            Collect(child, path + "/", out);
        }
    }
};

// Puts a file on one side so that its change since the snapshot is `change`;
// a new or changed file gets the time 300 and the given size.
void Place(TTreeBuilder& scan, TTreeBuilder& snap, const std::string& name, int32_t change,
           int64_t size = 0) {
    switch (change) {
    case saNewSinceSync:
        scan.File(name, 300, size);
        break;
    case saChangedSinceSync:
        scan.File(name, 300, size);
        snap.File(name, 100);
        break;
    case saDeletedSinceSync:
        snap.File(name, 100);
        break;
    case saSame:
        scan.File(name, 100);
        snap.File(name, 100);
        break;
    }
}

// The same for an empty folder (a folder is never "changed").
void PlaceFolder(TTreeBuilder& scan, TTreeBuilder& snap, const std::string& name, int32_t change) {
    if (change != saDeletedSinceSync) {
        scan.Folder(name);
    }
    if (change != saNewSinceSync) {
        snap.Folder(name);
    }
}

const int32_t kChanges[] = {saNewSinceSync, saChangedSinceSync, saDeletedSinceSync, saSame};

std::string CellName(int32_t l, int32_t r) {
    return "c" + std::to_string(l) + "_" + std::to_string(r);
}

} // namespace

// ---- The combination table ---------------------------------------------------------------

TEST(AnalyzeCombine, EveryCellOfTheTableForFiles) {
    // Left change down, right change across: new, changed, deleted, same. A
    // deletion goes over only where the other side did not change the file.
    const int32_t expected[4][4] = {
        {saConflict, saConflict, saConflict, saConflict},
        {saConflict, saConflict, saConflict, saOverwriteLtoR},
        {saConflict, saConflict, kMissing, saDeleteRight}, // gone from both: no item
        {saNewSinceSync, saOverwriteRtoL, saDeleteLeft, saSame},
    };
    TRun run;
    run.Task.IsDeleteFile = 1; // deletions reach the result unchanged
    for (int32_t l : kChanges) {
        for (int32_t r : kChanges) {
            // Two different files where both sides have one.
            Place(run.Left, run.LeftSnap, CellName(l, r), l, 1);
            Place(run.Right, run.RightSnap, CellName(l, r), r, 2);
        }
    }
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    for (int li = 0; li < 4; ++li) {
        for (int ri = 0; ri < 4; ++ri) {
            const std::string name = CellName(kChanges[li], kChanges[ri]);
            EXPECT_EQ(run.Code(name), expected[li][ri]) << name;
        }
    }
}

TEST(AnalyzeCombine, EveryReachableCellForEmptyFolders) {
    // A folder on both sides without a change carries no code; the table reads it as "same".
    const int32_t folderChanges[] = {saNewSinceSync, saDeletedSinceSync, saSame};
    struct Cell {
        int32_t left, right, code;
    };
    const Cell cells[] = {
        // A folder both sides hold is in step, however it came there.
        {saNewSinceSync, saNewSinceSync, saSame},
        {saNewSinceSync, saDeletedSinceSync, saConflict},
        {saNewSinceSync, saSame, saSame},
        {saDeletedSinceSync, saNewSinceSync, saConflict},
        {saDeletedSinceSync, saDeletedSinceSync, kMissing},
        {saDeletedSinceSync, saSame, saDeleteRight},
        {saSame, saNewSinceSync, saSame},
        {saSame, saDeletedSinceSync, saDeleteLeft},
        {saSame, saSame, saSame},
    };
    TRun run;
    run.Task.IsDeleteFile = 1;
    for (int32_t l : folderChanges) {
        for (int32_t r : folderChanges) {
            PlaceFolder(run.Left, run.LeftSnap, CellName(l, r), l);
            PlaceFolder(run.Right, run.RightSnap, CellName(l, r), r);
        }
    }
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    for (const Cell& cell : cells) {
        const std::string name = CellName(cell.left, cell.right) + "/";
        EXPECT_EQ(run.Code(name), cell.code) << name;
    }
}

TEST(AnalyzeCombine, FolderPairWithChildrenGetsCombinedCodeAndItsItemsTheirOwn) {
    TRun run;
    run.Task.IsDeleteFile = 1;
    // Deleted on the left since the last sync, still there unchanged on the right.
    run.LeftSnap.File("gone/a.txt", 100);
    run.RightSnap.File("gone/a.txt", 100);
    run.Right.File("gone/a.txt", 100);
    // Unchanged on both sides.
    Place(run.Left, run.LeftSnap, "kept/b.txt", saSame);
    Place(run.Right, run.RightSnap, "kept/b.txt", saSame);
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    EXPECT_EQ(run.Code("gone/"), saDeleteRight);
    EXPECT_EQ(run.Code("gone/a.txt"), saDeleteRight);
    EXPECT_EQ(run.Code("kept/"), saUnset);
    EXPECT_EQ(run.Code("kept/b.txt"), saSame);
}

TEST(AnalyzeCombine, BothSidesChangedToTheSameFileIsSettled) {
    // New or changed on both sides: the same size and time on both is one file
    // (nothing to do, and the sync must record it); anything else is a conflict.
    struct Case {
        int32_t left, right;
        int64_t rightSize;
        int32_t code;
    };
    const Case cases[] = {
        {saNewSinceSync, saNewSinceSync, 5, saSame},
        {saChangedSinceSync, saChangedSinceSync, 5, saSame},
        {saNewSinceSync, saChangedSinceSync, 5, saSame},
        {saChangedSinceSync, saNewSinceSync, 5, saSame},
        {saNewSinceSync, saNewSinceSync, 6, saConflict},
        {saChangedSinceSync, saChangedSinceSync, 6, saOverwriteRtoL}, // the policy: a tie goes right
    };
    for (const Case& c : cases) {
        TRun run;
        run.Task.Unattended = true; // agreement comes before any conflict policy
        run.Task.Conflicts = cfNewerFileWins;
        Place(run.Left, run.LeftSnap, "anchor", saSame);
        Place(run.Right, run.RightSnap, "anchor", saSame);
        Place(run.Left, run.LeftSnap, "f", c.left, 5);
        Place(run.Right, run.RightSnap, "f", c.right, c.rightSize);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        const TFileTree* f = FindNode(run.Result, "f");
        EXPECT_EQ(f->Action, c.code) << c.left << "/" << c.right;
        EXPECT_EQ(f->Agreed, c.code == saSame ? 1 : 0);
    }
}

// ---- The direction table ----------------------------------------------------------------

struct DirectionRow {
    int32_t direction, forced, deletes;
    int32_t onlyLeft, onlyRight, leftNewer, rightNewer, deletedLeft, deletedRight;
};

class AnalyzeDirection : public ::testing::TestWithParam<DirectionRow> {};

TEST_P(AnalyzeDirection, DirectAndSnapshotProposals) {
    const DirectionRow& row = GetParam();
    auto setTask = [&](TSyncTask& task) {
        task.SyncDirection = row.direction;
        task.ForcedOrVerified = row.forced;
        task.IsDeleteFile = row.deletes;
    };

    TRun direct;
    setTask(direct.Task);
    direct.Left.File("onlyL", 100);
    direct.Right.File("onlyR", 100);
    direct.Left.File("newerL", 300);
    direct.Right.File("newerL", 200);
    direct.Left.File("newerR", 200);
    direct.Right.File("newerR", 300);
    direct.Left.File("same", 200);
    direct.Right.File("same", 200);
    direct.Analyze();
    ASSERT_FALSE(direct.Thread->UsedSnapshots);
    EXPECT_EQ(direct.Code("onlyL"), row.onlyLeft);
    EXPECT_EQ(direct.Code("onlyR"), row.onlyRight);
    EXPECT_EQ(direct.Code("newerL"), row.leftNewer);
    EXPECT_EQ(direct.Code("newerR"), row.rightNewer);
    EXPECT_EQ(direct.Code("same"), saSame);

    TRun snap;
    setTask(snap.Task);
    Place(snap.Left, snap.LeftSnap, "delL", saDeletedSinceSync);
    Place(snap.Right, snap.RightSnap, "delL", saSame);
    Place(snap.Left, snap.LeftSnap, "delR", saSame);
    Place(snap.Right, snap.RightSnap, "delR", saDeletedSinceSync);
    Place(snap.Left, snap.LeftSnap, "chgL", saChangedSinceSync);
    Place(snap.Right, snap.RightSnap, "chgL", saSame);
    Place(snap.Left, snap.LeftSnap, "chgR", saSame);
    Place(snap.Right, snap.RightSnap, "chgR", saChangedSinceSync);
    Place(snap.Left, snap.LeftSnap, "newL", saNewSinceSync);
    Place(snap.Right, snap.RightSnap, "newR", saNewSinceSync);
    snap.Analyze();
    ASSERT_TRUE(snap.Thread->UsedSnapshots);
    EXPECT_EQ(snap.Code("delL"), row.deletedLeft);
    EXPECT_EQ(snap.Code("delR"), row.deletedRight);
    EXPECT_EQ(snap.Code("chgL"), row.leftNewer);
    EXPECT_EQ(snap.Code("chgR"), row.rightNewer);
    EXPECT_EQ(snap.Code("newL"), row.onlyLeft);
    EXPECT_EQ(snap.Code("newR"), row.onlyRight);
}

INSTANTIATE_TEST_SUITE_P(Table, AnalyzeDirection,
                         ::testing::Values(
                             // Both ways: deletions only when asked for; the one-way switch means nothing.
                             DirectionRow{sdBothWays, fvForcedCopy, 0, 16, 17, 20, 19, 21, 21},
                             DirectionRow{sdBothWays, fvForcedCopy, 1, 16, 17, 20, 19, 81, 82},
                             DirectionRow{sdBothWays, fvVerified, 1, 16, 17, 20, 19, 81, 82},
                             // Left to right: never toward the source, never a deletion.
                             DirectionRow{sdLeftToRight, fvForcedCopy, 0, 16, 21, 20, 20, 21, 16},
                             DirectionRow{sdLeftToRight, fvForcedCopy, 1, 16, 21, 20, 20, 21, 16},
                             DirectionRow{sdLeftToRight, fvVerified, 1, 16, 2, 20, 2, 21, 16},
                             DirectionRow{sdLeftToRight, fvNone, 0, 16, 2, 20, 2, 21, 16},
                             // Right to left, the mirror image.
                             DirectionRow{sdRightToLeft, fvForcedCopy, 0, 21, 17, 19, 19, 17, 21},
                             DirectionRow{sdRightToLeft, fvForcedCopy, 1, 21, 17, 19, 19, 17, 21},
                             DirectionRow{sdRightToLeft, fvVerified, 0, 2, 17, 2, 19, 17, 21},
                             DirectionRow{sdRightToLeft, fvNone, 1, 2, 17, 2, 19, 17, 21},
                             // A direction the program does not know changes nothing.
                             DirectionRow{3, fvForcedCopy, 1, 16, 17, 20, 19, 81, 82}));

// ---- Mode choice ------------------------------------------------------------------------

TEST(AnalyzeMode, SnapshotRootMustNameTheTaskFolder) {
    struct Case {
        const char* taskFolder;
        const char* snapshotRoot;
        bool snapshotMode;
    };
    const Case cases[] = {
        {kLeftFolder, "/data/left", true},
        {kLeftFolder, "  /data/left \t", true}, // the endpoint trims blanks off the ends as well
        {kLeftFolder, "/data/left/", true},
        {"/data/left//", "/data/left", true},
        {"/", "/", true},
        {"\\\\srv\\share\\dir", "\\\\srv\\share\\dir\\", true}, // a network path's separator
        // Another folder on this system: a snapshot of "/data/Left" would make
        // everything "/data/left" lacks look deleted since the last sync.
        {kLeftFolder, "/DATA/Left", false},
        {kLeftFolder, "/data/Left", false},
        {kLeftFolder, "/data/left\\", false}, // "\" is a name character in a local path
        {kLeftFolder, "/data/left2", false},
        {kLeftFolder, "/data/le ft", false},
        {kLeftFolder, "", false},
        {"/", "", false},
    };
    for (const Case& c : cases) {
        TRun run;
        run.Task.IsDeleteFile = 1;
        run.Task.LFolder.FolerAllName = c.taskFolder;
        run.LeftSnap.Root->Name = c.snapshotRoot;
        Place(run.Left, run.LeftSnap, "a", saSame);
        Place(run.Right, run.RightSnap, "a", saSame);
        // Deleted on the left since the snapshot: a deletion in snapshot mode, a
        // copy back to the left in direct mode.
        Place(run.Left, run.LeftSnap, "b", saDeletedSinceSync);
        Place(run.Right, run.RightSnap, "b", saSame);
        run.Analyze();
        EXPECT_EQ(run.Thread->UsedSnapshots, c.snapshotMode) << c.taskFolder << " / " << c.snapshotRoot;
        EXPECT_EQ(run.Code("b"), c.snapshotMode ? saDeleteRight : saCopyRtoL)
            << c.taskFolder << " / " << c.snapshotRoot;
    }
}

TEST(AnalyzeMode, SnapshotsWithoutItemsWrittenTogetherAreUsed) {
    // A run that settled nothing (two new files in conflict) leaves snapshots
    // without items; compared by time, the newer file would overwrite the other.
    TRun run;
    TRunStamp::Write(run.Task, TRunStamp::Of(run.LeftSnap.Root, run.RightSnap.Root));
    run.Left.File("a", 300, 1);
    run.Right.File("a", 100, 2);
    run.Right.File("b", 100);
    run.Analyze();
    EXPECT_TRUE(run.Thread->UsedSnapshots);
    EXPECT_EQ(run.Code("a"), saConflict);
    EXPECT_EQ(run.Code("b"), saCopyRtoL);
}

TEST(AnalyzeMode, ASnapshotThatDidNotLoadCompletelyIsNotUsed) {
    TRun run;
    run.Task.IsDeleteFile = 1;
    Place(run.Left, run.LeftSnap, "a", saSame);
    Place(run.Right, run.RightSnap, "a", saSame);
    Place(run.Left, run.LeftSnap, "b", saSame);
    run.Right.File("b", 100); // the right snapshot lost "b" on its way in
    run.RightSnap.Root->ListFailed = 1;
    run.Analyze();
    EXPECT_FALSE(run.Thread->UsedSnapshots);
    EXPECT_EQ(run.Code("b"), saSame);
}

// ---- Edge cases of the comparison -------------------------------------------------------

TEST(AnalyzeDirect, EmptyLeftTakesEveryRightItemWithItsSubtree) {
    struct Case {
        int32_t direction, forced, code;
    };
    const Case cases[] = {
        {sdBothWays, fvForcedCopy, saCopyRtoL},
        {sdLeftToRight, fvForcedCopy, saDoNotCopy},
        {sdLeftToRight, fvVerified, saConflict},
    };
    for (const Case& c : cases) {
        TRun run;
        run.Task.SyncDirection = c.direction;
        run.Task.ForcedOrVerified = c.forced;
        run.Right.File("d/e/deep.txt", 100);
        run.Right.File("top.txt", 100);
        run.Analyze();
        for (const char* path : {"d/", "d/e/", "d/e/deep.txt", "top.txt"}) {
            EXPECT_EQ(run.Code(path), c.code) << path << " direction " << c.direction;
        }
        EXPECT_EQ(FindNode(run.Result, "top.txt"), FindNode(run.Right.Root, "top.txt"));
    }
}

TEST(AnalyzeDirect, FolderAndFileOfOneNameAreTwoItemsFolderFirst) {
    TRun run;
    run.Left.File("x/in.txt", 100);
    run.Right.File("x", 100);
    run.Analyze();
    ASSERT_EQ(run.Result->Children.size(), 2u);
    EXPECT_EQ(run.Result->Children[0]->Data->IsFolder, 1);
    EXPECT_EQ(run.Code("x/"), saCopyLtoR);
    EXPECT_EQ(run.Code("x/in.txt"), saCopyLtoR);
    EXPECT_EQ(run.Code("x"), saCopyRtoL);
}

TEST(AnalyzeDirect, TimesDecideAndOneTimeWithTwoSizesIsAConflict) {
    TRun run;
    run.Left.File("equal", 500, 10, faArchive);
    run.Right.File("equal", 500, 99999, faArchive | faReadOnly);
    run.Left.File("same", 500, 10, faArchive);
    run.Right.File("same", 500, 10, faArchive | faReadOnly);
    run.Left.File("older", 499, 10);
    run.Right.File("older", 500, 10);
    run.Analyze();
    EXPECT_EQ(run.Code("equal"), saConflict);
    EXPECT_EQ(run.Code("same"), saSame);
    EXPECT_EQ(run.Code("older"), saOverwriteRtoL);
    const TFileTree* equal = FindNode(run.Result, "equal");
    EXPECT_EQ(equal->OtherTime, 500);
    EXPECT_EQ(equal->OtherSize, 99999);
    EXPECT_EQ(equal->OtherAttr, faArchive | faReadOnly);
}

TEST(AnalyzeDirect, DosTimesFrom2044OnAreLaterThanOlderOnes) {
    // Such dates have the top bit set: negative as signed 32-bit numbers.
    const int32_t in2050 = static_cast<int32_t>(0x8C210000u);
    const int32_t in2020 = 0x50210000;
    TRun direct;
    direct.Left.File("f", in2050);
    direct.Right.File("f", in2020);
    direct.Analyze();
    EXPECT_EQ(direct.Code("f"), saOverwriteLtoR);
    // Changed on both sides, unattended, newer wins.
    TRun snap;
    snap.Task.Unattended = true;
    snap.Task.Conflicts = cfNewerFileWins;
    snap.Left.File("f", in2020, 1);
    snap.LeftSnap.File("f", 100);
    snap.Right.File("f", in2050, 2);
    snap.RightSnap.File("f", 100);
    snap.Analyze();
    EXPECT_EQ(snap.Code("f"), saOverwriteRtoL);
}

TEST(AnalyzeDirect, RightNewerInAVerifiedLeftToRightTaskIsAConflict) {
    TRun run;
    run.Task.SyncDirection = sdLeftToRight;
    run.Task.ForcedOrVerified = fvVerified;
    run.Left.File("f", 100);
    run.Right.File("f", 200);
    run.Analyze();
    EXPECT_EQ(run.Code("f"), saConflict);
}

TEST(AnalyzeDirect, TwoEmptyFoldersGiveANewEmptyResultFolderInStep) {
    TRun run;
    TFileTree* left = run.Left.Folder("empty");
    run.Right.Folder("empty");
    run.Analyze();
    TFileTree* folder = FindNode(run.Result, "empty/");
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->Action, saSame);
    EXPECT_TRUE(folder->Children.empty());
    EXPECT_NE(folder, left);
    EXPECT_EQ(folder->Data, left->Data);
    EXPECT_EQ(folder->Arena, run.ResultArena.get());
    EXPECT_EQ(folder->Parent, run.Result);
}

// ---- Node sharing ------------------------------------------------------------------------

TEST(AnalyzeSharing, ResultHoldsTheScannedNodesThemselves) {
    TRun run;
    TFileTree* both = run.Left.File("dir/both.txt", 100);
    run.Right.File("dir/both.txt", 100);
    TFileTree* onlyLeft = run.Left.File("dir/left.txt", 100);
    TFileTree* onlyRight = run.Right.File("dir/right.txt", 100);
    TFileTree* onlyRightFolder = run.Right.File("new/x.txt", 100)->Parent;
    const size_t leftNodes = run.Left.Arena->NodeCount();
    const size_t rightNodes = run.Right.Arena->NodeCount();
    run.Analyze();
    EXPECT_EQ(FindNode(run.Result, "dir/both.txt"), both);
    EXPECT_EQ(FindNode(run.Result, "dir/left.txt"), onlyLeft);
    EXPECT_EQ(FindNode(run.Result, "dir/right.txt"), onlyRight);
    EXPECT_EQ(FindNode(run.Result, "new/"), onlyRightFolder);
    // Taken nodes keep their parent in the tree they came from.
    EXPECT_EQ(both->Parent, FindNode(run.Left.Root, "dir/"));
    EXPECT_EQ(onlyRight->Parent, FindNode(run.Right.Root, "dir/"));
    // Nothing was copied into the input arenas.
    EXPECT_EQ(run.Left.Arena->NodeCount(), leftNodes);
    EXPECT_EQ(run.Right.Arena->NodeCount(), rightNodes);
}

TEST(AnalyzeSharing, SnapshotModeTakesChangeTreeNodesAndTheOtherSidesValues) {
    TRun run;
    run.Task.IsDeleteFile = 1;
    TFileTree* deletedEntry = run.RightSnap.File("gone.txt", 100);
    TFileTree* leftGone = run.Left.File("gone.txt", 100);
    run.LeftSnap.File("gone.txt", 100);
    TFileTree* leftChanged = run.Left.File("sub/changed.txt", 100);
    run.LeftSnap.File("sub/changed.txt", 100);
    run.Right.File("sub/changed.txt", 700, 77);
    run.RightSnap.File("sub/changed.txt", 100);
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    // Deleted on the right: the left item is proposed for deletion, paired with the
    // snapshot's entry.
    EXPECT_EQ(FindNode(run.Result, "gone.txt"), leftGone);
    EXPECT_EQ(leftGone->Action, saDeleteLeft);
    EXPECT_EQ(FindNode(run.Thread->RightChanges, "gone.txt"), deletedEntry);
    // The other side's values are the right endpoint's, not the snapshot's.
    EXPECT_EQ(FindNode(run.Result, "sub/changed.txt"), leftChanged);
    EXPECT_EQ(leftChanged->Action, saOverwriteRtoL);
    EXPECT_EQ(leftChanged->OtherTime, 700);
    EXPECT_EQ(leftChanged->OtherSize, 77);
    // Folder nodes made by the analysis live in the result's arena.
    EXPECT_EQ(FindNode(run.Result, "sub/")->Arena, run.ResultArena.get());
    EXPECT_EQ(FindNode(run.Thread->LeftChanges, "sub/")->Arena, run.ResultArena.get());
}

TEST(AnalyzeSharing, AnItemTheOtherEndpointLacksShowsNothingThere) {
    // Right to left, verified: what only the left holds is a conflict, shown and
    // checked by the sync against the right side's columns, which must be empty.
    TRun run;
    run.Task.SyncDirection = sdRightToLeft;
    run.Task.ForcedOrVerified = fvVerified;
    run.Task.IsDeleteFile = 1;
    run.Left.File("leftonly.txt", 100, 5);
    run.LeftSnap.File("leftonly.txt", 100, 5);
    run.Left.File("gone_right.txt", 300, 6);
    run.LeftSnap.File("gone_right.txt", 100, 6);
    run.RightSnap.File("gone_right.txt", 100, 9); // deleted on the right since
    run.Right.File("rightonly.txt", 100, 4);
    run.RightSnap.File("rightonly.txt", 100, 4);
    Place(run.Left, run.LeftSnap, "both.txt", saSame);
    run.Right.File("both.txt", 700, 77);
    run.RightSnap.File("both.txt", 100);
    run.Left.File("new/n.txt", 100, 3);
    run.LeftSnap.File("new/n.txt", 100, 3);
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    struct Expect {
        const char* path;
        int32_t code, otherTime, otherAttr;
        int64_t otherSize;
    };
    const Expect expected[] = {
        {"leftonly.txt", saConflict, -1, -1, 0},  {"gone_right.txt", saConflict, -1, -1, 0},
        {"rightonly.txt", saCopyRtoL, -1, -1, 0}, {"both.txt", saOverwriteRtoL, 700, faArchive, 77},
        {"new/n.txt", saConflict, -1, -1, 0},
    };
    for (const Expect& e : expected) {
        const TFileTree* node = FindNode(run.Result, e.path);
        ASSERT_NE(node, nullptr) << e.path;
        EXPECT_EQ(node->Action, e.code) << e.path;
        EXPECT_EQ(node->OtherTime, e.otherTime) << e.path;
        EXPECT_EQ(node->OtherAttr, e.otherAttr) << e.path;
        EXPECT_EQ(node->OtherSize, e.otherSize) << e.path;
    }
    // The rows the user sees and the sync acts on: no right file for a conflict
    // whose right side holds nothing.
    TResultRows rows;
    rows.InitView("task");
    rows.SetResultTree(run.Result);
    ASSERT_TRUE(rows.ShowView(vkAll));
    for (const char* path : {"leftonly.txt", "gone_right.txt", "new/n.txt"}) {
        const TFileTree* node = FindNode(run.Result, path);
        const TResultRow* row = nullptr;
        rows.ForEachRow([&](TResultRow* r) {
            if (r->Item == node) {
                row = r;
            }
        });
        ASSERT_NE(row, nullptr) << path;
        EXPECT_EQ(row->RightDate, -1) << path;
        EXPECT_EQ(row->RightAttr, -1) << path;
        EXPECT_EQ(row->RightSize, 0) << path;
    }
}

TEST(AnalyzeSharing, AFileTheLeftDeletedShowsTheRightFilesOwnValues) {
    // Each side's snapshot holds that side's own values of a file, and only the
    // right ones can say whether the right file is still as it was.
    TRun run;
    run.Task.IsDeleteFile = 1;
    Place(run.Left, run.LeftSnap, "anchor", saSame);
    Place(run.Right, run.RightSnap, "anchor", saSame);
    run.LeftSnap.File("gone.txt", 90, 6);
    run.RightSnap.File("gone.txt", 100, 9);
    TFileTree* right = run.Right.File("gone.txt", 100, 9);
    run.LeftSnap.File("edited.txt", 90, 6);
    run.RightSnap.File("edited.txt", 100, 9);
    run.Right.File("edited.txt", 300, 12);
    run.Analyze();
    EXPECT_EQ(FindNode(run.Result, "gone.txt"), right);
    TResultRows rows;
    rows.InitView("task");
    rows.SetResultTree(run.Result);
    ASSERT_TRUE(rows.ShowView(vkAll));
    struct Expect {
        const char* name;
        int32_t code, rightDate;
        int64_t rightSize;
    };
    for (const Expect& e :
         {Expect{"gone.txt", saDeleteRight, 100, 9}, Expect{"edited.txt", saConflict, 300, 12}}) {
        const TResultRow* row = nullptr;
        rows.ForEachRow([&](TResultRow* r) {
            if (r->Name == e.name) {
                row = r;
            }
        });
        ASSERT_NE(row, nullptr) << e.name;
        EXPECT_EQ(row->Action.load(), e.code) << e.name;
        EXPECT_EQ(row->RightDate, e.rightDate) << e.name;
        EXPECT_EQ(row->RightSize, e.rightSize) << e.name;
        EXPECT_FALSE(row->LeftDate > 0) << e.name; // no left file
    }
}

// ---- A side that scans empty -------------------------------------------------------------

TEST(AnalyzeEmptied, ASideThatScansEmptyDeletesNothingOnTheOther) {
    for (int emptied = 0; emptied < 2; ++emptied) {
        TRun run;
        run.Task.IsDeleteFile = 1;
        TTreeBuilder& goneSnap = emptied == 0 ? run.LeftSnap : run.RightSnap;
        TTreeBuilder& keptScan = emptied == 0 ? run.Right : run.Left;
        TTreeBuilder& keptSnap = emptied == 0 ? run.RightSnap : run.LeftSnap;
        for (const char* name : {"a.txt", "d/b.txt"}) {
            goneSnap.File(name, 100);
            Place(keptScan, keptSnap, name, saSame);
        }
        goneSnap.File("c.txt", 100); // deleted there, changed here
        Place(keptScan, keptSnap, "c.txt", saChangedSinceSync);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        EXPECT_EQ(run.Thread->LeftEmptied, emptied == 0);
        EXPECT_EQ(run.Thread->RightEmptied, emptied == 1);
        for (const char* path : {"a.txt", "d/", "d/b.txt"}) {
            EXPECT_EQ(run.Code(path), saDoNotCopy) << path << " side " << emptied;
        }
        EXPECT_EQ(run.Code("c.txt"), saConflict);
    }
}

// ---- Unattended runs ------------------------------------------------------------------------

TEST(AnalyzeUnattended, ConflictPolicyForFilesChangedOnBothSides) {
    struct Case {
        bool unattended;
        int32_t conflicts, direction, leftTime, rightTime, code;
    };
    const Case cases[] = {
        {true, cfNewerFileWins, sdBothWays, 300, 200, saOverwriteLtoR},
        {true, cfNewerFileWins, sdBothWays, 200, 300, saOverwriteRtoL},
        {true, cfNewerFileWins, sdBothWays, 300, 300, saOverwriteRtoL},    // a tie (of two sizes) goes right
        {true, cfNewerFileWins, sdLeftToRight, 200, 300, saOverwriteLtoR}, // then the direction rule
        {true, cfDoNotCopy, sdBothWays, 300, 200, saChangedSinceSync},
        {false, cfNewerFileWins, sdBothWays, 300, 200, saConflict},
        {false, cfDoNotCopy, sdBothWays, 300, 200, saConflict},
    };
    for (const Case& c : cases) {
        TRun run;
        run.Task.Unattended = c.unattended;
        run.Task.Conflicts = c.conflicts;
        run.Task.SyncDirection = c.direction;
        run.Left.File("f", c.leftTime, 1);
        run.LeftSnap.File("f", 100);
        run.Right.File("f", c.rightTime, 2);
        run.RightSnap.File("f", 100);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        EXPECT_EQ(run.Code("f"), c.code)
            << c.unattended << " " << c.conflicts << " " << c.leftTime << " " << c.rightTime;
    }
}

// ---- Name order ------------------------------------------------------------------------------

TEST(AnalyzeNames, NamesThatDifferOnlyInLetterCaseAreDifferentItems) {
    TRun run;
    run.Left.File("Readme", 100);
    run.Left.File("README", 100);
    run.Right.File("Readme", 100);
    run.Right.File("readme", 100);
    run.Analyze();
    EXPECT_EQ(run.Code("Readme"), saSame);
    EXPECT_EQ(run.Code("README"), saCopyLtoR);
    EXPECT_EQ(run.Code("readme"), saCopyRtoL);
    EXPECT_EQ(run.Result->Children.size(), 3u);
}

TEST(AnalyzeNames, CaseOnlyPairsInSnapshotModeAreNeverCrossMatched) {
    TRun run;
    run.Task.IsDeleteFile = 1;
    Place(run.Left, run.LeftSnap, "Notes.txt", saSame);
    Place(run.Right, run.RightSnap, "Notes.txt", saSame);
    // "NOTES.txt" was deleted on the right; "Notes.txt" must not stand in for it.
    Place(run.Left, run.LeftSnap, "NOTES.txt", saSame);
    Place(run.Right, run.RightSnap, "NOTES.txt", saDeletedSinceSync);
    run.Analyze();
    EXPECT_EQ(run.Code("Notes.txt"), saSame);
    EXPECT_EQ(run.Code("NOTES.txt"), saDeleteLeft);
}

TEST(AnalyzeNames, ASnapshotWrittenInAnotherOrderStillPairs) {
    TRun run;
    run.Task.IsDeleteFile = 1;
    // Scanned trees in scan order; the left snapshot in plain byte order, files
    // before folders, as another program version might have written it.
    TTreeBuilder oddSnap(kLeftFolder, false);
    for (const char* name : {"Zeta.txt", "alpha.txt", "beta.txt"}) {
        oddSnap.File(name, 100);
        run.Left.File(name, 100);
        run.Right.File(name, 100);
        run.RightSnap.File(name, 100);
    }
    for (const char* name : {"Sub/B.txt", "Sub/a.txt", "docs/x.txt"}) {
        oddSnap.File(name, 100);
        run.Left.File(name, 100);
        run.Right.File(name, 100);
        run.RightSnap.File(name, 100);
    }
    ASSERT_EQ(oddSnap.Root->Children[0]->Name, "Zeta.txt");
    run.LeftSnap.Root = oddSnap.Root;
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    std::vector<std::pair<std::string, int32_t>> items;
    run.Collect(run.Result, "", items);
    // The result keeps the walk's order: folders first, then files, each by CompareNames.
    std::vector<std::string> top;
    for (const TFileTree* node : run.Result->Children) {
        top.push_back(node->Name);
    }
    EXPECT_EQ(top, (std::vector<std::string>{"docs", "Sub", "alpha.txt", "beta.txt", "Zeta.txt"}));
    EXPECT_EQ(items.size(), 8u);
    for (const auto& [path, code] : items) {
        const bool folder = path == "Sub" || path == "docs";
        EXPECT_EQ(code, folder ? saUnset : saSame) << path;
    }
}

// ---- What a scan did not see -------------------------------------------------------------

TEST(AnalyzeUnseen, DirectModeProposesNothingTowardAnUnreadableFolder) {
    for (int32_t direction : {sdBothWays, sdLeftToRight}) {
        TRun run;
        run.Task.SyncDirection = direction;
        run.Task.ForcedOrVerified = fvVerified;
        run.Task.IsDeleteFile = 1;
        run.Left.File("docs/a.txt", 300);
        run.Left.File("docs/b.txt", 300);
        run.Left.File("new.txt", 100);
        run.Right.Folder("docs")->ListFailed = 1;
        run.Right.File("other/r.txt", 100);
        run.Left.Folder("other")->ListFailed = 1;
        run.Analyze();
        for (const char* path : {"docs/", "docs/a.txt", "docs/b.txt", "other/", "other/r.txt"}) {
            EXPECT_EQ(run.Code(path), saDoNotCopy) << path;
        }
        EXPECT_EQ(run.Code("new.txt"), saCopyLtoR);
        ASSERT_EQ(run.Thread->UnseenFolders.size(), 2u);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Side, 1);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Path, "/docs");
        EXPECT_EQ(run.Thread->UnseenFolders[1].Side, 0);
        EXPECT_EQ(run.Thread->UnseenFolders[1].Path, "/other");
    }
}

TEST(AnalyzeUnseen, SnapshotModeDeletesNothingBelowAnUnreadableFolder) {
    for (int side = 0; side < 2; ++side) {
        TRun run;
        run.Task.IsDeleteFile = 1;
        TTreeBuilder& blindScan = side == 0 ? run.Left : run.Right;
        TTreeBuilder& blindSnap = side == 0 ? run.LeftSnap : run.RightSnap;
        TTreeBuilder& seenScan = side == 0 ? run.Right : run.Left;
        TTreeBuilder& seenSnap = side == 0 ? run.RightSnap : run.LeftSnap;
        for (const char* name : {"docs/a.txt", "docs/deep/b.txt"}) {
            blindSnap.File(name, 100);
            seenSnap.File(name, 100);
        }
        seenScan.File("docs/a.txt", 500);      // changed on the seen side
        seenScan.File("docs/deep/b.txt", 100); // unchanged on the seen side
        seenScan.File("docs/fresh.txt", 100);  // new on the seen side
        blindScan.Folder("docs")->ListFailed = 1;
        // Empty at the last sync on both sides; something new has come on the seen side.
        blindSnap.Folder("was_empty");
        seenSnap.Folder("was_empty");
        seenScan.File("was_empty/new.txt", 100);
        blindScan.Folder("was_empty")->ListFailed = 1;
        // Outside the unreadable folder deletions still go through.
        Place(blindScan, blindSnap, "old.txt", saDeletedSinceSync);
        Place(seenScan, seenSnap, "old.txt", saSame);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        for (const char* path : {"docs/", "docs/a.txt", "docs/deep/", "docs/deep/b.txt", "docs/fresh.txt",
                                 "was_empty/", "was_empty/new.txt"}) {
            EXPECT_EQ(run.Code(path), saDoNotCopy) << path << " side " << side;
        }
        EXPECT_EQ(run.Code("old.txt"), side == 0 ? saDeleteRight : saDeleteLeft);
        ASSERT_EQ(run.Thread->UnseenFolders.size(), 2u);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Side, side);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Path, "/docs");
        EXPECT_EQ(run.Thread->UnseenFolders[1].Path, "/was_empty");
    }
}

TEST(AnalyzeUnseen, AnUnreadableFolderInsideANewFolderIsNotCopied) {
    TRun run;
    run.Left.File("new/f.txt", 100);
    run.Left.Folder("new/locked")->ListFailed = 1;
    run.Analyze();
    EXPECT_EQ(run.Code("new/"), saCopyLtoR);
    EXPECT_EQ(run.Code("new/f.txt"), saCopyLtoR);
    EXPECT_EQ(run.Code("new/locked/"), saDoNotCopy);
    ASSERT_EQ(run.Thread->UnseenFolders.size(), 1u);
    EXPECT_EQ(run.Thread->UnseenFolders[0].Path, "/new/locked");
}

TEST(AnalyzeUnseen, AStoppedScanProposesNothingAtAll) {
    for (bool snapshots : {false, true}) {
        TRun run;
        run.Task.IsDeleteFile = 1;
        // The right scan stopped after its first folder: the rest looks deleted.
        for (const char* name : {"a/1.txt", "b/2.txt", "c.txt"}) {
            run.Left.File(name, 100);
            if (snapshots) {
                run.LeftSnap.File(name, 100);
                run.RightSnap.File(name, 100);
            }
        }
        run.Right.File("a/1.txt", 100);
        run.Right.Root->ListFailed = 1;
        run.Analyze();
        EXPECT_EQ(run.Thread->UsedSnapshots, snapshots);
        std::vector<std::pair<std::string, int32_t>> items;
        run.Collect(run.Result, "", items);
        EXPECT_EQ(items.size(), 5u);
        for (const auto& [path, code] : items) {
            EXPECT_EQ(code, saDoNotCopy) << path;
        }
        ASSERT_EQ(run.Thread->UnseenFolders.size(), 1u);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Side, 1);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Path, "");
    }
}

// ---- Items no side holds any more ------------------------------------------------------

TEST(AnalyzeGone, DeletedItemThatNeitherSideHoldsIsLeftOut) {
    TRun run;
    Place(run.Left, run.LeftSnap, "anchor", saSame);
    Place(run.Right, run.RightSnap, "anchor", saSame);
    run.LeftSnap.File("old.txt", 100);       // deleted on the left, unknown on the right
    run.RightSnap.File("olddir/x.txt", 100); // deleted on the right with its folder
    run.Left.File("mine/kept.txt", 100);     // a folder the right side never had...
    run.LeftSnap.File("mine/kept.txt", 100);
    run.LeftSnap.File("mine/removed.txt", 100); // ...from which one file was deleted
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    EXPECT_EQ(run.Code("old.txt"), kMissing);
    EXPECT_EQ(run.Code("olddir/"), kMissing);
    EXPECT_EQ(run.Code("mine/"), saCopyLtoR);
    EXPECT_EQ(run.Code("mine/kept.txt"), saCopyLtoR);
    EXPECT_EQ(run.Code("mine/removed.txt"), kMissing);
    EXPECT_EQ(run.Result->Agreed, 1); // the snapshots still list them
}

// ---- Cancellation ---------------------------------------------------------------------------

TEST(AnalyzeCancel, TerminatedBeforeTheWalkBuildsNothing) {
    TRun run;
    Place(run.Left, run.LeftSnap, "a/1.txt", saSame);
    Place(run.Right, run.RightSnap, "a/1.txt", saSame);
    run.Left.File("b.txt", 100);
    TAnalyzeThread& thread = run.Make();
    thread.Terminate();
    thread.Execute();
    EXPECT_TRUE(run.Result->Children.empty());
    EXPECT_TRUE(run.Thread->LeftChanges->Children.empty());
    // The filter stage still ran over what was built.
    EXPECT_EQ(run.Result->IncludedFlag, 1);
}

namespace {

// A run cancelled right after the left side was compared with its snapshot.
class TCutAfterLeftDiff : public TAnalyzeThread {
public:
    using TAnalyzeThread::TAnalyzeThread;
    void Execute() override {
        BuildFilterExpressions();
        DiffWithSnapshot(LeftTree, LeftSnapshot, LeftChanges);
        Terminate();
        DiffWithSnapshot(RightTree, RightSnapshot, RightChanges);
        CombineChanges(LeftChanges, RightChanges, ResultTree);
        ApplyFilters(ResultTree);
    }
};

} // namespace

TEST(AnalyzeCancel, WalksStartedAfterTheCancelTakeNothing) {
    // The left change tree is complete, the right one was never built: nothing of
    // the left may pass for "only on the left".
    TRun run;
    Place(run.Left, run.LeftSnap, "a.txt", saSame);
    Place(run.Right, run.RightSnap, "a.txt", saSame);
    Place(run.Left, run.LeftSnap, "d/b.txt", saChangedSinceSync);
    Place(run.Right, run.RightSnap, "d/b.txt", saSame);
    TCutAfterLeftDiff thread(&run.Task, run.Left.Root, run.Right.Root, run.Result, run.LeftSnap.Root,
                             run.RightSnap.Root);
    thread.Execute();
    EXPECT_EQ(thread.LeftChanges->Children.size(), 2u);
    EXPECT_TRUE(thread.RightChanges->Children.empty());
    EXPECT_TRUE(run.Result->Children.empty());
}

TEST(AnalyzeCancel, ACancelledRunProposesOnlyWhatAFullRunWould) {
    // Both sides unchanged since the last sync: a full run proposes nothing, so
    // whatever a cut-short run built must propose nothing either, wherever the
    // cancel landed (before, inside or after either change tree).
    const int folders = 150;
    const int files = 60;
    TRun run;
    run.Task.IsDeleteFile = 1;
    for (int f = 0; f < folders; ++f) {
        for (int i = 0; i < files; ++i) {
            const std::string name = "d" + std::to_string(1000 + f) + "/f" + std::to_string(1000 + i);
            Place(run.Left, run.LeftSnap, name, saSame);
            Place(run.Right, run.RightSnap, name, saSame);
        }
    }
    TAnalyzeThread& thread = run.Make();
    thread.Start();
    thread.Terminate();
    thread.WaitFor();
    std::vector<std::pair<std::string, int32_t>> items;
    run.Collect(run.Result, "", items);
    EXPECT_LE(items.size(), static_cast<size_t>(folders * (files + 1)));
    for (const auto& [path, code] : items) {
        EXPECT_TRUE(code == saSame || code == saUnset) << path << " " << code;
    }
}

// ---- The thread as the window runs it ----------------------------------------------------

TEST(AnalyzeThreadRun, EndHandlerRunsOnTheMainThreadWithTheResult) {
    TQueueDispatcher dispatcher;
    ScopedMainThreadDispatcher installed(&dispatcher);
    TRun run;
    run.Left.File("a.txt", 100);
    TAnalyzeThread& thread = run.Make();
    bool done = false;
    bool onMain = false;
    int32_t code = kMissing;
    thread.OnTerminate = [&](TThread*) {
        done = true;
        onMain = IsMainThread();
        code = run.Code("a.txt");
    };
    thread.Start();
    ASSERT_TRUE(dispatcher.WaitAndProcess([&] { return done; }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(code, saCopyLtoR);
    thread.WaitFor();
    EXPECT_EQ(thread.FatalException(), nullptr);
}

// ---- Real folders ------------------------------------------------------------------------------

namespace {

void SetMTime(const std::string& path, time_t when) {
    struct utimbuf times {
        when, when
    };
    ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

std::unique_ptr<TWinFileOper> Scan(TFolderSource& source) {
    auto oper = std::make_unique<TWinFileOper>(false);
    oper->Source = &source;
    EXPECT_EQ(oper->Connect(), 0);
    oper->ScanTree();
    return oper;
}

} // namespace

TEST(AnalyzeRealFolders, ScannedFoldersCompareByTime) {
    testsupport::ScopedEnv tz("TZ", "UTC");
    testsupport::TempDir dir;
    const time_t base = 1700000000; // a fixed instant, well inside the DOS range
    testsupport::WriteFile(dir / "L/same.txt", "x");
    testsupport::WriteFile(dir / "R/same.txt", "xyz");
    testsupport::WriteFile(dir / "L/newer.txt", "x");
    testsupport::WriteFile(dir / "R/newer.txt", "x");
    testsupport::WriteFile(dir / "L/sub/only.txt", "x");
    testsupport::WriteFile(dir / "R/Only.txt", "x");
    SetMTime(dir / "L/same.txt", base);
    SetMTime(dir / "R/same.txt", base);
    SetMTime(dir / "L/newer.txt", base + 3600);
    SetMTime(dir / "R/newer.txt", base);
    TSyncTask task;
    task.LFolder.DeviceType = dtLocal;
    task.LFolder.FolerAllName = dir / "L";
    task.RFolder.DeviceType = dtLocal;
    task.RFolder.FolerAllName = dir / "R";
    auto left = Scan(task.LFolder);
    auto right = Scan(task.RFolder);
    TArenaPtr resultArena;
    TFileTree* result = NewTree(resultArena);
    TAnalyzeThread thread(&task, left->Tree, right->Tree, result, left->Snapshot, right->Snapshot);
    thread.Execute();
    EXPECT_FALSE(thread.UsedSnapshots);
    auto code = [&](const std::string& path) {
        const TFileTree* node = FindNode(result, path);
        return node == nullptr ? kMissing : node->Action;
    };
    EXPECT_EQ(code("same.txt"), saConflict); // one time, two sizes
    EXPECT_EQ(code("newer.txt"), saOverwriteLtoR);
    EXPECT_EQ(code("sub/"), saCopyLtoR);
    EXPECT_EQ(code("sub/only.txt"), saCopyLtoR);
    EXPECT_EQ(code("Only.txt"), saCopyRtoL);
    EXPECT_TRUE(thread.UnseenFolders.empty());
}
