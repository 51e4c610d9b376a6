#include "device_discovery.h"

#include "panel_texts.h"

namespace {

constexpr uint16_t kVendorId = 0x0F1E;
constexpr uint16_t kProductIds[] = {0x1517, 0x1527, 0x1607, 0x160B, 0x160D, 0x1613, 0x1616, 0x1617};

constexpr uint32_t kGetNodeInformation = 0x220408;
constexpr uint32_t kGetNodeConnectionInformation = 0x22040C;
constexpr uint32_t kNodeInformationSize = 76;
constexpr uint32_t kConnectionInformationSize = 365;  // fixed part and 30 pipe records
constexpr uint32_t kDescriptionLimit = 260;

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Read32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::u16string PrefixFor(uint16_t vendorId, uint16_t productId) {
    static const char kHex[] = "0123456789ABCDEF";
    std::u16string prefix = u"\\\\?\\USB#VID_";
    for (int shift = 12; shift >= 0; shift -= 4)
        prefix.push_back(static_cast<char16_t>(kHex[(vendorId >> shift) & 0xF]));
    prefix += u"&PID_";
    for (int shift = 12; shift >= 0; shift -= 4)
        prefix.push_back(static_cast<char16_t>(kHex[(productId >> shift) & 0xF]));
    return prefix;
}

char16_t FoldAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

// Case-insensitive comparison of the first `count` characters, as _wcsnicmp does (a string
// shorter than `count` compares its terminating NUL).
bool SameIgnoringCase(const std::u16string& a, const std::u16string& b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const char16_t ca = i < a.size() ? a[i] : u'\0';
        const char16_t cb = i < b.size() ? b[i] : u'\0';
        if (FoldAscii(ca) != FoldAscii(cb))
            return false;
        if (ca == u'\0')
            return true;
    }
    return true;
}

}  // namespace

bool IsPanelSupportedProduct(uint16_t vendorId, uint16_t productId) {
    if (vendorId != kVendorId)
        return false;
    for (uint16_t id : kProductIds)
        if (id == productId)
            return true;
    return false;
}

int DiscoverDevice(DiscoveryPorts& ports, PanelShell& shell, DiscoveredDevice& found) {
    bool foundOne = false;
    if (ports.OpenHubInterfaces()) {
        for (uint32_t index = 0;; ++index) {
            std::u16string path;
            const int detail = ports.HubInterfacePath(index, &path);
            if (detail < 0)
                break;
            if (detail == 0)
                continue;
            const DiscoveryPorts::Handle hub = ports.OpenHub(path);
            if (hub == DiscoveryPorts::kInvalidHandle)
                continue;

            uint8_t node[kNodeInformationSize] = {};
            node[6] = 0;  // a failed request must leave no ports
            ports.HubRequest(hub, kGetNodeInformation, node, sizeof node);
            const uint32_t portCount = node[6];

            for (uint32_t port = 1; port <= portCount; ++port) {
                uint8_t info[kConnectionInformationSize] = {};
                for (int i = 0; i < 4; ++i)
                    info[i] = static_cast<uint8_t>(port >> (8 * i));
                if (!ports.HubRequest(hub, kGetNodeConnectionInformation, info, sizeof info))
                    continue;
                const uint16_t vendorId = Read16(info + 12);
                const uint16_t productId = Read16(info + 14);
                const uint16_t address = Read16(info + 25);
                const uint32_t status = Read32(info + 31);
                if (status != 1 || address == 0 || vendorId != kVendorId)
                    continue;
                if (!IsPanelSupportedProduct(vendorId, productId))
                    continue;
                if (foundOne) {
                    shell.MessageBox(kTextTwoDevices, kCaptionFramework, kMbOk);
                    ports.CloseHub(hub);
                    ports.CloseHubInterfaces();
                    return 0;
                }
                found.DevicePathPrefix = PrefixFor(vendorId, productId);
                foundOne = true;
            }
            ports.CloseHub(hub);
        }
        ports.CloseHubInterfaces();
    }
    return foundOne ? 1 : 0;
}

int MatchDefaultWaveDevices(DiscoveryPorts& ports, const DiscoveredDevice& found,
                            std::u16string& renderDescription, std::u16string& captureDescription) {
    auto describe = [&found](std::u16string& target) {
        return [&found, &target](const DiscoveryPorts::SoundDevice* device) {
            if (device == nullptr || found.DevicePathPrefix.empty())
                return;
            if (SameIgnoringCase(device->interfacePath, found.DevicePathPrefix,
                                 found.DevicePathPrefix.size()))
                target = device->description.substr(0, kDescriptionLimit - 1);
        };
    };
    ports.EnumerateSoundDevices(false, describe(renderDescription));
    ports.EnumerateSoundDevices(true, describe(captureDescription));

    std::u16string waveIn, waveOut;
    if (!ports.WaveInName(&waveIn) || !ports.WaveOutName(&waveOut))
        return 0;
    if (renderDescription.empty() || captureDescription.empty())
        return 0;
    // Wave device names hold at most 31 characters, so the shorter string decides.
    auto matches = [](const std::u16string& name, const std::u16string& description) {
        const size_t count = name.size() < description.size() ? name.size() : description.size();
        return SameIgnoringCase(name, description, count);
    };
    if (!matches(waveIn, captureDescription))
        return 0;
    return matches(waveOut, renderDescription) ? 1 : 0;
}
