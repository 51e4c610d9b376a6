#include "toy_drivers.h"

#include <algorithm>
#include <mutex>

namespace toy {
namespace {

std::mutex g_pendingMutex;
std::vector<PIRP> g_pending;
std::vector<PIRP> g_cancelable;  // the pending requests that carry a cancel routine

VOID BusCancel(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    {
        std::lock_guard<std::mutex> lock(g_pendingMutex);
        g_pending.erase(std::remove(g_pending.begin(), g_pending.end(), irp), g_pending.end());
        g_cancelable.erase(std::remove(g_cancelable.begin(), g_cancelable.end(), irp),
                           g_cancelable.end());
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<BusExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (extension->behavior) {
        case BusBehavior::Pend:
            IoMarkIrpPending(irp);
            [[fallthrough]];
        case BusBehavior::PendUnmarked: {
            std::lock_guard<std::mutex> lock(g_pendingMutex);
            g_pending.push_back(irp);
            return STATUS_PENDING;
        }
        case BusBehavior::PendCancelable: {
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> lock(g_pendingMutex);
            IoSetCancelRoutine(irp, BusCancel);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                // Cancelled before the routine was set: complete it here.
                irp->IoStatus.Status = STATUS_CANCELLED;
                irp->IoStatus.Information = 0;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_PENDING;
            }
            g_pending.push_back(irp);
            g_cancelable.push_back(irp);
            return STATUS_PENDING;
        }
        case BusBehavior::ReturnUncompleted:
            return extension->status;
        case BusBehavior::Complete:
            break;
    }
    irp->IoStatus.Information = 0;
    if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) ==
            METHOD_BUFFERED) {
        // Answers a buffered request with its input, each byte plus one.
        const ULONG input = location->Parameters.DeviceIoControl.InputBufferLength;
        const ULONG output = location->Parameters.DeviceIoControl.OutputBufferLength;
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        const ULONG count = input < output ? input : output;
        for (ULONG i = 0; i < count; ++i) {
            buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
        }
        irp->IoStatus.Information = count;
    }
    irp->IoStatus.Status = extension->status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return extension->status;
}

VOID BusUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

NTSTATUS FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(context);
    g_completionIrql = KeGetCurrentIrql();
    ++g_completionCalls;
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FilterSignal(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    g_completionIrql = KeGetCurrentIrql();
    ++g_completionCalls;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    switch (g_filterMode.load()) {
        case FilterMode::Skip:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(extension->lower, irp);
        case FilterMode::CopyWithRoutine:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, FilterCompletion, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(extension->lower, irp);
        case FilterMode::Synchronous: {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, FilterSignal, &event, TRUE, TRUE, TRUE);
            NTSTATUS status = IoCallDriver(extension->lower, irp);
            if (status == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            }
            status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    extension->self = device;
    extension->lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (extension->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID FilterUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

}  // namespace

std::atomic<FilterMode> g_filterMode{FilterMode::Skip};
std::atomic<int> g_completionCalls{0};
std::atomic<int> g_completionIrql{-1};

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& function : driver->MajorFunction) {
        function = BusDispatch;
    }
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

NTSTATUS FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& function : driver->MajorFunction) {
        function = FilterDispatch;
    }
    driver->DriverExtension->AddDevice = FilterAddDevice;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreateBusDevice(PDRIVER_OBJECT bus, PCWSTR name, BusBehavior behavior,
                               NTSTATUS status) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(bus, sizeof(BusExtension),
                                   name != nullptr ? &deviceName : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device))) {
        return nullptr;
    }
    auto* extension = static_cast<BusExtension*>(device->DeviceExtension);
    extension->behavior = behavior;
    extension->status = status;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

size_t CompletePending(NTSTATUS status, KIRQL irql) {
    std::vector<PIRP> irps;
    {
        std::lock_guard<std::mutex> lock(g_pendingMutex);
        for (PIRP irp : g_pending) {
            const bool cancelable =
                std::find(g_cancelable.begin(), g_cancelable.end(), irp) != g_cancelable.end();
            // A cancelable request whose routine is already gone is being cancelled: the
            // cancel routine completes it.
            if (!cancelable || IoSetCancelRoutine(irp, nullptr) != nullptr) {
                irps.push_back(irp);
            }
        }
        g_pending.clear();
        g_cancelable.clear();
    }
    KIRQL old;
    KeRaiseIrql(irql, &old);
    for (PIRP irp : irps) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    KeLowerIrql(old);
    return irps.size();
}

size_t PendingCount() {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pending.size();
}

PDRIVER_OBJECT LoadBus() {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(host::kernel::LoadDriver("toybus", "toybus.sys", &driver), STATUS_SUCCESS);
    return driver;
}

PDRIVER_OBJECT LoadFilter() {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(host::kernel::LoadDriver("toyfilter", "toyfilter.sys", &driver), STATUS_SUCCESS);
    return driver;
}

void KernelTest::SetUp() {
    host::kernel::Reset();
    host::kernel::RegisterDriverImage("toybus.sys", BusDriverEntry);
    host::kernel::RegisterDriverImage("toyfilter.sys", FilterDriverEntry);
    g_filterMode = FilterMode::Skip;
    g_completionCalls = 0;
    g_completionIrql = -1;
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    g_pending.clear();
    g_cancelable.clear();
}

void KernelTest::TearDown() {
    host::kernel::Reset();
}

}  // namespace toy
