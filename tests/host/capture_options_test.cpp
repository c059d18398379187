#include "capture/capture_options.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace brisvane {
namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

TEST(CaptureOptions, WhatEachCommandLineAsksFor) {
    struct Case {
        std::string line;
        CaptureOptions expected;
    };
    const auto with = [](auto change) {
        CaptureOptions options;
        change(options);
        return options;
    };
    const Case cases[] = {
        {"", CaptureOptions{}},
        {"--device {0.0.0.00000000}.{abc} --rate 16000 --channels 1 --sample-type s16", with([](CaptureOptions& o) {
             o.source = SourceKind::Device;
             o.device_id = "{0.0.0.00000000}.{abc}";
             o.format = {16000, 1, SampleType::S16};
         })},
        {"--app=4242 --timeline=continuous --rate=8000", with([](CaptureOptions& o) {
             o.source = SourceKind::App;
             o.process_id = 4242;
             o.timeline = TimelineMode::Continuous;
             o.format.rate = 8000;
         })},
        {"--all-but 4294967295 --no-follow --reopen 0 --reopen-delay 10 --reopen-max-delay 600000",
         with([](CaptureOptions& o) {
             o.source = SourceKind::AllButApp;
             o.process_id = 4294967295u;
             o.follow_default = false;
             o.reopen = {0, 10, 600000};
         })},
        {"--list-devices", with([](CaptureOptions& o) { o.source = SourceKind::DeviceList; })},
        {"--rate 9600 --rate 12000 --timeline exact --fill-lag 50", with([](CaptureOptions& o) {
             o.format.rate = 12000;
             o.fill_lag_ms = 50;
         })},
    };
    for (const Case& c : cases) {
        const auto command = parse_command_line(words(c.line));
        ASSERT_TRUE(command) << c.line << ": " << command.error();
        EXPECT_EQ(command->kind, CommandKind::Capture) << c.line;
        const CaptureOptions& o = command->options;
        EXPECT_EQ(o.source, c.expected.source) << c.line;
        EXPECT_EQ(o.device_id, c.expected.device_id) << c.line;
        EXPECT_EQ(o.process_id, c.expected.process_id) << c.line;
        EXPECT_EQ(o.format, c.expected.format) << c.line;
        EXPECT_EQ(o.timeline, c.expected.timeline) << c.line;
        EXPECT_EQ(o.follow_default, c.expected.follow_default) << c.line;
        EXPECT_EQ(o.fill_lag_ms, c.expected.fill_lag_ms) << c.line;
        EXPECT_EQ(o.reopen.attempts, c.expected.reopen.attempts) << c.line;
        EXPECT_EQ(o.reopen.delay_ms, c.expected.reopen.delay_ms) << c.line;
        EXPECT_EQ(o.reopen.max_delay_ms, c.expected.reopen.max_delay_ms) << c.line;
    }
    EXPECT_EQ(parse_command_line(words("--rate 16000 --help"))->kind, CommandKind::Help);
    EXPECT_EQ(parse_command_line(words("--version"))->kind, CommandKind::Version);
}

TEST(CaptureOptions, WhyACommandLineIsRefused) {
    const std::pair<std::string, std::string> cases[] = {
        {"--rate 44100", "--rate: '44100' is not one of 48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000"},
        {"--rate 3000", "--rate: '3000' is not one of 48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000"},
        {"--rate 16k", "--rate: '16k' is not one of 48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000"},
        {"--rate", "--rate needs a value"},
        {"--channels 3", "--channels: '3' is not 1 or 2"},
        {"--sample-type f64", "--sample-type: 'f64' is not f32 or s16"},
        {"--timeline live", "--timeline: 'live' is not exact or continuous"},
        {"--app 0", "--app: '0' is not a process id"},
        {"--app -5", "--app: '-5' is not a process id"},
        {"--all-but 4294967296", "--all-but: '4294967296' is not a process id"},
        {"--app 12 --device x", "choose one source, not --app and --device"},
        {"--list-devices --all-but 3", "choose one source, not --list-devices and --all-but"},
        {"--device=", "--device needs an endpoint id"},
        {"--reopen 1001", "--reopen: '1001' is not a whole number from 0 to 1000"},
        {"--reopen-delay 1.5", "--reopen-delay: '1.5' is not a whole number from 0 to 600000"},
        {"--no-follow=yes", "--no-follow takes no value"},
        {"--loud", "unknown option '--loud'"},
        {"-h", "unknown option '-h'"},
        {"16000", "unexpected argument '16000'"},
    };
    for (const auto& [line, reason] : cases) {
        const auto command = parse_command_line(words(line));
        ASSERT_FALSE(command) << line;
        EXPECT_EQ(command.error(), reason) << line;
    }
}

}  // namespace
}  // namespace brisvane
