#include "model/UTResultRows.h"

#include <map>

namespace tandemora {

namespace {

void ClearCounts(TFileTree* node) {
    node->ErrorFlag = 0;
    node->ConflictFlag = 0;
    node->IncludedFlag = 0;
    node->ExcludedFlag = 0;
    node->NewFlag = 0;
    node->OverwriteFlag = 0;
    node->DeleteFlag = 0;
    node->LtoRFlag = 0;
    node->RtoLFlag = 0;
    node->SameFlag = 0;
}

void AddCounts(TFileTree* node, const TFileTree* child) {
    node->ErrorFlag += child->ErrorFlag;
    node->ConflictFlag += child->ConflictFlag;
    node->IncludedFlag += child->IncludedFlag;
    node->ExcludedFlag += child->ExcludedFlag;
    node->NewFlag += child->NewFlag;
    node->OverwriteFlag += child->OverwriteFlag;
    node->DeleteFlag += child->DeleteFlag;
    node->LtoRFlag += child->LtoRFlag;
    node->RtoLFlag += child->RtoLFlag;
    node->SameFlag += child->SameFlag;
}

void SetLeftDisplay(TFileTree* node, int32_t time, int32_t attr, int64_t size) {
    node->LeftTime = time;
    node->LeftAttr = attr;
    node->LeftSize = size;
}

void SetRightDisplay(TFileTree* node, int32_t time, int32_t attr, int64_t size) {
    node->OtherTime = time;
    node->OtherAttr = attr;
    node->OtherSize = size;
}

void VisitRows(TResultRow* row, const std::function<void(TResultRow*)>& visit) {
    visit(row);
    for (int i = 0; i < row->ChildCount(); ++i) {
        VisitRows(row->Child(i), visit);
    }
}

} // namespace

bool AsksForOperation(int32_t code) {
    switch (code) {
    case saCopyLtoR:
    case saCopyRtoL:
    case saOverwriteLtoR:
    case saOverwriteRtoL:
    case saDeleteRight:
    case saDeleteLeft:
        return true;
    default:
        return false;
    }
}

// ---- Rows ----------------------------------------------------------------------

TResultRow* TResultRow::Child(int index) const {
    if (index < 0 || index >= ChildCount()) {
        return nullptr;
    }
    return children_[static_cast<size_t>(index)].get();
}

TResultRow* TResultRow::AddChild() {
    auto row = std::make_unique<TResultRow>();
    row->parent_ = this;
    row->index_ = ChildCount();
    children_.push_back(std::move(row));
    return children_.back().get();
}

// ---- The view ------------------------------------------------------------------

void TResultRows::InitView(const std::string& syncName) {
    // The sync thread walks these very rows; they stay until it is done.
    if (syncRunning_) {
        return;
    }
    rootName_ = syncName;
    root_.reset();
    if (syncName.empty()) {
        return;
    }
    root_ = std::make_unique<TResultRow>();
    root_->Name = syncName;
    root_->ImageIndex = iiRoot;
}

bool TResultRows::ShowView(int32_t kind) {
    if (resultTree_ == nullptr || rootName_.empty() || syncRunning_) {
        return false;
    }
    RecountTree(resultTree_);
    InitView(rootName_);
    FillView(root_.get(), resultTree_, kind);
    // The second recount changes no count; it sums the needed bytes afresh.
    RecountTree(resultTree_);
    ShowRootTotals();
    currentKind_ = kind;
    return true;
}

void TResultRows::SetResultTree(TFileTree* tree) {
    // The sync thread reads the result's codes and filter counts while it runs.
    if (!syncRunning_) {
        if (tree != resultTree_) {
            // The items of the old result go with it.
            chosen_.clear();
            asked_.clear();
        }
        resultTree_ = tree;
    }
}

void TResultRows::RecountTree(TFileTree* node) {
    if (syncRunning_) {
        return;
    }
    LeftNeeded = 0;
    RightNeeded = 0;
    if (node != nullptr) {
        RecountNode(node);
    }
}

void TResultRows::RecountNode(TFileTree* node) {
    // Folders and the root collect their counts afresh; a leaf keeps the flags
    // its own code gave it.
    if (node->Data == nullptr) {
        ClearCounts(node);
    } else if (node->Data->IsFolder == 1) {
        ClearCounts(node);
        node->OtherSize = 0;
        node->LeftSize = 0;
    }
    for (TFileTree* child : node->Children) {
        if (!child->Children.empty()) {
            RecountNode(child);
        }
        // An item a sync settled keeps the values its row showed afterwards.
        if (asked_.empty() || asked_.count(child) == 0) {
            ApplyDisplayValues(child);
        }
        AddCounts(node, child);
    }
}

// The left columns show the left file and the right columns the right one. The
// item's own entry is the left one, unless the analysis marked it as the right
// side's (the item is on the right only, or the left deleted it since the last
// synchronisation); the other side's values are those the analysis set.
void TResultRows::ApplyDisplayValues(TFileTree* child) {
    const TFileAttri* a = child->Data;
    if (a == nullptr) {
        return;
    }
    if (child->RightEntry != 0) {
        SetLeftDisplay(child, 0, 0, 0);
        SetRightDisplay(child, a->Time, a->Attr, a->Size);
    }
    const bool leftEntry = child->RightEntry == 0;
    switch (child->Action) {
    case saCopyLtoR:
        SetLeftDisplay(child, a->Time, a->Attr, a->Size);
        SetRightDisplay(child, 0, 0, 0);
        RightNeeded += a->Size;
        break;
    case saCopyRtoL:
        SetLeftDisplay(child, 0, 0, 0);
        SetRightDisplay(child, a->Time, a->Attr, a->Size);
        LeftNeeded += a->Size;
        break;
    case saSame:
    case saConflict:
        if (leftEntry) {
            SetLeftDisplay(child, a->Time, a->Attr, a->Size);
        }
        break;
    case saOverwriteRtoL:
        if (leftEntry) {
            SetLeftDisplay(child, a->Time, a->Attr, a->Size);
        }
        LeftNeeded += a->Size;
        break;
    case saOverwriteLtoR:
        if (leftEntry) {
            SetLeftDisplay(child, a->Time, a->Attr, a->Size);
        }
        RightNeeded += child->OtherSize;
        break;
    case saDeleteRight:
        // Deleted on the left: the analysis gives the item the right side's entry.
        SetLeftDisplay(child, 0, 0, 0);
        SetRightDisplay(child, a->Time, a->Attr, a->Size);
        break;
    case saDeleteLeft:
        SetLeftDisplay(child, a->Time, a->Attr, a->Size);
        SetRightDisplay(child, 0, 0, 0);
        break;
    case saDoNotCopy:
    case saExcluded:
    case saError:
        // Nothing happens to the item, so both sides show what they hold: a
        // file the direction keeps from being copied is still on its side.
        if (leftEntry) {
            SetLeftDisplay(child, a->Time, a->Attr, a->Size);
        }
        break;
    default:
        break;
    }
}

bool TResultRows::Admits(const TFileTree& item, int32_t kind) {
    switch (kind) {
    case vkAll:
        return true;
    case vkChanged:
        return item.OverwriteFlag + item.RtoLFlag + item.LtoRFlag + item.NewFlag + item.DeleteFlag >= 1;
    case vkConflicts:
        return item.ConflictFlag >= 1;
    case vkErrors:
        return item.ErrorFlag >= 1;
    case vkIncluded:
        return item.IncludedFlag >= 1;
    case vkExcluded:
        return item.ExcludedFlag >= 1;
    case vkNew:
        return item.NewFlag >= 1;
    case vkOverwrite:
        return item.OverwriteFlag >= 1;
    case vkDelete:
        return item.DeleteFlag >= 1;
    case vkLtoR:
        return item.LtoRFlag >= 1;
    case vkRtoL:
        return item.RtoLFlag >= 1;
    default:
        return false;
    }
}

std::string TResultRows::ExtensionOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

void TResultRows::FillView(TResultRow* parentRow, TFileTree* node, int32_t kind) {
    if (parentRow == nullptr || node == nullptr || syncRunning_) {
        return;
    }
    for (TFileTree* child : node->Children) {
        if (!Admits(*child, kind)) {
            continue;
        }
        TResultRow* row = parentRow->AddChild();
        FillRow(row, child);
        if (!child->Children.empty()) {
            FillView(row, child, kind);
        }
        parentRow->LeftSize += row->LeftSize;
        parentRow->RightSize += row->RightSize;
    }
}

void TResultRows::FillRow(TResultRow* row, TFileTree* item) {
    const TFileAttri* a = item->Data;
    row->Path = a != nullptr ? a->RelPath.str() : std::string();
    row->Name = a != nullptr ? a->Name : item->Name;
    row->IsFolder = a != nullptr ? a->IsFolder : 1;
    row->Item = item;
    if (row->IsFolder == 1) {
        row->ImageIndex = iiFolder;
    } else if (ExtImageIndex) {
        row->ImageIndex = ExtImageIndex(ExtensionOf(row->Name));
    } else {
        row->ImageIndex = iiNoIcon;
    }
    row->Action.store(item->Action);
    row->LtoRCount = item->LtoRFlag;
    row->RtoLCount = item->RtoLFlag;
    row->LeftDate = item->LeftTime;
    row->LeftAttr = item->LeftAttr;
    row->LeftSize = item->LeftSize;
    row->RightDate = item->OtherTime;
    row->RightAttr = item->OtherAttr;
    row->RightSize = item->OtherSize;
}

void TResultRows::ShowRootTotals() {
    if (!root_) {
        return;
    }
    root_->Action.store(saUnset);
    root_->LeftSize = 0;
    root_->RightSize = 0;
    root_->LtoRCount = 0;
    root_->RtoLCount = 0;
    for (int i = 0; i < root_->ChildCount(); ++i) {
        const TResultRow* row = root_->Child(i);
        root_->LeftSize += row->LeftSize;
        root_->RightSize += row->RightSize;
        root_->LtoRCount += row->LtoRCount;
        root_->RtoLCount += row->RtoLCount;
    }
}

// ---- Overrides -----------------------------------------------------------------

bool TResultRows::SetItemAction(TResultRow* row, int32_t code) {
    if (row == nullptr || syncRunning_) {
        return false;
    }
    SetRowAction(row, code);
    return true;
}

void TResultRows::SetRowAction(TResultRow* row, int32_t code) {
    // What a sync did or failed to do is not undone by a folder's override.
    if (Settled(*row)) {
        return;
    }
    row->Action.store(code);
    if (row != root_.get() && row->Item != nullptr) {
        // The first override of an item keeps what the analysis chose.
        chosen_.emplace(row->Item, row->Item->Action);
        row->Item->SetAction(code);
    }
    for (int i = 0; i < row->ChildCount(); ++i) {
        SetRowAction(row->Child(i), code);
    }
}

TItemActions TResultRows::UpdateItemActions(int32_t code, int32_t syncDirection) {
    TItemActions actions;
    switch (code) {
    case saUnset:
    case saConflict:
        actions = {true, true, true};
        break;
    case saCopyLtoR:
    case saCopyRtoL:
    case saDeleteRight:
    case saDeleteLeft:
        actions.DoNotCopy = true;
        break;
    case saSame:
    case saDoNotCopy:
        actions.LtoR = true;
        actions.RtoL = true;
        break;
    case saOverwriteRtoL:
        actions.DoNotCopy = true;
        actions.LtoR = true;
        break;
    case saOverwriteLtoR:
        actions.DoNotCopy = true;
        actions.RtoL = true;
        break;
    default:
        break;
    }
    // A one-way task offers no copy against its direction.
    if (syncDirection == 1) {
        actions.RtoL = false;
    } else if (syncDirection == 2) {
        actions.LtoR = false;
    }
    return actions;
}

TItemActions TResultRows::ItemActions(const TResultRow& row, int32_t syncDirection) const {
    // A settled row's values are what the sync left; copying it again from an
    // analysis made before the sync would act on what no longer is.
    if (Settled(row)) {
        return TItemActions();
    }
    return UpdateItemActions(row.Action.load(), syncDirection);
}

void TResultRows::ShowRowValues(TResultRow* row) {
    if (row == nullptr || syncRunning_) {
        return;
    }
    VisitRows(row, [this](TResultRow* below) { ShowItemValues(below); });
    for (TResultRow* above = row->Parent(); above != nullptr; above = above->Parent()) {
        ShowItemValues(above);
    }
    ShowRootTotals();
}

// A folder row's sizes are the sums of the rows below it, so only a file row
// takes its item's sizes, and the folder rows above it the difference.
void TResultRows::ShowItemValues(TResultRow* row) {
    const TFileTree* item = row->Item;
    if (item == nullptr || row == root_.get()) {
        return;
    }
    row->LtoRCount = item->LtoRFlag;
    row->RtoLCount = item->RtoLFlag;
    row->LeftDate = item->LeftTime;
    row->LeftAttr = item->LeftAttr;
    row->RightDate = item->OtherTime;
    row->RightAttr = item->OtherAttr;
    if (row->IsFolder == 1) {
        return;
    }
    const int64_t leftDelta = item->LeftSize - row->LeftSize;
    const int64_t rightDelta = item->OtherSize - row->RightSize;
    row->LeftSize = item->LeftSize;
    row->RightSize = item->OtherSize;
    for (TResultRow* above = row->Parent(); above != nullptr; above = above->Parent()) {
        above->LeftSize += leftDelta;
        above->RightSize += rightDelta;
    }
}

int32_t TResultRows::ChosenAction(const TResultRow& row) const {
    if (row.Item == nullptr) {
        return row.Action.load();
    }
    const auto found = chosen_.find(row.Item);
    return found != chosen_.end() ? found->second : row.Item->Action;
}

bool TResultRows::Overridden(const TResultRow& row) const {
    if (row.Item == nullptr) {
        return false;
    }
    const auto found = chosen_.find(row.Item);
    return found != chosen_.end() && found->second != AskedAction(row);
}

int32_t TResultRows::AskedAction(const TResultRow& row) const {
    if (row.Item == nullptr) {
        return row.Action.load();
    }
    const auto found = asked_.find(row.Item);
    return found != asked_.end() ? found->second : row.Item->Action;
}

bool TResultRows::Settled(const TResultRow& row) const {
    return row.Item != nullptr && asked_.count(row.Item) != 0;
}

// ---- After a synchronisation ---------------------------------------------------

void TResultRows::ShowSyncOutcome() {
    if (root_) {
        VisitRows(root_.get(), [this](TResultRow* row) { ShowRowOutcome(row); });
    }
}

// The sync marks a row done (18) and leaves its item's code as it was asked to
// carry it out, so the two together say what happened. A copy gave the target
// the source's entry (the copy keeps the source's time); a deletion left the
// side empty. A file's size change is carried up to every folder row above it.
// A folder's own date is left alone: a folder the sync made has the time it
// was made, which only the next scan knows.
void TResultRows::ShowRowOutcome(TResultRow* row) {
    if (row == root_.get() || row->Item == nullptr || !AsksForOperation(row->Item->Action)) {
        return;
    }
    const int32_t shown = row->Action.load();
    if (shown == saError) {
        SettleItem(row, saError);
        return;
    }
    if (shown != saSame) {
        return; // not reached: still what the analysis proposed
    }
    const int32_t asked = row->Item->Action;
    const bool file = row->IsFolder != 1;
    int64_t leftDelta = 0;
    int64_t rightDelta = 0;
    switch (asked) {
    case saCopyLtoR:
    case saOverwriteLtoR:
        if (file) {
            rightDelta = row->LeftSize - row->RightSize;
            row->RightDate = row->LeftDate;
            row->RightAttr = row->LeftAttr;
            row->RightSize = row->LeftSize;
        }
        break;
    case saCopyRtoL:
    case saOverwriteRtoL:
        if (file) {
            leftDelta = row->RightSize - row->LeftSize;
            row->LeftDate = row->RightDate;
            row->LeftAttr = row->RightAttr;
            row->LeftSize = row->RightSize;
        }
        break;
    case saDeleteRight:
        row->RightDate = 0;
        row->RightAttr = 0;
        if (file) {
            rightDelta = -row->RightSize;
            row->RightSize = 0;
        }
        break;
    case saDeleteLeft:
        row->LeftDate = 0;
        row->LeftAttr = 0;
        if (file) {
            leftDelta = -row->LeftSize;
            row->LeftSize = 0;
        }
        break;
    default:
        break;
    }
    for (TResultRow* above = row->Parent(); above != nullptr; above = above->Parent()) {
        above->LeftSize += leftDelta;
        above->RightSize += rightDelta;
    }
    SettleItem(row, saSame);
}

// The item takes the row's values and the outcome's code; what it was asked to
// do is kept for the action hint.
void TResultRows::SettleItem(TResultRow* row, int32_t outcome) {
    TFileTree* item = row->Item;
    asked_.emplace(item, item->Action);
    SetLeftDisplay(item, row->LeftDate, row->LeftAttr, row->LeftSize);
    SetRightDisplay(item, row->RightDate, row->RightAttr, row->RightSize);
    item->SetAction(outcome);
    // Only leaves carry flags of their own; the Errors view finds a failed
    // item by this one.
    if (outcome == saError && item->ChildCount < 1) {
        item->ErrorFlag = 1;
    }
}

// ---- Iteration -----------------------------------------------------------------

void TResultRows::ForEachRow(const std::function<void(TResultRow*)>& visit) const {
    if (root_) {
        VisitRows(root_.get(), visit);
    }
}

int TResultRows::RowCount() const {
    int count = 0;
    ForEachRow([&count](TResultRow*) { ++count; });
    return count;
}

int TResultRows::ConflictsLeft() const {
    if (resultTree_ == nullptr) {
        return 0;
    }
    std::map<const TFileTree*, int32_t> shown;
    ForEachRow([&shown](TResultRow* row) {
        if (row->Item != nullptr) {
            shown[row->Item] = row->Action.load();
        }
    });
    int count = 0;
    std::vector<const TFileTree*> pending = {resultTree_};
    while (!pending.empty()) {
        const TFileTree* node = pending.back();
        pending.pop_back();
        for (const TFileTree* child : node->Children) {
            const auto row = shown.find(child);
            const int32_t code = row != shown.end() ? row->second : child->Action;
            const bool filtered = child->IncludedFlag == 0 && child->ExcludedFlag > 0;
            count += code == saConflict && !filtered ? 1 : 0;
            pending.push_back(child);
        }
    }
    return count;
}

} // namespace tandemora
