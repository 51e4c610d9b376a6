// The Windows version the simulated machine runs, and what GetVersionEx tells a program.
#pragma once

#include <stdint.h>

#include <string>

namespace host::user {

struct OsVersion {
    uint32_t major = 6;
    uint32_t minor = 1;
    uint32_t build = 7601;
    uint32_t platformId = 2;  // VER_PLATFORM_WIN32_NT; 1 for Windows 98 and Me
    std::u16string servicePack = u"Service Pack 1";
    uint16_t servicePackMajor = 1;
    uint16_t servicePackMinor = 0;
};

// The release of a major.minor version with its last service pack: 4.10 and 4.90 (Windows 98
// and Me), 5.0, 5.1, 5.2, 6.0, 6.1, 6.2, 6.3 and 10.0. Other pairs keep the numbers with build
// 0 and no service pack.
OsVersion OsVersionFor(uint32_t major, uint32_t minor);

// OSVERSIONINFOW / OSVERSIONINFOEXW as GetVersionEx fills them.
struct OsVersionInfo {
    uint32_t size = 0;  // dwOSVersionInfoSize: 276 (OSVERSIONINFOW) or 284 (OSVERSIONINFOEXW)
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t platformId = 0;
    std::u16string csdVersion;  // at most 127 characters
    // OSVERSIONINFOEXW only.
    uint16_t servicePackMajor = 0;
    uint16_t servicePackMinor = 0;
    uint16_t suiteMask = 0;
    uint8_t productType = 0;  // VER_NT_WORKSTATION = 1
};

constexpr uint32_t kOsVersionInfoSize = 276;
constexpr uint32_t kOsVersionInfoExSize = 284;

// What a program whose manifest has no compatibility section is told: from Windows 8.1 on,
// Windows answers 6.2 build 9200 to such programs. Fails (false, ERROR_INSUFFICIENT_BUFFER)
// unless `info->size` is one of the two record sizes.
bool GetVersionExFor(const OsVersion& machine, OsVersionInfo* info);

}  // namespace host::user
