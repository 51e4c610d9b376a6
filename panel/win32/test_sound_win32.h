// The test sound's ports on Windows: DirectSound 3D on the default playback device, the
// multimedia clock and Sleep.
#pragma once

#include <windows.h>

#include "test_sound_ports.h"

class Win32TestSoundPorts : public TestSoundPorts {
  public:
    // `mainDialog` is the window DirectSound's cooperative level is set for.
    explicit Win32TestSoundPorts(HWND mainDialog) : window_(mainDialog) {}
    void SetWindow(HWND mainDialog) { window_ = mainDialog; }

    SoundStatus CreateDevice(std::unique_ptr<SoundDevice>* out) override;
    uint32_t SystemTimeMs() override;
    void Sleep(uint32_t ms) override;

  private:
    HWND window_;
};
