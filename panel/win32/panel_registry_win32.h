// The preset dialog's registry over the Win32 registry functions, under HKEY_CURRENT_USER. A
// key is the HKEY itself.
#pragma once

#include "win32_api.h"

#include "panel_ports.h"

class Win32PanelRegistry : public PanelRegistry {
  public:
    long OpenUserKey(const std::u16string& path, Key* key) override;
    long CreateUserKey(const std::u16string& path, Key* key) override;
    long OpenSubKey(Key parent, const std::u16string& name, Key* key) override;
    long CreateSubKey(Key parent, const std::u16string& name, Key* key) override;
    long EnumSubKey(Key key, uint32_t index, std::u16string* name) override;
    long QueryDword(Key key, const std::u16string& name, uint32_t* value) override;
    long SetDword(Key key, const std::u16string& name, uint32_t value) override;
    long DeleteSubKey(Key parent, const std::u16string& name) override;
    void CloseKey(Key key) override;
};
