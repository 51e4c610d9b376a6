// In-memory implementations of the service's ports that behave like Windows: a property
// write changes what the next read returns, a deleted key is gone, a stopped service
// refuses the stop, the service control manager refuses controls a service does not accept.
// Each records what was done to it and can be told to fail where Windows can fail.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ports.h"

namespace dovrel {

// ---------------------------------------------------------------------------------------

struct MemoryDevice {
    struct Property {
        RegistryType type = RegistryType::MultiSz;
        std::vector<uint8_t> data;
    };
    enum class State { Started, Stopped };

    std::string instanceId;
    bool present = true;
    bool audioInterface = true;  // exposes a KSCATEGORY_AUDIO interface
    std::map<DeviceProperty, Property> properties;
    State state = State::Started;

    // Failures to inject (0 = none).
    std::map<DeviceProperty, WinError> readErrors;  // both calls of the size query
    WinError writeError = 0;
    WinError setParamsError = 0;
    WinError stopError = 0;
    WinError startError = 0;
    WinError installParamsError = 0;

    // What was done: every class-installer call with its parameters, and the lower filters
    // the device was started with each time (the stack Plug and Play built).
    std::vector<PropertyChangeParams> installerCalls;
    std::vector<std::vector<std::string>> startedWithFilters;

    void SetMultiString(DeviceProperty property, const std::vector<std::string>& strings);
    void SetRaw(DeviceProperty property, RegistryType type, std::vector<uint8_t> data);
    // The strings of a property, empty when it is absent.
    std::vector<std::string> MultiString(DeviceProperty property) const;
    bool Has(DeviceProperty property) const { return properties.count(property) != 0; }
};

class MemoryDeviceManager : public DeviceManager {
  public:
    // A started device with the given hardware ids and, unless null, lower filters.
    MemoryDevice& AddDevice(const std::string& instanceId,
                            const std::vector<std::string>& hardwareIds,
                            const std::vector<std::string>* lowerFilters = nullptr);
    MemoryDevice& AddDevice(const std::string& instanceId,
                            const std::vector<std::string>& hardwareIds,
                            const std::vector<std::string>& lowerFilters) {
        return AddDevice(instanceId, hardwareIds, &lowerFilters);
    }

    WinError GetPresentInterfaceDevices(const Guid& interfaceClass,
                                        std::unique_ptr<DeviceInfoSet>* set) override;

    std::vector<std::unique_ptr<MemoryDevice>> devices;
    WinError getSetError = 0;
    int setsCreated = 0;
    int setsOpen = 0;
};

// ---------------------------------------------------------------------------------------

class MemoryRegistry : public Registry {
  public:
    struct Value {
        std::string name;
        RegistryType type = RegistryType::None;
        uint32_t dword = 0;
        std::string text;
    };

    WinError CreateKey(RegistryHive hive, const std::string& path,
                       std::unique_ptr<RegistryKey>* key) override;
    WinError OpenKey(RegistryHive hive, const std::string& path,
                     std::unique_ptr<RegistryKey>* key) override;
    WinError DeleteTree(RegistryHive hive, const std::string& path) override;

    bool KeyExists(RegistryHive hive, const std::string& path) const;
    // A copy of the value, or a value of type None when there is none.
    Value GetValue(RegistryHive hive, const std::string& path, const std::string& name) const;
    std::vector<std::string> ValueNames(RegistryHive hive, const std::string& path) const;
    // Every key of the hive, as created (letter case of their first creation).
    std::vector<std::string> KeyPaths(RegistryHive hive) const;

    // Every operation on this key (or a key below it) fails with kErrorAccessDenied.
    void Deny(RegistryHive hive, const std::string& path);

    // Every DeleteTree call, as "HKLM\path" or "HKCR\path", in order.
    std::vector<std::string> deleteTreeCalls;

  private:
    friend class MemoryRegistryKey;
    struct Key {
        std::string path;
        uint64_t id = 0;
        std::map<std::string, Value> values;  // by lower-case name
    };
    using KeyId = std::pair<RegistryHive, std::string>;  // lower-case path

    bool IsDenied(RegistryHive hive, const std::string& lowerPath) const;
    Key* Find(RegistryHive hive, const std::string& lowerPath, uint64_t id);

    mutable std::recursive_mutex mutex_;
    std::map<KeyId, Key> keys_;
    std::set<KeyId> denied_;
    uint64_t nextId_ = 1;
};

// ---------------------------------------------------------------------------------------

struct MemoryService {
    ServiceConfig config;
    uint32_t state = kServiceStopped;
    bool markedForDelete = false;
};

class MemoryServiceManager : public ServiceManager {
  public:
    WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override;

    MemoryService* Find(const std::string& name);

    std::map<std::string, MemoryService> services;  // by lower-case name
    WinError openManagerError = 0;
    std::deque<WinError> openManagerResults;  // results of the next Opens, then openManagerError
    WinError openServiceError = 0;
    uint32_t deniedServiceAccess = 0;  // OpenService asking for any of these is refused
    WinError createError = 0;
    WinError deleteError = 0;
    bool slowStop = false;  // a stop leaves a running service stop-pending for a while
    std::vector<uint32_t> managerAccess;  // access asked for at each Open
    std::vector<uint32_t> controlsSent;   // every ControlService, accepted or not
    int deletes = 0;
};

// The service control manager's side of a running service: ServiceMain runs on the caller's
// thread; a test sends controls from inside it (from the message loop's beforeTick).
class MemoryServiceDispatcher : public ServiceDispatcher {
  public:
    WinError Run(const std::string& name, ServiceCallbacks* callbacks) override;
    WinError SetStatus(const ServiceStatus& status) override;

    // ControlService as the service control manager passes it on: refused while no
    // service runs (kErrorServiceNotActive) or in a pending state (1061), a stop that is
    // not accepted likewise; otherwise the handler's answer.
    WinError SendControl(uint32_t control);
    std::vector<uint32_t> States() const;

    WinError connectError = 0;
    std::string runName;
    std::vector<ServiceStatus> statuses;

  private:
    ServiceCallbacks* callbacks_ = nullptr;
};

// ---------------------------------------------------------------------------------------

class MemoryEventLog : public EventLog {
  public:
    struct Entry {
        std::string source;
        EventType type;
        std::string text;
    };
    void Report(const std::string& source, EventType type, const std::string& text) override;
    std::vector<std::string> Texts() const;
    std::vector<Entry> entries;
};

class MemoryDebugOutput : public DebugOutput {
  public:
    void Write(const std::string& text) override { writes.push_back(text); }
    std::vector<std::string> writes;
};

class MemoryMessageBoxes : public MessageBoxes {
  public:
    struct Box {
        std::string text;
        std::string caption;
    };
    void Show(const std::string& text, const std::string& caption) override;
    std::vector<std::string> Texts() const;
    std::vector<Box> shown;
};

// A virtual-time message loop: each turn runs the posted work, ends on a quit, and
// otherwise lets `periodMs` pass and ticks. Work and quits posted by `beforeTick` come
// before that tick, as posted messages come before WM_TIMER.
class MemoryMessageLoop : public MessageLoop {
  public:
    WinError Run(uint32_t periodMs, const std::function<void()>& onTick) override;
    void Post(std::function<void()> work) override;
    void PostQuit() override;
    void Sleep(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }

    std::function<void(int tick)> beforeTick;
    int maxTicks = 1000;  // a loop nobody ends stops here, and Run fails
    int ticks = 0;
    uint32_t periodMs = 0;
    bool running = false;
    std::vector<uint32_t> sleeps;

  private:
    bool DrainPosted();  // true when a quit was among the posted messages

    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;  // an empty function is the quit message
};

class MemorySystemFiles : public SystemFiles {
  public:
    WinError SystemDirectory(std::string* path) override;
    WinError ModulePath(std::string* path) override;
    WinError RemoveFile(const std::string& path) override;

    bool Exists(const std::string& path) const;

    std::string systemDirectory = "C:\\WINDOWS\\system32";
    std::string modulePath = "C:\\WINDOWS\\system32\\Dovrel.exe";
    WinError systemDirectoryError = 0;
    std::set<std::string> files;   // lower-case full paths
    std::set<std::string> locked;  // lower-case full paths that refuse deletion
    std::vector<std::string> removeAttempts;
};

// Every port at once, wired for a DovrelService.
struct MemoryMachine {
    MemoryDeviceManager devices;
    MemoryRegistry registry;
    MemoryServiceManager services;
    MemoryServiceDispatcher dispatcher;
    MemoryEventLog eventLog;
    MemoryDebugOutput debug;
    MemoryMessageBoxes messageBoxes;
    MemoryMessageLoop loop;
    MemorySystemFiles files;

    ServicePorts Ports() {
        return ServicePorts{devices, registry,     services, dispatcher, eventLog,
                            debug,   messageBoxes, loop,     files};
    }
};

}  // namespace dovrel
