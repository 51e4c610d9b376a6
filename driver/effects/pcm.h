// 16-bit little-endian PCM access and the conversions back to 16 bits.
//
// Transfer buffers come from the USB stack with no alignment promise, so samples are moved
// with memcpy (a single load or store on x86) rather than through an int16_t pointer.
#pragma once

#include <stdint.h>

inline int16_t LoadSample(const uint8_t* bytes) {
    int16_t value;
    __builtin_memcpy(&value, bytes, sizeof value);
    return value;
}

inline void StoreSample(uint8_t* bytes, int16_t value) {
    __builtin_memcpy(bytes, &value, sizeof value);
}

// Saturate, else truncate toward zero. A NaN (possible only from a hostile gain) gives 0, as
// the x86 conversion instruction would after narrowing; converting it in C++ would be undefined.
inline int16_t SaturateTruncate(float value) {
    if (value != value)
        return 0;
    if (value > 32767.0f)
        return 32767;
    if (value < -32768.0f)
        return -32768;
    return static_cast<int16_t>(value);
}

// Saturate, else round by adding 0.5 and truncating toward zero. The limits are tested on the
// value itself, before the half is added (so -32768.3 gives -32768, not -32767). The half is a
// double constant, so the addition is exact in double precision rather than rounded in float.
inline int16_t SaturateRound(float value) {
    if (value != value)
        return 0;
    if (value > 32767.0f)
        return 32767;
    if (value < -32768.0f)
        return -32768;
    return static_cast<int16_t>(static_cast<double>(value) + 0.5);
}
