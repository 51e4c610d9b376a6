// Audio files as the driver's stream format: interleaved 16-bit stereo little-endian PCM.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct StereoPcm {
    int sampleRate = 48000;
    std::vector<uint8_t> bytes;  // 4 bytes per frame, left first
};

// Reads any file libsndfile can read, at its level relative to full scale: 8- and 16-bit
// integers exactly, wider integers, float and double rounded to 16 bits, float beyond full
// scale clipped. Mono is duplicated to both channels. More than two channels is an error.
// Returns false with a message in `error`.
bool ReadStereoPcm(const std::string& path, StereoPcm* audio, std::string* error);

// Writes 16-bit PCM; the container follows the file name's extension (WAV when unknown). The
// file is replaced only once the new one is complete; on failure it is left as it was.
bool WriteStereoPcm(const std::string& path, const StereoPcm& audio, std::string* error);
