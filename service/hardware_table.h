// The headsets the service attaches the filter to, as one table of fixed-size records.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace dovrel {

constexpr size_t kHardwareIdBytes = 260;

// Only `hardwareId` takes part in matching; the numeric fields are kept for reference.
struct SupportedHardwareRecord {
    uint16_t vendorId;
    uint16_t productId;
    uint16_t chipModel;  // decimal digits of the model in hexadecimal nibbles: 4410 -> 0x4410
    uint8_t alignment[2];
    char hardwareId[kHardwareIdBytes];  // zero-terminated, as Plug and Play reports it
};

static_assert(sizeof(SupportedHardwareRecord) == 268, "record layout");
static_assert(offsetof(SupportedHardwareRecord, chipModel) == 4, "record layout");
static_assert(offsetof(SupportedHardwareRecord, hardwareId) == 8, "record layout");

constexpr size_t kSupportedHardwareCount = 11;

// The eleven records in lookup order, then the terminating record (vendor id 0).
extern const SupportedHardwareRecord kSupportedHardware[kSupportedHardwareCount + 1];

// The first record whose hardware id begins the given one, letter case ignored; null when
// none does.
const SupportedHardwareRecord* FindSupportedHardware(const char* hardwareId);

}  // namespace dovrel
