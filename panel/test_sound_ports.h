// What the speaker-test page needs from Windows: DirectSound with its 3D listener and 3D
// buffers, the multimedia clock and a short sleep. The logic holds each DirectSound object
// through one of these interfaces; destroying it releases the object. Statuses are the
// HRESULTs DirectSound returns, so the logic can show them and tell the success codes apart.
#pragma once

#include <stdint.h>

#include <memory>
#include <vector>

using SoundStatus = int32_t;

constexpr SoundStatus kDsOk = 0;
// A success code: the buffer was made, but without the 3D algorithm asked for.
constexpr SoundStatus kDsNoVirtualization = 0x0878000A;
constexpr SoundStatus kDsErrBufferLost = static_cast<SoundStatus>(0x88780096u);
constexpr SoundStatus kDsErrInvalidParam = static_cast<SoundStatus>(0x80070057u);
constexpr SoundStatus kDsErrNoDriver = static_cast<SoundStatus>(0x88780078u);
constexpr SoundStatus kDsErrOutOfMemory = static_cast<SoundStatus>(0x8007000Eu);
inline bool SoundFailed(SoundStatus status) {
    return status < 0;
}

// Buffer flags, as DirectSound numbers them.
constexpr uint32_t kDsbCapsPrimaryBuffer = 0x00000001;
constexpr uint32_t kDsbCapsCtrl3D = 0x00000010;
constexpr uint32_t kDsbCapsGlobalFocus = 0x00008000;
constexpr uint32_t kDsbPlayLooping = 0x00000001;
constexpr uint32_t kDsbStatusPlaying = 0x00000001;
constexpr uint32_t kDsbStatusBufferLost = 0x00000002;
constexpr uint32_t kDsCoopPriority = 2;
constexpr uint32_t kDs3dModeHeadRelative = 1;

constexpr uint16_t kWaveFormatPcm = 1;

// A GUID in its published layout.
struct SoundGuid {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
    bool operator==(const SoundGuid& o) const {
        for (int i = 0; i < 8; ++i)
            if (data4[i] != o.data4[i])
                return false;
        return data1 == o.data1 && data2 == o.data2 && data3 == o.data3;
    }
};
// The 3D algorithm that places the source by panning and volume only.
constexpr SoundGuid kDs3dAlgNoVirtualization = {
    0xC241333F, 0x1C1B, 0x11D2, {0x94, 0xF5, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};

// A wave format record: the 18 bytes of the extended record and the bytes that follow it.
struct SoundFormat {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t extraSize = 0;
    std::vector<uint8_t> extra;
};

struct SoundVector {
    float x = 0, y = 0, z = 0;
    bool operator==(const SoundVector& o) const { return x == o.x && y == o.y && z == o.z; }
};

struct ListenerParameters {
    SoundVector position, velocity, orientFront{0, 0, 1}, orientTop{0, 1, 0};
    float distanceFactor = 1.0f, rolloffFactor = 1.0f, dopplerFactor = 1.0f;
};

struct Buffer3DParameters {
    SoundVector position, velocity;
    uint32_t insideConeAngle = 360, outsideConeAngle = 360;
    SoundVector coneOrientation{0, 0, 1};
    int32_t coneOutsideVolume = 0;
    float minDistance = 1.0f, maxDistance = 1000000000.0f;
    uint32_t mode = 0;
};

struct BufferCaps {
    uint32_t flags = 0;
    uint32_t bufferBytes = 0;
};

// The 3D control of one secondary buffer. Every change takes effect at once.
class Sound3DBuffer {
  public:
    virtual ~Sound3DBuffer() = default;
    virtual SoundStatus GetAllParameters(Buffer3DParameters* parameters) = 0;
    virtual SoundStatus SetAllParameters(const Buffer3DParameters& parameters) = 0;
    virtual SoundStatus SetPosition(const SoundVector& position) = 0;
    virtual SoundStatus SetVelocity(const SoundVector& velocity) = 0;
    virtual SoundStatus SetMinDistance(float distance) = 0;
    virtual SoundStatus SetMaxDistance(float distance) = 0;
};

// The listener of the primary buffer. Every change takes effect at once.
class SoundListener {
  public:
    virtual ~SoundListener() = default;
    virtual SoundStatus GetAllParameters(ListenerParameters* parameters) = 0;
    virtual SoundStatus SetRolloffFactor(float factor) = 0;
    virtual SoundStatus SetDopplerFactor(float factor) = 0;
};

class SoundBuffer {
  public:
    virtual ~SoundBuffer() = default;
    virtual SoundStatus SetFormat(const SoundFormat& format) = 0;  // primary buffers only
    virtual SoundStatus GetCaps(BufferCaps* caps) = 0;
    virtual SoundStatus GetStatus(uint32_t* status) = 0;
    virtual SoundStatus Restore() = 0;
    // The whole buffer, for writing; `Unlock` hands it back with `written` bytes filled.
    virtual SoundStatus Lock(uint8_t** data, uint32_t* size) = 0;
    virtual SoundStatus Unlock(uint32_t written) = 0;
    virtual SoundStatus Play(uint32_t flags) = 0;
    virtual SoundStatus Stop() = 0;
    virtual SoundStatus SetCurrentPosition(uint32_t position) = 0;
    virtual SoundStatus Query3DBuffer(std::unique_ptr<Sound3DBuffer>* out) = 0;
    virtual SoundStatus QueryListener(std::unique_ptr<SoundListener>* out) = 0;
};

struct BufferDescription {
    uint32_t flags = 0;
    uint32_t bufferBytes = 0;  // 0 for primary buffers
    const SoundFormat* format = nullptr;
    SoundGuid algorithm{};
};

class SoundDevice {
  public:
    virtual ~SoundDevice() = default;
    // The cooperative level for the panel's main window.
    virtual SoundStatus SetCooperativeLevel(uint32_t level) = 0;
    virtual SoundStatus CreateSoundBuffer(const BufferDescription& description,
                                          std::unique_ptr<SoundBuffer>* out) = 0;
};

class TestSoundPorts {
  public:
    virtual ~TestSoundPorts() = default;
    // DirectSoundCreate for the default playback device.
    virtual SoundStatus CreateDevice(std::unique_ptr<SoundDevice>* out) = 0;
    // timeGetTime.
    virtual uint32_t SystemTimeMs() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};
