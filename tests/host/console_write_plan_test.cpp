#include "output/console_write_plan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/utf8_prefix.hpp"

namespace brisvane {
namespace {

using Action = ConsoleWritePlan::Action;

std::vector<std::byte> bytes(const std::string& s) {
    std::vector<std::byte> out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = static_cast<std::byte>(s[i]);
    return out;
}

TEST(ConsoleWritePlan, ZeroBytesAreValidTextAndLookedAtInChunks) {
    PendingUtf8 pending;
    const std::vector<std::byte> frame(7680);
    const auto plan = plan_console_write(frame, pending);
    EXPECT_EQ(plan.action, Action::Write);
    EXPECT_EQ(plan.consumed, CONSOLE_CHUNK_BYTES);
    EXPECT_EQ(plan.text.data(), frame.data());
    EXPECT_EQ(plan.text.size(), CONSOLE_CHUNK_BYTES);
}

TEST(ConsoleWritePlan, LeadingInvalidByteIsRejected) {
    PendingUtf8 pending;
    std::vector<std::byte> frame(7680);
    frame[0] = std::byte{0xFF};
    EXPECT_EQ(plan_console_write(frame, pending).action, Action::Reject);
}

TEST(ConsoleWritePlan, ValidPrefixBeforeInvalidBytesIsWrittenFirst) {
    PendingUtf8 pending;
    const auto data = bytes("ab\xC3\xA9\xFF" "cd");
    const auto plan = plan_console_write(data, pending);
    EXPECT_EQ(plan.action, Action::Write);
    EXPECT_EQ(plan.consumed, 4u);
    const auto rest = std::span<const std::byte>(data).subspan(4);
    EXPECT_EQ(plan_console_write(rest, pending).action, Action::Reject);
}

TEST(ConsoleWritePlan, SequenceCutOffAtTheEndIsCompletedByLaterWrites) {
    PendingUtf8 pending;
    const auto euro = bytes("\xE2\x82\xAC");  // U+20AC in three bytes, given one at a time
    auto plan = plan_console_write(std::span(euro).first(1), pending);
    EXPECT_EQ(plan.action, Action::Hold);
    EXPECT_EQ(plan.consumed, 1u);
    plan = plan_console_write(std::span(euro).subspan(1, 1), pending);
    EXPECT_EQ(plan.action, Action::Hold);
    plan = plan_console_write(std::span(euro).subspan(2), pending);
    ASSERT_EQ(plan.action, Action::Write);
    EXPECT_EQ(plan.consumed, 1u);
    EXPECT_TRUE(std::equal(plan.text.begin(), plan.text.end(), euro.begin(), euro.end()));
    EXPECT_EQ(pending.length, 0u);
}

TEST(ConsoleWritePlan, PendingSequenceBrokenByANonContinuationByteIsRejected) {
    PendingUtf8 pending;
    const auto start = bytes("\xC3");
    ASSERT_EQ(plan_console_write(start, pending).action, Action::Hold);
    EXPECT_EQ(plan_console_write(bytes("A"), pending).action, Action::Reject);
    EXPECT_EQ(pending.length, 0u);
    EXPECT_EQ(plan_console_write(bytes("A"), pending).action, Action::Write);
}

TEST(Utf8Prefix, RejectsOverlongsSurrogatesAndOutOfRange) {
    EXPECT_EQ(valid_utf8_prefix(bytes("abc")), 3u);
    EXPECT_EQ(valid_utf8_prefix(bytes("a\xC0\x80")), 1u);          // overlong NUL
    EXPECT_EQ(valid_utf8_prefix(bytes("a\xE0\x80\x80")), 1u);      // overlong
    EXPECT_EQ(valid_utf8_prefix(bytes("a\xED\xA0\x80")), 1u);      // surrogate U+D800
    EXPECT_EQ(valid_utf8_prefix(bytes("a\xF4\x90\x80\x80")), 1u);  // above U+10FFFF
    EXPECT_EQ(valid_utf8_prefix(bytes("\xF0\x9F\x98\x80!")), 5u);  // U+1F600
    EXPECT_EQ(valid_utf8_prefix(bytes("\xE2\x82")), 0u);           // cut off
}

}  // namespace
}  // namespace brisvane
