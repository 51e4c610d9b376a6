#include "resource_strings.h"

#include <vector>

bool LoadResourceString(ResourceModule& module, uint16_t id, std::u16string* text) {
    std::vector<uint8_t> block;
    if (!module.FindResource(kResourceString, static_cast<uint16_t>(id / 16 + 1), &block))
        return false;
    size_t at = 0;
    for (int index = 0; index <= id % 16; ++index) {
        if (block.size() - at < 2 || at > block.size())
            return false;
        const size_t length = block[at] | (block[at + 1] << 8);
        at += 2;
        if ((block.size() - at) / 2 < length)
            return false;
        if (index == id % 16) {
            text->clear();
            for (size_t i = 0; i < length; ++i)
                text->push_back(
                    static_cast<char16_t>(block[at + 2 * i] | (block[at + 2 * i + 1] << 8)));
            return length != 0;
        }
        at += 2 * length;
    }
    return false;
}
