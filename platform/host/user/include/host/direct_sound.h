// DirectSound of the simulated machine's user session: a device for each playback endpoint
// AudioDevices lists, its cooperative level, the primary buffer with its format and its 3D
// listener, and secondary buffers (3D or not) that play once or in a loop. Each call returns
// the HRESULT DirectSound returns, failures included.
//
// What the simulated mixer does (the "no virtualization" algorithm, the only one it has):
// - it mixes as the machine's clock moves (Desktop::RunUntil), in whole milliseconds, at the
//   endpoint's rate: 48 000 frames a second, 16-bit stereo, the format the USB headsets take;
// - a secondary buffer is read at its own rate with linear interpolation between frames,
//   8-bit data centred on 128, stereo buffers as they are, mono ones on both sides;
// - a 3D buffer is placed by panning and distance only: the source's position relative to the
//   listener (head-relative mode: the position itself; normal mode: minus the listener's
//   position, in the listener's default orientation, x right, y up, z front) gives
//   pan p = x / distance (0 at distance 0); the far side is scaled by 1 - |p|, the near side
//   keeps full level. The distance is clamped to [min, max] and attenuates by
//   (min / distance) ^ rolloff. Velocity and Doppler factor are recorded but do not shift the
//   pitch; cones are recorded and not applied;
// - buffers without global focus are silent while the window that set the cooperative level
//   (or a window it owns) is not the foreground window;
// - the mix goes to a USB endpoint as isochronous transfers of the class driver's stream (so
//   through the filter driver), 10 ms a transfer; the built-in card only counts what it got.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/user_types.h"

namespace host {
class AudioStream;
class PnpManager;
}  // namespace host

namespace host::user {

class AudioDevices;
class Desktop;

using DsResult = int32_t;
constexpr DsResult kDsOk = 0;
constexpr DsResult kDsNoVirtualization = 0x0878000A;
constexpr DsResult kDsErrAllocated = static_cast<DsResult>(0x8878000Au);
constexpr DsResult kDsErrInvalidCall = static_cast<DsResult>(0x88780032u);
constexpr DsResult kDsErrPrioLevelNeeded = static_cast<DsResult>(0x88780046u);
constexpr DsResult kDsErrBadFormat = static_cast<DsResult>(0x88780064u);
constexpr DsResult kDsErrNoDriver = static_cast<DsResult>(0x88780078u);
constexpr DsResult kDsErrBufferLost = static_cast<DsResult>(0x88780096u);
constexpr DsResult kDsErrInvalidParam = static_cast<DsResult>(0x80070057u);
constexpr DsResult kDsErrNoInterface = static_cast<DsResult>(0x80004002u);
constexpr DsResult kDsErrControlUnavail = static_cast<DsResult>(0x8878001Eu);

constexpr uint32_t DSSCL_NORMAL = 1, DSSCL_PRIORITY = 2, DSSCL_EXCLUSIVE = 3,
                   DSSCL_WRITEPRIMARY = 4;
constexpr uint32_t DSBCAPS_PRIMARYBUFFER = 0x1, DSBCAPS_STATIC = 0x2, DSBCAPS_LOCSOFTWARE = 0x8,
                   DSBCAPS_CTRL3D = 0x10, DSBCAPS_CTRLFREQUENCY = 0x20, DSBCAPS_CTRLPAN = 0x40,
                   DSBCAPS_CTRLVOLUME = 0x80, DSBCAPS_STICKYFOCUS = 0x4000,
                   DSBCAPS_GLOBALFOCUS = 0x8000;
constexpr uint32_t DSBPLAY_LOOPING = 0x1;
constexpr uint32_t DSBSTATUS_PLAYING = 0x1, DSBSTATUS_BUFFERLOST = 0x2, DSBSTATUS_LOOPING = 0x4;
constexpr uint32_t DS3DMODE_NORMAL = 0, DS3DMODE_HEADRELATIVE = 1, DS3DMODE_DISABLE = 2;
constexpr uint32_t kDsBufferMinBytes = 4, kDsBufferMaxBytes = 0x0FFFFFFF;

extern const Guid kDs3dAlgNoVirtualization;  // {C241333F-1C1B-11D2-94F5-00C04FC28ACA}
extern const Guid kDs3dAlgHrtfFull;          // {C2413340-1C1B-11D2-94F5-00C04FC28ACA}
extern const Guid kDs3dAlgHrtfLight;         // {C2413342-1C1B-11D2-94F5-00C04FC28ACA}

struct DsFormat {  // WAVEFORMATEX and its extra bytes
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    std::vector<uint8_t> extra;
};

struct DsVector {
    float x = 0, y = 0, z = 0;
};

struct Ds3DBufferParameters {  // DS3DBUFFER
    DsVector position, velocity;
    uint32_t insideConeAngle = 360, outsideConeAngle = 360;
    DsVector coneOrientation{0, 0, 1};
    int32_t coneOutsideVolume = 0;
    float minDistance = 1.0f, maxDistance = 1000000000.0f;
    uint32_t mode = DS3DMODE_NORMAL;
};

struct Ds3DListenerParameters {  // DS3DLISTENER
    DsVector position, velocity, orientFront{0, 0, 1}, orientTop{0, 1, 0};
    float distanceFactor = 1.0f, rolloffFactor = 1.0f, dopplerFactor = 1.0f;
};

struct DsBufferDescription {  // DSBUFFERDESC
    uint32_t flags = 0;
    uint32_t bufferBytes = 0;
    const DsFormat* format = nullptr;
    Guid algorithm{};  // GUID_NULL: the default algorithm
};

struct DsBufferState;
struct DsDeviceState;
struct DsEndpointState;
class DirectSound;

class Ds3DBuffer {  // IDirectSound3DBuffer; every change applies at once (DS3D_IMMEDIATE)
  public:
    explicit Ds3DBuffer(std::shared_ptr<DsBufferState> state) : state_(std::move(state)) {}
    DsResult GetAllParameters(Ds3DBufferParameters* parameters);
    DsResult SetAllParameters(const Ds3DBufferParameters& parameters);
    DsResult SetPosition(const DsVector& position);
    DsResult SetVelocity(const DsVector& velocity);
    DsResult SetMinDistance(float distance);
    DsResult SetMaxDistance(float distance);
    DsResult SetMode(uint32_t mode);

  private:
    std::shared_ptr<DsBufferState> state_;
};

class Ds3DListener {  // IDirectSound3DListener
  public:
    explicit Ds3DListener(std::shared_ptr<DsEndpointState> endpoint)
        : endpoint_(std::move(endpoint)) {}
    DsResult GetAllParameters(Ds3DListenerParameters* parameters);
    DsResult SetPosition(const DsVector& position);
    DsResult SetRolloffFactor(float factor);
    DsResult SetDopplerFactor(float factor);

  private:
    std::shared_ptr<DsEndpointState> endpoint_;
};

class DsBuffer {  // IDirectSoundBuffer
  public:
    explicit DsBuffer(std::shared_ptr<DsBufferState> state) : state_(std::move(state)) {}
    ~DsBuffer();
    DsResult SetFormat(const DsFormat& format);  // primary buffers, priority level or higher
    DsResult GetFormat(DsFormat* format);
    DsResult GetCaps(uint32_t* flags, uint32_t* bufferBytes);
    DsResult GetStatus(uint32_t* status);
    DsResult Restore();
    // The whole buffer (DSBLOCK_ENTIREBUFFER); Unlock with the bytes written.
    DsResult Lock(uint8_t** data, uint32_t* size);
    DsResult Unlock(uint32_t written);
    DsResult Play(uint32_t flags);
    DsResult Stop();
    DsResult SetCurrentPosition(uint32_t position);
    DsResult GetCurrentPosition(uint32_t* play);
    DsResult Query3DBuffer(std::unique_ptr<Ds3DBuffer>* out);
    DsResult QueryListener(std::unique_ptr<Ds3DListener>* out);

  private:
    std::shared_ptr<DsBufferState> state_;
};

class DsDevice {  // IDirectSound8
  public:
    DsDevice(DirectSound& owner, std::shared_ptr<DsEndpointState> endpoint);
    ~DsDevice();
    DsResult SetCooperativeLevel(Hwnd window, uint32_t level);
    DsResult CreateSoundBuffer(const DsBufferDescription& description,
                               std::unique_ptr<DsBuffer>* out);

  private:
    DirectSound& owner_;
    std::shared_ptr<DsEndpointState> endpoint_;
    std::shared_ptr<DsDeviceState> state_;  // shared with the buffers it made
};

class DirectSound {
  public:
    // `streamOf` gives the class driver's playback stream of a USB audio function (by
    // instance path), or null when it has none running; the mixer calls it on the machine's
    // thread.
    using StreamProvider = std::function<AudioStream*(const std::string& instancePath)>;

    DirectSound(AudioDevices& devices, Desktop& desktop, uint32_t windowsMajor);
    ~DirectSound();
    DirectSound(const DirectSound&) = delete;
    DirectSound& operator=(const DirectSound&) = delete;

    // DirectSoundCreate8: null for the default playback device, else a device's GUID.
    DsResult Create(const Guid* device, std::unique_ptr<DsDevice>* out);

    // --- the machine's side ------------------------------------------------------------
    void SetStreamProvider(StreamProvider provider);
    // Mixes every playing buffer up to the clock's `now` (100-ns units).
    void MixUntil(int64_t now);

    // --- the scenario's side -----------------------------------------------------------
    struct BufferInfo {
        std::string endpoint;
        bool primary = false;
        uint32_t flags = 0, bytes = 0, position = 0;
        bool playing = false, looping = false, lost = false;
        DsFormat format;
        bool has3D = false;
        Ds3DBufferParameters params;
        float panLeft = 1, panRight = 1;  // the gains the mixer applies now
    };
    struct ListenerInfo {
        std::string endpoint;
        Ds3DListenerParameters params;
    };
    std::vector<BufferInfo> Buffers();
    std::vector<ListenerInfo> Listeners();
    // Another program takes (true) or gives back (false) the write-primary level: every
    // secondary buffer is lost until then, as Windows loses them.
    void SetWritePrimaryElsewhere(bool taken);
    // Every byte the mixer handed to a USB endpoint's stream so far, before the driver stack
    // processed it.
    std::vector<uint8_t> Sent(const std::string& endpoint);
    // Frames mixed into each endpoint so far (48 kHz frames).
    uint64_t FramesMixed(const std::string& endpoint);

  private:
    friend class DsDevice;
    friend class DsBuffer;
    std::shared_ptr<DsEndpointState> Endpoint(const std::string& key);
    bool InForeground(Hwnd window);

    AudioDevices& devices_;
    Desktop& desktop_;
    uint32_t major_;
    std::mutex mutex_;  // every state object below and theirs
    std::vector<std::shared_ptr<DsEndpointState>> endpoints_;
    StreamProvider streamOf_;
    bool writePrimaryElsewhere_ = false;
    int64_t mixedUntil_ = -1;
};

}  // namespace host::user
