#pragma once
// The runs every server kind goes through: a local folder on the left and a
// test's scratch folder on a server on the right, run the way a task window runs
// them, checked on the folder the server keeps on disk and by a second analysis
// that proposes nothing.

#include "engine/SyncTestSupport.h"
#include "platform/FileSystem.h"
#include "remote/RemoteTestSupport.h"

#include <algorithm>

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

    // What a killed run of this task left on the server goes with the next run's
    // first write into its folder, with a line in the log; names that merely
    // look like part files (another version's, another task's) are the user's
    // files, kept in step both ways.
    void PartFilesGoByTheirTask() {
        const std::string stale = fs::PartFileName("a.txt", task.SyncID);
        const std::string staleDownload = fs::PartFileName(".report.Tandemora-99999-1.part", task.SyncID);
        const std::string serverLookAlike = ".report.Tandemora-99999-1.part";
        const std::string localLookAlike = fs::PartFileName("notes.txt", "Mail9");
        ServerPut(stale, "half an upload", kOld);
        Put(L, staleDownload, "half a download", kOld);
        ServerPut(serverLookAlike, "the user's own", kOld);
        Put(L, localLookAlike, "another task's file", kOld);
        Put(L, "a.txt", "alpha", kOld);
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
        EXPECT_EQ(Read(S, "a.txt"), "alpha");
        EXPECT_EQ(Read(L, serverLookAlike), "the user's own");
        EXPECT_EQ(Read(S, localLookAlike), "another task's file");

        Put(L, serverLookAlike, "edited on the left", kNewer);
        AnalyzeAndSync();
        EXPECT_EQ(Read(S, serverLookAlike), "edited on the left");
        std::filesystem::remove(S + "/" + localLookAlike);
        AnalyzeAndSync();
        EXPECT_FALSE(Has(L, localLookAlike));
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    std::string S; // the server folder on this machine
};

} // namespace remotetest
