// Runs named on the command line: the way scheduled runs and servers use the
// program, without a display, ending by themselves after the synchronisation.

#include "UiFixture.h"
#include "platform/FileSystem.h"

#include <csignal>
#include <sstream>

namespace uitest {
namespace {

using tandemora::TFSyncMain;

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
    auto damaged = [&](const std::string& name) { // the last task's hours are no number
        task(name, sync);
        std::string text = ReadFile(program / "tasklist.td");
        text.replace(text.rfind("<Hours>0</Hours>"), 16, "<Hours>x</Hours>");
        WriteFile(program / "tasklist.td", text);
        return name;
    };
    tandemora::fs::TFileLock otherRun; // held as a run still going would hold it
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
             return task("Blocked", [](tandemora::TSyncTask& t) { t.TSsync = 1, t.SaveOldFile = 1; });
         },
         tandemora::ecItemsFailed, "1 item failed", "(its previous version could not be kept)\r\n"},
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
}

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
    for (int i = 0; i < 2000; ++i) {
        WriteFile(folders / ("many/" + std::to_string(i) + ".txt"), "bytes of " + std::to_string(i));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::create_directories(folders / c.Name);
        const std::string name = std::string("Many ") + c.Name;
        const std::string id =
            SaveTask(name, folders / "many", folders / c.Name, [](tandemora::TSyncTask& t) { t.TSsync = 1; });
        QProcess run;
        StartProcess(run, {QString::fromStdString(name)});
        ASSERT_TRUE(run.waitForStarted(10000));
        auto copyLines = [&] {
            std::vector<std::string> lines;
            std::istringstream log(ReadFile(program / (id + ".log")));
            for (std::string line; std::getline(log, line);) {
                if (line.rfind("Copy:", 0) == 0) {
                    lines.push_back(line);
                }
            }
            return lines;
        };
        const bool copying =
            WaitUntil([&] { return copyLines().size() >= 3 || run.state() == QProcess::NotRunning; });
        ::kill(static_cast<pid_t>(run.processId()), c.Signal);
        ASSERT_TRUE(run.waitForFinished(60000));
        ASSERT_TRUE(copying);
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
        const std::vector<std::string> lines = copyLines();
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
        std::function<void(TFSyncMain*)> AfterAnalysis; // before the sync's second is over
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
            ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(broken, "All:").empty(); }));
            c.AfterAnalysis(broken);
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

} // namespace
} // namespace uitest
