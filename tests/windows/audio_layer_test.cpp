// The audio layer against the simulated engine: which calls it makes and with what,
// what it keeps of their results, and how each failure becomes its AudioError.
#include <gtest/gtest.h>

#include <optional>

#include "audio/buffer_event.hpp"
#include "audio/capture_format.hpp"
#include "audio/endpoint_device.hpp"
#include "audio/packet_reader.hpp"
#include "audio/stream_client.hpp"
#include "engine_test_support.hpp"

namespace brisvane {
namespace {

using fakes::Call;
using fakes::Fault;
using fakes::Method;
using fakes::ObjectKind;
using fakes::Packet;
using testing::CoCreateSpy;
using testing::is_windows_error;
using testing::packet_of;
using testing::stream_bytes;

const ClientMode LOOPBACK_MODE = SharedEventDriven{.convert_format = true, .buffer_hns = 30000};

std::vector<std::uint8_t> drain(PcmQueue& queue) {
    std::vector<std::uint8_t> bytes;
    while (const auto byte = queue.pop_front()) bytes.push_back(std::to_integer<std::uint8_t>(*byte));
    return bytes;
}

void append(PcmQueue& queue, const std::vector<std::uint8_t>& bytes) {
    queue.append(std::as_bytes(std::span(bytes)));
}

std::vector<std::uint8_t> joined(std::vector<std::uint8_t> first, const std::vector<std::uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class AudioLayerTest : public testing::EngineTest {
protected:
    void open_client() {
        auto endpoint = open_default_endpoint(Direction::Render);
        ASSERT_TRUE(endpoint) << display_text(endpoint.error());
        endpoint_.emplace(std::move(*endpoint));
        auto client = activate_client(*endpoint_);
        ASSERT_TRUE(client) << display_text(client.error());
        client_.emplace(std::move(*client));
    }
    void open_reader() {
        ASSERT_NO_FATAL_FAILURE(open_client());
        auto initialized = initialize_client(*client_, CAPTURE_FORMAT, Direction::Capture, LOOPBACK_MODE);
        ASSERT_TRUE(initialized) << display_text(initialized.error());
        auto reader = capture_service(*client_);
        ASSERT_TRUE(reader) << display_text(reader.error());
        reader_.emplace(std::move(*reader));
    }

    std::optional<EndpointDevice> endpoint_;
    std::optional<StreamClient> client_;
    std::optional<PacketReader> reader_;
};

// --- endpoint and client ---

TEST_F(AudioLayerTest, DefaultEndpointIsTheConsoleRenderDeviceAndTheEnumeratorGoesAtOnce) {
    CoCreateSpy spy;
    auto endpoint = open_default_endpoint(Direction::Render);
    ASSERT_TRUE(endpoint) << display_text(endpoint.error());

    ASSERT_EQ(spy.calls().size(), 1u);
    EXPECT_TRUE(IsEqualCLSID(spy.calls()[0].clsid, fakes::kClsidMMDeviceEnumerator));
    EXPECT_FALSE(spy.calls()[0].outer_non_null);
    EXPECT_EQ(spy.calls()[0].context, 0x17u);
    EXPECT_TRUE(IsEqualIID(spy.calls()[0].iid, __uuidof(IMMDeviceEnumerator)));
    EXPECT_TRUE(IsEqualIID(engine.calls_of(Method::CreateInstance).at(0).iid, __uuidof(IMMDeviceEnumerator)));

    const Call get = engine.calls_of(Method::GetDefaultAudioEndpoint).at(0);
    EXPECT_EQ(static_cast<int>(get.data_flow), 0) << "eRender";
    EXPECT_EQ(static_cast<int>(get.role), 0) << "eConsole";
    EXPECT_EQ(endpoint->direction, Direction::Render);
    EXPECT_EQ(engine.release_order(), std::vector{ObjectKind::Enumerator}) << "enumerator released, device kept";
    EXPECT_EQ(engine.objects_of(ObjectKind::Device).at(0).refs, 1);
}

TEST_F(AudioLayerTest, ClientIsActivatedAsIAudioClientInEveryContextWithoutParameters) {
    ASSERT_NO_FATAL_FAILURE(open_client());
    const Call activate = engine.calls_of(Method::Activate).at(0);
    EXPECT_TRUE(IsEqualIID(activate.iid, __uuidof(IAudioClient)));
    EXPECT_EQ(activate.clsctx, 0x17u);
    EXPECT_FALSE(activate.params_non_null);
    EXPECT_EQ(client_->direction(), Direction::Render);
    EXPECT_EQ(client_->share_mode(), std::nullopt);
    EXPECT_EQ(client_->event_driven(), std::nullopt);
    EXPECT_EQ(client_->bytes_per_frame(), std::nullopt);
}

// --- initialisation ---

// The arguments Initialize gets are the driver's to show (driver_startup_test); here, what the
// client keeps of a call that succeeded and of one that failed.
TEST_F(AudioLayerTest, InitializeRecordsTheStreamOnlyWhenItSucceeds) {
    ASSERT_NO_FATAL_FAILURE(open_client());
    engine.inject(Method::Initialize, Fault::fail(AUDCLNT_E_UNSUPPORTED_FORMAT));
    const auto refused = initialize_client(*client_, CAPTURE_FORMAT, Direction::Capture, LOOPBACK_MODE);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(is_windows_error(refused.error(), AUDCLNT_E_UNSUPPORTED_FORMAT));
    EXPECT_EQ(client_->direction(), Direction::Render);
    EXPECT_EQ(client_->share_mode(), std::nullopt);
    EXPECT_EQ(client_->event_driven(), std::nullopt);
    EXPECT_EQ(client_->bytes_per_frame(), std::nullopt);

    ASSERT_TRUE(initialize_client(*client_, CAPTURE_FORMAT, Direction::Capture, LOOPBACK_MODE));
    EXPECT_EQ(client_->direction(), Direction::Capture);
    EXPECT_EQ(client_->share_mode(), std::optional<std::uint32_t>(0));
    EXPECT_EQ(client_->event_driven(), std::optional<bool>(true));
    EXPECT_EQ(client_->bytes_per_frame(), std::optional<std::size_t>(8));
}

TEST_F(AudioLayerTest, BufferFrameCountIsWhatGetBufferSizeGives) {
    engine.set_buffer_frames(1056);
    ASSERT_NO_FATAL_FAILURE(open_reader());
    const auto frames = buffer_frame_count(*client_);
    ASSERT_TRUE(frames);
    EXPECT_EQ(*frames, 1056u);
}

// --- buffer event ---

TEST_F(AudioLayerTest, BufferEventIsAnUnsignalledAutoResetEventGivenToTheClient) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    const auto event = create_buffer_event(*client_);
    ASSERT_TRUE(event) << display_text(event.error());
    const HANDLE handle = event->handle();
    ASSERT_EQ(engine.calls_of(Method::SetEventHandle).size(), 1u);
    EXPECT_EQ(engine.calls_of(Method::SetEventHandle)[0].handle, handle);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "created signalled";
    SetEvent(handle);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not auto-reset";
}

TEST(BufferEventWait, ASignalIsSuccessAndEveryOtherOutcomeIsEventTimeout) {
    const HANDLE signalled = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    const BufferEvent event(signalled);
    EXPECT_TRUE(wait_buffer_event(event, 0));
    const auto timed_out = wait_buffer_event(event, 0);
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(timed_out.error().kind(), AudioError::Kind::EventTimeout);
    EXPECT_EQ(display_text(timed_out.error()), "Handle wait timed out");

    const BufferEvent invalid(nullptr);
    ASSERT_EQ(WaitForSingleObject(invalid.handle(), 0), WAIT_FAILED);
    const auto failed = wait_buffer_event(invalid, 0);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), AudioError::Kind::EventTimeout);
    EXPECT_EQ(display_text(failed.error()), "Handle wait timed out");
    CloseHandle(signalled);
}

// --- capture service and packets ---

TEST_F(AudioLayerTest, CaptureServiceTakesTheFrameSizeOfTheInitialisedStream) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    EXPECT_TRUE(IsEqualIID(engine.calls_of(Method::GetService).at(0).iid, __uuidof(IAudioCaptureClient)));
    EXPECT_EQ(reader_->bytes_per_frame(), 8u);
    EXPECT_EQ(reader_->share_mode(), std::optional<std::uint32_t>(0));
}

TEST_F(AudioLayerTest, ClientNotInitialisedThroughTheLayerReadsPacketsWithoutKeepingBytes) {
    ASSERT_NO_FATAL_FAILURE(open_client());
    // The engine side is initialised, the StreamClient knows nothing of it.
    ASSERT_EQ(client_->get()->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 30000, 0,
                                         &CAPTURE_FORMAT.Format, nullptr),
              S_OK);
    auto reader = capture_service(*client_);
    ASSERT_TRUE(reader) << display_text(reader.error());
    EXPECT_EQ(reader->bytes_per_frame(), 0u);
    EXPECT_EQ(reader->share_mode(), std::nullopt);

    engine.push_packet(packet_of(stream_bytes(0, 24)));
    PcmQueue queue(64);
    const auto info = read_packet(*reader, queue);
    ASSERT_TRUE(info) << display_text(info.error());
    EXPECT_EQ(info->frames, 3u);
    EXPECT_EQ(queue.size(), 0u);
    ASSERT_EQ(engine.calls_of(Method::ReleaseBuffer).size(), 1u);
    EXPECT_EQ(engine.calls_of(Method::ReleaseBuffer)[0].frames, 3u);
}

TEST_F(AudioLayerTest, EmptyReadsLeaveTheQueueAndReleaseNothing) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    PcmQueue queue(64);
    append(queue, {0xA1, 0xA2, 0xA3});
    const auto nothing = read_packet(*reader_, queue);
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->frames, 0u);

    Packet empty;
    empty.frames = 0;
    empty.flags = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY | AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;
    empty.device_position = 4800;
    empty.qpc_position = 123456789;
    engine.push_packet(empty);
    const auto info = read_packet(*reader_, queue);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->frames, 0u);
    EXPECT_EQ(info->device_position, 4800u);
    EXPECT_EQ(info->qpc_position, 123456789u);
    EXPECT_TRUE(info->data_discontinuity);
    EXPECT_FALSE(info->silent);
    EXPECT_TRUE(info->timestamp_error);
    EXPECT_EQ(engine.count(Method::ReleaseBuffer), 0u);
    EXPECT_EQ(drain(queue), (std::vector<std::uint8_t>{0xA1, 0xA2, 0xA3}));
}

TEST_F(AudioLayerTest, PacketFramesAreAppendedInOrderThenReleasedOnce) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    Packet packet = packet_of(stream_bytes(0, 32));
    packet.frames = 3;  // the buffer holds 32 bytes, the packet only 24 of them
    packet.device_position = 960;
    packet.qpc_position = 55;
    engine.push_packet(packet);
    PcmQueue queue(64);
    append(queue, {0xA1, 0xA2});
    const auto info = read_packet(*reader_, queue);
    ASSERT_TRUE(info) << display_text(info.error());
    EXPECT_EQ(info->frames, 3u);
    EXPECT_EQ(info->device_position, 960u);
    EXPECT_EQ(info->qpc_position, 55u);
    EXPECT_FALSE(info->silent || info->data_discontinuity || info->timestamp_error);
    // Released packets read back as 0xDD, so these bytes were copied before the release.
    EXPECT_EQ(drain(queue), joined({0xA1, 0xA2}, stream_bytes(0, 24)));
    const auto releases = engine.calls_of(Method::ReleaseBuffer);
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].frames, 3u);
    EXPECT_EQ(releases[0].result, S_OK);
}

TEST_F(AudioLayerTest, SilentPacketBytesAreCopiedAsDelivered) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    engine.push_packet(packet_of(stream_bytes(100, 116), AUDCLNT_BUFFERFLAGS_SILENT));
    PcmQueue queue(64);
    const auto info = read_packet(*reader_, queue);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->silent);
    EXPECT_EQ(drain(queue), stream_bytes(100, 116));
}

TEST_F(AudioLayerTest, GetBufferFailureLeavesTheQueueAndShowsTheErrorObject) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    engine.inject(Method::GetBuffer, Fault::fail(AUDCLNT_E_DEVICE_INVALIDATED)
                                         .with_error_info(testing::error_object(L"The endpoint was unplugged.")));
    PcmQueue queue(64);
    append(queue, {0x01, 0x02});
    const auto info = read_packet(*reader_, queue);
    ASSERT_FALSE(info);
    EXPECT_TRUE(is_windows_error(info.error(), AUDCLNT_E_DEVICE_INVALIDATED));
    EXPECT_EQ(display_text(info.error()), "Windows returned an error: The endpoint was unplugged. (0x88890004)");
    EXPECT_EQ(engine.count(Method::ReleaseBuffer), 0u);
    EXPECT_EQ(drain(queue), (std::vector<std::uint8_t>{0x01, 0x02}));
}

TEST_F(AudioLayerTest, ReleaseBufferFailureComesAfterThePacketWasQueued) {
    ASSERT_NO_FATAL_FAILURE(open_reader());
    Packet packet = packet_of(stream_bytes(0, 16));
    packet.release_result = AUDCLNT_E_BUFFER_ERROR;
    engine.push_packet(packet);
    PcmQueue queue(64);
    const auto info = read_packet(*reader_, queue);
    ASSERT_FALSE(info);
    EXPECT_TRUE(is_windows_error(info.error(), AUDCLNT_E_BUFFER_ERROR));
    EXPECT_EQ(drain(queue), stream_bytes(0, 16));
}

}  // namespace
}  // namespace brisvane
