#include "driver_link_host.h"

#include <string>

#include "host/text.h"
#include "host/user_io.h"
#include "host/win32_error.h"

namespace {

// Host handles are small multiples of four, so every one fits the port's handle type and
// none collides with INVALID_HANDLE_VALUE.
DriverLink::Handle FromHost(host::UserHandle handle) {
    return handle == host::kInvalidUserHandle ? DriverLink::kInvalidHandle
                                              : static_cast<DriverLink::Handle>(handle);
}

host::UserHandle ToHost(DriverLink::Handle handle) {
    return handle == DriverLink::kInvalidHandle ? host::kInvalidUserHandle
                                                : static_cast<host::UserHandle>(handle);
}

}  // namespace

DriverLink::Handle HostDriverLink::Open(const std::string& path) {
    host::UserHandle handle = host::kInvalidUserHandle;
    const uint32_t error = host::UserCreateFile(path, &handle);
    if (error != host::kErrorSuccess) {
        lastOpenError_ = error;
        return DriverLink::kInvalidHandle;
    }
    return FromHost(handle);
}

uint32_t HostDriverLink::LastOpenError() const {
    return lastOpenError_;
}

DriverLink::Handle HostDriverLink::OpenA(const char* path) {
    return Open(path);
}

DriverLink::Handle HostDriverLink::OpenW(const char16_t* path) {
    return Open(host::Utf16ToUtf8(path));
}

bool HostDriverLink::DeviceIoControl(Handle handle, uint32_t code, const void* input,
                                     uint32_t inputLength, void* output, uint32_t outputLength,
                                     uint32_t* bytesReturned) {
    uint32_t bytes = 0;
    const bool ok = host::UserDeviceIoControl(ToHost(handle), code, input, inputLength, output,
                                              outputLength, &bytes) == host::kErrorSuccess;
    *bytesReturned = ok ? bytes : 0;
    return ok;
}

uint32_t HostDriverLink::NtDeviceIoControl(Handle handle, uint32_t code, const void* input,
                                           uint32_t inputLength, void* output,
                                           uint32_t outputLength, uint32_t* bytesReturned) {
    uint64_t information = 0;
    const uint32_t status = host::UserNtDeviceIoControlFile(
        ToHost(handle), code, input, inputLength, output, outputLength, &information);
    *bytesReturned = static_cast<uint32_t>(information);
    return status;
}

void HostDriverLink::Close(Handle handle) {
    host::UserCloseHandle(ToHost(handle));
}
