#pragma once
// The program-wide options of "Tandemora.ini" (section "tandemora") beside the
// program, and the user-visible texts of the language file named by `curlang`.
// One object is created at start-up before any window and lives until the program
// ends; everything reaches it through SysConfig.

#include "platform/Profile.h"

#include <memory>
#include <string>
#include <vector>

namespace tandemora {

// The options file, always beside the program.
inline constexpr const char* kOptionsFileName = "Tandemora.ini";
// Its one section, and the one section of a language file.
inline constexpr const char* kOptionsSection = "tandemora";
inline constexpr const char* kLanguageSection = "title";

// The addresses a packager sets in the options file (keys UpdateServer,
// HomePage, Manual, SupportEmail) without a rebuild; these stand in until then.
inline constexpr const char* kStandInUpdateServer = "http://update.example.com";
inline constexpr const char* kStandInHomePage = "http://www.example.com/tandemora/";
inline constexpr const char* kStandInManual = "http://www.example.com/tandemora/help/";
inline constexpr const char* kStandInSupportEmail = "support@example.com";

// Error-log texts of the options object.
inline constexpr const char* kConfigKeysError = "Can not Find Config File,Exist!";
inline constexpr const char* kConfigAccessError = "Access Config File Error,Exist!";
inline constexpr const char* kLanguageReadError = "Read char Error!";

// Pattern lists are kept in the options file as one value in which every pattern is
// followed by ",": {"a", "b"} is "a,b," and the empty list an empty value.
// Reading splits at every ",": an empty stretch between two commas is an empty
// pattern, a trailing comma adds nothing, and "," alone is one empty pattern.
std::vector<std::string> SplitCommaList(const std::string& text);
std::string JoinCommaList(const std::vector<std::string>& list);

class TSysConfig {
public:
    // curlang "USA.lng", empty lists, every number 0; Load then reads the real values.
    TSysConfig();
    ~TSysConfig();
    TSysConfig(const TSysConfig&) = delete;
    TSysConfig& operator=(const TSysConfig&) = delete;

    std::string curlang;                // the language file in use, e.g. "en-english.lng"
    std::string languages;              // language file names separated by ","
    std::unique_ptr<TProfile> LangFile; // set by OpenLanguage
    int ShowTrayIcon = 0;
    int HideTaskToTray = 0;
    int WindowsStart = 0;
    int CheckVersionVeryDay = 0;
    int CreateFolder = 0;
    int SaveLog = 0;
    std::vector<std::string> ExcludeFilter; // program-wide exclude patterns
    std::vector<std::string> IncludeFilter; // program-wide include patterns
    std::string CompareFile;
    int AutoClose = 0;
    int IsFirst = 0;
    std::string TemplateList; // template names separated by ","
    std::string ReadError;    // why the last Load or OpenLanguage could not read its file
    // Where the update check and the help and about links lead (read only).
    std::string UpdateServer = kStandInUpdateServer;
    std::string HomePage = kStandInHomePage;
    std::string Manual = kStandInManual;
    std::string SupportEmail = kStandInSupportEmail;

    // Reads every option from the program folder + FileName. 0 read (missing keys
    // take their defaults), 1 no such file (nothing read), 2 the file exists but
    // cannot be read (nothing read; logged as kConfigAccessError).
    int Load(const std::string& FileName);
    // Writes curlang, WindowsStart, CheckVersionVeryDay, CreateFolder, SaveLog,
    // HideTaskToTray, ShowTrayIcon, AutoClose, CompareFile, ExcludeFilter and
    // IncludeFilter to "Tandemora.ini" in one atomic replacement. 0 written, 1 no
    // such file (never created here), 2 the file could not be written (logged as
    // kConfigKeysError, the file stays as it was). A file that exists but cannot be
    // read raises EFOpenError to the caller.
    int Save();
    // Appends Name to TemplateList (after a "," unless the list is blank) and writes
    // only that key. 0 written, 1 no such file, 2 not written (logged); on 1 and 2
    // TemplateList keeps its old value. Unreadable file: raises as Save does.
    int AddTemplate(const std::string& Name);
    // Writes IsFirst = 0 to the file; the field in memory keeps its value.
    // 0 written, 1 no such file, 2 not written (logged). Unreadable file: raises.
    int ClearFirstRun();
    // Opens the program folder + FileName as the language file: 0 opened, 1 no such
    // file (LangFile stays unset), -1 it could not be read or its name leads out
    // of the program folder (logged as kLanguageReadError, the reason in ReadError).
    int OpenLanguage(const std::string& FileName);
    // The text of Key in section "title" of the language file (key without letter
    // case, at most 2047 characters, enclosing quotes removed); empty when the key
    // is missing. Before OpenLanguage it logs kLanguageReadError and gives "".
    std::string GetLangText(const std::string& Key);
};

// The program's one options object; created by the start-up. Tests point it at an
// object of their own.
extern TSysConfig* SysConfig;

} // namespace tandemora
