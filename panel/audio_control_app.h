// The control panel's application object: elevation, the single instance, the skin, and the
// main dialog created once for the whole run.
#pragma once

#include "panel_ports.h"
#include "ui/audio_control_dlg.h"

class CQEXAudioControlApp {
  public:
    CQEXAudioControlApp(PanelSystem& system, PanelShell& shell, CQEXAudioControlDlg& dialog)
        : system_(system), shell_(shell), dialog_(dialog) {}

    // Start-up; false ends the process (the unelevated first start, a second instance, a
    // missing skin). The platform's message loop runs only after true.
    bool InitInstance();
    // After the message loop: releases the start-up skin library; returns the exit code.
    int ExitInstance(int quitCode);

    ResourceModule* SkinLibrary() const { return skin_; }

  private:
    PanelSystem& system_;
    PanelShell& shell_;
    CQEXAudioControlDlg& dialog_;
    ResourceModule* skin_ = nullptr;
};
