// Arbitrary bytes as a test-sound file. The reader must never read outside the file, never
// offer more sound than the file holds after its data header, and give back exactly the
// file's bytes when it reads; the buffer it fills must be whole, with silence after the sound.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "wave_sound.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "panel_wave_reader_fuzzer: %s\n", what);
        std::abort();
    }
}

// A file that checks every read against its own bounds.
class BytesFile : public PanelFile {
  public:
    BytesFile(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
    bool Read(void* buffer, uint32_t size, uint32_t* got) override {
        const size_t left = at_ < bytes_.size() ? bytes_.size() - at_ : 0;
        *got = static_cast<uint32_t>(size < left ? size : left);
        if (*got > 0)
            std::memcpy(buffer, bytes_.data() + at_, *got);
        at_ += *got;
        return true;
    }
    bool Write(const void*, uint32_t) override { return false; }
    bool Seek(uint32_t offset) override {
        at_ = offset;
        return true;
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
};

class MemoryBuffer : public SoundBuffer {
  public:
    explicit MemoryBuffer(uint32_t size) : memory(size, 0xEE) {}
    SoundStatus SetFormat(const SoundFormat&) override { return kDsErrInvalidParam; }
    SoundStatus GetCaps(BufferCaps*) override { return kDsOk; }
    SoundStatus GetStatus(uint32_t* status) override { return *status = 0, kDsOk; }
    SoundStatus Restore() override { return kDsOk; }
    SoundStatus Lock(uint8_t** data, uint32_t* size) override {
        *data = memory.data();
        *size = static_cast<uint32_t>(memory.size());
        return kDsOk;
    }
    SoundStatus Unlock(uint32_t w) override { return written = w, kDsOk; }
    SoundStatus Play(uint32_t) override { return kDsOk; }
    SoundStatus Stop() override { return kDsOk; }
    SoundStatus SetCurrentPosition(uint32_t) override { return kDsOk; }
    SoundStatus Query3DBuffer(std::unique_ptr<Sound3DBuffer>*) override {
        return kDsErrInvalidParam;
    }
    SoundStatus QueryListener(std::unique_ptr<SoundListener>*) override {
        return kDsErrInvalidParam;
    }
    std::vector<uint8_t> memory;
    uint32_t written = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto reader = std::make_unique<WaveReader>();
    if (!reader->Open(std::make_unique<BytesFile>(data, size)))
        return 0;
    const uint32_t sound = reader->Size();
    Check(static_cast<size_t>(sound) + 44 <= size, "more sound than the file holds");
    const SoundFormat format = reader->Format();
    Check(format.extra.size() == format.extraSize, "extra bytes not as counted");

    // The sound is the file's bytes at the end of the file that the reader chose to offer.
    std::vector<uint8_t> all(sound);
    Check(reader->Read(all.data(), sound) == sound, "short read of the offered sound");
    uint8_t more;
    Check(reader->Read(&more, 1) == 0, "read past the data chunk");
    bool found = sound == 0;
    for (size_t at = 0; at + sound <= size && !found; ++at)
        found = std::memcmp(data + at, all.data(), sound) == 0;
    Check(found, "sound bytes not from the file");

    // A buffer a little larger than the sound is filled whole, silence after the sound.
    const uint32_t bufferSize = sound + 7;
    auto buffer = std::make_unique<MemoryBuffer>(bufferSize);
    MemoryBuffer* raw = buffer.get();
    CSound test(std::move(buffer), std::move(reader), kDsbCapsCtrl3D | kDsbCapsGlobalFocus);
    Check(test.FillBuffer() == kDsOk, "fill failed");
    Check(raw->written == bufferSize, "buffer not handed back whole");
    Check(sound == 0 || std::memcmp(raw->memory.data(), all.data(), sound) == 0, "refill differs");
    const uint8_t silence = format.bitsPerSample == 8 ? 128 : 0;
    for (uint32_t i = sound; i < bufferSize; ++i)
        Check(raw->memory[i] == silence, "remainder is not silence");
    return 0;
}
