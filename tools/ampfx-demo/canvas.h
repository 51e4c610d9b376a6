// A small RGB raster for plots: lines, filled rectangles and discs, bitmap text, and PNG
// output through libpng.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
};

class Canvas {
  public:
    Canvas(int width, int height, Rgb background);

    int width() const { return width_; }
    int height() const { return height_; }
    Rgb At(int x, int y) const;

    void Set(int x, int y, Rgb color);                         // outside the canvas: ignored
    void FillRect(int x0, int y0, int x1, int y1, Rgb color);  // inclusive corners
    void Line(double x0, double y0, double x1, double y1, Rgb color, int thickness = 1);
    void Disc(double cx, double cy, double radius, Rgb color);
    // Text with its top-left corner at (x, y), each font pixel drawn as scale x scale.
    void Text(int x, int y, const std::string& text, Rgb color, int scale = 2);
    static int TextWidth(const std::string& text, int scale = 2);

    bool SavePng(const std::string& path, std::string* error) const;

  private:
    int width_;
    int height_;
    std::vector<Rgb> pixels_;
};
