#include "output/line_writer.hpp"
#include <algorithm>

#include <gtest/gtest.h>

#include <deque>
#include <string>
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

std::vector<std::byte> frame_with_line_feeds(std::initializer_list<std::size_t> positions, int seed) {
    std::vector<std::byte> frame(7680);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        auto value = static_cast<unsigned char>((i * 31 + static_cast<std::size_t>(seed)) % 251);
        if (value == 0x0A) value = 0x0B;
        frame[i] = static_cast<std::byte>(value);
    }
    for (auto position : positions) frame[position] = std::byte{0x0A};
    return frame;
}

std::vector<std::byte> text(const std::string& s) {
    std::vector<std::byte> out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = static_cast<std::byte>(s[i]);
    return out;
}

class LineWriterTest : public ::testing::Test {
protected:
    RecordingWriter raw;
    LineWriter writer{raw, LINE_BUFFER_BYTES};
};

TEST_F(LineWriterTest, FrameWithoutLineFeedIsWrittenWholeAndNothingHeld) {
    const auto frame = frame_with_line_feeds({}, 1);
    ASSERT_TRUE(writer.write_all(frame));
    EXPECT_EQ(raw.received, frame);
    EXPECT_EQ(raw.calls, std::vector<std::size_t>{7680});
    EXPECT_TRUE(writer.held().empty());
}

TEST_F(LineWriterTest, FrameEndingInLineFeedLeavesNothingHeld) {
    const auto frame = frame_with_line_feeds({7679}, 2);
    ASSERT_TRUE(writer.write_all(frame));
    EXPECT_EQ(raw.received, frame);
    EXPECT_TRUE(writer.held().empty());
}

TEST_F(LineWriterTest, ShortTailAfterLastLineFeedIsHeldUntilTheNextFrame) {
    const auto first = frame_with_line_feeds({20, 7000}, 3);
    const auto second = frame_with_line_feeds({}, 4);
    ASSERT_TRUE(writer.write_all(first));
    EXPECT_EQ(raw.received, std::vector<std::byte>(first.begin(), first.begin() + 7001));
    ASSERT_EQ(writer.held().size(), 679u);

    ASSERT_TRUE(writer.write_all(second));
    std::vector<std::byte> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(raw.received, expected);
    EXPECT_TRUE(writer.held().empty());
}

TEST_F(LineWriterTest, HeldTailGoesOutBeforeTheNextFramesLines) {
    const auto first = frame_with_line_feeds({7000}, 5);
    const auto second = frame_with_line_feeds({7500}, 6);
    ASSERT_TRUE(writer.write_all(first));
    ASSERT_TRUE(writer.write_all(second));
    std::vector<std::byte> expected = first;
    expected.insert(expected.end(), second.begin(), second.begin() + 7501);
    EXPECT_EQ(raw.received, expected);
    EXPECT_EQ(writer.held().size(), 179u);
    ASSERT_TRUE(writer.flush_held());
    expected.insert(expected.end(), second.begin() + 7501, second.end());
    EXPECT_EQ(raw.received, expected);
}

TEST_F(LineWriterTest, TailOfBufferSizeOrMoreIsWrittenThrough) {
    const auto frame = frame_with_line_feeds({100}, 7);
    ASSERT_TRUE(writer.write_all(frame));
    EXPECT_EQ(raw.received, frame);
    EXPECT_TRUE(writer.held().empty());

    const auto exact = frame_with_line_feeds({7680 - 1025}, 8);  // tail of exactly 1024 bytes
    ASSERT_TRUE(writer.write_all(exact));
    EXPECT_TRUE(writer.held().empty());
    const auto just_under = frame_with_line_feeds({7680 - 1024}, 9);  // tail of 1023 bytes
    ASSERT_TRUE(writer.write_all(just_under));
    EXPECT_EQ(writer.held().size(), 1023u);
}

TEST_F(LineWriterTest, ShortTextIsHeldAndAHeldLineIsFinishedBeforeMore) {
    ASSERT_TRUE(writer.write_all(text("abc")));
    EXPECT_TRUE(raw.received.empty());
    ASSERT_TRUE(writer.write_all(text("d\nef")));
    EXPECT_EQ(raw.received, text("abcd\n"));
    EXPECT_EQ(writer.held().size(), 2u);
    ASSERT_TRUE(writer.write_all(text("\n")));
    EXPECT_EQ(raw.received, text("abcd\nef\n"));
    // The held bytes end a line, so they must not wait for the next line feed.
    ASSERT_TRUE(writer.write_all(text("x\n")));
    ASSERT_TRUE(writer.write_all(text("y")));
    EXPECT_EQ(raw.received, text("abcd\nef\nx\n"));
    EXPECT_EQ(writer.held().size(), 1u);
}

TEST_F(LineWriterTest, PartialRawWritesContinueAfterTheAcceptedBytes) {
    raw.replies = {{1000, {}}, {3, {}}, {5000, {}}};
    const auto frame = frame_with_line_feeds({}, 10);
    ASSERT_TRUE(writer.write_all(frame));
    EXPECT_EQ(raw.received, frame);
    EXPECT_EQ(raw.calls, (std::vector<std::size_t>{7680, 6680, 6677, 1677}));
}

TEST_F(LineWriterTest, ZeroByteDirectWriteFailsAsWriteZero) {
    raw.replies = {{0, {}}};
    const auto result = writer.write_all(frame_with_line_feeds({}, 11));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), OutputError::write_zero());
}

TEST_F(LineWriterTest, ZeroByteWriteOfHeldBytesFailsAndKeepsThemHeld) {
    ASSERT_TRUE(writer.write_all(frame_with_line_feeds({7000}, 12)));
    raw.replies = {{100, {}}, {0, {}}};
    const auto before = raw.received.size();
    const auto result = writer.flush_held();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), OutputError::buffered_write_zero());
    EXPECT_EQ(raw.received.size(), before + 100);
    EXPECT_EQ(writer.held().size(), 579u) << "accepted bytes leave the buffer, the rest stay";
}

TEST_F(LineWriterTest, ErrorWhileWritingHeldBytesStopsTheFrame) {
    const auto first = frame_with_line_feeds({7000}, 13);
    ASSERT_TRUE(writer.write_all(first));
    raw.replies = {{0, OutputError::os(232)}};
    const auto before = raw.received.size();
    const auto result = writer.write_all(frame_with_line_feeds({}, 14));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), OutputError::os(232));
    EXPECT_EQ(raw.received.size(), before) << "later bytes are neither written";
    EXPECT_EQ(writer.held().size(), 679u) << "nor held";
}

TEST_F(LineWriterTest, MissingHandleCountsAsEverythingWritten) {
    raw.replies = {{0, OutputError::os(ERROR_INVALID_HANDLE_CODE)}, {0, OutputError::os(ERROR_INVALID_HANDLE_CODE)},
                   {0, OutputError::os(ERROR_INVALID_HANDLE_CODE)}};
    ASSERT_TRUE(writer.write_all(frame_with_line_feeds({7000}, 15)));
    EXPECT_EQ(writer.held().size(), 679u);
    ASSERT_TRUE(writer.write_all(frame_with_line_feeds({}, 16)));
    EXPECT_TRUE(writer.held().empty());
    EXPECT_TRUE(raw.received.empty());
    EXPECT_EQ(raw.calls.size(), 3u);
}

TEST_F(LineWriterTest, ZeroCapacityWritesEverythingThrough) {
    writer.reset_capacity(0);
    ASSERT_TRUE(writer.write_all(text("ab\ncd")));
    EXPECT_EQ(raw.received, text("ab\ncd"));
    EXPECT_TRUE(writer.held().empty());
}

TEST(RawWriteAll, RepeatsUntilAllAcceptedAndFailsOnZero) {
    RecordingWriter raw;
    raw.replies = {{2, {}}, {2, {}}};
    ASSERT_TRUE(write_all_raw(raw, text("abcdef")));
    EXPECT_EQ(raw.received, text("abcdef"));
    EXPECT_EQ(raw.calls, (std::vector<std::size_t>{6, 4, 2}));

    raw.replies = {{1, {}}, {0, {}}};
    const auto result = write_all_raw(raw, text("xyz"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), OutputError::write_zero());
}

// Every byte reaches the writer exactly once and in order, whatever the line feeds.
TEST(LineWriterStream, ManyFramesArriveExactlyOnceInOrder) {
    RecordingWriter raw;
    LineWriter writer(raw, LINE_BUFFER_BYTES);
    std::vector<std::byte> sent;
    for (int i = 0; i < 200; ++i) {
        const std::size_t position = static_cast<std::size_t>(i * 37 % 7680);
        const auto frame = i % 3 == 0 ? frame_with_line_feeds({}, i) : frame_with_line_feeds({position}, i);
        sent.insert(sent.end(), frame.begin(), frame.end());
        ASSERT_TRUE(writer.write_all(frame));
        ASSERT_LT(writer.held().size(), 1024u);
    }
    ASSERT_TRUE(writer.flush_held());
    EXPECT_EQ(raw.received, sent);
}

}  // namespace
}  // namespace brisvane

#include "output/line_feed_search.hpp"

namespace brisvane {
namespace {

std::size_t naive_last_line_feed(std::span<const std::byte> bytes) {
    for (std::size_t i = bytes.size(); i > 0; --i) {
        if (bytes[i - 1] == std::byte{0x0A}) return i - 1;
    }
    return bytes.size();
}

// The block-wise search agrees with a byte-by-byte one at every length up to three
// 128-byte blocks and a tail, with a line feed at every position, alone and behind others.
TEST(LineFeedSearch, AgreesWithByteByByteSearch) {
    std::vector<std::byte> data(400, std::byte{0x41});
    for (std::size_t length = 0; length <= 390; ++length) {
        const std::span<const std::byte> view(data.data() + 3, length);
        EXPECT_EQ(find_last_line_feed(view), length);
        for (std::size_t position = 0; position < length; ++position) {
            data[3 + position] = std::byte{0x0A};
            ASSERT_EQ(find_last_line_feed(view), position) << length;
            if (position % 5 != 0) data[3 + position] = std::byte{0x41};
        }
        ASSERT_EQ(find_last_line_feed(view), naive_last_line_feed(view)) << length;
        std::fill(data.begin(), data.end(), std::byte{0x41});
    }
    data.assign(7680, std::byte{0x0B});
    data[5] = std::byte{0x0A};
    data[7000] = std::byte{0x0A};
    EXPECT_EQ(find_last_line_feed(data), 7000u);
}

}  // namespace
}  // namespace brisvane
