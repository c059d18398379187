// A running capture stream of one source: an output device in loopback, or a process tree.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "audio/endpoint_identity.hpp"
#include "audio/packet_reader.hpp"
#include "audio/process_loopback.hpp"
#include "audio/stream_client.hpp"
#include "error/app_error.hpp"
#include "platform/owned_handle.hpp"

namespace brisvane {

class SourceStream {
public:
    // Stops the stream before its client goes.
    ~SourceStream();
    SourceStream(const SourceStream&) = delete;
    SourceStream& operator=(const SourceStream&) = delete;

    HANDLE buffer_event() const { return event_.get(); }
    const PacketReader& reader() const { return *reader_; }
    // The endpoint captured; none for a process tree.
    const std::optional<EndpointIdentity>& endpoint() const { return endpoint_; }
    // Process loopback packets carry no device position.
    bool has_device_positions() const { return endpoint_.has_value(); }
    std::uint64_t started_ms() const { return started_ms_; }

private:
    friend struct SourceOpener;
    SourceStream(StreamClient client, std::optional<EndpointIdentity> endpoint);

    OwnedHandle event_;  // declared first: closed after the client that sets it is released
    StreamClient client_;
    std::optional<PacketReader> reader_;
    std::optional<EndpointIdentity> endpoint_;
    bool started_ = false;
    std::uint64_t started_ms_ = 0;
};

// Why a source could not be opened: there was no device (to be waited for), or an error.
struct OpenFailure {
    bool no_device = false;
    AppError error;
    std::uint32_t hresult = 0;  // the platform's code, when there is one
};

using OpenResult = std::expected<std::unique_ptr<SourceStream>, OpenFailure>;

// The default render endpoint, in loopback.
OpenResult open_default_device_stream(IMMDeviceEnumerator& enumerator);
// The render endpoint with this id, in loopback; absent or not active: no device.
OpenResult open_device_stream(IMMDeviceEnumerator& enumerator, const std::wstring& id);
// A process tree, included or excluded.
OpenResult open_process_stream(std::uint32_t process_id, LoopbackTree tree);

}  // namespace brisvane
