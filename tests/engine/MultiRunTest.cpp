// What every sync leaves for the next one: sequences of three runs or more on
// one task, each written from what a user sees (the files on both sides, the
// log lines), for the faults seen on real folders over many runs.

#include "PairFolder.h"
#include "platform/FileSystem.h"
#include "tasks/UTSysConfig.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace pairtest;

namespace {

enum { L = 0, R = 1 };
constexpr time_t kT0 = 1700000000; // 2023, whole even seconds
time_t T(int n) {
    return kT0 + 60 * n;
}

bool AnyLineHas(const TRun& run, const std::string& text) {
    for (const std::string& line : run.Lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

class MultiRun : public ::testing::Test {
protected:
    // Both sides hold the files, in step after a first run.
    void Start(const std::map<std::string, std::string>& files) {
        for (const auto& [rel, bytes] : files) {
            f.Put(L, rel, bytes, T(0));
        }
        f.SyncOnce();
        ASSERT_TRUE(f.InStep());
    }
    TPairFolder f;
};

TEST_F(MultiRun, FoldersThatAreAlreadyEqualStillGetTheirHistory) {
    f.Unattended = false; // from the window: a conflict stays one
    for (int side : {L, R}) {
        f.Put(side, "a.txt", "same", T(0));
        f.Put(side, "b.txt", "bee", T(0));
    }
    EXPECT_EQ(f.SyncOnce().Ops, 0);
    EXPECT_TRUE(f.InStep());

    f.Put(L, "a.txt", "left edit", T(1));
    f.Put(R, "a.txt", "right edit, newer", T(2));
    f.Remove(L, "b.txt");
    EXPECT_EQ(f.SyncOnce().Code("a.txt"), saConflict);
    EXPECT_EQ(f.Bytes(L, "a.txt"), "left edit");
    EXPECT_FALSE(f.Has(R, "b.txt"));
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{{"a.txt", saConflict}}));
    EXPECT_FALSE(f.Has(L, "b.txt"));
}

// A deletion the run could not carry out yet stays a deletion: the file is never
// copied back, and once the cause is gone the deletion goes through.
TEST_F(MultiRun, DeletionsThatWaitAreNotForgotten) {
    TSysConfig config;
    TSysConfig* const previous = SysConfig;
    SysConfig = &config;
    struct Cause {
        const char* name;
        std::string item; // deleted on the left between run 1 and run 2
        std::function<void(TPairFolder&, bool)> hold;
    };
    const std::vector<Cause> causes = {
        {"deletions off", "x.txt", [](TPairFolder& p, bool on) { p.Task().IsDeleteFile = on ? 0 : 1; }},
        {"read-only target", "x.txt",
         [](TPairFolder& p, bool on) { chmod((p.Root(R) + "/x.txt").c_str(), on ? 0444 : 0644); }},
        {"exclude pattern", "x.txt",
         [](TPairFolder& p, bool on) {
             p.Task().ExcludeFilter = on ? std::vector<std::string>{"^x"} : std::vector<std::string>{};
         }},
        {"include pattern", "x.txt",
         [](TPairFolder& p, bool on) {
             p.Task().IncludeFilter = on ? std::vector<std::string>{"^k"} : std::vector<std::string>{};
         }},
        {"program-wide exclude", "x.txt",
         [&config](TPairFolder&, bool on) {
             config.ExcludeFilter = on ? std::vector<std::string>{"^x"} : std::vector<std::string>{};
         }},
        {"hidden switch", ".x", [](TPairFolder& p, bool on) { p.Task().ExcludeHiddenFile = on ? 1 : 0; }},
        {"empty-folder switch", "x/",
         [](TPairFolder& p, bool on) { p.Task().ExcludeEmtpyFolder = on ? 1 : 0; }},
    };
    for (const Cause& c : causes) {
        SCOPED_TRACE(c.name);
        TPairFolder p;
        const bool folder = c.item.back() == '/';
        const std::string item = folder ? c.item.substr(0, c.item.size() - 1) : c.item;
        p.Put(L, "keep.txt", "kept", T(0));
        folder ? p.Mkdir(L, item) : p.Put(L, item, "doomed", T(0));
        p.SyncOnce();
        ASSERT_TRUE(p.Has(R, item));
        p.Remove(L, item);
        c.hold(p, true);
        p.SyncOnce();
        p.SyncOnce();
        EXPECT_FALSE(p.Has(L, item)) << "copied back while the deletion waited";
        EXPECT_TRUE(c.name == std::string("read-only target") || p.Has(R, item));
        c.hold(p, false);
        p.SyncOnce();
        EXPECT_FALSE(p.Has(R, item));
        EXPECT_TRUE(p.InStep());
    }
    SysConfig = previous;
}

// A copy keeps its source's read-only bit, so a read-only file (git keeps its
// objects so) is read-only on both sides; deleted on one, it goes on the other
// too. Made read-only on the target alone, it stays (the case above).
TEST_F(MultiRun, ReadOnlyFileDeletedOnOneSideGoesOnTheOther) {
    for (int from : {L, R}) {
        SCOPED_TRACE(from);
        TPairFolder p;
        p.Put(from, "obj", "object", T(0));
        p.Put(from, "keep.txt", "kept", T(0));
        p.ReadOnly(from, "obj");
        p.SyncOnce();
        ASSERT_TRUE(fs::IsReadOnly(p.Root(1 - from) + "/obj"));
        p.Remove(from, "obj");
        const TRun run = p.SyncOnce();
        EXPECT_FALSE(AnyLineHas(run, "Error")) << run.Lines.front();
        EXPECT_FALSE(p.Has(1 - from, "obj"));
        EXPECT_TRUE(p.InStep());
    }
}

TEST_F(MultiRun, SourceThatVanishedDuringTheRunCountsAsDeleted) {
    Start({{"x.txt", "one"}, {"keep.txt", "kept"}});
    f.Put(R, "x.txt", "two, from the right", T(1));
    const TRun run = f.SyncOnce({}, [&] { f.Remove(R, "x.txt"); });
    EXPECT_EQ(run.Code("x.txt"), saError);
    f.SyncOnce();
    EXPECT_FALSE(f.Has(R, "x.txt")) << "the vanished file came back";
    EXPECT_FALSE(f.Has(L, "x.txt"));
    f.SyncOnce();
    EXPECT_TRUE(f.InStep());
}

// The snapshots are taken after the sync; what the user changes meanwhile on
// items the run settled was not seen by its analysis and must be by the next.
TEST_F(MultiRun, WhatChangesWhileTheSyncRunsIsSeenByTheNextRun) {
    Start({{"edited.txt", "edited"}, {"deleted.txt", "deleted"}});
    f.Put(L, "copied.txt", "copied", T(1));
    f.SyncOnce({}, [&] {
        f.Put(L, "edited.txt", "edited during the sync", T(2));
        f.Remove(R, "deleted.txt");
    });
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_EQ(f.Bytes(R, "edited.txt"), "edited during the sync");
    EXPECT_FALSE(f.Has(L, "deleted.txt")) << "the deletion was undone";
    EXPECT_TRUE(f.InStep());
}

TEST_F(MultiRun, DeletionOfAnUntouchedFileIsCarriedOut) {
    for (int32_t direction : {sdBothWays, sdRightToLeft}) {
        SCOPED_TRACE(direction);
        TPairFolder p;
        p.Task().SyncDirection = direction;
        p.Put(R, "a.txt", "alpha", T(0));
        p.Put(R, "sub/b.txt", "bee", T(0));
        p.SyncOnce();
        p.Remove(L, "a.txt");
        p.Remove(L, "sub/b.txt");
        const TRun run = p.SyncOnce();
        EXPECT_FALSE(AnyLineHas(run, "Error")) << run.Lines.front();
        // A one-way task's target gets the file back from its source.
        EXPECT_EQ(p.Has(R, "a.txt"), direction != sdBothWays);
        EXPECT_EQ(p.Has(L, "sub/b.txt"), direction != sdBothWays);
        EXPECT_EQ(p.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
        EXPECT_TRUE(p.InStep());
    }
}

// A task in memory with a direction no dialog offers (a task list holding one is
// refused when it is read) copies both ways and deletes only with the switch.
TEST_F(MultiRun, ADirectionNobodyChoseDeletesOnlyWithTheDeletionSwitch) {
    for (int32_t direction : {3, 7, -1}) {
        for (int32_t deletions : {0, 1}) {
            SCOPED_TRACE(std::to_string(direction) + (deletions == 1 ? " deletions on" : " deletions off"));
            TPairFolder p;
            p.Task().SyncDirection = direction;
            p.Task().IsDeleteFile = deletions;
            p.Put(L, "a.txt", "alpha", T(0));
            p.Put(R, "b.txt", "bee", T(0));
            p.SyncOnce();
            EXPECT_EQ(p.Bytes(R, "a.txt"), "alpha");
            EXPECT_EQ(p.Bytes(L, "b.txt"), "bee");

            p.Remove(L, "a.txt");
            p.Put(R, "b.txt", "bee, edited", T(1));
            p.SyncOnce();
            EXPECT_EQ(p.Has(R, "a.txt"), deletions == 0);
            EXPECT_EQ(p.Bytes(L, "b.txt"), "bee, edited");

            // The held deletion stays held and nothing comes back.
            const TRun third = p.SyncOnce();
            EXPECT_EQ(p.Has(R, "a.txt"), deletions == 0);
            EXPECT_FALSE(p.Has(L, "a.txt"));
            EXPECT_EQ(third.Proposals(), deletions == 0
                                             ? (std::map<std::string, int32_t>{{"a.txt", saDoNotCopy}})
                                             : (std::map<std::string, int32_t>{}));
        }
    }
}

// Part files go by the task that wrote them, not by a process number: what a
// killed run of this task left is removed by its next run (even when a process
// of that number is running, as this test's own is) and never proposed; a name
// that merely looks like a part file is the user's file and kept in step.
TEST_F(MultiRun, PartFilesGoByTheirTaskAndLookAlikesAreTheUsersFiles) {
    const std::string lookAlike = ".report.Tandemora-" + std::to_string(getpid()) + "-1.part";
    const std::string otherTask = "sub/" + fs::PartFileName("notes.txt", "Mail9");
    const std::string stale = "sub/" + fs::PartFileName("a.txt", f.Task().SyncID);
    f.Put(L, lookAlike, "the user's own", T(0));
    f.Put(R, otherTask, "another task's file", T(0));
    f.Put(R, stale, "half a copy", T(0));
    f.Put(L, "sub/a.txt", "alpha", T(0));
    const TRun first = f.SyncOnce();
    for (const auto& [key, code] : first.Proposed) {
        EXPECT_EQ(key.find(stale.substr(4)), std::string::npos) << key;
    }
    EXPECT_FALSE(f.Has(R, stale));
    EXPECT_TRUE(AnyLineHas(first, "Removed the part file of an earlier run of this task: " + f.Root(R) + "/" +
                                      stale));
    EXPECT_EQ(f.Bytes(R, lookAlike), "the user's own");
    EXPECT_EQ(f.Bytes(L, otherTask), "another task's file");
    EXPECT_EQ(f.Bytes(R, "sub/a.txt"), "alpha");

    f.Put(R, lookAlike, "edited on the right", T(2));
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(L, lookAlike), "edited on the right");

    f.Remove(L, otherTask);
    const TRun third = f.SyncOnce();
    EXPECT_FALSE(f.Has(R, otherTask));
    EXPECT_FALSE(AnyLineHas(third, "Removed the part file"));
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
}

TEST_F(MultiRun, TimeZoneChangeHealsAndLaterEditsAreSynchronised) {
    Start({{"a.txt", "alpha"}, {"b.txt", "bee"}});
    f.Put(L, "twin.txt", "added on both sides", T(1));
    f.Put(R, "twin.txt", "added on both sides", T(1));
    {
        testsupport::ScopedEnv zone("TZ", std::string("UTC-3"));
        const TRun run = f.SyncOnce();
        EXPECT_EQ(run.Proposals(), (std::map<std::string, int32_t>{}));
        EXPECT_TRUE(f.InStep());
        f.Put(L, "a.txt", "alpha, edited", T(2));
        f.Put(R, "twin.txt", "twin, edited on the right", T(3));
        f.SyncOnce();
        EXPECT_EQ(f.Bytes(R, "a.txt"), "alpha, edited");
        EXPECT_EQ(f.Bytes(L, "twin.txt"), "twin, edited on the right");
        EXPECT_TRUE(f.InStep());
    }
}

TEST_F(MultiRun, FilesFrom2044OnAreNewerThanOlderOnes) {
    const time_t y2050 = 2524608000;
    f.Put(L, "x.txt", "from 2050", y2050);
    f.Put(R, "x.txt", "from 2020", 1577836800);
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(R, "x.txt"), "from 2050");
    f.Task().Conflicts = cfNewerFileWins;
    f.Put(L, "x.txt", "left, 2043", 2335212000);
    f.Put(R, "x.txt", "right, 2051", y2050 + 365 * 86400);
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(L, "x.txt"), "right, 2051");
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
}

TEST_F(MultiRun, SameTimeButAnotherSizeIsAChange) {
    f.Unattended = false; // from the window: a conflict stays one
    f.Put(L, "x.txt", "short", T(1));
    f.Put(R, "x.txt", "longer text", T(1));
    EXPECT_EQ(f.SyncOnce().Code("x.txt"), saConflict);
    f.SyncOnce({{"x.txt", saOverwriteLtoR}});
    ASSERT_TRUE(f.InStep());
    f.Put(L, "x.txt", "short, grown", T(1)); // a listing with minute precision shows the same time
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(R, "x.txt"), "short, grown");
    EXPECT_TRUE(f.InStep());
}

TEST_F(MultiRun, EmptyFoldersOnBothSidesAreSettled) {
    for (int32_t excludeEmpty : {0, 1}) {
        SCOPED_TRACE(excludeEmpty);
        TPairFolder p;
        p.Task().ExcludeEmtpyFolder = excludeEmpty;
        p.Mkdir(L, "e");
        p.Mkdir(R, "e");
        p.Put(L, "a.txt", "alpha", T(0));
        for (int run = 0; run < 3; ++run) {
            EXPECT_EQ(p.SyncOnce().Proposals().count("e/"), 0u) << "run " << run;
        }
        EXPECT_TRUE(p.InStep());
    }
}

TEST_F(MultiRun, ConflictOfAnEditAndADeletionStaysAConflict) {
    for (int edited : {L, R}) {
        SCOPED_TRACE(edited);
        TPairFolder p;
        p.Put(L, "x.txt", "one", T(0));
        p.SyncOnce();
        p.Put(edited, "x.txt", "edited", T(1));
        p.Remove(1 - edited, "x.txt");
        for (int run = 0; run < 3; ++run) {
            EXPECT_EQ(p.SyncOnce().Code("x.txt"), saConflict) << "run " << run;
            EXPECT_EQ(p.Bytes(edited, "x.txt"), "edited");
            EXPECT_FALSE(p.Has(1 - edited, "x.txt"));
        }
        p.SyncOnce({{"x.txt", edited == L ? saOverwriteLtoR : saOverwriteRtoL}}); // the user chooses
        EXPECT_TRUE(p.InStep());
    }
}

TEST_F(MultiRun, FileReplacedByAFolderAndBackTakesOneRunEach) {
    Start({{"x", "a file"}});
    f.Remove(L, "x");
    f.Put(L, "x/inner.txt", "inside", T(1));
    EXPECT_FALSE(AnyLineHas(f.SyncOnce(), "Error"));
    EXPECT_TRUE(f.InStep());
    f.Remove(R, "x");
    f.Put(R, "x", "a file again", T(2));
    EXPECT_FALSE(AnyLineHas(f.SyncOnce(), "Error"));
    EXPECT_TRUE(f.InStep());
    EXPECT_EQ(f.SyncOnce().Ops, 0);
}

// A side that scans empty while its snapshot lists items (a drive not mounted, a
// folder emptied by mistake) deletes nothing on the other side.
TEST_F(MultiRun, EmptiedSideDeletesNothingOnTheOtherSide) {
    struct Case {
        int32_t estimate, folderTags, emptied;
    };
    for (const Case& c : {Case{1, 0, L}, Case{0, 1, R}, Case{0, 0, L}}) {
        SCOPED_TRACE(c.emptied);
        TPairFolder p;
        p.Task().EstimateDiskSpace = c.estimate;
        p.Task().EnsureFolderTags = c.folderTags;
        p.Put(L, "a.txt", "alpha", T(0));
        p.Put(L, "sub/b.txt", "bee", T(0));
        p.SyncOnce();
        for (const auto& [rel, item] : p.Read(c.emptied)) {
            p.Remove(c.emptied, rel);
        }
        p.Put(1 - c.emptied, "new.txt", "new", T(1)); // copied in, it would end the hold
        for (int run = 0; run < 2; ++run) {
            const TRun done = p.SyncOnce();
            EXPECT_EQ(done.Code("a.txt"), saDoNotCopy);
            EXPECT_EQ(p.Read(1 - c.emptied).size(), 4u);
        }
    }
}

TEST_F(MultiRun, SnapshotsOfAnotherPairOrPlaceAreNotUsed) {
    Start({{"a.txt", "one"}, {"keep.txt", "kept"}});
    const std::string right = f.Root(R);
    f.UseFolder(R, f.Other(R));
    f.Put(L, "a.txt", "two, on the other pair", T(1));
    f.SyncOnce();
    f.UseFolder(R, right);
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(R, "a.txt"), "two, on the other pair");
    EXPECT_TRUE(f.InStep());

    // Off and on again: the snapshots left at the first place are stale.
    f.Task().EstimateDiskSpace = 1;
    f.SyncOnce();
    f.Task().EstimateDiskSpace = 0;
    f.SyncOnce(); // a new place: its first run compares by time
    f.Remove(L, "a.txt");
    f.SyncOnce();
    ASSERT_FALSE(f.Has(R, "a.txt"));
    f.Task().EstimateDiskSpace = 1;
    f.Put(L, "a.txt", "two, on the other pair", T(1)); // restored from a backup
    f.SyncOnce();
    EXPECT_TRUE(f.Has(L, "a.txt")) << "the restored file was deleted";
    EXPECT_TRUE(f.InStep());
}
