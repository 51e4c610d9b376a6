#include "filter_removal.h"

#include <stdio.h>

#include "hardware_table.h"
#include "messages.h"

namespace dovrel {

std::string DeviceInstanceKey(uint16_t productId) {
    char digits[8];
    snprintf(digits, sizeof digits, "%04x", static_cast<unsigned>(productId));
    return std::string(kDeviceInstanceKeyPrefix) + digits + kDeviceInstanceKeySuffix;
}

void RemoveFilterRegistration(Registry& registry, SystemFiles& files) {
    registry.DeleteTree(RegistryHive::LocalMachine, kFilterServiceKey);
    for (size_t i = 0; i < kSupportedHardwareCount; ++i)
        registry.DeleteTree(RegistryHive::LocalMachine,
                            DeviceInstanceKey(kSupportedHardware[i].productId));

    std::string path;
    if (files.SystemDirectory(&path) != kErrorSuccess || path.empty())
        return;
    if (path.back() != '\\' && path.back() != '/')
        path += '\\';
    files.RemoveFile(path + kFilterFileBelowSystem);
}

}  // namespace dovrel
