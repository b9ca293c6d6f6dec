// Snapshot text, as read from a work folder that anyone who can write to the
// synchronised folder can change. Whatever the text, reading it either fails
// with one of the reader's own errors or gives a tree whose entries all lie in
// the folders they stand in (a name of one item, a relative path made of the
// names of its parents), and which writes a text that reads back to the same
// tree: load, save, load and save again give the same text.

#include "FuzzSupport.h"

#include "model/UTFileTree.h"
#include "platform/Exceptions.h"

#include <sstream>

using namespace tandemora;

namespace {

// Every node below Folder names one item, and its relative path is the path of
// Folder: "/" at the top, "/a/b/" below b in a, or that without its last "/".
void ExpectInTheirFolders(const TFileTree& folder, const std::string& path, const std::string& text) {
    for (const TFileTree* node : folder.Children) {
        fuzzsupport::Expect(fuzzsupport::IsSafeName(node->Name) && node->Data != nullptr,
                            "a snapshot entry is no item of its folder",
                            node->Name + "\n---- text ----\n" + text);
        const std::string& rel = node->Data->RelPath.str();
        const bool inFolder = rel == path || (path.size() > 1 && rel + "/" == path);
        fuzzsupport::Expect(inFolder, "a snapshot entry lies outside its folder",
                            node->Name + " in " + rel + ", not " + path + "\n---- text ----\n" + text);
        ExpectInTheirFolders(*node, path + node->Name + "/", text);
    }
}

// The text of the tree the snapshot text gives; false when it is refused.
bool LoadAndSave(const std::string& text, std::string& saved) {
    TArenaPtr arena;
    TFileTree* root = NewTree(arena);
    std::istringstream in(text);
    try {
        root->LoadFromStream(in);
    } catch (const TException&) {
        return false;
    }
    ExpectInTheirFolders(*root, "/", text);
    std::ostringstream out;
    root->SaveToStream(out, root->Name);
    saved = out.str();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string first;
    if (!LoadAndSave(fuzzsupport::Text(data, size), first)) {
        return 0;
    }
    std::string second;
    fuzzsupport::Expect(LoadAndSave(first, second), "a saved snapshot does not load", first);
    fuzzsupport::Expect(second == first, "a saved snapshot changes when it is loaded and saved again",
                        first + "---- became ----\n" + second);
    return 0;
}
