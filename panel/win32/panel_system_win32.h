// The panel's process and machine ports over Win32.
#pragma once

#include "win32_api.h"

#include <map>
#include <utility>
#include <memory>

#include "panel_ports.h"

// A library mapped with LoadLibraryW (or the program itself), its resources found by integer
// id in whatever language the library carries them.
class Win32ResourceModule : public ResourceModule {
  public:
    Win32ResourceModule(HMODULE module, std::u16string path)
        : module_(module), path_(std::move(path)) {}
    const std::u16string& Path() const override { return path_; }
    bool FindResource(ResourceType type, uint16_t id, std::vector<uint8_t>* bytes) override;
    bool CallIsQEXDefaultSkin(int* result) override;
    bool CallGetResourceName(std::u16string* name) override;
    HMODULE Handle() const { return module_; }
    // The resource's data in place, valid while the module stays mapped.
    const void* Locate(ResourceType type, uint16_t id, DWORD* size);

  private:
    HMODULE module_;
    std::u16string path_;
};

class Win32PanelSystem : public PanelSystem {
  public:
    Win32PanelSystem();
    uint32_t OsMajorVersion() override;
    std::u16string CommandLine() override;
    std::u16string CommandLineTail() override;
    std::u16string ModuleFileName() override;
    void ShellExecuteRunas(const std::u16string& file, const std::u16string& params) override;
    bool CreateNamedMutex(const std::u16string& name, bool* alreadyExisted) override;
    std::u16string SystemDirectory() override;
    std::u16string TempPath() override;
    std::u16string ReadProfileString(const std::u16string& section, const std::u16string& key,
                                     const std::u16string& fallback,
                                     const std::u16string& file) override;
    bool WriteProfileString(const std::u16string& section, const std::u16string& key,
                            const std::u16string& value, const std::u16string& file) override;
    std::vector<std::u16string> FindFiles(const std::u16string& pattern) override;
    ResourceModule* LoadLibrary(const std::u16string& path) override;
    void FreeLibrary(ResourceModule* module) override;
    ResourceModule& OwnModule() override { return own_; }
    bool WriteWholeFile(const std::u16string& path, const std::vector<uint8_t>& bytes) override;
    std::unique_ptr<PanelFile> OpenFile(const std::u16string& path, FileOpen mode) override;
    bool CommonAppDataFolder(std::u16string* folder) override;
    uint32_t TickCount() override;
    uint32_t RegisterWindowMessage(const char* name) override;

  private:
    Win32ResourceModule own_;
    // One wrapper per library and path it was asked for (the path is what a skin switch
    // records); LoadLibraryW counts the loads itself.
    std::map<std::pair<HMODULE, std::u16string>, std::unique_ptr<Win32ResourceModule>> loaded_;
};

// Text between the panel's UTF-16 strings and the wide-character API (the same units).
inline const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::u16string FromWide(const wchar_t* text) {
    return text == nullptr ? std::u16string()
                           : std::u16string(reinterpret_cast<const char16_t*>(text));
}
