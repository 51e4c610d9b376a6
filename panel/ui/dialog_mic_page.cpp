// The microphone page: entering it, the gain slider, Mute and Boost, the live level monitor
// and the changes Windows reports from elsewhere.
#include "audio_control_dlg.h"
#include "hit_areas.h"
#include "panel_texts.h"

namespace {
constexpr char16_t kTextNotPlugged0[] = u"The USB Audio Device Not Plug-in!0";
constexpr char16_t kTextNotPlugged1[] = u"The USB Audio Device Not Plug-in!1";
constexpr char16_t kTextNotPlugged2[] = u"The USB Audio Device Not Plug-in!2";
constexpr char16_t kTextNoBoost[] = u"QEX4430 Audio Device do not have boost function!";
constexpr char16_t kTextMemory[] = u"Memory erro!";
constexpr char16_t kTextAudioOpen[] = u"Audio can not be open!";
constexpr int kSliderTop = 157;
constexpr int kSliderBottom = 328;
}  // namespace

void CQEXAudioControlDlg::PlaceMicKnob(uint32_t percent) {
    MicKnobPosX = 584;
    MicKnobPosY = kSliderBottom - static_cast<int>(percent) * 171 / 100;
}

void CQEXAudioControlDlg::EnterMicrophonePage() {
    CurrentPage = MicrophonePage;
    Dragging = 0;
    uint32_t percent = 0, mute = 0, boost = 0;
    if (CoreAudioAvailable) {
        microphone_.GetMicVolume(CaptureDescription, &percent);
        PlaceMicKnob(percent);
        microphone_.GetMicMute(CaptureDescription, &mute);
        boost = static_cast<uint32_t>(MicBoost);
        microphone_.GetMicBoost(CaptureDescription, &boost);
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

void CQEXAudioControlDlg::PressOnMicrophonePage(int x, int y) {
    MicNotifyEnabled = 0;
    if (StrictlyInside(x, y, MicKnobPosX, MicKnobPosY, 16, 16)) {
        Dragging = 1;
        GrabOffsetY = y - MicKnobPosY;
    }
}

void CQEXAudioControlDlg::MoveOnMicrophonePage(int, int y) {
    const int top = y - GrabOffsetY;
    if (top < kSliderTop || top > kSliderBottom)
        return;
    MicKnobPosY = top;
    const uint32_t percent = static_cast<uint32_t>((kSliderBottom - top) * 100 / 171);
    uint32_t value = 0, minimum = 0, maximum = 0;
    const bool read = microphone_.MixerMicControl(0, &value, &minimum, &maximum) != 0;
    if (!read) {
        if (!CoreAudioAvailable) {
            shell_.MessageBox(kTextNotPlugged0, kCaptionFramework, kMbOk);
            Dragging = 0;
            return;
        }
        if (microphone_.SetMicVolume(CaptureDescription, percent) != 0) {
            shell_.MessageBox(kTextNotPlugged1, kCaptionFramework, kMbOk);
            Dragging = 0;
            return;
        }
    }
    uint32_t target = static_cast<uint32_t>(static_cast<uint64_t>(maximum - minimum) *
                                            static_cast<uint32_t>(kSliderBottom - top) / 171);
    if (!microphone_.MixerMicControl(1, &target, nullptr, nullptr)) {
        if (!CoreAudioAvailable) {
            shell_.MessageBox(kTextNotPlugged0, kCaptionFramework, kMbOk);
            Dragging = 0;
            return;
        }
        if (microphone_.SetMicVolume(CaptureDescription, percent) != 0) {
            shell_.MessageBox(kTextNotPlugged1, kCaptionFramework, kMbOk);
            Dragging = 0;
            return;
        }
    }
    PaintMicrophonePage();
}

void CQEXAudioControlDlg::ReleaseOnMicrophonePage(int x, int y, bool* stop) {
    *stop = false;
    MicNotifyEnabled = 1;
    if (hit::kMute.Holds(x, y)) {
        MicMute = MicMute ? 0 : 1;
        if (!CoreAudioAvailable) {
            uint32_t value = static_cast<uint32_t>(MicMute);
            if (!microphone_.MixerMicControl(3, &value, nullptr, nullptr)) {
                shell_.MessageBox(kTextNotPlugged2, kCaptionFramework, kMbOk);
                *stop = true;
                return;
            }
        } else if (microphone_.SetMicMute(CaptureDescription, static_cast<uint32_t>(MicMute)) !=
                   0) {
            *stop = true;
            return;
        }
    }
    if (hit::kBoost.Holds(x, y)) {
        MicBoost = MicBoost ? 0 : 1;
        bool ok;
        if (!CoreAudioAvailable) {
            uint32_t value = static_cast<uint32_t>(MicBoost);
            ok = microphone_.MixerMicControl(5, &value, nullptr, nullptr) != 0;
        } else {
            ok = microphone_.SetMicBoost(CaptureDescription, static_cast<uint32_t>(MicBoost)) == 0;
        }
        if (!ok) {
            MicBoost = 0;
            shell_.MessageBox(kTextNoBoost, kCaptionFramework, kMbOk);
            *stop = true;
            return;
        }
    }
    PaintMicrophonePage();
    SavePanelSettings();
    Dragging = 0;
}

void CQEXAudioControlDlg::OnPanelNotification(uint32_t code) {
    // Windows reports these on its own threads; the panel takes them on its interface
    // thread, so they never race the user's own changes or a repaint.
    if (Dragging || !MicNotifyEnabled || CurrentPage != MicrophonePage)
        return;
    if (code == kNotifyEndpointVolume) {
        uint32_t mute = static_cast<uint32_t>(MicMute);
        microphone_.GetMicMute(CaptureDescription, &mute);
        if (static_cast<int>(mute) == MicMute) {
            uint32_t percent = 0;
            if (microphone_.GetMicVolume(CaptureDescription, &percent) == 0)
                PlaceMicKnob(percent);
        } else {
            MicMute = static_cast<int>(mute);
        }
    } else if (code != kNotifyControlChange) {
        return;
    }
    uint32_t boost = static_cast<uint32_t>(MicBoost);
    if (microphone_.GetMicBoost(CaptureDescription, &boost) == 0)
        MicBoost = boost ? 1 : 0;
    PaintMicrophonePage();
}

void CQEXAudioControlDlg::StartMicMonitor() {
    if (MicMonitorRunning || MicMonitorOpen)
        return;
    uint32_t device = WaveInPorts::kWaveMapper;
    const uint32_t count = waveIn_.DeviceCount();
    for (uint32_t i = 0; i < count; ++i) {
        std::u16string name;
        if (waveIn_.ProductName(i, &name) &&
            (name.find(u"USB Audio Device") != std::u16string::npos ||
             name.find(u"USB Headphone Set") != std::u16string::npos)) {
            device = i;
            break;
        }
    }
    if (!waveIn_.Open(device, 8000, 8, 1)) {
        waveIn_.Beep();
        shell_.MessageBox(kTextAudioOpen, kCaptionFramework, kMbOk);
        return;
    }
    MicMonitorOpen = true;
    for (int i = 0; i < 2; ++i)
        waveIn_.Queue(i, micBuffers_[i], sizeof micBuffers_[i]);
    waveIn_.Start();
}

void CQEXAudioControlDlg::StopMicMonitor() {
    MicMonitorStopping = 1;
    MicMonitorRunning = 0;
    if (MicMonitorOpen) {
        MicMonitorOpen = false;
        waveIn_.ResetAndClose();
    }
}

void CQEXAudioControlDlg::OnWaveInOpen() {
    MicMonitorRunning = 1;
    MicMonitorStopping = 0;
}

void CQEXAudioControlDlg::OnWaveInData(int index, uint32_t bytes) {
    if (index < 0 || index > 1 || MicMonitorStopping)
        return;
    UpdateMicLevelMeter(micBuffers_[index], bytes < 400 ? bytes : 400);
    waveIn_.Queue(index, micBuffers_[index], sizeof micBuffers_[index]);
}

void CQEXAudioControlDlg::OnWaveInClose() {
    waveIn_.Unprepare(0);
    waveIn_.Unprepare(1);
    MicMonitorRunning = 0;
}

void CQEXAudioControlDlg::UnregisterMicCallbacks() {
    microphone_.UnregisterMicCallbacks(CaptureDescription);
}
