#include "output/utf8_prefix.hpp"

#include <cstdint>

namespace brisvane {

std::size_t utf8_sequence_width(std::byte first) {
    const auto b = std::to_integer<std::uint8_t>(first);
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

namespace {

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Bounds of the second byte, which exclude overlong forms, surrogates and values above U+10FFFF.
bool second_byte_allowed(std::uint8_t first, std::uint8_t second) {
    switch (first) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

}  // namespace

std::size_t valid_utf8_prefix(std::span<const std::byte> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t width = utf8_sequence_width(bytes[i]);
        if (width == 0 || i + width > bytes.size()) {
            return i;
        }
        const auto first = std::to_integer<std::uint8_t>(bytes[i]);
        if (width > 1 && !second_byte_allowed(first, std::to_integer<std::uint8_t>(bytes[i + 1]))) {
            return i;
        }
        for (std::size_t k = 2; k < width; ++k) {
            if (!is_continuation(std::to_integer<std::uint8_t>(bytes[i + k]))) {
                return i;
            }
        }
        i += width;
    }
    return i;
}

}  // namespace brisvane
