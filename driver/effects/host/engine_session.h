// The effects engine hosted in user mode: one effect record and one device, set up the way
// the driver sets them up after a settings load, so that a buffer processed here comes out
// exactly as the headset would receive it.
#pragma once

#include <stdint.h>

#include <vector>

#include "effect_state.h"
#include "equalizer.h"

struct EngineSettings {
    bool equalizer = true;
    float eqGains[kEqBandCount] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    bool virtual71 = true;
    float distances[kSpeakerCount];
    float angles[kSpeakerCount];
    uint32_t soundField = 0;
    bool drc = false;
    bool noiseClean = false;
    uint8_t hostMute = 0;
    int32_t restartCountdown = 0;

    EngineSettings();  // distances and angles at the settings-load defaults
};

class EngineSession {
  public:
    explicit EngineSession(const EngineSettings& settings);
    ~EngineSession();
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    // One transfer through ProcessPlaybackBuffer.
    void Process(uint8_t* buffer, uint32_t byteLength);

    // Cuts `pcm` into consecutive transfers of `chunkBytes` (the last one shorter) and
    // processes each in place, in order.
    void ProcessInChunks(std::vector<uint8_t>& pcm, uint32_t chunkBytes);

    EffectState& state() { return state_; }
    EqStream& eqStream() { return eq_; }
    int32_t& restartCountdown() { return restartCountdown_; }
    bool soundFieldReady() const { return soundFieldReady_; }
    uint32_t muteRequests() const { return muteRequests_; }
    uint32_t unmuteRequests() const { return unmuteRequests_; }

    // Heap services for the engine's set-up routines (sleep is a real 1 ms sleep).
    static const EffectServices& HeapServices();

  private:
    static void OnSetDeviceMute(void* context, uint32_t on);

    EffectState state_;
    EqStream eq_;
    int32_t restartCountdown_ = 0;
    EffectDeviceContext context_;
    bool soundFieldReady_ = false;
    uint32_t muteRequests_ = 0;
    uint32_t unmuteRequests_ = 0;
};
