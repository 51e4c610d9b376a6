// The skin's modal dialogs over Win32: DialogBoxIndirectParamW on the skin's template, owned
// by the panel's main window, with a dialog procedure that calls the panel's handlers.
#pragma once

#include "win32_api.h"

#include "panel_ports.h"

class Win32PanelShell;

class Win32ModalDialogs : public ModalDialogHost {
  public:
    explicit Win32ModalDialogs(Win32PanelShell& shell) : shell_(shell) {}
    int RunModal(ResourceModule& skin, uint16_t templateId, const Handlers& handlers) override;

  private:
    Win32PanelShell& shell_;
};
