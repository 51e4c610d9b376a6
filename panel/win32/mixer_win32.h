// The mixer for the panel's microphone operations on systems before Core Audio, over winmm.
// A Mixer is the HMIXER mixerOpen returned.
#pragma once

#include "win32_api.h"

#include "windows_volume_ports.h"

class Win32Mixer : public MixerPorts {
  public:
    uint32_t DeviceCount() override;
    bool Open(uint32_t index, Mixer* mixer) override;
    void Close(Mixer mixer) override;
    bool DestinationByType(Mixer mixer, uint32_t componentType, Line* line) override;
    bool Source(Mixer mixer, const Line& destination, uint32_t index, Line* line) override;
    bool AllControls(Mixer mixer, const Line& line, std::vector<Control>* controls) override;
    bool ControlByType(Mixer mixer, const Line& line, uint32_t type, Control* control) override;
    bool GetValue(Mixer mixer, const Control& control, uint32_t* value) override;
    bool SetValue(Mixer mixer, const Control& control, uint32_t value) override;
};
