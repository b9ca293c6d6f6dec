#include "tasks/UTSysConfig.h"

#include "model/UTUtils.h"
#include "platform/Exceptions.h"
#include "platform/ProgramFolder.h"

#include <exception>
#include <functional>
#include <sstream>

namespace tandemora {

TSysConfig* SysConfig = nullptr;

namespace {

std::string OptionsPath() {
    return GetProgramFolder() + kOptionsFileName;
}

// Writes the options file with the changes Change makes to it, as one atomic
// replacement. 0 written, 1 no such file, 2 a failure that was logged. A file that
// exists but cannot be read raises to the caller.
int WriteOptions(const std::function<void(TProfile&)>& change) {
    std::string path = OptionsPath();
    if (!ProfileFileExists(path)) {
        return 1;
    }
    TProfile ini(path);
    try {
        change(ini);
        ini.UpdateFile();
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kConfigKeysError, e);
        return 2;
    }
    return 0;
}

} // namespace

std::vector<std::string> SplitCommaList(const std::string& text) {
    std::vector<std::string> list;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) {
            list.push_back(text.substr(pos));
            break;
        }
        list.push_back(text.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return list;
}

std::string JoinCommaList(const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& item : list) {
        text += item;
        text += ',';
    }
    return text;
}

TSysConfig::TSysConfig() : curlang("USA.lng") {}

TSysConfig::~TSysConfig() = default;

int TSysConfig::Load(const std::string& FileName) {
    std::string path = GetProgramFolder() + FileName;
    if (!ProfileFileExists(path)) {
        return 1;
    }
    std::unique_ptr<TProfile> ini;
    try {
        ini = std::make_unique<TProfile>(path);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kConfigAccessError, e);
        ReadError = e.what();
        return 2;
    }
    try {
        const char* s = kOptionsSection;
        curlang = ini->ReadString(s, "curlang", "en-english.lng");
        languages = ini->ReadString(s, "languages", "en-english.lng");
        WindowsStart = ini->ReadInteger(s, "WindowsStart", 0);
        CheckVersionVeryDay = ini->ReadInteger(s, "CheckVersionVeryDay", 0);
        CreateFolder = ini->ReadInteger(s, "CreateFolder", 0);
        SaveLog = ini->ReadInteger(s, "SaveLog", 0);
        HideTaskToTray = ini->ReadInteger(s, "HideTaskToTray", 0);
        ShowTrayIcon = ini->ReadInteger(s, "ShowTrayIcon", 0);
        AutoClose = ini->ReadInteger(s, "AutoClose", 0);
        CompareFile = ini->ReadString(s, "CompareFile", "");
        IncludeFilter = SplitCommaList(ini->ReadString(s, "IncludeFilter", ""));
        ExcludeFilter = SplitCommaList(ini->ReadString(s, "ExcludeFilter", ""));
        TemplateList = ini->ReadString(s, "TemplateList", "");
        IsFirst = ini->ReadInteger(s, "IsFirst", 1);
        // A blank value is no address: the stand-in stays.
        auto address = [&ini, s](const char* key, const char* fallback) {
            const std::string value = ini->ReadString(s, key, "");
            return value.empty() ? std::string(fallback) : value;
        };
        UpdateServer = address("UpdateServer", kStandInUpdateServer);
        HomePage = address("HomePage", kStandInHomePage);
        Manual = address("Manual", kStandInManual);
        SupportEmail = address("SupportEmail", kStandInSupportEmail);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kConfigKeysError, e);
    }
    return 0;
}

int TSysConfig::Save() {
    return WriteOptions([this](TProfile& ini) {
        const char* s = kOptionsSection;
        ini.WriteString(s, "curlang", curlang);
        ini.WriteInteger(s, "WindowsStart", WindowsStart);
        ini.WriteInteger(s, "CheckVersionVeryDay", CheckVersionVeryDay);
        ini.WriteInteger(s, "CreateFolder", CreateFolder);
        ini.WriteInteger(s, "SaveLog", SaveLog);
        ini.WriteInteger(s, "HideTaskToTray", HideTaskToTray);
        ini.WriteInteger(s, "ShowTrayIcon", ShowTrayIcon);
        ini.WriteInteger(s, "AutoClose", AutoClose);
        ini.WriteString(s, "CompareFile", CompareFile);
        ini.WriteString(s, "ExcludeFilter", JoinCommaList(ExcludeFilter));
        ini.WriteString(s, "IncludeFilter", JoinCommaList(IncludeFilter));
    });
}

int TSysConfig::AddTemplate(const std::string& Name) {
    std::string list = TrimBlanks(TemplateList).empty() ? TemplateList + Name : TemplateList + "," + Name;
    int result =
        WriteOptions([&list](TProfile& ini) { ini.WriteString(kOptionsSection, "TemplateList", list); });
    // The list in memory follows the file, so the template dialog never offers a
    // name that the next start would not know.
    if (result == 0) {
        TemplateList = list;
    }
    return result;
}

int TSysConfig::ClearFirstRun() {
    return WriteOptions([](TProfile& ini) { ini.WriteInteger(kOptionsSection, "IsFirst", 0); });
}

int TSysConfig::OpenLanguage(const std::string& FileName) {
    // The name comes from the options file; it names a file of the program's
    // own, never one elsewhere ("../../../dev/zero").
    std::string component;
    std::istringstream parts(FileName);
    while (std::getline(parts, component, '/')) {
        if (component == "..") {
            ReadError = "The language file \"" + FileName + "\" lies outside the program folder";
            ErrorLogger.LogError(kLanguageReadError, "EFOpenError", ReadError);
            return -1;
        }
    }
    std::string path = GetProgramFolder() + FileName;
    if (!ProfileFileExists(path)) {
        return 1;
    }
    try {
        LangFile = std::make_unique<TProfile>(path);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kLanguageReadError, e);
        ReadError = e.what();
        return -1;
    }
    return 0;
}

std::string TSysConfig::GetLangText(const std::string& Key) {
    if (!LangFile) {
        ErrorLogger.LogError(kLanguageReadError, "EAccessViolation", "The language file is not open");
        return "";
    }
    try {
        return LangFile->ReadString(kLanguageSection, Key, "", kProfileBufferChars);
    } catch (const std::exception& e) {
        ErrorLogger.LogError(kLanguageReadError, e);
        return "";
    }
}

} // namespace tandemora
