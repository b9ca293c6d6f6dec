// The schedule dialog and the scheduled runs of the task options dialog, driven
// as a person drives them: a kind chosen, days ticked, intervals typed, OK and
// Cancel pressed; then the crontab and the task list checked. Every test keeps
// its work items in a crontab file of its own (or behind a stand-in "crontab"
// command), never in the user's crontab.

#include "UiFixture.h"

#include "dialogs/ScheduleManagerUnit.h"
#include "dialogs/ScheduleTaskUnit.h"
#include "dialogs/UFTaskConfig.h"
#include "platform/Scheduler.h"

#include <QTimeEdit>
#include <QTimeZone>

namespace uitest {
namespace {

using tandemora::TFTaskConfig;
using tandemora::TScheduleManagerForm;
using tandemora::TScheduler;
using tandemora::TSyncTask;
using tandemora::TWorkItem;

class ScheduleTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        oldLocale = QLocale();
        // Times and dates read as "09:30" and "31/12/2024".
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
        tandemora::SetCrontabFile(crontab);
    }

    void TearDown() override {
        tandemora::SetCrontabFile("");
        QLocale::setDefault(oldLocale);
        DialogTest::TearDown();
    }

    std::unique_ptr<TScheduleManagerForm> OpenForm() {
        auto form = std::make_unique<TScheduleManagerForm>();
        form->show();
        QCoreApplication::processEvents();
        return form;
    }

    static void ChooseKind(TScheduleManagerForm* form, int index) {
        form->comScheduleTask->setFocus();
        while (form->comScheduleTask->currentIndex() < index) {
            QTest::keyClick(form->comScheduleTask, Qt::Key_Down);
        }
        while (form->comScheduleTask->currentIndex() > index) {
            QTest::keyClick(form->comScheduleTask, Qt::Key_Up);
        }
    }

    static void TypeSpin(QSpinBox* spin, const QString& text) {
        spin->setFocus();
        QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(spin, text);
    }

    static QCheckBox* Day(TScheduleManagerForm* form, int index) {
        QCheckBox* days[] = {form->CheckBoxMon, form->CheckBoxTue, form->CheckBoxWed, form->CheckBoxThu,
                             form->CheckBoxFri, form->CheckBoxSat, form->CheckBoxSun};
        return days[index];
    }

    // A weekly choice on Tuesday and Thursday every 2 weeks at 22:15, then OK.
    static void ChooseTueThuEvery2Weeks(TScheduleManagerForm* form) {
        ChooseKind(form, 1);
        QTest::mouseClick(form->CheckBoxMon, Qt::LeftButton);
        QTest::mouseClick(form->CheckBoxTue, Qt::LeftButton);
        QTest::mouseClick(form->CheckBoxThu, Qt::LeftButton);
        TypeSpin(form->seEveryOfWeekly, "2");
        form->dtpStartTime->setTime(QTime(22, 15));
        QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    }

    // The description without the date it starts on, which is today's.
    static QString WithoutDate(const QString& description) {
        static const QRegularExpression date(", starting \\d\\d/\\d\\d/\\d\\d\\d\\d$");
        EXPECT_TRUE(date.match(description).hasMatch()) << description.toStdString();
        QString text = description;
        return text.remove(date);
    }

    std::vector<TWorkItem> Items() {
        std::vector<TWorkItem> items;
        std::string error;
        EXPECT_TRUE(TScheduler(crontab).ListWorkItems(items, error)) << error;
        return items;
    }

    // The line of a work item as the scheduler writes it.
    TWorkItem OldItem(const std::string& name) {
        TWorkItem item;
        item.Name = name;
        item.Parameters = name;
        item.ApplicationName = program / "tandemora";
        item.WorkingDirectory = program.path() + "/";
        item.Trigger.TriggerType = tandemora::TASK_TIME_TRIGGER_DAILY;
        item.Trigger.DaysInterval = 1;
        item.Trigger.wStartHour = 5;
        return item;
    }

    TempDir cron;
    std::string crontab = cron / "crontab";
    QLocale oldLocale;
};

TEST_F(ScheduleTest, TheDescriptionFollowsTheChoice) {
    struct Case {
        int kind;
        QString typed;          // into the kind's spin box; empty for none
        std::vector<int> click; // day boxes clicked, 0 = Monday
        int value;              // the spin box's value afterwards
        QString description;    // without its date
    };
    const Case cases[] = {
        {0, "400", {}, 365, "At 09:30 every 365 days"},
        {0, "0", {}, 1, "At 09:30 every day"},
        {1, "", {0}, 1, "At 09:30 every  of every week"},
        {1, "60", {6, 2}, 56, "At 09:30 every Mon,Wed,Sun of every 56 weeks"},
        {2, "45", {}, 31, "At 09:30 on day 31 of every month"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description.toStdString());
        auto form = OpenForm();
        ChooseKind(form.get(), c.kind);
        form->dtpStartTime->setTime(QTime(9, 30));
        for (int day : c.click) {
            QTest::mouseClick(Day(form.get(), day), Qt::LeftButton);
        }
        QSpinBox* spins[] = {form->seEveryOfDaily, form->seEveryOfWeekly, form->seEveryOfMonthly};
        if (!c.typed.isEmpty()) {
            TypeSpin(spins[c.kind], c.typed);
        }
        EXPECT_EQ(spins[c.kind]->value(), c.value);
        EXPECT_EQ(WithoutDate(form->abScheduleTaskName->text()), c.description);
    }
}

// The start time is chosen to the minute (cron ignores seconds), whatever the
// locale's own time format, and the dialog keeps its size whatever kind is
// chosen, with the whole description on show.
TEST_F(ScheduleTest, HoursAndMinutesOnlyAndASteadySize) {
    QLocale::setDefault(QLocale::c());
    ASSERT_TRUE(QLocale().timeFormat(QLocale::ShortFormat).contains("ss"));
    auto form = OpenForm();
    EXPECT_FALSE(form->dtpStartTime->displayFormat().contains('s'));
    EXPECT_EQ(form->dtpStartTime->time().second(), 0);
    const QSize size = form->size();
    for (int kind : {1, 2, 0, 1}) {
        ChooseKind(form.get(), kind);
        for (QCheckBox* day : {form->CheckBoxTue, form->CheckBoxWed, form->CheckBoxThu, form->CheckBoxFri,
                               form->CheckBoxSat, form->CheckBoxSun}) {
            day->setChecked(true);
        }
        form->UpdateDescription();
        QCoreApplication::processEvents();
        EXPECT_EQ(form->size(), size) << kind;
        QLabel* text = form->abScheduleTaskName;
        EXPECT_GE(text->height(), text->heightForWidth(text->width())) << text->text().toStdString();
        EXPECT_FALSE(text->text().contains(QRegularExpression("\\d\\d:\\d\\d:\\d\\d")))
            << text->text().toStdString();
    }
}

TEST_F(ScheduleTest, TheScheduleButtonRegistersTheRunAndItsDescription) {
    const std::string others = "MAILTO=me\n0 1 * * * echo mine %\n";
    WriteFile(crontab, others);
    const std::string name = "Nightly 100% 'safe' $HOME `x`";
    auto task = Saved(name, [](TSyncTask& t) { t.TSanalyze = 1; });
    auto dialog = OpenTaskOptions(task.get(), 2);
    WhenModal<TScheduleManagerForm>(ChooseTueThuEvery2Weeks);
    Click(dialog->bt_taskconfig);
    std::vector<TWorkItem> items = Items();
    ASSERT_EQ(items.size(), 1u);
    const TWorkItem& item = items[0];
    EXPECT_EQ(item.Parameters, name);
    EXPECT_EQ(item.Trigger.TriggerType, tandemora::TASK_TIME_TRIGGER_WEEKLY);
    EXPECT_EQ(item.Trigger.rgfDaysOfTheWeek, 0x14);
    EXPECT_EQ(item.Trigger.WeeksInterval, 2);
    EXPECT_EQ(item.Trigger.wStartHour, 22);
    EXPECT_EQ(item.Trigger.wStartMinute, 15);
    EXPECT_EQ(ReadFile(crontab).substr(0, others.size()), others);
    const QString description = dialog->Edit_task->text();
    EXPECT_EQ(WithoutDate(description), "At 22:15 every Tue,Thu of every 2 weeks");
    EXPECT_EQ(dialog->Edit_task->toolTip(), description); // read whole as the hint

    // Cancel in the schedule dialog changes nothing; OK keeps the description with the task.
    const std::string before = ReadFile(crontab);
    WhenModal<TScheduleManagerForm>([](TScheduleManagerForm* form) {
        ChooseKind(form, 2);
        QTest::mouseClick(form->BitBtn2, Qt::LeftButton);
    });
    Click(dialog->bt_taskconfig);
    EXPECT_EQ(ReadFile(crontab), before);
    EXPECT_EQ(dialog->Edit_task->text(), description);
    Click(dialog->BitBtn_ok);
    ASSERT_EQ(ListedTasks().size(), 1u);
    EXPECT_EQ(ListedTasks()[0]->TaskScheduler, description.toStdString());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ScheduleTest, ClearingTheAnalysisBoxDeletesTheRunAtOnce) {
    std::string error;
    WriteFile(crontab, "0 1 * * * echo mine\n");
    ASSERT_TRUE(TScheduler(crontab).SaveWorkItem(OldItem("Docs"), error)) << error;
    ASSERT_TRUE(TScheduler(crontab).SaveWorkItem(OldItem("Docs 2"), error)) << error;
    auto task = Saved("Docs", [](TSyncTask& t) {
        t.TSanalyze = 1;
        t.TaskScheduler = "At 05:00 every day, starting 01/01/2024";
    });
    auto dialog = OpenTaskOptions(task.get(), 2);
    Click(dialog->cb_anataskschedule);
    std::vector<TWorkItem> items = Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Name, "Docs 2"); // a name that only begins alike is another task's
    EXPECT_EQ(ReadFile(crontab).substr(0, 20), "0 1 * * * echo mine\n");

    // Cancel does not bring the run back.
    Click(dialog->BitBtn_Cancel);
    EXPECT_EQ(Items().size(), 1u);
    EXPECT_TRUE(boxes.empty());
}

// A run scheduled in the task options stays in the crontab when the options
// are then cancelled: the task's switches say nothing of it, yet a rename takes
// it along and the deletion of the task removes it.
TEST_F(ScheduleTest, ARunScheduledThenCancelledFollowsItsTask) {
    Saved("Docs");
    ASSERT_TRUE(Start());
    auto scheduleThenCancel = [this](TFTaskConfig* dialog) {
        ClickTab(dialog->pc1, 2);
        Click(dialog->cb_anataskschedule);
        WhenModal<TScheduleManagerForm>(
            [](TScheduleManagerForm* form) { QTest::mouseClick(form->BitBtn1, Qt::LeftButton); });
        Click(dialog->bt_taskconfig);
        Click(dialog->BitBtn_Cancel);
    };
    WhenModal<TFTaskConfig>(scheduleThenCancel);
    main->ActiveTaskWindow()->bt_taskconfigClick();
    ASSERT_EQ(Items().size(), 1u);
    ASSERT_EQ(main->ActiveTaskWindow()->Task->TSanalyze, 0);

    WhenModal<TFTaskConfig>([this](TFTaskConfig* dialog) {
        ClickTab(dialog->pc1, 0);
        Type(dialog->edit_taskname, "Papers");
        Click(dialog->BitBtn_ok);
    });
    main->ActiveTaskWindow()->bt_taskconfigClick();
    ASSERT_EQ(Items().size(), 1u);
    EXPECT_EQ(Items()[0].Name, "Papers");

    main->Action_DeleteTask->trigger();
    EXPECT_TRUE(main->TaskWindows().empty());
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(boxes.size(), 1u); // the question only
}

// A run scheduled, then the options cancelled, leaves the task's switches off;
// ticking the box and clearing it again still removes that run.
TEST_F(ScheduleTest, ClearingTheBoxRemovesARunTheTaskDoesNotShow) {
    Saved("Docs");
    ASSERT_TRUE(Start());
    WhenModal<TFTaskConfig>([](TFTaskConfig* dialog) {
        ClickTab(dialog->pc1, 2);
        Click(dialog->cb_anataskschedule);
        WhenModal<TScheduleManagerForm>(
            [](TScheduleManagerForm* form) { QTest::mouseClick(form->BitBtn1, Qt::LeftButton); });
        Click(dialog->bt_taskconfig);
        Click(dialog->BitBtn_Cancel);
    });
    main->ActiveTaskWindow()->bt_taskconfigClick();
    ASSERT_EQ(Items().size(), 1u);
    ASSERT_EQ(ListedTasks()[0]->TSanalyze, 0);
    ASSERT_EQ(ListedTasks()[0]->TaskScheduler, "");

    WhenModal<TFTaskConfig>([](TFTaskConfig* dialog) {
        ClickTab(dialog->pc1, 2);
        EXPECT_FALSE(dialog->cb_anataskschedule->isChecked());
        EXPECT_TRUE(dialog->Edit_task->text().isEmpty());
        Click(dialog->cb_anataskschedule);
        Click(dialog->cb_anataskschedule);
        Click(dialog->BitBtn_Cancel);
    });
    main->ActiveTaskWindow()->bt_taskconfigClick();
    EXPECT_TRUE(Items().empty());
    EXPECT_TRUE(boxes.empty());
}

// Cron runs in the system's zone, not in the TZ the user set for themselves: the
// line carries the chosen moment in cron's zone, the description the time the
// user chose.
TEST_F(ScheduleTest, TheRunFiresAtTheChosenTimeInTheUsersZone) {
    struct Case {
        const char* Zone; // the user's TZ; cron's zone is UTC
        int Kind;
        int Interval;
        uint16_t Days; // week days, or the day of the month
        QDate Today;
        QTime Chosen;
        uint16_t Hour, Minute, BeginDay, CronDays; // as written for cron; a month day 0: refused
    };
    const Case cases[] = {
        {"Asia/Tokyo", 0, 1, 0, QDate(2024, 3, 10), QTime(9, 30), 0, 30, 10, 0},
        {"Asia/Tokyo", 1, 1, 0x2, QDate(2024, 3, 11), QTime(1, 0), 16, 0, 10, 0x1},      // Mon -> Sun
        {"America/New_York", 1, 2, 0x40, QDate(2024, 7, 6), QTime(22, 0), 2, 0, 7, 0x1}, // Sat -> Sun
        {"America/New_York", 1, 1, 0x40, QDate(2024, 1, 6), QTime(18, 59), 23, 59, 6,
         0x40}, // winter, same day
        {"Asia/Tokyo", 2, 15, 15, QDate(2024, 3, 11), QTime(1, 0), 16, 0, 10, 14},
        {"Asia/Tokyo", 2, 1, 1, QDate(2024, 3, 11), QTime(1, 0), 0, 0, 0, 0}, // would be the month's last day
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Zone) + " kind " + std::to_string(c.Kind));
        testsupport::ScopedEnv tzEnv("TZ", std::string(c.Zone));
        for (int i = 0; i < 7; ++i) {
            tandemora::WeekDayChecks[i] = (c.Days >> ((i + 1) % 7)) & 1;
        }
        TWorkItem item = tandemora::MakeScheduledTask("Docs", c.Kind, c.Interval, c.Chosen, c.Today);
        std::string error;
        const bool moved = tandemora::MoveTriggerToZone(item.Trigger, QTimeZone("UTC"), error);
        ASSERT_EQ(moved, c.Kind != 2 || c.CronDays != 0) << error;
        if (!moved) {
            EXPECT_NE(error.find("another day of the month"), std::string::npos) << error;
            continue;
        }
        const tandemora::TTaskTrigger& t = item.Trigger;
        EXPECT_EQ(t.wStartHour, c.Hour);
        EXPECT_EQ(t.wStartMinute, c.Minute);
        EXPECT_EQ(t.wBeginDay, c.BeginDay);
        if (c.Kind == 1) {
            EXPECT_EQ(t.rgfDaysOfTheWeek, c.CronDays);
        } else if (c.Kind == 2) {
            EXPECT_EQ(t.rgfDays, 1u << (c.CronDays - 1));
        }
    }

    // Through the dialogs: the crontab line holds cron's time, the description the chosen one.
    testsupport::ScopedEnv tzEnv("TZ", std::string("Asia/Tokyo"));
    auto task = Saved("Docs", [](TSyncTask& t) { t.TSanalyze = 1; });
    auto dialog = OpenTaskOptions(task.get(), 2);
    WhenModal<TScheduleManagerForm>([](TScheduleManagerForm* form) {
        form->dtpStartTime->setTime(QTime(9, 30));
        QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    });
    Click(dialog->bt_taskconfig);
    std::vector<TWorkItem> items = Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Trigger.wStartHour, 0);
    EXPECT_EQ(items[0].Trigger.wStartMinute, 30);
    EXPECT_EQ(WithoutDate(dialog->Edit_task->text()), "At 09:30 every day");
}

// A run that cannot be registered is told and changes nothing: a new task not
// yet saved, no cron on the machine, a crontab command that refuses the table
// (the run registered before stays, and so does its description).
TEST_F(ScheduleTest, ARunThatCannotBeRegisteredIsToldAndChangesNothing) {
    const std::string store = cron / "spool";
    const std::string old = "At 05:00 every day, starting 01/01/2024";
    std::string error;
    const std::string oldLine = TScheduler::CronLine(OldItem("Docs"), error) + "\n";
    const struct {
        const char* Name;
        const char* Crontab; // the crontab command's script; nullptr: none on the PATH
        bool Saved;          // the task was saved before
        const char* Says;
    } cases[] = {
        {"a new task", "", false, "Please save the task first"},
        {"no cron", nullptr, true, "cron"},
        {"crontab refuses",
         "#!/bin/sh\nif [ \"$1\" = -l ]; then exec cat \"$STORE\"; fi\n"
         "echo \"errors in crontab file, can't install.\" >&2\nexit 1\n",
         true, "can't install"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir bin;
        boxes.clear();
        testsupport::ScopedEnv storeEnv("STORE", store);
        testsupport::ScopedEnv path("PATH", bin.path() + (c.Crontab == nullptr ? "" : ":/usr/bin:/bin"));
        if (c.Crontab == nullptr || *c.Crontab != '\0') {
            tandemora::SetCrontabFile("");
            WriteFile(store, oldLine);
        }
        if (c.Crontab != nullptr && *c.Crontab != '\0') {
            WriteFile(bin / "crontab", c.Crontab);
            chmod((bin / "crontab").c_str(), 0755);
        }
        auto task = c.Saved ? Saved("Docs",
                                    [&](TSyncTask& t) {
                                        t.TSanalyze = 1;
                                        t.TaskScheduler = old;
                                    })
                            : nullptr;
        auto dialog = OpenTaskOptions(task.get(), 2);
        if (!c.Saved) {
            Click(dialog->cb_anataskschedule);
        }
        WhenModal<TScheduleManagerForm>(ChooseTueThuEvery2Weeks);
        Click(dialog->bt_taskconfig);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].Text.contains(c.Says)) << boxes[0].Text.toStdString();
        EXPECT_EQ(dialog->Edit_task->text().toStdString(), c.Saved ? old : "");
        EXPECT_FALSE(testsupport::Exists(crontab));
        EXPECT_EQ(ReadFile(store), c.Saved ? oldLine : "");
        if (c.Crontab == nullptr) { // a rename needs no scheduler when there is none to keep runs
            ClickTab(dialog->pc1, 0);
            Type(dialog->edit_taskname, "Papers");
            Click(dialog->BitBtn_ok);
            EXPECT_EQ(boxes.size(), 1u);
            EXPECT_EQ(ListedTasks()[0]->SyncName, "Papers");
        }
    }
}

} // namespace
} // namespace uitest
