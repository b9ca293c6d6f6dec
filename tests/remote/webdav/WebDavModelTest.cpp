// The model-based multi-run test of tests/engine/ModelSyncTest.cpp with the
// right side on the Apache WebDAV server: random edits on both sides (those on
// the server made in its folder on disk, as another client would), killed
// runs, each run checked against the same reference model. The server gives
// every upload its own time; the model reads the times the server shows and
// takes files of the same bytes as agreed whatever their times.
//   Replay one sequence: TANDEMORA_MBT_SEED=17 ctest -R WebDavModelSync
//   Long mode:           TANDEMORA_MBT_RUNS=400 ctest -R WebDavModelSync
// A failing sequence is shrunk and printed as a row for kRegressions below.

#include "engine/SyncModel.h"
#include "remote/webdav/WebDavTestSupport.h"

#include <sys/stat.h>

using namespace syncmodel;

namespace {

constexpr int kServerRunsPerSeed = 6;

struct TRegression {
    const char* name;
    const char* script;
};

const TRegression kRegressions[] = {
    {"EditedOnTheServerThenDeletedHere", "R put a 8 1; run; R put a 9 2; run; L rm a; run"},
    // The upload took the server's time; the model took that for an edit there.
    {"UploadedThenEditedHere", "L put a 8 6; run; L put a 12 7; run"},
    // Hidden files left out: the dot name below a folder replaced by a file
    // here must be left out on the server's side too, not deleted with it.
    {"FolderOfAHiddenFileReplacedWhileHiddenFilesAreLeftOut",
     "L mkdir c; L put c/.h 14 9; run; T hidden 1; L rm c; L put c 16 11; run"},
};

void PrintTo(const TRegression& row, std::ostream* out) {
    *out << row.name;
}

class WebDavModelSync : public ::testing::TestWithParam<TRegression> {};

// The task's right folder on a fresh scratch folder of Apache, whose files
// belong to the server's user (the owner of its folder on disk).
struct TDavSide {
    webdavtest::TDavFolder Folder;
    TRightSide Right;

    bool Open() {
        struct stat st;
        if (!Folder.Open() || stat(Folder.Disk.c_str(), &st) != 0) {
            return false;
        }
        Right.Uid = st.st_uid;
        Right.Gid = st.st_gid;
        Right.Open = [this](TSyncTask& task) {
            Folder.Open();
            Folder.Use(task.RFolder);
            return Folder.Disk;
        };
        return true;
    }
};

} // namespace

TEST(WebDavModelSync, RandomEditsBetweenRuns) {
    TDavSide side;
    ASSERT_TRUE(side.Open()) << "no WebDAV server state in TANDEMORA_SERVER_STATE";
    const uint64_t first = EnvNumber("TANDEMORA_MBT_SEED", 0);
    const uint64_t runs =
        EnvNumber("TANDEMORA_MBT_RUNS", first != 0 ? kServerRunsPerSeed : 5 * kServerRunsPerSeed);
    for (uint64_t seed = std::max<uint64_t>(first, 1);
         seed < std::max<uint64_t>(first, 1) + runs / kServerRunsPerSeed; ++seed) {
        if (const std::string failure = RunSeed(seed, kServerRunsPerSeed, side.Right); !failure.empty()) {
            ADD_FAILURE() << failure;
        }
    }
}

TEST_P(WebDavModelSync, Regression) {
    TDavSide side;
    ASSERT_TRUE(side.Open()) << "no WebDAV server state in TANDEMORA_SERVER_STATE";
    EXPECT_EQ(Replay(Parse(GetParam().script), side.Right), "");
}

INSTANTIATE_TEST_SUITE_P(Found, WebDavModelSync, ::testing::ValuesIn(kRegressions),
                         [](const auto& info) { return std::string(info.param.name); });
