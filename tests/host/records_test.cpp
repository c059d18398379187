#include "capture/records.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record_reader.hpp"

namespace brisvane {
namespace {

std::vector<std::byte> hex(const std::string& text) {
    std::vector<std::byte> bytes;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\n') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<std::byte>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

// The worked example of docs/PROTOCOL.md, byte for byte.
TEST(Records, TheWorkedExample) {
    std::vector<std::byte> out;
    append_record(out, StreamHeader{.format = {8000, 1, SampleType::S16},
                                    .timeline = TimelineMode::Continuous,
                                    .source = SourceKind::DefaultDevice,
                                    .process_id = 0});
    EXPECT_EQ(out, hex("48454144 20000000 62726973 76616e65 0100 0000 401f0000 0100 0200 a0000000 0200 0100 00000000"));

    out.clear();
    const std::string id = "{0.0.0.00000000}.{e6327cad-dcec-4949-ae8a-991e976a79d2}";
    append_record(out, DeviceRecord{.is_default = true, .id = id, .name = "Speakers (Realtek(R) Audio)"});
    ASSERT_EQ(out.size(), 8u + 104u);
    const auto head = hex("44455649 68000000 01000000 37000000 1b000000 00000000");
    EXPECT_TRUE(std::equal(head.begin(), head.end(), out.begin()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + 24, 82), id + "Speakers (Realtek(R) Audio)");
    EXPECT_EQ(out.back(), std::byte{0});

    out.clear();
    const std::vector<float> samples(160, 0.0f);
    append_record(out, AudioStamp{.sample_index = 8000, .capture_qpc = 1234567890000, .capture_system = 17966448000000000,
                                  .flags = 0},
                  samples, 1, SampleType::S16);
    ASSERT_EQ(out.size(), 360u);
    const auto audio = hex("41554449 60010000 401f0000 00000000 5004fb71 1f010000 0060eaa6 63d43f00 00000000 a0000000");
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), out.begin()));

    out.clear();
    append_record(out, GapRecord{.start = 8160, .length = 12000, .reason = GapReason::Silence, .filled = true});
    EXPECT_EQ(out, hex("4741505f 18000000 e01f0000 00000000 e02e0000 00000000 01000000 01000000"));

    out.clear();
    append_record(out, EndRecord{.reason = EndReason::Stopped, .hresult = 0});
    EXPECT_EQ(out, hex("454e445f 08000000 01000000 00000000"));

    out.clear();
    append_record(out, ReopenRecord{.reason = ReopenReason::DefaultChanged, .attempt = 3, .hresult = 0x88890004,
                                    .delay_ms = 500});
    EXPECT_EQ(out, hex("52454f50 10000000 02000000 03000000 04008988 f4010000"));
}

// Every body is padded to a multiple of 8, so that any record can follow any other.
TEST(Records, BodiesArePaddedToEightBytes) {
    std::vector<std::byte> out;
    for (std::size_t name = 0; name < 9; ++name) {
        append_record(out, DeviceRecord{.is_default = false, .id = "x", .name = std::string(name, 'n')});
    }
    const std::vector<float> odd(3 * 1, 0.5f);
    append_record(out, AudioStamp{}, odd, 1, SampleType::S16);
    const auto records = testing::read_records(out);
    ASSERT_EQ(records.size(), 10u);
    for (std::size_t name = 0; name < 9; ++name) {
        EXPECT_EQ(records[name].at<std::uint32_t>(8), name);
        EXPECT_EQ(records[name].text(16 + 1, name), std::string(name, 'n'));
    }
    EXPECT_EQ(records[9].count(), 3u);
    EXPECT_EQ(records[9].body.size(), 40u);
}

}  // namespace
}  // namespace brisvane
