#include "wave_sound.h"

#include <cstring>

namespace {

constexpr uint32_t FourCc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
constexpr uint32_t kRiff = FourCc('R', 'I', 'F', 'F');
constexpr uint32_t kWave = FourCc('W', 'A', 'V', 'E');
constexpr uint32_t kFmt = FourCc('f', 'm', 't', ' ');
constexpr uint32_t kData = FourCc('d', 'a', 't', 'a');

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool WaveReader::SeekTo(uint64_t offset) {
    if (offset >= bufferStart_ && offset <= bufferStart_ + bufferLength_) {
        bufferAt_ = static_cast<uint32_t>(offset - bufferStart_);
        return true;
    }
    // The file port addresses 32 bits; anything beyond cannot be part of a wave file.
    if (offset > 0xFFFFFFFFu || !file_->Seek(static_cast<uint32_t>(offset)))
        return false;
    bufferStart_ = offset;
    bufferLength_ = 0;
    bufferAt_ = 0;
    endOfFile_ = false;
    return true;
}

uint32_t WaveReader::ReadBuffered(uint8_t* out, uint32_t size) {
    uint32_t copied = 0;
    while (copied < size) {
        if (bufferAt_ == bufferLength_) {
            if (endOfFile_)
                break;
            bufferStart_ += bufferLength_;
            bufferLength_ = 0;
            bufferAt_ = 0;
            uint32_t got = 0;
            if (!file_->Read(buffer_, kBufferSize, &got) || got == 0 || got > kBufferSize) {
                endOfFile_ = true;
                break;
            }
            bufferLength_ = got;
        }
        uint32_t n = bufferLength_ - bufferAt_;
        if (n > size - copied)
            n = size - copied;
        if (out != nullptr)
            std::memcpy(out + copied, buffer_ + bufferAt_, n);
        bufferAt_ += n;
        copied += n;
    }
    return copied;
}

bool WaveReader::ReadExact(void* out, uint32_t size) {
    return ReadBuffered(static_cast<uint8_t*>(out), size) == size;
}

bool WaveReader::Descend(uint64_t from, uint64_t end, uint32_t id, Chunk* chunk) {
    uint64_t at = from;
    while (at + 8 <= end) {
        uint8_t header[8];
        if (!SeekTo(at) || !ReadExact(header, 8))
            return false;
        chunk->id = Le32(header);
        chunk->size = Le32(header + 4);
        chunk->dataOffset = at + 8;
        if (chunk->id == id)
            return true;
        // Chunks are padded to an even length.
        at = chunk->dataOffset + chunk->size + (chunk->size & 1u);
    }
    return false;
}

bool WaveReader::ReadFormat(const Chunk& chunk) {
    if (chunk.size < 16)
        return false;
    uint8_t record[16];
    if (!SeekTo(chunk.dataOffset) || !ReadExact(record, 16))
        return false;
    format_ = SoundFormat{};
    format_.formatTag = Le16(record);
    format_.channels = Le16(record + 2);
    format_.samplesPerSec = Le32(record + 4);
    format_.avgBytesPerSec = Le32(record + 8);
    format_.blockAlign = Le16(record + 12);
    format_.bitsPerSample = Le16(record + 14);
    if (format_.formatTag == kWaveFormatPcm)
        return true;
    // A plain 16-byte record has no extra size; reading one would take the next chunk's bytes.
    if (chunk.size < 18)
        return true;
    uint8_t extraSize[2];
    if (!ReadExact(extraSize, 2))
        return false;
    format_.extraSize = Le16(extraSize);
    if (static_cast<uint32_t>(format_.extraSize) > chunk.size - 18)
        return false;
    format_.extra.resize(format_.extraSize);
    return format_.extraSize == 0 || ReadExact(format_.extra.data(), format_.extraSize);
}

bool WaveReader::Open(std::unique_ptr<PanelFile> file) {
    file_ = std::move(file);
    size_ = left_ = 0;
    if (!file_)
        return false;
    bufferStart_ = 0;
    bufferLength_ = bufferAt_ = 0;
    endOfFile_ = false;
    if (!file_->Seek(0))
        return false;

    uint8_t riff[12];
    if (!ReadExact(riff, 12) || Le32(riff) != kRiff || Le32(riff + 8) != kWave)
        return false;
    const uint64_t riffEnd = 8 + static_cast<uint64_t>(Le32(riff + 4));

    Chunk fmt;
    if (!Descend(12, riffEnd, kFmt, &fmt) || !ReadFormat(fmt))
        return false;

    Chunk data;
    if (!Descend(12, riffEnd, kData, &data))
        return false;
    dataOffset_ = data.dataOffset;
    // Writers that stream often leave the size unset or too large; count what is really there.
    if (!SeekTo(dataOffset_))
        return false;
    size_ = ReadBuffered(nullptr, data.size);
    return Rewind();
}

bool WaveReader::Rewind() {
    if (!file_ || !SeekTo(dataOffset_))
        return false;
    left_ = size_;
    return true;
}

uint32_t WaveReader::Read(uint8_t* out, uint32_t size) {
    if (!file_)
        return 0;
    const uint32_t n = ReadBuffered(out, size < left_ ? size : left_);
    left_ -= n;
    return n;
}

CSound::CSound(std::unique_ptr<SoundBuffer> buffer, std::unique_ptr<WaveReader> wave,
               uint32_t creationFlags)
    : wave_(std::move(wave)), creationFlags_(creationFlags) {
    buffers_[0] = std::move(buffer);
}

CSound::~CSound() = default;

SoundStatus CSound::FillBuffer() {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    const SoundStatus locked = Buffer().Lock(&data, &size);
    if (SoundFailed(locked))
        return locked;
    if (data == nullptr)
        size = 0;
    uint32_t got = 0;
    if (size > 0 && wave_->Rewind())
        got = wave_->Read(data, size);
    const uint8_t silence = wave_->Format().bitsPerSample == 8 ? 128 : 0;
    if (got < size)
        std::memset(data + got, silence, size - got);
    return Buffer().Unlock(size);
}

SoundStatus CSound::RestoreBuffer(TestSoundPorts& ports, uint32_t retryMs, int attempts) {
    uint32_t status = 0;
    const SoundStatus got = Buffer().GetStatus(&status);
    if (SoundFailed(got))
        return got;
    if ((status & kDsbStatusBufferLost) == 0)
        return kDsOk;
    SoundStatus restored = Buffer().Restore();
    for (int tries = 1; restored == kDsErrBufferLost && tries < attempts; ++tries) {
        ports.Sleep(retryMs);
        restored = Buffer().Restore();
    }
    if (SoundFailed(restored))
        return restored;
    return FillBuffer();
}

SoundStatus CSound::Play(uint32_t flags) {
    return Buffer().Play(flags);
}

SoundStatus CSound::Stop() {
    return Buffer().Stop();
}

SoundStatus CSound::Reset() {
    return Buffer().SetCurrentPosition(0);
}
