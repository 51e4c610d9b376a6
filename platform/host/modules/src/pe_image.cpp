#include "host/pe_image.h"

#include <string.h>

namespace host {
namespace {

constexpr uint32_t kDirectoryExport = 0;
constexpr uint32_t kDirectoryResource = 2;
constexpr uint16_t kImageFileDll = 0x2000;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNamedEntryFlag = 0x80000000u;
constexpr size_t kMaxExports = 65536;
constexpr size_t kMaxNameLength = 4096;
// Directories may share subdirectories; bounding the entries walked keeps a hostile tree from
// costing more than a large honest one.
constexpr size_t kMaxEntriesVisited = 4 * kMaxPeResources;

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawOffset;
    uint32_t rawSize;
};

class Reader {
  public:
    Reader(const uint8_t* data, size_t size, std::string* error)
        : data_(data), size_(size), error_(error) {}

    bool Fail(const char* what) {
        if (error_ && error_->empty()) {
            *error_ = what;
        }
        return false;
    }

    bool Has(size_t offset, size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // The readers write 0 on failure so that no caller ever sees an unset value.
    bool U16(size_t offset, uint16_t* value) const {
        *value = 0;
        if (!Has(offset, 2)) {
            return false;
        }
        *value = static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
        return true;
    }
    bool U32(size_t offset, uint32_t* value) const {
        *value = 0;
        if (!Has(offset, 4)) {
            return false;
        }
        *value = static_cast<uint32_t>(data_[offset]) |
                 static_cast<uint32_t>(data_[offset + 1]) << 8 |
                 static_cast<uint32_t>(data_[offset + 2]) << 16 |
                 static_cast<uint32_t>(data_[offset + 3]) << 24;
        return true;
    }

    // The file offset of `length` bytes at a relative virtual address, all inside the raw
    // data of one section.
    bool Map(uint32_t rva, size_t length, size_t* offset) const {
        *offset = 0;
        for (const Section& s : sections_) {
            uint64_t extent = s.rawSize;  // bytes beyond the raw data exist only in memory
            if (rva >= s.virtualAddress && rva - s.virtualAddress < extent &&
                length <= extent - (rva - s.virtualAddress)) {
                size_t at = static_cast<size_t>(s.rawOffset) + (rva - s.virtualAddress);
                if (Has(at, length)) {
                    *offset = at;
                    return true;
                }
            }
        }
        return false;
    }

    bool CString(uint32_t rva, std::string* out) const {
        size_t at;
        if (!Map(rva, 1, &at)) {
            return false;
        }
        size_t end = at;
        while (end < size_ && data_[end] != 0 && end - at < kMaxNameLength) {
            ++end;
        }
        if (end >= size_ || data_[end] != 0) {
            return false;
        }
        out->assign(reinterpret_cast<const char*>(data_ + at), end - at);
        return true;
    }

    bool Parse(PeImage* image);

  private:
    bool ParseExports(uint32_t rva, uint32_t length, PeImage* image);
    bool ParseResources(uint32_t rva, PeImage* image);
    bool Directory(size_t base, size_t limit, uint32_t offset, int level, PeResource* path,
                   PeImage* image);
    bool EntryKey(size_t base, size_t limit, uint32_t nameField, PeResourceKey* key);

    const uint8_t* data_;
    size_t size_;
    std::string* error_;
    std::vector<Section> sections_;
    size_t entriesVisited_ = 0;
};

bool Reader::Parse(PeImage* image) {
    uint16_t mz;
    uint32_t peOffset;
    if (!U16(0, &mz) || mz != 0x5A4D || !U32(0x3C, &peOffset)) {
        return Fail("no MZ header");
    }
    uint32_t signature;
    if (!U32(peOffset, &signature) || signature != 0x00004550) {
        return Fail("no PE signature");
    }
    size_t coff = static_cast<size_t>(peOffset) + 4;
    uint16_t sectionCount, optionalSize, characteristics;
    if (!U16(coff, &image->machine) || !U16(coff + 2, &sectionCount) ||
        !U16(coff + 16, &optionalSize) || !U16(coff + 18, &characteristics)) {
        return Fail("truncated file header");
    }
    image->isDll = (characteristics & kImageFileDll) != 0;
    size_t optional = coff + 20;
    uint16_t magic;
    if (!U16(optional, &magic)) {
        return Fail("truncated optional header");
    }
    size_t countField, directories;
    if (magic == 0x10B) {
        countField = optional + 92;
        directories = optional + 96;
    } else if (magic == 0x20B) {
        countField = optional + 108;
        directories = optional + 112;
    } else {
        return Fail("unknown optional header");
    }
    uint32_t directoryCount;
    if (!U32(countField, &directoryCount) || directories > optional + optionalSize ||
        static_cast<uint64_t>(directoryCount) * 8 > optional + optionalSize - directories) {
        return Fail("data directories outside the optional header");
    }
    size_t table = optional + optionalSize;
    if (!Has(table, static_cast<size_t>(sectionCount) * 40)) {
        return Fail("truncated section table");
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t at = table + 40u * i;
        Section s;
        U32(at + 8, &s.virtualSize);
        U32(at + 12, &s.virtualAddress);
        U32(at + 16, &s.rawSize);
        U32(at + 20, &s.rawOffset);
        sections_.push_back(s);
    }
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* length) {
        *rva = *length = 0;
        if (index < directoryCount) {
            U32(directories + 8 * index, rva);
            U32(directories + 8 * index + 4, length);
        }
    };
    uint32_t rva, length;
    directory(kDirectoryExport, &rva, &length);
    if (rva != 0 && !ParseExports(rva, length, image)) {
        return false;
    }
    directory(kDirectoryResource, &rva, &length);
    if (rva != 0 && !ParseResources(rva, image)) {
        return false;
    }
    return true;
}

bool Reader::ParseExports(uint32_t rva, uint32_t, PeImage* image) {
    size_t at;
    if (!Map(rva, 40, &at)) {
        return Fail("export directory outside the file");
    }
    uint32_t nameRva, nameCount, namesRva;
    U32(at + 12, &nameRva);
    U32(at + 24, &nameCount);
    U32(at + 32, &namesRva);
    if (!CString(nameRva, &image->exportName)) {
        return Fail("export directory name outside the file");
    }
    if (nameCount > kMaxExports) {
        return Fail("too many exports");
    }
    size_t names = 0;
    if (nameCount > 0 && !Map(namesRva, static_cast<size_t>(nameCount) * 4, &names)) {
        return Fail("export name table outside the file");
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        uint32_t entry;
        U32(names + 4u * i, &entry);
        std::string name;
        if (!CString(entry, &name)) {
            return Fail("export name outside the file");
        }
        image->exports.push_back(name);
    }
    return true;
}

bool Reader::EntryKey(size_t base, size_t limit, uint32_t nameField, PeResourceKey* key) {
    if (!(nameField & kNamedEntryFlag)) {
        if (nameField > 0xFFFF) {
            return Fail("resource id above 65535");
        }
        key->isId = true;
        key->id = static_cast<uint16_t>(nameField);
        return true;
    }
    size_t at = base + (nameField & ~kNamedEntryFlag);
    uint16_t length;
    if ((nameField & ~kNamedEntryFlag) >= limit || !U16(at, &length) || !Has(at + 2, 2u * length)) {
        return Fail("resource name outside the file");
    }
    key->isId = false;
    key->name.resize(length);
    for (uint16_t i = 0; i < length; ++i) {
        uint16_t unit;
        U16(at + 2 + 2u * i, &unit);
        key->name[i] = static_cast<char16_t>(unit);
    }
    return true;
}

// One directory of the three-level tree (type, name, language); offsets are relative to the
// start of the resource section, whose mapped extent is `limit` bytes from `base`.
bool Reader::Directory(size_t base, size_t limit, uint32_t offset, int level, PeResource* path,
                       PeImage* image) {
    uint16_t named, ids;
    if (offset >= limit || limit - offset < 16 || !U16(base + offset + 12, &named) ||
        !U16(base + offset + 14, &ids)) {
        return Fail("resource directory outside the section");
    }
    size_t count = static_cast<size_t>(named) + ids;
    if (count * 8 > limit - offset - 16) {
        return Fail("resource directory entries outside the section");
    }
    for (size_t i = 0; i < count; ++i) {
        if (++entriesVisited_ > kMaxEntriesVisited) {
            return Fail("resource directories refer to each other too often");
        }
        size_t entry = base + offset + 16 + 8 * i;
        uint32_t nameField, target;
        U32(entry, &nameField);
        U32(entry + 4, &target);
        bool subdirectory = (target & kSubdirectoryFlag) != 0;
        if (level < 2) {
            PeResourceKey& key = level == 0 ? path->type : path->name;
            if (!EntryKey(base, limit, nameField, &key)) {
                return false;
            }
            if (!subdirectory) {
                return Fail("resource leaf above the language level");
            }
            if (!Directory(base, limit, target & ~kSubdirectoryFlag, level + 1, path, image)) {
                return false;
            }
            continue;
        }
        if (subdirectory || (nameField & kNamedEntryFlag) || nameField > 0xFFFF) {
            return Fail("malformed resource language entry");
        }
        uint32_t dataRva, dataSize;
        if (target >= limit || limit - target < 16 || !U32(base + target, &dataRva) ||
            !U32(base + target + 4, &dataSize)) {
            return Fail("resource data entry outside the section");
        }
        PeResource leaf = *path;
        leaf.language = static_cast<uint16_t>(nameField);
        leaf.size = dataSize;
        if (!Map(dataRva, dataSize, &leaf.fileOffset)) {
            return Fail("resource data outside the file");
        }
        if (image->resources.size() >= kMaxPeResources) {
            return Fail("too many resources");
        }
        image->resources.push_back(leaf);
    }
    return true;
}

bool Reader::ParseResources(uint32_t rva, PeImage* image) {
    // The tree may lie anywhere in the raw data of the section holding its root.
    for (const Section& s : sections_) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
            size_t base;
            uint32_t limit = s.rawSize - (rva - s.virtualAddress);
            if (!Map(rva, limit, &base)) {
                return Fail("resource section outside the file");
            }
            PeResource path;
            return Directory(base, limit, 0, 0, &path, image);
        }
    }
    return Fail("resource directory outside every section");
}

}  // namespace

std::optional<PeImage> ParsePeImage(const uint8_t* data, size_t size, std::string* error) {
    if (error) {
        error->clear();
    }
    PeImage image;
    Reader reader(data, size, error);
    if (!reader.Parse(&image)) {
        return std::nullopt;
    }
    return image;
}

}  // namespace host
