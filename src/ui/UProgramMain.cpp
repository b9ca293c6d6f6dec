#include "ui/UProgramMain.h"

#include "dialogs/DMUnit.h"

#include "model/UTUtils.h"
#include "platform/ProgramFolder.h"
#include "tasks/URegSettings.h"
#include "tasks/UTSysConfig.h"
#include "ui/UFMain.h"
#include "ui/UHintWin.h"
#include "ui/UMessageBox.h"
#include "ui/UQtMainThread.h"
#include "ui/UTandemoraApp.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace tandemora {

namespace {

const char* const kTipCaption = "Tip";
const char* const kLanguageMissing = "Read Languange Error,File not Exist!";
const char* const kLanguageUnreadable = "The language file could not be read.";

// Becomes the interactive instance: a later interactive start finds this server
// and asks it to show the main window.
std::unique_ptr<QLocalServer> ListenAsInstance() {
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered, so a socket left by an instance that crashed is stale.
    const QString name = QString::fromStdString(InstanceServerName());
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
        return nullptr; // the program still runs; it only cannot be found by a second start
    }
    return server;
}

// A start that cannot go on: a message box for a person, or without a display
// a line on the standard error stream (cron mails it) and in the error log.
// Why, when known, follows on the error stream (the error log has it already).
void TellStartFailure(TProgramInstance& Instance, const char* Text, const std::string& Path,
                      const std::string& Why = "") {
    Instance.ExitCode = ecConfigUnreadable;
    if (!Instance.WithoutDisplay) {
        MessageBox(nullptr, Text, kTipCaption, MB_OK);
        return;
    }
    std::fprintf(stderr, "Tandemora: %s (%s)%s%s\n", Text, Path.c_str(), Why.empty() ? "" : ": ",
                 Why.c_str());
    std::fflush(stderr);
    ErrorLogger.LogError(Text, "EStartError", Path);
}

// The write end of the pipe that carries SIGTERM and SIGINT to the main thread:
// a signal handler may do little more than write a byte.
int endSignalWriteFd = -1;

void NoteEndSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    (void)!write(endSignalWriteFd, &byte, 1);
    errno = saved;
}

// SIGTERM (a shut-down, a scheduler ending its jobs, kill) and SIGINT (Ctrl+C in
// the terminal of a command-line run) end the program the way a cancel does, so
// that a sync stops between items, keeps the snapshots of what it did and
// leaves a record that says so. A second such signal ends it at once.
void EndOnSignals(TFMain* window) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return; // the signals keep their usual effect
    }
    endSignalWriteFd = fds[1];
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window, fd = fds[0]] {
        unsigned char number = 0;
        unsigned char last = 0;
        while (read(fd, &number, 1) == 1) {
            last = number;
        }
        if (last != 0) {
            window->EndOnRequest(std::string("Cancelled: the program was asked to end (") +
                                 (last == SIGINT ? "SIGINT" : "SIGTERM") + ").");
        }
    });
    struct sigaction action {};
    action.sa_handler = NoteEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void AnswerShowRequests(QLocalServer* server, TFMain* window) {
    auto serve = [server, window] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            SendNotifyMessage(window, WM_RETURNFROMTRAY, 0, 0);
        }
    };
    QObject::connect(server, &QLocalServer::newConnection, window, serve);
    serve();
}

} // namespace

TProgramInstance::TProgramInstance() = default;

TProgramInstance::~TProgramInstance() {
    MainWindow.reset();
    HintWindow.reset();
    if (SysConfig == Config.get()) {
        SysConfig = nullptr;
    }
    Config.reset();
    InstanceServer.reset();
    if (MainThreadDispatcher() == Dispatcher.get()) {
        SetMainThreadDispatcher(nullptr);
    }
}

std::string InstanceServerName() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && QFileInfo(runtime).isDir()) {
        return std::string(runtime) + "/" + kInstanceServerName;
    }
    return QDir::tempPath().toStdString() + "/" + kInstanceServerName + "-" + std::to_string(geteuid());
}

bool ShowRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(InstanceServerName()));
    if (!socket.waitForConnected(2000)) {
        return false;
    }
    socket.write("show\n");
    socket.waitForBytesWritten(2000);
    socket.disconnectFromServer();
    return true;
}

bool StartProgram(const std::vector<std::string>& Args, TProgramInstance& Instance) {
    Instance.Dispatcher = std::make_unique<TQtMainThreadDispatcher>();
    SetMainThreadDispatcher(Instance.Dispatcher.get());
    // The balloons take over the hints before any window exists.
    Instance.HintWindow = std::make_unique<THintWin>();
    Instance.HintWindow->Install();

    // One interactive instance at a time; a command-line run works beside it.
    if (Args.empty()) {
        if (ShowRunningInstance()) {
            return false;
        }
        Instance.InstanceServer = ListenAsInstance();
    }

    Instance.Config = std::make_unique<TSysConfig>();
    SysConfig = Instance.Config.get();
    InstallThreadExceptionLogging();

    const int loaded = SysConfig->Load(kOptionsFileName);
    const std::string options = GetProgramFolder() + kOptionsFileName;
    if (loaded == 1) {
        TellStartFailure(Instance, kConfigKeysError, options);
        return false;
    }
    if (loaded == 2) {
        TellStartFailure(Instance, kConfigAccessError, options, SysConfig->ReadError);
        return false;
    }
    if (loaded > 0) {
        Instance.ExitCode = ecConfigUnreadable;
        return false;
    }

    LoadSettings();
    if (!Args.empty()) {
        // A command-line run never looks for a newer version; the file keeps its value.
        SysConfig->CheckVersionVeryDay = 0;
    }

    const int language = SysConfig->OpenLanguage(SysConfig->curlang);
    if (language == 1) {
        TellStartFailure(Instance, kLanguageMissing, GetProgramFolder() + SysConfig->curlang);
        return false;
    }
    // Without its texts the program would show blank captions and messages.
    if (language != 0) {
        TellStartFailure(Instance, kLanguageUnreadable, GetProgramFolder() + SysConfig->curlang,
                         SysConfig->ReadError);
        return false;
    }

    // The daily update check comes before the main window; when the user starts
    // the updater, this program ends so it can be replaced.
    if (!RunStartupUpdateCheck()) {
        return false;
    }

    Instance.MainWindow = std::make_unique<TFMain>(Args);
    Instance.MainWindow->WithoutDisplay = Instance.WithoutDisplay;
    Instance.MainWindow->WatchMountTable(kMountTablePath);
    if (Instance.InstanceServer) {
        AnswerShowRequests(Instance.InstanceServer.get(), Instance.MainWindow.get());
    }
    Instance.MainWindow->show();
    return true;
}

int ProgramMain(int argc, char** argv) {
    TApplication app(argc, argv);
    // Hidden in the notification area the program still runs; it ends when the
    // main window closes for good.
    app.setQuitOnLastWindowClosed(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    TProgramInstance instance;
    instance.WithoutDisplay = RunsWithoutDisplay();
    if (!StartProgram(args, instance)) {
        return instance.ExitCode;
    }
    QObject::connect(instance.MainWindow.get(), &TFMain::Closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    EndOnSignals(instance.MainWindow.get());
    app.exec();
    const int code = instance.MainWindow->ExitCode();
    if (instance.WithoutDisplay && !args.empty() && code == ecOk) {
        // An unattended start whose runs all went well has written and closed
        // everything it keeps (the task log is written straight to its file, no
        // copy waits for its name); taking its windows and trees apart one node
        // at a time would only hand memory back that the end of the process
        // hands back at once.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}

} // namespace tandemora
