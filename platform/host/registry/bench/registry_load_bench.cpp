// Loading a registry file whose one key holds many values: the time per value should not grow
// with the number of values already loaded.
#include <benchmark/benchmark.h>

#include <string>

#include "host/registry.h"

namespace {

void LoadOneKey(benchmark::State& state) {
    const size_t values = static_cast<size_t>(state.range(0));
    std::string text = "AmpfxRegistry 1\n[HKLM\\SOFTWARE\\Many]\n";
    for (size_t i = 0; i < values; ++i) {
        text += "\"Value" + std::to_string(i) + "\"=dword:00000001\n";
    }
    for (auto _ : state) {
        host::Registry registry;
        const host::RegistryLoadResult result = registry.Load(text);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
        }
    }
    state.counters["ns_per_value"] = benchmark::Counter(
        static_cast<double>(values),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(LoadOneKey)->Arg(4096)->Arg(16384)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
