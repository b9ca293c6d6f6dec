#pragma once
// Whether the two sides' files of one item hold the same bytes. The analysis
// asks it about a file that both sides changed (or made) since the last
// synchronisation with equal sizes but different times: an upload that did not
// carry its source's time, a run killed after some of its copies, a time-zone
// change, an edit copied by hand. Identical bytes settle such a file, where
// times alone would make it a conflict at every run.
//
// Each side is read through its own endpoint object, made on first use: a disk
// side reads the file where it lies, a remote side downloads it into the
// private staging folder first (LocalCopyForCompare). The bytes are compared as
// they are read; nothing is kept. Whatever goes wrong (a download or a read
// that fails, a cancel) answers "cannot tell", which leaves the item as the
// times alone would leave it.
//
// A file found to differ stays a conflict until a person settles it, so the
// answer is kept beside the task's run stamp with both sides' sizes and times:
// the next analysis answers "different" for the same pair without downloading
// it again. A changed size or time on either side asks the bytes again.

#include "endpoints/UTFileOper.h"
#include "model/UTFileAttri.h"
#include "tasks/UTSyncTask.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace tandemora {

class TSameContent {
public:
    enum TAnswer : int32_t { scCannotTell = -1, scDifferent = 0, scSame = 1 };

    explicit TSameContent(TSyncTask* Task);
    virtual ~TSameContent();
    TSameContent(const TSameContent&) = delete;
    TSameContent& operator=(const TSameContent&) = delete;

    // Left and Right are the two sides' entries of the item (name, relative
    // path, size). Cancelled is asked between blocks. Without Remembered the
    // bytes are read even where the kept answers know the pair as different
    // (a side whose listing shows times only to the minute may hold other
    // bytes under the same size and time), and the answer is not kept.
    TAnswer Compare(const TFileAttri& Left, const TFileAttri& Right, const std::function<bool()>& Cancelled,
                    bool Remembered = true);
    // Whether Side's file of Entry holds bytes of Digest (DigestOf), read or
    // downloaded as Compare reads it.
    TAnswer HoldsDigest(const TFileAttri& Entry, int32_t Side, uint32_t Digest,
                        const std::function<bool()>& Cancelled);
    // A digest (30 bits) of the Size bytes of the file at a disk path (local or
    // on a share); false when it could not be read whole at that size.
    static bool DigestOf(const std::string& Path, int64_t Size, uint32_t& Digest);

    // From any thread: aborts a download in flight; every later Compare cannot tell.
    void Stop();

    // Files whose bytes were compared (each call that got as far as reading).
    int Compared() const { return compared_.load(); }

protected:
    // The endpoint object of a side; TSyncTask::CreateOper unless a test gives another.
    virtual std::unique_ptr<TFileOper> CreateOper(const TFolderSource& Source);

private:
    TFileOper* Endpoint(int32_t Side);
    TAnswer CompareBytes(const TFileAttri& Left, const TFileAttri& Right,
                         const std::function<bool()>& Cancelled);
    static TAnswer SameBytes(const std::string& LeftPath, const std::string& RightPath, int64_t Size,
                             const std::function<bool()>& Cancelled);
    // Both sides' sizes and times of a file whose bytes differ.
    struct TSeenPair {
        int64_t LeftSize = 0;
        int32_t LeftTime = 0;
        int64_t RightSize = 0;
        int32_t RightTime = 0;
        bool operator==(const TSeenPair& Other) const {
            return LeftSize == Other.LeftSize && LeftTime == Other.LeftTime && RightSize == Other.RightSize &&
                   RightTime == Other.RightTime;
        }
    };
    bool KnownDifferent(const std::string& Key, const TSeenPair& Pair);
    void Remember(const std::string& Key, const TSeenPair& Pair, TAnswer Answer);
    std::string KnownPath() const;

    TSyncTask* task_;
    std::mutex lock_; // guards opers_ between Endpoint (the asking thread) and Stop
    std::unique_ptr<TFileOper> opers_[2];
    bool connected_[2] = {false, false};
    bool stopped_ = false;
    int32_t serial_ = 0;
    std::atomic<int> compared_{0};
    // Files known to differ, by relative path and name (the asking thread's).
    // Written back are those asked about in this analysis and the new ones:
    // a file no longer asked about has been settled.
    bool knownRead_ = false;
    std::map<std::string, TSeenPair> known_;
    std::set<std::string> asked_;
};

} // namespace tandemora
