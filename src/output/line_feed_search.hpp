#pragma once

#include <cstddef>
#include <span>

namespace brisvane {

// The byte that ends a line: standard output is written through up to its last one.
inline constexpr std::byte LINE_FEED{0x0A};

// Index of the last 0x0A byte, or bytes.size() when there is none. Looks at 128 bytes per
// step, since every frame written is searched whole.
std::size_t find_last_line_feed(std::span<const std::byte> bytes);

}  // namespace brisvane
