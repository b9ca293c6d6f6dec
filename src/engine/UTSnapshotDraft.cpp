#include "engine/UTSnapshotDraft.h"

#include "endpoints/UTFileOper.h"
#include "engine/UTTandemoraThread.h"
#include "model/UTFolderSource.h"
#include "model/UTUtils.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tandemora {

namespace {

bool IsFolderNode(const TFileTree* node) {
    return node->Data != nullptr && node->Data->IsFolder != 0;
}

// Whether an item of this code asks for a write to Side (0 left, 1 right).
bool WritesTo(int32_t code, int32_t side) {
    int32_t operation = 0;
    int32_t from = -1;
    TTandemoraThread::GetOperation(code, operation, from);
    return from != -1 && 1 - from == side;
}

// An entry as a scan of the folder makes it from the same listing.
void Fill(TFileAttri* data, const fs::DirEntry& entry, const TRelPath& rel) {
    data->Name = entry.Name;
    data->Size = entry.Size;
    data->Time = entry.Time;
    data->TimeFraction = entry.IsFolder ? -1 : fs::TimeFraction(entry.ModifyTime);
    data->Attr = static_cast<int32_t>(entry.Attr);
    data->RelPath = rel;
    data->IsFolder = entry.IsFolder ? 1 : 0;
}

// Whether Data is the very entry a scan would make of Entry in the folder Rel.
bool Listed(const TFileAttri* data, const fs::DirEntry& entry, const TRelPath& rel) {
    return data != nullptr && !entry.IsFolder && data->IsFolder == 0 && data->Name == entry.Name &&
           data->Size == entry.Size && data->Time == entry.Time &&
           data->TimeFraction == fs::TimeFraction(entry.ModifyTime) &&
           data->Attr == static_cast<int32_t>(entry.Attr) && data->RelPath == rel;
}

// One folder level of the draft while the items below it are looked at again.
// The level's own node is made (taken through Own) only when something in it or
// below it is looked at; removed children are left as null places and added ones
// go to the end until Finish, so the places held in Index stay valid meanwhile.
struct TLevel {
    TLevel* Up = nullptr;
    std::string_view Name; // in its parent, for a level below the root
    TFileTree* Node = nullptr;
    bool Gone = false; // no such folder on the side now
    bool Changed = false;
    TRelPath Rel;
    std::unordered_map<std::string_view, size_t> Index;
};

class TRefresh {
public:
    TRefresh(TFileOper* oper, int32_t side, const std::vector<const TFileTree*>& written)
        : oper_(oper), side_(side), written_(written) {}

    void Walk(const TFileTree* result, TLevel& level) {
        for (const TFileTree* child : result->Children) {
            if (child->Data != nullptr && Written(child) && Make(level)) {
                Look(level, child->Name, child);
            }
        }
        for (const TFileTree* child : result->Children) {
            if (child->Data != nullptr && !child->Children.empty()) {
                TLevel below;
                below.Up = &level;
                below.Name = child->Name;
                Walk(child, below);
                Finish(below);
            }
        }
    }

    static void Finish(TLevel& level) {
        if (level.Node == nullptr || !level.Changed) {
            return;
        }
        TFileTreeList& children = level.Node->Children;
        children.erase(std::remove(children.begin(), children.end(), nullptr), children.end());
        TFileOper::SortChildren(level.Node);
        level.Node->ChildCount = static_cast<int32_t>(children.size());
    }

    static void IndexLevel(TLevel& level) {
        const TFileTreeList& children = level.Node->Children;
        level.Index.reserve(children.size());
        for (size_t i = 0; i < children.size(); ++i) {
            level.Index.emplace(children[i]->Name, i);
        }
    }

private:
    bool Written(const TFileTree* item) const {
        return WritesTo(item->Action, side_) || std::binary_search(written_.begin(), written_.end(), item);
    }

    // The level's node made the draft's own, with its entry as the folder
    // holds it now (its time moves as entries come and go; the run may have
    // made it). False when the side has no such folder now, or it could not be
    // looked at: nothing below it is looked at either.
    bool Make(TLevel& level) {
        if (level.Node != nullptr) {
            return true;
        }
        if (level.Gone || level.Up == nullptr || !Make(*level.Up) || level.Up->Node->ListFailed != 0) {
            level.Gone = true;
            return false;
        }
        TLevel& up = *level.Up;
        const std::string name(level.Name);
        Look(up, name);
        const auto found = up.Index.find(level.Name);
        if (found == up.Index.end() || !IsFolderNode(up.Node->Children[found->second])) {
            level.Gone = true;
            return false;
        }
        level.Node = TSnapshotDraft::Own(up.Node, found->second);
        level.Rel = ItemRelPath(up.Rel, name) + "/";
        IndexLevel(level);
        return true;
    }

    // What the side holds under Name in the level now, as a scan would list it.
    // Item is the result's node of the name, if any: a file that now holds
    // just the entry it shows (a copy's target takes its source's) is that very
    // node, shared like the rest of the analysis' nodes.
    void Look(TLevel& level, const std::string& name, const TFileTree* item = nullptr) {
        if (level.Node->ListFailed != 0) {
            return; // the analysis could not read it: nothing was written there
        }
        fs::DirEntry entry;
        errno = 0;
        const bool there = fs::GetEntryInfo(PathOf(level.Rel, name), entry);
        if (!there && errno != ENOENT && errno != ENOTDIR) {
            // The folder cannot be looked into now: it counts as not read, as
            // in a scan, and keeps what the last snapshot said there.
            level.Node->ListFailed = 1;
            oper_->UnreadFolders.push_back(PathOf(level.Rel, ""));
            return;
        }
        TFileTreeList& children = level.Node->Children;
        const auto found = level.Index.find(name);
        TFileTree* old = found != level.Index.end() ? children[found->second] : nullptr;
        if (!there) {
            if (old != nullptr) {
                children[found->second] = nullptr;
                level.Index.erase(found);
                level.Changed = true;
            }
            return;
        }
        TFileTree* node = nullptr;
        if (item != nullptr && item->Children.empty() && item->Name == entry.Name &&
            Listed(item->Data, entry, level.Rel)) {
            node = const_cast<TFileTree*>(item);
            if (node == old) {
                return;
            }
        } else if (old != nullptr && IsFolderNode(old) == entry.IsFolder) {
            // A folder keeps what is below it; what the run did there is
            // looked at level by level.
            Fill(TSnapshotDraft::Own(level.Node, found->second)->Data, entry, level.Rel);
            return;
        } else {
            TTreeArena* arena = level.Node->Arena;
            TFileAttri* data = arena->NewAttri();
            Fill(data, entry, level.Rel);
            node = arena->NewNode(data->Name, data);
            node->Parent = level.Node;
        }
        level.Changed = level.Changed || old == nullptr || IsFolderNode(old) != entry.IsFolder;
        if (old != nullptr) {
            children[found->second] = node;
            return;
        }
        children.push_back(node);
        level.Index.emplace(node->Name, children.size() - 1);
    }

    std::string PathOf(const TRelPath& rel, const std::string& name) {
        TFileAttri attr;
        attr.RelPath = rel;
        attr.Name = name;
        std::string path;
        oper_->BuildFullPath(oper_->Source, &attr, path);
        return path;
    }

    TFileOper* oper_;
    int32_t side_;
    const std::vector<const TFileTree*>& written_;
};

} // namespace

bool TSnapshotDraft::Usable(const TFolderSource& Source) {
    return Source.DeviceType == dtLocal && !fs::IsUncPath(TrimBlanks(Source.FolerAllName));
}

void TSnapshotDraft::Build(TFileOper* Oper, const TFileOper* Scanned, const TFileTree* Result, int32_t Side,
                           const std::vector<const TFileTree*>& Written) {
    TFileTree* root = Oper->Tree;
    root->Children.clear();
    root->ChildCount = 0;
    Oper->UnreadFolders = Scanned->UnreadFolders;
    Oper->ScanIncomplete = Scanned->ScanIncomplete;
    Oper->NotAnswering = false;
    Oper->RootMissing = Oper->IsRootMissing() != 0;
    if (Oper->RootMissing) {
        // Nothing seen is not the same as nothing there, as for a scan.
        root->ListFailed = 1;
        return;
    }
    root->ListFailed = Scanned->Tree->ListFailed;
    root->Children = Scanned->Tree->Children;
    root->ChildCount = static_cast<int32_t>(root->Children.size());
    if (Result == nullptr || root->ListFailed != 0) {
        return;
    }
    TLevel top;
    top.Node = root;
    top.Rel = "/";
    TRefresh::IndexLevel(top);
    TRefresh refresh(Oper, Side, Written);
    refresh.Walk(Result, top);
    TRefresh::Finish(top);
}

TFileTree* TSnapshotDraft::Own(TFileTree* Parent, size_t Index) {
    TFileTree* child = Parent->Children[Index];
    if (child->Arena == Parent->Arena) {
        return child;
    }
    TTreeArena* arena = Parent->Arena;
    TFileAttri* data = nullptr;
    if (child->Data != nullptr) {
        data = arena->NewAttri();
        *data = *child->Data;
    }
    TFileTree* copy = arena->NewNode(child->Name, data);
    copy->Children = child->Children;
    copy->ChildCount = child->ChildCount;
    copy->ListFailed = child->ListFailed;
    copy->Parent = Parent;
    Parent->Children[Index] = copy;
    return copy;
}

} // namespace tandemora
