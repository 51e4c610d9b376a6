// The microphone page's entry, and the test sound, microphone monitor and virtual 7.1 window
// as the lifecycle and the tabs start and stop them.
#include "audio_control_dlg.h"

namespace {
constexpr uint32_t kTimerMotion = 1;
}

// The DirectSound test sound is not part of this build yet: it cannot be created, which the
// 3D tab reports.
int CQEXAudioControlDlg::CreateTestSound() {
    return 0;
}

void CQEXAudioControlDlg::StopTestSound() {
    TestPlaying = 0;
    shell_.KillTimer(kTimerMotion);
}

void CQEXAudioControlDlg::ReleaseTestSound() {
    shell_.KillTimer(kTimerMotion);
}

void CQEXAudioControlDlg::DestroyVirtual71Window() {
    Virtual71Open = false;
}

void CQEXAudioControlDlg::ResetSpeakerLayout() {
    for (int i = 0; i < kSpeakerCount; ++i)
        SpeakerLayout[i] = kDefaultSpeakerLayout[i];
}

int CQEXAudioControlDlg::SendVirtual71Block(uint32_t enable) {
    float levels[kSpeakerCount] = {};
    float angles[kSpeakerCount] = {};
    if (Virtual71WindowExists()) {
        for (int i = 0; i < kSpeakerCount; ++i) {
            levels[i] = SpeakerLevel(SpeakerLayout[i].distance);
            angles[i] = SpeakerLayout[i].angle;
        }
    }
    return driver_.SendVirtual71(enable, levels, angles);
}
