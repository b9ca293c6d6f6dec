// Folder tree nodes: initial values, the child list, action codes and the
// category flags that the result view adds up.

#include "model/UTFileTree.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using namespace tandemora;

namespace {

// The ten category fields in a fixed order, so tables can name them by letter.
// E Error, C Conflict, I Included, X Excluded, N New, O Overwrite, D Delete,
// L LtoR, R RtoL, S Same.
constexpr char kFlagLetters[] = "ECIXNODLRS";

std::array<int32_t*, 10> FlagFields(TFileTree& n) {
    return {&n.ErrorFlag,     &n.ConflictFlag, &n.IncludedFlag, &n.ExcludedFlag, &n.NewFlag,
            &n.OverwriteFlag, &n.DeleteFlag,   &n.LtoRFlag,     &n.RtoLFlag,     &n.SameFlag};
}

// The letters of the flags that are 1, in kFlagLetters order; a flag holding
// anything but 0 or 1 shows as '?'.
std::string FlagsOf(TFileTree& n) {
    std::string out;
    auto fields = FlagFields(n);
    for (size_t i = 0; i < fields.size(); ++i) {
        if (*fields[i] == 1) {
            out += kFlagLetters[i];
        } else if (*fields[i] != 0) {
            out += '?';
        }
    }
    return out;
}

void SetAllFlags(TFileTree& n) {
    for (int32_t* f : FlagFields(n)) {
        *f = 1;
    }
}

std::vector<std::string> ChildNames(const TFileTree& n) {
    std::vector<std::string> names;
    for (const TFileTree* c : n.Children) {
        names.push_back(c->Name);
    }
    return names;
}

} // namespace

TEST(FileTreeTest, NewNodeStartsWithUnsetActionAndUnknownOtherSide) {
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    ASSERT_NE(arena, nullptr);
    TFileAttri* data = arena->NewAttri();
    TFileTree* n = arena->NewNode("a.txt", data);

    EXPECT_EQ(n->Name, "a.txt");
    EXPECT_EQ(n->Data, data);
    EXPECT_EQ(n->Arena, arena.get());
    EXPECT_EQ(n->Parent, nullptr);
    EXPECT_TRUE(n->Children.empty());
    EXPECT_EQ(n->ChildCount, 0);
    EXPECT_EQ(n->LineCursor, 0);
    EXPECT_EQ(n->Action, -1);
    EXPECT_EQ(n->OtherTime, -1);
    EXPECT_EQ(n->OtherAttr, -1);
    EXPECT_EQ(n->OtherSize, 0);
    EXPECT_EQ(n->LeftTime, -1);
    EXPECT_EQ(n->LeftAttr, -1);
    EXPECT_EQ(n->LeftSize, 0);
    EXPECT_EQ(n->ListFailed, 0);
    EXPECT_EQ(FlagsOf(*n), "");

    // A fresh tree is an unnamed root without an entry, alone in its arena.
    EXPECT_EQ(root->Name, "");
    EXPECT_EQ(root->Data, nullptr);
    EXPECT_EQ(root->Arena, arena.get());

    // A fresh entry is all zero.
    EXPECT_EQ(data->IsFolder, 0);
    EXPECT_EQ(data->Size, 0);
    EXPECT_EQ(data->Time, 0);
    EXPECT_EQ(data->Attr, 0);
    EXPECT_TRUE(data->Name.empty());
    EXPECT_TRUE(data->RelPath.empty());
}

TEST(FileTreeTest, AddChildLinksParentAndKeepsEarlierNodesInPlace) {
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    TFileTree* first = root->AddChild("first", arena->NewAttri());
    first->Action = saSame;
    // Many more nodes: the arena must not move the ones handed out before.
    TFileTree* folder = root->AddChild("folder", nullptr);
    for (int i = 0; i < 5000; ++i) {
        folder->AddChild("f" + std::to_string(i), arena->NewAttri());
    }
    EXPECT_EQ(first->Name, "first");
    EXPECT_EQ(first->Action, saSame);
    EXPECT_EQ(first->Parent, root);
    EXPECT_EQ(folder->Parent, root);
    EXPECT_EQ(folder->Arena, arena.get());
    EXPECT_EQ(folder->Children[4999]->Arena, arena.get());
    EXPECT_EQ(folder->Children[4999]->Parent, folder);
    EXPECT_EQ(folder->ChildCount, 5000);
    EXPECT_EQ(root->ChildCount, 2);
    EXPECT_EQ(ChildNames(*root), (std::vector<std::string>{"first", "folder"}));
    EXPECT_EQ(arena->NodeCount(), 5003u);
}

TEST(FileTreeTest, AppendAndAdoptShareNodesWithoutChangingTheirParent) {
    TArenaPtr arena;
    TFileTree* left = NewTree(arena);
    TFileTree* a = left->AddChild("a", nullptr);
    TFileTree* b = left->AddChild("b", nullptr);

    TArenaPtr otherArena;
    TFileTree* result = NewTree(otherArena);
    TFileTree* own = result->AddChild("own", nullptr);
    result->AdoptChildren(left);
    EXPECT_EQ(ChildNames(*result), (std::vector<std::string>{"own", "a", "b"}));
    EXPECT_EQ(result->ChildCount, 3);
    EXPECT_EQ(result->Children[1], a);
    EXPECT_EQ(result->Children[2], b);
    EXPECT_EQ(a->Parent, left);
    EXPECT_EQ(own->Parent, result);
    EXPECT_EQ(left->ChildCount, 2);

    TFileTree* loose = arena->NewNode("loose", nullptr);
    result->AppendNode(loose);
    EXPECT_EQ(result->ChildCount, 4);
    EXPECT_EQ(loose->Parent, nullptr);

    // The reader's form appends without counting.
    result->AppendRaw(arena->NewNode("raw", nullptr));
    EXPECT_EQ(result->ChildCount, 4);
    EXPECT_EQ(result->Children.size(), 5u);
    EXPECT_EQ(result->Children.back()->Name, "raw");

    // Adopting one's own children appends each once and stops.
    TFileTree* self = left;
    self->AdoptChildren(self);
    EXPECT_EQ(ChildNames(*self), (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_EQ(self->ChildCount, 4);
}

TEST(FileTreeTest, RemoveChildRemovesTheFirstExactMatchOnly) {
    struct Case {
        const char* what;
        std::vector<std::string> children;
        std::string remove;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"middle", {"a", "b", "c"}, "b", {"a", "c"}},
        {"first", {"a", "b", "c"}, "a", {"b", "c"}},
        {"last", {"a", "b", "c"}, "c", {"a", "b"}},
        {"only", {"a"}, "a", {}},
        {"letter case differs", {"Readme.TXT", "b"}, "readme.txt", {"Readme.TXT", "b"}},
        {"duplicates", {"x", "dup", "y", "dup"}, "dup", {"x", "y", "dup"}},
        {"no match", {"a", "b"}, "c", {"a", "b"}},
        {"prefix only", {"abc"}, "ab", {"abc"}},
        {"empty list", {}, "a", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        std::vector<TFileTree*> made;
        for (const std::string& name : c.children) {
            made.push_back(root->AddChild(name, nullptr));
        }
        root->RemoveChild(c.remove);
        EXPECT_EQ(ChildNames(*root), c.expected);
        EXPECT_EQ(root->ChildCount, static_cast<int32_t>(c.expected.size()));
        // The removed node is not released: it still reads as it was.
        for (size_t i = 0; i < made.size(); ++i) {
            EXPECT_EQ(made[i]->Name, c.children[i]);
        }
    }
    // Removing the first of two duplicates leaves the second object in place.
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    TFileTree* first = root->AddChild("dup", nullptr);
    TFileTree* second = root->AddChild("dup", nullptr);
    root->RemoveChild("dup");
    ASSERT_EQ(root->Children.size(), 1u);
    EXPECT_EQ(root->Children[0], second);
    EXPECT_NE(root->Children[0], first);
}

namespace {
struct ActionCase {
    int32_t code;
    const char* flags; // flags a leaf gets, besides the filter flags it keeps
};
// Every code the program uses, plus codes that set nothing.
const std::vector<ActionCase> kActionCases = {
    {saCopyLtoR, "NL"},
    {saCopyRtoL, "NR"},
    {saOverwriteRtoL, "OR"},
    {saOverwriteLtoR, "OL"},
    {saSame, "S"},
    {saNewSinceSync, "N"},
    {saChangedSinceSync, "O"},
    {saConflict, "C"},
    {saDeletedSinceSync, "D"},
    {saDeleteRight, "D"},
    {saDeleteLeft, "D"},
    {saUnset, ""},
    {saError, ""},
    {saIncluded, ""},
    {saExcluded, ""},
    {saDoNotCopy, ""},
    {0, ""},
    {1, ""},
    {99, ""},
};

// Flags string with the filter flags I and X merged into their fixed places.
std::string WithFilterFlags(const std::string& flags) {
    std::string out;
    for (const char* p = kFlagLetters; *p != '\0'; ++p) {
        if (*p == 'I' || *p == 'X' || flags.find(*p) != std::string::npos) {
            out += *p;
        }
    }
    return out;
}
} // namespace

TEST(FileTreeTest, SetActionOnLeafSetsTheFlagsOfItsCodeAndKeepsFilterFlags) {
    for (const ActionCase& c : kActionCases) {
        SCOPED_TRACE(c.code);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        TFileTree* leaf = root->AddChild("f", arena->NewAttri());
        SetAllFlags(*leaf);
        leaf->SetAction(c.code);
        EXPECT_EQ(leaf->Action, c.code);
        EXPECT_EQ(FlagsOf(*leaf), WithFilterFlags(c.flags));

        // From a clean node: exactly the flags of the code.
        TFileTree* clean = root->AddChild("g", arena->NewAttri());
        clean->SetAction(c.code);
        EXPECT_EQ(FlagsOf(*clean), c.flags);

        // A folder without children counts as a leaf.
        TFileTree* emptyFolder = root->AddChild("empty", arena->NewAttri());
        emptyFolder->Data->IsFolder = 1;
        emptyFolder->SetAction(c.code);
        EXPECT_EQ(FlagsOf(*emptyFolder), c.flags);
    }
}

TEST(FileTreeTest, SetActionOnFolderWithChildrenOnlyStoresTheCode) {
    for (const ActionCase& c : kActionCases) {
        SCOPED_TRACE(c.code);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        TFileTree* folder = root->AddChild("d", arena->NewAttri());
        folder->AddChild("inner", arena->NewAttri());
        SetAllFlags(*folder);
        folder->SetAction(c.code);
        EXPECT_EQ(folder->Action, c.code);
        EXPECT_EQ(FlagsOf(*folder), "IX");
    }
}

TEST(FileTreeTest, FlagEdgeCases) {
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);

    TFileTree* folder = root->AddChild("folder", arena->NewAttri());
    folder->AddChild("x", arena->NewAttri());
    folder->SetAction(saCopyLtoR);
    EXPECT_EQ(folder->Action, saCopyLtoR);
    EXPECT_EQ(FlagsOf(*folder), "");

    TFileTree* included = root->AddChild("inc", arena->NewAttri());
    included->IncludedFlag = 1;
    included->SetAction(saSame);
    EXPECT_EQ(FlagsOf(*included), "IS");

    TFileTree* copied = root->AddChild("copied", arena->NewAttri());
    copied->SetAction(saCopyLtoR);
    copied->SetFilterState(saExcluded);
    EXPECT_EQ(FlagsOf(*copied), "X");
    EXPECT_EQ(copied->Action, saCopyLtoR);

    TFileTree* failed = root->AddChild("failed", arena->NewAttri());
    SetAllFlags(*failed);
    failed->SetAction(saError);
    EXPECT_EQ(FlagsOf(*failed), "IX");
}

TEST(FileTreeTest, SetFilterState) {
    struct Case {
        int32_t code;
        bool startAllSet;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {saIncluded, false, "I"}, {saIncluded, true, "ECINODLRS"}, // clears X, keeps every other flag
        {saExcluded, false, "X"}, {saExcluded, true, "X"},
        {saUnset, true, "X"},     {saCopyLtoR, true, "X"},
        {0, true, "X"},
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

TEST(FileTreeTest, ClearFlagsAndClearActionFlags) {
    TArenaPtr arena;
    TFileTree* node = NewTree(arena)->AddChild("n", nullptr);
    SetAllFlags(*node);
    node->ClearActionFlags();
    EXPECT_EQ(FlagsOf(*node), "IX");
    SetAllFlags(*node);
    node->ClearFlags();
    EXPECT_EQ(FlagsOf(*node), "");
}

TEST(FileTreeTest, ViewRowActionStartsUnset) {
    TVSTNode row;
    EXPECT_EQ(row.Action.load(), saUnset);
    row.Action.store(saSame);
    EXPECT_EQ(row.Action.load(), saSame);
}
