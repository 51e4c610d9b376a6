#include "host/pnp.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "host/registry.h"
#include "host/text.h"
#include "host/usbaudio_class_driver.h"
#include "usb_bus.h"

namespace host {

const GUID kUsbHubInterfaceClass = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

namespace {

constexpr const char* kEnumRoot = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char* kServicesRoot = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char* kClassRoot =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

constexpr uint32_t kServiceKernelDriver = 1;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;

// Appends the strings of a filter list. Plug and Play reads a REG_SZ or REG_EXPAND_SZ
// value as a list of one (an empty string as none); other types list nothing.
void AppendList(const std::string& key, const char* name, std::vector<std::string>* list) {
    std::optional<RegistryValue> value = Registry::Machine().GetValue(key, name);
    if (!value) {
        return;
    }
    if (value->type == kRegMultiSz) {
        const std::vector<std::string> values = RegMultiStringFromData(value->data);
        list->insert(list->end(), values.begin(), values.end());
    } else if (value->type == kRegSz || value->type == kRegExpandSz) {
        const std::string one = RegStringFromData(value->data);
        if (!one.empty()) {
            list->push_back(one);
        }
    }
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The instance id Windows gives an interface of a device without a serial number: derived
// from the device's place on the bus.
std::string PortInstanceId(const UsbDeviceIdentity& identity, UsbPort at) {
    uint32_t hash = 2166136261u;
    std::string seed = usb_bus::DeviceId(identity) + "#" + std::to_string(at.port);
    if (at.hub != PnpManager::kRootHub) {
        seed += "@" + std::to_string(at.hub);
    }
    for (char c : seed) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    char text[40];
    snprintf(text, sizeof(text), "7&%08x&0&%04X", hash,
             static_cast<unsigned>(identity.interfaceNumber));
    return text;
}

IO_STACK_LOCATION PnpLocation(UCHAR minor) {
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_PNP;
    location.MinorFunction = minor;
    return location;
}

}  // namespace

std::string DevNode::EnumKey() const {
    return kEnumRoot + instancePath_;
}

std::vector<PDEVICE_OBJECT> DevNode::Stack() const {
    std::vector<PDEVICE_OBJECT> stack;
    if (pdo_ == nullptr || !built_) {
        return stack;
    }
    for (PDEVICE_OBJECT device = pdo_; device != nullptr; device = device->AttachedDevice) {
        stack.push_back(device);
    }
    return stack;
}

PDEVICE_OBJECT DevNode::Top() const {
    std::vector<PDEVICE_OBJECT> stack = Stack();
    return stack.empty() ? nullptr : stack.back();
}

PnpManager::PnpManager() {
    kernel::KernelEntry entry;
    Registry& registry = Registry::Machine();
    const std::string classKey = std::string(kClassRoot) + kMediaClassGuid;
    registry.CreateKey(classKey);
    registry.SetString(classKey, "", "Sound, video and game controllers");
    registry.SetString(classKey, "Class", "MEDIA");
    kernel::RegisterDriverImage("usbhub.sys", usb_bus::DriverEntry);
    InstallDriverService(UsbAudioClassDriver::kServiceName, UsbAudioClassDriver::kImageName,
                         UsbAudioClassDriver::DriverEntry);
    kernel::LoadDriver("usbhub", "usbhub.sys", &bus_);
    std::lock_guard<std::mutex> lock(topologyMutex_);
    CreateHub(kRootHubPorts, UsbPort{-1, 0}, 0, 0);
}

PnpManager::~PnpManager() {
    kernel::KernelEntry entry;
    for (DevNode* node : Devices(true)) {
        Unplug(node);
    }
    std::vector<int> hubs = Hubs();
    for (auto it = hubs.rbegin(); it != hubs.rend(); ++it) {
        if (*it != kRootHub) {
            UnplugHub(*it);
        }
    }
    if (hubs_.count(kRootHub) != 0 && hubs_[kRootHub].device != nullptr) {
        IoDeleteDevice(hubs_[kRootHub].device);
    }
    if (bus_ != nullptr) {
        kernel::RequestDriverUnload(bus_);
    }
}

void PnpManager::InstallDriverService(std::string_view service, std::string_view image,
                                      PDRIVER_INITIALIZE entry) {
    Registry& registry = Registry::Machine();
    const std::string key = kServicesRoot + std::string(service);
    registry.CreateKey(key);
    registry.SetDword(key, "Type", kServiceKernelDriver);
    registry.SetDword(key, "Start", kServiceDemandStart);
    registry.SetDword(key, "ErrorControl", 1);
    registry.SetString(key, "ImagePath", "System32\\DRIVERS\\" + std::string(image), kRegExpandSz);
    kernel::RegisterDriverImage(image, entry);
}

void PnpManager::CreateInstanceKey(const DevNode& node) {
    Registry& registry = Registry::Machine();
    const std::string key = node.EnumKey();
    if (registry.KeyExists(key)) {
        return;  // a device seen before keeps its key, filters included
    }
    const UsbDeviceIdentity& identity = node.identity_;
    registry.CreateKey(key);
    registry.SetString(key, "DeviceDesc", identity.description);
    registry.SetMultiString(key, "HardwareID", usb_bus::HardwareIds(identity));
    registry.SetMultiString(key, "CompatibleIDs", usb_bus::CompatibleIds(identity));
    registry.SetString(key, "Service", identity.service);
    registry.SetString(key, "ClassGUID", identity.classGuid);
    registry.SetString(key, "Class", "MEDIA");
    registry.SetString(key, "Mfg", "(Generic USB Audio)");
    registry.SetDword(key, "ConfigFlags", 0);
    registry.SetDword(key, "Capabilities", 0x84);  // removable, surprise removal OK
    char location[48];
    snprintf(location, sizeof(location), "0000.0000.0000.%03d.000.000.000.000.000", node.port_);
    registry.SetString(key, "LocationInformation", location);
    char driverKey[16];
    snprintf(driverKey, sizeof(driverKey), "%04d", driverKeys_++);
    registry.SetString(key, "Driver", identity.classGuid + "\\" + driverKey);
    const std::string softwareKey = kClassRoot + identity.classGuid + "\\" + driverKey;
    registry.CreateKey(softwareKey);
    registry.SetString(softwareKey, "DriverDesc", identity.description);
    registry.CreateKey(key + "\\Device Parameters");
}

DevNode* PnpManager::PlugIn(const UsbDeviceIdentity& identity,
                            std::shared_ptr<UsbFunction> function, std::optional<UsbPort> at) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    const InterfaceSnapshot before = SnapshotInterfaces();
    UsbPort port;
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        if (!ClaimPort(at, &port)) {
            return nullptr;
        }
    }
    const std::string instanceId =
        identity.instanceId.empty() ? PortInstanceId(identity, port) : identity.instanceId;
    const std::string instancePath = usb_bus::DeviceId(identity) + "\\" + instanceId;
    std::unique_ptr<DevNode>& slot = nodes_[FoldCase(instancePath)];
    if (slot && slot->Present()) {
        return nullptr;  // that device is already on the bus
    }
    if (!slot) {
        slot = std::make_unique<DevNode>();
    }
    DevNode* node = slot.get();
    node->instancePath_ = instancePath;
    node->identity_ = identity;
    node->port_ = port.port;
    node->hub_ = port.hub;
    node->function_ = function ? std::move(function)
                               : std::make_shared<BasicUsbFunction>(
                                     identity.vendorId, identity.productId, identity.revision);
    node->problem_ = cm_problem::kNone;
    node->problemStatus_ = STATUS_SUCCESS;
    CreateInstanceKey(*node);
    node->pdo_ = usb_bus::CreatePdo(bus_, ++pdoNames_, node, node->function_.get());
    if (node->pdo_ == nullptr) {
        Fail(node, cm_problem::kFailedAdd, STATUS_INSUFFICIENT_RESOURCES);
        return node;
    }
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        node->address_ = NextAddress();
        ports_[{port.hub, port.port}] = node;
    }
    Build(node);
    NotifyInterfaces(before);
    return node;
}

bool PnpManager::ClaimPort(std::optional<UsbPort> at, UsbPort* port) {
    auto isFree = [this](int hub, int number) {
        auto record = hubs_.find(hub);
        return record != hubs_.end() && number >= 1 && number <= record->second.ports &&
               ports_.count({hub, number}) == 0 && hubPorts_.count({hub, number}) == 0;
    };
    if (at) {
        if (!isFree(at->hub, at->port)) {
            return false;
        }
        *port = *at;
        return true;
    }
    for (const auto& hub : hubs_) {
        for (int number = 1; number <= hub.second.ports; ++number) {
            if (isFree(hub.first, number)) {
                *port = UsbPort{hub.first, number};
                return true;
            }
        }
    }
    return false;
}

uint16_t PnpManager::NextAddress() {
    // Addresses 1 to 127, handed out in turn and skipping those in use, as a host controller
    // driver does.
    for (int tries = 0; tries < 127; ++tries) {
        const uint16_t address = nextAddress_;
        nextAddress_ = static_cast<uint16_t>(nextAddress_ % 127 + 1);
        bool used = false;
        for (const auto& device : ports_) {
            used = used || device.second->address_ == address;
        }
        for (const auto& hub : hubs_) {
            used = used || hub.second.address == address;
        }
        if (!used) {
            return address;
        }
    }
    return 0;
}

int PnpManager::CreateHub(int ports, UsbPort at, uint16_t vendorId, uint16_t productId) {
    const int id = at.hub < 0 ? kRootHub : nextHub_++;
    HubRecord record;
    record.ports = ports;
    record.at = at;
    std::string instancePath = "USB\\ROOT_HUB20\\4&2f3a9c1&0";
    if (id != kRootHub) {
        record.address = NextAddress();
        record.descriptor = MakeDeviceDescriptor(vendorId, productId, 0x0100);
        record.descriptor.bcdUSB = 0x0200;
        record.descriptor.bDeviceClass = 0x09;  // hub
        record.descriptor.bMaxPacketSize0 = 64;
        char text[64];
        snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X\\5&%08x&0&%d", vendorId, productId,
                 0x1e2a3b40u + static_cast<unsigned>(id), at.port);
        instancePath = text;
    }
    record.device = usb_bus::CreateHub(bus_, id, instancePath, this);
    hubs_[id] = record;
    if (id != kRootHub) {
        hubPorts_[{at.hub, at.port}] = id;
    }
    return id;
}

int PnpManager::PlugInHub(int ports, std::optional<UsbPort> at, uint16_t vendorId,
                          uint16_t productId) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (ports < 1 || ports > 127) {
        return -1;
    }
    const InterfaceSnapshot before = SnapshotInterfaces();
    int id;
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        UsbPort port;
        if (!ClaimPort(at, &port)) {
            return -1;
        }
        id = CreateHub(ports, port, vendorId, productId);
    }
    NotifyInterfaces(before);
    return id;
}

void PnpManager::UnplugHub(int hub) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (hub == kRootHub) {
        return;
    }
    std::vector<DevNode*> devices;
    std::vector<int> below;
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        auto record = hubs_.find(hub);
        if (record == hubs_.end()) {
            return;
        }
        for (const auto& port : ports_) {
            if (port.first.first == hub) {
                devices.push_back(port.second);
            }
        }
        for (const auto& port : hubPorts_) {
            if (port.first.first == hub) {
                below.push_back(port.second);
            }
        }
    }
    for (int child : below) {
        UnplugHub(child);
    }
    const InterfaceSnapshot before = SnapshotInterfaces();
    for (DevNode* node : devices) {
        UnplugLocked(node);
    }
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        auto record = hubs_.find(hub);
        device = record->second.device;
        hubPorts_.erase({record->second.at.hub, record->second.at.port});
        hubs_.erase(record);
    }
    if (device != nullptr) {
        IoDeleteDevice(device);
    }
    NotifyInterfaces(before);
}

std::vector<int> PnpManager::Hubs() {
    std::lock_guard<std::mutex> topology(topologyMutex_);
    std::vector<int> hubs;
    for (const auto& hub : hubs_) {
        hubs.push_back(hub.first);
    }
    return hubs;
}

int PnpManager::HubPorts(int hub) {
    std::lock_guard<std::mutex> topology(topologyMutex_);
    auto record = hubs_.find(hub);
    return record == hubs_.end() ? 0 : record->second.ports;
}

std::optional<UsbPortState> PnpManager::PortState(int hub, int port) {
    std::shared_ptr<UsbFunction> function;
    UsbPortState state;
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        auto record = hubs_.find(hub);
        if (record == hubs_.end() || port < 1 || port > record->second.ports) {
            return std::nullopt;
        }
        auto child = hubPorts_.find({hub, port});
        if (child != hubPorts_.end()) {
            const HubRecord& external = hubs_[child->second];
            state.connected = true;
            state.isHub = true;
            state.address = external.address;
            state.descriptor = external.descriptor;
            state.configuration = 1;
            return state;
        }
        auto device = ports_.find({hub, port});
        if (device == ports_.end()) {
            return state;
        }
        function = device->second->function_;
        state.connected = true;
        state.address = device->second->address_;
    }
    // The descriptor as the device gives it, asked outside the topology lock.
    state.descriptor = function->DeviceDescriptor();
    state.configuration = function->CurrentConfiguration();
    state.openPipes = function->OpenPipes();
    return state;
}

void PnpManager::Fail(DevNode* node, uint32_t problem, NTSTATUS status) {
    node->problem_ = problem;
    node->problemStatus_ = status;
    node->started_ = false;
}

PDRIVER_OBJECT PnpManager::LoadService(const std::string& service, DevNode* node) {
    PDRIVER_OBJECT loaded = nullptr;
    const NTSTATUS use = kernel::UseLoadedDriver(service, &loaded);
    if (use == STATUS_SUCCESS) {
        return loaded;
    }
    if (use == STATUS_IMAGE_ALREADY_LOADED) {
        Fail(node, cm_problem::kDriverFailedPriorUnload, use);
        return nullptr;
    }
    Registry& registry = Registry::Machine();
    const std::string key = kServicesRoot + service;
    if (!registry.KeyExists(key)) {
        Fail(node, cm_problem::kDriverFailedLoad, STATUS_OBJECT_NAME_NOT_FOUND);
        return nullptr;
    }
    if (registry.GetDword(key, "Start") == kServiceDisabled) {
        Fail(node, cm_problem::kDisabledService, STATUS_DRIVER_UNABLE_TO_LOAD);
        return nullptr;
    }
    const std::optional<uint32_t> type = registry.GetDword(key, "Type");
    if (type && *type != kServiceKernelDriver) {
        Fail(node, cm_problem::kDriverFailedLoad, STATUS_DRIVER_UNABLE_TO_LOAD);
        return nullptr;
    }
    const std::optional<std::string> imagePath = registry.GetString(key, "ImagePath");
    const std::string image = imagePath ? FileNameOf(*imagePath) : service + ".sys";
    PDRIVER_OBJECT driver = nullptr;
    const NTSTATUS status = kernel::LoadDriver(service, image, &driver);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        Fail(node, cm_problem::kDriverFailedLoad, status);
        return nullptr;
    }
    if (!NT_SUCCESS(status)) {
        Fail(node, cm_problem::kFailedDriverEntry, status);
        return nullptr;
    }
    return driver;
}

bool PnpManager::Build(DevNode* node) {
    Registry& registry = Registry::Machine();
    const std::string key = node->EnumKey();
    const std::optional<std::string> service = registry.GetString(key, "Service");
    if (!service || service->empty()) {
        Fail(node, cm_problem::kFailedInstall, STATUS_OBJECT_NAME_NOT_FOUND);
        return false;
    }
    std::string classKey;
    if (std::optional<std::string> classGuid = registry.GetString(key, "ClassGUID")) {
        classKey = kClassRoot + *classGuid;
    }
    std::vector<std::string> order;
    AppendList(key, "LowerFilters", &order);
    if (!classKey.empty()) {
        AppendList(classKey, "LowerFilters", &order);
    }
    order.push_back(*service);
    AppendList(key, "UpperFilters", &order);
    if (!classKey.empty()) {
        AppendList(classKey, "UpperFilters", &order);
    }

    // Every driver is loaded before the first AddDevice, as Windows does.
    std::vector<PDRIVER_OBJECT> drivers;
    for (const std::string& name : order) {
        PDRIVER_OBJECT driver = LoadService(name, node);
        if (driver == nullptr) {
            ReleaseDrivers(drivers);
            return false;
        }
        drivers.push_back(driver);
    }
    node->built_ = true;
    node->drivers_.clear();
    node->services_.clear();
    for (size_t i = 0; i < drivers.size(); ++i) {
        const NTSTATUS status = kernel::CallAddDevice(drivers[i], node->pdo_);
        if (!NT_SUCCESS(status)) {
            std::vector<PDRIVER_OBJECT> unused(drivers.begin() + static_cast<long>(i),
                                               drivers.end());
            TearDown(node, false);
            ReleaseDrivers(unused);
            Fail(node, cm_problem::kFailedAdd, status);
            return false;
        }
        node->drivers_.push_back(drivers[i]);
        node->services_.push_back(order[i]);
    }

    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    IO_STACK_LOCATION query = PnpLocation(IRP_MN_QUERY_CAPABILITIES);
    query.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    kernel::SendSystemRequest(node->Top(), query);

    const kernel::RequestResult start =
        kernel::SendSystemRequest(node->Top(), PnpLocation(IRP_MN_START_DEVICE));
    if (!NT_SUCCESS(start.status)) {
        TearDown(node, false);
        Fail(node, cm_problem::kFailedStart, start.status);
        return false;
    }
    node->started_ = true;
    node->problem_ = cm_problem::kNone;
    node->problemStatus_ = STATUS_SUCCESS;
    return true;
}

void PnpManager::ReleaseDrivers(const std::vector<PDRIVER_OBJECT>& drivers) {
    for (PDRIVER_OBJECT driver : drivers) {
        bool used = false;
        for (const auto& entry : nodes_) {
            const std::vector<PDRIVER_OBJECT>& inUse = entry.second->drivers_;
            used = used || std::find(inUse.begin(), inUse.end(), driver) != inUse.end();
        }
        if (!used && kernel::FindDriver(kernel::DriverServiceName(driver)) == driver) {
            kernel::RequestDriverUnload(driver);
        }
    }
}

void PnpManager::TearDown(DevNode* node, bool surprise) {
    if (!node->built_) {
        return;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo_);
    if (surprise) {
        kernel::SendSystemRequest(top, PnpLocation(IRP_MN_SURPRISE_REMOVAL));
    }
    kernel::SendSystemRequest(top, PnpLocation(IRP_MN_REMOVE_DEVICE));
    std::vector<PDRIVER_OBJECT> drivers;
    drivers.swap(node->drivers_);
    node->built_ = false;
    node->started_ = false;
    ReleaseDrivers(drivers);
}

void PnpManager::Unplug(DevNode* node) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    const InterfaceSnapshot before = SnapshotInterfaces();
    UnplugLocked(node);
    NotifyInterfaces(before);
}

void PnpManager::UnplugLocked(DevNode* node) {
    if (node == nullptr || node->pdo_ == nullptr) {
        return;
    }
    PDEVICE_OBJECT pdo = node->pdo_;
    usb_bus::MarkGone(pdo);
    node->function_->Disconnected();
    if (node->built_) {
        TearDown(node, true);  // the PDO deletes itself on the removal
    } else {
        IoDeleteDevice(pdo);
    }
    {
        std::lock_guard<std::mutex> topology(topologyMutex_);
        ports_.erase({node->hub_, node->port_});
    }
    node->pdo_ = nullptr;
    node->started_ = false;
}

NTSTATUS PnpManager::Stop(DevNode* node) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (node == nullptr || node->pdo_ == nullptr || !node->built_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PDEVICE_OBJECT top = node->Top();
    const kernel::RequestResult query =
        kernel::SendSystemRequest(top, PnpLocation(IRP_MN_QUERY_REMOVE_DEVICE));
    if (!NT_SUCCESS(query.status)) {
        kernel::SendSystemRequest(top, PnpLocation(IRP_MN_CANCEL_REMOVE_DEVICE));
        return query.status;
    }
    const InterfaceSnapshot before = SnapshotInterfaces();
    TearDown(node, false);
    node->problem_ = cm_problem::kNone;
    NotifyInterfaces(before);
    return STATUS_SUCCESS;
}

bool PnpManager::Start(DevNode* node) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (node == nullptr || node->pdo_ == nullptr || node->built_) {
        return node != nullptr && node->started_;
    }
    node->problem_ = cm_problem::kNone;
    node->problemStatus_ = STATUS_SUCCESS;
    const InterfaceSnapshot before = SnapshotInterfaces();
    const bool started = Build(node);
    NotifyInterfaces(before);
    return started;
}

bool PnpManager::Restart(DevNode* node) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (node != nullptr && node->built_ && !NT_SUCCESS(Stop(node))) {
        return false;
    }
    return Start(node);
}

DevNode* PnpManager::Find(std::string_view instancePath) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    auto it = nodes_.find(FoldCase(instancePath));
    return it == nodes_.end() ? nullptr : it->second.get();
}

std::vector<DevNode*> PnpManager::Devices(bool presentOnly) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    std::vector<DevNode*> devices;
    for (auto& node : nodes_) {
        if (!presentOnly || node.second->Present()) {
            devices.push_back(node.second.get());
        }
    }
    return devices;
}

int PnpManager::AddInterfaceListener(const GUID& interfaceClass, InterfaceListener listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_[id] = ListenerRecord{interfaceClass, std::move(listener)};
    return id;
}

void PnpManager::RemoveInterfaceListener(int id) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(id);
}

PnpManager::InterfaceSnapshot PnpManager::SnapshotInterfaces() {
    std::vector<GUID> classes;
    {
        std::lock_guard<std::mutex> lock(listenersMutex_);
        for (const auto& listener : listeners_) {
            classes.push_back(listener.second.interfaceClass);
        }
    }
    InterfaceSnapshot snapshot;
    for (size_t i = 0; i < classes.size(); ++i) {
        bool seen = false;
        for (size_t k = 0; k < i; ++k) {
            seen = seen || memcmp(&classes[k], &classes[i], sizeof(GUID)) == 0;
        }
        if (seen) {
            continue;
        }
        for (const kernel::DeviceInterface& found : kernel::DeviceInterfaces(classes[i], true)) {
            snapshot.emplace_back(found.symbolicLink, found.interfaceClass);
        }
    }
    return snapshot;
}

void PnpManager::NotifyInterfaces(const InterfaceSnapshot& before) {
    const InterfaceSnapshot after = SnapshotInterfaces();
    auto contains = [](const InterfaceSnapshot& list, const std::string& link) {
        for (const auto& entry : list) {
            if (EqualsIgnoreCase(entry.first, link)) {
                return true;
            }
        }
        return false;
    };
    std::vector<DeviceInterfaceChange> changes;
    for (const auto& entry : before) {
        if (!contains(after, entry.first)) {
            changes.push_back(DeviceInterfaceChange{false, entry.second, entry.first});
        }
    }
    for (const auto& entry : after) {
        if (!contains(before, entry.first)) {
            changes.push_back(DeviceInterfaceChange{true, entry.second, entry.first});
        }
    }
    std::vector<ListenerRecord> listeners;
    {
        std::lock_guard<std::mutex> lock(listenersMutex_);
        for (const auto& listener : listeners_) {
            listeners.push_back(listener.second);
        }
    }
    for (const DeviceInterfaceChange& change : changes) {
        for (const ListenerRecord& listener : listeners) {
            if (memcmp(&listener.interfaceClass, &change.interfaceClass, sizeof(GUID)) == 0) {
                listener.listener(change);
            }
        }
    }
}

kernel::RequestResult PnpManager::SendPnp(DevNode* node, UCHAR minorFunction) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (node == nullptr || node->Top() == nullptr) {
        return kernel::RequestResult{STATUS_NO_SUCH_DEVICE, 0};
    }
    return kernel::SendSystemRequest(node->Top(), PnpLocation(minorFunction));
}

kernel::RequestResult PnpManager::SendPower(DevNode* node, UCHAR minorFunction,
                                            POWER_STATE_TYPE type, POWER_STATE state) {
    kernel::KernelEntry entry;
    std::lock_guard<kernel::DispatcherMutex> lock(mutex_);
    if (node == nullptr || node->Top() == nullptr) {
        return kernel::RequestResult{STATUS_NO_SUCH_DEVICE, 0};
    }
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_POWER;
    location.MinorFunction = minorFunction;
    location.Parameters.Power.Type = type;
    location.Parameters.Power.State = state;
    location.Parameters.Power.ShutdownType = PowerActionNone;
    return kernel::SendSystemRequest(node->Top(), location);
}

}  // namespace host
