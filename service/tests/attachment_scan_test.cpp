#include <gtest/gtest.h>

#include <stdio.h>

#include "attachment_scan.h"
#include "hardware_table.h"
#include "memory_ports.h"

namespace dovrel {
namespace {

using Strings = std::vector<std::string>;

constexpr char kHeadset[] = "USB\\VID_0F1E&PID_1607&REV_0100&MI_00";
constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Ampfx";

class AttachmentScanTest : public ::testing::Test {
  protected:
    void Scan() { scan.RunOnce(); }

    bool ServiceKeyWritten() const {
        return machine.registry.KeyExists(RegistryHive::LocalMachine, kServiceKey);
    }

    MemoryMachine machine;
    AttachmentScan scan{machine.devices, machine.registry, machine.debug};
};

void ExpectRestartedOnce(const MemoryDevice& device) {
    ASSERT_EQ(device.installerCalls.size(), 2u);
    EXPECT_EQ(device.installerCalls[0].stateChange, DeviceStateChange::Stop);
    EXPECT_EQ(device.installerCalls[1].stateChange, DeviceStateChange::Start);
    for (const PropertyChangeParams& params : device.installerCalls) {
        EXPECT_EQ(params.scope, DeviceChangeScope::ConfigSpecific);
        EXPECT_EQ(params.hwProfile, 0u);
    }
    EXPECT_EQ(device.state, MemoryDevice::State::Started);
}

TEST_F(AttachmentScanTest, PutsFilterBeforeAnotherOneAndRestartsOnceThenLeavesDeviceAlone) {
    MemoryDevice& headset =
        machine.devices.AddDevice("headset", {kHeadset, "USB\\VID_0F1E"}, Strings{"OtherFilter"});
    Scan();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx", "OtherFilter"}));
    ExpectRestartedOnce(headset);
    EXPECT_EQ(headset.startedWithFilters, (std::vector<Strings>{{"Ampfx", "OtherFilter"}}));

    MemoryRegistry& registry = machine.registry;
    EXPECT_EQ(registry.GetValue(RegistryHive::LocalMachine, kServiceKey, "ErrorControl").dword, 1u);
    EXPECT_EQ(registry.GetValue(RegistryHive::LocalMachine, kServiceKey, "Start").dword, 3u);
    EXPECT_EQ(registry.GetValue(RegistryHive::LocalMachine, kServiceKey, "Type").dword, 1u);
    const MemoryRegistry::Value image =
        registry.GetValue(RegistryHive::LocalMachine, kServiceKey, "ImagePath");
    EXPECT_EQ(image.type, RegistryType::ExpandSz);
    EXPECT_EQ(image.text, "System32\\DRIVERS\\Ampfx.sys");
    EXPECT_EQ(registry.ValueNames(RegistryHive::LocalMachine, kServiceKey).size(), 4u);

    // The next tick finds the filter first and neither writes nor restarts. The service key
    // is deleted to see that it is not written again either.
    registry.DeleteTree(RegistryHive::LocalMachine, kServiceKey);
    Scan();
    EXPECT_EQ(headset.installerCalls.size(), 2u);
    EXPECT_FALSE(ServiceKeyWritten());
    EXPECT_TRUE(machine.debug.writes.empty());
    EXPECT_EQ(machine.devices.setsOpen, 0);
}

TEST_F(AttachmentScanTest, NewFilterListFollowsWhatTheDeviceHad) {
    struct Case {
        const char* name;
        const Strings* before;  // null: the device has no lower-filter property
        Strings after;
    };
    const Strings otherThenFilter = {"Other", "Ampfx"};
    const Strings filterTwiceBelowOthers = {"Other", "ampfx", "Third", "AMPFX"};
    const Strings empty = {};
    const Case cases[] = {
        {"filter present but not first moves to the head", &otherThenFilter, {"Ampfx", "Other"}},
        {"every lower instance moves, the rest keep their order",
         &filterTwiceBelowOthers,
         {"Ampfx", "Other", "Third"}},
        {"no property", nullptr, {"Ampfx"}},
        {"empty list", &empty, {"Ampfx"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMachine m;
        MemoryDevice& headset = m.devices.AddDevice("headset", {kHeadset}, c.before);
        AttachmentScan(m.devices, m.registry, m.debug).RunOnce();
        EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), c.after);
        EXPECT_EQ(headset.properties[DeviceProperty::LowerFilters].type, RegistryType::MultiSz);
        ExpectRestartedOnce(headset);
    }
}

TEST_F(AttachmentScanTest, FilterAlreadyFirstInAnyLetterCaseIsLeftAlone) {
    MemoryDevice& headset =
        machine.devices.AddDevice("headset", {kHeadset}, Strings{"aMPFX", "Other"});
    Scan();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"aMPFX", "Other"}));
    EXPECT_TRUE(headset.installerCalls.empty());
    EXPECT_FALSE(ServiceKeyWritten());
}

TEST_F(AttachmentScanTest, EverySupportedProductIsAttachedAndNothingElse) {
    const char* supported[] = {"1607", "160B", "160C", "160D", "1613", "1517",
                               "1527", "1614", "1615", "1616", "1617"};
    for (const char* product : supported) {
        machine.devices.AddDevice(
            product, {std::string("USB\\VID_0F1E&PID_") + product + "&REV_0100&MI_00"});
    }
    const Strings unsupported[] = {
        {"USB\\VID_0F1E&PID_1608&REV_0100&MI_00"},
        {"USB\\VID_0F1E&PID_1607&REV_0100&MI_01"},  // the capture function
        {"USB\\VID_0F1E&PID_1607&REV_0101&MI_00"},
        {"USB\\VID_0F1F&PID_1607&REV_0100&MI_00"},
        {"USB\\VID_0F1E&PID_1607"},
        // Only the first hardware id counts.
        {"USB\\VID_0F1E&PID_1608&REV_0100&MI_00", "USB\\VID_0F1E&PID_1607&REV_0100&MI_00"},
        {"", "USB\\VID_0F1E&PID_1607&REV_0100&MI_00"},
    };
    for (const Strings& ids : unsupported)
        machine.devices.AddDevice(ids[0], ids);

    Scan();
    for (size_t i = 0; i < machine.devices.devices.size(); ++i) {
        const MemoryDevice& device = *machine.devices.devices[i];
        SCOPED_TRACE(device.instanceId);
        if (i < 11) {
            EXPECT_EQ(device.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
            ExpectRestartedOnce(device);
        } else {
            EXPECT_FALSE(device.Has(DeviceProperty::LowerFilters));
            EXPECT_TRUE(device.installerCalls.empty());
        }
    }
}

// The records are made from the driver's product list: vendor, product, the model in
// decimal nibbles and the hardware id Plug and Play reports, in the driver's order.
TEST(HardwareTableTest, RecordsFollowTheDriversProductList) {
    const struct {
        uint16_t productId;
        uint16_t chipModel;
        const char* hardwareId;
    } expected[] = {
        {0x1607, 0x4410, "USB\\Vid_0f1e&Pid_1607&Rev_0100&MI_00"},
        {0x160B, 0x4410, "USB\\Vid_0f1e&Pid_160b&Rev_0100&MI_00"},
        {0x160C, 0x4405, "USB\\Vid_0f1e&Pid_160c&Rev_0100&MI_00"},
        {0x160D, 0x4420, "USB\\Vid_0f1e&Pid_160d&Rev_0100&MI_00"},
        {0x1613, 0x4420, "USB\\Vid_0f1e&Pid_1613&Rev_0100&MI_00"},
        {0x1517, 0x4420, "USB\\Vid_0f1e&Pid_1517&Rev_0100&MI_00"},
        {0x1527, 0x4420, "USB\\Vid_0f1e&Pid_1527&Rev_0100&MI_00"},
        {0x1614, 0x4430, "USB\\Vid_0f1e&Pid_1614&Rev_0100&MI_00"},
        {0x1615, 0x4430, "USB\\Vid_0f1e&Pid_1615&Rev_0100&MI_00"},
        {0x1616, 0x4430, "USB\\Vid_0f1e&Pid_1616&Rev_0100&MI_00"},
        {0x1617, 0x4430, "USB\\Vid_0f1e&Pid_1617&Rev_0100&MI_00"},
    };
    ASSERT_EQ(kSupportedHardwareCount, 11u);
    for (size_t i = 0; i < kSupportedHardwareCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(kSupportedHardware[i].vendorId, 0x0F1E);
        EXPECT_EQ(kSupportedHardware[i].productId, expected[i].productId);
        EXPECT_EQ(kSupportedHardware[i].chipModel, expected[i].chipModel);
        EXPECT_STREQ(kSupportedHardware[i].hardwareId, expected[i].hardwareId);
    }
    EXPECT_EQ(kSupportedHardware[11].vendorId, 0);
}

TEST_F(AttachmentScanTest, HardwareIdMatchesAsPrefixInAnyLetterCase) {
    MemoryDevice& headset = machine.devices.AddDevice(
        "headset", {"usb\\vid_0f1e&PID_1607&rev_0100&mi_00&Col01&Something"});
    Scan();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
}

TEST_F(AttachmentScanTest, HardwareIdWithoutTerminatorIsReadWithinItsSize) {
    const std::string id = kHeadset;
    MemoryDevice& headset = machine.devices.AddDevice("headset", {});
    headset.SetRaw(DeviceProperty::HardwareId, RegistryType::MultiSz,
                   std::vector<uint8_t>(id.begin(), id.end()));
    MemoryDevice& truncated = machine.devices.AddDevice("truncated", {});
    truncated.SetRaw(DeviceProperty::HardwareId, RegistryType::MultiSz,
                     std::vector<uint8_t>(id.begin(), id.begin() + 10));
    Scan();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
    EXPECT_FALSE(truncated.Has(DeviceProperty::LowerFilters));
}

// Plug and Play loads a single string as a list of one, so the filter it names is kept.
TEST_F(AttachmentScanTest, ASingleStringFilterIsReadAsAListOfOne) {
    struct Case {
        RegistryType type;
        std::vector<uint8_t> data;
        Strings after;
        bool restarted;
    };
    const Case cases[] = {
        {RegistryType::Sz, {'O', 't', 'h', 'e', 'r', 0}, {"Ampfx", "Other"}, true},
        {RegistryType::ExpandSz, {'O', 't', 'h', 'e', 'r', 0}, {"Ampfx", "Other"}, true},
        {RegistryType::Sz, {'O', 't', 'h', 'e', 'r'}, {"Ampfx", "Other"}, true},
        {RegistryType::Sz, {0}, {"Ampfx"}, true},
        {RegistryType::Sz, {'a', 'm', 'p', 'f', 'x', 0}, {"ampfx"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.data.begin(), c.data.end()));
        MemoryMachine m;
        MemoryDevice& headset = m.devices.AddDevice("headset", {kHeadset});
        headset.SetRaw(DeviceProperty::LowerFilters, c.type, c.data);
        AttachmentScan(m.devices, m.registry, m.debug).RunOnce();
        EXPECT_TRUE(m.debug.writes.empty());
        EXPECT_EQ(headset.installerCalls.empty(), !c.restarted);
        if (c.restarted) {
            EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), c.after);
            EXPECT_EQ(headset.properties[DeviceProperty::LowerFilters].type, RegistryType::MultiSz);
        }
    }
}

TEST_F(AttachmentScanTest, LowerFiltersOfAnotherTypeCountAsAbsent) {
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset});
    headset.SetRaw(DeviceProperty::LowerFilters, RegistryType::Binary,
                   {'O', 't', 'h', 'e', 'r', 0});
    Scan();
    EXPECT_EQ(machine.debug.writes,
              (Strings{"in GetUpperFilters(): registry key is not a MULTI_SZ!\n"}));
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
    EXPECT_EQ(headset.properties[DeviceProperty::LowerFilters].type, RegistryType::MultiSz);
    ExpectRestartedOnce(headset);
}

TEST_F(AttachmentScanTest, UnreadableDeviceIsSkippedAndTheNextOneAttached) {
    MemoryDevice& broken = machine.devices.AddDevice("broken", {kHeadset});
    broken.readErrors[DeviceProperty::HardwareId] = kErrorAccessDenied;
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset});
    Scan();
    EXPECT_FALSE(broken.Has(DeviceProperty::LowerFilters));
    EXPECT_TRUE(broken.installerCalls.empty());
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
}

TEST_F(AttachmentScanTest, FiltersThatCannotBeReadAreNeverOverwritten) {
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset}, Strings{"Other"});
    headset.readErrors[DeviceProperty::LowerFilters] = kErrorAccessDenied;
    Scan();
    headset.readErrors.clear();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Other"}));
    EXPECT_TRUE(headset.installerCalls.empty());

    // Once readable, the next tick attaches it.
    Scan();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx", "Other"}));
}

TEST_F(AttachmentScanTest, NoFilterIsListedWhenItsServiceKeyCannotBeWritten) {
    machine.registry.Deny(RegistryHive::LocalMachine, kServiceKey);
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset}, Strings{"Other"});
    Scan();
    EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Other"}));
    EXPECT_TRUE(headset.installerCalls.empty());
}

TEST_F(AttachmentScanTest, FailedListWriteRestartsNothing) {
    MemoryDevice& headset = machine.devices.AddDevice("headset", {kHeadset});
    headset.writeError = kErrorAccessDenied;
    Scan();
    EXPECT_TRUE(headset.installerCalls.empty());
    EXPECT_TRUE(machine.debug.writes.empty());
}

TEST_F(AttachmentScanTest, RestartFailuresGoToTheDebugOutputWithTheError) {
    struct Case {
        WinError MemoryDevice::*failure;
        WinError error;
        size_t installerCalls;
        const char* text;
    };
    const Case cases[] = {
        {&MemoryDevice::setParamsError, 5, 0,
         "in RestartDevice(): couldn't set the install parameters! error: 5\n"},
        {&MemoryDevice::stopError, 3758096640u, 1,
         "in RestartDevice(): call to class installer (STOP) failed! error: 3758096640\n"},
        {&MemoryDevice::startError, 1, 2,
         "in RestartDevice(): call to class installer (START) failed! error: 1\n"},
        {&MemoryDevice::installParamsError, 87, 2,
         "in RestartDevice(): couldn't get the device install params! error: 87\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MemoryMachine m;
        MemoryDevice& headset = m.devices.AddDevice("headset", {kHeadset});
        headset.*c.failure = c.error;
        AttachmentScan(m.devices, m.registry, m.debug).RunOnce();
        EXPECT_EQ(m.debug.writes, (Strings{c.text}));
        EXPECT_EQ(headset.installerCalls.size(), c.installerCalls);
        EXPECT_EQ(headset.MultiString(DeviceProperty::LowerFilters), (Strings{"Ampfx"}));
    }
}

TEST_F(AttachmentScanTest, AbsentDeviceSetEndsThePassQuietly) {
    machine.devices.AddDevice("headset", {kHeadset});
    machine.devices.getSetError = kErrorAccessDenied;
    Scan();
    EXPECT_FALSE(machine.devices.devices[0]->Has(DeviceProperty::LowerFilters));
    machine.devices.getSetError = kErrorSuccess;
    Scan();
    EXPECT_TRUE(machine.devices.devices[0]->Has(DeviceProperty::LowerFilters));
}

}  // namespace
}  // namespace dovrel
