#include "win32_layout.h"

#include <cstring>

#include "raster.h"

std::u16string CommandLineTailOf(const std::u16string& commandLine) {
    size_t at = 0;
    while (at < commandLine.size() && (commandLine[at] == u' ' || commandLine[at] == u'\t'))
        ++at;
    if (at < commandLine.size() && commandLine[at] == u'"') {
        ++at;
        while (at < commandLine.size() && commandLine[at] != u'"')
            ++at;
        if (at < commandLine.size())
            ++at;  // the closing quote
    } else {
        while (at < commandLine.size() && commandLine[at] != u' ' && commandLine[at] != u'\t')
            ++at;
    }
    while (at < commandLine.size() && (commandLine[at] == u' ' || commandLine[at] == u'\t'))
        ++at;
    return commandLine.substr(at);
}

size_t DibStride(int width) {
    return width <= 0 ? 0 : ((static_cast<size_t>(width) * 3 + 3) / 4) * 4;
}

void CopyToDibRows(const Raster& picture, uint8_t* bits, size_t stride) {
    const size_t row = static_cast<size_t>(picture.width()) * 3;
    for (int y = 0; y < picture.height(); ++y) {
        uint8_t* line = bits + stride * static_cast<size_t>(y);
        std::memcpy(line, picture.bgr() + row * static_cast<size_t>(y), row);
        std::memset(line + row, 0, stride - row);
    }
}

void CentredOrigin(int left, int top, int right, int bottom, int w, int h, int* x, int* y) {
    *x = left + ((right - left) - w) / 2;
    *y = top + ((bottom - top) - h) / 2;
    if (*x < left)
        *x = left;
    if (*y < top)
        *y = top;
}

uint32_t TrayRecordSize(bool pointers64, uint32_t osMajorVersion) {
    if (osMajorVersion >= 6)
        return pointers64 ? 976 : 956;
    return pointers64 ? 968 : 952;
}
