#include "main/capture_driver.hpp"

#include <span>

#include "audio/buffer_event.hpp"
#include "audio/capture_format.hpp"
#include "audio/endpoint_device.hpp"
#include "audio/packet_reader.hpp"
#include "audio/stream_client.hpp"
#include "error/display_text.hpp"
#include "output/pcm_queue.hpp"
#include "output/standard_streams.hpp"

namespace brisvane {

namespace {

// Writes every whole frame that the queue holds, in order.
std::expected<void, AppError> write_frames(PcmQueue& queue, OutputLock& output) {
    while (queue.size() >= FRAME_BYTES) {
        const auto frame = queue.take_frame();
        auto written = attach_context(output.write_all(std::span(frame.get(), FRAME_BYTES)), "failed to write PCM frame");
        if (!written) return written;
    }
    return {};
}

}  // namespace

std::expected<void, AppError> run_capture() {
    if (const HRESULT hr = initialize_com(); FAILED(hr)) {
        return std::unexpected(AppError("failed to initialize COM", HresultError::from_status(hr)));
    }

    // Declared in order of creation, so that they are released in reverse.
    auto endpoint = attach_context(open_default_endpoint(Direction::Render), "failed to open default render endpoint");
    if (!endpoint) return std::unexpected(std::move(endpoint.error()));

    auto client = attach_context(activate_client(*endpoint), "failed to create audio client");
    if (!client) return std::unexpected(std::move(client.error()));

    auto period = attach_context(device_period(*client), "failed to get WASAPI device period");
    if (!period) return std::unexpected(std::move(period.error()));

    const ClientMode mode = SharedEventDriven{.convert_format = true, .buffer_hns = period->minimum_hns};
    if (auto initialized = attach_context(initialize_client(*client, CAPTURE_FORMAT, Direction::Capture, mode),
                                          "failed to initialize WASAPI loopback client");
        !initialized) {
        return initialized;
    }

    auto buffer_frames = attach_context(buffer_frame_count(*client), "failed to get WASAPI buffer frame count");
    if (!buffer_frames) return std::unexpected(std::move(buffer_frames.error()));

    auto event = attach_context(create_buffer_event(*client), "failed to create WASAPI event handle");
    if (!event) return std::unexpected(std::move(event.error()));

    auto reader = attach_context(capture_service(*client), "failed to get capture client");
    if (!reader) return std::unexpected(std::move(reader.error()));

    PcmQueue queue(static_cast<std::size_t>(queue_capacity(*buffer_frames)));

    if (auto started = attach_context(start_stream(*client), "failed to start WASAPI stream"); !started) {
        return started;
    }

    print_to_stderr("brisvane started\n");
    OutputLock output = lock_output();

    for (;;) {
        // Drain the capture buffer: packets that piled up behind one signal are all read now.
        for (;;) {
            auto packet = attach_context(read_packet(*reader, queue), "failed to read WASAPI loopback samples");
            if (!packet) return std::unexpected(std::move(packet.error()));
            if (auto written = write_frames(queue, output); !written) return written;
            if (packet->frames == 0) break;
        }
        if (auto waited = wait_buffer_event(*event, EVENT_WAIT_MS); !waited) {
            // A wait that timed out (every unsuccessful one does) begins the next pass.
            if (!display_text(waited.error()).contains("timed out")) {
                return std::unexpected(AppError("failed waiting for WASAPI capture event", std::move(waited.error())));
            }
        }
    }
}

}  // namespace brisvane
