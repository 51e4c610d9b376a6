// The supported headsets: USB vendor 0x0F1E and these products, in lookup order, each with
// the chip model it is built on. The driver identifies a started device by this list and the
// attachment service attaches the filter to the same list, so the two cannot disagree.
//
// Plain data for every build: the kernel driver, the service, the host tools.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint16_t kSupportedVendorId = 0x0F1E;

struct SupportedProduct {
    uint16_t ProductId;
    uint16_t ChipModel;  // the model number, 4410
};

constexpr SupportedProduct kSupportedProducts[] = {
    {0x1607, 4410}, {0x160B, 4410}, {0x160C, 4405}, {0x160D, 4420}, {0x1613, 4420}, {0x1517, 4420},
    {0x1527, 4420}, {0x1614, 4430}, {0x1615, 4430}, {0x1616, 4430}, {0x1617, 4430},
};

constexpr size_t kSupportedProductCount = sizeof kSupportedProducts / sizeof kSupportedProducts[0];

// The product's row, or null for a device of another vendor or product.
constexpr const SupportedProduct* FindSupportedProduct(uint16_t vendorId, uint16_t productId) {
    if (vendorId != kSupportedVendorId)
        return nullptr;
    for (const SupportedProduct& row : kSupportedProducts) {
        if (row.ProductId == productId)
            return &row;
    }
    return nullptr;
}
