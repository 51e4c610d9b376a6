// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/user_session.h"
#include "panel_program_host.h"
// clang-format off
#include "scenario_context.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "ampfx_driver.h"
#include "dovrel_host.h"
#include "host/audio_stream.h"
#include "host/machine.h"
#include "host/usb_headset.h"
#include "host/modules.h"
#include "host/processes.h"
#include "host/text.h"
#include "host/user_system.h"
#include "installer_host.h"
#include "skin_code_host.h"
// clang-format on
#include "tool_text.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace fs = std::filesystem;

namespace {

constexpr const char* kOutPrefix = "$OUT/";
constexpr const char* kDriverFile = "C:\\Windows\\system32\\drivers\\Ampfx.sys";

std::map<std::string, ScenarioCommandEntry>& CommandTable() {
    static std::map<std::string, ScenarioCommandEntry> table;
    return table;
}

// The file's device and inode, if it exists.
bool FileIdentity(const std::string& path, std::pair<uint64_t, uint64_t>* identity) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return false;
    *identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
    return true;
}

}  // namespace

// A host directory for drive C:, removed with everything in it at the end of the run.
class TempDrive {
  public:
    TempDrive() {
        std::string pattern = (fs::temp_directory_path() / "ampfx-sim-drive-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            Fail("cannot create a temporary folder for drive C:");
        path_ = pattern;
    }
    ~TempDrive() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDrive(const TempDrive&) = delete;
    TempDrive& operator=(const TempDrive&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void Fail(const std::string& reason) {
    throw ScenarioFailure{reason};
}

std::vector<uint8_t> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail("cannot read '" + path + "'");
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void PutOnDrive(ScenarioContext& c, const std::string& path, const std::vector<uint8_t>& bytes) {
    host::FileSystem& files = c.System().files();
    // Every folder on the way, as the installer makes them.
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
        if (!files.DirectoryExists(path.substr(0, at)))
            files.CreateDirectory(path.substr(0, at));
    if (files.WriteFile(path, bytes) != 0)
        Fail("cannot write '" + path + "' on drive C:");
}

void Arity(const Words& w, size_t least, size_t most, const char* usage) {
    if (w.size() < least || w.size() > most)
        Fail(std::string("usage: ") + usage);
}

uint32_t ParseNumber(const std::string& text, const char* what, uint64_t max) {
    uint64_t value = 0;
    if (!ParseUnsignedText(text, max, &value))
        Fail(std::string("bad ") + what + " '" + text + "'");
    return static_cast<uint32_t>(value);
}

double ParseReal(const std::string& text, const char* what) {
    double value = 0;
    if (!ParseFiniteText(text, &value))
        Fail(std::string("bad ") + what + " '" + text + "'");
    return value;
}

std::string Status(uint32_t status) {
    char text[32];
    std::snprintf(text, sizeof text, "status=0x%08X", status);
    return text;
}

std::string Join(const std::vector<std::string>& items, const char* empty) {
    if (items.empty())
        return empty;
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ",") + item;
    return text;
}

ScenarioContext::Device::Device() = default;
ScenarioContext::Device::~Device() = default;
ScenarioContext::Device::Device(Device&&) noexcept = default;
ScenarioContext::Device& ScenarioContext::Device::operator=(Device&&) noexcept = default;

ScenarioContext::ScenarioContext(const ScenarioPaths& p, std::ostream& o) : out(o), paths(p) {}

ScenarioContext::~ScenarioContext() {
    // Programs end while the session they run in still exists.
    if (system_) {
        host::Processes& processes = system_->processes();
        for (host::ProcessId id : processes.RunningProcesses()) {
            const std::string image = processes.ImagePath(id);
            if (image.find("QX_AudioControl") == std::string::npos &&
                image.find("QEXAudioControlInstall") == std::string::npos)
                continue;
            processes.Terminate(id, 0);
            processes.Wait(id, 10000);
        }
    }
    installers.reset();
    dovrel_.reset();
    panels_.reset();
    session_.reset();
    modules_.reset();
    system_.reset();
    for (Device& device : devices)
        device.stream.reset();
    machine_.reset();
}

host::Machine& ScenarioContext::Machine() {
    if (!machine_) {
        // The machine comes up as installed: the driver's image and its service key, as the
        // installer leaves them; the attachment service is installed by command.
        machine_ = std::make_unique<host::Machine>(host::Machine::Options{windows, {}});
        // A bare machine only knows the driver's code by its image name, as it knows every
        // program's: its file and service key come from the installer and the service.
        if (bareMachine)
            host::kernel::RegisterDriverImage("Ampfx.sys", DriverEntry);
        else
            machine_->InstallDriver("Ampfx", "Ampfx.sys", DriverEntry);
    }
    return *machine_;
}

host::UserSystem& ScenarioContext::System() {
    Machine();
    if (!system_) {
        drive_ = std::make_unique<TempDrive>();
        system_ = std::make_unique<host::UserSystem>(drive_->path());
        system_->files().SetSixtyFourBit(sixtyFourBit);
        if (!bareMachine) {
            const std::string image = "MZ Ampfx.sys";
            system_->files().WriteFile(kDriverFile,
                                       std::vector<uint8_t>(image.begin(), image.end()));
        }
    }
    return *system_;
}

dovrel::DovrelHost& ScenarioContext::Service() {
    host::Machine& m = Machine();
    host::UserSystem& system = System();
    if (!dovrel_)
        dovrel_ = std::make_unique<dovrel::DovrelHost>(m.pnp(), system);
    return *dovrel_;
}

host::Modules& ScenarioContext::Modules() {
    if (!modules_) {
        // The panel is a 32-bit program; the libraries it maps are the i686 builds.
        modules_ = std::make_unique<host::Modules>(System().files());
        skin::RegisterSkinCode(*modules_);
        // A program that ends leaves the libraries it loaded, which frees their files.
        modules_->SetCurrentProcess([] { return host::Processes::Current(); });
        // The loader goes before the processes; every program has ended by then.
        System().processes().AddExitListener([this](host::ProcessId id) {
            if (modules_)
                modules_->ReleaseProcess(id);
        });
    }
    return *modules_;
}

host::user::UserSession& ScenarioContext::Session() {
    if (!session_) {
        host::UserSystem& system = System();
        host::user::UserSession::Options options;
        options.version = host::user::OsVersionFor(windowsMajor, windowsMinor);
        session_ = std::make_unique<host::user::UserSession>(Machine(), system, options);
        // DirectSound plays through the class driver's stream of the headset it mixes for,
        // the same stream `play` uses; a headset that holds its transfers gets nothing.
        session_->directSound().SetStreamProvider(
            [this](const std::string& instance) -> host::AudioStream* {
                for (Device& device : devices) {
                    if (device.node == nullptr || device.holdsTransfers ||
                        !host::EqualsIgnoreCase(device.node->InstancePath(), instance))
                        continue;
                    if (!device.stream)
                        device.stream = std::make_unique<host::AudioStream>(device.node);
                    return device.stream->Ready() ? device.stream.get() : nullptr;
                }
                return nullptr;
            });
    }
    return *session_;
}

panelhost::PanelPrograms& ScenarioContext::Panels() {
    if (!panels_) {
        panels_ =
            std::make_unique<panelhost::PanelPrograms>(Session(), Modules(), System().processes());
        panels_->Register();
    }
    return *panels_;
}

ScenarioContext::Device& ScenarioContext::DeviceAt(const std::string& word) {
    const uint32_t number = ParseNumber(word, "device number");
    if (number == 0 || number > devices.size())
        Fail("no device " + word + " (" + std::to_string(devices.size()) + " plugged so far)");
    return devices[number - 1];
}

void ScenarioContext::DropStreams() {
    for (Device& device : devices)
        device.stream.reset();
}

host::AudioStream* ScenarioContext::Stream(Device& device, bool classRequest) {
    // The class driver waits for each of its own requests; one the headset holds would never
    // come back.
    if (device.holdsTransfers || (classRequest && device.holdsControl))
        Fail("the headset holds its requests: switch it to immediate timing first");
    if (!device.stream)
        device.stream = std::make_unique<host::AudioStream>(device.node);
    if (!device.stream->Ready()) {
        out << "ready=no\n";
        return nullptr;
    }
    return device.stream.get();
}

void ScenarioContext::PrintDevice(size_t index) {
    const host::DevNode& node = *devices[index].node;
    out << "device=" << index + 1 << " present=" << (node.Present() ? "yes" : "no")
        << " started=" << (node.Started() ? "yes" : "no") << " problem=" << node.Problem()
        << " stack=" << (node.Stack().empty() ? "-" : Join(node.Services(), "-")) << "\n";
}

void ScenarioContext::PrintDevices() {
    for (size_t i = 0; i < devices.size(); ++i)
        PrintDevice(i);
}

std::string ScenarioContext::InputPath(const std::string& name) const {
    if (name.rfind(kOutPrefix, 0) == 0)
        return (fs::path(paths.outputFolder) / name.substr(std::strlen(kOutPrefix))).string();
    if (fs::path(name).is_absolute())
        return name;
    return (fs::path(paths.inputFolder) / name).string();
}

std::string ScenarioContext::OutputPath(const std::string& name) const {
    const std::string relative =
        name.rfind(kOutPrefix, 0) == 0 ? name.substr(std::strlen(kOutPrefix)) : name;
    // Results belong in the output folder: a name that climbs out of it, or starts anywhere
    // else, could land on anything the user can write.
    const fs::path path(relative);
    if (relative.empty() || path.is_absolute() || path.has_root_name())
        Fail("'" + name + "' is not a name inside the output folder");
    for (const fs::path& component : path) {
        if (component == "..")
            Fail("'" + name + "' leads out of the output folder");
    }
    return (fs::path(paths.outputFolder) / relative).string();
}

void ScenarioContext::ProtectFile(const std::string& path) {
    std::pair<uint64_t, uint64_t> identity;
    if (FileIdentity(path, &identity))
        protected_.push_back(identity);
}

StereoPcm ScenarioContext::ReadAudio(const std::string& name) const {
    StereoPcm audio;
    std::string error;
    if (!ReadStereoPcm(InputPath(name), &audio, &error))
        Fail(error);
    return audio;
}

void ScenarioContext::WriteAudio(const std::string& name, const StereoPcm& audio) const {
    const std::string path = WritablePath(name);
    std::string error;
    if (!WriteStereoPcm(path, audio, &error))
        Fail(error);
}

std::string ScenarioContext::WritablePath(const std::string& name) const {
    const std::string path = OutputPath(name);
    // A link inside the output folder could still lead outside it; checked before any folder
    // is created on the way.
    std::error_code folderError;
    std::error_code targetError;
    const fs::path folder = fs::weakly_canonical(paths.outputFolder, folderError);
    const fs::path target = fs::weakly_canonical(fs::path(path).parent_path(), targetError);
    const auto mismatch = std::mismatch(folder.begin(), folder.end(), target.begin(), target.end());
    if (folderError || targetError || mismatch.first != folder.end())
        Fail("'" + name + "' leads out of the output folder");
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::pair<uint64_t, uint64_t> identity;
    if (FileIdentity(path, &identity) &&
        std::find(protected_.begin(), protected_.end(), identity) != protected_.end())
        Fail("'" + name + "' is a file this scenario reads; write to another name");
    return path;
}

ScenarioCommandArea::ScenarioCommandArea(std::initializer_list<ScenarioCommandEntry> commands) {
    for (const ScenarioCommandEntry& command : commands) {
        if (!CommandTable().emplace(command.name, command).second) {
            std::fprintf(stderr, "ampfx-sim: command '%s' registered twice\n", command.name);
            std::abort();
        }
    }
}

const ScenarioCommandEntry* FindScenarioCommand(const std::string& name) {
    const auto command = CommandTable().find(name);
    return command == CommandTable().end() ? nullptr : &command->second;
}

std::vector<std::string> ScenarioCommandNames() {
    std::vector<std::string> names;
    for (const auto& command : CommandTable())
        names.push_back(command.first);
    return names;
}
