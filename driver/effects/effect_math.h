// The engine's only mathematics: sine, cosine and square root.
//
// Sine and cosine are the standard functions of the C library where there is one (host
// builds) and the engine's own freestanding implementation in the kernel driver, which has
// no C runtime; the build picks one file or the other. The trigonometry runs only when a
// curve, a window, a twiddle set or the speaker mix is computed, never per sample.
#pragma once

double EffectSin(double x);
double EffectCos(double x);

inline float EffectSqrtf(float x) {
    return __builtin_sqrtf(x);  // IEEE square root; -fno-math-errno makes it one sqrtss
}

constexpr double kEffectPi = 3.14159265358979323846;
