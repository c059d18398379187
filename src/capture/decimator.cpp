#include "capture/decimator.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <numbers>

#include "capture/output_format.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BRISVANE_HAVE_SSE2 1
#endif

namespace brisvane {

namespace {

// Designed for 84 dB so that the taps' worst stopband level stays beyond 80 dB; the passband
// ripple of a Kaiser design is that small too (about 0.001 dB).
constexpr double ATTENUATION_DB = 84.0;
// The transition band, as a fraction of the output rate: 0.45 .. 0.55.
constexpr double TRANSITION = 0.1;
// Outputs computed side by side (Sums); the last few of a call four or one at a time.
constexpr std::size_t LANES = 32;
// Longer input is taken in pieces of this many frames, so that the rows never grow.
constexpr std::size_t PIECE_FRAMES = 1920;

// The sums of COUNT consecutive outputs, side by side: the centre term first, then one pair of
// mirror-image inputs times their tap after another. Each lane takes the same operations in the
// same order whatever COUNT, so no result depends on where a call's outputs fall.
template <std::size_t COUNT>
struct Sums {
    float lanes[COUNT];
    void start(float tap, const float* inputs) {
        for (std::size_t lane = 0; lane < COUNT; ++lane) lanes[lane] = tap * inputs[lane];
    }
    void add(float tap, const float* before, const float* after) {
        for (std::size_t lane = 0; lane < COUNT; ++lane) lanes[lane] += tap * (before[lane] + after[lane]);
    }
    void store(float* out) const { std::copy(lanes, lanes + COUNT, out); }
};

#if defined(BRISVANE_HAVE_SSE2)
// Four lanes to a vector. GCC vectorises the loop over the taps instead of the one over the
// outputs, and keeps the sums in memory, which halves the speed.
template <std::size_t COUNT>
    requires(COUNT % 4 == 0)
struct Sums<COUNT> {
    __m128 vectors[COUNT / 4];
    void start(float tap, const float* inputs) {
        const __m128 taps = _mm_set1_ps(tap);
        for (std::size_t v = 0; v < COUNT / 4; ++v) vectors[v] = _mm_mul_ps(taps, _mm_loadu_ps(inputs + 4 * v));
    }
    void add(float tap, const float* before, const float* after) {
        const __m128 taps = _mm_set1_ps(tap);
        for (std::size_t v = 0; v < COUNT / 4; ++v) {
            const __m128 pair = _mm_add_ps(_mm_loadu_ps(before + 4 * v), _mm_loadu_ps(after + 4 * v));
            vectors[v] = _mm_add_ps(vectors[v], _mm_mul_ps(taps, pair));
        }
    }
    void store(float* out) const {
        for (std::size_t v = 0; v < COUNT / 4; ++v) _mm_storeu_ps(out + 4 * v, vectors[v]);
    }
};
#endif

double bessel_i0(double x) {
    double total = 1.0;
    double term = 1.0;
    for (int k = 1; term > 1e-17 * total; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        total += term;
    }
    return total;
}

}  // namespace

std::vector<float> decimation_taps(std::uint32_t factor) {
    if (factor <= 1) return {1.0f};
    const double width = TRANSITION / factor;  // cycles per input sample
    auto count = static_cast<std::size_t>(std::ceil((ATTENUATION_DB - 7.95) / (2.285 * 2.0 * std::numbers::pi * width))) + 1;
    count |= 1;
    const double beta = 0.1102 * (ATTENUATION_DB - 8.7);
    const auto centre = static_cast<std::ptrdiff_t>(count / 2);
    std::vector<double> taps(count);
    double sum = 0.0;
    for (std::size_t n = 0; n < count; ++n) {
        const std::ptrdiff_t t = static_cast<std::ptrdiff_t>(n) - centre;
        const double ratio = static_cast<double>(t) / static_cast<double>(centre);
        const double window = bessel_i0(beta * std::sqrt(1.0 - ratio * ratio)) / bessel_i0(beta);
        // The sinc's zeros fall on every factor-th tap: exactly zero, so that the filter skips them.
        const double sinc = t == 0 ? 1.0 / factor
                            : t % static_cast<std::ptrdiff_t>(factor) == 0
                                ? 0.0
                                : std::sin(std::numbers::pi * static_cast<double>(t) / factor) / (std::numbers::pi * static_cast<double>(t));
        taps[n] = sinc * window;
        sum += taps[n];
    }
    std::vector<float> result(count);
    std::ranges::transform(taps, result.begin(), [sum](double tap) { return static_cast<float>(tap / sum); });
    return result;
}

Decimator::Decimator(std::uint32_t factor, std::uint16_t channels)
    : factor_(factor), channels_(channels), taps_(decimation_taps(factor)) {
    assert(factor >= 1 && factor <= ENGINE_RATE / MINIMUM_RATE && (channels == 1 || channels == 2));
    const std::size_t history = taps_.size() - 1;
    // The taps are symmetric: each tap below the centre is paired with its mirror image, so
    // that one multiplication serves both.
    const std::uint32_t centre = delay_frames();
    for (std::uint32_t r = 0; r < factor_ && r < centre; ++r) {
        const std::uint32_t mirror = static_cast<std::uint32_t>(history) - r;
        Branch branch{r, mirror % factor_, mirror / factor_, static_cast<std::uint32_t>(branch_taps_.size()), 0};
        for (std::uint32_t t = r; t < centre; t += factor_) branch_taps_.push_back(taps_[t]);
        branch.tap_count = static_cast<std::uint32_t>(branch_taps_.size()) - branch.first_tap;
        if (std::all_of(branch_taps_.begin() + branch.first_tap, branch_taps_.end(), [](float tap) { return tap == 0.0f; })) {
            branch_taps_.resize(branch.first_tap);
        } else {
            branches_.push_back(branch);
        }
    }
    row_capacity_ = (history + factor_ + PIECE_FRAMES) / factor_ + 1;
    rows_.assign(row_capacity_ * factor_ * channels_, 0.0f);
    filled_ = history;
    zeros_.assign(history * channels_, 0.0f);
}

const float* Decimator::row(std::uint16_t channel, std::uint32_t phase) const {
    return rows_.data() + (std::size_t{channel} * factor_ + phase) * row_capacity_;
}

template <std::size_t COUNT>
void Decimator::filter_lanes(std::size_t first, float* out) const {
    const std::uint32_t centre = delay_frames();
    for (std::uint16_t channel = 0; channel < channels_; ++channel) {
        Sums<COUNT> sums;
        sums.start(taps_[centre], row(channel, centre % factor_) + first + centre / factor_);
        for (const Branch& branch : branches_) {
            const float* forward = row(channel, branch.forward_phase) + first;
            const float* backward = row(channel, branch.backward_phase) + first + branch.backward_start;
            const float* taps = branch_taps_.data() + branch.first_tap;
            for (std::uint32_t i = 0; i < branch.tap_count; ++i) sums.add(taps[i], forward + i, backward - i);
        }
        float lanes[COUNT];
        sums.store(lanes);
        for (std::size_t lane = 0; lane < COUNT; ++lane) out[lane * channels_ + channel] = lanes[lane];
    }
}

std::size_t Decimator::push(std::span<const float> input, std::vector<float>& output) {
    if (factor_ == 1) {
        output.insert(output.end(), input.begin(), input.end());
        return input.size() / channels_;
    }
    std::size_t count = 0;
    for (std::size_t at = 0; at < input.size(); at += PIECE_FRAMES * channels_) {
        count += push_piece(input.subspan(at, std::min(input.size() - at, PIECE_FRAMES * channels_)), output);
    }
    return count;
}

std::size_t Decimator::push_piece(std::span<const float> input, std::vector<float>& output) {
    const std::size_t frames = input.size() / channels_;
    for (std::uint16_t channel = 0; channel < channels_; ++channel) {
        for (std::uint32_t p = 0; p < factor_; ++p) {
            float* target = rows_.data() + (std::size_t{channel} * factor_ + p) * row_capacity_;
            const std::size_t first = (p + factor_ - filled_ % factor_) % factor_;
            float* slot = target + (filled_ + first) / factor_;
            for (std::size_t f = first; f < frames; f += factor_) *slot++ = input[f * channels_ + channel];
        }
    }
    filled_ += frames;
    const auto outputs = static_cast<std::size_t>(outputs_after(filled_));
    if (outputs == 0) return 0;
    const std::size_t start = output.size();
    output.resize(start + outputs * channels_);
    float* out = output.data() + start;
    std::size_t k = 0;
    for (; k + LANES <= outputs; k += LANES) filter_lanes<LANES>(k, out + k * channels_);
    for (; k + 4 <= outputs; k += 4) filter_lanes<4>(k, out + k * channels_);
    for (; k < outputs; ++k) filter_lanes<1>(k, out + k * channels_);
    // The windows of the outputs made start no longer matter.
    const std::size_t kept = (filled_ + factor_ - 1) / factor_ - outputs;
    for (std::size_t r = 0; r < std::size_t{factor_} * channels_; ++r) {
        float* target = rows_.data() + r * row_capacity_;
        std::copy(target + outputs, target + outputs + kept, target);
    }
    filled_ -= outputs * factor_;
    return outputs;
}

std::size_t Decimator::push_zeros(std::uint64_t frames, std::vector<float>& output) {
    const std::size_t before = output.size();
    const std::uint64_t settling = push_zeros_until_settled(frames, output);
    const std::uint64_t outputs = skip_settled_zeros(frames - settling);
    output.resize(output.size() + static_cast<std::size_t>(outputs) * channels_, 0.0f);
    return (output.size() - before) / channels_;
}

std::uint64_t Decimator::push_zeros_until_settled(std::uint64_t frames, std::vector<float>& output) {
    // taps-1 frames of zeros through the filter leave a history of +0.0 whatever it held.
    if (factor_ == 1 || frames == 0 || history_is_positive_zero()) return 0;
    const std::uint64_t now = std::min<std::uint64_t>(frames, zeros_.size() / channels_);
    push(std::span(zeros_).first(static_cast<std::size_t>(now) * channels_), output);
    return now;
}

std::uint64_t Decimator::skip_settled_zeros(std::uint64_t frames) {
    if (factor_ == 1 || frames == 0) return frames;
    const std::uint64_t filled = filled_ + frames;
    const std::uint64_t outputs = outputs_after(filled);
    filled_ = static_cast<std::size_t>(filled - outputs * factor_);
    std::ranges::fill(rows_, 0.0f);
    return outputs;
}

bool Decimator::history_is_positive_zero() const {
    for (std::uint16_t channel = 0; channel < channels_; ++channel) {
        for (std::uint32_t p = 0; p < factor_ && p < filled_; ++p) {
            const float* values = row(channel, p);
            const std::size_t count = (filled_ - p + factor_ - 1) / factor_;
            if (!std::all_of(values, values + count, [](float value) { return std::bit_cast<std::uint32_t>(value) == 0; })) return false;
        }
    }
    return true;
}

// Outputs whose windows end within `filled` window offsets.
std::uint64_t Decimator::outputs_after(std::uint64_t filled) const {
    const std::size_t history = taps_.size() - 1;
    return filled > history ? (filled - history + factor_ - 1) / factor_ : 0;
}

}  // namespace brisvane
