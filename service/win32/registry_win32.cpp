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

WinError Win32Registry::DeleteTree(RegistryHive hive, const std::string& path) {
    return static_cast<WinError>(RegDeleteTreeW(Root(hive), Widen(path).c_str()));
}

}  // namespace dovrel
