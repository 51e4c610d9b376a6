#include "panel_registry_win32.h"

#include <vector>

#include "panel_system_win32.h"

namespace {

HKEY AsHkey(PanelRegistry::Key key) {
    return reinterpret_cast<HKEY>(key);
}

long Open(HKEY parent, const std::u16string& name, PanelRegistry::Key* key) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExW(parent, Wide(name), 0, KEY_ALL_ACCESS, &opened);
    *key = status == ERROR_SUCCESS ? reinterpret_cast<PanelRegistry::Key>(opened) : 0;
    return status;
}

long Create(HKEY parent, const std::u16string& name, PanelRegistry::Key* key) {
    HKEY created = nullptr;
    const LONG status = RegCreateKeyExW(parent, Wide(name), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, &created, nullptr);
    *key = status == ERROR_SUCCESS ? reinterpret_cast<PanelRegistry::Key>(created) : 0;
    return status;
}

}  // namespace

long Win32PanelRegistry::OpenUserKey(const std::u16string& path, Key* key) {
    return Open(HKEY_CURRENT_USER, path, key);
}

long Win32PanelRegistry::CreateUserKey(const std::u16string& path, Key* key) {
    return Create(HKEY_CURRENT_USER, path, key);
}

long Win32PanelRegistry::OpenSubKey(Key parent, const std::u16string& name, Key* key) {
    return Open(AsHkey(parent), name, key);
}

long Win32PanelRegistry::CreateSubKey(Key parent, const std::u16string& name, Key* key) {
    return Create(AsHkey(parent), name, key);
}

long Win32PanelRegistry::EnumSubKey(Key key, uint32_t index, std::u16string* name) {
    // Windows keeps key names to 255 characters, but a registry that holds longer ones must
    // not end the listing there: the buffer grows until the name fits.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        const LONG status = RegEnumKeyExW(AsHkey(key), index, buffer.data(), &length, nullptr,
                                          nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS)
            name->assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
        if (status != ERROR_MORE_DATA || buffer.size() >= 32768)
            return status;
        buffer.resize(buffer.size() * 2);
    }
}

long Win32PanelRegistry::QueryDword(Key key, const std::u16string& name, uint32_t* value) {
    DWORD type = 0, data = 0, size = sizeof data;
    const LONG status = RegQueryValueExW(AsHkey(key), Wide(name), nullptr, &type,
                                         reinterpret_cast<BYTE*>(&data), &size);
    if (status != ERROR_SUCCESS)
        return status;
    // A value of another type or size is as unreadable as a missing one.
    if (type != REG_DWORD || size != sizeof data)
        return ERROR_INVALID_DATA;
    *value = data;
    return ERROR_SUCCESS;
}

long Win32PanelRegistry::SetDword(Key key, const std::u16string& name, uint32_t value) {
    const DWORD data = value;
    return RegSetValueExW(AsHkey(key), Wide(name), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&data), sizeof data);
}

long Win32PanelRegistry::DeleteSubKey(Key parent, const std::u16string& name) {
    return RegDeleteKeyW(AsHkey(parent), Wide(name));
}

void Win32PanelRegistry::CloseKey(Key key) {
    if (key != 0)
        RegCloseKey(AsHkey(key));
}
