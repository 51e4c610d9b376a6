// The test sound's wave file and the DirectSound buffer it fills.
//
// The reader takes RIFF wave files as other programs write them: chunks the panel does not use
// (LIST, fact, cue and any other) before or after "data", extended format records, and files
// cut short or claiming more data than they hold. It never reads past the file or past the
// data chunk, and it says no, without a crash, to anything it cannot make sense of.
#pragma once

#include <stdint.h>

#include <memory>

#include "panel_ports.h"
#include "test_sound_ports.h"

class WaveReader {
  public:
    // Finds the RIFF "WAVE" form, its "fmt " chunk and its "data" chunk. False when any of
    // them is missing or malformed; the reader is then unusable.
    bool Open(std::unique_ptr<PanelFile> file);

    const SoundFormat& Format() const { return format_; }
    // The bytes of sound the file really holds: the data chunk's size, or what follows its
    // header when the file ends sooner.
    uint32_t Size() const { return size_; }
    // Up to `size` further bytes of sound into `out`; the count copied.
    uint32_t Read(uint8_t* out, uint32_t size);
    // Back to the first byte of sound.
    bool Rewind();

  private:
    struct Chunk {
        uint32_t id = 0;
        uint32_t size = 0;
        uint64_t dataOffset = 0;
    };

    bool SeekTo(uint64_t offset);
    // Up to `size` bytes from the current place through the I/O buffer.
    uint32_t ReadBuffered(uint8_t* out, uint32_t size);
    bool ReadExact(void* out, uint32_t size);
    // The first chunk called `id` from `from` on, whose header lies before `end`.
    bool Descend(uint64_t from, uint64_t end, uint32_t id, Chunk* chunk);
    bool ReadFormat(const Chunk& chunk);

    std::unique_ptr<PanelFile> file_;
    // The multimedia I/O buffer's size; a sound is copied through it.
    static constexpr uint32_t kBufferSize = 8192;
    uint8_t buffer_[kBufferSize];
    uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
    uint32_t bufferLength_ = 0;
    uint32_t bufferAt_ = 0;
    bool endOfFile_ = false;

    SoundFormat format_;
    uint64_t dataOffset_ = 0;
    uint32_t size_ = 0;
    uint32_t left_ = 0;
};

// One test sound: its buffer (only ever one) and the wave file it was filled from, both kept
// and released together.
class CSound {
  public:
    CSound(std::unique_ptr<SoundBuffer> buffer, std::unique_ptr<WaveReader> wave,
           uint32_t creationFlags);
    virtual ~CSound();

    SoundBuffer& Buffer() { return *buffers_[0]; }
    uint32_t CreationFlags() const { return creationFlags_; }

    // Locks the whole buffer, copies the sound from its start, fills the rest with silence.
    SoundStatus FillBuffer();
    // When DirectSound took the buffer's memory away, gets it back (waiting while it is still
    // lost, at most `attempts` times `retryMs`) and fills it again. `ports` sleeps between tries.
    SoundStatus RestoreBuffer(TestSoundPorts& ports, uint32_t retryMs, int attempts);
    SoundStatus Play(uint32_t flags);
    SoundStatus Stop();
    SoundStatus Reset();

  private:
    static constexpr int kBufferCount = 1;
    std::unique_ptr<SoundBuffer> buffers_[kBufferCount];
    std::unique_ptr<WaveReader> wave_;
    uint32_t creationFlags_;
};
