// Where the main dialog's controls lie: inclusive pixel ranges of the window, the same for
// pressing, releasing, moving and double-clicking.
#pragma once

struct HitArea {
    int left, top, right, bottom;  // inclusive
    bool Holds(int x, int y) const { return x >= left && x <= right && y >= top && y <= bottom; }
};

namespace hit {
constexpr HitArea kEqTab{420, 22, 472, 70};
constexpr HitArea kEfftTab{470, 22, 512, 70};
constexpr HitArea kMicTab{521, 22, 563, 70};
constexpr HitArea k3dTab{572, 22, 612, 70};
constexpr HitArea kExit{544, 420, 605, 456};

constexpr HitArea kLoad{190, 87, 270, 115};
constexpr HitArea kEnable{281, 87, 351, 111};
constexpr HitArea kReset{370, 86, 437, 112};
constexpr HitArea kSave{456, 87, 523, 112};
constexpr HitArea kDelete{539, 89, 612, 109};
// TBass, Classic, Pop, Jazz, Rock.
constexpr HitArea kPresets[5] = {
    {77, 138, 109, 167}, {77, 195, 109, 225}, {77, 252, 109, 282},
    {77, 308, 109, 339}, {77, 366, 109, 396},
};

// Hall, Corridor, None, LivRm, Bath, with the sound-field type each selects.
constexpr HitArea kSoundFields[5] = {
    {75, 363, 114, 401},  {154, 363, 194, 401}, {230, 363, 268, 401},
    {305, 363, 345, 401}, {381, 363, 420, 401},
};
constexpr int kSoundFieldTypes[5] = {1, 4, 0, 3, 2};

constexpr HitArea kBoost{415, 203, 515, 229};
constexpr HitArea kMute{416, 303, 515, 336};

constexpr HitArea kVirtual71{397, 85, 497, 124};
constexpr HitArea kSources[2] = {{404, 180, 419, 195}, {404, 197, 419, 212}};
// Horizontal, vertical, insect movement, manual horizontal, manual vertical.
constexpr HitArea kTracks[5] = {
    {404, 259, 419, 274}, {404, 276, 419, 291}, {404, 293, 419, 309},
    {404, 311, 419, 327}, {404, 329, 419, 345},
};
constexpr HitArea kPlay{38, 394, 88, 425};
constexpr HitArea kPause{327, 394, 380, 425};
}  // namespace hit

// Strictly inside the w by h square whose top-left corner is (x, y).
inline bool StrictlyInside(int px, int py, int x, int y, int w, int h) {
    return px > x && px < x + w && py > y && py < y + h;
}
