// The virtual 7.1 window as the lifecycle and the tabs close it, and the block every change
// sends to the driver.
#include "audio_control_dlg.h"

void CQEXAudioControlDlg::DestroyVirtual71Window() {
    Virtual71Window.Destroy();
}

void CQEXAudioControlDlg::ResetSpeakerLayout() {
    for (int i = 0; i < kSpeakerCount; ++i)
        SpeakerLayout[i] = kDefaultSpeakerLayout[i];
}

int CQEXAudioControlDlg::SendVirtual71Block(uint32_t enable) {
    float levels[kSpeakerCount] = {};
    float angles[kSpeakerCount] = {};
    Virtual71Window.FillVirtual71Block(levels, angles);
    return driver_.SendVirtual71(enable, levels, angles);
}
