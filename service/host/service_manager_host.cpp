// The service control manager's client and service sides over host::ServiceControlManager.
#include "host/service_control_manager.h"
#include "host_ports.h"

namespace dovrel {

namespace {

class HostServiceHandle : public ServiceHandle {
  public:
    HostServiceHandle(host::ServiceControlManager& manager, host::ScHandle handle)
        : manager_(manager), handle_(handle) {}
    ~HostServiceHandle() override { manager_.CloseServiceHandle(handle_); }
    HostServiceHandle(const HostServiceHandle&) = delete;
    HostServiceHandle& operator=(const HostServiceHandle&) = delete;

    WinError Control(uint32_t code) override {
        host::ServiceStatus status;
        return manager_.ControlService(handle_, code, &status);
    }

    WinError Delete() override { return manager_.DeleteService(handle_); }

  private:
    host::ServiceControlManager& manager_;
    host::ScHandle handle_;
};

class HostServiceDatabase : public ServiceDatabase {
  public:
    HostServiceDatabase(host::ServiceControlManager& manager, host::ScHandle handle)
        : manager_(manager), handle_(handle) {}
    ~HostServiceDatabase() override { manager_.CloseServiceHandle(handle_); }
    HostServiceDatabase(const HostServiceDatabase&) = delete;
    HostServiceDatabase& operator=(const HostServiceDatabase&) = delete;

    WinError Open(const std::string& name, uint32_t access,
                  std::unique_ptr<ServiceHandle>* service) override {
        host::ScHandle handle = 0;
        const WinError error = manager_.OpenService(handle_, name, access, &handle);
        if (error != kErrorSuccess)
            return error;
        *service = std::make_unique<HostServiceHandle>(manager_, handle);
        return kErrorSuccess;
    }

    WinError Create(const ServiceConfig& config, uint32_t access,
                    std::unique_ptr<ServiceHandle>* service) override {
        host::ServiceConfig created;
        created.serviceName = config.serviceName;
        created.displayName = config.displayName;
        created.serviceType = config.serviceType;
        created.startType = config.startType;
        created.errorControl = config.errorControl;
        created.binaryPath = config.binaryPath;
        created.dependencies = config.dependencies;
        host::ScHandle handle = 0;
        const WinError error = manager_.CreateService(handle_, created, access, &handle);
        if (error != kErrorSuccess)
            return error;
        *service = std::make_unique<HostServiceHandle>(manager_, handle);
        return kErrorSuccess;
    }

  private:
    host::ServiceControlManager& manager_;
    host::ScHandle handle_;
};

}  // namespace

WinError HostServiceManager::Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) {
    host::ScHandle handle = 0;
    const WinError error = manager_.OpenSCManager(access, &handle);
    if (error != kErrorSuccess)
        return error;
    *database = std::make_unique<HostServiceDatabase>(manager_, handle);
    return kErrorSuccess;
}

WinError HostServiceDispatcher::Run(const std::string& name, ServiceCallbacks* callbacks) {
    return manager_.StartServiceCtrlDispatcher(name, [this, name,
                                                      callbacks](const std::vector<std::string>&) {
        host::ServiceStatusHandle handle = 0;
        if (manager_.RegisterServiceCtrlHandler(
                name, [callbacks](uint32_t control) { return callbacks->HandleControl(control); },
                &handle) != kErrorSuccess)
            return;
        statusHandle_ = handle;
        callbacks->ServiceMain();
    });
}

WinError HostServiceDispatcher::SetStatus(const ServiceStatus& status) {
    const uint64_t handle = statusHandle_;
    if (handle == 0)
        return 6;  // ERROR_INVALID_HANDLE: no handler was registered
    host::ServiceStatus reported;
    reported.serviceType = host::kServiceWin32OwnProcess;
    reported.currentState = status.currentState;
    reported.controlsAccepted = status.controlsAccepted;
    reported.win32ExitCode = status.win32ExitCode;
    reported.checkPoint = status.checkPoint;
    reported.waitHint = status.waitHint;
    return manager_.SetServiceStatus(handle, reported);
}

}  // namespace dovrel
