#pragma once

#include <string>
#include <string_view>

namespace brisvane {

// The watcher's line for a default render endpoint: "default", its id and its friendly name,
// separated by tabs, with backslash, tab, line feed and carriage return inside the id and the
// name written as \\ \t \n \r, so that a line always splits into exactly its three fields.
// UTF-8; an unpaired surrogate becomes U+FFFD.
std::string default_device_line(std::u16string_view id, std::u16string_view name);

// The watcher's line when there is no default render endpoint.
inline constexpr std::string_view NO_DEFAULT_DEVICE_LINE = "none\n";

}  // namespace brisvane
