// The panel's process and machine ports over Win32: version, command line, elevation, the
// single-instance mutex, folders, profile strings, files and resource libraries.
#include "panel_system_win32.h"

#include <shellapi.h>
#include <shlobj.h>

#include "win32_layout.h"

namespace {

constexpr DWORD kPathLimit = MAX_PATH;

LPCWSTR TypeName(ResourceType type) {
    return type.name != nullptr ? reinterpret_cast<LPCWSTR>(type.name) : MAKEINTRESOURCEW(type.id);
}

BOOL CALLBACK FirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
    *reinterpret_cast<WORD*>(found) = language;
    return FALSE;
}

class Win32File : public PanelFile {
  public:
    explicit Win32File(HANDLE file) : file_(file) {}
    ~Win32File() override { CloseHandle(file_); }
    bool Read(void* buffer, uint32_t size, uint32_t* got) override {
        DWORD read = 0;
        const BOOL ok = ReadFile(file_, buffer, size, &read, nullptr);
        *got = ok ? read : 0;
        return ok != FALSE;
    }
    bool Write(const void* buffer, uint32_t size) override {
        DWORD written = 0;
        return WriteFile(file_, buffer, size, &written, nullptr) && written == size;
    }
    bool Seek(uint32_t offset) override {
        return SetFilePointer(file_, static_cast<LONG>(offset), nullptr, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER;
    }

  private:
    HANDLE file_;
};

std::u16string OwnPath() {
    wchar_t path[kPathLimit] = {};
    GetModuleFileNameW(nullptr, path, kPathLimit);
    return FromWide(path);
}

}  // namespace

const void* Win32ResourceModule::Locate(ResourceType type, uint16_t id, DWORD* size) {
    *size = 0;
    HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), TypeName(type));
    if (found == nullptr) {
        // FindResource prefers the user's languages; a skin may carry only another one.
        WORD language = 0xFFFF;
        EnumResourceLanguagesW(module_, TypeName(type), MAKEINTRESOURCEW(id), FirstLanguage,
                               reinterpret_cast<LONG_PTR>(&language));
        if (language != 0xFFFF)
            found = FindResourceExW(module_, TypeName(type), MAKEINTRESOURCEW(id), language);
    }
    if (found == nullptr)
        return nullptr;
    HGLOBAL loaded = LoadResource(module_, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data != nullptr)
        *size = SizeofResource(module_, found);
    return data;
}

bool Win32ResourceModule::FindResource(ResourceType type, uint16_t id,
                                       std::vector<uint8_t>* bytes) {
    DWORD size = 0;
    const auto* data = static_cast<const uint8_t*>(Locate(type, id, &size));
    if (data == nullptr)
        return false;
    bytes->assign(data, data + size);
    return true;
}

bool Win32ResourceModule::CallIsQEXDefaultSkin(int* result) {
    using Entry = int (*)();
    const auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(module_, "IsQEXDefaultSkin")));
    if (entry == nullptr)
        return false;
    *result = entry();
    return true;
}

bool Win32ResourceModule::CallGetResourceName(std::u16string* name) {
    using Entry = const wchar_t* (*)();
    const auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(module_, "GetResourceName")));
    if (entry == nullptr)
        return false;
    *name = FromWide(entry());
    return true;
}

Win32PanelSystem::Win32PanelSystem() : own_(GetModuleHandleW(nullptr), OwnPath()) {}

uint32_t Win32PanelSystem::OsMajorVersion() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version))
        return 0;
    return version.dwMajorVersion;
}

std::u16string Win32PanelSystem::CommandLine() {
    return FromWide(GetCommandLineW());
}

std::u16string Win32PanelSystem::CommandLineTail() {
    return CommandLineTailOf(CommandLine());
}

std::u16string Win32PanelSystem::ModuleFileName() {
    return OwnPath();
}

void Win32PanelSystem::ShellExecuteRunas(const std::u16string& file, const std::u16string& params) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = 0x440;  // SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = Wide(file);
    info.lpParameters = Wide(params);
    info.lpDirectory = nullptr;
    info.nShow = 0;
    if (ShellExecuteExW(&info) && info.hProcess != nullptr)
        CloseHandle(info.hProcess);
}

bool Win32PanelSystem::CreateNamedMutex(const std::u16string& name, bool* alreadyExisted) {
    // The handle is never closed: the mutex marks the running panel until the process ends.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, Wide(name));
    *alreadyExisted = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    return mutex != nullptr;
}

std::u16string Win32PanelSystem::SystemDirectory() {
    wchar_t path[kPathLimit] = {};
    GetSystemDirectoryW(path, kPathLimit);
    return FromWide(path);
}

std::u16string Win32PanelSystem::TempPath() {
    wchar_t path[kPathLimit + 1] = {};
    GetTempPathW(kPathLimit, path);
    return FromWide(path);
}

std::u16string Win32PanelSystem::ReadProfileString(const std::u16string& section,
                                                   const std::u16string& key,
                                                   const std::u16string& fallback,
                                                   const std::u16string& file) {
    wchar_t value[kPathLimit] = {};
    GetPrivateProfileStringW(Wide(section), Wide(key), Wide(fallback), value, kPathLimit,
                             Wide(file));
    return FromWide(value);
}

bool Win32PanelSystem::WriteProfileString(const std::u16string& section, const std::u16string& key,
                                          const std::u16string& value, const std::u16string& file) {
    return WritePrivateProfileStringW(Wide(section), Wide(key), Wide(value), Wide(file)) != FALSE;
}

std::vector<std::u16string> Win32PanelSystem::FindFiles(const std::u16string& pattern) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(Wide(pattern), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(FromWide(entry.cFileName));
    while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

ResourceModule* Win32PanelSystem::LoadLibrary(const std::u16string& path) {
    HMODULE module = LoadLibraryW(Wide(path));
    if (module == nullptr)
        return nullptr;
    std::unique_ptr<Win32ResourceModule>& wrapper = loaded_[{module, path}];
    if (!wrapper)
        wrapper = std::make_unique<Win32ResourceModule>(module, path);
    return wrapper.get();
}

void Win32PanelSystem::FreeLibrary(ResourceModule* module) {
    for (auto it = loaded_.begin(); it != loaded_.end(); ++it)
        if (it->second.get() == module) {
            ::FreeLibrary(it->first.first);
            loaded_.erase(it);
            return;
        }
}

bool Win32PanelSystem::WriteWholeFile(const std::u16string& path,
                                      const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                               &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::unique_ptr<PanelFile> Win32PanelSystem::OpenFile(const std::u16string& path, FileOpen mode) {
    const DWORD access = mode == FileOpen::Read ? GENERIC_READ : GENERIC_WRITE;
    const DWORD disposition = mode == FileOpen::Create ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE file = CreateFileW(Wide(path), access, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<Win32File>(file);
}

bool Win32PanelSystem::CommonAppDataFolder(std::u16string* folder) {
    wchar_t path[kPathLimit] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path) !=
        S_OK)
        return false;
    *folder = FromWide(path);
    return true;
}

uint32_t Win32PanelSystem::TickCount() {
    return GetTickCount();
}

uint32_t Win32PanelSystem::RegisterWindowMessage(const char* name) {
    return RegisterWindowMessageA(name);
}
