#include "error/audio_error.hpp"

#include <array>
#include <cstdio>

#include "error/debug_text.hpp"
#include "error/hresult_code.hpp"

namespace brisvane {

namespace {

constexpr std::array<const char*, 16> KIND_NAMES = {
    "DeviceNotFound",
    "IllegalDeviceState",
    "IllegalDeviceRole",
    "IllegalDeviceDirection",
    "IllegalSessionState",
    "UnsupportedFormat",
    "UnsupportedSubformat",
    "ClientNotInit",
    "RegisterNotifications",
    "DataLengthMismatch",
    "DataLengthTooShort",
    "EventTimeout",
    "AutomaticFormatConversionInExclusiveMode",
    "LoopbackWithExclusiveMode",
    "RenderToCaptureDevice",
    "Windows",
};

SinkResult write_lengths(TextSink& sink, std::size_t received, std::size_t expected, std::string_view relation) {
    const std::string text = "Wrong length of data, got " + std::to_string(received) + ", expected " +
                             std::string(relation) + " " + std::to_string(expected);
    return sink.write(text);
}

std::string hresult_debug(const HresultError& error) {
    return "Error { code: HRESULT(" + hex_form(error.code()) + "), message: " + quoted_debug_text(error.message()) +
           " }";
}

}  // namespace

std::string guid_text(const GUID& guid) {
    char text[37];
    std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

AudioError AudioError::device_not_found(std::string name) {
    AudioError error(Kind::DeviceNotFound);
    error.name_ = std::move(name);
    return error;
}

AudioError AudioError::illegal_device_state(std::uint32_t state) {
    AudioError error(Kind::IllegalDeviceState);
    error.number_ = state;
    return error;
}

AudioError AudioError::illegal_device_role(std::int32_t role) {
    AudioError error(Kind::IllegalDeviceRole);
    error.number_ = role;
    return error;
}

AudioError AudioError::illegal_device_direction(std::int32_t direction) {
    AudioError error(Kind::IllegalDeviceDirection);
    error.number_ = direction;
    return error;
}

AudioError AudioError::illegal_session_state(std::int32_t state) {
    AudioError error(Kind::IllegalSessionState);
    error.number_ = state;
    return error;
}

AudioError AudioError::unsupported_subformat(const GUID& subformat) {
    AudioError error(Kind::UnsupportedSubformat);
    error.guid_ = subformat;
    return error;
}

AudioError AudioError::register_notifications(HresultError cause) {
    AudioError error(Kind::RegisterNotifications);
    error.hresult_.emplace(std::move(cause));
    return error;
}

AudioError AudioError::data_length_mismatch(std::size_t received, std::size_t expected) {
    AudioError error(Kind::DataLengthMismatch);
    error.received_ = received;
    error.expected_ = expected;
    return error;
}

AudioError AudioError::data_length_too_short(std::size_t received, std::size_t expected) {
    AudioError error(Kind::DataLengthTooShort);
    error.received_ = received;
    error.expected_ = expected;
    return error;
}

AudioError AudioError::windows(HresultError cause) {
    AudioError error(Kind::Windows);
    error.hresult_.emplace(std::move(cause));
    return error;
}

SinkResult AudioError::display(TextSink& sink) const {
    switch (kind_) {
        case Kind::DeviceNotFound:
            if (auto written = sink.write("Unable to find device with name: "); !written) return written;
            return sink.write(name_);
        case Kind::IllegalDeviceState:
            return sink.write("Got an illegal device state: " + std::to_string(number_));
        case Kind::IllegalDeviceRole:
            return sink.write("Got an illegal device role: " + std::to_string(number_));
        case Kind::IllegalDeviceDirection:
            return sink.write("Got an illegal device direction: " + std::to_string(number_));
        case Kind::IllegalSessionState:
            return sink.write("Got an illegal session state: " + std::to_string(number_));
        case Kind::UnsupportedFormat:
            return sink.write("Could not find a compatible format");
        case Kind::UnsupportedSubformat:
            return sink.write("Got an unknown Subformat: " + guid_text(guid_));
        case Kind::ClientNotInit:
            return sink.write("Client has not been initialized");
        case Kind::RegisterNotifications:
            if (auto written = sink.write("Couldn't register session notifications: "); !written) return written;
            return hresult_->display(sink);
        case Kind::DataLengthMismatch:
            return write_lengths(sink, received_, expected_, "exactly");
        case Kind::DataLengthTooShort:
            return write_lengths(sink, received_, expected_, "at least");
        case Kind::EventTimeout:
            return sink.write("Handle wait timed out");
        case Kind::AutomaticFormatConversionInExclusiveMode:
            return sink.write("Cant use automatic format conversion in exclusive mode");
        case Kind::LoopbackWithExclusiveMode:
            return sink.write("Cant use Loopback with exclusive mode");
        case Kind::RenderToCaptureDevice:
            return sink.write("Cant render to a capture device");
        case Kind::Windows:
            if (auto written = sink.write("Windows returned an error: "); !written) return written;
            return hresult_->display(sink);
    }
    return {};
}

const ChainedError* AudioError::source() const {
    return kind_ == Kind::Windows ? static_cast<const ChainedError*>(&*hresult_) : nullptr;
}

SinkResult AudioError::debug(TextSink& sink) const {
    const std::string name = KIND_NAMES[static_cast<std::size_t>(kind_)];
    switch (kind_) {
        case Kind::DeviceNotFound:
            return sink.write(name + "(" + quoted_debug_text(name_) + ")");
        case Kind::IllegalDeviceState:
        case Kind::IllegalDeviceRole:
        case Kind::IllegalDeviceDirection:
        case Kind::IllegalSessionState:
            return sink.write(name + "(" + std::to_string(number_) + ")");
        case Kind::UnsupportedSubformat:
            return sink.write(name + "(" + guid_text(guid_) + ")");
        case Kind::RegisterNotifications:
        case Kind::Windows:
            return sink.write(name + "(" + hresult_debug(*hresult_) + ")");
        case Kind::DataLengthMismatch:
        case Kind::DataLengthTooShort:
            return sink.write(name + " { received: " + std::to_string(received_) +
                              ", expected: " + std::to_string(expected_) + " }");
        default:
            return sink.write(name);
    }
}

}  // namespace brisvane
