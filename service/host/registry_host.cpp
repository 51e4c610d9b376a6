// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT over the machine registry.
#include "host/registry.h"
#include "host_ports.h"

namespace dovrel {

namespace {

std::string Root(RegistryHive hive) {
    return hive == RegistryHive::LocalMachine ? "HKLM\\" : "HKCR\\";
}

class HostRegistryKey : public RegistryKey {
  public:
    HostRegistryKey(host::Registry& registry, std::string path, bool writable)
        : registry_(registry), path_(std::move(path)), writable_(writable) {}

    WinError SetDword(const std::string& name, uint32_t value) override {
        const WinError error = Check(true);
        return error != kErrorSuccess ? error : registry_.SetDword(path_, name, value);
    }

    WinError SetString(const std::string& name, RegistryType type,
                       const std::string& text) override {
        if (type != RegistryType::Sz && type != RegistryType::ExpandSz)
            return kErrorInvalidParameter;
        const WinError error = Check(true);
        return error != kErrorSuccess
                   ? error
                   : registry_.SetString(path_, name, text, static_cast<uint32_t>(type));
    }

    WinError QueryValueType(const std::string& name, RegistryType* type) override {
        const WinError error = Check(false);
        if (error != kErrorSuccess)
            return error;
        const std::optional<host::RegistryValue> value = registry_.GetValue(path_, name);
        if (!value)
            return kErrorFileNotFound;
        *type = static_cast<RegistryType>(value->type);
        return kErrorSuccess;
    }

    WinError DeleteValue(const std::string& name) override {
        const WinError error = Check(true);
        return error != kErrorSuccess ? error : registry_.DeleteValue(path_, name);
    }

  private:
    // A key opened for reading refuses writes; a deleted key refuses everything.
    WinError Check(bool write) const {
        if (!registry_.KeyExists(path_))
            return kErrorKeyDeleted;
        return write && !writable_ ? kErrorAccessDenied : kErrorSuccess;
    }

    host::Registry& registry_;
    std::string path_;
    bool writable_;
};

}  // namespace

HostRegistry::HostRegistry(host::Registry& registry) : registry_(registry) {}

WinError HostRegistry::CreateKey(RegistryHive hive, const std::string& path,
                                 std::unique_ptr<RegistryKey>* key) {
    const std::string full = Root(hive) + path;
    const WinError error = registry_.CreateKey(full);
    if (error != kErrorSuccess)
        return error;
    *key = std::make_unique<HostRegistryKey>(registry_, full, true);
    return kErrorSuccess;
}

WinError HostRegistry::OpenKey(RegistryHive hive, const std::string& path,
                               std::unique_ptr<RegistryKey>* key) {
    const std::string full = Root(hive) + path;
    if (!registry_.KeyExists(full))
        return kErrorFileNotFound;
    *key = std::make_unique<HostRegistryKey>(registry_, full, false);
    return kErrorSuccess;
}

WinError HostRegistry::DeleteTree(RegistryHive hive, const std::string& path) {
    const std::string full = Root(hive) + path;
    const WinError error = registry_.DeleteTree(full);
    std::lock_guard<std::mutex> lock(mutex_);
    deletions_.push_back(Deletion{full, error});
    return error;
}

std::vector<HostRegistry::Deletion> HostRegistry::Deletions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deletions_;
}

}  // namespace dovrel
