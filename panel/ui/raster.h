// The panel's picture: a 24-bit raster with the few drawing operations the painters use.
// Every page is composed here and the platform only presents the result, so the simulated
// machine and Windows show the same pixels.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
    bool operator!=(const Rgb& other) const { return !(*this == other); }
};

constexpr Rgb kBlackKey{0, 0, 0};    // transparent colour of icons
constexpr Rgb kGreenKey{0, 255, 0};  // transparent colour of the logo and the window shape

class Raster {
  public:
    Raster() = default;
    Raster(int width, int height, Rgb fill = {0, 0, 0});

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    Rgb At(int x, int y) const;
    void Set(int x, int y, Rgb color);  // outside the raster: ignored
    // Rows top to bottom, three bytes a pixel in the order blue, green, red (a DIB's order).
    const uint8_t* bgr() const { return pixels_.data(); }

    // Copies `source` (or its part from (sx, sy), w by h) to (x, y), clipped to both rasters.
    // With a key, source pixels of exactly that colour are left out.
    void Blit(const Raster& source, int x, int y);
    void BlitPart(const Raster& source, int x, int y, int sx, int sy, int w, int h);
    void BlitKeyed(const Raster& source, int x, int y, Rgb key);
    // `source` stretched or shrunk to w by h at (x, y) by nearest pixel, key colour left out.
    void StretchBlitKeyed(const Raster& source, int x, int y, int w, int h, Rgb key);
    // A solid line three pixels wide from (x0, y0) to (x1, y1), both ends included.
    void WideLine(int x0, int y0, int x1, int y1, Rgb color);

    // The w by h part at (x, y), clipped; pixels outside this raster come out black.
    Raster Crop(int x, int y, int w, int h) const;

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<uint8_t> pixels_;
};

// A bitmap resource as the skin carries it (a BITMAPINFOHEADER or a later header, an optional
// colour table, then the pixel rows): 1, 4, 8, 24 and 32 bits a pixel, uncompressed, bottom-up
// or top-down. False for anything else or for data that does not hold what the header claims.
bool DecodeDib(const uint8_t* data, size_t size, Raster* out);
// The inverse, for tests and tools: a bottom-up 24-bit DIB of `raster`.
std::vector<uint8_t> EncodeDib24(const Raster& raster);
