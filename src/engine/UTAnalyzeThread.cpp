#include "engine/UTAnalyzeThread.h"

#include "engine/UTRunStamp.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "tasks/UTSysConfig.h"

#include <algorithm>
#include <stdexcept>

namespace tandemora {

namespace {

bool IsFolder(const TFileTree* node) {
    return node->Data != nullptr && node->Data->IsFolder != 0;
}

bool HasChildren(const TFileTree* node) {
    return !node->Children.empty();
}

// The walk order of two siblings: folders before files, then the one name order.
int SiblingOrder(const TFileTree* a, const TFileTree* b) {
    const bool aFolder = IsFolder(a);
    const bool bFolder = IsFolder(b);
    if (aFolder != bFolder) {
        return aFolder ? -1 : 1;
    }
    return CompareNames(a->Name, b->Name);
}

// Blanks and control characters off both ends.
std::string TrimText(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') {
        --last;
    }
    return text.substr(first, last - first);
}

// The folder a path names, as text to compare: blanks at the ends go (the
// endpoints trim them too) and so do trailing separators (a backslash only on a
// network path, where it is one). Letter case stays: on this system
// "/data/Docs" and "/data/docs" are two folders, and a snapshot of the one taken
// for the other would make everything the other lacks look deleted, so the
// analysis would propose deleting it on the far side. A snapshot whose root
// differs only in letter case (a folder on a case-blind volume) is not used: the
// direct comparison proposes no deletion.
std::string FolderKey(const std::string& path) {
    std::string key = TrimText(path);
    const bool network = fs::IsUncPath(key);
    while (key.size() > 1 && (key.back() == '/' || (network && key.back() == '\\'))) {
        key.pop_back();
    }
    return key;
}

bool SnapshotTakenOf(const TFileTree* snapshot, const std::string& folder) {
    return FolderKey(snapshot->Name) == FolderKey(folder);
}

bool SnapshotUsable(const TFileTree* snapshot) {
    return snapshot != nullptr && snapshot->ListFailed == 0;
}

void CopyOtherValues(TFileTree* to, const TFileTree* from) {
    if (from->Data == nullptr) {
        return;
    }
    to->OtherTime = from->Data->Time;
    to->OtherAttr = from->Data->Attr;
    to->OtherSize = from->Data->Size;
}

// The values of a new node: no such item on the other side. The result view
// shows them as the other side's columns and the sync checks the target against
// them, so an item the other side lacks must not keep what the comparison with
// its own snapshot left there.
void NoOtherItem(TFileTree* node) {
    node->OtherTime = -1;
    node->OtherAttr = -1;
    node->OtherSize = 0;
}

void NoOtherItemBelow(TFileTree* node) {
    NoOtherItem(node);
    for (TFileTree* child : node->Children) {
        NoOtherItemBelow(child);
    }
}

// DOS date-times order as unsigned numbers: dates from 2044 on have the top bit
// set and would read as negative.
bool Later(int32_t a, int32_t b) {
    return static_cast<uint32_t>(a) > static_cast<uint32_t>(b);
}

// A file as the comparison sees it: its time and its size. A size that changed
// under an unchanged time (servers that list minutes only, tools that keep the
// time) is a change all the same.
bool SameFile(const TFileAttri* a, int32_t time, int64_t size) {
    return a->Time == time && a->Size == size;
}

bool Present(const TFileTree* changeNode) {
    return changeNode->Action != saDeletedSinceSync;
}

// The other side's values of a pair of change-tree items. An entry deleted since
// the snapshot is no item of its endpoint any more: the other side holds nothing.
void CombinedOtherValues(TFileTree* to, const TFileTree* from) {
    if (from->Action == saDeletedSinceSync) {
        NoOtherItem(to);
    } else {
        CopyOtherValues(to, from);
    }
}

bool NewOrChanged(int32_t code) {
    return code == saNewSinceSync || code == saChangedSinceSync;
}

// A one-way task's target follows its source: an item the target lost since the
// last sync is copied again, also when the source changed it meanwhile (the
// target's deletion is never carried over, so there is nothing to weigh).
int32_t TargetLost(const TSyncTask* Task, int32_t LeftCode, int32_t RightCode, int32_t Combined) {
    if (Task->SyncDirection == sdLeftToRight && RightCode == saDeletedSinceSync && NewOrChanged(LeftCode)) {
        return saCopyLtoR;
    }
    if (Task->SyncDirection == sdRightToLeft && LeftCode == saDeletedSinceSync && NewOrChanged(RightCode)) {
        return saCopyRtoL;
    }
    return Combined;
}

// An empty folder where the other side holds a file of its name is one side of a
// replacement (the folder makes way for the file, or takes its place), not an
// empty folder to leave out: left out, it would stop the file or keep it.
bool ReplacesOrGivesWay(const TFileTree* Parent, const TFileTree* Folder) {
    if (!IsFolder(Folder) || HasChildren(Folder)) {
        return false;
    }
    return std::any_of(Parent->Children.begin(), Parent->Children.end(), [Folder](const TFileTree* file) {
        return file->Data != nullptr && !IsFolder(file) && CompareNames(file->Name, Folder->Name) == 0;
    });
}

} // namespace

TAnalyzeThread::TAnalyzeThread(TSyncTask* Task, TFileTree* LeftTree, TFileTree* RightTree,
                               TFileTree* ResultTree, TFileTree* LeftSnapshot, TFileTree* RightSnapshot)
    : Task(Task), LeftTree(LeftTree), RightTree(RightTree), ResultTree(ResultTree),
      RightSnapshot(RightSnapshot), LeftSnapshot(LeftSnapshot) {
    if (Task == nullptr || LeftTree == nullptr || RightTree == nullptr || ResultTree == nullptr ||
        ResultTree->Arena == nullptr) {
        throw std::invalid_argument("an analysis needs a task, both trees and a result root with an arena");
    }
    // The change trees' nodes end up in the result, so they share its arena.
    LeftChanges = ResultTree->Arena->NewNode("", nullptr);
    RightChanges = ResultTree->Arena->NewNode("", nullptr);
    SetFreeOnTerminate(false);
}

TAnalyzeThread::~TAnalyzeThread() {
    Terminate();
    WaitFor();
}

// ---- The run ---------------------------------------------------------------------------

void TAnalyzeThread::Execute() {
    BuildFilterExpressions();
    UsedSnapshots = ChooseSnapshotMode();
    if (UsedSnapshots) {
        OrderTree(LeftTree);
        OrderTree(RightTree);
        OrderTree(LeftSnapshot);
        OrderTree(RightSnapshot);
        DiffWithSnapshot(LeftTree, LeftSnapshot, LeftChanges);
        DiffWithSnapshot(RightTree, RightSnapshot, RightChanges);
        CombineChanges(LeftChanges, RightChanges, ResultTree);
    } else {
        OrderTree(LeftTree);
        OrderTree(RightTree);
        CompareTrees(LeftTree, RightTree, ResultTree);
    }
    BlockStoppedScans();
    ApplyFilters(ResultTree);
    if (UsedSnapshots) {
        HoldBackEmptiedSides();
    }
}

void TAnalyzeThread::BuildFilterExpressions() {
    static const std::vector<std::string> none;
    const std::vector<std::string>& programExclude = SysConfig ? SysConfig->ExcludeFilter : none;
    const std::vector<std::string>& programInclude = SysConfig ? SysConfig->IncludeFilter : none;
    ExcludeExpr = BuildFilterExpr(Task->ExcludeFilter, programExclude);
    IncludeExpr = BuildFilterExpr(Task->IncludeFilter, programInclude);
    filtersCompiled_ = false;
}

bool TAnalyzeThread::ChooseSnapshotMode() const {
    return SnapshotsUsable(Task, LeftSnapshot, RightSnapshot);
}

bool TAnalyzeThread::SnapshotsUsable(const TSyncTask* Task, const TFileTree* LeftSnapshot,
                                     const TFileTree* RightSnapshot) {
    return SnapshotUsable(LeftSnapshot) && SnapshotUsable(RightSnapshot) &&
           SnapshotTakenOf(LeftSnapshot, Task->LFolder.FolerAllName) &&
           SnapshotTakenOf(RightSnapshot, Task->RFolder.FolerAllName) &&
           TRunStamp::Matches(*Task, LeftSnapshot, RightSnapshot);
}

void TAnalyzeThread::OrderTree(TFileTree* Node) {
    if (Node == nullptr) {
        return;
    }
    TFileTreeList& children = Node->Children;
    for (size_t i = 1; i < children.size(); ++i) {
        if (SiblingOrder(children[i - 1], children[i]) > 0) {
            std::stable_sort(children.begin(), children.end(),
                             [](const TFileTree* a, const TFileTree* b) { return SiblingOrder(a, b) < 0; });
            break;
        }
    }
    for (TFileTree* child : children) {
        if (HasChildren(child)) {
            OrderTree(child);
        }
    }
}

// ---- The merge walk -----------------------------------------------------------------

void TAnalyzeThread::CompareTrees(TFileTree* LeftParent, TFileTree* RightParent, TFileTree* ResultParent) {
    MergeWalk(wkCompare, LeftParent, RightParent, ResultParent);
}

void TAnalyzeThread::DiffWithSnapshot(TFileTree* ScannedParent, TFileTree* SnapshotParent,
                                      TFileTree* ChangesParent) {
    // The change tree must know where its side was not seen, so that the
    // combination proposes nothing there.
    if (ScannedParent->ListFailed != 0) {
        ChangesParent->ListFailed = 1;
    }
    MergeWalk(wkDiff, ScannedParent, SnapshotParent, ChangesParent);
}

void TAnalyzeThread::CombineChanges(TFileTree* LeftParent, TFileTree* RightParent, TFileTree* ResultParent) {
    const int unseen = LeftParent->ListFailed != 0 || RightParent->ListFailed != 0 ? 1 : 0;
    unseenLevels_ += unseen;
    MergeWalk(wkCombine, LeftParent, RightParent, ResultParent);
    unseenLevels_ -= unseen;
}

// An item deleted since the snapshots that neither side holds any more is no item
// of the result: shown as "same" it would hide its folder's own proposal from the
// Changes view. The snapshots still list it, so the run must rewrite them, or a
// file of that name made later would read as a conflict with that deletion.
// Below a folder a side could not list nothing is known, and nothing goes.
bool TAnalyzeThread::DropGone(const TFileTree* Node) {
    if (unseenLevels_ != 0 || Node->ListFailed != 0 || Present(Node)) {
        return false;
    }
    ResultTree->Agreed = 1;
    return true;
}

void TAnalyzeThread::MergeWalk(TWalkKind Kind, TFileTree* A, TFileTree* B, TFileTree* O) {
    // Also before the first step: a walk that starts after a cancel must not take
    // a cut-short change tree for the whole side.
    if (Terminated()) {
        return;
    }
    int32_t codeA = saNewSinceSync;
    int32_t codeB = saDeletedSinceSync;
    if (Kind != wkDiff) {
        codeA = ApplyDirection(Task, saCopyLtoR);
        codeB = ApplyDirection(Task, saCopyRtoL);
    }
    const TFileTreeList& as = A->Children;
    const TFileTreeList& bs = B->Children;
    size_t i = 0;
    size_t j = 0;
    if (!as.empty() && !bs.empty()) {
        while (i < as.size()) {
            if (Terminated()) {
                return;
            }
            if (j >= bs.size()) {
                break;
            }
            const int order = SiblingOrder(as[i], bs[j]);
            if (order < 0) {
                TakeOneSide(Kind, as[i++], codeA, 0, O);
            } else if (order > 0) {
                TakeOneSide(Kind, bs[j++], codeB, 1, O);
            } else {
                PairBoth(Kind, as[i++], bs[j++], O);
            }
        }
    }
    for (; i < as.size(); ++i) {
        TakeOneSide(Kind, as[i], codeA, 0, O);
    }
    for (; j < bs.size(); ++j) {
        TakeOneSide(Kind, bs[j], codeB, 1, O);
    }
    if (Kind == wkCombine) {
        BlockKindClashes(O);
    }
}

// A folder new on one side and a file of its name new on the other: each copy
// would meet the other item in its way, and no side says which one goes.
void TAnalyzeThread::BlockKindClashes(TFileTree* O) {
    std::vector<TFileTree*> folders;
    for (TFileTree* child : O->Children) {
        if (IsFolder(child) && (child->Action == saCopyLtoR || child->Action == saCopyRtoL)) {
            folders.push_back(child);
        }
    }
    for (TFileTree* file : O->Children) {
        if (folders.empty() || IsFolder(file) || (file->Action != saCopyLtoR && file->Action != saCopyRtoL)) {
            continue;
        }
        for (TFileTree* folder : folders) {
            if (folder->Action != file->Action && CompareNames(folder->Name, file->Name) == 0) {
                SetActionRecursive(folder, saConflict);
                file->SetAction(saConflict);
            }
        }
    }
}

void TAnalyzeThread::TakeOneSide(TWalkKind Kind, TFileTree* Node, int32_t Code, int32_t Side, TFileTree* O) {
    if (Kind == wkCombine && DropGone(Node)) {
        return;
    }
    if (Kind == wkDiff) {
        SetActionRecursive(Node, Code);
    } else {
        MarkOneSide(Node, Code, Side, Kind == wkCombine);
    }
    O->AppendNode(Node);
}

void TAnalyzeThread::PairBoth(TWalkKind Kind, TFileTree* A, TFileTree* B, TFileTree* O) {
    switch (Kind) {
    case wkCompare:
        PairCompare(A, B, O);
        break;
    case wkDiff:
        PairDiff(A, B, O);
        break;
    case wkCombine:
        PairCombine(A, B, O);
        break;
    }
}

void TAnalyzeThread::PairCompare(TFileTree* A, TFileTree* B, TFileTree* O) {
    if (IsFolder(A)) {
        TFileTree* folder = O->AddChild(A->Name, A->Data);
        if (HasChildren(A) || HasChildren(B)) {
            CompareTrees(A, B, folder);
        } else {
            // A folder both sides hold is in step; left unsettled it would never
            // enter the snapshots and come back as a conflict at every run.
            folder->SetAction(saSame);
        }
        BlockUnseenPair(A, B, folder);
        return;
    }
    // The newer file wins; two files of one time but different sizes cannot be
    // told apart by time, so the user decides.
    const int32_t leftTime = A->Data->Time;
    const int32_t rightTime = B->Data->Time;
    int32_t code = saSame;
    if (Later(leftTime, rightTime)) {
        code = ApplyDirection(Task, saOverwriteLtoR);
    } else if (Later(rightTime, leftTime)) {
        code = ApplyDirection(Task, saOverwriteRtoL);
    } else if (A->Data->Size != B->Data->Size) {
        code = saConflict;
    }
    A->SetAction(code);
    CopyOtherValues(A, B);
    O->AppendNode(A);
}

void TAnalyzeThread::PairDiff(TFileTree* A, TFileTree* B, TFileTree* O) {
    if (IsFolder(A)) {
        TFileTree* folder = O->AddChild(A->Name, A->Data);
        folder->ListFailed = A->ListFailed;
        if (HasChildren(A) || HasChildren(B)) {
            DiffWithSnapshot(A, B, folder);
        }
        return;
    }
    A->SetAction(SameFile(A->Data, B->Data->Time, B->Data->Size) ? saSame : saChangedSinceSync);
    CopyOtherValues(A, B);
    O->AppendNode(A);
}

void TAnalyzeThread::PairCombine(TFileTree* A, TFileTree* B, TFileTree* O) {
    // Deleted on the left and still held on the right: the item is the right
    // side's file now, so the result takes the right node (the left one is only
    // the old snapshot entry), and the left side holds nothing.
    if (!Present(A) && !Present(B) && DropGone(A) && DropGone(B)) {
        return;
    }
    const bool leftGone = !Present(A) && Present(B);
    TFileTree* own = leftGone ? B : A;
    const int32_t combined =
        TargetLost(Task, A->Action, B->Action, CombineCodes(A->Action, B->Action, IsFolder(A)));
    if (IsFolder(A)) {
        if (HasChildren(A) || HasChildren(B)) {
            TFileTree* folder = O->AddChild(A->Name, own->Data);
            folder->RightEntry = leftGone ? 1 : 0;
            if (A->Action != saUnset || B->Action != saUnset) {
                folder->SetAction(ApplyDirection(Task, combined));
            }
            CombineChanges(A, B, folder);
            BlockUnseenPair(A, B, folder);
        } else {
            // A folder made on both sides is in step, and the snapshots must
            // learn of it, or deleting it later would read as new on the other side.
            const bool madeOnBoth = A->Action == saNewSinceSync && B->Action == saNewSinceSync;
            TakePair(own, A, B, ApplyDirection(Task, combined), O);
            if (madeOnBoth) {
                own->Agreed = 1;
            }
        }
        return;
    }
    int32_t code = ApplyDirection(Task, combined);
    // A file deleted on one side while it was read-only there: the other side's
    // copy may carry the bit only because copies take it over.
    if (leftGone) {
        B->DeletedReadOnly = (A->Data->Attr & faReadOnly) != 0 ? 1 : 0;
        TakePair(own, A, B, code, O);
        return;
    }
    if (!Present(B)) {
        A->DeletedReadOnly = (B->Data->Attr & faReadOnly) != 0 ? 1 : 0;
    }
    CombinedOtherValues(A, B);
    const bool leftChanged = A->Action == saNewSinceSync || A->Action == saChangedSinceSync;
    const bool rightChanged = B->Action == saNewSinceSync || B->Action == saChangedSinceSync;
    if (leftChanged && rightChanged && SameFile(A->Data, A->OtherTime, A->OtherSize)) {
        // Both sides came to the same file (an edit copied by hand, a time-zone
        // change moving every time alike): nothing to do, but the snapshots must
        // learn of it.
        code = saSame;
        A->Agreed = 1;
    } else if (Task->Unattended && A->Action == saChangedSinceSync && B->Action == saChangedSinceSync) {
        // Changed on both sides with nobody to ask: the task's policy decides, or
        // the item keeps its change code and nothing is done.
        code = saChangedSinceSync;
        if (Task->Conflicts == cfNewerFileWins) {
            code =
                ApplyDirection(Task, Later(A->Data->Time, A->OtherTime) ? saOverwriteLtoR : saOverwriteRtoL);
        }
    }
    A->SetAction(code);
    O->AppendNode(A);
}

// Takes the node that stands for a pair of change-tree items without children.
void TAnalyzeThread::TakePair(TFileTree* Own, TFileTree* A, TFileTree* B, int32_t Code, TFileTree* O) {
    if (Own == A) {
        CombinedOtherValues(A, B);
    } else {
        NoOtherItem(Own);
        Own->RightEntry = 1;
    }
    Own->SetAction(Code);
    O->AppendNode(Own);
    BlockUnseenPair(A, B, Own);
}

// ---- What a scan did not see --------------------------------------------------------

void TAnalyzeThread::MarkOneSide(TFileTree* Node, int32_t Code, int32_t Side, bool Combining) {
    if (Node->ListFailed != 0) {
        NoteUnseen(Node, Side);
        SetActionRecursive(Node, saDoNotCopy);
        NoOtherItemBelow(Node);
        return;
    }
    // The other side has nothing here, whatever the comparison with this side's
    // own snapshot put into the other side's values.
    NoOtherItem(Node);
    Node->RightEntry = Side == 1 ? 1 : 0;
    // Deleted on this side since the snapshot and unknown to the other side: no
    // side holds it, so there is nothing to copy.
    const bool gone = Combining && Node->Action == saDeletedSinceSync;
    Node->SetAction(gone ? saSame : Code);
    if (Combining) {
        TFileTreeList& children = Node->Children;
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [this](const TFileTree* child) { return DropGone(child); }),
                       children.end());
        Node->ChildCount = static_cast<int32_t>(children.size());
    }
    for (TFileTree* child : Node->Children) {
        MarkOneSide(child, Code, Side, Combining);
    }
}

void TAnalyzeThread::BlockUnseenPair(TFileTree* A, TFileTree* B, TFileTree* Result) {
    if (A->ListFailed == 0 && B->ListFailed == 0) {
        return;
    }
    if (A->ListFailed != 0) {
        NoteUnseen(A, 0);
    }
    if (B->ListFailed != 0) {
        NoteUnseen(B, 1);
    }
    SetActionRecursive(Result, saDoNotCopy);
}

void TAnalyzeThread::NoteUnseen(const TFileTree* Node, int32_t Side) {
    TUnseenFolder folder;
    folder.Side = Side;
    if (Node->Data != nullptr) {
        folder.Path = Node->Data->RelPath + Node->Data->Name;
    }
    UnseenFolders.push_back(folder);
}

void TAnalyzeThread::BlockStoppedScans() {
    const bool leftStopped = LeftTree->ListFailed != 0;
    const bool rightStopped = RightTree->ListFailed != 0;
    if (!leftStopped && !rightStopped) {
        return;
    }
    if (leftStopped) {
        NoteUnseen(LeftTree, 0);
    }
    if (rightStopped) {
        NoteUnseen(RightTree, 1);
    }
    for (TFileTree* child : ResultTree->Children) {
        SetActionRecursive(child, saDoNotCopy);
    }
}

// ---- A side that scans empty -----------------------------------------------------------

// A folder that now lists nothing while its snapshot lists items is more likely a
// drive that is not mounted (its empty mount point) or a slip of the hand than a
// wish to delete everything: nothing is deleted on the other side on its account.
void TAnalyzeThread::HoldBackEmptiedSides() {
    LeftEmptied = !HasChildren(LeftTree) && HasChildren(LeftSnapshot);
    RightEmptied = !HasChildren(RightTree) && HasChildren(RightSnapshot);
    // Nothing is copied into such a side either while it holds deletions back:
    // filled, it would no longer look empty, and the next run would carry them out.
    if (LeftEmptied && ReplaceCode(ResultTree, saDeleteRight, saDoNotCopy) > 0) {
        ReplaceCode(ResultTree, saCopyRtoL, saDoNotCopy);
    }
    if (RightEmptied && ReplaceCode(ResultTree, saDeleteLeft, saDoNotCopy) > 0) {
        ReplaceCode(ResultTree, saCopyLtoR, saDoNotCopy);
    }
}

// Only items the filters let through: a deletion they leave out is not carried
// out anyway, holds nothing back, and must be proposed alike at the next run.
int TAnalyzeThread::ReplaceCode(TFileTree* Node, int32_t From, int32_t To) {
    int replaced = 0;
    for (TFileTree* child : Node->Children) {
        if (child->Action == From && !(child->IncludedFlag == 0 && child->ExcludedFlag > 0)) {
            child->SetAction(To);
            ++replaced;
        }
        replaced += ReplaceCode(child, From, To);
    }
    return replaced;
}

// ---- Tables -------------------------------------------------------------------------

int32_t TAnalyzeThread::CombineCodes(int32_t LeftCode, int32_t RightCode, bool FolderFlag) {
    if (FolderFlag) {
        if (LeftCode == saUnset) {
            LeftCode = saSame;
        }
        if (RightCode == saUnset) {
            RightCode = saSame;
        }
        // A folder that both sides hold is in step, however it came there.
        if ((LeftCode == saSame || LeftCode == saNewSinceSync) &&
            (RightCode == saSame || RightCode == saNewSinceSync)) {
            return saSame;
        }
    }
    auto index = [](int32_t code) {
        switch (code) {
        case saNewSinceSync:
            return 0;
        case saChangedSinceSync:
            return 1;
        case saDeletedSinceSync:
            return 2;
        case saSame:
            return 3;
        default:
            return -1;
        }
    };
    // Left code down, right code across: new, changed, deleted, same. Only a
    // deletion next to an unchanged item is carried over: deleted on one side and
    // changed (or new) on the other is a conflict either way round, or an edit
    // the deleting side never saw would be lost.
    static const int32_t table[4][4] = {
        {saConflict, saConflict, saConflict, saConflict},
        {saConflict, saConflict, saConflict, saOverwriteLtoR},
        {saConflict, saConflict, saSame, saDeleteRight},
        {saNewSinceSync, saOverwriteRtoL, saDeleteLeft, saSame},
    };
    const int l = index(LeftCode);
    const int r = index(RightCode);
    if (l < 0 || r < 0) {
        // No change code: nothing is known about the item, so nothing is done
        // unless the user chooses.
        return saConflict;
    }
    return table[l][r];
}

int32_t TAnalyzeThread::ApplyDirection(const TSyncTask* Task, int32_t Code) {
    const int32_t forced = Task->ForcedOrVerified == fvForcedCopy;
    switch (Task->SyncDirection) {
    case sdLeftToRight:
        switch (Code) {
        case saCopyRtoL:
            return forced ? saDoNotCopy : saConflict;
        case saOverwriteRtoL:
            return forced ? saOverwriteLtoR : saConflict;
        case saDeleteRight:
            return saDoNotCopy;
        case saDeleteLeft:
            return saCopyLtoR;
        default:
            return Code;
        }
    case sdRightToLeft:
        switch (Code) {
        case saCopyLtoR:
            return forced ? saDoNotCopy : saConflict;
        case saOverwriteLtoR:
            return forced ? saOverwriteRtoL : saConflict;
        case saDeleteRight:
            return saCopyRtoL;
        case saDeleteLeft:
            return saDoNotCopy;
        default:
            return Code;
        }
    default:
        // Both ways; and a direction nobody chose (a task list that holds one
        // is refused when it is read, but a task in memory may still carry one)
        // copies as both ways do and deletes nothing without the deletion switch.
        if (Code == saDeleteRight || Code == saDeleteLeft) {
            return Task->IsDeleteFile == 1 ? Code : saDoNotCopy;
        }
        return Code;
    }
}

void TAnalyzeThread::SetActionRecursive(TFileTree* Node, int32_t Code) {
    Node->SetAction(Code);
    for (TFileTree* child : Node->Children) {
        SetActionRecursive(child, Code);
    }
}

// ---- Filters --------------------------------------------------------------------------

void TAnalyzeThread::CompileFilters() {
    static const std::vector<std::string> none;
    const std::vector<std::string>& programExclude = SysConfig ? SysConfig->ExcludeFilter : none;
    const std::vector<std::string>& programInclude = SysConfig ? SysConfig->IncludeFilter : none;
    if (!CompileOne(includeRegex_, IncludeExpr, Task->IncludeFilter, programInclude) ||
        !CompileOne(excludeRegex_, ExcludeExpr, Task->ExcludeFilter, programExclude)) {
        throw EFilterError("Invalid filter pattern \"" + FilterPattern + "\": " + FilterError);
    }
    filtersCompiled_ = true;
}

bool TAnalyzeThread::CompileOne(TFilterRegex& Regex, const std::string& Expr,
                                const std::vector<std::string>& TaskList,
                                const std::vector<std::string>& ProgramList) {
    if (Expr.empty() || Regex.Compile(Expr)) {
        return true;
    }
    // Name the pattern the user has to mend, not the whole joined expression.
    FilterPattern = Expr;
    FilterError = Regex.ErrorMessage();
    TFilterRegex single;
    for (const std::vector<std::string>* list : {&TaskList, &ProgramList}) {
        for (const std::string& pattern : *list) {
            if (!single.Compile(pattern)) {
                FilterPattern = pattern;
                FilterError = single.ErrorMessage();
                return false;
            }
        }
    }
    return false;
}

bool TAnalyzeThread::SearchName(const TFilterRegex& Regex, const std::string& Expr, const std::string& Name) {
    try {
        return Regex.Matches(Name);
    } catch (const EFilterError& e) {
        // The window names the expression that could not be searched.
        FilterPattern = Expr;
        FilterError = e.what();
        throw;
    }
}

int32_t TAnalyzeThread::ClassifyItem(TFileTree* Node, bool EmptyFolderRule) {
    if (!filtersCompiled_) {
        CompileFilters();
    }
    const std::string& name = Node->Name;
    const bool included = IncludeExpr.empty() || SearchName(includeRegex_, IncludeExpr, name);
    const bool excluded = !ExcludeExpr.empty() && SearchName(excludeRegex_, ExcludeExpr, name);
    int32_t state = included && !excluded ? saIncluded : saExcluded;
    const TFileAttri* data = Node->Data;
    if (data == nullptr) {
        return state;
    }
    if (EmptyFolderRule && Task->ExcludeEmtpyFolder == 1 && data->IsFolder != 0 && !HasChildren(Node)) {
        state = saExcluded;
    }
    if (Task->ExcludeHiddenFile == 1 && (data->Attr & faHidden) != 0) {
        state = saExcluded;
    }
    if (Task->ExcludeSystemFile == 1 && (data->Attr & faSysFile) != 0) {
        state = saExcluded;
    }
    return state;
}

void TAnalyzeThread::SetFilterRecursive(TFileTree* Node, int32_t State) {
    Node->SetFilterState(State);
    for (TFileTree* child : Node->Children) {
        SetFilterRecursive(child, State);
    }
}

void TAnalyzeThread::ApplyFilters(TFileTree* Node) {
    if (!HasChildren(Node)) {
        SetFilterRecursive(Node, ClassifyItem(Node));
        return;
    }
    for (TFileTree* child : Node->Children) {
        const int32_t state = ClassifyItem(child, !ReplacesOrGivesWay(Node, child));
        if (!HasChildren(child) || state == saExcluded) {
            SetFilterRecursive(child, state);
        } else {
            // An included folder carries no state of its own: each item below is
            // judged by its own name and attributes.
            ApplyFilters(child);
        }
    }
}

} // namespace tandemora
