#pragma once
// A program folder of the test's own (with a language file and an options object
// that point at it) and an application-data folder of its own, so that task
// lists, logs, the error log and local snapshots land in temporary folders.

#include "platform/ProgramFolder.h"
#include "tasks/UTSysConfig.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <string>

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
