#include "test_sound_host.h"

#include <algorithm>
#include <cstring>

#include "host/direct_sound.h"
#include "panel_ports.h"

namespace panelhost {

namespace user = host::user;

void SleepOnMachineClock(uint32_t ms);  // sleep_host.cpp

namespace {

// --- DirectSound --------------------------------------------------------------------------------

user::DsVector ToDs(const SoundVector& v) {
    return {v.x, v.y, v.z};
}
SoundVector FromDs(const user::DsVector& v) {
    return {v.x, v.y, v.z};
}

user::DsFormat ToDs(const SoundFormat& f) {
    user::DsFormat d;
    d.formatTag = f.formatTag;
    d.channels = f.channels;
    d.samplesPerSec = f.samplesPerSec;
    d.avgBytesPerSec = f.avgBytesPerSec;
    d.blockAlign = f.blockAlign;
    d.bitsPerSample = f.bitsPerSample;
    d.extra = f.extra;
    return d;
}

class HostSound3DBuffer : public Sound3DBuffer {
  public:
    explicit HostSound3DBuffer(std::unique_ptr<user::Ds3DBuffer> b) : b_(std::move(b)) {}
    SoundStatus GetAllParameters(Buffer3DParameters* p) override {
        user::Ds3DBufferParameters d;
        const SoundStatus status = b_->GetAllParameters(&d);
        if (!SoundFailed(status)) {
            p->position = FromDs(d.position);
            p->velocity = FromDs(d.velocity);
            p->insideConeAngle = d.insideConeAngle;
            p->outsideConeAngle = d.outsideConeAngle;
            p->coneOrientation = FromDs(d.coneOrientation);
            p->coneOutsideVolume = d.coneOutsideVolume;
            p->minDistance = d.minDistance;
            p->maxDistance = d.maxDistance;
            p->mode = d.mode;
        }
        return status;
    }
    SoundStatus SetAllParameters(const Buffer3DParameters& p) override {
        user::Ds3DBufferParameters d;
        d.position = ToDs(p.position);
        d.velocity = ToDs(p.velocity);
        d.insideConeAngle = p.insideConeAngle;
        d.outsideConeAngle = p.outsideConeAngle;
        d.coneOrientation = ToDs(p.coneOrientation);
        d.coneOutsideVolume = p.coneOutsideVolume;
        d.minDistance = p.minDistance;
        d.maxDistance = p.maxDistance;
        d.mode = p.mode;
        return b_->SetAllParameters(d);
    }
    SoundStatus SetPosition(const SoundVector& v) override { return b_->SetPosition(ToDs(v)); }
    SoundStatus SetVelocity(const SoundVector& v) override { return b_->SetVelocity(ToDs(v)); }
    SoundStatus SetMinDistance(float d) override { return b_->SetMinDistance(d); }
    SoundStatus SetMaxDistance(float d) override { return b_->SetMaxDistance(d); }

  private:
    std::unique_ptr<user::Ds3DBuffer> b_;
};

class HostSoundListener : public SoundListener {
  public:
    explicit HostSoundListener(std::unique_ptr<user::Ds3DListener> l) : l_(std::move(l)) {}
    SoundStatus GetAllParameters(ListenerParameters* p) override {
        user::Ds3DListenerParameters d;
        const SoundStatus status = l_->GetAllParameters(&d);
        if (!SoundFailed(status)) {
            p->position = FromDs(d.position);
            p->velocity = FromDs(d.velocity);
            p->orientFront = FromDs(d.orientFront);
            p->orientTop = FromDs(d.orientTop);
            p->distanceFactor = d.distanceFactor;
            p->rolloffFactor = d.rolloffFactor;
            p->dopplerFactor = d.dopplerFactor;
        }
        return status;
    }
    SoundStatus SetRolloffFactor(float f) override { return l_->SetRolloffFactor(f); }
    SoundStatus SetDopplerFactor(float f) override { return l_->SetDopplerFactor(f); }

  private:
    std::unique_ptr<user::Ds3DListener> l_;
};

class HostSoundBuffer : public SoundBuffer {
  public:
    explicit HostSoundBuffer(std::unique_ptr<user::DsBuffer> b) : b_(std::move(b)) {}
    SoundStatus SetFormat(const SoundFormat& f) override { return b_->SetFormat(ToDs(f)); }
    SoundStatus GetCaps(BufferCaps* caps) override {
        return b_->GetCaps(&caps->flags, &caps->bufferBytes);
    }
    SoundStatus GetStatus(uint32_t* status) override { return b_->GetStatus(status); }
    SoundStatus Restore() override { return b_->Restore(); }
    SoundStatus Lock(uint8_t** data, uint32_t* size) override { return b_->Lock(data, size); }
    SoundStatus Unlock(uint32_t written) override { return b_->Unlock(written); }
    SoundStatus Play(uint32_t flags) override { return b_->Play(flags); }
    SoundStatus Stop() override { return b_->Stop(); }
    SoundStatus SetCurrentPosition(uint32_t p) override { return b_->SetCurrentPosition(p); }
    SoundStatus Query3DBuffer(std::unique_ptr<Sound3DBuffer>* out) override {
        std::unique_ptr<user::Ds3DBuffer> b;
        const SoundStatus status = b_->Query3DBuffer(&b);
        if (!SoundFailed(status))
            *out = std::make_unique<HostSound3DBuffer>(std::move(b));
        return status;
    }
    SoundStatus QueryListener(std::unique_ptr<SoundListener>* out) override {
        std::unique_ptr<user::Ds3DListener> l;
        const SoundStatus status = b_->QueryListener(&l);
        if (!SoundFailed(status))
            *out = std::make_unique<HostSoundListener>(std::move(l));
        return status;
    }

  private:
    std::unique_ptr<user::DsBuffer> b_;
};

class HostSoundDevice : public SoundDevice {
  public:
    HostSoundDevice(std::unique_ptr<user::DsDevice> d, user::Hwnd window)
        : d_(std::move(d)), window_(window) {}
    SoundStatus SetCooperativeLevel(uint32_t level) override {
        return d_->SetCooperativeLevel(window_, level);
    }
    SoundStatus CreateSoundBuffer(const BufferDescription& description,
                                  std::unique_ptr<SoundBuffer>* out) override {
        user::DsBufferDescription d;
        d.flags = description.flags;
        d.bufferBytes = description.bufferBytes;
        user::DsFormat format;
        if (description.format != nullptr) {
            format = ToDs(*description.format);
            d.format = &format;
        }
        d.algorithm.data1 = description.algorithm.data1;
        d.algorithm.data2 = description.algorithm.data2;
        d.algorithm.data3 = description.algorithm.data3;
        std::memcpy(d.algorithm.data4, description.algorithm.data4, sizeof d.algorithm.data4);
        std::unique_ptr<user::DsBuffer> b;
        const SoundStatus status = d_->CreateSoundBuffer(d, &b);
        if (!SoundFailed(status) && b)
            *out = std::make_unique<HostSoundBuffer>(std::move(b));
        return status;
    }

  private:
    std::unique_ptr<user::DsDevice> d_;
    user::Hwnd window_;
};

// --- the 7.1 window's template ------------------------------------------------------------------

struct TemplateControl {
    uint16_t id;
    std::u16string className;
    int x, y, cx, cy;  // dialog units
};

struct ParsedTemplate {
    uint32_t style = 0, exStyle = 0;
    int cx = 0, cy = 0;
    std::vector<TemplateControl> controls;
};

// A DLGTEMPLATEEX (the form the skins carry) with its items; false for anything malformed.
bool ParseTemplate(const std::vector<uint8_t>& b, ParsedTemplate* out) {
    size_t at = 0;
    auto need = [&](size_t n) { return at + n <= b.size(); };
    auto u16 = [&]() {
        const uint16_t v = static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
        at += 2;
        return v;
    };
    auto u32 = [&]() {
        const uint32_t v =
            b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
        at += 4;
        return v;
    };
    // A string or an ordinal (0xFFFF then the number); the text of a string.
    auto szOrOrd = [&](std::u16string* text) {
        if (!need(2))
            return false;
        if (b[at] == 0xFF && b[at + 1] == 0xFF) {
            if (!need(4))
                return false;
            at += 4;
            return true;
        }
        for (;;) {
            if (!need(2))
                return false;
            const char16_t c = u16();
            if (c == 0)
                return true;
            if (text != nullptr)
                text->push_back(c);
        }
    };
    if (!need(26) || b[0] != 1 || b[1] != 0 || b[2] != 0xFF || b[3] != 0xFF)
        return false;
    at = 8;
    out->exStyle = u32();
    out->style = u32();
    const uint16_t items = u16();
    u16();
    u16();
    out->cx = static_cast<int16_t>(u16());
    out->cy = static_cast<int16_t>(u16());
    if (!szOrOrd(nullptr) || !szOrOrd(nullptr) || !szOrOrd(nullptr))
        return false;
    constexpr uint32_t kDsSetFont = 0x40;
    if (out->style & kDsSetFont) {
        if (!need(6))
            return false;
        at += 6;
        if (!szOrOrd(nullptr))
            return false;
    }
    for (uint16_t i = 0; i < items; ++i) {
        at = (at + 3) & ~size_t{3};
        if (!need(24))
            return false;
        TemplateControl c;
        at += 12;  // help id, extended style, style
        c.x = static_cast<int16_t>(u16());
        c.y = static_cast<int16_t>(u16());
        c.cx = static_cast<int16_t>(u16());
        c.cy = static_cast<int16_t>(u16());
        c.id = static_cast<uint16_t>(u32());
        if (!szOrOrd(&c.className) || !szOrOrd(nullptr) || !need(2))
            return false;
        at += 2 + static_cast<size_t>(b[at] | (b[at + 1] << 8));
        out->controls.push_back(c);
    }
    return true;
}

bool IsProgressClass(const std::u16string& name) {
    const std::u16string want = u"msctls_progress32";
    if (name.size() != want.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != want[i])
            return false;
    }
    return true;
}

// Dialog units of the dialog's 8-point face: 6 by 13 pixels a character, in quarters and
// eighths.
int DluX(int x) {
    return x * 6 / 4;
}
int DluY(int y) {
    return y * 13 / 8;
}

// --- the bitmap face ----------------------------------------------------------------------------

struct Glyph {
    char c;
    const char* rows[7];
};

const Glyph kGlyphs[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {".###.", "#....", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "....#", ".###."}},
    {'-', {".....", ".....", ".....", ".###.", ".....", ".....", "....."}},
    {':', {".....", "..#..", ".....", ".....", ".....", "..#..", "....."}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'b', {"#....", "#....", "####.", "#...#", "#...#", "#...#", "####."}},
    {'d', {"....#", "....#", ".####", "#...#", "#...#", "#...#", ".####"}},
    {'s', {".....", ".....", ".####", "#....", ".###.", "....#", "####."}},
    {'u', {".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"}},
};
// Characters the face lacks show as a box, as a font's missing glyph does.
const Glyph kMissing = {'?', {"#####", "#...#", "#...#", "#...#", "#...#", "#...#", "#####"}};

const Glyph* GlyphOf(char c) {
    if (c == ' ')
        return nullptr;
    for (const Glyph& g : kGlyphs)
        if (g.c == c)
            return &g;
    return &kMissing;
}

// Where the glyphs' top row sits below the line's top: the face's ascent less its cap height.
constexpr int kGlyphTop = 4;

// The classic progress bar's colours (Windows 7 without visual styles): the 3D face behind the
// chunks, the selection colour of the chunks, the sunken edge.
constexpr Rgb kBarFace{240, 240, 240};
constexpr Rgb kBarChunk{51, 153, 255};
constexpr Rgb kEdgeShadow{160, 160, 160};
constexpr Rgb kEdgeLight{255, 255, 255};

void DrawBar(Raster& target, const HostVirtual71Window::Bar& bar) {
    const WindowRect& r = bar.rect;
    if (r.Width() <= 2 || r.Height() <= 2)
        return;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) {
            const bool top = y == r.top, left = x == r.left;
            const bool bottom = y == r.bottom - 1, right = x == r.right - 1;
            target.Set(x, y, top || left ? kEdgeShadow : bottom || right ? kEdgeLight : kBarFace);
        }
    // Chunks two thirds of the inner height wide with a gap of two, as many as the position
    // covers of the inner width.
    const int innerLeft = r.left + 1, innerWidth = r.Width() - 2;
    const int innerTop = r.top + 1, innerHeight = r.Height() - 2;
    const int range = bar.high - bar.low;
    const int filled =
        range > 0
            ? static_cast<int>(static_cast<long long>(bar.position - bar.low) * innerWidth / range)
            : 0;
    const int chunk = std::max(1, innerHeight * 2 / 3);
    for (int x0 = 0; x0 < filled; x0 += chunk + 2)
        for (int x = x0; x < std::min(x0 + chunk, filled); ++x)
            for (int y = 0; y < innerHeight; ++y)
                target.Set(innerLeft + x, innerTop + y, kBarChunk);
}

}  // namespace

// --- the ports ----------------------------------------------------------------------------------

SoundStatus HostTestSoundPorts::CreateDevice(std::unique_ptr<SoundDevice>* out) {
    std::unique_ptr<user::DsDevice> device;
    const SoundStatus status = session_.directSound().Create(nullptr, &device);
    if (!SoundFailed(status))
        *out = std::make_unique<HostSoundDevice>(std::move(device), window_());
    return status;
}

uint32_t HostTestSoundPorts::SystemTimeMs() {
    // timeGetTime and GetTickCount both count the machine's clock since it started.
    return session_.desktop().GetTickCount();
}

void HostTestSoundPorts::Sleep(uint32_t ms) {
    SleepOnMachineClock(ms);
}

int HostLabelFont::Width(const std::string& text) {
    int w = 0;
    for (char c : text)
        w += Advance(c);
    return w;
}

void HostLabelFont::Draw(Raster& target, int x, int y, const std::string& text, Rgb color) {
    for (char c : text) {
        if (const Glyph* g = GlyphOf(c))
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[row][col] == '#')
                        target.Set(x + col, y + kGlyphTop + row, color);
        x += Advance(c);
    }
}

HostVirtual71Window::~HostVirtual71Window() {
    Destroy();
}

bool HostVirtual71Window::Create(ResourceModule& skin, uint16_t templateId) {
    std::vector<uint8_t> bytes;
    ParsedTemplate parsed;
    if (hwnd_ != 0 || !skin.FindResource(kResourceDialog, templateId, &bytes) ||
        !ParseTemplate(bytes, &parsed))
        return false;
    bars_.clear();
    for (const TemplateControl& c : parsed.controls)
        if (IsProgressClass(c.className)) {
            Bar bar;
            bar.rect = {DluX(c.x), DluY(c.y), DluX(c.x + c.cx), DluY(c.y + c.cy)};
            bars_[c.id] = bar;
        }
    picture_ = Raster();
    user::WindowCreation creation;
    creation.className = u"#32770";
    creation.style = parsed.style & ~user::WS_VISIBLE;
    creation.exStyle = parsed.exStyle;
    creation.classStyle = user::CS_DBLCLKS;
    creation.width = DluX(parsed.cx);
    creation.height = DluY(parsed.cy);
    creation.owner = owner_();
    creation.dialog = true;
    creation.proc = [this](user::Hwnd hwnd, uint32_t m, user::WParam w, user::LParam l) {
        return Handle(hwnd, m, w, l);
    };
    const user::Hwnd made = desktop_.CreateWindowEx(creation);
    if (made == 0) {
        hwnd_ = 0;
        return false;
    }
    hwnd_ = made;
    desktop_.ShowWindow(hwnd_, user::SW_SHOW);
    return true;
}

void HostVirtual71Window::Destroy() {
    if (hwnd_ == 0)
        return;
    const user::Hwnd window = hwnd_;
    hwnd_ = 0;
    desktop_.DestroyWindow(window);
}

user::LResult HostVirtual71Window::Handle(user::Hwnd hwnd, uint32_t message, user::WParam w,
                                          user::LParam l) {
    // The window is ours from its first message on (WM_INITDIALOG comes inside Create).
    if (hwnd_ == 0 && message != user::WM_NCDESTROY && message != user::WM_DESTROY)
        hwnd_ = hwnd;
    if (hwnd != hwnd_)
        return desktop_.DefWindowProc(hwnd, message, w, l);
    const int x = user::LowWordSigned(l), y = user::HighWordSigned(l);
    switch (message) {
        case user::WM_INITDIALOG:
            control_.OnInitDialog();
            return 1;
        case user::WM_PAINT:
            desktop_.BeginPaint(hwnd);
            control_.OnPaint();
            desktop_.EndPaint(hwnd);
            return 0;
        case user::WM_ERASEBKGND:
            return 1;  // the picture covers the whole window
        case user::WM_MOUSEMOVE:
            control_.OnMouseMove(x, y);
            break;
        case user::WM_LBUTTONDBLCLK:
            control_.OnLButtonDblClk(x, y);
            break;
        case user::WM_LBUTTONDOWN:
            control_.OnLButtonDown(x, y);
            break;
        case user::WM_LBUTTONUP:
            control_.OnLButtonUp(x, y);
            break;
        case user::WM_CLOSE:
            control_.OnClose();
            return 0;
        case user::WM_NCDESTROY:
            hwnd_ = 0;
            break;
        default:
            break;
    }
    return desktop_.DefWindowProc(hwnd, message, w, l);
}

void HostVirtual71Window::PlaceWindow(int x, int y, int width, int height) {
    desktop_.SetWindowPos(hwnd_, x, y, width, height, user::SWP_NOZORDER | user::SWP_NOACTIVATE);
}

void HostVirtual71Window::MoveBar(uint16_t id, int x, int y, int width, int height) {
    auto bar = bars_.find(id);
    if (bar == bars_.end())
        return;
    bar->second.rect = {x, y, x + width, y + height};
    Show();
}

void HostVirtual71Window::SetBarRange(uint16_t id, int low, int high) {
    auto bar = bars_.find(id);
    if (bar == bars_.end())
        return;
    // PBM_SETRANGE takes two 16-bit words; the position is kept inside the new range.
    bar->second.low = static_cast<uint16_t>(low);
    bar->second.high = static_cast<uint16_t>(high);
    bar->second.position = std::clamp(bar->second.position, bar->second.low,
                                      std::max(bar->second.low, bar->second.high));
    Show();
}

void HostVirtual71Window::SetBarPosition(uint16_t id, int position) {
    auto bar = bars_.find(id);
    if (bar == bars_.end())
        return;
    const int clamped =
        std::clamp(position, bar->second.low, std::max(bar->second.low, bar->second.high));
    if (clamped == bar->second.position)
        return;
    bar->second.position = clamped;
    Show();
}

int HostVirtual71Window::BarPosition(uint16_t id) {
    auto bar = bars_.find(id);
    return bar == bars_.end() ? 0 : bar->second.position;
}

void HostVirtual71Window::Invalidate(const WindowRect* rect, bool erase) {
    if (hwnd_ == 0)
        return;
    if (rect == nullptr) {
        desktop_.InvalidateRect(hwnd_, nullptr, erase);
        return;
    }
    const user::Rect r{rect->left, rect->top, rect->right, rect->bottom};
    desktop_.InvalidateRect(hwnd_, &r, erase);
}

void HostVirtual71Window::Present(const Raster& picture, int width, int height) {
    picture_ = picture.Crop(0, 0, width, height);
    Show();
}

void HostVirtual71Window::Show() {
    if (hwnd_ == 0 || picture_.empty())
        return;
    // The bars are child windows painted over the dialog's picture.
    Raster shown = picture_;
    for (const auto& bar : bars_)
        DrawBar(shown, bar.second);
    user::Rect window;
    desktop_.GetClientRect(hwnd_, &window);
    const int w = std::min(shown.width(), window.right - window.left);
    const int h = std::min(shown.height(), window.bottom - window.top);
    if (w <= 0 || h <= 0)
        return;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = shown.At(x, y);
            uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    desktop_.PresentPicture(hwnd_, 0, 0, w, h, rgb.data(), static_cast<size_t>(w) * 3);
}

bool HostVirtual71Window::CreateLabelFont(const char16_t* face, int tenthsOfPoint) {
    fontMade_ = face != nullptr && tenthsOfPoint > 0;
    return fontMade_;
}

bool HostVirtual71Window::MeasureText(const std::string& text, int* width, int* height) {
    if (hwnd_ == 0)
        return false;
    *width = HostLabelFont::Width(text);
    *height = HostLabelFont::kLineHeight;
    return true;
}

void HostVirtual71Window::DrawText(Raster& target, const WindowRect& rect,
                                   const std::string& text) {
    // DT_CENTER | DT_SINGLELINE | DT_NOCLIP: centred across, from the top, black (the
    // context's default text colour).
    const int x = rect.left + (rect.Width() - HostLabelFont::Width(text)) / 2;
    HostLabelFont::Draw(target, x, rect.top, text, Rgb{0, 0, 0});
}

}  // namespace panelhost
