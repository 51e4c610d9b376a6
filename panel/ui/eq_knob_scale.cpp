#include "eq_knob_scale.h"

#include <cmath>

float EqKnobGain(int y) {
    const double db =
        y > kEqKnobTopZeroDb ? 12.0 - (y - 234) * 24.0 / 154.0 : 6.0 - (y - 234) * 12.0 / 154.0;
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

int EqKnobTopForGain(float gain) {
    const double db = 20.0 * std::log10(static_cast<double>(gain));
    const double y =
        db < 1.0 ? (12.0 - db) * 154.0 / 24.0 + 234.0 : (6.0 - db) * 154.0 / 12.0 + 234.0;
    // A gain of 0 or a NaN read from a driver must not become an undefined conversion.
    if (!(y > -1e6 && y < 1e6))
        return y > 0 ? 1000000 : -1000000;
    return static_cast<int>(y);
}
