#pragma once
// What the network-share suites share: the private Samba server started by
// tests/servers/smb.sh (found through TANDEMORA_SERVER_STATE), a fresh folder on
// its share for every test, and ways to put files there and look at them from the
// server's own disk.
//
// The share is served as the user "nobody"; files a test puts there directly are
// handed to that user, as if a client had written them.

#include "TestSupport.h"
#include "platform/FileSystem.h"
#include "platform/ProgramFolder.h"
#include "platform/SmbClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace smbtest {

// What a server's start left in its state folder (STATE_DIR/env).
struct TServerInfo {
    std::string Port;
    std::string Share;
    std::string Root;
    std::string User;
    std::string Password;
    std::string Public;
    std::string PublicRoot;
    std::string Printer;

    // "\\127.0.0.1:PORT"
    std::string Server() const { return "\\\\127.0.0.1:" + Port; }
};

inline bool ReadServerInfo(const std::string& stateDir, TServerInfo& info) {
    std::ifstream in(stateDir + "/env");
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line)) {
        const auto equal = line.find('=');
        if (equal != std::string::npos) {
            values[line.substr(0, equal)] = line.substr(equal + 1);
        }
    }
    info.Port = values["PORT"];
    info.Share = values["SHARE"];
    info.Root = values["ROOT"];
    info.User = values["USER"];
    info.Password = values["PASSWORD"];
    info.Public = values["PUBLIC"];
    info.PublicRoot = values["PUBLIC_ROOT"];
    info.Printer = values["PRINTER"];
    return !info.Port.empty() && !info.Root.empty();
}

// Hands a file or folder to the share's user, as a client's write would leave it.
inline void GiveToShare(const std::string& path) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << path;
}

inline void SetMTime(const std::string& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline time_t MTime(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtime;
}

// Every test: TZ, HOME (libsmbclient reads ~/.smb/smb.conf), the XDG folders and
// the program folder point at temporary places; the test's own folder on the
// share, "\\127.0.0.1:PORT\data\<test>", is empty and the account is logged on.
class SmbTest : public ::testing::Test {
protected:
    SmbTest()
        : tz_("TZ", std::string("UTC")), home_("HOME", Home / "home"), data_("XDG_DATA_HOME", Home / "data"),
          config_("XDG_CONFIG_HOME", Home / "config"), cache_("XDG_CACHE_HOME", Home / "cache") {}

    void SetUp() override {
        const char* state = std::getenv("TANDEMORA_SERVER_STATE");
        ASSERT_TRUE(state != nullptr && ReadServerInfo(state, Server))
            << "no SMB test server: run through ctest, or start tests/servers/smb.sh and set "
               "TANDEMORA_SERVER_STATE";
        tandemora::SetProgramFolder(Home.path() + "/");
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        Folder = std::string(test->test_suite_name()) + "." + test->name();
        for (char& c : Folder) {
            if (c == '/') {
                c = '_';
            }
        }
        std::filesystem::remove_all(Disk(""));
        std::filesystem::create_directories(Disk(""));
        GiveToShare(Disk(""));
        tandemora::smb::LogOn(Server.Server(), Server.User, Server.Password);
    }

    void TearDown() override {
        std::error_code ec;
        // Folders a test locked away are opened again so that they can go.
        for (auto it = std::filesystem::recursive_directory_iterator(Disk(""), ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            chmod(it->path().c_str(), 0777);
        }
        std::filesystem::remove_all(Disk(""), ec);
        tandemora::SetProgramFolder("");
    }

    // The test's folder on the server's disk, or an item below it.
    std::string Disk(const std::string& rel) const {
        return Server.Root + "/" + Folder + (rel.empty() ? "" : "/" + rel);
    }
    // The test's folder as a UNC path with "\" ("\\127.0.0.1:PORT\data\<test>"),
    // or an item below it (rel with "/" between names).
    std::string Unc(const std::string& rel = "") const {
        std::string path = Server.Server() + "\\" + Server.Share + "\\" + Folder;
        if (!rel.empty()) {
            path += "\\" + rel;
        }
        for (char& c : path) {
            if (c == '/') {
                c = '\\';
            }
        }
        return path;
    }
    // The same with "/" ("//127.0.0.1:PORT/data/<test>/rel").
    std::string SlashUnc(const std::string& rel = "") const {
        std::string path = Unc(rel);
        for (char& c : path) {
            if (c == '\\') {
                c = '/';
            }
        }
        return path;
    }

    // Puts a file on the share from the server's side, with a modification time.
    void Seed(const std::string& rel, const std::string& bytes, time_t when = 1700000000) {
        const std::filesystem::path path = Disk(rel);
        MakeFolder(path.parent_path().string().substr(Disk("").size()));
        testsupport::WriteFile(path.string(), bytes);
        GiveToShare(path.string());
        SetMTime(path.string(), when);
    }
    // Makes a folder (and its parents) below the test's folder on the server's side.
    void MakeFolder(const std::string& rel) {
        std::string current = Disk("");
        std::string rest = rel;
        while (!rest.empty()) {
            const auto slash = rest.find('/');
            const std::string part = rest.substr(0, slash);
            rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
            if (part.empty()) {
                continue;
            }
            current += "/" + part;
            std::filesystem::create_directory(current);
            GiveToShare(current);
        }
    }

    testsupport::TempDir Home;
    TServerInfo Server;
    std::string Folder;

private:
    testsupport::ScopedEnv tz_;
    testsupport::ScopedEnv home_;
    testsupport::ScopedEnv data_;
    testsupport::ScopedEnv config_;
    testsupport::ScopedEnv cache_;
};

// A second, private server for a test that stops it on purpose.
class TPrivateServer {
public:
    TPrivateServer() {
        const char* source = std::getenv("TANDEMORA_TEST_SOURCE");
        // Without the source folder in the environment, the script is found
        // beside this file in the source tree.
        script_ = source != nullptr && *source != '\0'
                      ? std::string(source) + "/tests/servers/smb.sh"
                      : (std::filesystem::path(__FILE__).parent_path() / "../../servers/smb.sh").string();
        state_ = dir_.path() + "/server";
        // The share's user must be able to reach the shared folders inside.
        chmod(dir_.path().c_str(), 0755);
    }
    ~TPrivateServer() { Stop(); }
    TPrivateServer(const TPrivateServer&) = delete;
    TPrivateServer& operator=(const TPrivateServer&) = delete;

    bool Start() {
        const std::string command = "bash '" + script_ + "' start '" + state_ + "' >/dev/null 2>&1";
        return std::system(command.c_str()) == 0 && ReadServerInfo(state_, Info);
    }
    void Stop() {
        const std::string command = "bash '" + script_ + "' stop '" + state_ + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << "could not stop the private SMB server";
        }
    }

    TServerInfo Info;

private:
    testsupport::TempDir dir_;
    std::string script_;
    std::string state_;
};

} // namespace smbtest
