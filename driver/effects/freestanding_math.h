// Sine and cosine without a C runtime, for the kernel build of the engine.
//
// Both are accurate to within one unit in the last place for every finite argument; the
// host tests hold them against the C library's functions.
#pragma once

double FreestandingSin(double x);
double FreestandingCos(double x);
