#include "platform/Exceptions.h"
#include "platform/ProgramFolder.h"
#include "tasks/UTSysConfig.h"

#include "TestSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace tandemora;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Every option as one line of text, so that two whole configurations compare in one go.
std::string Describe(const TSysConfig& c) {
    return "curlang=" + c.curlang + "\nlanguages=" + c.languages +
           "\nShowTrayIcon=" + std::to_string(c.ShowTrayIcon) +
           "\nHideTaskToTray=" + std::to_string(c.HideTaskToTray) +
           "\nWindowsStart=" + std::to_string(c.WindowsStart) +
           "\nCheckVersionVeryDay=" + std::to_string(c.CheckVersionVeryDay) +
           "\nCreateFolder=" + std::to_string(c.CreateFolder) + "\nSaveLog=" + std::to_string(c.SaveLog) +
           "\nExcludeFilter=" + JoinCommaList(c.ExcludeFilter) +
           "\nIncludeFilter=" + JoinCommaList(c.IncludeFilter) + "\nCompareFile=" + c.CompareFile +
           "\nAutoClose=" + std::to_string(c.AutoClose) + "\nIsFirst=" + std::to_string(c.IsFirst) +
           "\nTemplateList=" + c.TemplateList + "\nUpdateServer=" + c.UpdateServer +
           "\nHomePage=" + c.HomePage + "\nManual=" + c.Manual + "\nSupportEmail=" + c.SupportEmail + "\n";
}

const char* const kDefaults =
    "curlang=en-english.lng\nlanguages=en-english.lng\nShowTrayIcon=0\n"
    "HideTaskToTray=0\nWindowsStart=0\nCheckVersionVeryDay=0\nCreateFolder=0\n"
    "SaveLog=0\nExcludeFilter=\nIncludeFilter=\nCompareFile=\nAutoClose=0\n"
    "IsFirst=1\nTemplateList=\nUpdateServer=http://update.example.com\n"
    "HomePage=http://www.example.com/tandemora/\n"
    "Manual=http://www.example.com/tandemora/help/\nSupportEmail=support@example.com\n";

std::string SourceTree() {
    const char* source = std::getenv("TANDEMORA_TEST_SOURCE");
    return source != nullptr ? source : "";
}

// Each test runs with a program folder of its own.
class SysConfigTest : public ::testing::Test {
protected:
    void SetUp() override { SetProgramFolder(dir.path()); }
    void TearDown() override { SetProgramFolder(""); }

    std::string Options() const { return dir / kOptionsFileName; }
    std::string ErrorLog() const { return ReadFile(dir / "ErrorInfo.txt"); }

    TempDir dir;
};

} // namespace

TEST_F(SysConfigTest, MissingKeysTakeTheirDefaultsAndTheShippedFileHoldsExactlyThem) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty file", ""},
        {"other section only", "[elsewhere]\ncurlang=x.lng\nIsFirst=0\n"},
        {"shipped options file", ReadFile(SourceTree() + "/resources/Tandemora.ini")},
    };
    ASSERT_FALSE(cases[2].text.empty()) << "TANDEMORA_TEST_SOURCE must name the source tree";
    for (const Case& c : cases) {
        WriteFile(Options(), c.text);
        TSysConfig config;
        EXPECT_EQ(0, config.Load(kOptionsFileName)) << c.name;
        EXPECT_EQ(kDefaults, Describe(config)) << c.name;
    }
}

TEST_F(SysConfigTest, LoadReadsEveryKeyWithProfileRules) {
    WriteFile(Options(), "; edited by hand\r\n"
                         "[Tandemora]\r\n"
                         "CURLANG = de-german.lng \r\n"
                         "languages=\"en-english.lng,de-german.lng\"\r\n"
                         "ShowTrayIcon=1\r\nHideTaskToTray=1\r\nWindowsStart=1\r\nCheckVersionVeryDay=1\r\n"
                         "CreateFolder=1\r\nSaveLog=1\r\nAutoClose=1\r\n"
                         "IsFirst=yes\r\n" // not a number: the default
                         "ExcludeFilter=~$,bak$\r\nIncludeFilter=a,,b,\r\n"
                         "CompareFile=/usr/bin/meld\r\nTemplateList=Weekly,Daily\r\n"
                         "SaveLog=0\r\n"); // a second entry of a key is never read
    TSysConfig config;
    ASSERT_EQ(0, config.Load(kOptionsFileName));
    EXPECT_EQ("curlang=de-german.lng\nlanguages=en-english.lng,de-german.lng\nShowTrayIcon=1\n"
              "HideTaskToTray=1\nWindowsStart=1\nCheckVersionVeryDay=1\nCreateFolder=1\nSaveLog=1\n"
              "ExcludeFilter=~$,bak$,\nIncludeFilter=a,,b,\nCompareFile=/usr/bin/meld\nAutoClose=1\n"
              "IsFirst=1\nTemplateList=Weekly,Daily\nUpdateServer=http://update.example.com\n"
              "HomePage=http://www.example.com/tandemora/\nManual=http://www.example.com/tandemora/help/\n"
              "SupportEmail=support@example.com\n",
              Describe(config));
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), config.IncludeFilter);
}

// Something under the options file's name that cannot be read (a folder, a link
// to a file that is gone) is neither read as defaults nor replaced.
// A packager sets the addresses in the options file; a blank one keeps its
// stand-in, and saving the options leaves them as they were.
TEST_F(SysConfigTest, TheAddressesComeFromTheOptionsFile) {
    const std::string text =
        "[tandemora]\nUpdateServer = https://updates.tandemora.test/\n"
        "HomePage=\"https://tandemora.test/\"\nManual=\nSupportEmail=help@tandemora.test\n";
    WriteFile(Options(), text);
    TSysConfig config;
    ASSERT_EQ(0, config.Load(kOptionsFileName));
    EXPECT_EQ(config.UpdateServer, "https://updates.tandemora.test/");
    EXPECT_EQ(config.HomePage, "https://tandemora.test/");
    EXPECT_EQ(config.Manual, kStandInManual);
    EXPECT_EQ(config.SupportEmail, "help@tandemora.test");
    ASSERT_EQ(0, config.Save());
    EXPECT_EQ(ReadFile(Options()).substr(0, text.size()), text);
}

TEST_F(SysConfigTest, AnOptionsFileThatCannotBeReadGivesTwoAndIsNeverReplaced) {
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "link to a missing file" : "folder");
        std::filesystem::remove_all(Options());
        if (link) {
            ASSERT_EQ(0, symlink((dir / "elsewhere/Tandemora.ini").c_str(), Options().c_str()));
        } else {
            mkdir(Options().c_str(), 0755);
        }
        TSysConfig config;
        const std::string constructed = Describe(config);
        EXPECT_EQ(2, config.Load(kOptionsFileName));
        EXPECT_EQ(constructed, Describe(config));
        EXPECT_NE(std::string::npos, ErrorLog().find(kConfigAccessError));
        EXPECT_THROW(config.Save(), EFOpenError);
        EXPECT_THROW(config.AddTemplate("x"), EFOpenError);
        EXPECT_THROW(config.ClearFirstRun(), EFOpenError);
        EXPECT_FALSE(testsupport::Exists(dir / "elsewhere"));
    }
}

TEST_F(SysConfigTest, PatternListsFollowTheCommaRules) {
    struct Case {
        const char* stored;
        std::vector<std::string> patterns;
        const char* saved;
    } cases[] = {
        {"~$,bak$", {"~$", "bak$"}, "~$,bak$,"},
        {"a,,b", {"a", "", "b"}, "a,,b,"},
        {"a,b,", {"a", "b"}, "a,b,"},
        {"", {}, ""},
        {",", {""}, ","},
        {",,", {"", ""}, ",,"},
        {"\" lead,trail \"", {" lead", "trail "}, "\" lead,trail ,\""},
    };
    for (const Case& c : cases) {
        WriteFile(Options(), std::string("[tandemora]\nExcludeFilter=") + c.stored + "\nIncludeFilter=\n");
        TSysConfig config;
        ASSERT_EQ(0, config.Load(kOptionsFileName));
        EXPECT_EQ(c.patterns, config.ExcludeFilter) << c.stored;
        ASSERT_EQ(0, config.Save());
        // The raw line, quotes included, is what the next start reads.
        EXPECT_NE(std::string::npos, ReadFile(Options()).find(std::string("ExcludeFilter=") + c.saved + "\n"))
            << c.stored;
        TSysConfig again;
        ASSERT_EQ(0, again.Load(kOptionsFileName));
        EXPECT_EQ(c.patterns, again.ExcludeFilter) << c.stored;
    }
}

TEST_F(SysConfigTest, SaveWritesItsKeysInPlaceAndLeavesTheRestAlone) {
    WriteFile(Options(), "; keep this comment\n[other]\nx=1\n[tandemora]\ncurlang=en-english.lng\n"
                         "languages=en-english.lng\nIsFirst=1\nTemplateList=Weekly\nSaveLog=0\n");
    TSysConfig config;
    ASSERT_EQ(0, config.Load(kOptionsFileName));
    config.curlang = "de-german.lng";
    config.SaveLog = 1;
    config.languages = "changed-in-memory";
    config.TemplateList = "changed-in-memory";
    config.IsFirst = 7;
    config.ExcludeFilter = {"~$"};
    ASSERT_EQ(0, config.Save());
    EXPECT_EQ("; keep this comment\n[other]\nx=1\n[tandemora]\ncurlang=de-german.lng\n"
              "languages=en-english.lng\nIsFirst=1\nTemplateList=Weekly\nSaveLog=1\n"
              "WindowsStart=0\nCheckVersionVeryDay=0\nCreateFolder=0\nHideTaskToTray=0\nShowTrayIcon=0\n"
              "AutoClose=0\nCompareFile=\nExcludeFilter=~$,\nIncludeFilter=\n",
              ReadFile(Options()));
}

TEST_F(SysConfigTest, AFailedSaveIsReportedAndChangesNothing) {
    const std::string before = "[tandemora]\ncurlang=en-english.lng\nSaveLog=0\n";
    WriteFile(Options(), before);
    TSysConfig config;
    ASSERT_EQ(0, config.Load(kOptionsFileName));
    config.SaveLog = 1;
    config.CompareFile = "first line\n[tandemora]\nSaveLog=9"; // cannot be one profile value
    EXPECT_EQ(2, config.Save());
    EXPECT_EQ(before, ReadFile(Options()));
    EXPECT_NE(std::string::npos, ErrorLog().find(kConfigKeysError));

    config.TemplateList = "Weekly";
    EXPECT_EQ(2, config.AddTemplate("bad\nname"));
    EXPECT_EQ("Weekly", config.TemplateList);
    EXPECT_EQ(before, ReadFile(Options()));
}

TEST_F(SysConfigTest, AddTemplateAppendsAndClearFirstRunWritesOnlyTheFile) {
    WriteFile(Options(), "[tandemora]\nIsFirst=1\nTemplateList=\n");
    TSysConfig config;
    ASSERT_EQ(0, config.Load(kOptionsFileName));
    ASSERT_EQ(0, config.AddTemplate("Weekly"));
    EXPECT_EQ("Weekly", config.TemplateList);
    ASSERT_EQ(0, config.AddTemplate("Daily"));
    EXPECT_EQ("Weekly,Daily", config.TemplateList);
    ASSERT_EQ(0, config.ClearFirstRun());
    EXPECT_EQ(1, config.IsFirst);
    EXPECT_EQ("[tandemora]\nIsFirst=0\nTemplateList=Weekly,Daily\n", ReadFile(Options()));

    // A list of blanks counts as empty: the name follows the blanks without a comma.
    config.TemplateList = "  ";
    ASSERT_EQ(0, config.AddTemplate("Monthly"));
    EXPECT_EQ("  Monthly", config.TemplateList);
    TSysConfig again;
    ASSERT_EQ(0, again.Load(kOptionsFileName));
    EXPECT_EQ("  Monthly", again.TemplateList);
    EXPECT_EQ(0, again.IsFirst);
}

TEST_F(SysConfigTest, LanguageTextsAreFoundWithoutLetterCaseInTheirSectionOnly) {
    TSysConfig config;
    EXPECT_EQ("", config.GetLangText("bt_ok")); // not open yet: empty, and logged
    EXPECT_NE(std::string::npos, ErrorLog().find(kLanguageReadError));
    EXPECT_EQ(1, config.OpenLanguage("none.lng"));
    mkdir((dir / "folder.lng").c_str(), 0755);
    EXPECT_EQ(-1, config.OpenLanguage("folder.lng"));
    EXPECT_EQ(nullptr, config.LangFile);

    WriteFile(dir / "test.lng", "[Title]\r\nDelete=Delete it\r\nquoted=\" padded \"\r\nlong=" +
                                    std::string(3000, 'x') + "\r\n[other]\r\nonly_here=elsewhere\r\n");
    ASSERT_EQ(0, config.OpenLanguage("test.lng"));
    const std::pair<const char*, std::string> cases[] = {
        {"DELETE", "Delete it"}, {"quoted", " padded "}, {"long", std::string(2047, 'x')}, {"only_here", ""}};
    for (const auto& [key, text] : cases) {
        EXPECT_EQ(text, config.GetLangText(key)) << key;
    }
}

// Every key that the windows, dialogs and error paths look up. A key missing from
// the shipped language file would blank its caption or message.
TEST_F(SysConfigTest, TheShippedLanguageFileHasATextForEveryKey) {
    // Separated by blanks: the main window, the task window and result view, the
    // task options dialog, the folder picker and endpoints, the program options
    // and the template dialogs.
    const std::string keyList =
        "menu01 menu02 menu03 menu04 menu05 new new_hint newbyTemplate newbyTemplate_Hint Delete Delete_Hint "
        "clone clone_Hint Options Options_Hint saveasT saveasT_Hint Analyze Analyze_Hint Sync Sync_Hint "
        "analyzeAll analyzeAll_Hint SyncAll SyncAll_Hint AandS AandS_Hint AandSAll AandSAll_Hint exit "
        "exit_Hint Notcopy CTLtoR CTRtoL LtoR RtoL log status all changed conflicts errors include exclude "
        "Overwrite delete programoption programoption_Hint exportTL ImprotTL exportTL_Hint ImprotTL_Hint "
        "Manual home About Manual_hint home_hint About_hint checknewversion checknewversion_hint DeleteJob "
        "error_free_tasklist_xml Browse cancel Action ResultsFilter starttip cancel_hint Browse_Lhint "
        "Browse_Rhint log_hint lforder_hint rforder_hint ResultsFilter_Hint all_Hint changed_Hint "
        "conflicts_Hint errors_Hint scan compare analyzefinish syncstart syncend tree_item tree_ldate "
        "tree_lsize tree_lattri tree_LtoR tree_direct tree_RtoL tree_rdate tree_rsize tree_rattri bt_ok "
        "bt_Cancel tb_Apply General filter atuo taskname lfolder rfolder syncdirect way ltor rtol forcedcopy "
        "Verified savepv userTempfile prodelete checkfile estimatedisk excludeempty excludesystem "
        "excludehidden atuocondition syncitstart anaitstart syncconn anaconn synclogoff syncperiod anaperiod "
        "every hours Minutes synctaskscheduler anataskschedule taskconfig sourcereadonly resolveconflicts "
        "donotcopy newerfilewins addexclude_hint delexclude_hint taskname_hint syncdirect_hint "
        "forcedcopy_hint Verified_hint savepv_hint userTempfile_hint prodelete_hint checkfile_hint "
        "estimatedisk_hint sourcereadonly_hint exclude_hint include_hint excludeempty_hint "
        "excludesystem_hint excludehidden_hint syncitstart_hint anaitstart_hint syncconn_hint anaconn_hint "
        "synclogoff_hint anslogoff_hint syncperiod_hint anaperiod_hint synctaskscheduler_hint "
        "resolveconflicts_hint tasknameerror newtaskname createsyncjoberror readlangerror addexcludeerror "
        "deleteexcludeerror addincludeerror deleteincludeerror bt_NewFolder folder_Address folder_remark "
        "computer NetWork ftp sftp webdav wmmobile Connect user password privatekey allnetwork "
        "connectfalseNeedUser Iperror webdavnotfolder filenameerror SocketError GlobalFilter language "
        "StartTandemora checkversion createfolder savelog hidetray showicon autoclose comparefile browse "
        "templatename templist";
    std::vector<std::string> keys;
    for (size_t at = 0; at < keyList.size();) {
        const size_t end = std::min(keyList.find(' ', at), keyList.size());
        keys.push_back(keyList.substr(at, end - at));
        at = end + 1;
    }

    const std::string shipped = ReadFile(SourceTree() + "/resources/en-english.lng");
    ASSERT_FALSE(shipped.empty()) << "TANDEMORA_TEST_SOURCE must name the source tree";
    WriteFile(dir / "en-english.lng", shipped);
    TSysConfig config;
    ASSERT_EQ(0, config.OpenLanguage("en-english.lng"));
    for (const std::string& key : keys) {
        EXPECT_FALSE(config.GetLangText(key).empty()) << key;
    }
    // Only the first entry of a key is ever read, so a second one would be dead text.
    std::set<std::string> seen;
    for (std::string key : config.LangFile->ReadSection(kLanguageSection)) {
        for (char& ch : key) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        EXPECT_TRUE(seen.insert(key).second) << "twice: " << key;
    }
    EXPECT_FALSE(testsupport::Exists(dir / "ErrorInfo.txt"));
}
