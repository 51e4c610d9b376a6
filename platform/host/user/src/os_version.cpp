#include "host/os_version.h"

#include "host/win32_error.h"
#include "host/user_types.h"

namespace host::user {

OsVersion OsVersionFor(uint32_t major, uint32_t minor) {
    struct Release {
        uint32_t major, minor, build, platform;
        const char16_t* servicePack;
        uint16_t spMajor;
    };
    static const Release kReleases[] = {
        {4, 10, 2222, 1, u" A ", 0},
        {4, 90, 3000, 1, u" ", 0},
        {5, 0, 2195, 2, u"Service Pack 4", 4},
        {5, 1, 2600, 2, u"Service Pack 3", 3},
        {5, 2, 3790, 2, u"Service Pack 2", 2},
        {6, 0, 6002, 2, u"Service Pack 2", 2},
        {6, 1, 7601, 2, u"Service Pack 1", 1},
        {6, 2, 9200, 2, u"", 0},
        {6, 3, 9600, 2, u"", 0},
        {10, 0, 19045, 2, u"", 0},
    };
    for (const Release& release : kReleases) {
        if (release.major == major && release.minor == minor) {
            return OsVersion{release.major,
                             release.minor,
                             release.build,
                             release.platform,
                             release.servicePack,
                             release.spMajor,
                             0};
        }
    }
    return OsVersion{major, minor, 0, 2, u"", 0, 0};
}

bool GetVersionExFor(const OsVersion& machine, OsVersionInfo* info) {
    if (info->size != kOsVersionInfoSize && info->size != kOsVersionInfoExSize) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    OsVersion seen = machine;
    const bool afterEight = machine.major > 6 || (machine.major == 6 && machine.minor > 2);
    if (afterEight) {
        seen = OsVersionFor(6, 2);
    }
    const uint32_t size = info->size;
    *info = OsVersionInfo{};
    info->size = size;
    info->major = seen.major;
    info->minor = seen.minor;
    info->build = seen.build;
    info->platformId = seen.platformId;
    info->csdVersion = seen.servicePack.substr(0, 127);
    if (size == kOsVersionInfoExSize) {
        info->servicePackMajor = seen.servicePackMajor;
        info->servicePackMinor = seen.servicePackMinor;
        info->suiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS
        info->productType = 1;     // VER_NT_WORKSTATION
    }
    return true;
}

}  // namespace host::user
