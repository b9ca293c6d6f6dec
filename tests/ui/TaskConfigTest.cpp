// The task options dialog driven as a person drives it: fields typed, boxes
// clicked, folders browsed, OK, Apply and Cancel pressed; then the task list on
// disk and the windows of the program checked.

#include "UiFixture.h"

#include "dialogs/UFSelectFolder.h"
#include "dialogs/UFTaskConfig.h"

#include <QImage>
#include <QPlainTextEdit>

namespace uitest {
namespace {

using tandemora::TFSelectFolder;
using tandemora::TFSyncMain;
using tandemora::TFTaskConfig;
using tandemora::TSyncTask;

class TaskConfigTest : public DialogTest {
protected:
    // Chooses a folder on the Computer page of the picker and confirms it.
    static void PickLocal(TFSelectFolder* picker, const std::string& path) {
        ClickTab(picker->pc1, 0);
        Type(picker->Edit_Address, QString::fromStdString(path));
        QTest::mouseClick(picker->BitBtn_ok, Qt::LeftButton);
    }
};

// Every field shown by TaskToForm comes back unchanged through FormToTask.
TEST_F(TaskConfigTest, EveryFieldRoundTripsThroughTheForm) {
    auto task = Saved("Docs", [](TSyncTask& t) {
        t.SyncDirection = tandemora::sdLeftToRight;
        t.ForcedOrVerified = tandemora::fvVerified;
        t.SaveOldFile = 1;
        t.UseTempFile = 1;
        t.IsDeleteFile = 1;
        t.CheckNoChange = 1;
        t.ExcludeFilter = {"\\.tmp$", " lead", "\\.tmp$"};
        t.IncludeFilter = {"doc"};
        t.ExcludeHiddenFile = 1;
        t.StartAnalyze = 1;
        t.ConnectSync = 1;
        t.ConnectAnalyze = 1;
        t.PeriodAnalyze = 1;
        t.Hours = 2;
        t.minutes = 30;
        t.TaskScheduler = "At 10:00 every day";
        t.Conflicts = tandemora::cfNewerFileWins;
        t.EnsureFolderTags = 1;
    });
    auto dialog = OpenTaskOptions(task.get());
    Click(dialog->BitBtn_ok);

    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    const TSyncTask& t = *listed[0];
    EXPECT_EQ(t.SyncID, task->SyncID);
    const std::vector<std::pair<int32_t, int32_t>> numbers = {
        {t.SyncDirection, 1},     {t.ForcedOrVerified, 1},
        {t.SaveOldFile, 1},       {t.UseTempFile, 1},
        {t.IsDeleteFile, 1},      {t.CheckNoChange, 1},
        {t.EstimateDiskSpace, 0}, {t.ExcludeEmtpyFolder, 0},
        {t.ExcludeHiddenFile, 1}, {t.ExcludeSystemFile, 0},
        {t.StartSync, 0},         {t.StartAnalyze, 1},
        {t.ConnectSync, 1},       {t.ConnectAnalyze, 1},
        {t.PeriodAnalyze, 1},     {t.Hours, 2},
        {t.minutes, 30},          {t.TSanalyze, 0},
        {t.Conflicts, 1},         {t.EnsureFolderTags, 1},
    };
    for (size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i].first, numbers[i].second) << "field " << i;
    }
    EXPECT_EQ(t.ExcludeFilter, (std::vector<std::string>{"\\.tmp$", " lead", "\\.tmp$"}));
    EXPECT_EQ(t.IncludeFilter, (std::vector<std::string>{"doc"}));
    EXPECT_EQ(t.TaskScheduler, "At 10:00 every day");
    EXPECT_EQ(t.LFolder.FolerAllName, task->LFolder.FolerAllName);
}

TEST_F(TaskConfigTest, DependentBoxesFollowTheirRules) {
    auto task = Saved("Docs", [](TSyncTask& t) {
        t.EstimateDiskSpace = 1;
        t.SaveOldFile = 1;
        t.ForcedOrVerified = tandemora::fvVerified; // both ways: stored as none
        t.PeriodAnalyze = 1;
        t.Hours = 5;
    });
    auto dialog = OpenTaskOptions(task.get());
    // Snapshots kept locally: no previous versions.
    EXPECT_FALSE(dialog->cb_savepv->isChecked());

    // A sync trigger holds its analysis.
    ClickTab(dialog->pc1, 2);
    const std::pair<QCheckBox*, QCheckBox*> pairs[] = {
        {dialog->cb_syncitstart, dialog->cb_anaitstart},
        {dialog->cb_syncconn, dialog->cb_anaconn},
        {dialog->cb_synclogoff, dialog->cb_anslogoff},
        {dialog->cb_synctaskscheduler, dialog->cb_anataskschedule}};
    for (const auto& [syncBox, analyzeBox] : pairs) {
        SCOPED_TRACE(syncBox->text().toStdString());
        Click(syncBox);
        EXPECT_TRUE(analyzeBox->isChecked());
        Click(syncBox);
    }
    // Clearing the periodic analysis clears its period.
    EXPECT_EQ(dialog->edit_hours->value(), 5);
    Click(dialog->cb_anaperiod);

    Click(dialog->BitBtn_ok);
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->SaveOldFile, 0);
    EXPECT_EQ(listed[0]->ForcedOrVerified, tandemora::fvNone);
    EXPECT_EQ(listed[0]->SyncDirection, tandemora::sdBothWays);
    EXPECT_EQ(listed[0]->LogoffAnalyze, 1);
    EXPECT_EQ(listed[0]->LogoffSync, 0);
    EXPECT_EQ(listed[0]->PeriodAnalyze, 0);
    EXPECT_EQ(listed[0]->Hours, 0);
}

TEST_F(TaskConfigTest, PatternRowsAreAddedTypedAndDeleted) {
    auto task = Saved("Docs");
    auto dialog = OpenTaskOptions(task.get());
    ClickTab(dialog->pc1, 1);
    QTableWidget* list = dialog->vedit_exclude;
    EXPECT_EQ(Column(list), (std::vector<QString>{""}));
    TypeRow(list, 0, "\\.bak$");
    Click(dialog->bt_addexclude); // a new row where the current one is
    EXPECT_EQ(list->currentRow(), 0);
    TypeRow(list, 0, "   ");
    Click(dialog->bt_addexclude);
    TypeRow(list, 0, " cache");
    Click(dialog->bt_addexclude);
    TypeRow(list, 0, "\\.bak$");
    EXPECT_EQ(Column(list), (std::vector<QString>{"\\.bak$", " cache", "   ", "\\.bak$"}));
    // Deleting every row leaves one empty row to type into.
    Click(dialog->bt_addinclude);
    TypeRow(dialog->vedit_include, 0, "x");
    for (int i = 0; i < 3; ++i) {
        dialog->vedit_include->setCurrentCell(0, 1);
        Click(dialog->bt_delinclude);
    }
    EXPECT_EQ(Column(dialog->vedit_include), (std::vector<QString>{""}));

    Click(dialog->BitBtn_ok);
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    // Blank rows are dropped; a leading blank and a repeated pattern are kept.
    EXPECT_EQ(listed[0]->ExcludeFilter, (std::vector<std::string>{"\\.bak$", " cache", "\\.bak$"}));
    EXPECT_TRUE(listed[0]->IncludeFilter.empty());
}

// The hint pane and the schedule field only show text: they are painted in the
// button face colour, not as white fields to type in.
TEST_F(TaskConfigTest, TheHintPaneAndTheScheduleFieldHaveTheButtonFaceColour) {
    auto task = Saved("Docs", [](tandemora::TSyncTask& t) { t.TSanalyze = 1; });
    auto dialog = OpenTaskOptions(task.get(), 2);
    const QColor face = dialog->palette().color(QPalette::Button);
    ASSERT_NE(face, dialog->palette().color(QPalette::Base)); // else the test shows nothing
    const std::pair<QWidget*, QPoint> fields[] = {
        {dialog->Memo1, QPoint(dialog->Memo1->width() - 12, dialog->Memo1->height() / 2)},
        {dialog->Edit_task, QPoint(dialog->Edit_task->width() - 12, dialog->Edit_task->height() / 2)},
    };
    for (const auto& [field, inside] : fields) {
        SCOPED_TRACE(field->objectName().toStdString());
        EXPECT_EQ(QColor(field->grab().toImage().pixel(inside)), face);
    }
}

TEST_F(TaskConfigTest, OkChecksTheNameAndTheFoldersBeforeSaving) {
    Saved("Docs");
    const std::string left = Dir("a");
    const std::string right = Dir("b");
    struct Case {
        const char* Name;
        QString TaskName;
        std::string Left;
        std::string Right;
        int Result; // -1: the dialog stays open
        QString Pane;
        QString Box;
    };
    const Case cases[] = {
        {"blank name cancels", "   ", left, right, QDialog::Rejected, "", ""},
        {"slash in the name", "a/b", left, right, -1, Text("tasknameerror"), ""},
        {"another task's name", " Docs ", left, right, -1, "",
         "A task named \"Docs\" already exists. Please choose another name."},
        {"no right folder", "Photos", left, "", -1, "", "Folders is empty."},
        {"one folder twice", "Photos", left, left + "/", -1, "", "Left and right folders are the same"},
        {"one folder inside the other", "Photos", left, left + "/x", -1, "",
         "Cannot Analyze nested folders."},
        {"good", " Photos ", left, right, QDialog::Accepted, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        boxes.clear();
        const std::string before = ReadFile(program / "tasklist.td");
        auto dialog = OpenTaskOptions(nullptr);
        dialog->Task->LFolder.DeviceType = tandemora::dtLocal;
        dialog->Task->LFolder.FolerAllName = c.Left;
        dialog->Task->RFolder.DeviceType = tandemora::dtLocal;
        dialog->Task->RFolder.FolerAllName = c.Right;
        Type(dialog->edit_taskname, c.TaskName);
        Click(dialog->BitBtn_ok);
        if (c.Result < 0) {
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(ReadFile(program / "tasklist.td"), before);
            // Apply refuses the same name and folders.
            Click(dialog->BitBtn_Apply);
            EXPECT_EQ(ReadFile(program / "tasklist.td"), before);
            EXPECT_EQ(dialog->IsNew, 1);
        } else {
            EXPECT_FALSE(dialog->isVisible());
            EXPECT_EQ(dialog->result(), c.Result);
        }
        EXPECT_EQ(dialog->Memo1->toPlainText(), c.Pane);
        if (c.Box.isEmpty()) {
            EXPECT_TRUE(boxes.empty());
        } else {
            ASSERT_FALSE(boxes.empty());
            EXPECT_EQ(boxes[0].Text, c.Box);
        }
    }
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]->SyncName, "Photos");
    EXPECT_EQ(listed[1]->LFolder.FolerAllName, left);
}

// A pattern the analysis could not compile is told as soon as it is typed and
// keeps the task from being saved until it is mended.
TEST_F(TaskConfigTest, AFilterPatternThatDoesNotCompileIsToldAndRefused) {
    auto dialog = OpenTaskOptions(nullptr);
    dialog->Task->LFolder.FolerAllName = Dir("l");
    dialog->Task->RFolder.FolerAllName = Dir("r");
    Type(dialog->edit_taskname, "Music");
    ClickTab(dialog->pc1, 1);
    TypeRow(dialog->vedit_exclude, 0, "*.tmp");
    const QString told = "The exclude pattern \"*.tmp\" is not a regular expression: quantifier does not "
                         "follow a repeatable item at character 1.";
    EXPECT_EQ(dialog->Memo1->toPlainText(), told);
    EXPECT_EQ(dialog->vedit_exclude->item(0, 1)->toolTip(), told);

    ClickTab(dialog->pc1, 0);
    const std::string before = ReadFile(program / "tasklist.td");
    for (QPushButton* button : {dialog->BitBtn_Apply, dialog->BitBtn_ok}) {
        Click(button);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->pc1->currentWidget(), dialog->ts_filter);
        EXPECT_EQ(dialog->Memo1->toPlainText(), told);
        EXPECT_EQ(ReadFile(program / "tasklist.td"), before);
    }

    dialog->vedit_exclude->item(0, 1)->setText("\\.tmp$");
    EXPECT_EQ(dialog->Memo1->toPlainText(), "");
    Click(dialog->BitBtn_ok);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->ExcludeFilter, (std::vector<std::string>{"\\.tmp$"}));
}

TEST_F(TaskConfigTest, ApplySavesOnceAndLaterSavesRewriteTheSameTask) {
    auto dialog = OpenTaskOptions(nullptr);
    dialog->Task->LFolder.FolerAllName = Dir("l");
    dialog->Task->RFolder.FolerAllName = Dir("r");
    Type(dialog->edit_taskname, "Music");
    Click(dialog->BitBtn_Apply);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->IsNew, 0);
    ASSERT_NE(dialog->LastSaved, nullptr);
    EXPECT_EQ(dialog->LastSaved->SyncName, "Music");
    Type(dialog->edit_taskname, "Songs");
    Click(dialog->BitBtn_Apply);
    Click(dialog->cb_prodelete);
    Click(dialog->BitBtn_Cancel);
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->SyncName, "Songs");
    EXPECT_EQ(listed[0]->IsDeleteFile, 0); // changed after the last Apply, then cancelled
    EXPECT_EQ(dialog->LastSaved->SyncID, listed[0]->SyncID);
}

// A task list that is gone, or that cannot be read and so is not replaced:
// the save is told as failed, whether the task is new or not.
TEST_F(TaskConfigTest, AFailedSaveIsNotTakenForDone) {
    auto existing = Saved("Docs");
    for (const std::string& damaged : {std::string(), std::string("this is no task list")}) {
        if (damaged.empty()) {
            std::filesystem::remove(program / "tasklist.td");
        } else {
            WriteFile(program / "tasklist.td", damaged);
        }
        for (const TSyncTask* task :
             {static_cast<const TSyncTask*>(nullptr), static_cast<const TSyncTask*>(existing.get())}) {
            SCOPED_TRACE(damaged + (task == nullptr ? " new" : " existing"));
            boxes.clear();
            auto dialog = OpenTaskOptions(task);
            dialog->Task->LFolder.FolerAllName = Dir("l");
            dialog->Task->RFolder.FolerAllName = Dir("r");
            Type(dialog->edit_taskname, "Video");
            Click(dialog->BitBtn_ok);
            EXPECT_TRUE(dialog->isVisible());
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_TRUE(boxes[0].Text.startsWith("The task \"Video\" could not be saved in the task list"));
            EXPECT_EQ(dialog->LastSaved, nullptr);
            if (task == nullptr) {
                EXPECT_EQ(dialog->Task->SyncID, ""); // no identity from a save that did not happen
            }
        }
        EXPECT_EQ(testsupport::Exists(program / "tasklist.td"), !damaged.empty());
    }
}

// ---- From the program's windows --------------------------------------------------------------

TEST_F(TaskConfigTest, NewTaskFromTheMainWindowGetsItsPage) {
    const std::string left = Dir("left");
    const std::string right = Dir("right");
    ASSERT_TRUE(Start());

    // Cancelled: no task, no page.
    WhenModal<TFTaskConfig>(
        [](TFTaskConfig* dialog) { QTest::mouseClick(dialog->BitBtn_Cancel, Qt::LeftButton); });
    QTest::mouseClick(main->bt_addtask, Qt::LeftButton);
    EXPECT_TRUE(main->TaskWindows().empty());

    WhenModal<TFTaskConfig>([&](TFTaskConfig* dialog) {
        Type(dialog->edit_taskname, "Photos");
        WhenModal<TFSelectFolder>([&](TFSelectFolder* picker) { PickLocal(picker, left); });
        QTest::mouseClick(dialog->tb_lbrowse, Qt::LeftButton);
        WhenModal<TFSelectFolder>([&](TFSelectFolder* picker) { PickLocal(picker, right); });
        QTest::mouseClick(dialog->tb_rbrowse, Qt::LeftButton);
        QTest::mouseClick(dialog->BitBtn_ok, Qt::LeftButton);
    });
    main->Action_addTask->trigger();
    ASSERT_EQ(main->TaskWindows().size(), 1u);
    TFSyncMain* window = Window(0);
    EXPECT_EQ(main->PageControl_tasklist->tabText(0), "Photos");
    EXPECT_EQ(window->edit_LFolder->text().toStdString(), left);
    EXPECT_EQ(window->Edit_RFolder->text().toStdString(), right);
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->SyncID, window->Task->SyncID);
    EXPECT_EQ(listed[0]->RFolder.FolerAllName, right);
}

TEST_F(TaskConfigTest, TaskOptionsFromTheTaskWindowEditACopy) {
    SaveTask("Docs", Dir("l"), Dir("r"));
    WriteFile(folders / "l/a.txt", "alpha");
    ASSERT_TRUE(Start());
    TFSyncMain* window = Window(0);
    Click(window->BitBtn_Analyze);
    ASSERT_TRUE(WaitIdle(window));
    ASSERT_TRUE(window->BitBtn_Sync->isEnabled());

    // Cancel: the window's task stays as it was, and so does its result.
    WhenModal<TFTaskConfig>([](TFTaskConfig* dialog) {
        Type(dialog->edit_taskname, "Other");
        QTest::mouseClick(dialog->BitBtn_Cancel, Qt::LeftButton);
    });
    Click(window->bt_taskconfig);
    EXPECT_EQ(window->Task->SyncName, "Docs");
    EXPECT_TRUE(window->BitBtn_Sync->isEnabled());

    // OK: renamed everywhere; the result of the old options is gone.
    bool busyMeanwhile = false;
    WhenModal<TFTaskConfig>([&](TFTaskConfig* dialog) {
        busyMeanwhile = window->IsBusy() && main->AnyTaskRunning();
        Type(dialog->edit_taskname, "Papers");
        dialog->cb_syncdirect->setFocus();
        QTest::keyClick(dialog->cb_syncdirect, Qt::Key_Down);
        QTest::mouseClick(dialog->BitBtn_ok, Qt::LeftButton);
    });
    main->Action_Options->trigger(); // the menu forwards WM_JOB_OPTION
    EXPECT_TRUE(busyMeanwhile);      // no trigger starts the task while its options are open
    EXPECT_FALSE(window->IsBusy());
    EXPECT_EQ(window->Task->SyncName, "Papers");
    EXPECT_EQ(window->Task->SyncDirection, tandemora::sdLeftToRight);
    EXPECT_EQ(main->PageControl_tasklist->tabText(0), "Papers");
    EXPECT_FALSE(window->BitBtn_Sync->isEnabled());
    EXPECT_EQ(ListedTasks()[0]->SyncName, "Papers");

    // Apply, then Cancel: the window follows what was saved.
    WhenModal<TFTaskConfig>([](TFTaskConfig* dialog) {
        Type(dialog->edit_taskname, "Letters");
        QTest::mouseClick(dialog->BitBtn_Apply, Qt::LeftButton);
        Type(dialog->edit_taskname, "Not this");
        QTest::mouseClick(dialog->BitBtn_Cancel, Qt::LeftButton);
    });
    Click(window->bt_taskconfig);
    EXPECT_EQ(window->Task->SyncName, "Letters");
    EXPECT_EQ(ListedTasks()[0]->SyncName, "Letters");
    EXPECT_EQ(ListedTasks().size(), 1u);
}

TEST_F(TaskConfigTest, BrowseInTheTaskWindowSavesTheNewFolder) {
    const std::string id = SaveTask("Docs", Dir("l"), Dir("r"));
    const std::string moved = Dir("moved");
    ASSERT_TRUE(Start());
    TFSyncMain* window = Window(0);
    WhenModal<TFSelectFolder>([&](TFSelectFolder* picker) {
        EXPECT_EQ(picker->Edit_Address->text().toStdString(), folders / "l");
        PickLocal(picker, moved);
    });
    Click(window->bt_LBrowse);
    EXPECT_EQ(window->edit_LFolder->text().toStdString(), moved);
    const auto listed = ListedTasks();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->SyncID, id);
    EXPECT_EQ(listed[0]->LFolder.FolerAllName, moved);
    EXPECT_EQ(listed[0]->RFolder.FolerAllName, folders / "r");
}

} // namespace
} // namespace uitest
