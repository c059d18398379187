#include "error/wide_text.hpp"

namespace brisvane {

namespace {

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Converts, calling on_unpaired for each unpaired surrogate; stops when it returns false.
template <typename OnUnpaired>
bool convert(std::u16string_view text, std::string& out, OnUnpaired on_unpaired) {
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            const char32_t high = unit - 0xD800u;
            const char32_t low = text[i + 1] - 0xDC00u;
            append_utf8(out, 0x10000 + ((high << 10) | low));
            ++i;
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            if (!on_unpaired(out)) return false;
        } else {
            append_utf8(out, unit);
        }
    }
    return true;
}

}  // namespace

std::u16string_view trim_trailing_white_space(std::u16string_view text) {
    while (!text.empty()) {
        const char16_t last = text.back();
        if (!((last >= 0x09 && last <= 0x0D) || last == 0x20)) break;
        text.remove_suffix(1);
    }
    return text;
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
    std::string out;
    convert(text, out, [](std::string& o) {
        append_utf8(o, REPLACEMENT_CHARACTER);
        return true;
    });
    return out;
}

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) {
    std::string out;
    if (!convert(text, out, [](std::string&) { return false; })) {
        return std::nullopt;
    }
    return out;
}

}  // namespace brisvane
