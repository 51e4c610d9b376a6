// The 32-bit view of the local-machine registry on a 64-bit Windows: a 32-bit program's keys
// under SOFTWARE live below SOFTWARE\Wow6432Node, which the program itself never names. The
// rest of the hive (SYSTEM, the hardware keys) is shared by both views.
#pragma once

#include <string>
#include <string_view>

#include "host/text.h"

namespace host {

// The key a path below HKEY_LOCAL_MACHINE ("SOFTWARE\Microsoft\...") names for a 32-bit
// program on a 64-bit system.
inline std::string Wow64LocalMachinePath(std::string_view path) {
    constexpr std::string_view kSoftware = "SOFTWARE";
    constexpr std::string_view kNode = "Wow6432Node";
    const bool software = path.size() >= kSoftware.size() &&
                          EqualsIgnoreCase(path.substr(0, kSoftware.size()), kSoftware) &&
                          (path.size() == kSoftware.size() || path[kSoftware.size()] == '\\');
    if (!software)
        return std::string(path);
    std::string_view rest = path.substr(kSoftware.size());
    if (rest.size() > 1) {
        const std::string_view first = rest.substr(1, rest.find('\\', 1) - 1);
        if (EqualsIgnoreCase(first, kNode))
            return std::string(path);  // already the 32-bit view's own name
    }
    return std::string(path.substr(0, kSoftware.size())) + "\\" + std::string(kNode) +
           std::string(rest);
}

}  // namespace host
