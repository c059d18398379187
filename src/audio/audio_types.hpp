#pragma once

#include <cstdint>
#include <variant>

namespace brisvane {

// Data-flow direction; the value is passed to the platform unchanged as an EDataFlow.
enum class Direction : std::int32_t { Render = 0, Capture = 1 };

// Engine periods in 100-ns units.
struct DevicePeriod {
    std::int64_t default_hns = 0;
    std::int64_t minimum_hns = 0;
};

struct SharedPolled {
    bool convert_format = false;
    std::int64_t buffer_hns = 0;
};
struct ExclusivePolled {
    std::int64_t buffer_hns = 0;
    std::int64_t period_hns = 0;
};
struct SharedEventDriven {
    bool convert_format = false;
    std::int64_t buffer_hns = 0;
};
struct ExclusiveEventDriven {
    std::int64_t period_hns = 0;
};

// How a client is initialised; only the shared variants can convert the format.
using ClientMode = std::variant<SharedPolled, ExclusivePolled, SharedEventDriven, ExclusiveEventDriven>;

// What one read reports of a packet.
struct PacketInfo {
    std::uint32_t frames = 0;
    std::uint64_t device_position = 0;
    std::uint64_t qpc_position = 0;
    bool data_discontinuity = false;
    bool silent = false;
    bool timestamp_error = false;
};

}  // namespace brisvane
