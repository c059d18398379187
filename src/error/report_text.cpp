#include "error/report_text.hpp"

#include <optional>

#include "error/indented_writer.hpp"

namespace brisvane {

SinkResult write_report_body(const ChainedError& top, TextSink& sink) {
    if (auto written = top.display(sink); !written) return written;
    const ChainedError* cause = top.source();
    if (cause == nullptr) {
        return {};
    }
    if (auto written = sink.write("\n\nCaused by:"); !written) return written;
    const bool numbered = cause->source() != nullptr;
    for (unsigned n = 0; cause != nullptr; ++n) {
        const ChainedError* next = cause->source();
        if (auto written = sink.write("\n"); !written) return written;
        IndentedWriter indented(sink, numbered ? std::optional<unsigned>(n) : std::nullopt);
        if (auto written = cause->display(indented); !written) return written;
        cause = next;
    }
    return {};
}

SinkResult write_exit_report(const ChainedError& top, TextSink& sink) {
    if (auto written = sink.write("Error: "); !written) return written;
    if (auto written = write_report_body(top, sink); !written) return written;
    return sink.write("\n");
}

}  // namespace brisvane
