#include "error/exit_report.hpp"

#include <span>

#include "error/report_text.hpp"
#include "output/standard_streams.hpp"

namespace brisvane {

namespace {

// Each piece of the report goes to standard error in its own raw write-all.
class StderrSink final : public TextSink {
public:
    SinkResult write(std::string_view text) override {
        if (!lock_.write_all(std::as_bytes(std::span(text.data(), text.size())))) {
            return std::unexpected(SinkFailed{});
        }
        return {};
    }

private:
    StderrLock lock_;
};

}  // namespace

int report_outcome(std::expected<void, AppError> outcome) {
    if (outcome) {
        return 0;
    }
    {
        StderrSink sink;
        (void)write_exit_report(outcome.error().layer(), sink);
    }
    return 1;
}

}  // namespace brisvane
