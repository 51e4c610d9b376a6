// What the simulated loader reads from a PE image file: the machine it was built for, its
// export directory (the library's own name and the exported names) and its resource tree.
// The reader trusts nothing in the file: every offset, size and count is checked against the
// file's bytes, and a file that breaks any of them is refused as a whole.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

constexpr uint16_t kImageFileMachineI386 = 0x014C;
constexpr uint16_t kImageFileMachineAmd64 = 0x8664;

// A resource type or name: an integer id, or a string (as the tree stores it; resource
// compilers write named entries in upper case).
struct PeResourceKey {
    bool isId = true;
    uint16_t id = 0;
    std::u16string name;

    bool operator==(const PeResourceKey& other) const {
        return isId == other.isId && (isId ? id == other.id : name == other.name);
    }
};

// One leaf of the tree: type, name, language and where its bytes lie in the file.
struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    uint16_t language = 0;
    size_t fileOffset = 0;
    uint32_t size = 0;
};

struct PeImage {
    uint16_t machine = 0;
    bool isDll = false;
    // The name the linker wrote into the export directory ("QX_AudioControlRec.dll"); empty
    // for an image without exports.
    std::string exportName;
    std::vector<std::string> exports;   // exported by name
    std::vector<PeResource> resources;  // in tree order: type, then name, then language
};

// The tree may not hold more leaves than this; a file whose directories point back at each
// other to multiply its entries is refused.
constexpr size_t kMaxPeResources = 65536;

// Parses the headers, the export directory and the resource tree. On a malformed image
// returns nothing and, when `error` is given, says what was wrong.
std::optional<PeImage> ParsePeImage(const uint8_t* data, size_t size, std::string* error = nullptr);

}  // namespace host
