#include "ui/UButtonImages.h"

#include <QBitmap>
#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QPolygonF>
#include <functional>

namespace tandemora {

namespace {

// Colours that read on a light and on a dark button face alike.
const QColor kArrow(0x1E, 0x88, 0xE5);
const QColor kGlass(0xBB, 0xDE, 0xFB);
const QColor kRim(0x45, 0x5A, 0x64);
const QColor kHandle(0x6D, 0x4C, 0x41);
const QColor kSync(0x2E, 0x7D, 0x32);
const QColor kStop(0xD3, 0x2F, 0x2F);

constexpr QSize kGlyphSize{16, 16};

// One image at one and at two times its size. An image drawn on white loses
// its white to transparency; it is drawn without smoothing, so no pale fringe
// of half-white pixels is left around it on a dark button.
QIcon DrawIcon(QSize size, const std::function<void(QPainter&)>& paint, bool whiteTransparent = false) {
    QIcon icon;
    for (const int scale : {1, 2}) {
        QPixmap pixmap(size * scale);
        pixmap.fill(whiteTransparent ? QColor(Qt::white) : QColor(Qt::transparent));
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing, !whiteTransparent);
        painter.scale(scale, scale);
        paint(painter);
        painter.end();
        if (whiteTransparent) {
            pixmap.setMask(pixmap.createMaskFromColor(QColor(Qt::white)));
        }
        pixmap.setDevicePixelRatio(scale);
        icon.addPixmap(pixmap);
    }
    return icon;
}

// A horizontal arrow from x0 to x1 (its head at x1) on the line y.
void Arrow(QPainter& p, qreal x0, qreal x1, qreal y, qreal thickness, qreal head) {
    const qreal dir = x1 > x0 ? 1.0 : -1.0;
    p.setPen(QPen(kArrow, thickness, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(x0, y), QPointF(x1 - dir * head * 0.8, y));
    p.setPen(Qt::NoPen);
    p.setBrush(kArrow);
    p.drawPolygon(QPolygonF({{x1, y}, {x1 - dir * head, y - head * 0.7}, {x1 - dir * head, y + head * 0.7}}));
}

QIcon DirectionImage(int direction) {
    return DrawIcon(TButtonImages::kDirectionSize, [direction](QPainter& p) {
        switch (direction) {
        case 1:
            Arrow(p, 2, 22, 8, 2.4, 6);
            break;
        case 2:
            Arrow(p, 22, 2, 8, 2.4, 6);
            break;
        default:
            Arrow(p, 3, 21, 4.5, 1.6, 4.5);
            Arrow(p, 21, 3, 11.5, 1.6, 4.5);
            break;
        }
    });
}

} // namespace

TButtonImages::TButtonImages() {
    iml_button = {QIcon(), DirectionImage(0), DirectionImage(1), DirectionImage(2)};
}

// A magnifying glass.
QIcon TButtonImages::AnalyzeGlyph() {
    return DrawIcon(kGlyphSize, [](QPainter& p) {
        p.setPen(QPen(kHandle, 2.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10.2, 10.2), QPointF(14.3, 14.3));
        p.setPen(QPen(kRim, 1.6));
        p.setBrush(kGlass);
        p.drawEllipse(QPointF(6.5, 6.5), 4.6, 4.6);
    });
}

// Two arrows turning round one another.
QIcon TButtonImages::SyncGlyph() {
    return DrawIcon(
        kGlyphSize,
        [](QPainter& p) {
            p.setPen(QPen(kSync, 2.0, Qt::SolidLine, Qt::FlatCap));
            p.setBrush(Qt::NoBrush);
            const QRectF ring(3, 3, 10, 10);
            p.drawArc(ring, 20 * 16, 150 * 16);
            p.drawArc(ring, 200 * 16, 150 * 16);
            p.setPen(Qt::NoPen);
            p.setBrush(kSync);
            p.drawPolygon(QPolygonF({{0.5, 7.0}, {5.5, 7.0}, {3.0, 10.5}}));
            p.drawPolygon(QPolygonF({{10.5, 9.0}, {15.5, 9.0}, {13.0, 5.5}}));
        },
        true);
}

// A red disc with a white cross.
QIcon TButtonImages::CancelGlyph() {
    return DrawIcon(kGlyphSize, [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kStop);
        p.drawEllipse(QPointF(8, 8), 6.8, 6.8);
        p.setPen(QPen(Qt::white, 1.9, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5.4, 5.4), QPointF(10.6, 10.6));
        p.drawLine(QPointF(10.6, 5.4), QPointF(5.4, 10.6));
    });
}

} // namespace tandemora
