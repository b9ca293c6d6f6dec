#pragma once
// The update check: fetches the published version from the update server, and
// when it is newer than the installed one offers to start the updater program
// beside this one and end. It runs at start (when the options ask for it) and
// from the help menu.

#include "platform/Exceptions.h"

#include <cstdint>
#include <functional>
#include <string>

class QWidget;

namespace tandemora {

// Where the published version lives: the server (scheme and host; the options
// file's UpdateServer) and the path of the description on it.
inline constexpr const char* kUpdatePath = "/update/Update.ini";
// The description is kept beside the program under this name.
inline constexpr const char* kUpdateFileName = "Update.ini";
// The separate updater, beside the program.
inline constexpr const char* kUpdaterFileName = "TandemoraUpdate.exe";
inline constexpr const char* kUpdateUserAgent = "Mozilla/3.0 (compatible; Indy Library)";
inline constexpr int64_t kUpdateReadTimeoutMs = 5000;
// A version description is a few lines. Anything much larger is not one, and
// reading it whole would only hold up the program.
inline constexpr int64_t kUpdateFileLimit = 64 * 1024;

// The server the check asks, e.g. "http://update.example.com"; an empty text
// restores the options' UpdateServer. Tests point it at a server of their own.
void SetUpdateServer(const std::string& Server);
std::string GetUpdateServer();

// The check cannot go on; the user has been told why.
class EUpdateAborted : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EUpdateAborted"; }
};

class TDM {
public:
    // The whole check with its dialogues. ReportNoUpdate also tells the user when
    // there is nothing newer.
    void CheckForUpdate(bool ReportNoUpdate);
    // Downloads the description and compares. Raises EUpdateAborted when the
    // description could not be fetched, saved or read.
    bool IsUpdateAvailable();
    // One GET of Address; the body replaces FileName only when it arrived whole
    // and is a version description, and is returned. Raises EUpdateAborted after
    // a message box; FileName then stays as it was.
    std::string DownloadFile(const std::string& Address, const std::string& FileName);
    // The version recorded in the registry; empty when it cannot be read.
    std::string GetInstalledVersion();

    // The window the message boxes belong to (none at start).
    QWidget* Owner = nullptr;
    // Asked before the updater is started; false keeps the program (and the old
    // version) running, e.g. while a task synchronises.
    std::function<bool()> CanEnd;
    // Set once the updater has been started: the caller ends the program.
    bool TerminateRequested = false;
    // How long the check waits for the server without a byte arriving.
    int64_t ReadTimeoutMs = kUpdateReadTimeoutMs;

private:
    std::string Fetch(const std::string& Address);
    void StartUpdater();
};

// The check at start, before the main window: runs it when CheckVersionVeryDay
// is 1. False when the program is to end because the updater was started.
bool RunStartupUpdateCheck();

} // namespace tandemora
