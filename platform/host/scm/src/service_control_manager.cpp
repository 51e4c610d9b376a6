#include "host/service_control_manager.h"

#include <chrono>

#include "host/kernel.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host {
namespace {

constexpr const char* kServicesKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services";
constexpr size_t kMaxServiceName = 256;
constexpr int kMaxDependencyDepth = 32;
// Set in a service's key while it is marked for deletion; a start finds and deletes such keys.
constexpr const char* kDeleteFlag = "DeleteFlag";
constexpr const char* kLocalSystem = "LocalSystem";
constexpr uint32_t kErrorInvalidData = 13;

std::string ServiceKey(std::string_view name) {
    return std::string(kServicesKey) + "\\" + std::string(name);
}

bool IsDriver(uint32_t type) {
    return type == kServiceKernelDriver || type == kServiceFileSystemDriver;
}

bool IsPending(uint32_t state) {
    return state == kServiceStartPending || state == kServiceStopPending ||
           state == kServiceContinuePending || state == kServicePausePending;
}

bool ValidType(uint32_t type) {
    if (IsDriver(type)) {
        return true;
    }
    const uint32_t process = type & ~kServiceInteractiveProcess;
    return process == kServiceWin32OwnProcess || process == kServiceWin32ShareProcess;
}

struct SystemService {
    const char* name;
    const char* displayName;
    const char* imagePath;
    const char* account;
};

// The services every machine runs, which others name as dependencies.
constexpr SystemService kSystemServices[] = {
    {"RpcSs", "Remote Procedure Call (RPC)", "%SystemRoot%\\system32\\svchost.exe -k rpcss",
     "NT AUTHORITY\\NetworkService"},
    {"EventLog", "Windows Event Log",
     "%SystemRoot%\\System32\\svchost.exe -k LocalServiceNetworkRestricted",
     "NT AUTHORITY\\LocalService"},
    {"PlugPlay", "Plug and Play", "%SystemRoot%\\system32\\svchost.exe -k DcomLaunch",
     kLocalSystem},
};

}  // namespace

struct ServiceControlManager::Control {
    uint32_t code = 0;
    bool done = false;
    uint32_t result = 0;
};

// One start of an own-process service: its process, the dispatcher's connection, the handler
// ServiceMain registered and the controls waiting for it.
struct ServiceControlManager::Run {
    ProcessId process = 0;
    bool connected = false;
    bool mainReturned = false;
    bool stopped = false;
    bool terminating = false;
    bool ended = false;
    HandlerFunction handler;
    std::deque<std::shared_ptr<Control>> controls;
    std::vector<std::string> arguments;
};

struct ServiceControlManager::Service {
    ServiceConfig config;
    ServiceStatus status;
    bool system = false;
    bool markedForDelete = false;
    int openHandles = 0;
    std::shared_ptr<Run> run;  // the current start, until its process ends
};

struct ServiceControlManager::Handle {
    bool manager = false;
    uint32_t access = 0;
    std::shared_ptr<Service> service;
};

ServiceControlManager::ServiceControlManager(Registry& registry, Processes& processes,
                                             uint32_t timeoutMs)
    : registry_(registry), processes_(processes), timeoutMs_(timeoutMs) {
    LoadDatabase();
    AddSystemServices();
}

ServiceControlManager::~ServiceControlManager() {
    std::vector<ProcessId> running;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : services_) {
            if (entry.second->run) {
                running.push_back(entry.second->run->process);
            }
        }
    }
    for (ProcessId process : running) {
        processes_.Terminate(process, 1);
    }
    // The processes' exit callbacks reach back into this object; all of them must be done.
    for (ProcessId process : running) {
        processes_.Wait(process, UINT32_MAX);
    }
}

// ---------------------------------------------------------------------------------------------
// The database

void ServiceControlManager::LoadDatabase() {
    std::vector<std::string> names;
    registry_.EnumKeys(kServicesKey, &names);
    for (const std::string& name : names) {
        const std::string key = ServiceKey(name);
        const std::optional<uint32_t> type = registry_.GetDword(key, "Type");
        if (!type) {
            continue;  // a key of settings, not a service
        }
        if (registry_.GetDword(key, kDeleteFlag).value_or(0) != 0) {
            registry_.DeleteTree(key);
            continue;
        }
        auto service = std::make_shared<Service>();
        ServiceConfig& config = service->config;
        config.serviceName = name;
        config.serviceType = *type;
        config.startType = registry_.GetDword(key, "Start").value_or(kServiceDemandStart);
        config.errorControl = registry_.GetDword(key, "ErrorControl").value_or(1);
        config.binaryPath = registry_.GetString(key, "ImagePath").value_or("");
        config.displayName = registry_.GetString(key, "DisplayName").value_or(name);
        config.dependencies =
            registry_.GetMultiString(key, "DependOnService").value_or(std::vector<std::string>{});
        config.objectName = registry_.GetString(key, "ObjectName").value_or("");
        service->status.serviceType = *type;
        services_[FoldCase(name)] = service;
    }
}

void ServiceControlManager::AddSystemServices() {
    for (const SystemService& system : kSystemServices) {
        std::shared_ptr<Service>& service = services_[FoldCase(system.name)];
        if (!service) {
            service = std::make_shared<Service>();
            ServiceConfig& config = service->config;
            config.serviceName = system.name;
            config.displayName = system.displayName;
            config.serviceType = kServiceWin32ShareProcess;
            config.startType = kServiceAutoStart;
            config.errorControl = 1;
            config.binaryPath = system.imagePath;
            config.objectName = system.account;
            WriteServiceKey(config);
        }
        service->system = true;
        service->status.serviceType = service->config.serviceType;
        service->status.currentState = kServiceRunning;
        service->status.controlsAccepted = 0;
    }
}

void ServiceControlManager::WriteServiceKey(const ServiceConfig& config) {
    const std::string key = ServiceKey(config.serviceName);
    registry_.CreateKey(key);
    registry_.SetDword(key, "Type", config.serviceType);
    registry_.SetDword(key, "Start", config.startType);
    registry_.SetDword(key, "ErrorControl", config.errorControl);
    registry_.SetString(key, "ImagePath", config.binaryPath, kRegExpandSz);
    registry_.SetString(key, "DisplayName", config.displayName);
    if (!config.dependencies.empty()) {
        registry_.SetMultiString(key, "DependOnService", config.dependencies);
    }
    if (!config.objectName.empty()) {
        registry_.SetString(key, "ObjectName", config.objectName);
    }
}

std::shared_ptr<ServiceControlManager::Service> ServiceControlManager::FindLocked(
    std::string_view name) {
    auto it = services_.find(FoldCase(name));
    return it == services_.end() ? nullptr : it->second;
}

std::shared_ptr<ServiceControlManager::Service> ServiceControlManager::ServiceOfHandle(
    ScHandle handle, uint32_t* access) {
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second->manager) {
        return nullptr;
    }
    *access = it->second->access;
    return it->second->service;
}

uint32_t ServiceControlManager::ServiceWithAccess(ScHandle handle, uint32_t needed,
                                                  std::shared_ptr<Service>* service) {
    uint32_t access = 0;
    *service = ServiceOfHandle(handle, &access);
    if (!*service) {
        return kErrorInvalidHandle;
    }
    if ((access & needed) != needed) {
        service->reset();
        return kErrorAccessDenied;
    }
    return kErrorSuccess;
}

// A loaded driver counts as running; Plug and Play loads and unloads it, so it accepts nothing.
ServiceStatus ServiceControlManager::CurrentStatus(const Service& service) const {
    ServiceStatus status = service.status;
    if (IsDriver(service.config.serviceType)) {
        status.serviceType = service.config.serviceType;
        status.controlsAccepted = 0;
        status.currentState = kernel::FindDriver(service.config.serviceName) != nullptr
                                  ? kServiceRunning
                                  : kServiceStopped;
    }
    return status;
}

void ServiceControlManager::DeleteIfUnusedLocked(const std::shared_ptr<Service>& service) {
    if (!service->markedForDelete || service->openHandles != 0 ||
        CurrentStatus(*service).currentState != kServiceStopped) {
        return;
    }
    auto it = services_.find(FoldCase(service->config.serviceName));
    if (it != services_.end() && it->second == service) {
        services_.erase(it);
        registry_.DeleteTree(ServiceKey(service->config.serviceName));
        changed_.notify_all();
    }
}

// ---------------------------------------------------------------------------------------------
// Clients

uint32_t ServiceControlManager::OpenSCManager(uint32_t access, ScHandle* manager) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto handle = std::make_unique<Handle>();
    handle->manager = true;
    handle->access = access;
    *manager = nextHandle_;
    nextHandle_ += 8;
    handles_[*manager] = std::move(handle);
    return kErrorSuccess;
}

uint32_t ServiceControlManager::CreateService(ScHandle manager, const ServiceConfig& requested,
                                              uint32_t access, ScHandle* serviceHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto managerHandle = handles_.find(manager);
    if (managerHandle == handles_.end() || !managerHandle->second->manager) {
        return kErrorInvalidHandle;
    }
    if ((managerHandle->second->access & kScManagerCreateService) == 0) {
        return kErrorAccessDenied;
    }
    ServiceConfig config = requested;
    const std::string& name = config.serviceName;
    if (name.empty() || name.size() > kMaxServiceName ||
        name.find_first_of("\\/") != std::string::npos) {
        return kErrorInvalidName;
    }
    if (config.displayName.empty()) {
        config.displayName = name;
    }
    if (config.displayName.size() > kMaxServiceName) {
        return kErrorInvalidName;
    }
    if (!ValidType(config.serviceType) || config.startType > kServiceDisabled ||
        (config.startType < kServiceAutoStart && !IsDriver(config.serviceType)) ||
        config.errorControl > kServiceErrorCritical || config.binaryPath.empty()) {
        return kErrorInvalidParameter;
    }
    if (std::shared_ptr<Service> existing = FindLocked(name)) {
        return existing->markedForDelete ? kErrorServiceMarkedForDelete : kErrorServiceExists;
    }
    for (const auto& entry : services_) {
        const ServiceConfig& other = entry.second->config;
        if (EqualsIgnoreCase(other.displayName, config.displayName) ||
            EqualsIgnoreCase(other.serviceName, config.displayName)) {
            return kErrorDuplicateServiceName;
        }
    }
    for (const std::string& dependency : config.dependencies) {
        if (EqualsIgnoreCase(dependency, name)) {
            return kErrorCircularDependency;
        }
    }
    if (config.objectName.empty() && !IsDriver(config.serviceType)) {
        config.objectName = kLocalSystem;
    }

    auto service = std::make_shared<Service>();
    service->config = config;
    service->status.serviceType = config.serviceType;
    services_[FoldCase(name)] = service;
    WriteServiceKey(config);

    auto handle = std::make_unique<Handle>();
    handle->access = access;
    handle->service = service;
    ++service->openHandles;
    *serviceHandle = nextHandle_;
    nextHandle_ += 8;
    handles_[*serviceHandle] = std::move(handle);
    return kErrorSuccess;
}

uint32_t ServiceControlManager::OpenService(ScHandle manager, std::string_view name,
                                            uint32_t access, ScHandle* serviceHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto managerHandle = handles_.find(manager);
    if (managerHandle == handles_.end() || !managerHandle->second->manager) {
        return kErrorInvalidHandle;
    }
    if (name.empty() || name.size() > kMaxServiceName) {
        return kErrorInvalidName;
    }
    std::shared_ptr<Service> service = FindLocked(name);
    if (!service) {
        return kErrorServiceDoesNotExist;
    }
    auto handle = std::make_unique<Handle>();
    handle->access = access;
    handle->service = service;
    ++service->openHandles;
    *serviceHandle = nextHandle_;
    nextHandle_ += 8;
    handles_[*serviceHandle] = std::move(handle);
    return kErrorSuccess;
}

uint32_t ServiceControlManager::CloseServiceHandle(ScHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        return kErrorInvalidHandle;
    }
    std::shared_ptr<Service> service = it->second->service;
    handles_.erase(it);
    if (service) {
        --service->openHandles;
        DeleteIfUnusedLocked(service);
    }
    return kErrorSuccess;
}

uint32_t ServiceControlManager::StartService(ScHandle handle,
                                             const std::vector<std::string>& arguments) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service;
    if (const uint32_t error = ServiceWithAccess(handle, kServiceStart, &service)) {
        return error;
    }
    return StartLocked(lock, service, arguments, 0);
}

uint32_t ServiceControlManager::StartLocked(std::unique_lock<std::mutex>& lock,
                                            const std::shared_ptr<Service>& service,
                                            const std::vector<std::string>& arguments, int depth) {
    if (depth > kMaxDependencyDepth) {
        return kErrorCircularDependency;
    }
    if (service->markedForDelete) {
        return kErrorServiceMarkedForDelete;
    }
    if (IsDriver(service->config.serviceType)) {
        return CurrentStatus(*service).currentState == kServiceRunning ? kErrorServiceAlreadyRunning
                                                                       : kErrorNotSupported;
    }
    if (service->config.startType == kServiceDisabled) {
        return kErrorServiceDisabled;
    }
    if (service->system || service->status.currentState != kServiceStopped) {
        return kErrorServiceAlreadyRunning;
    }

    for (const std::string& name : service->config.dependencies) {
        if (!name.empty() && name[0] == '+') {
            continue;  // a load-order group: the groups of a running machine are all up
        }
        std::shared_ptr<Service> dependency = FindLocked(name);
        if (!dependency || dependency->markedForDelete) {
            return kErrorServiceDependencyDeleted;
        }
        if (dependency == service) {
            return kErrorCircularDependency;
        }
        if (CurrentStatus(*dependency).currentState == kServiceStopped) {
            const uint32_t error = StartLocked(lock, dependency, {}, depth + 1);
            if (error == kErrorCircularDependency) {
                return error;
            }
            if (error != kErrorSuccess && error != kErrorServiceAlreadyRunning) {
                return kErrorServiceDependencyFail;
            }
        }
        UserModeWait wait;
        const bool running = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs_), [&] {
            const uint32_t state = CurrentStatus(*dependency).currentState;
            return state == kServiceRunning || state == kServiceStopped;
        });
        if (!running || CurrentStatus(*dependency).currentState != kServiceRunning) {
            return kErrorServiceDependencyFail;
        }
        // The wait let go of the lock: the service may have been started or marked meanwhile.
        if (service->markedForDelete) {
            return kErrorServiceMarkedForDelete;
        }
        if (service->status.currentState != kServiceStopped) {
            return kErrorServiceAlreadyRunning;
        }
    }

    auto run = std::make_shared<Run>();
    run->arguments.push_back(service->config.serviceName);
    run->arguments.insert(run->arguments.end(), arguments.begin(), arguments.end());
    service->status = ServiceStatus{};
    service->status.serviceType = service->config.serviceType;
    service->status.currentState = kServiceStartPending;
    service->run = run;
    changed_.notify_all();

    // The process is created under the lock, so its dispatcher finds it registered here.
    std::weak_ptr<Service> weakService = service;
    const uint32_t error =
        processes_.Create(service->config.binaryPath, &run->process,
                          [this, weakService, run](int) { ProcessEnded(weakService, run); });
    if (error != kErrorSuccess) {
        service->run = nullptr;
        service->status.currentState = kServiceStopped;
        service->status.win32ExitCode = error;
        changed_.notify_all();
        return error;
    }
    const ProcessId process = run->process;

    bool answered;
    {
        UserModeWait wait;
        answered = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs_),
                                     [&] { return run->connected || run->ended; });
    }
    if (answered && run->connected) {
        return kErrorSuccess;
    }
    // The program never became a service: it is ended, as Windows ends it.
    if (service->run == run) {
        service->status.currentState = kServiceStopped;
        service->status.win32ExitCode = kErrorServiceRequestTimeout;
    }
    changed_.notify_all();
    lock.unlock();
    processes_.Terminate(process, static_cast<int>(kErrorServiceRequestTimeout));
    lock.lock();
    return kErrorServiceRequestTimeout;
}

void ServiceControlManager::ProcessEnded(const std::weak_ptr<Service>& weakService,
                                         const std::shared_ptr<Run>& run) {
    std::lock_guard<std::mutex> lock(mutex_);
    run->ended = true;
    for (const std::shared_ptr<Control>& control : run->controls) {
        control->done = true;
        control->result = kErrorServiceNotActive;
        --controlsInFlight_;
    }
    run->controls.clear();
    run->handler = nullptr;
    std::shared_ptr<Service> service = weakService.lock();
    if (service && service->run == run) {
        service->run = nullptr;
        if (service->status.currentState != kServiceStopped) {
            // A process that ends without reporting the stop has crashed, for the manager.
            service->status.currentState = kServiceStopped;
            service->status.controlsAccepted = 0;
            service->status.win32ExitCode = kErrorProcessAborted;
        }
        DeleteIfUnusedLocked(service);
    }
    changed_.notify_all();
}

uint32_t ServiceControlManager::ControlService(ScHandle handle, uint32_t code,
                                               ServiceStatus* status) {
    std::unique_lock<std::mutex> lock(mutex_);
    uint32_t access = 0;
    std::shared_ptr<Service> service = ServiceOfHandle(handle, &access);
    if (!service) {
        return kErrorInvalidHandle;
    }
    uint32_t needsAccess = 0;
    uint32_t needsAccept = 0;
    if (code == kServiceControlStop) {
        needsAccess = kServiceStop;
        needsAccept = kServiceAcceptStop;
    } else if (code == kServiceControlPause || code == kServiceControlContinue) {
        needsAccess = kServicePauseContinue;
        needsAccept = kServiceAcceptPauseContinue;
    } else if (code == kServiceControlParamChange) {
        needsAccess = kServicePauseContinue;
        needsAccept = kServiceAcceptParamChange;
    } else if (code >= kServiceControlNetBindAdd && code <= kServiceControlNetBindDisable) {
        needsAccess = kServicePauseContinue;
        needsAccept = kServiceAcceptNetBindChange;
    } else if (code == kServiceControlInterrogate) {
        needsAccess = kServiceInterrogate;
    } else if (code >= 128 && code <= 255) {
        needsAccess = kServiceUserDefinedControl;
    } else {
        return kErrorInvalidParameter;  // shutdown and the others come from the system only
    }
    if ((access & needsAccess) == 0) {
        return kErrorAccessDenied;
    }
    const ServiceStatus now = CurrentStatus(*service);
    if (status != nullptr) {
        *status = now;
    }
    if (now.currentState == kServiceStopped) {
        return kErrorServiceNotActive;
    }
    if (now.currentState == kServiceStartPending || now.currentState == kServiceStopPending) {
        return kErrorServiceCannotAcceptCtrl;
    }
    if ((now.controlsAccepted & needsAccept) != needsAccept) {
        return kErrorInvalidServiceControl;
    }
    std::shared_ptr<Run> run = service->run;
    if (!run) {
        // Running without a process of its own: a system service or a loaded driver, which
        // answer only an interrogation.
        return code == kServiceControlInterrogate ? kErrorSuccess : kErrorInvalidServiceControl;
    }
    if (!run->connected || run->stopped) {
        return kErrorServiceCannotAcceptCtrl;
    }
    auto control = std::make_shared<Control>();
    control->code = code;
    run->controls.push_back(control);
    ++controlsInFlight_;
    changed_.notify_all();
    bool done;
    {
        UserModeWait wait;
        done = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs_),
                                 [&] { return control->done; });
    }
    if (!done) {
        for (auto it = run->controls.begin(); it != run->controls.end(); ++it) {
            if (*it == control) {
                run->controls.erase(it);
                --controlsInFlight_;
                changed_.notify_all();
                break;
            }
        }
        return kErrorServiceRequestTimeout;
    }
    if (status != nullptr) {
        *status = CurrentStatus(*service);
    }
    return control->result;
}

uint32_t ServiceControlManager::DeleteService(ScHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service;
    if (const uint32_t error = ServiceWithAccess(handle, kAccessDelete, &service)) {
        return error;
    }
    if (service->markedForDelete) {
        return kErrorServiceMarkedForDelete;
    }
    service->markedForDelete = true;
    registry_.SetDword(ServiceKey(service->config.serviceName), kDeleteFlag, 1);
    DeleteIfUnusedLocked(service);
    return kErrorSuccess;
}

uint32_t ServiceControlManager::QueryServiceStatus(ScHandle handle, ServiceStatus* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service;
    if (const uint32_t error = ServiceWithAccess(handle, kServiceQueryStatus, &service)) {
        return error;
    }
    *status = CurrentStatus(*service);
    return kErrorSuccess;
}

uint32_t ServiceControlManager::QueryServiceConfig(ScHandle handle, ServiceConfig* config) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service;
    if (const uint32_t error = ServiceWithAccess(handle, kServiceQueryConfig, &service)) {
        return error;
    }
    *config = service->config;
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------------
// Services

uint32_t ServiceControlManager::StartServiceCtrlDispatcher(std::string_view name,
                                                           ServiceMainFunction main) {
    const ProcessId process = Processes::Current();
    std::unique_lock<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service;
    for (const auto& entry : services_) {
        const std::shared_ptr<Run>& run = entry.second->run;
        if (process != 0 && run && run->process == process) {
            service = entry.second;
        }
    }
    if (!service) {
        return kErrorFailedServiceControllerConnect;
    }
    if (!EqualsIgnoreCase(name, service->config.serviceName)) {
        return kErrorServiceNotInExe;
    }
    std::shared_ptr<Run> run = service->run;
    if (run->connected) {
        return kErrorServiceAlreadyRunning;
    }
    run->connected = true;
    changed_.notify_all();
    const std::vector<std::string> arguments = run->arguments;
    lock.unlock();
    // A terminated process's dispatcher stops waiting for controls (the program's own handler
    // ends ServiceMain); one terminated already is told at once.
    processes_.OnTerminate(process, [this, run] {
        std::lock_guard<std::mutex> terminateLock(mutex_);
        run->terminating = true;
        changed_.notify_all();
    });

    std::thread mainThread([this, process, run, main, arguments] {
        {
            Processes::ThreadScope scope(process);
            main(arguments);
        }
        std::lock_guard<std::mutex> mainLock(mutex_);
        run->mainReturned = true;
        changed_.notify_all();
    });

    lock.lock();
    for (;;) {
        changed_.wait(lock, [&] {
            return !run->controls.empty() || (run->stopped && run->mainReturned) ||
                   (run->terminating && run->mainReturned);
        });
        if (run->controls.empty()) {
            break;
        }
        std::shared_ptr<Control> control = run->controls.front();
        run->controls.pop_front();
        HandlerFunction handler = run->handler;
        lock.unlock();
        const uint32_t result = handler ? handler(control->code) : kErrorServiceCannotAcceptCtrl;
        lock.lock();
        control->done = true;
        control->result = result;
        --controlsInFlight_;
        changed_.notify_all();
    }
    run->handler = nullptr;
    for (auto it = statusHandles_.begin(); it != statusHandles_.end();) {
        if (it->second.run.lock() == run) {
            it = statusHandles_.erase(it);
        } else {
            ++it;
        }
    }
    lock.unlock();
    mainThread.join();  // ServiceMain has returned already
    return kErrorSuccess;
}

uint32_t ServiceControlManager::RegisterServiceCtrlHandler(std::string_view name,
                                                           HandlerFunction handler,
                                                           ServiceStatusHandle* handle) {
    const ProcessId process = Processes::Current();
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service = FindLocked(name);
    if (!service || !service->run || service->run->process != process || !service->run->connected ||
        process == 0) {
        return kErrorServiceNotInExe;
    }
    service->run->handler = std::move(handler);
    *handle = nextStatusHandle_;
    nextStatusHandle_ += 8;
    statusHandles_[*handle] = StatusHandle{service, service->run};
    return kErrorSuccess;
}

uint32_t ServiceControlManager::SetServiceStatus(ServiceStatusHandle handle,
                                                 const ServiceStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = statusHandles_.find(handle);
    if (it == statusHandles_.end()) {
        return kErrorInvalidHandle;
    }
    std::shared_ptr<Service> service = it->second.service.lock();
    std::shared_ptr<Run> run = it->second.run.lock();
    if (!service || !run || service->run != run) {
        return kErrorInvalidHandle;
    }
    if (status.currentState < kServiceStopped || status.currentState > kServicePaused) {
        return kErrorInvalidData;
    }
    service->status = status;
    service->status.serviceType = service->config.serviceType;
    if (status.currentState == kServiceStopped) {
        service->status.controlsAccepted = 0;
        run->stopped = true;
        DeleteIfUnusedLocked(service);
    }
    changed_.notify_all();
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------------
// The simulator's view

void ServiceControlManager::StartAutoStartServices() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Service>> automatic;
    for (const auto& entry : services_) {
        const ServiceConfig& config = entry.second->config;
        if (!IsDriver(config.serviceType) && config.startType == kServiceAutoStart &&
            !entry.second->system) {
            automatic.push_back(entry.second);
        }
    }
    for (const std::shared_ptr<Service>& service : automatic) {
        if (service->status.currentState == kServiceStopped) {
            StartLocked(lock, service, {}, 0);
        }
    }
}

std::optional<ServiceStatus> ServiceControlManager::Status(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service = FindLocked(name);
    if (!service) {
        return std::nullopt;
    }
    return CurrentStatus(*service);
}

ProcessId ServiceControlManager::ServiceProcess(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Service> service = FindLocked(name);
    return service && service->run ? service->run->process : 0;
}

bool ServiceControlManager::WaitForState(std::string_view name, uint32_t state,
                                         uint32_t timeoutMs) {
    UserModeWait wait;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        std::shared_ptr<Service> service = FindLocked(name);
        const uint32_t now = service ? CurrentStatus(*service).currentState : kServiceStopped;
        return now == state;
    });
}

bool ServiceControlManager::IdleLocked() const {
    if (controlsInFlight_ != 0) {
        return false;
    }
    for (const auto& entry : services_) {
        const Service& service = *entry.second;
        if (IsPending(service.status.currentState) ||
            (service.run && (!service.run->connected || service.run->stopped))) {
            return false;
        }
    }
    return true;
}

bool ServiceControlManager::WaitIdle(uint32_t timeoutMs) {
    UserModeWait wait;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return IdleLocked(); });
}

std::vector<std::string> ServiceControlManager::ServiceNames() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : services_) {
        names.push_back(entry.second->config.serviceName);
    }
    return names;
}

}  // namespace host
