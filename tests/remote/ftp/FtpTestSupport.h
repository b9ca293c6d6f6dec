#pragma once
// The FTP fixture: the servers tests/servers/ftp.sh started (Pure-FTPd, which
// lists with MLSD, and vsftpd, which lists with LIST only), a scratch folder of
// each test's own on one of them, and files put there as the server's user
// would have left them.

#include "endpoints/EndpointTestSupport.h"
#include "endpoints/UTFtpFileOper.h"
#include "platform/FtpSession.h"
#include "remote/RemoteTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace ftptest {

using namespace tandemora;
using namespace endpointtest;

// A server's connection data (kind "" Pure-FTPd, "VSFTPD_" vsftpd); Port 0 if none.
struct TServer {
    int Port = 0;
    std::string Root; // the server's "/" on this machine
    std::string Url;  // ftp://127.0.0.1:PORT
    std::string User, Password;
    uid_t Uid = 0;
    gid_t Gid = 0;

    static TServer Read(const std::string& kind,
                        std::map<std::string, std::string> env = remotetest::ServerEnv()) {
        if (env.count(kind + "PORT") == 0) {
            return {};
        }
        return {std::stoi(env[kind + "PORT"]),
                env[kind + "ROOT"],
                env[kind + "URL"],
                env[kind + "USER"],
                env[kind + "PASSWORD"],
                static_cast<uid_t>(std::stoul(env[kind + "FTPUID"])),
                static_cast<gid_t>(std::stoul(env[kind + "FTPGID"]))};
    }
};

// A test's scratch folder "/<suite>.<test>" on a server, made empty.
struct TServerFolder {
    TServer Server;
    std::string Path; // as the server names it
    std::string Disk; // the same folder on this machine

    // On the server of that kind the suite started, or the one env describes.
    bool Open(const std::string& kind = "",
              const std::map<std::string, std::string>& env = remotetest::ServerEnv()) {
        Server = TServer::Read(kind, env);
        Path = "/" + remotetest::ScratchName();
        Disk = Server.Root + Path;
        if (Server.Port == 0) {
            return false;
        }
        Unlock();
        std::filesystem::remove_all(Disk);
        std::filesystem::create_directories(Disk);
        Give(Disk);
        return true;
    }
    // A file placed on the server directly, with a modification time.
    void Put(const std::string& rel, const std::string& bytes, time_t when = 1700000000) const {
        testsupport::WriteFile(Disk + "/" + rel, bytes);
        SetModifyTime(Disk + "/" + rel, when);
        Give(Disk + "/" + rel);
    }
    void MakeFolder(const std::string& rel) const {
        std::filesystem::create_directories(Disk + "/" + rel);
        Give(Disk + "/" + rel);
    }
    // Closes a folder to the server's user (mode 0: not even entered; 0311, owned
    // by root: entered but not read).
    void Lock(const std::string& rel, mode_t mode) const {
        if (mode != 0) {
            chown((Disk + "/" + rel).c_str(), 0, 0);
        }
        chmod((Disk + "/" + rel).c_str(), mode);
    }
    void Unlock() const {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(Disk, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            chmod(it->path().c_str(), 0755);
        }
    }
    std::string Read(const std::string& rel) const { return testsupport::ReadFile(Disk + "/" + rel); }
    bool Has(const std::string& rel) const { return testsupport::Exists(Disk + "/" + rel); }
    void Use(TFolderSource& source) const {
        source.DeviceType = dtFtp;
        source.FolerAllName = Server.Url + Path;
        source.UserName = Server.User;
        source.PWD = Server.Password;
    }

private:
    // Hands path and the folders above it to the server's user, whose files they must be.
    void Give(const std::string& path) const {
        for (std::filesystem::path p = path; p.string().size() >= Disk.size(); p = p.parent_path()) {
            lchown(p.c_str(), Server.Uid, Server.Gid);
        }
    }
};

// An endpoint test on a scratch folder on Pure-FTPd.
class FtpTest : public EndpointTest {
protected:
    void SetUp() override {
        if (!Ftp.Open()) {
            GTEST_SKIP() << "no FTP server: run through ctest, which starts tests/servers/ftp.sh";
        }
        Ftp.Use(Source);
    }
    void TearDown() override { Ftp.Unlock(); }

    // An FTP endpoint on the scratch folder, connected.
    std::unique_ptr<TFtpFileOper> MakeFtp() {
        auto oper = std::make_unique<TFtpFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        EXPECT_EQ(oper->Connect(), 0);
        return oper;
    }
    TServerFolder Ftp;
};

} // namespace ftptest
