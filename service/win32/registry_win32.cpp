#include "win32_ports.h"

namespace dovrel {

namespace {

HKEY Root(RegistryHive hive) {
    return hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CLASSES_ROOT;
}

class Win32RegistryKey : public RegistryKey {
  public:
    explicit Win32RegistryKey(HKEY key) : key_(key) {}
    ~Win32RegistryKey() override { RegCloseKey(key_); }
    Win32RegistryKey(const Win32RegistryKey&) = delete;
    Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;

    WinError SetDword(const std::string& name, uint32_t value) override {
        const DWORD data = value;
        return static_cast<WinError>(RegSetValueExW(key_, Widen(name).c_str(), 0, REG_DWORD,
                                                    reinterpret_cast<const BYTE*>(&data),
                                                    sizeof data));
    }

    WinError SetString(const std::string& name, RegistryType type,
                       const std::string& text) override {
        if (type != RegistryType::Sz && type != RegistryType::ExpandSz)
            return ERROR_INVALID_PARAMETER;
        const std::wstring wide = Widen(text);
        const DWORD bytes = static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t));
        return static_cast<WinError>(
            RegSetValueExW(key_, Widen(name).c_str(), 0, static_cast<DWORD>(type),
                           reinterpret_cast<const BYTE*>(wide.c_str()), bytes));
    }

    WinError QueryValueType(const std::string& name, RegistryType* type) override {
        DWORD regType = REG_NONE;
        const LONG result =
            RegQueryValueExW(key_, Widen(name).c_str(), nullptr, &regType, nullptr, nullptr);
        if (result == ERROR_SUCCESS)
            *type = static_cast<RegistryType>(regType);
        return static_cast<WinError>(result);
    }

    WinError DeleteValue(const std::string& name) override {
        return static_cast<WinError>(RegDeleteValueW(key_, Widen(name).c_str()));
    }

  private:
    HKEY key_;
};

}  // namespace

WinError Win32Registry::CreateKey(RegistryHive hive, const std::string& path,
                                  std::unique_ptr<RegistryKey>* key) {
    HKEY handle = nullptr;
    const LONG result =
        RegCreateKeyExW(Root(hive), Widen(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (result != ERROR_SUCCESS)
        return static_cast<WinError>(result);
    *key = std::make_unique<Win32RegistryKey>(handle);
    return kErrorSuccess;
}

WinError Win32Registry::OpenKey(RegistryHive hive, const std::string& path,
                                std::unique_ptr<RegistryKey>* key) {
    HKEY handle = nullptr;
    const LONG result = RegOpenKeyExW(Root(hive), Widen(path).c_str(), 0, KEY_READ, &handle);
    if (result != ERROR_SUCCESS)
        return static_cast<WinError>(result);
    *key = std::make_unique<Win32RegistryKey>(handle);
    return kErrorSuccess;
}

namespace {

// RegDeleteTree arrived with Vista; Windows XP and Server 2003 have only RegDeleteKey, which
// deletes a key without subkeys. So the subkeys go first, deepest first.
LONG DeleteKeyAndSubkeys(HKEY parent, const std::wstring& name) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(parent, name.c_str(), 0,
                                KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    // Always the first subkey: each one deleted moves the next into its place.
    for (;;) {
        wchar_t child[256];  // a key name has at most 255 characters
        DWORD length = sizeof child / sizeof child[0];
        result = RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS)
            result = DeleteKeyAndSubkeys(key, std::wstring(child, length));
        if (result != ERROR_SUCCESS) {
            RegCloseKey(key);
            return result;
        }
    }
    RegCloseKey(key);
    return RegDeleteKeyW(parent, name.c_str());
}

}  // namespace

WinError Win32Registry::DeleteTree(RegistryHive hive, const std::string& path) {
    return static_cast<WinError>(DeleteKeyAndSubkeys(Root(hive), Widen(path)));
}

}  // namespace dovrel
