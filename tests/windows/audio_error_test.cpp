#include "error/audio_error.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>

#include "error/display_text.hpp"
#include "error/report_text.hpp"
#include "platform_test_support.hpp"

namespace brisvane {
namespace {

using testing::ErrorTexts;
using testing::TestErrorObject;

constexpr HRESULT AUDCLNT_DEVICE_INVALIDATED = static_cast<HRESULT>(0x88890004);

// An HresultError carrying an error object with the given description. The objects
// stay allocated until the process ends.
HresultError described_error(HRESULT code, const wchar_t* description) {
    static std::deque<TestErrorObject> objects;
    TestErrorObject& object = objects.emplace_back(ErrorTexts{.description = description});
    SetErrorInfo(0, &object);
    object.Release();  // the HresultError holds the only reference from here on
    return HresultError::from_status(code);
}

std::string debug_text(const AudioError& error) {
    StringSink sink;
    (void)error.debug(sink);
    return sink.text();
}

// The display text of every kind; only the two platform kinds carry an HRESULT, and only
// the Windows kind shows it as its source, the second cause of a report.
TEST(AudioErrorDisplay, EachKindHasItsText) {
    const GUID ieee_float = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    enum class Hresult { None, Held, Source };
    const std::tuple<AudioError, const char*, Hresult> cases[] = {
        {AudioError::device_not_found("Speakers \"Main\""), "Unable to find device with name: Speakers \"Main\"",
         Hresult::None},
        {AudioError::illegal_device_state(0xFFFFFFFFu), "Got an illegal device state: 4294967295", Hresult::None},
        {AudioError::illegal_device_role(-1), "Got an illegal device role: -1", Hresult::None},
        {AudioError::illegal_device_direction(2), "Got an illegal device direction: 2", Hresult::None},
        {AudioError::illegal_session_state(-2147483647 - 1), "Got an illegal session state: -2147483648",
         Hresult::None},
        {AudioError::unsupported_format(), "Could not find a compatible format", Hresult::None},
        {AudioError::unsupported_subformat(ieee_float), "Got an unknown Subformat: 00000003-0000-0010-8000-00AA00389B71",
         Hresult::None},
        {AudioError::client_not_init(), "Client has not been initialized", Hresult::None},
        {AudioError::data_length_mismatch(3, 4), "Wrong length of data, got 3, expected exactly 4", Hresult::None},
        {AudioError::data_length_too_short(3, 4), "Wrong length of data, got 3, expected at least 4", Hresult::None},
        {AudioError::event_timeout(), "Handle wait timed out", Hresult::None},
        {AudioError::automatic_format_conversion_in_exclusive_mode(),
         "Cant use automatic format conversion in exclusive mode", Hresult::None},
        {AudioError::loopback_with_exclusive_mode(), "Cant use Loopback with exclusive mode", Hresult::None},
        {AudioError::render_to_capture_device(), "Cant render to a capture device", Hresult::None},
        {AudioError::windows(described_error(AUDCLNT_DEVICE_INVALIDATED, L"Device lost.\r\n")),
         "Windows returned an error: Device lost. (0x88890004)", Hresult::Source},
        {AudioError::register_notifications(described_error(E_ACCESSDENIED, L"Not allowed.")),
         "Couldn't register session notifications: Not allowed. (0x80070005)", Hresult::Held},
    };
    for (const auto& [error, text, hresult] : cases) {
        EXPECT_EQ(display_text(error), text);
        EXPECT_EQ(error.hresult() != nullptr, hresult != Hresult::None) << text;
        EXPECT_EQ(error.source(), hresult == Hresult::Source ? error.hresult() : nullptr) << text;
    }
}

TEST(AudioErrorDebug, ShowsKindAndFields) {
    EXPECT_EQ(debug_text(AudioError::data_length_mismatch(3, 4)), "DataLengthMismatch { received: 3, expected: 4 }");
    EXPECT_EQ(debug_text(AudioError::data_length_too_short(0, 7680)),
              "DataLengthTooShort { received: 0, expected: 7680 }");
    EXPECT_EQ(debug_text(AudioError::device_not_found("Say \"hi\"\n")), "DeviceNotFound(\"Say \\\"hi\\\"\\n\")");
    EXPECT_EQ(debug_text(AudioError::illegal_device_role(-1)), "IllegalDeviceRole(-1)");
    EXPECT_EQ(debug_text(AudioError::event_timeout()), "EventTimeout");
    EXPECT_EQ(debug_text(AudioError::windows(described_error(AUDCLNT_DEVICE_INVALIDATED, L"Device\tlost."))),
              "Windows(Error { code: HRESULT(0x88890004), message: \"Device\\tlost.\" })");
}

}  // namespace
}  // namespace brisvane
