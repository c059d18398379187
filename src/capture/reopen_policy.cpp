#include "capture/reopen_policy.hpp"

#include <algorithm>

namespace brisvane {

std::optional<ReopenAttempt> ReopenPolicy::next() {
    if (made_ >= settings_.attempts) return std::nullopt;
    ++made_;
    // No wait before the first attempt; then the delay, doubled for each attempt after it.
    std::uint64_t delay = 0;
    if (made_ >= 2) {
        delay = settings_.delay_ms;
        for (std::uint32_t i = 2; i < made_ && delay < settings_.max_delay_ms; ++i) delay *= 2;
    }
    return ReopenAttempt{made_, static_cast<std::uint32_t>(std::min<std::uint64_t>(delay, settings_.max_delay_ms))};
}

std::optional<ReopenAttempt> ReopenPolicy::after_loss(std::uint64_t ran_ms) {
    if (ran_ms >= STABLE_STREAM_MS) made_ = 0;
    return next();
}

std::optional<ReopenAttempt> ReopenPolicy::after_failure() { return next(); }

ReopenAttempt ReopenPolicy::after_change() {
    made_ = 1;
    return ReopenAttempt{1, 0};
}

}  // namespace brisvane
