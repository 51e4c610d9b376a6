#include "host/wave_in.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "host/desktop.h"
// clang-format off
#include "host/kernel_threads.h"
#include "host/audio_stream.h"
// clang-format on

namespace host::user {
namespace {

constexpr uint32_t kNativeRate = 48000;           // the headset's capture rate
constexpr uint32_t kSamplesPerPacket = 48;        // one 1-ms isochronous packet
constexpr uint32_t kMaxPacketsPerTransfer = 255;  // a full-speed host controller's limit
constexpr int64_t kUnitsPerMs = 10000;            // the kernel clock's 100-ns units
constexpr uint32_t kKickMessage = WM_USER + 1;
constexpr uint32_t kQuitMessage = WM_USER + 2;
constexpr uintptr_t kTimerId = 1;
constexpr double kPi = 3.14159265358979323846;
constexpr uint8_t kCaptureInterface = 2;  // the headset's microphone streaming interface

bool ValidFormat(const WaveFormat& f) {
    if (f.formatTag != 1 || f.channels < 1 || f.channels > 2 ||
        (f.bitsPerSample != 8 && f.bitsPerSample != 16) || f.samplesPerSec < 1000 ||
        f.samplesPerSec > 192000)
        return false;
    return f.blockAlign == f.channels * f.bitsPerSample / 8 &&
           f.avgBytesPerSec == f.samplesPerSec * f.blockAlign;
}

}  // namespace

// --- the resampler ------------------------------------------------------------------------

CaptureResampler::CaptureResampler(uint32_t inRate, uint32_t outRate) : in_(inRate), out_(outRate) {
    // 10 % below the lower rate's Nyquist frequency, so the filter's transition band ends
    // before anything could fold back.
    cutoff_ = 0.45 * std::min(1.0, static_cast<double>(outRate) / inRate);
    half_ = static_cast<int>(ceil(4.0 / cutoff_));
}

void CaptureResampler::Push(const int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i)
        history_.push_back(samples[i]);
}

uint64_t CaptureResampler::InputNeededFor(uint64_t k) const {
    return k * in_ / out_ + 1;
}

void CaptureResampler::Pull(std::vector<float>* out) {
    const uint64_t available = base_ + history_.size();
    std::vector<double> weights(2 * static_cast<size_t>(half_));
    while (InputNeededFor(produced_) <= available) {
        // Output k sits at input time k x in / out - half: the taps run from there half a
        // window back and forth, the newest being input sample floor(k x in / out).
        const uint64_t newest = produced_ * in_ / out_;
        const double frac = static_cast<double>(produced_ * in_ % out_) / out_;
        double sum = 0, weightSum = 0;
        const int64_t first = static_cast<int64_t>(newest) - 2 * half_ + 1;
        for (int j = 0; j < 2 * half_; ++j) {
            const double d = j - half_ + 1 - frac;  // tap minus centre, in input samples
            const double x = 2 * cutoff_ * d;
            const double sinc = fabs(x) < 1e-12 ? 1.0 : sin(kPi * x) / (kPi * x);
            const double u = d / half_;
            const double window = 0.42 + 0.5 * cos(kPi * u) + 0.08 * cos(2 * kPi * u);
            const double w = sinc * window;
            weightSum += w;
            const int64_t index = first + j;
            // Before the first sample the microphone was silent.
            if (index >= static_cast<int64_t>(base_))
                sum += w * history_[static_cast<size_t>(index - static_cast<int64_t>(base_))];
        }
        out->push_back(static_cast<float>(sum / weightSum));
        ++produced_;
        // What the next output no longer reaches goes.
        const int64_t keepFrom = static_cast<int64_t>(produced_ * in_ / out_) - 2 * half_ + 1;
        while (!history_.empty() && static_cast<int64_t>(base_) < keepFrom) {
            history_.pop_front();
            ++base_;
        }
    }
}

// --- the device ---------------------------------------------------------------------------

WaveIn::WaveIn(Desktop& desktop, const WaveFormat& format, Hwnd callback, DevNode* node)
    : desktop_(desktop), format_(format), callback_(callback), node_(node) {}

uint32_t WaveIn::Open(Desktop& desktop, AudioDevices& audio, uint32_t device,
                      const WaveFormat& format, Hwnd callback, std::unique_ptr<WaveIn>* out) {
    if (out == nullptr || !desktop.IsWindow(callback))
        return MMSYSERR_INVALPARAM;
    const uint32_t count = audio.GetNumDevs(Flow::Recording);
    if (device == WAVE_MAPPER) {
        if (count == 0)
            return MMSYSERR_NODRIVER;
        device = 0;
    }
    if (device >= count)
        return MMSYSERR_BADDEVICEID;
    if (!ValidFormat(format))
        return WAVERR_BADFORMAT;
    DevNode* node = nullptr;
    if (!audio.RecordingNode(device, &node))
        return MMSYSERR_BADDEVICEID;  // the device left since it was counted
    std::unique_ptr<WaveIn> wave(new WaveIn(desktop, format, callback, node));
    wave->thread_ = std::thread([w = wave.get()] { w->ThreadMain(); });
    {
        // The capture thread's queue exists before the open returns, so whoever waits for
        // the desktop to go idle waits for it too.
        std::unique_lock<std::mutex> lock(wave->mutex_);
        wave->ready_.wait(lock, [&] { return wave->window_ != 0 || wave->closed_; });
        if (wave->window_ == 0) {
            lock.unlock();
            wave->thread_.join();
            return MMSYSERR_NODRIVER;
        }
    }
    wave->Post(MM_WIM_OPEN, 0);
    *out = std::move(wave);
    return MMSYSERR_NOERROR;
}

WaveIn::~WaveIn() {
    bool open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open = !closed_;
    }
    if (open) {
        Reset();
        Close();
    }
    if (thread_.joinable())
        thread_.join();
}

void WaveIn::ThreadMain() {
    WindowCreation creation;
    creation.className = u"WaveInCapture";
    creation.proc = [this](Hwnd hwnd, uint32_t message, WParam w, LParam l) -> LResult {
        if (message == WM_TIMER || message == kKickMessage) {
            std::unique_lock<std::mutex> lock(mutex_);
            Capture(lock);
            return 0;
        }
        if (message == kQuitMessage) {
            desktop_.PostQuitMessage(0);
            return 0;
        }
        return desktop_.DefWindowProc(hwnd, message, w, l);
    };
    const Hwnd window = desktop_.CreateWindowEx(creation);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = window;
        if (window == 0)
            closed_ = true;
    }
    ready_.notify_all();
    if (window == 0)
        return;
    Msg msg;
    while (desktop_.GetMessage(&msg) > 0)
        desktop_.DispatchMessage(msg);
    desktop_.DestroyWindow(window);
    // The capture pin closes: the class driver puts the microphone's interface back to its
    // zero-bandwidth setting (a device that is gone refuses, which changes nothing), and the
    // stream's reference on the device goes with the thread that used it.
    if (stream_)
        stream_->SelectInterface(kCaptureInterface, 0);
    stream_.reset();
}

void WaveIn::Kick() {
    desktop_.PostMessage(window_, kKickMessage, 0, 0);
}

void WaveIn::Post(uint32_t message, LParam lParam) {
    desktop_.PostMessage(callback_, message, Handle(), lParam);
}

void WaveIn::ReturnHead(std::unique_lock<std::mutex>&) {
    WaveHeader* header = queue_.front();
    queue_.pop_front();
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    Post(MM_WIM_DATA, static_cast<LParam>(reinterpret_cast<uintptr_t>(header)));
}

void WaveIn::Capture(std::unique_lock<std::mutex>& lock) {
    if (!running_ || failed_ || closed_) {
        desktop_.KillTimer(window_, kTimerId);
        return;
    }
    // Whole packets the clock has brought since the start.
    const int64_t elapsed = host::kernel::Now() - startTime_;
    const uint64_t packets = static_cast<uint64_t>(std::max<int64_t>(elapsed, 0) / kUnitsPerMs);
    std::vector<int16_t> input;
    while (inputRead_ < packets * kSamplesPerPacket) {
        const uint64_t missing = packets - inputRead_ / kSamplesPerPacket;
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<uint64_t>(missing, kMaxPacketsPerTransfer));
        std::vector<int16_t> samples(chunk * kSamplesPerPacket, 0);
        if (node_ != nullptr) {
            if (!stream_)
                stream_ = std::make_unique<AudioStream>(node_);
            std::vector<uint8_t> bytes;
            const NTSTATUS status = stream_->ReadIn(chunk * kSamplesPerPacket * 2, &bytes);
            if (!NT_SUCCESS(status)) {
                // A device that went away (or was restarted under the open handle) records
                // nothing more; the queued buffers wait for the program's reset.
                failed_ = true;
                desktop_.KillTimer(window_, kTimerId);
                return;
            }
            memcpy(samples.data(), bytes.data(), std::min(bytes.size(), samples.size() * 2));
        }
        input.insert(input.end(), samples.begin(), samples.end());
        inputRead_ += samples.size();
    }
    resampler_->Push(input.data(), input.size());
    std::vector<float> made;
    resampler_->Pull(&made);
    const uint64_t firstMade = output_;
    output_ += made.size();

    const uint32_t block = format_.blockAlign;
    for (size_t i = 0; i < made.size(); ++i) {
        const float value = made[i];
        if (firstMade + i < dropBefore_)
            continue;  // made while no buffer was queued: lost
        while (!queue_.empty() &&
               queue_.front()->bufferLength - queue_.front()->bytesRecorded < block)
            ReturnHead(lock);
        if (queue_.empty())
            break;  // nobody gave a buffer for these samples: they are lost
        WaveHeader* header = queue_.front();
        uint8_t* at = header->data + header->bytesRecorded;
        for (uint16_t c = 0; c < format_.channels; ++c) {
            if (format_.bitsPerSample == 8) {
                const long v = lround(value / 256.0) + 128;
                *at++ = static_cast<uint8_t>(std::clamp(v, 0L, 255L));
            } else {
                const int16_t v = static_cast<int16_t>(std::clamp(lround(value), -32768L, 32767L));
                memcpy(at, &v, 2);
                at += 2;
            }
        }
        header->bytesRecorded += block;
    }
    while (!queue_.empty() && queue_.front()->bufferLength - queue_.front()->bytesRecorded < block)
        ReturnHead(lock);

    if (queue_.empty()) {
        desktop_.KillTimer(window_, kTimerId);
        return;
    }
    // The head buffer is done when the input for its last sample has arrived.
    const WaveHeader* head = queue_.front();
    const uint64_t frames = (head->bufferLength - head->bytesRecorded) / block;
    const uint64_t needed = resampler_->InputNeededFor(output_ + frames - 1);
    const uint64_t duePackets = (needed + kSamplesPerPacket - 1) / kSamplesPerPacket;
    const int64_t due = startTime_ + static_cast<int64_t>(duePackets) * kUnitsPerMs;
    const int64_t wait = std::max<int64_t>(due - host::kernel::Now(), 1);
    desktop_.SetTimer(window_, kTimerId,
                      static_cast<uint32_t>((wait + kUnitsPerMs - 1) / kUnitsPerMs));
}

uint32_t WaveIn::PrepareHeader(WaveHeader* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->data == nullptr)
        return MMSYSERR_INVALPARAM;
    if (std::find(prepared_.begin(), prepared_.end(), header) == prepared_.end())
        prepared_.push_back(header);
    header->flags = WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t WaveIn::UnprepareHeader(WaveHeader* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return MMSYSERR_INVALHANDLE;
    if (header == nullptr)
        return MMSYSERR_INVALPARAM;
    if (header->flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    prepared_.erase(std::remove(prepared_.begin(), prepared_.end(), header), prepared_.end());
    header->flags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t WaveIn::AddBuffer(WaveHeader* header) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (header == nullptr)
            return MMSYSERR_INVALPARAM;
        if (std::find(prepared_.begin(), prepared_.end(), header) == prepared_.end() ||
            !(header->flags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        if (header->flags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        header->flags = (header->flags & ~WHDR_DONE) | WHDR_INQUEUE;
        header->bytesRecorded = 0;
        if (queue_.empty() && running_) {
            // What the microphone brought while no buffer waited is gone; this buffer starts
            // with the samples from now on.
            const int64_t elapsed = std::max<int64_t>(host::kernel::Now() - startTime_, 0);
            const uint64_t available =
                static_cast<uint64_t>(elapsed / kUnitsPerMs) * kSamplesPerPacket;
            dropBefore_ = (available * format_.samplesPerSec + kNativeRate - 1) / kNativeRate;
        }
        queue_.push_back(header);
        if (!running_)
            return MMSYSERR_NOERROR;
    }
    Kick();
    return MMSYSERR_NOERROR;
}

uint32_t WaveIn::Start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (running_)
            return MMSYSERR_NOERROR;
        running_ = true;
        startTime_ = host::kernel::Now();
        inputRead_ = 0;
        output_ = 0;
        dropBefore_ = 0;
        resampler_ = std::make_unique<CaptureResampler>(kNativeRate, format_.samplesPerSec);
    }
    Kick();
    return MMSYSERR_NOERROR;
}

uint32_t WaveIn::Stop() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        running_ = false;
        if (!queue_.empty() && queue_.front()->bytesRecorded > 0)
            ReturnHead(lock);
    }
    Kick();
    return MMSYSERR_NOERROR;
}

uint32_t WaveIn::Reset() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        running_ = false;
        while (!queue_.empty())
            ReturnHead(lock);
    }
    Kick();
    return MMSYSERR_NOERROR;
}

uint32_t WaveIn::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (!queue_.empty())
            return WAVERR_STILLPLAYING;
        closed_ = true;
        running_ = false;
    }
    Post(MM_WIM_CLOSE, 0);
    desktop_.PostMessage(window_, kQuitMessage, 0, 0);
    return MMSYSERR_NOERROR;
}

}  // namespace host::user
