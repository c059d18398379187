#include "fake_endpoint_driver.hpp"

#include "fake_engine_state.hpp"

namespace brisvane::fakes {

void EndpointDriver::set_endpoints(std::vector<FakeEndpoint> devices, std::optional<std::wstring> default_id) {
    auto guard = engine_->state_->lock();
    engine_->state_->endpoints.devices = std::move(devices);
    engine_->state_->endpoints.default_id = std::move(default_id);
}

std::size_t EndpointDriver::change_default(std::optional<std::wstring> id) {
    {
        auto guard = engine_->state_->lock();
        engine_->state_->endpoints.default_id = id;
    }
    notify(eRender, eConsole, id);
    return notify(eRender, eMultimedia, id);
}

std::size_t EndpointDriver::notify(EDataFlow flow, ERole role, const std::optional<std::wstring>& id) {
    std::vector<IMMNotificationClient*> listeners;
    {
        auto guard = engine_->state_->lock();
        listeners = engine_->state_->endpoints.listeners;
    }
    // Outside the engine's lock, as the system's notification thread holds none of ours.
    for (IMMNotificationClient* listener : listeners) {
        listener->OnDefaultDeviceChanged(flow, role, id ? id->c_str() : nullptr);
    }
    return listeners.size();
}

}  // namespace brisvane::fakes
