#pragma once
// A file of the private staging folder that carries bytes between two endpoints
// (a remote-to-remote copy, a download made to compare contents). Its name is
// unique to this process, owner and serial; it is removed however its use ends.

#include "model/UTUtils.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <unistd.h>

namespace tandemora {

class TStagingFile {
public:
    TStagingFile(const char* purpose, const void* owner, int32_t serial) {
        const std::string folder = GetStagingFolder();
        std::ostringstream base;
        base << folder << purpose << "-" << getpid() << "-" << owner << "-" << serial;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::string candidate = base.str() + "-" + std::to_string(attempt);
            fs::TFileHandle file;
            if (file.CreateNew(candidate, 0600)) {
                file.Close();
                path_ = candidate;
            } else if (errno != EEXIST) {
                return;
            }
        }
    }
    ~TStagingFile() {
        if (!path_.empty()) {
            fs::ClearReadOnly(path_);
            fs::DeleteFile(path_);
        }
    }
    TStagingFile(const TStagingFile&) = delete;
    TStagingFile& operator=(const TStagingFile&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace tandemora
