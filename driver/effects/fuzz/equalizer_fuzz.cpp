// Random transfers, band gains (hostile ones included), curve rebuilds, stream-start resets
// and switches of the equalizer through the processing entry. After every step the ring
// positions must be in step and the bytes past the ring untouched; a switched-off equalizer
// must hand the transfer back as it came.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "effect_state.h"
#include "equalizer.h"

namespace {

constexpr uint8_t kCanary = 0xA5;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "equalizer_fuzz: %s\n", what);
        std::abort();
    }
}

struct FuzzDevice {
    FuzzDevice() : ring(kEqRingAllocBytes) {
        InitEffectState(&state);
        state.EnableVirtual7ch1 = 0;  // the equalizer alone
        eq.Ring = ring.data();
        float** buffers[] = {&eq.Block,        &eq.ImaginaryInput,
                             &eq.SpectrumReal, &eq.SpectrumImaginary,
                             &eq.OverlapLeft,  &eq.OverlapRight};
        for (size_t i = 0; i < 6; ++i) {
            floats[i].resize(kEqBlockFrames);
            *buffers[i] = floats[i].data();
        }
        InitEqStream(&eq);
        // The allocation's tail is never the ring's: mark it to see any stray write.
        std::memset(ring.data() + kEqRingBytes, kCanary, kEqRingAllocBytes - kEqRingBytes);
        RebuildEqCurve(&state);
        context.State = &state;
        context.Eq = &eq;
        context.RestartCountdown = &restartCountdown;
        context.SetDeviceMute = [](void*, uint32_t) {};
        context.MuteContext = nullptr;
    }

    void CheckInvariants() const {
        Check(eq.ReadPosition < kEqRingBytes && eq.WritePosition < kEqRingBytes &&
                  eq.ProcessPosition < kEqRingBytes,
              "position outside the ring");
        Check((eq.WritePosition + kEqRingBytes - eq.ReadPosition) % kEqRingBytes == kEqDelayBytes,
              "read position not 15360 bytes behind the write position");
        Check((eq.WritePosition + kEqRingBytes - eq.ProcessPosition) % kEqRingBytes < kEqBlockBytes,
              "process position a block or more behind");
        Check(eq.ProcessPosition % 4 == 0, "process position not on a frame");
        for (uint32_t i = kEqRingBytes; i < kEqRingAllocBytes; ++i)
            Check(ring[i] == kCanary, "write past the ring");
    }

    EffectState state;
    EqStream eq;
    int32_t restartCountdown = 0;
    EffectDeviceContext context;
    std::vector<uint8_t> ring;
    std::vector<float> floats[6];
};

float FuzzGain(FuzzedDataProvider& data) {
    static const float kHostile[] = {
        0.0f,
        -0.0f,
        std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(),
        std::numeric_limits<float>::denorm_min(),
        1e30f,
        4.0f,
        0.25f,
        1.0f,
    };
    switch (data.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            return data.PickValueInArray(kHostile);
        case 1:
            return data.ConsumeFloatingPointInRange<float>(-8.0f, 8.0f);
        default: {
            const uint32_t bits = data.ConsumeIntegral<uint32_t>();
            float gain;
            std::memcpy(&gain, &bits, sizeof gain);
            return gain;
        }
    }
}

uint32_t FuzzLength(FuzzedDataProvider& data) {
    static const uint32_t kSizes[] = {0,     1,     2,     3,     4,     7,    192,
                                      1920,  3840,  4095,  4096,  4097,  5000, 8192,
                                      30719, 30720, 30721, 40000, 65536, 70001};
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return data.PickValueInArray(kSizes);
        case 1:
            return data.ConsumeIntegralInRange<uint32_t>(0, 16);
        case 2:
            return data.ConsumeIntegralInRange<uint32_t>(0, 8192);
        default:
            return data.ConsumeIntegralInRange<uint32_t>(0, 100000);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    FuzzDevice device;
    std::vector<uint8_t> transfer;
    for (int step = 0; step < 64 && data.remaining_bytes() > 0; ++step) {
        switch (data.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
            case 1: {
                transfer.resize(FuzzLength(data));
                const uint8_t seed = data.ConsumeIntegral<uint8_t>();
                for (size_t i = 0; i < transfer.size(); ++i)
                    transfer[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
                // An exact-size copy, so that any access past the transfer is caught.
                std::vector<uint8_t> buffer(transfer);
                ProcessPlaybackBuffer(&device.context, buffer.data(),
                                      static_cast<uint32_t>(buffer.size()));
                if (device.state.EnableAmpfxEQ == 0)
                    Check(buffer == transfer, "switched-off equalizer changed the transfer");
                break;
            }
            case 2:
                UpdateEqCurveSegment(&device.state, data.ConsumeIntegralInRange<uint32_t>(0, 11),
                                     FuzzGain(data));
                break;
            case 3:
                for (float& gain : device.state.AmpfxEQGain)
                    gain = FuzzGain(data);
                RebuildEqCurve(&device.state);
                break;
            case 4:
                device.state.EnableAmpfxEQ =
                    data.ConsumeBool() ? 0 : data.ConsumeIntegral<uint32_t>();
                break;
            default:
                ResetEqStreamForStreamStart(&device.eq);
                break;
        }
        device.CheckInvariants();
    }
    return 0;
}
