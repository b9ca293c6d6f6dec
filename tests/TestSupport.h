#pragma once
// Small helpers every suite shares: a real temporary folder that cleans up after
// itself, environment variables set for one test, whole-file read/write, and the
// one builder of in-memory folder trees.

#include "model/UTFileTree.h"
#include "model/UTUtils.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end,
// read-only folders included.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tandemora-test-XXXXXX";
        char* made = mkdtemp(pattern.data());
        if (made == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path_ = made;
    }
    ~TempDir() {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(
                 path_, std::filesystem::directory_options::skip_permission_denied, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                chmod(it->path().c_str(), 0700);
            }
        }
        chmod(path_.c_str(), 0700);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's path without a trailing "/".
    const std::string& path() const { return path_; }
    // The path of a name inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (or, with no value, unsets) one environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name.c_str())) {
            old_ = old;
        }
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
        tzset();
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
        tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A DOS date-time from its fields.
inline int32_t Dos(int year, int month, int day, int hour, int minute, int second) {
    const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
    const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return static_cast<int32_t>((date << 16) | time);
}

// Files may not grow past a limit for the lifetime of the object: writes beyond
// it fail (EFBIG), as on a full disk, instead of stopping the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    sighandler_t oldHandler_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Everything below root except the folders in skip, as path -> content (a file's
// mode, modification time and bytes, "<dir>" and its mode, or "-> target" for a
// link), links not followed. A test takes it before and after a run to show that
// nothing outside its folders was created, changed or removed.
inline std::map<std::string, std::string> TreeOutside(const std::string& root,
                                                      const std::set<std::string>& skip) {
    std::map<std::string, std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        if (skip.count(path) != 0) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(ec)) {
            found[path] = "-> " + std::filesystem::read_symlink(it->path(), ec).string();
        } else {
            struct stat st {};
            lstat(path.c_str(), &st);
            const std::string mode = std::to_string(st.st_mode & 07777);
            found[path] = S_ISDIR(st.st_mode) ? "<dir> " + mode
                                              : mode + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                                                    std::to_string(st.st_mtim.tv_nsec) + " " + ReadFile(path);
        }
    }
    return found;
}

// A canary tree beside the folders of a test: a few files and a folder at root,
// whose names are the ones hostile input aims at.
inline void PlantCanary(const std::string& root) {
    for (const char* name : {"evil", "x", "victim/a.txt", "outside/evil"}) {
        WriteFile(root + "/" + name, std::string("canary ") + name);
    }
}

using tandemora::CompareNames;
using tandemora::faArchive;
using tandemora::faDirectory;
using tandemora::NewTree;
using tandemora::TArenaPtr;
using tandemora::TFileAttri;
using tandemora::TFileTree;
using tandemora::TFileTreeList;

// Builds folder trees in memory the way a scan or a snapshot load leaves them:
// "a/" is a folder, "a/b.txt" a file inside it, missing folders on the way are
// made. Every level is kept in scan order (folders first, then files, each by
// CompareNames) unless the builder is told to keep the order of insertion, as a
// snapshot written by another program version might.
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

// The names of a node's children, in order.
inline std::vector<std::string> ChildNames(const TFileTree* node) {
    std::vector<std::string> names;
    for (const TFileTree* child : node->Children) {
        names.push_back(child->Name);
    }
    return names;
}

// The first child of that name, folder or file; null when there is none.
inline const TFileTree* FindChild(const TFileTree* node, const std::string& name) {
    for (const TFileTree* child : node->Children) {
        if (child->Name == name) {
            return child;
        }
    }
    return nullptr;
}

} // namespace testsupport
