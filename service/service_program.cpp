#include "service_program.h"

#include "command_line.h"
#include "filter_removal.h"
#include "messages.h"

namespace dovrel {

namespace {

// How long the service control manager should wait for the next status in a pending state.
constexpr uint32_t kPendingWaitHintMs = 3000;

}  // namespace

DovrelService::DovrelService(const ServicePorts& ports)
    : ports_(ports),
      scan_(ports.devices, ports.registry, ports.debug),
      registration_(ports.registry, ports.services, ports.messageBoxes, ports.loop, ports.files) {}

int DovrelService::Main(const std::string& arguments) {
    switch (ParseCommandLine(arguments)) {
        case CommandLineAction::UnregServer:
            return registration_.Unregister() ? 0 : 1;
        case CommandLineAction::RegServer:
            return registration_.RegisterAppIdOnly() ? 0 : 1;
        case CommandLineAction::Service:
            return registration_.RegisterAsService() ? 0 : 1;
        case CommandLineAction::Run:
            break;
    }
    if (registration_.IsRegisteredAsService())
        return static_cast<int>(ports_.dispatcher.Run(kServiceName, this));
    RunLoop(false);
    return 0;
}

void DovrelService::ServiceMain() {
    SetStatus(kServiceStartPending);
    RunLoop(true);
    SetStatus(kServiceStopped);
}

WinError DovrelService::HandleControl(uint32_t control) {
    switch (control) {
        case kServiceControlStop:
            SetStatus(kServiceStopPending);
            ports_.loop.PostQuit();
            return kErrorSuccess;
        case kServiceControlPause:
        case kServiceControlContinue:
        case kServiceControlInterrogate:
        case kServiceControlShutdown:
            return kErrorSuccess;
        case kServiceControlRemoveFilter:
            // Handed to the loop's thread so that the removal never runs in the middle of a scan.
            ports_.loop.Post([this] { RemoveFilter(); });
            return kErrorSuccess;
        default:
            ports_.eventLog.Report(kServiceName, EventType::Warning, kEventBadRequest);
            return kErrorCallNotImplemented;
    }
}

void DovrelService::RunLoop(bool underServiceManager) {
    ports_.eventLog.Report(kServiceName, EventType::Information, kEventStarted);
    if (underServiceManager)
        SetStatus(kServiceRunning);
    ports_.loop.Run(kScanPeriodMs, [this] { Tick(); });
    ports_.eventLog.Report(kServiceName, EventType::Information, kEventStopped);
}

void DovrelService::Tick() {
    if (!filterRemoved_)
        scan_.RunOnce();
}

void DovrelService::RemoveFilter() {
    filterRemoved_ = true;
    RemoveFilterRegistration(ports_.registry, ports_.files);
}

void DovrelService::SetStatus(uint32_t state) {
    ServiceStatus status;
    status.currentState = state;
    status.controlsAccepted = state == kServiceRunning ? kServiceAcceptStop : 0;
    status.waitHint =
        (state == kServiceStartPending || state == kServiceStopPending) ? kPendingWaitHintMs : 0;
    ports_.dispatcher.SetStatus(status);
}

}  // namespace dovrel
