#include "error/report_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error/display_text.hpp"
#include "error/indented_writer.hpp"

namespace brisvane {
namespace {

// An error with a fixed display text, written in the given pieces.
class FixedError final : public ChainedError {
public:
    FixedError(std::vector<std::string> pieces, const ChainedError* below = nullptr)
        : pieces_(std::move(pieces)), below_(below) {}
    SinkResult display(TextSink& sink) const override {
        for (const auto& piece : pieces_) {
            if (auto written = sink.write(piece); !written) return written;
        }
        return {};
    }
    const ChainedError* source() const override { return below_; }

private:
    std::vector<std::string> pieces_;
    const ChainedError* below_;
};

// Accepts a fixed number of writes, then fails.
class FailingSink final : public TextSink {
public:
    explicit FailingSink(int accepted) : remaining_(accepted) {}
    SinkResult write(std::string_view text) override {
        if (remaining_-- <= 0) return std::unexpected(SinkFailed{});
        text_ += text;
        return {};
    }
    std::string text_;

private:
    int remaining_;
};

std::string report(const ChainedError& top) {
    StringSink sink;
    EXPECT_TRUE(write_exit_report(top, sink));
    return sink.text();
}

TEST(ExitReport, OneCauseIsUnnumberedAndIndentedByFour) {
    const FixedError root({"0x80040154"});
    const FixedError top({"failed to initialize COM"}, &root);
    EXPECT_EQ(report(top), "Error: failed to initialize COM\n\nCaused by:\n    0x80040154\n");
}

TEST(ExitReport, TwoCausesAreNumberedWithAlignedColons) {
    const FixedError root({"Class not registered (0x80040154)"});
    const FixedError middle({"Windows returned an error: ", "Class not registered (0x80040154)"}, &root);
    const FixedError top({"failed to create audio client"}, &middle);
    EXPECT_EQ(report(top),
              "Error: failed to create audio client\n\nCaused by:\n"
              "    0: Windows returned an error: Class not registered (0x80040154)\n"
              "    1: Class not registered (0x80040154)\n");
}

TEST(ExitReport, InteriorLineBreaksKeepTheCarriageReturnAndIndentTheNextLine) {
    const FixedError single_root({"first\r\nsecond (0x88890004)"});
    const FixedError single_top({"failed to initialize COM"}, &single_root);
    EXPECT_EQ(report(single_top),
              "Error: failed to initialize COM\n\nCaused by:\n    first\r\n    second (0x88890004)\n");

    const FixedError root({"first\r\nsecond (0x88890004)"});
    const FixedError middle({"Windows returned an error: ", "first\r\nsecond (0x88890004)"}, &root);
    const FixedError top({"failed to read WASAPI loopback samples"}, &middle);
    EXPECT_EQ(report(top),
              "Error: failed to read WASAPI loopback samples\n\nCaused by:\n"
              "    0: Windows returned an error: first\r\n       second (0x88890004)\n"
              "    1: first\r\n       second (0x88890004)\n");
}

TEST(ExitReport, ErrorWithoutCauseHasNoCausedBySection) {
    const FixedError top({"failed to write PCM frame"});
    EXPECT_EQ(report(top), "Error: failed to write PCM frame\n");
}

TEST(ExitReport, FailingSinkStopsTheTextThere) {
    const FixedError root({"root"});
    const FixedError middle({"middle"}, &root);
    const FixedError top({"failed to get capture client"}, &middle);
    const std::string whole = report(top);
    for (int accepted = 0; accepted < 12; ++accepted) {
        FailingSink sink(accepted);
        const bool finished = write_exit_report(top, sink).has_value();
        EXPECT_TRUE(whole.starts_with(sink.text_)) << accepted;
        EXPECT_EQ(finished, sink.text_ == whole) << accepted;
    }
}

TEST(IndentedWriter, LineFeedAtTheVeryEndIsFollowedByTheIndent) {
    StringSink numbered;
    IndentedWriter first(numbered, 3u);
    ASSERT_TRUE(first.write("a\n"));
    ASSERT_TRUE(first.write("b"));
    EXPECT_EQ(numbered.text(), "    3: a\n       b");

    StringSink plain;
    IndentedWriter second(plain, std::nullopt);
    ASSERT_TRUE(second.write("x\ny\n"));
    EXPECT_EQ(plain.text(), "    x\n    y\n    ");
}

TEST(IndentedWriter, NumbersUpToFiveColumnsAreRightAligned) {
    for (const auto& [number, header] : std::vector<std::pair<unsigned, std::string>>{
             {0, "    0: "}, {9, "    9: "}, {10, "   10: "}, {99, "   99: "}, {12345, "12345: "}, {123456, "123456: "}}) {
        StringSink sink;
        IndentedWriter writer(sink, number);
        ASSERT_TRUE(writer.write("t"));
        EXPECT_EQ(sink.text(), header + "t");
    }
}

}  // namespace
}  // namespace brisvane
