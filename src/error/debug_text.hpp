#pragma once

#include <string>
#include <string_view>

namespace brisvane {

// The text in double quotes with \" \\ \t \r \n \0 escaped and other control
// characters written as \u{...} in lower-case hexadecimal.
std::string quoted_debug_text(std::string_view text);

}  // namespace brisvane
