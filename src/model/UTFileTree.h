#pragma once
// Folder trees: the scanned endpoints, the snapshots of the last synchronisation,
// the change trees and the analysis result are all trees of TFileTree nodes.
//
// Nodes are shared between trees (the result tree holds the scanned nodes
// themselves), so no tree owns its nodes. Every node and TFileAttri is allocated
// from a TTreeArena; a run keeps the arenas of all its trees alive and releases
// them together when its result is dropped. A node remembers its arena so that
// AddChild can allocate from it; an arena is used by one thread at a time, like
// the tree it serves.

#include "model/UTFileAttri.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <new>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace tandemora {

// Action codes of an item.
enum : int32_t {
    saUnset = -1,
    saConflict = 2,
    saError = 3,
    saIncluded = 4,
    saExcluded = 5,
    saNewSinceSync = 6,
    saChangedSinceSync = 7,
    saDeletedSinceSync = 8,
    saCopyLtoR = 16,
    saCopyRtoL = 17,
    saSame = 18,
    saOverwriteRtoL = 19,
    saOverwriteLtoR = 20,
    saDoNotCopy = 21,
    saDeleteRight = 81,
    saDeleteLeft = 82,
};

class TFileTree;
class TTreeArena;

using TFileTreeList = std::vector<TFileTree*>;
using TArenaPtr = std::shared_ptr<TTreeArena>;

class TFileTree {
public:
    // Use TTreeArena::NewNode; nodes live exactly as long as their arena.
    TFileTree(TTreeArena* arena, const std::string& name, TFileAttri* data);
    TFileTree(const TFileTree&) = delete;
    TFileTree& operator=(const TFileTree&) = delete;

    int32_t LineCursor = 0;
    int32_t Action = saUnset;
    int32_t OtherTime = -1;
    int32_t OtherAttr = -1;
    int64_t OtherSize = 0;
    int64_t LeftSize = 0;
    int32_t LeftTime = -1;
    int32_t LeftAttr = -1;
    int32_t ErrorFlag = 0;
    int32_t ConflictFlag = 0;
    int32_t IncludedFlag = 0;
    int32_t ExcludedFlag = 0;
    int32_t NewFlag = 0;
    int32_t OverwriteFlag = 0;
    int32_t DeleteFlag = 0;
    int32_t LtoRFlag = 0;
    int32_t RtoLFlag = 0;
    int32_t SameFlag = 0;
    int32_t ChildCount = 0;
    // 1 on a folder the scan could not list (no rights, vanished, I/O error), and
    // on the root of a scan that was stopped early: what lies below is unknown,
    // not absent, so nothing may be deleted or overwritten on its account.
    int8_t ListFailed = 0;
    // Set by the analysis on a result item whose entry (Data) is the right side's
    // while the left side holds no such item now: the entry belongs in the right
    // columns, and the left ones stay empty.
    int8_t RightEntry = 0;
    // Set by the analysis on a file that both sides changed alike since the last
    // synchronisation (same size, same time): settled without an operation, but
    // the snapshots must learn of it. On a result's root: the snapshots list
    // items that neither side holds any more.
    int8_t Agreed = 0;
    // Set by the analysis on a file the other side deleted since the last
    // synchronisation while it was read-only there: this side's copy took its
    // read-only bit from it, so the bit does not hold back carrying the
    // deletion over (one set on this side alone still does).
    int8_t DeletedReadOnly = 0;
    // Set by the analysis on a change-tree file that reads as unchanged only to
    // its listing's minute, the minute that still ran when the last sync
    // listed it (tfMinuteOpen): an edit later within it would read alike.
    int8_t ListedAlike = 0;
    TFileTree* Parent = nullptr;
    TFileTreeList Children;
    std::string Name;
    TFileAttri* Data = nullptr;
    TTreeArena* Arena = nullptr;

    TFileTree* AddChild(const std::string& name, TFileAttri* data);
    void AppendNode(TFileTree* node);
    void AppendRaw(TFileTree* node);
    void AdoptChildren(TFileTree* other);
    void RemoveChild(const std::string& name);
    void ClearFlags();
    void ClearActionFlags();
    void SetAction(int32_t code);
    void SetFilterState(int32_t code);

    // Snapshot text form. SaveToStream writes this root and everything below it;
    // LoadFromStream rebuilds the tree below this (childless) root from the text
    // and raises EConvertError or EListError on a malformed text.
    void SaveToStream(std::ostream& stream, const std::string& rootName) const;
    void LoadFromStream(std::istream& stream);
};

// The snapshot text of a tree (SaveToStream), made a block at a time, so a
// large tree's text is never held whole: each block holds whole lines.
class TSnapshotText {
public:
    static constexpr size_t BlockSize = 64 * 1024;
    // Root and everything below it must stay unchanged while the text is made.
    TSnapshotText(const TFileTree& Root, const std::string& RootName);
    // The next block of about BlockSize; false (and an empty Block) at the end.
    bool Next(std::string& Block);

private:
    struct TFrame {
        const TFileTree* Node;
        size_t Next;
    };
    std::string first_;
    std::vector<TFrame> stack_;
};

// The snapshot text of a tree as an input stream buffer, for a writer that
// reads what it writes from a stream (an endpoint's WriteFromStream).
class TSnapshotStreamBuf : public std::streambuf {
public:
    TSnapshotStreamBuf(const TFileTree& Root, const std::string& RootName);

protected:
    int_type underflow() override;

private:
    TSnapshotText text_;
    std::string block_;
};

// A name or path as a log line shows it: control characters (0x00 to 0x1F and
// 0x7F) and the Unicode line breaks written with the snapshot text's escapes
// ("%0A" for LF, "%0D" for CR, ...), everything else as it stands. A name that
// holds a line break could otherwise forge lines of the task log and the log
// panel. Names and paths go through it where they enter a log line.
std::string EscapeForLog(std::string_view text);

// Items of one kind kept in blocks that never move, each block twice the size
// of the one before (up to a limit): a tree of a million items is a few
// hundred allocations, made and freed quickly, and a small tree stays small.
template <typename TItem> class TArenaBlocks {
public:
    TArenaBlocks() = default;
    TArenaBlocks(const TArenaBlocks&) = delete;
    TArenaBlocks& operator=(const TArenaBlocks&) = delete;
    ~TArenaBlocks() {
        for (size_t b = blocks_.size(); b-- > 0;) {
            const size_t made = b + 1 == blocks_.size() ? used_ : blocks_[b].Size;
            for (size_t i = made; i-- > 0;) {
                reinterpret_cast<TItem*>(blocks_[b].Slots[i].Bytes)->~TItem();
            }
        }
    }

    template <typename... TArgs> TItem* Make(TArgs&&... args) {
        if (blocks_.empty() || used_ == blocks_.back().Size) {
            const size_t size =
                blocks_.empty() ? FirstBlock : std::min(blocks_.back().Size * 2, LargestBlock);
            // Left uninitialised: each slot is constructed when it is taken.
            blocks_.push_back(TBlock{std::unique_ptr<TSlot[]>(new TSlot[size]), size});
            used_ = 0;
        }
        TItem* item = new (blocks_.back().Slots[used_].Bytes) TItem(std::forward<TArgs>(args)...);
        ++used_;
        ++count_;
        return item;
    }
    size_t Count() const { return count_; }

private:
    static constexpr size_t FirstBlock = 16;
    static constexpr size_t LargestBlock = 4096;
    struct TSlot {
        alignas(TItem) unsigned char Bytes[sizeof(TItem)];
    };
    struct TBlock {
        std::unique_ptr<TSlot[]> Slots;
        size_t Size;
    };
    std::vector<TBlock> blocks_;
    size_t used_ = 0;
    size_t count_ = 0;
};

// Owns the nodes and entries of one or more trees.
class TTreeArena {
public:
    TTreeArena() = default;
    TTreeArena(const TTreeArena&) = delete;
    TTreeArena& operator=(const TTreeArena&) = delete;

    TFileTree* NewNode(const std::string& name, TFileAttri* data);
    TFileAttri* NewAttri();

    size_t NodeCount() const;

private:
    TArenaBlocks<TFileTree> nodes_;
    TArenaBlocks<TFileAttri> attris_;
};

// A fresh empty root (empty name, no Data) in a new arena. The arena is returned
// through `arena` so the caller can keep it alive for as long as the tree is used.
TFileTree* NewTree(TArenaPtr& arena);

// The per-row record of the result view.
// The eight-byte fields first, so that a row (one per item) has no gaps.
class TVSTNode {
public:
    std::string Path;
    std::string Name;
    int64_t RightSize = 0;
    int64_t LeftSize = 0;
    TFileTree* Item = nullptr;
    int32_t RightDate = 0;
    int32_t RightAttr = 0;
    std::atomic<int32_t> Action{saUnset}; // written by the sync thread while the window paints
    int32_t LeftDate = 0;
    int32_t LeftAttr = 0;
    int32_t IsFolder = 0;
    int32_t LtoRCount = 0;
    int32_t RtoLCount = 0;
    int32_t ImageIndex = 0;
};

} // namespace tandemora
