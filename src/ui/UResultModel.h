#pragma once
// The result view's model: a thin adapter that shows the rows of a TResultRows
// (the root row named after the task and the rows below it) in ten columns. It
// reads the rows only; the window rebuilds them and tells the model.

#include "model/UTResultRows.h"

#include <QAbstractItemModel>

namespace tandemora {

class TResultRowsModel : public QAbstractItemModel {
    Q_OBJECT
public:
    // The row's action code, for the view's own painting and for tests.
    static constexpr int ActionRole = Qt::UserRole + 1;

    explicit TResultRowsModel(TResultRows* rows, QObject* parent = nullptr);

    // Around every rebuild of the rows.
    void BeginRebuild();
    void EndRebuild();
    // A row whose values changed in place (the sync thread marks rows done).
    void RowChanged(TResultRow* row);
    // The row of an index (null for an invalid one).
    TResultRow* RowOf(const QModelIndex& index) const;
    QModelIndex IndexOf(TResultRow* row, int column = 0) const;
    // Reloads the column captions from the language file.
    void LoadCaptions();

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Cell texts, shared with anything that prints a row.
    static QString AttrToText(int32_t attr);
    static QString DateText(int32_t dosDate);
    static QString SizeText(int64_t size);

private:
    QString CellText(const TResultRow* row, int column) const;

    TResultRows* rows_;
    QStringList captions_;
};

} // namespace tandemora
