// What real FTP servers do with times and names over many runs: listings in a
// zone of their own, to the minute or only to the day, uploads that keep their
// source's time, names a server would store under another one, and folders
// that are a run's first operation. Pure-FTPd lists with MLSD; vsftpd with LIST
// only, once in UTC and once in a zone three hours ahead.

#include "FakeFtpServer.h"
#include "FtpTestSupport.h"

#include "remote/RemoteSyncTest.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace ftptest {
namespace {

using remotetest::ErrorLines;
using remotetest::Leftovers;
using synctest::kOld;

// ---- The listing's offset, learnt from one file ------------------------------------

TEST(FtpServerClock, LearnsTheListingsOffsetFromOneFileShownToTheMinute) {
    constexpr time_t utc = 1583298397; // 2020-03-04 05:06:37 UTC
    struct Row {
        const char* Name;
        int64_t Shown; // the line's date and clock, counted as UTC
        int Precision;
        bool Learnt;
        int64_t Offset;
    };
    const int64_t minute = utc - 37;
    const Row rows[] = {
        {"UTC", minute, ftpMinuteTime, true, 0},
        {"ThreeHoursAhead", minute + 3 * 3600, ftpMinuteTime, true, 3 * 3600},
        {"FiveAndAHalfBehind", minute - 5 * 3600 - 1800, ftpMinuteTime, true, -5 * 3600 - 1800},
        {"QuarterHourZone", minute + 5 * 3600 + 2700, ftpMinuteTime, true, 5 * 3600 + 2700},
        {"OnlyTheDay", utc - utc % 86400, ftpDayTime, false, 0},
        {"NoZoneIsThatFarOff", minute + 16 * 3600, ftpMinuteTime, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        TFtpServerClock clock;
        TFtpEntry listed;
        listed.Shown = row.Shown;
        listed.Precision = row.Precision;
        clock.Learn(listed, utc);
        EXPECT_EQ(clock.Learnt(), row.Learnt);
        EXPECT_EQ(clock.Offset(), row.Offset);
        if (row.Learnt) {
            // Any other line of that server then reads as the instant it shows.
            TFtpEntry other;
            other.Shown = 1600000020 + row.Offset;
            other.Precision = ftpMinuteTime;
            EXPECT_EQ(clock.UtcOf(other), 1600000020);
        }
    }
}

// A LIST-only server in a zone three hours ahead of UTC: a file with MDTM has
// its exact time, the others (a folder, a file MDTM refuses) the time of their
// line moved by the offset learnt from the first. The local DOS times are those
// a local file of the same instant has, in whatever zone the run is.
TEST(FtpServerClock, AListingInTheServersZoneReadsAsTheSameInstantsInEveryZone) {
    TFakeScript script;
    script.OfferMlst = false;
    script.Listings["/data"] = "03-04-20  08:06AM       <DIR>          sub\r\n"
                               "03-04-20  08:06AM                    5 exact.txt\r\n"
                               "03-04-20  09:10AM                    5 refused.txt\r\n";
    script.Mdtm["exact.txt"] = "213 20200304050637";
    script.Mdtm["refused.txt"] = "550 Could not get file modification time.";
    for (const char* zone : {"UTC", "XYZ-5:30", "ABC+7"}) {
        SCOPED_TRACE(zone);
        testsupport::ScopedEnv tz("TZ", std::string(zone));
        TFakeFtpServer server(script);
        TFolderSource source;
        source.DeviceType = dtFtp;
        source.FolerAllName = server.Url() + "/data";
        TFtpFileOper oper(false);
        oper.Source = &source;
        ASSERT_EQ(oper.Connect(), 0);
        oper.ScanTree();
        ASSERT_TRUE(oper.ScanComplete());
        std::map<std::string, int32_t> times;
        for (const TFileTree* child : oper.Tree->Children) {
            times[child->Data->Name] = child->Data->Time;
        }
        EXPECT_EQ(times["exact.txt"], fs::UnixToDosTime({1583298397, 0}));
        EXPECT_EQ(times["refused.txt"], fs::UnixToDosTime({1583298397 - 37 + 64 * 60, 0}));
        EXPECT_EQ(times["sub"], fs::UnixToDosTime({1583298397 - 37, 0}));
    }
}

// ---- Many runs against each real server ----------------------------------------------

class FtpClockTest : public remotetest::RemoteSyncTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        RemoteSyncTest::SetUp();
        if (!ftp.Open(GetParam())) {
            GTEST_SKIP() << "no FTP server " << GetParam()
                         << ": run through ctest, which starts tests/servers/ftp.sh";
        }
        S = ftp.Disk;
        ftp.Use(task.RFolder);
    }
    void TearDown() override {
        ftp.Unlock();
        RemoteSyncTest::TearDown();
    }
    void ServerPut(const std::string& rel, const std::string& bytes, time_t when) override {
        ftp.Put(rel, bytes, when);
    }
    void Lock(const std::string&, bool) override {}

    static time_t MTime(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
    }
    // What the run copied, as its log says.
    std::vector<std::string> Copies() const {
        std::vector<std::string> copies;
        for (const std::string& line : lines) {
            if (line.compare(0, 5, "Copy:") == 0 || line.compare(0, 6, "Error ") == 0) {
                copies.push_back(line);
            }
        }
        return copies;
    }

    TServerFolder ftp;
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpClockTest, ::testing::Values("", "VSFTPD_", "VSFTPDTZ_"),
                         [](const auto& info) {
                             return info.param.empty()        ? std::string("PureFtpd")
                                    : info.param == "VSFTPD_" ? "Vsftpd"
                                                              : "VsftpdInAnotherZone";
                         });

// Another client's edit of the same size, within the minute the file had at the
// last sync, comes to the local side; a LIST line alone shows no difference.
TEST_P(FtpClockTest, ASameSizeServerEditWithinTheMinuteOfTheLastSyncIsSeen) {
    const time_t minute = kOld - kOld % 60;
    Put(L, "a.txt", "first", minute + 6);
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
    EXPECT_EQ(MTime(S + "/a.txt"), minute + 6); // the upload kept its source's time

    ftp.Put("a.txt", "secnd", minute + 40);
    Analyze();
    EXPECT_EQ(Code("/a.txt"), saOverwriteRtoL);
    Sync();
    EXPECT_EQ(Read(L, "a.txt"), "secnd");
    EXPECT_EQ(MTime(L + "/a.txt"), minute + 40); // and the download the server's

    Put(L, "a.txt", "third", minute + 50); // and a local edit after it travels back
    AnalyzeAndSync();
    EXPECT_EQ(Read(S, "a.txt"), "third");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// At a first sync, in a zone far from the server's, the newer of two files
// wins whichever side holds it.
TEST_P(FtpClockTest, AtAFirstSyncTheNewerFileWinsInAnyZone) {
    testsupport::ScopedEnv tz("TZ", std::string("XYZ-5:30"));
    ServerPut("server newer.txt", "edited on the server ten minutes ago", kOld + 1800);
    Put(L, "server newer.txt", "local copy forty minutes old", kOld);
    ServerPut("local newer.txt", "server copy forty minutes old", kOld);
    Put(L, "local newer.txt", "edited here ten minutes ago", kOld + 1800);
    Analyze();
    EXPECT_EQ(Code("/server newer.txt"), saOverwriteRtoL);
    // vsftpd with use_localtime=YES answers MDTM in its own zone (three hours
    // ahead): the zone learnt from a probe file puts its times right.
    EXPECT_EQ(Code("/local newer.txt"), saOverwriteLtoR);
    Sync();
    EXPECT_EQ(Read(L, "server newer.txt"), "edited on the server ten minutes ago");
    EXPECT_EQ(Read(S, "local newer.txt"), "edited here ten minutes ago");
    EXPECT_EQ(Leftovers(S), std::vector<std::string>{}); // no probe stays
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// A task run by cron in one zone and from the desktop in another: nothing is
// copied because of the zone, and every rerun proposes nothing, also after a
// run killed after its copies, before it wrote the snapshots.
TEST_P(FtpClockTest, RunsInDifferentZonesCopyNothingBecauseOfTheZone) {
    Put(L, "left.txt", "from the left", kOld + 1);
    ServerPut("server.txt", "from the server", kOld + 125);
    ServerPut("sub/deep.txt", "deep", kOld - 3600);
    AnalyzeAndSync();
    ASSERT_EQ(ErrorLines(lines), std::vector<std::string>{});
    ASSERT_EQ(Read(L, "server.txt"), "from the server");
    EXPECT_EQ(MTime(S + "/left.txt"), kOld); // DOS times step by two seconds
    std::filesystem::remove(WorkSnapshot(L));
    std::filesystem::remove(WorkSnapshot(S));
    for (const char* zone : {"XYZ-5:30", "ABC+7", "UTC"}) {
        SCOPED_TRACE(zone);
        testsupport::ScopedEnv tz("TZ", std::string(zone));
        Analyze();
        EXPECT_EQ(Changes(), 0);
        EXPECT_EQ(result->ConflictFlag, 0);
        Sync();
        EXPECT_EQ(Copies(), std::vector<std::string>{});
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }
    // Back in the zone of the last run, an edit travels as ever.
    ServerPut("server.txt", "edited on the server", kOld + 7200);
    AnalyzeAndSync();
    EXPECT_EQ(Read(L, "server.txt"), "edited on the server");
    // An edit made between runs in two zones travels too: the snapshots are
    // read in the zone they were written in, so its local twin reads unchanged.
    ServerPut("server.txt", "edited once more on the server", kOld + 9000);
    testsupport::ScopedEnv other("TZ", std::string("XYZ-5:30"));
    Analyze();
    EXPECT_EQ(result->ConflictFlag, 0);
    EXPECT_EQ(Changes(), 1);
    Sync();
    EXPECT_EQ(Read(L, "server.txt"), "edited once more on the server");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// A name the server would store as another one: Pure-FTPd turns a leading
// blank into "_". That upload fails with its reason at every run, nothing of it
// stays on the server, and a colleague's file under the other name is never
// touched; vsftpd holds the name.
TEST_P(FtpClockTest, ANameTheServerWouldChangeFailsAndTouchesNothingElse) {
    const bool changesNames = GetParam().empty();
    ftp.Put("_report.txt", "a colleague's report", kOld);
    Put(L, " report.txt", "my report", kOld + 600);
    Put(L, "plain.txt", "plain", kOld);
    // Stand-ins of runs cut short: another task's (or one named after no task)
    // stays, this task's goes with the next run's first upload into its folder.
    const std::string leftOver = " rep~Tandemora-probe-99-1~ort.txt";
    const std::string othersLeftOver = " rep~Tandemora-probe-" + task.SyncID + "x-99-1~ort.txt";
    const std::string ownLeftOver = " rep~Tandemora-probe-" + task.SyncID + "-99-1~ort.txt";
    ftp.Put(leftOver, "my report", kOld);
    ftp.Put(othersLeftOver, "my report", kOld);
    ftp.Put(ownLeftOver, "my report", kOld);
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        AnalyzeAndSync();
        EXPECT_TRUE(Has(S, leftOver));
        EXPECT_TRUE(Has(S, othersLeftOver));
        EXPECT_FALSE(Has(S, ownLeftOver));
        const auto removal = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("Removed the part file of an earlier run of this task: ", 0) == 0 &&
                   line.find(ownLeftOver) != std::string::npos;
        });
        EXPECT_EQ(removal != lines.end(), run == 0);
        EXPECT_EQ(ftp.Read("_report.txt"), "a colleague's report");
        EXPECT_EQ(Read(L, "_report.txt"), "a colleague's report");
        EXPECT_EQ(Read(L, " report.txt"), "my report");
        EXPECT_EQ(Read(S, "plain.txt"), "plain");
        const std::vector<std::string> errors = ErrorLines(lines);
        if (changesNames) {
            ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(lines);
            EXPECT_NE(errors[0].find("cannot hold the name \" report.txt\""), std::string::npos) << errors[0];
            EXPECT_NE(errors[0].find("rename the file"), std::string::npos) << errors[0];
            EXPECT_FALSE(Has(S, " report.txt"));
        } else {
            EXPECT_EQ(errors, std::vector<std::string>{});
            EXPECT_EQ(Read(S, " report.txt"), "my report");
        }
        for (const std::string& name : Names(S)) {
            EXPECT_FALSE(Has(L, leftOver)); // never an item
            EXPECT_FALSE(Has(L, othersLeftOver));
            if (name != "__Tandemora__" && name != leftOver && name != othersLeftOver) {
                EXPECT_EQ(name.find("Tandemora"), std::string::npos) << name; // no stand-in stays
            }
        }
    }
    Analyze();
    EXPECT_EQ(Changes(), changesNames ? 1 : 0);
}

// A server that keeps even the temporary name of an upload under another one:
// the upload fails with that reason, and what it stored goes again.
TEST(FtpServerNames, AnUploadStoredUnderAnotherTemporaryNameFailsAndIsRemoved) {
    testsupport::TempDir local;
    testsupport::WriteFile(local.path() + "/a.txt", "bytes");
    TFakeScript script;
    script.ChangeStoredNames = true;
    TFakeFtpServer server(script);
    TFolderSource source;
    source.DeviceType = dtFtp;
    source.FolerAllName = server.Url() + "/data";
    TFtpFileOper oper(false);
    oper.Source = &source;
    oper.PartOwner = "Names1";
    ASSERT_EQ(oper.Connect(), 0);
    TFileAttri attr;
    attr.Name = "a.txt";
    attr.RelPath = "/";
    attr.Size = 5;
    EXPECT_NE(oper.PutFile(local.path() + "/a.txt", &source, &attr, 0), 0);
    EXPECT_NE(oper.LastErrorText.find("cannot hold the name \"a.txt\""), std::string::npos)
        << oper.LastErrorText;
    std::vector<std::string> removed;
    for (const std::string& command : server.Commands()) {
        if (command.compare(0, 6, "DELE _") == 0) {
            removed.push_back(command);
        }
    }
    ASSERT_EQ(removed.size(), 1u) << ::testing::PrintToString(server.Commands());
    EXPECT_TRUE(fs::IsPartFileOf("." + removed[0].substr(6), "Names1")) << removed[0];
}

// An empty folder made, then removed, each as the only operation of its run.
TEST_P(FtpClockTest, AnEmptyFolderAsTheRunsOnlyOperationIsMadeAndRemoved) {
    std::filesystem::create_directories(L + "/empty/inner");
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
    EXPECT_TRUE(std::filesystem::is_directory(S + "/empty/inner"));
    Analyze();
    EXPECT_EQ(Changes(), 0);
    std::filesystem::remove(L + "/empty/inner");
    AnalyzeAndSync();
    EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
    EXPECT_FALSE(Has(S, "empty/inner"));
    EXPECT_TRUE(Has(S, "empty"));
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// A file older than half a year, which a LIST shows with its day only: it
// arrives with its exact time, the rerun proposes nothing, and an edit of the
// same size on the same day is seen.
TEST_P(FtpClockTest, AFileListedWithItsDayOnlyKeepsItsExactTime) {
    const time_t now = std::time(nullptr);
    const time_t old = now - 200 * 86400 - (now % 86400) + 12 * 3600 + 37; // noon and 37 s, UTC
    ServerPut("old.txt", "old file", old);
    AnalyzeAndSync();
    EXPECT_EQ(Read(L, "old.txt"), "old file");
    EXPECT_EQ(MTime(L + "/old.txt"), old - old % 2); // DOS times step by two seconds
    Analyze();
    EXPECT_EQ(Changes(), 0);
    ServerPut("old.txt", "new file", old + 3600);
    AnalyzeAndSync();
    EXPECT_EQ(Read(L, "old.txt"), "new file");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// ---- A server that tells no exact time ------------------------------------------

// vsftpd refusing MDTM, in a zone three hours ahead: its listing shows each
// file's minute (or day) in that zone, and uploads get the time of their upload.
class FtpNoMdtmTest : public FtpClockTest {};

INSTANTIATE_TEST_SUITE_P(Servers, FtpNoMdtmTest, ::testing::Values("VSFTPDNOMDTM_"),
                         [](const auto&) { return std::string("VsftpdWithoutMdtm"); });

// The listing's zone is learnt from a file made there for a moment: at a
// first sync, in a zone far from the server's, the newer file wins either way.
TEST_P(FtpNoMdtmTest, AtAFirstSyncTheNewerFileWinsInAnyZone) {
    testsupport::ScopedEnv tz("TZ", std::string("XYZ-5:30"));
    const time_t now = std::time(nullptr);
    ServerPut("server newer.txt", "edited on the server ten minutes ago", now - 600);
    Put(L, "server newer.txt", "local copy forty minutes old", now - 2400);
    ServerPut("local newer.txt", "server copy forty minutes old", now - 2400);
    Put(L, "local newer.txt", "edited here ten minutes ago", now - 600);
    Analyze();
    EXPECT_EQ(Code("/server newer.txt"), saOverwriteRtoL);
    EXPECT_EQ(Code("/local newer.txt"), saOverwriteLtoR);
    Sync();
    EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
    EXPECT_EQ(Read(L, "server newer.txt"), "edited on the server ten minutes ago");
    EXPECT_EQ(Read(S, "local newer.txt"), "edited here ten minutes ago");
    EXPECT_EQ(Leftovers(S), std::vector<std::string>{}); // no probe stays
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// A file turning half a year old is listed with its day only from then on:
// that alone is no change, at the run after it or later, and an edit still
// travels.
TEST_P(FtpNoMdtmTest, AFileWhoseListingTurnsToItsDayIsNoChange) {
    const time_t turns = std::time(nullptr) - 182 * 86400 + 2; // half a year old in two seconds
    ServerPut("aging.txt", "aging", turns);
    AnalyzeAndSync();
    ASSERT_EQ(Read(L, "aging.txt"), "aging");
    // The server's own clock has to pass the half-year line: nothing races here.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (int run = 0; run < 2; ++run) {
        AnalyzeAndSync();
        EXPECT_EQ(Copies(), std::vector<std::string>{}) << "run " << run;
    }
    Put(L, "aging.txt", "edited here", std::time(nullptr));
    AnalyzeAndSync();
    EXPECT_EQ(Read(S, "aging.txt"), "edited here");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// Two versions edited within one minute, at a first sync: the server's
// listing cannot tell which is newer, so even where the newer file is to win
// neither overwrites the other (the local one, ten seconds older, used to).
TEST_P(FtpNoMdtmTest, TwoEditsWithinOneListedMinuteAreAConflict) {
    task.Unattended = true;
    task.Conflicts = cfNewerFileWins;
    const time_t hourAgo = std::time(nullptr) - 3600;
    const time_t minute = hourAgo - hourAgo % 60;
    ServerPut("m.txt", "the server's, at 50 s", minute + 50);
    Put(L, "m.txt", "the local one, at 40 s", minute + 40);
    for (int run = 0; run < 2; ++run) {
        Analyze(vkAll);
        EXPECT_EQ(Code("/m.txt"), saConflict) << "run " << run;
        Sync();
        EXPECT_EQ(Read(L, "m.txt") + "|" + Read(S, "m.txt"), "the local one, at 40 s|the server's, at 50 s");
    }
}

class FtpNoMdtmEditTest : public FtpNoMdtmTest {
protected:
    // A file made on the server now and synchronised while its minute still
    // runs (where the minute ran out first, as it may, with another name):
    // its time, 0 when no attempt made it.
    time_t SyncedInItsMinute(std::string& Name) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            Name = "a" + std::to_string(attempt) + ".txt";
            const time_t now = std::time(nullptr);
            ServerPut(Name, "first", now);
            AnalyzeAndSync();
            const std::string times = testsupport::ReadFile(task.RunStampPath() + ".times");
            if (Read(L, Name) == "first" && times.find("\nm") != std::string::npos) {
                return now;
            }
            std::filesystem::remove(S + "/" + Name);
            AnalyzeAndSync();
        }
        return 0;
    }
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpNoMdtmEditTest, ::testing::Values("VSFTPDNOMDTM_"),
                         [](const auto&) { return std::string("VsftpdWithoutMdtm"); });

// Another client's edit of the same size, listed in the very minute the last
// sync listed the file in while that minute still ran, looks unchanged: its
// bytes against the local file's, which is as that sync left it, show it.
TEST_P(FtpNoMdtmEditTest, ASameSizeEditInTheMinuteOfTheLastSyncComesOver) {
    std::string name;
    const time_t when = SyncedInItsMinute(name);
    ASSERT_NE(when, 0);
    Analyze();
    EXPECT_EQ(Changes(), 0);
    ServerPut(name, "secnd", when); // the same size, the same minute
    Analyze();
    EXPECT_EQ(Code("/" + name), saOverwriteRtoL);
    Sync();
    EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
    EXPECT_EQ(Read(L, name), "secnd");
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

// The same edit with a local edit after it: the later edit does not overwrite
// the one it cannot see; both stay, a conflict for the user.
TEST_P(FtpNoMdtmEditTest, ALocalEditNeverOverwritesASameMinuteServerEditUnseen) {
    std::string name;
    const time_t when = SyncedInItsMinute(name);
    ASSERT_NE(when, 0);
    ServerPut(name, "secnd", when);
    Put(L, name, "local edit", when + 3600);
    for (int run = 0; run < 2; ++run) {
        Analyze(vkAll);
        EXPECT_EQ(Code("/" + name), saConflict) << "run " << run;
        Sync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Read(L, name) + "|" + Read(S, name), "local edit|secnd");
    }
}

// Without that edit, a local edit made after such a sync travels as ever:
// the bytes the sync left on the server are known by their digest, and still
// there. Then the edit that arrived on the server in its minute is alike too.
TEST_P(FtpNoMdtmEditTest, ALocalEditAfterASyncInTheSameMinuteTravels) {
    std::string name;
    const time_t when = SyncedInItsMinute(name);
    ASSERT_NE(when, 0);
    for (const std::string edit : {"local edit", "local, once more"}) {
        Put(L, name, edit, std::time(nullptr) + 3600);
        Analyze(vkAll);
        EXPECT_EQ(Code("/" + name), saOverwriteLtoR) << edit;
        Sync();
        EXPECT_EQ(ErrorLines(lines), std::vector<std::string>{});
        EXPECT_EQ(Read(S, name), edit);
    }
    Analyze();
    EXPECT_EQ(Changes(), 0);
}

} // namespace
} // namespace ftptest
