// winmm's wave-in over the session's recording devices: waveInOpen with a window callback,
// prepared headers, waveInAddBuffer, waveInStart / waveInStop / waveInReset, waveInClose, with
// Windows' results (MMSYSERR_*, WAVERR_*) and its messages posted to the callback window:
// MM_WIM_OPEN at the open, MM_WIM_DATA (wParam the device, lParam the WaveHeader) for each
// buffer done, in the order the buffers were added, MM_WIM_CLOSE at the close.
//
// A headset records 48 kHz 16-bit mono; the audio engine resamples that to the rate the
// program asked for (a windowed-sinc low-pass, so a rate below 48 kHz holds no alias) and
// converts it to the program's sample size and channels. The capture runs on a thread of its
// own, as winmm's does, which reads the headset's isochronous IN pipe through the class
// driver, and it keeps to the machine's clock: a buffer of 50 ms is done 50 ms of machine time
// after the samples before it, and a scenario's `wait` lets every buffer that falls due on the
// way come back in order. Samples that arrive while no buffer is queued are lost, as they are
// on Windows. The built-in card's microphone input records silence.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/audio_devices.h"
#include "host/user_types.h"

namespace host {
class AudioStream;
}

namespace host::user {

class Desktop;

constexpr uint32_t WAVERR_BADFORMAT = 32;
constexpr uint32_t WAVERR_STILLPLAYING = 33;
constexpr uint32_t WAVERR_UNPREPARED = 34;
constexpr uint32_t MM_WIM_OPEN = 0x3BE;
constexpr uint32_t MM_WIM_CLOSE = 0x3BF;
constexpr uint32_t MM_WIM_DATA = 0x3C0;
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// WAVEFORMATEX for PCM (format tag 1).
struct WaveFormat {
    uint16_t formatTag = 1;
    uint16_t channels = 1;
    uint32_t samplesPerSec = 8000;
    uint32_t avgBytesPerSec = 8000;
    uint16_t blockAlign = 1;
    uint16_t bitsPerSample = 8;
};

// WAVEHDR: the program's buffer, which the device fills while the header is queued.
struct WaveHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0;
    uintptr_t user = 0;
    uint32_t flags = 0;
};

// Mono PCM from one rate to another through a windowed-sinc low-pass whose cutoff lies below
// the lower rate's Nyquist frequency. Output sample k stands for input time k x in / out,
// delayed by the filter's half-width, so it can be made as soon as that input sample exists.
class CaptureResampler {
  public:
    CaptureResampler(uint32_t inRate, uint32_t outRate);
    void Push(const int16_t* samples, size_t count);
    // Every output sample the input pushed so far allows, appended to `out`.
    void Pull(std::vector<float>* out);
    // Input samples needed before output sample `k` can be made.
    uint64_t InputNeededFor(uint64_t k) const;

  private:
    uint32_t in_, out_;
    double cutoff_;  // cycles per input sample
    int half_;       // taps on each side of the centre, in input samples
    uint64_t produced_ = 0;
    uint64_t base_ = 0;  // input index of history_[0]
    std::deque<float> history_;
};

class WaveIn {
  public:
    // waveInOpen with CALLBACK_WINDOW. `device` numbers as AudioDevices::GetDevCaps does
    // (WAVE_MAPPER: the default recording device). PCM of 1 or 2 channels, 8 or 16 bits, 1000
    // to 192000 samples per second with a consistent block size and byte rate, else
    // WAVERR_BADFORMAT. MM_WIM_OPEN is posted before it returns.
    static uint32_t Open(Desktop& desktop, AudioDevices& audio, uint32_t device,
                         const WaveFormat& format, Hwnd callback, std::unique_ptr<WaveIn>* out);
    // Ends the capture thread; a device still open is reset and closed first.
    ~WaveIn();
    WaveIn(const WaveIn&) = delete;
    WaveIn& operator=(const WaveIn&) = delete;

    uint32_t PrepareHeader(WaveHeader* header);
    // WAVERR_STILLPLAYING while the header is queued.
    uint32_t UnprepareHeader(WaveHeader* header);
    // WAVERR_UNPREPARED for a header that was not prepared; MMSYSERR_INVALPARAM for one that
    // is queued already.
    uint32_t AddBuffer(WaveHeader* header);
    uint32_t Start();
    // Stops recording; the buffer being filled comes back with what it holds.
    uint32_t Stop();
    // Stops recording and returns every queued buffer (MM_WIM_DATA for each).
    uint32_t Reset();
    // WAVERR_STILLPLAYING while buffers are queued; otherwise MM_WIM_CLOSE is posted and every
    // later call answers MMSYSERR_INVALHANDLE.
    uint32_t Close();
    // The value MM_WIM_* messages carry in wParam (the HWAVEIN).
    WParam Handle() const { return reinterpret_cast<WParam>(this); }

  private:
    WaveIn(Desktop& desktop, const WaveFormat& format, Hwnd callback, DevNode* node);
    void ThreadMain();
    // On the capture thread: reads what the clock has brought, fills and returns buffers, and
    // sets the timer for the next one. mutex_ held.
    void Capture(std::unique_lock<std::mutex>& lock);
    void Kick();
    void Post(uint32_t message, LParam lParam);
    void ReturnHead(std::unique_lock<std::mutex>& lock);

    Desktop& desktop_;
    const WaveFormat format_;
    const Hwnd callback_;
    DevNode* const node_;  // null: the built-in card
    std::unique_ptr<AudioStream> stream_;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::thread thread_;
    Hwnd window_ = 0;  // the capture thread's own window, for its timer
    bool closed_ = false;
    bool running_ = false;
    bool failed_ = false;  // the device stopped answering: nothing more is recorded
    int64_t startTime_ = 0;
    uint64_t inputRead_ = 0;   // 48 kHz samples read since the start
    uint64_t output_ = 0;      // output samples made since the start
    uint64_t dropBefore_ = 0;  // output samples before this one found no buffer
    std::unique_ptr<CaptureResampler> resampler_;
    std::deque<WaveHeader*> queue_;
    std::vector<WaveHeader*> prepared_;
};

}  // namespace host::user
