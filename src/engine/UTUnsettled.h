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
//   older as unchanged (both as changed when only their sizes differ, or when
//   the comparison left them as a conflict), and an
//   item on one side only has no entry on either.
// The fresh scans are taken after the sync, so they also hold what the user
// changed while it ran, which this run's analysis never saw. Taken as they are,
// such changes would look settled: an edit never reaches the other side and is
// later overwritten by an edit there, a deletion is copied back. So an item the
// run settled keeps, on each side the run did not write to, the entry the
// analysis saw there (or none, where it saw nothing); a side the run wrote to
// keeps what the scan finds.
// A fresh scan that could not read a folder (or that broke off) says nothing of
// what lies below it: that part takes the entries of the snapshot the analysis
// compared with (KeepUnread), and an item the run settled there gets the entry
// the run left it with (a copy's source entry, or none after a deletion). So a
// rescan cut short by a folder without read rights, or by a server that went
// away, neither loses what the run did nor makes the pair fall back to a direct
// comparison.
// Items are told apart by name and kind: a file and a folder of one name are two
// items. Each folder level is looked at once, however many items it holds.

#include "model/UTFileTree.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tandemora {

// The sync's final word on the items of a result: the code of the row that
// shows an item, or the analysis' code where no row shows it. One sorted list
// (an entry per row) costs a fraction of a map on a run of many items.
class TRowCodes {
public:
    // A later Add for the same item wins, as the last row to show it does.
    void Add(const TFileTree* Item, int32_t Code) { codes_.emplace_back(Item, Code); }
    // Call once every row is added, before CodeOf.
    void Sort();
    int32_t CodeOf(const TFileTree* Item) const;

private:
    std::vector<std::pair<const TFileTree*, int32_t>> codes_;
};

class TUnsettledItems {
public:
    // Collects the items of a result whose final code is not saSame: the row's
    // code where a row shows the item, the result's code elsewhere. Only items
    // without children count; a folder is settled with everything in it.
    void Collect(const TFileTree* Result, const TRowCodes& RowCodes);
    bool Empty() const { return count_ == 0; }
    size_t Count() const { return count_; }

    // Finds the settled items of the same result whose entries in the fresh
    // scans Left and Right are not what the analysis saw on a side the run did
    // not write to. Call after Collect and before Apply.
    void CollectChangedSince(const TFileTree* Result, const TRowCodes& RowCodes, const TFileTree* Left,
                             const TFileTree* Right);

    // Where the fresh scan Scanned could not read a folder (ListFailed), the
    // folder takes the children of its entry in Base (the side's snapshot the
    // analysis compared with; none after a direct comparison) in place of what
    // was listed, and stays marked. A root that was not read takes all of Base.
    static void KeepUnread(TFileTree* Scanned, const TFileTree* Base);

    // Gives every item found above its entries in the two fresh scans Left and
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
        // A server time listed while its minute still ran keeps that mark
        // (with its digest), so that the next analysis still asks the bytes.
        int32_t Fraction = -1;
    };

    // The unsettled items as a tree of names: a level per folder level.
    struct TLevel {
        std::map<TKey, std::unique_ptr<TLevel>> Children;
        bool Item = false;
        bool Conflict = false; // unsettled as a conflict
        // A settled item: Want holds what the analysis saw, and a side the run
        // wrote to (Keep) stays as scanned.
        bool Settled = false;
        bool Keep[2] = {false, false};
        TWanted Want[2];   // per side, for an item
        TWanted Folder[2]; // per side, the snapshot's entry of a folder on the way
        bool PresentBelow[2] = {false, false};
    };

    void CollectBelow(const TFileTree* Node, TLevel& Level, const TRowCodes& RowCodes);
    bool ChangedBelow(const TFileTree* Node, const TFileTree* Left, const TFileTree* Right, TLevel& Level,
                      const TRowCodes& RowCodes, const bool Unread[2]);
    static TWanted Written(int32_t Code, const TWanted& Source);
    static void KeepUnreadBelow(TFileTree* Scanned, const TFileTree* Base,
                                const std::unordered_set<const TFileTree*>& OnPath);
    static void CopyBelow(TFileTree* To, const TFileTree* From);
    static bool SeenBy(const TFileTree* Item, int32_t Code, TWanted Seen[2], bool Keep[2]);
    void Decide(TLevel& Level, const TFileTree* Left, const TFileTree* Right, const TFileTree* BaseLeft,
                const TFileTree* BaseRight, bool Compared);
    void Put(TLevel& Level, TFileTree* Parent, int32_t Side);

    static TWanted EntryOf(const TFileTree* Node);
    static void Pair(const TFileTree* Left, const TFileTree* Right, bool Conflict, TWanted& WantLeft,
                     TWanted& WantRight);
    static TFileTree* AddNode(TFileTree* Parent, const std::string& Name, bool Folder);

    TLevel root_;
    size_t count_ = 0;
};

} // namespace tandemora
