// Device interfaces: IoRegisterDeviceInterface names an interface after the physical device's
// instance path and the interface class, and records it under
// HKLM\SYSTEM\CurrentControlSet\Control\DeviceClasses as Windows does; enabling it creates
// the symbolic link "\??\<instance path with # for \>#{class}" to the physical device object,
// so "\\?\..." opens the device's stack. The interfaces of a deleted physical device go with it.
#include <stdio.h>

#include "host/registry.h"
#include "host/text.h"
#include "internal.h"

namespace host::kernel::detail {
namespace {

std::string GuidText(const GUID& guid) {
    char text[48];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
             guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string Mangle(const std::string& instancePath) {
    std::string text = instancePath;
    for (char& c : text) {
        if (c == '\\') {
            c = '#';
        }
    }
    return text;
}

std::string ClassKey(const GUID& guid) {
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" +
           GuidText(guid);
}

void RemoveLinkIfUnused(ObjectManager& om, const std::string& baseLink) {
    for (const InterfaceRecord& record : om.interfaces) {
        if (record.enabled && EqualsIgnoreCase(record.baseLink, baseLink)) {
            return;
        }
    }
    om.links.erase(CanonicalObjectName(baseLink));
}

}  // namespace

void InterfacesDeviceDeleted(DEVICE_OBJECT* physicalDevice) {
    ObjectManager& om = ObjectManager::Get();
    std::vector<std::string> bases;
    for (auto it = om.interfaces.begin(); it != om.interfaces.end();) {
        if (it->physicalDevice == physicalDevice) {
            bases.push_back(it->baseLink);
            it = om.interfaces.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& base : bases) {
        RemoveLinkIfUnused(om, base);
    }
}

}  // namespace host::kernel::detail

namespace host::kernel {

using namespace detail;

std::vector<DeviceInterface> DeviceInterfaces(const GUID& interfaceClass, bool enabledOnly) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    std::vector<DeviceInterface> result;
    for (const InterfaceRecord& record : om.interfaces) {
        if (SameGuid(record.interfaceClass, interfaceClass) && (record.enabled || !enabledOnly)) {
            result.push_back(DeviceInterface{record.interfaceClass, record.symbolicLink,
                                             record.instancePath, record.physicalDevice,
                                             record.enabled});
        }
    }
    return result;
}

}  // namespace host::kernel

using namespace host;
using namespace host::kernel::detail;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    CheckIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* info = om.FindDevice(PhysicalDeviceObject);
    if (info == nullptr || info->deletePending || info->instancePath.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const std::string guid = GuidText(*InterfaceClassGuid);
    const std::string mangled = Mangle(info->instancePath);
    const std::string reference = NarrowName(ReferenceString);
    const std::string base = "\\??\\" + mangled + "#" + guid;
    const std::string link = reference.empty() ? base : base + "\\" + reference;

    bool known = false;
    for (const InterfaceRecord& record : om.interfaces) {
        known = known || EqualsIgnoreCase(record.symbolicLink, link);
    }
    if (!known) {
        om.interfaces.push_back(InterfaceRecord{*InterfaceClassGuid, link, base, info->instancePath,
                                                PhysicalDeviceObject, false});
        Registry& registry = Registry::Machine();
        const std::string interfaceKey =
            ClassKey(*InterfaceClassGuid) + "\\##?#" + mangled + "#" + guid;
        const std::string referenceKey = interfaceKey + "\\#" + reference;
        registry.CreateKey(referenceKey);
        registry.SetString(interfaceKey, "DeviceInstance", info->instancePath);
        registry.SetString(referenceKey, "SymbolicLink",
                           "\\\\?\\" + mangled + "#" + guid +
                               (reference.empty() ? std::string() : "\\" + reference));
    }

    const std::u16string wide = Utf8ToUtf16(link);
    const size_t bytes = wide.size() * sizeof(WCHAR);
    PWCH buffer =
        static_cast<PWCH>(PoolAllocate(PagedPool, bytes + sizeof(WCHAR), 0x20206F49 /* 'Io  ' */,
                                       false, CurrentDriver(), "IoRegisterDeviceInterface"));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, wide.data(), bytes);
    buffer[wide.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    CheckIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    const std::string link = NarrowName(SymbolicLinkName);
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    InterfaceRecord* record = nullptr;
    for (InterfaceRecord& candidate : om.interfaces) {
        if (EqualsIgnoreCase(candidate.symbolicLink, link)) {
            record = &candidate;
        }
    }
    if (record == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::string guid = GuidText(record->interfaceClass);
    const std::string reference = record->symbolicLink.size() > record->baseLink.size()
                                      ? record->symbolicLink.substr(record->baseLink.size() + 1)
                                      : std::string();
    const std::string controlKey = ClassKey(record->interfaceClass) + "\\##?#" +
                                   Mangle(record->instancePath) + "#" + guid + "\\#" + reference +
                                   "\\Control";
    if (Enable) {
        if (record->enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        DeviceInfo* info = om.FindDevice(record->physicalDevice);
        if (info == nullptr || info->name.empty()) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const std::string key = CanonicalObjectName(record->baseLink);
        if (om.links.count(key) == 0) {
            om.links[key] = SymbolicLink{record->baseLink, info->name};
        }
        record->enabled = true;
        Registry::Machine().CreateKey(controlKey);
        Registry::Machine().SetDword(controlKey, "Linked", 1);
        return STATUS_SUCCESS;
    }
    if (!record->enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    record->enabled = false;
    RemoveLinkIfUnused(om, record->baseLink);
    Registry::Machine().SetDword(controlKey, "Linked", 0);
    return STATUS_SUCCESS;
}

}  // extern "C"
