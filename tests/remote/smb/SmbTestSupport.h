#pragma once
// The Samba fixture: the server tests/servers/smb.sh started, a scratch folder of
// each test's own on its share (seen as a UNC path and on the server's disk),
// and files put there as a client would have left them: owned by "nobody", the
// user the share is served as.

#include "TestSupport.h"
#include "endpoints/EndpointTestSupport.h"
#include "platform/SmbClient.h"
#include "remote/RemoteTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace smbtest {

using endpointtest::ModifyTime;

// What a server's start left in its state folder.
struct TServerInfo {
    std::string Port, Share, Root, User, Password, Public, PublicRoot;

    std::string Server() const { return "\\\\127.0.0.1:" + Port; }

    static bool Read(const std::string& stateDir, TServerInfo& info) {
        auto env = remotetest::ServerEnv(stateDir);
        info = {env["PORT"],     env["SHARE"],  env["ROOT"],       env["USER"],
                env["PASSWORD"], env["PUBLIC"], env["PUBLIC_ROOT"]};
        return !info.Port.empty() && !info.Root.empty();
    }
};

// Hands path and everything below it to the share's user.
inline void GiveToShare(const std::string& path) {
    const passwd* nobody = getpwnam("nobody");
    lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid);
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        lchown(it->path().c_str(), nobody->pw_uid, nobody->pw_gid);
    }
}

// A test's scratch folder "<suite>.<test>" on the data share, made empty.
struct TShareFolder {
    TServerInfo Server;
    std::string Name;

    bool Open() {
        if (!TServerInfo::Read("", Server)) {
            return false;
        }
        Name = remotetest::ScratchName();
        Remove();
        std::filesystem::create_directories(Disk());
        GiveToShare(Disk());
        return true;
    }
    // Folders a test locked away are opened again so that they can go.
    void Remove() const {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(Disk(), ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            chmod(it->path().c_str(), 0777);
        }
        std::filesystem::remove_all(Disk(), ec);
    }

    std::string Disk(const std::string& rel = "") const {
        return Server.Root + "/" + Name + (rel.empty() ? "" : "/" + rel);
    }
    // "\\127.0.0.1:PORT\data\<test>\rel", or with "/" for "\".
    std::string Unc(const std::string& rel = "", char separator = '\\') const {
        std::string path =
            Server.Server() + "\\" + Server.Share + "\\" + Name + (rel.empty() ? "" : "\\" + rel);
        std::replace_if(
            path.begin(), path.end(), [](char c) { return c == '/' || c == '\\'; }, separator);
        return path;
    }

    // A file put on the share from the server's side, folders made on the way;
    // all of the scratch folder is the share's user's again (lock folders last).
    void Put(const std::string& rel, const std::string& bytes, time_t when = 1700000000) const {
        testsupport::WriteFile(Disk(rel), bytes);
        endpointtest::SetModifyTime(Disk(rel), when);
        GiveToShare(Disk());
    }
    void MakeFolder(const std::string& rel) const {
        std::filesystem::create_directories(Disk(rel));
        GiveToShare(Disk());
    }
    // Takes a folder away from the share's user: owned by root, closed to others.
    void Lock(const std::string& rel) const {
        chown(Disk(rel).c_str(), 0, 0);
        chmod(Disk(rel).c_str(), 0700);
    }
};

// Every test: the endpoint fixture's temporary folders, HOME too (libsmbclient
// reads ~/.smb/smb.conf), the account logged on, and Source on the scratch folder.
class SmbTest : public endpointtest::EndpointTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(Share.Open())
            << "no SMB test server: run through ctest, which starts tests/servers/smb.sh";
        tandemora::smb::LogOn(Share.Server.Server(), Share.Server.User, Share.Server.Password);
        Source.DeviceType = tandemora::dtNetShare;
        Source.FolerAllName = Share.Unc();
        Source.UserName = Share.Server.User;
        Source.PWD = Share.Server.Password;
    }
    void TearDown() override { Share.Remove(); }

    TShareFolder Share;

private:
    testsupport::ScopedEnv home_{"HOME", Home / "home"};
};

// A second, private server for a test that stops it on purpose.
class TPrivateServer {
public:
    TPrivateServer() { chmod(dir_.path().c_str(), 0755); } // the share's user must reach inside
    ~TPrivateServer() { Stop(); }
    TPrivateServer(const TPrivateServer&) = delete;
    TPrivateServer& operator=(const TPrivateServer&) = delete;

    bool Start() { return Run("start") && TServerInfo::Read(dir_ / "server", Info); }
    void Stop() {
        if (!Run("stop")) {
            ADD_FAILURE() << "could not stop the private SMB server";
        }
    }

    TServerInfo Info;

private:
    bool Run(const std::string& verb) {
        const std::string script =
            (std::filesystem::path(__FILE__).parent_path() / "../../servers/smb.sh").string();
        return std::system(("bash '" + script + "' " + verb + " '" + (dir_ / "server") + "' >/dev/null 2>&1")
                               .c_str()) == 0;
    }
    testsupport::TempDir dir_;
};

} // namespace smbtest
