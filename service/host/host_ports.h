// The service's ports over the simulated machine (host build): SetupAPI over the Plug and Play
// manager, the registry over the machine registry, the service control manager, event log,
// processes and drive C: of host::UserSystem, debug output and message boxes that are recorded,
// and a message loop whose timer the simulator or a test drives.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ports.h"

namespace host {
class EventLog;
class FileSystem;
class PnpManager;
class Processes;
class Registry;
class ServiceControlManager;
}  // namespace host

namespace dovrel {

// SetupAPI's error codes for device sets (setupapi.h), and the flags of the install parameters
// a property change can set.
constexpr WinError kErrorInvalidFlags = 1004;
constexpr WinError kErrorNotSupported = 50;
constexpr WinError kErrorInvalidRegProperty = 0xE0000209;
constexpr WinError kErrorNoSuchDevinst = 0xE000020B;
constexpr WinError kErrorNoClassInstallParams = 0xE0000215;
constexpr uint32_t kDiNeedRestart = 0x00000080;
constexpr uint32_t kDiNeedReboot = 0x00000100;

// Device sets over the Plug and Play manager: the present devices with an enabled interface of
// the class, device registry properties read from and written to each device's Enum key (8-bit
// text as the ANSI functions give it, Latin-1 being the machine's code page), and the property
// change's stop and start carried out by the manager on the device node.
class HostDeviceManager : public DeviceManager {
  public:
    explicit HostDeviceManager(host::PnpManager& pnp);

    WinError GetPresentInterfaceDevices(const Guid& interfaceClass,
                                        std::unique_ptr<DeviceInfoSet>* set) override;

    // Every class-installer call of every set, in order.
    struct InstallerCall {
        std::string instancePath;
        DeviceStateChange stateChange;
        WinError error;
    };
    std::vector<InstallerCall> InstallerCalls() const;
    void RecordInstallerCall(const InstallerCall& call);

  private:
    host::PnpManager& pnp_;
    mutable std::mutex mutex_;
    std::vector<InstallerCall> calls_;
};

// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT of the machine registry. A key handle names its key
// by path: after the key is deleted its operations fail with kErrorKeyDeleted.
class HostRegistry : public Registry {
  public:
    explicit HostRegistry(host::Registry& registry);

    WinError CreateKey(RegistryHive hive, const std::string& path,
                       std::unique_ptr<RegistryKey>* key) override;
    WinError OpenKey(RegistryHive hive, const std::string& path,
                     std::unique_ptr<RegistryKey>* key) override;
    WinError DeleteTree(RegistryHive hive, const std::string& path) override;

    // Every DeleteTree, as "HKLM\path" or "HKCR\path", with its result.
    struct Deletion {
        std::string path;
        WinError error;
    };
    std::vector<Deletion> Deletions() const;

  private:
    host::Registry& registry_;
    mutable std::mutex mutex_;
    std::vector<Deletion> deletions_;
};

class HostServiceManager : public ServiceManager {
  public:
    explicit HostServiceManager(host::ServiceControlManager& manager) : manager_(manager) {}
    WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override;

  private:
    host::ServiceControlManager& manager_;
};

// One per process, as on Windows.
class HostServiceDispatcher : public ServiceDispatcher {
  public:
    explicit HostServiceDispatcher(host::ServiceControlManager& manager) : manager_(manager) {}
    WinError Run(const std::string& name, ServiceCallbacks* callbacks) override;
    WinError SetStatus(const ServiceStatus& status) override;

  private:
    host::ServiceControlManager& manager_;
    std::atomic<uint64_t> statusHandle_{0};
};

class HostEventLog : public EventLog {
  public:
    explicit HostEventLog(host::EventLog& log) : log_(log) {}
    void Report(const std::string& source, EventType type, const std::string& text) override;

  private:
    host::EventLog& log_;
};

// What OutputDebugString would show a debugger, kept in order.
class CapturedDebugOutput : public DebugOutput {
  public:
    explicit CapturedDebugOutput(bool echo = false) : echo_(echo) {}
    void Write(const std::string& text) override;
    std::vector<std::string> Writes() const;

  private:
    bool echo_;
    mutable std::mutex mutex_;
    std::vector<std::string> writes_;
};

// Every message box, answered at once with OK, as a user who clicks it away.
class RecordedMessageBoxes : public MessageBoxes {
  public:
    struct Box {
        std::string text;
        std::string caption;
    };
    void Show(const std::string& text, const std::string& caption) override;
    std::vector<Box> Shown() const;

  private:
    mutable std::mutex mutex_;
    std::vector<Box> shown_;
};

// A thread's message loop whose timer is driven from outside: Tick lets one timer period pass
// (the loop runs what was posted before it, then one timer callback). In real-time mode the
// timer also fires every period of the real clock. Posted work and the quit message come
// before a timer message, as posted messages come before WM_TIMER on Windows.
class HostMessageLoop : public MessageLoop {
  public:
    struct Options {
        bool realTime = false;
        // What Sleep does; a real sleep when empty.
        std::function<void(uint32_t milliseconds)> sleep;
    };
    HostMessageLoop() : HostMessageLoop(Options{}) {}
    explicit HostMessageLoop(Options options);

    WinError Run(uint32_t periodMs, const std::function<void()>& onTick) override;
    void Post(std::function<void()> work) override;
    void PostQuit() override;
    void Sleep(uint32_t milliseconds) override;

    // From another thread. Waits up to `timeoutMs` for Run to start, then has one timer
    // callback run and returns once it returned. False when Run has ended (or never started in
    // time) before the callback ran.
    bool Tick(uint32_t timeoutMs = 30000);
    // From another thread: returns once the work posted before it has run; false as Tick.
    bool Flush(uint32_t timeoutMs = 30000);
    uint32_t PeriodMs() const;
    uint64_t TicksRun() const;

  private:
    bool WaitForRunLocked(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs);

    Options options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> posted_;  // an empty function is the quit message
    bool running_ = false;
    bool ended_ = false;
    uint32_t periodMs_ = 0;
    uint64_t ticksRequested_ = 0;
    uint64_t ticksServed_ = 0;
    uint64_t ticksRun_ = 0;
};

// The system directory of drive C: ("C:\Windows\system32") and the program's own path: the
// image the calling process was started from when `processes` knows it (a program written
// into SysWOW64 by a 32-bit installer runs from there), else `modulePath`.
class HostSystemFiles : public SystemFiles {
  public:
    HostSystemFiles(host::FileSystem& files, std::string modulePath,
                    host::Processes* processes = nullptr);
    WinError SystemDirectory(std::string* path) override;
    WinError ModulePath(std::string* path) override;
    WinError RemoveFile(const std::string& path) override;

    // Every RemoveFile, with its result.
    struct Removal {
        std::string path;
        WinError error;
    };
    std::vector<Removal> Removals() const;

  private:
    host::FileSystem& files_;
    std::string modulePath_;
    host::Processes* processes_;
    mutable std::mutex mutex_;
    std::vector<Removal> removals_;
};

}  // namespace dovrel
