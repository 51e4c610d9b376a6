#include "dovrel_host.h"

#include "messages.h"
#include "service_program.h"

namespace dovrel {

namespace {

// The installer polls the service every 300 ms, at most 30 times, until it runs or stops.
constexpr uint32_t kStateWaitMs = 30 * 300;
constexpr uint32_t kNoTimeout = UINT32_MAX;

}  // namespace

std::string DovrelHost::ProgramPath() {
    return std::string(host::FileSystem::kSystemDirectory) + "\\" + kImageName;
}

DovrelHost::DovrelHost(host::PnpManager& pnp, host::UserSystem& system)
    : DovrelHost(pnp, system, Options{}) {}

DovrelHost::DovrelHost(host::PnpManager& pnp, host::UserSystem& system, Options options)
    : system_(system),
      options_(options),
      devices_(pnp),
      registry_(host::Registry::Machine()),
      services_(system.services()),
      eventLog_(system.eventLog()),
      debug_(options.echoDebugOutput),
      files_(system.files(), ProgramPath(), &system.processes()) {
    system_.processes().RegisterProgram(
        kImageName, [this](const std::string& arguments) { return ProgramMain(arguments); });
}

DovrelHost::~DovrelHost() {
    system_.processes().UnregisterProgram(kImageName);
    std::vector<host::ProcessId> processes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        processes = processes_;
    }
    for (host::ProcessId process : processes)
        system_.processes().Terminate(process, 1);
    for (host::ProcessId process : processes)
        system_.processes().Wait(process, kNoTimeout);
}

// One run of the program: wWinMain with the ports of this process.
int DovrelHost::ProgramMain(const std::string& arguments) {
    const host::ProcessId process = host::Processes::Current();
    HostMessageLoop::Options loopOptions;
    loopOptions.realTime = options_.realTimeTimer;
    // The program sleeps only to let the service control manager finish what it started (a
    // stop, a deletion); a sleep ends early once nothing is in progress there any more.
    loopOptions.sleep = [this](uint32_t milliseconds) {
        system_.services().WaitIdle(milliseconds);
    };
    auto loop = std::make_shared<HostMessageLoop>(loopOptions);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loops_[process] = loop;
        processes_.push_back(process);
    }
    system_.processes().OnTerminate(process, [loop] { loop->PostQuit(); });

    HostServiceDispatcher dispatcher(system_.services());
    DovrelService service(ServicePorts{devices_, registry_, services_, dispatcher, eventLog_,
                                       debug_, messageBoxes_, *loop, files_});
    const int exitCode = service.Main(arguments);

    std::lock_guard<std::mutex> lock(mutex_);
    loops_.erase(process);
    return exitCode;
}

int DovrelHost::RunProgram(const std::string& arguments, WinError* error) {
    host::ProcessId process = 0;
    const WinError created =
        system_.processes().Create("\"" + ProgramPath() + "\" " + arguments, &process);
    if (error != nullptr)
        *error = created;
    if (created != kErrorSuccess)
        return -1;
    int exitCode = -1;
    system_.processes().Wait(process, kNoTimeout, &exitCode);
    return exitCode;
}

int DovrelHost::Install() {
    host::FileSystem& files = system_.files();
    if (!files.FileExists(ProgramPath())) {
        const std::string image = "MZ simulated program image of Dovrel.exe";
        files.WriteFile(ProgramPath(), std::vector<uint8_t>(image.begin(), image.end()));
    }
    return RunProgram(" /Service");
}

int DovrelHost::Uninstall() {
    const int exitCode = RunProgram("/UnregServer");
    // The program only asks for the stop and the deletion; the service finishes them after
    // the program has ended.
    system_.services().WaitIdle(kStateWaitMs);
    return exitCode;
}

// The service manager and the Dovrel service, opened with every right and closed again no
// later than when this goes. Closing early matters: a service marked for deletion leaves the
// database only once no handle to it is open.
class DovrelHost::OpenedService {
  public:
    explicit OpenedService(host::ServiceControlManager& scm) : scm_(scm) {
        error_ = scm_.OpenSCManager(kScManagerAllAccess, &manager_);
        if (error_ == kErrorSuccess)
            error_ = scm_.OpenService(manager_, kServiceName, kServiceAllAccess, &service_);
    }
    ~OpenedService() { Close(); }
    OpenedService(const OpenedService&) = delete;
    OpenedService& operator=(const OpenedService&) = delete;

    WinError error() const { return error_; }
    host::ScHandle handle() const { return service_; }
    void Close() {
        if (service_ != 0)
            scm_.CloseServiceHandle(service_);
        if (manager_ != 0)
            scm_.CloseServiceHandle(manager_);
        service_ = manager_ = 0;
    }

  private:
    host::ServiceControlManager& scm_;
    host::ScHandle manager_ = 0;
    host::ScHandle service_ = 0;
    WinError error_ = kErrorSuccess;
};

WinError DovrelHost::Start() {
    host::ServiceControlManager& scm = system_.services();
    OpenedService service(scm);
    if (service.error() != kErrorSuccess)
        return service.error();
    WinError error = scm.StartService(service.handle());
    if (error == kErrorSuccess) {
        scm.WaitForState(kServiceName, host::kServiceRunning, kStateWaitMs);
        host::ServiceStatus status;
        scm.QueryServiceStatus(service.handle(), &status);
        if (status.currentState == host::kServiceStopped)
            error = kErrorServiceNotActive;
        else if (status.currentState != host::kServiceRunning)
            error = host::kErrorServiceRequestTimeout;
    }
    return error;
}

WinError DovrelHost::Stop() {
    host::ServiceControlManager& scm = system_.services();
    OpenedService service(scm);
    if (service.error() != kErrorSuccess)
        return service.error();
    const host::ProcessId process = scm.ServiceProcess(kServiceName);
    host::ServiceStatus status;
    const WinError error = scm.ControlService(service.handle(), kServiceControlStop, &status);
    service.Close();
    if (error == kErrorSuccess) {
        scm.WaitForState(kServiceName, host::kServiceStopped, kStateWaitMs);
        if (process != 0)
            system_.processes().Wait(process, kStateWaitMs);
    }
    return error;
}

WinError DovrelHost::Control(uint32_t code) {
    host::ServiceControlManager& scm = system_.services();
    OpenedService service(scm);
    if (service.error() != kErrorSuccess)
        return service.error();
    std::shared_ptr<HostMessageLoop> loop = ServiceLoop();
    host::ServiceStatus status;
    const WinError error = scm.ControlService(service.handle(), code, &status);
    service.Close();
    if (error == kErrorSuccess && loop)
        loop->Flush();
    return error;
}

bool DovrelHost::Scan() {
    std::shared_ptr<HostMessageLoop> loop = ServiceLoop();
    return loop && loop->Tick();
}

uint32_t DovrelHost::State() {
    const std::optional<host::ServiceStatus> status = system_.services().Status(kServiceName);
    return status ? status->currentState : host::kServiceStopped;
}

std::shared_ptr<HostMessageLoop> DovrelHost::ServiceLoop() {
    const host::ProcessId process = system_.services().ServiceProcess(kServiceName);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = loops_.find(process);
    return it == loops_.end() ? nullptr : it->second;
}

}  // namespace dovrel
