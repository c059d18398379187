// The enumerator's and the device's endpoint methods, and the property store that holds a
// device's friendly name.
#include "fake_endpoints.hpp"

#include "fake_engine_state.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace brisvane::fakes::detail {
namespace {

using State = std::shared_ptr<EngineState>;

// PKEY_Device_FriendlyName: {A45C254E-DF1C-4EFD-8020-67D146A850E0}, 14.
constexpr PROPERTYKEY kFriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);

// A string the caller frees with CoTaskMemFree.
wchar_t* co_task_copy(const std::wstring& text) {
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

class FakePropertyStore final : public Com<IPropertyStore> {
public:
    FakePropertyStore(State s, std::wstring name) : Com(std::move(s), ObjectKind::PropertyStore), name_(std::move(name)) {}

    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::GetValue);
        if (value == nullptr) return state_->finish(call, E_POINTER);
        PropVariantInit(value);
        if (auto f = state_->fault_for(Method::GetValue)) return state_->finish(call, f->hr);
        // Any other key: the property is absent, which a store reports as VT_EMPTY.
        if (IsEqualPropertyKey(key, kFriendlyName)) {
            value->pwszVal = co_task_copy(name_);
            if (value->pwszVal == nullptr) return state_->finish(call, E_OUTOFMEMORY);
            value->vt = VT_LPWSTR;
        }
        return state_->finish(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        if (count != nullptr) *count = 1;
        return count == nullptr ? E_POINTER : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
        if (key == nullptr) return E_POINTER;
        if (index != 0) return E_INVALIDARG;
        *key = kFriendlyName;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

private:
    std::wstring name_;
};

// The devices that EnumAudioEndpoints found, as a collection holding their ids.
class FakeDeviceCollection final : public Com<IMMDeviceCollection> {
public:
    FakeDeviceCollection(State s, std::vector<std::wstring> ids)
        : Com(std::move(s), ObjectKind::DeviceCollection), ids_(std::move(ids)) {}

    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::GetCount);
        if (count == nullptr) return state_->finish(call, E_POINTER);
        if (auto f = state_->fault_for(Method::GetCount)) return state_->finish(call, f->hr);
        *count = static_cast<UINT>(ids_.size());
        return state_->finish(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::Item);
        if (device == nullptr) return state_->finish(call, E_POINTER);
        *device = nullptr;
        if (auto f = state_->fault_for(Method::Item)) return state_->finish(call, f->hr);
        if (index >= ids_.size()) return state_->finish(call, E_INVALIDARG);
        *device = new_device(state_, ids_[index]);
        return state_->finish(call, S_OK);
    }

private:
    std::vector<std::wstring> ids_;
};

}  // namespace

const FakeEndpoint* EndpointDirectory::find(const std::wstring& id) const {
    const auto it = std::ranges::find(devices, id, &FakeEndpoint::id);
    return it == devices.end() ? nullptr : &*it;
}

FakeEndpoint* EndpointDirectory::find(const std::wstring& id) {
    return const_cast<FakeEndpoint*>(std::as_const(*this).find(id));
}

HRESULT enum_endpoints(const State& state, EDataFlow flow, DWORD mask, IMMDeviceCollection** out) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Enumerator, Method::EnumAudioEndpoints);
    state->calls[call].data_flow = flow;
    state->calls[call].state_mask = mask;
    if (out == nullptr) return state->finish(call, E_POINTER);
    *out = nullptr;
    if (auto f = state->fault_for(Method::EnumAudioEndpoints)) return state->finish(call, f->hr);
    if (flow < eRender || flow > eAll || mask == 0 || (mask & ~static_cast<DWORD>(DEVICE_STATEMASK_ALL)) != 0)
        return state->finish(call, E_INVALIDARG);
    std::vector<std::wstring> ids;  // the engine has render endpoints only
    if (flow != eCapture)
        for (const FakeEndpoint& d : state->endpoints.devices)
            if ((d.state & mask) != 0) ids.push_back(d.id);
    *out = new FakeDeviceCollection(state, std::move(ids));
    return state->finish(call, S_OK);
}

HRESULT device_state(const State& state, const std::wstring& id, DWORD* out) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Device, Method::GetState);
    if (out == nullptr) return state->finish(call, E_POINTER);
    if (auto f = state->fault_for(Method::GetState)) return state->finish(call, f->hr);
    const FakeEndpoint* endpoint = state->endpoints.find(id);
    *out = endpoint != nullptr ? endpoint->state : DEVICE_STATE_NOTPRESENT;
    return state->finish(call, S_OK);
}

HRESULT get_device(const State& state, LPCWSTR id, IMMDevice** out) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Enumerator, Method::GetDevice);
    if (out == nullptr || id == nullptr) return state->finish(call, E_POINTER);
    *out = nullptr;
    if (auto f = state->fault_for(Method::GetDevice)) return state->finish(call, f->hr);
    if (state->endpoints.find(id) == nullptr) return state->finish(call, kNotFound);
    *out = new_device(state, id);
    return state->finish(call, S_OK);
}

HRESULT register_listener(const State& state, IMMNotificationClient* listener) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Enumerator, Method::RegisterEndpointNotificationCallback);
    if (listener == nullptr) return state->finish(call, E_POINTER);
    if (auto f = state->fault_for(Method::RegisterEndpointNotificationCallback)) return state->finish(call, f->hr);
    state->endpoints.listeners.push_back(listener);
    return state->finish(call, S_OK);
}

HRESULT unregister_listener(const State& state, IMMNotificationClient* listener) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Enumerator, Method::UnregisterEndpointNotificationCallback);
    if (auto f = state->fault_for(Method::UnregisterEndpointNotificationCallback)) return state->finish(call, f->hr);
    auto& listeners = state->endpoints.listeners;
    const auto it = std::ranges::find(listeners, listener);
    if (it == listeners.end()) return state->finish(call, E_INVALIDARG);
    listeners.erase(it);
    return state->finish(call, S_OK);
}

HRESULT copy_device_id(const State& state, const std::wstring& id, LPWSTR* out) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Device, Method::GetId);
    if (out == nullptr) return state->finish(call, E_POINTER);
    *out = nullptr;
    if (auto f = state->fault_for(Method::GetId)) return state->finish(call, f->hr);
    *out = co_task_copy(id);
    return state->finish(call, *out == nullptr ? E_OUTOFMEMORY : S_OK);
}

HRESULT open_property_store(const State& state, const std::wstring& id, IPropertyStore** out) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Device, Method::OpenPropertyStore);
    if (out == nullptr) return state->finish(call, E_POINTER);
    *out = nullptr;
    if (auto f = state->fault_for(Method::OpenPropertyStore)) return state->finish(call, f->hr);
    const FakeEndpoint* endpoint = state->endpoints.find(id);
    *out = new FakePropertyStore(state, endpoint ? endpoint->name : std::wstring());
    return state->finish(call, S_OK);
}

}  // namespace brisvane::fakes::detail
