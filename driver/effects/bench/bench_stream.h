// What every stage benchmark shares: transfers of one size taken in turn along a generated
// music clip, processed in place, and the cost reported per stereo frame.
#pragma once

#include <benchmark/benchmark.h>
#include <stdint.h>

#include <vector>

#include "music_clip.h"

namespace ampfx_bench {

// Reported as nanoseconds per frame: the counter inverts the rate of frames per second, so
// it is scaled to read in ns.
inline void SetNsPerFrame(benchmark::State& state, uint32_t transferBytes) {
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(transferBytes / 4) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Calls process(buffer, transferBytes) once per iteration along a 4 s clip. The clip is
// restored (untimed) each time its end is reached, so every transfer sees music, never
// processed output.
template <typename Process>
void StreamMusic(benchmark::State& state, uint32_t transferBytes, Process process) {
    const std::vector<uint8_t> clip = GenerateMusicClip(4.0, 48000);
    std::vector<uint8_t> stream = clip;
    size_t offset = 0;
    for (auto _ : state) {
        if (offset + transferBytes > stream.size()) {
            state.PauseTiming();
            stream = clip;
            offset = 0;
            state.ResumeTiming();
        }
        process(stream.data() + offset, transferBytes);
        benchmark::DoNotOptimize(stream.data() + offset);
        offset += transferBytes;
    }
    SetNsPerFrame(state, transferBytes);
}

}  // namespace ampfx_bench
