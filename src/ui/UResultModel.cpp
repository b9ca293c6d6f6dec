#include "ui/UResultModel.h"

#include "platform/FileSystem.h"
#include "ui/UQtText.h"

#include <QDateTime>
#include <QLocale>

namespace tandemora {

namespace {

constexpr int kColumnCount = 10;

// Column captions: the language key and the text used when the key is missing.
struct TColumn {
    const char* Key;
    const char* Default;
};
const TColumn kColumns[kColumnCount] = {
    {"tree_item", "Item"},       {"tree_ldate", "L Date"},    {"tree_lsize", "L Size"},
    {"tree_lattri", "L attri"},  {"tree_LtoR", "RtoL Count"}, {"tree_direct", "Direct"},
    {"tree_RtoL", "LtoR Count"}, {"tree_rdate", "R Date"},    {"tree_rsize", "R Szie"},
    {"tree_rattri", "R attri"},
};

} // namespace

TResultRowsModel::TResultRowsModel(TResultRows* rows, QObject* parent)
    : QAbstractItemModel(parent), rows_(rows) {
    for (const TColumn& c : kColumns) {
        captions_ << QString::fromLatin1(c.Default);
    }
}

void TResultRowsModel::LoadCaptions() {
    for (int i = 0; i < kColumnCount; ++i) {
        const QString text = Lang(kColumns[i].Key);
        if (!text.isEmpty()) {
            captions_[i] = text;
        }
    }
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

void TResultRowsModel::BeginRebuild() {
    beginResetModel();
}

void TResultRowsModel::EndRebuild() {
    endResetModel();
}

void TResultRowsModel::RowChanged(TResultRow* row) {
    if (row == nullptr) {
        return;
    }
    emit dataChanged(IndexOf(row, 0), IndexOf(row, kColumnCount - 1));
}

TResultRow* TResultRowsModel::RowOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<TResultRow*>(index.internalPointer()) : nullptr;
}

QModelIndex TResultRowsModel::IndexOf(TResultRow* row, int column) const {
    if (row == nullptr) {
        return QModelIndex();
    }
    return createIndex(row->Index(), column, row);
}

QModelIndex TResultRowsModel::index(int row, int column, const QModelIndex& parent) const {
    if (column < 0 || column >= kColumnCount) {
        return QModelIndex();
    }
    if (!parent.isValid()) {
        TResultRow* root = rows_->RootRow();
        return row == 0 && root != nullptr ? createIndex(0, column, root) : QModelIndex();
    }
    if (parent.column() != 0) {
        return QModelIndex();
    }
    TResultRow* child = RowOf(parent)->Child(row);
    return child != nullptr ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex TResultRowsModel::parent(const QModelIndex& child) const {
    TResultRow* row = RowOf(child);
    if (row == nullptr || row->Parent() == nullptr) {
        return QModelIndex();
    }
    return IndexOf(row->Parent(), 0);
}

int TResultRowsModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return rows_->RootRow() != nullptr ? 1 : 0;
    }
    if (parent.column() != 0) {
        return 0;
    }
    return RowOf(parent)->ChildCount();
}

int TResultRowsModel::columnCount(const QModelIndex&) const {
    return kColumnCount;
}

QVariant TResultRowsModel::data(const QModelIndex& index, int role) const {
    const TResultRow* row = RowOf(index);
    if (row == nullptr) {
        return QVariant();
    }
    if (role == Qt::DisplayRole) {
        return CellText(row, index.column());
    }
    if (role == ActionRole) {
        return row->Action.load();
    }
    if (role == Qt::TextAlignmentRole && (index.column() == 2 || index.column() == 8)) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return QVariant();
}

QVariant TResultRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumnCount) {
        return captions_[section];
    }
    return QVariant();
}

QString TResultRowsModel::CellText(const TResultRow* row, int column) const {
    switch (column) {
    case 0:
        return ToQ(row->Name);
    case 1:
        return DateText(row->LeftDate);
    case 2:
        return SizeText(row->LeftSize);
    case 3:
        return row->LeftAttr > 0 ? AttrToText(row->LeftAttr) : QString();
    case 4:
        return row->LtoRCount != 0 ? QString::number(row->LtoRCount) : QString();
    case 6:
        return row->RtoLCount != 0 ? QString::number(row->RtoLCount) : QString();
    case 7:
        return DateText(row->RightDate);
    case 8:
        return SizeText(row->RightSize);
    case 9:
        return row->RightAttr > 0 ? AttrToText(row->RightAttr) : QString();
    default:
        return QString(); // column 5 shows the action as an image only
    }
}

QString TResultRowsModel::AttrToText(int32_t attr) {
    QString text;
    if (attr & fs::faHidden) {
        text += 'H';
    }
    if (attr & fs::faReadOnly) {
        text += 'R';
    }
    if (attr & fs::faSysFile) {
        text += 'S';
    }
    if (attr & fs::faArchive) {
        text += 'A';
    }
    return text;
}

// A DOS date-time counts as a date when it is greater than 2000 (smaller values
// are the "no file" markers 0 and -1, or no real date at all).
QString TResultRowsModel::DateText(int32_t dosDate) {
    time_t t = 0;
    if (dosDate <= 2000 || !fs::DosTimeToUnix(dosDate, t)) {
        return QString();
    }
    const QDateTime moment = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(t));
    const QLocale locale;
    return locale.toString(moment.date(), QLocale::ShortFormat) + " " +
           locale.toString(moment.time(), QLocale::LongFormat);
}

QString TResultRowsModel::SizeText(int64_t size) {
    return size > 0 ? QLocale().toString(static_cast<qlonglong>(size)) : QString();
}

} // namespace tandemora
