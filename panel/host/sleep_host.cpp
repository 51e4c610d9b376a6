// Sleep on the simulated machine: a wait on its clock, which moves on by itself once every
// thread of the machine waits, so a sleeping panel neither costs real time nor stops the clock.
// Apart from the session's headers, whose names the kernel's macros would rename.
#include <stdint.h>

#include <wdm.h>

#include "host/kernel_threads.h"

namespace panelhost {

void SleepOnMachineClock(uint32_t ms) {
    host::kernel::KernelEntry entry;
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, 100-ns units
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace panelhost
