#include "capture/decimator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace brisvane {
namespace {

constexpr double PI = std::numbers::pi;

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
    std::vector<std::uint32_t> out(values.size());
    std::ranges::transform(values, out.begin(), [](float v) { return std::bit_cast<std::uint32_t>(v); });
    return out;
}

// |H| of the taps at `hz`, the input rate being 48 kHz.
double gain_db(const std::vector<float>& taps, double hz) {
    std::complex<double> sum;
    for (std::size_t n = 0; n < taps.size(); ++n) sum += double{taps[n]} * std::polar(1.0, -2 * PI * hz / 48000 * double(n));
    return 20 * std::log10(std::abs(sum));
}

// On a grid of 16 points per 48000/taps Hz, about a sidelobe's width.
TEST(Decimator, DesignedResponseIsFlatInThePassbandAndDeepInTheStopband) {
    for (const std::uint32_t factor : {2u, 3u, 4u, 5u, 6u, 8u, 10u, 12u}) {
        const auto taps = decimation_taps(factor);
        const double output_rate = 48000.0 / factor;
        const double step = 48000.0 / (16.0 * double(taps.size()));
        double low = 0, high = 0, stop = -1000;
        for (double hz = 0; hz <= 0.45 * output_rate; hz += step) {
            low = std::min(low, gain_db(taps, hz));
            high = std::max(high, gain_db(taps, hz));
        }
        for (double hz = 0.55 * output_rate; hz <= 24000; hz += step) stop = std::max(stop, gain_db(taps, hz));
        EXPECT_LE(high - low, 0.1) << "factor " << factor;
        EXPECT_LE(std::max(-low, high), 0.1) << "factor " << factor;
        EXPECT_LE(stop, -80) << "factor " << factor;
    }
}

// Left: a tone at 0.4 of the output rate; right: one at 0.55 of it, where the stopband begins.
// Two seconds in records of 20 ms, measured over the last second (whole cycles of both).
TEST(Decimator, PassbandToneKeepsItsAmplitudeAndStopbandToneIsGone) {
    for (const std::uint32_t factor : {2u, 3u, 4u, 5u, 6u, 8u, 10u, 12u}) {
        const double output_rate = 48000.0 / factor;
        std::vector<float> input;
        for (int n = 0; n < 96000; ++n) {
            input.push_back(float(0.5 * std::sin(2 * PI * 0.4 * output_rate * n / 48000)));
            input.push_back(float(0.5 * std::sin(2 * PI * 0.55 * output_rate * n / 48000)));
        }
        Decimator decimator(factor, 2);
        std::vector<float> output;
        for (std::size_t at = 0; at < input.size(); at += 1920) decimator.push(std::span(input).subspan(at, 1920), output);
        const auto count = static_cast<std::size_t>(output_rate);
        ASSERT_EQ(output.size(), 4 * count);
        std::complex<double> left;
        double right = 0;
        for (std::size_t k = 0; k < count; ++k) {
            left += double{output[2 * (count + k)]} * std::polar(1.0, -2 * PI * 0.4 * double(k));
            right = std::max(right, double{std::abs(output[2 * (count + k) + 1])});
        }
        EXPECT_NEAR(20 * std::log10(std::abs(left) * 2 / double(count) / 0.5), 0, 0.1) << "factor " << factor;
        EXPECT_LE(20 * std::log10(right / 0.5), -80) << "factor " << factor;
    }
}

// An impulse at frame `at` (1 on the left, -0.5 on the right) gives output k = h[k*D - at]
// exactly: the taps, the phase of every output and the channel order.
TEST(Decimator, ImpulseGivesTheTapsAtEveryPhase) {
    for (const std::uint32_t factor : {1u, 2u, 3u, 4u, 5u, 6u, 8u, 10u, 12u}) {
        const auto taps = decimation_taps(factor);
        for (std::size_t at = 0; at <= factor; ++at) {
            const std::size_t frames = at + taps.size() + factor;
            std::vector<float> input(2 * frames, 0.0f);
            input[2 * at] = 1.0f;
            input[2 * at + 1] = -0.5f;
            Decimator decimator(factor, 2);
            std::vector<float> output;
            ASSERT_EQ(decimator.push(input, output), (frames + factor - 1) / factor);
            for (std::size_t k = 0; 2 * k < output.size(); ++k) {
                const std::ptrdiff_t j = std::ptrdiff_t(k * factor) - std::ptrdiff_t(at);
                const float tap = j >= 0 && j < std::ptrdiff_t(taps.size()) ? taps[std::size_t(j)] : 0.0f;
                ASSERT_EQ(output[2 * k], tap) << "factor " << factor << " at " << at << " k " << k;
                ASSERT_EQ(output[2 * k + 1], -0.5f * tap) << "factor " << factor << " at " << at << " k " << k;
            }
            EXPECT_EQ(decimator.delay_frames(), std::ranges::max_element(taps) - taps.begin());
        }
    }
}

// Noise and runs of zeros (one after a tail of -0.0 and +0.0), pushed in one call as real
// zeros, and in pieces of 0, 1 and up to 700 frames with the zeros through push_zeros: the same
// bits, and ceil(n / D) frames after every call.
TEST(Decimator, OutputDependsOnlyOnTheInputNotOnHowItComes) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    const std::vector<std::int64_t> runs = {3000, -1, -2, -400, -5000, 500, -3, 50, -7000, 100};  // < 0: zeros
    for (const std::uint32_t factor : {1u, 2u, 3u, 4u, 5u, 6u, 8u, 10u, 12u}) {
        for (std::uint16_t channels = 1; channels <= 2; ++channels) {
            std::vector<float> input;
            for (std::int64_t run : runs) {
                for (std::int64_t i = 0; i < std::abs(run) * channels; ++i) input.push_back(run < 0 ? 0.0f : noise(random));
            }
            std::fill(input.begin() + 2000 * channels, input.begin() + 3000 * channels, -0.0f);
            std::fill(input.begin() + 2100 * channels, input.begin() + 2110 * channels, 0.0f);
            Decimator whole(factor, channels), pieces(factor, channels);
            std::vector<float> expected, output;
            whole.push(input, expected);
            std::size_t frames = 0;
            for (std::int64_t run : runs) {
                for (const std::size_t end = frames + std::size_t(std::abs(run)); frames < end;) {
                    const std::size_t kind = random() % 3;
                    const std::size_t size = std::min<std::size_t>(end - frames, kind == 0 ? 0 : kind == 1 ? 1 : random() % 700);
                    if (run < 0) pieces.push_zeros(size, output);
                    else pieces.push(std::span(input).subspan(frames * channels, size * channels), output);
                    frames += size;
                    ASSERT_EQ(output.size(), (frames + factor - 1) / factor * channels);
                }
            }
            EXPECT_EQ(bits(output), bits(expected)) << "factor " << factor << ", " << channels << " channels";
        }
    }
}

}  // namespace
}  // namespace brisvane
