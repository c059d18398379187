#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/decimator.hpp"
#include "capture/output_format.hpp"

namespace brisvane {

// Turns the engine's 48 kHz stereo float frames into the rate and channels of an output format,
// still as floats: mono is the mean of the two channels, taken before the filter so that it runs once.
class SampleConverter {
public:
    // A supported rate, 1 or 2 channels.
    explicit SampleConverter(OutputFormat format);

    // Takes interleaved stereo frames; appends output frames (format.channels floats each) and
    // returns their count.
    std::size_t push(std::span<const float> stereo, std::vector<float>& output);
    std::size_t push_zeros(std::uint64_t frames, std::vector<float>& output);
    // See Decimator: push_zeros in two halves, so that a long silence is counted, not made.
    std::uint64_t push_zeros_until_settled(std::uint64_t frames, std::vector<float>& output) {
        return decimator_.push_zeros_until_settled(frames, output);
    }
    std::uint64_t skip_settled_zeros(std::uint64_t frames) { return decimator_.skip_settled_zeros(frames); }
    // In input frames: output frame k stands for input frame k * decimation_factor - delay.
    std::uint32_t delay_frames() const { return decimator_.delay_frames(); }

private:
    OutputFormat format_;
    Decimator decimator_;
    std::vector<float> mono_;
};

// Writes the samples in the format's sample type, little-endian: 4 or 2 bytes each at `out`.
void encode_samples(std::span<const float> samples, SampleType type, std::byte* out);

}  // namespace brisvane
