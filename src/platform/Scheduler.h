#pragma once
// Scheduled runs of tasks, kept as work items in the user's crontab.
//
// Each work item is one crontab line of its own:
//
//   30 9 * * 2,4 [ <every-N-weeks test> ] && cd '<folder>' && exec '<program>' '<task>' #Tandemora:'<name>'
//
// The trailing comment marks the line as ours and carries the item's name; every
// other line of the crontab (other programs' jobs, variables, comments, blank
// lines) is written back byte for byte. Cron itself knows only "every day",
// "these week days" and "these month days"; a run every N days or every N weeks is
// kept by a date test at the front of the command, counted from the item's begin
// date, so the whole schedule lives on the one line.
//
// Words on the line are quoted so that the shell passes them on unchanged
// (blanks, quotes, "$", "`" and "\" included), and every "%" is written as "\%",
// because cron turns a bare "%" into a line break and feeds the rest of the line
// to the command's input. Names and paths that hold a line break or another
// control character cannot be written safely and are refused.
//
// The crontab is read whole, changed in memory and written back whole: through
// the "crontab" command ("crontab -l", then "crontab -", which replaces the
// table in one step) or, when a crontab file is set (tests), by writing a new
// file beside it and renaming it over the old one. A table that could not be
// read is never written back, and a failed write leaves the table as it was.
//
// Not thread-safe; the program uses it from the main thread only.

#include <cstdint>
#include <string>
#include <vector>

namespace tandemora {

// Trigger kinds, numbered as the Windows Task Scheduler numbers them.
constexpr uint16_t TASK_TIME_TRIGGER_ONCE = 0;
constexpr uint16_t TASK_TIME_TRIGGER_DAILY = 1;
constexpr uint16_t TASK_TIME_TRIGGER_WEEKLY = 2;
constexpr uint16_t TASK_TIME_TRIGGER_MONTHLYDATE = 3;

// When a work item runs.
struct TTaskTrigger {
    uint16_t TriggerType = TASK_TIME_TRIGGER_ONCE;
    // The first day the item may run (local calendar date). A run every N days or
    // weeks counts from here; a one-time run happens on this day.
    uint16_t wBeginYear = 0;
    uint16_t wBeginMonth = 0;
    uint16_t wBeginDay = 0;
    // Local time of day of each run.
    uint16_t wStartHour = 0;
    uint16_t wStartMinute = 0;
    // Daily: run every DaysInterval days.
    uint16_t DaysInterval = 0;
    // Weekly: run every WeeksInterval weeks (weeks start on Monday) on the days of
    // rgfDaysOfTheWeek: Sunday 0x1, Monday 0x2, Tuesday 0x4, ... Saturday 0x40.
    uint16_t WeeksInterval = 0;
    uint16_t rgfDaysOfTheWeek = 0;
    // Monthly: on the days of rgfDays (bit 0 = day 1) of the months of rgfMonths
    // (bit 0 = January; 0xFFF = every month).
    uint32_t rgfDays = 0;
    uint16_t rgfMonths = 0;

    bool operator==(const TTaskTrigger&) const = default;
};

// One scheduled run.
struct TWorkItem {
    std::string Name;             // unique among the work items
    std::string ApplicationName;  // the program started, a full path
    std::string WorkingDirectory; // the folder it starts in
    std::string Parameters;       // its one parameter (the task name)
    TTaskTrigger Trigger;
    // False for a line marked as ours whose command or times were changed by hand
    // so that they can no longer be read; such an item can still be replaced,
    // renamed or deleted by its name.
    bool Readable = true;
};

// The crontab file used instead of the user's crontab (tests). Empty (the
// default) means the user's own crontab through the "crontab" command.
void SetCrontabFile(const std::string& path);
std::string GetCrontabFile();

// The time zone cron reads the times of its lines in: the system's zone, named
// by the link /etc/localtime (or, where that is a plain file, by
// /etc/timezone beside it). Cron does not run with the user's TZ, so a time
// the user picks in their own zone has to be written in this one. The zone's
// name as the time-zone database knows it ("Europe/Berlin"), or empty when it
// cannot be told. Tests point the link elsewhere.
std::string SystemTimeZoneName();
void SetSystemZoneLink(const std::string& path);

class TScheduler {
public:
    // crontabFile empty: the user's crontab; otherwise that file.
    explicit TScheduler(const std::string& crontabFile = GetCrontabFile());

    // Empty when work items can be kept; otherwise the reason why not (cron is
    // not installed).
    std::string CheckAvailable() const;

    // Every work item of the crontab, in the order of their lines.
    bool ListWorkItems(std::vector<TWorkItem>& items, std::string& error) const;
    // The item of exactly that name. False when there is none (error empty) or
    // the crontab could not be read (error says why).
    bool FindWorkItem(const std::string& name, TWorkItem& item, std::string& error) const;
    // Adds the item, or replaces the item of the same name where its line stands.
    bool SaveWorkItem(const TWorkItem& item, std::string& error) const;
    // Removes the item of that name; true also when there was none.
    bool DeleteWorkItem(const std::string& name, std::string& error) const;
    // Gives the item of oldName the name newName, and newName as its parameter
    // when it ran with oldName; any item already named newName is replaced. True
    // also when there is no item of oldName (nothing is written then).
    bool RenameWorkItem(const std::string& oldName, const std::string& newName, std::string& error) const;

    // The crontab line of an item (without its line break); empty, with error
    // set, when the item cannot be written safely.
    static std::string CronLine(const TWorkItem& item, std::string& error);
    // The work item a crontab line holds; false for a line that is not ours.
    static bool ParseCronLine(const std::string& line, TWorkItem& item);

private:
    bool ReadCrontab(std::string& text, std::string& error) const;
    bool WriteCrontab(const std::string& text, std::string& error) const;
    bool ReadFromFile(std::string& text, std::string& error) const;
    bool WriteToFile(const std::string& text, std::string& error) const;
    bool ReadFromCommand(std::string& text, std::string& error) const;
    bool WriteToCommand(const std::string& text, std::string& error) const;

    std::string crontabFile_;
};

// The local calendar date's number of days since 1970-01-01.
int64_t DaysFromCivil(int year, unsigned month, unsigned day);

} // namespace tandemora
