#include "engine/UTUnsettled.h"

#include "endpoints/UTFileOper.h"
#include "engine/UTSnapshotDraft.h"
#include "model/UTUtils.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace tandemora {

void TRowCodes::Sort() {
    std::stable_sort(codes_.begin(), codes_.end(), [](const auto& a, const auto& b) {
        return std::less<const TFileTree*>()(a.first, b.first);
    });
}

int32_t TRowCodes::CodeOf(const TFileTree* Item) const {
    const auto after =
        std::upper_bound(codes_.begin(), codes_.end(), Item, [](const TFileTree* item, const auto& entry) {
            return std::less<const TFileTree*>()(item, entry.first);
        });
    if (after != codes_.begin() && std::prev(after)->first == Item) {
        return std::prev(after)->second;
    }
    return Item->Action;
}

namespace {

bool IsFolderNode(const TFileTree* node) {
    return node->Data != nullptr && node->Data->IsFolder != 0;
}

bool Later(int32_t a, int32_t b) {
    return static_cast<uint32_t>(a) > static_cast<uint32_t>(b);
}

// A time the analysis shows for a side: 0 or -1 where it saw no item there.
bool Shown(int32_t time) {
    return time != 0 && time != -1;
}

// The children of one folder level by name and kind, by their places in the
// level (which stay valid while children are only added at the end).
class TChildIndex {
public:
    explicit TChildIndex(const TFileTree* parent) : parent_(parent) {
        if (parent == nullptr) {
            return;
        }
        for (size_t i = 0; i < parent->Children.size(); ++i) {
            const TFileTree* child = parent->Children[i];
            if (child->Data != nullptr) {
                map_.emplace(Key(child->Name, IsFolderNode(child)), i);
            }
        }
    }
    TFileTree* Find(const std::string& name, bool folder) const {
        const auto found = map_.find(Key(name, folder));
        return found != map_.end() ? parent_->Children[found->second] : nullptr;
    }
    // The child made Parent's own to be changed (TSnapshotDraft::Own); Parent
    // is the level this index was made of.
    TFileTree* Own(TFileTree* Parent, const std::string& name, bool folder) const {
        const auto found = map_.find(Key(name, folder));
        return found != map_.end() ? TSnapshotDraft::Own(Parent, found->second) : nullptr;
    }
    // Child has just been appended to the level.
    void Add(const TFileTree* child) {
        map_.emplace(Key(child->Name, IsFolderNode(child)), parent_->Children.size() - 1);
    }

private:
    static std::string Key(const std::string& name, bool folder) { return (folder ? "d" : "f") + name; }
    const TFileTree* parent_;
    std::unordered_map<std::string, size_t> map_;
};

// Marks every folder that is, or holds below it, a folder the scan could not
// read; true when Node is one.
bool MarkUnreadPaths(const TFileTree* Node, std::unordered_set<const TFileTree*>& OnPath) {
    bool unread = Node->ListFailed != 0;
    for (const TFileTree* child : Node->Children) {
        if (IsFolderNode(child) && MarkUnreadPaths(child, OnPath)) {
            unread = true;
        }
    }
    if (unread) {
        OnPath.insert(Node);
    }
    return unread;
}

} // namespace

void TUnsettledItems::Collect(const TFileTree* Result, const TRowCodes& RowCodes) {
    root_ = TLevel();
    count_ = 0;
    if (Result != nullptr) {
        CollectBelow(Result, root_, RowCodes);
    }
}

void TUnsettledItems::CollectBelow(const TFileTree* Node, TLevel& Level, const TRowCodes& RowCodes) {
    for (const TFileTree* child : Node->Children) {
        if (child->Data == nullptr) {
            continue;
        }
        if (!child->Children.empty()) {
            auto& below = Level.Children[TKey(child->Name, true)];
            if (!below) {
                below = std::make_unique<TLevel>();
            }
            CollectBelow(child, *below, RowCodes);
            // A folder whose own operation failed once everything in it was
            // settled (the removal of a mount point, say) is unsettled itself:
            // its deletion must be seen again. So is a folder to copy that
            // none of its items reached: it may never have been made.
            const bool copy = child->Action == saCopyLtoR || child->Action == saCopyRtoL;
            if ((below->Children.empty() || copy) && RowCodes.CodeOf(child) == saError) {
                below->Item = true;
                ++count_;
            }
            // Nothing unsettled below: no entry of the folder is put back (one
            // deleted on both sides would come back into both snapshots).
            if (below->Children.empty() && !below->Item) {
                Level.Children.erase(TKey(child->Name, true));
            }
            continue;
        }
        const int32_t code = RowCodes.CodeOf(child);
        if (code != saSame) {
            auto& item = Level.Children[TKey(child->Name, IsFolderNode(child))];
            if (!item) {
                item = std::make_unique<TLevel>();
            }
            item->Item = true;
            item->Conflict = code == saConflict;
            ++count_;
        }
    }
}

void TUnsettledItems::CollectChangedSince(const TFileTree* Result, const TRowCodes& RowCodes,
                                          const TFileTree* Left, const TFileTree* Right) {
    if (Result != nullptr) {
        const bool unread[2] = {Left != nullptr && Left->ListFailed != 0,
                                Right != nullptr && Right->ListFailed != 0};
        ChangedBelow(Result, Left, Right, root_, RowCodes, unread);
    }
}

// Walks a level of the result beside the same level of both fresh scans; true
// when something below needs an entry of its own.
bool TUnsettledItems::ChangedBelow(const TFileTree* Node, const TFileTree* Left, const TFileTree* Right,
                                   TLevel& Level, const TRowCodes& RowCodes, const bool Unread[2]) {
    const TChildIndex left(Left);
    const TChildIndex right(Right);
    bool found = false;
    for (const TFileTree* child : Node->Children) {
        if (child->Data == nullptr) {
            continue;
        }
        const bool folder = IsFolderNode(child);
        const TFileTree* scanned[2] = {left.Find(child->Name, folder), right.Find(child->Name, folder)};
        if (!child->Children.empty()) {
            const TKey key(child->Name, true);
            auto& below = Level.Children[key];
            const bool held = below != nullptr;
            if (!held) {
                below = std::make_unique<TLevel>();
            }
            const bool unread[2] = {Unread[0] || (scanned[0] != nullptr && scanned[0]->ListFailed != 0),
                                    Unread[1] || (scanned[1] != nullptr && scanned[1]->ListFailed != 0)};
            if (ChangedBelow(child, scanned[0], scanned[1], *below, RowCodes, unread) || held) {
                found = true;
            } else {
                Level.Children.erase(key);
            }
            continue;
        }
        if (RowCodes.CodeOf(child) != saSame) {
            continue; // unsettled: Collect has it
        }
        TWanted seen[2];
        bool keep[2] = {true, true};
        if (!SeenBy(child, child->Action, seen, keep)) {
            continue;
        }
        bool differs = false;
        for (int side = 0; side < 2; ++side) {
            // A side the run wrote to that the rescan could not read: the entry
            // the run left there, since the scan cannot tell.
            if (Unread[side] && keep[side]) {
                seen[side] = Written(child->Action, seen[1 - side]);
                keep[side] = false;
                differs = true;
            }
        }
        for (int side = 0; side < 2; ++side) {
            const TFileTree* now = scanned[side];
            const bool same = seen[side].Present
                                  ? now != nullptr && (folder || (now->Data->Time == seen[side].Time &&
                                                                  now->Data->Size == seen[side].Size))
                                  : now == nullptr;
            differs = differs || (!keep[side] && !same);
        }
        if (!differs) {
            continue;
        }
        auto& item = Level.Children[TKey(child->Name, folder)];
        if (!item) {
            item = std::make_unique<TLevel>();
        }
        item->Item = true;
        item->Settled = true;
        for (int side = 0; side < 2; ++side) {
            item->Want[side] = seen[side];
            item->Keep[side] = keep[side];
        }
        ++count_;
        found = true;
    }
    return found;
}

// What the analysis saw of a settled item on each side, from the values it
// shows there (those the sync checks its targets against), and which sides
// the run wrote to (Keep). False when no side is to be held.
bool TUnsettledItems::SeenBy(const TFileTree* Item, int32_t Code, TWanted Seen[2], bool Keep[2]) {
    const int32_t times[2] = {Item->LeftTime, Item->OtherTime};
    const int64_t sizes[2] = {Item->LeftSize, Item->OtherSize};
    const int32_t attrs[2] = {Item->LeftAttr, Item->OtherAttr};
    for (int side = 0; side < 2; ++side) {
        Seen[side] = TWanted();
        if (Shown(times[side])) {
            Seen[side].Present = true;
            Seen[side].Time = times[side];
            Seen[side].Size = sizes[side];
            Seen[side].Attr = attrs[side];
        }
    }
    switch (Code) {
    case saSame:
        // Nothing done. Only an item both sides held is known for sure: one
        // deleted since the last sync shows its old entry on one side.
        Keep[0] = Keep[1] = Item->RightEntry != 0 || !Seen[0].Present || !Seen[1].Present;
        break;
    case saCopyLtoR:
    case saOverwriteLtoR:
    case saDeleteRight:
        Keep[0] = false;
        Keep[1] = true;
        break;
    case saCopyRtoL:
    case saOverwriteRtoL:
    case saDeleteLeft:
        Keep[0] = true;
        Keep[1] = false;
        break;
    default:
        Keep[0] = Keep[1] = true;
        break;
    }
    return !Keep[0] || !Keep[1];
}

// What a side the run wrote to holds now, as far as the analysis knew: a copy
// takes its source's entry, a deletion leaves nothing.
TUnsettledItems::TWanted TUnsettledItems::Written(int32_t Code, const TWanted& Source) {
    return Code == saDeleteLeft || Code == saDeleteRight ? TWanted() : Source;
}

void TUnsettledItems::KeepUnread(TFileTree* Scanned, const TFileTree* Base) {
    if (Scanned == nullptr) {
        return;
    }
    std::unordered_set<const TFileTree*> onPath;
    if (MarkUnreadPaths(Scanned, onPath)) {
        KeepUnreadBelow(Scanned, Base, onPath);
    }
}

// Scanned is its tree's own; only the folders on the way to one not read are
// taken through Own.
void TUnsettledItems::KeepUnreadBelow(TFileTree* Scanned, const TFileTree* Base,
                                      const std::unordered_set<const TFileTree*>& OnPath) {
    if (Scanned->ListFailed != 0) {
        // What was listed before the failure may be only part of the folder.
        Scanned->Children.clear();
        Scanned->ChildCount = 0;
        if (Base != nullptr) {
            CopyBelow(Scanned, Base);
        }
        return;
    }
    const TChildIndex base(Base);
    for (size_t i = 0; i < Scanned->Children.size(); ++i) {
        const TFileTree* child = Scanned->Children[i];
        if (IsFolderNode(child) && OnPath.count(child) != 0) {
            KeepUnreadBelow(TSnapshotDraft::Own(Scanned, i), base.Find(child->Name, true), OnPath);
        }
    }
}

void TUnsettledItems::CopyBelow(TFileTree* To, const TFileTree* From) {
    for (const TFileTree* child : From->Children) {
        if (child->Data == nullptr) {
            continue;
        }
        TFileTree* node = AddNode(To, child->Name, IsFolderNode(child));
        node->Data->Time = child->Data->Time;
        node->Data->Size = child->Data->Size;
        node->Data->Attr = child->Data->Attr;
        CopyBelow(node, child);
    }
}

void TUnsettledItems::Apply(TFileTree* Left, TFileTree* Right, const TFileTree* BaseLeft,
                            const TFileTree* BaseRight) {
    if (count_ == 0) {
        return;
    }
    const bool compared = BaseLeft != nullptr && BaseRight != nullptr;
    // Everything is worked out from the scans as they came, before either changes.
    Decide(root_, Left, Right, BaseLeft, BaseRight, compared);
    Put(root_, Left, 0);
    Put(root_, Right, 1);
}

void TUnsettledItems::Decide(TLevel& Level, const TFileTree* Left, const TFileTree* Right,
                             const TFileTree* BaseLeft, const TFileTree* BaseRight, bool Compared) {
    const TChildIndex left(Left);
    const TChildIndex right(Right);
    const TChildIndex baseLeft(BaseLeft);
    const TChildIndex baseRight(BaseRight);
    for (auto& [key, below] : Level.Children) {
        TLevel& level = *below;
        const TFileTree* l = left.Find(key.first, key.second);
        const TFileTree* r = right.Find(key.first, key.second);
        const TFileTree* bl = baseLeft.Find(key.first, key.second);
        const TFileTree* br = baseRight.Find(key.first, key.second);
        if (level.Item) {
            if (level.Settled) {
                // Known already: what the analysis saw.
            } else if (Compared) {
                level.Want[0] = EntryOf(bl);
                level.Want[1] = EntryOf(br);
            } else {
                Pair(l, r, level.Conflict, level.Want[0], level.Want[1]);
            }
            level.PresentBelow[0] = level.Want[0].Present && !level.Keep[0];
            level.PresentBelow[1] = level.Want[1].Present && !level.Keep[1];
        }
        if (!level.Children.empty()) {
            level.Folder[0] = EntryOf(bl);
            level.Folder[1] = EntryOf(br);
            Decide(level, l, r, bl, br, Compared);
            for (const auto& [childKey, child] : level.Children) {
                level.PresentBelow[0] = level.PresentBelow[0] || child->PresentBelow[0];
                level.PresentBelow[1] = level.PresentBelow[1] || child->PresentBelow[1];
            }
        }
    }
}

void TUnsettledItems::Put(TLevel& Level, TFileTree* Parent, int32_t Side) {
    TChildIndex index(Parent);
    std::set<const TFileTree*> gone;
    bool added = false;
    for (auto& [key, below] : Level.Children) {
        TLevel& level = *below;
        TFileTree* node = index.Own(Parent, key.first, key.second);
        if (level.Item) {
            const TWanted& want = level.Want[Side];
            if (!level.Keep[Side] && !want.Present) {
                if (node != nullptr) {
                    gone.insert(node);
                }
                continue;
            }
            if (!level.Keep[Side] && node == nullptr) {
                node = AddNode(Parent, key.first, key.second);
                index.Add(node);
                added = true;
            }
            if (!level.Keep[Side] && !key.second) {
                node->Data->Time = want.Time;
                node->Data->Size = want.Size;
                node->Data->Attr = want.Attr;
                // Only the DOS time is known of what the analysis compared with
                // (and whether a server listed it while its minute ran).
                node->Data->TimeFraction = want.Fraction;
            }
            // An unsettled folder's own items are unsettled too.
            if (node != nullptr && key.second && !level.Children.empty()) {
                Put(level, node, Side);
            }
            continue;
        }
        // A folder on the way, made where an entry below it is to be kept, or
        // where the side had it before: its deletion (a file of its name in its
        // place, say) is not settled while an item below is not.
        if (node == nullptr) {
            if (!level.PresentBelow[Side] && !level.Folder[Side].Present) {
                continue;
            }
            node = AddNode(Parent, key.first, true);
            index.Add(node);
            added = true;
            if (level.Folder[Side].Present) {
                node->Data->Time = level.Folder[Side].Time;
                node->Data->Attr = level.Folder[Side].Attr;
            }
        }
        Put(level, node, Side);
    }
    auto& children = Parent->Children;
    if (!gone.empty()) {
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [&gone](const TFileTree* child) { return gone.count(child) != 0; }),
                       children.end());
        Parent->ChildCount = static_cast<int32_t>(children.size());
    }
    if (added) {
        TFileOper::SortChildren(Parent);
    }
}

TUnsettledItems::TWanted TUnsettledItems::EntryOf(const TFileTree* Node) {
    TWanted want;
    if (Node != nullptr && Node->Data != nullptr) {
        want.Present = true;
        want.Time = Node->Data->Time;
        want.Size = Node->Data->Size;
        want.Attr = Node->Data->Attr;
        want.Fraction = IsMinuteOpen(Node->Data->TimeFraction) ? Node->Data->TimeFraction : -1;
    }
    return want;
}

// A pair the direct comparison left unsettled: the older file stands for what
// both sides last shared. A conflict (with no side known to hold the older
// state) and two files told apart by their sizes alone read as changed on both
// sides, so they stay a conflict, and a deletion of either is no settled one.
// Anything but two files has no entry on either side.
void TUnsettledItems::Pair(const TFileTree* Left, const TFileTree* Right, bool Conflict, TWanted& WantLeft,
                           TWanted& WantRight) {
    WantLeft = TWanted();
    WantRight = TWanted();
    if (Left == nullptr || Right == nullptr || IsFolderNode(Left) || IsFolderNode(Right)) {
        return;
    }
    WantLeft = EntryOf(Left);
    WantRight = EntryOf(Right);
    const TFileAttri* l = Left->Data;
    const TFileAttri* r = Right->Data;
    const bool both = Conflict || (l->Time == r->Time && l->Size != r->Size);
    if (Later(l->Time, r->Time) || both) {
        // The left side reads as changed.
        WantLeft.Time = r->Time;
        WantLeft.Size = r->Size;
    }
    if (Later(r->Time, l->Time) || both) {
        WantRight.Time = l->Time;
        WantRight.Size = l->Size;
    }
}

TFileTree* TUnsettledItems::AddNode(TFileTree* Parent, const std::string& Name, bool Folder) {
    TFileAttri* data = Parent->Arena->NewAttri();
    data->Name = Name;
    data->IsFolder = Folder ? 1 : 0;
    data->Size = Folder ? -1 : 0;
    data->Attr = Folder ? faDirectory : faArchive;
    data->RelPath = Parent->Data == nullptr ? std::string("/")
                                            : ItemRelPath(Parent->Data->RelPath, Parent->Data->Name) + "/";
    return Parent->AddChild(Name, data);
}

} // namespace tandemora
