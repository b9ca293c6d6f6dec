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
// items.

#include "model/UTFileTree.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tandemora {

class TUnsettledItems {
public:
    // Collects the items of a result whose final code is not saSame: the row's
    // code where a row shows the item, the result's code elsewhere. Only items
    // without children count; a folder is settled with everything in it.
    void Collect(const TFileTree* Result, const std::map<const TFileTree*, int32_t>& RowCodes);
    bool Empty() const { return items_.empty(); }
    size_t Count() const { return items_.size(); }

    // Gives every unsettled item its entries in the two fresh scans Left and
    // Right (changed in place). BaseLeft and BaseRight are the snapshots the
    // analysis compared with, or null after a direct comparison.
    void Apply(TFileTree* Left, TFileTree* Right, const TFileTree* BaseLeft,
               const TFileTree* BaseRight) const;

private:
    struct TStep {
        std::string Name;
        bool Folder = false;
    };
    using TItemPath = std::vector<TStep>;

    // What one side's snapshot is to hold for an item: nothing, or an entry.
    struct TWanted {
        bool Present = false;
        bool Folder = false;
        int32_t Time = 0;
        int64_t Size = 0;
        int32_t Attr = 0;
    };

    void CollectBelow(const TFileTree* Node, TItemPath& Path,
                      const std::map<const TFileTree*, int32_t>& RowCodes);
    static TFileTree* Find(const TFileTree* Root, const TItemPath& Path, size_t Count);
    static TWanted EntryOf(const TFileTree* Node);
    static void Pair(const TFileTree* Left, const TFileTree* Right, TWanted& WantLeft, TWanted& WantRight);
    static void Put(TFileTree* Root, const TItemPath& Path, const TWanted& Want, const TFileTree* Base);
    static TFileTree* AddSorted(TFileTree* Parent, const std::string& Name, bool Folder);

    std::vector<TItemPath> items_;
};

} // namespace tandemora
