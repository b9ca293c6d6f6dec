#include "ui/UResultView.h"

#include "ui/UResultModel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

namespace tandemora {

namespace {

// The name column never gets narrower than this; it takes whatever width the
// other columns leave, so at the window's designed size both sides are in view
// without a sideways scroll, and a wider window widens the names.
constexpr int kNameMinimum = 120;

// The largest size a column is made to show whole: 1 TB.
constexpr int64_t kWidestSize = int64_t(1) << 40;

// Draws the action column's image in the middle of its cell; every other cell
// is drawn as usual. On a selected row the image keeps its own colours on a
// patch of the view's background: tinted with the selection colour, or drawn
// straight onto it, the blue arrows would all but vanish.
class TActionImageDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (index.column() != TResultRowsModel::kActionColumn) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QIcon icon = opt.icon;
        opt.icon = QIcon();
        opt.features &= ~QStyleOptionViewItem::HasDecoration;
        const QWidget* widget = opt.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        if (icon.isNull()) {
            return;
        }
        const QIcon::Mode mode = (opt.state & QStyle::State_Enabled) ? QIcon::Normal : QIcon::Disabled;
        if (opt.state & QStyle::State_Selected) {
            const QSize image = opt.decorationSize.isValid() ? opt.decorationSize : QSize(16, 16);
            QRect patch(0, 0, image.width() + 6, std::min(image.height() + 4, opt.rect.height()));
            patch.moveCenter(opt.rect.center());
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(opt.palette.color(QPalette::Base));
            painter->drawRoundedRect(QRectF(patch).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
            painter->restore();
        }
        icon.paint(painter, opt.rect, Qt::AlignCenter, mode);
        if (index.data(TResultRowsModel::OverriddenRole).toBool()) {
            // A corner mark: the person set this action, the analysis did not.
            const QRect cell = opt.rect;
            const int side = std::min(7, cell.height() / 2);
            const QPoint corner[3] = {cell.topLeft(), cell.topLeft() + QPoint(side, 0),
                                      cell.topLeft() + QPoint(0, side)};
            painter->save();
            painter->setPen(Qt::NoPen);
            painter->setBrush(opt.palette.color(QPalette::Highlight));
            painter->drawPolygon(corner, 3);
            painter->restore();
        }
    }
};

bool HasNextSibling(const TResultRow* row) {
    const TResultRow* parent = row->Parent();
    return parent != nullptr && row->Index() < parent->ChildCount() - 1;
}

QColor Blend(const QColor& base, const QColor& ink, int inkPercent) {
    auto mix = [inkPercent](int a, int b) { return (a * (100 - inkPercent) + b * inkPercent) / 100; };
    return QColor(mix(base.red(), ink.red()), mix(base.green(), ink.green()), mix(base.blue(), ink.blue()));
}

} // namespace

TResultView::TResultView(TResultRowsModel* model, QWidget* parent) : QTreeView(parent), model_(model) {
    setModel(model);
    model->SetImages(&ImageList1);
    setItemDelegate(new TActionImageDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAllColumnsShowFocus(true);
    setUniformRowHeights(true);
    setRootIsDecorated(true);
    setIconSize(QSize(16, 16));
    // Narrower steps than the style's leave more of the name column to the
    // names at the window's designed width.
    setIndentation(14);
    // A column the person widens or narrows takes its width from the names.
    connect(header(), &QHeaderView::sectionResized, this, [this](int logical, int, int) {
        if (logical != 0 && !fitting_) {
            FitNameColumn();
        }
    });
    SetUpColumns();
    FollowPalette();
}

void TResultView::SetUpColumns() {
    QHeaderView* columns = header();
    columns->setVisible(true);
    columns->setSectionsMovable(true);
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(false);
    FitColumns();
}

// The widest text a column usually shows: a date of the longest month name, a
// size of 1 TB, every attribute letter, a count of six digits.
QString TResultView::WidestText(int column) const {
    QString widest;
    auto keep = [&](const QString& text) {
        if (fontMetrics().horizontalAdvance(text) > fontMetrics().horizontalAdvance(widest)) {
            widest = text;
        }
    };
    switch (column) {
    case 1:
    case 7:
        for (int32_t month = 1; month <= 12; ++month) {
            // The 28th, 23:58:58 in 2037, as a DOS date-time.
            keep(model_->DateText(((2037 - 1980) << 25) | (month << 21) | (28 << 16) | (23 << 11) |
                                  (58 << 5) | 29));
        }
        break;
    case 2:
    case 8:
        keep(model_->SizeText(kWidestSize));
        break;
    case 3:
    case 9:
        keep(TResultRowsModel::AttrToText(0x27));
        break;
    case 4:
    case 6:
        keep(QString::number(99999));
        break;
    default:
        break;
    }
    return widest;
}

// Every column but the names is as wide as its caption or its widest usual
// text needs, no wider; the names take the rest.
void TResultView::FitColumns() {
    QHeaderView* columns = header();
    // A cell's text keeps a margin on either side, as the item delegate draws it.
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 2;
    const int captionMargin = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, columns) + 2;
    fitting_ = true;
    for (int i = 1; i < TResultRowsModel::kColumnCount; ++i) {
        const QString widest = WidestText(i);
        int values = widest.isEmpty() ? 0 : fontMetrics().horizontalAdvance(widest) + margin;
        if (i == TResultRowsModel::kActionColumn) {
            values = std::max(values, iconSize().width() + margin);
        }
        const QString caption = model_->Caption(i);
        const int oneLine = columns->fontMetrics().horizontalAdvance(caption) + captionMargin;
        // A count's caption is much wider than its numbers: in two lines it
        // leaves that width to the names.
        const bool count = i == 4 || i == 6;
        const int twoLines =
            columns->fontMetrics().size(0, TResultRowsModel::InTwoLines(caption)).width() + captionMargin;
        const bool broken = count && oneLine > values && twoLines < oneLine;
        model_->SetTwoLineCaption(i, broken);
        columns->resizeSection(i, std::max(values, broken ? twoLines : oneLine));
    }
    fitting_ = false;
    FitNameColumn();
}

void TResultView::FitNameColumn() {
    QHeaderView* columns = header();
    int others = 0;
    for (int i = 1; i < TResultRowsModel::kColumnCount; ++i) {
        others += columns->isSectionHidden(i) ? 0 : columns->sectionSize(i);
    }
    const QString caption = model_->headerData(0, Qt::Horizontal).toString();
    const int least = std::max(kNameMinimum, columns->fontMetrics().horizontalAdvance(caption) +
                                                 2 * style()->pixelMetric(QStyle::PM_HeaderMargin) + 2);
    fitting_ = true;
    columns->resizeSection(0, std::max(least, viewport()->width() - others));
    fitting_ = false;
}

void TResultView::resizeEvent(QResizeEvent* event) {
    QTreeView::resizeEvent(event);
    FitNameColumn();
}

void TResultView::FollowPalette() {
    const QColor base = palette().color(QPalette::Base);
    const QColor text = palette().color(QPalette::Text);
    const bool dark = base.lightness() < 128;
    if (dark != ImageList1.DarkImages()) {
        ImageList1.DrawFixedImages(dark);
    }
    model_->SetDarkColours(dark);
    gridPen_ = QPen(Blend(base, text, 15), 1);
    treePen_ = QPen(Blend(base, text, 45), 1);
    viewport()->update();
}

void TResultView::changeEvent(QEvent* event) {
    QTreeView::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        FollowPalette();
    }
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        FitColumns();
    }
}

void TResultView::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit LeftClick();
    } else if (event->button() == Qt::RightButton) {
        emit RightRelease(event->globalPosition().toPoint());
    }
}

// The popup follows the right button's release; the menu key opens it at the
// focused row.
void TResultView::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    if (event->reason() != QContextMenuEvent::Keyboard) {
        return;
    }
    const QRect at = visualRect(currentIndex());
    emit RightRelease(viewport()->mapToGlobal(at.isValid() ? at.center() : viewport()->rect().center()));
}

// Vertical grid lines at the right edge of every column.
void TResultView::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    QTreeView::drawRow(painter, option, index);
    const QHeaderView* columns = header();
    const QPen previous = painter->pen();
    painter->setPen(gridPen_);
    for (int visual = 0; visual < columns->count(); ++visual) {
        const int logical = columns->logicalIndex(visual);
        if (columns->isSectionHidden(logical)) {
            continue;
        }
        const int x = columns->sectionViewportPosition(logical) + columns->sectionSize(logical) - 1;
        painter->drawLine(x, option.rect.top(), x, option.rect.bottom());
    }
    painter->setPen(previous);
}

// Tree lines: each row joins the line of its siblings, and the lines of its
// ancestors that have later siblings pass by on its left. The expand buttons
// that the style draws stay clear of them.
void TResultView::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
    QTreeView::drawBranches(painter, rect, index);
    const TResultRow* row = model_->RowOf(index);
    if (row == nullptr || row->Parent() == nullptr || isRightToLeft()) {
        return;
    }
    const int indent = indentation();
    const int midY = rect.top() + rect.height() / 2;
    int cellLeft = rect.right() + 1 - indent;
    const int midX = cellLeft + indent / 2;
    const int gap = row->HasChildren() ? 6 : 0;
    const QPen previous = painter->pen();
    painter->setPen(treePen_);
    painter->drawLine(midX, rect.top(), midX, midY - gap);
    if (HasNextSibling(row)) {
        painter->drawLine(midX, midY + gap, midX, rect.bottom());
    }
    painter->drawLine(midX + (gap > 0 ? gap : 1), midY, cellLeft + indent - 2, midY);
    for (const TResultRow* above = row->Parent(); above->Parent() != nullptr; above = above->Parent()) {
        cellLeft -= indent;
        if (HasNextSibling(above)) {
            const int x = cellLeft + indent / 2;
            painter->drawLine(x, rect.top(), x, rect.bottom());
        }
    }
    painter->setPen(previous);
}

} // namespace tandemora
