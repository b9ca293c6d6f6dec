// Work items on a crontab of the test's own: the lines written for each kind of
// schedule, names that would break a crontab line or inject into the shell, the
// other lines of the table, and failures of the crontab command. The user's real
// crontab is never read or written: every test uses a file of its own or a
// stand-in "crontab" command on PATH that keeps its table in a temporary folder.

#include "platform/Scheduler.h"
#include "platform/Process.h"

#include "TestSupport.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace {

using tandemora::TScheduler;
using tandemora::TTaskTrigger;
using tandemora::TWorkItem;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

TTaskTrigger Daily(uint16_t hour, uint16_t minute, uint16_t interval, uint16_t y = 0, uint16_t m = 0,
                   uint16_t d = 0) {
    TTaskTrigger t;
    t.TriggerType = tandemora::TASK_TIME_TRIGGER_DAILY;
    t.wStartHour = hour;
    t.wStartMinute = minute;
    t.DaysInterval = interval;
    t.wBeginYear = y;
    t.wBeginMonth = m;
    t.wBeginDay = d;
    return t;
}

TTaskTrigger Weekly(uint16_t hour, uint16_t minute, uint16_t interval, uint16_t days, uint16_t y = 0,
                    uint16_t m = 0, uint16_t d = 0) {
    TTaskTrigger t = Daily(hour, minute, 0, y, m, d);
    t.TriggerType = tandemora::TASK_TIME_TRIGGER_WEEKLY;
    t.WeeksInterval = interval;
    t.rgfDaysOfTheWeek = days;
    return t;
}

TTaskTrigger Monthly(uint16_t hour, uint16_t minute, uint32_t days, uint16_t months) {
    TTaskTrigger t = Daily(hour, minute, 0);
    t.TriggerType = tandemora::TASK_TIME_TRIGGER_MONTHLYDATE;
    t.rgfDays = days;
    t.rgfMonths = months;
    return t;
}

TTaskTrigger Once(uint16_t hour, uint16_t minute, uint16_t y, uint16_t m, uint16_t d) {
    TTaskTrigger t = Daily(hour, minute, 0, y, m, d);
    t.TriggerType = tandemora::TASK_TIME_TRIGGER_ONCE;
    return t;
}

TWorkItem Item(const std::string& name, const TTaskTrigger& trigger = Daily(9, 30, 1)) {
    TWorkItem item;
    item.Name = name;
    item.ApplicationName = "/opt/tandemora/tandemora";
    item.WorkingDirectory = "/opt/tandemora/";
    item.Parameters = name;
    item.Trigger = trigger;
    return item;
}

const std::string kCommand = "cd '/opt/tandemora/' && exec '/opt/tandemora/tandemora' ";

// What cron hands to the shell for a crontab line: the command after the five
// time fields, cut at the first bare "%" (the rest becomes the command's input)
// with "\%" turned into "%", the way cron's own loop does it.
std::string CronCommand(const std::string& line, std::string* input = nullptr) {
    size_t pos = 0;
    for (int field = 0; field < 5; ++field) {
        pos = line.find_first_of(" \t", line.find_first_not_of(" \t", pos));
    }
    std::string out;
    bool escaped = false;
    for (size_t i = line.find_first_not_of(" \t", pos); i < line.size(); ++i) {
        const char ch = line[i];
        if (ch == '%' && !escaped) {
            if (input != nullptr) {
                *input = line.substr(i + 1);
            }
            return out;
        }
        if (ch == '%') {
            out.back() = '%';
        } else {
            out += ch;
        }
        escaped = !escaped && ch == '\\';
    }
    return out;
}

// The lines of a table.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class SchedulerTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string crontab = dir / "crontab";
    TScheduler scheduler{crontab};
    std::string error;

    std::string OnlyLine() {
        const auto lines = Lines(ReadFile(crontab));
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string() : lines[0];
    }
};

// ---- Each kind of schedule ---------------------------------------------------------------------

TEST_F(SchedulerTest, EachTriggerKindWritesItsLineAndReadsBack) {
    struct Case {
        const char* what;
        TTaskTrigger trigger;
        std::string line;
    };
    const std::string daily3 =
        "[ $(( ($(date -u -d $(date +\\%F) +\\%s) / 86400 - 19783) \\% 3 )) -eq 0 ] && ";
    const std::string weekly2 =
        "[ $(( (($(date -u -d $(date +\\%F) +\\%s) / 86400 + 3) / 7 - (19788 + 3) / 7) \\% 2 )) -eq 0 ] && ";
    const Case cases[] = {
        {"daily", Daily(9, 30, 1), "30 9 * * * " + kCommand + "'Backup' #Tandemora:'Backup'"},
        {"every 3 days", Daily(23, 5, 3, 2024, 3, 1),
         "5 23 * * * " + daily3 + kCommand + "'Backup' #Tandemora:'Backup'"},
        {"weekly, Tue and Thu every 2 weeks", Weekly(0, 0, 2, 0x14, 2024, 3, 6),
         "0 0 * * 2,4 " + weekly2 + kCommand + "'Backup' #Tandemora:'Backup'"},
        {"weekly, every day", Weekly(7, 45, 1, 0x7F),
         "45 7 * * 0,1,2,3,4,5,6 " + kCommand + "'Backup' #Tandemora:'Backup'"},
        {"monthly, day 31", Monthly(12, 0, 1u << 30, 0xFFF),
         "0 12 31 * * " + kCommand + "'Backup' #Tandemora:'Backup'"},
        {"monthly, two days of two months", Monthly(6, 15, 0x4001, 0x41),
         "15 6 1,15 1,7 * " + kCommand + "'Backup' #Tandemora:'Backup'"},
        {"once", Once(14, 5, 2025, 6, 3),
         "5 14 3 6 * [ $(date +\\%Y) -eq 2025 ] && " + kCommand + "'Backup' #Tandemora:'Backup'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(crontab.c_str());
        ASSERT_TRUE(scheduler.SaveWorkItem(Item("Backup", c.trigger), error)) << error;
        EXPECT_EQ(ReadFile(crontab), c.line + "\n");

        TWorkItem found;
        ASSERT_TRUE(scheduler.FindWorkItem("Backup", found, error)) << error;
        EXPECT_TRUE(found.Readable);
        EXPECT_EQ(found.ApplicationName, "/opt/tandemora/tandemora");
        EXPECT_EQ(found.WorkingDirectory, "/opt/tandemora/");
        EXPECT_EQ(found.Parameters, "Backup");
        // The begin date is kept where it counts: runs every N days or weeks, and one-time runs.
        TTaskTrigger expected = c.trigger;
        const bool counted =
            (expected.TriggerType == tandemora::TASK_TIME_TRIGGER_DAILY && expected.DaysInterval > 1) ||
            (expected.TriggerType == tandemora::TASK_TIME_TRIGGER_WEEKLY && expected.WeeksInterval > 1) ||
            expected.TriggerType == tandemora::TASK_TIME_TRIGGER_ONCE;
        if (!counted) {
            expected.wBeginYear = expected.wBeginMonth = expected.wBeginDay = 0;
        }
        EXPECT_EQ(found.Trigger, expected);
    }
}

// Schedules cron cannot keep and names or folders that would break the line.
TEST_F(SchedulerTest, ItemsThatCannotBeWrittenSafelyAreRefused) {
    const std::string before = "MAILTO=me\n0 1 * * * echo hi\n";
    WriteFile(crontab, before);
    TTaskTrigger unknown = Daily(9, 0, 1);
    unknown.TriggerType = 7;
    TWorkItem folderBreak = Item("Backup");
    folderBreak.WorkingDirectory = "/opt/a\nb";
    TWorkItem noProgram = Item("Backup");
    noProgram.ApplicationName = "";
    const std::pair<const char*, TWorkItem> cases[] = {
        {"daily, interval 0", Item("Backup", Daily(9, 0, 0))},
        {"weekly, no day", Item("Backup", Weekly(9, 0, 1, 0))},
        {"weekly, a bit beyond Saturday only", Item("Backup", Weekly(9, 0, 1, 0x80))},
        {"monthly, no day", Item("Backup", Monthly(9, 0, 0, 0xFFF))},
        {"hour 24", Item("Backup", Daily(24, 0, 1))},
        {"every 2 days without a begin date", Item("Backup", Daily(9, 0, 2))},
        {"every 2 weeks from February 30", Item("Backup", Weekly(9, 0, 2, 0x2, 2024, 2, 30))},
        {"once on no date", Item("Backup", Once(9, 0, 2025, 13, 1))},
        {"unknown kind", Item("Backup", unknown)},
        {"line break in the name", Item("Backup\n* * * * * touch /tmp/x")},
        {"NUL", Item(std::string("a\0b", 3))},
        {"empty name", Item("")},
        {"too long for cron", Item(std::string(500, 'n'))},
        {"line break in the folder", folderBreak},
        {"no program", noProgram},
    };
    for (const auto& [what, item] : cases) {
        SCOPED_TRACE(what);
        error.clear();
        EXPECT_FALSE(scheduler.SaveWorkItem(item, error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(item.Name != "Backup" || error.find("\"Backup\"") != std::string::npos) << error;
        EXPECT_EQ(ReadFile(crontab), before);
    }
    // The longest name that still fits is written.
    ASSERT_TRUE(scheduler.SaveWorkItem(Item(std::string(400, 'n')), error)) << error;
}

// ---- Names on the line ---------------------------------------------------------------------------

// Each name reaches the program as its one parameter, exactly, after cron and
// the shell have read the line, and nothing else of the name runs.
TEST_F(SchedulerTest, AnyNameReachesTheProgramUnchanged) {
    const std::string folder = dir / "prog 'x' $HOME %d `id`";
    const std::string program = folder + "/run me";
    const std::string record = dir / "record";
    WriteFile(program, "#!/bin/sh\n{ pwd; printf '%s\\n' \"$#\"; printf '%s|' \"$@\"; } > \"$RECORD\"\n");
    chmod(program.c_str(), 0755);
    ScopedEnv recordEnv("RECORD", record);

    const std::string names[] = {
        "it's",
        "say \"hi\" $HOME `touch injected`; touch injected",
        "%%d",
        "back\\",
        "'%'\\'%",
        "x #Tandemora:'y'",
        "a && b || c > d < e | f & *?[]~ Grüße",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::remove(crontab.c_str());
        std::remove(record.c_str());
        TWorkItem item = Item(name);
        item.ApplicationName = program;
        item.WorkingDirectory = folder;
        ASSERT_TRUE(scheduler.SaveWorkItem(item, error)) << error;
        const std::string line = OnlyLine();

        std::string input;
        const std::string command = CronCommand(line, &input);
        EXPECT_EQ(input, "") << "cron would cut the line at a bare %";
        ASSERT_EQ(tandemora::RunProcess({"/bin/sh", "-c", command}), 0) << line;
        EXPECT_EQ(ReadFile(record), folder + "\n1\n" + name + "|");
        EXPECT_FALSE(testsupport::Exists(folder + "/injected"));

        TWorkItem found;
        ASSERT_TRUE(scheduler.FindWorkItem(name, found, error)) << error;
        EXPECT_EQ(found.Name, name);
        EXPECT_EQ(found.Parameters, name);
        EXPECT_EQ(found.ApplicationName, program);
        EXPECT_EQ(found.WorkingDirectory, folder);
    }
}

// ---- The rest of the table ---------------------------------------------------------------------

TEST_F(SchedulerTest, OtherLinesAreKeptByteForByte) {
    const std::string others = "# m h  dom mon dow   command\n"
                               "SHELL=/bin/sh\n"
                               "MAILTO=\"\"\n"
                               "\n"
                               "*/5 * * * * /usr/bin/backup --date=$(date +\\%F) 2>&1 | logger\n"
                               "@reboot  echo started%with input\n"
                               "0 3 * * * /opt/tandemora/tandemora 'Backup' # started by hand\n"
                               "15 4 * * *\t/usr/bin/windows-style\r\n"
                               "   \t \n"
                               "30 9 * * * echo #Tandemora:'Backup' is only an echo here\n";
    WriteFile(crontab, others);
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("Backup"), error)) << error;
    const std::string first = "30 9 * * * " + kCommand + "'Backup' #Tandemora:'Backup'\n";
    EXPECT_EQ(ReadFile(crontab), others + first);

    std::vector<TWorkItem> items;
    ASSERT_TRUE(scheduler.ListWorkItems(items, error)) << error;
    ASSERT_EQ(items.size(), 1u);

    ASSERT_TRUE(scheduler.SaveWorkItem(Item("Backup", Daily(21, 0, 1)), error)) << error;
    EXPECT_EQ(ReadFile(crontab), others + "0 21 * * * " + kCommand + "'Backup' #Tandemora:'Backup'\n");

    ASSERT_TRUE(scheduler.DeleteWorkItem("Backup", error)) << error;
    EXPECT_EQ(ReadFile(crontab), others);
}

TEST_F(SchedulerTest, ReplacingKeepsTheLineInPlaceAndLeavesOneItemPerName) {
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("A"), error)) << error;
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("B"), error)) << error;
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("C"), error)) << error;
    // A copy of B's line made by hand.
    WriteFile(crontab, ReadFile(crontab) + Lines(ReadFile(crontab))[1] + "\n");
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("B", Weekly(8, 0, 1, 0x2)), error)) << error;

    std::vector<TWorkItem> items;
    ASSERT_TRUE(scheduler.ListWorkItems(items, error)) << error;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].Name, "A");
    EXPECT_EQ(items[1].Name, "B");
    EXPECT_EQ(items[1].Trigger.TriggerType, tandemora::TASK_TIME_TRIGGER_WEEKLY);
    EXPECT_EQ(items[2].Name, "C");
}

// One name never stands for another: names that begin alike or differ in letter
// case or blanks are items of their own.
TEST_F(SchedulerTest, NamesMatchExactly) {
    for (const char* name : {"Backup 2", "backup", "Backup ", "My Backup"}) {
        ASSERT_TRUE(scheduler.SaveWorkItem(Item(name), error)) << error;
    }
    TWorkItem found;
    EXPECT_FALSE(scheduler.FindWorkItem("Backup", found, error));
    EXPECT_EQ(error, "");

    const std::string before = ReadFile(crontab);
    struct stat st1 {};
    stat(crontab.c_str(), &st1);
    ASSERT_TRUE(scheduler.DeleteWorkItem("Backup", error)) << error;
    ASSERT_TRUE(scheduler.RenameWorkItem("Backup", "Other", error)) << error;
    EXPECT_EQ(ReadFile(crontab), before);
    struct stat st2 {};
    stat(crontab.c_str(), &st2);
    EXPECT_EQ(st1.st_ino, st2.st_ino) << "nothing to change, nothing written";

    ASSERT_TRUE(scheduler.SaveWorkItem(Item("Backup"), error)) << error;
    ASSERT_TRUE(scheduler.DeleteWorkItem("Backup", error)) << error;
    EXPECT_EQ(ReadFile(crontab), before);
}

// A rename moves the schedule and replaces a stale item of the new name. A line
// of ours changed by hand is still found by its name and can be replaced, but
// is never rebuilt under another name.
TEST_F(SchedulerTest, RenamingMovesTheScheduleButNeverRebuildsALineChangedByHand) {
    const std::string edited = "*/10 8-17 * * 1-5 cd /x && ./tandemora Hand #Tandemora:'Hand'";
    WriteFile(crontab, "# top\n" + edited + "\n");
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("Old", Weekly(6, 10, 3, 0x22, 2024, 3, 6)), error)) << error;
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("New"), error)) << error;
    TWorkItem own = Item("Own parameter");
    own.Parameters = "something else";
    ASSERT_TRUE(scheduler.SaveWorkItem(own, error)) << error;
    ASSERT_TRUE(scheduler.RenameWorkItem("Old", "New", error)) << error;
    ASSERT_TRUE(scheduler.RenameWorkItem("Own parameter", "It's 100%", error)) << error;
    EXPECT_FALSE(scheduler.RenameWorkItem("Hand", "Other", error));
    EXPECT_NE(error.find("\"Hand\""), std::string::npos) << error;

    const auto lines = Lines(ReadFile(crontab));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], edited);
    TWorkItem found;
    ASSERT_TRUE(scheduler.FindWorkItem("New", found, error)) << error;
    EXPECT_EQ(found.Parameters, "New");
    EXPECT_EQ(found.Trigger, Weekly(6, 10, 3, 0x22, 2024, 3, 6));
    ASSERT_TRUE(scheduler.FindWorkItem("It's 100%", found, error)) << error;
    EXPECT_EQ(found.Parameters, "something else");
    ASSERT_TRUE(scheduler.FindWorkItem("Hand", found, error)) << error;
    EXPECT_FALSE(found.Readable);

    ASSERT_TRUE(scheduler.SaveWorkItem(Item("Hand"), error)) << error;
    EXPECT_EQ(Lines(ReadFile(crontab))[1], "30 9 * * * " + kCommand + "'Hand' #Tandemora:'Hand'");
}

TEST_F(SchedulerTest, AFileThatCannotBeReadIsNeverWritten) {
    WriteFile(dir / "not a folder", "x");
    TScheduler blocked(dir / "not a folder/crontab");
    EXPECT_FALSE(blocked.SaveWorkItem(Item("Backup"), error));
    EXPECT_NE(error.find("could not be read"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(dir / "not a folder"), "x");

    std::vector<TWorkItem> items;
    TScheduler folder(dir.path());
    EXPECT_FALSE(folder.ListWorkItems(items, error));
    EXPECT_FALSE(folder.DeleteWorkItem("Backup", error));
}

// ---- Runs every N days or weeks --------------------------------------------------------------------

// The date test on the line, run by the shell on given days ("date +%F" answers
// the day; every other use of date is the real one).
class DateTestRun : public SchedulerTest {
protected:
    void SetUp() override {
        WriteFile(bin / "date", "#!/bin/sh\n"
                                "if [ \"$1\" = '+%F' ]; then echo \"$FAKE_TODAY\"; exit 0; fi\n"
                                "if [ \"$1\" = '+%Y' ]; then echo \"${FAKE_TODAY%%-*}\"; exit 0; fi\n"
                                "exec " +
                                    RealDate() + " \"$@\"\n");
        chmod((bin / "date").c_str(), 0755);
        WriteFile(bin / "tandemora", "#!/bin/sh\necho ran > \"$RECORD\"\n");
        chmod((bin / "tandemora").c_str(), 0755);
    }

    static std::string RealDate() {
        return testsupport::Exists("/usr/bin/date") ? "/usr/bin/date" : "/bin/date";
    }

    // Whether the item's line starts the program on day (YYYY-MM-DD).
    bool RunsOn(const TTaskTrigger& trigger, const std::string& day) {
        TWorkItem item = Item("Backup", trigger);
        item.ApplicationName = bin / "tandemora";
        item.WorkingDirectory = bin.path();
        EXPECT_TRUE(scheduler.SaveWorkItem(item, error)) << error;
        const std::string record = dir / "ran";
        std::remove(record.c_str());
        ScopedEnv today("FAKE_TODAY", day);
        ScopedEnv recordEnv("RECORD", record);
        ScopedEnv path("PATH", bin.path() + ":" + std::getenv("PATH"));
        tandemora::RunProcess({"/bin/sh", "-c", CronCommand(OnlyLine())});
        return testsupport::Exists(record);
    }

    TempDir bin;
    ScopedEnv tz{"TZ", std::string("Europe/Berlin")};
};

TEST_F(DateTestRun, RunsOnlyOnTheDaysOfTheInterval) {
    struct Case {
        TTaskTrigger trigger;
        const char* day;
        bool runs;
    };
    const TTaskTrigger every3 = Daily(9, 0, 3, 2024, 2, 27);
    // Tuesdays and Thursdays every other week, from Wednesday 2024-03-06.
    const TTaskTrigger tueThu = Weekly(9, 0, 2, 0x14, 2024, 3, 6);
    const Case cases[] = {
        {every3, "2024-02-27", true},
        {every3, "2024-02-28", false},
        {every3, "2024-03-01", true},  // across the leap day
        {every3, "2024-03-31", true},  // the day summer time starts
        {every3, "2025-01-01", true},  // across the year's end
        {tueThu, "2024-03-07", true},  // Thursday of the first week
        {tueThu, "2024-03-12", false}, // second week
        {tueThu, "2024-03-19", true},  // third week
        {Once(9, 0, 2025, 6, 3), "2025-06-03", true},
        {Once(9, 0, 2025, 6, 3), "2026-06-03", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.day);
        EXPECT_EQ(RunsOn(c.trigger, c.day), c.runs);
    }
}

// ---- The crontab command ------------------------------------------------------------------------

// A stand-in for the "crontab" command: "-l" prints the table kept in $STORE
// ("no crontab for ..." when there is none), "-" installs its input, and each
// call is logged. $STORE.refuse makes installing fail, $STORE.broken listing.
class CrontabCommand : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(bin / "crontab", "#!/bin/sh\n"
                                   "echo \"$*\" >> \"$STORE.log\"\n"
                                   "if [ \"$1\" = -l ]; then\n"
                                   "  [ -e \"$STORE.broken\" ] && { echo 'cannot open spool' >&2; exit 1; }\n"
                                   "  [ -e \"$STORE\" ] || { echo \"no crontab for tester\" >&2; exit 1; }\n"
                                   "  exec cat \"$STORE\"\n"
                                   "fi\n"
                                   "if [ \"$1\" = - ]; then\n"
                                   "  cat > \"$STORE.new\"\n"
                                   "  [ -e \"$STORE.refuse\" ] && { rm -f \"$STORE.new\"; "
                                   "echo \"errors in crontab file, can't install.\" >&2; exit 1; }\n"
                                   "  exec mv \"$STORE.new\" \"$STORE\"\n"
                                   "fi\n"
                                   "exit 2\n");
        chmod((bin / "crontab").c_str(), 0755);
    }

    std::string Log() { return ReadFile(store + ".log"); }

    TempDir bin;
    TempDir spool;
    std::string store = spool / "table";
    ScopedEnv storeEnv{"STORE", store};
    ScopedEnv path{"PATH", bin.path() + ":/usr/bin:/bin"};
    TScheduler scheduler{""};
    std::string error;
};

TEST_F(CrontabCommand, AUserWithoutACrontabGetsOne) {
    EXPECT_EQ(scheduler.CheckAvailable(), "");
    std::vector<TWorkItem> items;
    ASSERT_TRUE(scheduler.ListWorkItems(items, error)) << error;
    EXPECT_TRUE(items.empty());
    ASSERT_TRUE(scheduler.SaveWorkItem(Item("50% done"), error)) << error;
    EXPECT_EQ(ReadFile(store), "30 9 * * * " + kCommand + "'50'\\%' done' #Tandemora:'50'\\%' done'\n");
    EXPECT_EQ(Log(), "-l\n-l\n-\n");
    TWorkItem found;
    ASSERT_TRUE(scheduler.FindWorkItem("50% done", found, error)) << error;
}

TEST_F(CrontabCommand, ATableThatCannotBeListedOrInstalledStaysAsItWas) {
    const std::string before = "0 1 * * * echo mine\n";
    const std::pair<const char*, const char*> cases[] = {
        {".refuse", "errors in crontab file, can't install."}, {".broken", "cannot open spool"}};
    for (const auto& [flag, message] : cases) {
        SCOPED_TRACE(flag);
        WriteFile(store, before);
        WriteFile(store + flag, "");
        EXPECT_FALSE(scheduler.SaveWorkItem(Item("Backup"), error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
        scheduler.DeleteWorkItem("Backup", error);
        EXPECT_EQ(ReadFile(store), before);
        std::remove((store + flag).c_str());
    }
    EXPECT_EQ(Log(), "-l\n-\n-l\n-l\n-l\n"); // never "-" for a table it could not list
}

TEST_F(CrontabCommand, WithoutCronEveryCallSaysSo) {
    TempDir empty;
    ScopedEnv noCron("PATH", empty.path());
    const std::string why = scheduler.CheckAvailable();
    EXPECT_NE(why.find("cron"), std::string::npos);
    std::vector<TWorkItem> items;
    EXPECT_FALSE(scheduler.ListWorkItems(items, error));
    EXPECT_EQ(error, why);
    EXPECT_FALSE(scheduler.SaveWorkItem(Item("Backup"), error));
    EXPECT_EQ(error, why);
    EXPECT_FALSE(testsupport::Exists(store));
    // A crontab file of its own needs no cron.
    EXPECT_EQ(TScheduler(spool / "file").CheckAvailable(), "");
}

} // namespace
