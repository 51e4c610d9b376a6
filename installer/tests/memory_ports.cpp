#include "memory_ports.h"

#include <algorithm>

#include "names.h"

namespace qexinstall {

int Journal::Find(const std::string& line, int from) const {
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < lines.size(); ++i) {
        if (lines[i] == line)
            return static_cast<int>(i);
    }
    return -1;
}

std::vector<uint32_t> Journal::Progress() const {
    std::vector<uint32_t> percents;
    for (const std::string& line : lines) {
        if (line.rfind("progress ", 0) == 0)
            percents.push_back(static_cast<uint32_t>(std::stoul(line.substr(9))));
    }
    return percents;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

namespace {

constexpr WinError kErrorKeyDeleted = 1018;
constexpr WinError kErrorDiskFull = 112;
constexpr WinError kErrorServiceNotActiveHere = kErrorServiceNotActive;

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Leaf(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Below(const std::string& lowerPath, const std::string& lowerFolder) {
    return lowerPath.size() > lowerFolder.size() &&
           lowerPath.compare(0, lowerFolder.size(), lowerFolder) == 0 &&
           lowerPath[lowerFolder.size()] == '\\';
}

// ---------------------------------------------------------------------------------------

class MemoryRegistryKey : public RegistryKey {
  public:
    MemoryRegistryKey(MemoryRegistry& registry, std::string path, Journal& journal)
        : registry_(registry), path_(std::move(path)), journal_(journal) {}

    WinError SetDword(const std::string& name, uint32_t value) override {
        MemoryKey* key = Key();
        if (!key)
            return kErrorKeyDeleted;
        MemoryValue& stored = key->values[Lower(name)];
        stored = MemoryValue{RegistryType::Dword, StringWidth::Wide, std::string(), value};
        journal_.Add("reg set " + path_ + " " + name);
        return kErrorSuccess;
    }
    WinError SetString(const std::string& name, RegistryType type, const std::string& text,
                       StringWidth width) override {
        MemoryKey* key = Key();
        if (!key)
            return kErrorKeyDeleted;
        key->values[Lower(name)] = MemoryValue{type, width, text, 0};
        journal_.Add("reg set " + path_ + " " + name);
        return kErrorSuccess;
    }
    WinError DeleteValue(const std::string& name) override {
        MemoryKey* key = Key();
        if (!key)
            return kErrorKeyDeleted;
        if (key->values.erase(Lower(name)) == 0)
            return kErrorFileNotFound;
        journal_.Add("reg delete value " + path_ + " " + name);
        return kErrorSuccess;
    }
    WinError Flush() override { return Key() ? kErrorSuccess : kErrorKeyDeleted; }

  private:
    MemoryKey* Key() {
        auto it = registry_.keys.find(Lower(path_));
        return it == registry_.keys.end() ? nullptr : &it->second;
    }
    MemoryRegistry& registry_;
    std::string path_;
    Journal& journal_;
};

}  // namespace

WinError MemoryRegistry::CreateKey(const std::string& path, const std::string& keyClass, uint32_t,
                                   std::unique_ptr<RegistryKey>* key) {
    auto error = createErrors.find(Lower(path));
    if (error != createErrors.end())
        return error->second;
    for (std::string at = path; !at.empty(); at = Parent(at)) {
        if (!keys.count(Lower(at)))
            keys[Lower(at)].keyClass = at == path ? keyClass : std::string();
    }
    *key = std::make_unique<MemoryRegistryKey>(*this, path, journal_);
    return kErrorSuccess;
}

WinError MemoryRegistry::OpenKey(const std::string& path, uint32_t,
                                 std::unique_ptr<RegistryKey>* key) {
    auto error = openErrors.find(Lower(path));
    if (error != openErrors.end())
        return error->second;
    if (!keys.count(Lower(path)))
        return kErrorFileNotFound;
    *key = std::make_unique<MemoryRegistryKey>(*this, path, journal_);
    return kErrorSuccess;
}

WinError MemoryRegistry::DeleteKey(const std::string& path) {
    const std::string lower = Lower(path);
    if (!keys.count(lower))
        return kErrorFileNotFound;
    for (const auto& entry : keys) {
        if (Below(entry.first, lower))
            return kErrorAccessDenied;
    }
    keys.erase(lower);
    journal_.Add("reg delete key " + path);
    return kErrorSuccess;
}

const MemoryValue* MemoryRegistry::Value(const std::string& path, const std::string& name) const {
    auto key = keys.find(Lower(path));
    if (key == keys.end())
        return nullptr;
    auto value = key->second.values.find(Lower(name));
    return value == key->second.values.end() ? nullptr : &value->second;
}

// ---------------------------------------------------------------------------------------

namespace {

class MemoryOutputFile : public OutputFile {
  public:
    MemoryOutputFile(MemoryFileSystem& files, std::string lowerPath, uint32_t room)
        : files_(files), lowerPath_(std::move(lowerPath)), room_(room) {}

    WinError Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
        auto file = files_.filesByPath.find(lowerPath_);
        const uint32_t fits = std::min(size, room_);
        file->second.data.insert(file->second.data.end(), data, data + fits);
        room_ -= fits;
        *written = fits;
        return fits == size ? kErrorSuccess : kErrorDiskFull;
    }

  private:
    MemoryFileSystem& files_;
    std::string lowerPath_;
    uint32_t room_;
};

}  // namespace

std::string MemoryFileSystem::Redirect(const std::string& path) const {
    const std::string system = Lower(systemDirectory);
    if (redirect32 && !redirectionOff && Below(Lower(path), system))
        return "C:\\Windows\\SysWOW64" + path.substr(system.size());
    return path;
}

WinError MemoryFileSystem::SystemDirectory(std::string* path) {
    if (systemDirectoryError)
        return systemDirectoryError;
    *path = systemDirectory;
    return kErrorSuccess;
}

WinError MemoryFileSystem::CurrentDirectory(std::string* path) {
    *path = currentDirectory;
    return kErrorSuccess;
}

void MemoryFileSystem::AddDirectory(const std::string& path) {
    for (std::string at = path; at.size() > 2; at = Parent(at))
        directories.insert(Lower(at));
}

void MemoryFileSystem::AddFile(const std::string& path, std::vector<uint8_t> data) {
    AddDirectory(Parent(path));
    const std::string lower = Lower(path);
    if (!filesByPath.count(lower))
        order[Lower(Parent(path))].push_back(Leaf(path));
    filesByPath[lower].data = std::move(data);
    spelling[lower] = path;
}

bool MemoryFileSystem::HasFile(const std::string& path) const {
    return filesByPath.count(Lower(path)) != 0;
}

bool MemoryFileSystem::HasDirectory(const std::string& path) const {
    return directories.count(Lower(path)) != 0;
}

const std::vector<uint8_t>* MemoryFileSystem::Data(const std::string& path) const {
    auto it = filesByPath.find(Lower(path));
    return it == filesByPath.end() ? nullptr : &it->second.data;
}

std::string MemoryFileSystem::Profile(const std::string& file, const std::string& section,
                                      const std::string& key) const {
    auto f = profiles.find(Lower(file));
    if (f == profiles.end())
        return std::string();
    auto s = f->second.find(section);
    if (s == f->second.end())
        return std::string();
    auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

WinError MemoryFileSystem::CreateForWriting(const std::string& requested,
                                            std::unique_ptr<OutputFile>* file) {
    const std::string path = Redirect(requested);
    const std::string lower = Lower(path);
    if (!HasDirectory(Parent(path)))
        return kErrorPathNotFound;
    if (inUse.count(lower))
        return kErrorSharingViolation;
    if (readOnly.count(lower))
        return kErrorAccessDenied;
    AddFile(path, {});
    journal_.Add("write " + path);
    auto room = shortWrites.find(lower);
    *file = std::make_unique<MemoryOutputFile>(
        *this, lower, room == shortWrites.end() ? UINT32_MAX : room->second);
    return kErrorSuccess;
}

WinError MemoryFileSystem::MakeDirectory(const std::string& requested) {
    const std::string path = Redirect(requested);
    if (HasDirectory(path))
        return kErrorAlreadyExists;
    if (!HasDirectory(Parent(path)))
        return kErrorPathNotFound;
    directories.insert(Lower(path));
    journal_.Add("mkdir " + path);
    return kErrorSuccess;
}

WinError MemoryFileSystem::RemoveEmptyDirectory(const std::string& requested) {
    const std::string lower = Lower(Redirect(requested));
    if (!directories.count(lower))
        return kErrorFileNotFound;
    for (const auto& entry : filesByPath) {
        if (Below(entry.first, lower))
            return kErrorDirNotEmpty;
    }
    for (const std::string& directory : directories) {
        if (Below(directory, lower))
            return kErrorDirNotEmpty;
    }
    directories.erase(lower);
    journal_.Add("rmdir " + Redirect(requested));
    return kErrorSuccess;
}

WinError MemoryFileSystem::RemoveTree(const std::string& requested) {
    const std::string lower = Lower(Redirect(requested));
    if (!directories.count(lower))
        return kErrorFileNotFound;
    bool kept = false;
    for (auto it = filesByPath.begin(); it != filesByPath.end();) {
        if (Below(it->first, lower) && inUse.count(it->first)) {
            kept = true;
            ++it;
        } else if (Below(it->first, lower)) {
            profiles.erase(it->first);
            auto& listed = order[Lower(Parent(it->first))];
            listed.erase(std::remove_if(listed.begin(), listed.end(),
                                        [&](const std::string& name) {
                                            return Lower(name) == Lower(Leaf(it->first));
                                        }),
                         listed.end());
            it = filesByPath.erase(it);
        } else {
            ++it;
        }
    }
    if (kept)
        return kErrorAccessDenied;
    for (auto it = directories.begin(); it != directories.end();)
        it = (*it == lower || Below(*it, lower)) ? directories.erase(it) : std::next(it);
    journal_.Add("rmtree " + Redirect(requested));
    return kErrorSuccess;
}

WinError MemoryFileSystem::RemoveFile(const std::string& requested) {
    const std::string path = Redirect(requested);
    const std::string lower = Lower(path);
    if (!filesByPath.count(lower))
        return kErrorFileNotFound;
    if (inUse.count(lower))
        return kErrorAccessDenied;
    if (readOnly.count(lower))
        return kErrorAccessDenied;
    filesByPath.erase(lower);
    profiles.erase(lower);
    auto& listed = order[Lower(Parent(path))];
    listed.erase(
        std::remove_if(listed.begin(), listed.end(),
                       [&](const std::string& name) { return Lower(name) == Lower(Leaf(path)); }),
        listed.end());
    journal_.Add("delete " + path);
    return kErrorSuccess;
}

WinError MemoryFileSystem::CopyOver(const std::string& from, const std::string& to) {
    const std::vector<uint8_t>* source = Data(Redirect(from));
    if (!source)
        return kErrorFileNotFound;
    const std::vector<uint8_t> bytes = *source;
    std::unique_ptr<OutputFile> file;
    if (WinError error = CreateForWriting(to, &file))
        return error;
    uint32_t written = 0;
    return file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
}

WinError MemoryFileSystem::FindFiles(const std::string& pattern, std::vector<std::string>* names) {
    const std::string folder = Redirect(Parent(pattern));
    const std::string glob = Leaf(pattern);
    if (!HasDirectory(folder))
        return kErrorPathNotFound;
    // Only "*" and "*.ext" patterns are needed.
    const std::string suffix = glob == "*" ? std::string() : Lower(glob.substr(1));
    names->clear();
    for (const char* dot : {".", ".."}) {
        if (suffix.empty())
            names->push_back(dot);
    }
    for (const std::string& name : order[Lower(folder)]) {
        const std::string lower = Lower(name);
        if (lower.size() >= suffix.size() &&
            lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0)
            names->push_back(name);
    }
    return names->empty() ? kErrorFileNotFound : kErrorSuccess;
}

WinError MemoryFileSystem::WriteIniString(const std::string& section, const std::string& key,
                                          const std::string& value, const std::string& file) {
    const std::string path = Redirect(file);
    if (!HasDirectory(Parent(path)))
        return kErrorPathNotFound;
    if (!HasFile(path))
        AddFile(path, {});
    profiles[Lower(path)][section][key] = value;
    journal_.Add("ini " + path + " [" + section + "] " + key + "=" + value);
    return kErrorSuccess;
}

WinError MemoryFileSystem::FlushProfileCache(const std::string& file) {
    journal_.Add("ini flush " + Redirect(file));
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

WinError MemoryWow64::DisableFsRedirection() {
    files_.redirectionOff = true;
    journal_.Add("redirection off");
    return kErrorSuccess;
}

WinError MemoryWow64::RevertFsRedirection() {
    files_.redirectionOff = false;
    journal_.Add("redirection on");
    return kErrorSuccess;
}

WinError MemoryWow64::SystemWow64Directory(std::string* path) {
    if (!wow64 && !process64)
        return 120;  // ERROR_CALL_NOT_IMPLEMENTED, as on a 32-bit system
    *path = "C:\\Windows\\SysWOW64";
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

WinError MemoryResources::Find(const std::string& type, uint16_t id) {
    if (!payloads.count({type, id}))
        return kErrorResourceNameNotFound;
    return kErrorSuccess;
}

WinError MemoryResources::Load(const std::string& type, uint16_t id, Payload* payload) {
    auto it = payloads.find({type, id});
    if (it == payloads.end())
        return kErrorResourceNameNotFound;
    if (loadFails.count({type, id}))
        return kErrorInvalidParameter;
    payload->data = it->second.data();
    payload->size = static_cast<uint32_t>(it->second.size());
    return kErrorSuccess;
}

std::vector<uint8_t> MemoryResources::NamedBytes(const std::string& type, uint16_t id) {
    const std::string text = type + "/" + std::to_string(id);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void MemoryResources::AddNamed(const std::string& type, uint16_t id) {
    payloads[{type, id}] = NamedBytes(type, id);
}

void MemoryResources::AddAll() {
    AddNamed(kTypeDriver, kResDriver32);
    AddNamed(kTypeDriver, kResDriver64);
    AddNamed(kTypeService, kResService32);
    AddNamed(kTypeService, kResService64);
    AddNamed(kTypeApp, kResPanel);
    AddNamed(kTypeUninstall, kResUninstaller);
    AddNamed(kTypeSkin, kResSkinEnglish);
    AddNamed(kTypeSkin, kResSkinSimplified);
    AddNamed(kTypeSkin, kResSkinTraditional);
    AddNamed(kTypeManifest, kResManifest);
}

// ---------------------------------------------------------------------------------------

WinError MemoryShell::CommonProgramsFolder(std::string* path) {
    *path = programs;
    return kErrorSuccess;
}

WinError MemoryShell::CommonAppDataFolder(bool, std::string* path) {
    if (appDataError)
        return appDataError;
    *path = appData;
    return kErrorSuccess;
}

WinError MemoryShell::SaveShellLink(const std::string& target, const std::string& linkPath) {
    std::unique_ptr<OutputFile> file;
    if (WinError error = files_.CreateForWriting(linkPath, &file))
        return error;
    linkTargets[Lower(linkPath)] = target;
    journal_.Add("link " + linkPath + " -> " + target);
    return kErrorSuccess;
}

WinError MemoryShell::QuerySkinName(const std::string& libraryPath, std::string* name) {
    if (!files_.HasFile(libraryPath))
        return kErrorFileNotFound;
    auto it = skinNames.find(Lower(libraryPath));
    if (it == skinNames.end())
        return 127;  // ERROR_PROC_NOT_FOUND
    *name = it->second;
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

namespace {

class MemoryServiceHandle : public ServiceHandle {
  public:
    MemoryServiceHandle(MemoryServices& services, Journal& journal)
        : services_(services), journal_(journal) {}

    WinError QueryState(uint32_t* state) override {
        uint32_t& current = services_.state;
        if (current == kServiceStartPending || current == kServiceStopPending) {
            if (services_.pendingPolls == 0)
                current = current == kServiceStartPending ? kServiceRunning : kServiceStopped;
            else if (services_.pendingPolls > 0)
                --services_.pendingPolls;
        }
        *state = current;
        return kErrorSuccess;
    }
    WinError Start() override {
        if (services_.state != kServiceStopped)
            return kErrorServiceAlreadyRunning;
        journal_.Add("service start");
        services_.state = kServiceStartPending;
        services_.pendingPolls = services_.settleAfterPolls;
        return kErrorSuccess;
    }
    WinError Control(uint32_t code) override {
        if (services_.state != kServiceRunning)
            return kErrorServiceNotActiveHere;
        journal_.Add("service control " + std::to_string(code));
        services_.controls.push_back(code);
        if (code == kServiceControlStop) {
            services_.state = kServiceStopPending;
            services_.pendingPolls = services_.settleAfterPolls;
        }
        return kErrorSuccess;
    }

  private:
    MemoryServices& services_;
    Journal& journal_;
};

class MemoryServiceDatabase : public ServiceDatabase {
  public:
    MemoryServiceDatabase(MemoryServices& services, Journal& journal)
        : services_(services), journal_(journal) {}
    WinError OpenByName(const std::string& name, uint32_t,
                        std::unique_ptr<ServiceHandle>* service) override {
        if (Lower(name) != "dovrel" || !services_.installed)
            return kErrorServiceDoesNotExist;
        *service = std::make_unique<MemoryServiceHandle>(services_, journal_);
        return kErrorSuccess;
    }

  private:
    MemoryServices& services_;
    Journal& journal_;
};

class MemoryProcess : public Process {
  public:
    explicit MemoryProcess(bool hangs) : hangs_(hangs) {}
    bool WaitForThread(uint32_t) override { return !hangs_; }

  private:
    bool hangs_;
};

}  // namespace

WinError MemoryServices::Open(uint32_t, std::unique_ptr<ServiceDatabase>* database) {
    *database = std::make_unique<MemoryServiceDatabase>(*this, journal_);
    return kErrorSuccess;
}

WinError MemoryProcesses::Start(const std::string& commandLine, bool, uint32_t priorityClass,
                                std::unique_ptr<Process>* process) {
    if (startError)
        return startError;
    commandLines.push_back(commandLine);
    priorities.push_back(priorityClass);
    journal_.Add("run " + commandLine);
    // The service registers itself with the service control manager when run this way.
    if (!hangs && commandLine.size() > 10 &&
        commandLine.compare(commandLine.size() - 10, 10, kServiceRegistrationArgs) == 0)
        services_.installed = true;
    *process = std::make_unique<MemoryProcess>(hangs);
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------

constexpr WindowHandle kPanelWindow = 0x500;

WindowHandle MemoryWindows::FindTopLevel(const std::string& title) {
    return panelRunning && title == kPanelWindowTitle ? kPanelWindow : 0;
}

uint32_t MemoryWindows::RegisterMessage(const std::string& name) {
    auto it = std::find(registered_.begin(), registered_.end(), name);
    if (it != registered_.end())
        return 0xC000 + static_cast<uint32_t>(it - registered_.begin());
    registered_.push_back(name);
    return 0xC000 + static_cast<uint32_t>(registered_.size() - 1);
}

std::string MemoryWindows::MessageName(uint32_t message) const {
    const uint32_t index = message - 0xC000;
    return index < registered_.size() ? registered_[index] : std::to_string(message);
}

void MemoryWindows::StartPanel(const std::string& programPath) {
    panelRunning = true;
    panelProgram = programPath;
    files_.inUse.insert(Lower(programPath));
}

void MemoryWindows::Send(WindowHandle window, uint32_t message, uint64_t wParam, int64_t lParam) {
    journal_.Add("send " + MessageName(message) + " " + std::to_string(wParam) + " " +
                 std::to_string(lParam));
    if (window == kPanelWindow && panelRunning && MessageName(message) == kAppExitMessage &&
        !panelIgnoresExit) {
        panelRunning = false;
        files_.inUse.erase(Lower(panelProgram));
    }
}

void MemoryWindows::Broadcast(uint32_t message, uint64_t wParam, int64_t lParam) {
    journal_.Add("broadcast " + MessageName(message) + " " + std::to_string(wParam) + " " +
                 std::to_string(lParam));
    if (panelRunning)
        Send(kPanelWindow, message, wParam, lParam);
}

BoxAnswer MemoryMessageBoxes::Show(WindowHandle owner, const std::string& text,
                                   const std::string& caption, BoxIcon icon, BoxButtons) {
    shown.push_back({owner, text, caption, icon});
    journal_.Add("message " + caption + ": " + text);
    return answer;
}

void MemoryClock::Sleep(uint32_t milliseconds) {
    journal_.Add("sleep " + std::to_string(milliseconds));
}

void MemoryClock::Beep(uint32_t frequencyHz, uint32_t milliseconds) {
    journal_.Add("beep " + std::to_string(frequencyHz) + " " + std::to_string(milliseconds));
}

void MemoryProgress::Report(uint32_t percent) {
    journal_.Add("progress " + std::to_string(percent));
}

MemoryMachine::MemoryMachine()
    : ports{registry, files,     wow64,   resources,    shell,
            services, processes, windows, messageBoxes, clock} {
    files.AddDirectory("C:\\Windows\\system32\\drivers");
    files.AddDirectory("C:\\Windows\\SysWOW64\\drivers");
    files.AddDirectory(shell.programs);
    files.AddDirectory(shell.appData);
    files.AddDirectory(files.currentDirectory);
    registry.AddKey(kRunKey);
    resources.AddAll();
}

void MemoryMachine::Make64Bit(bool installer64) {
    wow64.process64 = installer64;
    wow64.wow64 = !installer64;
    files.redirect32 = !installer64;
}

// ---------------------------------------------------------------------------------------

void MemoryWizardWindow::ShowPage(PageKind kind, bool show) {
    if (show)
        visible.insert(kind);
    else
        visible.erase(kind);
}

bool MemoryWizardWindow::ConfirmExit() {
    ++confirmations;
    journal_.Add(std::string("confirm ") + (confirmAnswer ? "yes" : "no"));
    return confirmAnswer;
}

void MemoryWizardWindow::StartWorker(std::function<void()> body) {
    ++workersStarted;
    worker = std::move(body);
}

void MemoryWizardWindow::SendProgress(uint32_t percent) {
    journal_.Add("progress " + std::to_string(percent));
    wizard->ProgressPage().OnProgress(percent);
}

void MemoryWizardWindow::SendWorkerDone() {
    journal_.Add("worker done");
    wizard->OnWorkerDone();
}

void MemoryWizardWindow::RunWorker() {
    std::function<void()> body = std::move(worker);
    worker = nullptr;
    if (body)
        body();
}

WinError MemoryShutdown::EnablePrivilege(const std::string& name) {
    journal_.Add("privilege " + name);
    return privilegeError;
}

WinError MemoryShutdown::Reboot() {
    journal_.Add("reboot");
    rebootRequested = true;
    return kErrorSuccess;
}

}  // namespace qexinstall
