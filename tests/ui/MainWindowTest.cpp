// The main window: task pages, the task-list commands, menus and keys, the
// all-task commands, the closing rules and the end of a synchronisation.

#include "UiFixture.h"
#include "platform/Scheduler.h"

#include <QStackedWidget>
#include <QWidget>
#include <cstring>

namespace uitest {
namespace {

using tandemora::TFSyncMain;

class MainWindowTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        for (const char* side : {"a", "b", "c", "d"}) {
            WriteFile(folders / (std::string(side) + "/file-" + side + ".txt"), side);
        }
    }

    std::vector<QString> TabCaptions() const {
        std::vector<QString> captions;
        for (int i = 0; i < main->PageControl_tasklist->count(); ++i) {
            captions.push_back(main->PageControl_tasklist->tabText(i));
        }
        return captions;
    }

    // Presses a key in the main window the way a person does.
    void Press(QKeySequence key) {
        main->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(main));
        QTest::keySequence(main, key);
    }
};

TEST_F(MainWindowTest, TasksOfTheListBecomePagesPairedByCaption) {
    SaveTask("Photos", Dir("a"), Dir("b"));
    SaveTask("Music", Dir("c"), Dir("d"));
    SaveTask("Photos", Dir("b"), Dir("c"));
    ASSERT_TRUE(Start());
    EXPECT_TRUE(main->PageControl_tasklist->isVisible());
    EXPECT_EQ(TabCaptions(), (std::vector<QString>{"Photos", "Music", "Photos"}));
    ASSERT_EQ(main->TaskWindows().size(), 3u);
    EXPECT_EQ(Window(1)->edit_LFolder->text().toStdString(), Dir("c"));
    main->PageControl_tasklist->setCurrentIndex(1);
    EXPECT_EQ(main->ActiveTaskWindow(), Window(1));
    // Two tasks of one name: both tabs bring up the first window of that name.
    main->PageControl_tasklist->setCurrentIndex(2);
    EXPECT_EQ(main->ActiveTaskWindow(), Window(0));
    EXPECT_TRUE(main->NoticeText().isEmpty());
    EXPECT_EQ(ErrorLog(), "");
}

// A long list: a task's window is made when its page is first shown, and shows
// that task; the tabs are measured once the whole list is in.
TEST_F(MainWindowTest, AmongManyTasksAPageFirstShownShowsItsOwnTask) {
    const int kTasks = 150;
    auto name = [](int i) { return "Task " + std::to_string(i); };
    for (int i = 0; i < kTasks; ++i) {
        SaveTask(name(i), Dir("a"), Dir("r" + std::to_string(i)));
    }
    ASSERT_TRUE(Start());
    ASSERT_EQ(main->TaskCount(), kTasks);
    ASSERT_EQ(main->PageControl_tasklist->count(), kTasks);
    EXPECT_EQ(main->OpenTaskWindows().size(), 1u);
    EXPECT_EQ(main->ActiveTaskWindow()->Task->SyncName, name(0));
    EXPECT_GT(main->PageControl_tasklist->tabRect(kTasks - 1).width(), 20);

    const struct {
        int Tab;
        size_t Made; // windows made once the page is shown
    } steps[] = {{77, 2}, {5, 3}, {kTasks - 1, 4}, {77, 4}};
    TFSyncMain* first77 = nullptr;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Tab);
        main->PageControl_tasklist->setCurrentIndex(step.Tab);
        TFSyncMain* active = main->ActiveTaskWindow();
        ASSERT_NE(active, nullptr);
        EXPECT_EQ(active->Task->SyncName, name(step.Tab));
        EXPECT_EQ(active->windowTitle().toStdString(), name(step.Tab));
        EXPECT_EQ(active->Edit_RFolder->text().toStdString(), Dir("r" + std::to_string(step.Tab)));
        EXPECT_EQ(main->OpenTaskWindows().size(), step.Made);
        if (step.Tab == 77) {
            first77 = first77 == nullptr ? active : first77;
            EXPECT_EQ(active, first77); // made once
        }
    }

    // Deleting the shown task shows the next one, made for it, with its own task.
    main->Action_DeleteTask->trigger();
    ASSERT_EQ(main->TaskCount(), kTasks - 1);
    EXPECT_EQ(main->ActiveTaskWindow()->Task->SyncName, name(78));
    EXPECT_EQ(main->ActiveTaskWindow()->Edit_RFolder->text().toStdString(), Dir("r78"));
    EXPECT_EQ(ListedTasks().size(), static_cast<size_t>(kTasks - 1));
    // Every window, made now, holds the task of its tab.
    const std::vector<TFSyncMain*> windows = main->TaskWindows();
    ASSERT_EQ(windows.size(), static_cast<size_t>(kTasks - 1));
    for (int i = 0; i < kTasks - 1; ++i) {
        EXPECT_EQ(windows[i]->Task->SyncName, main->PageControl_tasklist->tabText(i).toStdString());
    }
    EXPECT_EQ(windows[77]->Task->SyncName, name(78));
}

TEST_F(MainWindowTest, AMissingOrDamagedTaskListIsLoggedAndTold) {
    struct Case {
        const char* Name;
        std::string Text; // empty: no file at all
        size_t Pages;
        const char* Notice;
    };
    const Case cases[] = {
        {"missing", "", 0, "Tasks not loaded: The task list could not be read or written"},
        {"not XML", "this is no task list", 0,
         "Tasks not loaded: The task list could not be read or written"},
        // A damaged task is named and does not hide the tasks after it.
        {"second task damaged", "", 2,
         "Tasks not loaded: task 2 \"Bad\": 'many' is not a valid integer value in Hours"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        std::remove((program / "ErrorInfo.txt").c_str());
        SetUp();
        if (std::string(c.Name) == "missing") {
            std::remove((program / "tasklist.td").c_str());
        } else if (c.Pages > 0) {
            SaveTask("Good", Dir("a"), Dir("b"));
            SaveTask("Bad", Dir("c"), Dir("d"));
            SaveTask("Third", Dir("c"), Dir("d"));
            std::string text = ReadFile(program / "tasklist.td");
            const size_t bad = text.find("<SyncName>Bad</SyncName>");
            const size_t hours = text.find("<Hours>0</Hours>", bad);
            ASSERT_NE(hours, std::string::npos);
            text.replace(hours, 16, "<Hours>many</Hours>");
            WriteFile(program / "tasklist.td", text);
        } else {
            WriteFile(program / "tasklist.td", c.Text);
        }
        ASSERT_TRUE(Start());
        EXPECT_EQ(main->TaskWindows().size(), c.Pages);
        EXPECT_EQ(main->PageControl_tasklist->isVisible(), c.Pages > 0);
        const std::string log = ErrorLog();
        EXPECT_NE(log.find("msg:The task list could not be read or written "), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
        EXPECT_TRUE(main->NoticeText().contains(c.Notice)) << main->NoticeText().toStdString();
        EXPECT_NE(log.find(std::string(c.Notice).substr(std::strlen("Tasks not loaded: "))),
                  std::string::npos)
            << log;
        EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(TabCaptions(), (std::vector<QString>{"Good", "Third"}));
}

// A list that can no longer be read takes no change: the user is told, and the
// pages stay as the list has them.
TEST_F(MainWindowTest, ChangesTheTaskListDidNotTakeAreToldAndUndone) {
    SaveTask("Keep", Dir("a"), Dir("b"));
    ASSERT_TRUE(Start());
    WriteFile(program / "tasklist.td", "this is no task list");
    main->Action_clone->trigger();
    main->Action_DeleteTask->trigger();
    ASSERT_EQ(boxes.size(), 3u); // the clone's refusal, the question, the deletion's refusal
    EXPECT_TRUE(boxes[0].Text.startsWith("The clone of the task \"Keep\" was not made"))
        << boxes[0].Text.toStdString();
    EXPECT_TRUE(boxes[2].Text.startsWith("The task \"Keep\" was not deleted")) << boxes[2].Text.toStdString();
    EXPECT_EQ(TabCaptions(), (std::vector<QString>{"Keep"}));
    EXPECT_EQ(ReadFile(program / "tasklist.td"), "this is no task list");
}

// A running task is not deleted (and not asked about); an idle one only when
// the person agrees, and only the active one.
TEST_F(MainWindowTest, DeleteAsksAndRemovesOnlyTheActiveIdleTask) {
    const std::string keepId = SaveTask("Keep", Dir("a"), Dir("b"));
    const std::string goneId = SaveTask("Gone", Dir("c"), Dir("d"));
    ASSERT_TRUE(Start());
    main->PageControl_tasklist->setCurrentIndex(1);
    Click(Window(1)->BitBtn_Analyze);
    ASSERT_TRUE(Window(1)->IsBusy());
    main->Action_DeleteTask->trigger();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(main->NoticeText(), "The task \"Gone\" is running; it cannot be deleted now.");
    ASSERT_TRUE(WaitIdle(Window(1)));

    boxAnswer = tandemora::IDCANCEL;
    main->Action_DeleteTask->trigger();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(main->TaskWindows().size(), 2u);

    boxAnswer = tandemora::IDOK;
    main->Action_DeleteTask->trigger();
    EXPECT_EQ(TabCaptions(), (std::vector<QString>{"Keep"}));
    const std::string list = ReadFile(program / "tasklist.td");
    EXPECT_EQ(list.find("<SyncID>" + goneId + "</SyncID>"), std::string::npos);
    EXPECT_NE(list.find("<SyncID>" + keepId + "</SyncID>"), std::string::npos);

    // With the last task deleted there is nothing left to act on.
    main->Action_DeleteTask->trigger();
    EXPECT_TRUE(main->TaskWindows().empty());
    boxes.clear();
    main->Action_DeleteTask->trigger();
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, DeletingAScheduledTaskRemovesItsRunUnlessAnotherTaskHasItsName) {
    auto scheduled = [](tandemora::TSyncTask& task) { task.TSsync = 1; };
    SaveTask("Nightly", Dir("a"), Dir("b"), scheduled);
    SaveTask("Nightly", Dir("c"), Dir("d"), scheduled);
    SaveTask("Weekly", Dir("e"), Dir("f"), scheduled);
    std::string error;
    tandemora::TScheduler scheduler(program / "crontab");
    for (const char* name : {"Nightly", "Weekly"}) {
        tandemora::TWorkItem item;
        item.Name = item.Parameters = name;
        item.ApplicationName = "/opt/tandemora/tandemora";
        item.WorkingDirectory = "/opt/tandemora";
        item.Trigger.TriggerType = tandemora::TASK_TIME_TRIGGER_DAILY;
        item.Trigger.DaysInterval = 1;
        item.Trigger.wBeginYear = 2026;
        item.Trigger.wBeginMonth = 1;
        item.Trigger.wBeginDay = 1;
        ASSERT_TRUE(scheduler.SaveWorkItem(item, error)) << error;
    }
    ASSERT_TRUE(Start());
    boxAnswer = tandemora::IDOK;
    tandemora::TWorkItem found;

    // The other "Nightly" task still needs the run.
    main->PageControl_tasklist->setCurrentIndex(0);
    main->Action_DeleteTask->trigger();
    EXPECT_TRUE(scheduler.FindWorkItem("Nightly", found, error)) << error;

    main->PageControl_tasklist->setCurrentIndex(0);
    main->Action_DeleteTask->trigger();
    EXPECT_FALSE(scheduler.FindWorkItem("Nightly", found, error));
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_TRUE(scheduler.FindWorkItem("Weekly", found, error)) << error;
}

TEST_F(MainWindowTest, CloneAddsANewTaskWithoutFolders) {
    const std::string id = SaveTask("Docs", Dir("a"), Dir("b"), [](tandemora::TSyncTask& t) {
        t.SyncDirection = tandemora::sdLeftToRight;
        t.ExcludeFilter = {"~$"};
    });
    ASSERT_TRUE(Start());
    main->Action_clone->trigger();
    EXPECT_EQ(TabCaptions(), (std::vector<QString>{"Docs", "New_Docs"}));
    TFSyncMain* clone = main->ActiveTaskWindow();
    ASSERT_EQ(clone, Window(1));
    EXPECT_EQ(clone->Task->SyncID, "New_" + id);
    EXPECT_EQ(clone->Task->SyncDirection, tandemora::sdLeftToRight);
    EXPECT_TRUE(clone->edit_LFolder->text().isEmpty());
    EXPECT_NE(ReadFile(program / "tasklist.td").find("<SyncID>New_" + id + "</SyncID>"), std::string::npos);
}

TEST_F(MainWindowTest, ExportCopiesTheListAndImportAddsItsTasksAgain) {
    const std::string id = SaveTask("Docs", Dir("a"), Dir("b"));
    ASSERT_TRUE(Start());
    const std::string before = ReadFile(program / "tasklist.td");

    const struct {
        std::string Chosen;
        std::string Written;
    } exports[] = {{folders / "backup", folders / "backup.td"},
                   {folders / "Backup.TD", folders / "Backup.TD"}};
    for (const auto& e : exports) {
        fileAnswer = QString::fromStdString(e.Chosen);
        main->Action_exportTL->trigger();
        EXPECT_EQ(ReadFile(e.Written), before);
        struct stat st {};
        ASSERT_EQ(stat(e.Written.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u); // it holds the passwords
    }
    EXPECT_FALSE(testsupport::Exists(folders / "Backup.TD.td"));

    fileAnswer = QString::fromStdString(folders / "backup.td");
    main->Action_ImprotTL->trigger();
    EXPECT_EQ(TabCaptions(), (std::vector<QString>{"Docs", "Docs"}));
    EXPECT_EQ(Window(1)->Task->SyncID, id + "_");
    const std::string list = ReadFile(program / "tasklist.td");
    EXPECT_NE(list.find("<SyncID>" + id + "</SyncID>"), std::string::npos);
    EXPECT_NE(list.find("<SyncID>" + id + "_</SyncID>"), std::string::npos);

    // A failed export says so instead of passing for done.
    fileAnswer = QString::fromStdString(folders / "no-such-folder/list");
    main->Action_exportTL->trigger();
    EXPECT_TRUE(main->NoticeText().startsWith("The task list could not be exported"));
}

TEST_F(MainWindowTest, ATaskWhoseIdentityLeavesItsFolderIsNeitherLoadedNorImported) {
    // Its log and snapshots would be written wherever "../../outside/evil" leads.
    SaveTask("Home", Dir("a"), Dir("c"));
    const std::string home = ReadFile(program / "tasklist.td");
    SaveTask("Good", Dir("a"), Dir("b"));
    SaveTask("Evil", Dir("c"), Dir("d"), [](tandemora::TSyncTask& task) { task.SyncID = "EvilID"; });
    std::string list = ReadFile(program / "tasklist.td");
    list.replace(list.find("EvilID"), 6, "../../outside/evil");
    WriteFile(folders / "shared.td", list);
    for (const bool imported : {false, true}) {
        SCOPED_TRACE(imported ? "imported" : "task list");
        TearDown();
        std::remove((program / "ErrorInfo.txt").c_str());
        SetUp();
        WriteFile(program / "tasklist.td", imported ? home : list);
        ASSERT_TRUE(Start());
        if (imported) {
            fileAnswer = QString::fromStdString(folders / "shared.td");
            main->Action_ImprotTL->trigger();
            EXPECT_EQ(ReadFile(program / "tasklist.td").find("outside"), std::string::npos);
        }
        // An import adds every task of the file again, Evil apart.
        const std::vector<QString> pages =
            imported ? std::vector<QString>{"Home", "Home", "Good"} : std::vector<QString>{"Home", "Good"};
        EXPECT_EQ(TabCaptions(), pages);
        EXPECT_NE(ErrorLog().find("EConvertError:task 3 \"Evil\": The task \"Evil\" is not loaded"),
                  std::string::npos)
            << ErrorLog();
        EXPECT_TRUE(main->NoticeText().startsWith("Tasks not loaded:")) << main->NoticeText().toStdString();
    }
}

// Menu keys act on the active task window only.
TEST_F(MainWindowTest, MenusForwardToTheActiveTaskWindow) {
    SaveTask("One", Dir("a"), Dir("b"));
    SaveTask("Two", Dir("c"), Dir("d"));
    ASSERT_TRUE(Start());
    TFSyncMain* one = Window(0);
    Press(QKeySequence(Qt::Key_F5));
    EXPECT_TRUE(one->IsBusy());
    EXPECT_FALSE(Window(1)->IsBusy());
    ASSERT_TRUE(WaitIdle(one));
    main->Action_Log->trigger();
    EXPECT_TRUE(one->Panel_log->isHidden());
}

TEST_F(MainWindowTest, AllTaskCommandsLeaveRunningTasksAsTheyAre) {
    SaveTask("First", Dir("a"), Dir("b"));
    SaveTask("Second", Dir("c"), Dir("d"));
    ASSERT_TRUE(Start());
    TFSyncMain* first = Window(0);
    TFSyncMain* second = Window(1);
    Click(first->BitBtn_Analyze);
    ASSERT_TRUE(first->IsBusy());

    Press(QKeySequence(Qt::Key_F8)); // sync all
    EXPECT_EQ(first->SyncAfterAnalyze, 0);
    EXPECT_TRUE(second->IsBusy());
    ASSERT_TRUE(WaitIdle(first));
    ASSERT_TRUE(WaitIdle(second));
    EXPECT_TRUE(LinesStarting(first, "----- Sync End.").empty());
    EXPECT_EQ(LinesStarting(second, "----- Sync End.").size(), 1u);
    EXPECT_FALSE(testsupport::Exists(Dir("b") + "/file-a.txt"));
    EXPECT_EQ(ReadFile(Dir("d") + "/file-c.txt"), "c");
}

TEST_F(MainWindowTest, ClosingRules) {
    struct Case {
        const char* Name;
        const char* HideTaskToTray;
        bool ViaExit;
        bool ClosesForGood;
    };
    const Case cases[] = {
        {"close box", "0", false, true},
        {"close box, hide to tray", "1", false, false},
        {"exit, hide to tray", "1", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        WriteOptions({{"HideTaskToTray", c.HideTaskToTray}, {"ShowTrayIcon", "0"}});
        SaveTask("Docs", Dir("a"), Dir("b"));
        ASSERT_TRUE(Start());
        EXPECT_FALSE(main->TrayIconAdded());
        TFSyncMain* window = Window(0);

        // A running task refuses every close, silently.
        Click(window->BitBtn_Analyze);
        if (c.ViaExit) {
            main->Action_exit->trigger();
        } else {
            main->close();
        }
        EXPECT_FALSE(main->ClosedForGood());
        EXPECT_TRUE(main->isVisible());
        EXPECT_FALSE(main->HiddenToTray());
        EXPECT_TRUE(boxes.empty());
        ASSERT_TRUE(WaitIdle(window));

        if (c.ViaExit) {
            main->Action_exit->trigger();
        } else {
            main->close();
        }
        EXPECT_EQ(main->ClosedForGood(), c.ClosesForGood);
        if (c.ClosesForGood) {
            EXPECT_FALSE(main->isVisible());
            EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=0"), std::string::npos);
        } else {
            // Hidden to the tray: the icon is added now, and the window is never
            // lost (with no notification area it stays minimised on screen).
            EXPECT_TRUE(main->HiddenToTray());
            EXPECT_TRUE(main->TrayIconAdded());
            // The analysis above ended the first run with its Sync tip.
            EXPECT_NE(ReadFile(program / "Tandemora.ini").find("IsFirst=0"), std::string::npos);
            main->act_returnFromTray->trigger();
            EXPECT_FALSE(main->HiddenToTray());
            EXPECT_TRUE(main->isVisible());
            EXPECT_FALSE(main->isMinimized());
            // The message does what the tray's command does.
            main->close();
            ASSERT_TRUE(main->HiddenToTray());
            tandemora::SendNotifyMessage(main, tandemora::WM_RETURNFROMTRAY, 0, 0);
            EXPECT_FALSE(main->HiddenToTray());
            EXPECT_TRUE(main->isVisible());
            EXPECT_FALSE(main->isMinimized());
        }
    }
}

TEST_F(MainWindowTest, PowerOffAfterASyncOnlyWhenNothingElseRuns) {
    WriteOptions({{"AutoClose", "1"}});
    SaveTask("First", Dir("a"), Dir("b"));
    SaveTask("Second", Dir("c"), Dir("d"));
    ASSERT_TRUE(Start());
    main->PowerOffDelay = 10;
    main->CloseDelay = 10;
    TFSyncMain* first = Window(0);
    TFSyncMain* second = Window(1);
    const std::string marker = program / "poweroff.txt";

    // A finished sync with nothing else running powers the computer off; the
    // window is not closed (no command-line run).
    SendNotifyMessage(first, tandemora::WM_ANAL_SYNC, 0, 10);
    ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(first, "----- Sync End.").empty(); }));
    ASSERT_TRUE(WaitUntil([&] { return testsupport::Exists(marker); }));
    EXPECT_EQ(ReadFile(marker), "off\n");
    EXPECT_EQ(ReadFile(Dir("b") + "/file-a.txt"), "a");
    QTest::qWait(100);
    EXPECT_FALSE(main->ClosedForGood());

    // A sync that ends while another task still runs: no power-off.
    std::remove(marker.c_str());
    Click(second->BitBtn_Analyze);
    ASSERT_TRUE(second->IsBusy());
    SendNotifyMessage(main, tandemora::WM_TASKFINISHED, 0, 10);
    ASSERT_TRUE(WaitIdle(second));
    QTest::qWait(100);
    EXPECT_FALSE(testsupport::Exists(marker));
}

TEST_F(MainWindowTest, ProgramStartTriggersRunAfterTheWindowIsShown) {
    SaveTask("AtStart", Dir("a"), Dir("b"), [](tandemora::TSyncTask& t) { t.StartSync = 1; });
    SaveTask("Quiet", Dir("c"), Dir("d"));
    ASSERT_TRUE(Start());
    TFSyncMain* atStart = Window(0);
    ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(atStart, "----- Sync End.").empty(); }));
    EXPECT_EQ(ReadFile(Dir("b") + "/file-a.txt"), "a");
    EXPECT_TRUE(Window(1)->LogLines().empty());
    EXPECT_EQ(main->CloseAfterRun, 0);
}

} // namespace
} // namespace uitest
