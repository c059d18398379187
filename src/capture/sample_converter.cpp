#include "capture/sample_converter.hpp"

#include <bit>
#include <cassert>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BRISVANE_HAVE_SSE2 1
#endif

namespace brisvane {

SampleConverter::SampleConverter(OutputFormat format)
    : format_(format), decimator_(decimation_factor(format.rate), format.channels) {
    assert(is_supported_rate(format.rate) && (format.channels == 1 || format.channels == 2));
}

std::size_t SampleConverter::push(std::span<const float> stereo, std::vector<float>& output) {
    if (format_.channels == ENGINE_CHANNELS) return decimator_.push(stereo, output);
    mono_.resize(stereo.size() / ENGINE_CHANNELS);
    for (std::size_t i = 0; i < mono_.size(); ++i) mono_[i] = (stereo[2 * i] + stereo[2 * i + 1]) * 0.5f;
    return decimator_.push(mono_, output);
}

std::size_t SampleConverter::push_zeros(std::uint64_t frames, std::vector<float>& output) {
    return decimator_.push_zeros(frames, output);
}

namespace {

// s16: x * 32768 rounded to the nearest integer, ties to even, clipped to -32768..32767, NaN to 0.
// The rounding is done here and does not depend on the floating-point rounding mode: x * 32768
// and its distance from its integer part are exact, and conversion to an integer truncates.
std::int16_t to_s16(float x) {
    const float scaled = x * 32768.0f;
    if (scaled != scaled) return 0;
    if (scaled <= -32768.0f) return -32768;
    if (scaled >= 32767.0f) return 32767;
    const auto whole = static_cast<std::int32_t>(scaled);
    const float rest = scaled - static_cast<float>(whole);
    const std::int32_t odd = whole & 1;
    return static_cast<std::int16_t>(whole + (rest > 0.5f) - (rest < -0.5f) + (rest == 0.5f ? odd : 0) - (rest == -0.5f ? odd : 0));
}

#if defined(BRISVANE_HAVE_SSE2)
// to_s16 on four samples at once (the compiler does not vectorise it).
__m128i to_s16_lanes(__m128 x) {
    __m128 scaled = _mm_mul_ps(x, _mm_set1_ps(32768.0f));
    scaled = _mm_and_ps(scaled, _mm_cmpord_ps(scaled, scaled));
    scaled = _mm_min_ps(_mm_max_ps(scaled, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    const __m128i whole = _mm_cvttps_epi32(scaled);
    const __m128 rest = _mm_sub_ps(scaled, _mm_cvtepi32_ps(whole));
    const __m128i odd = _mm_and_si128(whole, _mm_set1_epi32(1));
    // Comparisons give -1 where true.
    const __m128i up = _mm_castps_si128(_mm_cmpgt_ps(rest, _mm_set1_ps(0.5f)));
    const __m128i down = _mm_castps_si128(_mm_cmplt_ps(rest, _mm_set1_ps(-0.5f)));
    const __m128i tie_up = _mm_and_si128(_mm_castps_si128(_mm_cmpeq_ps(rest, _mm_set1_ps(0.5f))), odd);
    const __m128i tie_down = _mm_and_si128(_mm_castps_si128(_mm_cmpeq_ps(rest, _mm_set1_ps(-0.5f))), odd);
    return _mm_sub_epi32(_mm_add_epi32(_mm_add_epi32(_mm_sub_epi32(whole, up), down), tie_up), tie_down);
}
#endif

}  // namespace

void encode_samples(std::span<const float> samples, SampleType type, std::byte* out) {
    if (type == SampleType::S16) {
        std::size_t i = 0;
#if defined(BRISVANE_HAVE_SSE2)
        for (; i + 8 <= samples.size(); i += 8) {
            const __m128i low = to_s16_lanes(_mm_loadu_ps(samples.data() + i));
            const __m128i high = to_s16_lanes(_mm_loadu_ps(samples.data() + i + 4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(low, high));  // x86 is little-endian
        }
#endif
        for (; i < samples.size(); ++i) {
            const auto bits = static_cast<std::uint16_t>(to_s16(samples[i]));
            out[2 * i] = static_cast<std::byte>(bits & 0xFF);
            out[2 * i + 1] = static_cast<std::byte>(bits >> 8);
        }
    } else if constexpr (std::endian::native == std::endian::little) {
        if (!samples.empty()) std::memcpy(out, samples.data(), samples.size_bytes());
    } else {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto bits = std::bit_cast<std::uint32_t>(samples[i]);
            for (std::size_t b = 0; b < 4; ++b) out[4 * i + b] = static_cast<std::byte>((bits >> (8 * b)) & 0xFF);
        }
    }
}

}  // namespace brisvane
