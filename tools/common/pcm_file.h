// Audio files as the driver's stream format: interleaved 16-bit stereo little-endian PCM.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct StereoPcm {
    int sampleRate = 48000;
    std::vector<uint8_t> bytes;  // 4 bytes per frame, left first
};

// Reads any file libsndfile can read. Mono is duplicated to both channels; other sample
// formats are converted to 16 bits with clipping. More than two channels is an error.
// Returns false with a message in `error`.
bool ReadStereoPcm(const std::string& path, StereoPcm* audio, std::string* error);

// Writes 16-bit PCM; the container follows the file name's extension (WAV when unknown).
bool WriteStereoPcm(const std::string& path, const StereoPcm& audio, std::string* error);
