// The panel's main window and the shell around it over Win32: the dialog made from the skin's
// template with a thin dialog procedure that calls CQEXAudioControlDlg's handlers, the colour
// key shape, the composed picture put on the screen, the tray icon, the popup menu, message
// boxes, the cursor and the timers.
#pragma once

#include "win32_api.h"

#include "panel_ports.h"

class CQEXAudioControlDlg;

class Win32PanelShell : public PanelShell {
  public:
    explicit Win32PanelShell(PanelSystem& system) : system_(system) {}
    ~Win32PanelShell() override;

    // The dialog whose handlers the window procedure calls; set before CreateMainDialog.
    void AttachDialog(CQEXAudioControlDlg* dialog) { dialog_ = dialog; }
    HWND Window() const { return window_; }

    bool CreateMainDialog(ResourceModule& skin, uint16_t templateId) override;
    int MessageBox(const std::u16string& text, const char16_t* caption, uint32_t type) override;
    void ShowWindow(bool show) override;
    bool IsWindowVisible() override;
    void CenterWindow() override;
    void PlaceWindow(int x, int y, int width, int height) override;
    void WindowOrigin(int* x, int* y) override;
    void SetTitle(const std::u16string& title) override;
    void SetWindowIcon(ResourceModule& module, uint16_t iconId) override;
    void SetColorKeyShape(const Rgb& key) override;
    void Present(const Raster& picture, int x, int y, int w, int h) override;
    bool HasUpdateRegion() override;
    bool RegisterAudioInterfaceNotifications() override;
    bool NotifyIcon(TrayAction action, ResourceModule& skin, uint16_t iconId,
                    const std::u16string& tip, uint32_t callbackMessage) override;
    void TrackPopupMenu(const PopupMenuItem& menu) override;
    void SetHandCursor() override;
    void CursorPos(int* x, int* y) override;
    void SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void PostQuit(int code) override;
    void PostPanelNotification(uint32_t code) override;

  private:
    static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    // A dialog procedure's answer for messages whose result is not its return value.
    INT_PTR Answer(LRESULT result);

    PanelSystem& system_;
    CQEXAudioControlDlg* dialog_ = nullptr;
    HWND window_ = nullptr;
    HICON bigIcon_ = nullptr, smallIcon_ = nullptr, trayIcon_ = nullptr;
    // The screen copy of the composed picture, kept while its size stays the same.
    HBITMAP dib_ = nullptr;
    void* dibBits_ = nullptr;
    int dibWidth_ = 0, dibHeight_ = 0;
};
