#include "audio/capture_format.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace brisvane {
namespace {

std::string hex_bytes(const void* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x ", static_cast<const unsigned char*>(data)[i]);
        text += byte;
    }
    return text;
}

TEST(CaptureFormat, IsTheExactFortyByteFloatStereoRecord) {
    constexpr unsigned char expected[] = {
        0xfe, 0xff, 0x02, 0x00, 0x80, 0xbb, 0x00, 0x00, 0x00, 0xdc, 0x05, 0x00, 0x08, 0x00,
        0x20, 0x00, 0x16, 0x00, 0x20, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71,
    };
    static_assert(sizeof expected == 40);
    ASSERT_EQ(sizeof CAPTURE_FORMAT, sizeof expected);
    EXPECT_EQ(std::memcmp(&CAPTURE_FORMAT, expected, sizeof expected), 0)
        << "actual: " << hex_bytes(&CAPTURE_FORMAT, sizeof CAPTURE_FORMAT);
}

}  // namespace
}  // namespace brisvane
