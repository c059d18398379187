#include "output/raw_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

namespace brisvane {
namespace {

// A raw writer that records every write and can be scripted to accept less or fail.
class RecordingWriter final : public RawWriter {
public:
    struct Reply {
        std::size_t limit;  // accept at most this many bytes
        std::optional<OutputError> error;
    };

    std::expected<std::size_t, OutputError> write(std::span<const std::byte> bytes) override {
        calls.push_back(bytes.size());
        std::size_t accept = bytes.size();
        if (!replies.empty()) {
            const Reply reply = replies.front();
            replies.pop_front();
            if (reply.error) return std::unexpected(*reply.error);
            accept = std::min(accept, reply.limit);
        }
        received.insert(received.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(accept));
        return accept;
    }

    std::vector<std::byte> received;
    std::vector<std::size_t> calls;
    std::deque<Reply> replies;
};

// A frame of varied bytes whose last 0x0A is at 7000, 679 bytes before its end.
std::vector<std::byte> frame_with_line_feed_at_7000() {
    std::vector<std::byte> frame(7680);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const auto value = static_cast<unsigned char>(i * 31 % 251);
        frame[i] = static_cast<std::byte>(value == 0x0A ? 0x0B : value);
    }
    frame[7000] = std::byte{0x0A};
    return frame;
}

TEST(WriteAllRaw, WritesTheWholeFrameInAsFewWritesAsTheHandleAllows) {
    const OutputError missing = OutputError::os(ERROR_INVALID_HANDLE_CODE);
    struct Case {
        const char* name;
        std::deque<RecordingWriter::Reply> replies;
        std::vector<std::size_t> calls;
        std::size_t received;  // the leading bytes of the frame that reached the handle
        std::optional<OutputError> error;
    };
    const Case cases[] = {
        {"accepted whole: one write, nothing held", {}, {7680}, 7680, {}},
        {"accepted in parts: each write goes on after the accepted bytes",
         {{1000, {}}, {3, {}}, {5000, {}}}, {7680, 6680, 6677, 1677}, 7680, {}},
        {"a write that accepts nothing fails", {{7001, {}}, {0, {}}}, {7680, 679}, 7001, OutputError::write_zero()},
        {"the first error ends it, the rest unwritten", {{7001, {}}, {0, OutputError::os(232)}}, {7680, 679}, 7001,
         OutputError::os(232)},
        {"a missing handle discards the frame as written", {{0, missing}}, {7680}, 0, {}},
    };
    const auto frame = frame_with_line_feed_at_7000();
    for (const Case& c : cases) {
        RecordingWriter raw;
        raw.replies = c.replies;
        const auto result = write_all_raw(raw, frame);
        EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error) << c.name;
        EXPECT_EQ(raw.calls, c.calls) << c.name;
        EXPECT_TRUE(std::ranges::equal(raw.received, std::span(frame).first(c.received))) << c.name;
    }
}

}  // namespace
}  // namespace brisvane
