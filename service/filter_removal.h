// Removal of the filter's registration on request (control code 128, sent by the
// uninstaller): the driver's service key, the device-instance keys of the supported
// products, so that Plug and Play enumerates the devices afresh without the filter, and the
// driver file.
#pragma once

#include <string>

#include "ports.h"

namespace dovrel {

// "SYSTEM\CurrentControlSet\Enum\USB\Vid_0f1e&Pid_xxxx&MI_00" for a product id.
std::string DeviceInstanceKey(uint16_t productId);

// Each deletion is attempted once; a failure does not stop the ones after it.
void RemoveFilterRegistration(Registry& registry, SystemFiles& files);

}  // namespace dovrel
