// The stream path on 32-bit Windows: kernel code must save the floating-point state before
// using it (the x87/SSE state of the interrupted thread is not saved for it). A failed save
// means the buffer passes unprocessed.
#include "ampfx_driver.h"

bool FilterSaveFloatingPoint(FILTER_FP_STATE* State) {
    return NT_SUCCESS(KeSaveFloatingPointState(&State->Save));
}

void FilterRestoreFloatingPoint(FILTER_FP_STATE* State) {
    KeRestoreFloatingPointState(&State->Save);
}
