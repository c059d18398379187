#include "error/indented_writer.hpp"

#include <string>

namespace brisvane {

namespace {

// The number right-aligned in five columns, then ": ".
std::string numbered_header(unsigned number) {
    std::string digits = std::to_string(number);
    std::string header(digits.size() < 5 ? 5 - digits.size() : 0, ' ');
    header += digits;
    header += ": ";
    return header;
}

}  // namespace

SinkResult IndentedWriter::write(std::string_view text) {
    std::size_t line_start = 0;
    for (std::size_t i = 0;; ++i) {
        const std::size_t line_end = text.find('\n', line_start);
        const std::string_view line =
            text.substr(line_start, line_end == std::string_view::npos ? std::string_view::npos : line_end - line_start);
        if (!started_) {
            started_ = true;
            const SinkResult header = number_ ? inner_->write(numbered_header(*number_)) : inner_->write("    ");
            if (!header) return header;
        } else if (i > 0) {
            if (auto written = inner_->write(number_ ? "\n       " : "\n    "); !written) return written;
        }
        if (auto written = inner_->write(line); !written) return written;
        if (line_end == std::string_view::npos) {
            return {};
        }
        line_start = line_end + 1;
    }
}

}  // namespace brisvane
