#include "platform/ProgramFolder.h"
#include "platform/Registry.h"
#include "tasks/URegSettings.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace tandemora;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const char* const kStoreSection = "[HKEY_LOCAL_MACHINE\\Software\\Tandemora]\n";

// A private registry store and program folder (for the error log) per test, and
// the record as it is before the start-up reads it.
class RegSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramFolder(dir.path());
        RegSettings = TRegSettings{};
    }
    void TearDown() override {
        SetProgramFolder("");
        RegSettings = TRegSettings{};
    }

    std::string Store() const { return dir / "config/Tandemora/registry.ini"; }

    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir / "config"};
};

} // namespace

TEST_F(RegSettingsTest, ExistingValuesAreKeptAndTheVersionIsRewritten) {
    WriteFile(Store(), std::string(kStoreSection) +
                           "len_down=dword:00000003\nVersion=sz:1.0\nCheckUpdate=dword:00000005\n"
                           "HomePage=sz:http://www.example.org/mine\n"
                           "len_up=sz:not a number\n"); // another type counts as missing
    LoadSettings();
    EXPECT_EQ(3, RegSettings.len_down);
    EXPECT_TRUE(RegSettings.CheckUpdate); // any non-zero number is true
    EXPECT_EQ("http://www.example.org/mine", RegSettings.HomePage);
    EXPECT_EQ(1, RegSettings.len_up);
    EXPECT_EQ("2.1.0", RegSettings.Version);

    TRegistry reg(Store());
    ASSERT_TRUE(reg.OpenKeyReadOnly(kRegSettingsKey));
    std::string version;
    int32_t number = 0;
    EXPECT_TRUE(reg.ReadString("Version", version));
    EXPECT_EQ("2.1.0", version);
    EXPECT_TRUE(reg.ReadInteger("len_down", number));
    EXPECT_EQ(3, number);
    EXPECT_TRUE(reg.ReadInteger("len_up", number));
    EXPECT_EQ(1, number);
    EXPECT_TRUE(reg.ReadInteger("CheckUpdate", number));
    EXPECT_EQ(5, number); // read, not rewritten
}

TEST_F(RegSettingsTest, AStoreWithoutWriteAccessLeavesTheRecordEmpty) {
    // Tests may run as root, so the store is made unwritable by putting a folder
    // where its file belongs.
    mkdir((dir / "config").c_str(), 0700);
    mkdir((dir / "config/Tandemora").c_str(), 0700);
    mkdir(Store().c_str(), 0700);
    LoadSettings();
    EXPECT_EQ("", RegSettings.HomePage);
    EXPECT_EQ("", RegSettings.Version);
    EXPECT_EQ(0, RegSettings.len_down);
    EXPECT_FALSE(RegSettings.ScanValue5);
    EXPECT_TRUE(std::filesystem::is_empty(Store()));
}
