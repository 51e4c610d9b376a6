// The sound field in steady state (music) against the same preset deep in a decaying tail
// (a loud passage, then a long silence), at 1920-byte transfers. The tail must not cost more
// than the music: its feedback states sink towards zero, where subnormal numbers would make
// every operation on them many times slower.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "engine_session.h"
#include "bench_stream.h"
#include "music_clip.h"
#include "wide_vectors.h"

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

// range(1): the widest vectors allowed (0 SSE2, as in the driver; 1 AVX2; 2 AVX-512), where
// the host has them.
void BM_SoundFieldSteady(benchmark::State& state) {
    const VectorWidth width = LimitVectorWidth(static_cast<VectorWidth>(state.range(1)));
    EngineSession session(SoundFieldOnly(static_cast<uint32_t>(state.range(0))));
    ampfx_bench::StreamMusic(state, kTransferBytes, [&session](uint8_t* buffer, uint32_t bytes) {
        session.Process(buffer, bytes);
    });
    LimitVectorWidth(VectorWidth::kAvx512);
    state.counters["vector_width"] = static_cast<double>(width);
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

// Steady state and tail side by side: one session plays music, another the same preset
// range(1) seconds into the silence after the music, and every iteration times one transfer
// of each, so that the load of a shared machine weighs on both alike. Reports the ratio of
// the tail's time to the steady state's.
void BM_SoundFieldTailToSteady(benchmark::State& state) {
    const uint32_t preset = static_cast<uint32_t>(state.range(0));
    EngineSession steady(SoundFieldOnly(preset));
    EngineSession tail(SoundFieldOnly(preset));
    const std::vector<uint8_t> clip = GenerateMusicClip(4.0, kRate);
    std::vector<uint8_t> warmUp = clip;
    tail.ProcessInChunks(warmUp, kTransferBytes);
    std::vector<uint8_t> silence(static_cast<size_t>(state.range(1)) * kRate * 4, 0);
    tail.ProcessInChunks(silence, kTransferBytes);

    std::vector<uint8_t> music = clip;
    std::vector<uint8_t> quiet(kTransferBytes, 0);
    size_t offset = 0;
    double steadySeconds = 0, tailSeconds = 0;
    for (auto _ : state) {
        if (offset + kTransferBytes > music.size()) {
            music = clip;
            offset = 0;
        }
        const auto t0 = std::chrono::steady_clock::now();
        steady.Process(music.data() + offset, kTransferBytes);
        const auto t1 = std::chrono::steady_clock::now();
        tail.Process(quiet.data(), kTransferBytes);
        const auto t2 = std::chrono::steady_clock::now();
        steadySeconds += std::chrono::duration<double>(t1 - t0).count();
        tailSeconds += std::chrono::duration<double>(t2 - t1).count();
        benchmark::DoNotOptimize(quiet.data());
        offset += kTransferBytes;
    }
    state.counters["tail_to_steady"] = tailSeconds / steadySeconds;
    state.counters["steady_ns_per_frame"] =
        1e9 * steadySeconds / (static_cast<double>(state.iterations()) * (kTransferBytes / 4));
}

}  // namespace

BENCHMARK(BM_SoundFieldTailToSteady)
    ->ArgNames({"preset", "silent_s"})
    ->ArgsProduct({{1, 2, 3, 4}, {90}});
BENCHMARK(BM_SoundFieldSteady)
    ->ArgNames({"preset", "width"})
    ->ArgsProduct({{1, 2, 3, 4}, {0, 1, 2}});
BENCHMARK(BM_SoundFieldTail)
    ->ArgNames({"preset", "silent_s"})
    ->ArgsProduct({{1, 2, 3, 4}, {30, 90}});

BENCHMARK_MAIN();
