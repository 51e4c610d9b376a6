// x64 Windows: the engine is compiled to SSE scalar code only (no x87,
// MMX or AVX), and the x64 kernel preserves the volatile SSE state of interrupted code for
// kernel-mode callers, so nothing needs saving.
#include "ampfx_driver.h"

NTSTATUS FilterSaveFloatingPoint(FILTER_FP_STATE* State) {
    UNREFERENCED_PARAMETER(State);
    return STATUS_SUCCESS;
}

void FilterRestoreFloatingPoint(FILTER_FP_STATE* State) {
    UNREFERENCED_PARAMETER(State);
}
