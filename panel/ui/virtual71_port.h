// The virtual 7.1 window as Windows holds it: a popup dialog owned by the main dialog, its
// eight progress bars, and the label font. The logic (CVirtual71Control) composes the window's
// picture in a raster of its own; only the label text is drawn by the platform, with the font
// the logic asked for, into that raster.
#pragma once

#include <stdint.h>

#include <string>

class Raster;
class ResourceModule;

// Left and top inside, right and bottom outside, as Windows' RECT.
struct WindowRect {
    int left, top, right, bottom;
    bool Holds(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

class Virtual71WindowPort {
  public:
    virtual ~Virtual71WindowPort() = default;

    // A modeless popup from dialog template `templateId` of `skin`, owned by the main dialog,
    // shown at once; the platform calls the control's OnInitDialog before this returns.
    virtual bool Create(ResourceModule& skin, uint16_t templateId) = 0;
    virtual void Destroy() = 0;
    // SetWindowPos in screen coordinates, z order unchanged.
    virtual void PlaceWindow(int x, int y, int width, int height) = 0;

    // The template's progress bar `controlId`: moved (window coordinates), ranged, set, read.
    virtual void MoveBar(uint16_t controlId, int x, int y, int width, int height) = 0;
    virtual void SetBarRange(uint16_t controlId, int low, int high) = 0;
    virtual void SetBarPosition(uint16_t controlId, int position) = 0;
    virtual int BarPosition(uint16_t controlId) = 0;

    // InvalidateRect; a null rectangle is the whole window.
    virtual void Invalidate(const WindowRect* rect, bool erase) = 0;
    // The w by h picture to the window at (0, 0).
    virtual void Present(const Raster& picture, int width, int height) = 0;

    // The label font, CreatePointFont-style (`tenthsOfPoint` 90 for 9 points).
    virtual bool CreateLabelFont(const char16_t* face, int tenthsOfPoint) = 0;
    // Size of one line of `text` in the label font.
    virtual bool MeasureText(const std::string& text, int* width, int* height) = 0;
    // `text` centred in `rect` of `target`, one line, transparent background, label font.
    virtual void DrawText(Raster& target, const WindowRect& rect, const std::string& text) = 0;
};
