// Synchronisations end to end on real folders, for what a run over several
// syncs (MultiRunTest, ModelSyncTest) does not show: the log lines, the row
// codes, the snapshots' places, the options that change how a copy is made, a
// cancel, and the checks between the analysis and the sync.

#include "SyncTestSupport.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace synctest;

namespace {

using Lines = std::vector<std::string>;

} // namespace

class SyncTest : public SyncFixture {};

TEST_F(SyncTest, EachSnapshotPlaceStoresBothSnapshotsWhereTheNextAnalysisLooks) {
    struct Case {
        int32_t estimate, folderTags, direction;
        bool leftLocal, rightLocal;
    };
    const Case cases[] = {
        {0, 0, sdBothWays, false, false},
        {0, 1, sdLeftToRight, true, false},
        {0, 1, sdBothWays, false, true},
        {1, 0, sdBothWays, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.leftLocal) + std::to_string(c.rightLocal));
        testsupport::TempDir folders;
        testsupport::TempDir data;
        testsupport::ScopedEnv xdg("XDG_DATA_HOME", data.path());
        UseFolders(folders);
        task.EstimateDiskSpace = c.estimate;
        task.EnsureFolderTags = c.folderTags;
        task.SyncDirection = c.direction;
        task.SaveOldFile = 1;
        Put(L, "sub/b.txt", "version one", kOld);
        AnalyzeAndSync();
        Put(L, "sub/b.txt", "version two", kNew);
        AnalyzeAndSync();
        EXPECT_TRUE(analysis->UsedSnapshots);
        EXPECT_EQ(lines, (Lines{CopyLine(L, R, "sub/b.txt"), "Operator File :1"}));

        EXPECT_EQ(SnapshotItems(c.leftLocal ? LocalSnapshot(0) : WorkSnapshot(L)),
                  (Lines{L, "sub/", "sub/b.txt"}));
        EXPECT_EQ(SnapshotItems(c.rightLocal ? LocalSnapshot(1) : WorkSnapshot(R)),
                  (Lines{R, "sub/", "sub/b.txt"}));
        EXPECT_EQ(testsupport::Exists(LocalSnapshot(0)), c.leftLocal);
        EXPECT_EQ(testsupport::Exists(LocalSnapshot(1)), c.rightLocal);
        // The work folder holds a side's snapshot and the previous versions; with
        // the bookkeeping out of the folders there is none at all.
        EXPECT_EQ(Has(L, "__Tandemora__"), !c.leftLocal);
        EXPECT_EQ(Has(R, "__Tandemora__"), c.estimate == 0);
        if (c.estimate == 0) {
            EXPECT_EQ(Read(R, "__Tandemora__/__saved__/sub/b.txt"), "version one");
        }
        for (int side : {0, 1}) {
            struct stat st;
            if ((side == 0 ? c.leftLocal : c.rightLocal) && stat(LocalSnapshot(side).c_str(), &st) == 0) {
                EXPECT_EQ(st.st_mode & 0777, 0600u);
                EXPECT_FALSE(testsupport::Exists(LocalSnapshot(side) + ".p"));
            }
        }
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }
}

// A copy through a temporary name ends under the final name, leaves nothing
// behind and never takes a user's own ".tmp" file for its temporary copy.
TEST_F(SyncTest, CopyThroughATemporaryFileLeavesOnlyTheFinalName) {
    task.UseTempFile = 1;
    Put(L, "c.txt", "one", kOld);
    Put(L, "c.txt.tmp", "my own notes", kOld);
    AnalyzeAndSync();
    Put(L, "c.txt", "two, longer", kNew);
    Put(L, "sub/n.txt", "new", kNew);
    AnalyzeAndSync();
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "sub/n.txt"), CopyLine(L, R, "c.txt"), "Operator File :2"}));
    EXPECT_EQ(Read(R, "c.txt"), "two, longer");
    EXPECT_EQ(Read(R, "c.txt.tmp"), "my own notes");
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__", "c.txt", "c.txt.tmp", "sub"}));
    EXPECT_EQ(Names(R + "/sub"), (Lines{"n.txt"}));
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

TEST_F(SyncTest, DeletedFolderThatReceivesACopyInTheSameRunStays) {
    Put(L, "f/a.txt", "a", kOld);
    Put(L, "keep.txt", "k", kOld);
    AnalyzeAndSync();
    std::filesystem::remove_all(L + "/f");
    Put(R, "f/b.txt", "b", kNew);
    Analyze();
    EXPECT_EQ(Code("/f"), saDeleteRight);
    Sync();
    EXPECT_EQ(lines, (Lines{"Delete:" + R + "/f/a.txt", CopyLine(R, L, "f/b.txt"), "Operator File :2"}));
    EXPECT_EQ(Read(R, "f/b.txt"), "b");
    EXPECT_EQ(Read(L, "f/b.txt"), "b");
    EXPECT_EQ(Code("/f"), saSame);
}

// Between the analysis and the sync someone edits both sides: a target that is
// no longer what the analysis saw is left alone, a source that changed is not
// copied, and the next analysis sees both sides' changes.
TEST_F(SyncTest, TargetsAndSourcesChangedAfterTheAnalysisAreLeftAlone) {
    for (const char* name : {"c.txt", "d.txt", "t.txt", "ok.txt", "grow.txt"}) {
        Put(L, name, std::string(name) + " one", kOld);
    }
    AnalyzeAndSync();
    for (const char* name : {"c.txt", "t.txt", "ok.txt", "grow.txt"}) {
        Put(L, name, std::string(name) + " two", kNew);
    }
    Put(L, "n.txt", "n from left", kNew);
    std::filesystem::remove(L + "/d.txt");
    Analyze();
    ASSERT_EQ(Changes(), 6);
    Put(R, "c.txt", "c edited on the right", kNewer);
    Put(R, "n.txt", "mine", kNewer);
    Put(R, "d.txt", "d edited", kNewer);
    SetTime(R + "/t.txt", kNewer); // same size, only touched
    Put(L, "grow.txt", "grow.txt two, and longer", kNew);
    Sync();

    const std::string changed = " (the target changed after the analysis)";
    EXPECT_EQ(lines,
              (Lines{"Error " + CopyLine(L, R, "c.txt") + changed, "Error Delete:" + R + "/d.txt" + changed,
                     "Error " + CopyLine(L, R, "grow.txt") + " (the source changed since the analysis)",
                     "Error " + CopyLine(L, R, "n.txt") + changed, CopyLine(L, R, "ok.txt"),
                     "Error " + CopyLine(L, R, "t.txt") + changed, "Operator File :6"}));
    EXPECT_EQ(Read(R, "c.txt"), "c edited on the right");
    EXPECT_EQ(Read(R, "n.txt"), "mine");
    EXPECT_EQ(Read(R, "d.txt"), "d edited");
    EXPECT_EQ(Read(R, "t.txt"), "t.txt one");
    EXPECT_EQ(Read(R, "grow.txt"), "grow.txt one");
    EXPECT_EQ(Code("/ok.txt"), saSame);
    Analyze(vkAll);
    for (const char* key : {"/c.txt", "/n.txt", "/t.txt", "/d.txt"}) {
        EXPECT_EQ(Code(key), saConflict) << key;
    }
    EXPECT_EQ(Code("/grow.txt"), saOverwriteLtoR);
}

// A local side is not looked at before every item; when its root is gone after
// the analysis, the items that meet it still fail with the system's reason,
// and nothing is made in its place.
TEST_F(SyncTest, TargetRootGoneAfterTheAnalysisFailsEachItemWithTheReason) {
    Put(L, "c.txt", "c one", kOld);
    Put(L, "d.txt", "d one", kOld);
    AnalyzeAndSync();
    Put(L, "c.txt", "c two", kNew);
    Put(L, "n.txt", "new", kNew);
    std::filesystem::remove(L + "/d.txt");
    Analyze();
    ASSERT_EQ(Changes(), 3);
    std::filesystem::rename(R, R + ".away");
    Sync();

    const std::string gone = " (" + std::string(std::strerror(ENOENT)) + ")";
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(
        Lines(lines.begin(), lines.begin() + 4),
        (Lines{"Error " + CopyLine(L, R, "c.txt") + gone, "Error Delete:" + R + "/d.txt" + gone,
               "Error " + CopyLine(L, R, "n.txt") + " (making the folder: " + std::strerror(ENOENT) + ")",
               "Operator File :3"}));
    EXPECT_FALSE(std::filesystem::exists(R));
    EXPECT_EQ(Read(R + ".away", "c.txt"), "c one");
    EXPECT_EQ(Read(R + ".away", "d.txt"), "d one");
}

// A cancel stops before the next item; what was done is in the snapshots, and
// what was not (the rest of a folder, whose row keeps its code) is proposed again.
TEST_F(SyncTest, CancelStopsBeforeTheNextItemAndSavesWhatWasDone) {
    Put(L, "dir/a", "a", kOld);
    Put(L, "dir/b", "b", kOld);
    Put(L, "f1", "f1", kOld);
    Analyze();
    Sync(new TCancelledThread(&rows, &task));
    EXPECT_EQ(lines, (Lines{CopyLine(L, R, "dir/a"), "Operator File :1"}));
    EXPECT_EQ(Code("/dir/a"), saSame);
    EXPECT_EQ(Code("/dir/b"), saCopyLtoR);
    EXPECT_EQ(Code("/dir"), saCopyLtoR); // not walked to its end, so not "done"
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{R, "dir/", "dir/a"}));
    EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), (Lines{L, "dir/", "dir/a"}));
    Analyze();
    EXPECT_EQ(Row("/dir/a"), nullptr);
    EXPECT_EQ(Code("/dir/b"), saCopyLtoR);
    EXPECT_EQ(Code("/f1"), saCopyLtoR);
}

TEST_F(SyncTest, SideWithoutAnEndpointClassStopsTheRunWithOneLine) {
    struct Case {
        int32_t left, right;
        std::string line;
    };
    const Case cases[] = {
        {dtLocal, dtSftp, "Sync not started: there is no endpoint for the Right folder (device type 4)."},
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
        EXPECT_FALSE(Has(R, "a.txt"));
        EXPECT_FALSE(Has(L, "__Tandemora__"));
        EXPECT_EQ(Code("/a.txt"), saCopyLtoR);
    }
}

// Rows the user set to "do not copy" or "same" and rows the filters keep out are
// not acted on in a view that shows them; the first snapshots are written all
// the same, and what was skipped is still new next time.
TEST_F(SyncTest, RowsTheUserOrTheFiltersSkipAreNotActedOn) {
    task.ExcludeFilter = {"^skip"};
    Put(L, "a.txt", "a", kOld);
    Put(L, "b.txt", "b", kOld);
    Put(L, "skip.txt", "s", kOld);
    Analyze(vkAll);
    ASSERT_NE(Row("/skip.txt"), nullptr);
    ASSERT_TRUE(rows.SetItemAction(Row("/a.txt"), saDoNotCopy));
    ASSERT_TRUE(rows.SetItemAction(Row("/b.txt"), saSame));
    Sync();
    EXPECT_EQ(lines, (Lines{"Operator File :0"}));
    EXPECT_EQ(Names(R), (Lines{"__Tandemora__"}));
    EXPECT_EQ(SnapshotItems(WorkSnapshot(L)), (Lines{L, "b.txt"}));
    Analyze();
    EXPECT_EQ(Code("/a.txt"), saCopyLtoR);
    EXPECT_EQ(Code("/b.txt"), saCopyLtoR);
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
             Put(L, "sub/y.txt", "on both sides", kOld);
             AnalyzeAndSync();
             std::filesystem::remove(L + "/sub/y.txt");
             Put(L, "sub/x.txt", "new on the left", kNew);
             Put(canary, "y.txt", "on both sides", kOld); // just like the file to delete
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

// The new snapshots are made from the trees the analysis scanned, which the
// result view still shows: what the run settled, what it left as a conflict
// (given the last snapshots' entries) and what it copied into a folder, all
// leave those trees, fine times included, as the analysis left them.
TEST_F(SyncTest, TheScannedTreesTheViewShowsStayAsTheAnalysisLeftThem) {
    Put(L, "c.txt", "one", kOld);
    Put(L, "d/x.txt", "x", kOld);
    Put(L, "gone.txt", "g", kOld);
    AnalyzeAndSync();
    Put(L, "c.txt", "left edit", kNew);
    Put(R, "c.txt", "the right's edit", kNewer);
    Put(L, "d/x.txt", "x, two", kNew);
    Put(L, "d/n.txt", "new", kNew);
    std::filesystem::remove(L + "/gone.txt");
    Analyze(vkAll);
    const auto text = [](const TFileTree* tree) {
        std::ostringstream out;
        tree->SaveToStream(out, "root");
        std::vector<const TFileTree*> pending = {tree};
        while (!pending.empty()) {
            const TFileTree* node = pending.back();
            pending.pop_back();
            out << (node->Data != nullptr ? node->Data->TimeFraction : -2) << ' ';
            pending.insert(pending.end(), node->Children.begin(), node->Children.end());
        }
        return out.str();
    };
    const std::string before[2] = {text(leftScan->Tree), text(rightScan->Tree)};
    Sync();
    EXPECT_EQ(Code("/c.txt"), saConflict);
    EXPECT_EQ(Code("/d/n.txt"), saSame);
    EXPECT_EQ(text(leftScan->Tree), before[0]);
    EXPECT_EQ(text(rightScan->Tree), before[1]);
    EXPECT_EQ(SnapshotItems(WorkSnapshot(R)), (Lines{R, "d/", "d/n.txt", "d/x.txt", "c.txt"}));
}
