// The snapshot text: the exact bytes of the saved form, round trips of awkward
// names and sizes, and clean refusal of every kind of damaged text.

#include "model/UTFileTree.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

using namespace tandemora;
using namespace std::string_literals;

namespace {

TFileAttri* Entry(TTreeArena& arena, const std::string& name, const std::string& relPath, int32_t time,
                  int64_t size, int32_t attr, bool folder) {
    TFileAttri* d = arena.NewAttri();
    d->Name = name;
    d->RelPath = relPath;
    d->Time = time;
    d->Size = size;
    d->Attr = attr;
    d->IsFolder = folder ? 1 : 0;
    return d;
}

std::string Save(const TFileTree& root, const std::string& rootName) {
    std::ostringstream out(std::ios::binary);
    root.SaveToStream(out, rootName);
    return out.str();
}

// Loads `text` into a fresh root; the arena is handed back so the nodes outlive the call.
TFileTree* Load(const std::string& text, TArenaPtr& arena) {
    TFileTree* root = NewTree(arena);
    std::istringstream in(text, std::ios::binary);
    root->LoadFromStream(in);
    return root;
}

// The example tree: D:\Docs holding folder Sub (with a.txt) and file b.doc, with
// the relative paths this system writes.
TFileTree* ExampleTree(TArenaPtr& arena) {
    TFileTree* root = NewTree(arena);
    TFileTree* sub = root->AddChild("Sub", Entry(*arena, "Sub", "/", 1018262475, 0, 16, true));
    sub->AddChild("a.txt", Entry(*arena, "a.txt", "/Sub/", 1042432000, 12, 32, false));
    root->AddChild("b.doc", Entry(*arena, "b.doc", "/", 1000324989, 3000, 33, false));
    return root;
}

const char kExampleText[] = "D:\\Docs::2\r\n"
                            "Sub:1:/:1018262475:-1:16\r\n"
                            "a.txt:0:/Sub/:1042432000:12:32\r\n"
                            "b.doc:0:/:1000324989:3000:33\r\n";

// The tree read back from its own text, saved again: every field of every item
// shows in the comparison of the two texts.
void ExpectRoundTrip(const TFileTree& root, const std::string& rootName) {
    const std::string text = Save(root, rootName);
    TArenaPtr arena;
    EXPECT_EQ(Save(*Load(text, arena), rootName), text);
}

} // namespace

// ---- The saved form ---------------------------------------------------------------

TEST(SnapshotTest, ExampleTreeIsWrittenByteExactAndReadBack) {
    TArenaPtr arena;
    TFileTree* root = ExampleTree(arena);
    EXPECT_EQ(Save(*root, "D:\\Docs"), kExampleText);

    TArenaPtr loadedArena;
    TFileTree* loaded = Load(kExampleText, loadedArena);
    EXPECT_EQ(loaded->Name, "D:\\Docs");
    EXPECT_EQ(loaded->Data, nullptr);
    EXPECT_EQ(loaded->LineCursor, 3);
    EXPECT_EQ(Save(*loaded, "D:\\Docs"), kExampleText);
    EXPECT_EQ(loaded->Children[0]->Data->Size, -1);
    // The new nodes come from the root's own arena.
    EXPECT_EQ(loaded->Children[0]->Arena, loadedArena.get());
    EXPECT_EQ(loadedArena->NodeCount(), 4u);
}

TEST(SnapshotTest, RootLines) {
    struct Case {
        std::string rootName;
        std::string line; // the whole text of a root without children
    };
    const std::vector<Case> cases = {
        {"name", "name::0\r\n"},
        {"http://host:8080/dav", "http://host:8080/dav::0\r\n"},
        // Forms that would not read back as they stand are escaped as a whole.
        {"a::b", "a%3A%3Ab::0\r\n"},
        {"ftp://h/x::y%", "ftp%3A//h/x%3A%3Ay%25::0\r\n"},
        {"http://h/100%25", "http%3A//h/100%2525::0\r\n"},
        {"/data/line\nbreak", "/data/line%0Abreak::0\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rootName);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        EXPECT_EQ(Save(*root, c.rootName), c.line);
        TArenaPtr loadedArena;
        TFileTree* loaded = Load(c.line, loadedArena);
        EXPECT_EQ(loaded->Name, c.rootName);
        EXPECT_EQ(loaded->ChildCount, 0);
        EXPECT_TRUE(loaded->Children.empty());
    }
}

TEST(SnapshotTest, NamesAndPathsWithColonPercentOrControlCharactersAreEscaped) {
    struct Case {
        std::string name;
        std::string folder; // the folder holding the item; empty for the root
        std::string lines;
    };
    const std::vector<Case> cases = {
        {"plain.txt", "", "plain.txt:0:/:5:7:32\r\n"},
        {"a:b", "", "a%3Ab:0:/:5:7:32\r\n"},
        {"100%", "", "100%25:0:/:5:7:32\r\n"},
        {"%3A", "", "%253A:0:/:5:7:32\r\n"},
        {":", "x:y", "x%3Ay:1:/:5:-1:16\r\n%3A:0:/x%3Ay/:5:7:32\r\n"},
        // A line break in a name would cut its line in two and make the whole
        // snapshot unreadable for every later run.
        {"line\nbreak", "a\rb", "a%0Db:1:/:5:-1:16\r\nline%0Abreak:0:/a%0Db/:5:7:32\r\n"},
        {"tab\tdel\x7f\x01", "", "tab%09del%7F%01:0:/:5:7:32\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        TFileTree* parent = root;
        if (!c.folder.empty()) {
            parent = root->AddChild(c.folder, Entry(*arena, c.folder, "/", 5, 0, 16, true));
        }
        const std::string rel = c.folder.empty() ? "/" : "/" + c.folder + "/";
        parent->AddChild(c.name, Entry(*arena, c.name, rel, 5, 7, 32, false));
        EXPECT_EQ(Save(*root, "R"), "R::1\r\n" + c.lines);
        ExpectRoundTrip(*root, "R");
    }
}

TEST(SnapshotTest, OnlyTheWritersEscapesAreDecoded) {
    struct Case {
        std::string field;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"100%", "100%"}, {"%", "%"},      {"%2", "%2"},     {"%41", "%41"}, {"%3a", "%3a"},
        {"%3A%25", ":%"}, {"%%3A", "%:"},  {"%253A", "%3A"}, {"%0A", "\n"},  {"%0D%0A", "\r\n"},
        {"%0a", "%0a"},   {"%7F", "\x7f"}, {"%2F", "%2F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        TArenaPtr arena;
        TFileTree* loaded =
            Load("R::1\r\n" + c.field + ":1:/:1:-1:16\r\nx:0:/" + c.field + "/:1:2:3\r\n", arena);
        ASSERT_EQ(loaded->Children.size(), 1u);
        EXPECT_EQ(loaded->Children[0]->Name, c.name);
        EXPECT_EQ(loaded->Children[0]->Data->Name, c.name);
        EXPECT_EQ(loaded->Children[0]->Children[0]->Data->RelPath, "/" + c.name + "/");
    }
}

// Awkward names, each as a folder holding a file of that name, and the extremes of
// every number field.
TEST(SnapshotTest, AwkwardNamesAndNumbersRoundTrip) {
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    int32_t time = 1042432000;
    for (const std::string n :
         {"with space", "::", "100%", "%25%3A", "Grüße 日本", "\xff\xfe", "-1", "new\nline\r"}) {
        TFileTree* folder = root->AddChild(n, Entry(*arena, n, "/", -2, 0, 16, true));
        folder->AddChild(n, Entry(*arena, n, "/" + n + "/", ++time, 3000000000LL, 33, false));
    }
    root->AddChild("min", Entry(*arena, "min", "/", INT32_MIN, INT64_MAX, INT32_MIN, false));
    root->AddChild("max", Entry(*arena, "max", "/", INT32_MAX, 0, INT32_MAX, false));
    root->AddChild("emptyfolder", Entry(*arena, "emptyfolder", "/", 0, 0, 16, true));
    const std::string text = Save(*root, "ftp://host/x");
    EXPECT_NE(text.find("\r\n\xff\xfe:0:/\xff\xfe/:"), std::string::npos);
    EXPECT_NE(text.find(":3000000000:"), std::string::npos);
    ExpectRoundTrip(*root, "ftp://host/x");
}

TEST(SnapshotTest, WriterCountsTheChildrenItWrites) {
    // A count that disagrees with the child list must not reach the file, where
    // it would make the reader take siblings for children.
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    TFileTree* folder = root->AddChild("d", Entry(*arena, "d", "\\", 1, 0, 16, true));
    folder->AppendRaw(arena->NewNode("x", Entry(*arena, "x", "\\d\\", 1, 2, 32, false)));
    root->AddChild("y", Entry(*arena, "y", "\\", 1, 2, 32, false));
    EXPECT_EQ(Save(*root, "R"), "R::2\r\nd:1:\\:1:-1:16\r\nx:0:\\d\\:1:2:32\r\ny:0:\\:1:2:32\r\n");
}

TEST(SnapshotTest, DeepNestingSavesAndLoadsWithoutRecursion) {
    // A chain of folders "d" with a file at its end. Each line holds its item's
    // whole path, so a readable text grows with the square of the depth: the
    // writer is taken far deeper than any stack would allow, the reader as deep
    // as a text of a few megabytes goes.
    auto chain = [](TArenaPtr& arena, int depth, bool withPaths) {
        TFileTree* root = NewTree(arena);
        TFileTree* node = root;
        std::string rel = "/";
        for (int i = 0; i < depth; ++i) {
            node = node->AddChild("d", Entry(*arena, "d", withPaths ? rel : "/", 1, 0, 16, true));
            rel += "d/";
        }
        node->AddChild("leaf", Entry(*arena, "leaf", withPaths ? rel : "/", 1, 9, 32, false));
        return root;
    };
    TArenaPtr deepArena;
    const std::string deep = Save(*chain(deepArena, 50000, false), "R");
    EXPECT_EQ(std::count(deep.begin(), deep.end(), '\n'), 50002);

    const int depth = 1000;
    TArenaPtr arena;
    const std::string text = Save(*chain(arena, depth, true), "R");
    TArenaPtr loadedArena;
    TFileTree* loaded = Load(text, loadedArena);
    const TFileTree* walk = loaded;
    int levels = 0;
    while (walk->Children.size() == 1 && walk->Children[0]->Name == "d") {
        walk = walk->Children[0];
        ++levels;
    }
    EXPECT_EQ(levels, depth);
    ASSERT_EQ(walk->Children.size(), 1u);
    EXPECT_EQ(walk->Children[0]->Data->Size, 9);
    EXPECT_EQ(Save(*loaded, "R"), text);

    // The same text cut short fails cleanly, however deep it had gone.
    TArenaPtr cutArena;
    EXPECT_THROW(Load(text.substr(0, text.rfind("leaf:")), cutArena), EListError);
}

// ---- Reading --------------------------------------------------------------------

TEST(SnapshotTest, ReaderAcceptsEveryLineEndAndStopsAtNul) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"lone LF", "R::2\na:0:/:1:2:3\nb:0:/:1:2:3\n", {"a", "b"}},
        {"mixed", "R::2\r\na:0:/:1:2:3\rb:0:/:1:2:3\n", {"a", "b"}},
        {"extra lines ignored", "R::1\r\na:0:/:1:2:3\r\nnot a node\r\n\r\n", {"a"}},
        {"NUL ends the text", "R::1\r\na:0:/:1:2:3\r\n\0garbage"s, {"a"}},
        // WebDAV folders keep their items' path without the final "/".
        {"path without its final slash", "R::1\r\nd:2:/:1:-1:16\r\nx:0:/d:1:2:3\r\ny:0:/d/:1:2:3\r\n", {"d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TArenaPtr arena;
        TFileTree* loaded = Load(c.text, arena);
        std::vector<std::string> names;
        for (const TFileTree* child : loaded->Children) {
            names.push_back(child->Name);
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(loaded->ChildCount, static_cast<int32_t>(c.names.size()));
    }
}

TEST(SnapshotTest, DamagedTextFailsCleanlyAndLeavesTheRootAsItWas) {
    enum Kind { Convert, List };
    struct Case {
        const char* what;
        std::string text;
        Kind kind;
    };
    const std::string a = "a:0:/:1:2:3\r\n";
    const std::vector<Case> cases = {
        // Lines missing.
        {"empty text", "", List},
        {"fewer lines than the root promises", "R::2\r\n" + a, List},
        {"nested counts exceed the lines", "R::2\r\nd:1:/:1:-1:16\r\nd:1:/d/:1:-1:16\r\na:0:/d/d/:1:2:3\r\n",
         List},
        // Truncated: the last line has no line end.
        {"root line without line end", "R::0", List},
        {"node line without line end", "R::1\r\na:0:/:1:2:3", List},
        {"cut off after the lines the root promises", "R::1\r\n" + a + "b:0:/", List},
        {"NUL inside the last line", "R::1\r\na:0:/:1:2:3\0\r\n"s, List},
        // Root line.
        {"root line without ::", "D:\\Docs:0\r\n", Convert},
        {"root count with junk", "R::2x\r\n" + a + a, Convert},
        // Fields of a node line.
        {"five fields", "R::1\r\nx:0:/:1000324989:12\r\n", Convert},
        {"negative count", "R::1\r\nd:-1:/:1:-1:16\r\n", Convert},
        {"count with junk", "R::1\r\na:0x:/:1:2:3\r\n", Convert},
        {"attributes with junk", "R::1\r\na:0:/:1:2:3:4\r\n", Convert},
        {"size above 64 bits", "R::1\r\na:0:/:1:9223372036854775808:3\r\n", Convert},
        {"bad line deep inside", "R::1\r\nd:1:/:1:-1:16\r\ne:1:/d/:1:-1:16\r\nz:0:/d/e/:1:2:x\r\n", Convert},
        // Every operation builds an item's path from its relative path and name,
        // so a snapshot must not name anything but the items below its root.
        {"path leading out of the root", "R::1\r\na.txt:0:/../victim/:1:2:3\r\n", Convert},
        {"a later sibling's path", "R::2\r\na:0:/:1:2:3\r\nb:0:/x/:1:2:3\r\n", Convert},
        {"name ..", "R::1\r\n..:0:/:1:2:3\r\n", Convert},
        {"name with a NUL", "R::1\r\na%00b:0:/:1:2:3\r\n", Convert},
        {"file holding items", "R::1\r\nf:1:/:1:2:32\r\nx:0:/f/:1:2:3\r\n", Convert},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TArenaPtr arena;
        TFileTree* root = NewTree(arena);
        root->Name = "before";
        std::istringstream in(c.text, std::ios::binary);
        if (c.kind == Convert) {
            EXPECT_THROW(root->LoadFromStream(in), EConvertError);
        } else {
            EXPECT_THROW(root->LoadFromStream(in), EListError);
        }
        EXPECT_EQ(root->Name, "before");
        EXPECT_EQ(root->ChildCount, 0);
        EXPECT_TRUE(root->Children.empty());
    }
}

// ---- Texts beyond the reader's first block ------------------------------------------

namespace {

// A stream buffer that can only be read forward, as a pipe is.
class TForwardOnlyBuffer : public std::streambuf {
public:
    explicit TForwardOnlyBuffer(std::string text) : text_(std::move(text)) {
        setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

private:
    std::string text_;
};

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

TEST(SnapshotTest, LinesAcrossTheReadersBlockEdgesReadBackWhole) {
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

TEST(SnapshotTest, LongLinesNulEndsAndForwardOnlyStreamsBeyondTheFirstBlock) {
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

TEST(SnapshotTest, FailedWriteIsReported) {
    TArenaPtr arena;
    TFileTree* root = ExampleTree(arena);
    std::ostream broken(nullptr); // a stream with nowhere to write
    EXPECT_THROW(root->SaveToStream(broken, "D:\\Docs"), EInOutError);
}

namespace {

// A tree whose text spans several of the writer's blocks: long names, so that
// lines also straddle the reader's block edges.
TFileTree* LargeTree(TArenaPtr& arena) {
    TFileTree* root = NewTree(arena);
    for (int f = 0; f < 3; ++f) {
        const std::string folder = "folder " + std::to_string(f);
        TFileTree* sub = root->AddChild(folder, Entry(*arena, folder, "/", 1018262475, 0, 16, true));
        for (int i = 0; i < 1500; ++i) {
            const std::string name = "a file with a rather long name:% number " + std::to_string(i) + ".txt";
            sub->AddChild(name,
                          Entry(*arena, name, "/" + folder + "/", 1042432000 + i, i * 1000LL, 32, false));
        }
    }
    return root;
}

// Takes the first `limit` bytes, then refuses everything.
class TFullDisk : public std::streambuf {
public:
    explicit TFullDisk(size_t limit) : limit_(limit) {}
    size_t Taken() const { return taken_; }

protected:
    std::streamsize xsputn(const char*, std::streamsize count) override {
        if (taken_ + static_cast<size_t>(count) > limit_) {
            return 0;
        }
        taken_ += static_cast<size_t>(count);
        return count;
    }
    int_type overflow(int_type) override { return traits_type::eof(); }

private:
    size_t limit_;
    size_t taken_ = 0;
};

} // namespace

// The text is made a block at a time: written to a stream or read from
// TSnapshotStreamBuf in chunks of any size, it is the same whole text, and it
// reads back into the same tree.
TEST(SnapshotTest, LargeTextIsTheSameWrittenOrReadInBlocks) {
    TArenaPtr arena;
    const TFileTree* root = LargeTree(arena);
    const std::string text = Save(*root, "/home/anna/docs");
    ASSERT_GT(text.size(), 3 * TSnapshotText::BlockSize);
    for (const size_t chunk : {size_t{1}, size_t{4093}, size_t{65536}, size_t{1} << 20}) {
        TSnapshotStreamBuf buffer(*root, "/home/anna/docs");
        std::istream in(&buffer);
        std::string read;
        std::vector<char> piece(chunk);
        while (in.read(piece.data(), static_cast<std::streamsize>(chunk)) || in.gcount() > 0) {
            read.append(piece.data(), static_cast<size_t>(in.gcount()));
        }
        EXPECT_EQ(read, text) << "chunk " << chunk;
    }
    TArenaPtr back;
    EXPECT_EQ(Save(*Load(text, back), "/home/anna/docs"), text);
}

// A stream that stops taking bytes part way stops the writer at that block
// with an error; nothing after it is written.
TEST(SnapshotTest, WriteThatFailsPartWayIsReported) {
    TArenaPtr arena;
    const TFileTree* root = LargeTree(arena);
    TFullDisk disk(TSnapshotText::BlockSize * 2);
    std::ostream out(&disk);
    EXPECT_THROW(root->SaveToStream(out, "/home/anna/docs"), EInOutError);
    EXPECT_LE(disk.Taken(), TSnapshotText::BlockSize * 2);
}
