#include "tasks/URegSettings.h"

#include "model/UTUtils.h"
#include "platform/Profile.h"
#include "platform/Registry.h"

#include <algorithm>
#include <vector>

namespace tandemora {

TRegSettings RegSettings;

namespace {

// A value that exists but cannot be written back as default is not worth stopping
// the start for; the log keeps the reason.
void LogWriteFailure(const TRegistry& reg, const std::string& name) {
    ErrorLogger.LogError("Write Registry Error", "ERegistryException", name + ": " + reg.LastError());
}

void LoadBool(TRegistry& reg, const char* name, bool& field, bool def) {
    if (reg.ReadBool(name, field)) {
        return;
    }
    field = def;
    if (!reg.WriteBool(name, def)) {
        LogWriteFailure(reg, name);
    }
}

void LoadInteger(TRegistry& reg, const char* name, int32_t& field, int32_t def) {
    if (reg.ReadInteger(name, field)) {
        return;
    }
    field = def;
    if (!reg.WriteInteger(name, def)) {
        LogWriteFailure(reg, name);
    }
}

void LoadString(TRegistry& reg, const char* name, std::string& field, const std::string& def) {
    if (reg.ReadString(name, field)) {
        return;
    }
    field = def;
    if (!reg.WriteString(name, def)) {
        LogWriteFailure(reg, name);
    }
}

std::vector<std::string> VersionNumbers(const std::string& version) {
    std::vector<std::string> numbers;
    size_t start = 0;
    while (true) {
        const size_t dot = version.find('.', start);
        std::string number =
            version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        // Leading zeros say nothing: "2.01" is "2.1".
        const size_t first = number.find_first_not_of('0');
        numbers.push_back(first == std::string::npos ? "0" : number.substr(first));
        if (dot == std::string::npos) {
            return numbers;
        }
        start = dot + 1;
    }
}

// Two numbers in decimal without leading zeros, compared without any size limit.
int CompareNumbers(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

} // namespace

void LoadSettings() {
    TRegistry reg;
    reg.RootKey = HKEY_LOCAL_MACHINE;
    if (!reg.OpenKey(kRegSettingsKey, true)) {
        return;
    }
    TRegSettings& s = RegSettings;
    LoadBool(reg, "CheckUpdate", s.CheckUpdate, false);
    LoadString(reg, "HelpURL", s.HelpURL, kDefaultHelpURL);
    LoadString(reg, "HomePage", s.HomePage, kDefaultHomePage);
    LoadInteger(reg, "len_up", s.len_up, 1);
    LoadInteger(reg, "len_down", s.len_down, 6);
    LoadBool(reg, "ScanValue1", s.ScanValue1, false);
    LoadBool(reg, "ScanValue2", s.ScanValue2, false);
    LoadBool(reg, "ScanValue3", s.ScanValue3, false);
    LoadBool(reg, "ScanValue4", s.ScanValue4, false);
    LoadBool(reg, "ScanValue5", s.ScanValue5, true);
    LoadBool(reg, "UserScanValue", s.UserScanValue, false);
    s.Version = kProgramVersion;
    // Opening the key for writing has replaced the store already; a second
    // replacement that changes nothing would only cost a start two flushes.
    std::string stored;
    if (reg.ReadString("Version", stored) && stored == kProgramVersion) {
        reg.CloseKey();
        return;
    }
    if (!reg.WriteString("Version", kProgramVersion)) {
        LogWriteFailure(reg, "Version");
    }
    reg.CloseKey();
}

std::string DescriptionVersion(const std::string& Description) {
    return TProfile::FromText(Description).ReadString("Version", "Ver", "", kProfileBufferChars);
}

bool IsVersionText(const std::string& Version) {
    if (Version.empty() || Version.front() == '.' || Version.back() == '.' ||
        Version.find("..") != std::string::npos) {
        return false;
    }
    for (const char c : Version) {
        if (c != '.' && (c < '0' || c > '9')) {
            return false;
        }
    }
    return true;
}

int CompareVersions(const std::string& A, const std::string& B) {
    const std::vector<std::string> a = VersionNumbers(A);
    const std::vector<std::string> b = VersionNumbers(B);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const int order = CompareNumbers(i < a.size() ? a[i] : "0", i < b.size() ? b[i] : "0");
        if (order != 0) {
            return order;
        }
    }
    return 0;
}

} // namespace tandemora
