// Toy drivers for the kernel's tests (not the product's): a bus driver whose devices complete
// or pend what they are sent, and a filter that passes requests down in one of the three
// usual ways. Both are written against <ntddk.h> only, as a real driver would be.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "host/kernel.h"

namespace toy {

// What a bus device does with a request.
enum class BusBehavior {
    Complete,           // complete at once with `status`
    Pend,               // IoMarkIrpPending, queue, return STATUS_PENDING
    PendUnmarked,       // queue and return STATUS_PENDING without IoMarkIrpPending
    PendCancelable,     // as Pend, with a cancel routine that completes it STATUS_CANCELLED
    ReturnUncompleted,  // return `status` without completing (a driver bug)
};

struct BusExtension {
    BusBehavior behavior;
    NTSTATUS status;
};

extern DRIVER_INITIALIZE BusDriverEntry;
PDEVICE_OBJECT CreateBusDevice(PDRIVER_OBJECT bus, PCWSTR name, BusBehavior behavior,
                               NTSTATUS status = STATUS_SUCCESS);
// Completes every queued request with `status` from the calling thread at `irql`.
size_t CompletePending(NTSTATUS status, KIRQL irql);
size_t PendingCount();

// How the filter passes a request down.
enum class FilterMode {
    Skip,             // skip its stack location and return the lower driver's status
    CopyWithRoutine,  // copy the location, set a completion routine that propagates pending
    Synchronous,      // copy, wait for the lower driver with an event, complete it itself
};

struct FilterExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
};

extern DRIVER_INITIALIZE FilterDriverEntry;
extern std::atomic<FilterMode> g_filterMode;
extern std::atomic<int> g_completionCalls;
extern std::atomic<int> g_completionIrql;

// Loads the toy drivers under the services "toybus" and "toyfilter".
PDRIVER_OBJECT LoadBus();
PDRIVER_OBJECT LoadFilter();

// Resets the kernel around each test.
class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace toy
