// Races for ThreadSanitizer: requests completing on one thread while their senders cancel
// them on others, and user-mode control requests racing the removal and return of the device
// that serves them. The verifier stays in its default mode: any rule broken ends the run.
#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/user_io.h"
#include "toy_drivers.h"
#include "toy_pnp_filter.h"

namespace host {
namespace {

NTSTATUS TakeBack(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(StressTest, CompletionRacesCancellationAcrossThreads) {
    kernel::Reset();
    kernel::RegisterDriverImage("toybus.sys", toy::BusDriverEntry);
    PDRIVER_OBJECT bus = toy::LoadBus();
    PDEVICE_OBJECT device = toy::CreateBusDevice(bus, nullptr, toy::BusBehavior::PendCancelable);

    constexpr int kSenders = 4;
    constexpr int kRequests = 300;
    std::atomic<int> finished{0};
    std::atomic<int> cancelled{0};
    kernel::Thread completer("completer", [&] {
        LARGE_INTEGER tick;
        tick.QuadPart = -10000;
        while (finished.load() < kSenders) {
            toy::CompletePending(STATUS_SUCCESS, DISPATCH_LEVEL);
            KeDelayExecutionThread(KernelMode, FALSE, &tick);
        }
    });
    std::vector<kernel::Thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back("sender", [&, s] {
            for (int i = 0; i < kRequests; ++i) {
                PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
                KEVENT done;
                KeInitializeEvent(&done, NotificationEvent, FALSE);
                PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
                next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                IoSetCompletionRoutine(irp, TakeBack, &done, TRUE, TRUE, TRUE);
                IoCallDriver(device, irp);
                if ((i + s) % 3 == 0 && IoCancelIrp(irp)) {
                    ++cancelled;
                }
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
                IoFreeIrp(irp);
            }
            ++finished;
        });
    }
    for (kernel::Thread& sender : senders) {
        sender.Join();
    }
    completer.Join();
    EXPECT_GT(cancelled.load(), 0);
    EXPECT_EQ(toy::PendingCount(), 0u);
    kernel::Reset();
}

TEST(StressTest, ControlRequestsRaceTheDeviceComingAndGoing) {
    pnptoy::Reset();
    pnptoy::g_behaviour.controlDevice = true;
    Machine machine;
    machine.InstallDriver("FilterA", "filtera.sys", pnptoy::DriverEntry);
    UsbDeviceIdentity identity;
    identity.vendorId = 0x0F1E;
    identity.productId = 0x1607;
    DevNode* node = machine.pnp().PlugIn(identity);
    machine.registry().SetMultiString(node->EnumKey(), "LowerFilters", {"FilterA"});
    ASSERT_TRUE(machine.pnp().Restart(node));

    constexpr int kClients = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<kernel::Thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back("client", [&] {
            UserHandle handle = kInvalidUserHandle;
            while (!stop.load()) {
                if (handle == kInvalidUserHandle &&
                    UserCreateFile("\\\\.\\ToyControl", &handle) != kErrorSuccess) {
                    continue;
                }
                uint8_t value[4] = {1, 2, 3, 4};
                uint32_t bytes = 0;
                if (UserDeviceIoControl(handle, pnptoy::kEchoCode, value, sizeof(value), value,
                                        sizeof(value), &bytes) == kErrorSuccess &&
                    bytes == 4 && value[0] == 2) {
                    ++answered;
                }
                // Drop the handle now and then, as the panel does after a failure.
                if (bytes == 0 || (answered.load() % 7) == 0) {
                    UserCloseHandle(handle);
                    handle = kInvalidUserHandle;
                }
            }
            if (handle != kInvalidUserHandle) {
                UserCloseHandle(handle);
            }
        });
    }
    for (int round = 0; round < 100; ++round) {
        if (round % 2 == 0) {
            machine.pnp().Restart(node);
        } else {
            machine.pnp().Unplug(node);
            node = machine.pnp().PlugIn(identity);
        }
    }
    stop = true;
    for (kernel::Thread& client : clients) {
        client.Join();
    }
    EXPECT_GT(answered.load(), 0);
}

}  // namespace
}  // namespace host
