#pragma once
// The runs every server kind goes through: a local folder on the left and a
// test's scratch folder on a server on the right, run the way a task window runs
// them, checked on the folder the server keeps on disk and by a second analysis
// that proposes nothing.

#include "engine/SyncTestSupport.h"
#include "platform/FileSystem.h"
#include "remote/RemoteTestSupport.h"

#include <algorithm>
#include <optional>

namespace remotetest {

using namespace tandemora;

using synctest::kNewer;
using synctest::kOld;

class RemoteSyncTest : public synctest::SyncFixture {
protected:
    // What a server kind provides besides task.RFolder and S: a file put on the
    // server as its user would have left it, and a folder closed to that user.
    virtual void ServerPut(const std::string& rel, const std::string& bytes, time_t when) = 0;
    virtual void Lock(const std::string& rel, bool locked) = 0;
    // An empty folder made on the server by another client, levels on the way too.
    virtual void ServerMkdir(const std::string& rel) { std::filesystem::create_directories(S + "/" + rel); }

    // What a run replaces of the task's bookkeeping (both snapshot files and the
    // run stamp), by path; absent files as nullopt.
    using TBookkeeping = std::map<std::string, std::optional<std::string>>;
    TBookkeeping Bookkeeping() const {
        TBookkeeping files;
        for (const std::string& path : {WorkSnapshot(L), WorkSnapshot(S), task.RunStampPath()}) {
            files[path] = testsupport::Exists(path) ? std::optional<std::string>(testsupport::ReadFile(path))
                                                    : std::nullopt;
        }
        return files;
    }
    // A run killed after its copies and before it wrote the snapshots leaves
    // the bookkeeping of the run before it. Written in place, so a server's
    // file keeps its owner.
    static void KilledBeforeSnapshots(const TBookkeeping& before) {
        for (const auto& [path, bytes] : before) {
            if (bytes) {
                std::ofstream(path, std::ios::binary | std::ios::trunc) << *bytes;
            } else {
                std::filesystem::remove(path);
            }
        }
    }

    // Both ways in the first run, the names given included (the server's under
    // "from server/"); then a change and a deletion on each side, replaced files
    // going through a temporary name and keeping their old version.
    void KeepInStep(const std::vector<std::string>& names) {
        std::string big(3 * 1024 * 1024, 'x');
        for (size_t i = 0; i < big.size(); i += 4093) {
            big[i] = static_cast<char>(i & 0x7F); // chunks out of place show
        }
        Put(L, "a.txt", "alpha", kOld);
        Put(L, "sub dir/b c.txt", "bee", kOld);
        Put(L, "big/up.bin", big, kOld);
        std::filesystem::create_directories(L + "/empty");
        ServerPut("r.txt", "from the server", kOld);
        ServerPut("sub dir/srv.txt", "server side", kOld);
        ServerPut("big/down.bin", big, kOld);
        for (const std::string& name : names) {
            Put(L, name, name, kOld);
            ServerPut("from server/" + name, name, kOld);
        }
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Read(S, "a.txt") + Read(S, "sub dir/b c.txt"), "alphabee");
        EXPECT_EQ(Read(L, "r.txt") + Read(L, "sub dir/srv.txt"), "from the serverserver side");
        EXPECT_EQ(Read(S, "big/up.bin"), big);
        EXPECT_EQ(Read(L, "big/down.bin"), big);
        EXPECT_TRUE(std::filesystem::is_directory(S + "/empty"));
        for (const std::string& name : names) {
            EXPECT_EQ(Read(S, name), name);
            EXPECT_EQ(Read(L, "from server/" + name), name);
        }
        EXPECT_TRUE(Has(S, "__Tandemora__/" + task.SyncID)); // the server side's snapshot
        Analyze();
        EXPECT_TRUE(analysis->UsedSnapshots);
        EXPECT_EQ(Changes(), 0);

        task.UseTempFile = 1;
        task.SaveOldFile = 1;
        std::filesystem::remove(L + "/a.txt");
        Put(L, "sub dir/b c.txt", "changed on the left", kNewer);
        std::filesystem::remove(S + "/r.txt");
        // Within the minute (or the day) that a listing without MLSD shows.
        ServerPut("sub dir/srv.txt", "changed on the server", kOld + 60);
        Analyze();
        EXPECT_EQ(Code("/a.txt"), saDeleteRight);
        EXPECT_EQ(Code("/sub dir/b c.txt"), saOverwriteLtoR);
        EXPECT_EQ(Code("/r.txt"), saDeleteLeft);
        EXPECT_EQ(Code("/sub dir/srv.txt"), saOverwriteRtoL);
        Sync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_FALSE(Has(S, "a.txt"));
        EXPECT_FALSE(Has(L, "r.txt"));
        EXPECT_EQ(Read(S, "sub dir/b c.txt"), "changed on the left");
        EXPECT_EQ(Read(S, "__Tandemora__/__saved__/sub dir/b c.txt"), "bee");
        EXPECT_EQ(Read(L, "sub dir/srv.txt"), "changed on the server");
        EXPECT_EQ(Leftovers(S), std::vector<std::string>{});
        EXPECT_EQ(Leftovers(L), std::vector<std::string>{});
        EXPECT_EQ(Names(cache / "Tandemora/staging"), std::vector<std::string>{}); // nothing staged stays
        Analyze();
        EXPECT_EQ(Changes(), 0);
        EXPECT_EQ(result->ConflictFlag, 0);
    }

    // A server folder that cannot be listed is not taken for an empty one: the
    // local copies of what it holds are neither deleted nor overwritten.
    void UnreadServerFolderLosesNothing() {
        Put(L, "keep/one.txt", "one", kOld);
        Put(L, "top.txt", "top", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(Read(S, "keep/one.txt"), "one");
        Lock("keep", true);
        std::filesystem::remove(L + "/top.txt");
        Analyze();
        EXPECT_FALSE(rightScan->ScanComplete());
        for (int32_t code : {saDeleteLeft, saCopyLtoR, saOverwriteLtoR}) {
            EXPECT_NE(Code("/keep/one.txt"), code);
        }
        EXPECT_EQ(Code("/top.txt"), saDeleteRight);
        Sync();
        Lock("keep", false);
        EXPECT_EQ(Read(L, "keep/one.txt"), "one");
        EXPECT_EQ(Read(S, "keep/one.txt"), "one");
        EXPECT_FALSE(Has(S, "top.txt"));
    }

    // A run killed after copying some new files leaves each of them new on
    // both sides (the server's copy with the time of its upload). Their bytes
    // settle them; a file another client rewrote with other bytes of the same
    // size stays a conflict, and later edits travel again.
    void AKilledRunLeavesNoConflicts() {
        Put(L, "base.txt", "base", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(ErrorLines(lines), std::vector<std::string>{});
        for (const std::string name : {"n1.txt", "n2.txt", "n3.txt", "n4.txt"}) {
            Put(L, name, "new " + name, synctest::kNew);
        }
        const TBookkeeping before = Bookkeeping();
        task.ExcludeFilter = {"^n[34]"}; // the kill came after two copies
        AnalyzeAndSync();
        task.ExcludeFilter.clear();
        KilledBeforeSnapshots(before);
        ASSERT_EQ(Read(S, "n1.txt") + Read(S, "n2.txt"), "new n1.txtnew n2.txt");
        ServerPut("n2.txt", "NEW N2.TXT", kNewer); // same size, other bytes
        SetTime(S + "/n1.txt", kNewer + 120);      // touched there: the same bytes, another time

        Analyze(vkAll);
        EXPECT_EQ(analysis->SameContent->Compared(), 2); // n1 and n2: both read through
        EXPECT_EQ(Code("/n1.txt"), saSame);
        EXPECT_EQ(Code("/n2.txt"), saConflict);
        EXPECT_EQ(Code("/n3.txt"), saCopyLtoR);
        EXPECT_EQ(Code("/n4.txt"), saCopyLtoR);
        Sync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        Analyze(vkAll);
        EXPECT_EQ(Changes(), 0);
        EXPECT_EQ(Code("/n2.txt"), saConflict);
        // The conflict left is known to differ: not read again while both
        // sides stay as they were, read again once either side changes.
        EXPECT_EQ(analysis->SameContent->Compared(), 0);
        ServerPut("n2.txt", "NEW N2.TXU", kNewer + 120);
        Analyze(vkAll);
        EXPECT_EQ(analysis->SameContent->Compared(), 1);
        EXPECT_EQ(Code("/n2.txt"), saConflict);
        Analyze(vkAll);
        EXPECT_EQ(analysis->SameContent->Compared(), 0);
        EXPECT_EQ(Code("/n2.txt"), saConflict);

        Put(L, "n1.txt", "n1 edited later", kNewer);
        Analyze();
        EXPECT_EQ(Code("/n1.txt"), saOverwriteLtoR);
        Sync();
        EXPECT_EQ(Read(S, "n1.txt"), "n1 edited later");
        EXPECT_EQ(Read(L, "n2.txt") + "|" + Read(S, "n2.txt"), "new n2.txt|NEW N2.TXU"); // nothing lost
        EXPECT_EQ(Read(S, "n4.txt"), "new n4.txt");
        Analyze();
        EXPECT_EQ(Changes(), 0);
        EXPECT_EQ(Names(cache / "Tandemora/staging"), std::vector<std::string>{});
    }

    // An empty folder another client made on the server arrives whole, and goes
    // when it goes there.
    void AnEmptyServerFolderArrivesWhole() {
        Put(L, "top.txt", "top", kOld);
        AnalyzeAndSync();
        ServerMkdir("sub/inner");
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_TRUE(std::filesystem::is_directory(L + "/sub/inner"));
        EXPECT_EQ(Names(L), (std::vector<std::string>{"__Tandemora__", "sub", "top.txt"}));
        Analyze();
        EXPECT_EQ(Changes(), 0);
        std::filesystem::remove_all(S + "/sub");
        AnalyzeAndSync();
        EXPECT_FALSE(Has(L, "sub"));
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    // A local file that was read-only when it went to the server goes when
    // another client deletes it there, at the first run and for good.
    void AReadOnlyFileFollowsItsTwinDeletedOnTheServer() {
        Put(L, "ro.txt", "read only", kOld);
        chmod((L + "/ro.txt").c_str(), 0444);
        Put(L, "keep.txt", "kept", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(Read(S, "ro.txt"), "read only");
        std::filesystem::remove(S + "/ro.txt");
        Analyze();
        EXPECT_EQ(Code("/ro.txt"), saDeleteLeft);
        Sync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_FALSE(Has(L, "ro.txt"));
        EXPECT_EQ(Read(L, "keep.txt") + Read(S, "keep.txt"), "keptkept");
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    // A one-way task whose source replaced a folder by a file: the target keeps
    // its folder (a one-way task deletes nothing), the file waits as a conflict
    // instead of failing at every run, and nothing is lost.
    void AOneWaySourceThatReplacedAFolderByAFileFailsNoMore() {
        task.SyncDirection = sdLeftToRight;
        Put(L, "x/one.txt", "one", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(Read(S, "x/one.txt"), "one");
        std::filesystem::remove_all(L + "/x");
        Put(L, "x", "now a file", kNewer);
        for (int run = 0; run < 3; ++run) {
            AnalyzeAndSync();
            EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{}) << "run " << run;
            EXPECT_EQ(Changes(), 0);
        }
        EXPECT_EQ(Read(L, "x"), "now a file");
        EXPECT_EQ(Read(S, "x/one.txt"), "one");
    }

    // "report.txt" renamed to "Report.txt" on the left ends as "Report.txt"
    // alone on the server, whether the server tells case apart or not; then a
    // rename and an edit at once, twice (where deletions wait, the server's file
    // of the old name is the one the last run left, and gives way all the same).
    void ACaseOnlyRenameEndsUnderTheNewName() {
        Put(L, "report.txt", "quarterly", kOld);
        AnalyzeAndSync();
        std::filesystem::rename(L + "/report.txt", L + "/Report.txt");
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Names(S), (std::vector<std::string>{"Report.txt", "__Tandemora__"}));
        EXPECT_EQ(Read(S, "Report.txt"), "quarterly");
        Analyze();
        EXPECT_EQ(Changes(), 0);
        Put(L, "Report.txt", "quarterly, second", kNewer);
        AnalyzeAndSync();
        EXPECT_EQ(Read(S, "Report.txt"), "quarterly, second");
        Analyze();
        EXPECT_EQ(Changes(), 0);
        // Renamed and edited at once: the new bytes under the new name.
        std::filesystem::rename(L + "/Report.txt", L + "/REPORT.txt");
        Put(L, "REPORT.txt", "quarterly, third one", kNewer + 600);
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Names(S), (std::vector<std::string>{"REPORT.txt", "__Tandemora__"}));
        EXPECT_EQ(Read(S, "REPORT.txt"), "quarterly, third one");
        Analyze();
        EXPECT_EQ(Changes(), 0);
        // Again, to the same size: only the time tells the edit.
        std::filesystem::rename(L + "/REPORT.txt", L + "/report.TXT");
        Put(L, "report.TXT", "QUARTERLY, third one", kNewer + 1200);
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Names(S), (std::vector<std::string>{"__Tandemora__", "report.TXT"}));
        EXPECT_EQ(Read(S, "report.TXT"), "QUARTERLY, third one");
        EXPECT_EQ(Read(L, "report.TXT"), "QUARTERLY, third one");
        EXPECT_EQ(Leftovers(S), std::vector<std::string>{});
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    // A folder renamed on the left with only its letter case changed ends under
    // the new name on the server with everything it held, over three runs: the
    // rename alone, then a second rename with an edit, a new file and a file
    // deleted inside, then a rerun that proposes nothing.
    // With DeletionsWait (deletions off, a one-way task) the file deleted
    // inside stays on the server.
    void ACaseOnlyFolderRenameEndsUnderTheNewName(bool DeletionsWait = false) {
        Put(L, "Docs/a.txt", "alpha", kOld);
        Put(L, "Docs/inner/b.txt", "bee", kOld);
        Put(L, "Docs/gone.txt", "to delete", kOld);
        AnalyzeAndSync();
        ASSERT_EQ(Read(S, "Docs/inner/b.txt"), "bee");
        std::filesystem::rename(L + "/Docs", L + "/docs");
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Names(S), (std::vector<std::string>{"__Tandemora__", "docs"}));
        EXPECT_EQ(Read(S, "docs/a.txt") + Read(S, "docs/inner/b.txt") + Read(S, "docs/gone.txt"),
                  "alphabeeto delete");
        Analyze();
        EXPECT_EQ(Changes(), 0);

        std::filesystem::rename(L + "/docs", L + "/DOCS");
        const std::string a = "alpha, edited";
        Put(L, "DOCS/a.txt", a, kNewer);
        Put(L, "DOCS/inner/c.txt", "new", kNewer);
        std::filesystem::remove(L + "/DOCS/gone.txt");
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Names(S), (std::vector<std::string>{"DOCS", "__Tandemora__"}));
        const std::vector<std::string> inside = DeletionsWait
                                                    ? std::vector<std::string>{"a.txt", "gone.txt", "inner"}
                                                    : std::vector<std::string>{"a.txt", "inner"};
        EXPECT_EQ(Names(S + "/DOCS"), inside);
        EXPECT_EQ(Read(S, "DOCS/a.txt") + Read(S, "DOCS/inner/b.txt") + Read(S, "DOCS/inner/c.txt"),
                  a + "beenew");
        EXPECT_EQ(Leftovers(S), std::vector<std::string>{});
        Analyze();
        if (DeletionsWait && task.SyncDirection != sdLeftToRight) {
            // The file whose deletion waited now stands in a folder of a name
            // the left never held: it comes back there, nothing is lost.
            EXPECT_EQ(Changes(), 1);
            EXPECT_EQ(Code("/DOCS/gone.txt"), saCopyRtoL);
        } else {
            EXPECT_EQ(Changes(), 0);
        }
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Read(L, "DOCS/a.txt") + Read(L, "DOCS/inner/b.txt"), a + "bee");
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    // Names close to the 255 bytes a name may hold go both ways and their edits
    // follow, however long the names of the temporary files on their way would
    // be: one of letters, one that a server might store under another name
    // (so an FTP upload tries it under a stand-in first; Odd, one that this
    // server kind can hold), one of two-byte characters made on the server
    // (WideChars of them: a server that writes an upload under a longer name
    // of its own first cannot take every name from another client either).
    void LongNamesTravel(const std::string& Odd = "odd: ", int WideChars = 123) {
        const std::string plain = std::string(246, 'a') + ".txt";
        const std::string odd = Odd + std::string(246 - Odd.size(), 'b') + ".txt";
        std::string wide;
        for (int i = 0; i < WideChars; ++i) {
            wide += "\xc3\xbc";
        }
        wide += ".txt";
        ASSERT_EQ(plain.size() + odd.size(), 500u);
        Put(L, plain, "plain", kOld);
        Put(L, odd, "odd", kOld);
        ServerPut(wide, "wide", kOld);
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Read(S, plain) + Read(S, odd) + Read(L, wide), "plainoddwide");
        Analyze();
        EXPECT_EQ(Changes(), 0);
        Put(L, odd, "odd, edited", kNewer);
        ServerPut(wide, "wide, edited there", kNewer);
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Read(S, odd) + "|" + Read(L, wide), "odd, edited|wide, edited there");
        EXPECT_EQ(Names(S), (std::vector<std::string>{"__Tandemora__", plain, odd, wide}));
        EXPECT_EQ(Leftovers(S), std::vector<std::string>{});
        EXPECT_EQ(Leftovers(L), std::vector<std::string>{});
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    // What a killed run of this task left on the server goes with the next run's
    // first write into its folder, with a line in the log. With lookAlikes, names
    // that merely look like part files (another version's, another task's) are
    // the user's files, kept in step both ways (one remote kind is enough: the
    // rule is the name's, the same for every endpoint).
    void PartFilesGoByTheirTask(bool lookAlikes) {
        const std::string stale = fs::PartFileName("a.txt", task.SyncID);
        const std::string staleDownload = fs::PartFileName("b.txt", task.SyncID);
        const std::string serverLookAlike = ".report.Tandemora-99999-1.part";
        const std::string localLookAlike = fs::PartFileName("notes.txt", "Mail9");
        ServerPut(stale, "half an upload", kOld);
        Put(L, staleDownload, "half a download", kOld);
        if (lookAlikes) {
            ServerPut(serverLookAlike, "the user's own", kOld);
            Put(L, localLookAlike, "another task's file", kOld);
        }
        Put(L, "a.txt", "alpha", kOld);
        ServerPut("b.txt", "bravo", kOld);
        AnalyzeAndSync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        const std::string said = "Removed the part file of an earlier run of this task: ";
        for (const std::string& part : {stale, staleDownload}) {
            EXPECT_FALSE(Has(S, part));
            EXPECT_FALSE(Has(L, part));
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& line) {
                                        return line.rfind(said, 0) == 0 &&
                                               line.compare(line.size() - part.size(), part.size(), part) ==
                                                   0;
                                    }),
                      1)
                << ::testing::PrintToString(lines);
        }
        EXPECT_EQ(Read(S, "a.txt") + Read(L, "b.txt"), "alphabravo");
        if (lookAlikes) {
            EXPECT_EQ(Read(L, serverLookAlike), "the user's own");
            EXPECT_EQ(Read(S, localLookAlike), "another task's file");
            Put(L, serverLookAlike, "edited on the left", kNewer);
            AnalyzeAndSync();
            EXPECT_EQ(Read(S, serverLookAlike), "edited on the left");
            std::filesystem::remove(S + "/" + localLookAlike);
            AnalyzeAndSync();
            EXPECT_FALSE(Has(L, localLookAlike));
        }
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    std::string S; // the server folder on this machine
};

} // namespace remotetest
