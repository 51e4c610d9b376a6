// Win32 error codes of the simulated machine, and the kernel-status to Win32 mapping that
// user-mode entry points (registry, device I/O) report through. The values are Windows'
// own, so a port can hand them straight to callers that compare against winerror.h names.
#pragma once

#include <stdint.h>

namespace host {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorBadFormat = 11;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorDevNotExist = 55;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorWaitTimeout = 258;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorNoToken = 1008;
constexpr uint32_t kErrorKeyDeleted = 1018;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorNotFound = 1168;
constexpr uint32_t kErrorNoSystemResources = 1450;
constexpr uint32_t kErrorDeviceRemoved = 1617;
constexpr uint32_t kErrorMrMidNotFound = 317;

// RtlNtStatusToDosError for the statuses the simulated kernel and its drivers produce.
// STATUS_TIMEOUT and STATUS_PENDING map to WAIT_TIMEOUT and ERROR_IO_PENDING, every other
// success or informational code to kErrorSuccess; an unlisted error maps to
// ERROR_MR_MID_NOT_FOUND (317), as Windows does for a status it has no entry for.
uint32_t NtStatusToWin32Error(uint32_t ntStatus);

}  // namespace host
