#pragma once
// Scheduled runs of tasks for the windows: registers, finds, renames and deletes
// the work item that starts this program with a task's name (kept in the user's
// crontab by platform/Scheduler), and tells the user in a message box when that
// cannot be done.

#include "platform/Scheduler.h"

#include <QDate>
#include <QTime>
#include <QTimeZone>
#include <cstdint>
#include <string>

namespace tandemora {

// The days ticked for a weekly schedule, Monday first, Sunday last: 1 for a
// ticked day, 0 otherwise. The caller fills it before a weekly CreateScheduledTask.
extern int32_t WeekDayChecks[7];

// 0 when work items can be kept. Otherwise the user is told why not (cron is
// missing) and the result is -1; the caller then stops what it was doing.
int32_t InitTaskScheduler();

// The work item that runs task name from the program folder: kind 0 daily every
// interval days, 1 weekly every interval weeks on the WeekDayChecks days (Monday
// when none is ticked), 2 monthly on day interval; any other kind once, on
// today at the start time. today is the begin date.
TWorkItem MakeScheduledTask(const std::string& name, int32_t kind, int32_t interval, const QTime& startTime,
                            const QDate& today);

// Moves a trigger made in the program's own time zone (TZ) into cronZone, where
// cron reads it: the start time, the begin date, and the week days or the day
// of the month when the move crosses midnight. An invalid zone (the system's
// could not be told) leaves the trigger as it is. The shift is the one of the
// begin date; a zone pair whose summer times differ drifts by their difference
// for part of the year. False, with error set, for a monthly day that would
// leave the month (day 1 moving back, day 31 moving on).
bool MoveTriggerToZone(TTaskTrigger& trigger, const QTimeZone& cronZone, std::string& error);

// The zone cron reads its lines in (SystemTimeZoneName), invalid when unknown.
QTimeZone CronTimeZone();

// Registers the work item of MakeScheduledTask (begun today, moved into cron's
// zone) under name, replacing the task's earlier one in the same step. False after a message box
// when it was not registered; an earlier work item then stays as it was.
bool CreateScheduledTask(const std::string& name, int32_t kind, int32_t interval, const QTime& startTime);

// Whether a work item of exactly that name exists. A crontab that cannot be
// read is reported in a message box and gives false.
bool FindScheduledTask(const std::string& text);

// Removes the work item of that name (nothing to do when there is none, nor
// when cron is not installed, so nothing can be scheduled). 0 on success; -1
// after a message box otherwise.
int32_t DeleteScheduledTask(const std::string& name);

// Moves the work item of oldName to newName, so the run keeps starting the task
// after the task was renamed. 0 on success or when there is nothing to move
// (also when cron is not installed, so nothing can be scheduled); -1 after a
// message box otherwise.
int32_t RenameScheduledTask(const std::string& oldName, const std::string& newName);

} // namespace tandemora
