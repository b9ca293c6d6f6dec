// Snapshot text, as read from a work folder that anyone who can write to the
// synchronised folder can change. Whatever the text, reading it either fails
// with one of the reader's own errors or gives a tree that writes a text which
// reads back to the same tree: load, save, load and save again give the same text.

#include "FuzzSupport.h"

#include "model/UTFileTree.h"
#include "platform/Exceptions.h"

#include <sstream>

using namespace tandemora;

namespace {

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
