#include "audio/buffer_event.hpp"

namespace brisvane {

std::expected<void, AudioError> wait_buffer_event(const BufferEvent& event, std::uint32_t timeout_ms) {
    if (WaitForSingleObject(event.handle(), timeout_ms) == WAIT_OBJECT_0) {
        return {};
    }
    return std::unexpected(AudioError::event_timeout());
}

}  // namespace brisvane
