// The options file "Tandemora.ini" and a language file, both edited by hand.
// Options: what Load reads, Save writes and the next Load reads the same; a
// Save that fails leaves the file byte for byte as it was. Language texts: each
// text is the file's value cut to the 2047-byte limit, never inside a UTF-8
// character.

#include "FuzzSupport.h"

#include "model/UTUtils.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSysConfig.h"

#include <unistd.h>

using namespace tandemora;

namespace {

std::string Describe(const TSysConfig& c) {
    std::string out = "curlang=" + c.curlang + "\nlanguages=" + c.languages +
                      "\nCompareFile=" + c.CompareFile + "\nTemplateList=" + c.TemplateList + "\n";
    for (const int value : {c.ShowTrayIcon, c.HideTaskToTray, c.WindowsStart, c.CheckVersionVeryDay,
                            c.CreateFolder, c.SaveLog, c.AutoClose, c.IsFirst}) {
        out += std::to_string(value) + " ";
    }
    out += "\nIncludeFilter:";
    for (const std::string& pattern : c.IncludeFilter) {
        out += "[" + pattern + "]";
    }
    out += "\nExcludeFilter:";
    for (const std::string& pattern : c.ExcludeFilter) {
        out += "[" + pattern + "]";
    }
    return out + "\n";
}

void CheckOptions(const std::string& folder, const std::string& text) {
    const std::string path = folder + kOptionsFileName;
    fuzzsupport::WriteFile(path, text);
    TSysConfig first;
    fuzzsupport::Expect(first.Load(kOptionsFileName) == 0, "a readable options file does not load");
    const int saved = first.Save();
    if (saved != 0) {
        fuzzsupport::Expect(saved == 2, "Save gave " + std::to_string(saved));
        fuzzsupport::Expect(fuzzsupport::ReadFile(path) == text, "a failed Save changed the options file");
        return;
    }
    TSysConfig second;
    fuzzsupport::Expect(second.Load(kOptionsFileName) == 0, "saved options do not load");
    const std::string before = Describe(first);
    const std::string after = Describe(second);
    fuzzsupport::Expect(before == after, "options change when they are saved and loaded again",
                        before + "---- became ----\n" + after + "---- saved as ----\n" +
                            fuzzsupport::ReadFile(path));
}

void CheckLanguage(const std::string& folder, const std::string& text) {
    fuzzsupport::WriteFile(folder + "fuzz.lng", text);
    TSysConfig config;
    fuzzsupport::Expect(config.OpenLanguage("fuzz.lng") == 0, "a readable language file does not open");
    const TProfile file(folder + "fuzz.lng");
    for (const std::string& key : file.ReadSection(kLanguageSection)) {
        const std::string whole = file.ReadString(kLanguageSection, key, "");
        const std::string shown = config.GetLangText(key);
        const bool cut = shown.size() < whole.size();
        fuzzsupport::Expect(
            shown.size() <= kProfileBufferChars && whole.compare(0, shown.size(), shown) == 0 &&
                (!cut || whole.size() > kProfileBufferChars) &&
                (!cut || shown.empty() || (static_cast<unsigned char>(whole[shown.size()]) & 0xC0) != 0x80),
            "a language text is not its value cut to the limit", key + "\n" + shown);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string folder = fuzzsupport::ScratchFolder() + "/";
    SetProgramFolder(folder);
    const std::string text = fuzzsupport::Text(data, size);
    CheckOptions(folder, text);
    CheckLanguage(folder, text);
    unlink((folder + "ErrorInfo.txt").c_str()); // the error log would only grow
    return 0;
}
