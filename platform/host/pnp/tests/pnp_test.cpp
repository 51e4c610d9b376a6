#include <functional>
#include <mutex>

#include <gtest/gtest.h>

#include <usbdlib.h>

#include "host/machine.h"
#include "host/usbaudio_class_driver.h"
#include "toy_pnp_filter.h"

namespace host {
namespace {

using pnptoy::Events;

constexpr const char* kServices = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";

class PnpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pnptoy::Reset();
        machine_ = std::make_unique<Machine>();
        machine_->InstallDriver("FilterA", "filtera.sys", pnptoy::DriverEntry);
        machine_->InstallDriver("FilterB", "filterb.sys", pnptoy::DriverEntry);
    }
    void TearDown() override { machine_.reset(); }

    PnpManager& Pnp() { return machine_->pnp(); }
    Registry& Reg() { return machine_->registry(); }

    DevNode* PlugHeadset(uint16_t productId = 0x1607) {
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = productId;
        return Pnp().PlugIn(identity);
    }

    void SetLowerFilters(DevNode* node, const std::vector<std::string>& filters) {
        ASSERT_EQ(Reg().SetMultiString(node->EnumKey(), "LowerFilters", filters), kErrorSuccess);
    }

    static std::vector<std::string> StackServices(DevNode* node) {
        std::vector<std::string> services;
        for (PDEVICE_OBJECT device : node->Stack()) {
            services.push_back(kernel::DriverServiceName(device->DriverObject));
        }
        return services;
    }

    std::unique_ptr<Machine> machine_;
};

TEST_F(PnpTest, ADeviceGetsTheInstanceKeyWindowsKeepsForIt) {
    DevNode* node = PlugHeadset();
    ASSERT_TRUE(node->Started());
    EXPECT_EQ(node->InstancePath().substr(0, 28), "USB\\VID_0F1E&PID_1607&MI_00\\");
    EXPECT_EQ(Reg().GetMultiString(node->EnumKey(), "HardwareID"),
              (std::vector<std::string>{"USB\\VID_0F1E&PID_1607&REV_0100&MI_00",
                                        "USB\\VID_0F1E&PID_1607&MI_00"}));
    EXPECT_EQ(Reg().GetString(node->EnumKey(), "Service"), "usbaudio");
    EXPECT_EQ(Reg().GetString(node->EnumKey(), "ClassGUID"), kMediaClassGuid);
    // The key the attachment service's uninstall names in another letter case is the same key.
    EXPECT_TRUE(
        Reg().KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_1607&MI_00"));
    EXPECT_EQ(StackServices(node), (std::vector<std::string>{"usbhub", "usbaudio"}));
}

TEST_F(PnpTest, LowerFiltersAreLoadedInListOrderBelowTheClassDriver) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA", "FilterB"});
    pnptoy::ClearEvents();
    ASSERT_TRUE(Pnp().Restart(node));
    EXPECT_EQ(StackServices(node),
              (std::vector<std::string>{"usbhub", "FilterA", "FilterB", "usbaudio"}));
    EXPECT_EQ(node->Services(), (std::vector<std::string>{"FilterA", "FilterB", "usbaudio"}));
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            "FilterA:DriverEntry", "FilterB:DriverEntry", "FilterA:AddDevice",
                            "FilterB:AddDevice", "FilterB:QUERY_CAPABILITIES",
                            "FilterA:QUERY_CAPABILITIES", "FilterB:START", "FilterA:START"}));
}

TEST_F(PnpTest, RestartPicksUpAChangedFilterList) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    PDRIVER_OBJECT filterA = kernel::FindDriver("FilterA");
    ASSERT_NE(filterA, nullptr);

    SetLowerFilters(node, {"FilterB"});
    ASSERT_TRUE(Pnp().Restart(node));
    EXPECT_EQ(node->Services(), (std::vector<std::string>{"FilterB", "usbaudio"}));
    EXPECT_EQ(kernel::FindDriver("FilterA"), nullptr) << "no stack uses it any more";
}

TEST_F(PnpTest, AFilterThatCannotBeLoadedFailsTheStartWithItsProblemCode) {
    struct Case {
        const char* name;
        std::function<void(Registry&)> prepare;
        uint32_t problem;
    } cases[] = {
        {"no service key", [](Registry&) {}, cm_problem::kDriverFailedLoad},
        {"no driver image",
         [](Registry& r) {
             r.CreateKey(std::string(kServices) + "Broken");
             r.SetString(std::string(kServices) + "Broken", "ImagePath",
                         "System32\\DRIVERS\\missing.sys", kRegExpandSz);
         },
         cm_problem::kDriverFailedLoad},
        {"disabled service",
         [](Registry& r) {
             PnpManager::InstallDriverService("Broken", "filtera.sys", pnptoy::DriverEntry);
             r.SetDword(std::string(kServices) + "Broken", "Start", 4);
         },
         cm_problem::kDisabledService},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        DevNode* node = PlugHeadset();
        c.prepare(Reg());
        SetLowerFilters(node, {"Broken"});
        EXPECT_FALSE(Pnp().Restart(node)) << c.name;
        EXPECT_FALSE(node->Started()) << c.name;
        EXPECT_EQ(node->Problem(), c.problem) << c.name;
        EXPECT_TRUE(node->Stack().empty()) << c.name;
        EXPECT_EQ(kernel::FindDriver("usbaudio"), nullptr) << c.name;
    }
}

TEST_F(PnpTest, FailuresOfTheDriversThemselvesGiveTheirProblemCodes) {
    struct Case {
        std::atomic<bool>* failure;
        uint32_t problem;
        std::vector<std::string> tail;  // the filter's last events
    } cases[] = {
        {&pnptoy::g_behaviour.failEntry, cm_problem::kFailedDriverEntry, {"FilterA:DriverEntry"}},
        {&pnptoy::g_behaviour.failAddDevice,
         cm_problem::kFailedAdd,
         {"FilterA:AddDevice", "FilterA:Unload"}},
        {&pnptoy::g_behaviour.failStart,
         cm_problem::kFailedStart,
         {"FilterA:START", "FilterA:REMOVE", "FilterA:Unload"}},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        DevNode* node = PlugHeadset();
        SetLowerFilters(node, {"FilterA"});
        *c.failure = true;
        EXPECT_FALSE(Pnp().Restart(node));
        EXPECT_EQ(node->Problem(), c.problem);
        std::vector<std::string> events = Events();
        ASSERT_GE(events.size(), c.tail.size());
        EXPECT_EQ(
            std::vector<std::string>(events.end() - static_cast<long>(c.tail.size()), events.end()),
            c.tail);
        *c.failure = false;
    }
}

TEST_F(PnpTest, ADriverUnloadsAfterItsLastDeviceAndLoadsAgainForTheNext) {
    DevNode* first = PlugHeadset(0x1607);
    DevNode* second = PlugHeadset(0x160B);
    SetLowerFilters(first, {"FilterA"});
    SetLowerFilters(second, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(first));
    ASSERT_TRUE(Pnp().Restart(second));
    const uint32_t loads = kernel::DriverImageLoadCount("filtera.sys");

    Pnp().Unplug(first);
    EXPECT_NE(kernel::FindDriver("FilterA"), nullptr);
    Pnp().Unplug(second);
    EXPECT_EQ(kernel::FindDriver("FilterA"), nullptr);
    EXPECT_EQ(Events().back(), "FilterA:Unload");

    DevNode* again = PlugHeadset(0x1607);
    EXPECT_EQ(again, first) << "the same device on the same port is the same device node";
    EXPECT_EQ(again->Services(), (std::vector<std::string>{"FilterA", "usbaudio"}));
    EXPECT_EQ(kernel::DriverImageLoadCount("filtera.sys"), loads + 1);
}

TEST_F(PnpTest, ADriverWhoseDeviceGoesLaterUnloadsWhenItHasGone) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    pnptoy::g_behaviour.deferDeleteMs = 50;
    Pnp().Unplug(node);

    // No time passes while the test looks: the device is still there, its driver waits.
    PDRIVER_OBJECT filter = kernel::FindDriver("FilterA");
    ASSERT_NE(filter, nullptr);
    EXPECT_TRUE(kernel::IsDriverUnloadPending(filter));
    kernel::AdvanceTimeMs(49);
    EXPECT_EQ(kernel::FindDriver("FilterA"), filter);
    kernel::AdvanceTimeMs(1);
    EXPECT_EQ(kernel::FindDriver("FilterA"), nullptr);
    EXPECT_EQ(Events().back(), "FilterA:Unload");
}

TEST_F(PnpTest, ADeviceArrivingWhileItsDriverWaitsToUnloadKeepsTheDriver) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    pnptoy::g_behaviour.deferDeleteMs = 50;
    Pnp().Unplug(node);
    const uint32_t loads = kernel::DriverImageLoadCount("filtera.sys");

    DevNode* again = PlugHeadset();
    EXPECT_TRUE(again->Started());
    EXPECT_EQ(kernel::DriverImageLoadCount("filtera.sys"), loads);
    kernel::AdvanceTimeMs(50);
    EXPECT_NE(kernel::FindDriver("FilterA"), nullptr) << "the new device still uses it";
}

TEST_F(PnpTest, UnplugSendsSurpriseRemovalBeforeRemovalAndDeletesThePdo) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    PDEVICE_OBJECT pdo = node->Pdo();
    pnptoy::ClearEvents();
    Pnp().Unplug(node);
    EXPECT_EQ(Events(), (std::vector<std::string>{"FilterA:SURPRISE_REMOVAL", "FilterA:REMOVE",
                                                  "FilterA:Unload"}));
    EXPECT_FALSE(node->Present());
    EXPECT_TRUE(kernel::IsDeviceDeleted(pdo));
}

TEST_F(PnpTest, AVetoedQueryRemoveLeavesTheDeviceRunning) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    pnptoy::g_behaviour.vetoQueryRemove = true;
    pnptoy::ClearEvents();
    EXPECT_EQ(Pnp().Stop(node), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(node->Started());
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"FilterA:QUERY_REMOVE", "FilterA:CANCEL_REMOVE"}));
    pnptoy::g_behaviour.vetoQueryRemove = false;
}

TEST_F(PnpTest, UrbsFromTheClassDriverPassTheFiltersAndReachTheFunction) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    PDEVICE_OBJECT function = UsbAudioClassDriver::FunctionDevice(*node);
    ASSERT_NE(function, nullptr);
    for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
        URB urb{};
        USB_DEVICE_DESCRIPTOR descriptor{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, nullptr,
                                     sizeof(descriptor), nullptr);
        EXPECT_EQ(UsbAudioClassDriver::SubmitUrb(function, &urb, irql), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(descriptor.idVendor, 0x0F1E);
        EXPECT_EQ(descriptor.idProduct, 0x1607);
    }
    // The class driver's configuration at each start (descriptor head, whole descriptor,
    // selection: at the plug and at the restart), then the two requests above.
    const std::vector<USHORT> configure = {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                           URB_FUNCTION_SELECT_CONFIGURATION};
    std::vector<USHORT> expected = configure;
    expected.insert(expected.end(), configure.begin(), configure.end());
    expected.insert(expected.end(), 2, USHORT{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE});
    auto* basic = static_cast<BasicUsbFunction*>(node->Function());
    EXPECT_EQ(basic->UrbFunctions(), expected);
}

// A function that keeps every URB until the device leaves the bus, except those the class
// driver configures the device with at start.
class HoldingFunction : public BasicUsbFunction {
  public:
    HoldingFunction() : BasicUsbFunction(0x0F1E, 0x1607) {}

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode !=
            IOCTL_INTERNAL_USB_SUBMIT_URB) {
            return BasicUsbFunction::InternalDeviceControl(pdo, irp);
        }
        const USHORT function = static_cast<PURB>(URB_FROM_IRP(irp))->UrbHeader.Function;
        if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
            function == URB_FUNCTION_SELECT_CONFIGURATION) {
            return BasicUsbFunction::InternalDeviceControl(pdo, irp);
        }
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(irp);
        return STATUS_PENDING;
    }
    void Disconnected() override {
        std::vector<PIRP> held;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held.swap(held_);
        }
        for (PIRP irp : held) {
            PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }
    size_t Held() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_.size();
    }

  private:
    std::mutex mutex_;
    std::vector<PIRP> held_;
};

TEST_F(PnpTest, RequestsHeldByTheFunctionCompleteWhenTheDeviceLeaves) {
    auto function = std::make_shared<HoldingFunction>();
    UsbDeviceIdentity identity;
    identity.vendorId = 0x0F1E;
    identity.productId = 0x1607;
    DevNode* node = Pnp().PlugIn(identity, function);
    PDEVICE_OBJECT device = UsbAudioClassDriver::FunctionDevice(*node);
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           nullptr, nullptr, nullptr, 0, 0, nullptr);
    NTSTATUS status = STATUS_PENDING;
    kernel::Thread submitter("submitter",
                             [&] { status = UsbAudioClassDriver::SubmitUrb(device, &urb); });
    LARGE_INTEGER millisecond;
    millisecond.QuadPart = -10000;
    while (function->Held() == 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &millisecond);
    }
    Pnp().Unplug(node);
    submitter.Join();
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(PnpTest, TheClassDriverRegistersAudioInterfacesThatOpenTheStack) {
    DevNode* node = PlugHeadset();
    std::vector<kernel::DeviceInterface> interfaces =
        kernel::DeviceInterfaces(kKsCategoryAudio, true);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].instancePath, node->InstancePath());
    EXPECT_EQ(interfaces[0].symbolicLink.substr(0, 33), "\\??\\USB#VID_0F1E&PID_1607&MI_00#7");

    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::OpenDevice(interfaces[0].symbolicLink, &file), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceObject, node->Pdo());
    kernel::CloseDevice(file);

    Pnp().Unplug(node);
    EXPECT_TRUE(kernel::DeviceInterfaces(kKsCategoryAudio, true).empty());
}

TEST_F(PnpTest, PowerRequestsTravelTheStack) {
    DevNode* node = PlugHeadset();
    SetLowerFilters(node, {"FilterA"});
    ASSERT_TRUE(Pnp().Restart(node));
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(Pnp().SendPower(node, IRP_MN_SET_POWER, DevicePowerState, state).status,
              STATUS_SUCCESS);
}

}  // namespace
}  // namespace host
