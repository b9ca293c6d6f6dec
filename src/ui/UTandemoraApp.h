#pragma once
// The application object. Every event goes through notify(); an exception that
// escapes an event handler is written to the error log there, and the program
// goes on, as it does for an exception that escapes a worker thread.

#include <QApplication>
#include <exception>

namespace tandemora {

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Whether the session this program was started in has a display at all (an
// X or Wayland server named in the environment). Asked before the application
// object exists, to choose the minimal platform for a start without one.
bool SessionHasDisplay();

// Keeps Qt's own remarks off the standard error stream (warnings about the
// minimal platform and the missing runtime folder, which every start without
// a display would otherwise print, and cron would mail); critical and fatal
// messages still go through. The program's own reasons are written directly and
// are not touched. Called before the application object exists.
void QuietenQtMessages();

// True when the program runs without a display: its windows are drawn off
// screen (the off-screen or minimal platform), so nobody sees them, answers a
// message box or closes a window. The one place that decides it.
bool RunsWithoutDisplay();

// Writes an exception that nobody caught to the error log (the text "unknown").
void LogUncaughtException(std::exception_ptr error);

// Makes the error log the receiver of every exception that escapes a worker thread.
void InstallThreadExceptionLogging();

} // namespace tandemora
