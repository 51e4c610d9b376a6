// The speaker-test page's mouse: grabbing and dragging the virtual speakers while the 7.1
// window is open, dragging the test source on the manual tracks, and the page's buttons.
#include "audio_control_dlg.h"
#include "hit_areas.h"

namespace {

constexpr int kFieldLeft = 57, kFieldTop = 99;

// The field's edges for a dragged speaker icon; the values on the edges themselves pass.
int ClampCorner(int value, int low, int high) {
    if (value < low)
        return low + 1;
    if (value > high)
        return high - 1;
    return value;
}

}  // namespace

void CQEXAudioControlDlg::PressOnSpeakerTestPage(int x, int y) {
    if (Virtual71WindowExists()) {
        if (Virtual71Window.HitSpeaker(x, y, true)) {
            const SpeakerPlace& place = SpeakerLayout[SelectedSpeaker];
            const IconCorner c = SpeakerIconCorner(place.angle, place.distance);
            Dragging = 1;
            SourceGrabX = x - c.x;
            SourceGrabY = y - c.y;
        }
        return;
    }
    if (TestTrack != 3 && TestTrack != 4)
        return;
    int w = 0, h = 0;
    if (BitmapSize(static_cast<uint16_t>(SourceIcon), &w, &h) &&
        StrictlyInside(x, y, SourceIconPosX, SourceIconPosY, w, h)) {
        Dragging = 1;
        SourceGrabX = x - SourceIconPosX;
        SourceGrabY = y - SourceIconPosY;
    }
}

void CQEXAudioControlDlg::MoveOnSpeakerTestPage(int x, int y) {
    if (Virtual71WindowExists()) {
        const int cx = ClampCorner(x - SourceGrabX, 57, 329);
        const int cy = ClampCorner(y - SourceGrabY, 99, 368);
        const int mode = Virtual71Window.Virtual71Mode;
        if (mode == 4) {
            SpeakerLayout[SelectedSpeaker] = SpeakerFromCorner(cx, cy);
            SendVirtual71Block(1);
        } else if (mode == 3) {
            const float delta =
                SpeakerFromCorner(cx, cy).angle - SpeakerLayout[SelectedSpeaker].angle;
            for (SpeakerPlace& speaker : SpeakerLayout) {
                speaker.angle += delta;
                if (speaker.angle < 0)
                    speaker.angle += kFullTurn;
                else if (speaker.angle > kFullTurn)
                    speaker.angle -= kFullTurn;
            }
            SendVirtual71Block(1);
        }
        PaintSpeakerTestPage();
        return;
    }
    int W = 0, H = 0, w = 0, h = 0;
    if (!BitmapSize(static_cast<uint16_t>(FieldBitmap), &W, &H) ||
        !BitmapSize(static_cast<uint16_t>(SourceIcon), &w, &h) || W == 0 || H == 0)
        return;
    const int cx = x - SourceGrabX + w / 2 - kFieldLeft;
    const int cy = y - SourceGrabY + h / 2 - kFieldTop;
    const float X = (2.0f * cx / W - 1) * 5;
    const float V = (2.0f * cy / H - 1) * 5;
    DrawSourceInField(X, V, 0, static_cast<uint16_t>(FieldBitmap),
                      static_cast<uint16_t>(SourceIcon));
    if (!Source3D)
        return;
    const SoundVector place = TestTrack == 3 ? SoundVector{X, 0, V} : SoundVector{X, V, 0};
    Source3D->SetPosition(place);
    Source3D->SetVelocity(place);
}

void CQEXAudioControlDlg::ReleaseOnSpeakerTestPage(int x, int y) {
    if (hit::kVirtual71.Holds(x, y)) {
        int originX = 0, originY = 0;
        shell_.WindowOrigin(&originX, &originY);
        Virtual71AnchorX = Virtual71Window.AnchorX = originX + 380;
        Virtual71AnchorY = Virtual71Window.AnchorY = originY + 125;
        if (Virtual71WindowExists())
            Virtual71Window.OnClose();
        else
            Virtual71Window.Create();
        StopTestSound();
        PaintSpeakerTestPage();
    }
    if (Virtual71WindowExists())
        return;

    if (hit::kSources[0].Holds(x, y) && TestSource != 0) {
        TestSource = 0;
        SourceIcon = 1018;
        if (TestPlaying)
            PlayTestSound();
    }
    if (hit::kSources[1].Holds(x, y) && TestSource != 1) {
        TestSource = 1;
        SourceIcon = 1021;
        if (TestPlaying)
            PlayTestSound();
    }
    for (int track = 0; track < 5; ++track)
        if (hit::kTracks[track].Holds(x, y))
            SelectTestTrack(track);

    if (hit::kPlay.Holds(x, y) && !TestPlaying)
        PlayTestSound();
    if (hit::kPause.Holds(x, y) && TestPlaying) {
        if (TestTrack < 3) {
            Raster field;
            if (LoadSkinBitmap(static_cast<uint16_t>(FieldBitmap), &field)) {
                picture_.Blit(field, kFieldLeft, kFieldTop);
                shell_.Present(picture_, kFieldLeft, kFieldTop, field.width(), field.height());
            }
        }
        StopTestSound();
    }
    PaintSpeakerTestPage();
    SeedRandom(system_.TickCount());
}
