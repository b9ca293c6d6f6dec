#include "ui/UResultModel.h"

#include "platform/FileSystem.h"
#include "ui/UQtText.h"
#include "ui/UResultImages.h"

#include <QDateTime>
#include <QFont>
#include <QIcon>
#include <QRegularExpression>
#include <cstdlib>

namespace tandemora {

namespace {

// Column captions: the language key and the text used when the key is missing
// (the same words the shipped language file has: column 4 counts the items
// going left to right, column 6 those going right to left).
struct TColumn {
    const char* Key;
    const char* Default;
};
const TColumn kColumns[TResultRowsModel::kColumnCount] = {
    {"tree_item", "Item"},       {"tree_ldate", "L Date"},    {"tree_lsize", "L Size"},
    {"tree_lattri", "L Attri"},  {"tree_LtoR", "LtoR Count"}, {"tree_direct", "Direct"},
    {"tree_RtoL", "RtoL Count"}, {"tree_rdate", "R Date"},    {"tree_rsize", "R Size"},
    {"tree_rattri", "R Attri"},
};

// The hints of the column captions.
const TColumn kColumnHints[TResultRowsModel::kColumnCount] = {
    {"tree_item_hint", "The file or folder, below the task's two folders"},
    {"tree_ldate_hint", "Date and time of the left item"},
    {"tree_lsize_hint", "Size of the left item in bytes; a folder: the sum of the items shown in it"},
    {"tree_lattri_hint", "Attributes of the left item: H hidden, R read-only, S system, A archive"},
    {"tree_LtoR_hint", "Number of items to be copied from left to right"},
    {"tree_direct_hint", "What the sync does with the item; rest the pointer on an image to read it"},
    {"tree_RtoL_hint", "Number of items to be copied from right to left"},
    {"tree_rdate_hint", "Date and time of the right item"},
    {"tree_rsize_hint", "Size of the right item in bytes; a folder: the sum of the items shown in it"},
    {"tree_rattri_hint", "Attributes of the right item: H hidden, R read-only, S system, A archive"},
};

// A text of the language file, or the built-in one when the file lacks the key.
QString LangOr(const char* key, const char* fallback) {
    const QString text = Lang(key);
    return text.isEmpty() ? QString::fromLatin1(fallback) : text;
}

// A date in numbers: a month spelt out (as the C locale's short date does)
// makes the column too wide to leave room for both sides.
QString NumericDateFormat(const QString& format) {
    return format.contains("MMM") ? QString("yyyy-MM-dd") : format;
}

// The long time format names the time zone; a DOS date-time is a local time
// without one, so the zone is left out.
QString WithoutZone(const QString& format) {
    QString result;
    bool quoted = false;
    for (const QChar ch : format) {
        if (ch == '\'') {
            quoted = !quoted;
        }
        if (!quoted && ch == 't') {
            continue;
        }
        result += ch;
    }
    while (result.contains("  ")) {
        result.replace("  ", " ");
    }
    return result.trimmed();
}

bool IsSizeOrCount(int column) {
    return column == 2 || column == 4 || column == 6 || column == 8;
}

} // namespace

TResultRowsModel::TResultRowsModel(TResultRows* rows, QObject* parent)
    : QAbstractItemModel(parent), rows_(rows) {
    for (const TColumn& c : kColumns) {
        captions_ << QString::fromLatin1(c.Default);
        twoLines_ << false;
    }
    LoadLocale();
    SetDarkColours(false);
}

void TResultRowsModel::LoadLocale() {
    locale_ = QLocale();
    // Sizes always show their digit groups, whatever the locale's habit.
    locale_.setNumberOptions(locale_.numberOptions() & ~QLocale::OmitGroupSeparator);
    // The cell shows hours and minutes, so both sides' dates fit beside the
    // rest of the columns; its hint adds the seconds.
    const QString date = NumericDateFormat(locale_.dateFormat(QLocale::ShortFormat));
    QString minutes = WithoutZone(locale_.timeFormat(QLocale::ShortFormat));
    minutes.remove(QRegularExpression("[:.]ss?"));
    dateTimeFormat_ = date + " " + minutes;
    fullDateTimeFormat_ = date + " " + WithoutZone(locale_.timeFormat(QLocale::LongFormat));
}

// The light colours are the view's own (blue-green-red 0xFFFFFF, 0xF0FFF0 and
// 0xF0FFFF); on a dark palette those would make light text unreadable, so the
// item column keeps the view's colour and the two sides get dark tints of the
// same hues.
void TResultRowsModel::SetDarkColours(bool dark) {
    if (dark) {
        itemColour_ = QColor();
        leftColour_ = QColor(0x24, 0x33, 0x24);
        rightColour_ = QColor(0x33, 0x33, 0x22);
    } else {
        itemColour_ = QColor(0xFF, 0xFF, 0xFF);
        leftColour_ = QColor(0xF0, 0xFF, 0xF0);
        rightColour_ = QColor(0xFF, 0xFF, 0xF0);
    }
}

void TResultRowsModel::LoadCaptions() {
    for (int i = 0; i < kColumnCount; ++i) {
        const QString text = Lang(kColumns[i].Key);
        if (!text.isEmpty()) {
            captions_[i] = text;
        }
    }
    hints_.clear();
    for (const TColumn& hint : kColumnHints) {
        hints_ << LangOr(hint.Key, hint.Default);
    }
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

QString TResultRowsModel::Caption(int column) const {
    return column >= 0 && column < kColumnCount ? captions_[column] : QString();
}

void TResultRowsModel::SetTwoLineCaption(int column, bool twoLines) {
    if (column < 0 || column >= kColumnCount || twoLines_[column] == twoLines) {
        return;
    }
    twoLines_[column] = twoLines;
    emit headerDataChanged(Qt::Horizontal, column, column);
}

QString TResultRowsModel::InTwoLines(const QString& caption) {
    const int middle = caption.size() / 2;
    int best = -1;
    for (int i = 0; i < caption.size(); ++i) {
        if (caption[i] == ' ' && (best < 0 || std::abs(i - middle) < std::abs(best - middle))) {
            best = i;
        }
    }
    if (best < 0) {
        return caption;
    }
    return caption.left(best) + '\n' + caption.mid(best + 1);
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
    // A sync changes a row's code, which only the action column shows. One cell
    // is redrawn where it is on screen; a range of cells would redraw the whole
    // view, once per item.
    emit dataChanged(IndexOf(row, kActionColumn), IndexOf(row, kActionColumn));
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

bool TResultRowsModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return rows_->RootRow() != nullptr;
    }
    return parent.column() == 0 && RowOf(parent)->HasChildren();
}

QVariant TResultRowsModel::data(const QModelIndex& index, int role) const {
    const TResultRow* row = RowOf(index);
    if (row == nullptr) {
        return QVariant();
    }
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return column == kActionColumn ? QVariant() : QVariant(CellText(row, column));
    case Qt::DecorationRole: {
        const int32_t image = ImageIndexOf(*row, column);
        if (images_ == nullptr || image < 0 || image >= images_->Count()) {
            return QVariant();
        }
        return QVariant(images_->Icon(image));
    }
    case Qt::BackgroundRole:
        return Background(column);
    case Qt::TextAlignmentRole:
        if (IsSizeOrCount(column)) {
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        }
        return QVariant();
    case Qt::ToolTipRole:
        // A name cut short by a narrow column is read whole, with its folder.
        if (column == 0) {
            return ToQ(!row->Path.empty() && row->Path.back() == '/' ? row->Path + row->Name : row->Name);
        }
        if (column == kActionColumn) {
            return ActionHint(*row);
        }
        if (column == 1 || column == 7) {
            const QString full = FullDateText(column == 1 ? row->LeftDate : row->RightDate);
            return full.isEmpty() ? QVariant() : QVariant(full);
        }
        return QVariant();
    case Qt::FontRole:
        // A row the person set reads differently from one the program chose.
        if (rows_->Overridden(*row)) {
            QFont italic;
            italic.setItalic(true);
            return italic;
        }
        return QVariant();
    case OverriddenRole:
        return rows_->Overridden(*row);
    case ActionRole:
        return row->Action.load();
    case ImageRole:
        return ImageIndexOf(*row, column);
    default:
        return QVariant();
    }
}

QVariant TResultRowsModel::Background(int column) const {
    QColor colour;
    if (column == 0) {
        colour = itemColour_;
    } else if (column >= 1 && column <= 4) {
        colour = leftColour_;
    } else if (column >= 6 && column <= 9) {
        colour = rightColour_;
    }
    return colour.isValid() ? QVariant(colour) : QVariant();
}

QVariant TResultRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumnCount) {
        return twoLines_[section] ? InTwoLines(captions_[section]) : captions_[section];
    }
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole && section >= 0 && section < hints_.size()) {
        return hints_[section];
    }
    return QVariant();
}

int32_t TResultRowsModel::ImageIndexOf(const TResultRow& row, int column) {
    if (column == 0) {
        return row.ImageIndex;
    }
    return column == kActionColumn ? ActionImage(row) : -1;
}

// Later rules win: a folder shows the folder-contents mark unless its own code
// names an action.
int32_t TResultRowsModel::ActionImage(const TResultRow& row) {
    const int32_t code = row.Action.load();
    int32_t image = -1;
    if (row.IsFolder == 1 && ((row.Item != nullptr && !row.Item->Children.empty()) || code == saUnset)) {
        image = iiFolderItems;
    }
    switch (code) {
    case saSame:
        image = iiSame;
        break;
    case saDoNotCopy:
    case saExcluded:
        image = iiDoNotCopy;
        break;
    case saCopyRtoL:
    case saOverwriteRtoL:
        image = iiRtoL;
        break;
    case saCopyLtoR:
    case saOverwriteLtoR:
        image = iiLtoR;
        break;
    case saConflict:
        image = iiConflict;
        break;
    case saError:
        image = iiError;
        break;
    case saDeleteRight:
        image = iiDeleteRight;
        break;
    case saDeleteLeft:
        image = iiDeleteLeft;
        break;
    default:
        break;
    }
    return image;
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
        return QString();
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
// are the "no file" markers 0 and -1, or no real date at all). It already holds
// the local date and time, so it is shown as it stands: no time zone, and no
// summer-time shift, comes between the file and the text.
QString TResultRowsModel::DateText(int32_t dosDate) const {
    return FormatDate(dosDate, dateTimeFormat_);
}

QString TResultRowsModel::FullDateText(int32_t dosDate) const {
    return FormatDate(dosDate, fullDateTimeFormat_);
}

QString TResultRowsModel::FormatDate(int32_t dosDate, const QString& format) const {
    // 0 and -1 stand for "no file"; dates from 2044 on are negative as numbers.
    if (dosDate == -1 || (dosDate >= 0 && dosDate <= 2000)) {
        return QString();
    }
    const uint32_t value = static_cast<uint32_t>(dosDate);
    const uint32_t date = value >> 16;
    const uint32_t time = value & 0xFFFF;
    const QDate day(1980 + static_cast<int>(date >> 9), static_cast<int>((date >> 5) & 15),
                    static_cast<int>(date & 31));
    const QTime moment(static_cast<int>(time >> 11), static_cast<int>((time >> 5) & 63),
                       static_cast<int>(time & 31) * 2);
    if (!day.isValid() || !moment.isValid()) {
        return QString();
    }
    // UTC only keeps the formatting from looking up a zone; no zone is shown.
    return locale_.toString(QDateTime(day, moment, Qt::UTC), format);
}

QString TResultRowsModel::ActionText(int32_t code) {
    switch (code) {
    case saCopyLtoR:
        return LangOr("hint_CopyLtoR", "Copy left to right (new on the right)");
    case saCopyRtoL:
        return LangOr("hint_CopyRtoL", "Copy right to left (new on the left)");
    case saOverwriteLtoR:
        return LangOr("hint_OverwriteLtoR", "Copy left to right, replacing the right file");
    case saOverwriteRtoL:
        return LangOr("hint_OverwriteRtoL", "Copy right to left, replacing the left file");
    case saDeleteRight:
        return LangOr("hint_DeleteRight", "Delete on right");
    case saDeleteLeft:
        return LangOr("hint_DeleteLeft", "Delete on left");
    case saSame:
        return LangOr("hint_Same", "Same on both sides: nothing to do");
    case saConflict:
        return LangOr("hint_Conflict", "Conflict: changed on both sides, not copied");
    case saError:
        return LangOr("hint_Error", "Error: the item could not be compared");
    case saDoNotCopy:
        return LangOr("hint_DoNotCopy", "Do not copy: left as it is on both sides");
    case saExcluded:
        return LangOr("hint_Excluded", "Excluded by the filters: not copied");
    case saUnset:
        return LangOr("hint_Folder", "Folder: each item in it has its own action");
    default:
        return LangOr("hint_None", "Nothing to do");
    }
}

// During and after a sync the row carries the sync's word (18 done, 3 failed)
// while its item keeps the action it was asked for: "=" then means done, not
// alike.
QString TResultRowsModel::ActionHint(const TResultRow& row) const {
    const int32_t shown = row.Action.load();
    const int32_t asked = rows_->AskedAction(row);
    QString text;
    if (shown != asked && (shown == saSame || shown == saError)) {
        const QString outcome =
            shown == saSame ? LangOr("hint_Done", "Done") : LangOr("hint_Failed", "Failed");
        text = AsksForOperation(asked) ? outcome + ": " + ActionText(asked) : outcome;
    } else {
        text = ActionText(shown);
    }
    if (rows_->Overridden(row)) {
        text += "\n" + LangOr("hint_Override", "Set by you; the analysis proposed:") + " " +
                ActionText(rows_->ChosenAction(row));
    }
    return text;
}

QString TResultRowsModel::SizeText(int64_t size) const {
    return size > 0 ? locale_.toString(static_cast<qlonglong>(size)) : QString();
}

} // namespace tandemora
