#include "output/pcm_queue.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace brisvane {
namespace {

std::byte b(int value) { return static_cast<std::byte>(value & 0xFF); }

std::vector<std::byte> drain(PcmQueue& queue) {
    std::vector<std::byte> out;
    while (auto value = queue.pop_front()) out.push_back(*value);
    return out;
}

// Builds a full queue of `capacity` whose contents wrap: head at `head`.
PcmQueue wrapped_full_queue(std::size_t capacity, std::size_t head, int first_value) {
    PcmQueue queue(capacity);
    for (std::size_t i = 0; i < head; ++i) queue.push_back(b(0xEE));
    for (std::size_t i = 0; i < head; ++i) queue.pop_front();
    for (std::size_t i = 0; i < capacity; ++i) queue.push_back(b(first_value + static_cast<int>(i)));
    return queue;
}

// Growth of a full, wrapped queue, for every head position: the shorter run is the
// one that moves, and the order is kept either way.
TEST(PcmQueue, GrowthWithWrappedContentsKeepsOrderForEveryHead) {
    for (std::size_t head = 0; head < 16; ++head) {
        PcmQueue queue = wrapped_full_queue(16, head, 0);
        queue.push_back(b(16));
        EXPECT_EQ(queue.capacity(), 32u);
        for (int i = 17; i < 32; ++i) queue.push_back(b(i));
        EXPECT_EQ(queue.capacity(), 32u) << "no second growth for head " << head;
        const auto out = drain(queue);
        ASSERT_EQ(out.size(), 32u);
        for (int i = 0; i < 32; ++i) ASSERT_EQ(out[static_cast<std::size_t>(i)], b(i)) << "head " << head;
    }
}

TEST(PcmQueue, TakeFrameReturnsFirstBytesAndLeavesTheRestInOrder) {
    PcmQueue queue(23040);
    for (int i = 0; i < 7780; ++i) queue.push_back(b(i * 7));
    const auto frame = queue.take_frame();
    for (std::size_t i = 0; i < FRAME_BYTES; ++i) ASSERT_EQ(frame[i], b(static_cast<int>(i) * 7)) << i;
    ASSERT_EQ(queue.size(), 100u);
    const auto rest = drain(queue);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(rest[static_cast<std::size_t>(i)], b((7680 + i) * 7));
}

TEST(PcmQueue, TakeFrameAcrossTheEndOfStorage) {
    PcmQueue queue(FRAME_BYTES + 10);
    for (int i = 0; i < 5000; ++i) queue.push_back(b(0));
    for (int i = 0; i < 5000; ++i) queue.pop_front();
    for (int i = 0; i < 7690; ++i) queue.push_back(b(i));
    ASSERT_EQ(queue.capacity(), FRAME_BYTES + 10);
    const auto frame = queue.take_frame();
    for (std::size_t i = 0; i < FRAME_BYTES; ++i) ASSERT_EQ(frame[i], b(static_cast<int>(i))) << i;
    EXPECT_EQ(queue.pop_front(), b(7680));
}

// A reference model of the queue: one push_back per byte, growth as the queue defines it.
struct ByteAtATimeModel {
    std::deque<std::byte> bytes;
    std::size_t capacity;
    void push_back(std::byte value) {
        if (bytes.size() == capacity) capacity = std::max<std::size_t>(capacity * 2, 8);
        bytes.push_back(value);
    }
};

// Appending runs gives the same bytes, order and capacity as pushing byte by byte, and
// as a model of the growth rule (double, at least eight), from empty, small and large
// queues, including growth in the middle of a run with wrapped contents.
TEST(PcmQueue, AppendMatchesByteAtATimePushBack) {
    std::mt19937 random(12345);
    for (std::size_t initial : {0u, 3u, 8u, 100u, 23040u}) {
        PcmQueue by_runs(initial);
        PcmQueue by_bytes(initial);
        ByteAtATimeModel model{{}, initial};
        int next = 0;
        for (int step = 0; step < 300; ++step) {
            std::vector<std::byte> packet(random() % 3000);
            for (auto& value : packet) value = b(next++);
            by_runs.append(packet);
            for (auto value : packet) {
                by_bytes.push_back(value);
                model.push_back(value);
            }
            ASSERT_EQ(by_runs.capacity(), by_bytes.capacity());
            ASSERT_EQ(by_runs.capacity(), model.capacity);
            ASSERT_EQ(by_runs.size(), model.bytes.size());
            const std::size_t pops = random() % (by_runs.size() + 1);
            for (std::size_t i = 0; i < pops; ++i) {
                const auto expected = model.bytes.front();
                model.bytes.pop_front();
                ASSERT_EQ(by_runs.pop_front(), expected);
                ASSERT_EQ(by_bytes.pop_front(), expected);
            }
        }
        EXPECT_EQ(drain(by_runs), drain(by_bytes));
    }
}

}  // namespace
}  // namespace brisvane
