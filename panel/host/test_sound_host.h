// The speaker-test page's ports over the simulated machine's user session: the session's
// DirectSound for the test sound, and the virtual 7.1 window as a window of the session's
// desktop, owned by the main dialog, with the progress bars of its dialog template.
#pragma once

#include <map>
#include <string>

#include "host/desktop.h"
#include "host/user_session.h"
#include "raster.h"
#include "test_sound_ports.h"
#include "virtual71_control.h"
#include "virtual71_port.h"

namespace panelhost {

class HostTestSoundPorts : public TestSoundPorts {
  public:
    // `window` gives the main dialog's window when the device is made (the cooperative level
    // is set for it).
    HostTestSoundPorts(host::user::UserSession& session, std::function<host::user::Hwnd()> window)
        : session_(session), window_(std::move(window)) {}
    SoundStatus CreateDevice(std::unique_ptr<SoundDevice>* out) override;
    uint32_t SystemTimeMs() override;
    void Sleep(uint32_t ms) override;

  private:
    host::user::UserSession& session_;
    std::function<host::user::Hwnd()> window_;
};

// The label font of the simulated machine: a fixed 5 by 7 bitmap face on a 6-pixel advance
// (3 for a blank) and 14-pixel lines, whatever face and size were asked for.
struct HostLabelFont {
    static constexpr int kLineHeight = 14;
    static int Advance(char c) { return c == ' ' ? 3 : 6; }
    static int Width(const std::string& text);
    // Draws `text` with its top-left corner at (x, y).
    static void Draw(Raster& target, int x, int y, const std::string& text, Rgb color);
};

class HostVirtual71Window : public Virtual71WindowPort {
  public:
    HostVirtual71Window(host::user::Desktop& desktop, std::function<host::user::Hwnd()> owner,
                        CVirtual71Control& control)
        : desktop_(desktop), owner_(std::move(owner)), control_(control) {}
    ~HostVirtual71Window() override;
    host::user::Hwnd Window() const { return hwnd_; }

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

    struct Bar {
        WindowRect rect{0, 0, 0, 0};
        int low = 0, high = 100, position = 0;
    };
    const std::map<uint16_t, Bar>& Bars() const { return bars_; }

  private:
    host::user::LResult Handle(host::user::Hwnd hwnd, uint32_t message, host::user::WParam w,
                               host::user::LParam l);
    // The last picture the control presented with the bars over it, to the screen.
    void Show();

    host::user::Desktop& desktop_;
    std::function<host::user::Hwnd()> owner_;
    CVirtual71Control& control_;
    host::user::Hwnd hwnd_ = 0;
    std::map<uint16_t, Bar> bars_;
    Raster picture_;
    bool fontMade_ = false;
};

}  // namespace panelhost
