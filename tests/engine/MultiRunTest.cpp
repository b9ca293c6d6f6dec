// What every sync leaves for the next one: sequences of three runs or more on
// one task, each written from what a user sees (the files on both sides, the
// log lines), for the faults seen on real folders over many runs.

#include "PairFolder.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSysConfig.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/mount.h>
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

// What the analysis proposed, before the user's choices and the sync.
std::map<std::string, int32_t> Asked(const TRun& run) {
    std::map<std::string, int32_t> asked;
    for (const auto& [key, code] : run.Proposed) {
        if (code != saSame && code != saUnset) {
            asked[key] = code;
        }
    }
    return asked;
}

// A file system mounted on a folder for as long as the object lives (or until
// Unmount). Mounting needs privileges a test run may not have: Why() says so.
class TMount {
public:
    // A fresh, empty memory file system on folder.
    static TMount Memory(const std::string& folder) {
        return TMount(folder, mount("tandemora-test", folder.c_str(), "tmpfs", 0, "size=1m") == 0);
    }
    // The folder from shown again at folder.
    static TMount Bind(const std::string& from, const std::string& folder) {
        return TMount(folder, mount(from.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0);
    }
    TMount(TMount&& other) noexcept : folder_(other.folder_), mounted_(other.mounted_), why_(other.why_) {
        other.mounted_ = false;
    }
    ~TMount() { Unmount(); }
    bool Mounted() const { return mounted_; }
    std::string Why() const { return "cannot mount on " + folder_ + ": " + why_; }
    void Unmount() {
        if (mounted_) {
            EXPECT_EQ(umount2(folder_.c_str(), MNT_DETACH), 0) << std::strerror(errno);
            mounted_ = false;
        }
    }

private:
    TMount(std::string folder, bool mounted)
        : folder_(std::move(folder)), mounted_(mounted), why_(mounted ? "" : std::strerror(errno)) {}
    std::string folder_;
    bool mounted_;
    std::string why_;
};

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
    f.Task().Conflicts = cfNewerFileWins; // the first run has no snapshots: times decide
    f.Put(L, "x.txt", "from 2050", y2050);
    f.Put(R, "x.txt", "from 2020", 1577836800);
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(R, "x.txt"), "from 2050");
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
    f.Unattended = false; // from the window: without snapshots the newer file wins
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

// A disk mounted inside the left folder, synchronised, then not mounted: its
// empty mount point (with a desktop's hidden file in it) deletes nothing on the
// right, over as many runs as the disk stays away, with one line naming the
// folder; it knows the folder for a mount point from the last sync even when
// nothing is mounted there now. Mounted again, nothing is to do. A user can
// still choose a deletion by hand.
TEST_F(MultiRun, DiskNotMountedInsideTheFolderDeletesNothingOnTheOtherSide) {
    const std::string photos = f.Root(L) + "/photos";
    f.Mkdir(L, "photos");
    std::optional<TMount> disk = TMount::Memory(photos);
    if (!disk->Mounted()) {
        GTEST_SKIP() << disk->Why();
    }
    const std::map<std::string, std::string> shots = {{"photos/p1.jpg", "one"}, {"photos/p2.jpg", "two!"}};
    auto fillDisk = [&] {
        f.Mkdir(L, "photos/2023");
        for (const auto& [rel, bytes] : shots) {
            f.Put(L, rel, bytes, T(0));
        }
        f.Put(L, "photos/2023/p3.jpg", "three", T(0));
    };
    fillDisk();
    Start({{"a.txt", "alpha"}});
    ASSERT_TRUE(f.Has(R, "photos/2023/p3.jpg"));

    disk->Unmount();
    f.Put(L, "photos/.directory", "[Desktop Entry]", T(1));
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        f.Put(L, "a.txt", "alpha " + std::to_string(run), T(2 + run));
        const TRun done = f.SyncOnce();
        EXPECT_EQ(done.HeldBack, (std::vector<std::string>{photos}));
        EXPECT_EQ(done.Code("photos/p1.jpg"), saDoNotCopy);
        EXPECT_EQ(done.Code("photos/2023/p3.jpg"), saDoNotCopy);
        EXPECT_EQ(f.Bytes(R, "a.txt"), "alpha " + std::to_string(run));
        EXPECT_EQ(f.Bytes(R, "photos/p2.jpg"), "two!");
        EXPECT_TRUE(f.Has(R, "photos/2023/p3.jpg"));
    }

    // The disk is back: everything is as it was.
    f.Remove(L, "photos/.directory");
    disk.emplace(TMount::Memory(photos));
    ASSERT_TRUE(disk->Mounted()) << disk->Why();
    fillDisk();
    TRun back = f.SyncOnce();
    EXPECT_TRUE(back.HeldBack.empty());
    EXPECT_EQ(back.Ops, 0);
    EXPECT_TRUE(f.InStep());

    // Away again; the user deletes one picture on purpose, from the window.
    disk->Unmount();
    f.Unattended = false;
    const TRun chosen = f.SyncOnce({{"photos/p1.jpg", saOverwriteLtoR}});
    EXPECT_FALSE(f.Has(R, "photos/p1.jpg")) << testing::PrintToString(chosen.Lines);
    EXPECT_TRUE(f.Has(R, "photos/p2.jpg"));
    EXPECT_EQ(chosen.Code("photos/p2.jpg"), saDoNotCopy);
}

// A folder of the left side that held files at the last sync and now has an
// empty disk mounted on it holds back its deletions as well; an ordinary folder
// emptied by hand does not.
TEST_F(MultiRun, EmptyDiskMountedOnAFolderDeletesNothingOnTheOtherSide) {
    Start({{"photos/p1.jpg", "one"}, {"notes/n.txt", "note"}, {"a.txt", "alpha"}});
    TMount disk = TMount::Memory(f.Root(L) + "/photos");
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Why();
    }
    f.Remove(L, "notes/n.txt");
    const TRun done = f.SyncOnce();
    EXPECT_EQ(done.HeldBack, (std::vector<std::string>{f.Root(L) + "/photos"}));
    EXPECT_EQ(done.Code("photos/p1.jpg"), saDoNotCopy);
    EXPECT_TRUE(f.Has(R, "photos/p1.jpg"));
    EXPECT_FALSE(f.Has(R, "notes/n.txt"));
    disk.Unmount();
    EXPECT_EQ(f.SyncOnce().Ops, 0);
    EXPECT_TRUE(f.InStep());
}

// A folder mounted inside itself (sub/loop shows sub again) is not entered, and
// a work folder below the root (another task's side in this folder) is no user
// data: neither reaches the right side, in the first run or any later one.
TEST_F(MultiRun, FolderInsideItselfAndNestedWorkFoldersAreNotCopied) {
    f.Put(L, "a.txt", "alpha", T(0));
    f.Put(L, "sub/s.txt", "sub", T(0));
    f.Put(L, "other/__Tandemora__/LOOP", "another task's snapshot", T(0));
    f.Mkdir(L, "sub/loop");
    TMount loop = TMount::Bind(f.Root(L) + "/sub", f.Root(L) + "/sub/loop");
    if (!loop.Mounted()) {
        GTEST_SKIP() << loop.Why();
    }
    const TTree expected = {{"a.txt", {false, "alpha"}},
                            {"other", {true, ""}},
                            {"sub", {true, ""}},
                            {"sub/s.txt", {false, "sub"}}};
    f.SyncOnce();
    EXPECT_TRUE(SameForUser(f.Read(R), expected)) << Show(f.Read(R));
    EXPECT_EQ(f.Snapshot(L).count("sub/loop"), 0u);

    f.Put(L, "sub/s.txt", "sub, edited", T(1));
    EXPECT_EQ(f.SyncOnce().Ops, 1);
    EXPECT_EQ(f.Bytes(R, "sub/s.txt"), "sub, edited");
    const TRun again = f.SyncOnce();
    EXPECT_EQ(again.Ops, 0);
    EXPECT_TRUE(again.Proposals().empty());
    EXPECT_FALSE(f.Has(R, "sub/loop"));
    EXPECT_FALSE(f.Has(R, "other/__Tandemora__"));
    EXPECT_EQ(f.Bytes(L, "other/__Tandemora__/LOOP"), "another task's snapshot");
}

// Saves of the same size within one 2-second step of the version the last sync
// copied (DOS times cannot tell them apart) are carried over, from either side,
// and once carried over, nothing more is proposed.
TEST_F(MultiRun, SaveWithinTheSameTwoSecondsIsCarriedOver) {
    const auto putAt = [this](int side, const std::string& bytes, long nanoseconds) {
        f.Put(side, "a.txt", bytes, T(0));
        const timespec at = {T(0) + nanoseconds / 1000000000, nanoseconds % 1000000000};
        const timespec times[2] = {at, at};
        ASSERT_EQ(utimensat(AT_FDCWD, (f.Root(side) + "/a.txt").c_str(), times, 0), 0);
    };
    putAt(L, "v1", 300000000);
    f.Put(L, "b.txt", "bee", T(0));
    f.SyncOnce();
    ASSERT_TRUE(f.InStep());
    struct Step {
        int side;
        const char* bytes;
        long nanoseconds; // after T(0), within its 2-second step
    };
    for (const Step& step : {Step{L, "v2", 1200000000}, Step{R, "v3", 1900000000}, Step{L, "v4", 1}}) {
        SCOPED_TRACE(step.bytes);
        putAt(step.side, step.bytes, step.nanoseconds);
        const TRun done = f.SyncOnce();
        EXPECT_EQ(done.Ops, 1);
        EXPECT_EQ(done.Code("a.txt"), saSame);
        EXPECT_EQ(f.Bytes(1 - step.side, "a.txt"), step.bytes);
        EXPECT_EQ(f.SyncOnce().Ops, 0);
        EXPECT_TRUE(f.InStep());
    }
}

// A save made on either side while the sync runs, to a file the run leaves
// alone, within the same two seconds and with the same size: only the finer
// time tells it. The new snapshots keep what the analysis saw of that file,
// so the next run carries the save over instead of taking it for settled.
TEST_F(MultiRun, SaveDuringTheSyncWithinTheSameTwoSecondsIsCarriedByTheNextRun) {
    const auto putAt = [this](int side, const std::string& bytes, long nanoseconds) {
        f.Put(side, "a.txt", bytes, T(0));
        const timespec at = {T(0) + nanoseconds / 1000000000, nanoseconds % 1000000000};
        const timespec times[2] = {at, at};
        ASSERT_EQ(utimensat(AT_FDCWD, (f.Root(side) + "/a.txt").c_str(), times, 0), 0);
    };
    putAt(L, "v1", 300000000);
    f.SyncOnce();
    ASSERT_TRUE(f.InStep());
    struct Step {
        int side;
        const char* bytes;
        long nanoseconds;
    };
    int round = 0;
    for (const Step& step : {Step{L, "v2", 1200000000}, Step{R, "v3", 1900000000}}) {
        SCOPED_TRACE(step.bytes);
        // Something else for the run to do, so that it writes new snapshots.
        f.Put(1 - step.side, "other" + std::to_string(++round) + ".txt", "other", T(1));
        const TRun during = f.SyncOnce({}, [&] { putAt(step.side, step.bytes, step.nanoseconds); });
        EXPECT_EQ(during.Ops, 1);
        const TRun next = f.SyncOnce();
        EXPECT_EQ(next.Ops, 1);
        EXPECT_EQ(next.Proposed.at("a.txt"), step.side == L ? saOverwriteLtoR : saOverwriteRtoL);
        EXPECT_EQ(f.Bytes(1 - step.side, "a.txt"), step.bytes);
        EXPECT_EQ(f.SyncOnce().Ops, 0);
        EXPECT_TRUE(f.InStep());
    }
}

namespace {

constexpr uid_t kNobody = 65534;

// A folder of another user's with mode 0700, as "lost+found" on a disk's root.
// Without root rights, a folder of one's own with mode 0 stands for it. With
// them, the test runs as "nobody" (the fixture's folders handed over first)
// and the folder is root's. Usable() is false where that cannot be arranged.
class TOtherUsersFolder {
public:
    explicit TOtherUsersFolder(TPairFolder& f) : root_(geteuid() == 0) {
        if (root_) {
            f.GiveTo(kNobody, kNobody);
            usable_ = Become(kNobody) && access(f.Root(L).c_str(), R_OK | W_OK | X_OK) == 0 &&
                      access(f.Root(R).c_str(), R_OK | W_OK | X_OK) == 0;
        }
    }
    ~TOtherUsersFolder() {
        if (root_) {
            Become(0);
        }
    }
    bool Usable() const { return usable_; }
    void Lock(const std::string& path) { Owned(path, false); }
    void Unlock(const std::string& path) { Owned(path, true); }
    // An edit its owner makes inside the folder.
    void AsOwner(const std::string& path, const std::function<void()>& edit) {
        if (root_) {
            Become(0);
        } else {
            chmod(path.c_str(), 0755);
        }
        edit();
        if (root_) {
            Become(kNobody);
        } else {
            chmod(path.c_str(), 0);
        }
    }

private:
    void Owned(const std::string& path, bool ours) {
        if (!root_) {
            chmod(path.c_str(), ours ? 0755 : 0);
            return;
        }
        Become(0);
        const uid_t owner = ours ? kNobody : 0;
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        chmod(path.c_str(), ours ? 0755 : 0700);
        Become(kNobody);
    }
    static bool Become(uid_t id) {
        if (id == 0) {
            return seteuid(0) == 0 && setegid(0) == 0;
        }
        return setegid(id) == 0 && seteuid(id) == 0;
    }
    bool root_;
    bool usable_ = true;
};

} // namespace

// A folder the program may not read, on the right: the run after the sync
// cannot scan it again, yet the pair stays in snapshot mode, so a deletion
// made meanwhile is carried out (not undone), an edit on both sides inside the
// folder becomes a conflict once it is readable again (neither edit lost), and
// the rerun then proposes nothing but that conflict.
TEST_F(MultiRun, UnreadableFolderLeavesTheHistoryIntact) {
    TOtherUsersFolder other(f);
    if (!other.Usable()) {
        GTEST_SKIP() << "the temporary folders cannot be handed to another user here";
    }
    Start({{"docs/a.txt", "a"}, {"docs/b.txt", "bee"}, {"x.txt", "ex"}, {"y.txt", "why"}});
    const std::string docs = f.Root(R) + "/docs";
    other.Lock(docs);
    f.Put(L, "x.txt", "ex, edited", T(1));
    TRun run = f.SyncOnce();
    EXPECT_TRUE(run.UsedSnapshots);
    EXPECT_EQ(run.Code("x.txt"), saSame);
    EXPECT_EQ(run.Code("docs/a.txt"), saDoNotCopy);
    EXPECT_TRUE(AnyLineHas(run, "Right folder could not be read completely after the sync (" + docs + "/)"));
    EXPECT_EQ(f.Snapshot(R).count("docs/a.txt"), 1u) << "the unread folder lost its entries";

    f.Remove(L, "y.txt");
    f.Remove(L, "docs/b.txt");
    f.Put(L, "docs/a.txt", "a, left edit", T(2));
    other.AsOwner(docs, [&] { f.Put(R, "docs/a.txt", "a, the right side's edit", T(3)); });
    run = f.SyncOnce();
    EXPECT_TRUE(run.UsedSnapshots);
    EXPECT_EQ(run.Code("y.txt"), saSame);
    EXPECT_FALSE(f.Has(L, "y.txt")) << "the deletion was undone";
    EXPECT_FALSE(f.Has(R, "y.txt"));

    other.Unlock(docs);
    run = f.SyncOnce();
    EXPECT_TRUE(run.UsedSnapshots);
    EXPECT_EQ(run.Proposals(), (std::map<std::string, int32_t>{{"docs/a.txt", saConflict}}));
    EXPECT_EQ(f.Bytes(L, "docs/a.txt"), "a, left edit");
    EXPECT_EQ(f.Bytes(R, "docs/a.txt"), "a, the right side's edit");
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{{"docs/a.txt", saConflict}}));

    f.SyncOnce({{"docs/a.txt", saOverwriteRtoL}}); // the user settles it
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
    EXPECT_EQ(f.Bytes(L, "x.txt"), "ex, edited");
    EXPECT_FALSE(f.Has(R, "docs/b.txt")) << "the deletion made while the folder was locked was undone";
}

// A folder the run was to write into that cannot be looked into when the new
// snapshots are made (its rights taken away after the analysis): the copies
// into it fail, it keeps what the last snapshots said there, what the run did
// elsewhere stays done, and once it can be read the next run proposes the
// copies again and then nothing.
TEST_F(MultiRun, FolderLockedDuringTheSyncKeepsItsHistory) {
    TOtherUsersFolder other(f);
    if (!other.Usable()) {
        GTEST_SKIP() << "the temporary folders cannot be handed to another user here";
    }
    Start({{"docs/a.txt", "a"}, {"x.txt", "ex"}});
    const std::string docs = f.Root(R) + "/docs";
    f.Put(L, "docs/a.txt", "a, edited", T(1));
    f.Put(L, "docs/n.txt", "new", T(1));
    f.Put(L, "x.txt", "ex, edited", T(1));
    TRun run = f.SyncOnce({}, [&] { other.Lock(docs); });
    EXPECT_EQ(run.Code("x.txt"), saSame);
    EXPECT_EQ(run.Code("docs/a.txt"), saError);
    EXPECT_EQ(run.Code("docs/n.txt"), saError);
    EXPECT_TRUE(AnyLineHas(run, "Right folder could not be read completely after the sync (" + docs + "/)"));
    EXPECT_EQ(f.Snapshot(R).count("docs/a.txt"), 1u) << "the locked folder lost its entries";

    other.Unlock(docs);
    run = f.SyncOnce();
    EXPECT_EQ(run.Ops, 2);
    EXPECT_EQ(run.Proposed.at("docs/a.txt"), saOverwriteLtoR);
    EXPECT_EQ(run.Proposed.at("docs/n.txt"), saCopyLtoR);
    EXPECT_EQ(f.Bytes(R, "docs/a.txt"), "a, edited");
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
    EXPECT_EQ(f.Bytes(R, "x.txt"), "ex, edited");
}

// Two folders already in step, one of them holding a folder the program may
// not read: the first run has nothing to do, yet it leaves a pair of
// snapshots, so a deletion made afterwards is carried out, not undone by a
// direct comparison.
TEST_F(MultiRun, AFirstRunWithNothingToDoBesideAnUnreadableFolderLeavesSnapshots) {
    TOtherUsersFolder other(f);
    if (!other.Usable()) {
        GTEST_SKIP() << "the temporary folders cannot be handed to another user here";
    }
    for (const int side : {L, R}) {
        f.Put(side, "a.txt", "alpha", T(0));
        f.Put(side, "b.txt", "bee", T(0));
    }
    f.Put(L, "lost+found/x", "ex", T(0));
    other.Lock(f.Root(L) + "/lost+found");
    TRun run = f.SyncOnce();
    EXPECT_FALSE(run.UsedSnapshots);
    EXPECT_EQ(run.Ops, 0);

    f.Remove(L, "a.txt");
    run = f.SyncOnce();
    EXPECT_TRUE(run.UsedSnapshots);
    EXPECT_FALSE(f.Has(L, "a.txt")) << "the deletion was undone";
    EXPECT_FALSE(f.Has(R, "a.txt"));
    EXPECT_EQ(f.SyncOnce().Ops, 0);
    other.Unlock(f.Root(L) + "/lost+found");
}

// The data folder (run stamp, snapshots kept here, run lock) cannot be
// written: the sync does not start and says why, in the log and the error log;
// once it can be written again, the pair goes on where it was.
TEST_F(MultiRun, DataFolderThatCannotBeWrittenStopsTheSync) {
    Start({{"a.txt", "one"}});
    f.Put(L, "a.txt", "two", T(1));
    {
        testsupport::WriteFile(f.Other(L) + "/file", "a file, not a folder");
        testsupport::ScopedEnv data("XDG_DATA_HOME", f.Other(L) + "/file/data");
        const TRun run = f.SyncOnce();
        EXPECT_EQ(run.Ops, 0);
        EXPECT_TRUE(AnyLineHas(run, "Sync not started: the folder " + f.Other(L) + "/file/data/"));
        EXPECT_EQ(f.Bytes(R, "a.txt"), "one");
        EXPECT_NE(testsupport::ReadFile(GetProgramFolder() + "ErrorInfo.txt").find("cannot be written"),
                  std::string::npos);
    }
    const TRun run = f.SyncOnce();
    EXPECT_TRUE(run.UsedSnapshots);
    EXPECT_EQ(run.Code("a.txt"), saSame);
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
}

// Without snapshots (never synchronised, or lost) an unattended two-way run
// cannot tell which side changed a file that differs: it stays a conflict, over
// the following runs too, also when one version is deleted meanwhile, until a
// person settles it. With the policy "newer file wins" the newer one is copied.
TEST_F(MultiRun, WithoutSnapshotsAnUnattendedRunOverwritesNothing) {
    f.Put(L, "a.txt", "left, newer", T(2));
    f.Put(R, "a.txt", "right, older", T(1));
    f.Put(L, "b.txt", "bee", T(1));
    TRun run = f.SyncOnce();
    EXPECT_FALSE(run.UsedSnapshots);
    EXPECT_EQ(run.Code("a.txt"), saConflict);
    EXPECT_EQ(f.Bytes(R, "a.txt"), "right, older");
    EXPECT_EQ(f.Bytes(R, "b.txt"), "bee");

    run = f.SyncOnce();
    EXPECT_TRUE(run.UsedSnapshots);
    EXPECT_EQ(run.Proposals(), (std::map<std::string, int32_t>{{"a.txt", saConflict}}));
    f.Remove(R, "a.txt");
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{{"a.txt", saConflict}}));
    EXPECT_EQ(f.Bytes(L, "a.txt"), "left, newer");

    f.SyncOnce({{"a.txt", saOverwriteLtoR}}); // the user settles it
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
}

TEST_F(MultiRun, WithoutSnapshotsTheNewerFileWinsWhenThePolicySaysSo) {
    f.Task().Conflicts = cfNewerFileWins;
    f.Put(L, "a.txt", "left, newer", T(2));
    f.Put(R, "a.txt", "right, older", T(1));
    EXPECT_EQ(f.SyncOnce().Code("a.txt"), saSame);
    EXPECT_EQ(f.Bytes(R, "a.txt"), "left, newer");
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
}

// An edit made in a run in another time zone than the last sync's (cron and a
// desktop session) is carried over: the untouched twin of the edited file
// reads as unchanged there, not as a change of its own.
TEST_F(MultiRun, AnEditMadeInAnotherZoneIsNoConflict) {
    Start({{"a.txt", "alpha"}, {"b.txt", "bee"}});
    for (const std::string zone : {"JST-9", "UTC0", "NZST-12NZDT,M9.5.0,M4.1.0/3"}) {
        SCOPED_TRACE(zone);
        testsupport::ScopedEnv tz("TZ", zone);
        f.Put(L, "a.txt", "alpha in " + zone, T(1));
        f.Put(R, "b.txt", "bee in " + zone, T(2));
        const TRun run = f.SyncOnce();
        EXPECT_EQ(run.Proposed.at("a.txt"), saOverwriteLtoR);
        EXPECT_EQ(run.Proposed.at("b.txt"), saOverwriteRtoL);
        EXPECT_TRUE(f.InStep());
        EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    }
}

// What a run in another zone leaves unsettled (a skipped row, a deletion held
// back while deletions are off, a folder it could not read) is proposed the
// same way by the runs after it in that zone: the entries the new snapshots
// keep from the old ones read in the new zone, so no untouched file reads as
// changed, nothing turns into a conflict, and each item settles once allowed.
TEST_F(MultiRun, WhatARunInAnotherZoneLeavesUnsettledStaysAsItWas) {
    TOtherUsersFolder other(f);
    if (!other.Usable()) {
        GTEST_SKIP() << "the temporary folders cannot be handed to another user here";
    }
    std::optional<testsupport::ScopedEnv> tz;
    tz.emplace("TZ", std::string("UTC0"));
    Start({{"skip.txt", "skip"}, {"gone.txt", "gone"}, {"docs/a.txt", "a"}, {"docs/b.txt", "bee"}});
    const std::string docs = f.Root(R) + "/docs";
    f.Task().IsDeleteFile = 0;
    f.Put(L, "skip.txt", "skip, left edit", T(1));
    f.Remove(L, "gone.txt");
    f.Put(L, "docs/a.txt", "a, left edit", T(2));
    other.Lock(docs);
    tz.emplace("TZ", std::string("JST-9"));
    TRun run = f.SyncOnce({{"skip.txt", saDoNotCopy}});
    const std::map<std::string, int32_t> held = {{"skip.txt", saOverwriteLtoR},
                                                 {"gone.txt", run.Proposed.at("gone.txt")}};
    EXPECT_EQ(run.Proposed.at("skip.txt"), saOverwriteLtoR);
    EXPECT_EQ(f.Bytes(R, "skip.txt"), "skip");
    EXPECT_TRUE(f.Has(R, "gone.txt"));

    other.Unlock(docs);
    for (int again = 0; again < 2; ++again) {
        SCOPED_TRACE(again);
        run = f.SyncOnce({{"skip.txt", saDoNotCopy}});
        std::map<std::string, int32_t> expected = held;
        if (again == 0) {
            expected["docs/a.txt"] = saOverwriteLtoR; // not copied while the folder was locked
        }
        EXPECT_EQ(Asked(run), expected);
        EXPECT_FALSE(f.Has(L, "gone.txt")) << "the held-back deletion was undone";
        EXPECT_EQ(f.Bytes(R, "docs/a.txt"), "a, left edit");
        EXPECT_EQ(f.Bytes(L, "docs/b.txt"), "bee");
    }

    tz.emplace("TZ", std::string("NZST-12NZDT,M9.5.0,M4.1.0/3"));
    f.Task().IsDeleteFile = 1;
    run = f.SyncOnce();
    EXPECT_EQ(Asked(run),
              (std::map<std::string, int32_t>{{"skip.txt", saOverwriteLtoR}, {"gone.txt", saDeleteRight}}));
    EXPECT_EQ(f.Bytes(R, "skip.txt"), "skip, left edit");
    EXPECT_FALSE(f.Has(R, "gone.txt"));
    EXPECT_EQ(f.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    EXPECT_TRUE(f.InStep());
}

// Files both sides made or changed since the last sync with one size but
// different times: their bytes decide. The same bytes are settled for good;
// other bytes stay a conflict, and nothing is lost.
TEST_F(MultiRun, ContentsSettleWhatTimesCannot) {
    f.Unattended = false;
    Start({{"changed.txt", "old"}, {"other.txt", "old"}});
    f.Put(L, "new.txt", "made on both sides", T(1));
    f.Put(R, "new.txt", "made on both sides", T(2));
    f.Put(L, "changed.txt", "edited alike", T(3));
    f.Put(R, "changed.txt", "edited alike", T(4));
    f.Put(L, "other.txt", "left bytes", T(5));
    f.Put(R, "other.txt", "right byte", T(6)); // one size, other bytes
    TRun run = f.SyncOnce();
    EXPECT_EQ(run.Proposals(), (std::map<std::string, int32_t>{{"other.txt", saConflict}}));
    EXPECT_EQ(run.Ops, 0);
    // The snapshots learnt each side's own time of the settled files.
    EXPECT_EQ(f.Snapshot(R).at("new.txt").Dos, DosOf(T(2)));
    EXPECT_EQ(f.Snapshot(L).at("changed.txt").Dos, DosOf(T(3)));
    for (int rerun = 0; rerun < 2; ++rerun) {
        run = f.SyncOnce();
        EXPECT_EQ(run.Proposals(), (std::map<std::string, int32_t>{{"other.txt", saConflict}}));
    }
    EXPECT_EQ(f.Bytes(L, "other.txt") + "|" + f.Bytes(R, "other.txt"), "left bytes|right byte");
    f.Put(R, "new.txt", "edited on the right later", T(7));
    f.SyncOnce();
    EXPECT_EQ(f.Bytes(L, "new.txt"), "edited on the right later");
}

// A source that replaced an item by one of the other kind, where the target
// keeps the old item (a one-way task deletes nothing there; a both-ways task
// may be told to keep deletions): the copy could never land, so it waits as a
// conflict instead of failing at every run, and both items stay.
TEST_F(MultiRun, AnItemTheTargetKeepsInTheWayOfAnotherKindIsAConflict) {
    struct Row {
        const char* name;
        int32_t direction;
        int32_t deletions;
        bool toFile; // the source replaced a folder by a file (else the reverse)
    };
    const Row rows[] = {
        {"one way, folder to file", sdLeftToRight, 1, true},
        {"one way, file to folder", sdLeftToRight, 1, false},
        {"both ways without deletions", sdBothWays, 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPairFolder p;
        p.Task().SyncDirection = row.direction;
        p.Task().IsDeleteFile = row.deletions;
        row.toFile ? p.Put(L, "x/one.txt", "one", T(0)) : p.Put(L, "x", "a file", T(0));
        p.SyncOnce();
        ASSERT_TRUE(p.InStep());
        p.Remove(L, "x");
        row.toFile ? p.Put(L, "x", "now a file", T(1)) : p.Put(L, "x/inner.txt", "now a folder", T(1));
        for (int run = 0; run < 3; ++run) {
            const TRun done = p.SyncOnce();
            EXPECT_FALSE(AnyLineHas(done, "Error")) << "run " << run;
            EXPECT_EQ(done.Ops, 0);
        }
        EXPECT_EQ(row.toFile ? p.Bytes(L, "x") : p.Bytes(L, "x/inner.txt"),
                  row.toFile ? "now a file" : "now a folder");
        EXPECT_EQ(row.toFile ? p.Bytes(R, "x/one.txt") : p.Bytes(R, "x"), row.toFile ? "one" : "a file");
    }
}

// A file renamed with only its letter case changed and edited at once, where
// the old name's deletion is held back: on a local target that tells case
// apart the new name arrives beside the old one, which stays as the last run
// left it, and the runs after that propose nothing.
TEST_F(MultiRun, ACaseOnlyRenameWithAnEditWhereDeletionsWaitSettles) {
    struct Row {
        const char* name;
        int32_t direction;
        int32_t forced;
    };
    const Row rows[] = {
        {"both ways without deletions", sdBothWays, fvForcedCopy},
        {"one way", sdLeftToRight, fvForcedCopy},
        {"one way that verifies", sdLeftToRight, fvVerified},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPairFolder p;
        p.Task().SyncDirection = row.direction;
        p.Task().ForcedOrVerified = row.forced;
        p.Task().IsDeleteFile = 0;
        p.Put(L, "report.txt", "quarterly", T(0));
        p.SyncOnce();
        p.Rename(L, "report.txt", "Report.txt");
        p.Put(L, "Report.txt", "quarterly, edited", T(1));
        const TRun renamed = p.SyncOnce();
        EXPECT_FALSE(AnyLineHas(renamed, "Error")) << ::testing::PrintToString(renamed.Lines);
        EXPECT_EQ(p.Bytes(R, "Report.txt"), "quarterly, edited");
        EXPECT_EQ(p.Bytes(R, "report.txt"), "quarterly");
        for (int run = 0; run < 2; ++run) {
            const TRun again = p.SyncOnce();
            EXPECT_EQ(again.Ops, 0) << "run " << run;
            EXPECT_FALSE(AnyLineHas(again, "Error"));
        }
        EXPECT_EQ(p.Bytes(L, "Report.txt"), "quarterly, edited");
        EXPECT_FALSE(p.Has(L, "report.txt")); // the held-back deletion does not come back
    }
}

// A run with nothing to do costs nothing beyond its analysis: the pair of
// snapshots and the run stamp stay the very files they were (no rewrite, not
// even of the same text), wherever the task keeps them, and the runs after it
// still compare against that pair and carry every edit over.
TEST_F(MultiRun, ARunWithNothingToDoLeavesTheSnapshotFilesAsTheyAre) {
    struct Case {
        const char* name;
        int32_t estimateDiskSpace; // 1: both snapshots in this computer's data folder
    };
    for (const Case& c : {Case{"in the work folders", 0}, Case{"on this computer", 1}}) {
        SCOPED_TRACE(c.name);
        TPairFolder g;
        g.Task().EstimateDiskSpace = c.estimateDiskSpace;
        g.Put(L, "a.txt", "aaa", T(0));
        g.Put(R, "b/c.txt", "ccc", T(1));
        g.SyncOnce();
        ASSERT_TRUE(g.InStep());
        const bool local = c.estimateDiskSpace == 1;
        const std::vector<std::string> files = {
            local ? g.Task().LocalSnapshotPath(L) : g.Root(L) + "/" + WorkFolderName + "/" + g.Task().SyncID,
            local ? g.Task().LocalSnapshotPath(R) : g.Root(R) + "/" + WorkFolderName + "/" + g.Task().SyncID,
            g.Task().RunStampPath()};
        auto identity = [&files] {
            std::vector<std::pair<ino_t, int64_t>> ids;
            for (const std::string& file : files) {
                struct stat st {};
                EXPECT_EQ(stat(file.c_str(), &st), 0) << file;
                ids.emplace_back(st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
            }
            return ids;
        };
        const auto before = identity();
        for (int rerun = 0; rerun < 2; ++rerun) {
            const TRun run = g.SyncOnce();
            EXPECT_TRUE(run.UsedSnapshots);
            EXPECT_EQ(run.Ops, 0);
            EXPECT_EQ(run.Proposals(), (std::map<std::string, int32_t>{}));
            EXPECT_EQ(identity(), before);
        }
        g.Put(R, "a.txt", "edited on the right", T(2));
        g.Remove(L, "b/c.txt");
        const TRun edits = g.SyncOnce();
        EXPECT_TRUE(edits.UsedSnapshots);
        EXPECT_EQ(edits.Ops, 2);
        EXPECT_EQ(g.Bytes(L, "a.txt"), "edited on the right");
        EXPECT_FALSE(g.Has(R, "b/c.txt"));
        EXPECT_TRUE(g.InStep());
        EXPECT_EQ(g.SyncOnce().Proposals(), (std::map<std::string, int32_t>{}));
    }
}
