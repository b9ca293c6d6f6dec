#include "dialogs/DMUnit.h"

#include "model/UTUtils.h"
#include "platform/Http.h"
#include "platform/ProgramFolder.h"
#include "platform/Registry.h"
#include "tasks/TaskList.h"
#include "tasks/URegSettings.h"
#include "tasks/UTSysConfig.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QCursor>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <chrono>

namespace tandemora {

namespace {

const char* const kCaption = "Tandemora";
const char* const kUpdateQuestion =
    "A newer version of Tandemora is available. Would you like to update now?";
const char* const kNoUpdate = "There are no updates available at this time.\rYour Tandemora is up-to-date.";
// However slowly the server answers, the user interface waits no longer than this.
constexpr auto kWholeTransferLimit = std::chrono::seconds(30);

std::string updateServer;

// The hourglass while the interface waits for the server; the old cursor comes
// back however the wait ends.
class TWaitCursor {
public:
    TWaitCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~TWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// The update folder's address as the failure message names it.
std::string UpdateFolderAddress() {
    const std::string path = kUpdatePath;
    return GetUpdateServer() + path.substr(0, path.rfind('/') + 1);
}

void Tell(QWidget* owner, const std::string& text) {
    MessageBox(owner, ToQ(text), kCaption, MB_ICONINFORMATION);
}

[[noreturn]] void Abort(const std::string& why) {
    throw EUpdateAborted(why);
}

} // namespace

void SetUpdateServer(const std::string& Server) {
    updateServer = Server;
}

std::string GetUpdateServer() {
    std::string server = updateServer;
    if (server.empty()) {
        server = SysConfig != nullptr ? SysConfig->UpdateServer : kStandInUpdateServer;
    }
    while (!server.empty() && server.back() == '/') {
        server.pop_back();
    }
    return server;
}

// ---- The check ---------------------------------------------------------------------------

void TDM::CheckForUpdate(bool ReportNoUpdate) {
    bool available = false;
    try {
        available = IsUpdateAvailable();
    } catch (const EUpdateAborted&) {
        return; // the user has been told
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Update check", e);
        Tell(Owner, std::string("The update check failed: ") + e.what());
        return;
    }
    if (available) {
        if (MessageBox(Owner, kUpdateQuestion, kCaption, MB_YESNO | MB_ICONINFORMATION) == IDYES) {
            StartUpdater();
        }
    } else if (ReportNoUpdate) {
        MessageBox(Owner, kNoUpdate, kCaption, MB_ICONINFORMATION);
    }
}

bool TDM::IsUpdateAvailable() {
    const std::string address = GetUpdateServer() + kUpdatePath;
    const std::string local = GetProgramFolder() + kUpdateFileName;
    const std::string remote = DescriptionVersion(DownloadFile(address, local));
    // Every start records the running version; should the registry not hold it,
    // this program still knows which version it is.
    std::string installed = GetInstalledVersion();
    if (!IsVersionText(installed)) {
        installed = kProgramVersion;
    }
    return CompareVersions(remote, installed) > 0;
}

std::string TDM::DownloadFile(const std::string& Address, const std::string& FileName) {
    const std::string body = Fetch(Address);
    // Only a version description replaces the one kept from the last check: a
    // network that answers every address with its own sign-in page, or a server
    // that sends an error page as a success, would otherwise leave a page of HTML
    // where the description was. Saying "up-to-date" or offering an update on
    // such a reply would both be guesses.
    if (!IsVersionText(DescriptionVersion(body))) {
        Tell(Owner, "The update information from " + Address + " could not be read.\rIt holds no version " +
                        "number in section [Version], key Ver.");
        Abort("no version in the reply from " + Address);
    }
    try {
        ReplaceFileAtomically(FileName, body, 0644);
    } catch (const std::exception& e) {
        ErrorLogger.LogError("Write Error", e);
        Tell(Owner, "The update information could not be saved as " + FileName + ".\r" + e.what());
        Abort(e.what());
    }
    return body;
}

// One GET of the whole description, held in memory. A reply that stops moving
// for the read time-out, that grows past any description's size or that does
// not arrive whole is told and ends the check.
std::string TDM::Fetch(const std::string& Address) {
    TWaitCursor wait;
    http::TRequest request;
    request.Url = Address;
    request.Headers = {
        {"Accept", "text/html, */*"}, {"Content-Type", "text/html"}, {"User-Agent", kUpdateUserAgent}};
    request.ConnectTimeoutMs = ReadTimeoutMs;
    request.StallTimeoutMs = ReadTimeoutMs;
    http::TReply reply;
    const auto started = std::chrono::steady_clock::now();
    auto lastMove = started;
    int64_t lastBytes = 0;
    request.Cancelled = [&] {
        // The interface waits for the server: no longer than the read time-out
        // without a byte, however the server trickles.
        const auto now = std::chrono::steady_clock::now();
        if (reply.ReceivedBytes != lastBytes) {
            lastBytes = reply.ReceivedBytes;
            lastMove = now;
        }
        return reply.ReceivedBytes > kUpdateFileLimit ||
               now - lastMove > std::chrono::milliseconds(ReadTimeoutMs) ||
               now - started > kWholeTransferLimit;
    };
    const bool complete = http::Send(request, reply);

    if (reply.ReceivedBytes > kUpdateFileLimit) {
        Tell(Owner, "The update information from " + Address + " could not be read.\rIt is larger than " +
                        std::to_string(kUpdateFileLimit / 1024) + " KB, which no version description is.");
        Abort("oversized reply from " + Address);
    }
    if (!complete || !http::IsSuccess(reply.Status)) {
        Tell(Owner, "Can not download the new version.\rBecause Can not connect " + UpdateFolderAddress() +
                        ",Please check the network.");
        Abort(reply.Error.empty() ? "HTTP status " + std::to_string(reply.Status) : reply.Error);
    }
    return reply.Body;
}

std::string TDM::GetInstalledVersion() {
    TRegistry registry;
    std::string version;
    if (registry.OpenKeyReadOnly(kRegSettingsKey)) {
        registry.ReadString("Version", version);
    }
    return version;
}

// The updater replaces this program's files, so it only starts when this
// program may end, and the program ends only when the updater really started.
void TDM::StartUpdater() {
    if (CanEnd && !CanEnd()) {
        Tell(Owner,
             "Tandemora cannot end while a task is running.\rPlease update when the task has finished.");
        return;
    }
    const std::string updater = GetProgramFolder() + kUpdaterFileName;
    if (!QFileInfo::exists(ToQ(updater))) {
        Tell(Owner, std::string("The updater ") + kUpdaterFileName + " is not in the program folder " +
                        GetProgramFolder() + ".\rTandemora cannot update itself.");
        return;
    }
    if (!QProcess::startDetached(ToQ(updater), {})) {
        Tell(Owner, "The updater " + updater + " could not be started.\rTandemora cannot update itself.");
        return;
    }
    TerminateRequested = true;
}

bool RunStartupUpdateCheck() {
    if (SysConfig == nullptr || SysConfig->CheckVersionVeryDay != 1) {
        return true;
    }
    TDM dm;
    dm.CheckForUpdate(false);
    return !dm.TerminateRequested;
}

} // namespace tandemora
