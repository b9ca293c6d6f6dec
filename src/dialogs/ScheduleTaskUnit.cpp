#include "dialogs/ScheduleTaskUnit.h"

#include "platform/ProgramFolder.h"
#include "ui/UMessageBox.h"
#include "ui/UQtText.h"

#include <QApplication>
#include <QCoreApplication>
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
    if (!TScheduler().SaveWorkItem(MakeScheduledTask(name, kind, interval, startTime, QDate::currentDate()),
                                   error)) {
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
