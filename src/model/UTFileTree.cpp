#include "model/UTFileTree.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace tandemora {

// ---- Nodes and arenas ---------------------------------------------------------

TFileTree::TFileTree(TTreeArena* arena, const std::string& name, TFileAttri* data)
    : Name(name), Data(data), Arena(arena) {}

TFileTree* TTreeArena::NewNode(const std::string& name, TFileAttri* data) {
    return nodes_.Make(this, name, data);
}

TFileAttri* TTreeArena::NewAttri() {
    return attris_.Make();
}

size_t TTreeArena::NodeCount() const {
    return nodes_.Count();
}

TFileTree* NewTree(TArenaPtr& arena) {
    arena = std::make_shared<TTreeArena>();
    return arena->NewNode("", nullptr);
}

// ---- Child list -----------------------------------------------------------------

TFileTree* TFileTree::AddChild(const std::string& name, TFileAttri* data) {
    if (Arena == nullptr) {
        throw std::logic_error("tree node without an arena cannot grow children");
    }
    TFileTree* child = Arena->NewNode(name, data);
    child->Parent = this;
    Children.push_back(child);
    ++ChildCount;
    return child;
}

void TFileTree::AppendNode(TFileTree* node) {
    ++ChildCount;
    Children.push_back(node);
}

void TFileTree::AppendRaw(TFileTree* node) {
    Children.push_back(node);
}

void TFileTree::AdoptChildren(TFileTree* other) {
    // By index and up to the count at the start, so that a node adopting its own
    // children does not chase the entries it appends.
    const size_t count = other->Children.size();
    for (size_t i = 0; i < count; ++i) {
        AppendNode(other->Children[i]);
    }
}

void TFileTree::RemoveChild(const std::string& name) {
    for (auto it = Children.begin(); it != Children.end(); ++it) {
        if ((*it)->Name == name) {
            Children.erase(it);
            --ChildCount;
            return;
        }
    }
}

// ---- Action codes and categories ------------------------------------------------

void TFileTree::ClearFlags() {
    IncludedFlag = 0;
    ExcludedFlag = 0;
    ClearActionFlags();
}

void TFileTree::ClearActionFlags() {
    ErrorFlag = 0;
    ConflictFlag = 0;
    NewFlag = 0;
    OverwriteFlag = 0;
    DeleteFlag = 0;
    LtoRFlag = 0;
    RtoLFlag = 0;
    SameFlag = 0;
}

void TFileTree::SetAction(int32_t code) {
    Action = code;
    ClearActionFlags();
    // A folder with children gets its categories as counts when the result is
    // recounted; only leaves carry the flags of their own code.
    if (ChildCount >= 1) {
        return;
    }
    switch (code) {
    case saCopyLtoR:
        LtoRFlag = 1;
        NewFlag = 1;
        break;
    case saCopyRtoL:
        RtoLFlag = 1;
        NewFlag = 1;
        break;
    case saOverwriteRtoL:
        RtoLFlag = 1;
        OverwriteFlag = 1;
        break;
    case saOverwriteLtoR:
        LtoRFlag = 1;
        OverwriteFlag = 1;
        break;
    case saSame:
        SameFlag = 1;
        break;
    case saNewSinceSync:
        NewFlag = 1;
        break;
    case saChangedSinceSync:
        OverwriteFlag = 1;
        break;
    case saConflict:
        ConflictFlag = 1;
        break;
    case saDeletedSinceSync:
    case saDeleteRight:
    case saDeleteLeft:
        DeleteFlag = 1;
        break;
    default:
        break;
    }
}

void TFileTree::SetFilterState(int32_t code) {
    if (code == saIncluded) {
        IncludedFlag = 1;
        ExcludedFlag = 0;
        return;
    }
    ClearFlags();
    ExcludedFlag = 1;
}

// ---- Snapshot text ----------------------------------------------------------------
//
// One line per node, each ended by CR LF: the root line "name::count", then the
// nodes in pre-order as "name:count:relpath:time:size:attr" (size -1 for a
// folder). Names and relative paths may hold ":" on this system, and even line
// breaks, so ":", the escape character "%" and every control character (0x00 to
// 0x1F and 0x7F) are written as "%" and two upper-case hex digits ("%3A", "%25",
// "%0A", ...) in those two fields; any other text is written as it stands, and
// any other "%" is read as it stands.

namespace {

const char kLineEnd[] = "\r\n";

bool IsControlChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

void AppendHexEscape(std::string& out, char c) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '%' || c == ':' || IsControlChar(c)) {
            AppendHexEscape(out, c);
        } else {
            out += c;
        }
    }
}

template <typename Int> void AppendNumber(std::string& out, Int value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Whether `code` (the two characters after a "%") is an escape AppendEscaped
// writes, and which character it stands for.
bool Unescaped(std::string_view code, char& plain) {
    if (code.size() != 2 || HexDigit(code[0]) < 0 || HexDigit(code[1]) < 0) {
        return false;
    }
    plain = static_cast<char>(HexDigit(code[0]) * 16 + HexDigit(code[1]));
    return plain == '%' || plain == ':' || IsControlChar(plain);
}

std::string DecodeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char plain = 0;
        if (text[i] == '%' && Unescaped(text.substr(i + 1, 2), plain)) {
            out += plain;
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The root name (an endpoint path or URL, which often holds ":") is written as it
// stands whenever that reads back as the same name; only a name that would be cut
// at the wrong "::" or changed by the decoding is escaped.
std::string RootNameField(const std::string& name) {
    const bool readsBack = name.find("::") == std::string::npos && (name.empty() || name.back() != ':') &&
                           std::none_of(name.begin(), name.end(), IsControlChar) && DecodeField(name) == name;
    std::string field;
    if (readsBack) {
        field = name;
    } else {
        AppendEscaped(field, name);
    }
    return field;
}

void AddNodeLine(std::string& out, const TFileTree& node) {
    AppendEscaped(out, node.Name);
    out += ':';
    AppendNumber(out, node.Children.size());
    if (node.Data != nullptr) {
        const TFileAttri& d = *node.Data;
        out += ':';
        AppendEscaped(out, d.RelPath);
        out += ':';
        AppendNumber(out, d.Time);
        out += ':';
        AppendNumber(out, d.IsFolder != 0 ? int64_t{-1} : d.Size);
        out += ':';
        AppendNumber(out, d.Attr);
    }
    out += kLineEnd;
}

// The text split into lines at CR LF, a lone CR or a lone LF; a NUL ends the
// text. Every line must be ended: the writer ends each one, so a text without a
// final line end was cut off on its way and is refused as a whole.
//
// A snapshot is as large as the tree it describes, so it is read from its stream
// buffer in blocks and never held whole while the tree is built. The buffer is
// read twice: a first pass counts the lines and checks the end, so that a damaged
// text is refused before anything is built and every count can be checked
// against the lines that really follow; the second pass hands the lines out.
class TSnapshotLines {
public:
    explicit TSnapshotLines(std::streambuf& buffer) : buffer_(buffer), block_(kBlockSize) {
        const std::streampos start = buffer_.pubseekoff(0, std::ios::cur, std::ios::in);
        CountLines();
        if (length_ == 0) {
            throw EListError("Snapshot text is empty");
        }
        if (!endsLine_) {
            throw EListError("Snapshot text is truncated: its last line has no line end");
        }
        if (buffer_.pubseekpos(start, std::ios::in) != start) {
            throw EInOutError("Snapshot could not be read");
        }
        unread_ = length_;
    }

    // Lines not yet taken.
    size_t Remaining() const { return count_ - taken_; }
    // Number of lines taken so far.
    size_t Taken() const { return taken_; }

    // The next line, valid until the next call.
    std::string_view Next() {
        if (taken_ >= count_) {
            throw EListError("Snapshot text ends before line " + std::to_string(taken_ + 1) +
                             " that its counts promise");
        }
        ++taken_;
        line_.clear();
        for (;;) {
            if (pos_ == end_) {
                Fill();
            }
            if (skipLineFeed_) {
                // The LF of a CR LF pair, which may start the next block.
                skipLineFeed_ = false;
                if (block_[pos_] == '\n') {
                    ++pos_;
                    continue;
                }
            }
            const size_t first = pos_;
            while (pos_ < end_ && block_[pos_] != '\r' && block_[pos_] != '\n') {
                ++pos_;
            }
            const std::string_view part(block_.data() + first, pos_ - first);
            if (pos_ == end_) {
                line_ += part; // the line goes on in the next block
                continue;
            }
            skipLineFeed_ = block_[pos_] == '\r';
            ++pos_;
            if (line_.empty()) {
                return part;
            }
            line_ += part;
            return line_;
        }
    }

private:
    static constexpr size_t kBlockSize = 65536;

    // First pass: the length up to the first NUL, the number of lines, and
    // whether the last line is ended.
    void CountLines() {
        bool afterReturn = false;
        for (;;) {
            const std::streamsize got =
                buffer_.sgetn(block_.data(), static_cast<std::streamsize>(block_.size()));
            if (got <= 0) {
                return;
            }
            const char* data = block_.data();
            const char* nul = static_cast<const char*>(std::memchr(data, '\0', static_cast<size_t>(got)));
            const size_t size = nul != nullptr ? static_cast<size_t>(nul - data) : static_cast<size_t>(got);
            for (size_t i = 0; i < size; ++i) {
                if (data[i] == '\r') {
                    ++count_;
                    afterReturn = true;
                } else {
                    if (data[i] == '\n' && !afterReturn) {
                        ++count_;
                    }
                    afterReturn = false;
                }
            }
            if (size > 0) {
                endsLine_ = data[size - 1] == '\r' || data[size - 1] == '\n';
            }
            length_ += size;
            if (nul != nullptr) {
                return;
            }
        }
    }

    // Second pass: the next block of the text, which the first pass found whole.
    void Fill() {
        const size_t want = std::min(block_.size(), unread_);
        const std::streamsize got =
            want > 0 ? buffer_.sgetn(block_.data(), static_cast<std::streamsize>(want)) : 0;
        if (got <= 0) {
            throw EInOutError("Snapshot could not be read again after line " + std::to_string(taken_ - 1));
        }
        unread_ -= static_cast<size_t>(got);
        pos_ = 0;
        end_ = static_cast<size_t>(got);
    }

    std::streambuf& buffer_;
    std::vector<char> block_;
    std::string line_; // a line that runs over the end of a block
    size_t length_ = 0;
    size_t count_ = 0;
    bool endsLine_ = false;
    size_t unread_ = 0;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool skipLineFeed_ = false;
    size_t taken_ = 0;
};

[[noreturn]] void ThrowNotNumber(std::string_view text, size_t line) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value (snapshot line " +
                        std::to_string(line) + ")");
}

// A signed decimal number filling the whole field and fitting the width asked for.
template <typename Int> Int ToNumber(std::string_view text, size_t line) {
    Int value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last) {
        ThrowNotNumber(text, line);
    }
    return value;
}

int32_t ToCount(std::string_view text, size_t line) {
    const int32_t count = ToNumber<int32_t>(text, line);
    if (count < 0) {
        ThrowNotNumber(text, line);
    }
    return count;
}

struct TNodeLine {
    std::string_view Fields[6];
};

// Cuts a node line at its first five ":"; the sixth field is the rest.
TNodeLine SplitNodeLine(std::string_view line, size_t lineNo) {
    TNodeLine parts;
    size_t start = 0;
    for (int i = 0; i < 5; ++i) {
        const size_t colon = line.find(':', start);
        if (colon == std::string_view::npos) {
            throw EConvertError("Snapshot line " + std::to_string(lineNo) + " has " + std::to_string(i + 1) +
                                " fields instead of 6");
        }
        parts.Fields[i] = line.substr(start, colon - start);
        start = colon + 1;
    }
    parts.Fields[5] = line.substr(start);
    return parts;
}

// The relative path last read below one folder, kept as its text stood in the
// snapshot: all children of a folder name the same path, so they share the one
// TRelPath made for the first of them.
struct TPathCache {
    bool Read = false;
    std::string Field;
    TRelPath Path;
};

std::string LineText(size_t lineNo) {
    return "Snapshot line " + std::to_string(lineNo);
}

// Whether a relative path read from a snapshot is the path that the names of
// the item's parents make: "/" below the root, "/a/b/" below the folder b in a,
// the last level also without its final "/" (the form WebDAV folders keep).
bool IsPathOfFolder(const std::string& path, std::string_view folderPath) {
    if (path == folderPath) {
        return true;
    }
    return folderPath.size() > 1 && path.size() + 1 == folderPath.size() &&
           folderPath.compare(0, path.size(), path) == 0;
}

// A node line turned into a node. Its name must be one an item can have, and its
// relative path must be the path of the folder it stands in (`folderPath`), since
// every operation on the item builds its path from that text: a snapshot in a
// shared work folder is input like any other and may have been made to point
// anywhere.
TFileTree* ReadNode(TTreeArena& arena, std::string_view line, size_t lineNo, std::string_view folderPath,
                    TPathCache& paths) {
    const TNodeLine parts = SplitNodeLine(line, lineNo);
    if (parts.Fields[0].empty()) {
        // No listed item has an empty name; such a line would stand for its own folder.
        throw EConvertError(LineText(lineNo) + " has an empty name");
    }
    const int32_t count = ToCount(parts.Fields[1], lineNo);
    const int32_t time = ToNumber<int32_t>(parts.Fields[3], lineNo);
    const int64_t size = ToNumber<int64_t>(parts.Fields[4], lineNo);
    const int32_t attr = ToNumber<int32_t>(parts.Fields[5], lineNo);

    TFileAttri* data = arena.NewAttri();
    data->Name = DecodeField(parts.Fields[0]);
    if (!IsSafeItemName(data->Name)) {
        throw EConvertError(LineText(lineNo) + " names no item: \"" + EscapeForLog(data->Name) + "\"");
    }
    if (!paths.Read || parts.Fields[2] != paths.Field) {
        std::string path = DecodeField(parts.Fields[2]);
        if (!IsPathOfFolder(path, folderPath)) {
            throw EConvertError(LineText(lineNo) + " gives the path \"" + EscapeForLog(path) +
                                "\" for an item in \"" + EscapeForLog(folderPath) + "\"");
        }
        paths.Read = true;
        paths.Field.assign(parts.Fields[2]);
        paths.Path = std::move(path);
    }
    data->RelPath = paths.Path;
    data->Time = time;
    data->Size = size;
    data->Attr = attr;
    data->IsFolder = size == -1 ? 1 : 0;
    if (count > 0 && data->IsFolder == 0) {
        throw EConvertError(LineText(lineNo) + " gives items to the file \"" + EscapeForLog(data->Name) +
                            "\"");
    }

    TFileTree* node = arena.NewNode(data->Name, data);
    node->ChildCount = count;
    return node;
}

// Reads `rootCount` subtrees in pre-order and returns the root's children. An
// explicit stack instead of recursion, and no list sized by a count before the
// lines for it have been read: counts come from files and servers.
TFileTreeList LoadChildren(TTreeArena& arena, int32_t rootCount, TSnapshotLines& lines) {
    struct Frame {
        TFileTree* node; // null for the root, which is only changed once all went well
        int32_t remaining;
        size_t firstChild; // where this node's children start in `pending`
        size_t pathLength; // this node's path is the first pathLength characters of `path`
        TPathCache paths;  // the relative path of this node's children as read
    };
    // Children read so far for every open node, innermost last; a finished node
    // takes its own range with an allocation of exactly its size.
    TFileTreeList pending;
    TFileTreeList rootChildren;
    // The path of the innermost open folder ("/a/b/"); each open node's path is
    // a beginning of it, so it grows and shrinks with the stack.
    std::string path = "/";
    std::vector<Frame> stack{{nullptr, rootCount, 0, path.size(), {}}};
    if (static_cast<size_t>(rootCount) > lines.Remaining()) {
        throw EListError("Snapshot root promises " + std::to_string(rootCount) + " items but only " +
                         std::to_string(lines.Remaining()) + " lines follow");
    }
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.remaining == 0) {
            TFileTreeList& target = top.node != nullptr ? top.node->Children : rootChildren;
            target.assign(pending.begin() + static_cast<std::ptrdiff_t>(top.firstChild), pending.end());
            pending.resize(top.firstChild);
            stack.pop_back();
            continue;
        }
        --top.remaining;
        path.resize(top.pathLength);
        const std::string_view line = lines.Next();
        TFileTree* node = ReadNode(arena, line, lines.Taken(), path, top.paths);
        pending.push_back(node);
        if (node->ChildCount > 0) {
            if (static_cast<size_t>(node->ChildCount) > lines.Remaining()) {
                throw EListError(LineText(lines.Taken()) + " promises " + std::to_string(node->ChildCount) +
                                 " items but only " + std::to_string(lines.Remaining()) + " lines follow");
            }
            path += node->Name;
            path += '/';
            stack.push_back({node, node->ChildCount, pending.size(), path.size(), {}});
        }
    }
    return rootChildren;
}

// Everything from the current position to the end, read in large blocks.
std::string ReadAll(std::streambuf& buffer) {
    std::string text;
    char block[65536];
    for (;;) {
        const std::streamsize got = buffer.sgetn(block, sizeof block);
        if (got <= 0) {
            break;
        }
        text.append(block, static_cast<size_t>(got));
    }
    return text;
}

} // namespace

namespace {

// The length of the Unicode line break that `text` starts with, 0 for none: NEL
// (C2 85) and the line and paragraph separators (E2 80 A8, E2 80 A9) break a line
// in the log panel just as LF does.
size_t UnicodeBreakLength(std::string_view text) {
    if (text.substr(0, 2) == "\xC2\x85") {
        return 2;
    }
    if (text.substr(0, 3) == "\xE2\x80\xA8" || text.substr(0, 3) == "\xE2\x80\xA9") {
        return 3;
    }
    return 0;
}

} // namespace

std::string EscapeForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t breakLength = UnicodeBreakLength(text.substr(i));
        if (breakLength > 0) {
            for (size_t k = 0; k < breakLength; ++k) {
                AppendHexEscape(out, text[i + k]);
            }
            i += breakLength - 1;
        } else if (IsControlChar(text[i])) {
            AppendHexEscape(out, text[i]);
        } else {
            out += text[i];
        }
    }
    return out;
}

TSnapshotText::TSnapshotText(const TFileTree& Root, const std::string& RootName) {
    if (Root.Data != nullptr) {
        // A root with an entry of its own writes a node line; the program never
        // saves such a tree, and the reader does not take it back.
        AddNodeLine(first_, Root);
    } else {
        first_ += RootNameField(RootName);
        first_ += "::";
        AppendNumber(first_, Root.Children.size());
        first_ += kLineEnd;
    }
    stack_.push_back({&Root, 0});
}

// Pre-order lines of everything below the root. An explicit stack, because a
// tree read from a server can be nested far deeper than the call stack allows.
bool TSnapshotText::Next(std::string& Block) {
    Block.clear();
    Block.swap(first_);
    while (!stack_.empty() && Block.size() < BlockSize) {
        TFrame& top = stack_.back();
        if (top.Next >= top.Node->Children.size()) {
            stack_.pop_back();
            continue;
        }
        const TFileTree* child = top.Node->Children[top.Next++];
        AddNodeLine(Block, *child);
        if (!child->Children.empty()) {
            stack_.push_back({child, 0});
        }
    }
    return !Block.empty();
}

TSnapshotStreamBuf::TSnapshotStreamBuf(const TFileTree& Root, const std::string& RootName)
    : text_(Root, RootName) {
    setg(nullptr, nullptr, nullptr);
}

TSnapshotStreamBuf::int_type TSnapshotStreamBuf::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    if (!text_.Next(block_)) {
        return traits_type::eof();
    }
    setg(block_.data(), block_.data(), block_.data() + block_.size());
    return traits_type::to_int_type(*gptr());
}

void TFileTree::SaveToStream(std::ostream& stream, const std::string& rootName) const {
    TSnapshotText text(*this, rootName);
    std::string block;
    block.reserve(TSnapshotText::BlockSize + 4096);
    while (text.Next(block)) {
        stream.write(block.data(), static_cast<std::streamsize>(block.size()));
        if (!stream) {
            throw EInOutError("Snapshot could not be written completely");
        }
    }
}

void TFileTree::LoadFromStream(std::istream& stream) {
    if (Arena == nullptr) {
        throw std::logic_error("tree node without an arena cannot load a snapshot");
    }
    std::streambuf* buffer = stream.rdbuf();
    if (buffer == nullptr) {
        throw EInOutError("Snapshot could not be read");
    }
    // The lines are read in two passes; a stream that cannot go back (a pipe)
    // is taken into memory first.
    std::stringbuf copy;
    if (buffer->pubseekoff(0, std::ios::cur, std::ios::in) == std::streampos(-1)) {
        copy.str(ReadAll(*buffer));
        buffer = &copy;
    }

    TSnapshotLines lines(*buffer);
    const std::string_view rootLine = lines.Next();
    const size_t sep = rootLine.find("::");
    if (sep == std::string_view::npos) {
        throw EConvertError("Snapshot line 1 has no \"::\" after the root name");
    }
    const int32_t rootCount = ToCount(rootLine.substr(sep + 2), 1);
    std::string rootName = DecodeField(rootLine.substr(0, sep));
    TFileTreeList children = LoadChildren(*Arena, rootCount, lines);

    // Only a text read to its end changes this root, so a failed load leaves the
    // tree as it was.
    Name = std::move(rootName);
    ChildCount = rootCount;
    Children = std::move(children);
    LineCursor = static_cast<int32_t>(lines.Taken() - 1);
    // The whole text counts as read, lines after the counted ones included.
    buffer->pubseekoff(0, std::ios::end, std::ios::in);
}

} // namespace tandemora
