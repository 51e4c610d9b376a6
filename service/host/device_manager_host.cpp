// SetupAPI over the simulated machine's Plug and Play manager.
#include <algorithm>
#include <optional>

#include "host/kernel.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "host/text.h"
#include "host_ports.h"

namespace dovrel {

namespace {

constexpr char kEnumRoot[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";

// A device registry property: the Enum key value behind its SPDRP_ code, the type a write
// implies, and whether SetupDiSetDeviceRegistryProperty may write it for a USB device.
struct PropertyValue {
    uint32_t code;
    const char* valueName;
    uint32_t type;
    bool writable;
};

constexpr PropertyValue kProperties[] = {
    {0x00, "DeviceDesc", host::kRegSz, true},
    {0x01, "HardwareID", host::kRegMultiSz, false},  // written only for root-enumerated devices
    {0x02, "CompatibleIDs", host::kRegMultiSz, false},
    {0x04, "Service", host::kRegSz, false},
    {0x07, "Class", host::kRegSz, false},
    {0x08, "ClassGUID", host::kRegSz, false},
    {0x09, "Driver", host::kRegSz, false},
    {0x0A, "ConfigFlags", host::kRegDword, true},
    {0x0B, "Mfg", host::kRegSz, false},
    {0x0C, "FriendlyName", host::kRegSz, true},
    {0x0D, "LocationInformation", host::kRegSz, true},
    {0x0F, "Capabilities", host::kRegDword, false},
    {0x11, "UpperFilters", host::kRegMultiSz, true},
    {0x12, "LowerFilters", host::kRegMultiSz, true},
};

const PropertyValue* FindProperty(DeviceProperty property) {
    for (const PropertyValue& candidate : kProperties) {
        if (candidate.code == static_cast<uint32_t>(property))
            return &candidate;
    }
    return nullptr;
}

bool IsText(uint32_t type) {
    return type == host::kRegSz || type == host::kRegExpandSz || type == host::kRegMultiSz;
}

// The registry keeps text as UTF-16; the 8-bit functions hand it over in the ANSI code page.
std::vector<uint8_t> ToAnsi(const std::vector<uint8_t>& utf16) {
    std::vector<uint8_t> ansi;
    ansi.reserve(utf16.size() / 2);
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
        const uint16_t unit = static_cast<uint16_t>(utf16[i] | (utf16[i + 1] << 8));
        ansi.push_back(unit < 0x100 ? static_cast<uint8_t>(unit) : static_cast<uint8_t>('?'));
    }
    return ansi;
}

std::vector<uint8_t> FromAnsi(const uint8_t* data, uint32_t size) {
    std::vector<uint8_t> utf16;
    utf16.reserve(size * 2u);
    for (uint32_t i = 0; i < size; ++i) {
        utf16.push_back(data[i]);
        utf16.push_back(0);
    }
    return utf16;
}

GUID ToGuid(const Guid& guid) {
    GUID result;
    result.Data1 = guid.data1;
    result.Data2 = guid.data2;
    result.Data3 = guid.data3;
    std::copy(guid.data4, guid.data4 + 8, result.Data4);
    return result;
}

class HostDeviceInfoSet : public DeviceInfoSet {
  public:
    HostDeviceInfoSet(HostDeviceManager& owner, host::PnpManager& pnp,
                      const std::vector<std::string>& instancePaths)
        : owner_(owner), pnp_(pnp), elements_(instancePaths.size()) {
        for (size_t i = 0; i < instancePaths.size(); ++i)
            elements_[i].instancePath = instancePaths[i];
    }

    WinError EnumDeviceInfo(uint32_t index, DeviceInfo* device) override {
        if (index >= elements_.size())
            return kErrorNoMoreItems;
        elements_[index].enumerated = true;
        device->index = index;
        return kErrorSuccess;
    }

    WinError GetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                       RegistryType* type, uint8_t* buffer, uint32_t bufferSize,
                                       uint32_t* requiredSize) override {
        const Element* element = At(device);
        if (element == nullptr)
            return kErrorInvalidParameter;
        const PropertyValue* name = FindProperty(property);
        if (name == nullptr)
            return kErrorInvalidRegProperty;
        host::Registry& registry = host::Registry::Machine();
        const std::string key = kEnumRoot + element->instancePath;
        if (!registry.KeyExists(key))
            return kErrorNoSuchDevinst;
        std::optional<host::RegistryValue> value = registry.GetValue(key, name->valueName);
        if (!value)
            return kErrorInvalidData;
        const std::vector<uint8_t> data = IsText(value->type) ? ToAnsi(value->data) : value->data;
        const uint32_t size = static_cast<uint32_t>(data.size());
        if (type != nullptr)
            *type = static_cast<RegistryType>(value->type);
        if (requiredSize != nullptr)
            *requiredSize = size;
        if (bufferSize < size || (size != 0 && buffer == nullptr))
            return kErrorInsufficientBuffer;
        std::copy(data.begin(), data.end(), buffer);
        return kErrorSuccess;
    }

    WinError SetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                       const uint8_t* data, uint32_t size) override {
        const Element* element = At(device);
        if (element == nullptr)
            return kErrorInvalidParameter;
        const PropertyValue* name = FindProperty(property);
        if (name == nullptr || !name->writable)
            return kErrorInvalidRegProperty;
        host::Registry& registry = host::Registry::Machine();
        const std::string key = kEnumRoot + element->instancePath;
        if (!registry.KeyExists(key))
            return kErrorNoSuchDevinst;
        if (size == 0) {  // no data deletes the property
            const WinError error = registry.DeleteValue(key, name->valueName);
            return error == kErrorFileNotFound ? kErrorSuccess : error;
        }
        if (data == nullptr)
            return kErrorInvalidParameter;
        if (IsText(name->type)) {
            const std::vector<uint8_t> utf16 = FromAnsi(data, size);
            return registry.SetValue(key, name->valueName, name->type, utf16.data(), utf16.size());
        }
        if (name->type == host::kRegDword && size != 4)
            return kErrorInvalidData;
        return registry.SetValue(key, name->valueName, name->type, data, size);
    }

    WinError SetPropertyChangeParams(DeviceInfo device,
                                     const PropertyChangeParams& params) override {
        Element* element = At(device);
        if (element == nullptr)
            return kErrorInvalidParameter;
        element->params = params;
        return kErrorSuccess;
    }

    WinError CallPropertyChangeInstaller(DeviceInfo device) override {
        Element* element = At(device);
        if (element == nullptr)
            return kErrorInvalidParameter;
        if (!element->params)
            return kErrorNoClassInstallParams;
        const PropertyChangeParams params = *element->params;
        const WinError error = ChangeState(element, params);
        owner_.RecordInstallerCall({element->instancePath, params.stateChange, error});
        return error;
    }

    WinError GetDeviceInstallParams(DeviceInfo device, DeviceInstallParams* params) override {
        const Element* element = At(device);
        if (element == nullptr)
            return kErrorInvalidParameter;
        *params = element->installParams;
        return kErrorSuccess;
    }

  private:
    struct Element {
        std::string instancePath;
        bool enumerated = false;
        std::optional<PropertyChangeParams> params;
        DeviceInstallParams installParams;
    };

    Element* At(DeviceInfo device) {
        if (device.index >= elements_.size() || !elements_[device.index].enumerated)
            return nullptr;
        return &elements_[device.index];
    }

    // SetupDiChangeState. A stop that a driver vetoes leaves the device running and asks for a
    // reboot in the install parameters; a start whose stack fails leaves the device with its
    // problem code. Neither fails the call, as on Windows.
    WinError ChangeState(Element* element, const PropertyChangeParams& params) {
        const bool configSpecific = params.scope == DeviceChangeScope::ConfigSpecific;
        switch (params.stateChange) {
            case DeviceStateChange::Stop:
            case DeviceStateChange::Start:
                if (!configSpecific)
                    return kErrorInvalidFlags;
                break;
            case DeviceStateChange::PropChange:
                break;
            case DeviceStateChange::Enable:
            case DeviceStateChange::Disable:
                return kErrorNotSupported;
            default:
                return kErrorInvalidParameter;
        }
        if (params.scope != DeviceChangeScope::Global &&
            params.scope != DeviceChangeScope::ConfigSpecific)
            return kErrorInvalidFlags;
        host::DevNode* node = pnp_.Find(element->instancePath);
        if (node == nullptr || !node->Present())
            return kErrorNoSuchDevinst;
        // The machine has one hardware profile; a change for another one waits for it.
        if (configSpecific && params.hwProfile != 0)
            return kErrorSuccess;

        if (params.stateChange != DeviceStateChange::Start) {
            const NTSTATUS status = pnp_.Stop(node);
            if (status != STATUS_SUCCESS && status != STATUS_INVALID_DEVICE_STATE) {
                element->installParams.flags |= kDiNeedReboot;
                return kErrorSuccess;
            }
        }
        if (params.stateChange != DeviceStateChange::Stop)
            pnp_.Start(node);
        return kErrorSuccess;
    }

    HostDeviceManager& owner_;
    host::PnpManager& pnp_;
    std::vector<Element> elements_;
};

}  // namespace

HostDeviceManager::HostDeviceManager(host::PnpManager& pnp) : pnp_(pnp) {}

WinError HostDeviceManager::GetPresentInterfaceDevices(const Guid& interfaceClass,
                                                       std::unique_ptr<DeviceInfoSet>* set) {
    std::vector<std::string> members;
    for (const host::kernel::DeviceInterface& interface :
         host::kernel::DeviceInterfaces(ToGuid(interfaceClass), true)) {
        host::DevNode* node = pnp_.Find(interface.instancePath);
        if (node == nullptr || !node->Present())
            continue;
        const bool listed =
            std::any_of(members.begin(), members.end(), [&](const std::string& path) {
                return host::EqualsIgnoreCase(path, node->InstancePath());
            });
        if (!listed)
            members.push_back(node->InstancePath());
    }
    *set = std::make_unique<HostDeviceInfoSet>(*this, pnp_, members);
    return kErrorSuccess;
}

std::vector<HostDeviceManager::InstallerCall> HostDeviceManager::InstallerCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void HostDeviceManager::RecordInstallerCall(const InstallerCall& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
}

}  // namespace dovrel
