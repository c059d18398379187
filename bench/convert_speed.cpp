// The sample conversion's speed in the Windows build, for scripts/bench to run under Wine,
// where Google Benchmark is not built: for every format, the median of 3 runs of the thread's
// CPU time per second of audio (ConvertWorkload), each run at least the given seconds of CPU
// (Wine counts thread time in 10 ms steps). Prints one line per format: rate, channels, f32 or
// s16, times real time.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "convert_workload.hpp"

namespace {

double thread_cpu_seconds() {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    const auto ticks = [](FILETIME t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brisvane;
    const double least = argc > 1 ? std::atof(argv[1]) : 0.5;
    unsigned seen = 0;
    for (std::uint32_t rate : {48000u, 24000u, 16000u, 12000u, 9600u, 8000u}) {
        for (std::uint16_t channels : {std::uint16_t{1}, std::uint16_t{2}}) {
            for (SampleType type : {SampleType::F32, SampleType::S16}) {
                ConvertWorkload workload({rate, channels, type});
                seen ^= std::to_integer<unsigned>(workload.one_second());
                std::vector<double> runs;
                for (int run = 0; run < 3; ++run) {
                    const double start = thread_cpu_seconds();
                    double used = 0;
                    int seconds = 0;
                    while (used < least) {
                        // Asking Wine for the thread's times reads /proc: not after every second of audio.
                        for (int i = 0; i < 32; ++i, ++seconds) seen ^= std::to_integer<unsigned>(workload.one_second());
                        used = thread_cpu_seconds() - start;
                    }
                    runs.push_back(seconds / used);
                }
                std::ranges::sort(runs);
                std::printf("%u %u %s %.1f\n", rate, channels, type == SampleType::F32 ? "f32" : "s16", runs[1]);
            }
        }
    }
    std::fprintf(stderr, "(checksum %u)\n", seen);
}
