// DirectSound behind the test sound's ports. Each wrapper owns one COM reference and releases
// it when destroyed; interfaces taken from a buffer hold their own reference, so a listener
// outlives the primary buffer it came from, as the test sound needs.
#include <windows.h>

#include <dsound.h>
#include <mmsystem.h>

#include <cstring>
#include <vector>

#include "test_sound_win32.h"

namespace {

constexpr DWORD kApply = DS3D_IMMEDIATE;

D3DVECTOR ToD3D(const SoundVector& v) {
    D3DVECTOR out;
    out.x = v.x;
    out.y = v.y;
    out.z = v.z;
    return out;
}
SoundVector FromD3D(const D3DVECTOR& v) {
    return {v.x, v.y, v.z};
}

// WAVEFORMATEX followed by its extra bytes, as DirectSound reads it.
std::vector<uint8_t> FormatRecord(const SoundFormat& f) {
    std::vector<uint8_t> bytes(sizeof(WAVEFORMATEX) + f.extra.size());
    WAVEFORMATEX w{};
    w.wFormatTag = f.formatTag;
    w.nChannels = f.channels;
    w.nSamplesPerSec = f.samplesPerSec;
    w.nAvgBytesPerSec = f.avgBytesPerSec;
    w.nBlockAlign = f.blockAlign;
    w.wBitsPerSample = f.bitsPerSample;
    w.cbSize = static_cast<WORD>(f.extra.size());
    std::memcpy(bytes.data(), &w, sizeof w);
    if (!f.extra.empty())
        std::memcpy(bytes.data() + sizeof w, f.extra.data(), f.extra.size());
    return bytes;
}

template <typename Interface>
void Release(Interface*& p) {
    if (p != nullptr)
        p->Release();
    p = nullptr;
}

class Win32Sound3DBuffer : public Sound3DBuffer {
  public:
    explicit Win32Sound3DBuffer(IDirectSound3DBuffer* b) : b_(b) {}
    ~Win32Sound3DBuffer() override { Release(b_); }
    SoundStatus GetAllParameters(Buffer3DParameters* p) override {
        DS3DBUFFER d{};
        d.dwSize = sizeof d;
        const HRESULT hr = b_->GetAllParameters(&d);
        if (SUCCEEDED(hr)) {
            p->position = FromD3D(d.vPosition);
            p->velocity = FromD3D(d.vVelocity);
            p->insideConeAngle = d.dwInsideConeAngle;
            p->outsideConeAngle = d.dwOutsideConeAngle;
            p->coneOrientation = FromD3D(d.vConeOrientation);
            p->coneOutsideVolume = d.lConeOutsideVolume;
            p->minDistance = d.flMinDistance;
            p->maxDistance = d.flMaxDistance;
            p->mode = d.dwMode;
        }
        return hr;
    }
    SoundStatus SetAllParameters(const Buffer3DParameters& p) override {
        DS3DBUFFER d{};
        d.dwSize = sizeof d;
        d.vPosition = ToD3D(p.position);
        d.vVelocity = ToD3D(p.velocity);
        d.dwInsideConeAngle = p.insideConeAngle;
        d.dwOutsideConeAngle = p.outsideConeAngle;
        d.vConeOrientation = ToD3D(p.coneOrientation);
        d.lConeOutsideVolume = p.coneOutsideVolume;
        d.flMinDistance = p.minDistance;
        d.flMaxDistance = p.maxDistance;
        d.dwMode = p.mode;
        return b_->SetAllParameters(&d, kApply);
    }
    SoundStatus SetPosition(const SoundVector& v) override {
        return b_->SetPosition(v.x, v.y, v.z, kApply);
    }
    SoundStatus SetVelocity(const SoundVector& v) override {
        return b_->SetVelocity(v.x, v.y, v.z, kApply);
    }
    SoundStatus SetMinDistance(float d) override { return b_->SetMinDistance(d, kApply); }
    SoundStatus SetMaxDistance(float d) override { return b_->SetMaxDistance(d, kApply); }

  private:
    IDirectSound3DBuffer* b_;
};

class Win32SoundListener : public SoundListener {
  public:
    explicit Win32SoundListener(IDirectSound3DListener* l) : l_(l) {}
    ~Win32SoundListener() override { Release(l_); }
    SoundStatus GetAllParameters(ListenerParameters* p) override {
        DS3DLISTENER d{};
        d.dwSize = sizeof d;
        const HRESULT hr = l_->GetAllParameters(&d);
        if (SUCCEEDED(hr)) {
            p->position = FromD3D(d.vPosition);
            p->velocity = FromD3D(d.vVelocity);
            p->orientFront = FromD3D(d.vOrientFront);
            p->orientTop = FromD3D(d.vOrientTop);
            p->distanceFactor = d.flDistanceFactor;
            p->rolloffFactor = d.flRolloffFactor;
            p->dopplerFactor = d.flDopplerFactor;
        }
        return hr;
    }
    SoundStatus SetRolloffFactor(float f) override { return l_->SetRolloffFactor(f, kApply); }
    SoundStatus SetDopplerFactor(float f) override { return l_->SetDopplerFactor(f, kApply); }

  private:
    IDirectSound3DListener* l_;
};

class Win32SoundBuffer : public SoundBuffer {
  public:
    explicit Win32SoundBuffer(IDirectSoundBuffer* b) : b_(b) {}
    ~Win32SoundBuffer() override { Release(b_); }
    SoundStatus SetFormat(const SoundFormat& f) override {
        const std::vector<uint8_t> record = FormatRecord(f);
        return b_->SetFormat(reinterpret_cast<const WAVEFORMATEX*>(record.data()));
    }
    SoundStatus GetCaps(BufferCaps* caps) override {
        DSBCAPS c{};
        c.dwSize = sizeof c;
        const HRESULT hr = b_->GetCaps(&c);
        if (SUCCEEDED(hr)) {
            caps->flags = c.dwFlags;
            caps->bufferBytes = c.dwBufferBytes;
        }
        return hr;
    }
    SoundStatus GetStatus(uint32_t* status) override {
        DWORD s = 0;
        const HRESULT hr = b_->GetStatus(&s);
        *status = s;
        return hr;
    }
    SoundStatus Restore() override { return b_->Restore(); }
    SoundStatus Lock(uint8_t** data, uint32_t* size) override {
        void* second = nullptr;
        DWORD secondBytes = 0, bytes = 0;
        void* first = nullptr;
        const HRESULT hr =
            b_->Lock(0, 0, &first, &bytes, &second, &secondBytes, DSBLOCK_ENTIREBUFFER);
        if (SUCCEEDED(hr)) {
            locked_ = first;
            *data = static_cast<uint8_t*>(first);
            *size = bytes;
        }
        return hr;
    }
    SoundStatus Unlock(uint32_t written) override {
        const HRESULT hr = b_->Unlock(locked_, written, nullptr, 0);
        locked_ = nullptr;
        return hr;
    }
    SoundStatus Play(uint32_t flags) override { return b_->Play(0, 0, flags); }
    SoundStatus Stop() override { return b_->Stop(); }
    SoundStatus SetCurrentPosition(uint32_t p) override { return b_->SetCurrentPosition(p); }
    SoundStatus Query3DBuffer(std::unique_ptr<Sound3DBuffer>* out) override {
        IDirectSound3DBuffer* b = nullptr;
        const HRESULT hr =
            b_->QueryInterface(IID_IDirectSound3DBuffer, reinterpret_cast<void**>(&b));
        if (SUCCEEDED(hr))
            *out = std::make_unique<Win32Sound3DBuffer>(b);
        return hr;
    }
    SoundStatus QueryListener(std::unique_ptr<SoundListener>* out) override {
        IDirectSound3DListener* l = nullptr;
        const HRESULT hr =
            b_->QueryInterface(IID_IDirectSound3DListener, reinterpret_cast<void**>(&l));
        if (SUCCEEDED(hr))
            *out = std::make_unique<Win32SoundListener>(l);
        return hr;
    }

  private:
    IDirectSoundBuffer* b_;
    void* locked_ = nullptr;
};

class Win32SoundDevice : public SoundDevice {
  public:
    Win32SoundDevice(IDirectSound* d, HWND window) : d_(d), window_(window) {}
    ~Win32SoundDevice() override { Release(d_); }
    SoundStatus SetCooperativeLevel(uint32_t level) override {
        return d_->SetCooperativeLevel(window_, level);
    }
    SoundStatus CreateSoundBuffer(const BufferDescription& description,
                                  std::unique_ptr<SoundBuffer>* out) override {
        DSBUFFERDESC d{};
        d.dwSize = sizeof d;
        d.dwFlags = description.flags;
        d.dwBufferBytes = description.bufferBytes;
        std::vector<uint8_t> record;
        if (description.format != nullptr) {
            record = FormatRecord(*description.format);
            d.lpwfxFormat = reinterpret_cast<WAVEFORMATEX*>(record.data());
        }
        static_assert(sizeof(GUID) == sizeof(SoundGuid), "GUID layout");
        std::memcpy(&d.guid3DAlgorithm, &description.algorithm, sizeof(GUID));
        IDirectSoundBuffer* b = nullptr;
        const HRESULT hr = d_->CreateSoundBuffer(&d, &b, nullptr);
        if (SUCCEEDED(hr) && b != nullptr)
            *out = std::make_unique<Win32SoundBuffer>(b);
        return hr;
    }

  private:
    IDirectSound* d_;
    HWND window_;
};

}  // namespace

SoundStatus Win32TestSoundPorts::CreateDevice(std::unique_ptr<SoundDevice>* out) {
    IDirectSound* d = nullptr;
    const HRESULT hr = DirectSoundCreate(nullptr, &d, nullptr);
    if (SUCCEEDED(hr))
        *out = std::make_unique<Win32SoundDevice>(d, window_);
    return hr;
}

uint32_t Win32TestSoundPorts::SystemTimeMs() {
    return timeGetTime();
}

void Win32TestSoundPorts::Sleep(uint32_t ms) {
    ::Sleep(ms);
}
