#pragma once

#include "error/chained_error.hpp"
#include "output/output_error.hpp"

namespace brisvane {

// An OutputError as a link of an error chain, with the display text its kind gives.
class OutputErrorText final : public ChainedError {
public:
    explicit OutputErrorText(OutputError error) : error_(error) {}

    const OutputError& error() const { return error_; }
    SinkResult display(TextSink& sink) const override;
    const ChainedError* source() const override { return nullptr; }

private:
    OutputError error_;
};

}  // namespace brisvane
