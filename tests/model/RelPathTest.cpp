// The relative path every entry carries is one text per folder, shared by the
// folder's entries: what sharing may never change (a sibling's path, equality of
// equal texts), and that a snapshot read back shares its paths the same way,
// whatever block of the text a line falls into.

#include "model/UTFileTree.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

using namespace tandemora;
using namespace std::string_literals;

namespace {

TFileAttri* Entry(TTreeArena& arena, const std::string& name, const TRelPath& relPath, bool folder) {
    TFileAttri* d = arena.NewAttri();
    d->Name = name;
    d->RelPath = relPath;
    d->Time = 1042432000;
    d->Size = folder ? 0 : 12;
    d->Attr = folder ? 16 : 32;
    d->IsFolder = folder ? 1 : 0;
    return d;
}

TFileTree* Load(std::istream& in, TArenaPtr& arena) {
    TFileTree* root = NewTree(arena);
    root->LoadFromStream(in);
    return root;
}

TFileTree* Load(const std::string& text, TArenaPtr& arena) {
    std::istringstream in(text, std::ios::binary);
    return Load(in, arena);
}

// A stream buffer that can only be read forward, as a pipe is.
class TForwardOnlyBuffer : public std::streambuf {
public:
    explicit TForwardOnlyBuffer(std::string text) : text_(std::move(text)) {
        setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

private:
    std::string text_;
};

// ---- Sharing and assigning --------------------------------------------------------

TEST(RelPathTest, AssigningAPathToOneEntryLeavesItsSiblingsAsTheyWere) {
    struct Case {
        const char* what;
        void (*assign)(TFileAttri&);
    };
    const Case cases[] = {
        {"from a text literal", [](TFileAttri& a) { a.RelPath = "/other/"; }},
        {"from a string", [](TFileAttri& a) { a.RelPath = std::string("/other/"); }},
        {"from another entry's path",
         [](TFileAttri& a) {
             TFileAttri other;
             other.RelPath = "/other/";
             a.RelPath = other.RelPath;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TRelPath folder("/dir/sub/");
        std::vector<TFileAttri> entries(3);
        for (TFileAttri& e : entries) {
            e.RelPath = folder;
        }
        c.assign(entries[1]);

        EXPECT_EQ(entries[0].RelPath, "/dir/sub/");
        EXPECT_EQ(entries[2].RelPath, "/dir/sub/");
        EXPECT_TRUE(entries[0].RelPath.SharesText(entries[2].RelPath));
        EXPECT_FALSE(entries[1].RelPath.SharesText(entries[0].RelPath));
        EXPECT_NE(entries[1].RelPath, entries[0].RelPath);
        EXPECT_EQ(folder, "/dir/sub/");
    }
}

// ---- Snapshot text ----------------------------------------------------------------

// Root with folder a (holding folder b with file x, then files y and z) and file w:
// the files of a come after b's whole subtree in the text.
TFileTree* NestedTree(TArenaPtr& arena) {
    TFileTree* root = NewTree(arena);
    const TRelPath top("/");
    const TRelPath inA("/a/");
    const TRelPath inB("/a/b/");
    TFileTree* a = root->AddChild("a", Entry(*arena, "a", top, true));
    TFileTree* b = a->AddChild("b", Entry(*arena, "b", inA, true));
    b->AddChild("x", Entry(*arena, "x", inB, false));
    a->AddChild("y", Entry(*arena, "y", inA, false));
    a->AddChild("z", Entry(*arena, "z", inA, false));
    root->AddChild("w", Entry(*arena, "w", top, false));
    return root;
}

// Every child of `node` holds `rel`, and all of them hold the same text.
void ExpectOneSharedPath(const TFileTree* node, const std::string& rel) {
    SCOPED_TRACE("children of '" + node->Name + "'");
    ASSERT_FALSE(node->Children.empty());
    const TRelPath& first = node->Children.front()->Data->RelPath;
    for (const TFileTree* child : node->Children) {
        EXPECT_EQ(child->Data->RelPath, rel) << child->Name;
        EXPECT_TRUE(child->Data->RelPath.SharesText(first)) << child->Name;
    }
}

TEST(RelPathTest, SnapshotReadBackSharesOnePathPerFolder) {
    TArenaPtr arena;
    TFileTree* saved = NestedTree(arena);
    std::ostringstream out(std::ios::binary);
    saved->SaveToStream(out, "/data");

    TArenaPtr loadedArena;
    TFileTree* root = Load(out.str(), loadedArena);
    ASSERT_EQ(root->Children.size(), 2u);
    const TFileTree* a = root->Children[0];
    ASSERT_EQ(a->Children.size(), 3u);
    const TFileTree* b = a->Children[0];
    ExpectOneSharedPath(root, "/");
    ExpectOneSharedPath(a, "/a/"); // y and z follow b's subtree and still share b's text
    ExpectOneSharedPath(b, "/a/b/");
    EXPECT_FALSE(b->Data->RelPath.SharesText(b->Children[0]->Data->RelPath));
    EXPECT_FALSE(a->Data->RelPath.SharesText(b->Data->RelPath));
}

// A snapshot text of `lines` node lines ending in CR LF, lone CR and lone LF by
// turns, after a root line `pad` bytes long (which moves the reader's block edges).
std::string ShiftedText(size_t pad, size_t lines, std::vector<std::string>& names) {
    const char* const ends[] = {"\r\n", "\r", "\n"};
    const std::string count = std::to_string(lines);
    std::string text = std::string(pad - 4 - count.size(), 'R') + "::" + count + "\r\n";
    names.clear();
    for (size_t i = 0; i < lines; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "n%06zu", i);
        names.push_back(name);
        text += names.back() + ":0:/:1:" + std::to_string(i) + ":32" + ends[i % 3];
    }
    return text;
}

TEST(RelPathTest, LinesAcrossTheReadersBlockEdgesReadBackWhole) {
    // The shifts put the first block edge at every place within the first node
    // lines, between a CR and its LF included.
    const size_t lines = 8;
    std::vector<std::string> names;
    for (size_t shift = 1; shift <= 90; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        const std::string text = ShiftedText(65536 - shift, lines, names);
        TArenaPtr arena;
        TFileTree* root = Load(text, arena);
        ASSERT_EQ(root->Children.size(), lines);
        for (size_t i = 0; i < lines; ++i) {
            const TFileTree* child = root->Children[i];
            ASSERT_EQ(child->Name, names[i]);
            ASSERT_EQ(child->Data->Size, static_cast<int64_t>(i));
            ASSERT_TRUE(child->Data->RelPath.SharesText(root->Children[0]->Data->RelPath));
        }
    }
}

TEST(RelPathTest, LongLinesNulEndsAndForwardOnlyStreamsBeyondTheFirstBlock) {
    const std::string longName(200000, 'n');
    const std::string longLine = longName + ":0:/:1:2:32\r\n";
    std::vector<std::string> names;
    const std::string withRoot = ShiftedText(10, 3000, names);
    const std::string filler = withRoot.substr(withRoot.find("\r\n") + 2); // 3000 lines, no root line
    const std::string fillerHead = "R::3002\r\n";

    struct Case {
        const char* what;
        std::string text;
        bool forwardOnly;
        size_t children; // 0: refused with EListError
    };
    const Case cases[] = {
        {"a line longer than several blocks", "R::1\r\n" + longLine, false, 1},
        {"the same through a stream that cannot go back", "R::1\r\n" + longLine, true, 1},
        {"a NUL past the first block ends the text",
         fillerHead + filler + longLine + "e:0:/:1:2:32\r\n\0garbage without line end"s, false, 3002},
        {"the same through a stream that cannot go back",
         fillerHead + filler + longLine + "e:0:/:1:2:32\r\n\0garbage without line end"s, true, 3002},
        {"a NUL inside the last line past the first block",
         fillerHead + filler + longLine + "e:0:/:1:2:32\0\r\n"s, false, 0},
        {"the text ends in the middle of a long line", "R::1\r\n" + longLine.substr(0, 150000), false, 0},
        {"fewer lines than promised past the first block", "R::3003\r\n" + filler + longLine, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        std::istringstream seekable(c.text, std::ios::binary);
        TForwardOnlyBuffer forward(c.text);
        std::istream forwardStream(&forward);
        std::istream& in = c.forwardOnly ? forwardStream : static_cast<std::istream&>(seekable);
        if (c.children == 0) {
            EXPECT_THROW(root->LoadFromStream(in), EListError);
            EXPECT_TRUE(root->Children.empty());
            continue;
        }
        root->LoadFromStream(in);
        ASSERT_EQ(root->Children.size(), c.children);
        const TFileTree* big = root->Children[c.children == 1 ? 0 : 3000];
        EXPECT_EQ(big->Name, longName);
        EXPECT_EQ(big->Data->RelPath, "/");
        EXPECT_EQ(root->Children.back()->Data->Attr, 32);
    }
}

} // namespace
