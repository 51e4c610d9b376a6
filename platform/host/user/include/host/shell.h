// The process side of the simulated user session: the user's token (elevation), program
// starts through the shell with the "runas" verb and its consent prompt, CreateProcess, and
// the paths and version a program asks Windows for. Results and errors as Windows gives them
// (last error through host/user_types.h).
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/os_version.h"
#include "host/user_types.h"

namespace host {
class FileSystem;
class Processes;
}  // namespace host

namespace host::user {

using ProcessId = uint32_t;

constexpr uint32_t SEE_MASK_NOCLOSEPROCESS = 0x00000040;
constexpr uint32_t SEE_MASK_FLAG_NO_UI = 0x00000400;
constexpr uint64_t SE_ERR_FNF = 2;
constexpr uint64_t SE_ERR_PNF = 3;
constexpr uint64_t SE_ERR_ACCESSDENIED = 5;
constexpr uint64_t SE_ERR_NOASSOC = 31;
constexpr uint32_t ERROR_NO_ASSOCIATION = 1155;
constexpr uint32_t ERROR_MOD_NOT_FOUND = 126;

// SHELLEXECUTEINFOW, the fields this model reads and fills.
struct ShellExecuteInfo {
    uint32_t mask = 0;
    Hwnd hwnd = 0;
    std::u16string verb;  // "", "open" or "runas"
    std::u16string file;
    std::u16string parameters;
    std::u16string directory;
    int show = 0;
    uint64_t instApp = 0;   // out: > 32 on success, an SE_ERR_ code otherwise
    ProcessId process = 0;  // out, with SEE_MASK_NOCLOSEPROCESS
};

// A consent prompt the shell showed for "runas".
struct ElevationPrompt {
    std::u16string file;
    std::u16string parameters;
    bool allowed = false;
};

class Shell {
  public:
    struct Options {
        OsVersion version;
        // User account control (major version 6 and later): programs start with the
        // filtered token and need "runas" and the user's consent to be elevated.
        bool userAccountControl = true;
        std::u16string userName = u"User";
    };

    // Creates the user's temporary folder on drive C: (Vista and later:
    // "C:\Users\<user>\AppData\Local\Temp", earlier:
    // "C:\Documents and Settings\<user>\Local Settings\Temp").
    Shell(Processes& processes, FileSystem& files, Options options);

    const OsVersion& Version() const { return options_.version; }

    // --- token ----------------------------------------------------------------------------
    // Whether a process runs elevated: started elevated, or without user account control (or
    // before Windows 6) as the administrator it is. The simulator's own threads (process 0)
    // are elevated.
    bool IsProcessElevated(ProcessId id);
    // GetTokenInformation(TokenElevation) for the calling thread's process; before Windows 6
    // the class does not exist (false, ERROR_INVALID_PARAMETER).
    bool GetTokenElevation(bool* elevated);
    void SetProcessElevated(ProcessId id, bool elevated);

    // --- starting programs ----------------------------------------------------------------
    // CreateProcess(nullptr, commandLine): the child inherits the caller's elevation.
    uint32_t CreateProcess(const std::u16string& commandLine, ProcessId* id);
    // ShellExecuteEx: starts `file` with `parameters` ("\"file\" parameters"). "runas" on a
    // system with user account control shows the consent prompt (answered from the queue,
    // allowed by default) and starts the program elevated; refused: false with
    // ERROR_CANCELLED. A missing program: false with its CreateProcess error.
    bool ShellExecuteEx(ShellExecuteInfo* info);
    void QueueElevationAnswer(bool allow);
    std::vector<ElevationPrompt> ElevationPrompts();
    // Replaces how a command line becomes a process (by default Processes::Create).
    using Launcher = std::function<uint32_t(const std::string& commandLine, ProcessId* id)>;
    void SetLauncher(Launcher launcher);

    // --- what a program asks about itself and the system ----------------------------------
    bool GetVersionEx(OsVersionInfo* info);
    // The buffer rules of the W functions: the length without the terminating NUL when it
    // fits, else (GetModuleFileName) the truncated `size` with ERROR_INSUFFICIENT_BUFFER, or
    // (GetTempPath, GetSystemDirectory, GetWindowsDirectory) the size needed with the NUL.
    // `out` receives what the buffer holds, without the NUL.
    uint32_t GetModuleFileName(uint32_t size, std::u16string* out);
    std::u16string GetCommandLine();
    uint32_t GetTempPath(uint32_t size, std::u16string* out);
    uint32_t GetSystemDirectory(uint32_t size, std::u16string* out);
    uint32_t GetWindowsDirectory(uint32_t size, std::u16string* out);
    std::u16string TempPath() const { return tempPath_; }

  private:
    bool DefaultElevation() const;
    uint32_t Launch(const std::string& commandLine, bool elevated, ProcessId* id);

    Processes& processes_;
    FileSystem& files_;
    Options options_;
    std::u16string tempPath_;
    std::mutex mutex_;
    std::map<ProcessId, bool> elevation_;
    std::vector<bool> answers_;
    std::vector<ElevationPrompt> prompts_;
    Launcher launcher_;
};

}  // namespace host::user
