#include "watch/device_line.hpp"

#include "error/wide_text.hpp"

namespace brisvane {

namespace {

void append_escaped(std::string& line, std::u16string_view text) {
    for (const char c : utf16_to_utf8_lossy(text)) {
        switch (c) {
            case '\\': line += "\\\\"; break;
            case '\t': line += "\\t"; break;
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            default: line += c; break;
        }
    }
}

}  // namespace

std::string default_device_line(std::u16string_view id, std::u16string_view name) {
    std::string line = "default\t";
    append_escaped(line, id);
    line += '\t';
    append_escaped(line, name);
    line += '\n';
    return line;
}

}  // namespace brisvane
