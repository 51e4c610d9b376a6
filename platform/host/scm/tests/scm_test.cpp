// The simulated service control manager, processes, event log and drive C:, with a small test
// service program.
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include <gtest/gtest.h>

#include "host/event_log.h"
#include "host/file_system.h"
#include "host/processes.h"
#include "host/service_control_manager.h"
#include "host/win32_error.h"

namespace host {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kProgram = "C:\\Windows\\system32\\svc.exe";
constexpr const char* kKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Svc";
constexpr uint32_t kStopControl = kServiceControlStop;
constexpr uint32_t kUnhandledControl = 200;
constexpr uint32_t kErrorCallNotImplemented = 120;
constexpr uint32_t kErrorBadExeFormat = 193;

class TempRoot {
  public:
    TempRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ampfx-scm-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempRoot() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A service program as a service is written: connects, reports running and accepts stop,
// answers every control but kUnhandledControl, and stops on the stop control. Its first
// argument chooses a misbehaviour.
class ServiceProgram {
  public:
    ServiceProgram(ServiceControlManager& scm, Processes& processes)
        : scm_(scm), processes_(processes) {}

    int Main(const std::string& arguments) {
        if (arguments == "plain") {
            return 0;  // an ordinary program: never connects
        }
        const std::string name = arguments == "wrongname" ? "Other" : "Svc";
        processes_.OnTerminate(Processes::Current(), [this] { Signal(&terminated_); });
        const uint32_t error = scm_.StartServiceCtrlDispatcher(
            name, [this](const Strings& args) { ServiceMain(args); });
        dispatcherError = error;
        return static_cast<int>(error);
    }

    void ServiceMain(const Strings& args) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mainArguments = args;
        }
        if (scm_.RegisterServiceCtrlHandler(
                "Svc", [this](uint32_t c) { return Handle(c); }, &status_) != kErrorSuccess) {
            return;
        }
        Report(kServiceRunning, kServiceAcceptStop);
        // A wait in the manager must not make a process's thread a kernel thread.
        scm_.WaitIdle(0);
        attachedAfterWait = kernel::IsCurrentThreadAttached();
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || terminated_; });
        if (terminated_) {
            return;  // killed: no last status
        }
        lock.unlock();
        Report(kServiceStopped, 0);
    }

    uint32_t Handle(uint32_t control) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            controls.push_back(control);
        }
        if (control == kUnhandledControl) {
            return kErrorCallNotImplemented;
        }
        if (control == kStopControl) {
            Report(kServiceStopPending, 0);
            Signal(&stop_);
        }
        return kErrorSuccess;
    }

    std::vector<uint32_t> Controls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return controls;
    }

    std::atomic<uint32_t> dispatcherError{0};
    std::atomic<bool> attachedAfterWait{false};
    Strings mainArguments;
    std::vector<uint32_t> controls;

  private:
    void Report(uint32_t state, uint32_t accepted) {
        ServiceStatus status;
        status.currentState = state;
        status.controlsAccepted = accepted;
        scm_.SetServiceStatus(status_, status);
    }

    void Signal(bool* flag) {
        std::lock_guard<std::mutex> lock(mutex_);
        *flag = true;
        changed_.notify_all();
    }

    ServiceControlManager& scm_;
    Processes& processes_;
    ServiceStatusHandle status_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool terminated_ = false;
};

class ScmTest : public ::testing::Test {
  protected:
    ScmTest() {
        processes_.RegisterProgram("svc.exe",
                                   [this](const std::string& args) { return program_.Main(args); });
        files_.WriteFile(kProgram, {'M', 'Z'});
        scm_.OpenSCManager(kScManagerAllAccess, &manager_);
    }
    ~ScmTest() override {
        for (ScHandle handle : handles_) {
            scm_.CloseServiceHandle(handle);
        }
    }

    ServiceConfig Config(const std::string& binary = kProgram) {
        ServiceConfig config;
        config.serviceName = "Svc";
        config.displayName = "Test service";
        config.serviceType = kServiceWin32OwnProcess;
        config.startType = kServiceAutoStart;
        config.errorControl = 1;
        config.binaryPath = binary;
        config.dependencies = {"RPCSS"};
        return config;
    }

    ScHandle Create(const ServiceConfig& config) {
        ScHandle handle = 0;
        EXPECT_EQ(scm_.CreateService(manager_, config, kServiceAllAccess, &handle), kErrorSuccess);
        handles_.push_back(handle);
        return handle;
    }

    ScHandle Open(uint32_t access) {
        ScHandle handle = 0;
        EXPECT_EQ(scm_.OpenService(manager_, "svc", access, &handle), kErrorSuccess);
        handles_.push_back(handle);
        return handle;
    }

    ScHandle StartRunning() {
        ScHandle service = Create(Config());
        EXPECT_EQ(scm_.StartService(service, {"-x"}), kErrorSuccess);
        EXPECT_TRUE(scm_.WaitForState("Svc", kServiceRunning, 5000));
        return service;
    }

    uint32_t Control(ScHandle service, uint32_t code) {
        ServiceStatus status;
        return scm_.ControlService(service, code, &status);
    }

    // The program outlives the processes that run it.
    TempRoot root_;
    Registry registry_;
    FileSystem files_{root_.path()};
    ServiceProgram program_{scm_, processes_};
    Processes processes_{&files_};
    ServiceControlManager scm_{registry_, processes_, 2000};
    ScHandle manager_ = 0;
    std::vector<ScHandle> handles_;
};

TEST_F(ScmTest, CreateServiceWritesTheKeyWindowsKeepsAndANewManagerReadsIt) {
    Create(Config());
    EXPECT_EQ(registry_.GetDword(kKey, "Type"), 0x10u);
    EXPECT_EQ(registry_.GetDword(kKey, "Start"), 2u);
    EXPECT_EQ(registry_.GetDword(kKey, "ErrorControl"), 1u);
    EXPECT_EQ(registry_.GetString(kKey, "ImagePath"), kProgram);
    EXPECT_EQ(registry_.GetValue(kKey, "ImagePath")->type, kRegExpandSz);
    EXPECT_EQ(registry_.GetString(kKey, "DisplayName"), "Test service");
    EXPECT_EQ(registry_.GetMultiString(kKey, "DependOnService"), (Strings{"RPCSS"}));
    EXPECT_EQ(registry_.GetString(kKey, "ObjectName"), "LocalSystem");

    ServiceControlManager rebooted(registry_, processes_);
    ScHandle manager = 0;
    ScHandle service = 0;
    ASSERT_EQ(rebooted.OpenSCManager(kScManagerConnect, &manager), kErrorSuccess);
    ASSERT_EQ(rebooted.OpenService(manager, "SVC", kServiceQueryConfig, &service), kErrorSuccess);
    ServiceConfig config;
    ASSERT_EQ(rebooted.QueryServiceConfig(service, &config), kErrorSuccess);
    EXPECT_EQ(config.binaryPath, kProgram);
    EXPECT_EQ(config.dependencies, (Strings{"RPCSS"}));
    rebooted.CloseServiceHandle(service);
    rebooted.CloseServiceHandle(manager);
}

TEST_F(ScmTest, AServiceMarkedForDeletionIsDeletedWhenTheManagerStarts) {
    registry_.CreateKey(kKey);
    registry_.SetDword(kKey, "Type", kServiceWin32OwnProcess);
    registry_.SetDword(kKey, "DeleteFlag", 1);
    ServiceControlManager rebooted(registry_, processes_);
    EXPECT_FALSE(registry_.KeyExists(kKey));
    EXPECT_FALSE(rebooted.Status("Svc").has_value());
}

TEST_F(ScmTest, CreateServiceRefusesWhatWindowsRefuses) {
    Create(Config());
    ScHandle connectOnly = 0;
    scm_.OpenSCManager(kScManagerConnect, &connectOnly);
    struct Case {
        std::string what;
        ServiceConfig config;
        ScHandle manager;
        uint32_t error;
    };
    ServiceConfig other = Config();
    other.serviceName = "Other";
    ServiceConfig slash = other;
    slash.serviceName = "a\\b";
    ServiceConfig noBinary = other;
    noBinary.binaryPath.clear();
    noBinary.displayName = "Other";
    ServiceConfig bootProcess = noBinary;
    bootProcess.binaryPath = kProgram;
    bootProcess.startType = kServiceBootStart;
    const Case cases[] = {
        {"exists", Config(), manager_, kErrorServiceExists},
        {"display name taken", other, manager_, kErrorDuplicateServiceName},
        {"bad name", slash, manager_, kErrorInvalidName},
        {"no image", noBinary, manager_, kErrorInvalidParameter},
        {"boot-start process", bootProcess, manager_, kErrorInvalidParameter},
        {"no create access", bootProcess, connectOnly, kErrorAccessDenied},
    };
    for (const Case& c : cases) {
        ScHandle handle = 0;
        EXPECT_EQ(scm_.CreateService(c.manager, c.config, kServiceAllAccess, &handle), c.error)
            << c.what;
    }
    scm_.CloseServiceHandle(connectOnly);
    ScHandle handle = 0;
    EXPECT_EQ(scm_.OpenService(manager_, "Missing", kServiceAllAccess, &handle),
              kErrorServiceDoesNotExist);
    EXPECT_EQ(scm_.OpenService(0x77, "Svc", kServiceAllAccess, &handle), kErrorInvalidHandle);
}

TEST_F(ScmTest, AServiceRunsItsMainOnAThreadAndHandlesControlsOnTheDispatcher) {
    ScHandle service = StartRunning();
    EXPECT_EQ(program_.mainArguments, (Strings{"Svc", "-x"}));
    EXPECT_FALSE(program_.attachedAfterWait);
    EXPECT_NE(scm_.ServiceProcess("Svc"), 0u);
    EXPECT_EQ(scm_.StartService(service), kErrorServiceAlreadyRunning);

    EXPECT_EQ(Control(service, kServiceControlInterrogate), kErrorSuccess);
    EXPECT_EQ(Control(service, 128), kErrorSuccess);
    EXPECT_EQ(Control(service, kUnhandledControl), kErrorCallNotImplemented);
    EXPECT_EQ(Control(service, kServiceControlPause), kErrorInvalidServiceControl);
    EXPECT_EQ(Control(service, kServiceControlShutdown), kErrorInvalidParameter);
    EXPECT_EQ(Control(Open(kServiceQueryStatus), kStopControl), kErrorAccessDenied);

    ServiceStatus status;
    EXPECT_EQ(scm_.ControlService(service, kStopControl, &status), kErrorSuccess);
    // ServiceMain may have finished the stop by the time the status is read.
    EXPECT_TRUE(status.currentState == kServiceStopPending ||
                status.currentState == kServiceStopped);
    EXPECT_TRUE(scm_.WaitForState("Svc", kServiceStopped, 5000));
    EXPECT_EQ(Control(service, kStopControl), kErrorServiceNotActive);
    EXPECT_TRUE(scm_.WaitIdle(5000));
    EXPECT_EQ(program_.dispatcherError, kErrorSuccess);
    EXPECT_EQ(program_.Controls(), (std::vector<uint32_t>{kServiceControlInterrogate, 128,
                                                          kUnhandledControl, kStopControl}));
    EXPECT_EQ(scm_.ServiceProcess("Svc"), 0u);
}

TEST_F(ScmTest, ARunningServiceMarkedForDeletionLeavesOnceStoppedAndUnused) {
    ScHandle service = StartRunning();
    ASSERT_EQ(scm_.DeleteService(service), kErrorSuccess);
    EXPECT_EQ(registry_.GetDword(kKey, "DeleteFlag"), 1u);
    EXPECT_EQ(scm_.DeleteService(service), kErrorServiceMarkedForDelete);
    ScHandle created = 0;
    EXPECT_EQ(scm_.CreateService(manager_, Config(), kServiceAllAccess, &created),
              kErrorServiceMarkedForDelete);
    ScHandle opened = Open(kServiceQueryStatus);  // still in the database

    ASSERT_EQ(Control(service, kStopControl), kErrorSuccess);
    ASSERT_TRUE(scm_.WaitIdle(5000));
    EXPECT_TRUE(registry_.KeyExists(kKey));  // handles are open
    scm_.CloseServiceHandle(service);
    scm_.CloseServiceHandle(opened);
    handles_.clear();
    EXPECT_FALSE(registry_.KeyExists(kKey));
    EXPECT_EQ(scm_.OpenService(manager_, "Svc", kServiceQueryStatus, &opened),
              kErrorServiceDoesNotExist);
}

TEST_F(ScmTest, StartFailsAsWindowsFails) {
    struct Case {
        std::string what;
        std::function<void(ServiceConfig*)> change;
        uint32_t error;
    };
    const Case cases[] = {
        {"image missing",
         [](ServiceConfig* c) { c->binaryPath = "C:\\Windows\\system32\\gone.exe"; },
         kErrorFileNotFound},
        {"folder missing", [](ServiceConfig* c) { c->binaryPath = "C:\\Nowhere\\svc.exe"; },
         kErrorPathNotFound},
        {"not a program", [](ServiceConfig* c) { c->binaryPath = "C:\\Windows\\notepad.exe"; },
         kErrorBadExeFormat},
        {"never connects", [](ServiceConfig* c) { c->binaryPath += " plain"; },
         kErrorServiceRequestTimeout},
        {"another service's name", [](ServiceConfig* c) { c->binaryPath += " wrongname"; },
         kErrorServiceRequestTimeout},
        {"disabled", [](ServiceConfig* c) { c->startType = kServiceDisabled; },
         kErrorServiceDisabled},
        {"dependency missing", [](ServiceConfig* c) { c->dependencies = {"Nothing"}; },
         kErrorServiceDependencyDeleted},
    };
    files_.WriteFile("C:\\Windows\\notepad.exe", {'M', 'Z'});
    for (const Case& c : cases) {
        ServiceConfig config = Config();
        c.change(&config);
        ScHandle service = Create(config);
        EXPECT_EQ(scm_.StartService(service), c.error) << c.what;
        EXPECT_EQ(scm_.Status("Svc")->currentState, kServiceStopped) << c.what;
        scm_.DeleteService(service);
        scm_.CloseServiceHandle(service);
        handles_.pop_back();
    }
    EXPECT_EQ(program_.dispatcherError, kErrorServiceNotInExe);
}

TEST_F(ScmTest, OnlyAProcessTheManagerStartedCanConnect) {
    EXPECT_EQ(scm_.StartServiceCtrlDispatcher("Svc", [](const Strings&) {}),
              kErrorFailedServiceControllerConnect);
    Create(Config());
    ProcessId process = 0;
    ASSERT_EQ(processes_.Create(kProgram, &process), kErrorSuccess);
    int exitCode = 0;
    ASSERT_EQ(processes_.Wait(process, 5000, &exitCode), kErrorSuccess);
    EXPECT_EQ(static_cast<uint32_t>(exitCode), kErrorFailedServiceControllerConnect);
}

TEST_F(ScmTest, AServiceWhoseProcessIsKilledStopsWithProcessAborted) {
    StartRunning();
    const ProcessId process = scm_.ServiceProcess("Svc");
    processes_.Terminate(process, 9);
    int exitCode = 0;
    ASSERT_EQ(processes_.Wait(process, 5000, &exitCode), kErrorSuccess);
    EXPECT_EQ(exitCode, 9);
    const ServiceStatus status = *scm_.Status("Svc");
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, kErrorProcessAborted);
}

TEST_F(ScmTest, SystemServicesRunForGoodAndAnswerOnlyInterrogation) {
    ScHandle rpc = 0;
    ASSERT_EQ(scm_.OpenService(manager_, "rpcss", kServiceAllAccess, &rpc), kErrorSuccess);
    handles_.push_back(rpc);
    EXPECT_EQ(scm_.Status("RpcSs")->currentState, kServiceRunning);
    EXPECT_EQ(scm_.StartService(rpc), kErrorServiceAlreadyRunning);
    EXPECT_EQ(Control(rpc, kStopControl), kErrorInvalidServiceControl);
    EXPECT_EQ(Control(rpc, kServiceControlInterrogate), kErrorSuccess);
    EXPECT_EQ(registry_.GetString("HKLM\\SYSTEM\\CurrentControlSet\\Services\\RpcSs", "ObjectName"),
              "NT AUTHORITY\\NetworkService");
}

TEST_F(ScmTest, AProgramImageIsInUseWhileItRuns) {
    StartRunning();
    EXPECT_EQ(files_.DeleteFile(kProgram), kErrorAccessDenied);
    const ProcessId process = scm_.ServiceProcess("Svc");
    ASSERT_EQ(Control(handles_[0], kStopControl), kErrorSuccess);
    ASSERT_EQ(processes_.Wait(process, 5000), kErrorSuccess);
    EXPECT_EQ(files_.DeleteFile(kProgram), kErrorSuccess);
    EXPECT_EQ(files_.DeleteFile(kProgram), kErrorFileNotFound);
}

TEST(EventLogTest, RecordsWhatSourcesReportAndRefusesBadCalls) {
    EventLog log;
    EventSourceHandle source = 0;
    ASSERT_EQ(log.RegisterEventSource("Dovrel", &source), kErrorSuccess);
    EXPECT_EQ(log.ReportEvent(source, kEventLogWarningType, 0, 7, {"one", "two"}), kErrorSuccess);
    EXPECT_EQ(log.ReportEvent(source, 3, 0, 0, {"bad type"}), kErrorInvalidParameter);
    EXPECT_EQ(log.DeregisterEventSource(source), kErrorSuccess);
    EXPECT_EQ(log.ReportEvent(source, kEventLogWarningType, 0, 0, {"late"}), kErrorInvalidHandle);
    const std::vector<EventRecord> records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, "Dovrel");
    EXPECT_EQ(records[0].eventId, 7u);
    EXPECT_EQ(records[0].Text(), "one\r\ntwo");
}

TEST(FileSystemTest, PathsIgnoreLetterCaseAndFailAsWindowsDoes) {
    TempRoot root;
    FileSystem files(root.path());
    ASSERT_EQ(files.WriteFile("C:\\Windows\\System32\\Drivers\\Ampfx.sys", {1, 2}), kErrorSuccess);
    EXPECT_TRUE(files.FileExists("c:/windows/system32/DRIVERS/ampfx.SYS"));
    EXPECT_TRUE(std::filesystem::exists(root.path() + "/Windows/system32/drivers/Ampfx.sys"));
    std::vector<uint8_t> data;
    EXPECT_EQ(files.ReadFile("C:\\WINDOWS\\system32\\drivers\\AMPFX.sys", &data), kErrorSuccess);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(files.WriteFile("C:\\Missing\\x.txt", {}), kErrorPathNotFound);
    EXPECT_EQ(files.DeleteFile("C:\\Windows\\system32"), kErrorAccessDenied);
    EXPECT_EQ(files.DeleteFile("C:\\Windows\\..\\..\\etc\\passwd"), kErrorPathNotFound);
    EXPECT_EQ(files.DeleteFile("D:\\x"), kErrorPathNotFound);
    EXPECT_EQ(files.DeleteFile("c:\\windows\\system32\\drivers\\ampfx.sys"), kErrorSuccess);
    EXPECT_EQ(files.DeleteFile("C:\\Windows\\system32\\drivers\\Ampfx.sys"), kErrorFileNotFound);
}

}  // namespace
}  // namespace host
