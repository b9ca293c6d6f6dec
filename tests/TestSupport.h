#pragma once
// Small helpers every suite shares: a real temporary folder that cleans up after
// itself, environment variables set for one test, and whole-file read/write.

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
#include <sys/stat.h>

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

} // namespace testsupport
