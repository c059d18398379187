#pragma once

#include <cstddef>
#include <span>

namespace brisvane {

// Width of the UTF-8 sequence that the byte starts: 1 to 4, or 0 if it starts none.
std::size_t utf8_sequence_width(std::byte first);

// Length of the longest prefix of the bytes that is valid UTF-8.
std::size_t valid_utf8_prefix(std::span<const std::byte> bytes);

}  // namespace brisvane
