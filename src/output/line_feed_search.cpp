#include "output/line_feed_search.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BRISVANE_HAVE_SSE2 1
#endif

namespace brisvane {

namespace {

// Whether any of the 128 bytes at `block` is a line feed.
bool block_has_line_feed(const std::byte* block) {
#if defined(BRISVANE_HAVE_SSE2)
    const __m128i line_feeds = _mm_set1_epi8(std::to_integer<char>(LINE_FEED));
    const auto* p = reinterpret_cast<const __m128i*>(block);
    __m128i any = _mm_setzero_si128();
    for (int i = 0; i < 8; ++i) {
        any = _mm_or_si128(any, _mm_cmpeq_epi8(_mm_loadu_si128(p + i), line_feeds));
    }
    return _mm_movemask_epi8(any) != 0;
#else
    constexpr std::uint64_t ONES = 0x0101010101010101ull;
    constexpr std::uint64_t HIGHS = 0x8080808080808080ull;
    std::uint64_t any = 0;
    for (int i = 0; i < 16; ++i) {
        std::uint64_t word;
        std::memcpy(&word, block + 8 * i, sizeof word);
        const std::uint64_t x = word ^ (ONES * std::to_integer<std::uint64_t>(LINE_FEED));
        any |= (x - ONES) & ~x & HIGHS;
    }
    return any != 0;
#endif
}

}  // namespace

std::size_t find_last_line_feed(std::span<const std::byte> bytes) {
    constexpr std::size_t BLOCK = 128;
    std::size_t end = bytes.size();
    // The unaligned tail first, byte by byte, so that the rest is whole blocks.
    while (end % BLOCK != 0) {
        --end;
        if (bytes[end] == LINE_FEED) return end;
    }
    while (end > 0) {
        end -= BLOCK;
        if (block_has_line_feed(bytes.data() + end)) {
            for (std::size_t i = end + BLOCK; i > end; --i) {
                if (bytes[i - 1] == LINE_FEED) return i - 1;
            }
        }
    }
    return bytes.size();
}

}  // namespace brisvane
