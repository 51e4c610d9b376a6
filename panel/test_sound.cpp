// The speaker-test page's sound: a looping mono wave played as a DirectSound 3D source that
// circles the listener, walks about at random like an insect, or follows the user's drag.
#include <cmath>
#include <cstdio>

#include "audio_control_dlg.h"
#include "panel_texts.h"

namespace {

constexpr uint32_t kTimerMotion = 1;
constexpr float kSourceDistance = 0.01f;
constexpr uint32_t kRestoreRetryMs = 10;
// DirectSound gives a lost buffer back once the panel may play again; should it never do so,
// the panel reports the failure after two seconds rather than hanging its window.
constexpr int kRestoreAttempts = 200;
constexpr int kWalkLeft = 8, kWalkRight = 269, kWalkTop = 8, kWalkBottom = 264;

std::u16string HexStatus(const char16_t* format, SoundStatus status) {
    char number[16];
    std::snprintf(number, sizeof number, "%x", static_cast<unsigned>(status));
    std::u16string text(format);
    const size_t at = text.find(u"%x");
    std::u16string digits(number, number + std::char_traits<char>::length(number));
    return text.replace(at, 2, digits);
}

SoundVector CirclePoint(int track, float t) {
    if (track == 0)
        return {4 * std::sin(t), 0, 4 * std::cos(t)};
    return {4 * std::sin(t), 4 * std::cos(t), 0};
}

}  // namespace

void CQEXAudioControlDlg::SetTestSoundPorts(TestSoundPorts* sound, Virtual71WindowPort* window) {
    soundPorts_ = sound;
    Virtual71Window.SetPort(window);
}

int CQEXAudioControlDlg::Random() {
    RandomState = RandomState * 214013u + 2531011u;
    return static_cast<int>((RandomState >> 16) & 0x7FFF);
}

int CQEXAudioControlDlg::CreateTestSound() {
    ReleaseTestSound();
    SoundStatus status = kDsErrNoDriver;
    if (soundPorts_ != nullptr)
        status = soundPorts_->CreateDevice(&DirectSound);
    if (!SoundFailed(status))
        status = DirectSound->SetCooperativeLevel(kDsCoopPriority);
    std::unique_ptr<SoundBuffer> primary;
    if (!SoundFailed(status)) {
        BufferDescription description;
        description.flags = kDsbCapsPrimaryBuffer;
        status = DirectSound->CreateSoundBuffer(description, &primary);
    }
    if (!SoundFailed(status)) {
        SoundFormat format;
        format.formatTag = kWaveFormatPcm;
        format.channels = 2;
        format.samplesPerSec = 44100;
        format.bitsPerSample = 16;
        format.blockAlign = 4;
        format.avgBytesPerSec = 176400;
        status = primary->SetFormat(format);
        primary.reset();
    }
    if (!SoundFailed(status)) {
        BufferDescription description;
        description.flags = kDsbCapsPrimaryBuffer | kDsbCapsCtrl3D;
        status = DirectSound->CreateSoundBuffer(description, &primary);
    }
    if (!SoundFailed(status))
        status = primary->QueryListener(&Listener);
    primary.reset();
    if (SoundFailed(status)) {
        Listener.reset();
        DirectSound.reset();
        shell_.MessageBox(HexStatus(kTextDirectSoundInit, status), kCaptionSuite, kMbIconError);
        return 0;
    }
    Listener->GetAllParameters(&ListenerParams);
    return 1;
}

int CQEXAudioControlDlg::PlayTestSound() {
    Source3DActive = 0;
    Source3D.reset();
    if (Sound) {
        Sound->Stop();
        Sound->Reset();
        Sound.reset();
    }
    // Until the new sound plays, nothing does.
    TestPlaying = 0;
    shell_.KillTimer(kTimerMotion);

    auto wave = std::make_unique<WaveReader>();
    const std::u16string& path = TestSource == 1 ? BeeFilePath : MusicFilePath;
    if (!wave->Open(system_.OpenFile(path, FileOpen::Read))) {
        shell_.MessageBox(kTextInvalidWave, kCaptionFramework, kMbOk);
        return 0;
    }
    if (wave->Format().channels > 1) {
        shell_.MessageBox(kTextWaveNotMono, kCaptionFramework, kMbOk);
        return 0;
    }
    if (wave->Format().formatTag != kWaveFormatPcm) {
        shell_.MessageBox(kTextWaveNotPcm, kCaptionFramework, kMbOk);
        return 0;
    }
    if (!DirectSound || !Listener)
        return 0;

    const SoundFormat format = wave->Format();
    BufferDescription description;
    description.flags = kDsbCapsCtrl3D | kDsbCapsGlobalFocus;
    description.bufferBytes = wave->Size();
    description.format = &format;
    description.algorithm = kDs3dAlgNoVirtualization;
    std::unique_ptr<SoundBuffer> buffer;
    const SoundStatus created = DirectSound->CreateSoundBuffer(description, &buffer);
    if (SoundFailed(created) || !buffer)
        return 0;
    Sound = std::make_unique<CSound>(std::move(buffer), std::move(wave), description.flags);
    Sound->FillBuffer();
    if (created == kDsNoVirtualization) {
        shell_.MessageBox(kTextNoVirtualization, kCaptionDirectSoundSample, kMbOk);
        return 0;
    }

    if (SoundFailed(Sound->Buffer().Query3DBuffer(&Source3D)) || !Source3D) {
        Source3D.reset();
        shell_.MessageBox(kTextNo3DBuffer, kCaptionFramework, kMbOk);
        return 0;
    }
    Source3D->GetAllParameters(&SourceParams);
    SourceParams.mode = kDs3dModeHeadRelative;
    Source3D->SetAllParameters(SourceParams);
    Sound->Buffer().GetCaps(&SoundCaps);

    Listener->SetRolloffFactor(1.0f);
    Listener->SetDopplerFactor(1.0f);
    Source3DActive = 1;
    Source3D->SetMinDistance(kSourceDistance);
    Source3D->SetMaxDistance(kSourceDistance);

    SoundStatus played = Sound->RestoreBuffer(*soundPorts_, kRestoreRetryMs, kRestoreAttempts);
    if (!SoundFailed(played))
        played = Sound->Play(kDsbPlayLooping);
    if (SoundFailed(played)) {
        shell_.MessageBox(kTextPlayFailed, kCaptionDirectSoundSample, kMbIconError);
        return 0;
    }
    if (TestTrack < 3)
        shell_.SetTimer(kTimerMotion, 0);
    TestPlaying = 1;
    return 1;
}

void CQEXAudioControlDlg::StopTestSound() {
    if (Sound) {
        Sound->Stop();
        Sound->Reset();
    }
    TestPlaying = 0;
    shell_.KillTimer(kTimerMotion);
}

void CQEXAudioControlDlg::ReleaseTestSound() {
    shell_.KillTimer(kTimerMotion);
    Source3D.reset();
    Listener.reset();
    Sound.reset();
    DirectSound.reset();
}

void CQEXAudioControlDlg::SelectTestTrack(int track) {
    if (track == TestTrack)
        return;
    TestTrack = track;
    if (track < 3) {
        if (TestPlaying)
            shell_.SetTimer(kTimerMotion, 0);
        return;
    }
    shell_.KillTimer(kTimerMotion);
    if (!Source3DActive)
        return;
    if (Source3D) {
        Source3D->SetPosition({0, 0, 0});
        Source3D->SetVelocity({0, 0, 0});
    }
    DrawSourceInField(0, 0, 0, static_cast<uint16_t>(FieldBitmap),
                      static_cast<uint16_t>(SourceIcon));
    PaintSpeakerTestPage();
}

void CQEXAudioControlDlg::WalkOneStep() {
    static constexpr int kStepX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    static constexpr int kStepY[8] = {1, 1, 0, -1, -1, -1, 0, 1};
    for (;;) {
        if (WalkStepsLeft <= 0) {
            const int a = Random();
            const int b = Random();
            const int change = (a - b) % 2;
            if (!(change == -1 && WalkDirection == 0))
                WalkDirection = (WalkDirection + change) % 8;
            WalkStepsLeft = Random() % 5;
        }
        const int x = WalkX + kStepX[WalkDirection];
        const int y = WalkY + kStepY[WalkDirection];
        --WalkStepsLeft;
        if (x >= kWalkLeft && x <= kWalkRight && y >= kWalkTop && y <= kWalkBottom) {
            WalkX = x;
            WalkY = y;
            return;
        }
        WalkDirection = (WalkDirection + 3) % 8;
        WalkStepsLeft = Random() % 30;
    }
}

void CQEXAudioControlDlg::MoveTestSource() {
    if (TestTrack == 0 || TestTrack == 1) {
        if (!Source3DActive)
            return;
        const float t = static_cast<float>(soundPorts_ ? soundPorts_->SystemTimeMs() : 0) / 1000.0f;
        const SoundVector position = CirclePoint(TestTrack, t);
        const SoundVector velocity = CirclePoint(TestTrack, t + 0.05f);
        DrawSourceInField(position.x, position.y, position.z, static_cast<uint16_t>(FieldBitmap),
                          static_cast<uint16_t>(SourceIcon));
        if (Source3D) {
            Source3D->SetPosition(position);
            Source3D->SetVelocity(velocity);
        }
    } else if (TestTrack == 2) {
        WalkOneStep();
        FieldOffsetX = WalkX;
        FieldOffsetY = WalkY;
        DrawSourceInFieldAt(0, static_cast<uint16_t>(FieldBitmap),
                            static_cast<uint16_t>(SourceIcon));
        int w = 0, h = 0;
        if (!BitmapSize(static_cast<uint16_t>(FieldBitmap), &w, &h) || w == 0)
            return;
        const SoundVector position = {(2.0f * WalkX / w - 1) * 5, (2.0f * WalkY / w - 1) * 5, 0};
        if (Source3D) {
            Source3D->SetPosition(position);
            Source3D->SetVelocity({0, 0, 0});
        }
    }
}
