// The sound field in steady state (music) against the same preset deep in a decaying tail
// (a loud passage, then a long silence), at 1920-byte transfers. The tail must not cost more
// than the music: its feedback states sink towards zero, where subnormal numbers would make
// every operation on them many times slower.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine_session.h"
#include "bench_stream.h"
#include "music_clip.h"

namespace {

constexpr uint32_t kTransferBytes = 1920;
constexpr int kRate = 48000;

EngineSettings SoundFieldOnly(uint32_t preset) {
    EngineSettings settings;
    settings.equalizer = false;
    settings.virtual71 = false;
    settings.soundField = preset;
    return settings;
}

void BM_SoundFieldSteady(benchmark::State& state) {
    EngineSession session(SoundFieldOnly(static_cast<uint32_t>(state.range(0))));
    ampfx_bench::StreamMusic(state, kTransferBytes, [&session](uint8_t* buffer, uint32_t bytes) {
        session.Process(buffer, bytes);
    });
}

// range(1): seconds of silence after the music before the timing starts.
void BM_SoundFieldTail(benchmark::State& state) {
    EngineSession session(SoundFieldOnly(static_cast<uint32_t>(state.range(0))));
    std::vector<uint8_t> music = GenerateMusicClip(4.0, kRate);
    session.ProcessInChunks(music, kTransferBytes);
    std::vector<uint8_t> silence(static_cast<size_t>(state.range(1)) * kRate * 4, 0);
    session.ProcessInChunks(silence, kTransferBytes);

    std::vector<uint8_t> transfer(kTransferBytes, 0);
    for (auto _ : state) {
        session.Process(transfer.data(), kTransferBytes);
        benchmark::DoNotOptimize(transfer.data());
    }
    ampfx_bench::SetNsPerFrame(state, kTransferBytes);
}

}  // namespace

BENCHMARK(BM_SoundFieldSteady)->ArgName("preset")->DenseRange(1, 4);
BENCHMARK(BM_SoundFieldTail)
    ->ArgNames({"preset", "silent_s"})
    ->ArgsProduct({{1, 2, 3, 4}, {30, 90}});

BENCHMARK_MAIN();
