// Runs named on the command line: the way scheduled runs and servers use the
// program, without a display, ending by themselves after the synchronisation.

#include "UiFixture.h"
#include "platform/FileSystem.h"
#include "remote/FreezableServer.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace uitest {
namespace {

using tandemora::TFSyncMain;

// A folder whose path is longer than the system takes (4,096 bytes): its
// parent lists it, but it cannot be opened itself. Made and removed a level at
// a time through folder handles, since its path cannot be used.
class TDeepFolder {
public:
    explicit TDeepFolder(const std::string& parent) : parent_(parent) {
        int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int level = 0; level < kLevels && fd >= 0; ++level) {
            mkdirat(fd, Name().c_str(), 0755);
            const int next = openat(fd, Name().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = next;
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    ~TDeepFolder() {
        const int fd = open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            RemoveBelow(fd, kLevels);
            close(fd);
        }
    }
    TDeepFolder(const TDeepFolder&) = delete;
    TDeepFolder& operator=(const TDeepFolder&) = delete;

private:
    static constexpr int kLevels = 17; // of 251 bytes each
    static std::string Name() { return std::string(250, 'd'); }
    static void RemoveBelow(int fd, int levels) {
        const int child = openat(fd, Name().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (child < 0) {
            return;
        }
        if (levels > 1) {
            RemoveBelow(child, levels - 1);
        }
        close(child);
        unlinkat(fd, Name().c_str(), AT_REMOVEDIR);
    }
    std::string parent_;
};

class CommandLineTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
            WriteFile(folders / (std::string(name) + "/from-" + name + ".txt"),
                      std::string("bytes of ") + name);
        }
        auto scheduled = [](tandemora::TSyncTask& t) { t.TSsync = 1; };
        nightly1 = SaveTask("Nightly", folders / "a", folders / "b", scheduled);
        nightly2 = SaveTask("  Nightly", folders / "c", folders / "d", scheduled);
        lower = SaveTask("nightly", folders / "e", folders / "f", scheduled);
    }

    // Such a start run to its end; killed when it does not end by itself.
    struct Ran {
        bool Ended = false;
        int Code = -1;
        std::string Errors; // what it wrote to its standard error stream
    };
    Ran RunWithoutDisplay(const std::string& argument) {
        QProcess run;
        StartProcess(run, {QString::fromStdString(argument)});
        Ran ran;
        if (!run.waitForStarted(10000)) {
            return ran;
        }
        ran.Ended = run.waitForFinished(120000);
        if (!ran.Ended) {
            run.kill();
            run.waitForFinished();
        }
        ran.Code = run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1;
        ran.Errors = run.readAllStandardError().toStdString();
        return ran;
    }

    // The "Copy:" lines of a task's log so far.
    std::vector<std::string> CopyLines(const std::string& id) {
        std::vector<std::string> lines;
        std::istringstream log(ReadFile(program / (id + ".log")));
        for (std::string line; std::getline(log, line);) {
            if (line.rfind("Copy:", 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // Starts a task without a display, freezes its server once three copies
    // are logged and asks the program to end (SIGTERM): the seconds it took to
    // end, or -1 when it did not (it is killed then) or could not be signalled.
    // Only a process that is still there is signalled.
    double EndWhileFrozen(const std::string& task, const std::string& id,
                          remotetest::TFreezableServer& server, QProcess& run) {
        StartProcess(run, {QString::fromStdString(task)});
        if (!run.waitForStarted(10000) ||
            !WaitUntil([&] { return CopyLines(id).size() >= 3 || run.state() == QProcess::NotRunning; }) ||
            !server.Freeze()) {
            ADD_FAILURE() << "the run did not reach its copies, or the server did not freeze";
            return -1;
        }
        const auto pid = static_cast<pid_t>(run.processId());
        if (run.state() != QProcess::Running || pid <= 0) {
            server.Thaw();
            ADD_FAILURE() << "the run ended before the server froze";
            return -1;
        }
        const auto asked = std::chrono::steady_clock::now();
        ::kill(pid, SIGTERM);
        const bool ended = run.waitForFinished(90000);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
        server.Thaw();
        if (!ended) {
            run.kill(); // QProcess checks its own process before it signals
            run.waitForFinished();
            ADD_FAILURE() << "the run did not end after the request";
            return -1;
        }
        return took;
    }

    std::string nightly1;
    std::string nightly2;
    std::string lower;
};

TEST_F(CommandLineTest, NamedRunSynchronisesWithoutADisplayAndEndsByItself) {
    WriteOptions({{"SaveLog", "1"}});
    const Ran ran = RunWithoutDisplay(" Nightly ");
    ASSERT_TRUE(ran.Ended) << "the run did not end by itself\n" << ran.Errors;
    EXPECT_EQ(ran.Code, tandemora::ecOk) << ran.Errors;

    // Both tasks named Nightly ran (names are compared trimmed), the one named
    // nightly did not.
    EXPECT_EQ(ReadFile(folders / "b/from-a.txt"), "bytes of a");
    EXPECT_EQ(ReadFile(folders / "a/from-b.txt"), "bytes of b");
    EXPECT_EQ(ReadFile(folders / "d/from-c.txt"), "bytes of c");
    EXPECT_FALSE(testsupport::Exists(folders / "f/from-e.txt"));
    for (const std::string& id : {nightly1, nightly2}) {
        const std::string log = ReadFile(program / (id + ".log"));
        EXPECT_NE(log.find(",ANALYSIS,"), std::string::npos) << id;
        EXPECT_NE(log.find(",SYNC,"), std::string::npos) << id;
        EXPECT_NE(log.find("----- Sync End. Time:"), std::string::npos) << id;
    }
    EXPECT_FALSE(testsupport::Exists(program / (lower + ".log")));
    EXPECT_FALSE(testsupport::Exists(program / "ErrorInfo.txt")) << ReadFile(program / "ErrorInfo.txt");
    // Cron mails whatever the run writes there: a run that went well says nothing.
    EXPECT_EQ(ran.Errors, "");
    // With only HOME set, the program's own files go below it.
    EXPECT_TRUE(testsupport::Exists(home / (".local/share/Tandemora/" + nightly1 + "S")));
    // The close ended the program for good, which clears the first-run flag.
    EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=0"), std::string::npos);
}

// Started without a display, every start ends by itself, says why in its exit
// status, on its error stream and in the error log (and, for a task, in the
// task log), and leaves the task list as it was.
TEST_F(CommandLineTest, EveryStartWithoutADisplayEndsAndSaysWhatHappened) {
    struct Case {
        const char* Name;
        std::function<std::string()> Arrange; // the command line's task name
        int Code;
        std::string Says;    // on the error stream and in the error log ("" for none)
        std::string TaskLog; // in the task log of the task named ("" for none)
    };
    auto task = [this](const std::string& name, const std::function<void(tandemora::TSyncTask&)>& adjust) {
        SaveTask(name, folders / "e", folders / "f", adjust);
        return name;
    };
    auto sync = [](tandemora::TSyncTask& t) { t.TSsync = 1; };
    // The last task saved, with one of its elements edited by hand.
    auto edited = [&](const std::string& name, const std::string& from, const std::string& to) {
        task(name, sync);
        std::string text = ReadFile(program / "tasklist.td");
        text.replace(text.rfind(from), from.size(), to);
        WriteFile(program / "tasklist.td", text);
        return name;
    };
    auto damaged = [&](const std::string& name) { // the hours are no number
        return edited(name, "<Hours>0</Hours>", "<Hours>x</Hours>");
    };
    tandemora::fs::TFileLock otherRun; // held as a run still going would hold it
    std::vector<std::unique_ptr<TDeepFolder>> deep;
    const Case cases[] = {
        {"analysis only", [&] { return task("Check", [](tandemora::TSyncTask& t) { t.TSanalyze = 1; }); },
         tandemora::ecOk, "", "All:2,Changed:2,Conflicts:0,Errors:0,Included:2,Excluded:0\r\n"},
        {"both switches off", [&] { return task("Idle", {}); }, tandemora::ecNotStarted,
         "\"Idle\": The task is set to run neither an analysis nor a sync",
         "----- Analysis not started -----"},
        {"no such task", [] { return std::string("Weekly"); }, tandemora::ecTaskNotFound,
         "No task is named \"Weekly\"", ""},
        {"options missing",
         [this] { return std::filesystem::remove(program / "Tandemora.ini") ? "Nightly" : ""; },
         tandemora::ecConfigUnreadable, "Can not Find Config File,Exist!", ""},
        {"options unreadable",
         [this] {
             std::filesystem::remove(program / "Tandemora.ini");
             std::filesystem::create_symlink(program / "gone.ini", program / "Tandemora.ini");
             return "Nightly";
         },
         tandemora::ecConfigUnreadable, "Access Config File Error,Exist!", ""},
        {"language file missing",
         [this] { return std::filesystem::remove(program / "en-english.lng") ? "Nightly" : ""; },
         tandemora::ecConfigUnreadable, "Read Languange Error,File not Exist!", ""},
        {"task list damaged",
         [this] {
             WriteFile(program / "tasklist.td", "<TaskList><Tast>");
             return "Nightly";
         },
         tandemora::ecConfigUnreadable, "could not be read: XML is not well-formed", ""},
        {"the named task damaged", [&] { return damaged("Broken"); }, tandemora::ecConfigUnreadable,
         "\"Broken\" (task 4 of ", ""},
        {"a direction no dialog offers",
         [&] {
             return edited("Odd", "<SyncDirection>0</SyncDirection>", "<SyncDirection>3</SyncDirection>");
         },
         tandemora::ecConfigUnreadable,
         "The task \"Odd\" is not loaded: its SyncDirection 3 is none of the values", ""},
        {"a damaged task shares its name with a clean one", [&] { return task(damaged("Twice"), sync); },
         tandemora::ecConfigUnreadable, "\"Twice\" (task 4 of ", "----- Sync End."},
        {"left folder missing",
         [&] {
             return task("Gone", [&](tandemora::TSyncTask& t) {
                 t.TSsync = 1, t.LFolder.FolerAllName = folders / "nowhere";
             });
         },
         tandemora::ecNotStarted, "(No such file or directory)",
         "Cannot connect Left folder: " + folders / "nowhere" +
             " (No such file or directory)\r\n"
             "----- Analysis not started -----"},
        {"filter pattern invalid",
         [&] {
             return task("Filtered", [](tandemora::TSyncTask& t) { t.TSsync = 1, t.ExcludeFilter = {"(x"}; });
         },
         tandemora::ecNotStarted, "Invalid filter pattern \"(x\": missing closing parenthesis",
         "Invalid filter pattern \"(x\": missing closing parenthesis"},
        {"the task log cannot be written",
         [&] {
             const std::string id = SaveTask("Full", folders / "e", folders / "f", sync);
             std::filesystem::create_symlink("/dev/full", program / (id + ".log"));
             return "Full";
         },
         tandemora::ecOk, "\"Full\": the task log could not be written: Cannot write log", ""},
        {"another run of the task is under way",
         [&] {
             const std::string id = SaveTask("Busy", folders / "e", folders / "f", sync);
             std::filesystem::create_directories(home / ".local/share/Tandemora");
             EXPECT_TRUE(otherRun.TryLock(home / (".local/share/Tandemora/" + id + ".lock")));
             return "Busy";
         },
         tandemora::ecNotStarted, "\"Busy\": the run did not start: Another run of this task is under way",
         "Another run of this task is under way (its lock "},
        {"an item fails",
         [&] {
             // An overwrite whose previous version cannot be kept is not made.
             WriteFile(folders / "f/from-e.txt", "older");
             std::filesystem::last_write_time(folders / "f/from-e.txt",
                                              std::filesystem::file_time_type::clock::now() -
                                                  std::chrono::hours(48));
             WriteFile(folders / "f/__Tandemora__/__saved__", "a file where the folder belongs");
             return task("Blocked", [](tandemora::TSyncTask& t) {
                 t.TSsync = 1, t.SaveOldFile = 1, t.Conflicts = tandemora::cfNewerFileWins;
             });
         },
         tandemora::ecItemsFailed, "1 item failed", "(its previous version could not be kept)\r\n"},
        {"a folder cannot be read",
         [&] {
             for (const char* side : {"g", "h"}) {
                 std::filesystem::create_directories(folders / side);
                 deep.push_back(std::make_unique<TDeepFolder>(folders / side));
             }
             WriteFile(folders / "g/in-g.txt", "g");
             SaveTask("Deep", folders / "g", folders / "h", sync);
             return "Deep";
         },
         tandemora::ecFoldersNotRead, "\"Deep\": Not read, left as they are: " + folders / "g/dddd",
         "Not read, left as they are: " + folders / "g/dddd"},
        {"a file changed on both sides is left as a conflict",
         [&] {
             WriteFile(folders / "i/x.txt", "the left side's version");
             WriteFile(folders / "j/x.txt", "the right side's, older");
             std::filesystem::last_write_time(
                 folders / "j/x.txt", std::filesystem::file_time_type::clock::now() - std::chrono::hours(48));
             SaveTask("Both", folders / "i", folders / "j", sync);
             return "Both";
         },
         tandemora::ecConflictsLeft, "\"Both\": the sync left 1 item as conflicts",
         "All:1,Changed:0,Conflicts:1,"},
        {"a file edited on both sides since the last sync is left as a conflict",
         [&] {
             WriteFile(folders / "k/x.txt", "the first version");
             std::filesystem::create_directories(folders / "l");
             SaveTask("Edited", folders / "k", folders / "l", sync);
             EXPECT_EQ(RunWithoutDisplay("Edited").Code, tandemora::ecOk);
             WriteFile(folders / "k/x.txt", "the left side's edit");
             WriteFile(folders / "l/x.txt", "the right side's edit, longer");
             const auto now = std::filesystem::file_time_type::clock::now();
             std::filesystem::last_write_time(folders / "k/x.txt", now - std::chrono::hours(1));
             std::filesystem::last_write_time(folders / "l/x.txt", now - std::chrono::hours(2));
             return "Edited";
         },
         tandemora::ecConflictsLeft, "\"Edited\": the sync left 1 item as conflicts",
         "All:1,Changed:0,Conflicts:1,"},
        {"a snapshot cannot be written",
         [&] {
             WriteFile(folders / "m/a.txt", "a");
             WriteFile(folders / "n/__Tandemora__", "a file where the work folder belongs");
             SaveTask("Unsaved", folders / "m", folders / "n", sync);
             return "Unsaved";
         },
         tandemora::ecItemsFailed,
         "\"Unsaved\": the sync ended, the snapshots were not saved: Right snapshot",
         "Error: snapshots not saved: Right snapshot"},
        {"the data folder cannot be written", // last: it takes the place of the folder
         [&] {
             std::filesystem::remove_all(home / ".local/share/Tandemora");
             WriteFile(home / ".local/share/Tandemora", "a file where the folder belongs");
             SaveTask("NoData", folders / "e", folders / "f", sync);
             return "NoData";
         },
         tandemora::ecNotStarted, "\"NoData\": the run did not start: The run lock " + home.path(),
         "The run lock " + home.path()},
    };
    const std::string list = ReadFile(program / "tasklist.td");
    const std::string language = ReadFile(program / "en-english.lng");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove(program / "Tandemora.ini");
        WriteOptions({{"SaveLog", "1"}});
        WriteFile(program / "en-english.lng", language);
        WriteFile(program / "tasklist.td", list);
        std::filesystem::remove(program / "ErrorInfo.txt");
        const std::string name = c.Arrange();
        const std::string before = ReadFile(program / "tasklist.td");

        const Ran ran = RunWithoutDisplay(name);
        ASSERT_TRUE(ran.Ended) << ran.Errors;
        EXPECT_EQ(ran.Code, c.Code) << ran.Errors;
        EXPECT_EQ(ReadFile(program / "tasklist.td"), before);
        if (!c.Says.empty()) {
            EXPECT_NE(ran.Errors.find("Tandemora: "), std::string::npos) << ran.Errors;
            EXPECT_NE(ran.Errors.find(c.Says), std::string::npos) << ran.Errors;
            EXPECT_NE(ErrorLog().find(c.Says), std::string::npos) << ErrorLog();
        } else {
            EXPECT_EQ(ran.Errors.find("Tandemora: "), std::string::npos) << ran.Errors;
        }
        if (!c.TaskLog.empty()) {
            std::string log;
            for (const auto& entry : std::filesystem::directory_iterator(program.path())) {
                if (entry.path().filename().string().rfind(name, 0) == 0 &&
                    entry.path().extension() == ".log") {
                    log = ReadFile(entry.path().string());
                }
            }
            EXPECT_NE(log.find(c.TaskLog), std::string::npos) << log;
        }
    }
    // The conflicts were left as they were found.
    EXPECT_EQ(ReadFile(folders / "i/x.txt"), "the left side's version");
    EXPECT_EQ(ReadFile(folders / "j/x.txt"), "the right side's, older");
    EXPECT_EQ(ReadFile(folders / "k/x.txt"), "the left side's edit");
    EXPECT_EQ(ReadFile(folders / "l/x.txt"), "the right side's edit, longer");
}

// The program's own files are read only when they are regular files of a sane
// size: a FIFO blocked the start for ever, a link to /dev/zero filled the
// memory. Each such start ends at once and says which file and why.
TEST_F(CommandLineTest, ProgramFilesThatNeverEndAreRefusedAtTheStart) {
    struct Case {
        const char* Name;
        const char* File;
        std::function<void(const std::string&)> Make; // puts the odd file at the path
        std::string Says;
    };
    const auto fifo = [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); };
    const auto zero = [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); };
    const auto huge = [](const std::string& path) { // sparse: costs no disk
        WriteFile(path, "");
        std::filesystem::resize_file(path, (64u << 20) + 1);
    };
    const std::string notRegular = "It is not a regular file";
    const Case cases[] = {
        {"options a FIFO", "Tandemora.ini", fifo, "Access Config File Error,Exist!"},
        {"options linked to /dev/zero", "Tandemora.ini", zero, notRegular},
        {"language file a FIFO", "en-english.lng", fifo, "The language file could not be read."},
        {"language file linked to /dev/zero", "en-english.lng", zero, notRegular},
        {"language file too large", "en-english.lng", huge, "It is larger than 4 MiB"},
        {"language named outside the program folder", "Tandemora.ini",
         [this](const std::string&) {
             WriteOptions({{"curlang", "../../../../../../../../dev/zero"}});
         },
         "lies outside the program folder"},
        {"task list a FIFO", "tasklist.td", fifo, "could not be read: Cannot open file"},
        {"task list linked to /dev/zero", "tasklist.td", zero, notRegular},
        {"task list too large", "tasklist.td", huge, "It is larger than 64 MiB"},
    };
    const std::string list = ReadFile(program / "tasklist.td");
    const std::string language = ReadFile(program / "en-english.lng");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        for (const char* file : {"Tandemora.ini", "en-english.lng", "tasklist.td", "ErrorInfo.txt"}) {
            std::filesystem::remove(program / file);
        }
        WriteOptions({});
        WriteFile(program / "en-english.lng", language);
        WriteFile(program / "tasklist.td", list);
        std::filesystem::remove(program / c.File);
        c.Make(program / c.File);

        const Ran ran = RunWithoutDisplay("Nightly");
        ASSERT_TRUE(ran.Ended) << "the start did not end by itself";
        EXPECT_EQ(ran.Code, tandemora::ecConfigUnreadable) << ran.Errors;
        EXPECT_NE(ran.Errors.find(c.Says), std::string::npos) << ran.Errors;
        EXPECT_NE(ErrorLog().find(c.Says), std::string::npos) << ErrorLog();
        EXPECT_FALSE(testsupport::Exists(folders / "b/from-a.txt")) << "the task ran";
    }
    for (const char* file : {"Tandemora.ini", "en-english.lng", "tasklist.td"}) {
        std::filesystem::remove(program / file);
    }
}

// Holds a file of the test's own under a write lease: whoever opens it (the
// program copying it) waits until the lease is let go, or until the kernel's
// lease break time (45 s by default) has passed. That keeps a run in the middle
// of its sync for as long as the test needs, however fast the machine.
class THeldFile {
public:
    explicit THeldFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        // The lease break is announced with SIGIO, whose default would end the test.
        std::signal(SIGIO, SIG_IGN);
        if (fd_ >= 0 && ::fcntl(fd_, F_SETLEASE, F_WRLCK) != 0) {
            Release();
        }
    }
    ~THeldFile() { Release(); }
    THeldFile(const THeldFile&) = delete;
    THeldFile& operator=(const THeldFile&) = delete;
    bool Held() const { return fd_ >= 0; }
    void Release() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

// The task log grows line by line as the sync goes, so a run killed half-way
// leaves the lines of the copies it made. A run asked to end (as cron and
// systemd ask) stops between two items as a cancel does, closes its record and
// says why in its status. Neither leaves its lock behind.
TEST_F(CommandLineTest, ARunStoppedHalfWayLeavesTheLinesOfItsCopies) {
    struct Case {
        const char* Name;
        int Signal;
        int Code;         // -1: it did not end by itself
        std::string Says; // in the task log and on the error stream ("" for none)
    };
    const Case cases[] = {
        {"killed", SIGKILL, -1, ""},
        {"asked to end", SIGTERM, tandemora::ecCancelled, "the program was asked to end (SIGTERM)"},
    };
    WriteOptions({{"SaveLog", "1"}});
    // More files than one flush takes, so that lines are logged before the copy
    // of the last file, which the test holds, keeps the run in its sync.
    for (int i = 0; i < 1100; ++i) {
        WriteFile(folders / ("many/" + std::to_string(i) + ".txt"), "bytes of " + std::to_string(i));
    }
    WriteFile(folders / "many/zz-held.txt", "held by the test");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::create_directories(folders / c.Name);
        const std::string name = std::string("Many ") + c.Name;
        const std::string id =
            SaveTask(name, folders / "many", folders / c.Name, [](tandemora::TSyncTask& t) { t.TSsync = 1; });
        THeldFile held(folders / "many/zz-held.txt");
        if (!held.Held()) {
            GTEST_SKIP() << "this file system gives no write leases, so the run cannot be held mid-sync";
        }
        QProcess run;
        StartProcess(run, {QString::fromStdString(name)});
        ASSERT_TRUE(run.waitForStarted(10000));
        const bool copying =
            WaitUntil([&] { return CopyLines(id).size() >= 3 || run.state() == QProcess::NotRunning; });
        // Only a process that is still there is signalled: kill(0, ...) would
        // end the test's whole process group, its runner included.
        const auto pid = static_cast<pid_t>(run.processId());
        const bool running = run.state() == QProcess::Running && pid > 0;
        if (running) {
            ::kill(pid, c.Signal);
        } else {
            ADD_FAILURE() << "the run ended before it could be signalled";
        }
        held.Release();
        if (!run.waitForFinished(60000)) {
            run.kill(); // QProcess checks its own process before it signals
            run.waitForFinished();
            FAIL() << "the run did not end after the signal";
        }
        ASSERT_TRUE(copying && running);
        EXPECT_EQ(run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1, c.Code);
        const std::string log = ReadFile(program / (id + ".log"));
        EXPECT_NE(log.find(",SYNC,"), std::string::npos);
        if (c.Says.empty()) {
            EXPECT_EQ(log.find("----- Sync End."), std::string::npos) << "the run ended before it was killed";
        } else {
            EXPECT_NE(log.find(c.Says), std::string::npos) << log;
            EXPECT_NE(log.find("----- Sync End."), std::string::npos) << log;
            EXPECT_NE(run.readAllStandardError().toStdString().find(c.Says), std::string::npos);
        }
        const std::vector<std::string> lines = CopyLines(id);
        ASSERT_GE(lines.size(), 3u);
        // Each line stands for a copy that is there, whole.
        for (const std::string& line : lines) {
            const std::string target =
                line.substr(line.find(" -> ") + 4, line.size() - line.find(" -> ") - 5);
            const std::string source = line.substr(5, line.find(" -> ") - 5);
            EXPECT_EQ(ReadFile(target), ReadFile(source)) << line;
        }
        tandemora::fs::TFileLock next;
        EXPECT_TRUE(next.TryLock(home / (".local/share/Tandemora/" + id + ".lock")));
    }
}

// A call into libsmbclient cannot be broken off: a run asked to end while its
// share is frozen ends a few seconds after the request all the same, not when
// the call gives up, and the next run, with the share back, copies everything
// whole and leaves no part file behind.
TEST_F(CommandLineTest, ARunAskedToEndWhileItsShareIsFrozenEndsWithinSeconds) {
    remotetest::TFreezableServer server("smb");
    if (!server.Start()) {
        GTEST_SKIP() << "the private SMB server did not start";
    }
    const auto env = server.Env();
    const std::string remote = env.at("ROOT") + "/frozen";
    std::filesystem::create_directories(remote);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(lchown(remote.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    WriteOptions({{"SaveLog", "1"}});
    for (int i = 0; i < 400; ++i) {
        WriteFile(folders / ("share-up/" + std::to_string(i) + ".txt"), "bytes of " + std::to_string(i));
    }
    const std::string id = SaveTask("ShareUp", folders / "share-up", "", [&env](tandemora::TSyncTask& t) {
        t.TSsync = 1;
        t.RFolder.DeviceType = tandemora::dtNetShare;
        t.RFolder.FolerAllName = "\\\\127.0.0.1:" + env.at("PORT") + "\\" + env.at("SHARE") + "\\frozen";
        t.RFolder.UserName = env.at("USER");
        t.RFolder.PWD = env.at("PASSWORD");
    });
    QProcess run;
    const double took = EndWhileFrozen("ShareUp", id, server, run);
    ASSERT_GE(took, 0.0);
    // The share's own time-out is 30 seconds; the program gives its runs ten.
    EXPECT_LT(took, 20.0);
    EXPECT_EQ(run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1, tandemora::ecCancelled);

    QProcess again;
    StartProcess(again, {"ShareUp"});
    ASSERT_TRUE(again.waitForFinished(120000));
    EXPECT_EQ(again.exitCode(), tandemora::ecOk) << again.readAllStandardError().toStdString();
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(remote)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
        if (name != "__Tandemora__") {
            ++files;
            EXPECT_EQ(ReadFile(entry.path().string()), ReadFile(folders / ("share-up/" + name))) << name;
        }
    }
    EXPECT_EQ(files, 400u);
}

// A run asked to end while the server it copies to has stopped answering ends
// within seconds, not after the server's time-outs: the upload in flight is
// broken off and the server is not asked again. What it copied is whole, and
// the next scheduled run is not kept out by its lock.
TEST_F(CommandLineTest, ARunAskedToEndWhileItsServerIsFrozenEndsAtOnce) {
    remotetest::TFreezableServer server("ftp");
    if (!server.Start()) {
        GTEST_SKIP() << "the private FTP server did not start";
    }
    const auto env = server.Env();
    const std::string remote = env.at("ROOT") + "/frozen";
    std::filesystem::create_directories(remote);
    ASSERT_EQ(lchown(remote.c_str(), static_cast<uid_t>(std::stoul(env.at("FTPUID"))),
                     static_cast<gid_t>(std::stoul(env.at("FTPGID")))),
              0);
    WriteOptions({{"SaveLog", "1"}});
    for (int i = 0; i < 400; ++i) {
        WriteFile(folders / ("up/" + std::to_string(i) + ".txt"), "bytes of " + std::to_string(i));
    }
    const std::string id = SaveTask("Up", folders / "up", "", [&env](tandemora::TSyncTask& t) {
        t.TSsync = 1;
        t.RFolder.DeviceType = tandemora::dtFtp;
        t.RFolder.FolerAllName = env.at("URL") + "/frozen";
        t.RFolder.UserName = env.at("USER");
        t.RFolder.PWD = env.at("PASSWORD");
    });
    QProcess run;
    const double took = EndWhileFrozen("Up", id, server, run);
    ASSERT_GE(took, 0.0);
    // A wait on the server gives up after 30 seconds; a broken-off one at once.
    EXPECT_LT(took, 20.0);
    EXPECT_EQ(run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1, tandemora::ecCancelled);
    const std::string log = ReadFile(program / (id + ".log"));
    EXPECT_NE(log.find("the program was asked to end (SIGTERM)"), std::string::npos) << log;
    EXPECT_NE(log.find("----- Sync End."), std::string::npos) << log;
    for (const std::string& line : CopyLines(id)) {
        const std::string source = line.substr(5, line.find(" -> ") - 5);
        const std::string name = source.substr(source.rfind('/') + 1);
        EXPECT_EQ(ReadFile(remote + "/" + name), ReadFile(source)) << line;
    }
    tandemora::fs::TFileLock next;
    EXPECT_TRUE(next.TryLock(home / (".local/share/Tandemora/" + id + ".lock")));
}

// A sync run closes the program (or hides it to the tray); an analysis run and
// a name no task has leave it open.
TEST_F(CommandLineTest, CloseAfterTheRunFollowsTheClosingRules) {
    const struct {
        const char* HideTaskToTray;
        std::string Argument;
        int CloseAfterRun;
        bool Closes;
        bool HiddenToTray;
    } cases[] = {
        {"0", "Nightly", 1, true, false},
        {"1", "Nightly", 1, false, true},
        {"0", "Check", 1, false, false},
        {"0", "Weekly", 0, false, false},
    };
    SaveTask("Check", folders / "e", folders / "f", [](tandemora::TSyncTask& t) { t.TSanalyze = 1; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Argument + " " + c.HideTaskToTray);
        WriteOptions({{"HideTaskToTray", c.HideTaskToTray}});
        ASSERT_TRUE(Start({c.Argument}));
        main->CloseDelay = 10;
        EXPECT_EQ(main->CloseAfterRun, c.CloseAfterRun);
        if (c.Closes || c.HiddenToTray) {
            ASSERT_TRUE(WaitUntil([&] { return main->ClosedForGood() || main->HiddenToTray(); }));
        } else {
            QTest::qWait(600); // past the program-start triggers
            ASSERT_TRUE(WaitIdle(Window(3)));
            QTest::qWait(200);
            EXPECT_EQ(LinesStarting(Window(3), "All:").size(), c.Argument == "Check" ? 1u : 0u);
            EXPECT_TRUE(Window(0)->LogLines().empty());
            EXPECT_FALSE(testsupport::Exists(folders / "f/from-e.txt"));
        }
        EXPECT_EQ(main->ClosedForGood(), c.Closes);
        EXPECT_EQ(main->HiddenToTray(), c.HiddenToTray);
        End();
    }
}

// A task the command line starts holds back the program-start triggers, also
// when its analysis is over before they come; a start that runs nothing by its
// command line lets them run.
TEST_F(CommandLineTest, ARunNamedOnTheCommandLineStartsNoOtherTask) {
    const struct {
        std::string Argument;
        bool OthersStart;
    } cases[] = {
        {"Check", false},
        {"Nightly", false},
        {"Weekly", true}, // no such task
        {"", true},
    };
    WriteFile(folders / "g/from-g.txt", "bytes of g");
    WriteFile(folders / "i/from-i.txt", "bytes of i");
    std::filesystem::create_directories(folders / "h");
    std::filesystem::create_directories(folders / "j");
    SaveTask("Check", folders / "g", folders / "h", [](tandemora::TSyncTask& t) { t.TSanalyze = 1; });
    SaveTask("At start", folders / "i", folders / "j", [](tandemora::TSyncTask& t) { t.StartSync = 1; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Argument);
        WriteOptions({{"HideTaskToTray", "1"}});
        ASSERT_TRUE(
            Start(c.Argument.empty() ? std::vector<std::string>() : std::vector<std::string>{c.Argument}));
        main->CloseDelay = 60000; // the window stays for the test to read
        TFSyncMain* atStart = main->TaskWindows().back();
        ASSERT_EQ(atStart->Task->SyncName, "At start");
        if (c.Argument == "Check") {
            TFSyncMain* check = Window(3);
            ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(check, "All:").empty(); }));
            ASSERT_TRUE(WaitIdle(check));
            // The triggers' half second may come after the analysis has ended.
            main->RunTriggers(tandemora::tkProgramStart, "");
        }
        QTest::qWait(700); // past the program-start triggers
        for (TFSyncMain* window : main->TaskWindows()) {
            ASSERT_TRUE(WaitIdle(window));
        }
        EXPECT_EQ(LinesStarting(atStart, "----- Sync End.").size(), c.OthersStart ? 1u : 0u);
        if (!c.OthersStart) {
            EXPECT_TRUE(atStart->LogLines().empty());
            EXPECT_FALSE(testsupport::Exists(folders / "j/from-i.txt"));
        }
        End();
    }
}

// A run whose sync cannot begin still ends the program, with no box and no
// power-off (the process table above covers the filter case and the statuses).
TEST_F(CommandLineTest, ARunThatCannotReachItsSyncStillEndsTheProgram) {
    struct Case {
        const char* Name;
        std::function<void(tandemora::TSyncTask&)> Adjust;
        std::function<void(TFSyncMain*)> AfterAnalysis; // when the analysis ends, before the sync
        std::string Line;
        std::string Record; // how the record in the task log ends
    };
    const Case cases[] = {
        {"left folder missing",
         [this](tandemora::TSyncTask& t) { t.LFolder.FolerAllName = folders / "nowhere"; },
         {},
         "Cannot connect Left folder: " + folders / "nowhere" + " (No such file or directory)",
         "----- Analysis not started -----\r\n"},
        {"not enough room",
         {},
         [](TFSyncMain* window) { window->RightFree = 0; },
         "Right Folder disk space is not enough. Needed: 10 bytes, free: 0 bytes.",
         "----- Sync not started -----\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteOptions({{"AutoClose", "1"}, {"SaveLog", "1"}});
        const std::string name = std::string("Broken ") + c.Name;
        const std::string id = SaveTask(name, folders / "a", folders / "b", [&](tandemora::TSyncTask& t) {
            t.TSsync = 1;
            if (c.Adjust) {
                c.Adjust(t);
            }
        });
        ASSERT_TRUE(Start({name}));
        main->CloseDelay = 10;
        main->PowerOffDelay = 10;
        TFSyncMain* broken = main->TaskWindows().back();
        ASSERT_EQ(broken->Task->SyncName, name);
        if (c.AfterAnalysis) {
            // A run nobody watches goes on to its sync as soon as the analysis
            // has ended: the change is made by the analysis' own end, before
            // the sync can start.
            bool adjusted = false;
            auto adjust = [&] {
                if (!adjusted && !LinesStarting(broken, "All:").empty()) {
                    adjusted = true;
                    c.AfterAnalysis(broken);
                }
            };
            QObject::connect(broken, &TFSyncMain::RunStateChanged, broken, adjust);
            adjust();
            ASSERT_TRUE(WaitUntil([&] { return adjusted; }));
        }
        ASSERT_TRUE(WaitUntil([&] { return main->ClosedForGood(); }));
        EXPECT_EQ(main->ExitCode(), tandemora::ecNotStarted);
        EXPECT_TRUE(boxes.empty());
        EXPECT_FALSE(testsupport::Exists(program / "poweroff.txt"));
        EXPECT_FALSE(testsupport::Exists(folders / "b/from-a.txt"));
        const std::string log = ReadFile(program / (id + ".log"));
        const size_t reason = log.find(c.Line);
        ASSERT_NE(reason, std::string::npos) << log;
        EXPECT_EQ(log.find(c.Record, reason), log.size() - c.Record.size()) << log;
        End();
    }
}

// In a long list the command line runs exactly the task it names, wherever the
// task stands in the list.
TEST_F(CommandLineTest, AmongManyTasksTheNamedOneRunsAndNoOther) {
    const int kTasks = 300;
    WriteFile(folders / "a/from-a.txt", "bytes of a");
    for (int i = 0; i < kTasks; ++i) {
        SaveTask("Task " + std::to_string(i), folders / "a", Dir("r" + std::to_string(i)),
                 [](tandemora::TSyncTask& t) { t.TSsync = 1; });
    }
    const struct {
        const char* Name;
        int Code;
    } runs[] = {
        {"Task 173", tandemora::ecOk},
        {"Task 0", tandemora::ecOk},
        {"Task 299", tandemora::ecOk},
        {"Task 300", tandemora::ecTaskNotFound},
    };
    std::set<int> synchronised;
    for (const auto& r : runs) {
        SCOPED_TRACE(r.Name);
        const Ran ran = RunWithoutDisplay(r.Name);
        ASSERT_TRUE(ran.Ended);
        EXPECT_EQ(ran.Code, r.Code) << ran.Errors;
        if (r.Code == tandemora::ecOk) {
            synchronised.insert(std::stoi(std::string(r.Name).substr(5)));
        }
        for (int i = 0; i < kTasks; ++i) {
            ASSERT_EQ(testsupport::Exists(folders / ("r" + std::to_string(i) + "/from-a.txt")),
                      synchronised.count(i) == 1)
                << i;
        }
    }
}

} // namespace
} // namespace uitest
