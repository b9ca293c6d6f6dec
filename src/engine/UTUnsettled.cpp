#include "engine/UTUnsettled.h"

#include "model/UTUtils.h"

#include <algorithm>

namespace tandemora {

namespace {

bool IsFolderNode(const TFileTree* node) {
    return node->Data != nullptr && node->Data->IsFolder != 0;
}

// The order of a scan: folders first, then files, each by CompareNames.
bool Before(const TFileTree* a, const TFileTree* b) {
    if (IsFolderNode(a) != IsFolderNode(b)) {
        return IsFolderNode(a);
    }
    return CompareNames(a->Name, b->Name) < 0;
}

bool Later(int32_t a, int32_t b) {
    return static_cast<uint32_t>(a) > static_cast<uint32_t>(b);
}

} // namespace

void TUnsettledItems::Collect(const TFileTree* Result, const std::map<const TFileTree*, int32_t>& RowCodes) {
    items_.clear();
    if (Result != nullptr) {
        TItemPath path;
        CollectBelow(Result, path, RowCodes);
    }
}

void TUnsettledItems::CollectBelow(const TFileTree* Node, TItemPath& Path,
                                   const std::map<const TFileTree*, int32_t>& RowCodes) {
    for (const TFileTree* child : Node->Children) {
        Path.push_back({child->Name, IsFolderNode(child)});
        if (!child->Children.empty()) {
            CollectBelow(child, Path, RowCodes);
        } else if (child->Data != nullptr) {
            const auto row = RowCodes.find(child);
            const int32_t code = row != RowCodes.end() ? row->second : child->Action;
            if (code != saSame) {
                items_.push_back(Path);
            }
        }
        Path.pop_back();
    }
}

void TUnsettledItems::Apply(TFileTree* Left, TFileTree* Right, const TFileTree* BaseLeft,
                            const TFileTree* BaseRight) const {
    const bool compared = BaseLeft != nullptr && BaseRight != nullptr;
    // Everything is worked out from the scans as they came, before either changes.
    std::vector<TWanted> wantLeft(items_.size());
    std::vector<TWanted> wantRight(items_.size());
    for (size_t i = 0; i < items_.size(); ++i) {
        const TItemPath& path = items_[i];
        if (compared) {
            wantLeft[i] = EntryOf(Find(BaseLeft, path, path.size()));
            wantRight[i] = EntryOf(Find(BaseRight, path, path.size()));
        } else {
            Pair(Find(Left, path, path.size()), Find(Right, path, path.size()), wantLeft[i], wantRight[i]);
        }
    }
    for (size_t i = 0; i < items_.size(); ++i) {
        Put(Left, items_[i], wantLeft[i], compared ? BaseLeft : nullptr);
        Put(Right, items_[i], wantRight[i], compared ? BaseRight : nullptr);
    }
}

TFileTree* TUnsettledItems::Find(const TFileTree* Root, const TItemPath& Path, size_t Count) {
    const TFileTree* node = Root;
    for (size_t i = 0; i < Count && node != nullptr; ++i) {
        const TFileTree* found = nullptr;
        for (const TFileTree* child : node->Children) {
            if (child->Name == Path[i].Name && child->Data != nullptr &&
                IsFolderNode(child) == Path[i].Folder) {
                found = child;
                break;
            }
        }
        node = found;
    }
    return const_cast<TFileTree*>(node);
}

TUnsettledItems::TWanted TUnsettledItems::EntryOf(const TFileTree* Node) {
    TWanted want;
    if (Node != nullptr && Node->Data != nullptr) {
        want.Present = true;
        want.Folder = Node->Data->IsFolder != 0;
        want.Time = Node->Data->Time;
        want.Size = Node->Data->Size;
        want.Attr = Node->Data->Attr;
    }
    return want;
}

// A pair the direct comparison left unsettled: the older file stands for what
// both sides last shared. Anything but two files has no entry on either side.
void TUnsettledItems::Pair(const TFileTree* Left, const TFileTree* Right, TWanted& WantLeft,
                           TWanted& WantRight) {
    if (Left == nullptr || Right == nullptr || IsFolderNode(Left) || IsFolderNode(Right)) {
        return;
    }
    WantLeft = EntryOf(Left);
    WantRight = EntryOf(Right);
    const TFileAttri* l = Left->Data;
    const TFileAttri* r = Right->Data;
    if (Later(l->Time, r->Time) || (l->Time == r->Time && l->Size != r->Size)) {
        // The left side reads as changed.
        WantLeft.Time = r->Time;
        WantLeft.Size = r->Size;
    }
    if (Later(r->Time, l->Time) || (l->Time == r->Time && l->Size != r->Size)) {
        WantRight.Time = l->Time;
        WantRight.Size = l->Size;
    }
}

void TUnsettledItems::Put(TFileTree* Root, const TItemPath& Path, const TWanted& Want,
                          const TFileTree* Base) {
    // The folders on the way; an entry that is to go needs none of them.
    TFileTree* parent = Root;
    for (size_t i = 0; i + 1 < Path.size(); ++i) {
        TFileTree* folder = Find(parent, {Path[i]}, 1);
        if (folder == nullptr) {
            if (!Want.Present) {
                return;
            }
            folder = AddSorted(parent, Path[i].Name, true);
            const TFileTree* before = Base != nullptr ? Find(Base, Path, i + 1) : nullptr;
            if (before != nullptr) {
                folder->Data->Time = before->Data->Time;
                folder->Data->Attr = before->Data->Attr;
            }
        }
        parent = folder;
    }
    const TStep& last = Path.back();
    TFileTree* node = Find(parent, {last}, 1);
    if (!Want.Present) {
        if (node != nullptr) {
            auto& children = parent->Children;
            children.erase(std::find(children.begin(), children.end(), node));
            --parent->ChildCount;
        }
        return;
    }
    if (node == nullptr) {
        node = AddSorted(parent, last.Name, last.Folder);
    }
    if (!last.Folder) {
        node->Data->Time = Want.Time;
        node->Data->Size = Want.Size;
        node->Data->Attr = Want.Attr;
    }
}

TFileTree* TUnsettledItems::AddSorted(TFileTree* Parent, const std::string& Name, bool Folder) {
    TFileAttri* data = Parent->Arena->NewAttri();
    data->Name = Name;
    data->IsFolder = Folder ? 1 : 0;
    data->Size = Folder ? -1 : 0;
    data->Attr = Folder ? faDirectory : faArchive;
    data->RelPath =
        Parent->Data == nullptr ? std::string("/") : Parent->Data->RelPath + Parent->Data->Name + "/";
    TFileTree* node = Parent->AddChild(Name, data);
    // Back to its place in the scan order.
    auto& children = Parent->Children;
    size_t i = children.size() - 1;
    while (i > 0 && Before(node, children[i - 1])) {
        children[i] = children[i - 1];
        --i;
    }
    children[i] = node;
    return node;
}

} // namespace tandemora
