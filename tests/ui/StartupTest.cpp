// The start of the program: what ends it early (with the message a person reads),
// the single interactive instance, and the error log as the last resort for
// exceptions nobody caught.

#include "UiFixture.h"

#include "platform/Registry.h"
#include "platform/Thread.h"
#include "ui/UTandemoraApp.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace uitest {
namespace {

using tandemora::SysConfig;

class StartupTest : public UiTest {};

struct EarlyEnd {
    const char* Name;
    std::function<void(const TempDir&)> Arrange;
    const char* Message;
    bool SettingsWritten; // the registry settings were read (and written) before the end
};

TEST_F(StartupTest, EachConfigurationFailureShowsOneTipAndStartsNothingElse) {
    const EarlyEnd cases[] = {
        {"options file missing", [](const TempDir& p) { std::remove((p / "Tandemora.ini").c_str()); },
         "Can not Find Config File,Exist!", false},
        {"options file unreadable (a link to nothing)",
         [](const TempDir& p) {
             std::remove((p / "Tandemora.ini").c_str());
             ASSERT_EQ(symlink((p / "gone.ini").c_str(), (p / "Tandemora.ini").c_str()), 0);
         },
         "Access Config File Error,Exist!", false},
        {"language file missing", [](const TempDir& p) { std::remove((p / "en-english.lng").c_str()); },
         "Read Languange Error,File not Exist!", true},
        // Files that never end: opening a FIFO waited for ever, /dev/zero filled the memory.
        {"options file a FIFO",
         [](const TempDir& p) {
             std::remove((p / "Tandemora.ini").c_str());
             ASSERT_EQ(mkfifo((p / "Tandemora.ini").c_str(), 0600), 0);
         },
         "Access Config File Error,Exist!", false},
        {"language file a FIFO",
         [](const TempDir& p) {
             std::remove((p / "en-english.lng").c_str());
             ASSERT_EQ(mkfifo((p / "en-english.lng").c_str(), 0600), 0);
         },
         "The language file could not be read.", true},
        {"language file named outside the program folder",
         [this](const TempDir&) {
             WriteOptions({{"curlang", "../../../../../../../../../dev/zero"}});
         },
         "The language file could not be read.", true},
    };
    for (const EarlyEnd& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        // A FIFO left by the case before would block the files' rewriting.
        std::filesystem::remove(program / "Tandemora.ini");
        std::filesystem::remove(program / "en-english.lng");
        boxes.clear();
        std::filesystem::remove_all(config.path() + "/Tandemora");
        SetUp();
        c.Arrange(program);

        EXPECT_FALSE(Start());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text.toStdString(), c.Message);
        EXPECT_EQ(main, nullptr);
        EXPECT_EQ(testsupport::Exists(tandemora::RegistryStoreFile()), c.SettingsWritten);
    }
}

TEST_F(StartupTest, OptionsAreReadBeforeTheLanguageFileIsMissed) {
    WriteOptions({{"SaveLog", "1"}, {"curlang", "de-deutsch.lng"}});
    EXPECT_FALSE(Start());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "Read Languange Error,File not Exist!");
    EXPECT_EQ(SysConfig->SaveLog, 1);
}

TEST_F(StartupTest, CommandLineStartNeverChecksForUpdatesAndKeepsTheFileValue) {
    WriteOptions({{"CheckVersionVeryDay", "1"}});
    ASSERT_TRUE(Start({"No such task"}));
    EXPECT_EQ(SysConfig->CheckVersionVeryDay, 0);
    EXPECT_NE(ReadFile(program / "Tandemora.ini").find("CheckVersionVeryDay=1"), std::string::npos);
    // A command-line start holds no single-instance server: an interactive start
    // during the run starts normally.
    EXPECT_EQ(instance->InstanceServer, nullptr);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(StartupTest, SecondInteractiveStartShowsTheFirstAndReadsNoFile) {
    QLocalServer first;
    ASSERT_TRUE(first.listen(QString::fromStdString(tandemora::InstanceServerName())));
    std::remove((program / "Tandemora.ini").c_str()); // would give a message box if it were read

    EXPECT_FALSE(Start());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(main, nullptr);
    EXPECT_FALSE(testsupport::Exists(tandemora::RegistryStoreFile()));
    ASSERT_TRUE(WaitUntil([&] { return first.hasPendingConnections(); }, 10000));
}

// A socket named like ours in the shared temporary folder may belong to another
// user's program, or be planted there: it must not end this user's start.
TEST_F(StartupTest, OnlyThisUsersInstanceCountsAsRunning) {
    struct Case {
        const char* Name;
        bool RuntimeFolder; // XDG_RUNTIME_DIR set
    };
    const Case cases[] = {{"runtime folder", true}, {"no runtime folder", false}};
    QLocalServer shared;
    shared.setSocketOptions(QLocalServer::WorldAccessOption);
    ASSERT_TRUE(shared.listen(QDir::tempPath() + "/Tandemora"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        testsupport::ScopedEnv runtimeEnv(
            "XDG_RUNTIME_DIR", c.RuntimeFolder ? std::optional<std::string>(runtime.path()) : std::nullopt);
        boxes.clear();
        ASSERT_TRUE(Start());
        ASSERT_NE(instance->InstanceServer, nullptr);
        const std::string expected = c.RuntimeFolder ? runtime.path() + "/Tandemora"
                                                     : tmp.path() + "/Tandemora-" + std::to_string(geteuid());
        EXPECT_EQ(instance->InstanceServer->fullServerName().toStdString(), expected);
        EXPECT_TRUE(testsupport::Exists(tmp.path() + "/Tandemora")); // not taken for stale
        // A second start of this user finds this instance.
        EXPECT_TRUE(tandemora::ShowRunningInstance());
        QCoreApplication::processEvents();
        EXPECT_FALSE(shared.hasPendingConnections());
        End();
    }
}

TEST_F(StartupTest, SecondProgramStartBringsBackTheHiddenWindow) {
    WriteOptions({{"HideTaskToTray", "1"}});
    ASSERT_TRUE(Start());
    ASSERT_NE(instance->InstanceServer, nullptr);
    main->close(); // hides it: the window goes to the notification area
    ASSERT_TRUE(main->HiddenToTray());

    QProcess second;
    StartProcess(second, {}, true);
    ASSERT_TRUE(second.waitForStarted(10000));
    const bool ended = WaitUntil([&] { return second.state() == QProcess::NotRunning; }, 30000);
    if (!ended) {
        second.kill();
        second.waitForFinished();
    }
    ASSERT_TRUE(ended) << "the second start did not end by itself";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(
        WaitUntil([&] { return !main->HiddenToTray() && main->isVisible() && !main->isMinimized(); }));
}

// ---- Exceptions nobody caught -----------------------------------------------------------

class Thrower : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) {
            throw tandemora::EOSError("handler failed");
        }
        return QObject::event(e);
    }
};

class FailingWorker : public tandemora::TThread {
protected:
    void Execute() override { throw tandemora::EInOutError("worker failed"); }
};

TEST_F(StartupTest, ExceptionsFromHandlersAndWorkersReachTheErrorLog) {
    ASSERT_TRUE(Start());
    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_NE(ErrorLog().find("msg:unknown EOSError:handler failed"), std::string::npos) << ErrorLog();

    FailingWorker worker;
    bool ended = false;
    worker.OnTerminate = [&](tandemora::TThread*) { ended = true; };
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return ended; }));
    worker.WaitFor();
    EXPECT_NE(ErrorLog().find("msg:unknown EInOutError:worker failed"), std::string::npos) << ErrorLog();

    // The program goes on: the main window still answers.
    EXPECT_TRUE(main->isVisible());
    main->UpdateMenuStates();
}

} // namespace
} // namespace uitest
