#include <vector>

#include "win32_ports.h"

namespace dovrel {

namespace {

class Win32ServiceHandle : public ServiceHandle {
  public:
    explicit Win32ServiceHandle(SC_HANDLE service) : service_(service) {}
    ~Win32ServiceHandle() override { CloseServiceHandle(service_); }
    Win32ServiceHandle(const Win32ServiceHandle&) = delete;
    Win32ServiceHandle& operator=(const Win32ServiceHandle&) = delete;

    WinError Control(uint32_t code) override {
        SERVICE_STATUS status = {};
        return ControlService(service_, code, &status) ? kErrorSuccess : GetLastError();
    }

    WinError Delete() override { return DeleteService(service_) ? kErrorSuccess : GetLastError(); }

  private:
    SC_HANDLE service_;
};

class Win32ServiceDatabase : public ServiceDatabase {
  public:
    explicit Win32ServiceDatabase(SC_HANDLE manager) : manager_(manager) {}
    ~Win32ServiceDatabase() override { CloseServiceHandle(manager_); }
    Win32ServiceDatabase(const Win32ServiceDatabase&) = delete;
    Win32ServiceDatabase& operator=(const Win32ServiceDatabase&) = delete;

    WinError Open(const std::string& name, uint32_t access,
                  std::unique_ptr<ServiceHandle>* service) override {
        const SC_HANDLE handle = OpenServiceW(manager_, Widen(name).c_str(), access);
        if (handle == nullptr)
            return GetLastError();
        *service = std::make_unique<Win32ServiceHandle>(handle);
        return kErrorSuccess;
    }

    WinError Create(const ServiceConfig& config, uint32_t access,
                    std::unique_ptr<ServiceHandle>* service) override {
        // Dependencies: each name with its zero, then the terminating empty name.
        std::wstring dependencies;
        for (const std::string& name : config.dependencies) {
            dependencies += Widen(name);
            dependencies += L'\0';
        }
        dependencies += L'\0';
        const SC_HANDLE handle =
            CreateServiceW(manager_, Widen(config.serviceName).c_str(),
                           Widen(config.displayName).c_str(), access, config.serviceType,
                           config.startType, config.errorControl, Widen(config.binaryPath).c_str(),
                           nullptr, nullptr, dependencies.c_str(), nullptr, nullptr);
        if (handle == nullptr)
            return GetLastError();
        *service = std::make_unique<Win32ServiceHandle>(handle);
        return kErrorSuccess;
    }

  private:
    SC_HANDLE manager_;
};

}  // namespace

WinError Win32ServiceManager::Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    if (manager == nullptr)
        return GetLastError();
    *database = std::make_unique<Win32ServiceDatabase>(manager);
    return kErrorSuccess;
}

Win32ServiceDispatcher* Win32ServiceDispatcher::running_ = nullptr;

WinError Win32ServiceDispatcher::Run(const std::string& name, ServiceCallbacks* callbacks) {
    name_ = Widen(name);
    callbacks_ = callbacks;
    running_ = this;
    SERVICE_TABLE_ENTRYW table[] = {{&name_[0], &ServiceMainThunk}, {nullptr, nullptr}};
    const WinError error = StartServiceCtrlDispatcherW(table) ? kErrorSuccess : GetLastError();
    running_ = nullptr;
    return error;
}

// On the thread the service control manager starts for the service.
void WINAPI Win32ServiceDispatcher::ServiceMainThunk(DWORD, LPWSTR*) {
    Win32ServiceDispatcher* self = running_;
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(self->name_.c_str(), &HandlerThunk, self);
    if (handle == nullptr)
        return;
    self->statusHandle_ = handle;
    self->callbacks_->ServiceMain();
}

// On the dispatcher's thread (the program's main thread).
DWORD WINAPI Win32ServiceDispatcher::HandlerThunk(DWORD control, DWORD, LPVOID, LPVOID context) {
    return static_cast<Win32ServiceDispatcher*>(context)->callbacks_->HandleControl(control);
}

WinError Win32ServiceDispatcher::SetStatus(const ServiceStatus& status) {
    const SERVICE_STATUS_HANDLE handle = statusHandle_;
    if (handle == nullptr)
        return ERROR_INVALID_HANDLE;
    SERVICE_STATUS s = {};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = status.currentState;
    s.dwControlsAccepted = status.controlsAccepted;
    s.dwWin32ExitCode = status.win32ExitCode;
    s.dwCheckPoint = status.checkPoint;
    s.dwWaitHint = status.waitHint;
    return SetServiceStatus(handle, &s) ? kErrorSuccess : GetLastError();
}

}  // namespace dovrel
