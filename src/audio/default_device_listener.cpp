#include "audio/default_device_listener.hpp"

#include <atomic>

#include "audio/windows_error.hpp"

namespace brisvane {

namespace {

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_UNKNOWN = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {7991EEC9-7E89-4D85-8390-6C703CEC60C0}
constexpr IID IID_NOTIFICATION_CLIENT = {0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};

// Runs on the system's notification threads: it only queues, never waits for the writer.
class DefaultDeviceListener final : public IMMNotificationClient {
public:
    explicit DefaultDeviceListener(OwnedHandle ready) : queue_(std::move(ready)) {}

    DeviceChangeQueue& queue() { return queue_; }

    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override {
        if (flow == eRender && role == eConsole) {
            queue_.push(id ? std::optional<std::wstring>(id) : std::nullopt);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override {
        queue_.note_state_change();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override {
        queue_.note_state_change();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override {
        queue_.note_state_change();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_UNKNOWN) || IsEqualIID(iid, IID_NOTIFICATION_CLIENT)) {
            *object = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_ = 1;
    DeviceChangeQueue queue_;
};

}  // namespace

std::expected<DeviceChangeQueue*, AudioError> listen_for_default_render_changes(IMMDeviceEnumerator& enumerator) {
    OwnedHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!ready) {
        return windows_error(HresultError::from_last_error());
    }
    // Never released once registered: the process's reference passes to the registration.
    auto* listener = new DefaultDeviceListener(std::move(ready));
    if (const HRESULT hr = enumerator.RegisterEndpointNotificationCallback(listener); FAILED(hr)) {
        auto error = HresultError::from_status(hr);
        listener->Release();
        return windows_error(std::move(error));
    }
    return &listener->queue();
}

}  // namespace brisvane
