#include "host/user_io.h"

#include <map>
#include <memory>
#include <mutex>

#include "host/kernel.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host {
namespace {

// An open handle; the file object is closed when the last user lets go of it, so a close
// that races a request waits for the request, as on Windows.
struct OpenFile {
    PFILE_OBJECT file = nullptr;
    ~OpenFile() {
        kernel::KernelEntry entry;
        kernel::CloseDevice(file);
    }
};

struct HandleTable {
    std::mutex mutex;
    std::map<UserHandle, std::shared_ptr<OpenFile>> handles;
    UserHandle next = 0x100;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable();
    return *table;
}

std::shared_ptr<OpenFile> Find(UserHandle handle) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.handles.find(handle);
    return it == table.handles.end() ? nullptr : it->second;
}

}  // namespace

std::string Win32DevicePathToNtPath(std::string_view win32Path) {
    std::string path(win32Path);
    for (size_t i = 0; i < path.size() && i < 4; ++i) {
        if (path[i] == '/') {
            path[i] = '\\';
        }
    }
    if (StartsWithIgnoreCase(path, "\\\\.\\") || StartsWithIgnoreCase(path, "\\\\?\\")) {
        path = path.substr(4);
        if (StartsWithIgnoreCase(path, "GLOBALROOT\\")) {
            return path.substr(10);
        }
    }
    return "\\??\\" + path;
}

uint32_t UserCreateFile(std::string_view win32Path, UserHandle* handle) {
    *handle = kInvalidUserHandle;
    kernel::KernelEntry entry;
    PFILE_OBJECT file = nullptr;
    const NTSTATUS status = kernel::OpenDevice(Win32DevicePathToNtPath(win32Path), &file);
    if (!NT_SUCCESS(status)) {
        return NtStatusToWin32Error(static_cast<uint32_t>(status));
    }
    auto open = std::make_shared<OpenFile>();
    open->file = file;
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    *handle = table.next;
    table.next += 4;
    table.handles[*handle] = std::move(open);
    return kErrorSuccess;
}

uint32_t UserNtDeviceIoControlFile(UserHandle handle, uint32_t ioControlCode, const void* input,
                                   uint32_t inputLength, void* output, uint32_t outputLength,
                                   uint64_t* information) {
    std::shared_ptr<OpenFile> open = Find(handle);
    if (!open) {
        return static_cast<uint32_t>(STATUS_INVALID_HANDLE);
    }
    kernel::RequestResult result;
    {
        kernel::KernelEntry entry;
        result = kernel::DeviceControl(open->file, ioControlCode, input, inputLength, output,
                                       outputLength);
    }
    if (information != nullptr && !NT_ERROR(result.status)) {
        *information = result.information;
    }
    return static_cast<uint32_t>(result.status);
}

uint32_t UserDeviceIoControl(UserHandle handle, uint32_t ioControlCode, const void* input,
                             uint32_t inputLength, void* output, uint32_t outputLength,
                             uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    uint64_t information = 0;
    const uint32_t status = UserNtDeviceIoControlFile(handle, ioControlCode, input, inputLength,
                                                      output, outputLength, &information);
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<uint32_t>(information);
    }
    return NT_SUCCESS(static_cast<NTSTATUS>(status)) ? kErrorSuccess : NtStatusToWin32Error(status);
}

uint32_t UserCloseHandle(UserHandle handle) {
    std::shared_ptr<OpenFile> open;
    {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.handles.find(handle);
        if (it == table.handles.end()) {
            return kErrorInvalidHandle;
        }
        open = std::move(it->second);
        table.handles.erase(it);
    }
    open.reset();
    return kErrorSuccess;
}

size_t UserOpenHandleCount() {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.handles.size();
}

void UserCloseAllHandles() {
    std::map<UserHandle, std::shared_ptr<OpenFile>> handles;
    {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        handles.swap(table.handles);
    }
    handles.clear();
}

}  // namespace host
