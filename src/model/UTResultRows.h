#pragma once
// The rows of a task window's result view, without any drawing.
//
// A result view shows one analysis result through one view kind at a time (all
// items, changes, conflicts, ...). Its rows form a tree of their own: a root row
// named after the task, and below it one row per admitted result item, each a
// TVSTNode record that copies the item's display values and points at the item.
// The sync thread walks exactly these rows, so what the view shows is what a
// synchronisation acts on. A Qt widget presents them through a model/view adapter
// (parent, index, children); everything here runs on the main thread except the
// sync thread's writes of TVSTNode::Action, which are atomic.

#include "model/UTFileTree.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tandemora {

// True for the action codes that ask a sync to copy or delete.
bool AsksForOperation(int32_t code);

// The view kinds a result can be shown through.
enum : int32_t {
    vkAll = 0,
    vkChanged = 1,
    vkConflicts = 2,
    vkErrors = 3,
    vkIncluded = 4,
    vkExcluded = 5,
    vkNew = 6,
    vkOverwrite = 7,
    vkDelete = 8,
    vkLtoR = 9,
    vkRtoL = 10,
};

// Image indexes of column 0 that the rows fix themselves.
enum : int32_t {
    iiFolder = 5,
    iiNoIcon = 6,
    iiRoot = 7,
};

// One row: the TVSTNode record plus its place in the row tree. Rows own their
// child rows; the result item behind a row (Item) belongs to the analysis.
class TResultRow : public TVSTNode {
public:
    TResultRow() = default;
    TResultRow(const TResultRow&) = delete;
    TResultRow& operator=(const TResultRow&) = delete;

    TResultRow* Parent() const { return parent_; }
    // Position among the parent's rows (0 for the root row).
    int Index() const { return index_; }
    int ChildCount() const { return static_cast<int>(children_.size()); }
    bool HasChildren() const { return !children_.empty(); }
    // The child row at index, or null outside 0 .. ChildCount() - 1.
    TResultRow* Child(int index) const;
    // Appends an empty row below this one and returns it.
    TResultRow* AddChild();
    void ClearChildren() { children_.clear(); }

private:
    TResultRow* parent_ = nullptr;
    int index_ = 0;
    std::vector<std::unique_ptr<TResultRow>> children_;
};

// Which of the three per-row overrides the popup offers for a row.
struct TItemActions {
    bool LtoR = false;      // left over right (code 20)
    bool RtoL = false;      // right over left (code 19)
    bool DoNotCopy = false; // skip (code 21)
};

class TResultRows {
public:
    TResultRows() = default;
    TResultRows(const TResultRows&) = delete;
    TResultRows& operator=(const TResultRows&) = delete;

    // Clears the rows and adds the root row named syncName (image 7). A task
    // without a name gets no root row and no view. Ignored while a
    // synchronisation walks the rows.
    void InitView(const std::string& syncName);
    // The root row, or null before InitView (or for a task without a name).
    TResultRow* RootRow() const { return root_.get(); }

    // The result of the last analysis that the rows show (not owned; null before
    // the first analysis). Ignored while a synchronisation walks the rows.
    void SetResultTree(TFileTree* tree);
    TFileTree* ResultTree() const { return resultTree_; }
    // The kind last shown (vkChanged until another is chosen).
    int32_t CurrentKind() const { return currentKind_; }

    // Rebuilds the rows for one view kind: recount, root row again, fill, recount,
    // root totals. Refused (false, rows and result untouched) before the first
    // analysis, without a root row, or while a synchronisation walks the rows.
    bool ShowView(int32_t kind);

    // Recounts the result below node: display values by action code, the bytes a
    // synchronisation would write on each side (LeftNeeded, RightNeeded, summed
    // from zero), and the ten category counts summed upward onto folders. Like
    // FillView, it does nothing while a synchronisation walks the rows.
    void RecountTree(TFileTree* node);
    // Adds a row under parentRow for every child of node that kind admits, and
    // below them their admitted children; row sizes are summed upward.
    void FillView(TResultRow* parentRow, TFileTree* node, int32_t kind);
    // The root row gets code -1 and the sums of its child rows' sizes and counts.
    void ShowRootTotals();

    // Overrides the code of a row and of every row shown below it (and their
    // result items; the root row has no item). Items the view hides keep their
    // codes. The caller recounts the result afterwards. Refused (false) for a
    // null row and while a synchronisation walks the rows.
    bool SetItemAction(TResultRow* row, int32_t code);
    // The overrides offered for a row with this code in a task of this direction.
    static TItemActions UpdateItemActions(int32_t code, int32_t syncDirection);
    // The overrides the popup offers for one row: none for a row a sync has
    // settled (done or failed), else those of its code.
    TItemActions ItemActions(const TResultRow& row, int32_t syncDirection) const;
    // After an override and the recount: the row, every row below it and every
    // row above it show their items' values and counts again, and the root row
    // its totals, without rebuilding the view.
    void ShowRowValues(TResultRow* row);
    // The code the analysis chose for a row's item; differs from the item's own
    // code once the person overrode it. A row without an item: its own code.
    int32_t ChosenAction(const TResultRow& row) const;
    // True when the person set the row's action in place of the analysis' choice.
    bool Overridden(const TResultRow& row) const;
    // The action a row's item was to carry out: for an item a sync settled, the
    // code it had before; otherwise the item's code (a row without an item: its own).
    int32_t AskedAction(const TResultRow& row) const;
    // True for a row whose item a sync carried out or failed on.
    bool Settled(const TResultRow& row) const;

    // After a synchronisation has handed the rows back: every row it marked done
    // shows what the sides now hold (the copied side takes the source's date,
    // attributes and size; a deleted side is empty), and the folder rows above
    // it their new sums. Rows that failed or were not reached keep the values
    // the analysis saw. The result takes the outcome too: a done item becomes
    // alike on both sides (18) with the values its row shows, a failed one an
    // error (3), so every view shown afterwards shows what the sync left, and
    // nothing it did counts as a change to make again.
    void ShowSyncOutcome();

    // Whether a view kind shows an item, by the item's (recounted) category counts.
    static bool Admits(const TFileTree& item, int32_t kind);
    // The extension of a name as the icon lookup wants it: from the last "." on,
    // the dot included; empty without a dot.
    static std::string ExtensionOf(const std::string& name);

    // Every row, the root row first, parents before their children.
    void ForEachRow(const std::function<void(TResultRow*)>& visit) const;
    // Number of rows, the root row included.
    int RowCount() const;
    // The items a run leaves as conflicts: by the code of the row that shows an
    // item, or the result's own code where no row does (the Changes view shows
    // no conflicts). Items the filters keep out are not counted.
    int ConflictsLeft() const;

    // Set while a synchronisation walks the rows (by the sync thread, on the main
    // thread); view rebuilds and overrides are refused meanwhile.
    void SetSyncRunning(bool running) { syncRunning_ = running; }
    bool SyncRunning() const { return syncRunning_; }

    // Bytes the shown result would write on each side (after RecountTree).
    int64_t LeftNeeded = 0;
    int64_t RightNeeded = 0;

    // The icon image of a file's extension; the window supplies it. Without it
    // every file row gets image 6.
    std::function<int32_t(const std::string& ext)> ExtImageIndex;

private:
    void RecountNode(TFileTree* node);
    void ApplyDisplayValues(TFileTree* child);
    void FillRow(TResultRow* row, TFileTree* item);
    void SetRowAction(TResultRow* row, int32_t code);
    void ShowRowOutcome(TResultRow* row);
    void SettleItem(TResultRow* row, int32_t outcome);
    void ShowItemValues(TResultRow* row);

    // The analysis' code of every item the person overrode, by item.
    std::unordered_map<const TFileTree*, int32_t> chosen_;
    // The code every item a sync settled had before it, by item.
    std::unordered_map<const TFileTree*, int32_t> asked_;

    std::unique_ptr<TResultRow> root_;
    std::string rootName_;
    TFileTree* resultTree_ = nullptr;
    int32_t currentKind_ = vkChanged;
    bool syncRunning_ = false;
};

} // namespace tandemora
