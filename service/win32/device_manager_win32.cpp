// Device sets through SetupAPI. Properties are read and written with the 8-bit functions,
// since hardware ids and filter names are compared as 8-bit text.
#include "win32_ports.h"

#include <setupapi.h>

#include <vector>

namespace dovrel {

namespace {

class Win32DeviceInfoSet : public DeviceInfoSet {
  public:
    explicit Win32DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~Win32DeviceInfoSet() override { SetupDiDestroyDeviceInfoList(set_); }
    Win32DeviceInfoSet(const Win32DeviceInfoSet&) = delete;
    Win32DeviceInfoSet& operator=(const Win32DeviceInfoSet&) = delete;

    WinError EnumDeviceInfo(uint32_t index, DeviceInfo* device) override {
        SP_DEVINFO_DATA data = {};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(set_, index, &data))
            return GetLastError();
        if (elements_.size() <= index)
            elements_.resize(index + 1);
        elements_[index] = data;
        device->index = index;
        return kErrorSuccess;
    }

    WinError GetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                       RegistryType* type, uint8_t* buffer, uint32_t bufferSize,
                                       uint32_t* requiredSize) override {
        SP_DEVINFO_DATA* data = Element(device);
        if (data == nullptr)
            return ERROR_INVALID_PARAMETER;
        DWORD regType = REG_NONE;
        DWORD required = 0;
        const BOOL ok = SetupDiGetDeviceRegistryPropertyA(set_, data, static_cast<DWORD>(property),
                                                          &regType, buffer, bufferSize, &required);
        const WinError error = ok ? kErrorSuccess : GetLastError();
        if (type != nullptr)
            *type = static_cast<RegistryType>(regType);
        if (requiredSize != nullptr)
            *requiredSize = required;
        return error;
    }

    WinError SetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                       const uint8_t* bytes, uint32_t size) override {
        SP_DEVINFO_DATA* data = Element(device);
        if (data == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (!SetupDiSetDeviceRegistryPropertyA(set_, data, static_cast<DWORD>(property), bytes,
                                               size))
            return GetLastError();
        return kErrorSuccess;
    }

    WinError SetPropertyChangeParams(DeviceInfo device,
                                     const PropertyChangeParams& params) override {
        SP_DEVINFO_DATA* data = Element(device);
        if (data == nullptr)
            return ERROR_INVALID_PARAMETER;
        SP_PROPCHANGE_PARAMS change = {};
        change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        change.StateChange = static_cast<DWORD>(params.stateChange);
        change.Scope = static_cast<DWORD>(params.scope);
        change.HwProfile = params.hwProfile;
        if (!SetupDiSetClassInstallParamsA(set_, data, &change.ClassInstallHeader, sizeof change))
            return GetLastError();
        return kErrorSuccess;
    }

    WinError CallPropertyChangeInstaller(DeviceInfo device) override {
        SP_DEVINFO_DATA* data = Element(device);
        if (data == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, data))
            return GetLastError();
        return kErrorSuccess;
    }

    WinError GetDeviceInstallParams(DeviceInfo device, DeviceInstallParams* params) override {
        SP_DEVINFO_DATA* data = Element(device);
        if (data == nullptr)
            return ERROR_INVALID_PARAMETER;
        SP_DEVINSTALL_PARAMS_A install = {};
        install.cbSize = sizeof install;
        if (!SetupDiGetDeviceInstallParamsA(set_, data, &install))
            return GetLastError();
        params->flags = install.Flags;
        params->flagsEx = install.FlagsEx;
        return kErrorSuccess;
    }

  private:
    SP_DEVINFO_DATA* Element(DeviceInfo device) {
        if (device.index >= elements_.size() || elements_[device.index].cbSize == 0)
            return nullptr;
        return &elements_[device.index];
    }

    HDEVINFO set_;
    std::vector<SP_DEVINFO_DATA> elements_;  // by index, as enumerated
};

}  // namespace

WinError Win32DeviceManager::GetPresentInterfaceDevices(const Guid& interfaceClass,
                                                        std::unique_ptr<DeviceInfoSet>* set) {
    GUID guid;
    guid.Data1 = interfaceClass.data1;
    guid.Data2 = interfaceClass.data2;
    guid.Data3 = interfaceClass.data3;
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = interfaceClass.data4[i];
    const HDEVINFO handle = SetupDiGetClassDevsA(
        &guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    *set = std::make_unique<Win32DeviceInfoSet>(handle);
    return kErrorSuccess;
}

}  // namespace dovrel
