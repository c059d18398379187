#pragma once

#include <string>

#include "error/chained_error.hpp"

namespace brisvane {

// A text sink that collects what is written to it.
class StringSink final : public TextSink {
public:
    SinkResult write(std::string_view text) override {
        text_ += text;
        return {};
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// The error's one-line display text.
inline std::string display_text(const ChainedError& error) {
    StringSink sink;
    (void)error.display(sink);
    return sink.text();
}

}  // namespace brisvane
