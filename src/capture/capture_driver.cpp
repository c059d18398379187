#include "capture/capture_driver.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/default_device_listener.hpp"
#include "audio/device_enumerator.hpp"
#include "audio/endpoint_device.hpp"
#include "audio/endpoint_identity.hpp"
#include "capture/capture_session.hpp"
#include "capture/read_clocks.hpp"
#include "capture/record_writer.hpp"
#include "capture/source_stream.hpp"
#include "capture/stop_request.hpp"
#include "error/wide_text.hpp"
#include "output/standard_streams.hpp"
#include "platform/utf16_view.hpp"

namespace brisvane {

namespace {

// How often the continuous timeline looks at the clock while no packet comes.
constexpr DWORD IDLE_TICK_MS = 40;

std::string utf8_of(const std::wstring& text) { return utf16_to_utf8_lossy(as_utf16(text)); }

std::wstring wide_of(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::uint32_t hresult_of(const AppError& error) {
    if (const auto* audio = std::get_if<AudioError>(&error.layer().cause())) {
        if (const HresultError* cause = audio->hresult()) return static_cast<std::uint32_t>(cause->code());
    }
    if (const auto* platform = std::get_if<HresultError>(&error.layer().cause())) {
        return static_cast<std::uint32_t>(platform->code());
    }
    return 0;
}

StreamHeader header_for(const CaptureOptions& options) {
    return StreamHeader{.format = options.format,
                        .timeline = options.timeline,
                        .source = options.source,
                        .process_id = options.process_id};
}

// An attempt to open the source that waits for its time.
struct PendingAttempt {
    ReopenReason reason = ReopenReason::DeviceLost;
    ReopenAttempt attempt;
    std::uint32_t hresult = 0;
    std::uint64_t due_ms = 0;
};

class CaptureEngine {
public:
    CaptureEngine(const CaptureOptions& options, RecordWriter& writer, ClockReading start)
        : options_(options),
          writer_(writer),
          session_(header_for(options), writer, start, std::int64_t{options.fill_lag_ms} * 10'000),
          policy_(options.reopen),
          device_id_(wide_of(options.device_id)) {}

    std::expected<EndReason, AppError> run();

private:
    std::expected<EndReason, AppError> capture();
    bool is_device_source() const {
        return options_.source == SourceKind::DefaultDevice || options_.source == SourceKind::Device;
    }
    std::expected<void, AppError> prepare();
    OpenResult open_source();
    std::expected<void, AppError> attempt();
    void started(std::unique_ptr<SourceStream> stream);
    void wait_for_device();
    void close_stream(ClockReading now);
    void replace_stream(ReopenReason reason, ReopenAttempt attempt, ClockReading now);
    std::expected<void, AppError> read_available(ClockReading now);
    std::expected<void, AppError> read_packets(ClockReading now);
    std::expected<void, AppError> lose_stream(AppError error, std::uint64_t ran_ms);
    void follow_device_changes(ClockReading now);
    enum class Wake { Stop, TargetExited, Other };
    Wake wait() const;
    DWORD wait_ms() const;
    std::expected<EndReason, AppError> finish(EndReason reason);
    bool is_default(const std::wstring& id) const;
    bool chosen_device_active() const;

    const CaptureOptions& options_;
    RecordWriter& writer_;
    CaptureSession session_;
    ReopenPolicy policy_;
    std::wstring device_id_;
    StopRequest stop_;
    OwnedHandle target_;  // the process whose tree is captured or left out
    ComPtr<IMMDeviceEnumerator> enumerator_;
    DeviceChangeQueue* changes_ = nullptr;
    std::unique_ptr<SourceStream> stream_;
    std::optional<std::wstring> reported_device_;  // what the last device record named
    std::optional<PendingAttempt> pending_;
    bool waiting_for_device_ = false;
    bool announced_ = false;
};

std::expected<void, AppError> CaptureEngine::prepare() {
    if (!is_device_source()) {
        // Held for the whole capture, so that the id cannot pass to another process meanwhile.
        target_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, options_.process_id));
        if (!target_) return std::unexpected(AppError("failed to open target process", HresultError::from_last_error()));
        return {};
    }
    auto enumerator = attach_context(create_device_enumerator(), "failed to create device enumerator");
    if (!enumerator) return std::unexpected(std::move(enumerator.error()));
    enumerator_ = std::move(*enumerator);
    // Listening starts before the first opening, so that no change falls between the two.
    auto changes = attach_context(listen_for_default_render_changes(*enumerator_.get()),
                                  "failed to register for endpoint notifications");
    if (!changes) return std::unexpected(std::move(changes.error()));
    changes_ = *changes;
    return {};
}

OpenResult CaptureEngine::open_source() {
    switch (options_.source) {
        case SourceKind::Device:
            return open_device_stream(*enumerator_.get(), device_id_);
        case SourceKind::App:
            return open_process_stream(options_.process_id, LoopbackTree::Include);
        case SourceKind::AllButApp:
            return open_process_stream(options_.process_id, LoopbackTree::Exclude);
        default:
            return open_default_device_stream(*enumerator_.get());
    }
}

// Whether the device chosen by id is there to be captured; what fails to say so is not.
bool CaptureEngine::chosen_device_active() const {
    auto device = device_by_id(*enumerator_.get(), device_id_);
    if (!device) return false;
    auto state = device_state(*device->get());
    return state && *state == DEVICE_STATE_ACTIVE;
}

bool CaptureEngine::is_default(const std::wstring& id) const {
    if (options_.source == SourceKind::DefaultDevice) return true;
    auto current = default_render_identity(*enumerator_.get());
    return current && *current && (*current)->id == id;
}

void CaptureEngine::started(std::unique_ptr<SourceStream> stream) {
    stream_ = std::move(stream);
    waiting_for_device_ = false;
    session_.stream_started(stream_->has_device_positions());
    if (const auto& endpoint = stream_->endpoint(); endpoint && endpoint->id != reported_device_) {
        const std::string id = utf8_of(endpoint->id);
        const std::string name = utf8_of(endpoint->name);
        session_.device(DeviceRecord{.is_default = is_default(endpoint->id), .id = id, .name = name});
        reported_device_ = endpoint->id;
    }
    if (!announced_) {
        session_.flush();
        print_to_stderr("brisvane-capture started\n");
        announced_ = true;
    }
}

void CaptureEngine::wait_for_device() {
    waiting_for_device_ = true;
    session_.stream_lost(GapReason::NoDevice);
    if (reported_device_ != std::wstring()) {
        session_.device(DeviceRecord{});
        reported_device_ = std::wstring();
    }
}

// Takes what the stream still holds (a failure only ends the reading), then lets it go.
void CaptureEngine::close_stream(ClockReading now) {
    if (!stream_) return;
    (void)read_available(now);
    stream_.reset();
    session_.stream_lost(GapReason::Reopen);
}

// Ends the stream (if any) and asks for a new one.
void CaptureEngine::replace_stream(ReopenReason reason, ReopenAttempt attempt, ClockReading now) {
    close_stream(now);
    pending_ = PendingAttempt{reason, attempt, 0, GetTickCount64() + attempt.delay_ms};
}

std::expected<void, AppError> CaptureEngine::attempt() {
    const PendingAttempt due = *pending_;
    pending_.reset();
    session_.reopen(ReopenRecord{.reason = due.reason,
                                 .attempt = due.attempt.number,
                                 .hresult = due.hresult,
                                 .delay_ms = due.attempt.delay_ms});
    auto opened = open_source();
    if (opened) {
        started(std::move(*opened));
        return {};
    }
    if (opened.error().no_device) {
        wait_for_device();
        return {};
    }
    const auto next = policy_.after_failure();
    if (!next) return std::unexpected(std::move(opened.error().error));
    pending_ = PendingAttempt{due.reason, *next, opened.error().hresult, GetTickCount64() + next->delay_ms};
    return {};
}

std::expected<void, AppError> CaptureEngine::lose_stream(AppError error, std::uint64_t ran_ms) {
    stream_.reset();
    session_.stream_lost(GapReason::Reopen);
    const auto next = policy_.after_loss(ran_ms);
    if (!next) return std::unexpected(std::move(error));
    pending_ = PendingAttempt{ReopenReason::DeviceLost, *next, hresult_of(error), GetTickCount64() + next->delay_ms};
    return {};
}

std::expected<void, AppError> CaptureEngine::read_available(ClockReading now) {
    constexpr std::string_view CONTEXT = "failed to read WASAPI loopback samples";
    for (;;) {
        auto packet = attach_context(acquire_packet(stream_->reader()), CONTEXT);
        if (!packet) return std::unexpected(std::move(packet.error()));
        const PacketInfo& info = packet->info;
        if (info.frames == 0) return {};
        const CapturedPacket captured{
            .timing = PacketTiming{.frames = info.frames,
                                   .device_position = info.device_position,
                                   .qpc_position = info.qpc_position,
                                   .discontinuity = info.data_discontinuity,
                                   .timestamp_error = info.timestamp_error},
            .silent = info.silent,
            .samples = std::span(reinterpret_cast<const float*>(packet->bytes.data()), packet->bytes.size() / sizeof(float)),
        };
        session_.packet(captured, now);
        if (auto released = attach_context(release_packet(stream_->reader(), info.frames), CONTEXT); !released) {
            return released;
        }
    }
}

// Reads what the engine has; a failure loses the stream.
std::expected<void, AppError> CaptureEngine::read_packets(ClockReading now) {
    auto read = read_available(now);
    if (!read) return lose_stream(std::move(read.error()), GetTickCount64() - stream_->started_ms());
    return {};
}

void CaptureEngine::follow_device_changes(ClockReading now) {
    const auto defaults = changes_->take_all();
    const bool state_changed = changes_->take_state_change();
    if (options_.source == SourceKind::Device) {
        if (waiting_for_device_ && state_changed && !pending_ && chosen_device_active()) {
            replace_stream(ReopenReason::DeviceBack, policy_.after_change(), now);
        }
        return;
    }
    if (defaults.empty()) return;
    const std::optional<std::wstring>& newest = defaults.back();
    if (!newest) {
        // No default any more: nothing to capture until one comes (when it is followed).
        if (options_.follow_default && (stream_ || pending_)) {
            close_stream(now);
            pending_.reset();
            wait_for_device();
        }
        return;
    }
    if (waiting_for_device_) {
        replace_stream(ReopenReason::DeviceBack, policy_.after_change(), now);
    } else if (options_.follow_default && stream_ && stream_->endpoint() && stream_->endpoint()->id != *newest) {
        replace_stream(ReopenReason::DefaultChanged, policy_.after_change(), now);
    }
}

// Until something needs this thread: the caller, the captured process, the writer, a change of
// devices, the engine, the clock. The ones that end the capture come first, so that the wait
// names them; the others are looked at on every pass anyway.
CaptureEngine::Wake CaptureEngine::wait() const {
    std::array<HANDLE, 5> handles{stop_.event()};
    DWORD count = 1;
    if (options_.source == SourceKind::App) handles[count++] = target_.get();
    handles[count++] = writer_.failed_event();
    if (changes_) handles[count++] = changes_->ready_event();
    if (stream_) handles[count++] = stream_->buffer_event();
    const DWORD woken = WaitForMultipleObjects(count, handles.data(), FALSE, wait_ms());
    if (woken == WAIT_OBJECT_0) return Wake::Stop;
    if (woken == WAIT_OBJECT_0 + 1 && options_.source == SourceKind::App) return Wake::TargetExited;
    return Wake::Other;
}

DWORD CaptureEngine::wait_ms() const {
    DWORD wait = options_.timeline == TimelineMode::Continuous ? IDLE_TICK_MS : INFINITE;
    if (pending_) {
        const std::uint64_t now = GetTickCount64();
        wait = std::min<DWORD>(wait, pending_->due_ms > now ? static_cast<DWORD>(pending_->due_ms - now) : 0);
    }
    return wait;
}

std::expected<EndReason, AppError> CaptureEngine::finish(EndReason reason) {
    const ClockReading now = read_clocks();
    if (stream_) {
        // What the engine still holds is part of the capture.
        if (auto read = read_packets(now); !read) return std::unexpected(std::move(read.error()));
    }
    session_.end(EndRecord{.reason = reason, .hresult = 0}, now);
    if (auto drained = writer_.drain(); !drained) {
        return std::unexpected(AppError("failed to write records", OutputErrorText(drained.error())));
    }
    return reason;
}

std::expected<EndReason, AppError> CaptureEngine::run() {
    auto ended = capture();
    if (!ended) {
        // What was captured, then an end that names the error, if standard output still takes them.
        session_.end(EndRecord{.reason = EndReason::Error, .hresult = hresult_of(ended.error())}, read_clocks());
        (void)writer_.drain();
    }
    return ended;
}

std::expected<EndReason, AppError> CaptureEngine::capture() {
    if (auto prepared = prepare(); !prepared) return std::unexpected(std::move(prepared.error()));
    auto opened = open_source();
    if (opened) {
        started(std::move(*opened));
    } else if (opened.error().no_device && options_.source == SourceKind::DefaultDevice) {
        // Time without a device is not a failure: the capture waits for one.
        wait_for_device();
        session_.flush();
    } else {
        return std::unexpected(std::move(opened.error().error));
    }
    // Each pass reads what the engine has before it waits: a packet may be ready before any signal.
    for (Wake woken = Wake::Other;; woken = wait()) {
        const ClockReading now = read_clocks();
        if (auto failed = writer_.failure()) {
            return std::unexpected(AppError("failed to write records", OutputErrorText(*failed)));
        }
        if (changes_) follow_device_changes(now);
        if (stream_) {
            if (auto read = read_packets(now); !read) return std::unexpected(std::move(read.error()));
        }
        if (woken == Wake::Stop) return finish(EndReason::Stopped);
        if (woken == Wake::TargetExited) return finish(EndReason::AppExited);
        session_.idle(now);
        if (pending_ && GetTickCount64() >= pending_->due_ms) {
            if (auto made = attempt(); !made) return std::unexpected(std::move(made.error()));
        }
        session_.flush();
    }
}

}  // namespace

std::expected<EndReason, AppError> run_capture(const CaptureOptions& options) {
    if (const HRESULT hr = initialize_com(); FAILED(hr)) {
        return std::unexpected(AppError("failed to initialize COM", HresultError::from_status(hr)));
    }
    RecordWriter writer(options.format);
    return CaptureEngine(options, writer, read_clocks()).run();
}

std::expected<void, AppError> run_device_list(const CaptureOptions& options) {
    if (const HRESULT hr = initialize_com(); FAILED(hr)) {
        return std::unexpected(AppError("failed to initialize COM", HresultError::from_status(hr)));
    }
    auto enumerator = attach_context(create_device_enumerator(), "failed to create device enumerator");
    if (!enumerator) return std::unexpected(std::move(enumerator.error()));
    auto current = attach_context(default_render_identity(*enumerator->get()), "failed to list output devices");
    if (!current) return std::unexpected(std::move(current.error()));
    auto endpoints = attach_context(active_render_endpoints(*enumerator->get()), "failed to list output devices");
    if (!endpoints) return std::unexpected(std::move(endpoints.error()));

    std::vector<std::byte> records;
    append_record(records, header_for(options));
    for (const EndpointIdentity& endpoint : *endpoints) {
        const std::string id = utf8_of(endpoint.id);
        const std::string name = utf8_of(endpoint.name);
        append_record(records, DeviceRecord{.is_default = *current && (*current)->id == endpoint.id, .id = id, .name = name});
    }
    append_record(records, EndRecord{.reason = EndReason::Listed, .hresult = 0});
    RecordWriter writer(options.format);
    writer.write(records);
    if (auto drained = writer.drain(); !drained) {
        return std::unexpected(AppError("failed to write records", OutputErrorText(drained.error())));
    }
    return {};
}

}  // namespace brisvane
