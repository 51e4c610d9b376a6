// The PE reader on a real skin library and on every kind of damage to one: it reads what the
// linker and resource compiler wrote, and refuses (never misreads) a damaged file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/pe_image.h"

namespace {

std::vector<uint8_t> Skin() {
    std::ifstream in(AMPFX_SKIN_DLL, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}

void Put32(std::vector<uint8_t>& d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        d[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

bool AllInside(const host::PeImage& image, size_t size) {
    for (const host::PeResource& r : image.resources) {
        if (r.fileOffset > size || r.size > size - r.fileOffset) {
            return false;
        }
    }
    return true;
}

// File offset of the resource section's root, found from the headers as the reader does.
size_t ResourceRoot(const std::vector<uint8_t>& d) {
    size_t pe = U32(d, 0x3C);
    size_t optional = pe + 24;
    size_t sections = optional + (d[pe + 20] | d[pe + 21] << 8);
    uint32_t rva = U32(d, optional + 96 + 8 * 2);
    for (size_t i = 0; i < static_cast<size_t>(d[pe + 6] | d[pe + 7] << 8); ++i) {
        size_t s = sections + 40 * i;
        uint32_t va = U32(d, s + 12), raw = U32(d, s + 20), rawSize = U32(d, s + 16);
        if (rva >= va && rva < va + rawSize) {
            return raw + rva - va;
        }
    }
    return 0;
}

TEST(PeImageTest, ReadsTheSkinsExportsAndResourceTree) {
    std::vector<uint8_t> dll = Skin();
    ASSERT_FALSE(dll.empty());
    std::string error;
    auto image = host::ParsePeImage(dll.data(), dll.size(), &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->machine, host::kImageFileMachineI386);
    EXPECT_TRUE(image->isDll);
    EXPECT_EQ(image->exportName, "QX_AudioControlRec.dll");
    EXPECT_EQ(image->exports, (std::vector<std::string>{"GetResourceName", "IsQEXDefaultSkin"}));
    ASSERT_EQ(image->resources.size(), 66u);
    // The tree lists string-named types first, as the compiler sorts them.
    EXPECT_FALSE(image->resources[0].type.isId);
    EXPECT_EQ(image->resources[0].type.name, u"WAVE");
    EXPECT_EQ(image->resources[0].name.id, 1071);
    EXPECT_EQ(image->resources[0].size, 301510u);
    const uint8_t* wave = dll.data() + image->resources[0].fileOffset;
    EXPECT_EQ(std::string(wave, wave + 4), "RIFF");
}

TEST(PeImageTest, RefusesFilesThatAreNoImage) {
    std::vector<uint8_t> dll = Skin();
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
        const char* error;
    };
    size_t pe = U32(dll, 0x3C);
    const Case cases[] = {
        {"MZ", 0, 0x00005A4E, "no MZ header"},
        {"PE offset past the end", 0x3C, 0x7FFFFFF0, "no PE signature"},
        {"signature", pe, 0x00004551, "no PE signature"},
        {"optional header magic", pe + 24, 0x0000020C, "unknown optional header"},
        {"directory count", pe + 24 + 92, 0x100, "data directories outside the optional header"},
        {"export directory address", pe + 24 + 96, 0x7FFF0000, "export directory outside the file"},
        {"resource directory address", pe + 24 + 96 + 16, 0x7FFF0000,
         "resource directory outside every section"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t kept = U32(dll, c.offset);
        Put32(dll, c.offset, c.value);
        std::string error;
        EXPECT_FALSE(host::ParsePeImage(dll.data(), dll.size(), &error));
        EXPECT_EQ(error, c.error);
        Put32(dll, c.offset, kept);
    }
}

TEST(PeImageTest, EveryTruncationIsRefusedOrReadInsideTheFile) {
    std::vector<uint8_t> dll = Skin();
    // Every cut through the headers and the resource tree; then cuts through the data.
    size_t root = ResourceRoot(dll);
    ASSERT_GT(root, 0u);
    for (size_t size = 0; size < dll.size(); size += size < root + 4096 ? 1 : 4093) {
        auto image = host::ParsePeImage(dll.data(), size);
        if (image) {
            ASSERT_TRUE(AllInside(*image, size)) << size;
        }
    }
}

TEST(PeImageTest, DamageInsideTheResourceTreeIsRefusedOrReadInsideTheFile) {
    std::vector<uint8_t> dll = Skin();
    size_t root = ResourceRoot(dll);
    // The directories, entries and data entries of the tree sit in its first kilobyte or so.
    for (size_t at = root; at < root + 1600 && at < dll.size(); ++at) {
        uint8_t kept = dll[at];
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0x80}, uint8_t{0xFF}}) {
            dll[at] = value;
            auto image = host::ParsePeImage(dll.data(), dll.size());
            if (image) {
                ASSERT_TRUE(AllInside(*image, dll.size())) << at;
            }
        }
        dll[at] = kept;
    }
}

TEST(PeImageTest, DirectoriesThatShareSubdirectoriesCannotMultiplyWithoutBound) {
    // A hand-made image: one section holding a root of 8000 type entries, all pointing at one
    // name directory of 8000 entries, all pointing at one language directory of 8000 leaves.
    const uint32_t n = 8000;
    const uint32_t fileAlign = 0x200;
    std::vector<uint8_t> d(fileAlign, 0);
    d[0] = 'M';
    d[1] = 'Z';
    Put32(d, 0x3C, 0x40);
    Put32(d, 0x40, 0x00004550);
    d[0x44] = 0x4C;  // i386
    d[0x45] = 0x01;
    d[0x46] = 1;     // one section
    d[0x54] = 0xE0;  // optional header size
    d[0x58] = 0x0B;  // PE32
    d[0x59] = 0x01;
    Put32(d, 0x58 + 92, 16);
    Put32(d, 0x58 + 96 + 16, 0x1000);  // resource directory
    size_t section = 0x58 + 0xE0;
    uint32_t treeSize = 3 * (16 + 8 * n) + 16;
    Put32(d, section + 8, treeSize);
    Put32(d, section + 12, 0x1000);
    Put32(d, section + 16, treeSize);
    Put32(d, section + 20, fileAlign);
    std::vector<uint8_t> tree(treeSize, 0);
    uint32_t names = 16 + 8 * n, langs = 2 * (16 + 8 * n), leaf = 3 * (16 + 8 * n);
    for (uint32_t level = 0; level < 3; ++level) {
        uint32_t dir = level * (16 + 8 * n);
        tree[dir + 14] = static_cast<uint8_t>(n);
        tree[dir + 15] = static_cast<uint8_t>(n >> 8);
        for (uint32_t i = 0; i < n; ++i) {
            Put32(tree, dir + 16 + 8 * i, i + 1);
            uint32_t target = level == 0   ? (names | 0x80000000u)
                              : level == 1 ? (langs | 0x80000000u)
                                           : leaf;
            Put32(tree, dir + 16 + 8 * i + 4, target);
        }
    }
    Put32(tree, leaf, 0x1000);  // data: the tree itself, 4 bytes
    Put32(tree, leaf + 4, 4);
    d.insert(d.end(), tree.begin(), tree.end());
    std::string error;
    EXPECT_FALSE(host::ParsePeImage(d.data(), d.size(), &error));
    EXPECT_EQ(error, "too many resources");
}

}  // namespace
