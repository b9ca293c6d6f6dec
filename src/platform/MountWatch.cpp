#include "platform/MountWatch.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <tuple>
#include <unistd.h>

namespace tandemora {

namespace {

bool IsOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

std::vector<std::string> SplitBlanks(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (in >> field) {
        fields.push_back(field);
    }
    return fields;
}

// One line: ID, parent ID, major:minor, root, mount point, mount options, any
// number of optional fields, "-", file system type, source, super options.
bool ParseLine(const std::string& line, TMountEntry& entry) {
    const std::vector<std::string> fields = SplitBlanks(line);
    if (fields.size() < 9) {
        return false;
    }
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") {
        ++dash;
    }
    if (dash + 2 >= fields.size()) {
        return false;
    }
    const std::string& id = fields[0];
    const auto parsed = std::from_chars(id.data(), id.data() + id.size(), entry.MountID);
    if (parsed.ec != std::errc() || parsed.ptr != id.data() + id.size()) {
        return false;
    }
    if (fields[2].find(':') == std::string::npos) {
        return false;
    }
    entry.Device = fields[2];
    entry.Root = DecodeMountField(fields[3]);
    entry.MountPoint = DecodeMountField(fields[4]);
    entry.FsType = DecodeMountField(fields[dash + 1]);
    entry.Source = DecodeMountField(fields[dash + 2]);
    return true;
}

// The whole file; false (errno set) when it cannot be opened or read.
bool ReadWhole(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    text = std::move(bytes);
    return true;
}

// A mount is the same one in both readings when the kernel's ID, the device and
// the place all agree (IDs of removed mounts are given out again).
using TMountKey = std::tuple<int64_t, std::string, std::string>;

TMountKey KeyOf(const TMountEntry& entry) {
    return {entry.MountID, entry.Device, entry.MountPoint};
}

} // namespace

std::string DecodeMountField(const std::string& field) {
    std::string decoded;
    decoded.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctalDigit(field[i + 1]) &&
            IsOctalDigit(field[i + 2]) && IsOctalDigit(field[i + 3])) {
            const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                decoded += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        decoded += field[i];
    }
    return decoded;
}

TMountTable ParseMountInfo(const std::string& text) {
    TMountTable table;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        TMountEntry entry;
        if (ParseLine(line, entry)) {
            table.push_back(std::move(entry));
        }
    }
    return table;
}

bool ReadMountTable(const std::string& path, TMountTable& table) {
    std::string text;
    if (!ReadWhole(path, text)) {
        return false;
    }
    table = ParseMountInfo(text);
    return true;
}

bool IsVolume(const TMountEntry& entry) {
    if (entry.Source.compare(0, 5, "/dev/") != 0) {
        return false;
    }
    return entry.FsType != "iso9660" && entry.FsType != "udf";
}

std::vector<std::string> NewVolumeMountPoints(const TMountTable& before, const TMountTable& after) {
    std::set<TMountKey> earlier;
    for (const TMountEntry& entry : before) {
        earlier.insert(KeyOf(entry));
    }
    std::set<std::string> stayedDevices;
    for (const TMountEntry& entry : after) {
        if (earlier.count(KeyOf(entry)) != 0) {
            stayedDevices.insert(entry.Device);
        }
    }
    std::vector<std::string> arrived;
    std::set<std::string> seen;
    for (const TMountEntry& entry : after) {
        if (earlier.count(KeyOf(entry)) != 0 || !IsVolume(entry) || stayedDevices.count(entry.Device) != 0) {
            continue;
        }
        if (seen.insert(entry.MountPoint).second) {
            arrived.push_back(entry.MountPoint);
        }
    }
    return arrived;
}

bool IsMounted(const TMountTable& table, const std::string& mountPoint) {
    for (const TMountEntry& entry : table) {
        if (entry.MountPoint == mountPoint) {
            return true;
        }
    }
    return false;
}

// ---- TMountWatch --------------------------------------------------------------------

TMountWatch::~TMountWatch() {
    Close();
}

bool TMountWatch::Open(const std::string& path) {
    Close();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    TMountTable table;
    if (!ReadMountTable(path, table)) {
        const int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    fd_ = fd;
    path_ = path;
    table_ = std::move(table);
    return true;
}

void TMountWatch::Close() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
    path_.clear();
    table_.clear();
}

std::vector<std::string> TMountWatch::Refresh() {
    if (fd_ < 0) {
        return {};
    }
    TMountTable table;
    if (!ReadMountTable(path_, table)) {
        return {};
    }
    std::vector<std::string> arrived = NewVolumeMountPoints(table_, table);
    table_ = std::move(table);
    return arrived;
}

} // namespace tandemora
