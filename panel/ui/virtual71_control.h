// The virtual 7.1 window: a small skinned popup beside the speaker-test page with a toolbar
// (speakers nearer and farther, four modes, Reset) and a level bar with a dB label for each
// of the eight speakers. The layout it edits belongs to the main dialog; every change goes to
// the driver at once through the main dialog's 7.1 block.
#pragma once

#include <stdint.h>

#include <string>

#include "speaker_layout.h"
#include "virtual71_port.h"

class CQEXAudioControlDlg;

class CVirtual71Control {
  public:
    static constexpr uint16_t kTemplateId = 1110;

    explicit CVirtual71Control(CQEXAudioControlDlg& owner) : owner_(owner) {}

    void SetPort(Virtual71WindowPort* port) { port_ = port; }

    // Creates and shows the window at the anchor; false when the platform could not.
    bool Create();
    // Destroys the window without telling the driver.
    void Destroy();

    // Window messages.
    bool OnInitDialog();
    void OnPaint();
    void OnMouseMove(int x, int y);
    void OnLButtonDblClk(int x, int y);
    void OnLButtonDown(int x, int y);
    void OnLButtonUp(int x, int y);
    void OnClose();

    // Timer 3 on the main dialog: turns the speakers in modes 1 and 2.
    void OnRotationTick();
    // The main window moved: the window follows its anchor, keeping its size.
    void FollowAnchor();

    // The levels and angles of the 7.1 block, and the bars and labels that show them; nothing
    // when the window does not exist.
    void FillVirtual71Block(float levels[kSpeakerCount], float angles[kSpeakerCount]);

    // Whether the point lies on a speaker icon's 26 by 26 box (left and top edges inside),
    // speakers tested in order; with `select` the first one hit becomes `SelectedSpeaker`.
    bool HitSpeaker(int x, int y, bool select);

    // The label text of a bar at `position`: the speaker's label, the dB value, "dB".
    static std::string LabelText(int speaker, int position);

    // The toolbar, in this window's coordinates.
    static const WindowRect kPlus, kMinus, kModes[4], kReset;
    static const uint16_t kBarIds[kSpeakerCount];

    // Where the window's top-left corner goes, in screen coordinates.
    int AnchorX = 0, AnchorY = 0;
    int Virtual71Mode = 4;
    int PlusPressed = 0, MinusPressed = 0, ResetPressed = 0;
    WindowRect BarRects[kSpeakerCount] = {};
    WindowRect LabelRects[kSpeakerCount] = {};
    int Width = 0;
    static constexpr int kHeight = 136;

  private:
    bool OnToolbar(int x, int y) const;
    void ChangeAllLevels(float stepDb);

    CQEXAudioControlDlg& owner_;
    Virtual71WindowPort* port_ = nullptr;
};
