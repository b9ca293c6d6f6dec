#pragma once
// The program's hint window. Every hint a control carries is shown as a small
// balloon with an information icon and the title "Tandemora" in place of Qt's
// plain tooltip: an application-wide event filter takes each tooltip request
// and hands it to ActivateHint, so the plain tooltip never appears.

#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

class QLabel;
class QTimer;

namespace tandemora {

inline constexpr const char* kHintTitle = "Tandemora";

class THintWin : public QWidget {
    Q_OBJECT
public:
    THintWin();
    ~THintWin() override;

    // Takes over the tooltips of the whole application until destroyed.
    void Install();

    // A hint is due for the control under the mouse pointer; rect is the area
    // (global coordinates) the balloon points at. A new balloon tool is made only
    // when the control differs from the last one; the same control shows its
    // balloon again.
    void ActivateHint(QWidget* underPointer, const QRect& rect, const QString& hintText);

    // The control under the pointer when a hint was last activated.
    QPointer<QWidget> LastHintWnd;

    QString Title() const;
    QString Text() const;
    QWidget* Target() const { return target_; }
    // How many balloon tools were made so far (one per change of control).
    int ToolCount() const { return toolCount_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowBalloonTip(QWidget* target, const QRect& rect, const QString& title, const QString& text);
    void PlaceNear(const QRect& rect);
    bool ShowItemHint(QWidget* viewport, const QPoint& pos);

    QLabel* icon_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* text_ = nullptr;
    QTimer* autoHide_ = nullptr;
    QPointer<QWidget> target_;
    QString hint_; // the hint as given
    int toolCount_ = 0;
    bool installed_ = false;
};

// Moves the mouse pointer to the centre of a control.
void CenterCursorOnControl(QWidget* control);

// Asks for the hint of a control as Qt does when the pointer rests on it.
void RequestHint(QWidget* control);

} // namespace tandemora
