#include "registration.h"

#include "messages.h"

namespace dovrel {

namespace {

// Time the service control manager gets to finish deleting the old service before it is
// created again.
constexpr uint32_t kDeleteSettleMs = 2000;

}  // namespace

std::string ServiceImagePath(const std::string& modulePath) {
    if (modulePath.find(' ') == std::string::npos)
        return modulePath;
    return "\"" + modulePath + "\"";
}

ServiceRegistration::ServiceRegistration(Registry& registry, ServiceManager& services,
                                         MessageBoxes& messageBoxes, MessageLoop& loop,
                                         SystemFiles& files)
    : registry_(registry),
      services_(services),
      messageBoxes_(messageBoxes),
      loop_(loop),
      files_(files) {}

bool ServiceRegistration::RegisterAsService() {
    bool ok = Unregister();
    loop_.Sleep(kDeleteSettleMs);
    ok = WriteAppId(true) && ok;
    // The create also tells an installed service from one that is only marked for deletion
    // (still running, or held open) and will vanish once it stops: that is no registration.
    ok = Install() && ok;
    return ok;
}

bool ServiceRegistration::RegisterAppIdOnly() {
    return WriteAppId(false);
}

bool ServiceRegistration::Unregister() {
    if (!IsInstalled())
        return true;
    std::unique_ptr<ServiceDatabase> database;
    if (services_.Open(kScManagerAllAccess, &database) != kErrorSuccess) {
        messageBoxes_.Show(kMsgCouldNotOpenManager, kServiceName);
        return false;
    }
    std::unique_ptr<ServiceHandle> service;
    if (database->Open(kServiceName, kServiceStop | kDelete, &service) != kErrorSuccess) {
        messageBoxes_.Show(kMsgCouldNotOpenService, kServiceName);
        return false;
    }
    // A service that is not running refuses the stop; it is deleted all the same.
    service->Control(kServiceControlStop);
    if (service->Delete() != kErrorSuccess) {
        messageBoxes_.Show(kMsgCouldNotDeleteService, kServiceName);
        return false;
    }
    return true;
}

bool ServiceRegistration::IsRegisteredAsService() {
    std::unique_ptr<RegistryKey> key;
    if (registry_.OpenKey(RegistryHive::ClassesRoot, kAppIdKey, &key) != kErrorSuccess)
        return false;
    RegistryType type = RegistryType::None;
    return key->QueryValueType(kAppIdLocalService, &type) == kErrorSuccess;
}

bool ServiceRegistration::IsInstalled() {
    std::unique_ptr<ServiceDatabase> database;
    if (services_.Open(kScManagerAllAccess, &database) != kErrorSuccess)
        return false;
    std::unique_ptr<ServiceHandle> service;
    return database->Open(kServiceName, kServiceQueryConfig, &service) == kErrorSuccess;
}

bool ServiceRegistration::WriteAppId(bool asService) {
    std::unique_ptr<RegistryKey> key;
    if (registry_.CreateKey(RegistryHive::ClassesRoot, kAppIdKey, &key) != kErrorSuccess)
        return false;
    bool ok;
    if (asService) {
        ok = key->SetString(kAppIdLocalService, RegistryType::Sz, kServiceName) == kErrorSuccess;
    } else {
        const WinError error = key->DeleteValue(kAppIdLocalService);
        ok = error == kErrorSuccess || error == kErrorFileNotFound;
    }
    return key->SetString(kAppIdServiceParameters, RegistryType::Sz, kServiceParameters) ==
               kErrorSuccess &&
           ok;
}

bool ServiceRegistration::Install() {
    std::unique_ptr<ServiceDatabase> database;
    if (services_.Open(kScManagerAllAccess, &database) != kErrorSuccess) {
        messageBoxes_.Show(kMsgCouldNotOpenManager, kServiceName);
        return false;
    }
    ServiceConfig config;
    config.serviceName = kServiceName;
    config.displayName = kServiceName;
    config.serviceType = kServiceWin32OwnProcess;
    config.startType = kServiceAutoStart;
    config.errorControl = kServiceErrorNormal;
    config.dependencies = {kServiceDependency};
    std::string modulePath;
    std::unique_ptr<ServiceHandle> service;
    WinError error = files_.ModulePath(&modulePath);
    if (error == kErrorSuccess) {
        config.binaryPath = ServiceImagePath(modulePath);
        error = database->Create(config, kServiceAllAccess, &service);
    }
    // Already installed (its unregistration failed and said so): it stays as it is.
    if (error == kErrorServiceExists)
        return true;
    if (error != kErrorSuccess) {
        messageBoxes_.Show(kMsgCouldNotCreateService, kServiceName);
        return false;
    }
    return true;
}

}  // namespace dovrel
