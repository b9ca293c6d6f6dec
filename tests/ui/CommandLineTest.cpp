// Runs named on the command line: the way scheduled runs and servers use the
// program, without a display, ending by themselves after the synchronisation.

#include "UiFixture.h"

#include <QProcess>
#include <filesystem>

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

    std::string nightly1;
    std::string nightly2;
    std::string lower;
};

TEST_F(CommandLineTest, NamedRunSynchronisesWithoutADisplayAndEndsByItself) {
    WriteOptions({{"SaveLog", "1"}});
    // The program's own copy, so that its program folder is the test's.
    const std::string program_file = program / "tandemora";
    std::filesystem::copy_file(TANDEMORA_PROGRAM_PATH, program_file);
    std::filesystem::permissions(program_file, std::filesystem::perms::owner_all);

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(display);
    }
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QString::fromStdString(program_file), {" Nightly "});
    ASSERT_TRUE(run.waitForStarted(10000));
    const bool ended = run.waitForFinished(120000);
    if (!ended) {
        run.kill();
        run.waitForFinished();
    }
    const std::string output = run.readAll().toStdString();
    ASSERT_TRUE(ended) << "the run did not end by itself\n" << output;
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(run.exitCode(), 0) << output;

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
    // The close ended the program for good, which clears the first-run flag.
    EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=0"), std::string::npos);
}

TEST_F(CommandLineTest, CloseAfterTheRunFollowsTheClosingRules) {
    struct Case {
        const char* Name;
        const char* HideTaskToTray;
        std::string Argument;
        bool Closes;
        bool HiddenToTray;
    };
    const Case cases[] = {
        {"sync run", "0", "Nightly", true, false},
        {"sync run, hide to tray", "1", "Nightly", false, true},
        {"no such task", "0", "Weekly", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteOptions({{"HideTaskToTray", c.HideTaskToTray}});
        ASSERT_TRUE(Start({c.Argument}));
        main->CloseDelay = 10;
        TFSyncMain* first = Window(0);
        ASSERT_TRUE(WaitIdle(first));
        if (c.Argument == "Nightly") {
            EXPECT_EQ(main->CloseAfterRun, 1);
            ASSERT_TRUE(WaitUntil([&] { return main->ClosedForGood() || main->HiddenToTray(); }));
        } else {
            QTest::qWait(600); // past the program-start triggers
            EXPECT_EQ(main->CloseAfterRun, 0);
            EXPECT_TRUE(first->LogLines().empty());
        }
        EXPECT_EQ(main->ClosedForGood(), c.Closes);
        EXPECT_EQ(main->HiddenToTray(), c.HiddenToTray);
        instance.reset();
        main = nullptr;
    }
}

// A scheduled run whose sync cannot begin must still end the program (cron would
// otherwise pile up processes), without a message box nobody can answer and
// without powering the computer off for a sync that never ran.
TEST_F(CommandLineTest, ARunThatCannotReachItsSyncStillEndsTheProgram) {
    struct Case {
        const char* Name;
        std::function<void(tandemora::TSyncTask&)> Adjust;
        const char* Line;
    };
    const Case cases[] = {
        {"left folder missing",
         [this](tandemora::TSyncTask& t) { t.LFolder.FolerAllName = folders / "nowhere"; },
         "Cannot connect Left folder: "},
        {"filter pattern that does not compile",
         [](tandemora::TSyncTask& t) { t.ExcludeFilter = {"(unclosed"}; }, "(unclosed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteOptions({{"AutoClose", "1"}});
        const std::string name = std::string("Broken ") + c.Name;
        SaveTask(name, folders / "a", folders / "b", [&](tandemora::TSyncTask& t) {
            t.TSsync = 1;
            c.Adjust(t);
        });
        ASSERT_TRUE(Start({name}));
        main->CloseDelay = 10;
        main->PowerOffDelay = 10;
        ASSERT_TRUE(WaitUntil([&] { return main->ClosedForGood(); }));
        TFSyncMain* broken = nullptr;
        for (TFSyncMain* window : main->TaskWindows()) {
            if (window->Task->SyncName == name) {
                broken = window;
            }
        }
        ASSERT_NE(broken, nullptr);
        bool named = false;
        for (const std::string& line : broken->LogLines()) {
            named = named || line.find(c.Line) != std::string::npos;
        }
        EXPECT_TRUE(named);
        EXPECT_TRUE(boxes.empty());
        EXPECT_FALSE(testsupport::Exists(program / "poweroff.txt"));
        EXPECT_FALSE(testsupport::Exists(folders / "b/from-a.txt"));
        instance.reset();
        main = nullptr;
    }
}

TEST_F(CommandLineTest, AnAnalysisRunLeavesTheProgramOpen) {
    SaveTask("Check", folders / "e", folders / "f", [](tandemora::TSyncTask& t) { t.TSanalyze = 1; });
    ASSERT_TRUE(Start({"Check"}));
    main->CloseDelay = 10;
    TFSyncMain* check = Window(3);
    ASSERT_NE(check, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(check, "All:").empty(); }));
    EXPECT_EQ(LinesStarting(check, "All:")[0], "All:2,Changed:2,Conflicts:0,Errors:0,Included:2,Excluded:0");
    EXPECT_TRUE(check->Task->Unattended);
    EXPECT_EQ(main->CloseAfterRun, 1);
    QTest::qWait(200);
    EXPECT_FALSE(main->ClosedForGood());
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(testsupport::Exists(folders / "f/from-e.txt"));
}

} // namespace
} // namespace uitest
