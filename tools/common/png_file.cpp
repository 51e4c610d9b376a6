#include "png_file.h"

#include <png.h>

#include <cstdio>

namespace {

// libpng reports a failure by longjmp back into this frame, so it holds nothing with a
// destructor and nothing it changes after the setjmp: whatever lived here would be skipped
// or clobbered.
bool EncodePng(FILE* file, int width, int height, int channels, const uint8_t* pixels) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t stride = static_cast<size_t>(width) * channels;
    for (int y = 0; y < height; ++y)
        png_write_row(png, pixels + stride * y);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePngFile(const std::string& path, int width, int height, int channels,
                  const uint8_t* pixels, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot write '" + path + "'";
        return false;
    }
    const bool encoded = EncodePng(file, width, height, channels, pixels);
    // Closing flushes the last rows; a full disk may show only now.
    const bool closed = std::fclose(file) == 0;
    if (!encoded || !closed) {
        std::remove(path.c_str());
        *error = "cannot write PNG data to '" + path + "'";
        return false;
    }
    return true;
}
