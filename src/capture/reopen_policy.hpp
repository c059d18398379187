// When to open a lost source again: attempts in a row, the wait before each, and the limit.
// Platform-free.
#pragma once

#include <cstdint>
#include <optional>

namespace brisvane {

struct ReopenSettings {
    std::uint32_t attempts = 5;        // in a row after a loss or a failed attempt; 0: a loss ends the capture
    std::uint32_t delay_ms = 250;      // before the second attempt of a series; doubles after it
    std::uint32_t max_delay_ms = 4000;
};

// A stream that ran this long before it was lost ends its series: the next loss starts anew.
inline constexpr std::uint64_t STABLE_STREAM_MS = 30000;

struct ReopenAttempt {
    std::uint32_t number = 1;  // 1-based, within the series
    std::uint32_t delay_ms = 0;
};

class ReopenPolicy {
public:
    explicit ReopenPolicy(ReopenSettings settings) : settings_(settings) {}

    // The source was lost after its stream ran `ran_ms`: the attempt to make, or none when the
    // series has reached the limit.
    std::optional<ReopenAttempt> after_loss(std::uint64_t ran_ms);
    // An attempt failed: the next one, or none.
    std::optional<ReopenAttempt> after_failure();
    // A change that asks for a new stream without a failure (the default device changed, the
    // device came back): always tried at once; it starts a series.
    ReopenAttempt after_change();

private:
    std::optional<ReopenAttempt> next();

    ReopenSettings settings_;
    std::uint32_t made_ = 0;  // attempts in the current series
};

}  // namespace brisvane
