// The rows of the result view: which items each view kind shows, the display
// values and needed bytes of the recount, row sizes summed upward, overrides
// that reach only the rows shown, and the overrides a row offers.

#include "model/UTResultRows.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <string>
#include <vector>

using namespace tandemora;

namespace {

// A result tree the way an analysis leaves it: every node carries its code and
// files their filter state; "dir/" is a folder. Kept in the order of insertion.
class TResultBuilder : public testsupport::TTreeBuilder {
public:
    TResultBuilder() : TTreeBuilder("", false) {}

    TFileTree* Item(const std::string& path, int32_t code = saUnset, int64_t size = 10, int32_t time = 1000) {
        const bool folder = path.back() == '/';
        TFileTree* node = folder ? Folder(path) : File(path, time, size);
        node->SetAction(code);
        if (!folder) {
            node->SetFilterState(saIncluded);
        }
        return node;
    }
};

// Every row below the root as "path+name", parents before children.
std::vector<std::string> ShownRows(const TResultRows& rows) {
    std::vector<std::string> shown;
    rows.ForEachRow([&](TResultRow* row) {
        if (row != rows.RootRow()) {
            shown.push_back(row->Path + row->Name);
        }
    });
    return shown;
}

TResultRow* FindRow(const TResultRows& rows, const std::string& key) {
    TResultRow* found = nullptr;
    rows.ForEachRow([&](TResultRow* row) {
        if (row != rows.RootRow() && row->Path + row->Name == key) {
            found = row;
        }
    });
    return found;
}

} // namespace

// One item per category, plus a folder that holds only a new file.
class ResultRowsAdmission : public ::testing::Test {
protected:
    void SetUp() override {
        b.Item("dir/");
        b.Item("dir/inner.txt", saCopyLtoR);
        b.Item("new.txt", saCopyLtoR);
        b.Item("rnew.txt", saCopyRtoL);
        b.Item("same.txt", saSame);
        b.Item("ovl.txt", saOverwriteLtoR);
        b.Item("ovr.txt", saOverwriteRtoL);
        b.Item("conf.txt", saConflict);
        b.Item("delr.txt", saDeleteRight);
        b.Item("dell.txt", saDeleteLeft);
        b.Item("skip.txt", saDoNotCopy);
        TFileTree* err = b.Item("err.txt", saError);
        err->ErrorFlag = 1; // the sync's failures, as a result would carry them
        TFileTree* ex = b.Item("ex.txt", saCopyLtoR);
        ex->SetFilterState(saExcluded);
        rows.InitView("Docs");
        rows.SetResultTree(b.Root);
    }

    TResultBuilder b;
    TResultRows rows;
};

TEST_F(ResultRowsAdmission, EachViewKindShowsItsItemsAndTheFoldersAboveThem) {
    const std::vector<std::string> all = {
        "/dir",      "/dir/inner.txt", "/new.txt",  "/rnew.txt", "/same.txt", "/ovl.txt", "/ovr.txt",
        "/conf.txt", "/delr.txt",      "/dell.txt", "/skip.txt", "/err.txt",  "/ex.txt"};
    struct Case {
        int32_t kind;
        std::vector<std::string> shown;
    };
    const std::vector<Case> cases = {
        {vkAll, all},
        {vkChanged,
         {"/dir", "/dir/inner.txt", "/new.txt", "/rnew.txt", "/ovl.txt", "/ovr.txt", "/delr.txt",
          "/dell.txt"}},
        {vkConflicts, {"/conf.txt"}},
        {vkErrors, {"/err.txt"}},
        {vkIncluded,
         {"/dir", "/dir/inner.txt", "/new.txt", "/rnew.txt", "/same.txt", "/ovl.txt", "/ovr.txt", "/conf.txt",
          "/delr.txt", "/dell.txt", "/skip.txt", "/err.txt"}},
        {vkExcluded, {"/ex.txt"}},
        {vkNew, {"/dir", "/dir/inner.txt", "/new.txt", "/rnew.txt"}},
        {vkOverwrite, {"/ovl.txt", "/ovr.txt"}},
        {vkDelete, {"/delr.txt", "/dell.txt"}},
        {vkLtoR, {"/dir", "/dir/inner.txt", "/new.txt", "/ovl.txt"}},
        {vkRtoL, {"/rnew.txt", "/ovr.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("view kind " + std::to_string(c.kind));
        ASSERT_TRUE(rows.ShowView(c.kind));
        EXPECT_EQ(ShownRows(rows), c.shown);
        EXPECT_EQ(rows.CurrentKind(), c.kind);
        EXPECT_EQ(rows.RowCount(), static_cast<int>(c.shown.size()) + 1);
    }
}

TEST(ResultRowsTest, RecountSetsDisplayValuesAndNeededBytesByCode) {
    struct Case {
        int32_t code;
        int64_t ownSize;   // the item's own entry
        int64_t otherSize; // what the analysis found on the other side
        int64_t leftNeeded;
        int64_t rightNeeded;
        int64_t leftShown;
        int64_t rightShown;
        int32_t leftDate;
        int32_t rightDate;
    };
    const std::vector<Case> cases = {
        // Only on the left: the right side gets the file.
        {saCopyLtoR, 100, 0, 0, 100, 100, 0, 5000, 0},
        // Only on the right: its entry shows in the right columns.
        {saCopyRtoL, 200, 0, 200, 0, 0, 200, 0, 5000},
        // Right over left: counted by the left file that is replaced.
        {saOverwriteRtoL, 300, 50, 300, 0, 300, 50, 5000, 7000},
        // Left over right: counted by the right file that is replaced.
        {saOverwriteLtoR, 400, 70, 0, 70, 400, 70, 5000, 7000},
        {saDeleteRight, 500, 0, 0, 0, 0, 500, 0, 5000},
        {saDeleteLeft, 600, 0, 0, 0, 600, 0, 5000, 0},
        {saSame, 700, 700, 0, 0, 700, 700, 5000, 7000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        TResultBuilder b;
        b.Item("dir/");
        TFileTree* item = b.Item("dir/f.bin", c.code, c.ownSize, 5000);
        item->OtherSize = c.otherSize;
        item->OtherTime = c.otherSize > 0 ? 7000 : -1;
        TResultRows rows;
        rows.InitView("T");
        rows.SetResultTree(b.Root);
        ASSERT_TRUE(rows.ShowView(vkAll));
        EXPECT_EQ(rows.LeftNeeded, c.leftNeeded);
        EXPECT_EQ(rows.RightNeeded, c.rightNeeded);
        const TResultRow* row = FindRow(rows, "/dir/f.bin");
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->LeftSize, c.leftShown);
        EXPECT_EQ(row->RightSize, c.rightShown);
        EXPECT_EQ(row->LeftDate, c.leftDate);
        EXPECT_EQ(row->RightDate, c.rightDate);
        // The folder row and the root add up the sizes of the rows below them.
        EXPECT_EQ(FindRow(rows, "/dir")->LeftSize, c.leftShown);
        EXPECT_EQ(rows.RootRow()->RightSize, c.rightShown);
        // A second view sums the needed bytes from zero again.
        ASSERT_TRUE(rows.ShowView(vkAll));
        EXPECT_EQ(rows.LeftNeeded, c.leftNeeded);
        EXPECT_EQ(rows.RightNeeded, c.rightNeeded);
    }
}

// After a sync the rows it marked done show what the two sides hold: the copy's
// source entry on the target side, an empty side after a deletion, and the new
// sums on the folder row and the root. A failed row, and one the sync had
// nothing to do for, keep the values the analysis saw.
TEST(ResultRowsTest, RowsTheSyncDidShowTheSidesAsTheyAreNow) {
    struct Case {
        int32_t code;
        int32_t syncCode; // what the sync wrote into the row
        int64_t ownSize;
        int64_t otherSize;
        int64_t leftShown;
        int64_t rightShown;
        int32_t leftDate;
        int32_t rightDate;
    };
    const std::vector<Case> cases = {
        {saCopyLtoR, saSame, 100, 0, 100, 100, 5000, 5000},
        {saCopyLtoR, saError, 100, 0, 100, 0, 5000, 0},
        {saCopyRtoL, saSame, 200, 0, 200, 200, 5000, 5000},
        {saOverwriteRtoL, saSame, 300, 50, 50, 50, 7000, 7000},
        {saOverwriteLtoR, saSame, 400, 70, 400, 400, 5000, 5000},
        {saOverwriteLtoR, saError, 400, 70, 400, 70, 5000, 7000},
        {saDeleteRight, saSame, 500, 0, 0, 0, 0, 0},
        {saDeleteLeft, saSame, 600, 0, 0, 0, 0, 0},
        {saSame, saSame, 700, 700, 700, 700, 5000, 7000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code) + " marked " + std::to_string(c.syncCode));
        TResultBuilder b;
        b.Item("dir/");
        TFileTree* item = b.Item("dir/f.bin", c.code, c.ownSize, 5000);
        item->OtherSize = c.otherSize;
        item->OtherTime = c.otherSize > 0 ? 7000 : -1;
        TResultRows rows;
        rows.InitView("T");
        rows.SetResultTree(b.Root);
        ASSERT_TRUE(rows.ShowView(vkAll));
        TResultRow* row = FindRow(rows, "/dir/f.bin");
        ASSERT_NE(row, nullptr);
        row->Action.store(c.syncCode);
        FindRow(rows, "/dir")->Action.store(saSame);
        rows.ShowSyncOutcome();
        EXPECT_EQ(row->LeftSize, c.leftShown);
        EXPECT_EQ(row->RightSize, c.rightShown);
        EXPECT_EQ(row->LeftDate, c.leftDate);
        EXPECT_EQ(row->RightDate, c.rightDate);
        EXPECT_EQ(row->LeftAttr != 0, c.leftShown != 0);
        EXPECT_EQ(FindRow(rows, "/dir")->LeftSize, c.leftShown);
        EXPECT_EQ(FindRow(rows, "/dir")->RightSize, c.rightShown);
        EXPECT_EQ(rows.RootRow()->LeftSize, c.leftShown);
        EXPECT_EQ(rows.RootRow()->RightSize, c.rightShown);
        // The result takes the outcome, so a view rebuilt afterwards shows the
        // same, and a done copy is no change any more.
        const bool settled = c.code != saSame;
        EXPECT_EQ(rows.Settled(*row), settled);
        EXPECT_EQ(rows.AskedAction(*row), c.code);
        EXPECT_EQ(item->Action, settled ? c.syncCode : c.code);
        ASSERT_TRUE(rows.ShowView(vkAll));
        row = FindRow(rows, "/dir/f.bin");
        EXPECT_EQ(row->LeftSize, c.leftShown);
        EXPECT_EQ(row->RightSize, c.rightShown);
        EXPECT_EQ(row->LeftDate, c.leftDate);
        EXPECT_EQ(row->RightDate, c.rightDate);
        EXPECT_EQ(b.Root->NewFlag + b.Root->OverwriteFlag + b.Root->DeleteFlag, 0);
        EXPECT_EQ(b.Root->ErrorFlag, c.syncCode == saError ? 1 : 0);
    }
}

TEST(ResultRowsTest, FolderRowAddsUpItsNewFilesAndRecountSumsCategories) {
    TResultBuilder b;
    TFileTree* dir = b.Item("dir/");
    b.Item("dir/deeper/");
    b.Item("dir/a.doc", saCopyLtoR, 1000);
    b.Item("dir/b.doc", saCopyLtoR, 1000);
    b.Item("dir/deeper/c.doc", saCopyLtoR, 1000);
    b.Item("x.doc", saSame, 5);
    TResultRows rows;
    rows.InitView("T");
    rows.SetResultTree(b.Root);
    ASSERT_TRUE(rows.ShowView(vkChanged));

    const TResultRow* dirRow = FindRow(rows, "/dir");
    ASSERT_NE(dirRow, nullptr);
    EXPECT_EQ(dirRow->LeftSize, 3000);
    EXPECT_EQ(dirRow->LtoRCount, 3);
    EXPECT_EQ(FindRow(rows, "/dir/deeper")->LeftSize, 1000);
    EXPECT_EQ(rows.RootRow()->LeftSize, 3000);
    EXPECT_EQ(rows.RootRow()->LtoRCount, 3);
    EXPECT_EQ(rows.RightNeeded, 3000);
    EXPECT_EQ(b.Root->NewFlag, 3);
    EXPECT_EQ(b.Root->SameFlag, 1);
    EXPECT_EQ(b.Root->IncludedFlag, 4);
    EXPECT_EQ(dir->LtoRFlag, 3);
    // Recounting again gives the same counts, not twice as many.
    rows.RecountTree(b.Root);
    EXPECT_EQ(b.Root->NewFlag, 3);
    EXPECT_EQ(dir->NewFlag, 3);
}

TEST(ResultRowsTest, OverrideOnAFolderReachesOnlyTheRowsShown) {
    TResultBuilder b;
    TFileTree* dir = b.Item("dir/");
    TFileTree* newFile = b.Item("dir/new.txt", saCopyLtoR);
    TFileTree* sameFile = b.Item("dir/same.txt", saSame);
    TFileTree* conflict = b.Item("dir/both.txt", saConflict);
    TResultRows rows;
    rows.InitView("T");
    rows.SetResultTree(b.Root);
    ASSERT_TRUE(rows.ShowView(vkChanged));
    TResultRow* dirRow = FindRow(rows, "/dir");
    ASSERT_NE(dirRow, nullptr);

    ASSERT_TRUE(rows.SetItemAction(dirRow, saDoNotCopy));
    rows.RecountTree(b.Root);
    EXPECT_EQ(dirRow->Action.load(), saDoNotCopy);
    EXPECT_EQ(FindRow(rows, "/dir/new.txt")->Action.load(), saDoNotCopy);
    EXPECT_EQ(dir->Action, saDoNotCopy);
    EXPECT_EQ(newFile->Action, saDoNotCopy);
    // Hidden by the Changes view, so untouched.
    EXPECT_EQ(sameFile->Action, saSame);
    EXPECT_EQ(conflict->Action, saConflict);
    EXPECT_EQ(b.Root->NewFlag, 0);
    EXPECT_EQ(b.Root->ConflictFlag, 1);

    // Shown again, the Changes view has nothing left.
    ASSERT_TRUE(rows.ShowView(vkChanged));
    EXPECT_EQ(rows.RowCount(), 1);

    // The root row reaches every item shown, and has no item of its own.
    ASSERT_TRUE(rows.ShowView(vkConflicts));
    ASSERT_TRUE(rows.SetItemAction(rows.RootRow(), saOverwriteLtoR));
    EXPECT_EQ(conflict->Action, saOverwriteLtoR);
    EXPECT_EQ(sameFile->Action, saSame);
    EXPECT_EQ(b.Root->Action, saUnset);
}

TEST(ResultRowsTest, ViewsAndOverridesAreRefusedWithoutAResultOrDuringASync) {
    TResultRows rows;
    rows.InitView("T");
    EXPECT_FALSE(rows.ShowView(vkAll)); // no analysis yet
    EXPECT_EQ(rows.RowCount(), 1);
    EXPECT_FALSE(rows.SetItemAction(nullptr, saDoNotCopy));

    TResultBuilder b;
    TFileTree* item = b.Item("a.txt", saCopyLtoR);
    rows.SetResultTree(b.Root);
    ASSERT_TRUE(rows.ShowView(vkChanged));
    TResultRow* row = FindRow(rows, "/a.txt");
    rows.SetSyncRunning(true);
    EXPECT_FALSE(rows.ShowView(vkAll));
    EXPECT_FALSE(rows.SetItemAction(row, saDoNotCopy));
    EXPECT_EQ(FindRow(rows, "/a.txt"), row); // the rows were not rebuilt
    EXPECT_EQ(row->Action.load(), saCopyLtoR);
    EXPECT_EQ(item->Action, saCopyLtoR);
    EXPECT_EQ(rows.CurrentKind(), vkChanged);
    // Nothing else the window can call rebuilds, drops or recounts what the
    // sync thread is reading.
    const TResultRow* root = rows.RootRow();
    rows.InitView("T");
    rows.SetResultTree(nullptr);
    rows.FillView(rows.RootRow(), b.Root, vkAll);
    rows.LeftNeeded = 12345;
    item->NewFlag = 0;
    b.Root->NewFlag = 7;
    rows.RecountTree(b.Root);
    EXPECT_EQ(rows.RootRow(), root);
    EXPECT_EQ(FindRow(rows, "/a.txt"), row);
    EXPECT_EQ(rows.RowCount(), 2);
    EXPECT_EQ(rows.ResultTree(), b.Root);
    EXPECT_EQ(rows.LeftNeeded, 12345);
    EXPECT_EQ(b.Root->NewFlag, 7);
    item->NewFlag = 1;
    rows.SetSyncRunning(false);
    EXPECT_TRUE(rows.ShowView(vkAll));
    EXPECT_EQ(b.Root->NewFlag, 1);

    TResultRows unnamed;
    unnamed.InitView("");
    unnamed.SetResultTree(b.Root);
    EXPECT_EQ(unnamed.RootRow(), nullptr);
    EXPECT_FALSE(unnamed.ShowView(vkAll));
}

TEST(ResultRowsTest, UpdateItemActionsByCodeAndDirection) {
    struct Case {
        int32_t code;
        int32_t direction;
        std::string offered; // L left over right, R right over left, N do not copy
    };
    const std::vector<Case> cases = {
        {saUnset, 0, "LRN"},        {saConflict, 0, "LRN"},    {saCopyLtoR, 0, "N"},
        {saCopyRtoL, 0, "N"},       {saSame, 0, "LR"},         {saOverwriteRtoL, 0, "LN"},
        {saOverwriteLtoR, 0, "RN"}, {saDoNotCopy, 0, "LR"},    {saDeleteRight, 0, "N"},
        {saDeleteLeft, 0, "N"},     {saError, 0, ""},          {saNewSinceSync, 0, ""},
        {saConflict, 1, "LN"},      {saConflict, 2, "RN"},     {saSame, 1, "L"},
        {saSame, 2, "R"},           {saOverwriteLtoR, 1, "N"}, {saOverwriteRtoL, 2, "N"},
        {saCopyLtoR, 2, "N"},       {saDoNotCopy, 2, "R"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code) + " direction " + std::to_string(c.direction));
        const TItemActions a = TResultRows::UpdateItemActions(c.code, c.direction);
        std::string offered;
        offered += a.LtoR ? "L" : "";
        offered += a.RtoL ? "R" : "";
        offered += a.DoNotCopy ? "N" : "";
        EXPECT_EQ(offered, c.offered);
    }
}
