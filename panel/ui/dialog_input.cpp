// The main dialog's mouse: the cursor over its controls, the tabs and EXIT common to every
// page, and each page's own presses, drags and releases.
#include "audio_control_dlg.h"
#include "eq_knob_scale.h"
#include "eq_preset_table.h"
#include "hit_areas.h"
#include "panel_texts.h"

namespace {
constexpr int kKnobX[10] = {279, 311, 343, 375, 407, 438, 470, 502, 534, 566};
}

bool CQEXAudioControlDlg::OverAnyArea(int x, int y) {
    using namespace hit;
    for (const HitArea& area : {kEqTab, kEfftTab, kMicTab, k3dTab, kExit})
        if (area.Holds(x, y))
            return true;
    switch (CurrentPage) {
        case EqualizerPage:
            for (const HitArea& area : {kLoad, kEnable, kReset, kSave, kDelete})
                if (area.Holds(x, y))
                    return true;
            for (const HitArea& area : kPresets)
                if (area.Holds(x, y))
                    return true;
            for (int i = 0; i < 10; ++i)
                if (StrictlyInside(x, y, KnobPointers[i]->x, KnobPointers[i]->y, 16, 16))
                    return true;
            return false;
        case SoundFieldPage:
            for (const HitArea& area : kSoundFields)
                if (area.Holds(x, y))
                    return true;
            return false;
        case MicrophonePage:
            return StrictlyInside(x, y, MicKnobPosX, MicKnobPosY, 16, 16) || kBoost.Holds(x, y) ||
                   kMute.Holds(x, y);
        case SpeakerTestPage: {
            if (kVirtual71.Holds(x, y) || kPlay.Holds(x, y) || kPause.Holds(x, y))
                return true;
            for (const HitArea& area : kSources)
                if (area.Holds(x, y))
                    return true;
            for (const HitArea& area : kTracks)
                if (area.Holds(x, y))
                    return true;
            if (Virtual71WindowExists()) {
                for (int i = 0; i < kSpeakerCount; ++i) {
                    const IconCorner c =
                        SpeakerIconCorner(SpeakerLayout[i].angle, SpeakerLayout[i].distance);
                    if (x >= c.x && x <= c.x + 25 && y >= c.y && y <= c.y + 25)
                        return true;
                }
            } else if (TestTrack == 3 || TestTrack == 4) {
                int w = 0, h = 0;
                if (BitmapSize(static_cast<uint16_t>(SourceIcon), &w, &h) &&
                    StrictlyInside(x, y, SourceIconPosX, SourceIconPosY, w, h))
                    return true;
            }
            return false;
        }
        default:
            return false;
    }
}

void CQEXAudioControlDlg::OnLButtonDown(int x, int y) {
    if (OverAnyArea(x, y))
        shell_.SetHandCursor();
    if (CurrentPage == EqualizerPage) {
        GrabbedKnob = -1;
        for (int i = 0; i < 10; ++i)
            if (StrictlyInside(x, y, KnobPointers[i]->x, KnobPointers[i]->y, 16, 16)) {
                GrabbedKnob = i;
                break;
            }
        if (GrabbedKnob >= 0 && !EqDisabled) {
            Dragging = 1;
            GrabOffsetY = y - KnobPointers[GrabbedKnob]->y;
        }
        bool button = false;
        if (!EqDisabled) {
            if (hit::kLoad.Holds(x, y))
                EqPressedButton = 1045, button = true;
            else if (hit::kDelete.Holds(x, y))
                EqPressedButton = 1039, button = true;
            else if (hit::kSave.Holds(x, y))
                EqPressedButton = 1033, button = true;
            else if (hit::kReset.Holds(x, y))
                EqPressedButton = 1048, button = true;
        }
        for (const HitArea& area : hit::kPresets)
            button = button || area.Holds(x, y);
        if (hit::kEnable.Holds(x, y))
            button = true;
        if (button)
            PaintEqualizerPage();
    } else if (CurrentPage == MicrophonePage) {
        PressOnMicrophonePage(x, y);
    } else if (CurrentPage == SpeakerTestPage) {
        PressOnSpeakerTestPage(x, y);
    }
}

void CQEXAudioControlDlg::OnLButtonDblClk(int x, int y) {
    if (OverAnyArea(x, y))
        shell_.SetHandCursor();
}

void CQEXAudioControlDlg::OnMouseMove(int x, int y) {
    if (OverAnyArea(x, y))
        shell_.SetHandCursor();
    if (!Dragging)
        return;
    if (CurrentPage == SpeakerTestPage) {
        MoveOnSpeakerTestPage(x, y);
        return;
    }
    if (CurrentPage == EqualizerPage && GrabbedKnob >= 0) {
        const int top = y - GrabOffsetY;
        if (top < kEqKnobTopMin || top > kEqKnobTopMax)
            return;
        EqPreset = 0;
        KnobPointers[GrabbedKnob]->y = top;
        PaintEqualizerPage();
        if (!EqDisabled &&
            !driver_.SetBandGain(static_cast<uint16_t>(GrabbedKnob), EqKnobGain(top)))
            Dragging = 0;
    } else if (CurrentPage == MicrophonePage) {
        MoveOnMicrophonePage(x, y);
    }
}

int CQEXAudioControlDlg::RunPresetDialog(int mode) {
    shell_.CursorPos(&PresetDialogAnchorX, &PresetDialogAnchorY);
    PresetDialogMode = mode;
    if (skin_ == nullptr)
        return 0;
    return PresetDialog.Run(*skin_, mode, PresetDialogAnchorX, PresetDialogAnchorY, KnobPointers);
}

void CQEXAudioControlDlg::ReleaseOnEqualizerPage(int x, int y) {
    constexpr int kIdOk = 1;
    bool hitAny = false;
    if (hit::kEnable.Holds(x, y)) {
        hitAny = true;
        uint32_t value = EqDisabled ? 1 : 0;
        EqDisabled = EqDisabled ? 0 : 1;
        driver_.EqualizerFlag(0, &value);
    }
    if (!EqDisabled && hit::kLoad.Holds(x, y)) {
        hitAny = true;
        EqPressedButton = 1045;
        if (RunPresetDialog(CQEXEQOperatorDlg::Load) == kIdOk) {
            EqPreset = 0;
            for (uint16_t band = 0; band < 10; ++band)
                if (!driver_.SetBandGain(band, EqKnobGain(KnobPointers[band]->y)))
                    break;
        }
    }
    if (!EqDisabled && hit::kDelete.Holds(x, y)) {
        hitAny = true;
        EqPressedButton = 1039;
        RunPresetDialog(CQEXEQOperatorDlg::Delete);
    }
    if (!EqDisabled && hit::kSave.Holds(x, y)) {
        hitAny = true;
        EqPressedButton = 1033;
        RunPresetDialog(CQEXEQOperatorDlg::Save);
    }
    if (!EqDisabled && hit::kReset.Holds(x, y)) {
        hitAny = true;
        EqPressedButton = 1048;
        EqPreset = 0;
        for (int i = 0; i < 10; ++i)
            *KnobPointers[i] = {kKnobX[i], kEqKnobTopZeroDb};
        for (uint16_t band = 0; band < 10; ++band)
            if (!driver_.SetBandGain(band, 1.0f))
                break;
    }
    EqPressedButton = 0;
    if (!EqDisabled) {
        for (int preset = 0; preset < 5; ++preset) {
            if (!hit::kPresets[preset].Holds(x, y))
                continue;
            hitAny = true;
            EqPreset = preset + 1;
            // Every band is sent even when one fails, so the driver holds as much of the
            // preset as it accepted.
            for (uint16_t band = 0; band < 10; ++band) {
                KnobPointers[band]->y = kEqPresets[preset].knobTopY[band];
                driver_.SetBandGain(band, DecibelsToLinearGain(kEqPresets[preset].gainDb[band]));
            }
        }
    }
    if (hitAny)
        PaintEqualizerPage();
    SavePanelSettings();
    Dragging = 0;
    GrabbedKnob = -1;
}

void CQEXAudioControlDlg::ReleaseOnSoundFieldPage(int x, int y) {
    for (int i = 0; i < 5; ++i) {
        if (!hit::kSoundFields[i].Holds(x, y))
            continue;
        const int type = hit::kSoundFieldTypes[i];
        if (type != SoundFieldType) {
            SoundFieldType = type;
            driver_.SetSoundField(static_cast<uint32_t>(type));
            PaintSoundFieldPage();
        }
    }
    SavePanelSettings();
}

void CQEXAudioControlDlg::LeaveCurrentPage() {
    if (CurrentPage == SpeakerTestPage) {
        if (Virtual71WindowExists()) {
            DestroyVirtual71Window();
            SendVirtual71Block(0);
        }
        StopTestSound();
        ReleaseTestSound();
    } else if (CurrentPage == MicrophonePage) {
        StopMicMonitor();
        if (CoreAudioAvailable)
            UnregisterMicCallbacks();
    }
}

void CQEXAudioControlDlg::ReleaseCommon(int x, int y, bool* stop) {
    *stop = false;
    if (hit::kExit.Holds(x, y)) {
        LeaveCurrentPage();
        shell_.ShowWindow(false);
        *stop = true;
        return;
    }
    if (hit::kEqTab.Holds(x, y) && CurrentPage != EqualizerPage) {
        if (CurrentPage == MicrophonePage) {
            StopMicMonitor();
            if (CoreAudioAvailable)
                UnregisterMicCallbacks();
        }
        CurrentPage = EqualizerPage;
        Dragging = 0;
        if (Virtual71WindowExists()) {
            DestroyVirtual71Window();
            SendVirtual71Block(0);
        }
        StopTestSound();
        ReleaseTestSound();
        PaintEqualizerPage();
    }
    if (hit::kEfftTab.Holds(x, y) && CurrentPage != SoundFieldPage) {
        LeaveCurrentPage();
        CurrentPage = SoundFieldPage;
        PaintSoundFieldPage();
    }
    if (hit::kMicTab.Holds(x, y) && CurrentPage != MicrophonePage) {
        EnterMicrophonePage();
    }
    if (hit::k3dTab.Holds(x, y) && CurrentPage != SpeakerTestPage) {
        if (CurrentPage == MicrophonePage)
            StopMicMonitor();
        if (CoreAudioAvailable)
            UnregisterMicCallbacks();
        CurrentPage = SpeakerTestPage;
        Dragging = 0;
        PaintSpeakerTestPage();
        if (!CreateTestSound())
            shell_.MessageBox(kTextTestSoundError, kCaptionFramework, kMbOk);
    }
    Dragging = 0;
}

void CQEXAudioControlDlg::OnLButtonUp(int x, int y) {
    if (OverAnyArea(x, y))
        shell_.SetHandCursor();
    switch (CurrentPage) {
        case EqualizerPage:
            ReleaseOnEqualizerPage(x, y);
            break;
        case SoundFieldPage:
            ReleaseOnSoundFieldPage(x, y);
            break;
        case MicrophonePage: {
            bool stop = false;
            ReleaseOnMicrophonePage(x, y, &stop);
            if (stop)
                return;
            break;
        }
        case SpeakerTestPage:
            ReleaseOnSpeakerTestPage(x, y);
            break;
        default:
            break;
    }
    bool stop = false;
    ReleaseCommon(x, y, &stop);
}
