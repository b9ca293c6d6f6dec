#pragma once
// The schedule dialog: the kind of a task's scheduled run (daily, weekly,
// monthly), its start time and interval or days, with a line that describes the
// choice in words. The task options dialog opens it and, on OK, registers the
// run (ScheduleTaskUnit) and keeps the description with the task. Its texts are
// its own, not taken from the language file.

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTimeEdit;

namespace tandemora {

class TScheduleManagerForm : public QDialog {
    Q_OBJECT
public:
    explicit TScheduleManagerForm(QWidget* parent = nullptr);

    // Daily, start time now, every 1 day; the stored schedule is not read back.
    void FormShow();
    // A new kind starts from its defaults: start time now, interval or day 1, and
    // for Weekly only Monday ticked.
    void comScheduleTaskChange(int index);
    // Puts the description of the current choice into abScheduleTaskName.
    void UpdateDescription();

    QLabel* Image1 = nullptr;
    QLabel* abScheduleTaskName = nullptr;
    QLabel* lbScheduleTask = nullptr;
    QComboBox* comScheduleTask = nullptr;
    QLabel* lbStartTime = nullptr;
    QTimeEdit* dtpStartTime = nullptr;

    QGroupBox* DailyGroup = nullptr;
    QSpinBox* seEveryOfDaily = nullptr;

    QGroupBox* WeeklyGroup = nullptr;
    QSpinBox* seEveryOfWeekly = nullptr;
    QCheckBox* CheckBoxMon = nullptr;
    QCheckBox* CheckBoxTue = nullptr;
    QCheckBox* CheckBoxWed = nullptr;
    QCheckBox* CheckBoxThu = nullptr;
    QCheckBox* CheckBoxFri = nullptr;
    QCheckBox* CheckBoxSat = nullptr;
    QCheckBox* CheckBoxSun = nullptr;

    QGroupBox* MonthlyGroup = nullptr;
    QSpinBox* seEveryOfMonthly = nullptr;

    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QGroupBox* BuildDailyGroup();
    QGroupBox* BuildWeeklyGroup();
    QGroupBox* BuildMonthlyGroup();
    // A spin value out of its range is pulled back to the nearer end.
    void SpinChanged(QSpinBox* spin, int low, int high);
    void ShowGroup(int index);
    void CentreOnMainWindow();
};

} // namespace tandemora
