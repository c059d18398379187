#include "error/hresult_code.hpp"

#include <gtest/gtest.h>

#include "error/display_text.hpp"

namespace brisvane {
namespace {

TEST(HresultCode, ZeroIsStoredAsTheEmptyCodeAndReadBackAsZero) {
    EXPECT_EQ(stored_code(0), 0x535F4F4B);
    EXPECT_EQ(read_code(stored_code(0)), 0);
    EXPECT_EQ(read_code(EMPTY_ERROR_CODE), 0);
    EXPECT_EQ(read_code(stored_code(static_cast<std::int32_t>(0x88890003u))), static_cast<std::int32_t>(0x88890003u));
}

TEST(HresultCode, Win32CodesMapAsHresultFromWin32) {
    EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_win32(5)), 0x80070005u);
    EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_win32(0x12345)), 0x80072345u);
    EXPECT_EQ(hresult_from_win32(0), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_win32(0xC0000005u)), 0xC0000005u);
}

TEST(HresultCode, HexFormIsTenCharactersWithUpperCaseDigits) {
    EXPECT_EQ(hex_form(0), "0x00000000");
    EXPECT_EQ(hex_form(static_cast<std::int32_t>(0x80040154u)), "0x80040154");
    EXPECT_EQ(hex_form(static_cast<std::int32_t>(0x8889000Au)), "0x8889000A");
    EXPECT_EQ(hex_form(0xABCDEF), "0x00ABCDEF");
    EXPECT_EQ(hex_form(-1), "0xFFFFFFFF");
}

TEST(HresultCode, DisplayIsMessageAndCodeOrTheCodeAlone) {
    StringSink with_message;
    ASSERT_TRUE(write_hresult_display(with_message, "Class not registered", static_cast<std::int32_t>(0x80040154u)));
    EXPECT_EQ(with_message.text(), "Class not registered (0x80040154)");
    StringSink without;
    ASSERT_TRUE(write_hresult_display(without, "", static_cast<std::int32_t>(0x88890003u)));
    EXPECT_EQ(without.text(), "0x88890003");
}

}  // namespace
}  // namespace brisvane
