#include "ui/UTandemoraApp.h"

#include "model/UTUtils.h"
#include "platform/Thread.h"
#include "ui/UProgramIcon.h"

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
