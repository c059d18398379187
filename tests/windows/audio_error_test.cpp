#include "error/audio_error.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <expected>
#include <string>
#include <utility>

#include "error/app_error.hpp"
#include "error/display_text.hpp"
#include "error/exit_report.hpp"
#include "error/report_text.hpp"
#include "platform_test_support.hpp"

namespace brisvane {
namespace {

using testing::ErrorTexts;
using testing::format_message_text;
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

std::string exit_report(const AppError& error) {
    StringSink sink;
    (void)write_exit_report(error.layer(), sink);
    return sink.text();
}

template <class E>
AppError failed(E error, std::string_view context) {
    return attach_context(std::expected<int, E>(std::unexpected(std::move(error))), context).error();
}

TEST(AudioErrorDisplay, EachKindHasItsText) {
    const GUID ieee_float = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    const std::pair<AudioError, const char*> cases[] = {
        {AudioError::device_not_found("Speakers \"Main\""), "Unable to find device with name: Speakers \"Main\""},
        {AudioError::illegal_device_state(0xFFFFFFFFu), "Got an illegal device state: 4294967295"},
        {AudioError::illegal_device_role(-1), "Got an illegal device role: -1"},
        {AudioError::illegal_device_direction(2), "Got an illegal device direction: 2"},
        {AudioError::illegal_session_state(-2147483647 - 1), "Got an illegal session state: -2147483648"},
        {AudioError::unsupported_format(), "Could not find a compatible format"},
        {AudioError::unsupported_subformat(ieee_float),
         "Got an unknown Subformat: 00000003-0000-0010-8000-00AA00389B71"},
        {AudioError::client_not_init(), "Client has not been initialized"},
        {AudioError::data_length_mismatch(3, 4), "Wrong length of data, got 3, expected exactly 4"},
        {AudioError::data_length_too_short(3, 4), "Wrong length of data, got 3, expected at least 4"},
        {AudioError::event_timeout(), "Handle wait timed out"},
        {AudioError::automatic_format_conversion_in_exclusive_mode(),
         "Cant use automatic format conversion in exclusive mode"},
        {AudioError::loopback_with_exclusive_mode(), "Cant use Loopback with exclusive mode"},
        {AudioError::render_to_capture_device(), "Cant render to a capture device"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(display_text(error), text);
        EXPECT_EQ(error.source(), nullptr) << text;
        EXPECT_EQ(error.hresult(), nullptr) << text;
    }
    EXPECT_NE(display_text(AudioError::event_timeout()).find("timed out"), std::string::npos);
}

TEST(AudioErrorDisplay, GuidIsUpperCaseWithFixedWidths) {
    const GUID guid = {0x0A0BC0DE, 0x00F1, 0xABCD, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(display_text(AudioError::unsupported_subformat(guid)),
              "Got an unknown Subformat: 0A0BC0DE-00F1-ABCD-0123-456789ABCDEF");
}

TEST(AudioErrorDisplay, PlatformKindsShowTheHresultText) {
    const AudioError windows = AudioError::windows(described_error(AUDCLNT_DEVICE_INVALIDATED, L"Device lost.\r\n"));
    EXPECT_EQ(display_text(windows), "Windows returned an error: Device lost. (0x88890004)");
    ASSERT_NE(windows.hresult(), nullptr);
    EXPECT_EQ(windows.source(), windows.hresult());
    EXPECT_EQ(display_text(*windows.source()), "Device lost. (0x88890004)");

    SetErrorInfo(0, nullptr);
    const AudioError notifications = AudioError::register_notifications(HresultError::from_status(E_OUTOFMEMORY));
    EXPECT_EQ(display_text(notifications),
              "Couldn't register session notifications: " + format_message_text(0x8007000E) + " (0x8007000E)");
    ASSERT_NE(notifications.hresult(), nullptr);
    EXPECT_EQ(notifications.source(), nullptr);
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

TEST(ExitReport, WindowsKindGivesTwoNumberedCauses) {
    const AppError error = failed(AudioError::windows(described_error(AUDCLNT_DEVICE_INVALIDATED, L"Device lost.")),
                                  "failed to create audio client");
    EXPECT_EQ(exit_report(error),
              "Error: failed to create audio client\n\nCaused by:\n"
              "    0: Windows returned an error: Device lost. (0x88890004)\n"
              "    1: Device lost. (0x88890004)\n");
}

TEST(ExitReport, InteriorLineBreakKeepsCarriageReturnAndIndentsUnderTheNumber) {
    const AppError error = failed(
        AudioError::windows(described_error(AUDCLNT_DEVICE_INVALIDATED, L"First line.\r\nSecond line.\r\n")),
        "failed to start the stream");
    EXPECT_EQ(exit_report(error),
              "Error: failed to start the stream\n\nCaused by:\n"
              "    0: Windows returned an error: First line.\r\n       Second line. (0x88890004)\n"
              "    1: First line.\r\n       Second line. (0x88890004)\n");
}

TEST(ExitReport, SingleCauseIsNotNumbered) {
    EXPECT_EQ(exit_report(failed(described_error(E_FAIL, L"Line one\nline two"), "failed to open the device")),
              "Error: failed to open the device\n\nCaused by:\n    Line one\n    line two (0x80004005)\n");
    EXPECT_EQ(exit_report(failed(AudioError::data_length_mismatch(3, 4), "bad packet")),
              "Error: bad packet\n\nCaused by:\n    Wrong length of data, got 3, expected exactly 4\n");
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(exit_report(failed(AudioError::register_notifications(HresultError::from_status(E_ACCESSDENIED)),
                                 "failed to watch the session")),
              "Error: failed to watch the session\n\nCaused by:\n    Couldn't register session notifications: " +
                  format_message_text(0x80070005) + " (0x80070005)\n");
}

TEST(ExitReport, OutputErrorShowsTheOsErrorNumber) {
    const std::string pipe_closed = format_message_text(ERROR_NO_DATA);
    ASSERT_FALSE(pipe_closed.empty());
    const AppError error = attach_context(std::expected<void, OutputError>(std::unexpected(OutputError::os(232))),
                                          "failed to write PCM data")
                               .error();
    EXPECT_EQ(exit_report(error),
              "Error: failed to write PCM data\n\nCaused by:\n    " + pipe_closed + " (os error 232)\n");
}

TEST(ExitReport, AttachContextPassesSuccessThrough) {
    auto value = attach_context(std::expected<int, AudioError>(7680), "unused");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, 7680);
    EXPECT_TRUE(attach_context(std::expected<void, OutputError>(), "unused").has_value());
}

TEST(ExitReport, ReportOutcomeWritesTheReportToStandardError) {
    testing::StdHandlePipe stderr_pipe(STD_ERROR_HANDLE);
    EXPECT_EQ(report_outcome({}), 0);
    EXPECT_EQ(stderr_pipe.available(), 0u);
    EXPECT_EQ(report_outcome(std::unexpected(failed(AudioError::event_timeout(), "failed to wait for audio"))), 1);
    EXPECT_EQ(stderr_pipe.read_available(),
              "Error: failed to wait for audio\n\nCaused by:\n    Handle wait timed out\n");
}

}  // namespace
}  // namespace brisvane
