// Templates through the main window's commands: a task saved under a name the
// person types, and a new task made from a template the person picks.

#include "UiFixture.h"

#include "dialogs/UFTaskConfig.h"
#include "dialogs/uF_TastTemplate.h"
#include "dialogs/uF_TemplateList.h"

#include <QListWidget>

namespace uitest {
namespace {

using tandemora::TF_TastTemplate;
using tandemora::TF_TemplateList;
using tandemora::TFTaskConfig;

class TemplateTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        WriteFile(program / "TaskTemp.td", ReadFile(ResourceFolder() + "TaskTemp.td"));
    }

    // Starts the program with one task, "Photos", between two folders.
    void StartWithTask() {
        photosID = SaveTask("Photos", Dir("left"), Dir("right"), [](tandemora::TSyncTask& t) {
            t.RFolder.UserName = "me";
            t.RFolder.PWD = "secret";
            t.ExcludeFilter = {"\\.tmp$"};
        });
        ASSERT_TRUE(Start());
    }

    // Saves the active task as a template, typing name and pressing OK. Then
    // whatever the dialog still shows is cancelled.
    bool SaveAs(const QString& name) {
        bool stayedOpen = false;
        WhenModal<TF_TastTemplate>([&](TF_TastTemplate* dialog) {
            Type(dialog->Edit_name, name);
            Click(dialog->BitBtn1);
            stayedOpen = dialog->isVisible();
            if (stayedOpen) {
                Click(dialog->BitBtn2);
            }
        });
        main->Action_saveasT->trigger();
        return !stayedOpen;
    }

    std::string SavedTemplateList() {
        tandemora::TSysConfig read;
        read.Load(tandemora::kOptionsFileName);
        return read.TemplateList;
    }

    // Runs act; true when a modal dialog opened meanwhile (it is closed again, so
    // a dialog that should not have come cannot hold the test up).
    static bool OpensModal(const std::function<void()>& act) {
        bool opened = false;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&opened] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                opened = true;
                dialog->reject();
            }
        });
        poll.start();
        act();
        return opened;
    }

    std::string photosID;
};

TEST_F(TemplateTest, ATaskIsSavedAsATemplateUnderItsTrimmedName) {
    StartWithTask();
    ASSERT_TRUE(main->Action_saveasT->isEnabled());
    EXPECT_TRUE(SaveAs("  Weekly "));

    auto tasks = ListedTasks("Weekly.td");
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0]->SyncName, "Photos");
    EXPECT_EQ(tasks[0]->RFolder.PWD, "secret");
    EXPECT_EQ(tasks[0]->ExcludeFilter, (std::vector<std::string>{"\\.tmp$"}));
    struct stat st {};
    ASSERT_EQ(stat((program / "Weekly.td").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // it holds the passwords
    EXPECT_EQ(SavedTemplateList(), "Weekly");

    EXPECT_TRUE(SaveAs("Daily"));
    EXPECT_EQ(SavedTemplateList(), "Weekly,Daily");
    EXPECT_TRUE(boxes.empty());
}

// A name that cannot be a file name, "," (it separates the names of the
// template list) and the two files beside the program that hold the tasks and
// the empty template are refused with the dialog kept open; a blank name
// closes it and saves nothing.
TEST_F(TemplateTest, NamesThatCannotBeATemplateAreRefused) {
    StartWithTask();
    const std::string taskList = ReadFile(program / "tasklist.td");
    const std::string base = ReadFile(program / "TaskTemp.td");
    for (const char* name : {"a\\b", "a/b", "a:b", "a*b", "a?b", "a>b", "a<b", "a|b", "Mon,Fri", "tasklist",
                             "TaskTemp", "TASKLIST", "   "}) {
        SCOPED_TRACE(name);
        boxes.clear();
        const bool blank = std::string(name) == "   ";
        EXPECT_EQ(SaveAs(name), blank);
        EXPECT_EQ(boxes.size(), blank ? 0u : 1u);
    }
    EXPECT_EQ(ReadFile(program / "tasklist.td"), taskList);
    EXPECT_EQ(ReadFile(program / "TaskTemp.td"), base);
    EXPECT_FALSE(testsupport::Exists(program / ".td"));
    EXPECT_EQ(SavedTemplateList(), "");
}

TEST_F(TemplateTest, AnExistingNameIsReplacedOnlyWhenThePersonAgrees) {
    StartWithTask();
    ASSERT_TRUE(SaveAs("Weekly"));
    const std::string first = ReadFile(program / "Weekly.td");

    boxAnswer = tandemora::IDNO;
    EXPECT_FALSE(SaveAs("Weekly"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "A template named \"Weekly\" exists already. Do you want to replace it?");
    EXPECT_EQ(ReadFile(program / "Weekly.td"), first);

    main->ActiveTaskWindow()->Task->SyncName = "Renamed";
    boxAnswer = tandemora::IDYES;
    EXPECT_TRUE(SaveAs("Weekly"));
    EXPECT_EQ(ListedTasks("Weekly.td")[0]->SyncName, "Renamed");
    EXPECT_EQ(SavedTemplateList(), "Weekly"); // listed once

    // A template file nobody listed is not replaced unasked either.
    WriteFile(program / "Stray.td", "mine");
    boxes.clear();
    boxAnswer = tandemora::IDNO;
    EXPECT_FALSE(SaveAs("Stray"));
    EXPECT_EQ(ReadFile(program / "Stray.td"), "mine");
}

TEST_F(TemplateTest, ATemplateThatCannotBeWrittenIsToldAndNotListed) {
    StartWithTask();
    std::filesystem::remove(program / "TaskTemp.td");
    EXPECT_TRUE(SaveAs("Weekly"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].Text.startsWith("The template \"Weekly\" could not be saved as "));
    EXPECT_FALSE(testsupport::Exists(program / "Weekly.td"));
    EXPECT_EQ(SavedTemplateList(), "");
}

TEST_F(TemplateTest, ANewTaskIsMadeFromTheChosenTemplate) {
    StartWithTask();
    ASSERT_TRUE(SaveAs("Weekly"));
    // A hand-edited list: blanks, an empty entry and a repeat.
    WriteOptions({{"TemplateList", "Weekly, Daily,,Weekly"}});
    tandemora::SysConfig->Load(tandemora::kOptionsFileName);
    WriteFile(program / "Daily.td", ReadFile(program / "Weekly.td"));
    const std::string templateID = ListedTasks("Weekly.td")[0]->SyncID;

    std::vector<QString> listed;
    bool firstChosen = false;
    WhenModal<TF_TemplateList>([&](TF_TemplateList* dialog) {
        // OK alone takes the first template.
        firstChosen = dialog->lb_template->currentRow() == 0 && dialog->lb_template->item(0)->isSelected();
        for (int i = 0; i < dialog->lb_template->count(); ++i) {
            listed.push_back(dialog->lb_template->item(i)->text());
        }
        QTest::mouseClick(dialog->lb_template->viewport(), Qt::LeftButton, {},
                          dialog->lb_template->visualItemRect(dialog->lb_template->item(1)).center());
        Click(dialog->BitBtn1);
    });
    WhenModal<TFTaskConfig>([&](TFTaskConfig* dialog) {
        Type(dialog->edit_taskname, "From template");
        Click(dialog->BitBtn_ok);
    });
    main->act_newFromTemplate->trigger();
    EXPECT_TRUE(firstChosen);
    EXPECT_EQ(listed, (std::vector<QString>{"Weekly", "Daily"}));

    auto tasks = ListedTasks();
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[1]->SyncName, "From template");
    EXPECT_EQ(tasks[1]->LFolder.FolerAllName, Dir("left"));
    EXPECT_EQ(tasks[1]->RFolder.PWD, "secret");
    // An identity of its own: not the template's, not the task's it came from.
    EXPECT_NE(tasks[1]->SyncID, templateID);
    EXPECT_NE(tasks[1]->SyncID, photosID);
    EXPECT_EQ(main->PageControl_tasklist->tabText(1), "From template");
}

TEST_F(TemplateTest, NothingChosenOrNoTemplatesOpensNoTask) {
    StartWithTask();
    for (const char* list : {"", " , "}) {
        SCOPED_TRACE(list);
        WriteOptions({{"TemplateList", list}});
        tandemora::SysConfig->Load(tandemora::kOptionsFileName);
        EXPECT_FALSE(OpensModal([&] { main->act_newFromTemplate->trigger(); }));
    }

    WriteOptions({{"TemplateList", "Weekly"}});
    tandemora::SysConfig->Load(tandemora::kOptionsFileName);
    WhenModal<TF_TemplateList>([&](TF_TemplateList* dialog) {
        dialog->lb_template->clearSelection();
        dialog->lb_template->setCurrentRow(-1);
        Click(dialog->BitBtn1);
    });
    main->act_newFromTemplate->trigger();
    EXPECT_EQ(main->PageControl_tasklist->count(), 1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(TemplateTest, ATemplateThatCannotBeReadIsLoggedAndTold) {
    StartWithTask();
    const struct {
        const char* Name;
        std::string Text; // empty: no file
    } cases[] = {
        {"Gone", ""},
        {"NotXml", "this is no task list"},
        {"Empty", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<TaskList/>\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (!c.Text.empty()) {
            WriteFile(program / (std::string(c.Name) + ".td"), c.Text);
        }
        boxes.clear();
        EXPECT_FALSE(OpensModal([&] { main->NewTaskFromTemplate(c.Name); }));
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text,
                  QString::fromStdString(std::string("The template \"") + c.Name +
                                         "\" could not be read from " + program.path() + "/" + c.Name +
                                         ".td.\rThe error log ErrorInfo.txt tells why."));
    }
    EXPECT_NE(ErrorLog().find(Text("error_free_tasklist_xml").toStdString()), std::string::npos);
    EXPECT_EQ(main->PageControl_tasklist->count(), 1);
}

} // namespace
} // namespace uitest
