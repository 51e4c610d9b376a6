// The service program: the command line, the run loop with its attachment timer, and the
// control requests of the service control manager.
#pragma once

#include <stdint.h>

#include <string>

#include "attachment_scan.h"
#include "ports.h"
#include "registration.h"

namespace dovrel {

constexpr uint32_t kScanPeriodMs = 1300;
constexpr uint32_t kServiceControlRemoveFilter = 128;

class DovrelService : public ServiceCallbacks {
  public:
    explicit DovrelService(const ServicePorts& ports);

    // The whole program for the arguments after the program name; returns the exit code.
    int Main(const std::string& arguments);

    void ServiceMain() override;
    WinError HandleControl(uint32_t control) override;

  private:
    // The message loop's result: a loop that failed is a service that failed.
    WinError RunLoop(bool underServiceManager);
    void Tick();
    void RemoveFilter();
    void SetStatus(uint32_t state, WinError exitCode = kErrorSuccess);

    ServicePorts ports_;
    AttachmentScan scan_;
    ServiceRegistration registration_;
    // Set on the loop's thread once the filter was removed on request; from then on the
    // scans leave the devices alone, or the next tick would attach the filter again.
    bool filterRemoved_ = false;
    WinError loopError_ = kErrorSuccess;
};

}  // namespace dovrel
