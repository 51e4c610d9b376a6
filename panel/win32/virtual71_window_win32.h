// The virtual 7.1 window on Windows: a modeless dialog from the skin's template, owned by the
// main dialog, with common-control progress bars; its dialog procedure hands every message
// the control handles to `CVirtual71Control`.
#pragma once

#include <windows.h>

#include "virtual71_control.h"

class Win32Virtual71Window : public Virtual71WindowPort {
  public:
    // `owner` is the main dialog; `control` the main dialog's 7.1 window object.
    Win32Virtual71Window(HWND owner, CVirtual71Control& control);
    ~Win32Virtual71Window() override;
    void SetOwner(HWND owner) { owner_ = owner; }
    HWND Window() const { return window_; }

    bool Create(ResourceModule& skin, uint16_t templateId) override;
    void Destroy() override;
    void PlaceWindow(int x, int y, int width, int height) override;
    void MoveBar(uint16_t controlId, int x, int y, int width, int height) override;
    void SetBarRange(uint16_t controlId, int low, int high) override;
    void SetBarPosition(uint16_t controlId, int position) override;
    int BarPosition(uint16_t controlId) override;
    void Invalidate(const WindowRect* rect, bool erase) override;
    void Present(const Raster& picture, int width, int height) override;
    bool CreateLabelFont(const char16_t* face, int tenthsOfPoint) override;
    bool MeasureText(const std::string& text, int* width, int* height) override;
    void DrawText(Raster& target, const WindowRect& rect, const std::string& text) override;

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

    HWND owner_;
    CVirtual71Control& control_;
    HWND window_ = nullptr;
    HFONT font_ = nullptr;
    HDC paintDc_ = nullptr;  // the window's DC while WM_PAINT runs
};
