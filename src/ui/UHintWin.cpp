#include "ui/UHintWin.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QProxyStyle>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <QToolTip>
#include <algorithm>

namespace tandemora {

namespace {

// Long enough to read a hint of a few lines.
constexpr int kBalloonShowMs = 10000;

// The style in use, with hints that come as soon as the pointer rests (Qt's
// styles wait about 0.7 s).
class THintPauseStyle : public QProxyStyle {
public:
    explicit THintPauseStyle(QStyle* base) : QProxyStyle(base) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_ToolTip_WakeUpDelay) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

void SetNoHintPause() {
    if (dynamic_cast<THintPauseStyle*>(QApplication::style()) != nullptr) {
        return;
    }
    QStyle* base = QStyleFactory::create(QApplication::style()->name());
    if (base != nullptr) {
        QApplication::setStyle(new THintPauseStyle(base));
    }
}

} // namespace

THintWin::THintWin() : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setPalette(QToolTip::palette());
    setAutoFillBackground(true);
    setObjectName("THintWin");

    icon_ = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_SmallIconSize);
    icon_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(size, size));
    title_ = new QLabel(this);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    // Hints are shown as written: an ampersand or an angle bracket is a character.
    title_->setTextFormat(Qt::PlainText);
    text_ = new QLabel(this);
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->addWidget(icon_, 0, 0);
    grid->addWidget(title_, 0, 1);
    grid->addWidget(text_, 1, 1);
    grid->setColumnStretch(1, 1);

    autoHide_ = new QTimer(this);
    autoHide_->setSingleShot(true);
    connect(autoHide_, &QTimer::timeout, this, &QWidget::hide);
}

THintWin::~THintWin() {
    if (installed_ && qApp != nullptr) {
        qApp->removeEventFilter(this);
    }
}

void THintWin::Install() {
    if (!installed_ && qApp != nullptr) {
        SetNoHintPause();
        qApp->installEventFilter(this);
        installed_ = true;
    }
}

QString THintWin::Title() const {
    return title_->text();
}

QString THintWin::Text() const {
    return hint_;
}

void THintWin::ActivateHint(QWidget* underPointer, const QRect& rect, const QString& hintText) {
    if (underPointer != LastHintWnd) {
        ++toolCount_;
    }
    LastHintWnd = underPointer;
    ShowBalloonTip(underPointer, rect, kHintTitle, hintText);
}

void THintWin::ShowBalloonTip(QWidget* target, const QRect& rect, const QString& title, const QString& text) {
    target_ = target;
    hint_ = text;
    title_->setText(title);
    // A hint may hold a whole path, which has no blanks to wrap at: it may also
    // wrap after each separator, and the balloon stays within half the screen.
    QString breakable = text;
    breakable.replace('/', QStringLiteral("/\u200B")).replace('\\', QStringLiteral("\\\u200B"));
    text_->setText(breakable);
    if (const QScreen* screen = QGuiApplication::screenAt(rect.center())) {
        text_->setMaximumWidth(screen->availableGeometry().width() / 2);
    }
    adjustSize();
    PlaceNear(rect);
    show();
    raise();
    autoHide_->start(kBalloonShowMs);
}

// Below the control, its left edge at the control's centre; above it when the
// screen ends first.
void THintWin::PlaceNear(const QRect& rect) {
    QPoint at(rect.center().x(), rect.bottom() + 2);
    const QScreen* screen = QGuiApplication::screenAt(rect.center());
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        if (at.y() + height() > area.bottom()) {
            at.setY(rect.top() - height() - 2);
        }
        at.setX(std::max(area.left(), std::min(at.x(), area.right() - width())));
    }
    move(at);
}

bool THintWin::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ToolTip: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget != this &&
            ShowItemHint(widget, static_cast<QHelpEvent*>(event)->pos())) {
            return true;
        }
        if (widget == nullptr || widget == this || widget->toolTip().isEmpty()) {
            // Not ours (views and menus answer for their items): Qt passes the
            // request on to the parent or shows the item's own tip.
            return false;
        }
        const QRect rect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
        ActivateHint(widget, rect, widget->toolTip());
        return true;
    }
    case QEvent::MouseButtonPress:
    case QEvent::KeyPress:
    case QEvent::Wheel:
        hide();
        break;
    case QEvent::Leave:
    case QEvent::Hide:
        if (watched == target_) {
            hide();
        }
        break;
    default:
        break;
    }
    return false;
}

// The cells and column captions of a list or tree carry hints of their own: the
// one under the pointer becomes a balloon pointing at its cell. False when the
// widget is no list's viewport or the cell has no hint.
bool THintWin::ShowItemHint(QWidget* viewport, const QPoint& pos) {
    auto* view = qobject_cast<QAbstractItemView*>(viewport->parentWidget());
    if (view == nullptr || view->viewport() != viewport || view->model() == nullptr) {
        return false;
    }
    QString text;
    QRect area;
    if (auto* captions = qobject_cast<QHeaderView*>(view)) {
        const int section = captions->logicalIndexAt(pos);
        if (section < 0) {
            return false;
        }
        text = view->model()->headerData(section, captions->orientation(), Qt::ToolTipRole).toString();
        const int start = captions->sectionViewportPosition(section);
        area = captions->orientation() == Qt::Horizontal
                   ? QRect(start, 0, captions->sectionSize(section), viewport->height())
                   : QRect(0, start, viewport->width(), captions->sectionSize(section));
    } else {
        const QModelIndex index = view->indexAt(pos);
        text = index.data(Qt::ToolTipRole).toString();
        area = view->visualRect(index);
    }
    if (text.isEmpty()) {
        return false;
    }
    ActivateHint(viewport, QRect(viewport->mapToGlobal(area.topLeft()), area.size()), text);
    return true;
}

void CenterCursorOnControl(QWidget* control) {
    if (control != nullptr) {
        QCursor::setPos(control->mapToGlobal(control->rect().center()));
    }
}

void RequestHint(QWidget* control) {
    if (control == nullptr) {
        return;
    }
    const QPoint local = control->rect().center();
    QHelpEvent help(QEvent::ToolTip, local, control->mapToGlobal(local));
    QApplication::sendEvent(control, &help);
}

} // namespace tandemora
