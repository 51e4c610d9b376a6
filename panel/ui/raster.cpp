#include "raster.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

Raster::Raster(int width, int height, Rgb fill)
    : width_(width > 0 ? width : 0), height_(height > 0 ? height : 0) {
    pixels_.resize(static_cast<size_t>(width_) * height_ * 3);
    for (size_t i = 0; i < pixels_.size(); i += 3) {
        pixels_[i] = fill.b;
        pixels_[i + 1] = fill.g;
        pixels_[i + 2] = fill.r;
    }
}

Rgb Raster::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return {0, 0, 0};
    const uint8_t* p = &pixels_[(static_cast<size_t>(y) * width_ + x) * 3];
    return {p[2], p[1], p[0]};
}

void Raster::Set(int x, int y, Rgb color) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    uint8_t* p = &pixels_[(static_cast<size_t>(y) * width_ + x) * 3];
    p[0] = color.b;
    p[1] = color.g;
    p[2] = color.r;
}

void Raster::Blit(const Raster& source, int x, int y) {
    BlitPart(source, x, y, 0, 0, source.width(), source.height());
}

void Raster::BlitPart(const Raster& source, int x, int y, int sx, int sy, int w, int h) {
    for (int row = 0; row < h; ++row) {
        const int srcY = sy + row, dstY = y + row;
        if (srcY < 0 || srcY >= source.height() || dstY < 0 || dstY >= height_)
            continue;
        for (int col = 0; col < w; ++col) {
            const int srcX = sx + col, dstX = x + col;
            if (srcX < 0 || srcX >= source.width() || dstX < 0 || dstX >= width_)
                continue;
            Set(dstX, dstY, source.At(srcX, srcY));
        }
    }
}

void Raster::BlitKeyed(const Raster& source, int x, int y, Rgb key) {
    for (int row = 0; row < source.height(); ++row)
        for (int col = 0; col < source.width(); ++col) {
            const Rgb c = source.At(col, row);
            if (c != key)
                Set(x + col, y + row, c);
        }
}

void Raster::StretchBlitKeyed(const Raster& source, int x, int y, int w, int h, Rgb key) {
    if (w <= 0 || h <= 0 || source.empty())
        return;
    for (int row = 0; row < h; ++row) {
        const int srcY = static_cast<int>(static_cast<int64_t>(row) * source.height() / h);
        for (int col = 0; col < w; ++col) {
            const int srcX = static_cast<int>(static_cast<int64_t>(col) * source.width() / w);
            const Rgb c = source.At(srcX, srcY);
            if (c != key)
                Set(x + col, y + row, c);
        }
    }
}

void Raster::WideLine(int x0, int y0, int x1, int y1, Rgb color) {
    // Bresenham's walk, each point stamped as a 3 by 3 square.
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int stepX = x0 < x1 ? 1 : -1, stepY = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        for (int oy = -1; oy <= 1; ++oy)
            for (int ox = -1; ox <= 1; ++ox)
                Set(x0 + ox, y0 + oy, color);
        if (x0 == x1 && y0 == y1)
            break;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += stepX;
        }
        if (twice <= dx) {
            error += dx;
            y0 += stepY;
        }
    }
}

Raster Raster::Crop(int x, int y, int w, int h) const {
    Raster part(w, h);
    part.BlitPart(*this, 0, 0, x, y, w, h);
    return part;
}

namespace {

uint32_t Read32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Pictures larger than any screen are refused rather than allocated.
constexpr int64_t kMaxDibPixels = 16 * 1024 * 1024;

}  // namespace

bool DecodeDib(const uint8_t* data, size_t size, Raster* out) {
    if (data == nullptr || size < 40)
        return false;
    const uint32_t headerSize = Read32(data);
    if (headerSize < 40 || headerSize > size)
        return false;
    const int32_t width = static_cast<int32_t>(Read32(data + 4));
    const int32_t rawHeight = static_cast<int32_t>(Read32(data + 8));
    const uint16_t planes = Read16(data + 12);
    const uint16_t bits = Read16(data + 14);
    const uint32_t compression = Read32(data + 16);
    uint32_t colorsUsed = Read32(data + 32);
    if (planes != 1 || width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN)
        return false;
    const bool topDown = rawHeight < 0;
    const int32_t height = topDown ? -rawHeight : rawHeight;
    if (static_cast<int64_t>(width) * height > kMaxDibPixels)
        return false;
    // BI_RGB only; BI_BITFIELDS is accepted for 32 bits with the usual masks after a
    // 40-byte header, as some tools write it.
    size_t offset = headerSize;
    if (compression == 3 && bits == 32 && headerSize == 40)
        offset += 12;
    else if (compression != 0)
        return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return false;
    std::vector<Rgb> palette;
    if (bits <= 8) {
        const uint32_t maxColors = 1u << bits;
        if (colorsUsed == 0 || colorsUsed > maxColors)
            colorsUsed = maxColors;
        if (size < offset || (size - offset) / 4 < colorsUsed)
            return false;
        for (uint32_t i = 0; i < colorsUsed; ++i) {
            const uint8_t* q = data + offset + 4 * i;
            palette.push_back({q[2], q[1], q[0]});
        }
        offset += 4 * static_cast<size_t>(colorsUsed);
    }
    const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
    if (offset > size || (size - offset) / stride < static_cast<size_t>(height))
        return false;
    Raster raster(width, height);
    for (int32_t row = 0; row < height; ++row) {
        const uint8_t* line = data + offset + stride * static_cast<size_t>(row);
        const int y = topDown ? row : height - 1 - row;
        for (int32_t x = 0; x < width; ++x) {
            Rgb c{};
            if (bits == 24) {
                c = {line[3 * x + 2], line[3 * x + 1], line[3 * x]};
            } else if (bits == 32) {
                c = {line[4 * x + 2], line[4 * x + 1], line[4 * x]};
            } else {
                const int perByte = 8 / bits;
                const uint8_t byte = line[x / perByte];
                const int shift = 8 - bits * (x % perByte + 1);
                const uint32_t index = (byte >> shift) & ((1u << bits) - 1);
                c = index < palette.size() ? palette[index] : Rgb{0, 0, 0};
            }
            raster.Set(x, y, c);
        }
    }
    *out = std::move(raster);
    return true;
}

std::vector<uint8_t> EncodeDib24(const Raster& raster) {
    const size_t stride = ((static_cast<size_t>(raster.width()) * 24 + 31) / 32) * 4;
    std::vector<uint8_t> out;
    Put32(out, 40);
    Put32(out, static_cast<uint32_t>(raster.width()));
    Put32(out, static_cast<uint32_t>(raster.height()));
    Put16(out, 1);
    Put16(out, 24);
    Put32(out, 0);
    Put32(out, static_cast<uint32_t>(stride * raster.height()));
    Put32(out, 2835);
    Put32(out, 2835);
    Put32(out, 0);
    Put32(out, 0);
    for (int y = raster.height() - 1; y >= 0; --y) {
        size_t written = 0;
        for (int x = 0; x < raster.width(); ++x, written += 3) {
            const Rgb c = raster.At(x, y);
            out.push_back(c.b);
            out.push_back(c.g);
            out.push_back(c.r);
        }
        for (; written < stride; ++written)
            out.push_back(0);
    }
    return out;
}
