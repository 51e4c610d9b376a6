// The installer's ports over the simulated machine, its wizard window and both programs.
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/user_session.h"
// clang-format off
#include "installer_host.h"

#include <filesystem>
#include <optional>
#include <thread>

#include "host/file_system.h"
#include "host/modules.h"
#include "host/processes.h"
#include "host/registry.h"
#include "host/registry_view.h"
#include "host/text.h"
#include "host/user_system.h"
#include "names.h"
#include "procedures.h"
// clang-format on

namespace installerhost {

namespace fs = std::filesystem;
namespace user = host::user;
using namespace qexinstall;
using host::Utf16ToUtf8;
using host::Utf8ToUtf16;

namespace {

constexpr uint32_t kBnClicked = 0;
constexpr uint32_t kCbnSelChange = 1;
constexpr uint32_t kMsgTerminate = 0x8000 + 0x21;  // WM_APP + 0x21: the process is terminated

// Writes with the thread's redirection off, for a path already resolved through its view.
class NativeView {
  public:
    NativeView() : previous_(host::FileSystem::ThreadRedirectionDisabled()) {
        host::FileSystem::SetThreadRedirectionDisabled(true);
    }
    ~NativeView() { host::FileSystem::SetThreadRedirectionDisabled(previous_); }

  private:
    bool previous_;
};

// --- registry -----------------------------------------------------------------------------

class HostKey : public RegistryKey {
  public:
    HostKey(std::string path, bool writable) : path_(std::move(path)), writable_(writable) {}

    WinError SetDword(const std::string& name, uint32_t value) override {
        if (WinError error = Check())
            return error;
        return host::Registry::Machine().SetDword(path_, name, value);
    }
    // RegSetValueExA converts the string types to UTF-16 before it stores them, so both widths
    // end up the same in the registry.
    WinError SetString(const std::string& name, RegistryType type, const std::string& text,
                       StringWidth) override {
        if (WinError error = Check())
            return error;
        return host::Registry::Machine().SetString(path_, name, text, static_cast<uint32_t>(type));
    }
    WinError DeleteValue(const std::string& name) override {
        if (WinError error = Check())
            return error;
        return host::Registry::Machine().DeleteValue(path_, name);
    }
    WinError Flush() override {
        return host::Registry::Machine().KeyExists(path_) ? kErrorSuccess : kErrorKeyDeleted;
    }

  private:
    static constexpr WinError kErrorKeyDeleted = 1018;
    WinError Check() const {
        if (!host::Registry::Machine().KeyExists(path_))
            return kErrorKeyDeleted;
        return writable_ ? kErrorSuccess : kErrorAccessDenied;
    }

    std::string path_;
    bool writable_;
};

class HostRegistry : public Registry {
  public:
    WinError CreateKey(const std::string& path, const std::string&, uint32_t access,
                       std::unique_ptr<RegistryKey>* key) override {
        const std::string full = Full(path);
        if (WinError error = host::Registry::Machine().CreateKey(full))
            return error;
        *key = std::make_unique<HostKey>(full, Writable(access));
        return kErrorSuccess;
    }
    WinError OpenKey(const std::string& path, uint32_t access,
                     std::unique_ptr<RegistryKey>* key) override {
        const std::string full = Full(path);
        if (!host::Registry::Machine().KeyExists(full))
            return kErrorFileNotFound;
        *key = std::make_unique<HostKey>(full, Writable(access));
        return kErrorSuccess;
    }
    WinError DeleteKey(const std::string& path) override {
        return host::Registry::Machine().DeleteKey(Full(path));
    }

  private:
    static bool Writable(uint32_t access) { return (access & (kKeySetValue | 0x10000)) != 0; }
    // A 32-bit program on a 64-bit machine sees SOFTWARE through the 32-bit view.
    static std::string Full(const std::string& path) {
        const bool wow64 = host::Processes::IsWow64(host::Processes::Current());
        return "HKLM\\" + (wow64 ? host::Wow64LocalMachinePath(path) : path);
    }
};

// --- files --------------------------------------------------------------------------------

class HostOutputFile : public OutputFile {
  public:
    HostOutputFile(host::FileSystem& files, std::string path)
        : files_(files), path_(std::move(path)) {}
    WinError Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
        content_.insert(content_.end(), data, data + size);
        NativeView native;
        const WinError error = files_.WriteFile(path_, content_);
        *written = error == kErrorSuccess ? size : 0;
        return error;
    }

  private:
    host::FileSystem& files_;
    std::string path_;  // as the opening thread's view resolved it
    std::vector<uint8_t> content_;
};

class HostFiles : public FileSystem {
  public:
    HostFiles(host::FileSystem& files, user::Files& api, std::string current)
        : files_(files), api_(api), current_(std::move(current)) {}

    WinError SystemDirectory(std::string* path) override {
        *path = host::FileSystem::kSystemDirectory;
        return kErrorSuccess;
    }
    WinError CurrentDirectory(std::string* path) override {
        *path = current_;
        return kErrorSuccess;
    }
    WinError CreateForWriting(const std::string& path, std::unique_ptr<OutputFile>* file) override {
        // CREATE_ALWAYS empties the file when it opens.
        const std::string resolved = files_.ViewPath(path);
        NativeView native;
        if (WinError error = files_.WriteFile(resolved, {}))
            return error;
        *file = std::make_unique<HostOutputFile>(files_, resolved);
        return kErrorSuccess;
    }
    WinError MakeDirectory(const std::string& path) override {
        return files_.CreateDirectory(path);
    }
    WinError RemoveEmptyDirectory(const std::string& path) override {
        const std::string host = files_.HostPath(path);
        std::error_code error;
        if (host.empty() || !fs::exists(host, error))
            return kErrorFileNotFound;
        if (!fs::is_directory(host, error))
            return kErrorInvalidName;
        if (!fs::is_empty(host, error))
            return kErrorDirNotEmpty;
        return fs::remove(host, error) ? kErrorSuccess : kErrorAccessDenied;
    }
    WinError RemoveTree(const std::string& path) override {
        const std::string host = files_.HostPath(path);
        std::error_code error;
        if (host.empty() || !fs::is_directory(host, error))
            return kErrorFileNotFound;
        // Deletes what it can; a file in use stays, and so does its folder.
        const std::string resolved = files_.ViewPath(path);
        NativeView native;
        return RemoveContents(resolved) ? kErrorSuccess : kErrorAccessDenied;
    }
    WinError RemoveFile(const std::string& path) override { return files_.DeleteFile(path); }
    WinError CopyOver(const std::string& from, const std::string& to) override {
        std::vector<uint8_t> bytes;
        if (WinError error = files_.ReadFile(from, &bytes))
            return error;
        return files_.WriteFile(to, bytes);
    }
    WinError FindFiles(const std::string& pattern, std::vector<std::string>* names) override {
        user::FindData data;
        const user::Handle find = api_.FindFirstFile(Utf8ToUtf16(pattern), &data);
        if (find == user::kInvalidHandle)
            return user::GetLastError();
        do
            names->push_back(Utf16ToUtf8(data.fileName));
        while (api_.FindNextFile(find, &data));
        api_.FindClose(find);
        return kErrorSuccess;
    }
    WinError WriteIniString(const std::string& section, const std::string& key,
                            const std::string& value, const std::string& file) override {
        const std::u16string s = Utf8ToUtf16(section), k = Utf8ToUtf16(key), v = Utf8ToUtf16(value);
        return api_.WritePrivateProfileString(&s, &k, &v, Utf8ToUtf16(file)) ? kErrorSuccess
                                                                             : user::GetLastError();
    }
    // The session keeps no cached copy of a profile: every write goes to the file.
    WinError FlushProfileCache(const std::string&) override { return kErrorSuccess; }

  private:
    static constexpr WinError kErrorInvalidName = 267;  // ERROR_DIRECTORY

    bool RemoveContents(const std::string& folder) {
        bool all = true;
        const std::string host = files_.HostPath(folder);
        std::error_code error;
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(host, error))
            names.push_back(entry.path().filename().string());
        for (const std::string& name : names) {
            const std::string child = folder + "\\" + name;
            if (files_.DirectoryExists(child))
                all = RemoveContents(child) && all;
            else
                all = files_.DeleteFile(child) == kErrorSuccess && all;
        }
        if (all)
            all = fs::remove(host, error);
        return all;
    }

    host::FileSystem& files_;
    user::Files& api_;
    std::string current_;
};

class HostWow64 : public Wow64 {
  public:
    bool IsWow64() override { return host::Processes::IsWow64(host::Processes::Current()); }
    bool Is64BitProcess() override { return false; }
    WinError DisableFsRedirection() override {
        if (!IsWow64())
            return kErrorInvalidFunction;
        host::FileSystem::SetThreadRedirectionDisabled(true);
        return kErrorSuccess;
    }
    WinError RevertFsRedirection() override {
        if (!IsWow64())
            return kErrorInvalidFunction;
        host::FileSystem::SetThreadRedirectionDisabled(false);
        return kErrorSuccess;
    }
    WinError SystemWow64Directory(std::string* path) override {
        // A 32-bit system has no such folder: the call fails as Windows' does there.
        if (!IsWow64() && !Is64BitProcess())
            return kErrorCallNotImplemented;
        *path = host::FileSystem::kWow64Directory;
        return kErrorSuccess;
    }

  private:
    static constexpr WinError kErrorInvalidFunction = 1;
    static constexpr WinError kErrorCallNotImplemented = 120;
};

class HostResources : public Resources {
  public:
    explicit HostResources(const PayloadTable& payloads) : payloads_(payloads) {}
    WinError Find(const std::string& type, uint16_t id) override {
        bool typeKnown = false;
        for (const auto& entry : payloads_) {
            if (host::EqualsIgnoreCase(entry.first.first, type)) {
                typeKnown = true;
                if (entry.first.second == id)
                    return kErrorSuccess;
            }
        }
        return typeKnown ? kErrorResourceNameNotFound : kErrorResourceTypeNotFound;
    }
    WinError Load(const std::string& type, uint16_t id, Payload* payload) override {
        if (WinError error = Find(type, id))
            return error;
        for (const auto& entry : payloads_) {
            if (host::EqualsIgnoreCase(entry.first.first, type) && entry.first.second == id) {
                payload->data = entry.second.data();
                payload->size = static_cast<uint32_t>(entry.second.size());
            }
        }
        return kErrorSuccess;
    }

  private:
    const PayloadTable& payloads_;
};

class HostShell : public Shell {
  public:
    HostShell(host::FileSystem& files, host::Modules& modules, uint32_t osMajor)
        : files_(files), modules_(modules), vista_(osMajor >= 6) {}

    WinError CommonProgramsFolder(std::string* path) override {
        *path = vista_ ? "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"
                       : "C:\\Documents and Settings\\All Users\\Start Menu\\Programs";
        // Every Windows has the folder; the simulated drive makes it when first asked.
        MakePath(*path);
        return kErrorSuccess;
    }
    WinError CommonAppDataFolder(bool create, std::string* path) override {
        *path =
            vista_ ? "C:\\ProgramData" : "C:\\Documents and Settings\\All Users\\Application Data";
        if (create)
            MakePath(*path);
        return files_.DirectoryExists(*path) ? kErrorSuccess : kErrorPathNotFound;
    }
    WinError SaveShellLink(const std::string& target, const std::string& linkPath) override {
        return user::SaveShellLink(files_, linkPath, user::ShellLink{target, ""});
    }
    WinError QuerySkinName(const std::string& libraryPath, std::string* name) override {
        host::HMODULE module = modules_.LoadLibraryW(Utf8ToUtf16(libraryPath));
        if (module == nullptr)
            return host::Modules::GetLastError();
        host::FarProc function = modules_.GetProcAddress(module, "GetResourceName");
        WinError error = kErrorSuccess;
        if (!function) {
            error = host::Modules::GetLastError();
        } else {
            const char16_t* text = reinterpret_cast<const char16_t*>(function());
            std::u16string wide;
            for (; text != nullptr && *text != u'\0'; ++text)
                wide.push_back(*text);
            *name = Utf16ToUtf8(wide);
        }
        modules_.FreeLibrary(module);
        return error;
    }

  private:
    void MakePath(const std::string& path) {
        for (size_t at = path.find('\\', 3);; at = path.find('\\', at + 1)) {
            const std::string part = path.substr(0, at);
            if (!files_.DirectoryExists(part))
                files_.CreateDirectory(part);
            if (at == std::string::npos)
                break;
        }
    }

    host::FileSystem& files_;
    host::Modules& modules_;
    bool vista_;
};

// --- services and processes ------------------------------------------------------------------

class HostServiceHandle : public ServiceHandle {
  public:
    HostServiceHandle(host::ServiceControlManager& scm, host::ScHandle manager,
                      host::ScHandle service)
        : scm_(scm), manager_(manager), service_(service) {}
    ~HostServiceHandle() override {
        scm_.CloseServiceHandle(service_);
        scm_.CloseServiceHandle(manager_);
    }
    WinError QueryState(uint32_t* state) override {
        host::ServiceStatus status;
        if (WinError error = scm_.QueryServiceStatus(service_, &status))
            return error;
        *state = status.currentState;
        return kErrorSuccess;
    }
    WinError Start() override { return scm_.StartService(service_); }
    WinError Control(uint32_t code) override {
        host::ServiceStatus status;
        return scm_.ControlService(service_, code, &status);
    }

  private:
    host::ServiceControlManager& scm_;
    host::ScHandle manager_;
    host::ScHandle service_;
};

class HostServiceDatabase : public ServiceDatabase {
  public:
    HostServiceDatabase(host::ServiceControlManager& scm, host::ScHandle manager)
        : scm_(scm), manager_(manager) {}
    ~HostServiceDatabase() override {
        if (manager_ != 0)
            scm_.CloseServiceHandle(manager_);
    }
    WinError OpenByName(const std::string& name, uint32_t access,
                        std::unique_ptr<ServiceHandle>* service) override {
        host::ScHandle handle = 0;
        if (WinError error = scm_.OpenService(manager_, name, access, &handle))
            return error;
        // The handle keeps its own manager handle, so it may outlive this object.
        host::ScHandle manager = 0;
        scm_.OpenSCManager(kScManagerAllAccess, &manager);
        *service = std::make_unique<HostServiceHandle>(scm_, manager, handle);
        return kErrorSuccess;
    }

  private:
    host::ServiceControlManager& scm_;
    host::ScHandle manager_;
};

class HostServices : public ServiceManager {
  public:
    explicit HostServices(host::ServiceControlManager& scm) : scm_(scm) {}
    WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override {
        host::ScHandle manager = 0;
        if (WinError error = scm_.OpenSCManager(access, &manager))
            return error;
        *database = std::make_unique<HostServiceDatabase>(scm_, manager);
        return kErrorSuccess;
    }

  private:
    host::ServiceControlManager& scm_;
};

class HostProcess : public Process {
  public:
    HostProcess(host::Processes& processes, host::ProcessId id) : processes_(processes), id_(id) {}
    bool WaitForThread(uint32_t milliseconds) override {
        return processes_.Wait(id_, milliseconds) == kErrorSuccess;
    }

  private:
    host::Processes& processes_;
    host::ProcessId id_;
};

class HostProcesses : public Processes {
  public:
    explicit HostProcesses(host::Processes& processes) : processes_(processes) {}
    WinError Start(const std::string& commandLine, bool, uint32_t,
                   std::unique_ptr<Process>* process) override {
        host::ProcessId id = 0;
        if (WinError error = processes_.Create(commandLine, &id))
            return error;
        *process = std::make_unique<HostProcess>(processes_, id);
        return kErrorSuccess;
    }

  private:
    host::Processes& processes_;
};

// --- windows, boxes, time ----------------------------------------------------------------------

class HostWindows : public Windows {
  public:
    explicit HostWindows(user::Desktop& desktop) : desktop_(desktop) {}
    WindowHandle FindTopLevel(const std::string& title) override {
        return desktop_.FindWindow(u"", Utf8ToUtf16(title));
    }
    uint32_t RegisterMessage(const std::string& name) override {
        return desktop_.RegisterWindowMessage(Utf8ToUtf16(name));
    }
    void Send(WindowHandle window, uint32_t message, uint64_t wParam, int64_t lParam) override {
        desktop_.SendMessage(window, message, wParam, lParam);
    }
    void Broadcast(uint32_t message, uint64_t wParam, int64_t lParam) override {
        desktop_.SendMessage(user::kHwndBroadcast, message, wParam, lParam);
    }

  private:
    user::Desktop& desktop_;
};

using Log = std::function<void(const std::string&)>;

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char ch : text)
        out += ch == '"'    ? std::string("\\\"")
               : ch == '\n' ? std::string("\\n")
                            : std::string(1, ch);
    return out + "\"";
}

class HostBoxes : public MessageBoxes {
  public:
    HostBoxes(user::Desktop& desktop, Log log) : desktop_(desktop), log_(std::move(log)) {}
    BoxAnswer Show(WindowHandle owner, const std::string& text, const std::string& caption,
                   BoxIcon icon, BoxButtons buttons) override {
        uint32_t type = buttons == BoxButtons::YesNo ? user::MB_YESNO : user::MB_OK;
        type |= icon == BoxIcon::Error      ? user::MB_ICONERROR
                : icon == BoxIcon::Question ? user::MB_ICONQUESTION
                                            : user::MB_ICONINFORMATION;
        const int answer =
            desktop_.MessageBox(owner, Utf8ToUtf16(text), Utf8ToUtf16(caption), type);
        log_("messagebox caption=" + Quoted(caption) + " text=" + Quoted(text) +
             (buttons == BoxButtons::YesNo
                  ? std::string(" answer=") + (answer == user::IDYES ? "yes" : "no")
                  : std::string()));
        if (buttons == BoxButtons::Ok)
            return BoxAnswer::Ok;
        return answer == user::IDYES ? BoxAnswer::Yes : BoxAnswer::No;
    }

  private:
    user::Desktop& desktop_;
    Log log_;
};

}  // namespace

// One run of either program: its ports, and for the installer its wizard's view.
struct InstallerPrograms::Running {
    std::mutex mutex;
    WizardView view;
    int languageSelection = 0;
};

namespace {

// The installer's waits give the other programs the time they need: a sleep returns once the
// service manager has nothing in progress and every program that is on its way out has
// ended, at the latest after its time has passed. The simulated clock does not move.
class HostClock : public Clock {
  public:
    HostClock(host::UserSystem& system, user::Desktop& desktop, Log log)
        : system_(system), desktop_(desktop), log_(std::move(log)) {}
    void Sleep(uint32_t milliseconds) override {
        system_.services().WaitIdle(milliseconds);
        host::Processes& processes = system_.processes();
        const host::ProcessId self = host::Processes::Current();
        const host::ProcessId service = system_.services().ServiceProcess(kServiceName);
        for (host::ProcessId other : processes.RunningProcesses()) {
            if (other == self || other == service)
                continue;
            // A program whose window thread no longer waits for input is ending.
            if (desktop_.WaitForInputIdle(other, 0) == kErrorWaitTimeoutValue)
                processes.Wait(other, milliseconds);
        }
    }
    void Beep(uint32_t frequencyHz, uint32_t milliseconds) override {
        log_("beep=" + std::to_string(frequencyHz) + "Hz," + std::to_string(milliseconds) + "ms");
    }

  private:
    static constexpr uint32_t kErrorWaitTimeoutValue = 258;
    host::UserSystem& system_;
    user::Desktop& desktop_;
    Log log_;
};

// Every port of one process.
struct ProgramPorts {
    HostRegistry registry;
    HostFiles files;
    HostWow64 wow64;
    HostResources resources;
    HostShell shell;
    HostServices services;
    HostProcesses processes;
    HostWindows windows;
    HostBoxes boxes;
    HostClock clock;
    InstallPorts ports{registry, files,     wow64,   resources, shell,
                       services, processes, windows, boxes,     clock};

    ProgramPorts(user::UserSession& session, host::UserSystem& system, host::Modules& modules,
                 const PayloadTable& payloads, const std::string& current, Log log)
        : files(system.files(), session.files(), current),
          resources(payloads),
          shell(system.files(), modules, session.shell().Version().major),
          services(system.services()),
          processes(system.processes()),
          windows(session.desktop()),
          boxes(session.desktop(), log),
          clock(system, session.desktop(), log) {}
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

const char* PageName(PageKind kind) {
    switch (kind) {
        case PageKind::Operation:
            return "operation";
        case PageKind::Language:
            return "language";
        case PageKind::Progress:
            return "progress";
        case PageKind::Done:
            return "done";
    }
    return "?";
}

std::string ButtonNames(uint32_t mask) {
    std::string names;
    for (const auto& [bit, name] : {std::pair<uint32_t, const char*>{kButtonBack, "Back"},
                                    {kButtonNext, "Next"},
                                    {kButtonFinish, "Finish"},
                                    {kButtonCancel, "Cancel"}})
        if (mask & bit)
            names += (names.empty() ? "" : ",") + std::string(name);
    return names.empty() ? "none" : names;
}

// The wizard's frame as a desktop window; what it shows is mirrored into the run's view.
class HostWizardWindow : public WizardWindow {
  public:
    HostWizardWindow(user::Desktop& desktop, std::mutex& runMutex, WizardView& view)
        : desktop_(desktop), mutex_(runMutex), view_(view) {}
    ~HostWizardWindow() override { JoinWorker(); }
    void JoinWorker() {
        if (worker_.joinable())
            worker_.join();
    }

    void Log(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.log.push_back(line);
    }
    void SetHandle(user::Hwnd hwnd) { hwnd_ = hwnd; }
    WindowHandle Handle() override { return hwnd_; }
    void SetCaption(const std::string& caption) override {
        desktop_.SetWindowText(hwnd_, Utf8ToUtf16(caption));
    }
    void CreatePage(PageKind kind) override {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.pages.push_back(kind);
    }
    void ShowPage(PageKind kind, bool visible) override {
        if (!visible)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < view_.pages.size(); ++i)
            if (view_.pages[i] == kind)
                view_.page = static_cast<int>(i) + 1;
    }
    void DestroyPage(PageKind) override {}
    // Every page change ends with the page's buttons, so this is where a page is reported.
    void EnableButtons(uint32_t mask) override {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.buttons = mask;
        const PageKind kind = view_.pages[static_cast<size_t>(view_.page - 1)];
        view_.log.push_back("page=" + std::to_string(view_.page) + "/" +
                            std::to_string(view_.pages.size()) + " " + PageName(kind) +
                            " buttons=" + ButtonNames(mask));
    }
    void EnableCloseItem(bool enabled) override {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.closeItem = enabled;
        view_.log.push_back(std::string("close-item=") + (enabled ? "enabled" : "grayed"));
    }
    void SetProgressText(uint16_t stringId) override {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.progressText = stringId;
        view_.log.push_back(std::string("text=\"") +
                            (stringId == kStrUninstalling ? kUninstallingText : "?") + "\"");
    }
    void SetProgressBar(uint32_t percent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        view_.progress.push_back(percent);
        view_.log.push_back("progress=" + std::to_string(percent));
    }
    bool ConfirmExit() override {
        const bool yes = desktop_.MessageBox(hwnd_, Utf8ToUtf16(kConfirmText),
                                             Utf8ToUtf16(kWizardResourceCaption),
                                             user::MB_YESNO | user::MB_ICONQUESTION) == user::IDYES;
        Log(std::string("confirm text=\"") + kConfirmText + "\" answer=" + (yes ? "yes" : "no"));
        return yes;
    }
    void Close() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            view_.open = false;
            view_.log.push_back("closed");
        }
        desktop_.DestroyWindow(hwnd_);
        desktop_.PostQuitMessage(0);
    }
    void StartWorker(std::function<void()> body) override {
        const host::ProcessId process = host::Processes::Current();
        worker_ = std::thread([process, body] {
            host::Processes::ThreadScope scope(process);
            body();
        });
    }
    void SendProgress(uint32_t percent) override {
        desktop_.SendMessage(hwnd_, kMsgProgress, percent, 0);
    }
    void SendWorkerDone() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            view_.workerDone = true;
        }
        desktop_.SendMessage(hwnd_, kMsgWorkerDone, 0, 0);
    }

  private:
    user::Desktop& desktop_;
    std::mutex& mutex_;
    WizardView& view_;
    user::Hwnd hwnd_ = 0;
    std::thread worker_;
};

class HostShutdown : public Shutdown {
  public:
    HostShutdown(user::SystemShutdown& shutdown, uint32_t process, HostWizardWindow& window)
        : shutdown_(shutdown), process_(process), window_(window) {}
    WinError EnablePrivilege(const std::string& name) override {
        const WinError error = shutdown_.EnablePrivilege(process_, name);
        window_.Log("privilege " + name + " error=" + std::to_string(error));
        return error;
    }
    WinError Reboot() override {
        const WinError error = shutdown_.ExitWindowsEx(process_, user::EWX_REBOOT);
        window_.Log("reboot error=" + std::to_string(error));
        return error;
    }

  private:
    user::SystemShutdown& shutdown_;
    uint32_t process_;
    HostWizardWindow& window_;
};

// A progress sink for the uninstaller, which shows none.
class NoProgress : public ProgressSink {
  public:
    void Report(uint32_t) override {}
};

}  // namespace

InstallerPrograms::InstallerPrograms(user::UserSession& session, host::UserSystem& system,
                                     host::Modules& modules, PayloadTable payloads)
    : session_(session), system_(system), modules_(modules), payloads_(std::move(payloads)) {}

InstallerPrograms::~InstallerPrograms() {
    system_.processes().UnregisterProgram(kInstallerImageName);
    system_.processes().UnregisterProgram(kUninstallerImageName);
}

void InstallerPrograms::Register() {
    system_.processes().RegisterProgram(
        kInstallerImageName, [this](const std::string& a) { return InstallerMain(a); }, true);
    system_.processes().RegisterProgram(
        kUninstallerImageName, [this](const std::string& a) { return UninstallerMain(a); }, true);
}

std::optional<WizardView> InstallerPrograms::Wizard() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (runs_.empty())
        return std::nullopt;
    std::lock_guard<std::mutex> runLock(runs_.back()->mutex);
    return runs_.back()->view;
}

void InstallerPrograms::SelectLanguage(int position) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (runs_.empty())
        return;
    std::lock_guard<std::mutex> runLock(runs_.back()->mutex);
    runs_.back()->languageSelection = position;
}

int InstallerPrograms::InstallerMain(const std::string&) {
    const host::ProcessId process = host::Processes::Current();
    auto run = std::make_shared<Running>();
    run->view.process = process;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        runs_.push_back(run);
    }
    user::Desktop& desktop = session_.desktop();
    HostWizardWindow window(desktop, run->mutex, run->view);
    ProgramPorts ports(session_, system_, modules_, payloads_,
                       FolderOf(system_.processes().ImagePath(process)),
                       [&window](const std::string& line) { window.Log(line); });
    HostShutdown shutdown(shutdown_, process, window);
    CQEXAudioControlInstallDlg wizard(window, ports.ports, shutdown);

    user::WindowCreation creation;
    creation.className = u"#32770";
    creation.title = Utf8ToUtf16(kWizardResourceCaption);
    creation.style = user::WS_VISIBLE;
    creation.width = 456;
    creation.height = 291;
    creation.dialog = true;
    creation.proc = [&](user::Hwnd hwnd, uint32_t message, user::WParam w,
                        user::LParam l) -> user::LResult {
        switch (message) {
            case user::WM_INITDIALOG:
                window.SetHandle(hwnd);
                {
                    std::lock_guard<std::mutex> lock(run->mutex);
                    run->view.hwnd = hwnd;
                    run->view.open = true;
                }
                wizard.OnInitDialog();
                return 1;
            case user::WM_COMMAND: {
                const int id = static_cast<int>(w & 0xFFFF);
                const uint32_t code = static_cast<uint32_t>((w >> 16) & 0xFFFF);
                const PageKind page = wizard.CurrentKind();
                if (code == kCbnSelChange && id == kIdLanguageList && page == PageKind::Language) {
                    int position;
                    {
                        std::lock_guard<std::mutex> lock(run->mutex);
                        position = run->languageSelection;
                    }
                    wizard.LanguagePage().OnSelChange(position);
                } else if (code == kBnClicked) {
                    if (id == kIdNext)
                        wizard.OnNext();
                    else if (id == kIdBack)
                        wizard.OnBack();
                    else if (id == kIdFinish)
                        wizard.OnFinish();
                    else if (id == kIdCancel)
                        wizard.OnClose();
                    else if (page == PageKind::Operation)
                        wizard.OperationPage().OnClicked(id);
                    else if (page == PageKind::Done)
                        wizard.DonePage().OnClicked(id);
                }
                break;
            }
            case user::WM_CLOSE:
                wizard.OnClose();
                return 0;
            case kMsgProgress:
                wizard.ProgressPage().OnProgress(static_cast<uint32_t>(w));
                return 0;
            case kMsgWorkerDone:
                wizard.OnWorkerDone();
                return 0;
            case kMsgTerminate:
                desktop.PostQuitMessage(1);
                return 0;
            default:
                break;
        }
        if (!wizard.Closed()) {
            std::lock_guard<std::mutex> lock(run->mutex);
            run->view.operation = wizard.operation;
            run->view.language = wizard.language;
            run->view.reboot = wizard.reboot;
        }
        return desktop.DefWindowProc(hwnd, message, w, l);
    };
    const user::Hwnd hwnd = desktop.CreateWindowEx(creation);
    if (hwnd == 0)
        return 1;
    // A simulated process cannot be killed: a termination ends the message loop instead.
    system_.processes().OnTerminate(
        process, [&desktop, hwnd] { desktop.PostMessage(hwnd, kMsgTerminate, 0, 0); });
    user::Msg msg;
    int exitCode = 0;
    while (desktop.GetMessage(&msg) > 0)
        desktop.DispatchMessage(msg);
    if (desktop.IsWindow(hwnd)) {
        exitCode = 1;  // terminated with the wizard open
        desktop.DestroyWindow(hwnd);
    }
    window.JoinWorker();
    return exitCode;
}

int InstallerPrograms::UninstallerMain(const std::string&) {
    const host::ProcessId process = host::Processes::Current();
    ProgramPorts ports(session_, system_, modules_, payloads_,
                       FolderOf(system_.processes().ImagePath(process)), [](const std::string&) {});
    if (ports.boxes.Show(0, kUninstallerQuestion, kUninstallerCaption, BoxIcon::Question,
                         BoxButtons::YesNo) != BoxAnswer::Yes)
        return 1;
    NoProgress progress;
    RunUninstall(ports.ports, progress, 0);
    ports.boxes.Show(0, kUninstallerDone, kUninstallerCaption, BoxIcon::Information,
                     BoxButtons::Ok);
    return 0;
}

}  // namespace installerhost
