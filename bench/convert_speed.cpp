// The sample conversion's speed in the Windows build, for scripts/bench to run under Wine,
// where Google Benchmark is not built: for every format, the median of 9 runs of at least
// 0.1 s each, as wall-clock time per second of audio (ConvertWorkload). Prints one line per
// format: rate, channels, f32 or s16, times real time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "convert_workload.hpp"

int main() {
    using namespace brisvane;
    using Clock = std::chrono::steady_clock;
    unsigned seen = 0;
    for (std::uint32_t rate : {48000u, 24000u, 16000u, 12000u, 9600u, 8000u}) {
        for (std::uint16_t channels : {std::uint16_t{1}, std::uint16_t{2}}) {
            for (SampleType type : {SampleType::F32, SampleType::S16}) {
                ConvertWorkload workload({rate, channels, type});
                seen ^= std::to_integer<unsigned>(workload.one_second());
                std::vector<double> runs;
                for (int run = 0; run < 9; ++run) {
                    const auto start = Clock::now();
                    int seconds = 0;
                    do {
                        seen ^= std::to_integer<unsigned>(workload.one_second());
                        ++seconds;
                    } while (Clock::now() - start < std::chrono::milliseconds(100));
                    runs.push_back(std::chrono::duration<double>(Clock::now() - start).count() / seconds);
                }
                std::ranges::nth_element(runs, runs.begin() + 4);
                std::printf("%u %u %s %.1f\n", rate, channels, type == SampleType::F32 ? "f32" : "s16", 1.0 / runs[4]);
            }
        }
    }
    std::fprintf(stderr, "(checksum %u)\n", seen);
}
