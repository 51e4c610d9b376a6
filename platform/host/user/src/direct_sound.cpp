#include "host/direct_sound.h"

#include <algorithm>
#include <cmath>

#include "host/audio_devices.h"
#include "host/desktop.h"
#include "host/kernel_threads.h"
// The kernel's headers last: their macros would rename the session's constants.
#include "host/audio_stream.h"

namespace host::user {

const Guid kDs3dAlgNoVirtualization = {
    0xC241333F, 0x1C1B, 0x11D2, {0x94, 0xF5, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};
const Guid kDs3dAlgHrtfFull = {
    0xC2413340, 0x1C1B, 0x11D2, {0x94, 0xF5, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};
const Guid kDs3dAlgHrtfLight = {
    0xC2413342, 0x1C1B, 0x11D2, {0x94, 0xF5, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};

namespace {

constexpr uint32_t kMixRate = 48000;
constexpr uint32_t kFramesPerMs = kMixRate / 1000;
constexpr uint32_t kTransferBytes = 10 * kFramesPerMs * 4;  // 10 ms of 16-bit stereo
constexpr int64_t kUnitsPerMs = 10000;
constexpr uint16_t kWaveFormatPcm = 1;

bool IsNull(const Guid& g) {
    return g == Guid{};
}

// A format the mixer can read: PCM, one or two channels, 8 or 16 bits, consistent sizes.
DsResult CheckFormat(const DsFormat& f) {
    if (f.formatTag != kWaveFormatPcm)
        return kDsErrBadFormat;
    if (f.channels < 1 || f.channels > 2 || (f.bitsPerSample != 8 && f.bitsPerSample != 16) ||
        f.samplesPerSec < 100 || f.samplesPerSec > 200000 ||
        f.blockAlign != f.channels * f.bitsPerSample / 8)
        return kDsErrInvalidParam;
    return kDsOk;
}

}  // namespace

struct DsDeviceState {
    Hwnd window = 0;
    uint32_t level = 0;
};

struct DsEndpointState {
    std::mutex* mutex = nullptr;
    std::string key;
    bool builtin = false;
    bool removed = false;
    DsFormat primaryFormat{kWaveFormatPcm, 2, 22050, 44100, 2, 8, {}};
    Ds3DListenerParameters listener;
    std::vector<std::weak_ptr<DsBufferState>> buffers;
    int64_t mixedUntil = 0;
    uint64_t framesMixed = 0;
    std::vector<uint8_t> pending;  // mixed bytes not yet sent
    std::vector<uint8_t> sent;     // every byte handed to the stream
    AudioStream* started = nullptr;
};

struct DsBufferState {
    std::mutex* mutex = nullptr;
    const bool* writePrimaryElsewhere = nullptr;
    std::shared_ptr<DsEndpointState> endpoint;
    std::shared_ptr<DsDeviceState> device;
    bool primary = false;
    uint32_t flags = 0;
    DsFormat format;
    std::vector<uint8_t> data;
    double cursor = 0;  // in frames of the buffer's format
    bool playing = false, looping = false, lost = false, locked = false;
    Ds3DBufferParameters params;
    Guid algorithm{};

    uint32_t FrameBytes() const { return format.blockAlign != 0 ? format.blockAlign : 1; }
    uint32_t Frames() const { return static_cast<uint32_t>(data.size()) / FrameBytes(); }
    // Sample `channel` of frame `frame` as a float in [-1, 1).
    float Sample(uint32_t frame, int channel) const {
        const uint32_t c = format.channels == 2 ? static_cast<uint32_t>(channel) : 0;
        const size_t at =
            static_cast<size_t>(frame) * FrameBytes() + c * (format.bitsPerSample / 8);
        if (format.bitsPerSample == 8)
            return (static_cast<int>(data[at]) - 128) / 128.0f;
        const int16_t v = static_cast<int16_t>(data[at] | (data[at + 1] << 8));
        return v / 32768.0f;
    }
    uint8_t Silence() const { return format.bitsPerSample == 8 ? 128 : 0; }
};

namespace {

// The gains the mixer gives a buffer now: left, right.
void Gains(const DsBufferState& b, const Ds3DListenerParameters& listener, float* left,
           float* right) {
    *left = *right = 1.0f;
    if ((b.flags & DSBCAPS_CTRL3D) == 0 || b.params.mode == DS3DMODE_DISABLE)
        return;
    DsVector p = b.params.position;
    if (b.params.mode == DS3DMODE_NORMAL) {
        p.x -= listener.position.x;
        p.y -= listener.position.y;
        p.z -= listener.position.z;
    }
    const double distance = std::sqrt(double{p.x} * p.x + double{p.y} * p.y + double{p.z} * p.z);
    const double pan = distance > 0 ? std::clamp(p.x / distance, -1.0, 1.0) : 0.0;
    const double minD = b.params.minDistance,
                 maxD = std::max(b.params.maxDistance, b.params.minDistance);
    const double d = std::clamp(distance, minD, maxD);
    const double attenuation = d > 0 ? std::pow(minD / d, double{listener.rolloffFactor}) : 1.0;
    *left = static_cast<float>((pan > 0 ? 1 - pan : 1.0) * attenuation);
    *right = static_cast<float>((pan < 0 ? 1 + pan : 1.0) * attenuation);
}

}  // namespace

// --- 3D buffer and listener -------------------------------------------------------------------

DsResult Ds3DBuffer::GetAllParameters(Ds3DBufferParameters* p) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    *p = state_->params;
    return kDsOk;
}

DsResult Ds3DBuffer::SetAllParameters(const Ds3DBufferParameters& p) {
    if (p.mode > DS3DMODE_DISABLE || !(p.minDistance > 0) || !(p.maxDistance > 0) ||
        p.insideConeAngle > 360 || p.outsideConeAngle > 360 ||
        p.insideConeAngle > p.outsideConeAngle)
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->params = p;
    return kDsOk;
}

DsResult Ds3DBuffer::SetPosition(const DsVector& v) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->params.position = v;
    return kDsOk;
}

DsResult Ds3DBuffer::SetVelocity(const DsVector& v) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->params.velocity = v;
    return kDsOk;
}

DsResult Ds3DBuffer::SetMinDistance(float d) {
    if (!(d > 0))
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->params.minDistance = d;
    return kDsOk;
}

DsResult Ds3DBuffer::SetMaxDistance(float d) {
    if (!(d > 0))
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->params.maxDistance = d;
    return kDsOk;
}

DsResult Ds3DBuffer::SetMode(uint32_t mode) {
    if (mode > DS3DMODE_DISABLE)
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->params.mode = mode;
    return kDsOk;
}

DsResult Ds3DListener::GetAllParameters(Ds3DListenerParameters* p) {
    std::lock_guard<std::mutex> lock(*endpoint_->mutex);
    *p = endpoint_->listener;
    return kDsOk;
}

DsResult Ds3DListener::SetPosition(const DsVector& v) {
    std::lock_guard<std::mutex> lock(*endpoint_->mutex);
    endpoint_->listener.position = v;
    return kDsOk;
}

// The ranges DirectSound accepts: DS3D_MINROLLOFFFACTOR to DS3D_MAXROLLOFFFACTOR, the same for
// the Doppler factor.
DsResult Ds3DListener::SetRolloffFactor(float f) {
    if (!(f >= 0.0f && f <= 10.0f))
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(*endpoint_->mutex);
    endpoint_->listener.rolloffFactor = f;
    return kDsOk;
}

DsResult Ds3DListener::SetDopplerFactor(float f) {
    if (!(f >= 0.0f && f <= 10.0f))
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(*endpoint_->mutex);
    endpoint_->listener.dopplerFactor = f;
    return kDsOk;
}

// --- buffers ----------------------------------------------------------------------------------

DsBuffer::~DsBuffer() {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->playing = false;  // a released buffer is silent at once
}

DsResult DsBuffer::SetFormat(const DsFormat& format) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    if (!state_->primary)
        return kDsErrInvalidCall;
    if (state_->endpoint->removed)
        return kDsErrNoDriver;
    if (state_->device->level < DSSCL_PRIORITY)
        return kDsErrPrioLevelNeeded;
    const DsResult checked = CheckFormat(format);
    if (checked != kDsOk)
        return checked;
    state_->endpoint->primaryFormat = format;
    return kDsOk;
}

DsResult DsBuffer::GetFormat(DsFormat* format) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    *format = state_->primary ? state_->endpoint->primaryFormat : state_->format;
    return kDsOk;
}

DsResult DsBuffer::GetCaps(uint32_t* flags, uint32_t* bytes) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    // Every buffer of the simulated device is mixed in software.
    *flags = state_->flags | (state_->primary ? 0 : DSBCAPS_LOCSOFTWARE);
    *bytes = static_cast<uint32_t>(state_->data.size());
    return kDsOk;
}

DsResult DsBuffer::GetStatus(uint32_t* status) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    *status = (state_->playing ? DSBSTATUS_PLAYING : 0) |
              (state_->playing && state_->looping ? DSBSTATUS_LOOPING : 0) |
              (state_->lost ? DSBSTATUS_BUFFERLOST : 0);
    return kDsOk;
}

DsResult DsBuffer::Restore() {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    if (*state_->writePrimaryElsewhere && !state_->primary)
        return kDsErrBufferLost;
    if (state_->lost) {
        // Restored memory holds nothing: the program must fill it again.
        std::fill(state_->data.begin(), state_->data.end(), state_->Silence());
        state_->lost = false;
    }
    return kDsOk;
}

DsResult DsBuffer::Lock(uint8_t** data, uint32_t* size) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    if (state_->primary && state_->device->level != DSSCL_WRITEPRIMARY)
        return kDsErrPrioLevelNeeded;
    if (state_->lost)
        return kDsErrBufferLost;
    state_->locked = true;
    *data = state_->data.data();
    *size = static_cast<uint32_t>(state_->data.size());
    return kDsOk;
}

DsResult DsBuffer::Unlock(uint32_t written) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    if (!state_->locked || written > state_->data.size())
        return kDsErrInvalidParam;
    state_->locked = false;
    return kDsOk;
}

DsResult DsBuffer::Play(uint32_t flags) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    DsEndpointState& endpoint = *state_->endpoint;
    if (endpoint.removed)
        return kDsErrNoDriver;
    if (state_->lost)
        return kDsErrBufferLost;
    if (state_->primary && (flags & DSBPLAY_LOOPING) == 0)
        return kDsErrInvalidParam;  // a primary buffer plays only in a loop
    bool anyPlaying = false;
    for (const auto& weak : endpoint.buffers)
        if (auto other = weak.lock(); other && other->playing && !other->primary)
            anyPlaying = true;
    if (!anyPlaying && !state_->primary) {
        // The endpoint's stream starts with the first buffer that plays, on a whole
        // millisecond of the clock.
        endpoint.mixedUntil = kernel::Now() / kUnitsPerMs * kUnitsPerMs;
        endpoint.pending.clear();
    }
    state_->playing = true;
    state_->looping = (flags & DSBPLAY_LOOPING) != 0;
    return kDsOk;
}

DsResult DsBuffer::Stop() {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    state_->playing = false;
    return kDsOk;
}

DsResult DsBuffer::SetCurrentPosition(uint32_t position) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    if (state_->primary)
        return kDsErrInvalidCall;
    if (position >= state_->data.size() && !state_->data.empty())
        return kDsErrInvalidParam;
    state_->cursor = position / state_->FrameBytes();
    return kDsOk;
}

DsResult DsBuffer::GetCurrentPosition(uint32_t* play) {
    std::lock_guard<std::mutex> lock(*state_->mutex);
    *play = static_cast<uint32_t>(state_->cursor) * state_->FrameBytes();
    return kDsOk;
}

DsResult DsBuffer::Query3DBuffer(std::unique_ptr<Ds3DBuffer>* out) {
    if (state_->primary || (state_->flags & DSBCAPS_CTRL3D) == 0)
        return kDsErrNoInterface;
    *out = std::make_unique<Ds3DBuffer>(state_);
    return kDsOk;
}

DsResult DsBuffer::QueryListener(std::unique_ptr<Ds3DListener>* out) {
    if (!state_->primary || (state_->flags & DSBCAPS_CTRL3D) == 0)
        return kDsErrNoInterface;
    *out = std::make_unique<Ds3DListener>(state_->endpoint);
    return kDsOk;
}

// --- device -----------------------------------------------------------------------------------

DsDevice::DsDevice(DirectSound& owner, std::shared_ptr<DsEndpointState> endpoint)
    : owner_(owner), endpoint_(std::move(endpoint)), state_(std::make_shared<DsDeviceState>()) {}

DsDevice::~DsDevice() = default;

DsResult DsDevice::SetCooperativeLevel(Hwnd window, uint32_t level) {
    if (level < DSSCL_NORMAL || level > DSSCL_WRITEPRIMARY || !owner_.desktop_.IsWindow(window))
        return kDsErrInvalidParam;
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    if (endpoint_->removed)
        return kDsErrNoDriver;
    state_->window = window;
    state_->level = level;
    return kDsOk;
}

DsResult DsDevice::CreateSoundBuffer(const DsBufferDescription& d, std::unique_ptr<DsBuffer>* out) {
    const bool primary = (d.flags & DSBCAPS_PRIMARYBUFFER) != 0;
    const bool threeD = (d.flags & DSBCAPS_CTRL3D) != 0;
    if (out == nullptr)
        return kDsErrInvalidParam;
    if (primary) {
        if (d.bufferBytes != 0 || d.format != nullptr || !IsNull(d.algorithm))
            return kDsErrInvalidParam;
    } else {
        if (d.format == nullptr || d.bufferBytes < kDsBufferMinBytes ||
            d.bufferBytes > kDsBufferMaxBytes)
            return kDsErrInvalidParam;
        const DsResult checked = CheckFormat(*d.format);
        if (checked != kDsOk)
            return checked;
        // 3D sources are points: a 3D buffer must be mono.
        if (threeD && d.format->channels != 1)
            return kDsErrInvalidParam;
        if (!threeD && !IsNull(d.algorithm))
            return kDsErrInvalidParam;
        if (!IsNull(d.algorithm) && d.algorithm != kDs3dAlgNoVirtualization &&
            d.algorithm != kDs3dAlgHrtfFull && d.algorithm != kDs3dAlgHrtfLight)
            return kDsErrInvalidParam;
    }
    auto state = std::make_shared<DsBufferState>();
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    if (endpoint_->removed)
        return kDsErrNoDriver;
    state->mutex = &owner_.mutex_;
    state->writePrimaryElsewhere = &owner_.writePrimaryElsewhere_;
    state->endpoint = endpoint_;
    state->device = state_;
    state->primary = primary;
    state->flags = d.flags;
    DsResult result = kDsOk;
    if (!primary) {
        state->format = *d.format;
        state->data.assign(d.bufferBytes - d.bufferBytes % d.format->blockAlign,
                           d.format->bitsPerSample == 8 ? 128 : 0);
        state->algorithm = d.algorithm;
        // From Windows 6 on, the audio engine mixes in software and has no head-related
        // algorithm: such buffers are made with panning only, as a success code says.
        if (threeD && (d.algorithm == kDs3dAlgHrtfFull || d.algorithm == kDs3dAlgHrtfLight) &&
            owner_.major_ >= 6) {
            state->algorithm = kDs3dAlgNoVirtualization;
            result = kDsNoVirtualization;
        }
        state->lost = owner_.writePrimaryElsewhere_;
    }
    endpoint_->buffers.erase(
        std::remove_if(endpoint_->buffers.begin(), endpoint_->buffers.end(),
                       [](const std::weak_ptr<DsBufferState>& w) { return w.expired(); }),
        endpoint_->buffers.end());
    endpoint_->buffers.push_back(state);
    *out = std::make_unique<DsBuffer>(state);
    return result;
}

// --- DirectSound ------------------------------------------------------------------------------

DirectSound::DirectSound(AudioDevices& devices, Desktop& desktop, uint32_t windowsMajor)
    : devices_(devices), desktop_(desktop), major_(windowsMajor) {}

DirectSound::~DirectSound() = default;

std::shared_ptr<DsEndpointState> DirectSound::Endpoint(const std::string& key) {
    for (const auto& endpoint : endpoints_)
        if (endpoint->key == key && !endpoint->removed)
            return endpoint;
    auto endpoint = std::make_shared<DsEndpointState>();
    endpoint->mutex = &mutex_;
    endpoint->key = key;
    endpoint->builtin = key == "builtin";
    endpoints_.push_back(endpoint);
    return endpoint;
}

DsResult DirectSound::Create(const Guid* device, std::unique_ptr<DsDevice>* out) {
    if (out == nullptr)
        return kDsErrInvalidParam;
    const std::vector<AudioDevice> present = devices_.Devices();
    std::string key;
    if (device == nullptr || IsNull(*device)) {
        key = devices_.DefaultKey(Flow::Playback);
    } else {
        for (const AudioDevice& d : present)
            if (d.renderGuid == *device)
                key = d.key;
    }
    const bool found = std::any_of(present.begin(), present.end(),
                                   [&](const AudioDevice& d) { return d.key == key; });
    if (key.empty() || !found)
        return kDsErrNoDriver;
    std::lock_guard<std::mutex> lock(mutex_);
    *out = std::make_unique<DsDevice>(*this, Endpoint(key));
    return kDsOk;
}

void DirectSound::SetStreamProvider(StreamProvider provider) {
    std::lock_guard<std::mutex> lock(mutex_);
    streamOf_ = std::move(provider);
}

bool DirectSound::InForeground(Hwnd window) {
    const Hwnd foreground = desktop_.GetForegroundWindow();
    for (Hwnd w = foreground; w != 0; w = desktop_.GetWindowOwner(w))
        if (w == window)
            return true;
    return false;
}

void DirectSound::MixUntil(int64_t now) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (endpoints_.empty())
            return;  // no program has used DirectSound: nothing to look at
    }
    // Which endpoints are still there, and which windows have the focus, before the lock: the
    // desktop and the device list have locks of their own.
    const std::vector<AudioDevice> present = devices_.Devices();
    std::vector<std::pair<Hwnd, bool>> focus;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& endpoint : endpoints_)
            for (const auto& weak : endpoint->buffers)
                if (auto b = weak.lock(); b && b->device)
                    focus.emplace_back(b->device->window, false);
    }
    for (auto& f : focus)
        f.second = InForeground(f.first);
    auto focused = [&](Hwnd w) {
        for (const auto& f : focus)
            if (f.first == w)
                return f.second;
        return false;
    };

    std::vector<std::pair<AudioStream*, std::vector<uint8_t>>> transfers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& endpoint : endpoints_) {
            if (!std::any_of(present.begin(), present.end(),
                             [&](const AudioDevice& d) { return d.key == endpoint->key; })) {
                endpoint->removed = true;
                for (const auto& weak : endpoint->buffers)
                    if (auto b = weak.lock())
                        b->playing = false;
                continue;
            }
            std::vector<std::shared_ptr<DsBufferState>> playing;
            for (const auto& weak : endpoint->buffers)
                if (auto b = weak.lock(); b && b->playing && !b->primary && !b->lost)
                    playing.push_back(b);
            if (playing.empty()) {
                endpoint->mixedUntil = now / kUnitsPerMs * kUnitsPerMs;
                continue;
            }
            const int64_t ms = (now - endpoint->mixedUntil) / kUnitsPerMs;
            if (ms <= 0)
                continue;
            endpoint->mixedUntil += ms * kUnitsPerMs;
            const size_t frames = static_cast<size_t>(ms) * kFramesPerMs;
            std::vector<float> mix(frames * 2, 0.0f);
            for (const auto& b : playing) {
                float gainL, gainR;
                Gains(*b, endpoint->listener, &gainL, &gainR);
                const bool audible = (b->flags & DSBCAPS_GLOBALFOCUS) != 0 ||
                                     b->device->window == 0 || focused(b->device->window);
                const uint32_t count = b->Frames();
                const double step = static_cast<double>(b->format.samplesPerSec) / kMixRate;
                for (size_t f = 0; f < frames && b->playing && count > 0; ++f) {
                    const uint32_t i = static_cast<uint32_t>(b->cursor);
                    const float frac = static_cast<float>(b->cursor - i);
                    const uint32_t next = i + 1 < count ? i + 1 : (b->looping ? 0 : i);
                    if (audible) {
                        for (int c = 0; c < 2; ++c) {
                            const float s =
                                b->Sample(i, c) * (1 - frac) + b->Sample(next, c) * frac;
                            mix[2 * f + c] += s * (c == 0 ? gainL : gainR);
                        }
                    }
                    b->cursor += step;
                    if (b->cursor >= count) {
                        if (b->looping) {
                            b->cursor = std::fmod(b->cursor, static_cast<double>(count));
                        } else {
                            b->cursor = 0;
                            b->playing = false;
                        }
                    }
                }
            }
            endpoint->framesMixed += frames;
            for (float s : mix) {
                const long v = std::lround(std::clamp(s, -1.0f, 1.0f) * 32767.0f);
                endpoint->pending.push_back(static_cast<uint8_t>(v & 0xFF));
                endpoint->pending.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
            }
            AudioStream* stream =
                endpoint->builtin || !streamOf_ ? nullptr : streamOf_(endpoint->key);
            while (endpoint->pending.size() >= kTransferBytes) {
                std::vector<uint8_t> chunk(endpoint->pending.begin(),
                                           endpoint->pending.begin() + kTransferBytes);
                endpoint->pending.erase(endpoint->pending.begin(),
                                        endpoint->pending.begin() + kTransferBytes);
                if (stream != nullptr) {
                    endpoint->sent.insert(endpoint->sent.end(), chunk.begin(), chunk.end());
                    transfers.emplace_back(stream, std::move(chunk));
                }
            }
            if (stream != endpoint->started && stream != nullptr)
                transfers.emplace(transfers.begin(), stream, std::vector<uint8_t>());
            endpoint->started = stream;
        }
    }
    // The transfers go down the driver stack without the lock; an empty one starts the stream.
    for (auto& [stream, bytes] : transfers) {
        if (bytes.empty())
            stream->Start();
        else
            stream->WriteOut(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
}

std::vector<DirectSound::BufferInfo> DirectSound::Buffers() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<BufferInfo> out;
    for (const auto& endpoint : endpoints_)
        for (const auto& weak : endpoint->buffers) {
            auto b = weak.lock();
            if (!b)
                continue;
            BufferInfo info;
            info.endpoint = endpoint->key;
            info.primary = b->primary;
            info.flags = b->flags;
            info.bytes = static_cast<uint32_t>(b->data.size());
            info.position = static_cast<uint32_t>(b->cursor) * b->FrameBytes();
            info.playing = b->playing;
            info.looping = b->looping;
            info.lost = b->lost;
            info.format = b->primary ? endpoint->primaryFormat : b->format;
            info.has3D = !b->primary && (b->flags & DSBCAPS_CTRL3D) != 0;
            info.params = b->params;
            Gains(*b, endpoint->listener, &info.panLeft, &info.panRight);
            out.push_back(info);
        }
    return out;
}

std::vector<DirectSound::ListenerInfo> DirectSound::Listeners() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ListenerInfo> out;
    for (const auto& endpoint : endpoints_)
        if (!endpoint->removed)
            out.push_back({endpoint->key, endpoint->listener});
    return out;
}

void DirectSound::SetWritePrimaryElsewhere(bool taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    writePrimaryElsewhere_ = taken;
    if (!taken)
        return;
    for (const auto& endpoint : endpoints_)
        for (const auto& weak : endpoint->buffers)
            if (auto b = weak.lock(); b && !b->primary) {
                b->lost = true;
                b->playing = false;
            }
}

std::vector<uint8_t> DirectSound::Sent(const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> bytes;
    for (const auto& e : endpoints_)
        if (e->key == endpoint)
            bytes.insert(bytes.end(), e->sent.begin(), e->sent.end());
    return bytes;
}

uint64_t DirectSound::FramesMixed(const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t frames = 0;
    for (const auto& e : endpoints_)
        if (e->key == endpoint)
            frames += e->framesMixed;
    return frames;
}

}  // namespace host::user
