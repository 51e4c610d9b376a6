// SetupAPI's device-interface functions over the simulated machine's interfaces (the USB hubs,
// the audio devices' kernel-streaming interfaces, anything a driver registered), with the
// record sizes of a 32-bit or a 64-bit caller. The hub a detail names opens with
// host::UserCreateFile and answers IOCTL_USB_GET_NODE_INFORMATION and
// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION through host::UserDeviceIoControl.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/user_types.h"

namespace host::user {

constexpr uint32_t DIGCF_DEFAULT = 0x01;
constexpr uint32_t DIGCF_PRESENT = 0x02;
constexpr uint32_t DIGCF_ALLCLASSES = 0x04;
constexpr uint32_t DIGCF_PROFILE = 0x08;
constexpr uint32_t DIGCF_DEVICEINTERFACE = 0x10;
constexpr uint32_t SPINT_ACTIVE = 0x1;

enum class Bitness { k32, k64 };

// SP_DEVICE_INTERFACE_DATA: 28 bytes for a 32-bit caller, 32 for a 64-bit one.
struct DeviceInterfaceData {
    uint32_t cbSize = 0;
    Guid interfaceClassGuid;
    uint32_t flags = 0;
    uint64_t reserved = 0;
};

class SetupApi {
  public:
    explicit SetupApi(Bitness bitness = Bitness::k32) : bitness_(bitness) {}

    // sizeof(SP_DEVICE_INTERFACE_DATA) and the cbSize SP_DEVICE_INTERFACE_DETAIL_DATA_W must
    // carry: 6 on 32-bit Windows (DWORD and one WCHAR, packed), 8 on 64-bit (padded).
    uint32_t InterfaceDataSize() const { return bitness_ == Bitness::k32 ? 28 : 32; }
    uint32_t DetailDataSize() const { return bitness_ == Bitness::k32 ? 6 : 8; }

    // A snapshot of the interfaces of a class: with DIGCF_PRESENT only enabled ones. Without
    // DIGCF_DEVICEINTERFACE the GUID is a setup class, whose set holds no interfaces here.
    // kInvalidHandle with ERROR_INVALID_PARAMETER for a null class without DIGCF_ALLCLASSES.
    Handle SetupDiGetClassDevs(const Guid* classGuid, uint32_t flags);
    // ERROR_INVALID_HANDLE, ERROR_INVALID_USER_BUFFER (cbSize), ERROR_NO_MORE_ITEMS.
    bool SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass, uint32_t index,
                                     DeviceInterfaceData* data);
    // Writes SP_DEVICE_INTERFACE_DETAIL_DATA_W into `detail`: cbSize, then the NUL-terminated
    // path ("\\?\usb#root_hub20#4&2f3a9c1&0#{f18a0e88-...}", lower case as Windows gives it).
    // The size needed is 4 + (path length + 1) x 2: with no buffer (size 0) the call fails
    // with ERROR_INSUFFICIENT_BUFFER and reports it; a buffer without size, or a cbSize other
    // than DetailDataSize(), fails with ERROR_INVALID_USER_BUFFER.
    bool SetupDiGetDeviceInterfaceDetail(Handle set, const DeviceInterfaceData& data,
                                         uint8_t* detail, uint32_t detailSize,
                                         uint32_t* requiredSize);
    bool SetupDiDestroyDeviceInfoList(Handle set);

    size_t OpenSets();

  private:
    struct Entry {
        Guid interfaceClass;
        std::u16string path;
        bool active;
    };

    Bitness bitness_;
    std::mutex mutex_;
    std::map<Handle, std::vector<Entry>> sets_;
    Handle next_ = 0x00B1E0A0;
};

// The user-mode path of a kernel interface link: "\??\USB#X#{g}" -> "\\?\usb#x#{g}".
std::u16string UserInterfacePath(const std::string& kernelLink);

}  // namespace host::user
