// The user-mode half of the simulated machine that programs and services run on: drive C:, the
// event log, processes and the service control manager, created together after the
// host::Machine (whose registry the manager reads its database from) and torn down before it.
#pragma once

#include <string>

#include "host/event_log.h"
#include "host/file_system.h"
#include "host/processes.h"
#include "host/registry.h"
#include "host/service_control_manager.h"

namespace host {

class UserSystem {
  public:
    // `driveRoot` is the host directory that holds drive C:. `timeoutMs` is the service
    // control manager's patience with starts and control handlers.
    explicit UserSystem(const std::string& driveRoot, uint32_t timeoutMs = 30000)
        : files_(driveRoot),
          processes_(&files_),
          services_(Registry::Machine(), processes_, timeoutMs) {}
    UserSystem(const UserSystem&) = delete;
    UserSystem& operator=(const UserSystem&) = delete;

    FileSystem& files() { return files_; }
    EventLog& eventLog() { return eventLog_; }
    Processes& processes() { return processes_; }
    ServiceControlManager& services() { return services_; }

  private:
    // Torn down in reverse: the services' processes end first, then every other process.
    FileSystem files_;
    EventLog eventLog_;
    Processes processes_;
    ServiceControlManager services_;
};

}  // namespace host
