#include "canvas.h"

#include <cmath>

#include "bitmap_font.h"
#include "png_file.h"

static_assert(sizeof(Rgb) == 3, "rows are written as packed RGB");

Canvas::Canvas(int width, int height, Rgb background)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height, background) {}

Rgb Canvas::At(int x, int y) const {
    return pixels_[static_cast<size_t>(y) * width_ + x];
}

void Canvas::Set(int x, int y, Rgb color) {
    if (x >= 0 && y >= 0 && x < width_ && y < height_)
        pixels_[static_cast<size_t>(y) * width_ + x] = color;
}

void Canvas::FillRect(int x0, int y0, int x1, int y1, Rgb color) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            Set(x, y, color);
}

void Canvas::Line(double x0, double y0, double x1, double y1, Rgb color, int thickness) {
    const double length = std::max(std::fabs(x1 - x0), std::fabs(y1 - y0));
    const int steps = std::max(1, static_cast<int>(std::ceil(length)));
    const int low = -(thickness - 1) / 2;
    const int high = thickness / 2;
    for (int i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps;
        const int x = static_cast<int>(std::lround(x0 + (x1 - x0) * t));
        const int y = static_cast<int>(std::lround(y0 + (y1 - y0) * t));
        for (int dy = low; dy <= high; ++dy)
            for (int dx = low; dx <= high; ++dx)
                Set(x + dx, y + dy, color);
    }
}

void Canvas::Disc(double cx, double cy, double radius, Rgb color) {
    for (int y = static_cast<int>(std::floor(cy - radius)); y <= std::ceil(cy + radius); ++y)
        for (int x = static_cast<int>(std::floor(cx - radius)); x <= std::ceil(cx + radius); ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius)
                Set(x, y, color);
}

void Canvas::Text(int x, int y, const std::string& text, Rgb color, int scale) {
    for (char c : text) {
        const uint8_t* rows = GlyphRows(c);
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int column = 0; column < kGlyphWidth; ++column)
                if (rows[row] & (0x10 >> column))
                    FillRect(x + column * scale, y + row * scale, x + (column + 1) * scale - 1,
                             y + (row + 1) * scale - 1, color);
        x += (kGlyphWidth + 1) * scale;
    }
}

int Canvas::TextWidth(const std::string& text, int scale) {
    return text.empty() ? 0 : static_cast<int>(text.size()) * (kGlyphWidth + 1) * scale - scale;
}

bool Canvas::SavePng(const std::string& path, std::string* error) const {
    return WritePngFile(path, width_, height_, 3, reinterpret_cast<const uint8_t*>(pixels_.data()),
                        error);
}
