// The service control manager of the simulated machine: the service database, kept in the
// registry under "SYSTEM\CurrentControlSet\Services\<name>" as Windows keeps it, the client
// calls (OpenSCManager, CreateService, OpenService, StartService, ControlService,
// DeleteService, QueryServiceStatus, QueryServiceConfig, CloseServiceHandle) and the service
// side (StartServiceCtrlDispatcher, RegisterServiceCtrlHandlerEx, SetServiceStatus), with
// Windows' rules and error codes.
//
// Like Windows, the manager reads its database from the registry when it starts (a key whose
// "DeleteFlag" is set is deleted then) and afterwards keeps it itself, writing each creation
// and deletion through; keys written into the registry by anyone else are seen at the next
// start. It adds the system services every machine runs ("RpcSs", "EventLog", "PlugPlay"):
// they run for good, without a process, and accept no stop.
//
// An own-process service runs as a process (host/processes.h) of the program its image path
// names. StartServiceCtrlDispatcher, called on that process's thread, connects it: the
// manager starts ServiceMain on a new thread and delivers controls on the dispatcher's thread,
// one at a time, to the handler ServiceMain registered. The dispatcher returns once the
// service reported SERVICE_STOPPED and ServiceMain has returned. Kernel drivers are part of
// the database (opened, queried, deleted) but are loaded by Plug and Play only: StartService
// refuses them.
//
// All waits are in real time; a kernel thread waiting here counts as waiting outside the
// kernel.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/processes.h"
#include "host/registry.h"

namespace host {

// Access rights (winsvc.h, winnt.h).
constexpr uint32_t kScManagerConnect = 0x0001;
constexpr uint32_t kScManagerCreateService = 0x0002;
constexpr uint32_t kScManagerEnumerateService = 0x0004;
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceQueryConfig = 0x0001;
constexpr uint32_t kServiceChangeConfig = 0x0002;
constexpr uint32_t kServiceQueryStatus = 0x0004;
constexpr uint32_t kServiceEnumerateDependents = 0x0008;
constexpr uint32_t kServiceStart = 0x0010;
constexpr uint32_t kServiceStop = 0x0020;
constexpr uint32_t kServicePauseContinue = 0x0040;
constexpr uint32_t kServiceInterrogate = 0x0080;
constexpr uint32_t kServiceUserDefinedControl = 0x0100;
constexpr uint32_t kServiceAllAccess = 0xF01FF;
constexpr uint32_t kAccessDelete = 0x10000;

// Service types, start types and error controls.
constexpr uint32_t kServiceKernelDriver = 0x01;
constexpr uint32_t kServiceFileSystemDriver = 0x02;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceWin32ShareProcess = 0x20;
constexpr uint32_t kServiceInteractiveProcess = 0x100;
constexpr uint32_t kServiceBootStart = 0;
constexpr uint32_t kServiceSystemStart = 1;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;
constexpr uint32_t kServiceErrorIgnore = 0;
constexpr uint32_t kServiceErrorCritical = 3;

// States, controls and the controls a service accepts.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlParamChange = 6;
constexpr uint32_t kServiceControlNetBindAdd = 7;
constexpr uint32_t kServiceControlNetBindDisable = 10;
constexpr uint32_t kServiceAcceptStop = 0x01;
constexpr uint32_t kServiceAcceptPauseContinue = 0x02;
constexpr uint32_t kServiceAcceptShutdown = 0x04;
constexpr uint32_t kServiceAcceptParamChange = 0x08;
constexpr uint32_t kServiceAcceptNetBindChange = 0x10;

// The service control manager's Win32 errors.
constexpr uint32_t kErrorDependentServicesRunning = 1051;
constexpr uint32_t kErrorInvalidServiceControl = 1052;
constexpr uint32_t kErrorServiceRequestTimeout = 1053;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDisabled = 1058;
constexpr uint32_t kErrorCircularDependency = 1059;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrorProcessAborted = 1067;
constexpr uint32_t kErrorServiceDependencyFail = 1068;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorServiceDependencyDeleted = 1075;
constexpr uint32_t kErrorDuplicateServiceName = 1078;
constexpr uint32_t kErrorServiceNotInExe = 1083;

using ScHandle = uint64_t;
using ServiceStatusHandle = uint64_t;

struct ServiceConfig {
    std::string serviceName;
    std::string displayName;
    uint32_t serviceType = kServiceWin32OwnProcess;
    uint32_t startType = kServiceDemandStart;
    uint32_t errorControl = 1;
    std::string binaryPath;
    std::vector<std::string> dependencies;
    std::string objectName;  // the account; "LocalSystem" when created without one
};

struct ServiceStatus {
    uint32_t serviceType = 0;
    uint32_t currentState = kServiceStopped;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

class ServiceControlManager {
  public:
    // Reads the database from the registry (see above). `timeoutMs` is how long a
    // started process has to call StartServiceCtrlDispatcher, and how long a control handler
    // may take, before the manager gives up with kErrorServiceRequestTimeout (30 s on Windows).
    ServiceControlManager(Registry& registry, Processes& processes, uint32_t timeoutMs = 30000);
    // Terminates the processes of the services still running and waits for them.
    ~ServiceControlManager();
    ServiceControlManager(const ServiceControlManager&) = delete;
    ServiceControlManager& operator=(const ServiceControlManager&) = delete;

    // --- Clients ---------------------------------------------------------------------------
    uint32_t OpenSCManager(uint32_t access, ScHandle* manager);
    uint32_t CreateService(ScHandle manager, const ServiceConfig& config, uint32_t access,
                           ScHandle* service);
    uint32_t OpenService(ScHandle manager, std::string_view name, uint32_t access,
                         ScHandle* service);
    // Starts an own-process service's program and returns once it connected and ServiceMain
    // was started (the service is then START_PENDING until it reports otherwise). Stopped
    // dependencies are started first.
    uint32_t StartService(ScHandle service, const std::vector<std::string>& arguments = {});
    // Passes the control to the service's handler and returns its answer with the status.
    uint32_t ControlService(ScHandle service, uint32_t control, ServiceStatus* status);
    // Marks the service for deletion; it leaves the database (and the registry) once it is
    // stopped and every handle to it is closed.
    uint32_t DeleteService(ScHandle service);
    uint32_t QueryServiceStatus(ScHandle service, ServiceStatus* status);
    uint32_t QueryServiceConfig(ScHandle service, ServiceConfig* config);
    uint32_t CloseServiceHandle(ScHandle handle);

    // --- Services, from inside the process the manager started ------------------------------
    using ServiceMainFunction = std::function<void(const std::vector<std::string>& arguments)>;
    using HandlerFunction = std::function<uint32_t(uint32_t control)>;
    // kErrorFailedServiceControllerConnect when the calling thread's process was not started
    // by the manager, kErrorServiceNotInExe when `name` is not the service it was started for.
    uint32_t StartServiceCtrlDispatcher(std::string_view name, ServiceMainFunction main);
    // From the service's threads once its dispatcher runs.
    uint32_t RegisterServiceCtrlHandler(std::string_view name, HandlerFunction handler,
                                        ServiceStatusHandle* handle);
    uint32_t SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

    // --- The simulator's view (no Win32 counterpart) ---------------------------------------
    // Starts every service whose start type is automatic, as the machine's boot does.
    void StartAutoStartServices();
    // The service's status, or nothing when the database has no such service.
    std::optional<ServiceStatus> Status(std::string_view name);
    // The process an own-process service runs in, 0 when none.
    ProcessId ServiceProcess(std::string_view name);
    // Waits until the service is in `state` (a service that leaves the database counts as
    // stopped); false after `timeoutMs`.
    bool WaitForState(std::string_view name, uint32_t state, uint32_t timeoutMs);
    // Waits until nothing is in progress: no service in a pending state, no control being
    // handled and no service process that has stopped but not yet ended. False after
    // `timeoutMs`.
    bool WaitIdle(uint32_t timeoutMs);
    std::vector<std::string> ServiceNames();

    struct Service;

  private:
    struct Handle;
    struct Control;
    struct Run;
    struct StatusHandle {
        std::weak_ptr<Service> service;
        std::weak_ptr<Run> run;
    };

    std::shared_ptr<Service> FindLocked(std::string_view name);
    std::shared_ptr<Service> ServiceOfHandle(ScHandle handle, uint32_t* access);
    // The handle's service when the handle was opened with every right in `needed`; the
    // error the service manager returns otherwise.
    uint32_t ServiceWithAccess(ScHandle handle, uint32_t needed, std::shared_ptr<Service>* service);
    ServiceStatus CurrentStatus(const Service& service) const;
    uint32_t StartLocked(std::unique_lock<std::mutex>& lock,
                         const std::shared_ptr<Service>& service,
                         const std::vector<std::string>& arguments, int depth);
    void ProcessEnded(const std::weak_ptr<Service>& service, const std::shared_ptr<Run>& run);
    void DeleteIfUnusedLocked(const std::shared_ptr<Service>& service);
    void WriteServiceKey(const ServiceConfig& config);
    void LoadDatabase();
    void AddSystemServices();
    bool IdleLocked() const;

    Registry& registry_;
    Processes& processes_;
    uint32_t timeoutMs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::shared_ptr<Service>> services_;  // by folded name
    std::map<ScHandle, std::unique_ptr<Handle>> handles_;
    std::map<ServiceStatusHandle, StatusHandle> statusHandles_;
    ScHandle nextHandle_ = 0x1000;
    ServiceStatusHandle nextStatusHandle_ = 0x2000;
    int controlsInFlight_ = 0;
};

}  // namespace host
