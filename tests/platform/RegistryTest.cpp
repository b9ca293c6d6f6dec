#include "platform/Registry.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace tandemora;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(Registry, OpenKeyCreatesTheKeyAndTheStore) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", dir / "cfg");
    TRegistry reg;
    EXPECT_FALSE(reg.KeyExists("\\Software\\Tandemora"));
    EXPECT_FALSE(reg.OpenKey("\\Software\\Tandemora", false));
    EXPECT_FALSE(testsupport::Exists(dir / "cfg")); // a failed open writes nothing
    EXPECT_FALSE(reg.OpenKeyReadOnly("\\Software\\Tandemora"));

    ASSERT_TRUE(reg.OpenKey("\\Software\\Tandemora", true));
    EXPECT_EQ("Software\\Tandemora", reg.CurrentPath());
    EXPECT_EQ("[HKEY_LOCAL_MACHINE\\Software\\Tandemora]\n", ReadFile(dir / "cfg/Tandemora/registry.ini"));
    EXPECT_TRUE(reg.KeyExists("software\\tandemora\\")); // without letter case, separators normalised
    EXPECT_TRUE(reg.KeyExists("\\Software"));            // a parent of a stored key exists
    EXPECT_FALSE(reg.KeyExists("\\Soft"));
    reg.RootKey = HKEY_CURRENT_USER;
    EXPECT_FALSE(reg.KeyExists("\\Software\\Tandemora")); // another root is another tree
}

TEST(Registry, WritesKeepTheRestOfTheStore) {
    TempDir dir;
    WriteFile(dir / "store.ini", "; hand-made\n[HKEY_LOCAL_MACHINE\\Other]\nX=sz:keep\n"
                                 "[HKEY_LOCAL_MACHINE\\K]\nA=dword:00000001\n");
    TRegistry reg(dir / "store.ini");
    ASSERT_TRUE(reg.OpenKey("K", false));
    ASSERT_TRUE(reg.WriteInteger("A", 10));
    ASSERT_TRUE(reg.WriteString("B", "b"));
    EXPECT_TRUE(reg.DeleteValue("a"));
    EXPECT_FALSE(reg.DeleteValue("a"));
    EXPECT_EQ("; hand-made\n[HKEY_LOCAL_MACHINE\\Other]\nX=sz:keep\n[HKEY_LOCAL_MACHINE\\K]\nB=sz:b\n",
              ReadFile(dir / "store.ini"));
}

TEST(Registry, BadNamesAndTextsAreRefusedCleanly) {
    TempDir dir;
    TRegistry reg(dir / "store.ini");
    EXPECT_FALSE(reg.WriteString("A", "no key open"));
    EXPECT_FALSE(reg.LastError().empty());
    ASSERT_TRUE(reg.OpenKey("K", true));
    const std::string before = ReadFile(dir / "store.ini");
    const char* badNames[] = {"", "a=b", "[d", " e"};
    for (const char* name : badNames) {
        EXPECT_FALSE(reg.WriteString(name, "v")) << "[" << name << "]";
    }
    EXPECT_FALSE(reg.WriteString("Lines", "one\ntwo"));
    EXPECT_EQ(before, ReadFile(dir / "store.ini"));
}

TEST(Registry, AStoreThatCannotBeWrittenActsLikeAKeyWithoutWriteAccess) {
    TempDir dir;
    // Tests may run as root, which any permission bit lets through; a folder where
    // the store file should be cannot be replaced by anyone.
    ScopedEnv config("XDG_CONFIG_HOME", dir.path());
    mkdir((dir / "Tandemora").c_str(), 0700);
    mkdir((dir / "Tandemora/registry.ini").c_str(), 0700);
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("\\Software\\Tandemora", true));
    EXPECT_FALSE(reg.LastError().empty());
    EXPECT_FALSE(reg.WriteString("Version", "2.1.0"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "Tandemora/registry.ini"));

    // A readable store whose folder is a file: nothing can be created under it.
    TempDir other;
    WriteFile(other / "Tandemora", "not a folder");
    ScopedEnv config2("XDG_CONFIG_HOME", other.path());
    TRegistry blocked;
    EXPECT_FALSE(blocked.OpenKey("\\Software\\Tandemora", true));
    EXPECT_EQ("not a folder", ReadFile(other / "Tandemora"));
}
