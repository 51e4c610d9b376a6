// Audio files as the driver's stream format: interleaved 16-bit stereo little-endian PCM.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;  // libsndfile's SNDFILE

namespace host {
class FileReplacement;
}

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

// Reads a file piece by piece, converted as ReadStereoPcm converts it, so that a long file
// never has to be held whole.
class StereoPcmReader {
  public:
    StereoPcmReader() = default;
    ~StereoPcmReader();
    StereoPcmReader(const StereoPcmReader&) = delete;
    StereoPcmReader& operator=(const StereoPcmReader&) = delete;

    bool Open(const std::string& path, std::string* error);
    int sampleRate() const { return sampleRate_; }
    // Up to `frames` frames into `bytes` (4 per frame); *got is 0 once the file is done. A
    // file that ends before the length its header gives is an error.
    bool Read(uint8_t* bytes, size_t frames, size_t* got, std::string* error);

  private:
    sf_private_tag* file_ = nullptr;
    std::string path_;
    int sampleRate_ = 48000;
    int channels_ = 2;
    int64_t frames_ = 0;
    int64_t done_ = 0;
    bool shorts_ = false;  // read as 16-bit samples rather than normalised doubles
    std::vector<double> samples_;
    std::vector<int16_t> shortSamples_;
};

// Writes a file piece by piece into a scratch file beside `path`, which Commit puts in its
// place: a write that is abandoned (bad input half-way, a full disk) leaves whatever `path`
// held before untouched. The container follows `path`'s extension, as in WriteStereoPcm.
class StereoPcmWriter {
  public:
    StereoPcmWriter();
    ~StereoPcmWriter();  // an uncommitted scratch file is removed
    StereoPcmWriter(const StereoPcmWriter&) = delete;
    StereoPcmWriter& operator=(const StereoPcmWriter&) = delete;

    bool Open(const std::string& path, int sampleRate, std::string* error);
    bool Write(const uint8_t* bytes, size_t frames, std::string* error);
    bool Commit(std::string* error);

  private:
    sf_private_tag* file_ = nullptr;
    std::string path_;
    std::unique_ptr<host::FileReplacement> replacement_;
    std::vector<int16_t> samples_;
};
