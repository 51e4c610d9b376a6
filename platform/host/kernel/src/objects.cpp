// The object manager and the I/O manager's object half: driver objects and their loading and
// unloading, device objects with their stacks, and the namespace of device names and
// symbolic links.
//
// IoDeleteDevice takes a device out of the namespace and its driver's list at once, but the
// memory stays until nothing references the device and nothing is attached on top of it (the
// standard remove sequence has the upper filter detach from a lower device that has already
// deleted itself). Then the memory is poisoned for AddressSanitizer, and a driver waiting to
// unload goes once its last device is gone.
#include <sanitizer/asan_interface.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/text.h"
#include "internal.h"

namespace host::kernel::detail {
namespace {

std::u16string Wide(std::string_view text) {
    return Utf8ToUtf16(text);
}

void SetUnicode(UNICODE_STRING* target, std::u16string& storage) {
    target->Buffer = reinterpret_cast<PWCH>(&storage[0]);
    target->Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
    target->MaximumLength = static_cast<USHORT>(target->Length + sizeof(WCHAR));
}

std::string Hex(const void* pointer) {
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void UnlinkFromDriver(DEVICE_OBJECT* device, DRIVER_OBJECT* driver) {
    DEVICE_OBJECT** link = &driver->DeviceObject;
    while (*link != nullptr) {
        if (*link == device) {
            *link = device->NextDevice;
            return;
        }
        link = &(*link)->NextDevice;
    }
}

constexpr size_t kDeviceObjectBytes = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
constexpr size_t kDevobjExtensionBytes = (sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t{15};

}  // namespace

ObjectManager& ObjectManager::Get() {
    static ObjectManager* manager = new ObjectManager();
    return *manager;
}

DeviceInfo* ObjectManager::FindDevice(DEVICE_OBJECT* device) {
    auto it = devices.find(device);
    return it == devices.end() ? nullptr : &it->second;
}

DRIVER_OBJECT* ObjectManager::DriverOf(DEVICE_OBJECT* device) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    DeviceInfo* info = FindDevice(device);
    return info == nullptr ? nullptr : info->driver;
}

bool ObjectManager::DriverHasNoDevices(DRIVER_OBJECT* driver) {
    for (const auto& entry : devices) {
        if (entry.second.driver == driver && !entry.second.deleted) {
            return false;
        }
    }
    return true;
}

void ObjectManager::MaybeFinishDelete(DEVICE_OBJECT* device) {
    DeviceInfo* info = FindDevice(device);
    if (info == nullptr || !info->deletePending || info->deleted || device->ReferenceCount > 0 ||
        device->AttachedDevice != nullptr) {
        return;
    }
    info->deleted = true;
    ForgetDeviceSecurity(device);
    ASAN_POISON_MEMORY_REGION(info->allocation, info->allocationSize);
    auto driver = drivers.find(info->driver);
    if (driver != drivers.end() && driver->second->state == DriverState::UnloadPending &&
        DriverHasNoDevices(info->driver)) {
        ScheduleUnload(info->driver);
    }
}

void ObjectManager::ScheduleUnload(DRIVER_OBJECT* driver) {
    drivers.at(driver)->state = DriverState::Unloading;
    Dispatcher& d = Dispatcher::Get();
    d.EnsureSystemThreads();
    std::lock_guard<std::mutex> lock(d.mutex);
    WorkEntry entry;
    entry.task = [driver] { ObjectManager::Get().UnloadNow(driver); };
    d.QueueWork(DelayedWorkQueue, std::move(entry));
}

void ObjectManager::UnloadNow(DRIVER_OBJECT* driver) {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        drivers.at(driver)->state = DriverState::Unloading;
    }
    if (driver->DriverUnload != nullptr) {
        DriverCall call(driver, nullptr, FrameKind::Unload);
        driver->DriverUnload(driver);
    }
    // Windows unmaps the image once the unload routine has returned; a thread still inside one
    // of its routines then returns into freed memory. The unload routine is where a driver
    // waits for them (KeFlushQueuedDpcs for a DPC that is still returning).
    if (const int running = ActiveDriverCalls(driver); running > 0) {
        Report(Violation::CodeRunningAtUnload, DescribeDriver(driver) + " unloaded while " +
                                                   std::to_string(running) +
                                                   " of its routines still ran");
    }
    // A driver that unloads with device objects left (a legacy driver that forgot one) loses
    // them with its code.
    std::vector<DEVICE_OBJECT*> leftover;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        for (auto& entry : devices) {
            if (entry.second.driver == driver && !entry.second.deletePending) {
                leftover.push_back(entry.first);
            }
        }
    }
    for (DEVICE_OBJECT* device : leftover) {
        Report(Violation::DeviceMisuse, DescribeDriver(driver) +
                                            " unloaded with its device object " + Hex(device) +
                                            " not deleted");
    }
    {
        Dispatcher& d = Dispatcher::Get();
        std::vector<std::string> pending;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            for (auto it = d.timerOwners.begin(); it != d.timerOwners.end();) {
                if (it->second == driver) {
                    if (d.timerIndex.count(it->first) != 0) {
                        d.timers.erase(d.timerIndex[it->first]);
                        d.timerIndex.erase(it->first);
                        pending.push_back("a timer still set");
                    }
                    it = d.timerOwners.erase(it);
                } else {
                    ++it;
                }
            }
            for (auto it = d.dpcOwners.begin(); it != d.dpcOwners.end();) {
                if (it->second == driver) {
                    auto queued = std::find(d.dpcQueue.begin(), d.dpcQueue.end(), it->first);
                    if (queued != d.dpcQueue.end()) {
                        d.dpcQueue.erase(queued);
                        it->first->DpcData = nullptr;
                        pending.push_back("a DPC still queued");
                    }
                    it = d.dpcOwners.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const std::string& what : pending) {
            Report(Violation::PendingOperationsAtUnload,
                   DescribeDriver(driver) + " unloaded with " + what);
        }
    }
    IrpReleaseDriver(driver);
    PoolReleaseDriver(driver);
    std::unique_ptr<DriverInfo> info;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        for (DEVICE_OBJECT* device : leftover) {
            DeviceInfo* deviceInfo = FindDevice(device);
            deviceInfo->deletePending = true;
            deviceInfo->deleted = true;
            if (!deviceInfo->name.empty()) {
                deviceNames.erase(FoldCase(deviceInfo->name));
            }
        }
        auto it = drivers.find(driver);
        info = std::move(it->second);
        drivers.erase(it);
    }
    delete info->extension;
    delete driver;
}

std::string NarrowName(PCUNICODE_STRING name) {
    if (name == nullptr || name->Buffer == nullptr) {
        return std::string();
    }
    return Utf16ToUtf8(Utf16FromBytes(name->Buffer, name->Length / sizeof(WCHAR)));
}

std::string CanonicalObjectName(std::string_view name) {
    std::string text(name);
    if (StartsWithIgnoreCase(text, "\\DosDevices\\")) {
        text = "\\??\\" + text.substr(12);
    } else if (StartsWithIgnoreCase(text, "\\GLOBAL??\\")) {
        text = "\\??\\" + text.substr(10);
    }
    return FoldCase(text);
}

DEVICE_OBJECT* ResolveDevicePath(std::string_view path, std::string* remainder) {
    ObjectManager& om = ObjectManager::Get();
    std::string original(path);
    if (StartsWithIgnoreCase(original, "\\DosDevices\\")) {
        original = "\\??\\" + original.substr(12);
    } else if (StartsWithIgnoreCase(original, "\\GLOBAL??\\")) {
        original = "\\??\\" + original.substr(10);
    }
    for (int depth = 0; depth < 32; ++depth) {
        const std::string folded = FoldCase(original);
        bool followed = false;
        // The longest prefix that ends at a component boundary and names an object.
        std::vector<size_t> ends{folded.size()};
        for (size_t i = folded.size(); i-- > 1;) {
            if (folded[i] == '\\') {
                ends.push_back(i);
            }
        }
        for (size_t end : ends) {
            const std::string prefix = folded.substr(0, end);
            auto device = om.deviceNames.find(prefix);
            if (device != om.deviceNames.end()) {
                *remainder = original.substr(end);
                return device->second;
            }
            auto link = om.links.find(prefix);
            if (link != om.links.end()) {
                std::string target = link->second.target;
                if (StartsWithIgnoreCase(target, "\\DosDevices\\")) {
                    target = "\\??\\" + target.substr(12);
                }
                original = target + original.substr(end);
                followed = true;
                break;
            }
        }
        if (!followed) {
            return nullptr;
        }
    }
    return nullptr;
}

void ObjectsReset() {
    ObjectManager& om = ObjectManager::Get();
    std::vector<DRIVER_OBJECT*> loaded;
    {
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        for (auto& entry : om.drivers) {
            loaded.push_back(entry.first);
        }
    }
    // Drivers with nothing left go the normal way, with their checks; the others are torn down.
    for (DRIVER_OBJECT* driver : loaded) {
        bool idle = false;
        {
            std::lock_guard<std::recursive_mutex> lock(om.mutex);
            idle = om.DriverHasNoDevices(driver) &&
                   om.drivers.at(driver)->state != DriverState::Unloading;
        }
        if (idle) {
            om.UnloadNow(driver);
        }
    }
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    for (auto& entry : om.devices) {
        ASAN_UNPOISON_MEMORY_REGION(entry.second.allocation, entry.second.allocationSize);
        free(entry.second.allocation);
    }
    om.devices.clear();
    om.deviceNames.clear();
    om.links.clear();
    om.interfaces.clear();
    for (auto& entry : om.drivers) {
        delete entry.second->extension;
        delete entry.first;
    }
    om.drivers.clear();
    om.autogeneratedNames = 0;
}

}  // namespace host::kernel::detail

// ---------------------------------------------------------------------------------------------
// Host API

namespace host::kernel {

using namespace detail;

void RegisterDriverImage(std::string_view imageName, PDRIVER_INITIALIZE entry) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    om.images[FoldCase(imageName)] = entry;
}

bool HasDriverImage(std::string_view imageName) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    return om.images.count(FoldCase(imageName)) != 0;
}

uint32_t DriverImageLoadCount(std::string_view imageName) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    auto it = om.loadCounts.find(FoldCase(imageName));
    return it == om.loadCounts.end() ? 0 : it->second;
}

NTSTATUS LoadDriver(std::string_view serviceName, std::string_view imageName,
                    PDRIVER_OBJECT* result) {
    *result = nullptr;
    if (!CheckIrql(PASSIVE_LEVEL, "LoadDriver")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ObjectManager& om = ObjectManager::Get();
    DRIVER_OBJECT* driver = nullptr;
    PDRIVER_INITIALIZE entry = nullptr;
    DriverInfo* info = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        if (DRIVER_OBJECT* existing = FindDriver(serviceName)) {
            *result = existing;
            return STATUS_IMAGE_ALREADY_LOADED;
        }
        auto image = om.images.find(FoldCase(imageName));
        if (image == om.images.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        entry = image->second;
        ++om.loadCounts[FoldCase(imageName)];

        driver = new DRIVER_OBJECT();
        auto owned = std::make_unique<DriverInfo>();
        info = owned.get();
        info->driver = driver;
        info->extension = new DRIVER_EXTENSION();
        info->serviceName = std::string(serviceName);
        info->imageName = std::string(imageName);
        info->driverName = Wide("\\Driver\\" + info->serviceName);
        info->serviceKeyName = Wide(info->serviceName);
        info->registryPath =
            Wide("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + info->serviceName);
        SetUnicode(&info->registryPathString, info->registryPath);

        driver->Type = IO_TYPE_DRIVER;
        driver->Size = sizeof(DRIVER_OBJECT);
        driver->DriverExtension = info->extension;
        info->extension->DriverObject = driver;
        SetUnicode(&info->extension->ServiceKeyName, info->serviceKeyName);
        SetUnicode(&driver->DriverName, info->driverName);
        driver->DriverInit = entry;
        driver->DriverStart = reinterpret_cast<PVOID>(entry);
        for (auto& function : driver->MajorFunction) {
            function = InvalidDeviceRequest;
        }
        om.drivers[driver] = std::move(owned);
    }

    NTSTATUS status;
    {
        DriverCall call(driver, nullptr, FrameKind::DriverEntry);
        status = entry(driver, &info->registryPathString);
    }
    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry is unloaded without DriverUnload; what it left behind is a leak.
        std::vector<DEVICE_OBJECT*> leftover = DriverDevices(driver);
        for (DEVICE_OBJECT* device : leftover) {
            Report(Violation::DeviceMisuse, DescribeDriver(driver) +
                                                "'s DriverEntry failed leaving device object " +
                                                Hex(device));
            IoDeleteDevice(device);
        }
        driver->DriverUnload = nullptr;
        om.UnloadNow(driver);
        return status;
    }
    {
        // The I/O manager finishes the initialisation of devices created in DriverEntry.
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        for (DEVICE_OBJECT* device = driver->DeviceObject; device != nullptr;
             device = device->NextDevice) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    *result = driver;
    return STATUS_SUCCESS;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    if (!CheckIrql(PASSIVE_LEVEL, "AddDevice")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DriverCall call(driver, physicalDevice, FrameKind::AddDevice);
    return addDevice(driver, physicalDevice);
}

PDRIVER_OBJECT FindDriver(std::string_view serviceName) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    for (auto& entry : om.drivers) {
        if (EqualsIgnoreCase(entry.second->serviceName, serviceName)) {
            return entry.first;
        }
    }
    return nullptr;
}

std::string DriverServiceName(PDRIVER_OBJECT driver) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    auto it = om.drivers.find(driver);
    return it == om.drivers.end() ? std::string() : it->second->serviceName;
}

bool RequestDriverUnload(PDRIVER_OBJECT driver) {
    ObjectManager& om = ObjectManager::Get();
    {
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        auto it = om.drivers.find(driver);
        if (it == om.drivers.end()) {
            return true;
        }
        if (driver->DriverUnload == nullptr || it->second->state != DriverState::Loaded) {
            return false;
        }
        if (!om.DriverHasNoDevices(driver)) {
            it->second->state = DriverState::UnloadPending;
            return false;
        }
        it->second->state = DriverState::Unloading;
    }
    om.UnloadNow(driver);
    return true;
}

bool IsDriverUnloadPending(PDRIVER_OBJECT driver) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    auto it = om.drivers.find(driver);
    return it != om.drivers.end() && it->second->state != DriverState::Loaded;
}

NTSTATUS UseLoadedDriver(std::string_view serviceName, PDRIVER_OBJECT* driver) {
    *driver = nullptr;
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    for (auto& entry : om.drivers) {
        if (!EqualsIgnoreCase(entry.second->serviceName, serviceName)) {
            continue;
        }
        if (entry.second->state == DriverState::Unloading) {
            return STATUS_IMAGE_ALREADY_LOADED;
        }
        entry.second->state = DriverState::Loaded;
        *driver = entry.first;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<PDEVICE_OBJECT> DriverDevices(PDRIVER_OBJECT driver) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    std::vector<PDEVICE_OBJECT> result;
    for (auto& entry : om.devices) {
        if (entry.second.driver == driver && !entry.second.deletePending) {
            result.push_back(entry.first);
        }
    }
    return result;
}

PDEVICE_OBJECT FindDevice(std::string_view ntName) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    auto it = om.deviceNames.find(CanonicalObjectName(ntName));
    return it == om.deviceNames.end() ? nullptr : it->second;
}

std::optional<std::string> SymbolicLinkTarget(std::string_view linkName) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    auto it = om.links.find(CanonicalObjectName(linkName));
    if (it == om.links.end()) {
        return std::nullopt;
    }
    return it->second.target;
}

std::string DeviceName(PDEVICE_OBJECT device) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* info = om.FindDevice(device);
    return info == nullptr ? std::string() : info->name;
}

bool IsDeviceDeleted(PDEVICE_OBJECT device) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* info = om.FindDevice(device);
    return info == nullptr || info->deletePending;
}

PDEVICE_OBJECT AttachedToDevice(PDEVICE_OBJECT device) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* info = om.FindDevice(device);
    return info == nullptr ? nullptr : info->attachedTo;
}

void SetDeviceInstancePath(PDEVICE_OBJECT physicalDevice, std::string_view instancePath) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    if (DeviceInfo* info = om.FindDevice(physicalDevice)) {
        info->instancePath = std::string(instancePath);
    }
}

}  // namespace host::kernel

// ---------------------------------------------------------------------------------------------
// Kernel routines

using namespace host::kernel::detail;
using host::kernel::Violation;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    CheckIrql(PASSIVE_LEVEL, "IoCreateDevice");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    if (om.drivers.count(DriverObject) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string name = DeviceName != nullptr ? NarrowName(DeviceName) : std::string();
    if ((DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
        char generated[32];
        snprintf(generated, sizeof(generated), "\\Device\\%08x", ++om.autogeneratedNames);
        name = generated;
    }
    if (!name.empty()) {
        if (name[0] != '\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const std::string key = CanonicalObjectName(name);
        if (om.deviceNames.count(key) != 0 || om.links.count(key) != 0) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    if (PoolShouldFail(0, true)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const size_t extensionBytes = (static_cast<size_t>(DeviceExtensionSize) + 15) & ~size_t{15};
    const size_t total = kDeviceObjectBytes + kDevobjExtensionBytes + extensionBytes;
    void* memory = aligned_alloc(16, total);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(memory, 0, total);
    DEVICE_OBJECT* device = new (memory) DEVICE_OBJECT();
    auto* devobjExtension =
        reinterpret_cast<DEVOBJ_EXTENSION*>(static_cast<char*>(memory) + kDeviceObjectBytes);
    devobjExtension->Type = 13;
    devobjExtension->Size = sizeof(DEVOBJ_EXTENSION);
    devobjExtension->DeviceObject = device;

    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    device->DeviceExtension =
        DeviceExtensionSize == 0
            ? nullptr
            : static_cast<char*>(memory) + kDeviceObjectBytes + kDevobjExtensionBytes;
    device->DeviceObjectExtension = devobjExtension;
    device->Queue.ListEntry.Flink = &device->Queue.ListEntry;
    device->Queue.ListEntry.Blink = &device->Queue.ListEntry;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;

    DeviceInfo& info = om.devices[device];
    info.device = device;
    info.driver = DriverObject;
    info.allocation = memory;
    info.allocationSize = total;
    info.name = name;
    if (!name.empty()) {
        om.deviceNames[CanonicalObjectName(name)] = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(APC_LEVEL, "IoDeleteDevice");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* info = om.FindDevice(DeviceObject);
    if (info == nullptr) {
        Report(Violation::DeviceMisuse,
               "IoDeleteDevice on " + Hex(DeviceObject) + ", which is not a device object");
        return;
    }
    if (info->deletePending) {
        Report(Violation::DeviceMisuse, "IoDeleteDevice called twice for device " +
                                            Hex(DeviceObject) + " of " +
                                            DescribeDriver(info->driver));
        return;
    }
    if (info->attachedTo != nullptr) {
        Report(Violation::DeviceMisuse, "IoDeleteDevice on device " + Hex(DeviceObject) + " of " +
                                            DescribeDriver(info->driver) +
                                            ", which is still attached to device " +
                                            Hex(info->attachedTo) + " (IoDetachDevice first)");
        DEVICE_OBJECT* lower = info->attachedTo;
        lower->AttachedDevice = nullptr;
        info->attachedTo = nullptr;
        om.MaybeFinishDelete(lower);
    }
    info->deletePending = true;
    UnlinkFromDriver(DeviceObject, info->driver);
    if (!info->name.empty()) {
        om.deviceNames.erase(CanonicalObjectName(info->name));
    }
    InterfacesDeviceDeleted(DeviceObject);
    om.MaybeFinishDelete(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    CheckIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    const std::string name = NarrowName(SymbolicLinkName);
    const std::string target = NarrowName(DeviceName);
    if (name.empty() || name[0] != '\\' || target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    const std::string key = CanonicalObjectName(name);
    if (om.links.count(key) != 0 || om.deviceNames.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    om.links[key] = SymbolicLink{name, target};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    CheckIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    return om.links.erase(CanonicalObjectName(NarrowName(SymbolicLinkName))) != 0
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ++top->ReferenceCount;
    return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    CheckIrql(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* source = om.FindDevice(SourceDevice);
    DeviceInfo* target = om.FindDevice(TargetDevice);
    if (source == nullptr || target == nullptr || target->deleted) {
        Report(Violation::DeviceMisuse,
               "IoAttachDeviceToDeviceStack with a source or target "
               "that is not a live device object");
        return nullptr;
    }
    if (source->attachedTo != nullptr) {
        Report(Violation::DeviceMisuse, "IoAttachDeviceToDeviceStack with device " +
                                            Hex(SourceDevice) + ", which is already attached");
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    // Nothing attaches to a stack that is being torn down.
    if (om.FindDevice(top)->deletePending) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    source->attachedTo = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CheckIrql(DISPATCH_LEVEL, "IoDetachDevice");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DeviceInfo* target = om.FindDevice(TargetDevice);
    if (target == nullptr || target->deleted) {
        Report(Violation::DeviceMisuse,
               "IoDetachDevice from " + Hex(TargetDevice) + ", which is not a live device object");
        return;
    }
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        Report(Violation::DeviceMisuse, "IoDetachDevice from device " + Hex(TargetDevice) +
                                            ", which has nothing attached to it");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    if (DeviceInfo* upper = om.FindDevice(above)) {
        upper->attachedTo = nullptr;
    }
    om.MaybeFinishDelete(TargetDevice);
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    CheckIrql(DISPATCH_LEVEL, "ObReferenceObject");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DEVICE_OBJECT* device = static_cast<DEVICE_OBJECT*>(Object);
    DeviceInfo* info = om.FindDevice(device);
    if (info == nullptr || info->deleted) {
        return 0;
    }
    return ++device->ReferenceCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    CheckIrql(DISPATCH_LEVEL, "ObDereferenceObject");
    ObjectManager& om = ObjectManager::Get();
    std::lock_guard<std::recursive_mutex> lock(om.mutex);
    DEVICE_OBJECT* device = static_cast<DEVICE_OBJECT*>(Object);
    DeviceInfo* info = om.FindDevice(device);
    if (info == nullptr || info->deleted) {
        return 0;
    }
    if (device->ReferenceCount <= 0) {
        Report(Violation::DeviceMisuse,
               "ObDereferenceObject on device " + Hex(device) + " without a reference to drop");
        return 0;
    }
    const LONG remaining = --device->ReferenceCount;
    om.MaybeFinishDelete(device);
    return remaining;
}

}  // extern "C"
