#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brisvane {

// Low-pass taps for decimation by `factor` (1..6): a Kaiser-windowed sinc cut off at half the
// output rate, odd length, symmetric, unit gain at DC; flat to 0.1 dB up to 0.45 of the output
// rate and at least 80 dB down from 0.55 of it. Factor 1 is the single tap 1.
std::vector<float> decimation_taps(std::uint32_t factor);

// A polyphase FIR decimator by an integer factor over interleaved channels, computing only the
// samples it keeps. Output frame k is y[k] = sum_j h[j] x[k*D - j] (x before the first frame
// being 0), produced when input frame k*D arrives, so n input frames give ceil(n / D) output
// frames. The output depends only on the input, never on how it is cut into calls.
class Decimator {
public:
    // factor 1..6 (1 passes samples through unchanged), channels 1 or 2.
    Decimator(std::uint32_t factor, std::uint16_t channels);

    // Takes whole interleaved frames; appends the output frames and returns their count.
    std::size_t push(std::span<const float> input, std::vector<float>& output);
    // Exactly as push() of that many frames of +0.0f. Once the filter's history is all +0.0,
    // every output is +0.0 (the centre tap is positive and, rounding to nearest, +0 + -0 is +0)
    // and is appended without computing; a history holding anything else, -0.0 included, is
    // first filtered out as push() would.
    std::size_t push_zeros(std::uint64_t frames, std::vector<float>& output);
    // The two halves of push_zeros, for a silence too long to be made: zeros through the filter
    // until its history is all +0.0 (at most `frames`; returns how many it took), then, with the
    // history settled, zeros taken without making their outputs (all +0.0; returns how many).
    std::uint64_t push_zeros_until_settled(std::uint64_t frames, std::vector<float>& output);
    std::uint64_t skip_settled_zeros(std::uint64_t frames);

    // The group delay in input frames: output frame k stands for input frame k*D - delay.
    std::uint32_t delay_frames() const { return static_cast<std::uint32_t>(taps_.size() / 2); }

private:
    // The taps h[r], h[r+D], ... below the centre, whose mirror images lie in phase
    // `backward_phase` from `backward_start` down.
    struct Branch {
        std::uint32_t forward_phase = 0;
        std::uint32_t backward_phase = 0;
        std::uint32_t backward_start = 0;
        std::uint32_t first_tap = 0;
        std::uint32_t tap_count = 0;
    };

    std::size_t push_piece(std::span<const float> input, std::vector<float>& output);
    template <std::size_t LANES>
    void filter_lanes(std::size_t first, float* out) const;
    const float* row(std::uint16_t channel, std::uint32_t phase) const;
    bool history_is_positive_zero() const;
    std::uint64_t outputs_after(std::uint64_t filled) const;

    std::uint32_t factor_;
    std::uint16_t channels_;
    std::vector<float> taps_;
    std::vector<Branch> branches_;
    std::vector<float> branch_taps_;
    // The filter's inputs from the next output's window on, split by channel and phase: the row
    // of phase p holds the inputs at window offsets p, p + D, p + 2D, ..., so that the inputs of
    // consecutive outputs at any one tap lie side by side. The windows start taps-1 frames
    // before the first input, on zeros.
    std::vector<float> rows_;
    std::size_t row_capacity_ = 0;
    std::size_t filled_ = 0;        // window offsets filled so far
    std::vector<float> zeros_;      // taps-1 frames of +0.0
};

}  // namespace brisvane
