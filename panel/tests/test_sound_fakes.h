// In-memory DirectSound and virtual 7.1 window for the speaker-test page's logic: every buffer,
// listener and bar keeps what it was told, and failures can be asked for.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "raster.h"
#include "test_sound_ports.h"
#include "virtual71_port.h"

namespace panel_test {

struct FakeBufferState {
    BufferDescription description;
    SoundFormat format;
    bool primary = false;
    std::vector<uint8_t> memory;
    uint32_t written = 0;
    bool playing = false;
    uint32_t playFlags = 0;
    uint32_t position = 0;
    bool lost = false;
    int restoresLost = 0;  // Restore answers "still lost" this many times
    int restores = 0;
    bool has3D = true;
    Buffer3DParameters params;
    SoundFormat primaryFormat;
};

struct FakeListenerState {
    ListenerParameters params;
    int released = 0;
};

struct FakeSoundWorld {
    SoundStatus createDevice = kDsOk;
    SoundStatus cooperative = kDsOk;
    SoundStatus secondary = kDsOk;  // what creating a secondary buffer answers
    SoundStatus play = kDsOk;
    bool listenerAvailable = true;
    bool newBuffersLost = false;  // as after another program took the device exclusively
    int restoresLost = 0;
    uint32_t cooperativeLevel = 0;
    int devices = 0;  // alive
    std::vector<std::shared_ptr<FakeBufferState>> buffers;
    std::shared_ptr<FakeListenerState> listener;
    uint32_t timeMs = 0;
    std::vector<uint32_t> sleeps;
    // The last secondary buffer.
    FakeBufferState* Secondary() {
        for (auto it = buffers.rbegin(); it != buffers.rend(); ++it)
            if (!(*it)->primary)
                return it->get();
        return nullptr;
    }
};

class Fake3DBuffer : public Sound3DBuffer {
  public:
    explicit Fake3DBuffer(std::shared_ptr<FakeBufferState> state) : s_(std::move(state)) {}
    SoundStatus GetAllParameters(Buffer3DParameters* p) override { return *p = s_->params, kDsOk; }
    SoundStatus SetAllParameters(const Buffer3DParameters& p) override {
        return s_->params = p, kDsOk;
    }
    SoundStatus SetPosition(const SoundVector& v) override {
        return s_->params.position = v, kDsOk;
    }
    SoundStatus SetVelocity(const SoundVector& v) override {
        return s_->params.velocity = v, kDsOk;
    }
    SoundStatus SetMinDistance(float d) override { return s_->params.minDistance = d, kDsOk; }
    SoundStatus SetMaxDistance(float d) override { return s_->params.maxDistance = d, kDsOk; }

  private:
    std::shared_ptr<FakeBufferState> s_;
};

class FakeListener : public SoundListener {
  public:
    explicit FakeListener(std::shared_ptr<FakeListenerState> state) : s_(std::move(state)) {}
    ~FakeListener() override { ++s_->released; }
    SoundStatus GetAllParameters(ListenerParameters* p) override { return *p = s_->params, kDsOk; }
    SoundStatus SetRolloffFactor(float f) override { return s_->params.rolloffFactor = f, kDsOk; }
    SoundStatus SetDopplerFactor(float f) override { return s_->params.dopplerFactor = f, kDsOk; }

  private:
    std::shared_ptr<FakeListenerState> s_;
};

class FakeBuffer : public SoundBuffer {
  public:
    FakeBuffer(FakeSoundWorld& world, std::shared_ptr<FakeBufferState> state)
        : w_(world), s_(std::move(state)) {}
    SoundStatus SetFormat(const SoundFormat& f) override {
        if (!s_->primary)
            return kDsErrInvalidParam;
        s_->primaryFormat = f;
        return kDsOk;
    }
    SoundStatus GetCaps(BufferCaps* caps) override {
        caps->flags = s_->description.flags;
        caps->bufferBytes = static_cast<uint32_t>(s_->memory.size());
        return kDsOk;
    }
    SoundStatus GetStatus(uint32_t* status) override {
        *status = (s_->playing ? kDsbStatusPlaying : 0) | (s_->lost ? kDsbStatusBufferLost : 0);
        return kDsOk;
    }
    SoundStatus Restore() override {
        ++s_->restores;
        if (s_->restoresLost > 0) {
            --s_->restoresLost;
            return kDsErrBufferLost;
        }
        s_->lost = false;
        return kDsOk;
    }
    SoundStatus Lock(uint8_t** data, uint32_t* size) override {
        if (s_->lost)
            return kDsErrBufferLost;
        *data = s_->memory.data();
        *size = static_cast<uint32_t>(s_->memory.size());
        return kDsOk;
    }
    SoundStatus Unlock(uint32_t written) override { return s_->written = written, kDsOk; }
    SoundStatus Play(uint32_t flags) override {
        if (s_->lost)
            return kDsErrBufferLost;
        if (SoundFailed(w_.play))
            return w_.play;
        s_->playing = true;
        s_->playFlags = flags;
        return kDsOk;
    }
    SoundStatus Stop() override { return s_->playing = false, kDsOk; }
    SoundStatus SetCurrentPosition(uint32_t p) override { return s_->position = p, kDsOk; }
    SoundStatus Query3DBuffer(std::unique_ptr<Sound3DBuffer>* out) override {
        if (s_->primary || !s_->has3D || (s_->description.flags & kDsbCapsCtrl3D) == 0)
            return kDsErrInvalidParam;
        *out = std::make_unique<Fake3DBuffer>(s_);
        return kDsOk;
    }
    SoundStatus QueryListener(std::unique_ptr<SoundListener>* out) override {
        if (!s_->primary || (s_->description.flags & kDsbCapsCtrl3D) == 0 || !w_.listenerAvailable)
            return kDsErrInvalidParam;
        w_.listener = std::make_shared<FakeListenerState>();
        *out = std::make_unique<FakeListener>(w_.listener);
        return kDsOk;
    }

  private:
    FakeSoundWorld& w_;
    std::shared_ptr<FakeBufferState> s_;
};

class FakeSoundDevice : public SoundDevice {
  public:
    explicit FakeSoundDevice(FakeSoundWorld& world) : w_(world) { ++w_.devices; }
    ~FakeSoundDevice() override { --w_.devices; }
    SoundStatus SetCooperativeLevel(uint32_t level) override {
        w_.cooperativeLevel = level;
        return w_.cooperative;
    }
    SoundStatus CreateSoundBuffer(const BufferDescription& d,
                                  std::unique_ptr<SoundBuffer>* out) override {
        auto state = std::make_shared<FakeBufferState>();
        state->description = d;
        state->primary = (d.flags & kDsbCapsPrimaryBuffer) != 0;
        if (!state->primary) {
            if (SoundFailed(w_.secondary))
                return w_.secondary;
            // DirectSound's own limits on a secondary buffer.
            if (d.format == nullptr || d.bufferBytes < 4 || d.bufferBytes > 0x0FFFFFFF)
                return kDsErrInvalidParam;
            state->format = *d.format;
            state->memory.assign(d.bufferBytes, 0xEE);
            state->lost = w_.newBuffersLost;
            state->restoresLost = w_.restoresLost;
        }
        w_.buffers.push_back(state);
        *out = std::make_unique<FakeBuffer>(w_, state);
        return state->primary ? kDsOk : w_.secondary;
    }

  private:
    FakeSoundWorld& w_;
};

class FakeTestSoundPorts : public TestSoundPorts {
  public:
    FakeSoundWorld world;
    SoundStatus CreateDevice(std::unique_ptr<SoundDevice>* out) override {
        if (SoundFailed(world.createDevice))
            return world.createDevice;
        *out = std::make_unique<FakeSoundDevice>(world);
        return kDsOk;
    }
    uint32_t SystemTimeMs() override { return world.timeMs; }
    void Sleep(uint32_t ms) override { world.sleeps.push_back(ms); }
};

// The 7.1 popup: its bars, its place and what it showed. Text is drawn as a solid block of
// 6 by 13 pixels a character, so a test can see where a label went.
class FakeVirtual71Window : public Virtual71WindowPort {
  public:
    struct Bar {
        int x = -1, y = -1, w = 0, h = 0, low = 0, high = 100, pos = 0;
    };
    std::function<void()> onCreate;  // the platform's OnInitDialog call
    bool exists = false, createFails = false;
    uint16_t templateId = 0;
    int placeX = 0, placeY = 0, placeW = 0, placeH = 0;
    std::map<uint16_t, Bar> bars;
    int wholeInvalidations = 0;
    std::vector<WindowRect> invalidated;
    std::u16string fontFace;
    int fontTenths = 0;
    std::vector<std::string> texts;
    Raster shown;
    static constexpr Rgb kInk{1, 2, 3};

    bool Create(ResourceModule&, uint16_t id) override {
        templateId = id;
        if (createFails)
            return false;
        exists = true;
        if (onCreate)
            onCreate();
        return true;
    }
    void Destroy() override { exists = false; }
    void PlaceWindow(int x, int y, int w, int h) override {
        placeX = x, placeY = y, placeW = w, placeH = h;
    }
    void MoveBar(uint16_t id, int x, int y, int w, int h) override {
        Bar& b = bars[id];
        b.x = x, b.y = y, b.w = w, b.h = h;
    }
    void SetBarRange(uint16_t id, int low, int high) override {
        bars[id].low = low, bars[id].high = high;
    }
    void SetBarPosition(uint16_t id, int pos) override {
        Bar& b = bars[id];
        b.pos = pos < b.low ? b.low : pos > b.high ? b.high : pos;
    }
    int BarPosition(uint16_t id) override { return bars[id].pos; }
    void Invalidate(const WindowRect* rect, bool) override {
        if (rect == nullptr)
            ++wholeInvalidations;
        else
            invalidated.push_back(*rect);
    }
    void Present(const Raster& picture, int, int) override { shown = picture; }
    bool CreateLabelFont(const char16_t* face, int tenths) override {
        fontFace = face;
        fontTenths = tenths;
        return true;
    }
    bool MeasureText(const std::string& text, int* w, int* h) override {
        *w = 6 * static_cast<int>(text.size());
        *h = 13;
        return true;
    }
    void DrawText(Raster& target, const WindowRect& r, const std::string& text) override {
        texts.push_back(text);
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                target.Set(x, y, kInk);
    }
};

// A RIFF wave file built chunk by chunk.
class WaveBuilder {
  public:
    WaveBuilder& Chunk(const char* id, const std::vector<uint8_t>& body, int64_t declared = -1) {
        Append(id, 4);
        Le32(declared < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(declared));
        bytes_.insert(bytes_.end(), body.begin(), body.end());
        if (body.size() & 1)
            bytes_.push_back(0);
        return *this;
    }
    static std::vector<uint8_t> Format(uint16_t tag, uint16_t channels, uint16_t bits,
                                       std::vector<uint8_t> tail = {}) {
        std::vector<uint8_t> f;
        auto w16 = [&](uint32_t v) {
            f.push_back(static_cast<uint8_t>(v));
            f.push_back(static_cast<uint8_t>(v >> 8));
        };
        const uint32_t rate = 22050, align = channels * bits / 8;
        w16(tag);
        w16(channels);
        w16(rate & 0xFFFF);
        w16(rate >> 16);
        w16((rate * align) & 0xFFFF);
        w16((rate * align) >> 16);
        w16(align);
        w16(bits);
        f.insert(f.end(), tail.begin(), tail.end());
        return f;
    }
    // RIFF header in front; `riffSize` -1 for the true size.
    std::vector<uint8_t> Build(int64_t riffSize = -1) const {
        std::vector<uint8_t> out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
        const uint32_t size = riffSize < 0 ? static_cast<uint32_t>(4 + bytes_.size())
                                           : static_cast<uint32_t>(riffSize);
        for (int i = 0; i < 4; ++i)
            out[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        out.insert(out.end(), bytes_.begin(), bytes_.end());
        return out;
    }

  private:
    void Append(const char* p, size_t n) { bytes_.insert(bytes_.end(), p, p + n); }
    void Le32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> Ramp(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}

}  // namespace panel_test
