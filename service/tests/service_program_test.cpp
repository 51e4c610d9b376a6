#include <gtest/gtest.h>

#include "memory_ports.h"
#include "service_program.h"

namespace dovrel {
namespace {

using Strings = std::vector<std::string>;

constexpr char kHeadset[] = "USB\\VID_0F1E&PID_1607&REV_0100&MI_00";
constexpr char kAppIdKey[] = "AppID\\{C44B2F58-3AB3-419E-BFDB-C76BE2CAE9B4}";
constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Ampfx";

class ServiceProgramTest : public ::testing::Test {
  protected:
    void RegisterAsService() {
        std::unique_ptr<RegistryKey> key;
        ASSERT_EQ(machine.registry.CreateKey(RegistryHive::ClassesRoot, kAppIdKey, &key), 0u);
        ASSERT_EQ(key->SetString("LocalService", RegistryType::Sz, "Dovrel"), 0u);
    }

    // Sends each (tick, control) through the service control manager before that tick.
    void ScriptControls(std::vector<std::pair<int, uint32_t>> script) {
        machine.loop.beforeTick = [this, script](int tick) {
            for (const auto& step : script) {
                if (step.first == tick)
                    answers.push_back(machine.dispatcher.SendControl(step.second));
            }
        };
    }

    void AddKey(const std::string& path) {
        std::unique_ptr<RegistryKey> key;
        ASSERT_EQ(machine.registry.CreateKey(RegistryHive::LocalMachine, path, &key), 0u);
        ASSERT_EQ(key->SetDword("Marker", 1), 0u);
    }

    MemoryMachine machine;
    DovrelService service{machine.Ports()};
    std::vector<WinError> answers;
};

TEST_F(ServiceProgramTest, UnderServiceManagerReportsStatesAndScansEveryTickUntilStop) {
    RegisterAsService();
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset});
    ScriptControls({{4, kServiceControlStop}});

    EXPECT_EQ(service.Main(""), 0);

    EXPECT_EQ(machine.dispatcher.runName, "Dovrel");
    EXPECT_EQ(machine.dispatcher.States(),
              (std::vector<uint32_t>{kServiceStartPending, kServiceRunning, kServiceStopPending,
                                     kServiceStopped}));
    EXPECT_EQ(machine.dispatcher.statuses[1].controlsAccepted, kServiceAcceptStop);
    EXPECT_EQ(answers, (std::vector<WinError>{kErrorSuccess}));
    EXPECT_EQ(machine.loop.periodMs, 1300u);
    EXPECT_EQ(machine.loop.ticks, 4);  // the fourth ends on the stop before it scans
    EXPECT_EQ(machine.devices.setsCreated, 3);
    EXPECT_EQ(headset.installerCalls.size(), 2u);
    EXPECT_EQ(machine.eventLog.Texts(), (Strings{"Service started", "Service stopped"}));
    EXPECT_EQ(machine.eventLog.entries[0].source, "Dovrel");
}

TEST_F(ServiceProgramTest, WithoutServiceRegistrationRunsTheSameLoopAsAProcess) {
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset});
    machine.loop.beforeTick = [this](int tick) {
        if (tick == 3)
            machine.loop.PostQuit();
    };
    EXPECT_EQ(service.Main("   "), 0);
    EXPECT_TRUE(machine.dispatcher.runName.empty());
    EXPECT_TRUE(machine.dispatcher.statuses.empty());
    EXPECT_EQ(machine.devices.setsCreated, 2);
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
    EXPECT_EQ(machine.eventLog.Texts(), (Strings{"Service started", "Service stopped"}));
}

TEST_F(ServiceProgramTest, FailedConnectionToServiceManagerIsTheExitCode) {
    RegisterAsService();
    machine.dispatcher.connectError = kErrorFailedServiceControllerConnect;
    EXPECT_EQ(service.Main(""), 1063);
    EXPECT_EQ(machine.loop.ticks, 0);
}

// A message loop that fails ends the program with a failure, as a process and as a service
// (whose stop then carries the loop's error).
TEST_F(ServiceProgramTest, AFailedMessageLoopIsAFailure) {
    machine.loop.maxTicks = 0;
    EXPECT_EQ(service.Main(""), 1);
    EXPECT_EQ(machine.eventLog.Texts(), (Strings{"Service started", "Service stopped"}));

    machine.eventLog.entries.clear();
    RegisterAsService();
    EXPECT_EQ(service.Main(""), 1);
    ASSERT_FALSE(machine.dispatcher.statuses.empty());
    EXPECT_EQ(machine.dispatcher.statuses.back().currentState, kServiceStopped);
    EXPECT_NE(machine.dispatcher.statuses.back().win32ExitCode, 0u);
}

TEST_F(ServiceProgramTest, ControlCodesOtherThanStopAndRemovalChangeNothing) {
    RegisterAsService();
    machine.loop.beforeTick = [this](int tick) {
        if (tick != 1)
            return;
        for (uint32_t code : {kServiceControlPause, kServiceControlContinue,
                              kServiceControlInterrogate, kServiceControlShutdown})
            answers.push_back(service.HandleControl(code));
        answers.push_back(machine.dispatcher.SendControl(129));
        answers.push_back(machine.dispatcher.SendControl(255));
        answers.push_back(machine.dispatcher.SendControl(kServiceControlStop));
    };
    EXPECT_EQ(service.Main(""), 0);
    EXPECT_EQ(answers, (std::vector<WinError>{0, 0, 0, 0, kErrorCallNotImplemented,
                                              kErrorCallNotImplemented, 0}));
    EXPECT_EQ(machine.eventLog.Texts(), (Strings{"Service started", "Bad service request",
                                                 "Bad service request", "Service stopped"}));
    EXPECT_TRUE(machine.registry.deleteTreeCalls.empty());
    EXPECT_TRUE(machine.files.removeAttempts.empty());
}

TEST_F(ServiceProgramTest, RemovalDeletesServiceKeyDeviceKeysAndDriverFileOnly) {
    RegisterAsService();
    const char* products[] = {"1607", "160b", "160c", "160d", "1613", "1517",
                              "1527", "1614", "1615", "1616", "1617"};
    AddKey(std::string(kServiceKey) + "\\Enum");
    for (const char* product : products) {
        AddKey(std::string("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_") + product +
               "&MI_00\\6&1234&0&0000");
    }
    const Strings kept = {
        "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_1608&MI_00",
        "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_1607&MI_01",
        "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_1607",
        "SYSTEM\\CurrentControlSet\\Services\\AmpfxOther",
        "SOFTWARE\\Ampfx",
    };
    for (const std::string& path : kept)
        AddKey(path);
    machine.files.files = {"c:\\windows\\system32\\drivers\\ampfx.sys",
                           "c:\\windows\\system32\\dovrel.exe"};
    ScriptControls({{1, kServiceControlRemoveFilter}, {2, kServiceControlStop}});

    EXPECT_EQ(service.Main(""), 0);

    EXPECT_EQ(answers, (std::vector<WinError>{0, 0}));
    Strings expectedDeletes = {std::string("HKLM\\") + kServiceKey};
    for (const char* product : products) {
        expectedDeletes.push_back(
            std::string("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_") + product +
            "&MI_00");
    }
    EXPECT_EQ(machine.registry.deleteTreeCalls, expectedDeletes);
    EXPECT_EQ(machine.files.removeAttempts, (Strings{"C:\\WINDOWS\\system32\\drivers\\Ampfx.sys"}));
    EXPECT_FALSE(machine.files.Exists("C:\\WINDOWS\\system32\\drivers\\Ampfx.sys"));
    EXPECT_TRUE(machine.files.Exists("C:\\WINDOWS\\system32\\Dovrel.exe"));

    EXPECT_FALSE(machine.registry.KeyExists(RegistryHive::LocalMachine,
                                            std::string(kServiceKey) + "\\Enum"));
    for (const char* product : products) {
        EXPECT_FALSE(machine.registry.KeyExists(
            RegistryHive::LocalMachine,
            std::string("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_") + product +
                "&MI_00\\6&1234&0&0000"))
            << product;
    }
    for (const std::string& path : kept)
        EXPECT_TRUE(machine.registry.KeyExists(RegistryHive::LocalMachine, path)) << path;
}

TEST_F(ServiceProgramTest, RemovalAttemptsEveryDeletionOnceWhateverFails) {
    struct Case {
        const char* name;
        std::string systemDirectory;
        bool denyServiceKey;
        bool fileLocked;
        Strings removeAttempts;
    };
    const Case cases[] = {
        {"nothing there",
         "C:\\WINDOWS\\system32",
         false,
         false,
         {"C:\\WINDOWS\\system32\\drivers\\Ampfx.sys"}},
        {"directory with separator", "D:\\W\\", true, false, {"D:\\W\\drivers\\Ampfx.sys"}},
        {"everything refused",
         "C:\\WINDOWS\\system32",
         true,
         true,
         {"C:\\WINDOWS\\system32\\drivers\\Ampfx.sys"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMachine m;
        m.files.systemDirectory = c.systemDirectory;
        if (c.denyServiceKey) {
            std::unique_ptr<RegistryKey> key;
            m.registry.CreateKey(RegistryHive::LocalMachine, kServiceKey, &key);
            m.registry.Deny(RegistryHive::LocalMachine, kServiceKey);
        }
        if (c.fileLocked)
            m.files.locked = {"c:\\windows\\system32\\drivers\\ampfx.sys"};
        DovrelService s(m.Ports());
        EXPECT_EQ(s.HandleControl(kServiceControlRemoveFilter), 0u);
        m.loop.beforeTick = [&m](int) { m.loop.PostQuit(); };
        s.Main("");
        EXPECT_EQ(m.registry.deleteTreeCalls.size(), 12u);
        EXPECT_EQ(m.files.removeAttempts, c.removeAttempts);
    }
}

TEST_F(ServiceProgramTest, NoDeviceIsAttachedAfterTheRemoval) {
    RegisterAsService();
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset}, Strings{"Other"});
    ScriptControls({{1, kServiceControlRemoveFilter}, {3, kServiceControlStop}});
    EXPECT_EQ(service.Main(""), 0);
    EXPECT_EQ(machine.loop.ticks, 3);
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Other"}));
    EXPECT_TRUE(headset.installerCalls.empty());
    EXPECT_FALSE(machine.registry.KeyExists(RegistryHive::LocalMachine, kServiceKey));
}

}  // namespace
}  // namespace dovrel
