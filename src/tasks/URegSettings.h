#pragma once
// The machine-wide settings kept in the registry key "\Software\Tandemora" under
// HKEY_LOCAL_MACHINE (our registry store, see platform/Registry.h). They are read
// once at start-up, right after the options file; missing ones are created with
// their defaults, and the running version is recorded every time.

#include <cstdint>
#include <string>

namespace tandemora {

inline constexpr const char* kRegSettingsKey = "\\Software\\Tandemora";
// The version this program records at every start; the update check compares it
// with the published one.
inline constexpr const char* kProgramVersion = "2.1.0";
// Defaults of the two addresses kept in the registry (nothing opens them).
inline constexpr const char* kDefaultHelpURL = "http://www.example.com/tandemora/help";
inline constexpr const char* kDefaultHomePage = "http://www.example.com/tandemora/";

struct TRegSettings {
    bool CheckUpdate = false;
    std::string HelpURL;
    std::string HomePage;
    int32_t len_up = 0;
    int32_t len_down = 0;
    bool ScanValue1 = false;
    bool ScanValue2 = false;
    bool ScanValue3 = false;
    bool ScanValue4 = false;
    bool ScanValue5 = false;
    bool UserScanValue = false;
    std::string Version;
};

// The program-wide record; every field false, 0 or empty until LoadSettings runs.
extern TRegSettings RegSettings;

// Opens (creating when missing) the settings key; reads every value that exists
// into RegSettings and writes the default of every missing one (a value of another
// type counts as missing and is replaced); then records kProgramVersion as
// Version. When the key can neither be opened nor created for writing, nothing is
// read or written and the record keeps its empty values.
void LoadSettings();

} // namespace tandemora
