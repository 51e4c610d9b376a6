#include "virtual71_window_win32.h"

#include <commctrl.h>
#include <windowsx.h>

#include <cstring>
#include <string>
#include <vector>

#include "panel_ports.h"
#include "raster.h"

namespace {

// A top-down 24-bit DIB header for a w by h picture.
BITMAPINFO DibHeader(int w, int h) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

int Stride(int w) {
    return (w * 3 + 3) & ~3;
}

// The raster's rows padded to DIB rows.
std::vector<uint8_t> DibRows(const Raster& picture) {
    const int w = picture.width(), h = picture.height(), stride = Stride(w);
    std::vector<uint8_t> rows(static_cast<size_t>(stride) * h);
    for (int y = 0; y < h; ++y)
        std::memcpy(rows.data() + static_cast<size_t>(y) * stride,
                    picture.bgr() + static_cast<size_t>(y) * w * 3, static_cast<size_t>(w) * 3);
    return rows;
}

}  // namespace

Win32Virtual71Window::Win32Virtual71Window(HWND owner, CVirtual71Control& control)
    : owner_(owner), control_(control) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
}

Win32Virtual71Window::~Win32Virtual71Window() {
    Destroy();
    if (font_ != nullptr)
        DeleteObject(font_);
}

bool Win32Virtual71Window::Create(ResourceModule& skin, uint16_t templateId) {
    std::vector<uint8_t> bytes;
    if (window_ != nullptr || !skin.FindResource(kResourceDialog, templateId, &bytes) ||
        bytes.empty())
        return false;
    // Dialog templates must be DWORD-aligned; a vector of DWORDs is.
    std::vector<DWORD> aligned((bytes.size() + 3) / 4);
    std::memcpy(aligned.data(), bytes.data(), bytes.size());
    const HWND made = CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(aligned.data()), owner_,
        &Win32Virtual71Window::DialogProc, reinterpret_cast<LPARAM>(this));
    if (made == nullptr) {
        window_ = nullptr;
        return false;
    }
    ShowWindow(window_, SW_SHOW);
    return true;
}

void Win32Virtual71Window::Destroy() {
    if (window_ == nullptr)
        return;
    const HWND window = window_;
    window_ = nullptr;
    DestroyWindow(window);
}

void Win32Virtual71Window::PlaceWindow(int x, int y, int width, int height) {
    SetWindowPos(window_, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Virtual71Window::MoveBar(uint16_t id, int x, int y, int width, int height) {
    MoveWindow(GetDlgItem(window_, id), x, y, width, height, TRUE);
}

void Win32Virtual71Window::SetBarRange(uint16_t id, int low, int high) {
    SendDlgItemMessageW(window_, id, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void Win32Virtual71Window::SetBarPosition(uint16_t id, int position) {
    SendDlgItemMessageW(window_, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int Win32Virtual71Window::BarPosition(uint16_t id) {
    return static_cast<int>(SendDlgItemMessageW(window_, id, PBM_GETPOS, 0, 0));
}

void Win32Virtual71Window::Invalidate(const WindowRect* rect, bool erase) {
    if (rect == nullptr) {
        InvalidateRect(window_, nullptr, erase);
        return;
    }
    const RECT r{rect->left, rect->top, rect->right, rect->bottom};
    InvalidateRect(window_, &r, erase);
}

void Win32Virtual71Window::Present(const Raster& picture, int width, int height) {
    const HDC dc = paintDc_ != nullptr ? paintDc_ : GetDC(window_);
    const BITMAPINFO info = DibHeader(picture.width(), picture.height());
    const std::vector<uint8_t> rows = DibRows(picture);
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                      static_cast<UINT>(picture.height()), rows.data(), &info, DIB_RGB_COLORS);
    if (paintDc_ == nullptr)
        ReleaseDC(window_, dc);
}

bool Win32Virtual71Window::CreateLabelFont(const char16_t* face, int tenthsOfPoint) {
    if (font_ != nullptr)
        DeleteObject(font_);
    // As the dialog framework's point-font helper does: tenths of a point at the screen's
    // vertical resolution, as a character height.
    LOGFONTW logFont{};
    const HDC screen = GetDC(nullptr);
    logFont.lfHeight = -MulDiv(GetDeviceCaps(screen, LOGPIXELSY), tenthsOfPoint, 720);
    ReleaseDC(nullptr, screen);
    logFont.lfCharSet = DEFAULT_CHARSET;
    const std::u16string name(face);
    std::memcpy(logFont.lfFaceName, name.c_str(),
                (name.size() < LF_FACESIZE - 1 ? name.size() : LF_FACESIZE - 1) * sizeof(wchar_t));
    font_ = CreateFontIndirectW(&logFont);
    return font_ != nullptr;
}

bool Win32Virtual71Window::MeasureText(const std::string& text, int* width, int* height) {
    const HDC dc = GetDC(window_);
    const HGDIOBJ old =
        SelectObject(dc, font_ != nullptr ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    SIZE size{};
    const BOOL ok = GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(window_, dc);
    *width = size.cx;
    *height = size.cy;
    return ok != FALSE;
}

void Win32Virtual71Window::DrawText(Raster& target, const WindowRect& rect,
                                    const std::string& text) {
    const int w = target.width(), h = target.height(), stride = Stride(w);
    BITMAPINFO info = DibHeader(w, h);
    void* bits = nullptr;
    const HDC dc = CreateCompatibleDC(nullptr);
    const HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib == nullptr || bits == nullptr) {
        DeleteDC(dc);
        return;
    }
    const std::vector<uint8_t> rows = DibRows(target);
    std::memcpy(bits, rows.data(), rows.size());
    const HGDIOBJ oldBitmap = SelectObject(dc, dib);
    const HGDIOBJ oldFont =
        SelectObject(dc, font_ != nullptr ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    RECT r{rect.left, rect.top, rect.right, rect.bottom};
    ::DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r,
                DT_CENTER | DT_SINGLELINE | DT_NOCLIP);
    GdiFlush();
    const uint8_t* p = static_cast<const uint8_t*>(bits);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* px = p + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
            target.Set(x, y, Rgb{px[2], px[1], px[0]});
        }
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    DeleteObject(dib);
    DeleteDC(dc);
}

INT_PTR CALLBACK Win32Virtual71Window::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        reinterpret_cast<Win32Virtual71Window*>(lParam)->window_ = window;
    }
    auto* self = reinterpret_cast<Win32Virtual71Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->window_ != window)
        return FALSE;
    return self->Handle(message, wParam, lParam);
}

INT_PTR Win32Virtual71Window::Handle(UINT message, WPARAM, LPARAM lParam) {
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    switch (message) {
        case WM_INITDIALOG:
            control_.OnInitDialog();
            return TRUE;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            paintDc_ = BeginPaint(window_, &ps);
            control_.OnPaint();
            EndPaint(window_, &ps);
            paintDc_ = nullptr;
            return TRUE;
        }
        case WM_MOUSEMOVE:
            control_.OnMouseMove(x, y);
            return FALSE;
        case WM_LBUTTONDBLCLK:
            control_.OnLButtonDblClk(x, y);
            return FALSE;
        case WM_LBUTTONDOWN:
            control_.OnLButtonDown(x, y);
            return FALSE;
        case WM_LBUTTONUP:
            control_.OnLButtonUp(x, y);
            return FALSE;
        case WM_CLOSE:
            control_.OnClose();
            return TRUE;
        default:
            return FALSE;
    }
}
