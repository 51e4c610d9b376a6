// What the installer, the wizard and the uninstaller need of Windows, as small interfaces.
// The procedures reach the system only through these; the Windows build implements them
// over Win32 (win32/), the tests over in-memory stand-ins, the simulator over its machine.
// Every operation reports a Win32 error code (0 = success) with the meaning Windows gives
// it, so that a stand-in can fail exactly where Windows fails and the messages can quote it.
// Text is UTF-8 here; paths use backslashes, as Windows returns them.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Method names steer clear of the names <windows.h> turns into macros (DeleteFile,
// CreateDirectory, FindWindow, MessageBox, ...), so the Win32 implementations can include both.
namespace qexinstall {

using WinError = uint32_t;

// The Win32 error codes the installer and its stand-ins use, with Windows' values.
constexpr WinError kErrorSuccess = 0;
constexpr WinError kErrorFileNotFound = 2;
constexpr WinError kErrorPathNotFound = 3;
constexpr WinError kErrorAccessDenied = 5;
constexpr WinError kErrorSharingViolation = 32;
constexpr WinError kErrorInvalidParameter = 87;
constexpr WinError kErrorDirNotEmpty = 145;
constexpr WinError kErrorAlreadyExists = 183;
constexpr WinError kErrorResourceTypeNotFound = 1813;
constexpr WinError kErrorResourceNameNotFound = 1814;
constexpr WinError kErrorServiceAlreadyRunning = 1056;
constexpr WinError kErrorServiceDoesNotExist = 1060;
constexpr WinError kErrorServiceNotActive = 1062;
constexpr WinError kErrorTimeout = 1460;

// ---------------------------------------------------------------------------------------
// Registry (HKEY_LOCAL_MACHINE only; a 32-bit installer on a 64-bit system sees the 32-bit
// view under SOFTWARE, which the system arranges, not the installer)

// Access masks, with their Win32 values.
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyAllAccess = 0xF003F;

enum class RegistryType : uint32_t { Sz = 1, ExpandSz = 2, Dword = 4 };

// How a string value's data is stored: UTF-16 (RegSetValueExW) or 8-bit (RegSetValueExA).
// Either way the data ends with its terminating null.
enum class StringWidth { Wide, Narrow };

class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    virtual WinError SetDword(const std::string& name, uint32_t value) = 0;
    // `type` is Sz or ExpandSz.
    virtual WinError SetString(const std::string& name, RegistryType type, const std::string& text,
                               StringWidth width) = 0;
    virtual WinError DeleteValue(const std::string& name) = 0;
    // RegFlushKey.
    virtual WinError Flush() = 0;
};

class Registry {
  public:
    virtual ~Registry() = default;
    // RegCreateKeyEx: opens the key, creating it and any missing parents; `keyClass` is the
    // class string a new key gets (empty for none).
    virtual WinError CreateKey(const std::string& path, const std::string& keyClass,
                               uint32_t access, std::unique_ptr<RegistryKey>* key) = 0;
    // RegOpenKeyEx: kErrorFileNotFound when the key does not exist.
    virtual WinError OpenKey(const std::string& path, uint32_t access,
                             std::unique_ptr<RegistryKey>* key) = 0;
    // RegDeleteKey: a key without subkeys.
    virtual WinError DeleteKey(const std::string& path) = 0;
};

// ---------------------------------------------------------------------------------------
// Files and folders

// A file opened for writing (CreateFile with GENERIC_WRITE, CREATE_ALWAYS); closed when
// destroyed.
class OutputFile {
  public:
    virtual ~OutputFile() = default;
    // WriteFile: stores how many bytes went out, which a full disk makes fewer than asked.
    virtual WinError Write(const uint8_t* data, uint32_t size, uint32_t* written) = 0;
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // GetSystemDirectory, as this process sees it.
    virtual WinError SystemDirectory(std::string* path) = 0;
    // GetCurrentDirectory: where the installer was started from.
    virtual WinError CurrentDirectory(std::string* path) = 0;
    // Fails with the reason Windows gives: a file in use by a running program
    // (kErrorSharingViolation), read-only (kErrorAccessDenied), a missing folder.
    virtual WinError CreateForWriting(const std::string& path,
                                      std::unique_ptr<OutputFile>* file) = 0;
    // CreateDirectory: kErrorAlreadyExists when it is there.
    virtual WinError MakeDirectory(const std::string& path) = 0;
    // RemoveDirectory: only an empty folder (kErrorDirNotEmpty otherwise).
    virtual WinError RemoveEmptyDirectory(const std::string& path) = 0;
    // SHFileOperation FO_DELETE without confirmation or progress: the folder and everything
    // in it.
    virtual WinError RemoveTree(const std::string& path) = 0;
    virtual WinError RemoveFile(const std::string& path) = 0;
    // CopyFile, replacing an existing target.
    virtual WinError CopyOver(const std::string& from, const std::string& to) = 0;
    // FindFirstFile/FindNextFile over a pattern such as "C:\dir\*.dll": the names (without
    // folder) in directory order, dot entries included when the pattern matches them.
    // kErrorFileNotFound / kErrorPathNotFound when nothing matches.
    virtual WinError FindFiles(const std::string& pattern, std::vector<std::string>* names) = 0;
    // WritePrivateProfileString(section, key, value, file).
    virtual WinError WriteIniString(const std::string& section, const std::string& key,
                                    const std::string& value, const std::string& file) = 0;
    // WritePrivateProfileString(NULL, NULL, NULL, file): drops the system's cached copy.
    virtual WinError FlushProfileCache(const std::string& file) = 0;
};

// The process's view of a 64-bit system.
class Wow64 {
  public:
    virtual ~Wow64() = default;
    // IsWow64Process of the current process, looked up at run time in kernel32; a system
    // without it (a 32-bit one) reports false.
    virtual bool IsWow64() = 0;
    // Whether the installer is itself a 64-bit program (the x86_64 build); such a program
    // never runs under WOW64 but does run on a 64-bit system.
    virtual bool Is64BitProcess() = 0;
    // Wow64DisableWow64FsRedirection / Wow64RevertWow64FsRedirection for the calling thread,
    // looked up at run time.
    virtual WinError DisableFsRedirection() = 0;
    virtual WinError RevertFsRedirection() = 0;
    // GetSystemWow64Directory, looked up at run time: the folder a 32-bit program's writes to
    // the system folder really land in.
    virtual WinError SystemWow64Directory(std::string* path) = 0;
};

// The payload resources of the running program: FindResource + LoadResource/LockResource/
// SizeofResource by custom type name and integer id, language-neutral.
struct Payload {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

class Resources {
  public:
    virtual ~Resources() = default;
    virtual WinError Find(const std::string& type, uint16_t id) = 0;
    virtual WinError Load(const std::string& type, uint16_t id, Payload* payload) = 0;
};

// Shell: special folders, shortcuts and the skin libraries' names.
class Shell {
  public:
    virtual ~Shell() = default;
    // SHGetSpecialFolderPath(CSIDL_COMMON_PROGRAMS).
    virtual WinError CommonProgramsFolder(std::string* path) = 0;
    // SHGetSpecialFolderPath(CSIDL_COMMON_APPDATA, create).
    virtual WinError CommonAppDataFolder(bool create, std::string* path) = 0;
    // A Shell Link (CoCreateInstance(CLSID_ShellLink), SetPath, IPersistFile::Save) at
    // `linkPath` pointing at `target` without arguments.
    virtual WinError SaveShellLink(const std::string& target, const std::string& linkPath) = 0;
    // LoadLibrary the file and call its exported GetResourceName. Fails when the file is no
    // library or lacks the export; `name` may be empty.
    virtual WinError QuerySkinName(const std::string& libraryPath, std::string* name) = 0;
};

// ---------------------------------------------------------------------------------------
// Services and processes

constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceControlStop = 1;

class ServiceHandle {
  public:
    virtual ~ServiceHandle() = default;
    // QueryServiceStatus: the current state.
    virtual WinError QueryState(uint32_t* state) = 0;
    // StartService without arguments.
    virtual WinError Start() = 0;
    // ControlService.
    virtual WinError Control(uint32_t code) = 0;
};

class ServiceDatabase {
  public:
    virtual ~ServiceDatabase() = default;
    virtual WinError OpenByName(const std::string& name, uint32_t access,
                                std::unique_ptr<ServiceHandle>* service) = 0;
};

class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    // OpenSCManager on the local machine's active database.
    virtual WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) = 0;
};

constexpr uint32_t kHighPriorityClass = 0x80;

class Process {
  public:
    virtual ~Process() = default;
    // WaitForSingleObject on the primary thread: true when it ended within the time.
    virtual bool WaitForThread(uint32_t milliseconds) = 0;
};

class Processes {
  public:
    virtual ~Processes() = default;
    // CreateProcess(NULL, commandLine, ..., inheritHandles, priorityClass, ...).
    virtual WinError Start(const std::string& commandLine, bool inheritHandles,
                           uint32_t priorityClass, std::unique_ptr<Process>* process) = 0;
};

// ---------------------------------------------------------------------------------------
// Windows, messages, message boxes, time and sound

using WindowHandle = uint64_t;  // an HWND's value; 0 = none

class Windows {
  public:
    virtual ~Windows() = default;
    // FindWindow(NULL, title): a top-level window with that title, 0 when none.
    virtual WindowHandle FindTopLevel(const std::string& title) = 0;
    // RegisterWindowMessage.
    virtual uint32_t RegisterMessage(const std::string& name) = 0;
    // SendMessage; returns when the receiver has handled it.
    virtual void Send(WindowHandle window, uint32_t message, uint64_t wParam, int64_t lParam) = 0;
    // The message to every top-level window (HWND_BROADCAST).
    virtual void Broadcast(uint32_t message, uint64_t wParam, int64_t lParam) = 0;
};

enum class BoxIcon { Error, Question, Information };
enum class BoxButtons { Ok, YesNo };
enum class BoxAnswer { Ok, Yes, No };

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // MessageBox owned by `owner` (0 = none); returns the user's answer.
    virtual BoxAnswer Show(WindowHandle owner, const std::string& text, const std::string& caption,
                           BoxIcon icon, BoxButtons buttons) = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual void Sleep(uint32_t milliseconds) = 0;
    // Beep(frequency, duration).
    virtual void Beep(uint32_t frequencyHz, uint32_t milliseconds) = 0;
};

// Everything the two procedures are wired to.
struct InstallPorts {
    Registry& registry;
    FileSystem& files;
    Wow64& wow64;
    Resources& resources;
    Shell& shell;
    ServiceManager& services;
    Processes& processes;
    Windows& windows;
    MessageBoxes& messageBoxes;
    Clock& clock;
};

}  // namespace qexinstall
