// The worst case that matters in the driver: the time of one transfer in the URB path. Two
// minutes of music go through ProcessPlaybackBuffer in 1920-byte transfers (10 ms of audio
// each at 48 kHz) with every stage on (gate, equalizer, sound field 1, level control,
// fold-down), and each transfer is timed on its own. Reported: mean, 99.9th percentile and
// maximum of one transfer, the maximum as a share of the 10 ms it carries, and the same for
// the transfers that complete an equalizer block (one in about 2.1), which carry the
// transforms of its left channel, and of those that follow them and finish its right
// channel (docs/equalizer.md). Run with the vectors the driver uses (SSE2) and with the widest the
// host has.
//
// The machine is shared, so a transfer's wall time may include another process's time
// slice. The same session therefore plays the clip kPasses times in a row, and each transfer
// counts with the least of its times: the work is the same in every pass (120 s is a whole
// number of equalizer hops, so the same transfers complete a block), the preemptions are
// not, and only the first pass pays for the first touch of the session's fresh memory,
// which the driver's non-paged buffers never do.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "engine_session.h"
#include "music_clip.h"
#include "wide_vectors.h"

namespace {

constexpr uint32_t kTransferBytes = 1920;
constexpr double kTransferAudioUs = 10000.0;  // 480 frames at 48 kHz
constexpr double kStreamSeconds = 120.0;
constexpr int kPasses = 3;

struct Summary {
    double meanUs = 0;
    double p999Us = 0;
    double maxUs = 0;
};

Summary Summarize(std::vector<double> times) {
    Summary s;
    if (times.empty())
        return s;
    double total = 0;
    for (double t : times)
        total += t;
    s.meanUs = total / times.size();
    std::sort(times.begin(), times.end());
    s.p999Us = times[std::min(times.size() - 1, static_cast<size_t>(times.size() * 0.999))];
    s.maxUs = times.back();
    return s;
}

void BM_WorstTransfer(benchmark::State& state) {
    const VectorWidth width = LimitVectorWidth(static_cast<VectorWidth>(state.range(0)));
    EngineSettings settings;
    settings.noiseClean = true;
    settings.drc = true;
    settings.soundField = 1;
    const std::vector<uint8_t> clip = GenerateMusicClip(kStreamSeconds, 48000);
    const size_t transfers = clip.size() / kTransferBytes;
    std::vector<double> least(transfers, 1e300);
    std::vector<bool> completesBlock(transfers, false);
    std::vector<bool> finishesRight(transfers, false);

    for (auto _ : state) {
        state.PauseTiming();
        EngineSession session(settings);
        state.ResumeTiming();
        for (int pass = 0; pass < kPasses; ++pass) {
            state.PauseTiming();
            std::vector<uint8_t> stream = clip;
            state.ResumeTiming();
            for (size_t i = 0; i < transfers; ++i) {
                uint8_t* const transfer = stream.data() + i * kTransferBytes;
                const uint32_t processBefore = session.eqStream().ProcessPosition;
                finishesRight[i] = session.eqStream().PendingChannel != 0;
                const auto start = std::chrono::steady_clock::now();
                session.Process(transfer, kTransferBytes);
                const auto end = std::chrono::steady_clock::now();
                const double us = std::chrono::duration<double, std::micro>(end - start).count();
                least[i] = std::min(least[i], us);
                completesBlock[i] = session.eqStream().ProcessPosition != processBefore;
            }
            benchmark::DoNotOptimize(stream.data());
        }
    }
    std::vector<double> all, blocks, others, rights, idle;
    for (size_t i = 0; i < transfers; ++i) {
        all.push_back(least[i]);
        (completesBlock[i] ? blocks : others).push_back(least[i]);
        if (!completesBlock[i])
            (finishesRight[i] ? rights : idle).push_back(least[i]);
    }
    LimitVectorWidth(VectorWidth::kAvx512);

    const Summary a = Summarize(all), b = Summarize(blocks), o = Summarize(others);
    const Summary r = Summarize(rights), q = Summarize(idle);
    state.counters["vector_width"] = static_cast<double>(width);
    state.counters["transfers"] = static_cast<double>(all.size());
    state.counters["mean_us"] = a.meanUs;
    state.counters["p999_us"] = a.p999Us;
    state.counters["max_us"] = a.maxUs;
    state.counters["max_pct_of_10ms"] = 100.0 * a.maxUs / kTransferAudioUs;
    state.counters["eq_block_transfers"] = static_cast<double>(blocks.size());
    state.counters["eq_block_mean_us"] = b.meanUs;
    state.counters["eq_block_max_us"] = b.maxUs;
    state.counters["eq_block_mean_pct_of_10ms"] = 100.0 * b.meanUs / kTransferAudioUs;
    state.counters["other_mean_us"] = o.meanUs;
    state.counters["other_max_us"] = o.maxUs;
    state.counters["eq_right_transfers"] = static_cast<double>(rights.size());
    state.counters["eq_right_mean_us"] = r.meanUs;
    state.counters["eq_right_max_us"] = r.maxUs;
    state.counters["no_eq_work_mean_us"] = q.meanUs;
    state.counters["no_eq_work_max_us"] = q.maxUs;
}

}  // namespace

// 0: SSE2, what the driver runs; 2: the widest vectors this host offers (capped there).
BENCHMARK(BM_WorstTransfer)
    ->ArgName("width")
    ->Arg(static_cast<int>(VectorWidth::kSse2))
    ->Arg(static_cast<int>(VectorWidth::kAvx512))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
