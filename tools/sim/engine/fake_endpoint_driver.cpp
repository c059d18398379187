#include "fake_endpoint_driver.hpp"

#include "fake_engine_state.hpp"

namespace brisvane::fakes {

void EndpointDriver::set_endpoints(std::vector<FakeEndpoint> devices, std::optional<std::wstring> default_id) {
    auto guard = engine_->state_->lock();
    engine_->state_->endpoints.devices = std::move(devices);
    engine_->state_->endpoints.default_id = std::move(default_id);
}

void EndpointDriver::change_default(std::optional<std::wstring> id) {
    {
        auto guard = engine_->state_->lock();
        engine_->state_->endpoints.default_id = id;
    }
    notify(eRender, eConsole, id);
    notify(eRender, eMultimedia, id);
}

void EndpointDriver::notify(EDataFlow flow, ERole role, const std::optional<std::wstring>& id) {
    tell_listeners([&](IMMNotificationClient* listener) {
        listener->OnDefaultDeviceChanged(flow, role, id ? id->c_str() : nullptr);
    });
}

void EndpointDriver::set_state(const std::wstring& id, DWORD state) {
    {
        auto guard = engine_->state_->lock();
        detail::EngineState& engine = *engine_->state_;
        if (FakeEndpoint* endpoint = engine.endpoints.find(id)) endpoint->state = state;
        if (state != DEVICE_STATE_ACTIVE) {
            for (const auto& stream : engine.streams) {
                const StreamView& v = stream->view;
                if (!stream->claimed || v.closed || v.failed || v.target.endpoint_id != id) continue;
                stream->fail_from_here(AUDCLNT_E_DEVICE_INVALIDATED);
                stream->signal();
            }
        }
    }
    tell_listeners([&](IMMNotificationClient* listener) { listener->OnDeviceStateChanged(id.c_str(), state); });
}

std::size_t EndpointDriver::listener_count() const {
    auto guard = engine_->state_->lock();
    return engine_->state_->endpoints.listeners.size();
}

void EndpointDriver::tell_listeners(const std::function<void(IMMNotificationClient*)>& tell) {
    std::vector<IMMNotificationClient*> listeners;
    {
        auto guard = engine_->state_->lock();
        listeners = engine_->state_->endpoints.listeners;
    }
    // Outside the engine's lock, as the system's notification thread holds none of ours.
    for (IMMNotificationClient* listener : listeners) tell(listener);
}

}  // namespace brisvane::fakes
