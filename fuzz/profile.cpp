// Profile (INI) files: the options file, language files and the registry store
// are all read through TProfile, and users edit them by hand. Every value the
// reader finds is written back through the writer, along with a new value taken
// from the input, and the file is saved and read again: each value must read
// back as written, and every other value as before.

#include "FuzzSupport.h"

#include "platform/Exceptions.h"
#include "platform/Profile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <utility>
#include <vector>

using namespace tandemora;

namespace {

struct TValue {
    std::string Section;
    std::string Key;
    std::string Value;
};

// Names are matched without ASCII letter case.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<TValue> ReadAll(const TProfile& profile) {
    std::vector<TValue> values;
    for (const std::string& section : profile.ReadSections()) {
        fuzzsupport::Expect(profile.SectionExists(section), "a listed section does not exist", section);
        for (const std::string& key : profile.ReadSection(section)) {
            fuzzsupport::Expect(profile.ValueExists(section, key), "a listed key does not exist", key);
            values.push_back({section, key, profile.ReadString(section, key, "")});
        }
    }
    return values;
}

// Every value as the file has it, then what was written.
void ExpectValues(const TProfile& profile, const std::vector<TValue>& values, const std::string& file) {
    for (const TValue& v : values) {
        const std::string read = profile.ReadString(v.Section, v.Key, "");
        fuzzsupport::Expect(read == v.Value, "a profile value does not read back",
                            "[" + v.Section + "] " + v.Key + "\nwant: " + v.Value + "\ngot:  " + read +
                                "\nfile:\n" + file);
    }
}

// Writes Value under Key; when the profile takes it, the expected values follow.
void WriteValue(TProfile& profile, std::vector<TValue>& expected, const TValue& value) {
    try {
        profile.WriteString(value.Section, value.Key, value.Value);
    } catch (const EFCreateError&) {
        return; // a name or value the file form cannot hold is refused
    }
    bool known = false;
    for (TValue& v : expected) {
        if (SameName(v.Section, value.Section) && SameName(v.Key, value.Key)) {
            v.Value = value.Value;
            known = true;
        }
    }
    if (!known) {
        expected.push_back(value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string newValue = input.ConsumeRandomLengthString(300);
    const std::string path = fuzzsupport::ScratchFolder() + "/profile.ini";
    fuzzsupport::WriteFile(path, input.ConsumeRemainingBytesAsString());

    TProfile profile(path);
    std::vector<TValue> expected = ReadAll(profile);
    const std::vector<TValue> found = expected;
    for (const TValue& v : found) {
        WriteValue(profile, expected, v);
    }
    ExpectValues(profile, expected, fuzzsupport::ReadFile(path));
    // A new value in the first section and in a section of its own; a value of
    // that text in place of the first one.
    const std::string firstSection = found.empty() ? "first" : found.front().Section;
    WriteValue(profile, expected, {firstSection, "FuzzKey", newValue});
    WriteValue(profile, expected, {"Fuzz Section", "FuzzKey", newValue});
    if (!found.empty()) {
        WriteValue(profile, expected, {found.front().Section, found.front().Key, newValue});
    }
    ExpectValues(profile, expected, fuzzsupport::ReadFile(path));

    try {
        profile.UpdateFile();
    } catch (const TException& e) {
        fuzzsupport::Expect(false, std::string("a profile cannot be saved: ") + e.what());
    }
    const TProfile again(path);
    ExpectValues(again, expected, fuzzsupport::ReadFile(path));
    fuzzsupport::Expect(ReadAll(again).size() == expected.size(), "a saved profile has other keys",
                        fuzzsupport::ReadFile(path));
    return 0;
}
