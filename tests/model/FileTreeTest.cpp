// Folder tree nodes: the child list and the category flags that an action code
// and the filter state give a node, which the result view adds up.

#include "model/UTFileTree.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <array>
#include <string>
#include <vector>

using namespace tandemora;
using testsupport::ChildNames;

namespace {

// The ten category fields, named by letter: E Error, C Conflict, I Included,
// X Excluded, N New, O Overwrite, D Delete, L LtoR, R RtoL, S Same.
constexpr char kFlagLetters[] = "ECIXNODLRS";

std::array<int32_t*, 10> FlagFields(TFileTree& n) {
    return {&n.ErrorFlag,     &n.ConflictFlag, &n.IncludedFlag, &n.ExcludedFlag, &n.NewFlag,
            &n.OverwriteFlag, &n.DeleteFlag,   &n.LtoRFlag,     &n.RtoLFlag,     &n.SameFlag};
}

// The letters of the flags that are 1; a flag holding anything but 0 or 1 shows as '?'.
std::string FlagsOf(TFileTree& n) {
    std::string out;
    auto fields = FlagFields(n);
    for (size_t i = 0; i < fields.size(); ++i) {
        out += *fields[i] == 1 ? std::string(1, kFlagLetters[i]) : *fields[i] != 0 ? "?" : "";
    }
    return out;
}

void SetAllFlags(TFileTree& n) {
    for (int32_t* f : FlagFields(n)) {
        *f = 1;
    }
}

} // namespace

TEST(FileTreeTest, AddChildKeepsEarlierNodesInPlaceAndRemoveChildTakesTheFirstExactMatch) {
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    TFileTree* first = root->AddChild("first", arena->NewAttri());
    // Many more nodes: the arena must not move the ones handed out before.
    TFileTree* folder = root->AddChild("folder", nullptr);
    for (int i = 0; i < 5000; ++i) {
        folder->AddChild("f" + std::to_string(i), arena->NewAttri());
    }
    EXPECT_EQ(first->Name, "first");
    EXPECT_EQ(first->Parent, root);
    EXPECT_EQ(folder->Children[4999]->Parent, folder);
    EXPECT_EQ(folder->ChildCount, 5000);

    struct Case {
        std::vector<std::string> children;
        std::string remove;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"a", "b", "c"}, "b", {"a", "c"}},
        {{"Readme.TXT", "b"}, "readme.txt", {"Readme.TXT", "b"}}, // letter case counts
        {{"x", "dup", "y", "dup"}, "dup", {"x", "y", "dup"}},
        {{"abc"}, "ab", {"abc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.remove);
        TFileTree* node = NewTree(arena);
        for (const std::string& name : c.children) {
            node->AddChild(name, nullptr);
        }
        node->RemoveChild(c.remove);
        EXPECT_EQ(ChildNames(node), c.expected);
        EXPECT_EQ(node->ChildCount, static_cast<int32_t>(c.expected.size()));
    }
}

// Each code gives a leaf the flags of its categories (filter flags I and X are
// kept); a folder with children only stores the code, its flags come from the
// recount of its children.
TEST(FileTreeTest, SetActionSetsTheFlagsOfItsCodeOnLeavesOnly) {
    struct Case {
        int32_t code;
        const char* flags;
    };
    const Case cases[] = {
        {saCopyLtoR, "NL"},
        {saOverwriteRtoL, "OR"},
        {saOverwriteLtoR, "OL"},
        {saSame, "S"},
        {saChangedSinceSync, "O"},
        {saConflict, "C"},
        {saDeleteRight, "D"},
        {saUnset, ""},
        {saError, ""},
        {saDoNotCopy, ""},
        {99, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        TFileTree* leaf = root->AddChild("f", arena->NewAttri());
        leaf->SetAction(c.code);
        EXPECT_EQ(leaf->Action, c.code);
        EXPECT_EQ(FlagsOf(*leaf), c.flags);

        TFileTree* flagged = root->AddChild("g", arena->NewAttri());
        SetAllFlags(*flagged);
        flagged->SetAction(c.code);
        std::string kept;
        for (char letter : std::string(kFlagLetters)) {
            kept += letter == 'I' || letter == 'X' || std::string(c.flags).find(letter) != std::string::npos
                        ? std::string(1, letter)
                        : "";
        }
        EXPECT_EQ(FlagsOf(*flagged), kept);

        TFileTree* folder = root->AddChild("d", arena->NewAttri());
        folder->Data->IsFolder = 1;
        folder->AddChild("inner", arena->NewAttri());
        SetAllFlags(*folder);
        folder->SetAction(c.code);
        EXPECT_EQ(folder->Action, c.code);
        EXPECT_EQ(FlagsOf(*folder), "IX");
    }
}

TEST(FileTreeTest, SetFilterStateSetsIncludedOrExcludedAndKeepsTheAction) {
    struct Case {
        int32_t code;
        bool startAllSet;
        const char* expected;
    };
    const Case cases[] = {
        {saIncluded, false, "I"},
        {saIncluded, true, "ECINODLRS"}, // clears X, keeps every other flag
        {saExcluded, true, "X"},
        {saCopyLtoR, true, "X"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        TArenaPtr arena;
        TFileTree* node = NewTree(arena)->AddChild("n", nullptr);
        node->Action = saSame;
        if (c.startAllSet) {
            SetAllFlags(*node);
        }
        node->SetFilterState(c.code);
        EXPECT_EQ(FlagsOf(*node), c.expected);
        EXPECT_EQ(node->Action, saSame);
    }
}
