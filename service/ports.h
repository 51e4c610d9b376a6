// What the attachment service needs of Windows, as small interfaces. The logic reaches the
// system only through these; the Windows build implements them over Win32 (win32/), the
// tests and the simulator over their own stand-ins. Every operation reports a Win32 error
// code (0 = success) with the meaning Windows gives it, so that the debug texts can quote
// the code and a stand-in can fail exactly where Windows fails.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Method names steer clear of the names <windows.h> turns into macros (DeleteFile,
// CreateService, ...), so the Win32 implementations can include both.
namespace dovrel {

using WinError = uint32_t;

// The Win32 error codes the service and its stand-ins use, with Windows' values.
constexpr WinError kErrorSuccess = 0;
constexpr WinError kErrorFileNotFound = 2;
constexpr WinError kErrorAccessDenied = 5;
constexpr WinError kErrorInvalidData = 13;
constexpr WinError kErrorInvalidParameter = 87;
constexpr WinError kErrorInsufficientBuffer = 122;
constexpr WinError kErrorNoMoreItems = 259;
constexpr WinError kErrorKeyDeleted = 1018;
constexpr WinError kErrorCallNotImplemented = 120;
constexpr WinError kErrorServiceDoesNotExist = 1060;
constexpr WinError kErrorServiceNotActive = 1062;
constexpr WinError kErrorFailedServiceControllerConnect = 1063;
constexpr WinError kErrorServiceMarkedForDelete = 1072;
constexpr WinError kErrorServiceExists = 1073;

// ---------------------------------------------------------------------------------------
// Devices (SetupAPI)

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// KSCATEGORY_AUDIO, the interface class of every audio function.
constexpr Guid kKsCategoryAudio = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// Device registry properties, with their SPDRP_ values.
enum class DeviceProperty : uint32_t {
    HardwareId = 0x01,    // REG_MULTI_SZ
    LowerFilters = 0x12,  // REG_MULTI_SZ
};

// Registry value types, with their REG_ values.
enum class RegistryType : uint32_t {
    None = 0,
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
};

// DICS_ state changes and DICS_FLAG_ scopes of a property-change request.
enum class DeviceStateChange : uint32_t {
    Enable = 1,
    Disable = 2,
    PropChange = 3,
    Start = 4,
    Stop = 5
};
enum class DeviceChangeScope : uint32_t { Global = 1, ConfigSpecific = 2 };

struct PropertyChangeParams {
    DeviceStateChange stateChange;
    DeviceChangeScope scope;
    uint32_t hwProfile;
};

// The flags of SP_DEVINSTALL_PARAMS (DI_NEEDRESTART, DI_NEEDREBOOT, ...).
struct DeviceInstallParams {
    uint32_t flags = 0;
    uint32_t flagsEx = 0;
};

// One element of a device information set: its index in the set that handed it out.
struct DeviceInfo {
    uint32_t index = 0;
};

// A device information set (HDEVINFO); destroying it releases the set.
class DeviceInfoSet {
  public:
    virtual ~DeviceInfoSet() = default;

    // SetupDiEnumDeviceInfo: the element at `index`, kErrorNoMoreItems past the last one.
    virtual WinError EnumDeviceInfo(uint32_t index, DeviceInfo* device) = 0;

    // SetupDiGetDeviceRegistryProperty, 8-bit text. Stores the value's type and its size in
    // bytes; copies the data when `bufferSize` holds it, otherwise fails with
    // kErrorInsufficientBuffer (`buffer` may then be null). A property the device does not
    // have fails with kErrorInvalidData.
    virtual WinError GetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                               RegistryType* type, uint8_t* buffer,
                                               uint32_t bufferSize, uint32_t* requiredSize) = 0;

    // SetupDiSetDeviceRegistryProperty, 8-bit text; the property's own type (REG_MULTI_SZ for
    // the filter lists) is implied.
    virtual WinError SetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                               const uint8_t* data, uint32_t size) = 0;

    // SetupDiSetClassInstallParams with a DIF_PROPERTYCHANGE header.
    virtual WinError SetPropertyChangeParams(DeviceInfo device,
                                             const PropertyChangeParams& params) = 0;

    // SetupDiCallClassInstaller(DIF_PROPERTYCHANGE): carries out the request set last.
    virtual WinError CallPropertyChangeInstaller(DeviceInfo device) = 0;

    // SetupDiGetDeviceInstallParams.
    virtual WinError GetDeviceInstallParams(DeviceInfo device, DeviceInstallParams* params) = 0;
};

class DeviceManager {
  public:
    virtual ~DeviceManager() = default;

    // SetupDiGetClassDevs(class, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE): the present devices
    // that expose an interface of `interfaceClass`, in the current hardware profile.
    virtual WinError GetPresentInterfaceDevices(const Guid& interfaceClass,
                                                std::unique_ptr<DeviceInfoSet>* set) = 0;
};

// ---------------------------------------------------------------------------------------
// Registry

enum class RegistryHive { LocalMachine, ClassesRoot };

// An open key (HKEY). Names are case-insensitive, as in Windows. Strings are UTF-8 here.
class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    virtual WinError SetDword(const std::string& name, uint32_t value) = 0;
    // `type` is Sz or ExpandSz.
    virtual WinError SetString(const std::string& name, RegistryType type,
                               const std::string& text) = 0;
    // Whether the value exists (kErrorFileNotFound when not), and its type.
    virtual WinError QueryValueType(const std::string& name, RegistryType* type) = 0;
    virtual WinError DeleteValue(const std::string& name) = 0;
};

class Registry {
  public:
    virtual ~Registry() = default;
    // RegCreateKeyEx with KEY_ALL_ACCESS: opens the key, creating it and any missing parents.
    virtual WinError CreateKey(RegistryHive hive, const std::string& path,
                               std::unique_ptr<RegistryKey>* key) = 0;
    // RegOpenKeyEx with KEY_READ: kErrorFileNotFound when the key does not exist.
    virtual WinError OpenKey(RegistryHive hive, const std::string& path,
                             std::unique_ptr<RegistryKey>* key) = 0;
    // RegDeleteTree of the key itself: the key with all its subkeys and values.
    virtual WinError DeleteTree(RegistryHive hive, const std::string& path) = 0;
};

// ---------------------------------------------------------------------------------------
// Service control manager

// Access rights and the values of CreateService, with their Win32 values.
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceQueryConfig = 0x0001;
constexpr uint32_t kServiceStop = 0x0020;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kServiceAllAccess = 0xF01FF;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceErrorNormal = 1;

// Service control codes and states.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStop = 1;

struct ServiceConfig {
    std::string serviceName;
    std::string displayName;
    uint32_t serviceType = 0;
    uint32_t startType = 0;
    uint32_t errorControl = 0;
    std::string binaryPath;
    std::vector<std::string> dependencies;
};

// A service opened or created through the manager (SC_HANDLE).
class ServiceHandle {
  public:
    virtual ~ServiceHandle() = default;
    // ControlService; needs the access right of the control (SERVICE_STOP for stop).
    virtual WinError Control(uint32_t code) = 0;
    // DeleteService; needs DELETE. A running service is only marked for deletion.
    virtual WinError Delete() = 0;
};

// An open connection to the service control manager's database (SC_HANDLE).
class ServiceDatabase {
  public:
    virtual ~ServiceDatabase() = default;
    // OpenService.
    virtual WinError Open(const std::string& name, uint32_t access,
                          std::unique_ptr<ServiceHandle>* service) = 0;
    // CreateService; kErrorServiceExists when the name is taken.
    virtual WinError Create(const ServiceConfig& config, uint32_t access,
                            std::unique_ptr<ServiceHandle>* service) = 0;
};

class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    // OpenSCManager on the local machine's active database.
    virtual WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) = 0;
};

struct ServiceStatus {
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

// What a program hands the dispatcher when it runs as a service.
class ServiceCallbacks {
  public:
    virtual ~ServiceCallbacks() = default;
    // The service's main function, on the thread the service control manager gives it;
    // the service runs until it returns.
    virtual void ServiceMain() = 0;
    // A control request, on the dispatcher's thread (not ServiceMain's). NO_ERROR or
    // kErrorCallNotImplemented, as a HandlerEx returns.
    virtual WinError HandleControl(uint32_t control) = 0;
};

// The running side of a service: StartServiceCtrlDispatcher, RegisterServiceCtrlHandlerEx
// and SetServiceStatus.
class ServiceDispatcher {
  public:
    virtual ~ServiceDispatcher() = default;
    // Connects the process to the service control manager as the own-process service
    // `name`, registers the control handler and calls ServiceMain; returns when ServiceMain
    // has returned. kErrorFailedServiceControllerConnect when the process was not started
    // by the service control manager.
    virtual WinError Run(const std::string& name, ServiceCallbacks* callbacks) = 0;
    // Only while Run is running.
    virtual WinError SetStatus(const ServiceStatus& status) = 0;
};

// ---------------------------------------------------------------------------------------
// Event log, debug output, message boxes

enum class EventType : uint16_t { Error = 1, Warning = 2, Information = 4 };

class EventLog {
  public:
    virtual ~EventLog() = default;
    // RegisterEventSource(source) + ReportEvent with the one string; failures are silent.
    virtual void Report(const std::string& source, EventType type, const std::string& text) = 0;
};

class DebugOutput {
  public:
    virtual ~DebugOutput() = default;
    // OutputDebugString: the text exactly as given, line ends included.
    virtual void Write(const std::string& text) = 0;
};

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // MessageBox with an OK button; returns when the user closed it.
    virtual void Show(const std::string& text, const std::string& caption) = 0;
};

// ---------------------------------------------------------------------------------------
// The service thread's timer and message loop

class MessageLoop {
  public:
    virtual ~MessageLoop() = default;
    // On the thread that calls it: starts a thread timer of `periodMs` (SetTimer with a
    // callback) and pumps messages until the quit message, calling `onTick` from the loop
    // for every timer message. Work handed over with Post runs on this thread, in the
    // order posted, between ticks. Ends the timer before it returns.
    virtual WinError Run(uint32_t periodMs, const std::function<void()>& onTick) = 0;
    // From any thread. Work posted before Run starts runs as soon as it does.
    virtual void Post(std::function<void()> work) = 0;
    // From any thread: posts the quit message to the loop's thread. A quit that arrives
    // before Run starts ends Run at once (after the work posted before it).
    virtual void PostQuit() = 0;
    // Sleep on the calling thread.
    virtual void Sleep(uint32_t milliseconds) = 0;
};

// ---------------------------------------------------------------------------------------
// Files

class SystemFiles {
  public:
    virtual ~SystemFiles() = default;
    // GetSystemDirectory, as Windows returns it (normally without a trailing separator).
    virtual WinError SystemDirectory(std::string* path) = 0;
    // GetModuleFileName of the running program: its own full path.
    virtual WinError ModulePath(std::string* path) = 0;
    // DeleteFile.
    virtual WinError RemoveFile(const std::string& path) = 0;
};

// Everything the service program is wired to.
struct ServicePorts {
    DeviceManager& devices;
    Registry& registry;
    ServiceManager& services;
    ServiceDispatcher& dispatcher;
    EventLog& eventLog;
    DebugOutput& debug;
    MessageBoxes& messageBoxes;
    MessageLoop& loop;
    SystemFiles& files;
};

}  // namespace dovrel
