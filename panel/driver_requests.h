// The panel's seven requests to the driver. Each returns 1 when it succeeded and 0 when it
// did not, silently: the caller decides what a failure means.
//
// The six value requests share the main dialog's cached handle (`DriverHandle`): opened on
// first use, kept between calls, closed and invalidated when a request fails so that the
// next call opens the device again. The 7.1 block opens and closes a handle of its own.
#pragma once

#include <stdint.h>

#include "driver_link.h"

class DriverRequests {
  public:
    DriverRequests(DriverLink& link, DriverLink::Handle& cachedHandle)
        : link_(link), handle_(cachedHandle) {}

    // Band gain get: succeeds only when the driver answered with data; `gain` then holds it.
    int GetBandGain(uint16_t band, float* gain);
    int SetBandGain(uint16_t band, float gain);

    // Equalizer flag: selector 1 reads into `value` (which keeps its old value when nothing
    // came back), any other selector writes it.
    int EqualizerFlag(uint32_t selector, uint32_t* value);

    int NoiseCleanOff();
    int SetSoundField(uint32_t type);
    int GetSoundField(uint32_t* type);

    // The virtual 7.1 block, switched on or off, with the eight distances and angles.
    int SendVirtual71(uint32_t enable, const float distances[8], const float angles[8]);

  private:
    // One request over the cached handle; false (and the handle dropped) on any failure.
    bool Send(uint32_t code, void* block, uint32_t inputLength, uint32_t outputLength,
              uint32_t* bytesReturned);

    DriverLink& link_;
    DriverLink::Handle& handle_;
};
