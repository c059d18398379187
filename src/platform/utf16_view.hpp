#pragma once

#include <cstddef>
#include <string_view>

namespace brisvane {

// Windows' wide text as the UTF-16 code units the platform-free text functions take.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::u16string_view as_utf16(const wchar_t* text, std::size_t length) {
    return {reinterpret_cast<const char16_t*>(text), length};
}

inline std::u16string_view as_utf16(std::wstring_view text) { return as_utf16(text.data(), text.size()); }

}  // namespace brisvane
