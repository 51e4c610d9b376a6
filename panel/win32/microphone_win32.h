// The headset's microphone through Windows: the panel's WindowsVolume over Core Audio and the
// mixer. The change notifications Windows delivers on its own threads go to the main window's
// queue, so the page is redrawn on the interface thread.
#pragma once

#include "audio_control_dlg.h"
#include "core_audio_win32.h"
#include "mixer_win32.h"
#include "panel_ports.h"
#include "windows_volume.h"

class Win32Microphone {
  public:
    explicit Win32Microphone(PanelShell& shell) : volume_(coreAudio_, mixer_) {
        volume_.SetNotifyHandlers([&shell] { shell.PostPanelNotification(kNotifyEndpointVolume); },
                                  [&shell] { shell.PostPanelNotification(kNotifyControlChange); });
    }
    MicrophonePorts& Ports() { return volume_; }

  private:
    Win32CoreAudio coreAudio_;
    Win32Mixer mixer_;
    WindowsVolume volume_;
};
