// The microphone monitor's wave-in over winmm: one device at a time, its messages sent to the
// panel's main window, where the dialog procedure hands them to the dialog.
#pragma once

#include "win32_api.h"

#include <mmsystem.h>

#include "panel_ports.h"

class Win32PanelShell;

class Win32WaveIn : public WaveInPorts {
  public:
    explicit Win32WaveIn(Win32PanelShell& shell) : shell_(shell) {}
    ~Win32WaveIn() override;

    uint32_t DeviceCount() override;
    bool ProductName(uint32_t device, std::u16string* name) override;
    bool Open(uint32_t device, uint32_t samplesPerSecond, uint16_t bitsPerSample,
              uint16_t channels) override;
    bool Queue(int index, uint8_t* data, uint32_t size) override;
    bool Start() override;
    void ResetAndClose() override;
    void Unprepare(int index) override;
    void Beep() override;

  private:
    static constexpr int kBuffers = 2;
    void UnprepareAll();

    Win32PanelShell& shell_;
    HWAVEIN device_ = nullptr;
    // The headers winmm holds while a buffer is queued; they stay in place until unprepared.
    WAVEHDR headers_[kBuffers] = {};
    bool prepared_[kBuffers] = {};
};
