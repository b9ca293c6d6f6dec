// The same-content service on two local folders: what it answers for files of
// equal and unequal bytes, for files it cannot read, and after a cancel or a stop.

#include "TestSupport.h"
#include "engine/UTSameContent.h"

#include <gtest/gtest.h>

#include <string>

using namespace tandemora;

namespace {

TFileAttri Entry(const std::string& name, int64_t size) {
    TFileAttri attr;
    attr.Name = name;
    attr.RelPath = "/sub/";
    attr.Size = size;
    return attr;
}

TEST(SameContent, AnswersFromTheBytesOrCannotTell) {
    testsupport::TempDir left;
    testsupport::TempDir right;
    testsupport::TempDir cache;
    testsupport::ScopedEnv xdgCache{"XDG_CACHE_HOME", cache.path()};
    TSyncTask task;
    task.LFolder.DeviceType = dtLocal;
    task.RFolder.DeviceType = dtLocal;
    task.LFolder.FolerAllName = left.path();
    task.RFolder.FolerAllName = right.path();
    const std::string big(200000, 'b'); // more than one block, differing in the last one
    struct Row {
        const char* name;
        std::string leftBytes, rightBytes; // empty: no such file
        bool cancel;
        TSameContent::TAnswer expected;
    } rows[] = {
        {"same.txt", "the same bytes", "the same bytes", false, TSameContent::scSame},
        {"other.txt", "these bytes", "those bytes", false, TSameContent::scDifferent},
        {"big.bin", big + "x", big + "y", false, TSameContent::scDifferent},
        {"bigsame.bin", big, big, false, TSameContent::scSame},
        {"gone.txt", "only left", "", false, TSameContent::scCannotTell},
        {"cancelled.txt", "the same bytes", "the same bytes", true, TSameContent::scCannotTell},
    };
    TSameContent same(&task);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.leftBytes.empty()) {
            testsupport::WriteFile(left / (std::string("sub/") + row.name), row.leftBytes);
        }
        if (!row.rightBytes.empty()) {
            testsupport::WriteFile(right / (std::string("sub/") + row.name), row.rightBytes);
        }
        const int64_t size = static_cast<int64_t>(row.leftBytes.size());
        EXPECT_EQ(same.Compare(Entry(row.name, size), Entry(row.name, size), [&row] { return row.cancel; }),
                  row.expected);
    }
    // A size the scan saw that the file no longer has: no answer from stale bytes.
    EXPECT_EQ(same.Compare(Entry("same.txt", 3), Entry("same.txt", 3), [] { return false; }),
              TSameContent::scCannotTell);
    same.Stop();
    EXPECT_EQ(same.Compare(Entry("same.txt", 14), Entry("same.txt", 14), [] { return false; }),
              TSameContent::scCannotTell);
}

} // namespace
