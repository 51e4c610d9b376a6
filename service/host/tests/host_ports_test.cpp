// The service's ports over the simulated machine, one by one.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/file_system.h"
#include "host/machine.h"
#include "host/registry.h"
#include "host_ports.h"
#include "temp_drive.h"
#include "toy_pnp_filter.h"

namespace dovrel {
namespace {

using Strings = std::vector<std::string>;

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class HostDeviceManagerTest : public ::testing::Test {
  protected:
    HostDeviceManagerTest() {
        pnptoy::Reset();
        machine_.InstallDriver("ToyFilter", "toyfilter.sys", pnptoy::DriverEntry);
    }
    ~HostDeviceManagerTest() override { pnptoy::Reset(); }

    host::DevNode* Plug(uint16_t productId, const Strings& lowerFilters = {}) {
        host::UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = productId;
        host::DevNode* node = machine_.pnp().PlugIn(identity);
        if (!lowerFilters.empty()) {
            machine_.registry().SetMultiString(node->EnumKey(), "LowerFilters", lowerFilters);
            machine_.pnp().Restart(node);
        }
        return node;
    }

    std::unique_ptr<DeviceInfoSet> Set() {
        std::unique_ptr<DeviceInfoSet> set;
        EXPECT_EQ(devices_.GetPresentInterfaceDevices(kKsCategoryAudio, &set), kErrorSuccess);
        return set;
    }

    static uint32_t Count(DeviceInfoSet& set) {
        DeviceInfo device;
        uint32_t count = 0;
        while (set.EnumDeviceInfo(count, &device) == kErrorSuccess)
            ++count;
        return count;
    }

    WinError Change(DeviceInfoSet& set, DeviceStateChange change,
                    DeviceChangeScope scope = DeviceChangeScope::ConfigSpecific) {
        EXPECT_EQ(set.SetPropertyChangeParams(DeviceInfo{0}, {change, scope, 0}), kErrorSuccess);
        return set.CallPropertyChangeInstaller(DeviceInfo{0});
    }

    host::Machine machine_;
    HostDeviceManager devices_{machine_.pnp()};
};

TEST_F(HostDeviceManagerTest, PropertiesAreTheEnumKeyValuesInEightBitTextWithTheTwoCallQuery) {
    host::DevNode* node = Plug(0x1607);
    std::unique_ptr<DeviceInfoSet> set = Set();
    DeviceInfo device;
    ASSERT_EQ(set->EnumDeviceInfo(0, &device), kErrorSuccess);
    EXPECT_EQ(set->EnumDeviceInfo(1, &device), kErrorNoMoreItems);

    const std::string expected = std::string("USB\\VID_0F1E&PID_1607&REV_0100&MI_00") + '\0' +
                                 "USB\\VID_0F1E&PID_1607&MI_00" + '\0';
    RegistryType type = RegistryType::None;
    uint32_t required = 0;
    EXPECT_EQ(set->GetDeviceRegistryProperty(device, DeviceProperty::HardwareId, &type, nullptr, 0,
                                             &required),
              kErrorInsufficientBuffer);
    EXPECT_EQ(type, RegistryType::MultiSz);
    ASSERT_EQ(required, expected.size() + 1);
    std::vector<uint8_t> buffer(required);
    ASSERT_EQ(set->GetDeviceRegistryProperty(device, DeviceProperty::HardwareId, &type,
                                             buffer.data(), required, &required),
              kErrorSuccess);
    EXPECT_EQ(buffer, Bytes(expected + std::string(1, '\0')));
    EXPECT_EQ(set->GetDeviceRegistryProperty(device, DeviceProperty::LowerFilters, &type, nullptr,
                                             0, &required),
              kErrorInvalidData);

    const std::string filters("Ampfx\0other\0", 13);
    ASSERT_EQ(set->SetDeviceRegistryProperty(device, DeviceProperty::LowerFilters,
                                             reinterpret_cast<const uint8_t*>(filters.data()),
                                             static_cast<uint32_t>(filters.size())),
              kErrorSuccess);
    const std::optional<host::RegistryValue> written =
        machine_.registry().GetValue(node->EnumKey(), "LowerFilters");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->type, host::kRegMultiSz);
    EXPECT_EQ(machine_.registry().GetMultiString(node->EnumKey(), "LowerFilters"),
              (Strings{"Ampfx", "other"}));
    ASSERT_EQ(set->SetDeviceRegistryProperty(device, DeviceProperty::LowerFilters, nullptr, 0),
              kErrorSuccess);
    EXPECT_FALSE(machine_.registry().GetValue(node->EnumKey(), "LowerFilters").has_value());

    EXPECT_EQ(set->SetDeviceRegistryProperty(device, DeviceProperty::HardwareId,
                                             reinterpret_cast<const uint8_t*>(filters.data()),
                                             static_cast<uint32_t>(filters.size())),
              kErrorInvalidRegProperty);
    EXPECT_EQ(set->GetDeviceRegistryProperty(DeviceInfo{3}, DeviceProperty::HardwareId, &type,
                                             nullptr, 0, &required),
              kErrorInvalidParameter);
}

TEST_F(HostDeviceManagerTest, TheSetHoldsPresentDevicesWhoseAudioInterfaceIsEnabled) {
    host::DevNode* headset = Plug(0x1607);
    host::DevNode* failed = Plug(0x1517, {"NoSuchFilter"});
    ASSERT_EQ(failed->Problem(), host::cm_problem::kDriverFailedLoad);
    std::unique_ptr<DeviceInfoSet> set = Set();
    EXPECT_EQ(Count(*set), 1u);
    machine_.pnp().Unplug(headset);
    EXPECT_EQ(Count(*Set()), 0u);
}

TEST_F(HostDeviceManagerTest, PropertyChangeStopsAndStartsTheDeviceNode) {
    host::DevNode* node = Plug(0x1607);
    std::unique_ptr<DeviceInfoSet> set = Set();
    DeviceInfo device;
    ASSERT_EQ(set->EnumDeviceInfo(0, &device), kErrorSuccess);

    EXPECT_EQ(set->CallPropertyChangeInstaller(device), kErrorNoClassInstallParams);
    EXPECT_EQ(Change(*set, DeviceStateChange::Stop, DeviceChangeScope::Global), kErrorInvalidFlags);
    EXPECT_TRUE(node->Started());

    ASSERT_EQ(Change(*set, DeviceStateChange::Stop), kErrorSuccess);
    EXPECT_FALSE(node->Started());
    EXPECT_TRUE(node->Present());
    EXPECT_EQ(Count(*Set()), 0u);  // its interface went with the stack

    machine_.registry().SetMultiString(node->EnumKey(), "LowerFilters", {"ToyFilter"});
    ASSERT_EQ(Change(*set, DeviceStateChange::Start), kErrorSuccess);
    EXPECT_TRUE(node->Started());
    EXPECT_EQ(node->Services(), (Strings{"ToyFilter", "usbaudio"}));

    DeviceInstallParams params;
    ASSERT_EQ(set->GetDeviceInstallParams(device, &params), kErrorSuccess);
    EXPECT_EQ(params.flags & kDiNeedReboot, 0u);

    const std::vector<HostDeviceManager::InstallerCall> calls = devices_.InstallerCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].error, kErrorInvalidFlags);
    EXPECT_EQ(calls[2].stateChange, DeviceStateChange::Start);
    EXPECT_EQ(calls[2].instancePath, node->InstancePath());
}

TEST_F(HostDeviceManagerTest, AVetoedStopLeavesTheDeviceRunningAndAsksForAReboot) {
    host::DevNode* node = Plug(0x1607, {"ToyFilter"});
    std::unique_ptr<DeviceInfoSet> set = Set();
    DeviceInfo device;
    ASSERT_EQ(set->EnumDeviceInfo(0, &device), kErrorSuccess);
    pnptoy::g_behaviour.vetoQueryRemove = true;

    EXPECT_EQ(Change(*set, DeviceStateChange::Stop), kErrorSuccess);
    EXPECT_TRUE(node->Started());
    DeviceInstallParams params;
    ASSERT_EQ(set->GetDeviceInstallParams(device, &params), kErrorSuccess);
    EXPECT_EQ(params.flags & kDiNeedReboot, kDiNeedReboot);

    pnptoy::g_behaviour.vetoQueryRemove = false;
    machine_.pnp().Unplug(node);
    EXPECT_EQ(Change(*set, DeviceStateChange::Start), kErrorNoSuchDevinst);
}

TEST(HostRegistryTest, KeysAreOpenedWithTheirAccessAndSeeTheirDeletion) {
    host::Registry machineRegistry;
    HostRegistry registry(machineRegistry);
    std::unique_ptr<RegistryKey> created;
    ASSERT_EQ(registry.CreateKey(RegistryHive::ClassesRoot, "AppID\\{X}", &created), kErrorSuccess);
    ASSERT_EQ(created->SetString("LocalService", RegistryType::Sz, "Dovrel"), kErrorSuccess);
    EXPECT_EQ(machineRegistry.GetString("HKLM\\SOFTWARE\\Classes\\AppID\\{X}", "LocalService"),
              "Dovrel");

    std::unique_ptr<RegistryKey> opened;
    ASSERT_EQ(registry.OpenKey(RegistryHive::ClassesRoot, "appid\\{x}", &opened), kErrorSuccess);
    RegistryType type = RegistryType::None;
    EXPECT_EQ(opened->QueryValueType("localservice", &type), kErrorSuccess);
    EXPECT_EQ(type, RegistryType::Sz);
    EXPECT_EQ(opened->SetDword("Other", 1), kErrorAccessDenied);
    EXPECT_EQ(opened->QueryValueType("Missing", &type), kErrorFileNotFound);

    EXPECT_EQ(registry.DeleteTree(RegistryHive::ClassesRoot, "AppID"), kErrorSuccess);
    EXPECT_EQ(created->SetDword("Other", 1), kErrorKeyDeleted);
    EXPECT_EQ(registry.OpenKey(RegistryHive::ClassesRoot, "AppID\\{X}", &opened),
              kErrorFileNotFound);
    EXPECT_EQ(registry.DeleteTree(RegistryHive::LocalMachine, "SOFTWARE\\Nothing"),
              kErrorFileNotFound);
    ASSERT_EQ(registry.Deletions().size(), 2u);
    EXPECT_EQ(registry.Deletions()[1].path, "HKLM\\SOFTWARE\\Nothing");
}

TEST(HostSystemFilesTest, RemoveFileDeletesFromTheSystemDirectory) {
    TempDrive drive;
    host::FileSystem files(drive.path());
    HostSystemFiles system(files, "C:\\Windows\\system32\\Dovrel.exe");
    std::string directory;
    ASSERT_EQ(system.SystemDirectory(&directory), kErrorSuccess);
    EXPECT_EQ(directory, "C:\\Windows\\system32");
    const std::string driver = directory + "\\drivers\\Ampfx.sys";
    ASSERT_EQ(files.WriteFile(driver, {1}), kErrorSuccess);
    EXPECT_EQ(system.RemoveFile(driver), kErrorSuccess);
    EXPECT_FALSE(files.FileExists(driver));
    EXPECT_EQ(system.RemoveFile(driver), kErrorFileNotFound);
}

class HostMessageLoopTest : public ::testing::Test {
  protected:
    void Start(HostMessageLoop& loop, uint32_t periodMs) {
        thread_ = std::thread(
            [this, &loop, periodMs] { result_ = loop.Run(periodMs, [this] { Note("tick"); }); });
    }
    void Note(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        order_.push_back(what);
    }
    Strings Order() {
        std::lock_guard<std::mutex> lock(mutex_);
        return order_;
    }
    void TearDown() override {
        if (thread_.joinable())
            thread_.join();
    }

    std::thread thread_;
    std::mutex mutex_;
    Strings order_;
    WinError result_ = 1;
};

TEST_F(HostMessageLoopTest, ATickRunsOneTimerCallbackAfterThePostedWork) {
    HostMessageLoop loop;
    loop.Post([this] { Note("posted before run"); });
    Start(loop, 1300);
    ASSERT_TRUE(loop.Tick());
    EXPECT_EQ(Order(), (Strings{"posted before run", "tick"}));
    loop.Post([this] { Note("posted"); });
    ASSERT_TRUE(loop.Flush());
    ASSERT_TRUE(loop.Tick());
    EXPECT_EQ(Order(), (Strings{"posted before run", "tick", "posted", "tick"}));
    EXPECT_EQ(loop.PeriodMs(), 1300u);

    loop.PostQuit();
    thread_.join();
    EXPECT_EQ(result_, kErrorSuccess);
    EXPECT_FALSE(loop.Tick());
    EXPECT_FALSE(loop.Flush());
    EXPECT_EQ(loop.TicksRun(), 2u);
}

TEST_F(HostMessageLoopTest, AQuitPostedBeforeRunEndsItAfterTheEarlierWork) {
    HostMessageLoop loop;
    loop.Post([this] { Note("work"); });
    loop.PostQuit();
    loop.Post([this] { Note("after the quit"); });
    Start(loop, 1300);
    thread_.join();
    EXPECT_EQ(Order(), (Strings{"work"}));
    EXPECT_EQ(loop.TicksRun(), 0u);
}

TEST_F(HostMessageLoopTest, InRealTimeTheTimerFiresByItself) {
    HostMessageLoop::Options options;
    options.realTime = true;
    HostMessageLoop loop(options);
    Start(loop, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (loop.TicksRun() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    loop.PostQuit();
    thread_.join();
    EXPECT_GE(loop.TicksRun(), 3u);
}

}  // namespace
}  // namespace dovrel
