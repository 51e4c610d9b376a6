#include "speaker_layout.h"

#include <cmath>

const SpeakerPlace kDefaultSpeakerLayout[kSpeakerCount] = {
    {2.35619259f, 63},  // L   135 degrees
    {0.78539753f, 63},  // R    45
    {1.57079506f, 63},  // C    90
    {0.0f, 63},         // Sub   0
    {3.92698741f, 63},  // Ls  225
    {5.49778271f, 63},  // Rs  315
    {4.18878698f, 63},  // Lb  240
    {5.23598337f, 63},  // Rb  300
};

const char* const kSpeakerLabels[kSpeakerCount] = {
    "L:  ", "R:  ", "C:  ", "Sub:", "Ls: ", "Rs: ", "Lb: ", "Rb: "};

IconCorner SpeakerIconCorner(float angle, int distance) {
    int x = static_cast<int>(193.0 + std::cos(static_cast<double>(angle)) * distance);
    int y = static_cast<int>(234.0 - std::sin(static_cast<double>(angle)) * distance);
    if (x < 60)
        x = 60;
    else if (x > 325)
        x = 325;
    // The top clamp lands three pixels above its own threshold; the field's art expects it.
    if (y < 102)
        y = 99;
    else if (y > 364)
        y = 364;
    return {x, y};
}

SpeakerPlace SpeakerFromCorner(int x, int y) {
    const double dx = x - 193, dy = y - 234;
    const int distance = static_cast<int>(std::sqrt(dx * dx + dy * dy));
    float angle = static_cast<float>(std::atan2(234.0 - y, static_cast<double>(x - 193)));
    if (angle < 0)
        angle += kFullTurn;
    return {angle, distance};
}

float SpeakerLevel(int distance) {
    const float db = static_cast<float>(4.0 - static_cast<double>(static_cast<uint32_t>(distance)) *
                                                  0.1111111111111111);
    return static_cast<float>(std::pow(10.0, static_cast<double>(db) / 20.0));
}

int SpeakerBarPosition(float linearLevel) {
    const int position = static_cast<int>(linearLevel * 100.0f);
    return position > 158 ? 158 : position;
}
