// A generated piece of music for demos and benchmarks: chords, a bass line, a lead voice and
// percussion, as 16-bit stereo PCM. Deterministic for a given length and rate.
#pragma once

#include <stdint.h>

#include <vector>

std::vector<uint8_t> GenerateMusicClip(double seconds, int sampleRate);
