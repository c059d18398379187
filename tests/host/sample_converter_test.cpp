#include "capture/sample_converter.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace brisvane {
namespace {

TEST(OutputFormat, SupportedRatesAreTheDivisorsOf48000DownTo4000) {
    for (std::uint32_t rate : {48000u, 24000u, 16000u, 12000u, 9600u, 8000u, 6000u, 4800u, 4000u}) EXPECT_TRUE(is_supported_rate(rate)) << rate;
    for (std::uint32_t rate : {0u, 7u, 3000u, 3200u, 11025u, 32000u, 44100u, 96000u}) EXPECT_FALSE(is_supported_rate(rate)) << rate;
}

// L = R gives the stereo result's left channel, bit for bit; L = -R gives silence.
TEST(SampleConverter, MonoIsTheMeanOfTheChannelsBeforeTheFilter) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> same(2 * 3000), opposite(2 * 3000);
    for (std::size_t i = 0; i < same.size(); i += 2) {
        same[i] = same[i + 1] = opposite[i] = value(random);
        opposite[i + 1] = -opposite[i];
    }
    for (std::uint32_t rate : {48000u, 24000u, 16000u, 12000u, 9600u, 8000u, 6000u, 4800u, 4000u}) {
        SampleConverter stereo({rate, 2, SampleType::F32});
        SampleConverter mono({rate, 1, SampleType::F32});
        SampleConverter silent({rate, 1, SampleType::F32});
        std::vector<float> both, one, none;
        stereo.push(same, both);
        ASSERT_EQ(mono.push(same, one), both.size() / 2);
        silent.push(opposite, none);
        for (std::size_t k = 0; k < one.size(); ++k) ASSERT_EQ(one[k], both[2 * k]) << rate << " Hz, frame " << k;
        for (std::size_t k = 0; k < none.size(); ++k) ASSERT_EQ(none[k], 0.0f) << rate << " Hz, frame " << k;
    }
}

// Each value alone and all of them in one run (four and eight at a time where the machine
// can), in every rounding mode the floating-point environment may have been left in.
TEST(EncodeSamples, S16IsScaledRoundedToEvenClippedAndLittleEndian) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<float, std::int16_t>> cases = {
        {0.5f / 32768, 0}, {-0.5f / 32768, 0}, {1.5f / 32768, 2}, {-1.5f / 32768, -2}, {2.5f / 32768, 2},
        {-2.5f / 32768, -2}, {0.75f / 32768, 1}, {-1.25f / 32768, -1}, {0.25f, 8192}, {32766.5f / 32768, 32766},
        {1.0f, 32767}, {-1.0f, -32768}, {-32767.5f / 32768, -32768}, {1.5f, 32767}, {-3.0f, -32768},
        {inf, 32767}, {-inf, -32768}, {std::numeric_limits<float>::quiet_NaN(), 0}, {-0.0f, 0}};
    std::vector<float> run;
    for (int copy = 0; copy < 3; ++copy) for (const auto& [x, _] : cases) run.push_back(x);
    for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        std::vector<std::byte> one(2), all(2 * run.size());
        encode_samples(run, SampleType::S16, all.data());
        for (std::size_t i = 0; i < run.size(); ++i) {
            const auto [x, expected] = cases[i % cases.size()];
            encode_samples(std::span(&x, 1), SampleType::S16, one.data());
            const auto value = static_cast<std::uint16_t>(expected);
            const std::vector<std::byte> bytes = {std::byte(value & 0xFF), std::byte(value >> 8)};
            EXPECT_EQ(one, bytes) << x << " in mode " << mode;
            EXPECT_EQ(std::vector(all.data() + 2 * i, all.data() + 2 * i + 2), bytes) << x << " at " << i << " in mode " << mode;
        }
    }
    std::fesetround(FE_TONEAREST);
}

TEST(EncodeSamples, F32IsTheFloatsLittleEndianBytes) {
    const std::vector<float> samples = {1.0f, -2.5f, -0.0f, std::numeric_limits<float>::quiet_NaN()};
    std::vector<std::byte> out(16);
    encode_samples(samples, SampleType::F32, out.data());
    const std::vector<int> expected = {0, 0, 0x80, 0x3F, 0, 0, 0x20, 0xC0, 0, 0, 0, 0x80, 0, 0, 0xC0, 0x7F};
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(std::to_integer<int>(out[i]), expected[i]) << i;
}

}  // namespace
}  // namespace brisvane
