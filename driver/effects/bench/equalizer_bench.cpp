// The equalizer stage alone at the driver's usual 1920-byte transfers, with the engine's
// table-driven transform and window against the plain transcription the tests hold it to,
// side by side in one run; and the 2048-point transform alone, both ways.
#include <benchmark/benchmark.h>

#include <vector>

#include "equalizer.h"
#include "bench_stream.h"
#include "music_clip.h"
#include "reference_equalizer.h"

namespace {

constexpr uint32_t kTransferBytes = 1920;

// One device's state with heap buffers, the curve of a typical bass-heavy setting.
class BenchDevice {
  public:
    BenchDevice() : ring_(kEqRingAllocBytes) {
        InitEffectState(&state_);
        const float gains[kEqBandCount] = {2.0f, 1.8f, 1.4f, 1.0f, 0.9f,
                                           0.9f, 1.0f, 1.2f, 1.4f, 1.5f};
        for (uint32_t band = 0; band < kEqBandCount; ++band)
            state_.AmpfxEQGain[band] = gains[band];
        RebuildEqCurve(&state_);
        eq_.Ring = ring_.data();
        float** buffers[] = {&eq_.Block,        &eq_.ImaginaryInput,
                             &eq_.SpectrumReal, &eq_.SpectrumImaginary,
                             &eq_.OverlapLeft,  &eq_.OverlapRight};
        for (int i = 0; i < 6; ++i) {
            floats_[i].resize(kEqBlockFrames);
            *buffers[i] = floats_[i].data();
        }
        InitEqStream(&eq_);
        context_.State = &state_;
        context_.Eq = &eq_;
        context_.RestartCountdown = &restartCountdown_;
        context_.SetDeviceMute = nullptr;
        context_.MuteContext = nullptr;
    }

    EffectDeviceContext* context() { return &context_; }

  private:
    EffectState state_;
    EqStream eq_;
    int32_t restartCountdown_ = 0;
    EffectDeviceContext context_;
    std::vector<uint8_t> ring_;
    std::vector<float> floats_[6];
};

template <void (*Stage)(EffectDeviceContext*, uint8_t*, uint32_t)>
void BenchStage(benchmark::State& state) {
    BuildBitReverseTables();
    BenchDevice device;
    ampfx_bench::StreamMusic(state, kTransferBytes, [&device](uint8_t* buffer, uint32_t bytes) {
        Stage(device.context(), buffer, bytes);
    });
}

template <void (*Transform)(uint32_t, bool, const float*, const float*, float*, float*)>
void BenchTransform(benchmark::State& state) {
    BuildBitReverseTables();
    const std::vector<uint8_t> clip = GenerateMusicClip(0.1, 48000);
    std::vector<float> in(kEqBlockFrames), re(kEqBlockFrames), im(kEqBlockFrames);
    for (uint32_t i = 0; i < kEqBlockFrames; ++i)
        in[i] = static_cast<float>(static_cast<int16_t>(clip[4 * i] | (clip[4 * i + 1] << 8)));
    for (auto _ : state) {
        Transform(kEqBlockFrames, false, in.data(), nullptr, re.data(), im.data());
        benchmark::DoNotOptimize(re.data());
        benchmark::DoNotOptimize(im.data());
    }
    state.counters["ns_per_point"] = benchmark::Counter(
        static_cast<double>(kEqBlockFrames) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_TEMPLATE(BenchStage, RunEqualizer)->Name("equalizer_stage/engine");
BENCHMARK_TEMPLATE(BenchStage, ReferenceRunEqualizer)->Name("equalizer_stage/plain_transcription");
BENCHMARK_TEMPLATE(BenchTransform, FftFloat)->Name("fft_2048/engine");
BENCHMARK_TEMPLATE(BenchTransform, ReferenceFftFloat)->Name("fft_2048/plain_transcription");

BENCHMARK_MAIN();
