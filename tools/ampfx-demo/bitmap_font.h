// A 5x7 bitmap font for plot labels: digits, capital letters (small letters are drawn as
// capitals) and a few signs. Enough for axis ticks, a title and a legend.
#pragma once

#include <stdint.h>

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Seven rows of the glyph, bit 4 the leftmost pixel; unknown characters are blank.
const uint8_t* GlyphRows(char c);
