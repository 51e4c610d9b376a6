// "Dovrel.exe" on the simulated machine: the program registered with the machine's processes,
// each of its runs wired to the host ports, and the operations the simulator and the tests
// perform on it (install, start, stop, a control code, uninstall, one scan).
//
// Create it after the host::Machine and the host::UserSystem and destroy it before them, when
// no start of the program is under way. Its operations may be called from any thread; the
// service itself runs on the threads of its own process.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/user_system.h"
#include "host_ports.h"

namespace host {
class PnpManager;
}

namespace dovrel {

class DovrelHost {
  public:
    static constexpr const char* kImageName = "Dovrel.exe";
    // "C:\Windows\system32\Dovrel.exe", where the installer writes the program.
    static std::string ProgramPath();

    struct Options {
        // The service's timer also fires every 1300 ms of real time, not only on Scan.
        bool realTimeTimer = false;
        // The service's debug output also goes to stderr.
        bool echoDebugOutput = false;
    };

    DovrelHost(host::PnpManager& pnp, host::UserSystem& system);
    DovrelHost(host::PnpManager& pnp, host::UserSystem& system, Options options);
    // Ends the program's processes that still run (their message loops quit) and waits.
    ~DovrelHost();
    DovrelHost(const DovrelHost&) = delete;
    DovrelHost& operator=(const DovrelHost&) = delete;

    // Runs the program with the given command line after its path, as CreateProcess and a wait
    // for its end do. Returns its exit code; when it cannot start, -1 with the Win32 error in
    // `error`.
    int RunProgram(const std::string& arguments, WinError* error = nullptr);

    // `service install`: writes the program file into the system directory when it is missing
    // and runs it with "  /Service", as the installer does: any old registration is deleted,
    // the application identity written and the service created. Returns the exit code.
    int Install();
    // `service uninstall`: runs the program with "/UnregServer" (stop and delete the service),
    // then waits until the running service has stopped and so left the database.
    int Uninstall();
    // `service start`: StartService, then waits (up to 30 polls of 300 ms, as the installer
    // does) until the service reports running. The start's Win32 error, or
    // kErrorServiceNotActive when it stopped again, 1053 when it did not come up in time.
    WinError Start();
    // `service stop`: ControlService(stop), then waits until the service has stopped and its
    // process has ended. The control's Win32 error.
    WinError Stop();
    // `service control CODE`: ControlService(code); once it is accepted, waits until the work
    // the handler handed to the service's thread has run (code 128's removal). The control's
    // Win32 error.
    WinError Control(uint32_t code);
    // `service scan`: one timer period of the running service, that is one attachment scan on
    // the service's thread; returns once it finished. False when the service's loop is not
    // running.
    bool Scan();

    // The service's state with the service control manager (kServiceStopped when not
    // installed).
    uint32_t State();

    HostDeviceManager& devices() { return devices_; }
    HostRegistry& registry() { return registry_; }
    HostSystemFiles& files() { return files_; }
    std::vector<std::string> DebugOutput() const { return debug_.Writes(); }
    std::vector<RecordedMessageBoxes::Box> MessageBoxes() const { return messageBoxes_.Shown(); }

  private:
    int ProgramMain(const std::string& arguments);
    std::shared_ptr<HostMessageLoop> ServiceLoop();
    class OpenedService;

    host::UserSystem& system_;
    Options options_;
    HostDeviceManager devices_;
    HostRegistry registry_;
    HostServiceManager services_;
    HostEventLog eventLog_;
    CapturedDebugOutput debug_;
    RecordedMessageBoxes messageBoxes_;
    HostSystemFiles files_;
    std::mutex mutex_;
    std::map<host::ProcessId, std::shared_ptr<HostMessageLoop>> loops_;  // of running processes
    std::vector<host::ProcessId> processes_;  // every process that ran the program
};

}  // namespace dovrel
