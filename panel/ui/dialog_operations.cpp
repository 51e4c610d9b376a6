// The microphone page's entry, and the test sound, microphone monitor and virtual 7.1 window
// as the lifecycle and the tabs start and stop them.
#include "audio_control_dlg.h"

void CQEXAudioControlDlg::EnterMicrophonePage() {
    CurrentPage = MicrophonePage;
    Dragging = 0;
    uint32_t percent = 0, mute = 0, boost = 0;
    if (CoreAudioAvailable) {
        microphone_.GetMicVolume(CaptureDescription, &percent);
        MicKnobPosX = 584;
        MicKnobPosY = 328 - static_cast<int>(percent) * 171 / 100;
        microphone_.GetMicMute(CaptureDescription, &mute);
        if (microphone_.GetMicBoost(CaptureDescription, &boost) == 0)
            MicBoost = boost ? 1 : 0;
        microphone_.RegisterMicCallbacks(CaptureDescription);
    }
    if (Virtual71WindowExists()) {
        DestroyVirtual71Window();
        SendVirtual71Block(0);
    }
    StopTestSound();
    ReleaseTestSound();
    StartMicMonitor();
    if (CoreAudioAvailable) {
        microphone_.SetMicVolume(CaptureDescription, percent);
        microphone_.SetMicMute(CaptureDescription, mute);
        MicMute = mute ? 1 : 0;
    }
    PaintMicrophonePage();
}

void CQEXAudioControlDlg::UnregisterMicCallbacks() {
    microphone_.UnregisterMicCallbacks();
}

// The wave-in monitor is not part of this build yet: it never runs.
void CQEXAudioControlDlg::StartMicMonitor() {}

void CQEXAudioControlDlg::StopMicMonitor() {
    MicMonitorStopping = 1;
    MicMonitorRunning = 0;
    MicMonitorStopping = 0;
}

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
