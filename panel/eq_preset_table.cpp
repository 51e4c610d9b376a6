#include "eq_preset_table.h"

#include <math.h>
#include <strings.h>

// clang-format off
const EqPreset kEqPresets[5] = {
    // name      gains in dB, band 0..9                 knob top y, band 0..9
    {"tbass",   {6, 5, 4, 0, -2, -4, -6, -7, -8, -8},  {237, 249, 261, 310, 320, 334, 343, 350, 358, 358}},
    {"classic", {0, 0, 0, 0, 0, -3, -3, -3, -3, -3},   {310, 310, 310, 310, 310, 326, 326, 326, 326, 326}},
    {"pop",     {-2, 1, 2, 3, 2, -2, -3, -3, -3, -3},  {320, 297, 285, 273, 285, 320, 326, 326, 326, 326}},
    {"jazz",    {0, -1, 3, 4, -3, 5, 4, 4, 1, 1},      {310, 315, 273, 261, 326, 249, 261, 261, 297, 297}},
    {"rock",    {3, 2, -1, -4, -1, 2, 5, 6, 6, 6},     {273, 285, 315, 334, 315, 285, 249, 237, 237, 237}},
};
// clang-format on

float DecibelsToLinearGain(double db) {
    return static_cast<float>(pow(10.0, db / 20.0));
}

const EqPreset* FindEqPreset(const char* name) {
    for (const EqPreset& preset : kEqPresets)
        if (strcasecmp(preset.name, name) == 0)
            return &preset;
    return nullptr;
}
