// The engine's sine and cosine on hosted builds: the C library's own functions.
#include "effect_math.h"

#include <math.h>

double EffectSin(double x) {
    return sin(x);
}
double EffectCos(double x) {
    return cos(x);
}
