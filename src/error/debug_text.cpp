#include "error/debug_text.hpp"

namespace brisvane {

std::string quoted_debug_text(std::string_view text) {
    constexpr char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default: {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\u{";
                    if (byte >= 0x10) out += HEX[byte >> 4];
                    out += HEX[byte & 0xF];
                    out += '}';
                } else {
                    out += c;
                }
            }
        }
    }
    out += '"';
    return out;
}

}  // namespace brisvane
