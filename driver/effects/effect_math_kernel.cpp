// The engine's sine and cosine in the kernel, which has no C runtime to provide them.
#include "effect_math.h"
#include "freestanding_math.h"

double EffectSin(double x) {
    return FreestandingSin(x);
}
double EffectCos(double x) {
    return FreestandingCos(x);
}
