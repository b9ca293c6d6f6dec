#pragma once
// The result view of a task window: a tree list over the result rows with ten
// columns, tree lines and vertical grid lines, the action images centred in their
// column, and the image list of the rows (fixed images plus extension icons).
//
// The view only draws and reports the user's clicks; the window decides what a
// click does (the popup of per-row overrides).

#include "ui/UResultImages.h"

#include <QPen>
#include <QTreeView>

namespace tandemora {

class TResultRowsModel;

class TResultView : public QTreeView {
    Q_OBJECT
public:
    explicit TResultView(TResultRowsModel* model, QWidget* parent = nullptr);

    TResultRowsModel* RowsModel() const { return model_; }
    // Makes each column as wide as its caption or the widest text it usually
    // shows (a 1 TB size, a date) needs at the view's current font; the name
    // column takes the rest of the view's width.
    void FitColumns();
    // The name column takes the width the other columns leave (never less than
    // its least width).
    void FitNameColumn();

    // The rows' images; extension icons are added as rows ask for them.
    TResultImages ImageList1;

signals:
    // A left button release on the view.
    void LeftClick();
    // A right button release, or the keyboard's menu key, at a screen position.
    void RightRelease(const QPoint& globalPos);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;
    void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;

private:
    void SetUpColumns();
    QString WidestText(int column) const;
    // Images, cell colours and line colours for the current palette.
    void FollowPalette();

    TResultRowsModel* model_;
    QPen gridPen_;
    QPen treePen_;
    bool fitting_ = false; // the view sets widths itself
};

} // namespace tandemora
