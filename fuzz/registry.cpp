// The registry store ($XDG_CONFIG_HOME/Tandemora/registry.ini), which anyone
// may edit. The start-up settings are loaded from it twice: the first load
// fills in what is missing, so the second must read the same settings and leave
// the store as it was. Then a value named and filled from the input is written:
// a write the registry accepts must read back.

#include "FuzzSupport.h"

#include "platform/ProgramFolder.h"
#include "platform/Registry.h"
#include "tasks/URegSettings.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace tandemora;

namespace {

std::string Describe(const TRegSettings& s) {
    std::string out = "HelpURL=" + s.HelpURL + "\nHomePage=" + s.HomePage + "\nVersion=" + s.Version + "\n";
    for (const int value :
         {int(s.CheckUpdate), int(s.len_up), int(s.len_down), int(s.ScanValue1), int(s.ScanValue2),
          int(s.ScanValue3), int(s.ScanValue4), int(s.ScanValue5), int(s.UserScanValue)}) {
        out += std::to_string(value) + " ";
    }
    return out + "\n";
}

std::string LoadedSettings() {
    RegSettings = TRegSettings();
    LoadSettings();
    return Describe(RegSettings);
}

void CheckWrittenValue(const std::string& store, FuzzedDataProvider& input) {
    const std::string name = input.ConsumeRandomLengthString(40);
    const std::string text = input.ConsumeRandomLengthString(200);
    const auto number = input.ConsumeIntegral<int32_t>();
    TRegistry reg(store);
    fuzzsupport::Expect(reg.OpenKey(kRegSettingsKey, false), "the settings key does not open",
                        reg.LastError());
    std::string readText;
    if (reg.WriteString(name, text)) {
        fuzzsupport::Expect(reg.ReadString(name, readText) && readText == text,
                            "a registry string does not read back", name + "\n" + text);
    }
    int32_t readNumber = 0;
    if (reg.WriteInteger(name, number)) {
        fuzzsupport::Expect(reg.ReadInteger(name, readNumber) && readNumber == number,
                            "a registry number does not read back", name + "\n" + std::to_string(number));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string folder = fuzzsupport::ScratchFolder();
    static const bool prepared = [&] {
        setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
        SetProgramFolder(folder + "/");
        return mkdir((folder + "/Tandemora").c_str(), 0700) == 0;
    }();
    fuzzsupport::Expect(prepared, "no folder for the registry store");
    const std::string store = RegistryStoreFile();

    FuzzedDataProvider input(data, size);
    const std::string storeText = input.ConsumeRandomLengthString(4096);
    fuzzsupport::WriteFile(store, storeText);
    const std::string first = LoadedSettings();
    const std::string filled = fuzzsupport::ReadFile(store);
    fuzzsupport::Expect(RegSettings.Version == kProgramVersion, "the version was not recorded", filled);
    const std::string second = LoadedSettings();
    fuzzsupport::Expect(first == second, "settings change from one start to the next",
                        first + "---- became ----\n" + second + "---- store ----\n" + filled);
    fuzzsupport::Expect(fuzzsupport::ReadFile(store) == filled, "a second start changes the store again",
                        filled + "---- became ----\n" + fuzzsupport::ReadFile(store));

    CheckWrittenValue(store, input);
    unlink((folder + "/ErrorInfo.txt").c_str()); // the error log would only grow
    return 0;
}
