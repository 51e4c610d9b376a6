#include "driver_requests.h"

#include <cstring>

#include "ampfx_ioctl.h"

namespace {
const char16_t kControlDevicePathW[] = u"\\\\.\\Class#UsbAmpfxSuite&0F1E&00";
}

bool DriverRequests::Send(uint32_t code, void* block, uint32_t inputLength, uint32_t outputLength,
                          uint32_t* bytesReturned) {
    *bytesReturned = 0;
    if (handle_ == DriverLink::kInvalidHandle) {
        handle_ = link_.OpenA(AMPFX_CONTROL_DEVICE_PATH_A);
        if (handle_ == DriverLink::kInvalidHandle)
            return false;
    }
    if (!link_.DeviceIoControl(handle_, code, block, inputLength,
                               outputLength != 0 ? block : nullptr, outputLength, bytesReturned)) {
        link_.Close(handle_);
        handle_ = DriverLink::kInvalidHandle;
        return false;
    }
    return true;
}

int DriverRequests::GetBandGain(uint16_t band, float* gain) {
    AmpfxBandRequest block{1, band, *gain};
    uint32_t bytes = 0;
    if (!Send(IOCTL_AMPFX_EQ_BAND, &block, sizeof block, sizeof block, &bytes) || bytes == 0)
        return 0;
    *gain = block.Gain;
    return 1;
}

int DriverRequests::SetBandGain(uint16_t band, float gain) {
    AmpfxBandRequest block{0, band, gain};
    uint32_t bytes = 0;
    return Send(IOCTL_AMPFX_EQ_BAND, &block, sizeof block, 0, &bytes) ? 1 : 0;
}

int DriverRequests::EqualizerFlag(uint32_t selector, uint32_t* value) {
    AmpfxValueRequest block{selector, *value};
    uint32_t bytes = 0;
    if (!Send(IOCTL_AMPFX_EQ_ENABLE, &block, sizeof block, sizeof block, &bytes))
        return 0;
    if (selector == kAmpfxSelectorGet)
        *value = block.Value;
    return 1;
}

int DriverRequests::NoiseCleanOff() {
    AmpfxValueRequest block{0, 0};
    uint32_t bytes = 0;
    return Send(IOCTL_AMPFX_NOISE_CLEAN, &block, sizeof block, sizeof block, &bytes) ? 1 : 0;
}

int DriverRequests::SetSoundField(uint32_t type) {
    AmpfxValueRequest block{0, type};
    uint32_t bytes = 0;
    return Send(IOCTL_AMPFX_SOUND_FIELD, &block, sizeof block, sizeof block, &bytes) ? 1 : 0;
}

int DriverRequests::GetSoundField(uint32_t* type) {
    AmpfxValueRequest block{1, 0};
    uint32_t bytes = 0;
    if (!Send(IOCTL_AMPFX_SOUND_FIELD, &block, sizeof block, sizeof block, &bytes))
        return 0;
    *type = block.Value;
    return 1;
}

int DriverRequests::SendVirtual71(uint32_t enable, const float distances[8],
                                  const float angles[8]) {
    AmpfxVirtual71Request block{};
    block.Selector = 0;
    block.EnableVirtual7ch1 = enable;
    std::memcpy(block.Virtual7ch1Distance, distances, sizeof block.Virtual7ch1Distance);
    std::memcpy(block.Virtual7ch1Radian, angles, sizeof block.Virtual7ch1Radian);

    const DriverLink::Handle handle = link_.OpenW(kControlDevicePathW);
    if (handle == DriverLink::kInvalidHandle)
        return 0;
    uint32_t bytes = 0;
    const bool ok = link_.DeviceIoControl(handle, IOCTL_AMPFX_VIRTUAL_71, &block, sizeof block,
                                          nullptr, 0, &bytes);
    link_.Close(handle);
    return ok ? 1 : 0;
}
