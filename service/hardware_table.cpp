#include "hardware_table.h"

#include "supported_products.h"
#include "text.h"

namespace dovrel {

namespace {

static_assert(kSupportedProductCount == kSupportedHardwareCount,
              "the service attaches to exactly the products the driver supports");

// 4410 -> 0x4410: the decimal digits of the model in hexadecimal nibbles.
constexpr uint16_t ModelNibbles(uint16_t model) {
    return static_cast<uint16_t>(((model / 1000) % 10) << 12 | ((model / 100) % 10) << 8 |
                                 ((model / 10) % 10) << 4 | (model % 10));
}

// The record of one product of the driver's list, with its hardware id as Plug and Play
// reports it: "USB\Vid_0f1e&Pid_1607&Rev_0100&MI_00" (lower-case hex).
constexpr SupportedHardwareRecord MakeRecord(const SupportedProduct& product) {
    SupportedHardwareRecord record{};
    record.vendorId = kSupportedVendorId;
    record.productId = product.ProductId;
    record.chipModel = ModelNibbles(product.ChipModel);
    const char prefix[] = "USB\\Vid_0f1e&Pid_";
    const char suffix[] = "&Rev_0100&MI_00";
    const char digits[] = "0123456789abcdef";
    size_t at = 0;
    for (size_t i = 0; prefix[i] != 0; ++i)
        record.hardwareId[at++] = prefix[i];
    for (int shift = 12; shift >= 0; shift -= 4)
        record.hardwareId[at++] = digits[(product.ProductId >> shift) & 0xF];
    for (size_t i = 0; suffix[i] != 0; ++i)
        record.hardwareId[at++] = suffix[i];
    return record;
}

}  // namespace

const SupportedHardwareRecord kSupportedHardware[kSupportedHardwareCount + 1] = {
    MakeRecord(kSupportedProducts[0]),  MakeRecord(kSupportedProducts[1]),
    MakeRecord(kSupportedProducts[2]),  MakeRecord(kSupportedProducts[3]),
    MakeRecord(kSupportedProducts[4]),  MakeRecord(kSupportedProducts[5]),
    MakeRecord(kSupportedProducts[6]),  MakeRecord(kSupportedProducts[7]),
    MakeRecord(kSupportedProducts[8]),  MakeRecord(kSupportedProducts[9]),
    MakeRecord(kSupportedProducts[10]), SupportedHardwareRecord{},
};

const SupportedHardwareRecord* FindSupportedHardware(const char* hardwareId) {
    for (const SupportedHardwareRecord* record = kSupportedHardware; record->vendorId != 0;
         ++record) {
        if (StartsWithIgnoreCase(hardwareId, record->hardwareId))
            return record;
    }
    return nullptr;
}

}  // namespace dovrel
