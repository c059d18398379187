#include "error/hresult_code.hpp"

namespace brisvane {

std::string hex_form(std::int32_t code) {
    constexpr char DIGITS[] = "0123456789ABCDEF";
    const auto bits = static_cast<std::uint32_t>(code);
    std::string text = "0x00000000";
    for (int i = 0; i < 8; ++i) {
        text[static_cast<std::size_t>(9 - i)] = DIGITS[(bits >> (4 * i)) & 0xF];
    }
    return text;
}

SinkResult write_hresult_display(TextSink& sink, std::string_view message, std::int32_t code) {
    if (message.empty()) {
        return sink.write(hex_form(code));
    }
    if (auto written = sink.write(message); !written) return written;
    if (auto written = sink.write(" ("); !written) return written;
    if (auto written = sink.write(hex_form(code)); !written) return written;
    return sink.write(")");
}

}  // namespace brisvane
