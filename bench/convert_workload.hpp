#pragma once

// One second of the engine's audio converted to an output format and encoded, in records of
// 20 ms as the capture program takes them: what the conversion measurements time, natively
// and in the Windows build.
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <vector>

#include "capture/sample_converter.hpp"

namespace brisvane {

class ConvertWorkload {
public:
    explicit ConvertWorkload(OutputFormat format)
        : format_(format), converter_(format), input_(std::size_t{ENGINE_RATE} * ENGINE_CHANNELS), bytes_(RECORD * 4) {
        // A tone with some noise-like content, different on the two channels.
        for (std::size_t n = 0; n < ENGINE_RATE; ++n) {
            const double x = static_cast<double>(n);
            const double v = 0.4 * std::sin(2 * std::numbers::pi * 440 * x / ENGINE_RATE) + 0.05 * std::sin(x * x);
            input_[2 * n] = static_cast<float>(v);
            input_[2 * n + 1] = static_cast<float>(-0.7 * v);
        }
    }

    // One second of audio; returns a byte of the encoded output, so that nothing is left out.
    std::byte one_second() {
        std::byte seen{};
        for (std::size_t at = 0; at < input_.size(); at += RECORD) {
            output_.clear();
            converter_.push(std::span(input_).subspan(at, RECORD), output_);
            seen ^= encode();
        }
        return seen;
    }

    // One second of silence through push_zeros, as a gap in the engine's packets is filled.
    std::byte one_second_of_zeros() {
        std::byte seen{};
        for (std::uint32_t record = 0; record < RECORDS_PER_SECOND; ++record) {
            output_.clear();
            converter_.push_zeros(RECORD / ENGINE_CHANNELS, output_);
            seen ^= encode();
        }
        return seen;
    }

private:
    static constexpr std::size_t RECORD = std::size_t{ENGINE_RATE} / RECORDS_PER_SECOND * ENGINE_CHANNELS;  // floats

    std::byte encode() {
        encode_samples(output_, format_.sample_type, bytes_.data());
        return bytes_[output_.size() / 2];
    }

    OutputFormat format_;
    SampleConverter converter_;
    std::vector<float> input_;
    std::vector<float> output_;
    std::vector<std::byte> bytes_;
};

}  // namespace brisvane
