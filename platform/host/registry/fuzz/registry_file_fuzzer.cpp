// Any byte string given to the registry reader either loads or is refused with a line number;
// whatever loads writes back to text that loads to the same tree.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string_view>

#include "host/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::Registry registry;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!registry.Load(text).ok) {
        return 0;
    }
    const std::string written = registry.Export();
    host::Registry again;
    if (!again.Load(written).ok || again.Export() != written) {
        abort();
    }
    return 0;
}
