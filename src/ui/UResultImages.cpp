#include "ui/UResultImages.h"

#include "model/UTResultRows.h"

#include <QColor>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

namespace tandemora {

namespace {

constexpr int kImageSize = 16;

// The colours of one palette. The dark set keeps every mark bright enough to
// stand out on a dark view and lets outlines turn light.
struct TImageColours {
    QColor Ink;
    QColor Paper;
    QColor Folder;
    QColor FolderEdge;
    QColor Arrow;
    QColor Same;
    QColor Conflict;
    QColor Error;
    QColor Muted;
    QColor OnMark; // the "!" and the cross drawn on a coloured mark
};

TImageColours ColoursFor(bool dark) {
    if (dark) {
        return {QColor(0xDA, 0xDA, 0xDA), QColor(0x2F, 0x34, 0x3B), QColor(0xE0, 0xB0, 0x40),
                QColor(0xF5, 0xD2, 0x7A), QColor(0x64, 0xB5, 0xF6), QColor(0x66, 0xBB, 0x6A),
                QColor(0xFF, 0xA7, 0x26), QColor(0xEF, 0x53, 0x50), QColor(0xBD, 0xBD, 0xBD),
                QColor(0x20, 0x20, 0x20)};
    }
    return {QColor(0x3C, 0x3C, 0x3C), QColor(0xFF, 0xFF, 0xFF), QColor(0xF2, 0xC1, 0x4E),
            QColor(0xB8, 0x86, 0x0B), QColor(0x15, 0x65, 0xC0), QColor(0x2E, 0x7D, 0x32),
            QColor(0xEF, 0x6C, 0x00), QColor(0xD3, 0x2F, 0x2F), QColor(0x75, 0x75, 0x75),
            QColor(0xFF, 0xFF, 0xFF)};
}

QPen Stroke(const QColor& colour, qreal width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A folder with its tab, in the 16 x 16 grid.
QPainterPath FolderPath(const QRectF& body) {
    QPainterPath path;
    const qreal tabWidth = body.width() * 0.42;
    path.moveTo(body.left(), body.top() + 2);
    path.lineTo(body.left(), body.bottom());
    path.lineTo(body.right(), body.bottom());
    path.lineTo(body.right(), body.top() + 2);
    path.lineTo(body.left() + tabWidth + 1.5, body.top() + 2);
    path.lineTo(body.left() + tabWidth, body.top());
    path.lineTo(body.left() + 1, body.top());
    path.closeSubpath();
    return path;
}

void DrawFolder(QPainter& p, const TImageColours& c, bool filled) {
    const QPainterPath path = FolderPath(QRectF(1.5, 3.0, 13.0, 10.5));
    p.setPen(Stroke(filled ? c.FolderEdge : c.Ink, 1.1));
    p.setBrush(filled ? QBrush(c.Folder) : QBrush(Qt::NoBrush));
    p.drawPath(path);
}

void DrawFile(QPainter& p, const TImageColours& c) {
    const QPolygonF page({{3.5, 1.5}, {9.5, 1.5}, {12.5, 4.5}, {12.5, 14.5}, {3.5, 14.5}});
    p.setPen(Stroke(c.Ink, 1.0));
    p.setBrush(c.Paper);
    p.drawPolygon(page);
    p.drawPolyline(QPolygonF({{9.5, 1.5}, {9.5, 4.5}, {12.5, 4.5}}));
}

// An arrow pointing right; the left-pointing one is drawn mirrored.
void DrawArrow(QPainter& p, const QColor& colour) {
    p.setPen(Stroke(colour, 2.2));
    p.drawLine(QPointF(2.5, 8), QPointF(10, 8));
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({{14.5, 8}, {8.5, 2.8}, {8.5, 13.2}}));
}

void DrawCross(QPainter& p, const QPointF& centre, qreal half, const QPen& pen) {
    p.setPen(pen);
    p.drawLine(centre + QPointF(-half, -half), centre + QPointF(half, half));
    p.drawLine(centre + QPointF(-half, half), centre + QPointF(half, -half));
}

// A deletion on the left: a cross beside a divider; the right one is mirrored.
void DrawDeleteLeft(QPainter& p, const TImageColours& c) {
    p.setPen(Stroke(c.Muted, 1.2));
    p.drawLine(QPointF(10.5, 2), QPointF(10.5, 14));
    DrawCross(p, QPointF(5.0, 8.0), 3.2, Stroke(c.Error, 2.2));
}

void DrawImage(QPainter& p, int index, const TImageColours& c) {
    switch (index) {
    case iiItem:
        p.setPen(Stroke(c.Muted, 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(8, 8), 3.0, 3.0);
        break;
    case iiSame:
        p.setPen(Qt::NoPen);
        p.setBrush(c.Same);
        p.drawRoundedRect(QRectF(2.5, 4.5, 11, 2.6), 1, 1);
        p.drawRoundedRect(QRectF(2.5, 8.9, 11, 2.6), 1, 1);
        break;
    case iiRtoL:
        p.translate(kImageSize, 0);
        p.scale(-1, 1);
        DrawArrow(p, c.Arrow);
        break;
    case iiLtoR:
        DrawArrow(p, c.Arrow);
        break;
    case iiFolderItems:
        DrawFolder(p, c, false);
        p.setPen(Qt::NoPen);
        p.setBrush(c.Ink);
        for (qreal x : {5.0, 8.0, 11.0}) {
            p.drawEllipse(QPointF(x, 9.5), 0.9, 0.9);
        }
        break;
    case iiFolder:
        DrawFolder(p, c, true);
        break;
    case iiNoIcon:
        DrawFile(p, c);
        break;
    case iiRoot:
        DrawFolder(p, c, true);
        // Both ways between the two folders of the task.
        p.setPen(Stroke(c.Arrow, 1.6));
        p.drawLine(QPointF(4.5, 9), QPointF(11.5, 9));
        p.setPen(Qt::NoPen);
        p.setBrush(c.Arrow);
        p.drawPolygon(QPolygonF({{2.8, 9}, {5.6, 6.6}, {5.6, 11.4}}));
        p.drawPolygon(QPolygonF({{13.2, 9}, {10.4, 6.6}, {10.4, 11.4}}));
        break;
    case iiDoNotCopy:
        p.setPen(Stroke(c.Muted, 1.8));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(8, 8), 5.6, 5.6);
        p.drawLine(QPointF(4.1, 11.9), QPointF(11.9, 4.1));
        break;
    case iiConflict:
        p.setPen(Stroke(c.Conflict, 1.0));
        p.setBrush(c.Conflict);
        p.drawPolygon(QPolygonF({{8, 1.5}, {15, 14.2}, {1, 14.2}}));
        p.setPen(Stroke(c.OnMark, 1.8));
        p.drawLine(QPointF(8, 5.6), QPointF(8, 9.6));
        p.drawPoint(QPointF(8, 12.0));
        break;
    case iiDeleteLeft:
        DrawDeleteLeft(p, c);
        break;
    case iiDeleteRight:
        p.translate(kImageSize, 0);
        p.scale(-1, 1);
        DrawDeleteLeft(p, c);
        break;
    case iiError:
        p.setPen(Qt::NoPen);
        p.setBrush(c.Error);
        p.drawEllipse(QPointF(8, 8), 6.8, 6.8);
        DrawCross(p, QPointF(8, 8), 2.9, Stroke(c.OnMark, 1.9));
        break;
    default:
        break;
    }
}

QIcon FixedImage(int index, const TImageColours& colours) {
    QIcon icon;
    for (int ratio : {1, 2}) {
        QPixmap pixmap(kImageSize * ratio, kImageSize * ratio);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        DrawImage(painter, index, colours);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// A theme icon copied into plain pixmaps, so painting a row never goes back to
// the theme; null when the theme gives no image.
QIcon CopyOfIcon(const QIcon& source) {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0}) {
        const QPixmap pixmap = source.pixmap(QSize(kImageSize, kImageSize), ratio);
        if (!pixmap.isNull()) {
            icon.addPixmap(pixmap);
        }
    }
    return icon;
}

} // namespace

TResultImages::TResultImages() {
    DrawFixedImages(false);
}

void TResultImages::DrawFixedImages(bool dark) {
    dark_ = dark;
    const TImageColours colours = ColoursFor(dark);
    QList<QIcon> images;
    images.reserve(kMaxImages);
    for (int i = 0; i < kFixedImages; ++i) {
        images.append(FixedImage(i, colours));
    }
    for (int i = kFixedImages; i < Count(); ++i) {
        images.append(ImageList1[i]);
    }
    ImageList1 = images;
}

const QIcon& TResultImages::Icon(int index) const {
    return index >= 0 && index < Count() ? ImageList1[index] : none_;
}

int32_t TResultImages::GetExtImageIndex(const std::string& ext) {
    // A name without an extension has no file type, so nothing is looked up.
    if (ext.empty() || NoIconExts.find(ext) != std::string::npos) {
        return iiNoIcon;
    }
    for (size_t i = 0; i < ExtList.size(); ++i) {
        if (ExtList[i] == ext) {
            return kFixedImages + static_cast<int32_t>(i);
        }
    }
    if (Count() >= kMaxImages) {
        return iiNoIcon;
    }
    const QIcon icon = GetExtensionIcon(ext);
    if (icon.isNull()) {
        NoIconExts += "," + ext;
        return iiNoIcon;
    }
    ExtList.push_back(ext);
    ImageList1.append(icon);
    return static_cast<int32_t>(ExtList.size()) + kFixedImages - 1;
}

void TResultImages::ResetExtCache() {
    while (Count() > kFixedImages) {
        ImageList1.removeLast();
    }
    ExtList.clear();
    NoIconExts.clear();
}

QIcon TResultImages::GetExtensionIcon(const std::string& ext) {
    const QString trimmed = QString::fromStdString(ext).trimmed();
    if (trimmed.isEmpty()) {
        return QIcon();
    }
    const QMimeDatabase db;
    const QList<QMimeType> types = db.mimeTypesForFileName("x" + trimmed);
    if (types.isEmpty()) {
        return QIcon();
    }
    for (const QString& name : {types.first().iconName(), types.first().genericIconName()}) {
        if (!name.isEmpty() && QIcon::hasThemeIcon(name)) {
            return CopyOfIcon(QIcon::fromTheme(name));
        }
    }
    return QIcon();
}

} // namespace tandemora
