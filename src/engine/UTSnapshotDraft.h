#pragma once
// The tree a folder's new snapshot is made from, without scanning the folder
// again after a synchronisation.
//
// A side scanned again after the sync gives what the analysis saw there, except
// where the run wrote (and where someone else changed the folder meanwhile). So a
// folder on this computer takes the tree its analysis scanned and looks again,
// with one stat each, only at the items the run wrote to on that side (copies,
// overwrites, deletions, folders made or removed) and at the folders holding them
// (their times change as entries come and go). Everything else keeps the entry the
// analysis saw, which is also what the next run must compare with: an edit made
// while the run ran is then still seen as one, where a rescan would have taken it
// for settled.
//
// The analysis' nodes are shared, not copied: they belong to the result the
// window still shows and are never changed. A node is copied into the draft's own
// arena (Own) only where the draft changes it, so a run that touched a few items
// of a large tree costs a few nodes. Code that changes a draft takes each node
// through Own first; on a tree that is wholly its own (a fresh scan) Own changes
// nothing.

#include "model/UTFileTree.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tandemora {

class TFileOper;
class TFolderSource;

class TSnapshotDraft {
public:
    // Whether a side's items can be looked at again one at a time as its scan
    // saw them: a folder on this computer (not a share, not a server).
    static bool Usable(const TFolderSource& Source);

    // Makes Oper->Tree (an empty root in Oper's own arena) the tree Scanned held
    // after the analysis, with the items of Result the run wrote to on Side (0
    // left, 1 right) looked at again: those whose rows asked for it (Written,
    // sorted) and those the analysis (or a person's choice) gave such a code.
    // Oper's scan flags
    // (UnreadFolders, ScanIncomplete, RootMissing) become those of the analysis'
    // scan; a root that is not there now is marked as a scan marks it.
    static void Build(TFileOper* Oper, const TFileOper* Scanned, const TFileTree* Result, int32_t Side,
                      const std::vector<const TFileTree*>& Written);

    // Parent->Children[Index] made a node of Parent's own arena (a copy with its
    // own entry, sharing the children until they are taken through Own too) and
    // put in its place. Parent must be its tree's own already.
    static TFileTree* Own(TFileTree* Parent, size_t Index);
};

} // namespace tandemora
