#include "engine/UTAnalyzeThread.h"

#include "engine/UTRunStamp.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"
#include "tasks/UTSysConfig.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

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

// Whether the instant of the date-time Then lies within the minute or the day
// that a coarse listing shows as Now (its start).
bool WithinListed(int32_t Now, int32_t Precision, int32_t Then) {
    time_t start = 0;
    time_t then = 0;
    if (!fs::DosTimeToUnix(Now, start) || !fs::DosTimeToUnix(Then, then)) {
        return Now == Then;
    }
    const time_t span = Precision == tfDayOnly ? 24 * 60 * 60 : 60;
    return then >= start && then < start + span;
}

bool Coarse(int32_t Precision) {
    return Precision == tfMinuteOnly || IsMinuteOpen(Precision) || Precision == tfDayOnly;
}

// Whether the times of two files tell which one is newer: not where one of
// them is known only to its minute or day and the other lies within it.
bool TimesTell(const TFileAttri* A, const TFileAttri* B) {
    if (Coarse(A->TimeFraction) && WithinListed(A->Time, A->TimeFraction, B->Time)) {
        return false;
    }
    return !(Coarse(B->TimeFraction) && WithinListed(B->Time, B->TimeFraction, A->Time));
}

// A file against its entry of the last sync, at the finest precision both
// know: a save within the same 2-second step is a change too. A server that
// shows only the minute or the day cannot tell a time within it from another:
// the time alone makes no change there (as when an older file's listing turns
// from the minute to the day, or the last sync knew the second).
bool SameAsBefore(const TFileAttri* now, const TFileAttri* before) {
    const int32_t precision = now->TimeFraction;
    if (Coarse(precision)) {
        return now->Size == before->Size && WithinListed(now->Time, precision, before->Time);
    }
    const bool finer = now->TimeFraction >= 0 && before->TimeFraction >= 0;
    return SameFile(now, before->Time, before->Size) && (!finer || now->TimeFraction == before->TimeFraction);
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

// The names of the files on one level. Names compare equal only when their bytes
// are equal, so a hash of the names finds a file of a folder's name in one look
// instead of a walk over the whole level for every folder.
std::unordered_set<std::string_view> FileNames(const TFileTree* Parent) {
    std::unordered_set<std::string_view> names;
    for (const TFileTree* child : Parent->Children) {
        if (child->Data != nullptr && !IsFolder(child)) {
            names.insert(child->Name);
        }
    }
    return names;
}

// Whether the read-only bit of Kept (a file whose twin Gone was deleted on the
// other side since the last synchronisation) is one that copies took over from
// that twin, and so no reason to keep the file. A twin on an FTP or WebDAV
// server holds no such bit: there a bit that Kept already had at the last
// synchronisation counts as the twin's (it went to the server with the file, or
// came with it), while one set since stays the user's own protection. So does
// a bit Kept did not have at the last synchronisation, whatever its twin had.
int8_t CopiedReadOnly(const TFileTree* Kept, const TFileTree* Gone, int32_t GoneKind) {
    const bool hadBit = Kept->OtherAttr != -1 && (Kept->OtherAttr & faReadOnly) != 0;
    const bool setSince = Kept->OtherAttr != -1 && !hadBit;
    if ((Gone->Data->Attr & faReadOnly) != 0) {
        return setSince ? 0 : 1;
    }
    const bool bitless = GoneKind == dtFtp || GoneKind == dtWebDav;
    return bitless && hadBit ? 1 : 0;
}

// An empty folder where the other side holds a file of its name is one side of a
// replacement (the folder makes way for the file, or takes its place), not an
// empty folder to leave out: left out, it would stop the file or keep it.
bool ReplacesOrGivesWay(const std::unordered_set<std::string_view>& FileNamesOfLevel,
                        const TFileTree* Folder) {
    if (!IsFolder(Folder) || HasChildren(Folder)) {
        return false;
    }
    return FileNamesOfLevel.count(Folder->Name) != 0;
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
    SameContent = std::make_unique<TSameContent>(Task);
    SetFreeOnTerminate(false);
}

TAnalyzeThread::~TAnalyzeThread() {
    StopAnalysis();
    WaitFor();
}

void TAnalyzeThread::StopAnalysis() {
    Terminate();
    if (SameContent) {
        SameContent->Stop();
    }
}

bool TAnalyzeThread::SameBytes(const TFileTree* A, const TFileTree* B, bool Remembered) {
    // A side whose scan stopped gets no operation anyway: nothing to download for.
    if (!SameContent || A->Data->Size != B->Data->Size || Terminated() || LeftTree->ListFailed != 0 ||
        RightTree->ListFailed != 0) {
        return false;
    }
    return SameContent->Compare(
               *A->Data, *B->Data, [this] { return Terminated(); }, Remembered) == TSameContent::scSame;
}

// ---- The run ---------------------------------------------------------------------------

void TAnalyzeThread::Execute() {
    BuildFilterExpressions();
    UsedSnapshots = ChooseSnapshotMode();
    if (UsedSnapshots) {
        TRunStamp::LoadFineTimes(*Task, LeftSnapshot, RightSnapshot);
        zoneMoved_ = TRunStamp::WrittenIn(*Task, zoneThen_) && !(zoneThen_ == TZoneOffsets::Now());
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

// An item copied into a side where an item of the other kind and of its name
// stays there: a folder new on one side and a file of its name new on the
// other, or a source that replaced a folder by a file (or the reverse) where
// the old item is not deleted on the target (a one-way task, or deletions
// kept). Each such copy would meet that item in its way at every run, and no
// side says which one goes: the user decides.
void TAnalyzeThread::BlockKindClashes(TFileTree* O) {
    // One folder per name at most on a level; a hash of their names keeps this
    // linear however many new folders and files one folder holds.
    std::unordered_map<std::string_view, TFileTree*> folders;
    for (TFileTree* child : O->Children) {
        if (IsFolder(child)) {
            folders.emplace(child->Name, child);
        }
    }
    if (folders.empty()) {
        return;
    }
    auto copied = [](const TFileTree* node) {
        return node->Action == saCopyLtoR || node->Action == saCopyRtoL;
    };
    // Whether Other stays where Item's copy goes.
    auto staysInWay = [](const TFileTree* item, const TFileTree* other) {
        return other->Action != (item->Action == saCopyLtoR ? saDeleteRight : saDeleteLeft);
    };
    for (TFileTree* file : O->Children) {
        if (IsFolder(file)) {
            continue;
        }
        const auto found = folders.find(file->Name);
        if (found == folders.end()) {
            continue;
        }
        TFileTree* folder = found->second;
        const bool fileBlocked = copied(file) && staysInWay(file, folder);
        const bool folderBlocked = copied(folder) && staysInWay(folder, file);
        if (fileBlocked || folderBlocked) {
            if (copied(folder) || folderBlocked) {
                SetActionRecursive(folder, saConflict);
            }
            if (copied(file) || fileBlocked) {
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
    // A server that lists only the minute (or day) cannot tell a file edited
    // within it from the other side's: as good as one time.
    const bool told = TimesTell(A->Data, B->Data);
    int32_t code = saSame;
    if (told && Later(leftTime, rightTime)) {
        code = ApplyDirection(Task, saOverwriteLtoR);
    } else if (told && Later(rightTime, leftTime)) {
        code = ApplyDirection(Task, saOverwriteRtoL);
    } else if (A->Data->Size != B->Data->Size || (!told && leftTime != rightTime)) {
        code = saConflict;
    }
    if (code != saSame && SameBytes(A, B)) {
        // The same bytes under different times (a tree copied without its
        // times): in step, as the next run would find them once both sides'
        // own times are in the snapshots. Proposing a conflict now, and
        // nothing then, would leave the user's choice unasked for.
        code = saSame;
        A->Agreed = 1;
    }
    // Without snapshots nothing tells which side changed: the older file may
    // hold an edit as well. With nobody to ask, only the policy of letting the
    // newer file win overwrites it; otherwise both stay, as a conflict.
    if ((code == saOverwriteLtoR || code == saOverwriteRtoL) && Task->Unattended &&
        Task->SyncDirection == sdBothWays && Task->Conflicts != cfNewerFileWins) {
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
    bool same = SameAsBefore(A->Data, B->Data);
    if (!same && zoneMoved_ && A->Data->Size == B->Data->Size &&
        SameInstantThen(A->Data->Time, B->Data->Time)) {
        // Unchanged, only read in another zone. The snapshots are written
        // again in this one, so the next run compares without this step.
        same = true;
        ResultTree->Agreed = 1;
    }
    // Listed in the very minute the last sync listed while it still ran: an
    // edit made later in that minute, of the same size, reads alike.
    A->ListedAlike =
        same && IsMinuteOpen(B->Data->TimeFraction) && A->Data->TimeFraction != tfDayOnly ? 1 : 0;
    uint32_t digest = 0;
    if (A->ListedAlike != 0 && OpenMinuteDigest(B->Data->TimeFraction, digest)) {
        alikeDigests_[A] = digest;
    }
    A->SetAction(same ? saSame : saChangedSinceSync);
    CopyOtherValues(A, B);
    O->AppendNode(A);
}

// The snapshot's date-time is turned into the instant it named in the zone of
// the last synchronisation, and that instant into this zone's date-time. A
// zone is known by its January and July offsets, not by which of them held at
// that instant, so both are tried: the other one could only hide an edit that
// moved a file's time by exactly the summer-time step and kept its size.
bool TAnalyzeThread::SameInstantThen(int32_t Now, int32_t Then) const {
    time_t inThisZone = 0;
    tm fields{};
    if (!fs::DosTimeToUnix(Then, inThisZone) || localtime_r(&inThisZone, &fields) == nullptr) {
        return false;
    }
    const time_t fieldsAsUtc = inThisZone + fields.tm_gmtoff;
    for (const long offset : {zoneThen_.January, zoneThen_.July}) {
        if (fs::UnixToDosTime(timespec{fieldsAsUtc - offset, 0}) == Now) {
            return true;
        }
    }
    return false;
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
    if (A->ListedAlike != 0 || B->ListedAlike != 0) {
        SettleListedAlike(A, B);
    }
    const int32_t combined =
        TargetLost(Task, A->Action, B->Action, CombineCodes(A->Action, B->Action, IsFolder(A)));
    if (IsFolder(A)) {
        // A folder made on both sides is in step, and the snapshots must
        // learn of it, or deleting it later would read as new on the other side.
        const bool madeOnBoth = A->Action == saNewSinceSync && B->Action == saNewSinceSync;
        if (HasChildren(A) || HasChildren(B)) {
            TFileTree* folder = O->AddChild(A->Name, own->Data);
            folder->RightEntry = leftGone ? 1 : 0;
            folder->Agreed = madeOnBoth ? 1 : 0;
            if (A->Action != saUnset || B->Action != saUnset) {
                folder->SetAction(ApplyDirection(Task, combined));
            }
            CombineChanges(A, B, folder);
            BlockUnseenPair(A, B, folder);
        } else {
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
        B->DeletedReadOnly = CopiedReadOnly(B, A, Task->LFolder.DeviceType);
        TakePair(own, A, B, code, O);
        return;
    }
    if (!Present(B)) {
        A->DeletedReadOnly = CopiedReadOnly(A, B, Task->RFolder.DeviceType);
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
    } else if (leftChanged && rightChanged && B->Data->Size == A->Data->Size && SameBytes(A, B)) {
        // The same bytes under different times (an upload that did not take its
        // source's time, a run stopped before it wrote the snapshots): settled
        // alike, and the snapshots learn each side's own time.
        code = saSame;
        A->Agreed = 1;
    } else if (Task->Unattended && A->Action == saChangedSinceSync && B->Action == saChangedSinceSync) {
        // Changed on both sides with nobody to ask: the task's policy decides, or
        // the item stays a conflict and nothing is done.
        code = saConflict;
        if (Task->Conflicts == cfNewerFileWins && TimesTell(A->Data, B->Data)) {
            code =
                ApplyDirection(Task, Later(A->Data->Time, A->OtherTime) ? saOverwriteLtoR : saOverwriteRtoL);
        }
    }
    A->SetAction(code);
    O->AppendNode(A);
}

// A server file that reads unchanged only to the minute its listing shows
// (ListedAlike) may hold another client's edit of the same size. Its bytes
// decide, and either way the snapshots are written again (from a listing
// whose minute has ended). Where the other side's file is as the last sync
// left it, the same bytes mean no change, other bytes an edit that comes over.
// Where the other side changed too, the digest of the bytes the last sync left
// there (kept with its time where the sync knew them) tells whether they are
// still there; without it the file counts as changed on both sides, so that
// the same bytes settle it and other bytes leave the choice to the user (or
// the task's policy): a later edit never overwrites an edit it cannot see.
void TAnalyzeThread::SettleListedAlike(TFileTree* A, TFileTree* B) {
    TFileTree* alike = A->ListedAlike != 0 ? A : B;
    TFileTree* other = alike == A ? B : A;
    if (!Present(other) || IsFolder(other) || Terminated()) {
        return;
    }
    ResultTree->Agreed = 1;
    if (other->Action == saSame) {
        if (!SameBytes(A, B, false)) {
            alike->Action = saChangedSinceSync;
        }
        return;
    }
    const auto digest = alikeDigests_.find(alike);
    const bool kept = digest != alikeDigests_.end() && SameContent &&
                      SameContent->HoldsDigest(*alike->Data, alike == A ? 0 : 1, digest->second,
                                               [this] { return Terminated(); }) == TSameContent::scSame;
    if (!kept) {
        alike->Action = saChangedSinceSync;
    }
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
    if (Combining) {
        TFileTreeList& children = Node->Children;
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [this](const TFileTree* child) { return DropGone(child); }),
                       children.end());
        Node->ChildCount = static_cast<int32_t>(children.size());
    }
    // After the drop: a folder left without children carries its own code's
    // categories, or the Changes view would not show it and no sync would act.
    Node->SetAction(gone ? saSame : Code);
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
        folder.Path = ItemRelPath(Node->Data->RelPath, Node->Data->Name);
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

namespace {

bool HiddenName(const std::string& name) {
    return !name.empty() && name[0] == '.';
}

// Nothing, or hidden items only: what a desktop leaves on a mount point with
// nothing mounted on it (".directory", ".Trash-1000").
bool NothingVisible(const TFileTree* node) {
    return std::all_of(node->Children.begin(), node->Children.end(),
                       [](const TFileTree* child) { return HiddenName(child->Name); });
}

TFileTree* ChildFolder(const TFileTree* node, const std::string& name) {
    for (TFileTree* child : node->Children) {
        if (IsFolder(child) && child->Name == name) {
            return child;
        }
    }
    return nullptr;
}

} // namespace

// A folder that now lists nothing while its snapshot lists items is more likely a
// drive that is not mounted (its empty mount point) or a slip of the hand than a
// wish to delete everything: nothing is deleted on the other side on its account.
// For a side's root that holds nothing at all that is always so; for a root with
// hidden items only, and for a folder below it, when it is a mount point now or
// was one at the last sync.
void TAnalyzeThread::HoldBackEmptiedSides() {
    const std::vector<std::string> wasMounted[2] = {TRunStamp::MountedFolders(*Task, 0),
                                                    TRunStamp::MountedFolders(*Task, 1)};
    LeftEmptied = SideLooksUnmounted(0, LeftTree, LeftSnapshot, "", wasMounted[0]);
    RightEmptied = SideLooksUnmounted(1, RightTree, RightSnapshot, "", wasMounted[1]);
    if (LeftEmptied) {
        HoldBack(ResultTree, 0);
    } else {
        HoldBackEmptiedFolders(0, LeftTree, LeftSnapshot, "", wasMounted[0]);
    }
    if (RightEmptied) {
        HoldBack(ResultTree, 1);
    } else {
        HoldBackEmptiedFolders(1, RightTree, RightSnapshot, "", wasMounted[1]);
    }
}

// Whether a folder of a side (Rel "" for its root) lists nothing visible while
// its snapshot lists items, and may be a mount point without its disk.
bool TAnalyzeThread::SideLooksUnmounted(int32_t Side, const TFileTree* Scanned, const TFileTree* Snapshot,
                                        const std::string& Rel,
                                        const std::vector<std::string>& WasMounted) const {
    if (Snapshot == nullptr || !HasChildren(Snapshot) || !NothingVisible(Scanned)) {
        return false;
    }
    if (Rel.empty() && !HasChildren(Scanned)) {
        return true;
    }
    if (std::find(WasMounted.begin(), WasMounted.end(), Rel) != WasMounted.end()) {
        return true;
    }
    const TFolderSource& source = Side == 0 ? Task->LFolder : Task->RFolder;
    const std::string root = TrimBlanks(source.FolerAllName);
    return source.DeviceType == dtLocal && !root.empty() && !fs::IsUncPath(root) &&
           fs::IsMountPoint(Rel.empty() ? root : root + "/" + Rel);
}

// Walks the folders a side and its snapshot both list (both in walk order), down
// to the first one that looks like a mount point without its disk; Rel is the
// relative path of Scanned.
void TAnalyzeThread::HoldBackEmptiedFolders(int32_t Side, const TFileTree* Scanned, const TFileTree* Snapshot,
                                            const std::string& Rel,
                                            const std::vector<std::string>& WasMounted) {
    const TFileTreeList& snapped = Snapshot->Children;
    const TFileTreeList& scanned = Scanned->Children;
    size_t j = 0;
    for (const TFileTree* before : snapped) {
        if (!IsFolder(before)) {
            break; // folders come first
        }
        while (j < scanned.size() && SiblingOrder(scanned[j], before) < 0) {
            ++j;
        }
        if (j >= scanned.size()) {
            break;
        }
        const TFileTree* now = scanned[j];
        if (SiblingOrder(now, before) != 0 || !HasChildren(before)) {
            continue;
        }
        const std::string rel = Rel.empty() ? before->Name : Rel + "/" + before->Name;
        if (SideLooksUnmounted(Side, now, before, rel, WasMounted)) {
            TFileTree* result = ResultFolder(rel);
            if (result != nullptr && HoldBack(result, Side)) {
                const TFolderSource& source = Side == 0 ? Task->LFolder : Task->RFolder;
                (Side == 0 ? LeftEmptiedFolders : RightEmptiedFolders)
                    .push_back(TrimBlanks(source.FolerAllName) + "/" + rel);
            }
        } else if (HasChildren(now)) {
            HoldBackEmptiedFolders(Side, now, before, rel, WasMounted);
        }
    }
}

// The result's folder at a relative path ("a/photos"); null when it has none.
TFileTree* TAnalyzeThread::ResultFolder(const std::string& Rel) const {
    TFileTree* node = ResultTree;
    size_t start = 0;
    while (node != nullptr && start <= Rel.size()) {
        const size_t slash = std::min(Rel.find('/', start), Rel.size());
        node = ChildFolder(node, Rel.substr(start, slash - start));
        start = slash + 1;
    }
    return node;
}

// Holds back the deletions on the other side below Result that an emptied
// Side would cause; true when there were any. Nothing else happens there
// either while it holds deletions back: filled by copies, it would no longer
// look empty, and the next run would carry them out; and what a bare mount
// point holds (a desktop's hidden files) is no item of the disk's.
bool TAnalyzeThread::HoldBack(TFileTree* Result, int32_t Side) {
    if (ReplaceCode(Result, Side == 0 ? saDeleteRight : saDeleteLeft, saDoNotCopy) == 0) {
        return false;
    }
    for (int32_t code :
         {saCopyLtoR, saCopyRtoL, saOverwriteLtoR, saOverwriteRtoL, saDeleteLeft, saDeleteRight}) {
        ReplaceCode(Result, code, saDoNotCopy);
    }
    return true;
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
    // The level's file names are gathered only once an empty folder asks for them.
    std::optional<std::unordered_set<std::string_view>> fileNames;
    for (TFileTree* child : Node->Children) {
        bool emptyFolderRule = true;
        if (IsFolder(child) && !HasChildren(child)) {
            if (!fileNames) {
                fileNames = FileNames(Node);
            }
            emptyFolderRule = !ReplacesOrGivesWay(*fileNames, child);
        }
        const int32_t state = ClassifyItem(child, emptyFolderRule);
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
