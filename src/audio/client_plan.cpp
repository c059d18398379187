#include "audio/client_plan.hpp"

namespace brisvane {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

bool is_exclusive(const ClientMode& mode) {
    return std::holds_alternative<ExclusivePolled>(mode) || std::holds_alternative<ExclusiveEventDriven>(mode);
}

}  // namespace

std::expected<ClientPlan, ClientRefusal> plan_client(Direction client_direction, Direction requested,
                                                     const ClientMode& mode) {
    std::uint32_t flags = 0;
    if (client_direction == Direction::Capture) {
        if (requested == Direction::Render) {
            return std::unexpected(ClientRefusal::RenderToCaptureDevice);
        }
    } else {
        if (requested == Direction::Capture && is_exclusive(mode)) {
            return std::unexpected(ClientRefusal::LoopbackWithExclusiveMode);
        }
        if (requested == Direction::Capture) {
            flags = STREAMFLAGS_LOOPBACK;
        }
    }
    constexpr std::uint32_t CONVERSION = STREAMFLAGS_AUTOCONVERTPCM | STREAMFLAGS_SRC_DEFAULT_QUALITY;
    return std::visit(
        Overloaded{
            [&](const SharedPolled& m) {
                return ClientPlan{SHARE_MODE_SHARED, flags | (m.convert_format ? CONVERSION : 0), false, m.buffer_hns, 0};
            },
            [&](const ExclusivePolled& m) {
                return ClientPlan{SHARE_MODE_EXCLUSIVE, flags, false, m.buffer_hns, m.period_hns};
            },
            [&](const SharedEventDriven& m) {
                return ClientPlan{SHARE_MODE_SHARED,
                                  flags | (m.convert_format ? CONVERSION : 0) | STREAMFLAGS_EVENTCALLBACK, true,
                                  m.buffer_hns, 0};
            },
            [&](const ExclusiveEventDriven& m) {
                return ClientPlan{SHARE_MODE_EXCLUSIVE, flags | STREAMFLAGS_EVENTCALLBACK, true, m.period_hns,
                                  m.period_hns};
            },
        },
        mode);
}

}  // namespace brisvane
