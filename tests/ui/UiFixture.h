#pragma once
// The program on a folder of its own: a temporary program folder with the shipped
// options and language files and a task list the test fills, temporary XDG
// folders, TZ and TMPDIR (which also holds the single-instance socket), and
// message boxes and file prompts that the test reads and answers.

#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"
#include "platform/Scheduler.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"
#include "ui/UElideLabel.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"
#include "ui/UMessageBox.h"
#include "ui/UProgramMain.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "TestSupport.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace uitest {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// The folder of the shipped resources (options, language file).
inline std::string ResourceFolder() {
    const char* source = std::getenv("TANDEMORA_TEST_SOURCE");
    return std::string(source != nullptr ? source : TANDEMORA_SOURCE_DIR) + "/resources/";
}

// Runs the event loop until done() holds; false when it did not within the
// limit (which only keeps a broken test from hanging).
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct ShownBox {
    QString Text;
    QString Caption;
    unsigned Style = 0;
};

// The options file: the shipped one with some keys replaced.
inline std::string OptionsText(const std::map<std::string, std::string>& values) {
    std::map<std::string, std::string> all = {
        {"curlang", "en-english.lng"},
        {"languages", "en-english.lng"},
        {"ShowTrayIcon", "0"},
        {"HideTaskToTray", "0"},
        {"WindowsStart", "0"},
        {"CheckVersionVeryDay", "0"},
        {"CreateFolder", "0"},
        {"SaveLog", "0"},
        {"ExcludeFilter", ""},
        {"IncludeFilter", ""},
        {"CompareFile", ""},
        {"AutoClose", "0"},
        {"IsFirst", "1"},
        {"TemplateList", ""},
    };
    for (const auto& [key, value] : values) {
        all[key] = value;
    }
    std::string text = "[tandemora]\r\n";
    for (const auto& [key, value] : all) {
        text += key + "=" + value + "\r\n";
    }
    return text;
}

class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        chmod(runtime.path().c_str(), 0700);
        tandemora::SetProgramFolder(program.path());
        WriteOptions({});
        WriteFile(program / "en-english.lng", ReadFile(ResourceFolder() + "en-english.lng"));
        WriteFile(program / "tasklist.td", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<TaskList/>\r\n");
        tandemora::SetMessageBoxFunction(
            [this](QWidget*, const QString& text, const QString& caption, unsigned style) {
                boxes.push_back({text, caption, style});
                return boxAnswer;
            });
        tandemora::SetFileDialogFunction([this](QWidget*, tandemora::TFileDialogKind kind, const QString&) {
            prompts.push_back(kind);
            return fileAnswer;
        });
        // Nothing a test does may reach the real user's crontab, and cron's time
        // zone is not the machine's but UTC.
        tandemora::SetCrontabFile(program / "crontab");
        symlink("/usr/share/zoneinfo/UTC", (program / "localtime").c_str());
        tandemora::SetSystemZoneLink(program / "localtime");
        // Nothing a test does may power the machine off.
        tandemora::SetPowerOffCommand({"/bin/sh", "-c", "echo off >> '" + (program / "poweroff.txt") + "'"});
    }

    void TearDown() override {
        instance.reset();
        tandemora::SetMessageBoxFunction({});
        tandemora::SetFileDialogFunction({});
        tandemora::SetProgramFolder("");
        tandemora::SetSystemZoneLink("");
    }

    void WriteOptions(const std::map<std::string, std::string>& values) {
        WriteFile(program / "Tandemora.ini", OptionsText(values));
    }

    // A local-folder task saved into the program folder's task list; its SyncID.
    std::string SaveTask(const std::string& name, const std::string& left, const std::string& right,
                         const std::function<void(tandemora::TSyncTask&)>& adjust = {}) {
        tandemora::TSyncTask task;
        task.SyncName = name;
        task.LFolder.DeviceType = tandemora::dtLocal;
        task.LFolder.FolerAllName = left;
        task.RFolder.DeviceType = tandemora::dtLocal;
        task.RFolder.FolerAllName = right;
        if (adjust) {
            adjust(task);
        }
        task.SaveToTaskList(true);
        return task.SyncID;
    }

    // Starts the program as a person starts it (no parameters unless given).
    bool Start(const std::vector<std::string>& args = {}) {
        instance = std::make_unique<tandemora::TProgramInstance>();
        const bool running = tandemora::StartProgram(args, *instance);
        main = instance->MainWindow.get();
        QCoreApplication::processEvents();
        return running;
    }

    tandemora::TFSyncMain* Window(int index) {
        std::vector<tandemora::TFSyncMain*> windows = main->TaskWindows();
        return index < static_cast<int>(windows.size()) ? windows[index] : nullptr;
    }

    static bool WaitIdle(tandemora::TFSyncMain* window) {
        return WaitUntil([window] { return !window->IsBusy(); });
    }

    static void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

    // Lines of a window's log panel that start with prefix.
    static std::vector<std::string> LinesStarting(tandemora::TFSyncMain* window, const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& line : window->LogLines()) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    std::string ErrorLog() const { return ReadFile(program / "ErrorInfo.txt"); }

    TempDir program;
    TempDir folders;
    TempDir data;
    TempDir config;
    TempDir cache;
    TempDir tmp;
    TempDir home;
    TempDir runtime;
    testsupport::ScopedEnv xdgData{"XDG_DATA_HOME", data.path()};
    testsupport::ScopedEnv xdgConfig{"XDG_CONFIG_HOME", config.path()};
    testsupport::ScopedEnv xdgCache{"XDG_CACHE_HOME", cache.path()};
    testsupport::ScopedEnv xdgRuntime{"XDG_RUNTIME_DIR", runtime.path()};
    testsupport::ScopedEnv homeEnv{"HOME", home.path()};
    testsupport::ScopedEnv tmpEnv{"TMPDIR", tmp.path()};
    testsupport::ScopedEnv tz{"TZ", std::string("UTC")};

    std::vector<ShownBox> boxes;
    int boxAnswer = tandemora::IDOK;
    std::vector<tandemora::TFileDialogKind> prompts;
    QString fileAnswer;
    std::unique_ptr<tandemora::TProgramInstance> instance;
    tandemora::TFMain* main = nullptr;
};

} // namespace uitest
