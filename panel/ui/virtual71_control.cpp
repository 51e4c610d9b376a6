#include "virtual71_control.h"

#include <cmath>
#include <cstdio>

#include "audio_control_dlg.h"

namespace {

constexpr uint32_t kTimerRotation = 3;
constexpr uint32_t kRotationPeriodMs = 50;
constexpr double kRotationStep = 0.03490655555555556;  // 2 degrees
constexpr int kBarRange = 160;
constexpr int kBarHeight = 10;
constexpr int kBarTopRow1 = 76, kBarTopRow2 = 106;

}  // namespace

const WindowRect CVirtual71Control::kPlus = {51, 7, 70, 24};
const WindowRect CVirtual71Control::kMinus = {32, 7, 51, 24};
const WindowRect CVirtual71Control::kModes[4] = {
    {88, 4, 124, 26}, {124, 4, 161, 26}, {161, 4, 197, 26}, {197, 4, 234, 26}};
const WindowRect CVirtual71Control::kReset = {0, 32, 37, 54};
// The bar that shows each speaker, speakers in their usual order.
const uint16_t CVirtual71Control::kBarIds[kSpeakerCount] = {1003, 1005, 1004, 1006,
                                                            1008, 1010, 1007, 1009};

bool CVirtual71Control::Create() {
    if (port_ == nullptr || owner_.skin_ == nullptr || owner_.Virtual71Open)
        return false;
    // The platform runs OnInitDialog inside Create, and that already counts the window as
    // existing: it sends the levels it shows.
    owner_.Virtual71Open = true;
    if (!port_->Create(*owner_.skin_, kTemplateId)) {
        owner_.Virtual71Open = false;
        return false;
    }
    return true;
}

void CVirtual71Control::Destroy() {
    if (!owner_.Virtual71Open)
        return;
    owner_.Virtual71Open = false;
    if (port_ != nullptr)
        port_->Destroy();
}

bool CVirtual71Control::OnInitDialog() {
    Raster background;
    Width = owner_.LoadSkinBitmap(1113, &background) ? background.width() : 0;
    int barWidth = (Width - 25) / 4;
    if (barWidth < 0)
        barWidth = 0;
    if (port_ != nullptr)
        port_->CreateLabelFont(u"Arial", 90);
    for (int i = 0; i < kSpeakerCount; ++i) {
        const int column = i % 4;
        const int x = 5 + column * (barWidth + 5);
        const int y = i < 4 ? kBarTopRow1 : kBarTopRow2;
        BarRects[i] = {x, y, x + barWidth, y + kBarHeight};
        LabelRects[i] = {x, y, x, y};
        if (port_ == nullptr)
            continue;
        port_->MoveBar(kBarIds[i], x, y, barWidth, kBarHeight);
        port_->SetBarRange(kBarIds[i], 0, kBarRange);
        port_->SetBarPosition(kBarIds[i],
                              SpeakerBarPosition(SpeakerLevel(owner_.SpeakerLayout[i].distance)));
    }
    if (port_ != nullptr)
        port_->PlaceWindow(AnchorX, AnchorY, Width, kHeight);
    owner_.SendVirtual71Block(1);
    return true;
}

std::string CVirtual71Control::LabelText(int speaker, int position) {
    // A bar never reads 0 for a real level (the lowest is 25); should one, the label shows the
    // floor of a 1 rather than the logarithm of nothing.
    const double ratio = (position > 0 ? position : 1) / 100.0;
    const int db = static_cast<int>(static_cast<float>(20.0 * std::log10(ratio)));
    char text[32];
    std::snprintf(text, sizeof text, "%s%ddB", kSpeakerLabels[speaker], db);
    return text;
}

void CVirtual71Control::OnPaint() {
    if (port_ == nullptr)
        return;
    Raster picture;
    if (!owner_.LoadSkinBitmap(1113, &picture))
        return;
    for (int i = 0; i < kSpeakerCount; ++i) {
        const std::string text = LabelText(i, port_->BarPosition(kBarIds[i]));
        int w = 0, h = 0;
        if (!port_->MeasureText(text, &w, &h))
            continue;
        const WindowRect& bar = BarRects[i];
        LabelRects[i] = {bar.left, bar.top - h, bar.left + w, bar.top};
        port_->DrawText(picture, LabelRects[i], text);
    }
    Raster modes, pressed;
    if (Virtual71Mode >= 1 && Virtual71Mode <= 4 && owner_.LoadSkinBitmap(1115, &modes)) {
        const WindowRect& r = kModes[Virtual71Mode - 1];
        picture.BlitPart(modes, r.left, r.top, 36 * (Virtual71Mode - 1), 0, r.Width(), r.Height());
    }
    if ((PlusPressed || MinusPressed) && owner_.LoadSkinBitmap(1114, &pressed)) {
        if (PlusPressed)
            picture.BlitPart(pressed, kPlus.left, kPlus.top, 19, 0, kPlus.Width(), kPlus.Height());
        if (MinusPressed)
            picture.BlitPart(pressed, kMinus.left, kMinus.top, 0, 0, kMinus.Width(),
                             kMinus.Height());
    }
    if (ResetPressed && owner_.LoadSkinBitmap(1116, &pressed))
        picture.BlitPart(pressed, kReset.left, kReset.top, 0, 2, kReset.Width(), kReset.Height());
    port_->Present(picture, picture.width(), picture.height());
}

bool CVirtual71Control::OnToolbar(int x, int y) const {
    if (kPlus.Holds(x, y) || kMinus.Holds(x, y) || kReset.Holds(x, y))
        return true;
    for (const WindowRect& r : kModes)
        if (r.Holds(x, y))
            return true;
    return false;
}

void CVirtual71Control::OnMouseMove(int x, int y) {
    if (OnToolbar(x, y))
        owner_.shell_.SetHandCursor();
}

void CVirtual71Control::OnLButtonDblClk(int x, int y) {
    OnMouseMove(x, y);
}

void CVirtual71Control::ChangeAllLevels(float stepDb) {
    Virtual71Mode = 0;
    for (SpeakerPlace& speaker : owner_.SpeakerLayout) {
        float db =
            static_cast<float>(4.0 - static_cast<double>(static_cast<uint32_t>(speaker.distance)) *
                                         0.1111111111111111);
        db += stepDb;
        if (db >= 4.0f)
            db = 4.0f;
        else if (db <= -12.0f)
            db = -12.0f;
        speaker.distance = static_cast<int>(252.0f * (db - 4.0f) / -28.0f);
    }
    owner_.SendVirtual71Block(1);
    owner_.PaintSpeakerTestPage();
}

void CVirtual71Control::OnLButtonDown(int x, int y) {
    if (kPlus.Holds(x, y)) {
        owner_.shell_.SetHandCursor();
        ChangeAllLevels(1.0f);
        PlusPressed = 1;
    } else if (kMinus.Holds(x, y)) {
        owner_.shell_.SetHandCursor();
        ChangeAllLevels(-1.0f);
        MinusPressed = 1;
    } else if (kModes[0].Holds(x, y) || kModes[1].Holds(x, y) || kModes[2].Holds(x, y) ||
               kModes[3].Holds(x, y)) {
        owner_.shell_.SetHandCursor();
    } else if (kReset.Holds(x, y)) {
        ResetPressed = 1;
        owner_.shell_.SetHandCursor();
        if (Virtual71Mode == 1 || Virtual71Mode == 2)
            Virtual71Mode = 4;
    }
    if (port_ != nullptr)
        port_->Invalidate(nullptr, true);
}

void CVirtual71Control::OnLButtonUp(int x, int y) {
    PanelShell& shell = owner_.shell_;
    if (kPlus.Holds(x, y) || kMinus.Holds(x, y) || PlusPressed || MinusPressed) {
        shell.SetHandCursor();
    } else if (kModes[1].Holds(x, y) || kModes[0].Holds(x, y)) {
        shell.SetHandCursor();
        Virtual71Mode = kModes[1].Holds(x, y) ? 2 : 1;
        shell.KillTimer(kTimerRotation);
        shell.SetTimer(kTimerRotation, kRotationPeriodMs);
        owner_.PaintSpeakerTestPage();
    } else if (kModes[2].Holds(x, y)) {
        // The rotation timer's next tick sees the new mode and stops itself.
        shell.SetHandCursor();
        Virtual71Mode = 3;
    } else if (kModes[3].Holds(x, y)) {
        shell.SetHandCursor();
        Virtual71Mode = 4;
        owner_.PaintSpeakerTestPage();
    } else if (kReset.Holds(x, y)) {
        shell.SetHandCursor();
        Virtual71Mode = 4;
        owner_.ResetSpeakerLayout();
        owner_.SendVirtual71Block(1);
        owner_.PaintSpeakerTestPage();
    }
    PlusPressed = MinusPressed = ResetPressed = 0;
    if (port_ != nullptr)
        port_->Invalidate(nullptr, true);
}

void CVirtual71Control::OnClose() {
    owner_.SendVirtual71Block(0);
    Destroy();
}

void CVirtual71Control::OnRotationTick() {
    if (!owner_.Virtual71Open || (Virtual71Mode != 1 && Virtual71Mode != 2)) {
        owner_.shell_.KillTimer(kTimerRotation);
        return;
    }
    for (SpeakerPlace& speaker : owner_.SpeakerLayout) {
        if (Virtual71Mode == 2) {
            speaker.angle = static_cast<float>(speaker.angle - kRotationStep);
            if (speaker.angle < 0)
                speaker.angle += kFullTurn;
        } else {
            speaker.angle = static_cast<float>(speaker.angle + kRotationStep);
            if (speaker.angle > kFullTurn)
                speaker.angle -= kFullTurn;
        }
    }
    owner_.SendVirtual71Block(1);
    owner_.PaintSpeakerTestPage();
}

bool CVirtual71Control::HitSpeaker(int x, int y, bool select) {
    for (int i = 0; i < kSpeakerCount; ++i) {
        const SpeakerPlace& place = owner_.SpeakerLayout[i];
        const IconCorner c = SpeakerIconCorner(place.angle, place.distance);
        if (x >= c.x && x < c.x + 26 && y >= c.y && y < c.y + 26) {
            if (select)
                owner_.SelectedSpeaker = i;
            return true;
        }
    }
    return false;
}

void CVirtual71Control::FollowAnchor() {
    if (owner_.Virtual71Open && port_ != nullptr)
        port_->PlaceWindow(AnchorX, AnchorY, Width, kHeight);
}

void CVirtual71Control::FillVirtual71Block(float levels[kSpeakerCount],
                                           float angles[kSpeakerCount]) {
    if (!owner_.Virtual71Open)
        return;
    for (int i = 0; i < kSpeakerCount; ++i) {
        levels[i] = SpeakerLevel(owner_.SpeakerLayout[i].distance);
        angles[i] = owner_.SpeakerLayout[i].angle;
        if (port_ == nullptr)
            continue;
        port_->SetBarPosition(kBarIds[i], SpeakerBarPosition(levels[i]));
        port_->Invalidate(&LabelRects[i], true);
    }
}
