// Feeds arbitrary bytes to the PE reader: it must refuse or accept without reading outside the
// buffer, and every resource it accepts must lie inside it.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>

#include "host/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto image = host::ParsePeImage(data, size);
    if (image) {
        for (const host::PeResource& r : image->resources) {
            if (r.fileOffset > size || r.size > size - r.fileOffset) {
                std::abort();
            }
        }
    }
    return 0;
}
