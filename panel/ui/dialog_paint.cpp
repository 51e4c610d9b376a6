// The four page painters and the piecewise drawing of the level meter and the 3D source.
// Every picture is composed whole from the skin's bitmaps, loaded afresh on each draw, and
// handed to the window in one piece.
#include "audio_control_dlg.h"

namespace {

constexpr Rgb kCurveColor{100, 100, 100};
constexpr uint16_t kPresetLit[5] = {1034, 1037, 1046, 1040, 1049};
constexpr uint16_t kPresetGreyed[5] = {1035, 1038, 1047, 1041, 1050};
constexpr int kPresetY[5] = {130, 187, 242, 299, 357};
constexpr int kTrackMarkerY[5] = {259, 276, 293, 311, 329};
constexpr int kFieldX = 57, kFieldY = 99;

int CurveHeight(int knobTopY) {
    return (311 - knobTopY) * 38 / 85;
}

}  // namespace

bool CQEXAudioControlDlg::LoadSkinBitmap(uint16_t id, Raster* out) {
    std::vector<uint8_t> bytes;
    return skin_ != nullptr && skin_->FindResource(kResourceBitmap, id, &bytes) &&
           DecodeDib(bytes.data(), bytes.size(), out);
}

bool CQEXAudioControlDlg::BitmapSize(uint16_t id, int* width, int* height) {
    Raster bitmap;
    if (!LoadSkinBitmap(id, &bitmap))
        return false;
    *width = bitmap.width();
    *height = bitmap.height();
    return true;
}

void CQEXAudioControlDlg::DrawSkinBitmap(Raster& target, int x, int y, uint16_t id,
                                         bool transparent) {
    Raster bitmap;
    if (!LoadSkinBitmap(id, &bitmap))
        return;
    if (transparent)
        target.BlitKeyed(bitmap, x, y, kBlackKey);
    else
        target.Blit(bitmap, x, y);
}

void CQEXAudioControlDlg::DrawLogoOverlay(Raster& target) {
    std::vector<uint8_t> bytes;
    Raster logo;
    if (system_.OwnModule().FindResource(kResourceBitmap, 133, &bytes) &&
        DecodeDib(bytes.data(), bytes.size(), &logo))
        target.BlitKeyed(logo, 31, 429, kGreenKey);
}

void CQEXAudioControlDlg::Present(const Raster& picture) {
    picture_ = picture;
    shell_.Present(picture_, 0, 0, picture_.width(), picture_.height());
}

bool CQEXAudioControlDlg::OnEraseBackground() {
    RepaintCurrentPage();
    return true;
}

void CQEXAudioControlDlg::RepaintCurrentPage() {
    switch (CurrentPage) {
        case EqualizerPage:
            PaintEqualizerPage();
            break;
        case SoundFieldPage:
            PaintSoundFieldPage();
            break;
        case MicrophonePage:
            PaintMicrophonePage();
            break;
        case SpeakerTestPage:
            PaintSpeakerTestPage();
            break;
        default:
            break;
    }
}

void CQEXAudioControlDlg::PaintEqualizerPage() {
    Raster page;
    if (!LoadSkinBitmap(1042, &page))
        return;
    for (int i = 0; i < 10; ++i)
        DrawSkinBitmap(page, KnobPointers[i]->x, KnobPointers[i]->y, 1036, false);

    // When the flag cannot be read (the device is gone) the last known state stays.
    uint32_t flag = EqDisabled ? 0 : 1;
    if (driver_.EqualizerFlag(1, &flag))
        EqDisabled = flag == 0 ? 1 : 0;
    if (!EqDisabled)
        DrawSkinBitmap(page, 273, 84, static_cast<uint16_t>(EqEnableLit), false);

    switch (EqPressedButton) {
        case 1033:
            DrawSkinBitmap(page, 445, 83, 1033, false);
            break;
        case 1039:
            DrawSkinBitmap(page, 531, 83, 1039, false);
            break;
        case 1045:
            DrawSkinBitmap(page, 187, 82, 1045, false);
            break;
        case 1048:
            DrawSkinBitmap(page, 359, 83, 1048, false);
            break;
        default:
            break;
    }

    if (!EqDisabled) {
        if (EqPreset >= 1 && EqPreset <= 5)
            DrawSkinBitmap(page, 69, kPresetY[EqPreset - 1], kPresetLit[EqPreset - 1], false);
    } else {
        for (int i = 0; i < 5; ++i)
            DrawSkinBitmap(page, 69, kPresetY[i], kPresetGreyed[i], false);
    }

    for (int i = 0; i < 9; ++i)
        DrawEqCurveSegment(i, CurveHeight(KnobPointers[i]->y), CurveHeight(KnobPointers[i + 1]->y),
                           page);

    if (!IsDefaultSkin)
        DrawLogoOverlay(page);
    Present(page);
}

void CQEXAudioControlDlg::DrawEqCurveSegment(int band, int height, int nextHeight, Raster& target) {
    const int left = 286 + 32 * band;
    const int right = 318 + 32 * band;
    int prevX = left, prevY = 173 - height;

    const double k1 = (nextHeight - height) / 1089.0;
    int v = height;
    for (int s = 1; s <= 16; ++s) {
        v = static_cast<int>(height + k1 * s * s);
        target.WideLine(prevX, prevY, left + s, 173 - v, kCurveColor);
        prevX = left + s;
        prevY = 173 - v;
    }
    const double k2 = (v - nextHeight) / 256.0;
    for (int s = -15; s <= 0; ++s) {
        const int w = static_cast<int>(nextHeight + k2 * s * s);
        target.WideLine(prevX, prevY, right + s, 173 - w, kCurveColor);
        prevX = right + s;
        prevY = 173 - w;
    }
}

void CQEXAudioControlDlg::PaintSoundFieldPage() {
    static const uint16_t kBackgrounds[5] = {1081, 1079, 1078, 1080, 1082};
    const uint16_t id =
        SoundFieldType >= 0 && SoundFieldType <= 4 ? kBackgrounds[SoundFieldType] : 1081;
    Raster page;
    if (!LoadSkinBitmap(id, &page))
        return;
    if (!IsDefaultSkin)
        DrawLogoOverlay(page);
    Present(page);
}

void CQEXAudioControlDlg::PaintMicrophonePage() {
    Raster page;
    if (!LoadSkinBitmap(1062, &page))
        return;

    if (CoreAudioAvailable) {
        uint32_t percent = 0;
        if (microphone_.GetMicVolume(CaptureDescription, &percent) == 0)
            MicKnobPosY = 328 - static_cast<int>(percent) * 171 / 100;
    } else {
        uint32_t value = 0, minimum = 0, maximum = 0;
        if (!microphone_.MixerMicControl(0, &value, &minimum, &maximum)) {
            Present(page);
            return;
        }
        // A control whose range is empty cannot place the knob; dividing by it would crash.
        if (maximum == 0 || maximum == minimum)
            return;
        MicKnobPosY = 328 - static_cast<int>(static_cast<int64_t>(value) * 171 /
                                             static_cast<int64_t>(maximum - minimum));
    }
    MicKnobPosX = 584;
    DrawSkinBitmap(page, MicKnobPosX, MicKnobPosY, 1061, false);

    if (CoreAudioAvailable) {
        uint32_t mute = 0;
        if (microphone_.GetMicMute(CaptureDescription, &mute) != 0)
            return;
        MicMute = mute ? 1 : 0;
    } else {
        uint32_t mute = static_cast<uint32_t>(MicMute);
        if (microphone_.MixerMicControl(2, &mute, nullptr, nullptr))
            MicMute = mute ? 1 : 0;
    }
    if (MicMute == 1)
        DrawSkinBitmap(page, 411, 298, 1063, false);

    bool showBoost = true;
    if (!CoreAudioAvailable) {
        uint32_t boost = 0;
        if (!microphone_.MixerMicControl(4, &boost, nullptr, nullptr)) {
            BoostAvailable = 0;
            showBoost = false;
        } else {
            BoostAvailable = 1;
            MicBoost = boost ? 1 : 0;
        }
    }
    if (showBoost && MicBoost)
        DrawSkinBitmap(page, 410, 198, 1059, false);

    if (!CoreAudioAvailable && MicLevel > 0) {
        int drawn = 0;
        for (int x = 132; x <= 325 && drawn < MicLevel; x += 4, ++drawn)
            DrawSkinBitmap(page, x, 322, 1058, false);
    }

    if (!IsDefaultSkin)
        DrawLogoOverlay(page);
    Present(page);
}

void CQEXAudioControlDlg::UpdateMicLevelMeter(const uint8_t* buffer, uint32_t size) {
    if (MicMonitorStopping)
        return;
    uint32_t sum = 0;
    const uint32_t count = size < 400 ? size : 400;
    for (uint32_t i = 0; i < count; ++i)
        sum += buffer[i] >= 128 ? buffer[i] - 128u : 128u - buffer[i];
    MicLevel = static_cast<int>(((sum / 400) * 386u) >> 9);

    if (CoreAudioAvailable) {
        Raster track;
        if (!LoadSkinBitmap(1057, &track))
            return;
        int drawn = 0;
        for (int x = 10; x <= 200 && drawn < MicLevel; x += 4, ++drawn)
            DrawSkinBitmap(track, x, 4, 1058, false);
        picture_.Blit(track, 124, 319);
        shell_.Present(picture_, 124, 319, track.width(), track.height());
    } else {
        PaintMicrophonePage();
    }
}

void CQEXAudioControlDlg::PaintSpeakerTestPage() {
    Raster page;
    if (Virtual71WindowExists()) {
        if (!LoadSkinBitmap(1125, &page))
            return;
        DrawSkinBitmap(page, 397, 85, 1109, false);
        DrawSkinBitmap(page, kFieldX, kFieldY, 1108, false);
        for (int i = 0; i < kSpeakerCount; ++i) {
            const IconCorner corner =
                SpeakerIconCorner(SpeakerLayout[i].angle, SpeakerLayout[i].distance);
            DrawSkinBitmap(page, corner.x, corner.y, static_cast<uint16_t>(1117 + i), true);
        }
        Present(page);
        return;
    }

    if (!LoadSkinBitmap(1023, &page))
        return;
    DrawSkinBitmap(page, 404, TestSource == 0 ? 180 : 197, 1022, false);
    if (TestTrack >= 0 && TestTrack <= 4)
        DrawSkinBitmap(page, 404, kTrackMarkerY[TestTrack], 1022, false);
    FieldBitmap = TestTrack == 3 ? 1026 : 1027;
    if (TestTrack < 3) {
        DrawSkinBitmap(page, kFieldX, kFieldY, static_cast<uint16_t>(FieldBitmap), false);
    } else {
        Raster field;
        if (LoadSkinBitmap(static_cast<uint16_t>(FieldBitmap), &field)) {
            DrawSkinBitmap(field, SourceIconPosX - kFieldX, SourceIconPosY - kFieldY,
                           static_cast<uint16_t>(SourceIcon), true);
            page.Blit(field, kFieldX, kFieldY);
        }
    }
    if (TestPlaying == 0)
        DrawSkinBitmap(page, 38, 394, 1029, false);
    else
        DrawSkinBitmap(page, 327, 394, 1017, false);
    if (!IsDefaultSkin)
        DrawLogoOverlay(page);
    Present(page);
}

void CQEXAudioControlDlg::DrawSourceInField(float x, float y, float z, uint16_t fieldId,
                                            uint16_t iconId) {
    if (shell_.HasUpdateRegion())
        return;
    Raster field, icon;
    if (!LoadSkinBitmap(fieldId, &field) || !LoadSkinBitmap(iconId, &icon))
        return;
    const int W = field.width(), H = field.height(), w = icon.width(), h = icon.height();
    int cx = static_cast<int>((x / 5 + 1) * W * 0.5);
    int cy = static_cast<int>((y / 5 + 1) * H * 0.5);
    if (cx < w / 2)
        cx = w / 2;
    if (cx > w / 2 + W - w)
        cx = w / 2 + W - w;
    if (cy < h / 2)
        cy = h / 2;
    if (cy > h / 2 + H - h)
        cy = h / 2 + H - h;
    FieldOffsetX = cx - w / 2;
    FieldOffsetY = cy - h / 2;
    field.StretchBlitKeyed(icon, FieldOffsetX, FieldOffsetY, static_cast<int>(w - 2 * z),
                           static_cast<int>(h - 2 * z), kBlackKey);
    if (static_cast<int>(z) > 0)
        DrawSkinBitmap(field, 80, 110, 1025, true);
    picture_.Blit(field, kFieldX, kFieldY);
    shell_.Present(picture_, kFieldX, kFieldY, W, H);
    SourceIconPosX = FieldOffsetX + kFieldX;
    SourceIconPosY = FieldOffsetY + kFieldY;
}

void CQEXAudioControlDlg::DrawSourceInFieldAt(float z, uint16_t fieldId, uint16_t iconId) {
    if (shell_.HasUpdateRegion())
        return;
    Raster field, icon;
    if (!LoadSkinBitmap(fieldId, &field) || !LoadSkinBitmap(iconId, &icon))
        return;
    field.StretchBlitKeyed(icon, FieldOffsetX, FieldOffsetY, static_cast<int>(icon.width() - 2 * z),
                           static_cast<int>(icon.height() - 2 * z), kBlackKey);
    if (z > 0)
        DrawSkinBitmap(field, 80, 105, 1025, true);
    picture_.Blit(field, kFieldX, kFieldY);
    shell_.Present(picture_, kFieldX, kFieldY, field.width(), field.height());
    SourceIconPosX = FieldOffsetX + kFieldX;
    SourceIconPosY = FieldOffsetY + kFieldY;
}
