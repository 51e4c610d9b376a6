// Dovrel.exe on the simulated machine with the real filter driver: registration, the scan that
// makes Plug and Play load the filter under the class driver, and the removal on code 128.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "ampfx_ioctl.h"
#include "dovrel_host.h"
#include "engine_session.h"
#include "filtered_machine.h"
#include "host/audio_stream.h"
#include "host/machine.h"
#include "host/usb_headset.h"
#include "host/user_system.h"
#include "music_clip.h"
#include "temp_drive.h"
#include "toy_pnp_filter.h"

namespace dovrel {
namespace {

using Strings = std::vector<std::string>;

constexpr char kServicesKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kFilterKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Ampfx";
constexpr char kAppIdKey[] = "HKCR\\AppID\\{C44B2F58-3AB3-419E-BFDB-C76BE2CAE9B4}";
constexpr char kDriverFile[] = "C:\\Windows\\system32\\drivers\\Ampfx.sys";
constexpr char kOtherFilter[] = "OtherFilter";

class ServiceOnMachineTest : public ::testing::Test {
  protected:
    ServiceOnMachineTest() {
        // The image is on the machine; writing its service key is the service's job.
        host::kernel::RegisterDriverImage("Ampfx.sys", DriverEntry);
        pnptoy::Reset();
        machine_.InstallDriver(kOtherFilter, "otherfilter.sys", pnptoy::DriverEntry);
        const std::string image = "MZ Ampfx.sys";
        system_.files().WriteFile(kDriverFile, std::vector<uint8_t>(image.begin(), image.end()));
    }

    host::Registry& Registry() { return machine_.registry(); }

    host::DevNode* Plug(uint16_t productId, const Strings* lowerFilters = nullptr) {
        host::UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = productId;
        host::DevNode* node = machine_.pnp().PlugIn(identity);
        if (lowerFilters != nullptr) {
            Registry().SetMultiString(node->EnumKey(), "LowerFilters", *lowerFilters);
            machine_.pnp().Restart(node);
        }
        return node;
    }

    void InstallAndStart() {
        ASSERT_EQ(dovrel_.Install(), 0);
        ASSERT_EQ(dovrel_.Start(), kErrorSuccess);
    }

    // Stops and starts the class installer made for the device, in order.
    Strings InstallerCalls(const host::DevNode* node) {
        Strings calls;
        for (const HostDeviceManager::InstallerCall& call : dovrel_.devices().InstallerCalls()) {
            if (call.instancePath == node->InstancePath())
                calls.push_back(call.stateChange == DeviceStateChange::Stop ? "stop" : "start");
        }
        return calls;
    }

    static size_t FilterAddDevices() {
        const Strings messages = host::kernel::DebugMessages();
        return static_cast<size_t>(
            std::count(messages.begin(), messages.end(), "AMPFX AddDevice\n"));
    }

    TempDrive drive_;
    host::Machine machine_;
    host::UserSystem system_{drive_.path()};
    DovrelHost dovrel_{machine_.pnp(), system_};
};

TEST_F(ServiceOnMachineTest, InstallRegistersTheServiceAndItsIdentityAndTheServiceRuns) {
    ASSERT_EQ(dovrel_.Install(), 0);

    const std::string key = std::string(kServicesKey) + "Dovrel";
    EXPECT_EQ(Registry().GetDword(key, "Type"), 0x10u);
    EXPECT_EQ(Registry().GetDword(key, "Start"), 2u);
    EXPECT_EQ(Registry().GetDword(key, "ErrorControl"), 1u);
    EXPECT_EQ(Registry().GetString(key, "ImagePath"), "C:\\Windows\\system32\\Dovrel.exe");
    EXPECT_EQ(Registry().GetValue(key, "ImagePath")->type, host::kRegExpandSz);
    EXPECT_EQ(Registry().GetString(key, "DisplayName"), "Dovrel");
    EXPECT_EQ(Registry().GetMultiString(key, "DependOnService"), (Strings{"RPCSS"}));
    EXPECT_EQ(Registry().GetString(key, "ObjectName"), "LocalSystem");
    EXPECT_EQ(Registry().GetString(kAppIdKey, "LocalService"), "Dovrel");
    EXPECT_EQ(Registry().GetString(kAppIdKey, "ServiceParameters"), "-Service");
    EXPECT_TRUE(dovrel_.MessageBoxes().empty());
    EXPECT_EQ(dovrel_.State(), host::kServiceStopped);

    ASSERT_EQ(dovrel_.Start(), kErrorSuccess);
    EXPECT_EQ(dovrel_.State(), host::kServiceRunning);
    ASSERT_EQ(dovrel_.Stop(), kErrorSuccess);
    EXPECT_EQ(dovrel_.State(), host::kServiceStopped);

    Strings events;
    for (const host::EventRecord& record : system_.eventLog().Records()) {
        EXPECT_EQ(record.source, "Dovrel");
        EXPECT_EQ(record.type, host::kEventLogInformationType);
        events.push_back(record.Text());
    }
    EXPECT_EQ(events, (Strings{"Service started", "Service stopped"}));
}

TEST_F(ServiceOnMachineTest, ASecondInstallReplacesTheServiceOfARunningInstallation) {
    InstallAndStart();
    EXPECT_EQ(dovrel_.Install(), 0);  // stops and deletes the running service first
    EXPECT_TRUE(dovrel_.MessageBoxes().empty());
    EXPECT_EQ(dovrel_.State(), host::kServiceStopped);
    EXPECT_EQ(Registry().GetDword(std::string(kServicesKey) + "Dovrel", "DeleteFlag"),
              std::nullopt);
    EXPECT_EQ(dovrel_.Start(), kErrorSuccess);
}

TEST_F(ServiceOnMachineTest, AScanLoadsTheFilterUnderTheClassDriverAndTheNextLeavesItAlone) {
    InstallAndStart();
    host::DevNode* headset = Plug(0x160D);
    ASSERT_TRUE(headset->Started());
    ASSERT_EQ(headset->Services(), (Strings{"usbaudio"}));
    const uint32_t loads = host::kernel::DriverImageLoadCount("Ampfx.sys");

    ASSERT_TRUE(dovrel_.Scan());

    EXPECT_TRUE(headset->Started()) << headset->Problem();
    EXPECT_EQ(headset->Services(), (Strings{"Ampfx", "usbaudio"}));
    EXPECT_NE(ampfx_test::FilteredMachine::FilterDevice(headset), nullptr);
    EXPECT_EQ(host::kernel::DriverImageLoadCount("Ampfx.sys"), loads + 1);
    EXPECT_EQ(FilterAddDevices(), 1u);
    EXPECT_EQ(Registry().GetMultiString(headset->EnumKey(), "LowerFilters"), (Strings{"Ampfx"}));
    EXPECT_EQ(Registry().GetDword(kFilterKey, "Type"), 1u);
    EXPECT_EQ(Registry().GetDword(kFilterKey, "Start"), 3u);
    EXPECT_EQ(Registry().GetDword(kFilterKey, "ErrorControl"), 1u);
    EXPECT_EQ(Registry().GetString(kFilterKey, "ImagePath"), "System32\\DRIVERS\\Ampfx.sys");
    EXPECT_EQ(InstallerCalls(headset), (Strings{"stop", "start"}));

    AmpfxValueRequest get{1, 0};
    const ampfx_test::ControlAnswer answer =
        ampfx_test::SendControl(IOCTL_AMPFX_EQ_ENABLE, &get, sizeof get, sizeof get);
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.bytes, 8u);

    ASSERT_TRUE(dovrel_.Scan());
    EXPECT_EQ(InstallerCalls(headset), (Strings{"stop", "start"}));
    EXPECT_EQ(FilterAddDevices(), 1u);
    EXPECT_TRUE(dovrel_.DebugOutput().empty());
}

TEST_F(ServiceOnMachineTest, AnotherLowerFilterStaysBelowTheFilterAndTheDeviceRestartsOnce) {
    struct Case {
        uint16_t productId;
        Strings before;
        Strings after;
    };
    const Case cases[] = {
        {0x1607, {kOtherFilter}, {"Ampfx", kOtherFilter}},
        // Present but not first: moved to the head, so that one instance filters the stream.
        {0x160B, {kOtherFilter, "Ampfx"}, {"Ampfx", kOtherFilter}},
    };
    InstallAndStart();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.productId);
        host::DevNode* headset = Plug(c.productId, &c.before);
        ASSERT_TRUE(headset->Started()) << headset->Problem();

        ASSERT_TRUE(dovrel_.Scan());
        ASSERT_TRUE(dovrel_.Scan());

        EXPECT_EQ(Registry().GetMultiString(headset->EnumKey(), "LowerFilters"), c.after);
        Strings stack = c.after;
        stack.push_back("usbaudio");
        EXPECT_TRUE(headset->Started()) << headset->Problem();
        EXPECT_EQ(headset->Services(), stack);
        EXPECT_EQ(InstallerCalls(headset), (Strings{"stop", "start"}));
        machine_.pnp().Unplug(headset);
    }
}

// Plug and Play loads a single-string filter list as a list of one; the scan keeps that
// filter below its own.
TEST_F(ServiceOnMachineTest, ASingleStringFilterListKeepsItsFilter) {
    InstallAndStart();
    for (const uint32_t type : {host::kRegSz, host::kRegExpandSz}) {
        SCOPED_TRACE(type);
        host::DevNode* headset = Plug(0x1607);
        const std::vector<uint8_t> data = host::RegStringData(kOtherFilter);
        Registry().SetValue(headset->EnumKey(), "LowerFilters", type, data.data(), data.size());
        ASSERT_TRUE(machine_.pnp().Restart(headset));
        ASSERT_EQ(headset->Services(), (Strings{kOtherFilter, "usbaudio"}));

        ASSERT_TRUE(dovrel_.Scan());
        EXPECT_EQ(Registry().GetMultiString(headset->EnumKey(), "LowerFilters"),
                  (Strings{"Ampfx", kOtherFilter}));
        EXPECT_EQ(headset->Services(), (Strings{"Ampfx", kOtherFilter, "usbaudio"}));
        machine_.pnp().Unplug(headset);
    }
}

TEST_F(ServiceOnMachineTest, AnUnsupportedProductIsNeverTouched) {
    InstallAndStart();
    host::DevNode* other = Plug(0x1608);
    ASSERT_TRUE(other->Started());

    ASSERT_TRUE(dovrel_.Scan());
    ASSERT_TRUE(dovrel_.Scan());

    EXPECT_FALSE(Registry().GetValue(other->EnumKey(), "LowerFilters").has_value());
    EXPECT_EQ(other->Services(), (Strings{"usbaudio"}));
    EXPECT_TRUE(InstallerCalls(other).empty());
    EXPECT_FALSE(Registry().KeyExists(kFilterKey));
}

TEST_F(ServiceOnMachineTest, CodeRemoveFilterDeletesTheRegistrationOnceAndTheHeadsetReturnsBare) {
    InstallAndStart();
    host::DevNode* headset = Plug(0x160D);
    host::DevNode* other = Plug(0x1608);
    ASSERT_TRUE(dovrel_.Scan());
    ASSERT_EQ(headset->Services(), (Strings{"Ampfx", "usbaudio"}));
    const std::string otherDeviceKey =
        "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0F1E&PID_1608&MI_00";
    ASSERT_TRUE(Registry().KeyExists(otherDeviceKey));

    ASSERT_EQ(dovrel_.Control(128), kErrorSuccess);

    std::vector<std::pair<std::string, WinError>> expected = {{kFilterKey, kErrorSuccess}};
    for (const char* product :
         {"1607", "160b", "160c", "160d", "1613", "1517", "1527", "1614", "1615", "1616", "1617"}) {
        expected.emplace_back(
            std::string("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_") + product +
                "&MI_00",
            std::string(product) == "160d" ? kErrorSuccess : kErrorFileNotFound);
    }
    std::vector<std::pair<std::string, WinError>> deletions;
    for (const HostRegistry::Deletion& deletion : dovrel_.registry().Deletions())
        deletions.emplace_back(deletion.path, deletion.error);
    EXPECT_EQ(deletions, expected);
    ASSERT_EQ(dovrel_.files().Removals().size(), 1u);
    EXPECT_EQ(dovrel_.files().Removals()[0].path, kDriverFile);
    EXPECT_EQ(dovrel_.files().Removals()[0].error, kErrorSuccess);

    EXPECT_FALSE(Registry().KeyExists(kFilterKey));
    EXPECT_FALSE(Registry().KeyExists(headset->EnumKey()));
    EXPECT_FALSE(system_.files().FileExists(kDriverFile));
    EXPECT_TRUE(Registry().KeyExists(otherDeviceKey));
    EXPECT_TRUE(Registry().KeyExists(std::string(kServicesKey) + "Dovrel"));
    EXPECT_TRUE(Registry().KeyExists(kAppIdKey));

    // The service leaves the devices alone from now on, or it would undo the removal.
    ASSERT_TRUE(dovrel_.Scan());
    EXPECT_EQ(InstallerCalls(headset), (Strings{"stop", "start"}));

    machine_.pnp().Unplug(headset);
    host::DevNode* again = Plug(0x160D);
    ASSERT_EQ(again, headset);  // the same device on the same port
    EXPECT_TRUE(again->Started()) << again->Problem();
    EXPECT_EQ(again->Services(), (Strings{"usbaudio"}));
    EXPECT_FALSE(Registry().GetValue(again->EnumKey(), "LowerFilters").has_value());
    EXPECT_EQ(other->Services(), (Strings{"usbaudio"}));
    EXPECT_EQ(dovrel_.Stop(), kErrorSuccess);
}

TEST_F(ServiceOnMachineTest, UninstallStopsAndDeletesTheServiceAndAStartFailsAfterwards) {
    InstallAndStart();
    EXPECT_EQ(dovrel_.Uninstall(), 0);
    EXPECT_FALSE(Registry().KeyExists(std::string(kServicesKey) + "Dovrel"));
    EXPECT_EQ(dovrel_.Start(), host::kErrorServiceDoesNotExist);
    EXPECT_FALSE(dovrel_.Scan());
}

TEST_F(ServiceOnMachineTest, AnInstalledServiceStartsWithTheMachineAndScans) {
    ASSERT_EQ(dovrel_.Install(), 0);
    system_.services().StartAutoStartServices();
    ASSERT_TRUE(system_.services().WaitForState("Dovrel", host::kServiceRunning, 5000));
    host::DevNode* headset = Plug(0x1615);
    ASSERT_TRUE(dovrel_.Scan());
    EXPECT_EQ(headset->Services(), (Strings{"Ampfx", "usbaudio"}));
    // Left running: the host ends the service's process when it goes.
}

// ---------------------------------------------------------------------------------------------
// What a headset plays once the service has attached the filter: the tests that need the
// simulated recording headset belong here, on this fixture.

TEST_F(ServiceOnMachineTest, AHeadsetAttachedByOneScanPlaysWhatTheEngineMakesOfTheMusic) {
    InstallAndStart();
    auto headset = std::make_shared<host::UsbHeadset>(0x0F1E, 0x160D);
    host::UsbDeviceIdentity identity;
    identity.vendorId = 0x0F1E;
    identity.productId = 0x160D;
    host::DevNode* node = machine_.pnp().PlugIn(identity, headset);
    ASSERT_TRUE(node->Started());

    ASSERT_TRUE(dovrel_.Scan());
    ASSERT_EQ(node->Services(), (Strings{"Ampfx", "usbaudio"}));

    AmpfxValueRequest drcOn{0, 1};
    EXPECT_EQ(ampfx_test::SendControl(IOCTL_AMPFX_DRC_ENABLE, &drcOn, sizeof drcOn, 0).error, 0u);
    AmpfxValueRequest get{1, 0};
    const ampfx_test::ControlAnswer answer =
        ampfx_test::SendControl(IOCTL_AMPFX_DRC_ENABLE, &get, sizeof get, sizeof get);
    ASSERT_EQ(answer.error, 0u);
    ASSERT_EQ(answer.bytes, 8u);
    AmpfxValueRequest drc;
    std::memcpy(&drc, answer.output.data(), sizeof drc);
    EXPECT_EQ(drc.Value, 1u);

    const std::vector<uint8_t> music = GenerateMusicClip(0.5, 48000);
    host::AudioStream stream(node);
    ASSERT_EQ(stream.Play(music, 1920), STATUS_SUCCESS);

    // A 0x160D keeps the settings load's defaults (equalizer flat, virtual 7.1 on) plus the
    // level control just switched on.
    EngineSettings settings;
    settings.drc = true;
    std::vector<uint8_t> expected = music;
    EngineSession(settings).ProcessInChunks(expected, 1920);
    const std::vector<uint8_t> played = headset->Played();
    EXPECT_NE(played, music);
    EXPECT_TRUE(played == expected);  // not EXPECT_EQ: 96000 bytes would flood the log
}

}  // namespace
}  // namespace dovrel
