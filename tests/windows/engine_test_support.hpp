// Shared by the audio layer and capture driver suites: the fake engine registered in
// this process, standard handles swapped for pipes, run_capture on a thread of its own,
// and the byte pattern that the packets carry.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_engine.hpp"
#include "fake_registration.hpp"
#include "error/app_error.hpp"
#include "error/display_text.hpp"
#include "error/hresult_code.hpp"
#include "error/report_text.hpp"
#include "import_hook.hpp"
#include "main/capture_driver.hpp"
#include "platform_test_support.hpp"

namespace brisvane::testing {

using fakes::FakeEngine;

// The fake engine, reachable through CoCreateInstance from any MTA thread of the test.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorInfo(0, nullptr);  // no error object left over from an earlier test
        ASSERT_TRUE(registration.ok()) << std::hex << registration.result();
    }
    void TearDown() override { SetErrorInfo(0, nullptr); }

    FakeEngine engine;
    fakes::ClassRegistration registration{engine};
};

// "message (0xHHHHHHHH)" with the system's own text for the code, or the hex alone.
inline std::string system_display(HRESULT code) {
    const std::string message = format_message_text(static_cast<DWORD>(code));
    return message.empty() ? hex_form(code) : message + " (" + hex_form(code) + ")";
}

// The display of a call that succeeded without handing back an object: code 0.
inline std::string empty_code_display() { return system_display(0); }

inline std::string exit_report(const AppError& error) {
    StringSink sink;
    EXPECT_TRUE(write_exit_report(error.layer(), sink));
    return sink.text();
}

inline ::testing::AssertionResult is_windows_error(const AudioError& error, HRESULT code) {
    if (error.kind() != AudioError::Kind::Windows || error.hresult() == nullptr) {
        return ::testing::AssertionFailure() << "not a Windows error: " << display_text(error);
    }
    if (error.hresult()->code() != code) {
        return ::testing::AssertionFailure() << "code " << hex_form(error.hresult()->code()) << ", wanted "
                                             << hex_form(code);
    }
    return ::testing::AssertionSuccess();
}

// Stream byte i: i * 7 + (i >> 8), so reordering at any period shows; never a line feed.
inline std::vector<std::uint8_t> stream_bytes(std::size_t from, std::size_t to) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = from; i < to; ++i) {
        const auto byte = static_cast<std::uint8_t>(i * 7 + (i >> 8));
        bytes.push_back(byte == 0x0A ? 0x0B : byte);
    }
    return bytes;
}

inline std::string as_text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// What a failing fake call leaves as the thread's error object.
inline fakes::ErrorInfoContent error_object(std::wstring description) {
    fakes::ErrorInfoContent content;
    content.description = std::move(description);
    return content;
}

inline fakes::Packet packet_of(std::vector<std::uint8_t> bytes, DWORD flags = 0) {
    fakes::Packet packet;
    packet.bytes = std::move(bytes);
    packet.flags = flags;
    return packet;
}

// The object kinds in the order they reached refcount zero, error objects left out.
inline std::vector<fakes::ObjectKind> released_kinds(const FakeEngine& engine) {
    std::vector<fakes::ObjectKind> kinds = engine.release_order();
    std::erase(kinds, fakes::ObjectKind::ErrorInfo);
    return kinds;
}

// Every audio object that was made and is not released exactly once, by name.
inline std::string wrongly_released(const FakeEngine& engine) {
    std::string wrong;
    for (const fakes::ObjectStats& s : engine.objects()) {
        if (s.kind == fakes::ObjectKind::ErrorInfo) continue;
        if (!s.destroyed || s.over_released || s.releases != s.add_refs + 1) {
            wrong += std::string(fakes::to_string(s.kind)) + " ";
        }
    }
    return wrong;
}

// Whether the pipe delivers exactly `expected` next (waiting for that many bytes to arrive).
inline ::testing::AssertionResult takes(Pipe& pipe, const std::string& expected) {
    const std::string got = pipe.take(expected.size());
    if (got == expected) return ::testing::AssertionSuccess();
    const auto mismatch = std::ranges::mismatch(got, expected);
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, expected " << expected.size()
                                         << ", first difference at byte " << (mismatch.in1 - got.begin());
}

// Standard output and standard error, each into a pipe of its own.
struct CapturedStreams {
    StdHandlePipe out{STD_OUTPUT_HANDLE};
    StdHandlePipe err{STD_ERROR_HANDLE};
};

// run_capture on a new thread; `prepare` runs on that thread first. If the test leaves
// the run going, the destructor ends it through a read failure.
class CaptureRun {
public:
    explicit CaptureRun(FakeEngine& engine, std::function<void()> prepare = {})
        : engine_(engine), thread_([this, prepare = std::move(prepare)] {
              if (prepare) prepare();
              result_.emplace(run_capture());
          }) {}
    ~CaptureRun() {
        if (thread_.joinable()) {
            engine_.push_get_buffer_failure(E_ABORT, true);
            thread_.join();
        }
    }
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    std::expected<void, AppError> finish() {
        thread_.join();
        return std::move(*result_);
    }
    // Makes the next read fail, so that the loop returns, and gives its result.
    std::expected<void, AppError> end_with_read_failure() {
        engine_.push_get_buffer_failure(AUDCLNT_E_DEVICE_INVALIDATED, true);
        return finish();
    }

private:
    FakeEngine& engine_;
    std::optional<std::expected<void, AppError>> result_;
    std::thread thread_;
};

// Records the arguments of every CoCreateInstance call made while it exists, and
// passes the call on to COM.
class CoCreateSpy {
public:
    struct Args {
        CLSID clsid;
        bool outer_non_null;
        DWORD context;
        IID iid;
    };

    CoCreateSpy() : hook_("CoCreateInstance", reinterpret_cast<void*>(&replacement)) {
        original_ = reinterpret_cast<Function>(hook_.original());
        active_ = this;
    }
    ~CoCreateSpy() { active_ = nullptr; }
    CoCreateSpy(const CoCreateSpy&) = delete;
    CoCreateSpy& operator=(const CoCreateSpy&) = delete;

    const std::vector<Args>& calls() const { return calls_; }

private:
    using Function = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    static HRESULT WINAPI replacement(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
        if (CoCreateSpy* self = active_) self->calls_.push_back({clsid, outer != nullptr, context, iid});
        return original_(clsid, outer, context, iid, out);
    }

    static inline CoCreateSpy* active_ = nullptr;
    static inline Function original_ = nullptr;
    std::vector<Args> calls_;
    ImportHook hook_;
};

}  // namespace brisvane::testing
