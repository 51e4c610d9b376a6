#include "memory_ports.h"

#include <algorithm>
#include <optional>

#include "text.h"

namespace dovrel {

namespace {

constexpr WinError kErrorInvalidHandle = 6;
constexpr WinError kErrorTimeout = 1460;
constexpr WinError kErrorInvalidServiceControl = 1052;
constexpr WinError kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kScManagerCreateService = 0x0002;
constexpr uint32_t kServiceAcceptPauseContinue = 0x2;
constexpr uint32_t kServiceAcceptShutdown = 0x4;
constexpr uint32_t kServiceAcceptParamChange = 0x8;
constexpr uint32_t kServiceAcceptNetBindChange = 0x10;

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool IsAtOrBelow(const std::string& path, const std::string& ancestor) {
    return path == ancestor ||
           (path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
            path[ancestor.size()] == '\\');
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Devices

void MemoryDevice::SetMultiString(DeviceProperty property,
                                  const std::vector<std::string>& strings) {
    properties[property] = Property{RegistryType::MultiSz, JoinMultiString(strings)};
}

void MemoryDevice::SetRaw(DeviceProperty property, RegistryType type, std::vector<uint8_t> data) {
    properties[property] = Property{type, std::move(data)};
}

std::vector<std::string> MemoryDevice::MultiString(DeviceProperty property) const {
    auto it = properties.find(property);
    if (it == properties.end())
        return {};
    return SplitMultiString(it->second.data.data(), it->second.data.size());
}

namespace {

class MemoryDeviceInfoSet : public DeviceInfoSet {
  public:
    MemoryDeviceInfoSet(MemoryDeviceManager& owner, std::vector<MemoryDevice*> devices)
        : owner_(owner), devices_(std::move(devices)), params_(devices_.size()) {
        ++owner_.setsOpen;
    }
    ~MemoryDeviceInfoSet() override { --owner_.setsOpen; }

    WinError EnumDeviceInfo(uint32_t index, DeviceInfo* device) override {
        if (index >= devices_.size())
            return kErrorNoMoreItems;
        device->index = index;
        return kErrorSuccess;
    }

    WinError GetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                       RegistryType* type, uint8_t* buffer, uint32_t bufferSize,
                                       uint32_t* requiredSize) override {
        MemoryDevice* d = At(device);
        if (d == nullptr)
            return kErrorInvalidParameter;
        auto failure = d->readErrors.find(property);
        if (failure != d->readErrors.end() && failure->second != kErrorSuccess)
            return failure->second;
        auto it = d->properties.find(property);
        if (it == d->properties.end())
            return kErrorInvalidData;
        const uint32_t size = static_cast<uint32_t>(it->second.data.size());
        if (type != nullptr)
            *type = it->second.type;
        if (requiredSize != nullptr)
            *requiredSize = size;
        if (bufferSize < size || (size != 0 && buffer == nullptr))
            return kErrorInsufficientBuffer;
        std::copy(it->second.data.begin(), it->second.data.end(), buffer);
        return kErrorSuccess;
    }

    WinError SetDeviceRegistryProperty(DeviceInfo device, DeviceProperty property,
                                       const uint8_t* data, uint32_t size) override {
        MemoryDevice* d = At(device);
        if (d == nullptr)
            return kErrorInvalidParameter;
        if (d->writeError != kErrorSuccess)
            return d->writeError;
        if (size == 0) {  // as in SetupAPI: no data deletes the property
            d->properties.erase(property);
            return kErrorSuccess;
        }
        if (data == nullptr)
            return kErrorInvalidParameter;
        d->properties[property] =
            MemoryDevice::Property{RegistryType::MultiSz, std::vector<uint8_t>(data, data + size)};
        return kErrorSuccess;
    }

    WinError SetPropertyChangeParams(DeviceInfo device,
                                     const PropertyChangeParams& params) override {
        MemoryDevice* d = At(device);
        if (d == nullptr)
            return kErrorInvalidParameter;
        if (d->setParamsError != kErrorSuccess)
            return d->setParamsError;
        params_[device.index] = params;
        return kErrorSuccess;
    }

    WinError CallPropertyChangeInstaller(DeviceInfo device) override {
        MemoryDevice* d = At(device);
        if (d == nullptr || !params_[device.index])
            return kErrorInvalidParameter;
        const PropertyChangeParams params = *params_[device.index];
        d->installerCalls.push_back(params);
        switch (params.stateChange) {
            case DeviceStateChange::Stop:
                if (d->stopError != kErrorSuccess)
                    return d->stopError;
                d->state = MemoryDevice::State::Stopped;
                return kErrorSuccess;
            case DeviceStateChange::Start:
                if (d->startError != kErrorSuccess)
                    return d->startError;
                d->state = MemoryDevice::State::Started;
                d->startedWithFilters.push_back(d->MultiString(DeviceProperty::LowerFilters));
                return kErrorSuccess;
            default:
                return kErrorInvalidParameter;
        }
    }

    WinError GetDeviceInstallParams(DeviceInfo device, DeviceInstallParams* params) override {
        MemoryDevice* d = At(device);
        if (d == nullptr)
            return kErrorInvalidParameter;
        if (d->installParamsError != kErrorSuccess)
            return d->installParamsError;
        *params = DeviceInstallParams{};
        return kErrorSuccess;
    }

  private:
    MemoryDevice* At(DeviceInfo device) {
        return device.index < devices_.size() ? devices_[device.index] : nullptr;
    }

    MemoryDeviceManager& owner_;
    std::vector<MemoryDevice*> devices_;
    std::vector<std::optional<PropertyChangeParams>> params_;
};

bool SameGuid(const Guid& a, const Guid& b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::equal(a.data4, a.data4 + 8, b.data4);
}

}  // namespace

MemoryDevice& MemoryDeviceManager::AddDevice(const std::string& instanceId,
                                             const std::vector<std::string>& hardwareIds,
                                             const std::vector<std::string>* lowerFilters) {
    devices.push_back(std::make_unique<MemoryDevice>());
    MemoryDevice& device = *devices.back();
    device.instanceId = instanceId;
    device.SetMultiString(DeviceProperty::HardwareId, hardwareIds);
    if (lowerFilters != nullptr)
        device.SetMultiString(DeviceProperty::LowerFilters, *lowerFilters);
    return device;
}

WinError MemoryDeviceManager::GetPresentInterfaceDevices(const Guid& interfaceClass,
                                                         std::unique_ptr<DeviceInfoSet>* set) {
    if (getSetError != kErrorSuccess)
        return getSetError;
    std::vector<MemoryDevice*> members;
    if (SameGuid(interfaceClass, kKsCategoryAudio)) {
        for (const auto& device : devices) {
            if (device->present && device->audioInterface)
                members.push_back(device.get());
        }
    }
    ++setsCreated;
    *set = std::make_unique<MemoryDeviceInfoSet>(*this, std::move(members));
    return kErrorSuccess;
}

// ---------------------------------------------------------------------------------------
// Registry

class MemoryRegistryKey : public RegistryKey {
  public:
    MemoryRegistryKey(MemoryRegistry& registry, RegistryHive hive, std::string lowerPath,
                      uint64_t id, bool writable)
        : registry_(registry),
          hive_(hive),
          lowerPath_(std::move(lowerPath)),
          id_(id),
          writable_(writable) {}

    WinError SetDword(const std::string& name, uint32_t value) override {
        MemoryRegistry::Value v;
        v.name = name;
        v.type = RegistryType::Dword;
        v.dword = value;
        return Store(v);
    }

    WinError SetString(const std::string& name, RegistryType type,
                       const std::string& text) override {
        if (type != RegistryType::Sz && type != RegistryType::ExpandSz)
            return kErrorInvalidParameter;
        MemoryRegistry::Value v;
        v.name = name;
        v.type = type;
        v.text = text;
        return Store(v);
    }

    WinError QueryValueType(const std::string& name, RegistryType* type) override {
        std::lock_guard<std::recursive_mutex> lock(registry_.mutex_);
        MemoryRegistry::Key* key = nullptr;
        const WinError error = Resolve(false, &key);
        if (error != kErrorSuccess)
            return error;
        auto it = key->values.find(Lower(name));
        if (it == key->values.end())
            return kErrorFileNotFound;
        *type = it->second.type;
        return kErrorSuccess;
    }

    WinError DeleteValue(const std::string& name) override {
        std::lock_guard<std::recursive_mutex> lock(registry_.mutex_);
        MemoryRegistry::Key* key = nullptr;
        const WinError error = Resolve(true, &key);
        if (error != kErrorSuccess)
            return error;
        return key->values.erase(Lower(name)) != 0 ? kErrorSuccess : kErrorFileNotFound;
    }

  private:
    WinError Resolve(bool write, MemoryRegistry::Key** key) {
        *key = registry_.Find(hive_, lowerPath_, id_);
        if (*key == nullptr)
            return kErrorKeyDeleted;
        if ((write && !writable_) || registry_.IsDenied(hive_, lowerPath_))
            return kErrorAccessDenied;
        return kErrorSuccess;
    }

    WinError Store(const MemoryRegistry::Value& value) {
        std::lock_guard<std::recursive_mutex> lock(registry_.mutex_);
        MemoryRegistry::Key* key = nullptr;
        const WinError error = Resolve(true, &key);
        if (error != kErrorSuccess)
            return error;
        key->values[Lower(value.name)] = value;
        return kErrorSuccess;
    }

    MemoryRegistry& registry_;
    RegistryHive hive_;
    std::string lowerPath_;
    uint64_t id_;
    bool writable_;
};

WinError MemoryRegistry::CreateKey(RegistryHive hive, const std::string& path,
                                   std::unique_ptr<RegistryKey>* key) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::string lowerPath = Lower(path);
    if (path.empty() || path.front() == '\\')
        return kErrorInvalidParameter;
    if (IsDenied(hive, lowerPath))
        return kErrorAccessDenied;
    for (size_t end = 0; end != std::string::npos;) {
        end = path.find('\\', end + 1);
        const std::string prefix = path.substr(0, end);
        Key& k = keys_[KeyId{hive, Lower(prefix)}];
        if (k.id == 0) {
            k.id = nextId_++;
            k.path = prefix;
        }
    }
    const Key& created = keys_[KeyId{hive, lowerPath}];
    *key = std::make_unique<MemoryRegistryKey>(*this, hive, lowerPath, created.id, true);
    return kErrorSuccess;
}

WinError MemoryRegistry::OpenKey(RegistryHive hive, const std::string& path,
                                 std::unique_ptr<RegistryKey>* key) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::string lowerPath = Lower(path);
    auto it = keys_.find(KeyId{hive, lowerPath});
    if (it == keys_.end())
        return kErrorFileNotFound;
    if (IsDenied(hive, lowerPath))
        return kErrorAccessDenied;
    *key = std::make_unique<MemoryRegistryKey>(*this, hive, lowerPath, it->second.id, false);
    return kErrorSuccess;
}

WinError MemoryRegistry::DeleteTree(RegistryHive hive, const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    deleteTreeCalls.push_back((hive == RegistryHive::LocalMachine ? "HKLM\\" : "HKCR\\") + path);
    const std::string lowerPath = Lower(path);
    if (keys_.find(KeyId{hive, lowerPath}) == keys_.end())
        return kErrorFileNotFound;
    for (const KeyId& d : denied_) {
        if (d.first == hive &&
            (IsAtOrBelow(d.second, lowerPath) || IsAtOrBelow(lowerPath, d.second)))
            return kErrorAccessDenied;
    }
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (it->first.first == hive && IsAtOrBelow(it->first.second, lowerPath))
            it = keys_.erase(it);
        else
            ++it;
    }
    return kErrorSuccess;
}

bool MemoryRegistry::KeyExists(RegistryHive hive, const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return keys_.count(KeyId{hive, Lower(path)}) != 0;
}

MemoryRegistry::Value MemoryRegistry::GetValue(RegistryHive hive, const std::string& path,
                                               const std::string& name) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto key = keys_.find(KeyId{hive, Lower(path)});
    if (key == keys_.end())
        return Value{};
    auto value = key->second.values.find(Lower(name));
    return value == key->second.values.end() ? Value{} : value->second;
}

std::vector<std::string> MemoryRegistry::ValueNames(RegistryHive hive,
                                                    const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string> names;
    auto key = keys_.find(KeyId{hive, Lower(path)});
    if (key != keys_.end()) {
        for (const auto& value : key->second.values)
            names.push_back(value.second.name);
    }
    return names;
}

std::vector<std::string> MemoryRegistry::KeyPaths(RegistryHive hive) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string> paths;
    for (const auto& key : keys_) {
        if (key.first.first == hive)
            paths.push_back(key.second.path);
    }
    return paths;
}

void MemoryRegistry::Deny(RegistryHive hive, const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    denied_.insert(KeyId{hive, Lower(path)});
}

bool MemoryRegistry::IsDenied(RegistryHive hive, const std::string& lowerPath) const {
    for (const KeyId& d : denied_) {
        if (d.first == hive && IsAtOrBelow(lowerPath, d.second))
            return true;
    }
    return false;
}

MemoryRegistry::Key* MemoryRegistry::Find(RegistryHive hive, const std::string& lowerPath,
                                          uint64_t id) {
    auto it = keys_.find(KeyId{hive, lowerPath});
    return (it != keys_.end() && it->second.id == id) ? &it->second : nullptr;
}

// ---------------------------------------------------------------------------------------
// Service control manager

namespace {

class MemoryServiceHandle : public ServiceHandle {
  public:
    MemoryServiceHandle(MemoryServiceManager& manager, std::string name, uint32_t access)
        : manager_(manager), name_(std::move(name)), access_(access) {}

    WinError Control(uint32_t code) override {
        manager_.controlsSent.push_back(code);
        MemoryService* service = manager_.Find(name_);
        if (service == nullptr)
            return kErrorInvalidHandle;
        if (code == kServiceControlStop && (access_ & kServiceStop) == 0)
            return kErrorAccessDenied;
        if (service->state == kServiceStopped)
            return kErrorServiceNotActive;
        if (code == kServiceControlStop && manager_.slowStop) {
            service->state = kServiceStopPending;
        } else if (code == kServiceControlStop) {
            service->state = kServiceStopped;
            if (service->markedForDelete)
                manager_.services.erase(Lower(name_));
        }
        return kErrorSuccess;
    }

    WinError Delete() override {
        MemoryService* service = manager_.Find(name_);
        if (service == nullptr)
            return kErrorInvalidHandle;
        if ((access_ & kDelete) == 0)
            return kErrorAccessDenied;
        if (manager_.deleteError != kErrorSuccess)
            return manager_.deleteError;
        if (service->markedForDelete)
            return kErrorServiceMarkedForDelete;
        ++manager_.deletes;
        if (service->state == kServiceStopped)
            manager_.services.erase(Lower(name_));
        else
            service->markedForDelete = true;
        return kErrorSuccess;
    }

  private:
    MemoryServiceManager& manager_;
    std::string name_;
    uint32_t access_;
};

class MemoryServiceDatabase : public ServiceDatabase {
  public:
    MemoryServiceDatabase(MemoryServiceManager& manager, uint32_t access)
        : manager_(manager), access_(access) {}

    WinError Open(const std::string& name, uint32_t access,
                  std::unique_ptr<ServiceHandle>* service) override {
        if (manager_.openServiceError != kErrorSuccess)
            return manager_.openServiceError;
        if (manager_.Find(name) == nullptr)
            return kErrorServiceDoesNotExist;
        if ((access & manager_.deniedServiceAccess) != 0)
            return kErrorAccessDenied;
        *service = std::make_unique<MemoryServiceHandle>(manager_, name, access);
        return kErrorSuccess;
    }

    WinError Create(const ServiceConfig& config, uint32_t access,
                    std::unique_ptr<ServiceHandle>* service) override {
        if ((access_ & kScManagerCreateService) == 0)
            return kErrorAccessDenied;
        if (manager_.createError != kErrorSuccess)
            return manager_.createError;
        if (MemoryService* existing = manager_.Find(config.serviceName))
            return existing->markedForDelete ? kErrorServiceMarkedForDelete : kErrorServiceExists;
        MemoryService& created = manager_.services[Lower(config.serviceName)];
        created.config = config;
        *service = std::make_unique<MemoryServiceHandle>(manager_, config.serviceName, access);
        return kErrorSuccess;
    }

  private:
    MemoryServiceManager& manager_;
    uint32_t access_;
};

}  // namespace

WinError MemoryServiceManager::Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) {
    managerAccess.push_back(access);
    WinError result = openManagerError;
    if (!openManagerResults.empty()) {
        result = openManagerResults.front();
        openManagerResults.pop_front();
    }
    if (result != kErrorSuccess)
        return result;
    *database = std::make_unique<MemoryServiceDatabase>(*this, access);
    return kErrorSuccess;
}

MemoryService* MemoryServiceManager::Find(const std::string& name) {
    auto it = services.find(Lower(name));
    return it == services.end() ? nullptr : &it->second;
}

WinError MemoryServiceDispatcher::Run(const std::string& name, ServiceCallbacks* callbacks) {
    if (connectError != kErrorSuccess)
        return connectError;
    runName = name;
    callbacks_ = callbacks;
    callbacks->ServiceMain();
    callbacks_ = nullptr;
    return kErrorSuccess;
}

WinError MemoryServiceDispatcher::SetStatus(const ServiceStatus& status) {
    if (callbacks_ == nullptr)
        return kErrorInvalidHandle;
    statuses.push_back(status);
    return kErrorSuccess;
}

WinError MemoryServiceDispatcher::SendControl(uint32_t control) {
    if (callbacks_ == nullptr || statuses.empty() ||
        statuses.back().currentState == kServiceStopped)
        return kErrorServiceNotActive;
    const ServiceStatus& now = statuses.back();
    if (now.currentState == kServiceStartPending || now.currentState == kServiceStopPending)
        return kErrorServiceCannotAcceptCtrl;
    uint32_t needs = 0;
    switch (control) {
        case kServiceControlStop:
            needs = kServiceAcceptStop;
            break;
        case kServiceControlPause:
        case kServiceControlContinue:
            needs = kServiceAcceptPauseContinue;
            break;
        case kServiceControlInterrogate:
            break;
        case kServiceControlShutdown:
            needs = kServiceAcceptShutdown;
            break;
        case 6:
            needs = kServiceAcceptParamChange;
            break;
        case 7:
        case 8:
        case 9:
        case 10:
            needs = kServiceAcceptNetBindChange;
            break;
        default:
            if (control < 128 || control > 255)
                return kErrorInvalidParameter;
    }
    if ((now.controlsAccepted & needs) != needs)
        return kErrorInvalidServiceControl;
    return callbacks_->HandleControl(control);
}

std::vector<uint32_t> MemoryServiceDispatcher::States() const {
    std::vector<uint32_t> states;
    for (const ServiceStatus& status : statuses)
        states.push_back(status.currentState);
    return states;
}

// ---------------------------------------------------------------------------------------
// Event log, message boxes, message loop, files

void MemoryEventLog::Report(const std::string& source, EventType type, const std::string& text) {
    entries.push_back(Entry{source, type, text});
}

std::vector<std::string> MemoryEventLog::Texts() const {
    std::vector<std::string> texts;
    for (const Entry& entry : entries)
        texts.push_back(entry.text);
    return texts;
}

void MemoryMessageBoxes::Show(const std::string& text, const std::string& caption) {
    shown.push_back(Box{text, caption});
}

std::vector<std::string> MemoryMessageBoxes::Texts() const {
    std::vector<std::string> texts;
    for (const Box& box : shown)
        texts.push_back(box.text);
    return texts;
}

WinError MemoryMessageLoop::Run(uint32_t period, const std::function<void()>& onTick) {
    periodMs = period;
    running = true;
    WinError result = kErrorSuccess;
    for (;;) {
        if (DrainPosted())
            break;
        if (ticks >= maxTicks) {
            result = kErrorTimeout;
            break;
        }
        ++ticks;
        if (beforeTick)
            beforeTick(ticks);
        if (DrainPosted())
            break;
        onTick();
    }
    running = false;
    return result;
}

void MemoryMessageLoop::Post(std::function<void()> work) {
    if (!work)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(work));
}

void MemoryMessageLoop::PostQuit() {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(nullptr);
}

bool MemoryMessageLoop::DrainPosted() {
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (posted_.empty())
                return false;
            next = std::move(posted_.front());
            posted_.pop_front();
        }
        if (!next)
            return true;
        next();
    }
}

WinError MemorySystemFiles::SystemDirectory(std::string* path) {
    if (systemDirectoryError != kErrorSuccess)
        return systemDirectoryError;
    *path = systemDirectory;
    return kErrorSuccess;
}

WinError MemorySystemFiles::ModulePath(std::string* path) {
    *path = modulePath;
    return kErrorSuccess;
}

WinError MemorySystemFiles::RemoveFile(const std::string& path) {
    removeAttempts.push_back(path);
    const std::string lower = Lower(path);
    if (locked.count(lower) != 0)
        return kErrorAccessDenied;
    return files.erase(lower) != 0 ? kErrorSuccess : kErrorFileNotFound;
}

bool MemorySystemFiles::Exists(const std::string& path) const {
    return files.count(Lower(path)) != 0;
}

}  // namespace dovrel
