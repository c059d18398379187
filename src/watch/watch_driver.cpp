#include "watch/watch_driver.hpp"

#include <optional>
#include <span>
#include <string>

#include "audio/default_device_listener.hpp"
#include "audio/device_enumerator.hpp"
#include "audio/endpoint_device.hpp"
#include "audio/endpoint_identity.hpp"
#include "output/standard_streams.hpp"
#include "platform/utf16_view.hpp"
#include "watch/device_line.hpp"

namespace brisvane {

namespace {

std::string line_for(const std::optional<EndpointIdentity>& endpoint) {
    if (!endpoint) return std::string(NO_DEFAULT_DEVICE_LINE);
    return default_device_line(as_utf16(endpoint->id), as_utf16(endpoint->name));
}

// Writes the line in one write, unless it repeats the last one written.
class LineOutput {
public:
    std::expected<void, AppError> write(std::string line) {
        if (line == last_) return {};
        auto written = attach_context(output_.write_all(std::as_bytes(std::span(line))), "failed to write device line");
        last_ = std::move(line);
        return written;
    }

private:
    OutputLock output_ = lock_output();
    std::string last_;
};

}  // namespace

std::expected<void, AppError> run_watch() {
    if (const HRESULT hr = initialize_com(); FAILED(hr)) {
        return std::unexpected(AppError("failed to initialize COM", HresultError::from_status(hr)));
    }
    auto enumerator = attach_context(create_device_enumerator(), "failed to create device enumerator");
    if (!enumerator) return std::unexpected(std::move(enumerator.error()));

    // Listening starts before the first reading, so that no change falls between the two.
    auto changes = attach_context(listen_for_default_render_changes(*enumerator->get()),
                                  "failed to register for endpoint notifications");
    if (!changes) return std::unexpected(std::move(changes.error()));

    auto first = attach_context(default_render_identity(*enumerator->get()), "failed to read default render endpoint");
    if (!first) return std::unexpected(std::move(first.error()));

    LineOutput output;
    if (auto written = output.write(line_for(*first)); !written) return written;

    for (;;) {
        if (WaitForSingleObject((*changes)->ready_event(), INFINITE) != WAIT_OBJECT_0) {
            return std::unexpected(
                AppError("failed waiting for endpoint notifications", HresultError::from_last_error()));
        }
        for (auto& id : (*changes)->take_all()) {
            std::optional<EndpointIdentity> endpoint;
            if (id) {
                auto found = attach_context(endpoint_identity(*enumerator->get(), *id),
                                            "failed to read new default render endpoint");
                if (!found) return std::unexpected(std::move(found.error()));
                endpoint = std::move(*found);
            }
            if (auto written = output.write(line_for(endpoint)); !written) return written;
        }
    }
}

}  // namespace brisvane
