#include "ui/UElideLabel.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

namespace tandemora {

TElideLabel::TElideLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void TElideLabel::ShowText(const QString& text) {
    setText(text);
    setToolTip(text);
}

bool TElideLabel::Elided() const {
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width();
}

// The height of one line; the width is whatever the layout gives.
QSize TElideLabel::sizeHint() const {
    const QSize full = QLabel::sizeHint();
    return QSize(std::min(full.width(), fontMetrics().averageCharWidth() * 20), full.height());
}

QSize TElideLabel::minimumSizeHint() const {
    return QSize(fontMetrics().averageCharWidth() * 4, QLabel::minimumSizeHint().height());
}

void TElideLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    const QRect area = contentsRect();
    // One line: a line break in a status text would otherwise be drawn as a box.
    QString line = text();
    line.replace('\n', ' ').replace('\r', ' ');
    const QString shown = fontMetrics().elidedText(line, Qt::ElideMiddle, area.width());
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()),
                          option.palette, isEnabled(), shown, foregroundRole());
}

void TElideLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit Clicked();
    }
}

void KeepOnScreen(QWidget* window) {
    QScreen* screen = window->screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    QRect frame = window->frameGeometry();
    // The frame beyond the client area (title bar, borders) counts too.
    const int extraWidth = frame.width() - window->width();
    const int extraHeight = frame.height() - window->height();
    if (frame.width() > area.width() || frame.height() > area.height()) {
        window->resize(std::min(window->width(), area.width() - extraWidth),
                       std::min(window->height(), area.height() - extraHeight));
        frame = window->frameGeometry();
    }
    const int left =
        std::clamp(frame.left(), area.left(), std::max(area.left(), area.right() - frame.width() + 1));
    const int top =
        std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() - frame.height() + 1));
    if (left != frame.left() || top != frame.top()) {
        window->move(left, top);
    }
}

} // namespace tandemora
