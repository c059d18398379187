// run_capture's start-up against the simulated engine: what it asks of the engine, and
// for each step that fails, the context it reports, that it goes no further, writes
// nothing, and releases what it made, in reverse order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <variant>

#include "engine_test_support.hpp"

namespace brisvane {
namespace {

using fakes::Call;
using fakes::Fault;
using fakes::Method;
using fakes::ObjectKind;
using testing::CapturedStreams;
using testing::CaptureRun;
using testing::empty_code_display;
using testing::exit_report;
using testing::is_windows_error;
using testing::system_display;

constexpr std::array STARTUP_STEPS = {
    Method::CreateInstance, Method::GetDefaultAudioEndpoint, Method::Activate,
    Method::GetDevicePeriod, Method::Initialize,             Method::GetBufferSize,
    Method::SetEventHandle, Method::GetService,              Method::Start,
};

// The start-up calls up to and including `last`.
std::vector<Method> steps_through(Method last) {
    const auto end = std::ranges::find(STARTUP_STEPS, last);
    return {STARTUP_STEPS.begin(), end == STARTUP_STEPS.end() ? end : end + 1};
}

using DriverStartupTest = testing::EngineTest;

struct FailedStep {
    Method method;
    HRESULT hr;  // S_OK: the call succeeds without handing back its interface
    const char* context;
    std::vector<ObjectKind> released;
};

class DriverStartupFailure : public testing::EngineTest, public ::testing::WithParamInterface<FailedStep> {};

// A failing call leaves an error object, whose text the report shows.
TEST_P(DriverStartupFailure, StopsThereWithItsContextWritesNothingAndReleasesInReverse) {
    const FailedStep& step = GetParam();
    engine.inject(step.method, step.hr == S_OK ? Fault::succeed_null()
                                               : Fault::fail(step.hr).with_error_info(testing::error_object(L"Not now.")));
    CapturedStreams streams;

    const auto outcome = CaptureRun(engine).finish();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), step.context);
    const auto* cause = std::get_if<AudioError>(&outcome.error().layer().cause());
    ASSERT_NE(cause, nullptr);
    EXPECT_TRUE(is_windows_error(*cause, step.hr));
    EXPECT_EQ(display_text(*cause), "Windows returned an error: " + (step.hr == S_OK ? empty_code_display()
                                                                                   : "Not now. (" + hex_form(step.hr) + ")"));
    EXPECT_EQ(engine.sequence(), steps_through(step.method));
    EXPECT_EQ(streams.out.take(), "");
    EXPECT_EQ(streams.err.take(), "");
    EXPECT_EQ(testing::released_kinds(engine), step.released);
    EXPECT_EQ(testing::wrongly_released(engine), "");
}

const std::vector<ObjectKind> NOTHING = {};
const std::vector<ObjectKind> ENUMERATOR = {ObjectKind::Enumerator};
const std::vector<ObjectKind> DEVICE = {ObjectKind::Enumerator, ObjectKind::Device};
const std::vector<ObjectKind> CLIENT = {ObjectKind::Enumerator, ObjectKind::AudioClient, ObjectKind::Device};
const std::vector<ObjectKind> ALL = {ObjectKind::Enumerator, ObjectKind::CaptureClient, ObjectKind::AudioClient,
                                     ObjectKind::Device};
constexpr const char* ENDPOINT_CONTEXT = "failed to open default render endpoint";

INSTANTIATE_TEST_SUITE_P(
    EachStep, DriverStartupFailure,
    ::testing::Values(
        FailedStep{Method::CreateInstance, REGDB_E_CLASSNOTREG, ENDPOINT_CONTEXT, NOTHING},
        FailedStep{Method::CreateInstance, S_OK, ENDPOINT_CONTEXT, NOTHING},
        FailedStep{Method::GetDefaultAudioEndpoint, E_NOTFOUND, ENDPOINT_CONTEXT, ENUMERATOR},
        FailedStep{Method::GetDefaultAudioEndpoint, S_OK, ENDPOINT_CONTEXT, ENUMERATOR},
        FailedStep{Method::Activate, AUDCLNT_E_DEVICE_INVALIDATED, "failed to create audio client", DEVICE},
        FailedStep{Method::Activate, S_OK, "failed to create audio client", DEVICE},
        FailedStep{Method::GetDevicePeriod, AUDCLNT_E_SERVICE_NOT_RUNNING, "failed to get WASAPI device period", CLIENT},
        FailedStep{Method::Initialize, AUDCLNT_E_UNSUPPORTED_FORMAT, "failed to initialize WASAPI loopback client",
                   CLIENT},
        FailedStep{Method::GetBufferSize, AUDCLNT_E_NOT_INITIALIZED, "failed to get WASAPI buffer frame count", CLIENT},
        FailedStep{Method::SetEventHandle, E_HANDLE, "failed to create WASAPI event handle", CLIENT},
        FailedStep{Method::GetService, E_NOINTERFACE, "failed to get capture client", CLIENT},
        FailedStep{Method::GetService, S_OK, "failed to get capture client", CLIENT},
        FailedStep{Method::Start, AUDCLNT_E_DEVICE_IN_USE, "failed to start WASAPI stream", ALL}),
    [](const auto& test) {
        return std::string(fakes::to_string(test.param.method)) + (test.param.hr == S_OK ? "GivesNoObject" : "Fails");
    });

TEST_F(DriverStartupTest, ThreadInASingleThreadedApartmentFailsBeforeAnyEngineCall) {
    CapturedStreams streams;
    HRESULT apartment = E_FAIL;
    const auto outcome = CaptureRun(engine, [&] { apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); })
                             .finish();
    ASSERT_EQ(apartment, S_OK);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "failed to initialize COM");
    const auto* cause = std::get_if<HresultError>(&outcome.error().layer().cause());
    ASSERT_NE(cause, nullptr);
    EXPECT_EQ(cause->code(), RPC_E_CHANGED_MODE);
    EXPECT_EQ(exit_report(outcome.error()),
              "Error: failed to initialize COM\n\nCaused by:\n    " + system_display(RPC_E_CHANGED_MODE) + "\n");
    EXPECT_TRUE(engine.calls().empty());
    EXPECT_EQ(streams.out.take(), "");
    EXPECT_EQ(streams.err.take(), "");
}

TEST_F(DriverStartupTest, ThreadAlreadyInTheMultithreadedApartmentStartsAnyway) {
    engine.inject(Method::GetBuffer, Fault::fail(AUDCLNT_E_DEVICE_INVALIDATED));
    CapturedStreams streams;
    HRESULT apartment = E_FAIL;
    const auto outcome =
        CaptureRun(engine, [&] { apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }).finish();
    ASSERT_EQ(apartment, S_OK) << "so run_capture's own call gives S_FALSE";
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "failed to read WASAPI loopback samples");
    std::vector<Method> expected = steps_through(Method::Start);
    expected.push_back(Method::GetBuffer);
    EXPECT_EQ(engine.sequence(), expected);
    EXPECT_EQ(streams.err.take(), "brisvane started\n");
}

TEST_F(DriverStartupTest, AsksForSharedEventDrivenConvertingLoopbackAtTheMinimumPeriod) {
    engine.set_device_period(100000, 26667);
    engine.inject(Method::GetBufferSize, Fault::fail(E_FAIL));
    CapturedStreams streams;
    ASSERT_FALSE(CaptureRun(engine).finish());
    const Call init = engine.calls_of(Method::Initialize).at(0);
    EXPECT_EQ(static_cast<int>(init.share_mode), 0);
    EXPECT_EQ(init.stream_flags, 0x88060000u);
    EXPECT_EQ(init.buffer_duration, 26667);
    EXPECT_EQ(init.periodicity, 0);
    EXPECT_TRUE(init.session_guid_null);
    const std::array<std::uint8_t, 40> float_stereo_48k = {
        0xfe, 0xff, 0x02, 0x00, 0x80, 0xbb, 0x00, 0x00, 0x00, 0xdc, 0x05, 0x00, 0x08, 0x00,
        0x20, 0x00, 0x16, 0x00, 0x20, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    EXPECT_EQ(init.format_size, 40u);
    EXPECT_EQ(init.format, float_stereo_48k);
    for (Method never : {Method::Stop, Method::Reset, Method::GetMixFormat, Method::IsFormatSupported}) {
        EXPECT_EQ(engine.count(never), 0u) << fakes::to_string(never);
    }
}

TEST_F(DriverStartupTest, ReportShowsAMultiLineErrorObjectUnderTwoNumberedCauses) {
    engine.inject(Method::Initialize, Fault::fail(AUDCLNT_E_UNSUPPORTED_FORMAT)
                                          .with_error_info(testing::error_object(L"Format refused.\r\nTry another.\r\n")));
    CapturedStreams streams;
    const auto outcome = CaptureRun(engine).finish();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(exit_report(outcome.error()),
              "Error: failed to initialize WASAPI loopback client\n\nCaused by:\n"
              "    0: Windows returned an error: Format refused.\r\n       Try another. (0x88890008)\n"
              "    1: Format refused.\r\n       Try another. (0x88890008)\n");
}

TEST_F(DriverStartupTest, ReportOfAMissingCaptureServiceShowsCodeZero) {
    engine.inject(Method::GetService, Fault::succeed_null());
    CapturedStreams streams;
    const auto outcome = CaptureRun(engine).finish();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(exit_report(outcome.error()), "Error: failed to get capture client\n\nCaused by:\n"
                                            "    0: Windows returned an error: " +
                                                empty_code_display() + "\n    1: " + empty_code_display() + "\n");
}

}  // namespace
}  // namespace brisvane
