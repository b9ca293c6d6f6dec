#pragma once
// The result view's model: a thin adapter that shows the rows of a TResultRows
// (the root row named after the task and the rows below it) in ten columns. It
// reads the rows only; the window rebuilds them and tells the model.
//
// Every row carries copies of its item's display values, so a cell is answered
// from the row alone: no lookups in the result tree (beyond whether a folder item
// has children), no caches to keep in step, and nothing allocated but the text
// that is returned.

#include "model/UTResultRows.h"

#include <QAbstractItemModel>
#include <QColor>
#include <QLocale>

namespace tandemora {

class TResultImages;

class TResultRowsModel : public QAbstractItemModel {
    Q_OBJECT
public:
    static constexpr int kColumnCount = 10;
    // The column that shows the action as an image.
    static constexpr int kActionColumn = 5;
    // The row's action code, for the view's own painting and for tests.
    static constexpr int ActionRole = Qt::UserRole + 1;
    // The image index a cell shows (-1 for none).
    static constexpr int ImageRole = Qt::UserRole + 2;
    // True on a row whose action the person set in place of the analysis' choice.
    static constexpr int OverriddenRole = Qt::UserRole + 3;

    explicit TResultRowsModel(TResultRows* rows, QObject* parent = nullptr);

    // The images of columns 0 and 5 (not owned; without them no cell has an image).
    void SetImages(const TResultImages* images) { images_ = images; }
    // Cell backgrounds for a dark palette, or the usual light ones.
    void SetDarkColours(bool dark);
    // Reads the date, time and number formats of the current default locale.
    void LoadLocale();

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
    // A column's caption as the language file has it, on one line.
    QString Caption(int column) const;
    // Shows a column's caption in two lines (broken at the space nearest its
    // middle), so the column need be no wider than its values; the header
    // grows by a line.
    void SetTwoLineCaption(int column, bool twoLines);
    // A caption broken into two lines; one without a space stays as it is.
    static QString InTwoLines(const QString& caption);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The image index a cell of row shows: column 0 the row's own image, column 5
    // the image of its action; -1 for none.
    static int32_t ImageIndexOf(const TResultRow& row, int column);
    // The image of column 5 for a row.
    static int32_t ActionImage(const TResultRow& row);

    // Cell texts, shared with anything that prints a row.
    static QString AttrToText(int32_t attr);
    QString DateText(int32_t dosDate) const;
    QString SizeText(int64_t size) const;
    // The date and time to the second, as the hint of a date cell shows it.
    QString FullDateText(int32_t dosDate) const;
    // The hint of the action cell: what the action does, in the language file's
    // words; after a sync whether it was done or failed; and, for a row the
    // person overrode, what the analysis had chosen.
    QString ActionHint(const TResultRow& row) const;
    // The words for one action code (-1: a folder without an action of its own).
    static QString ActionText(int32_t code);

private:
    QString CellText(const TResultRow* row, int column) const;
    QString FormatDate(int32_t dosDate, const QString& format) const;
    QVariant Background(int column) const;

    TResultRows* rows_;
    const TResultImages* images_ = nullptr;
    QStringList captions_;
    QList<bool> twoLines_;
    QLocale locale_;
    QString dateTimeFormat_;
    QString fullDateTimeFormat_;
    QStringList hints_;
    QColor itemColour_;
    QColor leftColour_;
    QColor rightColour_;
};

} // namespace tandemora
