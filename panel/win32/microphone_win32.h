// The headset's microphone through Windows. This build does not reach the microphone yet:
// every Core Audio operation answers "no capture endpoint" (1) and the mixer operation fails
// (0), which the pages treat as a microphone they cannot read or set.
#pragma once

#include "panel_ports.h"

class Win32MicrophonePorts : public MicrophonePorts {
  public:
    int GetMicVolume(const std::u16string&, uint32_t*) override { return kNoEndpoint; }
    int SetMicVolume(const std::u16string&, uint32_t) override { return kNoEndpoint; }
    int GetMicMute(const std::u16string&, uint32_t*) override { return kNoEndpoint; }
    int SetMicMute(const std::u16string&, uint32_t) override { return kNoEndpoint; }
    int GetMicBoost(const std::u16string&, uint32_t*) override { return kNoEndpoint; }
    int SetMicBoost(const std::u16string&, uint32_t) override { return kNoEndpoint; }
    int RegisterMicCallbacks(const std::u16string&) override { return kNoEndpoint; }
    int UnregisterMicCallbacks(const std::u16string&) override { return kNoEndpoint; }
    int MixerMicControl(int, uint32_t*, uint32_t*, uint32_t*) override { return 0; }

  private:
    static constexpr int kNoEndpoint = 1;
};
