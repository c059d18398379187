#include "error/wide_text.hpp"

#include <gtest/gtest.h>

namespace brisvane {
namespace {

TEST(WideText, TrailingWhiteSpaceIsDroppedInnerKept) {
    EXPECT_EQ(trim_trailing_white_space(u"Access is denied.\r\n"), u"Access is denied.");
    EXPECT_EQ(trim_trailing_white_space(u"a\r\nb \t\v\f"), u"a\r\nb");
    EXPECT_EQ(trim_trailing_white_space(u" \r\n"), u"");
    EXPECT_EQ(trim_trailing_white_space(u"x\u00A0"), u"x\u00A0") << "only ASCII white space";
}

TEST(WideText, ConvertsEveryPlaneToUtf8) {
    EXPECT_EQ(utf16_to_utf8_lossy(u"A\u00E9\u20AC\U0001F600"), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(utf16_to_utf8_lossy(u""), "");
}

TEST(WideText, UnpairedSurrogatesBecomeReplacementCharacters) {
    const char16_t lone_high[] = {u'a', 0xD83D, u'b', 0};
    const char16_t lone_low[] = {0xDE00, u'c', 0};
    const char16_t high_at_end[] = {u'd', 0xD83D, 0};
    EXPECT_EQ(utf16_to_utf8_lossy(lone_high), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(utf16_to_utf8_lossy(lone_low), "\xEF\xBF\xBD" "c");
    EXPECT_EQ(utf16_to_utf8_lossy(high_at_end), "d\xEF\xBF\xBD");
    EXPECT_FALSE(utf16_to_utf8_strict(lone_high).has_value());
    EXPECT_EQ(utf16_to_utf8_strict(u"ok\U0001F600"), "ok\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace brisvane
