#pragma once
// Builds folder trees in memory the way a scan or a snapshot load leaves them,
// for the analysis tests: "a/" is a folder, "a/b.txt" a file inside it, missing
// folders on the way are made. Every level is kept in scan order (folders first,
// then files, each by CompareNames) unless the builder is told to keep the order
// of insertion, as a snapshot written by another program version might.

#include "model/UTFileTree.h"
#include "model/UTUtils.h"

#include <cstdint>
#include <string>
#include <vector>

namespace enginetest {

using namespace tandemora;

class TTreeBuilder {
public:
    explicit TTreeBuilder(const std::string& rootName = "", bool sorted = true) : sorted_(sorted) {
        Root = NewTree(Arena);
        Root->Name = rootName;
    }

    TFileTree* Root;
    TArenaPtr Arena;

    TFileTree* Folder(const std::string& path, int32_t attr = faDirectory) {
        std::string p = path;
        if (!p.empty() && p.back() == '/') {
            p.pop_back();
        }
        TFileTree* parent = Root;
        size_t start = 0;
        while (true) {
            const size_t slash = p.find('/', start);
            const std::string name =
                p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            TFileTree* folder = Child(parent, name, true);
            if (folder == nullptr) {
                folder = Add(parent, name, true, 0, 0, slash == std::string::npos ? attr : faDirectory);
            }
            if (slash == std::string::npos) {
                return folder;
            }
            parent = folder;
            start = slash + 1;
        }
    }

    TFileTree* File(const std::string& path, int32_t time, int64_t size = 0, int32_t attr = faArchive) {
        const size_t slash = path.rfind('/');
        TFileTree* parent = slash == std::string::npos ? Root : Folder(path.substr(0, slash));
        return Add(parent, path.substr(slash == std::string::npos ? 0 : slash + 1), false, time, size, attr);
    }

    // The child of parent with exactly this name and kind, or null.
    static TFileTree* Child(TFileTree* parent, const std::string& name, bool folder) {
        for (TFileTree* child : parent->Children) {
            if (child->Name == name && child->Data != nullptr && (child->Data->IsFolder != 0) == folder) {
                return child;
            }
        }
        return nullptr;
    }

private:
    TFileTree* Add(TFileTree* parent, const std::string& name, bool folder, int32_t time, int64_t size,
                   int32_t attr) {
        TFileAttri* data = Arena->NewAttri();
        data->IsFolder = folder ? 1 : 0;
        data->Name = name;
        data->Size = size;
        data->Time = time;
        data->Attr = attr;
        data->RelPath = RelPathBelow(parent);
        TFileTree* node = parent->AddChild(name, data);
        if (sorted_) {
            // Move the new node back to its place in scan order.
            TFileTreeList& list = parent->Children;
            size_t i = list.size() - 1;
            while (i > 0 && Before(node, list[i - 1])) {
                list[i] = list[i - 1];
                --i;
            }
            list[i] = node;
        }
        return node;
    }

    static bool Before(const TFileTree* a, const TFileTree* b) {
        const bool af = a->Data->IsFolder != 0;
        const bool bf = b->Data->IsFolder != 0;
        if (af != bf) {
            return af;
        }
        return CompareNames(a->Name, b->Name) < 0;
    }

    static std::string RelPathBelow(const TFileTree* parent) {
        if (parent->Data == nullptr) {
            return "/";
        }
        return parent->Data->RelPath + parent->Data->Name + "/";
    }

    bool sorted_;
};

// The node at a path below root ("a/b.txt"); a trailing "/" asks for a folder at
// the last step, otherwise a file of that name is preferred to a folder. Null when
// there is none.
inline TFileTree* FindNode(TFileTree* root, const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    const bool lastIsFolder = !path.empty() && path.back() == '/';
    TFileTree* node = root;
    for (size_t k = 0; k < parts.size() && node != nullptr; ++k) {
        const bool last = k + 1 == parts.size();
        TFileTree* parent = node;
        node = TTreeBuilder::Child(parent, parts[k], !last || lastIsFolder);
        if (node == nullptr && last && !lastIsFolder) {
            node = TTreeBuilder::Child(parent, parts[k], true);
        }
    }
    return node;
}

} // namespace enginetest
