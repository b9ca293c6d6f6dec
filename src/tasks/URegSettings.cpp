#include "tasks/URegSettings.h"

#include "model/UTUtils.h"
#include "platform/Registry.h"

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
    if (!reg.WriteString("Version", kProgramVersion)) {
        LogWriteFailure(reg, "Version");
    }
    reg.CloseKey();
}

} // namespace tandemora
