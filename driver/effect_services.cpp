// What the effects engine's set-up routines need of the kernel: non-paged pool and a 1 ms
// sleep. Never used in the stream path.
#include "ampfx_driver.h"

namespace {

void* PoolAllocate(void* context, size_t bytes) {
    UNREFERENCED_PARAMETER(context);
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kAmpfxPoolTag);
}

void PoolFree(void* context, void* block) {
    UNREFERENCED_PARAMETER(context);
    ExFreePoolWithTag(block, kAmpfxPoolTag);
}

// IRQL: PASSIVE_LEVEL.
void SleepOneMillisecond(void* context) {
    UNREFERENCED_PARAMETER(context);
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;  // relative, 100 ns units
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace

const EffectServices g_EffectServices = {PoolAllocate, PoolFree, SleepOneMillisecond, nullptr};
