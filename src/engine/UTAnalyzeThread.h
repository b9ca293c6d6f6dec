#pragma once
// The comparison worker: turns the two scanned trees of a task, and the two
// snapshots of its last synchronisation, into one result tree in which every item
// carries an action code.
//
// With usable snapshots of both sides, each side is first compared with its own
// snapshot (what changed since the last synchronisation) and the two change trees
// are then combined; otherwise the two trees are compared directly by time. The
// task's direction then adjusts each proposal, and the filters mark every item
// included or excluded.
//
// The result tree holds the input nodes themselves; the only nodes made here are
// the change-tree roots and the folder nodes for folders found on both sides, all
// taken from the result tree's arena. So the input trees' arenas and the result's
// must live as long as the result is used.
//
// An item found on both sides carries the other endpoint's time, attributes and
// size (OtherTime, OtherAttr, OtherSize); an item the other endpoint does not
// hold now (found on one side only, or deleted there since the last
// synchronisation) carries -1, -1, 0 there, as the view and the sync read them.
// An item that only the right side holds now is the right side's node and is
// marked RightEntry, so its entry shows (and is checked) on the right.
//
// Nothing is proposed from what a scan did not see: below a folder that one side
// could not list (ListFailed), and everywhere when a side's scan stopped early
// (ListFailed on its root), every item gets saDoNotCopy, and the folder is
// listed in UnseenFolders so the window can say why.

#include "engine/UTFilters.h"
#include "engine/UTRunStamp.h"
#include "engine/UTSameContent.h"
#include "model/UTFileTree.h"
#include "platform/Messages.h"
#include "platform/Thread.h"
#include "tasks/UTSyncTask.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tandemora {

// A folder whose contents one side's scan could not see.
struct TUnseenFolder {
    int32_t Side = 0; // 0 left, 1 right
    // The folder's relative path (its RelPath followed by its name); empty for the
    // whole side, when that side's scan stopped early.
    std::string Path;
};

class TAnalyzeThread : public TThread {
public:
    // Created without running; the window wires NotifyWnd and OnTerminate, then
    // calls Start(). ResultTree must be an empty root made with an arena.
    TAnalyzeThread(TSyncTask* Task, TFileTree* LeftTree, TFileTree* RightTree, TFileTree* ResultTree,
                   TFileTree* LeftSnapshot, TFileTree* RightSnapshot);
    // Stops and joins a running analysis before its members go.
    ~TAnalyzeThread() override;

    std::string ExcludeExpr;
    std::string IncludeExpr;
    TSyncTask* Task;
    TFileTree* LeftTree;
    TFileTree* RightTree;
    TFileTree* ResultTree;
    TFileTree* RightSnapshot;
    TFileTree* LeftSnapshot;
    TFileTree* LeftChanges;
    TFileTree* RightChanges;
    NotifyTarget* NotifyWnd = nullptr;

    // What the run found out besides the result. Read in the end handler.
    bool UsedSnapshots = false; // snapshot mode ran (else direct mode)
    // A side that scans empty while its snapshot lists items: nothing is deleted
    // on the other side on its account (those items get saDoNotCopy), and the
    // window says why. Set in snapshot mode only.
    bool LeftEmptied = false;
    bool RightEmptied = false;
    // The same for a folder of a side that was or is a mount point (a disk not
    // mounted there now): it lists nothing, or hidden items only, while its
    // snapshot lists items. Its full path, once per folder; the side's root
    // itself sets LeftEmptied or RightEmptied instead.
    std::vector<std::string> LeftEmptiedFolders;
    std::vector<std::string> RightEmptiedFolders;
    std::vector<TUnseenFolder> UnseenFolders; // folders whose items got no operation
    // A filter pattern that does not compile ends the analysis: the pattern (or,
    // when no single pattern is at fault, the joined expression) and PCRE2's
    // message. So does an expression whose search gives up on a name (the joined
    // expression, and PCRE2's message with the name). Both empty when the filters
    // were fine.
    std::string FilterPattern;
    std::string FilterError;

    // Asked whether a file that both sides changed, with equal sizes and
    // different times, holds the same bytes on both; made from the task by the
    // constructor (a caller may give another before the start, or none).
    std::unique_ptr<TSameContent> SameContent;
    // Terminate, and abort a comparison's download in flight.
    void StopAnalysis();

    // The run: expressions, mode, comparison, filters. Public so that a caller
    // without a main-thread loop can run an analysis on its own thread.
    void Execute() override;

    // ---- Steps of the run ----------------------------------------------------------

    // Step 1: ExcludeExpr, then IncludeExpr, from the task's and the program's lists.
    void BuildFilterExpressions();
    // Step 2: true when both snapshots have items, loaded completely, were
    // taken of the folders the task names now (the same path, letter case
    // included; blanks at the ends and trailing separators aside), and were
    // written together by one synchronisation (the task's run stamp).
    bool ChooseSnapshotMode() const;
    // The same test for any pair of loaded snapshots of the task.
    static bool SnapshotsUsable(const TSyncTask* Task, const TFileTree* LeftSnapshot,
                                const TFileTree* RightSnapshot);

    // Direct comparison of two child lists.
    void CompareTrees(TFileTree* LeftParent, TFileTree* RightParent, TFileTree* ResultParent);
    // One side against its own snapshot, into a change tree.
    void DiffWithSnapshot(TFileTree* ScannedParent, TFileTree* SnapshotParent, TFileTree* ChangesParent);
    // The two change trees combined into the result.
    void CombineChanges(TFileTree* LeftParent, TFileTree* RightParent, TFileTree* ResultParent);

    // The combination table of a left and a right change code.
    static int32_t CombineCodes(int32_t LeftCode, int32_t RightCode, bool FolderFlag);
    // The task's direction rule applied to a proposal.
    static int32_t ApplyDirection(const TSyncTask* Task, int32_t Code);
    // SetAction on the node and on every node below it.
    static void SetActionRecursive(TFileTree* Node, int32_t Code);

    // ---- Filters -----------------------------------------------------------------------

    // saIncluded or saExcluded for one result node. Compiles the expressions on
    // its first call; raises EFilterError when one does not compile. Without
    // EmptyFolderRule an empty folder is judged like any other item.
    int32_t ClassifyItem(TFileTree* Node, bool EmptyFolderRule = true);
    // SetFilterState on the node and on every node below it.
    static void SetFilterRecursive(TFileTree* Node, int32_t State);
    // The filter walk over a result tree, from its root.
    void ApplyFilters(TFileTree* Node);

    // Puts every level below Node in the order the merge walks rely on (folders
    // first, then files, each by CompareNames), sorting only the levels that are
    // out of order. A snapshot written by another version may need it.
    static void OrderTree(TFileTree* Node);

private:
    enum TWalkKind { wkCompare, wkDiff, wkCombine };

    void MergeWalk(TWalkKind Kind, TFileTree* A, TFileTree* B, TFileTree* O);
    void TakeOneSide(TWalkKind Kind, TFileTree* Node, int32_t Code, int32_t Side, TFileTree* O);
    void PairBoth(TWalkKind Kind, TFileTree* A, TFileTree* B, TFileTree* O);
    void PairCompare(TFileTree* A, TFileTree* B, TFileTree* O);
    void PairDiff(TFileTree* A, TFileTree* B, TFileTree* O);
    void PairCombine(TFileTree* A, TFileTree* B, TFileTree* O);
    void TakePair(TFileTree* Own, TFileTree* A, TFileTree* B, int32_t Code, TFileTree* O);
    bool DropGone(const TFileTree* Node);
    void BlockKindClashes(TFileTree* O);
    void HoldBackEmptiedSides();
    bool SideLooksUnmounted(int32_t Side, const TFileTree* Scanned, const TFileTree* Snapshot,
                            const std::string& Rel, const std::vector<std::string>& WasMounted) const;
    void HoldBackEmptiedFolders(int32_t Side, const TFileTree* Scanned, const TFileTree* Snapshot,
                                const std::string& Rel, const std::vector<std::string>& WasMounted);
    TFileTree* ResultFolder(const std::string& Rel) const;
    static bool HoldBack(TFileTree* Result, int32_t Side);
    static int ReplaceCode(TFileTree* Node, int32_t From, int32_t To);
    // Both sides changed the file A (left) and B (right) to the same size:
    // true when their bytes are the same.
    void SettleListedAlike(TFileTree* A, TFileTree* B);
    bool SameBytes(const TFileTree* A, const TFileTree* B, bool Remembered = true);

    // Marks a one-sided subtree with Code, except what lies below an unseen folder
    // (saDoNotCopy) and, when combining, items deleted since the snapshot that no
    // side holds any more (saSame).
    void MarkOneSide(TFileTree* Node, int32_t Code, int32_t Side, bool Combining);
    // Takes away every proposal of a folder pair of which one side was not seen.
    void BlockUnseenPair(TFileTree* A, TFileTree* B, TFileTree* Result);
    void NoteUnseen(const TFileTree* Node, int32_t Side);
    // Everything gets no operation when a side's scan stopped early.
    void BlockStoppedScans();

    void CompileFilters();
    // Regex.Matches(Name); when the search fails, FilterPattern and FilterError
    // say so before the error goes on.
    bool SearchName(const TFilterRegex& Regex, const std::string& Expr, const std::string& Name);
    bool CompileOne(TFilterRegex& Regex, const std::string& Expr, const std::vector<std::string>& TaskList,
                    const std::vector<std::string>& ProgramList);

    // Whether a file's scanned time and its snapshot time name one instant, the
    // snapshot's read in the zone the last synchronisation ran in.
    bool SameInstantThen(int32_t Now, int32_t Then) const;

    bool filtersCompiled_ = false;
    // The snapshots were written in another time zone than this run's.
    // Digests of the bytes the last sync left in ListedAlike files, by their
    // change-tree node (where the sync knew them).
    std::map<const TFileTree*, uint32_t> alikeDigests_;
    bool zoneMoved_ = false;
    TZoneOffsets zoneThen_;
    int unseenLevels_ = 0; // folder levels of the combination one side could not list
    TFilterRegex includeRegex_;
    TFilterRegex excludeRegex_;
};

} // namespace tandemora
