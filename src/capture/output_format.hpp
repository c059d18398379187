#pragma once

#include <cstddef>
#include <cstdint>

namespace brisvane {

enum class SampleType : std::uint16_t { F32 = 1, S16 = 2 };

// The record stream's sample format, as the caller asks for it.
struct OutputFormat {
    std::uint32_t rate = 48000;
    std::uint16_t channels = 2;
    SampleType sample_type = SampleType::F32;
    friend bool operator==(const OutputFormat&, const OutputFormat&) = default;
};

inline constexpr std::uint32_t ENGINE_RATE = 48000;          // what the engine delivers: 48 kHz, stereo, float
inline constexpr std::uint16_t ENGINE_CHANNELS = 2;
inline constexpr std::uint32_t RECORDS_PER_SECOND = 50;      // records of 20 ms

// The lowest rate: decimation by 12 at the most.
inline constexpr std::uint32_t MINIMUM_RATE = ENGINE_RATE / 12;

// 48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800 or 4000: a whole divisor of 48000 whose
// 20 ms hold whole samples.
constexpr bool is_supported_rate(std::uint32_t rate) {
    return rate >= MINIMUM_RATE && rate <= ENGINE_RATE && ENGINE_RATE % rate == 0 && rate % RECORDS_PER_SECOND == 0;
}
constexpr std::uint32_t decimation_factor(std::uint32_t rate) { return ENGINE_RATE / rate; }
constexpr std::uint32_t samples_per_record(std::uint32_t rate) { return rate / RECORDS_PER_SECOND; } // per channel
constexpr std::size_t bytes_per_sample(SampleType type) { return type == SampleType::S16 ? 2 : 4; }

}  // namespace brisvane
