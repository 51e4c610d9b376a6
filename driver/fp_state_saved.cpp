// 32-bit Windows: kernel code must save the floating-point state before using it (the
// x87/SSE state of the interrupted thread is not saved for it).
#include "ampfx_driver.h"

NTSTATUS FilterSaveFloatingPoint(FILTER_FP_STATE* State) {
    return KeSaveFloatingPointState(&State->Save);
}

void FilterRestoreFloatingPoint(FILTER_FP_STATE* State) {
    KeRestoreFloatingPointState(&State->Save);
}
