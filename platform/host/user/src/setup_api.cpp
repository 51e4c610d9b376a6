#include "host/setup_api.h"

#include <string.h>

#include "host/kernel.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host::user {
namespace {

GUID ToKernel(const Guid& guid) {
    GUID out;
    out.Data1 = guid.data1;
    out.Data2 = guid.data2;
    out.Data3 = guid.data3;
    memcpy(out.Data4, guid.data4, 8);
    return out;
}

}  // namespace

std::u16string UserInterfacePath(const std::string& kernelLink) {
    std::string path = kernelLink;
    if (path.compare(0, 4, "\\??\\") == 0) {
        path = "\\\\?\\" + path.substr(4);
    }
    for (char& c : path) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return Utf8ToUtf16(path);
}

Handle SetupApi::SetupDiGetClassDevs(const Guid* classGuid, uint32_t flags) {
    if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    std::vector<Entry> entries;
    if ((flags & DIGCF_DEVICEINTERFACE) != 0 && classGuid != nullptr) {
        kernel::KernelEntry entry;
        for (const kernel::DeviceInterface& found :
             kernel::DeviceInterfaces(ToKernel(*classGuid), (flags & DIGCF_PRESENT) != 0)) {
            entries.push_back(
                Entry{*classGuid, UserInterfacePath(found.symbolicLink), found.enabled});
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Handle handle = next_;
    next_ += 0x10;
    sets_[handle] = std::move(entries);
    return handle;
}

bool SetupApi::SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass, uint32_t index,
                                           DeviceInterfaceData* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sets_.find(set);
    if (it == sets_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (data == nullptr || data->cbSize != InterfaceDataSize()) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    uint32_t seen = 0;
    for (size_t i = 0; i < it->second.size(); ++i) {
        if (it->second[i].interfaceClass != interfaceClass) {
            continue;
        }
        if (seen++ == index) {
            data->interfaceClassGuid = interfaceClass;
            data->flags = it->second[i].active ? SPINT_ACTIVE : 0;
            data->reserved = i + 1;
            return true;
        }
    }
    SetLastError(kErrorNoMoreItems);
    return false;
}

bool SetupApi::SetupDiGetDeviceInterfaceDetail(Handle set, const DeviceInterfaceData& data,
                                               uint8_t* detail, uint32_t detailSize,
                                               uint32_t* requiredSize) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sets_.find(set);
    if (it == sets_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (data.cbSize != InterfaceDataSize() || data.reserved == 0 ||
        data.reserved > it->second.size()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const std::u16string& path = it->second[data.reserved - 1].path;
    const uint32_t needed = static_cast<uint32_t>(4 + (path.size() + 1) * 2);
    if (detail == nullptr) {
        if (detailSize != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return false;
        }
        if (requiredSize != nullptr) {
            *requiredSize = needed;
        }
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    uint32_t cbSize = 0;
    if (detailSize >= 4) {
        memcpy(&cbSize, detail, 4);
    }
    if (detailSize < DetailDataSize() || cbSize != DetailDataSize()) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (detailSize < needed) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    for (size_t i = 0; i < path.size(); ++i) {
        detail[4 + 2 * i] = static_cast<uint8_t>(path[i] & 0xFF);
        detail[5 + 2 * i] = static_cast<uint8_t>(path[i] >> 8);
    }
    detail[4 + 2 * path.size()] = 0;
    detail[5 + 2 * path.size()] = 0;
    return true;
}

bool SetupApi::SetupDiDestroyDeviceInfoList(Handle set) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sets_.erase(set) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

size_t SetupApi::OpenSets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sets_.size();
}

}  // namespace host::user
