#include "output/standard_streams.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "error/display_text.hpp"
#include "error/output_error_text.hpp"
#include "output/line_writer.hpp"
#include "output/std_handle_writer.hpp"
#include "platform_test_support.hpp"

namespace brisvane {
namespace {

using testing::format_message_text;
using testing::StdHandlePipe;

constexpr std::size_t FRAME_BYTES = 7680;

std::span<const std::byte> bytes_of(const std::string& text) { return std::as_bytes(std::span(text)); }

// A frame of varied bytes with no line feed in it.
std::string frame_without_line_feed(unsigned seed) {
    std::string frame(FRAME_BYTES, '\0');
    for (std::size_t i = 0; i < frame.size(); ++i) {
        auto byte = static_cast<unsigned char>((i * 31 + seed * 7) % 256);
        frame[i] = static_cast<char>(byte == 0x0A ? 0x0B : byte);
    }
    return frame;
}

std::string os_error_display(std::uint32_t code) { return display_text(OutputErrorText(OutputError::os(code))); }

// Standard output is one process-wide line writer; each test leaves it holding nothing.
TEST(StandardOutput, FramesWithoutLineFeedReachThePipeByteForByte) {
    StdHandlePipe pipe(STD_OUTPUT_HANDLE);
    std::string expected;
    for (unsigned n = 0; n < 3; ++n) {
        const std::string frame = frame_without_line_feed(n);
        ASSERT_TRUE(lock_output().write_all(bytes_of(frame)).has_value());
        expected += frame;
        EXPECT_EQ(pipe.available(), expected.size()) << "frame " << n << " was held back";
    }
    EXPECT_EQ(pipe.read_available(), expected);
}

TEST(StandardOutput, TailAfterTheLastLineFeedIsHeldUntilTheNextWrite) {
    StdHandlePipe pipe(STD_OUTPUT_HANDLE);
    std::string first = frame_without_line_feed(1);
    first[100] = '\n';
    first[7000] = '\n';
    const std::string second = frame_without_line_feed(2);
    {
        OutputLock output = lock_output();
        ASSERT_TRUE(output.write_all(bytes_of(first)).has_value());
        EXPECT_EQ(pipe.read_available(), first.substr(0, 7001));
        ASSERT_TRUE(output.write_all(bytes_of(second)).has_value());
    }
    EXPECT_EQ(pipe.read_available(), first.substr(7001) + second);

    ASSERT_TRUE(lock_output().write_all(bytes_of("short")).has_value());
    EXPECT_EQ(pipe.available(), 0u);
    ASSERT_TRUE(lock_output().write_all(bytes_of(" line\n")).has_value());
    EXPECT_EQ(pipe.read_available(), "short line\n");
}

TEST(StandardOutput, ClosedReaderFailsWithPipeClosed) {
    {
        StdHandlePipe pipe(STD_OUTPUT_HANDLE);
        pipe.close_reader();
        const auto written = lock_output().write_all(bytes_of(frame_without_line_feed(3)));
        ASSERT_FALSE(written.has_value());
        EXPECT_EQ(written.error(), OutputError::os(ERROR_NO_DATA));
        const std::string pipe_closed = format_message_text(ERROR_NO_DATA);
        ASSERT_FALSE(pipe_closed.empty());
        EXPECT_EQ(display_text(OutputErrorText(written.error())), pipe_closed + " (os error 232)");
    }
    StdHandlePipe next(STD_OUTPUT_HANDLE);
    ASSERT_TRUE(lock_output().write_all(bytes_of("after\n")).has_value());
    EXPECT_EQ(next.read_available(), "after\n");
}

TEST(StandardOutput, MissingHandleDiscardsWritesAndSucceeds) {
    {
        StdHandlePipe unused(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
        EXPECT_EQ(StdHandleWriter(STD_OUTPUT_HANDLE).write(bytes_of("x")), std::unexpected(OutputError::os(6)));
        OutputLock output = lock_output();
        EXPECT_TRUE(output.write_all(bytes_of(frame_without_line_feed(4))).has_value());
        EXPECT_TRUE(output.write_all(bytes_of("held")).has_value());
        EXPECT_TRUE(output.write_all(bytes_of(" and discarded\n")).has_value());
    }
    StdHandlePipe pipe(STD_OUTPUT_HANDLE);
    ASSERT_TRUE(lock_output().write_all(bytes_of("end\n")).has_value());
    EXPECT_EQ(pipe.read_available(), "end\n");
}

TEST(StandardOutput, LineWriterOverStandardHandleHoldsOnlyTheTail) {
    StdHandlePipe pipe(STD_OUTPUT_HANDLE);
    StdHandleWriter raw(STD_OUTPUT_HANDLE);
    LineWriter writer(raw, LINE_BUFFER_BYTES);
    std::string frame = frame_without_line_feed(5);
    frame[7000] = '\n';
    ASSERT_TRUE(writer.write_all(bytes_of(frame)).has_value());
    EXPECT_EQ(pipe.read_available(), frame.substr(0, 7001));
    EXPECT_EQ(writer.held().size(), 679u);
    ASSERT_TRUE(writer.flush_held().has_value());
    EXPECT_EQ(pipe.read_available(), frame.substr(7001));
    EXPECT_TRUE(writer.held().empty());
}

// flush_at_exit runs once per process and leaves standard output unbuffered, so it
// runs in a child process of its own.
void write_then_flush_at_exit() {
    StdHandlePipe pipe(STD_OUTPUT_HANDLE);
    std::string frame = frame_without_line_feed(6);
    frame[7000] = '\n';
    bool ok = lock_output().write_all(bytes_of(frame)).has_value() && pipe.available() == 7001;
    flush_at_exit();
    ok = ok && pipe.read_available() == frame;
    ok = ok && lock_output().write_all(bytes_of("tail")).has_value() && pipe.read_available() == "tail";
    std::fprintf(stderr, ok ? "flushed\n" : "mismatch\n");
    std::exit(ok ? 0 : 1);
}

TEST(StandardOutputDeathTest, FlushAtExitWritesHeldBytesAndStopsBuffering) {
    EXPECT_EXIT(write_then_flush_at_exit(), ::testing::ExitedWithCode(0), "flushed");
}

TEST(StandardError, PrintToStderrWritesExactlyItsBytes) {
    StdHandlePipe pipe(STD_ERROR_HANDLE);
    const std::string text("Error: \xFF\x00 no line feed", 22);
    print_to_stderr(text);
    EXPECT_EQ(pipe.read_available(), text);
}

TEST(StandardError, StderrLockWritesAreUnbuffered) {
    StdHandlePipe pipe(STD_ERROR_HANDLE);
    StderrLock lock;
    ASSERT_TRUE(lock.write_all(bytes_of("Error: ")).has_value());
    EXPECT_EQ(pipe.read_available(), "Error: ");
    ASSERT_TRUE(lock.write_all(bytes_of(frame_without_line_feed(7))).has_value());
    EXPECT_EQ(pipe.read_available(), frame_without_line_feed(7));
}

TEST(StandardError, MissingHandleDiscards) {
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
        ::testing::ExitedWithCode(FAILED_STDERR_EXIT_STATUS), "");
}

TEST(OutputErrorText, OsErrorsShowTheSystemMessageAndNumber) {
    for (const std::uint32_t code : {232u, 109u, 5u}) {
        const std::string message = format_message_text(code);
        ASSERT_FALSE(message.empty());
        EXPECT_EQ(os_error_display(code), message + " (os error " + std::to_string(code) + ")");
    }
}

TEST(OutputErrorText, OsErrorWithoutMessageNamesTheFormatMessageFailure) {
    ASSERT_EQ(format_message_text(74565), "");
    EXPECT_EQ(os_error_display(74565),
              "OS Error 74565 (FormatMessageW() returned error " + std::to_string(ERROR_MR_MID_NOT_FOUND) +
                  ") (os error 74565)");
}

TEST(OutputErrorText, OtherKindsHaveFixedTexts) {
    EXPECT_EQ(display_text(OutputErrorText(OutputError::write_zero())), "failed to write whole buffer");
    EXPECT_EQ(display_text(OutputErrorText(OutputError::buffered_write_zero())), "failed to write the buffered data");
    EXPECT_EQ(display_text(OutputErrorText(OutputError::non_utf8_on_console())),
              "Windows stdio in console mode does not support writing non-UTF-8 byte sequences");
}

}  // namespace
}  // namespace brisvane
