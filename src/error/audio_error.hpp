#pragma once

#include <guiddef.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "error/chained_error.hpp"
#include "error/hresult_error.hpp"

namespace brisvane {

// The one error type of the audio layer: sixteen kinds, each with a fixed display text.
class AudioError final : public ChainedError {
public:
    enum class Kind {
        DeviceNotFound,
        IllegalDeviceState,
        IllegalDeviceRole,
        IllegalDeviceDirection,
        IllegalSessionState,
        UnsupportedFormat,
        UnsupportedSubformat,
        ClientNotInit,
        RegisterNotifications,
        DataLengthMismatch,
        DataLengthTooShort,
        EventTimeout,
        AutomaticFormatConversionInExclusiveMode,
        LoopbackWithExclusiveMode,
        RenderToCaptureDevice,
        Windows,
    };

    static AudioError device_not_found(std::string name);
    static AudioError illegal_device_state(std::uint32_t state);
    static AudioError illegal_device_role(std::int32_t role);
    static AudioError illegal_device_direction(std::int32_t direction);
    static AudioError illegal_session_state(std::int32_t state);
    static AudioError unsupported_format() { return AudioError(Kind::UnsupportedFormat); }
    static AudioError unsupported_subformat(const GUID& subformat);
    static AudioError client_not_init() { return AudioError(Kind::ClientNotInit); }
    static AudioError register_notifications(HresultError error);
    static AudioError data_length_mismatch(std::size_t received, std::size_t expected);
    static AudioError data_length_too_short(std::size_t received, std::size_t expected);
    static AudioError event_timeout() { return AudioError(Kind::EventTimeout); }
    static AudioError automatic_format_conversion_in_exclusive_mode() {
        return AudioError(Kind::AutomaticFormatConversionInExclusiveMode);
    }
    static AudioError loopback_with_exclusive_mode() { return AudioError(Kind::LoopbackWithExclusiveMode); }
    static AudioError render_to_capture_device() { return AudioError(Kind::RenderToCaptureDevice); }
    static AudioError windows(HresultError error);

    Kind kind() const { return kind_; }
    // The platform error of the Windows and RegisterNotifications kinds.
    const HresultError* hresult() const { return hresult_ ? &*hresult_ : nullptr; }

    SinkResult display(TextSink& sink) const override;
    const ChainedError* source() const override;
    // The structural form, e.g. DataLengthMismatch { received: 3, expected: 4 }.
    SinkResult debug(TextSink& sink) const;

private:
    explicit AudioError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::string name_;
    std::int64_t number_ = 0;
    std::size_t received_ = 0;
    std::size_t expected_ = 0;
    GUID guid_{};
    std::optional<HresultError> hresult_;
};

// The canonical 8-4-4-4-12 upper-case form, without braces.
std::string guid_text(const GUID& guid);

}  // namespace brisvane
