// Cost of each stage and of the whole chain per frame, at the driver's usual 1920-byte
// transfers (10 ms at 48 kHz), on a generated music clip.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine_session.h"
#include "bench_stream.h"
#include "music_clip.h"

namespace {

constexpr uint32_t kTransferBytes = 1920;

enum Stages : unsigned {
    kGate = 1,
    kEqualizer = 2,
    kSoundField = 4,
    kLevel = 8,
    kFoldDown = 16,
    kAll = 31,
};

void BenchStages(benchmark::State& state, unsigned stages) {
    EngineSettings settings;
    settings.noiseClean = stages & kGate;
    settings.equalizer = stages & kEqualizer;
    settings.soundField = (stages & kSoundField) ? 1 : 0;
    settings.drc = stages & kLevel;
    settings.virtual71 = stages & kFoldDown;
    EngineSession session(settings);

    // Transfers are processed in place along the clip; the clip is restored (untimed) each
    // time the end is reached, so every transfer sees music, never processed output.
    ampfx_bench::StreamMusic(state, kTransferBytes, [&session](uint8_t* buffer, uint32_t bytes) {
        session.Process(buffer, bytes);
    });
}

}  // namespace

BENCHMARK_CAPTURE(BenchStages, gate, unsigned{kGate});
BENCHMARK_CAPTURE(BenchStages, equalizer, unsigned{kEqualizer});
BENCHMARK_CAPTURE(BenchStages, sound_field_preset1, unsigned{kSoundField});
BENCHMARK_CAPTURE(BenchStages, level_control, unsigned{kLevel});
BENCHMARK_CAPTURE(BenchStages, fold_down, unsigned{kFoldDown});
BENCHMARK_CAPTURE(BenchStages, whole_chain, unsigned{kAll});

BENCHMARK_MAIN();
