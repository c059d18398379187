#pragma once

#include <optional>
#include <string_view>

#include "error/chained_error.hpp"

namespace brisvane {

// Writes one cause of the exit report: a header, then the text with every line after
// the first indented to stand under it.
class IndentedWriter final : public TextSink {
public:
    IndentedWriter(TextSink& inner, std::optional<unsigned> number) : inner_(&inner), number_(number) {}

    SinkResult write(std::string_view text) override;

private:
    TextSink* inner_;
    std::optional<unsigned> number_;
    bool started_ = false;
};

}  // namespace brisvane
