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

// ---- Versions, as the update check compares them ----

// The version an update description (the text of an INI file) names: the value
// Ver of section [Version], empty when it names none.
std::string DescriptionVersion(const std::string& Description);
// True for a version of decimal numbers separated by single dots ("2.1.0").
bool IsVersionText(const std::string& Version);
// Compares two versions number by number, so 2.10 is newer than 2.9 and a
// missing number counts as 0 ("2.1" equals "2.1.0"). <0, 0 or >0.
int CompareVersions(const std::string& A, const std::string& B);

} // namespace tandemora
