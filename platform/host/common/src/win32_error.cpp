#include "host/win32_error.h"

namespace host {
namespace {

struct StatusMapping {
    uint32_t status;
    uint32_t error;
};

// The entries of Windows' own RtlNtStatusToDosError table for the statuses that occur here.
constexpr StatusMapping kMappings[] = {
    {0x00000102u, kErrorWaitTimeout},         // STATUS_TIMEOUT
    {0x00000103u, kErrorIoPending},           // STATUS_PENDING
    {0x80000005u, kErrorMoreData},            // STATUS_BUFFER_OVERFLOW
    {0x8000001Au, kErrorNoMoreItems},         // STATUS_NO_MORE_ENTRIES
    {0xC0000001u, kErrorGenFailure},          // STATUS_UNSUCCESSFUL
    {0xC0000002u, kErrorInvalidFunction},     // STATUS_NOT_IMPLEMENTED
    {0xC0000008u, kErrorInvalidHandle},       // STATUS_INVALID_HANDLE
    {0xC000000Du, kErrorInvalidParameter},    // STATUS_INVALID_PARAMETER
    {0xC000000Eu, kErrorFileNotFound},        // STATUS_NO_SUCH_DEVICE
    {0xC000000Fu, kErrorFileNotFound},        // STATUS_NO_SUCH_FILE
    {0xC0000010u, kErrorInvalidFunction},     // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000017u, kErrorNotEnoughMemory},     // STATUS_NO_MEMORY
    {0xC0000022u, kErrorAccessDenied},        // STATUS_ACCESS_DENIED
    {0xC0000023u, kErrorInsufficientBuffer},  // STATUS_BUFFER_TOO_SMALL
    {0xC0000024u, kErrorInvalidHandle},       // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033u, kErrorInvalidName},         // STATUS_OBJECT_NAME_INVALID
    {0xC0000034u, kErrorFileNotFound},        // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035u, kErrorAlreadyExists},       // STATUS_OBJECT_NAME_COLLISION
    {0xC000003Au, kErrorPathNotFound},        // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC0000043u, kErrorSharingViolation},    // STATUS_SHARING_VIOLATION
    {0xC0000056u, kErrorAccessDenied},        // STATUS_DELETE_PENDING
    {0xC000009Au, kErrorNoSystemResources},   // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009Du, kErrorDeviceNotConnected},  // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000BBu, kErrorNotSupported},        // STATUS_NOT_SUPPORTED
    {0xC0000120u, kErrorOperationAborted},    // STATUS_CANCELLED
    {0xC00000C0u, kErrorDevNotExist},         // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC00002B6u, kErrorDeviceRemoved},       // STATUS_DEVICE_REMOVED
    {0xC0000225u, kErrorNotFound},            // STATUS_NOT_FOUND
};

}  // namespace

uint32_t NtStatusToWin32Error(uint32_t ntStatus) {
    for (const StatusMapping& mapping : kMappings) {
        if (mapping.status == ntStatus) {
            return mapping.error;
        }
    }
    if ((ntStatus >> 30) <= 1) {
        return kErrorSuccess;  // success and informational codes
    }
    return kErrorMrMidNotFound;
}

}  // namespace host
