#pragma once
// One file or folder as listed on an endpoint.

#include <cstdint>
#include <string>
#include <vector>

namespace tandemora {

class TFileAttri {
public:
    int32_t IsFolder = 0; // 1 folder, 0 file
    std::string Name;     // bare name, no path
    int64_t Size = 0;     // bytes; 0 for listed folders, -1 marks a folder in snapshot text
    int32_t Time = 0;     // last-write time as a DOS date-time (2-second steps), compared signed
    int32_t Attr = 0;     // 1 read-only, 2 hidden, 4 system, 16 folder, 32 archive
    std::string RelPath;  // containing folder relative to the endpoint root, e.g. "\" or "\sub\"
};

// File attribute bits as the file model stores them.
enum : int32_t {
    faReadOnly = 1,
    faHidden = 2,
    faSysFile = 4,
    faVolumeID = 8,
    faDirectory = 16,
    faArchive = 32,
    faNormal = 128,
};

using FileList = std::vector<TFileAttri*>;

} // namespace tandemora
