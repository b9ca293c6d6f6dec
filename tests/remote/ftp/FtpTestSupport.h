#pragma once
// What the FTP suites share: the private servers that tests/servers/ftp.sh
// started (found through TANDEMORA_SERVER_STATE), a folder of the server's own
// for each test, and the time zone, program and XDG folders of the endpoint
// tests pointing at temporary places.

#include "endpoints/EndpointTestSupport.h"

#include "endpoints/UTFtpFileOper.h"
#include "platform/FtpSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace ftptest {

using namespace tandemora;
using namespace endpointtest;

// A server's connection data from STATE_DIR/env. Kind "" is Pure-FTPd (MLSD),
// "VSFTPD_" vsftpd (LIST only).
struct TServer {
    bool Found = false;
    int Port = 0;
    std::string Root; // the server's "/" on this machine
    std::string Url;  // ftp://127.0.0.1:PORT
    std::string User;
    std::string Password;
    uid_t Uid = 0;
    gid_t Gid = 0;

    static const TServer& Get(const std::string& Kind = "") {
        static const TServer pure = Load("");
        static const TServer vsftpd = Load("VSFTPD_");
        return Kind.empty() ? pure : vsftpd;
    }

private:
    static TServer Load(const std::string& kind) {
        TServer server;
        const char* state = std::getenv("TANDEMORA_SERVER_STATE");
        if (state == nullptr) {
            return server;
        }
        std::ifstream env(std::string(state) + "/env");
        std::map<std::string, std::string> values;
        std::string line;
        while (std::getline(env, line)) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos) {
                values[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        if (values.count(kind + "PORT") == 0) {
            return server;
        }
        server.Found = true;
        server.Port = std::stoi(values[kind + "PORT"]);
        server.Root = values[kind + "ROOT"];
        server.Url = values[kind + "URL"];
        server.User = values[kind + "USER"];
        server.Password = values[kind + "PASSWORD"];
        server.Uid = static_cast<uid_t>(std::stoul(values[kind + "FTPUID"]));
        server.Gid = static_cast<gid_t>(std::stoul(values[kind + "FTPGID"]));
        return server;
    }
};

// Hands everything below path (path included) to the server's user, as the
// files a test puts there directly must be the user's to change.
inline void GiveToServer(const std::string& path, const TServer& server = TServer::Get()) {
    std::error_code ec;
    lchown(path.c_str(), server.Uid, server.Gid);
    if (!std::filesystem::is_directory(path, ec)) {
        return;
    }
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        lchown(it->path().c_str(), server.Uid, server.Gid);
    }
}

// Each test works in a folder of its own on the server ("/<suite>.<test>").
class FtpTest : public EndpointTest {
protected:
    void SetUp() override {
        if (!TServer::Get().Found) {
            GTEST_SKIP() << "no FTP server: run through ctest, which starts tests/servers/ftp.sh";
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        ServerDir = std::string("/") + info->test_suite_name() + "." + info->name();
        LocalDir = TServer::Get().Root + ServerDir;
        std::filesystem::remove_all(LocalDir);
        std::filesystem::create_directories(LocalDir);
        GiveToServer(LocalDir);
        Source.DeviceType = dtFtp;
        Source.FolerAllName = TServer::Get().Url + ServerDir;
        Source.UserName = TServer::Get().User;
        Source.PWD = TServer::Get().Password;
    }

    // A file placed on the server directly, with a modification time.
    void Seed(const std::string& rel, const std::string& bytes, time_t when = 1700000000) {
        const std::string path = LocalDir + "/" + rel;
        testsupport::WriteFile(path, bytes);
        SetModifyTime(path, when);
        GiveToServer(LocalDir);
    }
    void SeedFolder(const std::string& rel) {
        std::filesystem::create_directories(LocalDir + "/" + rel);
        GiveToServer(LocalDir);
    }
    // The server file's bytes, read on this machine.
    std::string OnServer(const std::string& rel) const { return testsupport::ReadFile(LocalDir + "/" + rel); }
    bool ServerHas(const std::string& rel) const { return testsupport::Exists(LocalDir + "/" + rel); }
    // The names in a server folder, sorted.
    std::vector<std::string> ServerNames(const std::string& rel = "") const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(LocalDir + "/" + rel)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // An FTP endpoint on this test's folder, connected.
    std::unique_ptr<TFtpFileOper> MakeFtp(bool connect = true) {
        auto oper = std::make_unique<TFtpFileOper>(false);
        oper->Source = &Source;
        oper->NotifyWnd = Log.Target();
        if (connect) {
            EXPECT_EQ(oper->Connect(), 0);
        }
        return oper;
    }

    // A session logged in to the server.
    std::unique_ptr<TFtpSession> MakeSession() {
        const TServer& server = TServer::Get();
        auto session = std::make_unique<TFtpSession>("127.0.0.1", server.Port, server.User, server.Password);
        EXPECT_EQ(session->Open(), ftpOk);
        return session;
    }

    std::string ServerDir; // this test's folder, as the server names it
    std::string LocalDir;  // the same folder on this machine
};

} // namespace ftptest
