#pragma once

#include <string>
#include <utility>

#include "error/chained_error.hpp"

namespace brisvane {

// A cause that the program states in words of its own: a refused command line, a system too old.
class MessageError final : public ChainedError {
public:
    explicit MessageError(std::string text) : text_(std::move(text)) {}

    SinkResult display(TextSink& sink) const override { return sink.write(text_); }
    const ChainedError* source() const override { return nullptr; }

private:
    std::string text_;
};

}  // namespace brisvane
