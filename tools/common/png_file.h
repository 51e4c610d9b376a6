// PNG pictures the tools write: packed 8-bit rows, RGB or RGBA.
#pragma once

#include <stdint.h>

#include <string>

// Writes `height` rows of `width` pixels of `channels` bytes each (3: RGB, 4: RGBA), packed
// row after row, to `path`. False with the reason in `error`.
bool WritePngFile(const std::string& path, int width, int height, int channels,
                  const uint8_t* pixels, std::string* error);
