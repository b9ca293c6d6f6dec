#include "dialogs/ScheduleTaskUnit.h"

#include "platform/ProgramFolder.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QWidget>

namespace tandemora {

int32_t WeekDayChecks[7] = {0, 0, 0, 0, 0, 0, 0};

namespace {

void ShowSchedulerError(const std::string& text) {
    QWidget* parent = QApplication::activeModalWidget();
    if (parent == nullptr) {
        parent = QApplication::activeWindow();
    }
    MessageBox(parent, ToQ(text), "Tandemora", MB_ICONERROR);
}

// The running program's full path as seen from the program folder.
std::string ProgramFilePath() {
    return GetProgramFolder() + FromQ(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

// Bits of the ticked days, Sunday 0x1 ... Saturday 0x40; WeekDayChecks runs Monday to Sunday.
uint16_t WeekDayBits() {
    uint16_t bits = 0;
    for (int i = 0; i < 7; ++i) {
        if (WeekDayChecks[i] == 1) {
            bits |= static_cast<uint16_t>(1u << ((i + 1) % 7));
        }
    }
    return bits != 0 ? bits : 0x2;
}

uint16_t Clip(int32_t value) {
    return static_cast<uint16_t>(value < 0 ? 0 : (value > 0xFFFF ? 0xFFFF : value));
}

} // namespace

int32_t InitTaskScheduler() {
    const std::string why = TScheduler().CheckAvailable();
    if (why.empty()) {
        return 0;
    }
    ShowSchedulerError(why);
    return -1;
}

TWorkItem MakeScheduledTask(const std::string& name, int32_t kind, int32_t interval, const QTime& startTime,
                            const QDate& today) {
    TWorkItem item;
    item.Name = name;
    item.ApplicationName = ProgramFilePath();
    item.WorkingDirectory = GetProgramFolder();
    item.Parameters = name;
    TTaskTrigger& t = item.Trigger;
    t.wBeginYear = Clip(today.year());
    t.wBeginMonth = Clip(today.month());
    t.wBeginDay = Clip(today.day());
    t.wStartHour = Clip(startTime.hour());
    t.wStartMinute = Clip(startTime.minute());
    switch (kind) {
    case 0:
        t.TriggerType = TASK_TIME_TRIGGER_DAILY;
        t.DaysInterval = Clip(interval);
        break;
    case 1:
        t.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
        t.WeeksInterval = Clip(interval);
        t.rgfDaysOfTheWeek = WeekDayBits();
        break;
    case 2:
        t.TriggerType = TASK_TIME_TRIGGER_MONTHLYDATE;
        t.rgfDays = interval >= 1 && interval <= 31 ? 1u << (interval - 1) : 0;
        t.rgfMonths = 0xFFF;
        break;
    default:
        t.TriggerType = TASK_TIME_TRIGGER_ONCE;
        break;
    }
    return item;
}

bool MoveTriggerToZone(TTaskTrigger& trigger, const QTimeZone& cronZone, std::string& error) {
    if (!cronZone.isValid()) {
        return true;
    }
    TTaskTrigger& t = trigger;
    const QDate begin(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
    const QDateTime chosen(begin, QTime(t.wStartHour, t.wStartMinute));
    const QDateTime there = chosen.toTimeZone(cronZone);
    const qint64 shift = begin.daysTo(there.date());
    t.wStartHour = Clip(there.time().hour());
    t.wStartMinute = Clip(there.time().minute());
    t.wBeginYear = Clip(there.date().year());
    t.wBeginMonth = Clip(there.date().month());
    t.wBeginDay = Clip(there.date().day());
    if (shift == 0) {
        return true;
    }
    if (t.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
        // Sunday 0x1 ... Saturday 0x40, turned by one day either way.
        const uint32_t days = t.rgfDaysOfTheWeek & 0x7F;
        const uint32_t turned = shift > 0 ? (days << 1) | (days >> 6) : (days >> 1) | (days << 6);
        t.rgfDaysOfTheWeek = static_cast<uint16_t>(turned & 0x7F);
    } else if (t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDATE) {
        const uint32_t days = t.rgfDays & 0x7FFFFFFF;
        const bool leaves = shift > 0 ? (days & 0x40000000u) != 0 : (days & 1u) != 0;
        if (leaves) {
            error =
                "At this time the run would fall on another day of the month in the system's time zone (" +
                FromQ(QString::fromUtf8(cronZone.id())) +
                "), which cron cannot keep. Please choose another day or time.";
            return false;
        }
        t.rgfDays = shift > 0 ? days << 1 : days >> 1;
    }
    return true;
}

QTimeZone CronTimeZone() {
    const std::string name = SystemTimeZoneName();
    return name.empty() ? QTimeZone() : QTimeZone(QByteArray::fromStdString(name));
}

bool CreateScheduledTask(const std::string& name, int32_t kind, int32_t interval, const QTime& startTime) {
    if (InitTaskScheduler() != 0) {
        return false;
    }
    // The run starts the task by the name the task list holds; a task that was
    // never saved has none yet.
    if (name.empty()) {
        ShowSchedulerError("Please save the task first: a scheduled run starts the task by its saved name.");
        return false;
    }
    std::string error;
    TWorkItem item = MakeScheduledTask(name, kind, interval, startTime, QDate::currentDate());
    if (!MoveTriggerToZone(item.Trigger, CronTimeZone(), error) || !TScheduler().SaveWorkItem(item, error)) {
        ShowSchedulerError(error);
        return false;
    }
    return true;
}

bool FindScheduledTask(const std::string& text) {
    if (InitTaskScheduler() != 0) {
        return false;
    }
    TWorkItem item;
    std::string error;
    if (TScheduler().FindWorkItem(text, item, error)) {
        return true;
    }
    if (!error.empty()) {
        ShowSchedulerError(error);
    }
    return false;
}

int32_t DeleteScheduledTask(const std::string& name) {
    const TScheduler scheduler;
    // No task name, or no cron to keep runs: no work item to remove.
    if (name.empty() || !scheduler.CheckAvailable().empty()) {
        return 0;
    }
    std::string error;
    if (scheduler.DeleteWorkItem(name, error)) {
        return 0;
    }
    ShowSchedulerError(error);
    return -1;
}

int32_t RenameScheduledTask(const std::string& oldName, const std::string& newName) {
    const TScheduler scheduler;
    if (oldName.empty() || oldName == newName || !scheduler.CheckAvailable().empty()) {
        return 0;
    }
    std::string error;
    if (scheduler.RenameWorkItem(oldName, newName, error)) {
        return 0;
    }
    ShowSchedulerError(error);
    return -1;
}

} // namespace tandemora
