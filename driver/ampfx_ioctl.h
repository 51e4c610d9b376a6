// The control protocol between the panel (or any client) and the driver's control device:
// the device's names, the nine request codes and their request blocks. Shared by the driver,
// the panel and the command-line client, so it depends on nothing but fixed-width types.
#pragma once

#include <stdint.h>

// "\\.\Class#UsbAmpfxSuite&0F1E&00" as user mode opens it.
#define AMPFX_CONTROL_DEVICE_PATH_A "\\\\.\\Class#UsbAmpfxSuite&0F1E&00"
#define AMPFX_CONTROL_DEVICE_NAME u"\\Device\\Class#UsbAmpfxSuite&0F1E&00"
#define AMPFX_CONTROL_DEVICE_LINK u"\\DosDevices\\Class#UsbAmpfxSuite&0F1E&00"

// Device type FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS, METHOD_BUFFERED, functions 0xC0A..0xC5A.
constexpr uint32_t AmpfxControlCode(uint32_t function) {
    return (0x22u << 16) | (function << 2);
}

constexpr uint32_t IOCTL_AMPFX_EQ_BAND = AmpfxControlCode(0xC0A);      // 0x223028
constexpr uint32_t IOCTL_AMPFX_EQ_BAND_RAW = AmpfxControlCode(0xC14);  // 0x223050
constexpr uint32_t IOCTL_AMPFX_EQ_ENABLE = AmpfxControlCode(0xC1E);    // 0x223078
constexpr uint32_t IOCTL_AMPFX_DRC_ENABLE = AmpfxControlCode(0xC28);   // 0x2230A0
constexpr uint32_t IOCTL_AMPFX_NOISE_CLEAN = AmpfxControlCode(0xC32);  // 0x2230C8
constexpr uint32_t IOCTL_AMPFX_SOUND_FIELD = AmpfxControlCode(0xC3C);  // 0x2230F0
constexpr uint32_t IOCTL_AMPFX_SPEAKER_51 = AmpfxControlCode(0xC46);   // 0x223118
constexpr uint32_t IOCTL_AMPFX_VIRTUAL_71 = AmpfxControlCode(0xC50);   // 0x223140
constexpr uint32_t IOCTL_AMPFX_CONVERT = AmpfxControlCode(0xC5A);      // 0x223168

static_assert(IOCTL_AMPFX_EQ_BAND == 0x223028, "request codes are fixed");
static_assert(IOCTL_AMPFX_CONVERT == 0x223168, "request codes are fixed");

// Selector value that asks for a get; any other value sets (the panel sends 0).
constexpr uint32_t kAmpfxSelectorGet = 1;

#pragma pack(push, 1)

struct AmpfxBandRequest {
    uint16_t Selector;
    uint16_t Band;
    float Gain;  // linear, 1.0 = unchanged
};

struct AmpfxValueRequest {
    uint32_t Selector;
    uint32_t Value;
};

struct AmpfxSpeaker51Request {
    uint32_t Selector;
    uint32_t EnableHRTF;
    uint32_t LeftChOffset;
    uint32_t RightChOffset;
    float Ampfx5Ch1Power[6];
};

struct AmpfxVirtual71Request {
    uint32_t Selector;
    uint32_t EnableVirtual7ch1;
    float Virtual7ch1Distance[8];
    float Virtual7ch1Radian[8];
};

#pragma pack(pop)

static_assert(sizeof(AmpfxBandRequest) == 8, "block layout is fixed");
static_assert(sizeof(AmpfxValueRequest) == 8, "block layout is fixed");
static_assert(sizeof(AmpfxSpeaker51Request) == 40, "block layout is fixed");
static_assert(sizeof(AmpfxVirtual71Request) == 72, "block layout is fixed");
