#include "capture/capture_session.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record_reader.hpp"

namespace brisvane {
namespace {

using testing::Record;

constexpr std::int64_t T0 = 10'000'000'000;
constexpr std::int64_t SYSTEM_OFFSET = 17'000'000'000'000'000;  // system time minus counter time
constexpr std::int64_t MS = 10'000;

ClockReading at(std::int64_t qpc) { return {qpc, qpc + SYSTEM_OFFSET}; }

class Sink final : public RecordSink {
public:
    explicit Sink(OutputFormat format) : format_(format) {}
    void write(std::span<const std::byte> records) override { bytes.insert(bytes.end(), records.begin(), records.end()); }
    void write_silence(const SilenceRun& run) override {
        ++runs;
        append_silence_records(bytes, run, 0, run.records, format_);
    }
    std::vector<Record> records() const { return testing::read_records(bytes); }

    std::vector<std::byte> bytes;
    int runs = 0;

private:
    OutputFormat format_;
};

// Engine frame n carries n + 1 on the left and -(n + 1) on the right: every sample says where it was.
std::vector<float> engine_frames(std::uint64_t first, std::uint32_t count) {
    std::vector<float> samples;
    for (std::uint64_t n = first; n < first + count; ++n) {
        samples.push_back(static_cast<float>(n + 1));
        samples.push_back(-static_cast<float>(n + 1));
    }
    return samples;
}

// Plays packets of the engine frames [first, first + count), positioned on the engine's clock.
struct Engine {
    CaptureSession& session;
    void play(std::uint64_t first, std::uint32_t count, std::uint64_t device_position, bool discontinuity = false) {
        const auto samples = engine_frames(first, count);
        const std::int64_t qpc = T0 + frames_to_hns(static_cast<std::int64_t>(first));
        session.packet(CapturedPacket{.timing = {.frames = count,
                                                 .device_position = device_position,
                                                 .qpc_position = static_cast<std::uint64_t>(qpc),
                                                 .discontinuity = discontinuity},
                                      .silent = false,
                                      .samples = samples},
                       at(qpc + frames_to_hns(count) + MS));
    }
};

StreamHeader header(TimelineMode timeline, OutputFormat format = {}) {
    return {.format = format, .timeline = timeline, .source = SourceKind::DefaultDevice, .process_id = 0};
}

std::vector<Record> of_type(const std::vector<Record>& records, const std::string& type) {
    std::vector<Record> out;
    for (const Record& r : records)
        if (r.type == type) out.push_back(r);
    return out;
}

// A gap that opens inside a record: the continuous timeline completes that record with silence at
// exactly the gap's samples, the audio after it lands where the device position puts it, and the
// gap record comes before the record that holds the first sample after the gap.
TEST(CaptureSession, AGapInsideARecordIsFilledToTheSample) {
    Sink sink({});
    CaptureSession session(header(TimelineMode::Continuous), sink, at(T0));
    session.stream_started(true);
    Engine engine{session};
    engine.play(0, 480, 0);
    engine.play(480, 240, 480);
    engine.play(1200, 480, 1200, true);  // frames 720..1199 never came
    engine.play(1680, 480, 1680);
    session.end({EndReason::Stopped, 0}, at(T0 + 500 * MS));
    const auto records = sink.records();

    std::string types;
    for (const Record& r : records) types += r.type + " ";
    // The record completed by the gap's silence goes first; the gap before the one with the audio after it.
    EXPECT_EQ(types, "HEAD AUDI GAP_ AUDI AUDI END_ ");
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[2].at<std::uint64_t>(0), 720u);
    EXPECT_EQ(records[2].at<std::uint64_t>(8), 480u);
    EXPECT_EQ(records[2].at<std::uint32_t>(16), static_cast<std::uint32_t>(GapReason::Discontinuity));
    EXPECT_EQ(records[2].at<std::uint32_t>(20), 1u);
    const auto audio = of_type(records, "AUDI");
    ASSERT_EQ(audio.size(), 3u);
    std::vector<float> stream;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i].index(), 960u * i);
        EXPECT_EQ(audio[i].qpc(), T0 + frames_to_hns(960 * static_cast<std::int64_t>(i)));
        EXPECT_EQ(audio[i].system(), audio[i].qpc() + SYSTEM_OFFSET);
        const auto samples = audio[i].floats();
        stream.insert(stream.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(audio[0].count(), 960u);
    EXPECT_EQ(audio[2].count(), 240u) << "the last record, cut short by the end";
    EXPECT_EQ(audio[0].flags(), audio_flags::FILLED);
    EXPECT_EQ(audio[1].flags(), audio_flags::FILLED | audio_flags::DISCONTINUITY);
    EXPECT_EQ(audio[2].flags(), 0u);
    ASSERT_EQ(stream.size(), 2u * 2160);
    for (std::size_t n = 0; n < 2160; ++n) {
        const float want = n >= 720 && n < 1200 ? 0.0f : static_cast<float>(n + 1);
        ASSERT_EQ(stream[2 * n], want) << "frame " << n;
        ASSERT_EQ(stream[2 * n + 1], -want) << "frame " << n;
    }
    EXPECT_EQ(records.back().type, "END_");
}

// The exact timeline keeps only the audio: the gap is reported where it lies, and filled by nothing.
TEST(CaptureSession, TheExactTimelineReportsTheGapAndKeepsOnlyAudio) {
    Sink sink({});
    CaptureSession session(header(TimelineMode::Exact), sink, at(T0));
    session.stream_started(true);
    Engine engine{session};
    engine.play(0, 720, 0);
    engine.play(1200, 1200, 1200);
    session.end({EndReason::Stopped, 0}, at(T0 + 500 * MS));
    const auto records = sink.records();
    const auto gaps = of_type(records, "GAP_");
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].at<std::uint64_t>(0), 720u);
    EXPECT_EQ(gaps[0].at<std::uint64_t>(8), 480u);
    EXPECT_EQ(gaps[0].at<std::uint32_t>(16), static_cast<std::uint32_t>(GapReason::Silence));
    EXPECT_EQ(gaps[0].at<std::uint32_t>(20), 0u);
    const auto audio = of_type(records, "AUDI");
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[1].index(), 960u);
    EXPECT_EQ(audio[1].count(), 960u);
    EXPECT_EQ(audio[1].floats()[0], 1200.0f + 240.0f + 1.0f);
    // The first record holds the frames 0..719 and 1200..1439: its time is its first sample's.
    EXPECT_EQ(audio[0].qpc(), T0);
    EXPECT_EQ(audio[0].flags(), audio_flags::DISCONTINUITY);
    EXPECT_EQ(audio[1].qpc(), T0 + frames_to_hns(1440));
}

// While nothing comes the continuous timeline follows the clock; a long silence goes to the sink
// as a run of whole records, and what the run stands for is exactly the records it replaces.
TEST(CaptureSession, SilenceFollowsTheClockAndLongSilenceIsARun) {
    Sink sink({});
    CaptureSession session(header(TimelineMode::Continuous), sink, at(T0));
    session.stream_started(true);
    Engine engine{session};
    engine.play(0, 480, 0);
    for (int tick = 1; tick <= 30; ++tick) session.idle(at(T0 + tick * 40 * MS));
    session.flush();
    const std::size_t filled_by_clock = of_type(sink.records(), "AUDI").size();
    EXPECT_EQ(filled_by_clock, 50u) << "1.2 s, less the lag, in whole records";
    engine.play(48000 * 60, 480, 48000 * 60);  // a minute later
    session.end({EndReason::Stopped, 0}, at(T0 + 61000 * MS));
    EXPECT_EQ(sink.runs, 1);
    const auto records = sink.records();
    const auto audio = of_type(records, "AUDI");
    ASSERT_EQ(audio.size(), 3001u);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        ASSERT_EQ(audio[i].index(), 960u * i);
        ASSERT_EQ(audio[i].qpc(), T0 + frames_to_hns(960 * static_cast<std::int64_t>(i))) << i;
        if (i > 0 && i < 3000) {
            ASSERT_EQ(audio[i].flags(), audio_flags::SILENT | audio_flags::FILLED) << i;
        }
    }
    const auto gap = of_type(records, "GAP_");
    ASSERT_EQ(gap.size(), 1u);
    EXPECT_EQ(gap[0].at<std::uint64_t>(0), 480u);
    EXPECT_EQ(gap[0].at<std::uint64_t>(8), 48000u * 60 - 480);
    EXPECT_EQ(audio.back().floats()[0], 48000.0f * 60 + 1);
}

// Converted output keeps the same bookkeeping: records of rate / 50 samples, indices that follow
// each other, and at the end every sample the engine gave, no more.
TEST(CaptureSession, ConvertedRecordsHaveTheirExactLength) {
    const OutputFormat format{16000, 1, SampleType::S16};
    Sink sink(format);
    CaptureSession session(header(TimelineMode::Continuous, format), sink, at(T0));
    session.stream_started(false);
    Engine engine{session};
    std::uint64_t frame = 0;
    for (const std::uint32_t size : {441u, 480u, 1056u, 1u, 7u, 479u}) {
        engine.play(frame, size, 0);
        frame += size;
    }
    session.end({EndReason::AppExited, 0}, at(T0 + 100 * MS));
    const auto audio = of_type(sink.records(), "AUDI");
    std::uint64_t samples = 0;
    for (const Record& r : audio) {
        EXPECT_EQ(r.index(), samples);
        EXPECT_EQ(r.body.size(), 32 + (r.count() * 2 + 7) / 8 * 8);
        samples += r.count();
    }
    EXPECT_EQ(samples, (frame + 2) / 3);
    EXPECT_EQ(audio.front().count(), 320u);
    // A record's time is its first sample's, which the filter has delayed.
    const auto delay = static_cast<std::int64_t>(SampleConverter(format).delay_frames());
    EXPECT_EQ(audio[1].qpc(), T0 + frames_to_hns(960 - delay));
}

}  // namespace
}  // namespace brisvane
