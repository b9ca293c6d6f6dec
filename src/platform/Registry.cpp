#include "platform/Registry.h"

#include "platform/Profile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandemora {

namespace {

const char* const kStringTag = "sz:";
const char* const kIntegerTag = "dword:";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* pw = getpwuid(geteuid())) {
        return pw->pw_dir;
    }
    return ".";
}

// "\Software\\Tandemora\" gives "Software\Tandemora": no empty levels, no
// separators at either end.
std::string NormalizeKey(const std::string& key) {
    std::string result;
    std::size_t pos = 0;
    while (pos <= key.size()) {
        std::size_t next = key.find('\\', pos);
        if (next == std::string::npos) {
            next = key.size();
        }
        if (next > pos) {
            if (!result.empty()) {
                result += '\\';
            }
            result += key.substr(pos, next - pos);
        }
        pos = next + 1;
    }
    return result;
}

// Creates every missing level of Folder, private to the user.
bool MakeFolders(const std::string& folder) {
    if (folder.empty()) {
        return true;
    }
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) {
        return false;
    }
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// A value name must fit on the left of a profile line and read back as written.
bool ValidValueName(const std::string& name) {
    if (name.empty() || name.find_first_of("=\r\n") != std::string::npos) {
        return false;
    }
    if (name.front() == ';' || name.front() == '[' || name.front() == ' ' || name.front() == '\t') {
        return false;
    }
    return name.back() != ' ' && name.back() != '\t';
}

bool ParseInteger(const std::string& raw, int32_t& value) {
    std::string digits = raw.substr(std::strlen(kIntegerTag));
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16)));
    return true;
}

} // namespace

std::string RegistryStoreFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base =
        (config != nullptr && *config != '\0') ? std::string(config) : HomeFolder() + "/.config";
    return base + "/Tandemora/registry.ini";
}

TRegistry::TRegistry() : storeFile_(RegistryStoreFile()) {}

TRegistry::TRegistry(const std::string& storeFile) : storeFile_(storeFile) {}

std::string TRegistry::SectionOf(const std::string& key) const {
    std::string path = NormalizeKey(key);
    return path.empty() ? RootKey : RootKey + "\\" + path;
}

bool TRegistry::Fail(const std::string& why) {
    lastError_ = why;
    return false;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    CloseKey();
    std::string section = SectionOf(key);
    try {
        TProfile store(storeFile_);
        if (!store.SectionExists(section)) {
            if (!canCreate) {
                return Fail("The registry key " + section + " does not exist");
            }
            store.AddSection(section);
        }
        // Replacing the store, changed or not, proves that we may write it; a key we
        // could only read must not be handed out for writing.
        std::size_t slash = storeFile_.rfind('/');
        if (slash != std::string::npos && !MakeFolders(storeFile_.substr(0, slash))) {
            return Fail("Cannot create the folder of " + storeFile_ + ". " + std::strerror(errno));
        }
        store.UpdateFile();
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    currentPath_ = NormalizeKey(key);
    currentSection_ = section;
    writable_ = true;
    lastError_.clear();
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    CloseKey();
    std::string section = SectionOf(key);
    try {
        TProfile store(storeFile_);
        if (!store.SectionExists(section)) {
            return Fail("The registry key " + section + " does not exist");
        }
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    currentPath_ = NormalizeKey(key);
    currentSection_ = section;
    writable_ = false;
    lastError_.clear();
    return true;
}

void TRegistry::CloseKey() {
    currentPath_.clear();
    currentSection_.clear();
    writable_ = false;
}

bool TRegistry::KeyExists(const std::string& key) const {
    std::string section = SectionOf(key);
    try {
        TProfile store(storeFile_);
        for (const std::string& name : store.ReadSections()) {
            // A key also exists when only keys below it were stored.
            if (name.size() >= section.size() &&
                strncasecmp(name.c_str(), section.c_str(), section.size()) == 0 &&
                (name.size() == section.size() || name[section.size()] == '\\')) {
                return true;
            }
        }
    } catch (const std::exception&) {
        return false;
    }
    return false;
}

bool TRegistry::ReadRaw(const std::string& name, std::string& raw) const {
    if (currentSection_.empty()) {
        return false;
    }
    try {
        TProfile store(storeFile_);
        if (!store.ValueExists(currentSection_, name)) {
            return false;
        }
        raw = store.ReadString(currentSection_, name, "");
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TRegistry::WriteRaw(const std::string& name, const std::string& raw) {
    if (currentSection_.empty() || !writable_) {
        return Fail("No registry key is open for writing");
    }
    if (!ValidValueName(name)) {
        return Fail("The registry value name \"" + name + "\" cannot be stored");
    }
    try {
        TProfile store(storeFile_);
        store.WriteString(currentSection_, name, raw);
        store.UpdateFile();
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    lastError_.clear();
    return true;
}

bool TRegistry::ValueExists(const std::string& name) const {
    std::string raw;
    return ReadRaw(name, raw);
}

TRegDataType TRegistry::GetDataType(const std::string& name) const {
    std::string raw;
    int32_t number = 0;
    if (!ReadRaw(name, raw)) {
        return TRegDataType::rdUnknown;
    }
    if (StartsWith(raw, kStringTag)) {
        return TRegDataType::rdString;
    }
    if (StartsWith(raw, kIntegerTag) && ParseInteger(raw, number)) {
        return TRegDataType::rdInteger;
    }
    return TRegDataType::rdUnknown;
}

bool TRegistry::ReadString(const std::string& name, std::string& value) const {
    std::string raw;
    if (!ReadRaw(name, raw) || !StartsWith(raw, kStringTag)) {
        return false;
    }
    value = raw.substr(std::strlen(kStringTag));
    return true;
}

bool TRegistry::ReadInteger(const std::string& name, int32_t& value) const {
    std::string raw;
    if (!ReadRaw(name, raw) || !StartsWith(raw, kIntegerTag)) {
        return false;
    }
    return ParseInteger(raw, value);
}

bool TRegistry::ReadBool(const std::string& name, bool& value) const {
    int32_t number = 0;
    if (!ReadInteger(name, number)) {
        return false;
    }
    value = number != 0;
    return true;
}

bool TRegistry::WriteString(const std::string& name, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        return Fail("A registry string cannot hold a line break");
    }
    return WriteRaw(name, kStringTag + value);
}

bool TRegistry::WriteInteger(const std::string& name, int32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<uint32_t>(value));
    return WriteRaw(name, kIntegerTag + std::string(digits));
}

bool TRegistry::WriteBool(const std::string& name, bool value) {
    return WriteInteger(name, value ? 1 : 0);
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (currentSection_.empty() || !writable_) {
        return Fail("No registry key is open for writing");
    }
    try {
        TProfile store(storeFile_);
        if (!store.DeleteKey(currentSection_, name)) {
            return Fail("The registry value " + name + " does not exist");
        }
        store.UpdateFile();
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    lastError_.clear();
    return true;
}

} // namespace tandemora
