#include "win32_ports.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace qexinstall {

namespace {

WinError LastError() {
    return static_cast<WinError>(GetLastError());
}

// ---------------------------------------------------------------------------------------

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

    WinError SetString(const std::string& name, RegistryType type, const std::string& text,
                       StringWidth width) override {
        if (width == StringWidth::Narrow) {
            // Only the driver's image path is written narrow, and it is plain ASCII.
            return static_cast<WinError>(RegSetValueExA(
                key_, name.c_str(), 0, static_cast<DWORD>(type),
                reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(text.size() + 1)));
        }
        const std::wstring wide = Widen(text);
        return static_cast<WinError>(
            RegSetValueExW(key_, Widen(name).c_str(), 0, static_cast<DWORD>(type),
                           reinterpret_cast<const BYTE*>(wide.c_str()),
                           static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))));
    }

    WinError DeleteValue(const std::string& name) override {
        return static_cast<WinError>(RegDeleteValueW(key_, Widen(name).c_str()));
    }

    WinError Flush() override { return static_cast<WinError>(RegFlushKey(key_)); }

  private:
    HKEY key_;
};

}  // namespace

WinError Win32Registry::CreateKey(const std::string& path, const std::string& keyClass,
                                  uint32_t access, std::unique_ptr<RegistryKey>* key) {
    HKEY handle = nullptr;
    std::wstring wideClass = Widen(keyClass);
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), 0,
                                        keyClass.empty() ? nullptr : &wideClass[0],
                                        REG_OPTION_NON_VOLATILE, access, nullptr, &handle, nullptr);
    if (result != ERROR_SUCCESS)
        return static_cast<WinError>(result);
    *key = std::make_unique<Win32RegistryKey>(handle);
    return kErrorSuccess;
}

WinError Win32Registry::OpenKey(const std::string& path, uint32_t access,
                                std::unique_ptr<RegistryKey>* key) {
    HKEY handle = nullptr;
    const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), 0, access, &handle);
    if (result != ERROR_SUCCESS)
        return static_cast<WinError>(result);
    *key = std::make_unique<Win32RegistryKey>(handle);
    return kErrorSuccess;
}

WinError Win32Registry::DeleteKey(const std::string& path) {
    return static_cast<WinError>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Widen(path).c_str()));
}

// ---------------------------------------------------------------------------------------

namespace {

class Win32OutputFile : public OutputFile {
  public:
    explicit Win32OutputFile(HANDLE file) : file_(file) {}
    ~Win32OutputFile() override { CloseHandle(file_); }
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;

    WinError Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
        DWORD done = 0;
        const BOOL ok = WriteFile(file_, data, size, &done, nullptr);
        *written = done;
        return ok ? kErrorSuccess : LastError();
    }

  private:
    HANDLE file_;
};

}  // namespace

WinError Win32FileSystem::SystemDirectory(std::string* path) {
    wchar_t buffer[261];
    const UINT length = GetSystemDirectoryW(buffer, 261);
    if (length == 0 || length >= 261)
        return length == 0 ? LastError() : static_cast<WinError>(ERROR_INSUFFICIENT_BUFFER);
    *path = Narrow(std::wstring(buffer, length));
    return kErrorSuccess;
}

WinError Win32FileSystem::CurrentDirectory(std::string* path) {
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    if (length == 0)
        return LastError();
    std::wstring buffer(length, L'\0');
    const DWORD got = GetCurrentDirectoryW(length, &buffer[0]);
    if (got == 0 || got >= length)
        return LastError();
    buffer.resize(got);
    *path = Narrow(buffer);
    return kErrorSuccess;
}

WinError Win32FileSystem::CreateForWriting(const std::string& path,
                                           std::unique_ptr<OutputFile>* file) {
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return LastError();
    *file = std::make_unique<Win32OutputFile>(handle);
    return kErrorSuccess;
}

WinError Win32FileSystem::MakeDirectory(const std::string& path) {
    return CreateDirectoryW(Widen(path).c_str(), nullptr) ? kErrorSuccess : LastError();
}

WinError Win32FileSystem::RemoveEmptyDirectory(const std::string& path) {
    return RemoveDirectoryW(Widen(path).c_str()) ? kErrorSuccess : LastError();
}

WinError Win32FileSystem::RemoveTree(const std::string& path) {
    std::wstring from = Widen(path);
    from.push_back(L'\0');  // the list ends with an empty name
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
    const int result = SHFileOperationW(&operation);
    return result == 0 && !operation.fAnyOperationsAborted ? kErrorSuccess
                                                           : static_cast<WinError>(result);
}

WinError Win32FileSystem::RemoveFile(const std::string& path) {
    return DeleteFileW(Widen(path).c_str()) ? kErrorSuccess : LastError();
}

WinError Win32FileSystem::CopyOver(const std::string& from, const std::string& to) {
    return CopyFileW(Widen(from).c_str(), Widen(to).c_str(), FALSE) ? kErrorSuccess : LastError();
}

WinError Win32FileSystem::FindFiles(const std::string& pattern, std::vector<std::string>* names) {
    names->clear();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Widen(pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return LastError();
    do {
        names->push_back(Narrow(data.cFileName));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return kErrorSuccess;
}

WinError Win32FileSystem::WriteIniString(const std::string& section, const std::string& key,
                                         const std::string& value, const std::string& file) {
    return WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(),
                                      Widen(value).c_str(), Widen(file).c_str())
               ? kErrorSuccess
               : LastError();
}

WinError Win32FileSystem::FlushProfileCache(const std::string& file) {
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, Widen(file).c_str());
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

namespace {

template <typename Function>
Function Kernel32(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), name)));
}

}  // namespace

bool Win32Wow64::IsWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process = Kernel32<IsWow64ProcessFn>("IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

WinError Win32Wow64::DisableFsRedirection() {
    using DisableFn = BOOL(WINAPI*)(PVOID*);
    auto disable = Kernel32<DisableFn>("Wow64DisableWow64FsRedirection");
    if (!disable)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return disable(&saved_) ? kErrorSuccess : LastError();
}

WinError Win32Wow64::RevertFsRedirection() {
    using RevertFn = BOOL(WINAPI*)(PVOID);
    auto revert = Kernel32<RevertFn>("Wow64RevertWow64FsRedirection");
    if (!revert)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return revert(saved_) ? kErrorSuccess : LastError();
}

WinError Win32Wow64::SystemWow64Directory(std::string* path) {
    using DirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
    auto directory = Kernel32<DirectoryFn>("GetSystemWow64DirectoryW");
    if (!directory)
        return ERROR_CALL_NOT_IMPLEMENTED;
    wchar_t buffer[261];
    const UINT length = directory(buffer, 261);
    if (length == 0 || length >= 261)
        return length == 0 ? LastError() : static_cast<WinError>(ERROR_INSUFFICIENT_BUFFER);
    *path = Narrow(std::wstring(buffer, length));
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

WinError Win32Resources::Find(const std::string& type, uint16_t id) {
    return FindResourceW(nullptr, MAKEINTRESOURCEW(id), Widen(type).c_str()) ? kErrorSuccess
                                                                             : LastError();
}

WinError Win32Resources::Load(const std::string& type, uint16_t id, Payload* payload) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), Widen(type).c_str());
    if (!found)
        return LastError();
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return LastError();
    payload->data = static_cast<const uint8_t*>(data);
    payload->size = SizeofResource(nullptr, found);
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

namespace {

WinError SpecialFolder(int csidl, bool create, std::string* path) {
    wchar_t buffer[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, buffer, csidl, create ? TRUE : FALSE))
        return ERROR_PATH_NOT_FOUND;
    *path = Narrow(buffer);
    return kErrorSuccess;
}

}  // namespace

WinError Win32Shell::CommonProgramsFolder(std::string* path) {
    return SpecialFolder(CSIDL_COMMON_PROGRAMS, false, path);
}

WinError Win32Shell::CommonAppDataFolder(bool create, std::string* path) {
    return SpecialFolder(CSIDL_COMMON_APPDATA, create, path);
}

WinError Win32Shell::SaveShellLink(const std::string& target, const std::string& linkPath) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkW, reinterpret_cast<void**>(&link));
    if (SUCCEEDED(result)) {
        result = link->SetPath(Widen(target).c_str());
        IPersistFile* file = nullptr;
        if (SUCCEEDED(result))
            result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
        if (SUCCEEDED(result)) {
            result = file->Save(Widen(linkPath).c_str(), TRUE);
            file->Release();
        }
        link->Release();
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return SUCCEEDED(result) ? kErrorSuccess : static_cast<WinError>(result);
}

WinError Win32Shell::QuerySkinName(const std::string& libraryPath, std::string* name) {
    HMODULE library = LoadLibraryW(Widen(libraryPath).c_str());
    if (!library)
        return LastError();
    using GetResourceNameFn = const wchar_t* (*)();
    auto getName = reinterpret_cast<GetResourceNameFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "GetResourceName")));
    WinError error = kErrorSuccess;
    if (!getName) {
        error = LastError();
    } else {
        const wchar_t* text = getName();
        *name = text ? Narrow(text) : std::string();
    }
    FreeLibrary(library);
    return error;
}

// ---------------------------------------------------------------------------------------

namespace {

class Win32ServiceHandle : public ServiceHandle {
  public:
    explicit Win32ServiceHandle(SC_HANDLE service) : service_(service) {}
    ~Win32ServiceHandle() override { CloseServiceHandle(service_); }
    Win32ServiceHandle(const Win32ServiceHandle&) = delete;
    Win32ServiceHandle& operator=(const Win32ServiceHandle&) = delete;

    WinError QueryState(uint32_t* state) override {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service_, &status))
            return LastError();
        *state = status.dwCurrentState;
        return kErrorSuccess;
    }
    WinError Start() override {
        return StartServiceW(service_, 0, nullptr) ? kErrorSuccess : LastError();
    }
    WinError Control(uint32_t code) override {
        SERVICE_STATUS status = {};
        return ::ControlService(service_, code, &status) ? kErrorSuccess : LastError();
    }

  private:
    SC_HANDLE service_;
};

class Win32ServiceDatabase : public ServiceDatabase {
  public:
    explicit Win32ServiceDatabase(SC_HANDLE manager) : manager_(manager) {}
    ~Win32ServiceDatabase() override { CloseServiceHandle(manager_); }
    Win32ServiceDatabase(const Win32ServiceDatabase&) = delete;
    Win32ServiceDatabase& operator=(const Win32ServiceDatabase&) = delete;

    WinError OpenByName(const std::string& name, uint32_t access,
                        std::unique_ptr<ServiceHandle>* service) override {
        SC_HANDLE handle = OpenServiceW(manager_, Widen(name).c_str(), access);
        if (!handle)
            return LastError();
        *service = std::make_unique<Win32ServiceHandle>(handle);
        return kErrorSuccess;
    }

  private:
    SC_HANDLE manager_;
};

class Win32Process : public Process {
  public:
    explicit Win32Process(const PROCESS_INFORMATION& info) : info_(info) {}
    ~Win32Process() override {
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    Win32Process(const Win32Process&) = delete;
    Win32Process& operator=(const Win32Process&) = delete;

    bool WaitForThread(uint32_t milliseconds) override {
        return WaitForSingleObject(info_.hThread, milliseconds) == WAIT_OBJECT_0;
    }

  private:
    PROCESS_INFORMATION info_;
};

}  // namespace

WinError Win32ServiceManager::Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    if (!manager)
        return LastError();
    *database = std::make_unique<Win32ServiceDatabase>(manager);
    return kErrorSuccess;
}

WinError Win32Processes::Start(const std::string& commandLine, bool inheritHandles,
                               uint32_t priorityClass, std::unique_ptr<Process>* process) {
    std::wstring line = Widen(commandLine);  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                        priorityClass, nullptr, nullptr, &startup, &info))
        return LastError();
    *process = std::make_unique<Win32Process>(info);
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

WindowHandle Win32Windows::FindTopLevel(const std::string& title) {
    return reinterpret_cast<WindowHandle>(FindWindowW(nullptr, Widen(title).c_str()));
}

uint32_t Win32Windows::RegisterMessage(const std::string& name) {
    return RegisterWindowMessageW(Widen(name).c_str());
}

void Win32Windows::Send(WindowHandle window, uint32_t message, uint64_t wParam, int64_t lParam) {
    SendMessageW(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                 static_cast<LPARAM>(lParam));
}

void Win32Windows::Broadcast(uint32_t message, uint64_t wParam, int64_t lParam) {
    // A hung window somewhere else must not hold the uninstall forever.
    SendMessageTimeoutW(HWND_BROADCAST, message, static_cast<WPARAM>(wParam),
                        static_cast<LPARAM>(lParam), SMTO_ABORTIFHUNG, 5000, nullptr);
}

BoxAnswer Win32MessageBoxes::Show(WindowHandle owner, const std::string& text,
                                  const std::string& caption, BoxIcon icon, BoxButtons buttons) {
    const UINT type = (icon == BoxIcon::Error      ? MB_ICONERROR
                       : icon == BoxIcon::Question ? MB_ICONQUESTION
                                                   : MB_ICONINFORMATION) |
                      (buttons == BoxButtons::YesNo ? MB_YESNO : MB_OK);
    const int answer = MessageBoxW(reinterpret_cast<HWND>(owner), Widen(text).c_str(),
                                   Widen(caption).c_str(), type);
    if (buttons == BoxButtons::Ok)
        return BoxAnswer::Ok;
    return answer == IDYES ? BoxAnswer::Yes : BoxAnswer::No;
}

void Win32Clock::Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

void Win32Clock::Beep(uint32_t frequencyHz, uint32_t milliseconds) {
    ::Beep(frequencyHz, milliseconds);
}

WinError Win32Shutdown::EnablePrivilege(const std::string& name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return LastError();
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    WinError error = kErrorSuccess;
    if (!LookupPrivilegeValueW(nullptr, Widen(name).c_str(), &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr))
        error = LastError();
    else if (GetLastError() == ERROR_NOT_ALL_ASSIGNED)
        error = ERROR_NOT_ALL_ASSIGNED;
    CloseHandle(token);
    return error;
}

WinError Win32Shutdown::Reboot() {
    return ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_FLAG_PLANNED)
               ? kErrorSuccess
               : LastError();
}

}  // namespace qexinstall
