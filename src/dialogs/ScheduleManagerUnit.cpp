#include "dialogs/ScheduleManagerUnit.h"

#include "ui/UElideLabel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QShowEvent>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace tandemora {

namespace {

// The ranges of the three spin boxes. The boxes themselves take any number a
// person types, so that a value out of range can be pulled back to the nearer
// end instead of being refused key by key.
constexpr int kDailyMax = 365;
constexpr int kWeeklyMax = 56;
constexpr int kMonthlyMax = 31;
constexpr int kTypedMax = 9999;

QSpinBox* NewSpin(QWidget* parent) {
    auto* spin = new QSpinBox(parent);
    spin->setRange(0, kTypedMax);
    spin->setValue(1);
    return spin;
}

// The locale's short time format without its seconds: cron starts a run on a
// whole minute, so a second could only be chosen to be ignored.
QString HoursAndMinutes(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::ShortFormat);
    // Seconds and the separator before them ("HH:mm:ss" -> "HH:mm").
    format.remove(QRegularExpression("[^A-Za-z' ]?s{1,2}"));
    return format.trimmed();
}

// The current time of day, to the minute.
QTime ThisMinute() {
    const QTime now = QTime::currentTime();
    return QTime(now.hour(), now.minute());
}

// A row "before [spin] after" of a group.
void AddSpinRow(QVBoxLayout* layout, QWidget* group, const char* before, QSpinBox* spin, const char* after) {
    auto* row = new QHBoxLayout();
    row->addWidget(new QLabel(before, group));
    row->addWidget(spin);
    row->addWidget(new QLabel(after, group));
    row->addStretch(1);
    layout->addLayout(row);
}

} // namespace

TScheduleManagerForm::TScheduleManagerForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Schedule Option");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    Image1 = new QLabel(this);
    Image1->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    abScheduleTaskName = new QLabel(this);
    abScheduleTaskName->setWordWrap(true);
    // Room for the longest description (every day of the week, a long date), so
    // the whole text shows and the dialog keeps its size whatever is chosen.
    abScheduleTaskName->setMinimumWidth(320);
    abScheduleTaskName->setMinimumHeight(3 * abScheduleTaskName->fontMetrics().lineSpacing());
    abScheduleTaskName->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lbScheduleTask = new QLabel("Schedule Task:", this);
    comScheduleTask = new QComboBox(this);
    comScheduleTask->addItems({"Daily", "Weekly", "Monthly"});
    lbScheduleTask->setBuddy(comScheduleTask);
    lbStartTime = new QLabel("Start time:", this);
    dtpStartTime = new QTimeEdit(this);
    dtpStartTime->setDisplayFormat(HoursAndMinutes(QLocale()));
    lbStartTime->setBuddy(dtpStartTime);

    DailyGroup = BuildDailyGroup();
    WeeklyGroup = BuildWeeklyGroup();
    MonthlyGroup = BuildMonthlyGroup();

    BitBtn1 = new QPushButton("&OK", this);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton("&Cancel", this);

    auto* top = new QHBoxLayout();
    top->addWidget(Image1, 0, Qt::AlignTop);
    top->addWidget(abScheduleTaskName, 1);
    auto* choice = new QGridLayout();
    choice->addWidget(lbScheduleTask, 0, 0);
    choice->addWidget(comScheduleTask, 0, 1);
    choice->addWidget(lbStartTime, 0, 2);
    choice->addWidget(dtpStartTime, 0, 3);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(choice);
    // One group shows at a time, all in one place that has the room of the
    // largest, so the dialog keeps its size and its buttons when the kind changes.
    auto* groups = new QWidget(this);
    auto* place = new QGridLayout(groups);
    place->setContentsMargins(0, 0, 0, 0);
    QSize room;
    for (QGroupBox* group : {DailyGroup, WeeklyGroup, MonthlyGroup}) {
        place->addWidget(group, 0, 0);
        room = room.expandedTo(group->sizeHint());
    }
    groups->setMinimumSize(room);
    layout->addWidget(groups);
    layout->addLayout(buttons);
    // A fixed border: the dialog takes the size of what it shows.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(comScheduleTask, &QComboBox::currentIndexChanged, this,
            &TScheduleManagerForm::comScheduleTaskChange);
    connect(dtpStartTime, &QTimeEdit::timeChanged, this, &TScheduleManagerForm::UpdateDescription);
    connect(seEveryOfDaily, &QSpinBox::valueChanged, this,
            [this] { SpinChanged(seEveryOfDaily, 1, kDailyMax); });
    connect(seEveryOfWeekly, &QSpinBox::valueChanged, this,
            [this] { SpinChanged(seEveryOfWeekly, 1, kWeeklyMax); });
    connect(seEveryOfMonthly, &QSpinBox::valueChanged, this,
            [this] { SpinChanged(seEveryOfMonthly, 1, kMonthlyMax); });
    for (QCheckBox* day :
         {CheckBoxMon, CheckBoxTue, CheckBoxWed, CheckBoxThu, CheckBoxFri, CheckBoxSat, CheckBoxSun}) {
        connect(day, &QCheckBox::clicked, this, &TScheduleManagerForm::UpdateDescription);
    }
    connect(BitBtn1, &QPushButton::clicked, this, &TScheduleManagerForm::accept);
    connect(BitBtn2, &QPushButton::clicked, this, &TScheduleManagerForm::reject);
}

QGroupBox* TScheduleManagerForm::BuildDailyGroup() {
    auto* group = new QGroupBox("Schedule Task Daily", this);
    auto* layout = new QVBoxLayout(group);
    seEveryOfDaily = NewSpin(group);
    AddSpinRow(layout, group, "Every", seEveryOfDaily, "day(s)");
    return group;
}

QGroupBox* TScheduleManagerForm::BuildWeeklyGroup() {
    auto* group = new QGroupBox("Schedule Task Weekly", this);
    auto* layout = new QVBoxLayout(group);
    seEveryOfWeekly = NewSpin(group);
    AddSpinRow(layout, group, "Every", seEveryOfWeekly, "week(s)  on:");
    auto* days = new QGridLayout();
    QCheckBox** boxes[] = {&CheckBoxMon, &CheckBoxTue, &CheckBoxWed, &CheckBoxThu,
                           &CheckBoxFri, &CheckBoxSat, &CheckBoxSun};
    const char* names[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (int i = 0; i < 7; ++i) {
        *boxes[i] = new QCheckBox(names[i], group);
        days->addWidget(*boxes[i], i / 4, i % 4);
    }
    layout->addLayout(days);
    return group;
}

QGroupBox* TScheduleManagerForm::BuildMonthlyGroup() {
    auto* group = new QGroupBox("Schedule Task Monthly", this);
    auto* layout = new QVBoxLayout(group);
    seEveryOfMonthly = NewSpin(group);
    AddSpinRow(layout, group, "Day", seEveryOfMonthly, "of the month(s)");
    return group;
}

void TScheduleManagerForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Coming back from being minimised keeps the choice.
    if (event->spontaneous()) {
        return;
    }
    FormShow();
    CentreOnMainWindow();
    KeepOnScreen(this);
}

void TScheduleManagerForm::FormShow() {
    {
        const QSignalBlocker quiet(comScheduleTask);
        comScheduleTask->setCurrentIndex(0);
    }
    {
        const QSignalBlocker quiet(dtpStartTime);
        dtpStartTime->setTime(ThisMinute());
    }
    {
        const QSignalBlocker quiet(seEveryOfDaily);
        seEveryOfDaily->setValue(1);
    }
    ShowGroup(0);
    UpdateDescription();
}

void TScheduleManagerForm::comScheduleTaskChange(int index) {
    {
        const QSignalBlocker quiet(dtpStartTime);
        dtpStartTime->setTime(ThisMinute());
    }
    QSpinBox* spins[] = {seEveryOfDaily, seEveryOfWeekly, seEveryOfMonthly};
    if (index >= 0 && index < 3) {
        const QSignalBlocker quiet(spins[index]);
        spins[index]->setValue(1);
    }
    if (index == 1) {
        CheckBoxMon->setChecked(true);
        for (QCheckBox* day :
             {CheckBoxTue, CheckBoxWed, CheckBoxThu, CheckBoxFri, CheckBoxSat, CheckBoxSun}) {
            day->setChecked(false);
        }
    }
    ShowGroup(index);
    UpdateDescription();
}

void TScheduleManagerForm::ShowGroup(int index) {
    DailyGroup->setVisible(index == 0);
    WeeklyGroup->setVisible(index == 1);
    MonthlyGroup->setVisible(index == 2);
}

void TScheduleManagerForm::SpinChanged(QSpinBox* spin, int low, int high) {
    const int value = spin->value();
    if (value < low || value > high) {
        const QSignalBlocker quiet(spin);
        spin->setValue(value < low ? low : high);
    }
    UpdateDescription();
}

void TScheduleManagerForm::UpdateDescription() {
    const QLocale locale;
    const QString time = locale.toString(dtpStartTime->time(), HoursAndMinutes(locale));
    const QString date = locale.toString(QDate::currentDate(), QLocale::ShortFormat);
    QString text;
    switch (comScheduleTask->currentIndex()) {
    case 0: {
        const int interval = seEveryOfDaily->value();
        text = interval == 1 ? QString("At %1 every day, starting %2").arg(time, date)
                             : QString("At %1 every %2 days, starting %3").arg(time).arg(interval).arg(date);
        break;
    }
    case 1: {
        QString days;
        const std::pair<QCheckBox*, const char*> boxes[] = {
            {CheckBoxMon, "Mon"}, {CheckBoxTue, "Tue"}, {CheckBoxWed, "Wed"}, {CheckBoxThu, "Thu"},
            {CheckBoxFri, "Fri"}, {CheckBoxSat, "Sat"}, {CheckBoxSun, "Sun"},
        };
        for (const auto& [box, name] : boxes) {
            if (box->isChecked()) {
                days += (days.isEmpty() ? "" : ",") + QString(name);
            }
        }
        const int interval = seEveryOfWeekly->value();
        text = interval == 1 ? QString("At %1 every %2 of every week, starting %3").arg(time, days, date)
                             : QString("At %1 every %2 of every %3 weeks, starting %4")
                                   .arg(time, days)
                                   .arg(interval)
                                   .arg(date);
        break;
    }
    case 2:
        text = QString("At %1 on day %2 of every month, starting %3")
                   .arg(time)
                   .arg(seEveryOfMonthly->value())
                   .arg(date);
        break;
    default:
        break;
    }
    abScheduleTaskName->setText(text);
}

void TScheduleManagerForm::CentreOnMainWindow() {
    QWidget* over = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(widget) != nullptr && widget->isVisible()) {
            over = widget;
            break;
        }
    }
    if (over == nullptr && parentWidget() != nullptr) {
        over = parentWidget()->window();
    }
    if (over != nullptr) {
        adjustSize();
        move(over->frameGeometry().center() - rect().center());
    }
}

} // namespace tandemora
