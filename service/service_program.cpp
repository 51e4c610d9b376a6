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
    if (registration_.IsRegisteredAsService()) {
        const WinError error = ports_.dispatcher.Run(kServiceName, this);
        if (error != kErrorSuccess)
            return static_cast<int>(error);
        return loopError_ != kErrorSuccess ? 1 : 0;
    }
    return RunLoop(false) != kErrorSuccess ? 1 : 0;
}

void DovrelService::ServiceMain() {
    SetStatus(kServiceStartPending);
    loopError_ = RunLoop(true);
    // The service control manager learns of a failed loop from the exit code of the stop.
    SetStatus(kServiceStopped, loopError_);
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

WinError DovrelService::RunLoop(bool underServiceManager) {
    ports_.eventLog.Report(kServiceName, EventType::Information, kEventStarted);
    if (underServiceManager)
        SetStatus(kServiceRunning);
    const WinError error = ports_.loop.Run(kScanPeriodMs, [this] { Tick(); });
    ports_.eventLog.Report(kServiceName, EventType::Information, kEventStopped);
    return error;
}

void DovrelService::Tick() {
    if (!filterRemoved_)
        scan_.RunOnce();
}

void DovrelService::RemoveFilter() {
    filterRemoved_ = true;
    RemoveFilterRegistration(ports_.registry, ports_.files);
}

void DovrelService::SetStatus(uint32_t state, WinError exitCode) {
    ServiceStatus status;
    status.currentState = state;
    status.win32ExitCode = exitCode;
    status.controlsAccepted = state == kServiceRunning ? kServiceAcceptStop : 0;
    status.waitHint =
        (state == kServiceStartPending || state == kServiceStopPending) ? kPendingWaitHintMs : 0;
    ports_.dispatcher.SetStatus(status);
}

}  // namespace dovrel
