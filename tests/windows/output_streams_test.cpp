#include "output/standard_streams.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <span>
#include <string>

#include "error/display_text.hpp"
#include "error/output_error_text.hpp"
#include "output/std_handle_writer.hpp"
#include "platform_test_support.hpp"

namespace brisvane {
namespace {

using testing::format_message_text;
using testing::StdHandlePipe;

std::span<const std::byte> bytes_of(const std::string& text) { return std::as_bytes(std::span(text)); }

std::string os_error_display(std::uint32_t code) { return display_text(OutputErrorText(OutputError::os(code))); }

// A frame of varied bytes, a line feed at 7000: 679 bytes after it.
std::string frame_with_tail() {
    std::string frame(7680, '\0');
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 31 % 256 == 0x0A ? 0x0B : i * 31 % 256);
    frame[7000] = '\n';
    return frame;
}

// Standard output on a console: bytes pass as they are when its code page is UTF-8; with any
// other code page only valid UTF-8 goes, as text. Wine gives a usable console only on a
// terminal, so ctest runs this one alone under one (windows_console_tests).
TEST(ConsoleOutput, TakesRawBytesOnlyInTheUtf8CodePage) {
    AllocConsole();  // fails when the process has one already
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(console, INVALID_HANDLE_VALUE);
    DWORD mode = 0;
    ASSERT_TRUE(GetConsoleMode(console, &mode));
    const HANDLE previous = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    const UINT code_page = GetConsoleOutputCP();

    ASSERT_TRUE(SetConsoleOutputCP(437));
    StdHandleWriter writer(STD_OUTPUT_HANDLE);
    EXPECT_EQ(writer.write(bytes_of("\xFF")), std::unexpected(OutputError::non_utf8_on_console()));
    EXPECT_EQ(writer.write(bytes_of("h\xC3\xA9\n")), 4u);
    ASSERT_TRUE(SetConsoleOutputCP(65001));
    EXPECT_EQ(writer.write(bytes_of("\xFF")), 1u);

    SetConsoleOutputCP(code_page);
    SetStdHandle(STD_OUTPUT_HANDLE, previous);
    CloseHandle(console);
}

// Standard output holds nothing back: a frame is in the pipe, whole, when write_all returns,
// whatever bytes it ends with.
TEST(StandardOutput, EveryFrameIsInThePipeWholeWhenWriteAllReturns) {
    StdHandlePipe pipe(STD_OUTPUT_HANDLE);
    const std::string frame = frame_with_tail();
    ASSERT_TRUE(lock_output().write_all(bytes_of(frame)).has_value());
    const std::string arrived = pipe.take();
    EXPECT_EQ(arrived.size(), frame.size());
    EXPECT_TRUE(arrived == frame);
}

// Standard error is unbuffered: each write is in the pipe when the call returns, byte for
// byte; without a handle the text goes nowhere.
TEST(StandardError, WritesArriveAtOnceAndExactly) {
    {
        StdHandlePipe pipe(STD_ERROR_HANDLE);
        const std::string text("Error: \xFF\x00 no line feed", 22);
        print_to_stderr(text);
        EXPECT_EQ(pipe.take(), text);
        StderrLock lock;
        ASSERT_TRUE(lock.write_all(bytes_of("Error: ")).has_value());
        EXPECT_EQ(pipe.take(), "Error: ");
        ASSERT_TRUE(lock.write_all(bytes_of(frame_with_tail())).has_value());
        EXPECT_EQ(pipe.take(), frame_with_tail());
    }
    StdHandlePipe unused(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
    print_to_stderr("nowhere");
    EXPECT_TRUE(StderrLock().write_all(bytes_of("nowhere")).has_value());
}

TEST(StandardErrorDeathTest, BrokenStderrStopsTheProcessWithStatus101) {
    EXPECT_EXIT(
        {
            StdHandlePipe pipe(STD_ERROR_HANDLE);
            pipe.close_reader();
            print_to_stderr("lost");
            std::exit(0);
        },
        ::testing::ExitedWithCode(101), "");
}

TEST(OutputErrorText, EachKindHasItsText) {
    for (const std::uint32_t code : {232u, 109u, 5u}) {
        const std::string message = format_message_text(code);
        ASSERT_FALSE(message.empty());
        EXPECT_EQ(os_error_display(code), message + " (os error " + std::to_string(code) + ")");
    }
    ASSERT_EQ(format_message_text(74565), "");
    EXPECT_EQ(os_error_display(74565), "OS Error 74565 (FormatMessageW() returned error 317) (os error 74565)");
    EXPECT_EQ(display_text(OutputErrorText(OutputError::write_zero())), "failed to write whole buffer");
    EXPECT_EQ(display_text(OutputErrorText(OutputError::non_utf8_on_console())),
              "Windows stdio in console mode does not support writing non-UTF-8 byte sequences");
}

}  // namespace
}  // namespace brisvane
