// The service's registration with the service control manager and its application
// identity under HKEY_CLASSES_ROOT\AppID.
#pragma once

#include <string>

#include "ports.h"

namespace dovrel {

// The image path the service is registered with: the program's own full path, in quotes
// when it holds a space (the service control manager splits an unquoted path at the first
// space that ends an existing file name).
std::string ServiceImagePath(const std::string& modulePath);

class ServiceRegistration {
  public:
    ServiceRegistration(Registry& registry, ServiceManager& services, MessageBoxes& messageBoxes,
                        MessageLoop& loop, SystemFiles& files);

    // "Service": deletes any service of the name, waits 2000 ms, writes the application
    // identity with "LocalService" and creates the service if it is not installed. Each
    // step runs even when one before it failed; the result is false when any step failed.
    bool RegisterAsService();

    // "RegServer": the application identity without "LocalService"; the service control
    // manager is left alone.
    bool RegisterAppIdOnly();

    // "UnregServer": stops and deletes the service when it is installed.
    bool Unregister();

    // Whether the application identity says the program runs as a service.
    bool IsRegisteredAsService();

  private:
    bool IsInstalled();
    bool WriteAppId(bool asService);
    bool Install();

    Registry& registry_;
    ServiceManager& services_;
    MessageBoxes& messageBoxes_;
    MessageLoop& loop_;
    SystemFiles& files_;
};

}  // namespace dovrel
