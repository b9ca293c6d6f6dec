#pragma once
// The program on a folder of its own, for every window test: a temporary program
// folder with the shipped options and language files and a task list the test
// fills, temporary XDG folders, HOME, TZ and TMPDIR (which also holds the
// single-instance socket), a crontab, zone link and power-off command of the
// test's own, and message boxes, file prompts and input boxes that the test
// reads and answers. DialogTest adds the options and language file opened, as
// the dialogs find them in a running program.

#include "dialogs/UFSelectFolder.h"
#include "dialogs/UFTaskConfig.h"
#include "dialogs/UInputBox.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"
#include "platform/Scheduler.h"
#include "tasks/TaskList.h"
#include "tasks/UTSyncTask.h"
#include "tasks/UTSysConfig.h"
#include "ui/UElideLabel.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"
#include "ui/UMessageBox.h"
#include "ui/UProgramMain.h"
#include "ui/UQtText.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <gtest/gtest.h>

#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Failures show texts as a person reads them.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace uitest {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

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

// The folder of the shipped resources (options, language file, templates).
inline std::string ResourceFolder() {
    const char* source = std::getenv("TANDEMORA_TEST_SOURCE");
    return std::string(source != nullptr ? source : TANDEMORA_SOURCE_DIR) + "/resources/";
}

struct ShownBox {
    QString Text;
    QString Caption;
    unsigned Style = 0;
};

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
        tandemora::SetInputBoxFunction(
            [this](QWidget*, const QString& caption, const QString& prompt, QString& value) {
                inputPrompts.push_back(caption + "|" + prompt);
                value = inputAnswer;
                return inputOk;
            });
        // Nothing a test does may reach the real user's crontab or power the
        // machine off; cron's time zone is not the machine's but UTC.
        tandemora::SetCrontabFile(program / "crontab");
        symlink("/usr/share/zoneinfo/UTC", (program / "localtime").c_str());
        tandemora::SetSystemZoneLink(program / "localtime");
        tandemora::SetPowerOffCommand({"/bin/sh", "-c", "echo off >> '" + (program / "poweroff.txt") + "'"});
    }

    void TearDown() override {
        instance.reset();
        main = nullptr;
        tandemora::SetMessageBoxFunction({});
        tandemora::SetFileDialogFunction({});
        tandemora::SetInputBoxFunction({});
        tandemora::SetProgramFolder("");
        tandemora::SetSystemZoneLink("");
    }

    // The options file: the shipped keys, quiet (no tray, no update check), with
    // some values replaced.
    void WriteOptions(const std::map<std::string, std::string>& values) {
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
        WriteFile(program / "Tandemora.ini", text);
    }

    // A new folder below the test's folders.
    std::string Dir(const std::string& name) {
        const std::string path = folders / name;
        std::filesystem::create_directories(path);
        return path;
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

    // Every task of the task list (or of another task file, a template), in its order.
    std::vector<std::unique_ptr<tandemora::TSyncTask>> ListedTasks(const std::string& file = "tasklist.td") {
        tandemora::TTaskListDocument document;
        document.LoadFromFile(program / file);
        tandemora::TXMLTaskListType list = document.GetTaskList();
        std::vector<std::unique_ptr<tandemora::TSyncTask>> tasks;
        for (int32_t i = 0; i < list.Count(); ++i) {
            tasks.push_back(std::make_unique<tandemora::TSyncTask>());
            tasks.back()->LoadFromXML(list.Tast(i));
        }
        return tasks;
    }

    // Starts the program in this process as a person starts it (no parameters
    // unless given).
    bool Start(const std::vector<std::string>& args = {}) {
        instance = std::make_unique<tandemora::TProgramInstance>();
        const bool running = tandemora::StartProgram(args, *instance);
        main = instance->MainWindow.get();
        QCoreApplication::processEvents();
        return running;
    }

    // Ends the program started by Start.
    void End() {
        instance.reset();
        main = nullptr;
    }

    // Starts the real program as a process of its own: its own copy in the
    // program folder (so the folder is the test's); on the off-screen platform,
    // or without a display as cron starts it, with only what cron gives a
    // command: HOME (the test's), LOGNAME, PATH and SHELL; no XDG folders. The
    // test's TZ and the sanitizers' options come along.
    void StartProcess(QProcess& run, const QStringList& args, bool withDisplay = false) {
        const std::string programFile = program / "tandemora";
        if (!testsupport::Exists(programFile)) {
            std::filesystem::copy_file(TANDEMORA_PROGRAM_PATH, programFile);
            std::filesystem::permissions(programFile, std::filesystem::perms::owner_all);
        }
        const QProcessEnvironment outer = QProcessEnvironment::systemEnvironment();
        QProcessEnvironment env = outer;
        if (!withDisplay) {
            env = QProcessEnvironment();
            env.insert("HOME", QString::fromStdString(home.path()));
            env.insert("LOGNAME", outer.value("LOGNAME", "tandemora"));
            env.insert("PATH", "/usr/bin:/bin");
            env.insert("SHELL", "/bin/sh");
            for (const char* name : {"TZ", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
                if (outer.contains(name)) {
                    env.insert(name, outer.value(name));
                }
            }
        }
        run.setProcessEnvironment(env);
        run.start(QString::fromStdString(programFile), args);
    }

    tandemora::TFSyncMain* Window(int index) {
        std::vector<tandemora::TFSyncMain*> windows = main->TaskWindows();
        return index < static_cast<int>(windows.size()) ? windows[index] : nullptr;
    }

    static bool WaitIdle(tandemora::TFSyncMain* window) {
        return WaitUntil([window] { return !window->IsBusy(); });
    }

    static void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

    static void ClickTab(QTabWidget* pages, int index) {
        QTest::mouseClick(pages->tabBar(), Qt::LeftButton, {}, pages->tabBar()->tabRect(index).center());
    }

    // Clears a field and types text into it, key by key.
    static void Type(QLineEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        for (const QChar c : text) {
            if (c.unicode() < 128) {
                QTest::keyClick(edit, c.toLatin1());
            } else {
                QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
            }
        }
    }

    // Types text into one row of a pattern list.
    static void TypeRow(QTableWidget* list, int row, const QString& text) {
        list->setCurrentCell(row, 1);
        list->editItem(list->item(row, 1));
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        ASSERT_NE(editor, nullptr);
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        QCoreApplication::processEvents(); // the list takes the text on its next turn
    }

    // The texts of one column of a list (the patterns are column 1).
    static std::vector<QString> Column(QTableWidget* list, int column = 1) {
        std::vector<QString> values;
        for (int row = 0; row < list->rowCount(); ++row) {
            values.push_back(list->item(row, column)->text());
        }
        return values;
    }

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

    static QString Text(const char* key) { return tandemora::Lang(key); }

    // Runs act on the first modal dialog of type T once it is open. A dialog
    // that never appears leaves the test's own expectations to fail; one that
    // act leaves open is cancelled after a while, so a broken test ends.
    template <class T> static void WhenModal(std::function<void(T*)> act) {
        auto* timer = new QTimer();
        auto ticks = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, [timer, act, ticks] {
            auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            if (dialog == nullptr) {
                if (++*ticks > 3000) {
                    timer->stop();
                    timer->deleteLater();
                }
                return;
            }
            timer->stop();
            timer->deleteLater();
            act(dialog);
            if (dialog->isVisible()) {
                QTimer::singleShot(30000, dialog, [dialog] { dialog->reject(); });
            }
        });
        timer->start(10);
    }

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
    std::vector<QString> inputPrompts;
    QString inputAnswer;
    bool inputOk = true;
    std::unique_ptr<tandemora::TProgramInstance> instance;
    tandemora::TFMain* main = nullptr;
};

// The dialogs as a running program opens them: the options read and the
// language file open.
class DialogTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        options = std::make_unique<tandemora::TSysConfig>();
        options->Load(tandemora::kOptionsFileName);
        options->OpenLanguage("en-english.lng");
        tandemora::SysConfig = options.get();
    }

    void TearDown() override {
        if (tandemora::SysConfig == options.get()) {
            tandemora::SysConfig = nullptr;
        }
        UiTest::TearDown();
    }

    // A saved task with two folders of its own; the copy a task window would hold.
    std::unique_ptr<tandemora::TSyncTask>
    Saved(const std::string& name, const std::function<void(tandemora::TSyncTask&)>& adjust = {}) {
        auto task = std::make_unique<tandemora::TSyncTask>();
        task->SyncName = name;
        task->LFolder.DeviceType = tandemora::dtLocal;
        task->LFolder.FolerAllName = Dir(name + "-left");
        task->RFolder.DeviceType = tandemora::dtLocal;
        task->RFolder.FolerAllName = Dir(name + "-right");
        if (adjust) {
            adjust(*task);
        }
        task->SaveToTaskList(true);
        return task;
    }

    // The task options dialog as a caller opens it: on a new task, or on a copy
    // of an existing one; on the given page.
    std::unique_ptr<tandemora::TFTaskConfig> OpenTaskOptions(const tandemora::TSyncTask* existing,
                                                             int page = 0) {
        auto dialog = std::make_unique<tandemora::TFTaskConfig>();
        dialog->IsNew = existing == nullptr ? 1 : 0;
        if (existing != nullptr) {
            dialog->Task->Assign(*existing);
        }
        dialog->show();
        QCoreApplication::processEvents();
        if (page != 0) {
            ClickTab(dialog->pc1, page);
        }
        return dialog;
    }

    // The folder picker on source, as a Browse button opens it.
    std::unique_ptr<tandemora::TFSelectFolder> OpenPicker(tandemora::TFolderSource& source,
                                                          uint8_t side = 1) {
        auto picker = std::make_unique<tandemora::TFSelectFolder>();
        picker->Side = side;
        picker->Source = &source;
        picker->show();
        QCoreApplication::processEvents();
        return picker;
    }

    static QTreeWidgetItem* FindNode(QTreeWidget* tree, const std::string& path) {
        for (QTreeWidgetItemIterator it(tree); *it != nullptr; ++it) {
            if (tandemora::TFSelectFolder::NodePath(*it) == path) {
                return *it;
            }
        }
        return nullptr;
    }

    static QTreeWidgetItem* ChildCaptioned(QTreeWidgetItem* node, const QString& text) {
        for (int i = 0; i < node->childCount(); ++i) {
            if (node->child(i)->text(0) == text) {
                return node->child(i);
            }
        }
        return nullptr;
    }

    // The captions of a node's children, sorted (servers list in their own order).
    static std::vector<QString> ChildTexts(const QTreeWidgetItem* node) {
        std::vector<QString> texts;
        for (int i = 0; i < node->childCount(); ++i) {
            texts.push_back(node->child(i)->text(0));
        }
        std::sort(texts.begin(), texts.end());
        return texts;
    }

    // Clicks a node of a tree, scrolled into view first.
    static void Choose(QTreeWidget* tree, QTreeWidgetItem* node) {
        ASSERT_NE(node, nullptr);
        tree->scrollToItem(node);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(node).center());
        QCoreApplication::processEvents();
    }

    // Answers the new-folder prompt with name and clicks "Make New Folder".
    void MakeNewFolder(tandemora::TFSelectFolder* picker, const QString& name, bool confirmed = true) {
        inputPrompts.clear();
        inputAnswer = name;
        inputOk = confirmed;
        QTest::mouseClick(picker->bt_NewFolder, Qt::LeftButton);
    }

    std::unique_ptr<tandemora::TSysConfig> options;
};

} // namespace uitest
