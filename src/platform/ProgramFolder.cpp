#include "platform/ProgramFolder.h"

#include <mutex>
#include <unistd.h>

namespace tandemora {

namespace {

std::mutex folderLock;
std::string folderOverride;

std::string ExecutableFolder() {
    std::string buffer(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return "./";
    }
    buffer.resize(static_cast<size_t>(n));
    auto slash = buffer.rfind('/');
    return slash == std::string::npos ? std::string("./") : buffer.substr(0, slash + 1);
}

} // namespace

std::string GetProgramFolder() {
    std::lock_guard<std::mutex> guard(folderLock);
    if (!folderOverride.empty()) {
        return folderOverride;
    }
    return ExecutableFolder();
}

void SetProgramFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(folderLock);
    folderOverride = folder;
    if (!folderOverride.empty() && folderOverride.back() != '/') {
        folderOverride += '/';
    }
}

} // namespace tandemora
