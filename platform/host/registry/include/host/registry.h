// The machine registry of the simulated Windows: one tree for the kernel's absolute paths
// ("\Registry\Machine\...", "\Registry\User\...") and the Win32 roots that user-mode ports
// open (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS). Key and value
// names keep the case they were created with and are compared without regard to it; string
// data is stored as Windows stores it, UTF-16LE with its terminating null. Every operation
// answers with a Win32 error code (host/win32_error.h), as the Reg* functions do.
//
// The tree persists to a line-oriented text file (see docs/host-kernel.md, "Registry file").
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/win32_error.h"

namespace host {

// Value types, with Windows' numbers (REG_NONE ... REG_QWORD).
enum RegType : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegDwordBigEndian = 5,
    kRegLink = 6,
    kRegMultiSz = 7,
    kRegQword = 11,
};

struct RegistryValue {
    std::string name;  // as created; "" is the key's default value
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

// The outcome of reading a registry file: on failure, the first offending line and why.
struct RegistryLoadResult {
    bool ok = true;
    size_t line = 0;
    std::string error;
};

class Registry {
  public:
    // The security identifier under which the simulated user's hive (HKEY_CURRENT_USER)
    // lives below "\Registry\User".
    static constexpr const char* kCurrentUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";

    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The one registry of the simulated machine; the kernel's Rtl registry routines use it.
    static Registry& Machine();

    // Keys. A path starts at "\Registry" or at one of the Win32 roots ("HKEY_LOCAL_MACHINE"
    // or "HKLM", "HKEY_CURRENT_USER" or "HKCU", "HKEY_CLASSES_ROOT" or "HKCR", "HKEY_USERS"
    // or "HKU"); components are separated by backslashes.
    //
    // CreateKey creates every missing key along the path (RegCreateKeyEx); CreateLeafKey
    // creates only the last one and fails with kErrorFileNotFound when its parent is missing
    // (the kernel's NtCreateKey).
    uint32_t CreateKey(std::string_view path, bool* created = nullptr);
    uint32_t CreateLeafKey(std::string_view path, bool* created = nullptr);
    bool KeyExists(std::string_view path) const;
    // Deletes a key that has no subkeys (kErrorAccessDenied otherwise, as RegDeleteKey).
    uint32_t DeleteKey(std::string_view path);
    // Deletes a key with all its subkeys (RegDeleteTree on the key itself).
    uint32_t DeleteTree(std::string_view path);
    // Subkey names in Windows' order (sorted without regard to case).
    uint32_t EnumKeys(std::string_view path, std::vector<std::string>* names) const;
    // The key's path as stored ("\REGISTRY\MACHINE\SOFTWARE\Ampfx"), if it exists.
    std::optional<std::string> CanonicalPath(std::string_view path) const;

    // Values. SetValue needs an existing key (kErrorFileNotFound otherwise).
    uint32_t SetValue(std::string_view path, std::string_view name, uint32_t type, const void* data,
                      size_t size);
    // RegQueryValueEx: with `data` null only the size is reported; with a buffer that is too
    // small the call fails with kErrorMoreData and `*size` holds the size needed.
    uint32_t QueryValue(std::string_view path, std::string_view name, uint32_t* type, void* data,
                        uint32_t* size) const;
    std::optional<RegistryValue> GetValue(std::string_view path, std::string_view name) const;
    uint32_t DeleteValue(std::string_view path, std::string_view name);
    // Values in the order they were first created.
    uint32_t EnumValues(std::string_view path, std::vector<RegistryValue>* values) const;

    // Typed helpers over SetValue/GetValue. Strings are UTF-8 here and UTF-16 in the tree.
    uint32_t SetDword(std::string_view path, std::string_view name, uint32_t value);
    uint32_t SetQword(std::string_view path, std::string_view name, uint64_t value);
    uint32_t SetString(std::string_view path, std::string_view name, std::string_view value,
                       uint32_t type = kRegSz);
    uint32_t SetMultiString(std::string_view path, std::string_view name,
                            const std::vector<std::string>& strings);
    uint32_t SetBinary(std::string_view path, std::string_view name,
                       const std::vector<uint8_t>& bytes);
    // Present only when the value exists with exactly that type and shape.
    std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) const;
    std::optional<uint64_t> GetQword(std::string_view path, std::string_view name) const;
    // REG_SZ or REG_EXPAND_SZ, up to the first null.
    std::optional<std::string> GetString(std::string_view path, std::string_view name) const;
    std::optional<std::vector<std::string>> GetMultiString(std::string_view path,
                                                           std::string_view name) const;

    // The whole tree. Clear leaves the keys every Windows machine has (the hive roots,
    // SOFTWARE\Classes, SYSTEM\CurrentControlSet with Control\Class, Enum and Services, the
    // user's hive with its Software key).
    void Clear();
    // The text of the subtree at `path` in the registry file format; "\Registry" is all of it.
    std::string Export(std::string_view path = "\\Registry") const;
    // Replaces the whole tree by the file text; on any error the tree is left as it was.
    RegistryLoadResult Load(std::string_view text);
    // Adds the keys and values of the text to the tree (a later value replaces an earlier
    // one); on any error nothing is changed.
    RegistryLoadResult Merge(std::string_view text);
    bool SaveFile(const std::string& fileName, std::string* error) const;
    RegistryLoadResult LoadFile(const std::string& fileName);

    struct Key;

  private:
    RegistryLoadResult Read(std::string_view text, bool replace);

    mutable std::mutex mutex_;
    std::unique_ptr<Key> root_;
};

// UTF-16LE data of a string value (with its terminating null) and of a multi-string value
// (each string null-terminated, then one more null), and back.
std::vector<uint8_t> RegStringData(std::string_view text);
std::vector<uint8_t> RegMultiStringData(const std::vector<std::string>& strings);
std::string RegStringFromData(const std::vector<uint8_t>& data);
std::vector<std::string> RegMultiStringFromData(const std::vector<uint8_t>& data);

}  // namespace host
