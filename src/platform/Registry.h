#pragma once
// A small registry of keys and typed values (string and 32-bit integer), kept in
// the profile file $XDG_CONFIG_HOME/Tandemora/registry.ini (~/.config when the
// variable is unset). Each key is one section named by its root and path
// ("HKEY_LOCAL_MACHINE\Software\Tandemora"); each value one line, "name=sz:text"
// or "name=dword:0000000A". Key and value names are matched without letter case.
//
// Every call reads the store afresh and every change replaces it atomically, so
// two running programs see each other's values and a failed write leaves the store
// as it was. A store that cannot be written behaves like a key without write
// access: opening for writing fails, writes fail and say why.

#include <cstdint>
#include <string>

namespace tandemora {

inline constexpr const char* HKEY_CURRENT_USER = "HKEY_CURRENT_USER";
inline constexpr const char* HKEY_LOCAL_MACHINE = "HKEY_LOCAL_MACHINE";

// The store file of the current environment.
std::string RegistryStoreFile();

enum class TRegDataType { rdUnknown, rdString, rdInteger };

class TRegistry {
public:
    // Works on RegistryStoreFile() as the environment gives it now.
    TRegistry();
    // Works on the store file StoreFile.
    explicit TRegistry(const std::string& storeFile);

    // The root of the keys opened next (HKEY_LOCAL_MACHINE unless set).
    std::string RootKey = HKEY_LOCAL_MACHINE;

    // Opens Key (a path such as "\Software\Tandemora") for reading and writing,
    // creating it (and the store) when it is missing and CanCreate is set. False when
    // the key is missing and may not be created, or when the store cannot be read or
    // written; LastError tells why.
    bool OpenKey(const std::string& key, bool canCreate);
    // Opens an existing key for reading only; the store is never written.
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    bool KeyExists(const std::string& key) const;
    // The open key's path below the root ("Software\Tandemora"), empty when none.
    const std::string& CurrentPath() const { return currentPath_; }

    bool ValueExists(const std::string& name) const;
    // rdUnknown when the value is missing or holds something of another kind.
    TRegDataType GetDataType(const std::string& name) const;
    // False (Value untouched) when the value is missing or of another type.
    bool ReadString(const std::string& name, std::string& value) const;
    bool ReadInteger(const std::string& name, int32_t& value) const;
    // An integer value: 0 is false, any other number true.
    bool ReadBool(const std::string& name, bool& value) const;

    // False when no key is open for writing, the name or text cannot be stored, or
    // the store cannot be written; LastError tells why.
    bool WriteString(const std::string& name, const std::string& value);
    bool WriteInteger(const std::string& name, int32_t value);
    // Stored as the integer 1 or 0.
    bool WriteBool(const std::string& name, bool value);
    // False when the value did not exist or the store cannot be written.
    bool DeleteValue(const std::string& name);

    const std::string& LastError() const { return lastError_; }

private:
    std::string SectionOf(const std::string& key) const;
    bool ReadRaw(const std::string& name, std::string& raw) const;
    bool WriteRaw(const std::string& name, const std::string& raw);
    bool Fail(const std::string& why);

    std::string storeFile_;
    std::string currentPath_;
    std::string currentSection_;
    bool writable_ = false;
    std::string lastError_;
};

} // namespace tandemora
