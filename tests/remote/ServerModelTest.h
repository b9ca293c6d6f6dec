#pragma once
// The model-based multi-run test of tests/engine/ModelSyncTest.cpp with the
// right side on a server, for every server kind a test program has: a kind
// says how its side is opened, what the model may play there (hidden names,
// read-only bits, folders the server cannot list, restarts, a server down or
// frozen for a run) and how many seeds the suite runs. The long mode runs
// TANDEMORA_MBT_RUNS runs on each kind (filter by kind with --gtest_filter).

#include "engine/SyncModel.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace servermodel {

using namespace syncmodel;

constexpr int kServerRunsPerSeed = 6;

// The server behind a right side, and the side; kept for the whole test.
class TServerSide {
public:
    virtual ~TServerSide() = default;
    // False when the suite has no server of this kind.
    virtual bool Open() = 0;
    TRightSide Right;
};

struct TKind {
    const char* Name;
    int Seeds; // in the suite; the long mode sets the number of runs
    std::function<std::unique_ptr<TServerSide>()> Make;
    // A server of the test's own, which takes seconds to start: it replays
    // only the rows that act on the server itself.
    bool Own = false;
};

struct TRegression {
    const char* Name;
    const char* Script;
};

// The rows every server kind replays (those that act on the server itself
// also on the test's own servers), followed by a kind's own rows.
inline std::vector<TRegression> ServerRegressions(std::initializer_list<TRegression> own = {}) {
    std::vector<TRegression> rows = {
        {"EditedOnTheServerThenDeletedHere", "R put a 8 1; run; R put a 9 2; run; L rm a; run"},
        // A folder holding only a hidden file, replaced by a file here while hidden
        // files were left out: the server's listing showed the dot name as an
        // ordinary item, and the folder's deletion took the hidden file with it.
        {"FolderOfAHiddenFileReplacedWhileHiddenFilesAreLeftOut",
         "L mkdir c; L put c/.h 14 9; run; T hidden 1; L rm c; L put c 16 11; run"},
        // The server's user may not list a folder for a run: nothing below it moves.
        {"FolderTheServerCannotList",
         "R mkdir a; R put a/x 6 1; run; R unread a; R put a/x 7 2; L rm a; L put b 8 3; run; "
         "R readable; run"},
        // The server's folder closed to its user renamed: the model follows the path.
        {"ClosedFolderRenamedOnTheServer", "R mkdir c; R unread c; R mv c d; run"},
        // Killed as the second transfer starts: the first stays, the next run settles.
        {"KilledAtTheSecondTransfer", "R put a 6 1; R put b 7 2; L put c 8 3; T kill 3; run; run"},
        // A server restarted between runs, down for one run and frozen for
        // another (on the kinds that play it): those runs change nothing, and
        // the next does their work.
        {"RestartedDownFrozen",
         "L put a 6 1; L put d 7 2; run; S restart; R put b 8 3; run; S down; L put a 9 4; "
         "R rm b; run; run; S freeze; L rm a; R put c 10 5; run; run"},
        // A run against a silent server with the snapshots kept in another place
        // wrote a new pair there, and the last agreed pair in the first place was
        // no longer used when the task went back to it.
        {"SilentRunWithTheSnapshotsElsewhere",
         "L put c 11 6; run; T estimate 1; S freeze; run; T estimate 0; run"},
        {"ServerDownWhileTheSnapshotsMove",
         "T estimate 1; T tags 1; L put a 7 2; run; T estimate 0; S down; run; T estimate 1; run"},
        // A read-only bit on the server keeps nothing there: the program cannot see it.
        {"ReadOnlyOnTheServerDeletedHere", "R put a 6 1; R put .h 7 2; run; R ro a; L rm a; L rm .h; run"},
    };
    rows.insert(rows.end(), own);
    return rows;
}

// Whether a row is replayed on a kind.
inline bool ReplaysOn(const TKind& kind, const TRegression& row) {
    return !kind.Own || std::string(row.Script).find("S ") != std::string::npos;
}

inline void PrintTo(const TKind& kind, std::ostream* out) {
    *out << kind.Name;
}
inline void PrintTo(const TRegression& row, std::ostream* out) {
    *out << row.Name;
}

// Random sequences of kServerRunsPerSeed runs each, from TANDEMORA_MBT_SEED on;
// each failure shrunk and printed as a row to paste into the regressions.
inline void RunSeeds(const TKind& kind, const TRightSide& right) {
    const uint64_t first = std::max<uint64_t>(EnvNumber("TANDEMORA_MBT_SEED", 0), 1);
    const bool given = EnvNumber("TANDEMORA_MBT_SEED", 0) != 0;
    const uint64_t runs = EnvNumber("TANDEMORA_MBT_RUNS", (given ? 1 : kind.Seeds) * kServerRunsPerSeed);
    for (uint64_t seed = first; seed < first + runs / kServerRunsPerSeed; ++seed) {
        if (const std::string failure = RunSeed(seed, kServerRunsPerSeed, right); !failure.empty()) {
            ADD_FAILURE() << kind.Name << " " << failure;
        }
    }
}

// The test name of a kind, or of a kind and a regression row.
inline std::string KindName(const ::testing::TestParamInfo<TKind>& info) {
    return info.param.Name;
}
inline std::string RowName(const ::testing::TestParamInfo<std::tuple<TKind, TRegression>>& info) {
    return std::string(std::get<0>(info.param).Name) + "_" + std::get<1>(info.param).Name;
}

} // namespace servermodel
