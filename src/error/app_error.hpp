#pragma once

#include <expected>
#include <memory>
#include <string_view>
#include <type_traits>
#include <variant>

#include "error/audio_error.hpp"
#include "error/chained_error.hpp"
#include "error/hresult_error.hpp"
#include "error/message_error.hpp"
#include "error/output_error_text.hpp"

namespace brisvane {

// One fixed context message over the error it wraps.
class ContextLayer final : public ChainedError {
public:
    using Cause = std::variant<AudioError, OutputErrorText, HresultError, MessageError>;

    ContextLayer(std::string_view message, Cause cause) : message_(message), cause_(std::move(cause)) {}

    std::string_view message() const { return message_; }
    const Cause& cause() const { return cause_; }

    SinkResult display(TextSink& sink) const override { return sink.write(message_); }
    const ChainedError* source() const override;

private:
    std::string_view message_;
    Cause cause_;
};

// The error that ends a run: an owning handle to its context layer, never null.
class AppError {
public:
    AppError(std::string_view message, ContextLayer::Cause cause)
        : layer_(std::make_unique<ContextLayer>(message, std::move(cause))) {}

    const ContextLayer& layer() const { return *layer_; }
    std::string_view message() const { return layer_->message(); }

private:
    std::unique_ptr<ContextLayer> layer_;
};

namespace detail {
inline ContextLayer::Cause as_cause(AudioError&& error) { return std::move(error); }
inline ContextLayer::Cause as_cause(HresultError&& error) { return std::move(error); }
inline ContextLayer::Cause as_cause(OutputError&& error) { return OutputErrorText(error); }
inline ContextLayer::Cause as_cause(MessageError&& error) { return std::move(error); }
}  // namespace detail

// The value of `result`, or its error wrapped under the static `message`.
template <class T, class E>
std::expected<T, AppError> attach_context(std::expected<T, E>&& result, std::string_view message) {
    if (result) {
        if constexpr (std::is_void_v<T>) {
            return {};
        } else {
            return std::move(*result);
        }
    }
    return std::unexpected(AppError(message, detail::as_cause(std::move(result.error()))));
}

}  // namespace brisvane
