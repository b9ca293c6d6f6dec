#pragma once
// A one-line label whose text never sets the width of the window around it:
// a text longer than the label is shortened in the middle (a path keeps its
// beginning and its file name), and the whole text is the label's hint.
//
// Status lines, notices and copy progress can be as long as a path gets; a plain
// label would ask its layout for that width and push the window off the screen.

#include <QLabel>

namespace tandemora {

class TElideLabel : public QLabel {
    Q_OBJECT
public:
    explicit TElideLabel(QWidget* parent = nullptr);

    // Shows text (shortened when it does not fit) with the whole text as the hint.
    void ShowText(const QString& text);
    // True when the label has too little room for its whole text.
    bool Elided() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // A left click on the label.
    void Clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// Moves a window, once it has its size, so that all of it lies on the screen it
// is shown on (a dialog centred on a wide window could start past an edge).
void KeepOnScreen(QWidget* window);

} // namespace tandemora
