#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brisvane {

// Drops trailing tab, line feed, vertical tab, form feed, carriage return and space.
std::u16string_view trim_trailing_white_space(std::u16string_view text);

// UTF-16 to UTF-8, each unpaired surrogate becoming U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);

// UTF-16 to UTF-8, or nothing when the text holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text);

}  // namespace brisvane
