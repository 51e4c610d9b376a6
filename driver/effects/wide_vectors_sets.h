// The instruction sets behind wide_vectors.h on the host, one file each, built with the
// compiler flags of that set only.
#pragma once

#include "wide_vectors.h"

extern const WideVectorSteps kAvx2Steps;    // wide_vectors_avx2.cpp, built with -mavx2
extern const WideVectorSteps kAvx512Steps;  // wide_vectors_avx512.cpp, built with -mavx512f
