// The kernel-mode driver interface of the simulated kernel: wdm.h and the few routines the
// kit's ntddk.h adds on top of it.
#pragma once

#include "wdm.h"

HOST_BEGIN_EXTERN_C

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

HOST_END_EXTERN_C
