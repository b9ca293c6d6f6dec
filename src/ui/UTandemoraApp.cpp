#include "ui/UTandemoraApp.h"

#include "model/UTUtils.h"
#include "platform/Thread.h"
#include "ui/UProgramIcon.h"

#include <QGuiApplication>
#include <QtGlobal>
#include <cstdlib>

namespace tandemora {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // Every window shows the program's own icon unless it sets another.
    setWindowIcon(TandemoraIcon());
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        LogUncaughtException(std::current_exception());
    }
    return false;
}

bool SessionHasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    return false;
}

namespace {

QtMessageHandler qtDefaultHandler = nullptr;

void DropQtRemarks(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if ((type == QtCriticalMsg || type == QtFatalMsg) && qtDefaultHandler != nullptr) {
        qtDefaultHandler(type, context, message);
    }
}

} // namespace

void QuietenQtMessages() {
    qtDefaultHandler = qInstallMessageHandler(DropQtRemarks);
}

bool RunsWithoutDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

void LogUncaughtException(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ErrorLogger.HandleException(e);
    } catch (...) {
        ErrorLogger.LogError("unknown", "Exception", "unknown exception");
    }
}

void InstallThreadExceptionLogging() {
    SetThreadExceptionHandler([](TThread*, std::exception_ptr error) { LogUncaughtException(error); });
}

} // namespace tandemora
