// The task-list file: round trips, the element layout other versions expect,
// files laid out by other versions, identities, and that no failure ever leaves
// a damaged or half-written task list behind.

#include "tasks/TaskList.h"
#include "model/UTFileTree.h"
#include "model/UTPassword.h"
#include "platform/Exceptions.h"
#include "tasks/UTSyncTask.h"

#include <gtest/gtest.h>

#include "TaskFixture.h"
#include "TestSupport.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace tandemora;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

std::vector<std::string> ChildNames(pugi::xml_node node) {
    std::vector<std::string> names;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element) {
            names.push_back(child.name());
        }
    }
    return names;
}

class TaskListTest : public TaskFolderTest {
protected:
    void SetUp() override {
        TaskFolderTest::SetUp();
        WriteFile(ListPath(), kEmptyList);
        WriteFile(program / "TaskTemp.td", kEmptyList);
    }

    std::string ListPath() const { return program / "tasklist.td"; }

    // Every task of a file, read as the main window's loader reads them.
    std::vector<std::unique_ptr<TSyncTask>> LoadAll(const std::string& path) {
        TTaskListDocument document;
        document.LoadFromFile(path);
        TXMLTaskListType list = document.GetTaskList();
        std::vector<std::unique_ptr<TSyncTask>> tasks;
        for (int32_t i = 0; i < list.Count(); ++i) {
            tasks.push_back(std::make_unique<TSyncTask>());
            tasks.back()->LoadFromXML(list.Tast(i));
        }
        return tasks;
    }

    // Names of the files in the program folder other than the expected ones,
    // i.e. temporary files left behind.
    std::vector<std::string> StrayFiles() const {
        std::vector<std::string> stray;
        for (const auto& entry : std::filesystem::directory_iterator(program.path())) {
            const std::string name = entry.path().filename().string();
            if (name.find(".td.") != std::string::npos) {
                stray.push_back(name);
            }
        }
        return stray;
    }
};

TEST_F(TaskListTest, EveryFieldRoundTripsAndGetsItsIdentityOnFirstSave) {
    TSyncTask task;
    FillTask(task);
    task.SaveToTaskList(true);

    // The identity is the name followed by decimal digits, in memory and in the file.
    ASSERT_GT(task.SyncID.size(), task.SyncName.size());
    EXPECT_EQ(task.SyncID.substr(0, task.SyncName.size()), task.SyncName);
    EXPECT_EQ(task.SyncID.find_first_not_of("0123456789", task.SyncName.size()), std::string::npos);

    auto loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(Xml(*loaded[0]), Xml(task));

    // Passwords are stored scrambled, never in plain text.
    const std::string text = ReadFile(ListPath());
    EXPECT_NE(text.find("<UserName>bob</UserName>"), std::string::npos);
    EXPECT_EQ(text.find("mlaut pw"), std::string::npos);
    EXPECT_EQ(text.find("pa&lt;ss"), std::string::npos);
    EXPECT_NE(text.find("<ForcedOrVerified>-1</ForcedOrVerified>"), std::string::npos);

    // Saved again over its own entry: still one task, with the new values and
    // shorter pattern lists.
    task.Hours = 3;
    task.IncludeFilter = {"only"};
    task.ExcludeFilter.clear();
    task.SaveToTaskList(false);
    loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(Xml(*loaded[0]), Xml(task));
    EXPECT_EQ(ReadFile(ListPath()).find("N1"), std::string::npos);
}

// The typed accessors carry the element names as saved lists spell them: one
// spelt as English would ("FolderAllName", "ExcludeEmptyFolder") reads nothing.
// The fields themselves round-trip in EveryFieldRoundTripsAndGetsItsIdentityOnFirstSave.
TEST_F(TaskListTest, TheTypedAccessorsReachTheirElements) {
    TSyncTask task;
    FillTask(task);
    TTaskListDocument document;
    document.LoadFromText(kEmptyList);
    IXMLTastType tast = document.GetTaskList().Add();
    task.SaveToXML(tast);

    EXPECT_EQ(tast.GetSyncName(), task.SyncName);
    EXPECT_EQ(tast.GetSyncDirection(), task.SyncDirection);
    EXPECT_EQ(tast.LFolder().GetFolerAllName(), task.LFolder.FolerAllName);
    EXPECT_EQ(tast.LFolder().Getvalidate(), task.LFolder.validate);
    EXPECT_EQ(tast.RFolder().GetDeviceType(), task.RFolder.DeviceType);
    EXPECT_EQ(tast.Filter().GetExcludeEmtpyFolder(), task.ExcludeEmtpyFolder);
    EXPECT_EQ(tast.Auto().Getminutes(), task.minutes);
    EXPECT_EQ(tast.Auto().GetTSsync(), task.TSsync);
}

TEST_F(TaskListTest, NewTastHasTheElementsInTheirFixedOrder) {
    TSyncTask task;
    FillTask(task);
    task.SyncID = "Fixed";
    task.SaveToTaskList(true);
    EXPECT_EQ(task.SyncID, "Fixed");

    TTaskListDocument document;
    document.LoadFromFile(ListPath());
    pugi::xml_node tast = document.GetTaskList().Tast(0).Node;
    EXPECT_EQ(ChildNames(tast),
              (std::vector<std::string>{"SyncName", "SyncID", "SyncDirection", "ForcedOrVerified",
                                        "IsDeleteFile", "SaveOldFile", "UseTempFile", "CheckNoChange",
                                        "EstimateDiskSpace", "LFolder", "RFolder", "Filter", "Auto"}));
    const std::vector<std::string> folder{"DeviceType", "FolerAllName", "validate", "UserName",
                                          "PWD",        "ActiveMode",   "FactTime", "PrivateKey"};
    EXPECT_EQ(ChildNames(tast.child("LFolder")), folder);
    EXPECT_EQ(ChildNames(tast.child("RFolder")), folder);
    EXPECT_EQ(ChildNames(tast.child("Filter")),
              (std::vector<std::string>{"ExcludeEmtpyFolder", "ExcludeHiddenFile", "ExcludeSystemFile",
                                        "IncludeFilter", "ExcludeFilter"}));
    EXPECT_EQ(ChildNames(tast.child("Auto")),
              (std::vector<std::string>{"StartAnalyze", "StartSync", "ConnectAnalyze", "ConnectSync",
                                        "LogoffAnalyze", "LogoffSync", "PeriodAnalyze", "PeriodSync", "Hours",
                                        "minutes", "TaskScheduler", "TSsync", "TSanalyze", "Conflicts",
                                        "EnsureFolderTags"}));
    EXPECT_STREQ(tast.child("LFolder").child_value("validate"), "7");
    EXPECT_STREQ(tast.child("LFolder").child_value("FactTime"), "2");

    pugi::xml_node include = tast.child("Filter").child("IncludeFilter");
    EXPECT_EQ(ChildNames(include), (std::vector<std::string>{"Item", "Item", "Item"}));
    EXPECT_STREQ(include.last_child().attribute("name").value(), "N2");
    EXPECT_EQ(std::string(document.Doc.first_child().attribute("encoding").value()), "utf-8");
}

// A Tast as another version might lay it out: children in another order,
// some missing, a byte-order mark and CR LF line ends.
const char kForeignList[] =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<TaskList>\r\n"
    "  <Tast>\r\n"
    "    <Auto><StartAnalyze>1</StartAnalyze><StartSync>0</StartSync>"
    "<ConnectAnalyze>0</ConnectAnalyze><ConnectSync>0</ConnectSync>"
    "<LogoffAnalyze>0</LogoffAnalyze><LogoffSync>0</LogoffSync>"
    "<PeriodAnalyze>0</PeriodAnalyze><PeriodSync>1</PeriodSync><Hours>1</Hours>"
    "<minutes>5</minutes><TSsync>0</TSsync><TSanalyze>1</TSanalyze>"
    "<TaskScheduler>x</TaskScheduler><Conflicts>1</Conflicts>"
    "<EnsureFolderTags>0</EnsureFolderTags></Auto>\r\n"
    "    <SyncID>Old1</SyncID>\r\n"
    "    <SyncName>Old</SyncName>\r\n"
    "    <LFolder><FolerAllName>/left</FolerAllName><DeviceType>1</DeviceType>"
    "<PWD></PWD><PrivateKey/></LFolder>\r\n"
    "    <RFolder><DeviceType>1</DeviceType><FolerAllName>/right</FolerAllName>"
    "<UserName>u</UserName></RFolder>\r\n"
    "    <SyncDirection>1</SyncDirection><ForcedOrVerified>0</ForcedOrVerified>"
    "<IsDeleteFile>0</IsDeleteFile><SaveOldFile>0</SaveOldFile><UseTempFile>1</UseTempFile>"
    "<CheckNoChange>0</CheckNoChange><EstimateDiskSpace>0</EstimateDiskSpace>\r\n"
    "    <Filter><IncludeFilter><Item value=\"*.a\"/><Item name=\"N1\" value=\"*.b\"/>"
    "</IncludeFilter><ExcludeEmtpyFolder>1</ExcludeEmtpyFolder>"
    "<ExcludeHiddenFile>0</ExcludeHiddenFile><ExcludeSystemFile>0</ExcludeSystemFile>"
    "</Filter>\r\n"
    "  </Tast>\r\n"
    "</TaskList>\r\n";

TEST_F(TaskListTest, ForeignLayoutLoadsAndKeepsItsOrderWhenSaved) {
    WriteFile(ListPath(), kForeignList);
    auto loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 1u);
    TSyncTask& task = *loaded[0];
    EXPECT_EQ(task.SyncID, "Old1");
    EXPECT_EQ(task.LFolder.UserName, ""); // missing text reads as empty
    EXPECT_EQ(task.RFolder.UserName, "u");
    EXPECT_EQ(task.IncludeFilter, (std::vector<std::string>{"*.a", "*.b"}));
    EXPECT_TRUE(task.ExcludeFilter.empty()); // missing list reads as none
    EXPECT_EQ(task.minutes, 5);

    task.LFolder.UserName = "anna";
    task.SaveToTaskList(false);

    TTaskListDocument document;
    document.LoadFromFile(ListPath());
    ASSERT_EQ(document.GetTaskList().Count(), 1);
    pugi::xml_node tast = document.GetTaskList().Tast(0).Node;
    // Children stay where they stood; what was missing is added at the end.
    EXPECT_EQ(ChildNames(tast),
              (std::vector<std::string>{"Auto", "SyncID", "SyncName", "LFolder", "RFolder", "SyncDirection",
                                        "ForcedOrVerified", "IsDeleteFile", "SaveOldFile", "UseTempFile",
                                        "CheckNoChange", "EstimateDiskSpace", "Filter"}));
    EXPECT_EQ(ChildNames(tast.child("LFolder")),
              (std::vector<std::string>{"FolerAllName", "DeviceType", "PWD", "PrivateKey", "validate",
                                        "UserName", "ActiveMode", "FactTime"}));
    EXPECT_STREQ(tast.child("LFolder").child_value("UserName"), "anna");
    EXPECT_EQ(ChildNames(tast.child("Filter")),
              (std::vector<std::string>{"IncludeFilter", "ExcludeEmtpyFolder", "ExcludeHiddenFile",
                                        "ExcludeSystemFile", "ExcludeFilter"}));
}

TEST_F(TaskListTest, MissingAutoStopsWithAConversionErrorAfterTheEarlierFields) {
    std::string text = kForeignList;
    const size_t from = text.find("<Auto>");
    const size_t to = text.find("</Auto>") + std::string("</Auto>").size();
    text.erase(from, to - from);

    TTaskListDocument document;
    document.LoadFromText(text);
    TSyncTask task;
    task.StartAnalyze = 9;
    task.minutes = 9;
    task.EnsureFolderTags = 9;
    EXPECT_THROW(task.LoadFromXML(document.GetTaskList().Tast(0)), EConvertError);
    EXPECT_EQ(task.SyncName, "Old");
    EXPECT_EQ(task.IncludeFilter.size(), 2u);
    EXPECT_EQ(task.ExcludeEmtpyFolder, 1);
    EXPECT_EQ(task.StartAnalyze, 9);
    EXPECT_EQ(task.minutes, 9);
    EXPECT_EQ(task.EnsureFolderTags, 9);
}

TEST(TaskListIntegerTest, WholeNumbersOnly) {
    const std::pair<const char*, int32_t> good[] = {
        {" 12", 12}, {"+3", 3}, {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
    for (const auto& [text, value] : good) {
        EXPECT_EQ(TXMLNodeType::TextToInteger(text), value) << text;
    }
    for (const char* text : {"", "-", "1x", "12 ", "1.0", "2147483648", "-2147483649"}) {
        EXPECT_THROW(TXMLNodeType::TextToInteger(text), EConvertError) << text;
    }
}

TEST_F(TaskListTest, UpdatesAndDeletesActOnTheFirstMatchOnly) {
    TSyncTask first;
    first.SyncName = "One";
    first.SyncID = "Same";
    first.SaveToTaskList(true);

    // Written by another version: a second Tast with the same identity.
    std::string text = ReadFile(ListPath());
    const size_t start = text.find("<Tast>");
    const size_t end = text.find("</Tast>") + std::string("</Tast>").size();
    std::string copy = text.substr(start, end - start);
    copy.replace(copy.find("<SyncName>One"), std::string("<SyncName>One").size(), "<SyncName>Two");
    text.insert(end, "\n" + copy);
    WriteFile(ListPath(), text);

    first.Hours = 5;
    first.SaveToTaskList(false);
    auto loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0]->Hours, 5);
    EXPECT_EQ(loaded[1]->Hours, 0);

    first.DeleteTaskFromList("Same");
    loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->SyncName, "Two");
}

TEST_F(TaskListTest, SaveFolderPathRewritesOnlyThatSide) {
    TSyncTask task;
    task.SaveToTaskList(true);
    task.LFolder.FolerAllName = "/a2";
    task.RFolder.FolerAllName = "/b2";
    task.Hours = 7; // not part of a path save
    EXPECT_EQ(task.SaveLeftFolderPath(), 0);
    auto loaded = LoadAll(ListPath());
    EXPECT_EQ(loaded[0]->LFolder.FolerAllName, "/a2");
    EXPECT_EQ(loaded[0]->RFolder.FolerAllName, "");
    EXPECT_EQ(loaded[0]->Hours, 0);
    EXPECT_EQ(task.SaveRightFolderPath(), 0);
    EXPECT_EQ(LoadAll(ListPath())[0]->RFolder.FolerAllName, "/b2");
}

TEST_F(TaskListTest, ClonesAndImportsGetIdentitiesOfTheirOwn) {
    TSyncTask source;
    source.SyncName = "Docs";
    source.SyncID = "Docs123";
    source.SaveToTaskList(true);

    std::unique_ptr<TSyncTask> clone1 = TSyncTask::CloneAsNew(source);
    std::unique_ptr<TSyncTask> clone2 = TSyncTask::CloneAsNew(source);
    clone1->SaveToTaskList(true);
    clone2->SaveToTaskList(true);
    EXPECT_EQ(clone1->SyncID, "New_Docs123");
    EXPECT_NE(clone2->SyncID, clone1->SyncID);

    // An import of a list that holds the same task again, twice.
    TSyncTask imported[2];
    for (TSyncTask& task : imported) {
        task.SyncName = "Docs";
        task.SyncID = "Docs123_";
        task.SaveToTaskList(true);
    }
    EXPECT_NE(imported[1].SyncID, imported[0].SyncID);

    auto loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 5u);
    for (size_t i = 0; i < loaded.size(); ++i) {
        for (size_t j = i + 1; j < loaded.size(); ++j) {
            EXPECT_NE(loaded[i]->SyncID, loaded[j]->SyncID);
        }
    }

    // Each acts on its own entry from now on.
    clone2->LFolder.FolerAllName = "/second";
    clone2->SaveToTaskList(false);
    clone1->DeleteTaskFromList(clone1->SyncID);
    loaded = LoadAll(ListPath());
    ASSERT_EQ(loaded.size(), 4u);
    EXPECT_EQ(loaded[1]->SyncID, clone2->SyncID);
    EXPECT_EQ(loaded[1]->LFolder.FolerAllName, "/second");
}

// Passwords are in the file: it is private whatever mode it had, replaced whole,
// and a list that is a link is updated where it lives, the link kept.
TEST_F(TaskListTest, FileIsPrivateReplacedWholeAndALinkedListUpdatedWhereItLives) {
    testsupport::TempDir elsewhere;
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "linked" : "plain");
        std::string real = ListPath();
        if (linked) {
            real = elsewhere / "tasklist.td";
            WriteFile(real, kEmptyList);
            std::filesystem::remove(ListPath());
            ASSERT_EQ(symlink(real.c_str(), ListPath().c_str()), 0);
        }
        chmod(real.c_str(), 0644);
        TSyncTask task;
        task.SyncName = "Mode";
        task.LFolder.PWD = "secret";
        task.SaveToTaskList(true);
        struct stat st;
        ASSERT_EQ(lstat(ListPath().c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), linked);
        ASSERT_EQ(stat(real.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(LoadAll(real).back()->SyncID, task.SyncID);
        EXPECT_TRUE(StrayFiles().empty());
    }
}

// No failure leaves a damaged, half-written or new task list or template
// behind, and each one reaches the error log.
TEST_F(TaskListTest, AFailedWriteLeavesTheFileAsItWasAndIsLogged) {
    struct Case {
        const char* what;
        std::optional<std::string> list; // the list before and after; none: no list, and none made
        std::function<void(TSyncTask&)> act;
        const char* logged;
    };
    const Case cases[] = {
        {"disk full part way", kEmptyList,
         [](TSyncTask& task) {
             task.IncludeFilter.assign(50, std::string(200, 'x'));
             testsupport::FileSizeLimit limit(sizeof(kEmptyList) + 100);
             task.SaveToTaskList(true);
         },
         "msg:Task list damaged EInOutError:"},
        {"overlong password", kEmptyList,
         [&](TSyncTask& task) {
             task.RFolder.PWD = std::string(MaxPasswordBytes + 1, 'p');
             task.SaveToTaskList(true);
             EXPECT_EQ(task.SaveAsTemplate("Long.td"), 1);
         },
         "msg:Task list damaged EConvertError:"},
        {"template over a folder", kEmptyList,
         [&](TSyncTask& task) {
             WriteFile(program / "Busy.td/inside", "x");
             EXPECT_EQ(task.SaveAsTemplate("Busy.td"), 1);
             EXPECT_EQ(ReadFile(program / "Busy.td/inside"), "x");
         },
         "Task list damaged"},
        {"damaged list", "<TaskList><Tast><SyncName>x</SyncName></TaskList>",
         [](TSyncTask& task) { task.SaveToTaskList(true); }, "EXMLDocError"},
        {"another document", "<Other/>", [](TSyncTask& task) { task.DeleteTaskFromList("N"); }, ""},
        {"no list", std::nullopt,
         [](TSyncTask& task) {
             task.SaveToTaskList(true);
             EXPECT_EQ(task.SaveLeftFolderPath(), -1);
         },
         "EFOpenError"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(program / "ErrorInfo.txt");
        std::filesystem::remove(ListPath());
        if (c.list) {
            WriteFile(ListPath(), *c.list);
        }
        TSyncTask task;
        task.SyncName = "N";
        c.act(task);
        EXPECT_EQ(testsupport::Exists(ListPath()) ? ReadFile(ListPath()) : "none", c.list.value_or("none"));
        EXPECT_FALSE(testsupport::Exists(program / "Long.td"));
        EXPECT_TRUE(StrayFiles().empty());
        EXPECT_NE(ErrorLog().find(c.logged), std::string::npos) << ErrorLog();
    }
}

// The longest password that fits goes through whole; a blank one is stored empty.
TEST_F(TaskListTest, TheLongestPasswordFitsAndABlankOneIsStoredEmpty) {
    TSyncTask task;
    task.RFolder.PWD = std::string(MaxPasswordBytes, 'q');
    task.LFolder.PWD = "  \t";
    task.SaveToTaskList(true);
    EXPECT_EQ(LoadAll(ListPath()).at(0)->RFolder.PWD, task.RFolder.PWD);
    TTaskListDocument document;
    document.LoadFromFile(ListPath());
    EXPECT_EQ(document.GetTaskList().Tast(0).LFolder().GetText("PWD"), "");
}

TEST_F(TaskListTest, AnIdentityThatCouldNameAFileElsewhereRefusesItsTask) {
    // The SyncID names the task log, the local snapshots and the work-folder
    // snapshots; "../../outside/evil" in an imported list put all of them
    // outside their folders.
    struct Case {
        const char* what;
        std::string id;
        bool loads;
    };
    const Case cases[] = {
        {"plain", "Docs123", true},
        {"dots and blanks inside", "a..b c.", true},
        {"longest", std::string(kMaxSyncIDBytes, 'x'), true},
        {"climbing out", "../../outside/evil", false},
        {"slash", "a/b", false},
        {"leading dot", ".hidden", false},
        {"leading blank", " x", false},
        {"line break", "a\nb", false},
        {"one byte too long", std::string(kMaxSyncIDBytes + 1, 'x'), false},
    };
    TSyncTask stored;
    stored.SyncName = "Nightly";
    stored.SyncID = "PLACEHOLDER";
    stored.SaveToTaskList(true);
    const std::string list = ReadFile(ListPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = list;
        text.replace(text.find("PLACEHOLDER"), 11, c.id);
        WriteFile(ListPath(), text);
        if (c.loads) {
            EXPECT_EQ(LoadAll(ListPath()).at(0)->SyncID, c.id);
            continue;
        }
        try {
            LoadAll(ListPath());
            ADD_FAILURE() << "loaded";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()).find("The task \"Nightly\" is not loaded"), 0u) << e.what();
        }
    }

    // A task that got such an identity in memory names no file with it.
    TSyncTask task;
    task.SyncID = "../outside";
    EXPECT_THROW(task.LogPath(), EInOutError);
    EXPECT_THROW(task.WriteLog("line"), EInOutError);
    EXPECT_THROW(task.LocalSnapshotPath(0), EInOutError);
    TArenaPtr arena;
    EXPECT_EQ(task.LoadSnapshot(NewTree(arena), 1), 1);
    EXPECT_FALSE(testsupport::Exists(program / "../outside.log"));
}

// A value no dialog writes into an enumerated field (an unknown direction
// once deleted without the deletion switch) refuses its task, naming it; the
// tasks around it still load.
TEST_F(TaskListTest, AnEnumeratedFieldOutsideItsValuesRefusesItsTask) {
    struct Case {
        const char* element;
        const char* value;
        bool loads;
    };
    const Case cases[] = {
        {"SyncDirection", "2", true},     {"SyncDirection", "3", false},    {"SyncDirection", "7", false},
        {"SyncDirection", "-1", false},   {"ForcedOrVerified", "-1", true}, {"ForcedOrVerified", "-2", false},
        {"ForcedOrVerified", "2", false}, {"IsDeleteFile", "1", true},      {"IsDeleteFile", "2", false},
        {"IsDeleteFile", "-1", false},    {"UseTempFile", "5", false},      {"ExcludeHiddenFile", "2", false},
        {"StartSync", "-1", false},       {"TSsync", "2", false},           {"Conflicts", "1", true},
        {"Conflicts", "2", false},        {"EnsureFolderTags", "3", false}, {"Hours", "99", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.element) + " " + c.value);
        WriteFile(ListPath(), kEmptyList);
        for (const char* name : {"Before", "Odd", "After"}) {
            TSyncTask task;
            task.SyncName = name;
            task.SaveToTaskList(true);
        }
        std::string text = ReadFile(ListPath());
        const std::string element = std::string("<") + c.element + ">";
        const size_t at = text.find(element, text.find("<SyncName>Odd</SyncName>")) + element.size();
        text.replace(at, text.find('<', at) - at, c.value);
        WriteFile(ListPath(), text);

        std::vector<std::unique_ptr<TSyncTask>> tasks;
        std::vector<TDamagedTask> damaged;
        LoadTasks(ListPath(), tasks, damaged);
        if (c.loads) {
            EXPECT_EQ(tasks.size(), 3u);
            EXPECT_TRUE(damaged.empty());
            continue;
        }
        ASSERT_EQ(tasks.size(), 2u);
        EXPECT_EQ(tasks[1]->SyncName, "After");
        ASSERT_EQ(damaged.size(), 1u);
        EXPECT_EQ(damaged[0].Name, "Odd");
        EXPECT_EQ(damaged[0].Reason.find("The task \"Odd\" is not loaded: its " + std::string(c.element) +
                                         " " + c.value + " is none of the values "),
                  0u)
            << damaged[0].Reason;
    }
}

TEST_F(TaskListTest, NewIdentitiesAreAlwaysOnesThatLoadAgain) {
    // Made from a name the dialogs accept, or from one that is long already.
    const std::string longName(300, 'n');
    const std::string longID(kMaxSyncIDBytes, 'x');
    struct Case {
        const char* what;
        std::string name;
        std::string id; // the identity the task has before its first save
        std::string expectedStart;
    };
    const Case cases[] = {
        {"plain name", "Docs", "", "Docs"},
        {"name with a leading dot", ".dotfiles", "", "_dotfiles"},
        {"very long name", longName, "", longName.substr(0, 200)},
        {"clone of the longest identity", "Docs", "New_" + longID, "Docs"},
        {"import of the longest identity", "Docs", longID + "_", "Docs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSyncTask task;
        task.SyncName = c.name;
        task.SyncID = c.id;
        task.SaveToTaskList(true);
        EXPECT_TRUE(IsSafeSyncID(task.SyncID)) << task.SyncID;
        EXPECT_EQ(task.SyncID.compare(0, c.expectedStart.size(), c.expectedStart), 0) << task.SyncID;
        EXPECT_EQ(task.SaveAsTemplate("T.td"), 0);
        EXPECT_TRUE(IsSafeSyncID(LoadAll(program / "T.td").at(0)->SyncID));
    }
    EXPECT_EQ(LoadAll(ListPath()).size(), std::size(cases));
}

} // namespace
