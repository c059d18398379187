#include "capture/source_stream.hpp"

#include "audio/capture_format.hpp"
#include "audio/device_enumerator.hpp"
#include "audio/endpoint_device.hpp"
#include "error/message_error.hpp"

namespace brisvane {

namespace {

// Room for 200 ms in the engine's buffer: a capture thread that is late for a while loses nothing.
constexpr std::int64_t STREAM_BUFFER_HNS = 2'000'000;

std::uint32_t code_of(const AudioError& error) {
    const HresultError* cause = error.hresult();
    return cause ? static_cast<std::uint32_t>(cause->code()) : 0;
}

std::unexpected<OpenFailure> failure(std::string_view context, AudioError error, bool no_device = false) {
    const std::uint32_t code = code_of(error);
    return std::unexpected(OpenFailure{no_device, AppError(context, std::move(error)), code});
}

}  // namespace

SourceStream::SourceStream(StreamClient client, std::optional<EndpointIdentity> endpoint)
    : client_(std::move(client)), endpoint_(std::move(endpoint)) {}

SourceStream::~SourceStream() {
    if (started_) (void)stop_stream(client_);
}

struct SourceOpener {
    // Initialises the client for loopback capture of the engine's format, with an event, and starts it.
    static OpenResult start(StreamClient client, std::optional<EndpointIdentity> endpoint, bool convert_format) {
        std::unique_ptr<SourceStream> stream(new SourceStream(std::move(client), std::move(endpoint)));
        const ClientMode mode = SharedEventDriven{.convert_format = convert_format, .buffer_hns = STREAM_BUFFER_HNS};
        if (auto initialized = initialize_client(stream->client_, CAPTURE_FORMAT, Direction::Capture, mode);
            !initialized) {
            return failure("failed to initialize WASAPI loopback client", std::move(initialized.error()));
        }
        stream->event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!stream->event_) {
            return failure("failed to create WASAPI event handle", AudioError::windows(HresultError::from_last_error()));
        }
        if (auto set = set_buffer_event(stream->client_, stream->event_.get()); !set) {
            return failure("failed to create WASAPI event handle", std::move(set.error()));
        }
        auto reader = capture_service(stream->client_);
        if (!reader) return failure("failed to get capture client", std::move(reader.error()));
        stream->reader_.emplace(std::move(*reader));
        if (auto started = start_stream(stream->client_); !started) {
            return failure("failed to start WASAPI stream", std::move(started.error()));
        }
        stream->started_ = true;
        stream->started_ms_ = GetTickCount64();
        return stream;
    }

    static OpenResult on_device(IMMDevice& device, std::string_view context) {
        auto identity = device_identity(device);
        if (!identity) return failure(context, std::move(identity.error()));
        auto client = activate_client(device, Direction::Render);
        if (!client) return failure("failed to create audio client", std::move(client.error()));
        return start(std::move(*client), std::move(*identity), true);
    }
};

OpenResult open_default_device_stream(IMMDeviceEnumerator& enumerator) {
    auto device = default_device(enumerator, Direction::Render);
    if (!device) {
        const bool none = code_of(device.error()) == static_cast<std::uint32_t>(ENDPOINT_NOT_FOUND);
        return failure("failed to open default render endpoint", std::move(device.error()), none);
    }
    return SourceOpener::on_device(*device->get(), "failed to open default render endpoint");
}

OpenResult open_device_stream(IMMDeviceEnumerator& enumerator, const std::wstring& id) {
    constexpr std::string_view CONTEXT = "failed to open output device";
    auto device = device_by_id(enumerator, id);
    if (!device) {
        const bool none = code_of(device.error()) == static_cast<std::uint32_t>(ENDPOINT_NOT_FOUND);
        return failure(CONTEXT, std::move(device.error()), none);
    }
    auto state = device_state(*device->get());
    if (!state) return failure(CONTEXT, std::move(state.error()));
    if (*state != DEVICE_STATE_ACTIVE) {
        return std::unexpected(OpenFailure{
            true, AppError(CONTEXT, MessageError("the device is not active (disabled, unplugged or not present)")), 0});
    }
    return SourceOpener::on_device(*device->get(), CONTEXT);
}

OpenResult open_process_stream(std::uint32_t process_id, LoopbackTree tree) {
    constexpr std::string_view CONTEXT = "failed to activate process loopback";
    if (auto refusal = process_loopback_unavailable()) {
        return std::unexpected(OpenFailure{false, AppError(CONTEXT, MessageError(std::move(*refusal))), 0});
    }
    auto client = activate_process_loopback(process_id, tree);
    if (!client) return failure(CONTEXT, std::move(client.error()));
    // That client converts nothing: it is given the engine's own format, without the flags for it.
    return SourceOpener::start(std::move(*client), std::nullopt, false);
}

}  // namespace brisvane
