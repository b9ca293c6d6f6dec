// The update check against a server of the test's own on 127.0.0.1: what it
// asks for, what it keeps beside the program, how it compares versions, what it
// tells the user and when it starts the updater.

#include "CannedHttpServer.h"
#include "UiFixture.h"

#include "dialogs/DMUnit.h"
#include "platform/Registry.h"
#include "tasks/URegSettings.h"

#include <optional>

namespace uitest {
namespace {

using tandemora::TDM;

const QString kQuestion = "A newer version of Tandemora is available. Would you like to update now?";
const QString kNoUpdate = "There are no updates available at this time.\rYour Tandemora is up-to-date.";

class UpdateCheckTest : public DialogTest {
protected:
    void TearDown() override {
        tandemora::SetUpdateServer("");
        DialogTest::TearDown();
    }

    // The version the registry holds for the program; none removes it.
    void SetInstalled(const std::optional<std::string>& version) {
        tandemora::TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(tandemora::kRegSettingsKey, true));
        if (version) {
            ASSERT_TRUE(registry.WriteString("Version", *version));
        } else {
            registry.DeleteValue("Version");
        }
    }

    // A server that publishes Body as the version description.
    std::unique_ptr<CannedHttpServer> Publish(const std::string& body) {
        auto server = std::make_unique<CannedHttpServer>(CannedHttpServer::OkHead(body.size()), body);
        tandemora::SetUpdateServer(server->Url());
        return server;
    }

    static std::string Description(const std::string& version) {
        return "[Version]\r\nVer=" + version + "\r\n[Files]\r\nTandemora=Tandemora\r\n";
    }

    // Runs the check as a caller does; true when the updater was started.
    bool Check(bool reportNoUpdate) {
        TDM dm;
        dm.CheckForUpdate(reportNoUpdate);
        return dm.TerminateRequested;
    }

    std::string UpdateFile() const { return program / "Update.ini"; }

    // An updater beside the program that leaves a mark when it runs.
    std::string InstallUpdater() {
        const std::string mark = program / "updater-ran";
        const std::string updater = program / "TandemoraUpdate.exe";
        WriteFile(updater, "#!/bin/sh\necho ran > '" + mark + "'\n");
        chmod(updater.c_str(), 0755);
        return mark;
    }
};

// Versions are compared number by number; without a recorded version (or with
// one that is none) the program takes its own. The check at start says nothing
// unless there is an update; the description fetched replaces the one kept.
TEST_F(UpdateCheckTest, VersionsAreComparedNumberByNumber) {
    struct Case {
        std::optional<std::string> Installed;
        std::string Remote;
        bool Offered;
        bool Report; // asked from the menu, not at start
    };
    const Case cases[] = {
        {"2.1.0", "2.1.0", false, true},
        {"2.9.0", "2.10.0", true, true},
        {"2.10.0", "2.9.0", false, true},
        {"2.1.0", "2.1", false, true},
        {"2.1", "2.1.0.1", true, true},
        {"2.1.0", "2.01.0", false, true},
        {"2.1.0", "2.1.0", false, false},
        {"2.1.0", "2.2.0", true, false},
        {std::nullopt, tandemora::kProgramVersion, false, true},
        {"not a version", "2.2", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Installed.value_or("none") + " -> " + c.Remote + (c.Report ? "" : " at start"));
        SetInstalled(c.Installed);
        auto server = Publish(Description(c.Remote));
        WriteFile(UpdateFile(), Description(c.Remote) + std::string(500, 'x'));
        boxes.clear();
        boxAnswer = tandemora::IDNO;
        EXPECT_FALSE(Check(c.Report));
        ASSERT_EQ(boxes.size(), c.Offered || c.Report ? 1u : 0u);
        if (!boxes.empty()) {
            EXPECT_EQ(boxes[0].Text, c.Offered ? kQuestion : kNoUpdate);
        }
        EXPECT_EQ(ReadFile(UpdateFile()), Description(c.Remote));
        EXPECT_EQ(server->Request().rfind("GET /update/Update.ini HTTP/1.1\r\n", 0), 0u);
    }
}

// Whatever comes back, Update.ini is replaced only by a version description;
// every other reply is told once and leaves the old description as it was.
TEST_F(UpdateCheckTest, RepliesThatHoldNoVersionLeaveTheOldDescription) {
    using Server = std::unique_ptr<CannedHttpServer>;
    auto ok = [](const std::string& body) {
        return std::make_unique<CannedHttpServer>(CannedHttpServer::OkHead(body.size()), body);
    };
    const std::string noVersion =
        "could not be read.\rIt holds no version number in section [Version], key Ver.";
    const std::string noDownload = "Can not download the new version.\rBecause Can not connect ";
    struct Case {
        const char* Name;
        std::function<Server()> Start; // null: nothing listens
        std::string Told;              // what the box says after the address
    };
    const Case cases[] = {
        {"a network's sign-in page",
         [&] { return ok("<html><body>Welcome! Please sign in to use this network.</body></html>"); },
         noVersion},
        {"another section", [&] { return ok("[Other]\r\nVer=2.2.0\r\n"); }, noVersion},
        {"no version number", [&] { return ok("[Version]\r\nVer=2.2.x\r\n"); }, noVersion},
        {"not found",
         [] {
             return std::make_unique<CannedHttpServer>("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n",
                                                       "not found");
         },
         noDownload},
        {"cut short",
         [] { return std::make_unique<CannedHttpServer>(CannedHttpServer::OkHead(400), Description("9.0")); },
         noDownload},
        {"stalled",
         [] {
             return std::make_unique<CannedHttpServer>(CannedHttpServer::OkHead(400), Description("9.0"), 1,
                                                       true);
         },
         noDownload},
        {"oversized",
         // Announces 64 MB; the program stops reading long before.
         [] {
             const std::string chunk(64 * 1024, 'v');
             return std::make_unique<CannedHttpServer>(CannedHttpServer::OkHead(chunk.size() * 1024), chunk,
                                                       1024);
         },
         "could not be read.\rIt is larger than 64 KB, which no version description is."},
        {"refused", {}, noDownload},
    };
    SetInstalled(std::nullopt); // would offer any update at all, were the reply trusted
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Server server = c.Start ? c.Start() : nullptr;
        const std::string url = server ? server->Url() : CannedHttpServer::ClosedUrl();
        tandemora::SetUpdateServer(url);
        WriteFile(UpdateFile(), "old description");
        boxes.clear();
        boxAnswer = tandemora::IDYES;
        TDM dm;
        dm.ReadTimeoutMs = 300; // the stalled server gives up its wait sooner
        dm.CheckForUpdate(true);
        EXPECT_FALSE(dm.TerminateRequested);
        ASSERT_EQ(boxes.size(), 1u);
        const std::string address = c.Told == noDownload ? url + "/update/,Please check the network."
                                                         : url + "/update/Update.ini " + c.Told;
        EXPECT_EQ(boxes[0].Text.toStdString(),
                  c.Told == noDownload ? noDownload + address : "The update information from " + address);
        EXPECT_EQ(ReadFile(UpdateFile()), "old description");
    }
}

TEST_F(UpdateCheckTest, WithoutItsUpdaterOrWhileATaskRunsTheProgramGoesOn) {
    SetInstalled("2.1.0");
    boxAnswer = tandemora::IDYES;
    {
        auto server = Publish(Description("2.1.1"));
        EXPECT_FALSE(Check(true));
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_TRUE(boxes[1].Text.startsWith("The updater TandemoraUpdate.exe is not in the program folder"));
    }
    const std::string mark = InstallUpdater();
    auto server = Publish(Description("2.1.1"));
    boxes.clear();
    TDM dm;
    dm.CanEnd = [] { return false; };
    dm.CheckForUpdate(true);
    EXPECT_FALSE(dm.TerminateRequested);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[1].Text.startsWith("Tandemora cannot end while a task is running."));
    EXPECT_FALSE(testsupport::Exists(mark));
}

TEST_F(UpdateCheckTest, TheCheckAtStartFollowsTheOption) {
    tandemora::SetUpdateServer(CannedHttpServer::ClosedUrl());
    options->CheckVersionVeryDay = 0;
    EXPECT_TRUE(tandemora::RunStartupUpdateCheck());
    EXPECT_TRUE(boxes.empty());

    options->CheckVersionVeryDay = 1;
    EXPECT_TRUE(tandemora::RunStartupUpdateCheck());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].Text.startsWith("Can not download the new version."));

    SetInstalled("2.1.0");
    auto server = Publish(Description("2.1.1"));
    InstallUpdater();
    boxAnswer = tandemora::IDYES;
    EXPECT_FALSE(tandemora::RunStartupUpdateCheck());
}

// The server is the options file's UpdateServer: set there, the check reaches it.
TEST_F(UpdateCheckTest, TheServerIsTheOneTheOptionsName) {
    SetInstalled("2.1.0");
    auto server = Publish(Description("2.1.0"));
    options->UpdateServer = tandemora::GetUpdateServer() + "/";
    tandemora::SetUpdateServer("");
    EXPECT_EQ(tandemora::GetUpdateServer() + "/", options->UpdateServer);
    EXPECT_FALSE(Check(true));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, kNoUpdate);
}

TEST_F(UpdateCheckTest, TheMenuCommandEndsTheProgramOnceTheUpdaterRuns) {
    ASSERT_TRUE(Start());
    SetInstalled("2.1.0");
    {
        auto server = Publish(Description("2.1.0"));
        ASSERT_TRUE(main->act_checknewversion->isEnabled());
        main->act_checknewversion->trigger();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text, kNoUpdate);
        EXPECT_FALSE(main->ClosedForGood());
    }
    auto server = Publish(Description("3.0"));
    const std::string mark = InstallUpdater();
    boxAnswer = tandemora::IDYES;
    main->act_checknewversion->trigger();
    EXPECT_TRUE(WaitUntil([&] { return testsupport::Exists(mark); }));
    EXPECT_TRUE(main->ClosedForGood());
}

} // namespace
} // namespace uitest
