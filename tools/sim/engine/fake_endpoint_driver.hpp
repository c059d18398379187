// Changes a FakeEngine's render endpoints as the system does while a program runs: which
// endpoints exist, their states, which is the default, and the notifications its listeners get.
#pragma once

#include "fake_endpoints.hpp"
#include "fake_engine.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brisvane::fakes {

class EndpointDriver {
public:
    explicit EndpointDriver(FakeEngine& engine) : engine_(&engine) {}

    // Replaces the endpoints and the default (none: there is no default endpoint).
    void set_endpoints(std::vector<FakeEndpoint> devices, std::optional<std::wstring> default_id);
    // Makes `id` the default render endpoint of every role and notifies the listeners, as the
    // system does, for the console role and then the multimedia role.
    void change_default(std::optional<std::wstring> id);
    // One OnDefaultDeviceChanged to every listener, the default left as it is.
    void notify(EDataFlow flow, ERole role, const std::optional<std::wstring>& id);
    // Puts the endpoint in `state` (DEVICE_STATE_*) and tells the listeners with
    // OnDeviceStateChanged. An endpoint that leaves the active state loses its streams: each
    // fails with AUDCLNT_E_DEVICE_INVALIDATED behind its ready packets.
    void set_state(const std::wstring& id, DWORD state);
    std::size_t listener_count() const;

private:
    void tell_listeners(const std::function<void(IMMNotificationClient*)>& tell);

    FakeEngine* engine_;
};

}  // namespace brisvane::fakes
