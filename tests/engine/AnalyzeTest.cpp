// The comparison on built trees: what each change on each side leads to, the
// task's direction, which snapshots may be used, the other side's columns, name
// order, what a scan did not see, and cancellation. Whole runs over several
// syncs are in MultiRunTest and ModelSyncTest.

#include "engine/UTAnalyzeThread.h"
#include "engine/UTRunStamp.h"
#include "model/UTResultRows.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace tandemora;
using testsupport::FindNode;
using testsupport::TTreeBuilder;

namespace {

constexpr int32_t kMissing = -100; // no such item in the result
constexpr int32_t kNotAFolderCase = -200;
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
        Task.IsDeleteFile = 1;
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
    // Every item below the result's top with its code.
    std::vector<std::pair<std::string, int32_t>> Items(TFileTree* node = nullptr,
                                                       const std::string& prefix = "") {
        std::vector<std::pair<std::string, int32_t>> out;
        for (TFileTree* child : (node == nullptr ? Result : node)->Children) {
            out.emplace_back(prefix + child->Name, child->Action);
            const auto below = Items(child, prefix + child->Name + "/");
            out.insert(out.end(), below.begin(), below.end());
        }
        return out;
    }
    // Puts an item on one side so that its change since the snapshot is `change`;
    // a new or changed file gets the time 300 and the given size.
    static void Place(TTreeBuilder& scan, TTreeBuilder& snap, const std::string& name, int32_t change,
                      int64_t size = 0, bool folder = false) {
        if (folder) {
            if (change != saDeletedSinceSync) {
                scan.Folder(name);
            }
            if (change != saNewSinceSync) {
                snap.Folder(name);
            }
            return;
        }
        const bool fresh = change == saNewSinceSync || change == saChangedSinceSync;
        if (change != saDeletedSinceSync) {
            scan.File(name, fresh ? 300 : 100, fresh ? size : 0);
        }
        if (change != saNewSinceSync) {
            snap.File(name, 100);
        }
    }
    void Both(const std::string& name, int32_t left, int32_t right, int64_t leftSize = 0,
              int64_t rightSize = 0, bool folder = false) {
        Place(Left, LeftSnap, name, left, leftSize, folder);
        Place(Right, RightSnap, name, right, rightSize, folder);
    }
};

} // namespace

// What a user expects of each pair of changes since the last sync: a change on
// one side wins over no change, a deletion goes over only where the other side
// did not change the item, anything else on both sides is a conflict.
TEST(AnalyzeCombine, EachPairOfChangesSinceTheLastSync) {
    const int32_t N = saNewSinceSync, C = saChangedSinceSync, D = saDeletedSinceSync, S = saSame;
    struct Row {
        int32_t left, right, file, folder;
    };
    const Row rows[] = {
        {N, N, saConflict, saSame}, // two different files; an empty folder on both sides is in step
        {N, C, saConflict, kNotAFolderCase},
        {N, D, saConflict, saConflict},
        {N, S, saConflict, saSame},
        {C, N, saConflict, kNotAFolderCase},
        {C, C, saConflict, kNotAFolderCase},
        {C, D, saConflict, kNotAFolderCase},
        {C, S, saOverwriteLtoR, kNotAFolderCase},
        {D, N, saConflict, saConflict},
        {D, C, saConflict, kNotAFolderCase},
        {D, D, kMissing, kMissing}, // gone from both: no item
        {D, S, saDeleteRight, saDeleteRight},
        {S, N, saNewSinceSync, saSame},
        {S, C, saOverwriteRtoL, kNotAFolderCase},
        {S, D, saDeleteLeft, saDeleteLeft},
        {S, S, saSame, saSame},
    };
    TRun run;
    for (const Row& r : rows) {
        const std::string name = "c" + std::to_string(r.left) + "_" + std::to_string(r.right);
        run.Both(name, r.left, r.right, 1, 2);
        if (r.folder != kNotAFolderCase) {
            run.Both(name + "d", r.left, r.right, 0, 0, true);
        }
    }
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    EXPECT_EQ(run.Result->Agreed, 1); // the snapshots still list what both sides deleted
    for (const Row& r : rows) {
        const std::string name = "c" + std::to_string(r.left) + "_" + std::to_string(r.right);
        EXPECT_EQ(run.Code(name), r.file) << name;
        if (r.folder != kNotAFolderCase) {
            EXPECT_EQ(run.Code(name + "d/"), r.folder) << name << " folder";
        }
    }
}

// Changed on both sides: the same size and time on both is one file (settled, and
// the sync must record it); otherwise a conflict, which only an unattended run
// with "newer file wins" settles, and then by the task's direction.
TEST(AnalyzeCombine, FilesChangedOnBothSides) {
    struct Row {
        bool unattended;
        int32_t conflicts, direction, leftTime, rightTime;
        int64_t rightSize;
        int32_t code;
    };
    const Row rows[] = {
        {true, cfNewerFileWins, sdBothWays, 300, 300, 5, saSame},
        {false, cfNewerFileWins, sdBothWays, 300, 300, 5, saSame},
        {true, cfNewerFileWins, sdBothWays, 300, 200, 6, saOverwriteLtoR},
        {true, cfNewerFileWins, sdBothWays, 200, 300, 6, saOverwriteRtoL},
        {true, cfNewerFileWins, sdBothWays, 300, 300, 6, saOverwriteRtoL}, // a tie of two sizes goes right
        {true, cfNewerFileWins, sdLeftToRight, 200, 300, 6, saOverwriteLtoR},
        {true, cfDoNotCopy, sdBothWays, 300, 200, 6, saConflict},
        {false, cfNewerFileWins, sdBothWays, 300, 200, 6, saConflict},
        {true, cfNewerFileWins, sdBothWays, static_cast<int32_t>(0x8C210000u), 0x50210000, 6,
         saOverwriteLtoR}, // 2050 against 2020: negative as a signed DOS time
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.unattended) + " " + std::to_string(r.conflicts) + " " +
                     std::to_string(r.leftTime) + "/" + std::to_string(r.rightTime));
        TRun run;
        run.Task.Unattended = r.unattended;
        run.Task.Conflicts = r.conflicts;
        run.Task.SyncDirection = r.direction;
        run.Left.File("f", r.leftTime, 5);
        run.LeftSnap.File("f", 100);
        run.Right.File("f", r.rightTime, r.rightSize);
        run.RightSnap.File("f", 100);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        EXPECT_EQ(run.Code("f"), r.code);
        EXPECT_EQ(FindNode(run.Result, "f")->Agreed, r.code == saSame ? 1 : 0);
    }
}

// ---- The direction table ----------------------------------------------------------------

struct DirectionRow {
    int32_t direction, forced, deletes;
    int32_t onlyLeft, onlyRight, leftNewer, rightNewer, deletedLeft, deletedRight;
};

class AnalyzeDirection : public ::testing::TestWithParam<DirectionRow> {};

// The same situations compared directly (no snapshots) and against snapshots.
TEST_P(AnalyzeDirection, DirectAndSnapshotProposals) {
    const DirectionRow& row = GetParam();
    TRun direct, snap;
    for (TRun* run : {&direct, &snap}) {
        run->Task.SyncDirection = row.direction;
        run->Task.ForcedOrVerified = row.forced;
        run->Task.IsDeleteFile = row.deletes;
    }
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

    snap.Both("delL", saDeletedSinceSync, saSame);
    snap.Both("delR", saSame, saDeletedSinceSync);
    snap.Both("chgL", saChangedSinceSync, saSame);
    snap.Both("chgR", saSame, saChangedSinceSync);
    TRun::Place(snap.Left, snap.LeftSnap, "newL", saNewSinceSync);
    TRun::Place(snap.Right, snap.RightSnap, "newR", saNewSinceSync);
    snap.Analyze();
    ASSERT_TRUE(snap.Thread->UsedSnapshots);
    EXPECT_EQ(snap.Code("delL"), row.deletedLeft);
    EXPECT_EQ(snap.Code("delR"), row.deletedRight);
    EXPECT_EQ(snap.Code("chgL"), row.leftNewer);
    EXPECT_EQ(snap.Code("chgR"), row.rightNewer);
    EXPECT_EQ(snap.Code("newL"), row.onlyLeft);
    EXPECT_EQ(snap.Code("newR"), row.onlyRight);
}

constexpr int32_t CL = saCopyLtoR, CR = saCopyRtoL, OL = saOverwriteLtoR, OR = saOverwriteRtoL,
                  NO = saDoNotCopy, CF = saConflict, DR = saDeleteRight, DL = saDeleteLeft;
INSTANTIATE_TEST_SUITE_P(Table, AnalyzeDirection,
                         ::testing::Values(
                             // Both ways: deletions only when asked for; the one-way switch means nothing.
                             DirectionRow{sdBothWays, fvForcedCopy, 0, CL, CR, OL, OR, NO, NO},
                             DirectionRow{sdBothWays, fvVerified, 1, CL, CR, OL, OR, DR, DL},
                             // Left to right: the right follows the left; never a deletion on the left.
                             DirectionRow{sdLeftToRight, fvForcedCopy, 1, CL, NO, OL, OL, NO, CL},
                             DirectionRow{sdLeftToRight, fvVerified, 1, CL, CF, OL, CF, NO, CL},
                             DirectionRow{sdLeftToRight, fvNone, 0, CL, CF, OL, CF, NO, CL},
                             // Right to left, the mirror image.
                             DirectionRow{sdRightToLeft, fvForcedCopy, 1, NO, CR, OR, OR, CR, NO},
                             DirectionRow{sdRightToLeft, fvVerified, 0, CF, CR, CF, OR, CR, NO},
                             // A direction the program does not know changes nothing.
                             DirectionRow{3, fvForcedCopy, 1, CL, CR, OL, OR, DR, DL}));

// ---- Which snapshots are used -----------------------------------------------------------

// A snapshot of another folder (or one that did not load completely, or one not
// written together with the other side's) would make what the folder lacks look
// deleted since the last sync.
TEST(AnalyzeMode, OnlySnapshotsOfTheTaskFoldersWrittenTogetherAreUsed) {
    struct Row {
        int side;
        const char *taskFolder, *snapshotRoot;
        bool used;
    };
    const Row rows[] = {
        {0, kLeftFolder, "/data/left", true},
        {0, kLeftFolder, "  /data/left \t", true}, // the endpoint trims blanks off the ends as well
        {0, kLeftFolder, "/data/left/", true},
        {1, "/data/right//", "/data/right", true},
        {0, "/", "/", true},
        {1, "\\\\srv\\share\\dir", "\\\\srv\\share\\dir\\", true}, // a network path's separator
        {0, kLeftFolder, "/DATA/Left", false},
        {1, kRightFolder, "/data/Right", false},
        {0, kLeftFolder, "/data/left\\", false}, // "\" is a name character in a local path
        {1, kRightFolder, "/data/right2", false},
        {0, kLeftFolder, "/data/le ft", false},
        {1, kRightFolder, "", false},
        {0, "/", "", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.taskFolder) + " / " + r.snapshotRoot);
        TRun run;
        (r.side == 0 ? run.Task.LFolder : run.Task.RFolder).FolerAllName = r.taskFolder;
        (r.side == 0 ? run.LeftSnap : run.RightSnap).Root->Name = r.snapshotRoot;
        run.Both("a", saSame, saSame);
        run.Both("b", saDeletedSinceSync, saSame); // a deletion, or a copy back in direct mode
        run.Analyze();
        EXPECT_EQ(run.Thread->UsedSnapshots, r.used);
        EXPECT_EQ(run.Code("b"), r.used ? saDeleteRight : saCopyRtoL);
    }
    TRun partial;
    partial.Both("a", saSame, saSame);
    TRun::Place(partial.Left, partial.LeftSnap, "b", saSame);
    partial.Right.File("b", 100); // the right snapshot lost "b" on its way in
    partial.RightSnap.Root->ListFailed = 1;
    partial.Analyze();
    EXPECT_FALSE(partial.Thread->UsedSnapshots);
    EXPECT_EQ(partial.Code("b"), saSame);
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

// ---- What the rows show of the other side ------------------------------------------------

// Each row's right columns are the right endpoint's own file (never the
// snapshot's entry, never the left file's values), empty where the right holds
// nothing: the sync checks the target against them before it acts.
TEST(AnalyzeColumns, TheRightColumnsShowTheRightFileOrNothing) {
    for (int32_t direction : {sdBothWays, sdRightToLeft}) {
        SCOPED_TRACE(direction);
        TRun run;
        run.Task.SyncDirection = direction;
        run.Task.ForcedOrVerified = fvVerified;
        run.Both("anchor", saSame, saSame);
        run.Left.File("leftonly.txt", 100, 5);
        run.LeftSnap.File("leftonly.txt", 100, 5);
        run.Left.File("gone_right.txt", 300, 6);
        run.LeftSnap.File("gone_right.txt", 100, 6);
        run.RightSnap.File("gone_right.txt", 100, 9);
        run.LeftSnap.File("gone_left.txt", 90, 6);
        run.RightSnap.File("gone_left.txt", 100, 9);
        run.Right.File("gone_left.txt", 100, 9);
        run.LeftSnap.File("edited.txt", 90, 6);
        run.RightSnap.File("edited.txt", 100, 9);
        run.Right.File("edited.txt", 300, 12);
        TRun::Place(run.Left, run.LeftSnap, "both.txt", saSame);
        run.Right.File("both.txt", 700, 77);
        run.RightSnap.File("both.txt", 100);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        TResultRows rows;
        rows.InitView("task");
        rows.SetResultTree(run.Result);
        ASSERT_TRUE(rows.ShowView(vkAll));
        struct Expect {
            const char* name;
            int32_t rightDate;
            int64_t rightSize;
        };
        for (const Expect& e :
             {Expect{"leftonly.txt", -1, 0}, Expect{"gone_right.txt", -1, 0}, Expect{"gone_left.txt", 100, 9},
              Expect{"edited.txt", 300, 12}, Expect{"both.txt", 700, 77}}) {
            const TResultRow* row = nullptr;
            rows.ForEachRow([&](TResultRow* r) { row = r->Name == e.name ? r : row; });
            ASSERT_NE(row, nullptr) << e.name;
            if (direction == sdBothWays && std::string(e.name) == "leftonly.txt") {
                continue; // a plain copy to the right, not a conflict
            }
            EXPECT_EQ(row->RightDate, e.rightDate) << e.name;
            EXPECT_EQ(row->RightSize, e.rightSize) << e.name;
        }
        EXPECT_EQ(run.Code("both.txt"), saOverwriteRtoL);
        EXPECT_EQ(run.Code("gone_left.txt"), direction == sdBothWays ? saDeleteRight : saCopyRtoL);
    }
}

// ---- Names -----------------------------------------------------------------------------------

TEST(AnalyzeNames, NamesThatDifferOnlyInLetterCaseAreDifferentItems) {
    TRun direct;
    direct.Left.File("Readme", 100);
    direct.Left.File("README", 100);
    direct.Right.File("Readme", 100);
    direct.Right.File("readme", 100);
    direct.Analyze();
    EXPECT_EQ(direct.Items().size(), 3u);
    EXPECT_EQ(direct.Code("Readme"), saSame);
    EXPECT_EQ(direct.Code("README"), saCopyLtoR);
    EXPECT_EQ(direct.Code("readme"), saCopyRtoL);
    // Against snapshots: "NOTES.txt" was deleted on the right; "Notes.txt" must not stand in for it.
    TRun snap;
    snap.Both("Notes.txt", saSame, saSame);
    snap.Both("NOTES.txt", saSame, saDeletedSinceSync);
    snap.Analyze();
    EXPECT_EQ(snap.Code("Notes.txt"), saSame);
    EXPECT_EQ(snap.Code("NOTES.txt"), saDeleteLeft);
}

TEST(AnalyzeNames, ASnapshotWrittenInAnotherOrderStillPairs) {
    // The left snapshot in plain byte order, files before folders, as another
    // program version might have written it.
    TRun run;
    TTreeBuilder oddSnap(kLeftFolder, false);
    for (const char* name : {"Zeta.txt", "alpha.txt", "beta.txt", "Sub/B.txt", "Sub/a.txt", "docs/x.txt"}) {
        oddSnap.File(name, 100);
        run.Left.File(name, 100);
        run.Right.File(name, 100);
        run.RightSnap.File(name, 100);
    }
    ASSERT_EQ(oddSnap.Root->Children[0]->Name, "Zeta.txt");
    run.LeftSnap.Root = oddSnap.Root;
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    std::vector<std::string> top;
    for (const TFileTree* node : run.Result->Children) {
        top.push_back(node->Name);
    }
    EXPECT_EQ(top, (std::vector<std::string>{"docs", "Sub", "alpha.txt", "beta.txt", "Zeta.txt"}));
    const auto items = run.Items();
    EXPECT_EQ(items.size(), 8u);
    for (const auto& [path, code] : items) {
        EXPECT_EQ(code, path == "Sub" || path == "docs" ? saUnset : saSame) << path;
    }
}

// ---- What a scan did not see -------------------------------------------------------------

TEST(AnalyzeUnseen, DirectModeProposesNothingTowardAnUnreadableFolder) {
    for (int32_t direction : {sdBothWays, sdLeftToRight}) {
        TRun run;
        run.Task.SyncDirection = direction;
        run.Task.ForcedOrVerified = fvVerified;
        run.Left.File("docs/a.txt", 300);
        run.Left.File("new.txt", 100);
        run.Right.Folder("docs")->ListFailed = 1;
        run.Right.File("other/r.txt", 100);
        run.Left.Folder("other")->ListFailed = 1;
        run.Left.File("fresh/f.txt", 100);
        run.Left.Folder("fresh/locked")->ListFailed = 1; // inside a folder new to the right
        run.Analyze();
        for (const char* path : {"docs/", "docs/a.txt", "other/", "other/r.txt", "fresh/locked/"}) {
            EXPECT_EQ(run.Code(path), saDoNotCopy) << path;
        }
        for (const char* path : {"new.txt", "fresh/", "fresh/f.txt"}) {
            EXPECT_EQ(run.Code(path), saCopyLtoR) << path;
        }
        ASSERT_EQ(run.Thread->UnseenFolders.size(), 3u);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Side, 1);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Path, "/docs");
        EXPECT_EQ(run.Thread->UnseenFolders[2].Side, 0);
        EXPECT_EQ(run.Thread->UnseenFolders[2].Path, "/other");
    }
}

TEST(AnalyzeUnseen, SnapshotModeDeletesNothingBelowAnUnreadableFolder) {
    for (int side = 0; side < 2; ++side) {
        TRun run;
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
        TRun::Place(blindScan, blindSnap, "old.txt", saDeletedSinceSync);
        TRun::Place(seenScan, seenSnap, "old.txt", saSame);
        run.Analyze();
        ASSERT_TRUE(run.Thread->UsedSnapshots);
        for (const char* path : {"docs/", "docs/a.txt", "docs/deep/", "docs/deep/b.txt", "docs/fresh.txt",
                                 "was_empty/", "was_empty/new.txt"}) {
            EXPECT_EQ(run.Code(path), saDoNotCopy) << path << " side " << side;
        }
        EXPECT_EQ(run.Code("old.txt"), side == 0 ? saDeleteRight : saDeleteLeft);
        ASSERT_EQ(run.Thread->UnseenFolders.size(), 2u);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Side, side);
        EXPECT_EQ(run.Thread->UnseenFolders[1].Path, "/was_empty");
    }
}

TEST(AnalyzeUnseen, AStoppedScanProposesNothingAtAll) {
    for (bool snapshots : {false, true}) {
        TRun run;
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
        const auto items = run.Items();
        EXPECT_EQ(items.size(), 5u);
        for (const auto& [path, code] : items) {
            EXPECT_EQ(code, saDoNotCopy) << path;
        }
        ASSERT_EQ(run.Thread->UnseenFolders.size(), 1u);
        EXPECT_EQ(run.Thread->UnseenFolders[0].Path, "");
    }
}

TEST(AnalyzeGone, DeletedItemThatNeitherSideHoldsIsLeftOut) {
    TRun run;
    run.Both("anchor", saSame, saSame);
    run.LeftSnap.File("old.txt", 100);       // deleted on the left, unknown on the right
    run.RightSnap.File("olddir/x.txt", 100); // deleted on the right with its folder
    run.Left.File("mine/kept.txt", 100);     // a folder the right side never had...
    run.LeftSnap.File("mine/kept.txt", 100);
    run.LeftSnap.File("mine/removed.txt", 100); // ...from which one file was deleted
    run.Analyze();
    ASSERT_TRUE(run.Thread->UsedSnapshots);
    EXPECT_EQ(run.Items(), (std::vector<std::pair<std::string, int32_t>>{
                               {"mine", saCopyLtoR}, {"mine/kept.txt", saCopyLtoR}, {"anchor", saSame}}));
    EXPECT_EQ(run.Result->Agreed, 1); // the snapshots still list them
}

// ---- Cancellation ---------------------------------------------------------------------------

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
    run.Both("a.txt", saSame, saSame);
    run.Both("d/b.txt", saChangedSinceSync, saSame);
    TCutAfterLeftDiff thread(&run.Task, run.Left.Root, run.Right.Root, run.Result, run.LeftSnap.Root,
                             run.RightSnap.Root);
    thread.Execute();
    EXPECT_EQ(thread.LeftChanges->Children.size(), 2u);
    EXPECT_TRUE(thread.RightChanges->Children.empty());
    EXPECT_TRUE(run.Result->Children.empty());
}

TEST(AnalyzeCancel, ACancelledRunProposesOnlyWhatAFullRunWould) {
    // Both sides unchanged since the last sync: whatever a cut-short run built
    // must propose nothing, wherever the cancel landed.
    TRun run;
    for (int f = 0; f < 150; ++f) {
        for (int i = 0; i < 60; ++i) {
            run.Both("d" + std::to_string(1000 + f) + "/f" + std::to_string(1000 + i), saSame, saSame);
        }
    }
    TAnalyzeThread& thread = run.Make();
    thread.Start();
    thread.Terminate();
    thread.WaitFor();
    for (const auto& [path, code] : run.Items()) {
        EXPECT_TRUE(code == saSame || code == saUnset) << path << " " << code;
    }
}
