// run_capture's capture loop against the simulated engine: whole frames reach standard
// output in order as soon as they are complete, every wake-up drains the capture
// buffer, timed-out waits are ignored, and a read failure ends the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "engine_test_support.hpp"

namespace brisvane {
namespace {

using fakes::Fault;
using fakes::Method;
using fakes::ObjectKind;
using fakes::Packet;
using testing::as_text;
using testing::CapturedStreams;
using testing::CaptureRun;
using testing::eventually;
using testing::packet_of;
using testing::stream_bytes;
using testing::takes;

constexpr std::size_t FRAME = 7680;

// The loop is idle: `releases` packets were read and the last read reported empty,
// after the frames of those packets were written.
bool settled(const fakes::FakeEngine& engine, unsigned releases) {
    const auto calls = engine.calls();
    return engine.count(Method::ReleaseBuffer) == releases && !calls.empty() &&
           calls.back().method == Method::GetBuffer && calls.back().result == AUDCLNT_S_BUFFER_EMPTY;
}

using WaitFunction = DWORD(WINAPI*)(HANDLE, DWORD);
// Resolved before any hook exists: every thread of the process waits through the hook.
const WaitFunction kernel_wait =
    reinterpret_cast<WaitFunction>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WaitForSingleObject")));

// Where in the engine's call log each wait on the buffer event began, and how it ended.
class BufferWaitLog {
public:
    struct Wait {
        std::size_t calls_before;
        DWORD result;
    };

    explicit BufferWaitLog(fakes::FakeEngine& engine)
        : engine_(engine), hook_("WaitForSingleObject", reinterpret_cast<void*>(&replacement)) {
        active_.store(this);
    }
    ~BufferWaitLog() { active_.store(nullptr); }

    void watch(HANDLE event) { event_.store(event); }
    std::vector<Wait> waits() const {
        std::lock_guard lock(mu_);
        return waits_;
    }

private:
    static DWORD WINAPI replacement(HANDLE handle, DWORD timeout_ms) {
        BufferWaitLog* self = active_.load();
        if (self == nullptr || handle == nullptr || handle != self->event_.load()) {
            return kernel_wait(handle, timeout_ms);
        }
        const std::size_t before = self->engine_.calls().size();
        const DWORD result = kernel_wait(handle, timeout_ms);
        std::lock_guard lock(self->mu_);
        self->waits_.push_back({before, result});
        return result;
    }

    static inline std::atomic<BufferWaitLog*> active_{nullptr};
    fakes::FakeEngine& engine_;
    testing::ImportHook hook_;
    std::atomic<HANDLE> event_{nullptr};
    mutable std::mutex mu_;
    std::vector<Wait> waits_;
};

using DriverLoopTest = testing::EngineTest;

TEST_F(DriverLoopTest, FramesLeaveWhenCompleteAndTheRestWaitsForLaterPackets) {
    CapturedStreams streams;
    CaptureRun run(engine);
    ASSERT_TRUE(eventually([&] { return settled(engine, 0); }));
    // Queued after each read: 15360, 7672 (a sample frame short), 7776, then exactly 7680.
    const std::size_t ends[] = {15360, 23032, 23136, 30720};
    const std::size_t written[] = {15360, 15360, 23040, 30720};
    std::size_t start = 0;
    for (unsigned n = 0; n < 4; ++n) {
        engine.push_packet(packet_of(stream_bytes(start, ends[n])), true);
        ASSERT_TRUE(eventually([&] { return settled(engine, n + 1); })) << "packet " << n;
        const std::size_t before = n == 0 ? 0 : written[n - 1];
        EXPECT_TRUE(takes(streams.out, as_text(stream_bytes(before, written[n])))) << "after packet " << n;
        start = ends[n];
    }
    const auto outcome = run.end_with_read_failure();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "failed to read WASAPI loopback samples");
    EXPECT_EQ(streams.out.take(), "");
    EXPECT_EQ(streams.err.take(), "brisvane started\n");
}

TEST_F(DriverLoopTest, StartedNoticeComesOnceBeforeTheFirstPcmByte) {
    testing::Pipe both;
    testing::StdHandleSwap out(STD_OUTPUT_HANDLE, both.writer());
    testing::StdHandleSwap err(STD_ERROR_HANDLE, both.writer());
    engine.push_packets({packet_of(stream_bytes(0, FRAME)), packet_of(stream_bytes(FRAME, 2 * FRAME))});
    engine.inject(Method::GetBuffer, Fault::fail(AUDCLNT_E_DEVICE_INVALIDATED, 3));
    ASSERT_FALSE(CaptureRun(engine).finish());
    EXPECT_TRUE(takes(both, "brisvane started\n" + as_text(stream_bytes(0, 2 * FRAME))));
}

TEST_F(DriverLoopTest, PacketsPendingBehindOneSignalAreAllReadBeforeTheNextWait) {
    CapturedStreams streams;
    BufferWaitLog log(engine);
    CaptureRun run(engine);
    ASSERT_TRUE(eventually([&] { return settled(engine, 0); }));
    log.watch(engine.event_handle());
    std::vector<Packet> five;
    for (std::size_t n = 0; n < 5; ++n) five.push_back(packet_of(stream_bytes(n * 1536, (n + 1) * 1536)));
    engine.push_packets(std::move(five), true);
    ASSERT_TRUE(eventually([&] { return settled(engine, 5); }));
    const auto calls = engine.calls();
    const auto first_release = std::ranges::find(calls, Method::ReleaseBuffer, &fakes::Call::method) - calls.begin();
    const auto first_read = static_cast<std::size_t>(first_release - 1);
    ASSERT_EQ(calls.size(), first_read + 11);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(calls[first_read + i].method, i % 2 == 0 ? Method::GetBuffer : Method::ReleaseBuffer) << i;
    }
    EXPECT_EQ(calls.back().method, Method::GetBuffer);
    EXPECT_EQ(calls.back().result, AUDCLNT_S_BUFFER_EMPTY);
    // The next wait begins after the empty read, and none began in between.
    ASSERT_TRUE(eventually([&] { return !log.waits().empty() && log.waits().back().calls_before == calls.size(); }));
    for (const auto& wait : log.waits()) {
        EXPECT_FALSE(wait.calls_before > first_read && wait.calls_before < calls.size()) << wait.calls_before;
    }
    EXPECT_TRUE(takes(streams.out, as_text(stream_bytes(0, FRAME))));
    ASSERT_FALSE(run.end_with_read_failure());
}

TEST_F(DriverLoopTest, WaitsThatTimeOutAreIgnored) {
    CapturedStreams streams;
    BufferWaitLog log(engine);
    CaptureRun run(engine);
    ASSERT_TRUE(eventually([&] { return settled(engine, 0); }));
    log.watch(engine.event_handle());
    // No signal comes until one wait has run out (it lasts about three seconds).
    ASSERT_TRUE(eventually([&] {
        const auto waits = log.waits();
        return std::ranges::any_of(waits, [](const auto& w) { return w.result == WAIT_TIMEOUT; });
    }));
    engine.push_packet(packet_of(stream_bytes(0, FRAME)), true);
    ASSERT_TRUE(eventually([&] { return settled(engine, 1); }));
    EXPECT_TRUE(takes(streams.out, as_text(stream_bytes(0, FRAME))));
    const auto outcome = run.end_with_read_failure();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "failed to read WASAPI loopback samples");
}

TEST_F(DriverLoopTest, ReadFailureEndsTheRunAfterEveryCompleteFrameWasWritten) {
    CapturedStreams streams;
    // The first packet holds more than two frames; no wait comes between the reads.
    engine.push_packets({packet_of(stream_bytes(0, 24000)), packet_of(stream_bytes(24000, 32000)),
                         packet_of(stream_bytes(32000, 33600))});
    engine.inject(Method::GetBuffer, Fault::fail(AUDCLNT_E_DEVICE_INVALIDATED, 4)
                                         .with_error_info(testing::error_object(L"Device lost.\r\nReconnect it.")));
    const auto outcome = CaptureRun(engine).finish();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(testing::exit_report(outcome.error()),
              "Error: failed to read WASAPI loopback samples\n\nCaused by:\n"
              "    0: Windows returned an error: Device lost.\r\n       Reconnect it. (0x88890004)\n"
              "    1: Device lost.\r\n       Reconnect it. (0x88890004)\n");
    EXPECT_EQ(streams.out.take(), as_text(stream_bytes(0, 4 * FRAME)));
    EXPECT_EQ(streams.err.take(), "brisvane started\n");
    EXPECT_EQ(engine.count(Method::ReleaseBuffer), 3u);
    for (Method never : {Method::Stop, Method::Reset, Method::GetMixFormat, Method::IsFormatSupported}) {
        EXPECT_EQ(engine.count(never), 0u) << fakes::to_string(never);
    }
    EXPECT_EQ(testing::released_kinds(engine), (std::vector{ObjectKind::Enumerator, ObjectKind::CaptureClient,
                                                            ObjectKind::AudioClient, ObjectKind::Device}));
    EXPECT_EQ(testing::wrongly_released(engine), "");
}

}  // namespace
}  // namespace brisvane
