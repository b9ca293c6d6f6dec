#pragma once
// What every fuzz target shares: a scratch folder of the process's own for the
// parsers that read files, small file helpers, and Expect, which ends the run
// with a message when a property of a parser does not hold (libFuzzer then keeps
// the input that broke it).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fuzzsupport {

// The fuzzer's input as text.
inline std::string Text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A folder made on first use and removed when the process ends: under /dev/shm
// where there is one (the parsers that write flush every file to disk, which
// costs nothing in memory), else under $TMPDIR or /tmp.
class TScratch {
public:
    TScratch() {
        std::string base = "/dev/shm";
        if (access(base.c_str(), W_OK) != 0) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        std::string pattern = base + "/tandemora-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a scratch folder");
        }
        path_ = pattern;
    }
    ~TScratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    // The folder, without a trailing "/".
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline const std::string& ScratchFolder() {
    static const TScratch scratch;
    return scratch.Path();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text with every byte outside printable ASCII shown as \xNN, for messages.
inline std::string Visible(const std::string& text) {
    static const char* const hex = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            out += "\\n\n";
        } else if (byte < 0x20 || byte >= 0x7f || byte == '\\') {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

// Aborts with What and Detail on stderr when Holds is false.
inline void Expect(bool Holds, const std::string& What, const std::string& Detail = std::string()) {
    if (Holds) {
        return;
    }
    std::fprintf(stderr, "\n*** %s\n%s\n", What.c_str(), Visible(Detail).c_str());
    std::abort();
}

// A name as an endpoint may let it into a tree: not empty, not "." or "..", and
// without "/" or NUL, so that it can never reach outside its folder.
inline bool IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace fuzzsupport
