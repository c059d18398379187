#pragma once

#include <expected>
#include <string_view>

namespace brisvane {

struct SinkFailed {};
using SinkResult = std::expected<void, SinkFailed>;

// Accepts pieces of UTF-8 text; a failed write stops whatever is writing.
class TextSink {
public:
    virtual SinkResult write(std::string_view text) = 0;

protected:
    TextSink() = default;
    TextSink(const TextSink&) = default;
    TextSink& operator=(const TextSink&) = default;
    ~TextSink() = default;
};

// An error that can stand in a chain: a one-line display text and the error below it.
class ChainedError {
public:
    virtual SinkResult display(TextSink& sink) const = 0;
    virtual const ChainedError* source() const = 0;

protected:
    ChainedError() = default;
    ChainedError(const ChainedError&) = default;
    ChainedError(ChainedError&&) = default;
    ChainedError& operator=(const ChainedError&) = default;
    ChainedError& operator=(ChainedError&&) = default;
    ~ChainedError() = default;
};

}  // namespace brisvane
