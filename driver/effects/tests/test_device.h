// A device for engine tests: the built-in effect record, a fresh equalizer ring and a log of
// the mute requests the gate sends.
#pragma once

#include <stdint.h>

#include <cstring>
#include <vector>

#include "effect_state.h"
#include "equalizer.h"

class TestDevice {
  public:
    TestDevice() {
        InitEffectState(&state);
        ring.assign(kEqRingAllocBytes, 0);
        for (auto& buffer : floats)
            buffer.assign(kEqBlockFrames, 0.0f);
        eq.Ring = ring.data();
        eq.Block = floats[0].data();
        eq.ImaginaryInput = floats[1].data();
        eq.SpectrumReal = floats[2].data();
        eq.SpectrumImaginary = floats[3].data();
        eq.OverlapLeft = floats[4].data();
        eq.OverlapRight = floats[5].data();
        InitEqStream(&eq);
        context.State = &state;
        context.Eq = &eq;
        context.RestartCountdown = &restartCountdown;
        context.SetDeviceMute = &TestDevice::RecordMute;
        context.MuteContext = this;
    }
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    // Every stage off: the state from which a test switches on just what it examines.
    void AllStagesOff() {
        state.EnableAmpfxEQ = 0;
        state.EnableVirtual7ch1 = 0;
        state.EnableNoiseClean = 0;
        state.EnableSoundDRC = 0;
        state.SoundFieldType = 0;
    }

    void Process(std::vector<uint8_t>& bytes) {
        ProcessPlaybackBuffer(&context, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    EffectState state;
    EqStream eq;
    int32_t restartCountdown = 0;
    EffectDeviceContext context;
    std::vector<uint32_t> muteLog;  // 1 = mute, 0 = unmute, in the order sent

  private:
    static void RecordMute(void* self, uint32_t on) {
        static_cast<TestDevice*>(self)->muteLog.push_back(on);
    }

    std::vector<uint8_t> ring;
    std::vector<float> floats[6];
};

// Interleaved samples to transfer bytes and back.
inline std::vector<uint8_t> ToBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

inline std::vector<int16_t> ToSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}
