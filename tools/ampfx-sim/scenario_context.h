// What every command area of the scenario runner shares: the simulated machine (brought up by
// the first command that needs it), the headsets plugged so far, the scenario's folders and
// its output, and the command table the areas register their commands in.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "pcm_file.h"
#include "scenario_runner.h"

namespace host {
class AudioStream;
class DevNode;
class Machine;
class UsbHeadset;
class UserSystem;
}  // namespace host

namespace dovrel {
class DovrelHost;
}

namespace host {
class Modules;
namespace user {
class UserSession;
}
}  // namespace host

namespace panelhost {
class PanelPrograms;
}

namespace installerhost {
class InstallerPrograms;
}

class TempDrive;

using Words = std::vector<std::string>;

// A scenario error: the command could not be understood or carried out.
struct ScenarioFailure {
    std::string reason;
};

[[noreturn]] void Fail(const std::string& reason);

// Fails with "usage: USAGE" unless the command has from `least` to `most` words.
void Arity(const Words& w, size_t least, size_t most, const char* usage);

// The word as a number of at most `max`, or a scenario error naming `what`.
uint32_t ParseNumber(const std::string& text, const char* what, uint64_t max = UINT32_MAX);
double ParseReal(const std::string& text, const char* what);

std::string Status(uint32_t status);

// Items joined with commas; `empty` when there are none.
std::string Join(const std::vector<std::string>& items, const char* empty = "");

constexpr int kGeneratedRate = 48000;

class ScenarioContext {
  public:
    struct Device {
        host::DevNode* node = nullptr;
        std::shared_ptr<host::UsbHeadset> headset;
        // The class driver's stream; dropped whenever the device may have been restarted, so
        // that the next one configures the device it finds.
        std::unique_ptr<host::AudioStream> stream;
        int sampleRate = kGeneratedRate;  // of the last file played, for saving what it played
        // What the headset keeps pending: class requests, isochronous transfers.
        bool holdsControl = false;
        bool holdsTransfers = false;

        Device();
        ~Device();
        Device(Device&&) noexcept;
        Device& operator=(Device&&) noexcept;
    };

    ScenarioContext(const ScenarioPaths& paths, std::ostream& out);
    // Stops the service, unplugs every headset and tears the machine down.
    ~ScenarioContext();
    ScenarioContext(const ScenarioContext&) = delete;
    ScenarioContext& operator=(const ScenarioContext&) = delete;

    std::ostream& out;
    const ScenarioPaths paths;
    // What the kernel reports; fixed once the machine is up.
    host::kernel::WindowsVersion windows = host::kernel::WindowsVersion::WindowsVista;
    // The version as programs read it (Windows 7 unless the scenario says otherwise).
    uint32_t windowsMajor = 6, windowsMinor = 1;
    std::vector<Device> devices;
    // `machine bare`: nothing of the suite on the machine until the installer puts it there;
    // a 64-bit machine runs the 32-bit programs under WOW64. Fixed once the machine is up.
    bool bareMachine = false;
    bool sixtyFourBit = false;
    // The installer and the uninstaller as programs, once a scenario ran one.
    std::unique_ptr<installerhost::InstallerPrograms> installers;

    // The machine, brought up on first use: as installed, or bare after `machine bare`.
    host::Machine& Machine();
    bool MachineIsUp() const { return machine_ != nullptr; }
    // The attachment service's host, with drive C: holding the driver's file.
    dovrel::DovrelHost& Service();
    // Drive C:, the processes and the service manager.
    host::UserSystem& System();
    // The interactive user's session (desktop, shell, files, SetupAPI, audio devices), the
    // loader of libraries, and the panel as a program on the machine.
    host::user::UserSession& Session();
    bool SessionIsUp() const { return session_ != nullptr; }
    host::Modules& Modules();
    panelhost::PanelPrograms& Panels();

    // The device a scenario's device number names, or a scenario error.
    Device& DeviceAt(const std::string& word);
    // Whatever restarted devices leaves the class driver with new function devices.
    void DropStreams();
    // The device's stream, opened if need be; null (with "ready=no" printed) when the device
    // has no running stack. A scenario error when the headset would hold the class driver's
    // request for ever.
    host::AudioStream* Stream(Device& device, bool classRequest = false);
    void PrintDevice(size_t index);
    void PrintDevices();

    // Where a file the scenario reads or writes is, by the rules of docs/ampfx-sim.md.
    std::string InputPath(const std::string& name) const;
    std::string OutputPath(const std::string& name) const;
    StereoPcm ReadAudio(const std::string& name) const;
    // A scenario error when the name leads outside the output folder or to a file the
    // scenario reads.
    void WriteAudio(const std::string& name, const StereoPcm& audio) const;
    // The output path of `name`, its folder made, under the same rules as WriteAudio.
    std::string WritablePath(const std::string& name) const;
    // How many of the desktop's message boxes the scenario has printed.
    size_t messageBoxesPrinted = 0;
    // The file at `path`, if it exists now, is never written over by this run.
    void ProtectFile(const std::string& path);

  private:
    // Torn down in reverse: the service before the user system before the machine.
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<TempDrive> drive_;
    std::unique_ptr<host::UserSystem> system_;
    std::unique_ptr<dovrel::DovrelHost> dovrel_;
    std::unique_ptr<host::Modules> modules_;
    std::unique_ptr<host::user::UserSession> session_;
    std::unique_ptr<panelhost::PanelPrograms> panels_;
    // Device and inode of every protected file.
    std::vector<std::pair<uint64_t, uint64_t>> protected_;
};

// A file of the host (a build artifact), whole; a scenario error when it cannot be read.
std::vector<uint8_t> ReadHostFile(const std::string& path);
// Writes `bytes` as `path` on the simulated drive C:, making the folders on the way.
void PutOnDrive(ScenarioContext& c, const std::string& path, const std::vector<uint8_t>& bytes);

// Starts the control panel with that command line, as the logon's Run value or a user would,
// and waits until the start has settled (an elevated restart included); prints its message
// boxes and the `panel=` line. Returns CreateProcess's error, 0 when it started.
uint32_t StartPanelProgram(ScenarioContext& c, const std::string& commandLine);

// The commands of one area (registry, headsets, service, ...), each with its handler. An area
// is one file that registers its table with a `ScenarioCommandArea` at namespace scope.
using ScenarioCommandHandler = void (*)(ScenarioContext& context, const Words& words);

struct ScenarioCommandEntry {
    const char* name;
    ScenarioCommandHandler run;
    // The word that names a file the command reads (0: none), so that a run can keep its
    // inputs from being written over.
    size_t readsWord = 0;
};

class ScenarioCommandArea {
  public:
    // Adds the area's commands to the runner's table; a name registered twice stops the
    // program at start-up, before any scenario runs.
    ScenarioCommandArea(std::initializer_list<ScenarioCommandEntry> commands);
};

// The command of that name, or null for a name no area registered.
const ScenarioCommandEntry* FindScenarioCommand(const std::string& name);
// Every registered command name, sorted.
std::vector<std::string> ScenarioCommandNames();

// `mic signal N ...` (headset_commands.cpp): false, with nothing done, for any other `mic`
// command, so that the area owning the `mic` word can hand the signal to it.
bool RunMicSignalCommand(ScenarioContext& context, const Words& words);

// `file dump PATH` and `file write PATH HEX` (machine_commands.cpp): false, with nothing done,
// for any other `file` command; the area owning the `file` word hands them over.
bool RunMachineFileCommand(ScenarioContext& context, const Words& words);
