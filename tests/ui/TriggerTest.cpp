// Runs that start without a click: the minute timer, an arriving volume and the
// end of the session. The tests drive each trigger through its entry point: a
// clock of their own for the timer, a mount table file of their own for the
// volumes, and the answer to the session manager's question.

#include "UiFixture.h"

#include <QGuiApplication>
#include <algorithm>
#include <map>

namespace uitest {
namespace {

using tandemora::TFSyncMain;
using tandemora::TSyncTask;

// The machine's own mounts, as the kernel lists them.
const std::string kBaseTable = "22 27 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:13 - proc proc rw\n"
                               "27 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
                               "30 27 0:26 / /run rw,nosuid,nodev shared:5 - tmpfs tmpfs rw,mode=755\n";

// A path as the kernel writes it in the table.
std::string Escaped(const std::string& path) {
    std::string text;
    for (char c : path) {
        text += c == ' ' ? std::string("\\040") : std::string(1, c);
    }
    return text;
}

std::string MountLine(int id, const std::string& device, const std::string& mountPoint,
                      const std::string& fsType, const std::string& source, const std::string& root = "/") {
    return std::to_string(id) + " 30 " + device + " " + root + " " + Escaped(mountPoint) +
           " rw,nosuid,nodev shared:301 - " + fsType + " " + source + " rw\n";
}

class TriggerTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}) {
            WriteFile(Dir(name) + "/from-" + name + ".txt", name);
        }
        stick = folders / "media/My Stick";
        disk = folders / "media/DISK";
        for (const std::string& volume : {stick, disk}) {
            for (const char* sub : {"docs", "pics", "music", "more"}) {
                WriteFile(volume + "/" + sub + "/on-" + sub + ".txt", sub);
            }
        }
    }

    std::string Dir(const char* name) const { return folders / name; }

    // Starts the program and takes the minute timer over: ticks come only from
    // Tick, on a clock that stands still in between.
    void StartWithTestClock() {
        ASSERT_TRUE(Start());
        main->Timer_task->stop();
        base = main->TriggerClock();
        main->TriggerClock = [this] { return base + offset; };
        main->StartTime = base;
        QTest::qWait(600); // past the program-start triggers
    }

    void Tick(int minutes = 1) {
        offset += std::chrono::minutes(minutes);
        main->Timer_taskTimer();
    }

    // The mount table the window watches, in the test's folder.
    void WatchTable(const std::string& text) {
        WriteFile(table, text);
        main->WatchMountTable(table);
        main->VolumeDelay = 10;
    }

    // The table changes as the kernel would change it; the window is told.
    void ChangeTable(const std::string& text) {
        WriteFile(table, text);
        main->WMDeviceChange();
    }

    bool WaitVolumeWait() {
        return WaitUntil([this] { return !main->Timer_volume->isActive(); });
    }

    // The captions of the task windows that are running now.
    std::set<std::string> Running() const {
        std::set<std::string> running;
        for (TFSyncMain* window : main->TaskWindows()) {
            if (window->IsBusy()) {
                running.insert(window->windowTitle().toStdString());
            }
        }
        return running;
    }

    bool WaitAllIdle() {
        return WaitUntil([this] { return Running().empty(); });
    }

    TFSyncMain* ByName(const QString& caption) {
        for (TFSyncMain* window : main->TaskWindows()) {
            if (window->windowTitle() == caption) {
                return window;
            }
        }
        return nullptr;
    }

    size_t Analyses(const QString& caption) { return LinesStarting(ByName(caption), "All:").size(); }
    size_t Syncs(const QString& caption) { return LinesStarting(ByName(caption), "----- Sync End.").size(); }

    std::string stick;
    std::string disk;
    std::string table = folders / "mountinfo";
    std::chrono::milliseconds base{0};
    std::chrono::milliseconds offset{0};
};

auto Periodic(int hours, int minutes, bool sync, bool analyze) {
    return [=](TSyncTask& t) {
        t.Hours = hours;
        t.minutes = minutes;
        t.PeriodSync = sync ? 1 : 0;
        t.PeriodAnalyze = analyze ? 1 : 0;
    };
}

// ---- The minute timer -----------------------------------------------------------------------

TEST_F(TriggerTest, PeriodicTasksStartWhenTheirPeriodIsDue) {
    SaveTask("Zero", Dir("a"), Dir("b"), Periodic(0, 0, false, true));
    SaveTask("Hours", Dir("c"), Dir("d"), Periodic(1, -55, false, true)); // 5 minutes
    SaveTask("Three", Dir("e"), Dir("f"), Periodic(0, 3, true, true));
    SaveTask("Negative", Dir("i"), Dir("j"), Periodic(2, -200, true, true));
    SaveTask("Off", Dir("b"), Dir("c"), Periodic(0, 0, false, false));
    StartWithTestClock();
    // The wall clock set back (or forward) by hours changes nothing: the
    // periods count on a clock that cannot be set.
    ByName("Hours")->Task->LastRun = std::chrono::system_clock::now() + std::chrono::hours(3);
    ByName("Three")->Task->LastRun = std::chrono::system_clock::now() - std::chrono::hours(5);

    std::map<std::string, std::vector<int>> started;
    for (int tick = 1; tick <= 8; ++tick) {
        Tick();
        for (const std::string& caption : Running()) {
            started[caption].push_back(tick);
            EXPECT_TRUE(ByName(QString::fromStdString(caption))->Task->Unattended);
        }
        ASSERT_TRUE(WaitAllIdle());
    }
    EXPECT_EQ(started["Zero"].size(), 8u);
    // First due when a period less one minute has passed since the window opened.
    EXPECT_EQ(started["Hours"], (std::vector<int>{4, 8}));
    EXPECT_EQ(started["Three"], (std::vector<int>{2, 4, 6, 8}));
    EXPECT_TRUE(started["Negative"].empty());
    EXPECT_TRUE(started["Off"].empty());

    // With both switches on, a due task starts once, with its synchronisation.
    EXPECT_EQ(Analyses("Three"), 4u);
    EXPECT_EQ(Syncs("Three"), 4u);
    EXPECT_EQ(ReadFile(Dir("f") + "/from-e.txt"), "e");
    EXPECT_EQ(Syncs("Hours"), 0u);
    EXPECT_FALSE(testsupport::Exists(Dir("d") + "/from-c.txt"));
    // A periodic start moves the task's last run to now.
    const auto sinceLast = std::chrono::system_clock::now() - ByName("Hours")->Task->LastRun;
    EXPECT_LT(std::chrono::abs(sinceLast), std::chrono::minutes(10));
}

TEST_F(TriggerTest, ARunningTaskHoldsBackEveryPeriodicStartAndAMissedPeriodIsMadeUp) {
    SaveTask("Every", Dir("a"), Dir("b"), Periodic(0, 0, false, true));
    SaveTask("Five", Dir("c"), Dir("d"), Periodic(0, 5, false, true));
    SaveTask("Manual", Dir("e"), Dir("f"));
    StartWithTestClock();
    Tick(); // 1
    EXPECT_EQ(Running(), (std::set<std::string>{"Every"}));
    ASSERT_TRUE(WaitAllIdle());
    Tick(); // 2
    Tick(); // 3: finds Every still running from tick 2, so nothing starts
    ASSERT_TRUE(WaitAllIdle());

    // The user starts a task; Five's due minutes (4 and on) pass while it runs.
    Click(ByName("Manual")->BitBtn_Analyze);
    ASSERT_TRUE(ByName("Manual")->IsBusy());
    for (int tick = 4; tick <= 7; ++tick) {
        Tick();
        EXPECT_EQ(Running(), (std::set<std::string>{"Manual"})) << "tick " << tick;
    }
    ASSERT_TRUE(WaitAllIdle());
    EXPECT_FALSE(ByName("Manual")->Task->Unattended);
    EXPECT_EQ(Analyses("Five"), 0u);

    // The first tick that finds nothing running makes the missed period up.
    Tick(); // 8
    EXPECT_EQ(Running(), (std::set<std::string>{"Every", "Five"}));
    ASSERT_TRUE(WaitAllIdle());
    Tick(); // 9: Five counts from its start at 8 again
    EXPECT_EQ(Running(), (std::set<std::string>{"Every"}));
    ASSERT_TRUE(WaitAllIdle());
}

TEST_F(TriggerTest, ALateTickOnlyRestartsTheCount) {
    SaveTask("Every", Dir("a"), Dir("b"), Periodic(0, 0, false, true));
    StartWithTestClock();
    const struct {
        const char* Name;
        int Minutes;
        bool Starts;
    } ticks[] = {
        {"on time", 1, true},          {"computer slept", 45, false},    {"next minute", 1, true},
        {"two minutes late", 2, true}, {"three minutes late", 3, false}, {"next minute again", 1, true},
        {"no time passed", 0, true},
    };
    size_t analyses = 0;
    for (const auto& t : ticks) {
        Tick(t.Minutes);
        EXPECT_EQ(!Running().empty(), t.Starts) << t.Name;
        ASSERT_TRUE(WaitAllIdle());
        analyses += t.Starts ? 1 : 0;
        EXPECT_EQ(Analyses("Every"), analyses) << t.Name;
    }
}

// ---- Volumes (which mounts count as arrivals is the mount watch's own test)
// -------------------------------------------------------------------------------------

// One watch over a day of mount-table changes: each row changes the table and
// gives the analyses/syncs of Stick, Both, Look and Disk since the start.
TEST_F(TriggerTest, ArrivingVolumesStartTheTasksThatUseThemAndNothingElseDoes) {
    SaveTask("Stick", stick + "/docs", Dir("b"), [](TSyncTask& t) { t.ConnectSync = 1; });
    SaveTask("Both", Dir("c"), stick + "/pics/", [](TSyncTask& t) {
        t.ConnectSync = 1;
        t.ConnectAnalyze = 1;
    });
    SaveTask("Look", stick + "/music", Dir("d"), [](TSyncTask& t) { t.ConnectAnalyze = 1; });
    SaveTask("Disk", disk + "/docs", Dir("a"), [](TSyncTask& t) { t.ConnectAnalyze = 1; });
    SaveTask("Elsewhere", Dir("e"), Dir("f"), [](TSyncTask& t) { t.ConnectSync = 1; });
    SaveTask("Prefix", folders / "media/My Stick2", Dir("g"), [](TSyncTask& t) { t.ConnectSync = 1; });
    SaveTask("Off", stick + "/more", Dir("h"));
    SaveTask("Manual", Dir("i"), Dir("j"));
    WriteFile(folders / "media/My Stick2/x.txt", "x");
    StartWithTestClock();
    WatchTable(kBaseTable);
    const auto withStick = [&](int id) {
        return kBaseTable + MountLine(id, "8:17", stick, "vfat", "/dev/sdb1");
    };
    const auto counts = [&] {
        std::string text;
        for (const QString caption : {"Stick", "Both", "Look", "Disk"}) {
            text += (text.empty() ? "" : " ") + std::to_string(Analyses(caption)) + "/" +
                    std::to_string(Syncs(caption));
        }
        return text;
    };
    enum { kPlain, kGoneInTheWait, kWhileARunGoesOn };
    const struct {
        const char* Name;
        std::vector<std::string> Tables;
        int How;
        bool Waits;
        const char* Counts;
    } steps[] = {
        {"a network share on the stick's path",
         {kBaseTable + MountLine(500, "0:60", stick, "cifs", "//nas/share"), kBaseTable},
         kPlain,
         false,
         "0/0 0/0 0/0 0/0"},
        {"the stick arrives", {withStick(512)}, kPlain, true, "1/1 1/1 1/0 0/0"},
        {"a later change while it stays",
         {withStick(512) + MountLine(600, "0:60", folders / "nas", "cifs", "//nas/share")},
         kPlain,
         false,
         "1/1 1/1 1/0 0/0"},
        {"the stick is taken away", {kBaseTable}, kPlain, false, "1/1 1/1 1/0 0/0"},
        {"gone again before the wait ends", {withStick(530)}, kGoneInTheWait, true, "1/1 1/1 1/0 0/0"},
        {"stick and disk arrive together",
         {withStick(540), withStick(540) + MountLine(541, "8:18", disk, "ext4", "/dev/sdb2")},
         kPlain,
         true,
         "2/2 2/2 2/0 1/0"},
        {"away and back while the user's run goes on",
         {kBaseTable, withStick(550)},
         kWhileARunGoesOn,
         true,
         "2/2 2/2 2/0 1/0"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Name);
        main->VolumeDelay = step.How == kGoneInTheWait ? 60000 : 10; // that wait ends when the test says so
        if (step.How == kWhileARunGoesOn) {
            Click(ByName("Manual")->BitBtn_Analyze);
            ASSERT_TRUE(ByName("Manual")->IsBusy());
        }
        for (const std::string& text : step.Tables) {
            ChangeTable(text);
        }
        EXPECT_EQ(main->Timer_volume->isActive(), step.Waits);
        if (step.How == kGoneInTheWait) { // the wait itself looks again
            WriteFile(table, kBaseTable);
            main->Timer_volume->start(0);
        } else if (step.How == kWhileARunGoesOn) { // the wait ends while the run surely goes on
            main->Timer_volume->stop();
            ASSERT_TRUE(QMetaObject::invokeMethod(main->Timer_volume, "timeout", Qt::DirectConnection));
            EXPECT_EQ(Running(), (std::set<std::string>{"Manual"}));
        } else {
            EXPECT_TRUE(Running().empty()); // nothing before the volume has settled
        }
        ASSERT_TRUE(WaitVolumeWait());
        ASSERT_TRUE(WaitAllIdle());
        EXPECT_EQ(counts(), step.Counts);
    }
    EXPECT_EQ(ReadFile(Dir("b") + "/on-docs.txt"), "docs");
    EXPECT_EQ(ReadFile(stick + "/pics/from-c.txt"), "c");
    EXPECT_TRUE(ByName("Look")->Task->Unattended);
    for (const QString caption : {"Elsewhere", "Prefix", "Off"}) {
        EXPECT_TRUE(ByName(caption)->LogLines().empty()) << caption.toStdString();
    }
}

// ---- End of the session ----------------------------------------------------------------------------

TEST_F(TriggerTest, TheEndOfTheSessionStartsTasksAndIsRefusedWhileTheyRun) {
    SaveTask("A", Dir("a"), Dir("b"), [](TSyncTask& t) { t.LogoffAnalyze = 1; });
    SaveTask("B", Dir("c"), Dir("d"), [](TSyncTask& t) { t.LogoffSync = 1; });
    SaveTask("C", Dir("e"), Dir("f"), [](TSyncTask& t) { t.LogoffSync = 1; });
    SaveTask("D", Dir("g"), Dir("h"));
    StartWithTestClock();
    // The window answers the session manager's question.
    EXPECT_TRUE(QObject::disconnect(qGuiApp, &QGuiApplication::commitDataRequest, main, nullptr));

    EXPECT_FALSE(main->WMQueryEndSession());
    EXPECT_EQ(Running(), (std::set<std::string>{"A", "B"}));
    EXPECT_TRUE(ByName("A")->Task->Unattended);
    EXPECT_TRUE(ByName("B")->Task->Unattended);
    // Asked again while they run: nothing more starts, still refused.
    EXPECT_FALSE(main->WMQueryEndSession());
    EXPECT_EQ(Running(), (std::set<std::string>{"A", "B"}));
    ASSERT_TRUE(WaitAllIdle());
    EXPECT_EQ(Analyses("A"), 1u);
    EXPECT_EQ(Syncs("A"), 0u);
    EXPECT_EQ(Syncs("B"), 1u);
    EXPECT_EQ(ReadFile(Dir("d") + "/from-c.txt"), "c");
    EXPECT_TRUE(ByName("C")->LogLines().empty());
    EXPECT_TRUE(ByName("D")->LogLines().empty());
}

TEST_F(TriggerTest, TheEndOfTheSessionIsAllowedWhenNothingRuns) {
    SaveTask("Plain", Dir("a"), Dir("b"));
    SaveTask("Broken", Dir("c"), Dir("c"), [](TSyncTask& t) { t.LogoffSync = 1; }); // the same folder twice
    StartWithTestClock();
    EXPECT_TRUE(main->WMQueryEndSession());
    EXPECT_TRUE(Running().empty());
    EXPECT_TRUE(ByName("Plain")->LogLines().empty());
    EXPECT_EQ(ByName("Broken")->LogLines().size(), 1u); // it says why it did not start
}

// In a long list each task decides from its own switches: a trigger starts
// exactly the tasks it concerns and makes no window for any other.
TEST_F(TriggerTest, AmongManyTasksATriggerStartsExactlyItsOwn) {
    for (int i = 0; i < 120; ++i) {
        const std::string name = "Task " + std::to_string(i);
        if (i == 40) {
            SaveTask(name, Dir("c"), Dir("d"), Periodic(0, 0, false, true));
        } else if (i == 90) {
            SaveTask(name, Dir("e"), Dir("f"), Periodic(0, 0, false, true));
        } else if (i == 70) {
            SaveTask(name, stick + "/docs", Dir("g"), [](TSyncTask& t) { t.ConnectAnalyze = 1; });
        } else {
            SaveTask(name, Dir("a"), Dir("b"), Periodic(0, 0, false, false));
        }
    }
    StartWithTestClock();
    // The windows made so far, and how many analyses each has logged.
    auto made = [this] {
        std::map<std::string, size_t> analyses;
        for (TFSyncMain* window : main->OpenTaskWindows()) {
            analyses[window->windowTitle().toStdString()] = LinesStarting(window, "All:").size();
        }
        return analyses;
    };
    auto idle = [this] {
        return WaitUntil([this] {
            const std::vector<TFSyncMain*> windows = main->OpenTaskWindows();
            return std::none_of(windows.begin(), windows.end(), [](TFSyncMain* w) { return w->IsBusy(); });
        });
    };
    using Made = std::map<std::string, size_t>;
    EXPECT_EQ(made(), (Made{{"Task 0", 0}}));
    Tick();
    ASSERT_TRUE(idle());
    EXPECT_EQ(made(), (Made{{"Task 0", 0}, {"Task 40", 1}, {"Task 90", 1}}));

    WatchTable(kBaseTable);
    ChangeTable(kBaseTable + MountLine(512, "8:17", stick, "vfat", "/dev/sdb1"));
    ASSERT_TRUE(WaitVolumeWait());
    ASSERT_TRUE(idle());
    EXPECT_EQ(made(), (Made{{"Task 0", 0}, {"Task 40", 1}, {"Task 70", 1}, {"Task 90", 1}}));

    Tick();
    ASSERT_TRUE(idle());
    EXPECT_EQ(made(), (Made{{"Task 0", 0}, {"Task 40", 2}, {"Task 70", 1}, {"Task 90", 2}}));
    EXPECT_FALSE(testsupport::Exists(Dir("b") + "/from-a.txt"));
}

} // namespace
} // namespace uitest
