// The preset dialog: load, save or delete the ten equalizer knob positions under a name, one
// key per preset below the user's "Software\QEXAudioEQ".
#pragma once

#include <stdint.h>

#include "panel_ports.h"

struct KnobCorner;

class CQEXEQOperatorDlg {
  public:
    enum Mode { Load = 0, Save = 1, Delete = 2 };
    static constexpr int kList = 1000;
    static constexpr int kEdit = 1001;
    static constexpr int kOk = 1;
    static constexpr int kCancel = 2;
    static constexpr int kNotifySelectionChange = 1;  // LBN_SELCHANGE
    static constexpr int kNotifyEditChange = 0x300;   // EN_CHANGE

    CQEXEQOperatorDlg(PanelRegistry& registry, PanelShell& shell, ModalDialogHost& host)
        : registry_(registry), shell_(shell), host_(host) {}

    // Runs the dialog modally from template 1074 of `skin`; `knobs` are the main dialog's ten
    // knob corners, which a load changes. Returns the code the dialog ended with.
    int Run(ResourceModule& skin, int mode, int anchorX, int anchorY, KnobCorner* const* knobs);

    void OnInitDialog(DialogControls& controls);
    void OnCommand(DialogControls& controls, int id, int notification);
    void OnOK(DialogControls& controls);

  private:
    void LoadPreset(DialogControls& controls);
    void SavePreset(DialogControls& controls);
    void DeletePreset(DialogControls& controls);

    PanelRegistry& registry_;
    PanelShell& shell_;
    ModalDialogHost& host_;
    ResourceModule* skin_ = nullptr;
    int mode_ = Load;
    int anchorX_ = 0, anchorY_ = 0;
    KnobCorner* const* knobs_ = nullptr;
};
