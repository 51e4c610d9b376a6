#include "host/shell.h"

#include "host/file_system.h"
#include "host/processes.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host::user {
namespace {

// The buffer rule of GetTempPath and GetSystemDirectory: the length when it fits with its NUL,
// else the size needed, NUL included, and nothing copied.
uint32_t FillPath(const std::u16string& value, uint32_t size, std::u16string* out) {
    if (size < value.size() + 1) {
        if (out != nullptr) {
            out->clear();
        }
        return static_cast<uint32_t>(value.size() + 1);
    }
    if (out != nullptr) {
        *out = value;
    }
    return static_cast<uint32_t>(value.size());
}

}  // namespace

Shell::Shell(Processes& processes, FileSystem& files, Options options)
    : processes_(processes), files_(files), options_(std::move(options)) {
    const std::string user = Utf16ToUtf8(options_.userName);
    std::vector<std::string> folders;
    if (options_.version.major >= 6) {
        folders = {"C:\\Users", "C:\\Users\\" + user, "C:\\Users\\" + user + "\\AppData",
                   "C:\\Users\\" + user + "\\AppData\\Local",
                   "C:\\Users\\" + user + "\\AppData\\Local\\Temp"};
    } else {
        const std::string home = "C:\\Documents and Settings\\" + user;
        folders = {"C:\\Documents and Settings", home, home + "\\Local Settings",
                   home + "\\Local Settings\\Temp"};
    }
    for (const std::string& folder : folders) {
        files_.CreateDirectory(folder);
    }
    tempPath_ = Utf8ToUtf16(folders.back() + "\\");
}

bool Shell::DefaultElevation() const {
    // An administrator without user account control runs with the full token.
    return options_.version.major < 6 || !options_.userAccountControl;
}

bool Shell::IsProcessElevated(ProcessId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == 0) {
        return true;
    }
    auto it = elevation_.find(id);
    return it != elevation_.end() ? it->second : DefaultElevation();
}

bool Shell::GetTokenElevation(bool* elevated) {
    if (options_.version.major < 6) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    *elevated = IsProcessElevated(Processes::Current());
    return true;
}

void Shell::SetProcessElevated(ProcessId id, bool elevated) {
    std::lock_guard<std::mutex> lock(mutex_);
    elevation_[id] = elevated;
}

void Shell::SetLauncher(Launcher launcher) {
    std::lock_guard<std::mutex> lock(mutex_);
    launcher_ = std::move(launcher);
}

uint32_t Shell::Launch(const std::string& commandLine, bool elevated, ProcessId* id) {
    // The lock is held across the start so that the new process cannot ask for its token
    // before it is recorded.
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t error =
        launcher_ ? launcher_(commandLine, id) : processes_.Create(commandLine, id);
    if (error == kErrorSuccess) {
        elevation_[*id] = elevated;
    }
    return error;
}

uint32_t Shell::CreateProcess(const std::u16string& commandLine, ProcessId* id) {
    const bool elevated = IsProcessElevated(Processes::Current());
    const uint32_t error = Launch(Utf16ToUtf8(commandLine), elevated, id);
    if (error != kErrorSuccess) {
        SetLastError(error);
    }
    return error;
}

bool Shell::ShellExecuteEx(ShellExecuteInfo* info) {
    info->process = 0;
    const std::string verb = FoldCase(Utf16ToUtf8(info->verb));
    if (!verb.empty() && verb != "OPEN" && verb != "RUNAS") {
        info->instApp = SE_ERR_NOASSOC;
        SetLastError(ERROR_NO_ASSOCIATION);
        return false;
    }
    if (info->file.empty()) {
        info->instApp = SE_ERR_FNF;
        SetLastError(kErrorFileNotFound);
        return false;
    }
    bool elevated = IsProcessElevated(Processes::Current());
    if (verb == "RUNAS" && options_.version.major >= 6 && options_.userAccountControl &&
        !elevated) {
        bool allow = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!answers_.empty()) {
                allow = answers_.front();
                answers_.erase(answers_.begin());
            }
            prompts_.push_back(ElevationPrompt{info->file, info->parameters, allow});
        }
        if (!allow) {
            info->instApp = SE_ERR_ACCESSDENIED;
            SetLastError(ERROR_CANCELLED);
            return false;
        }
        elevated = true;
    } else if (verb == "RUNAS") {
        elevated = true;  // before user account control, "run as" keeps the administrator
    }
    std::string commandLine = "\"" + Utf16ToUtf8(info->file) + "\"";
    if (!info->parameters.empty()) {
        commandLine += " " + Utf16ToUtf8(info->parameters);
    }
    ProcessId id = 0;
    const uint32_t error = Launch(commandLine, elevated, &id);
    if (error != kErrorSuccess) {
        info->instApp = error == kErrorPathNotFound ? SE_ERR_PNF : SE_ERR_FNF;
        SetLastError(error);
        return false;
    }
    info->instApp = 42;
    if ((info->mask & SEE_MASK_NOCLOSEPROCESS) != 0) {
        info->process = id;
    }
    return true;
}

void Shell::QueueElevationAnswer(bool allow) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(allow);
}

std::vector<ElevationPrompt> Shell::ElevationPrompts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return prompts_;
}

bool Shell::GetVersionEx(OsVersionInfo* info) {
    return GetVersionExFor(options_.version, info);
}

uint32_t Shell::GetModuleFileName(uint32_t size, std::u16string* out) {
    const std::string image = processes_.ImagePath(Processes::Current());
    if (image.empty()) {
        out->clear();
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::u16string path = Utf8ToUtf16(image);
    if (size == 0) {
        out->clear();
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    if (path.size() + 1 > size) {
        // Truncated to the buffer, NUL included, as from Vista on.
        *out = path.substr(0, size - 1);
        SetLastError(kErrorInsufficientBuffer);
        return size;
    }
    *out = path;
    SetLastError(kErrorSuccess);
    return static_cast<uint32_t>(path.size());
}

std::u16string Shell::GetCommandLine() {
    return Utf8ToUtf16(processes_.CommandLine(Processes::Current()));
}

uint32_t Shell::GetTempPath(uint32_t size, std::u16string* out) {
    return FillPath(tempPath_, size, out);
}

uint32_t Shell::GetSystemDirectory(uint32_t size, std::u16string* out) {
    return FillPath(Utf8ToUtf16(FileSystem::kSystemDirectory), size, out);
}

uint32_t Shell::GetWindowsDirectory(uint32_t size, std::u16string* out) {
    return FillPath(u"C:\\Windows", size, out);
}

}  // namespace host::user
