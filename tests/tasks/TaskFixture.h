#pragma once
// A program folder of the test's own (with a language file and an options object
// that point at it) and an application-data folder of its own, so that task
// lists, logs, the error log and local snapshots land in temporary folders.

#include "platform/ProgramFolder.h"
#include "tasks/TaskList.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <string>

const char kEmptyList[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<TaskList/>\r\n";

// A task with stored fields away from their defaults (each flag unlike its
// partner), and texts that XML must escape.
inline void FillTask(tandemora::TSyncTask& task) {
    task.SyncName = "Docs <&> \"quoted\"";
    task.LFolder = tandemora::TFolderSource{
        tandemora::dtLocal, "/home/anna/my docs ", 7, "anna", "pa<ss>&", 1, 2, "key\ntext", "", "", ""};
    task.RFolder = tandemora::TFolderSource{
        tandemora::dtWebDav, "http://h:8080/dav", 0, "bob", "ümlaut pw", 0, 0, "", "", "", ""};
    task.SyncDirection = tandemora::sdRightToLeft;
    task.ForcedOrVerified = tandemora::fvNone;
    task.IsDeleteFile = 1;
    task.UseTempFile = 1;
    task.EstimateDiskSpace = 1;
    task.IncludeFilter = {"*.doc", ".*\\.txt$", "a\"b"};
    task.ExcludeFilter = {"~*", " "};
    task.ExcludeEmtpyFolder = 1;
    task.ExcludeSystemFile = 1;
    task.StartAnalyze = 1;
    task.ConnectSync = 1;
    task.LogoffAnalyze = 1;
    task.PeriodSync = 1;
    task.Hours = 12;
    task.minutes = 59;
    task.TSsync = 1;
    task.TaskScheduler = "Weekly: Mon, Fri";
    task.Conflicts = tandemora::cfNewerFileWins;
    task.EnsureFolderTags = 1;
}

// The task as a new list holds it, passwords in clear and without the endpoint
// fields that are written but never read back: one comparison covers
// every stored field, and a field read from the wrong element shows.
inline std::string Xml(const tandemora::TSyncTask& task) {
    tandemora::TTaskListDocument document;
    document.LoadFromText(kEmptyList);
    tandemora::TXMLTastType tast = document.GetTaskList().Add();
    task.SaveToXML(tast);
    for (tandemora::TXMLFolderType folder : {tast.LFolder(), tast.RFolder()}) {
        folder.SetText("PWD", tandemora::TSyncTask::DecodePassword(folder.GetText("PWD")));
        for (const char* writtenOnly : {"validate", "ActiveMode", "FactTime"}) {
            folder.SetText(writtenOnly, "");
        }
    }
    return document.SaveToText();
}

class TaskFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        tandemora::SetProgramFolder(program.path());
        testsupport::WriteFile(program / "test.lng",
                               "[title]\r\nerror_free_tasklist_xml=Task list damaged\r\n");
        ASSERT_EQ(config.OpenLanguage("test.lng"), 0);
        savedConfig = tandemora::SysConfig;
        tandemora::SysConfig = &config;
    }
    void TearDown() override {
        tandemora::SysConfig = savedConfig;
        tandemora::SetProgramFolder("");
    }

    // The error log's text so far.
    std::string ErrorLog() const { return testsupport::ReadFile(program / "ErrorInfo.txt"); }

    testsupport::TempDir program;
    testsupport::TempDir appData;
    testsupport::ScopedEnv xdgData{"XDG_DATA_HOME", appData.path()};
    testsupport::ScopedEnv tz{"TZ", std::string("UTC")};
    tandemora::TSysConfig config;
    tandemora::TSysConfig* savedConfig = nullptr;
};
