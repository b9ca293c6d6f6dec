#pragma once
// What the new snapshots say of the items a synchronisation did not settle.
//
// After a synchronisation both sides are scanned again and the scans become the
// snapshots the next analysis compares with. An item the run did not settle (a
// conflict, a failure, a refusal, a row skipped or not reached before a cancel,
// an item the filters hid) must not look settled in them: the next analysis has
// to propose for it exactly what this one proposed, whether the item is there
// now or was deleted on a side. So each such item gets, on each side, the entry
// the analysis compared with:
// - after a comparison with snapshots, the entry of that snapshot, or none when
//   it had none (an item deleted since is put back into the snapshot, so its
//   deletion is still seen);
// - after a direct comparison, entries that stand for the older of the two files
//   as the state both sides last shared: the newer side reads as changed, the
//   older as unchanged (both as changed when only their sizes differ), and an
//   item on one side only has no entry on either.
// Items are told apart by name and kind: a file and a folder of one name are two
// items. Each folder level is looked at once, however many items it holds.

#include "model/UTFileTree.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace tandemora {

class TUnsettledItems {
public:
    // Collects the items of a result whose final code is not saSame: the row's
    // code where a row shows the item, the result's code elsewhere. Only items
    // without children count; a folder is settled with everything in it.
    void Collect(const TFileTree* Result, const std::map<const TFileTree*, int32_t>& RowCodes);
    bool Empty() const { return count_ == 0; }
    size_t Count() const { return count_; }

    // Gives every unsettled item its entries in the two fresh scans Left and
    // Right (changed in place). BaseLeft and BaseRight are the snapshots the
    // analysis compared with, or null after a direct comparison.
    void Apply(TFileTree* Left, TFileTree* Right, const TFileTree* BaseLeft, const TFileTree* BaseRight);

private:
    using TKey = std::pair<std::string, bool>; // name, folder

    // What one side's snapshot is to hold for an item: nothing, or an entry.
    struct TWanted {
        bool Present = false;
        int32_t Time = 0;
        int64_t Size = 0;
        int32_t Attr = 0;
    };

    // The unsettled items as a tree of names: a level per folder level.
    struct TLevel {
        std::map<TKey, std::unique_ptr<TLevel>> Children;
        bool Item = false;
        TWanted Want[2];   // per side, for an item
        TWanted Folder[2]; // per side, the snapshot's entry of a folder on the way
        bool PresentBelow[2] = {false, false};
    };

    void CollectBelow(const TFileTree* Node, TLevel& Level,
                      const std::map<const TFileTree*, int32_t>& RowCodes);
    void Decide(TLevel& Level, const TFileTree* Left, const TFileTree* Right, const TFileTree* BaseLeft,
                const TFileTree* BaseRight, bool Compared);
    void Put(TLevel& Level, TFileTree* Parent, int32_t Side);

    static TWanted EntryOf(const TFileTree* Node);
    static void Pair(const TFileTree* Left, const TFileTree* Right, TWanted& WantLeft, TWanted& WantRight);
    static TFileTree* AddNode(TFileTree* Parent, const std::string& Name, bool Folder);

    TLevel root_;
    size_t count_ = 0;
};

} // namespace tandemora
