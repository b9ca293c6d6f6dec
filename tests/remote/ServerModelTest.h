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
#include <memory>
#include <ostream>
#include <string>

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
