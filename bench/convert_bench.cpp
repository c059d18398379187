// The sample conversion of brisvane-capture, natively with Google Benchmark: one iteration is
// one second of 48 kHz stereo float audio converted and encoded (ConvertWorkload).
#include <benchmark/benchmark.h>

#include "convert_workload.hpp"

namespace brisvane {
namespace {

OutputFormat format_of(const benchmark::State& state) {
    return {static_cast<std::uint32_t>(state.range(0)), static_cast<std::uint16_t>(state.range(1)),
            static_cast<SampleType>(state.range(2))};
}

const std::vector<std::int64_t> RATES = {48000, 24000, 16000, 12000, 9600, 8000};

// Arguments: rate, channels, sample type (1 f32, 2 s16).
void BM_Convert(benchmark::State& state) {
    ConvertWorkload workload(format_of(state));
    for (auto _ : state) benchmark::DoNotOptimize(workload.one_second());
}
BENCHMARK(BM_Convert)->ArgsProduct({RATES, {1, 2}, {1, 2}})->Unit(benchmark::kMicrosecond);

void BM_ConvertZeros(benchmark::State& state) {
    ConvertWorkload workload(format_of(state));
    for (auto _ : state) benchmark::DoNotOptimize(workload.one_second_of_zeros());
}
BENCHMARK(BM_ConvertZeros)->ArgsProduct({RATES, {2}, {2}})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brisvane
BENCHMARK_MAIN();
