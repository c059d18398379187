// One capture session as a stream of records: the header, the audio of every packet converted
// and framed in records of 20 ms at its place on the timeline, the gaps and their silence, the
// devices, the reopens and the end. Platform-free: the driver hands it packets, clock readings
// and events, and a sink takes the records it makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/engine_time.hpp"
#include "capture/records.hpp"
#include "capture/sample_converter.hpp"
#include "capture/timeline.hpp"

namespace brisvane {

// Whole records of filled silence in a row, given as a run: a gap of hours is not made into
// gigabytes before it is written.
struct SilenceRun {
    std::uint64_t first_index = 0;  // sample index of the first record
    std::uint64_t records = 0;
    std::int64_t first_qpc = 0;     // capture time of the first; each next one 20 ms later
    std::int64_t system_offset = 0; // system time minus counter time
};

// Appends records [first, first + count) of the run.
void append_silence_records(std::vector<std::byte>& out, const SilenceRun& run, std::uint64_t first,
                            std::uint64_t count, const OutputFormat& format);

// Where the records go, in order.
class RecordSink {
public:
    virtual void write(std::span<const std::byte> records) = 0;
    virtual void write_silence(const SilenceRun& run) = 0;

protected:
    RecordSink() = default;
    RecordSink(const RecordSink&) = default;
    RecordSink& operator=(const RecordSink&) = default;
    ~RecordSink() = default;
};

// One engine packet: its positions and flags, and its samples (48 kHz stereo float).
struct CapturedPacket {
    PacketTiming timing;
    bool silent = false;  // the engine's data is to be taken as silence, whatever it holds
    std::span<const float> samples;
};

class CaptureSession {
public:
    // Writes the header; the timeline begins now. The continuous timeline follows the clock
    // `fill_lag_hns` behind it.
    CaptureSession(const StreamHeader& header, RecordSink& sink, ClockReading start,
                   std::int64_t fill_lag_hns = DEFAULT_FILL_LAG_HNS);

    void device(const DeviceRecord& device);
    void reopen(const ReopenRecord& reopen);
    // A stream of the source has started; a process loopback stream has no device positions.
    void stream_started(bool has_device_positions);
    // The stream is gone (lost, replaced, no device): the time until the next one is a gap.
    void stream_lost(GapReason reason);
    void packet(const CapturedPacket& packet, ClockReading now);
    // No packet came: the continuous timeline follows the clock.
    void idle(ClockReading now);
    // Closes an open gap, writes the record being filled (shorter) and the end.
    void end(const EndRecord& end, ClockReading now);
    // Hands what was made since the last call to the sink.
    void flush();

    std::uint64_t next_sample_index() const { return next_index_; }

private:
    void fill(std::uint64_t frames, ClockReading now);
    void open_gap();
    void close_gap(GapReason reason, std::uint64_t length);
    // Puts converted samples into records; `flags` say what they are.
    void append_samples(std::span<const float> samples, std::uint32_t flags, ClockReading now);
    void finish_record(ClockReading now);
    std::int64_t capture_qpc(std::uint64_t sample_index) const;

    StreamHeader header_;
    RecordSink* sink_;
    Timeline timeline_;
    SampleConverter converter_;
    std::uint32_t per_record_;
    std::vector<std::byte> pending_;
    std::vector<float> converted_;
    // The record being filled.
    std::vector<float> record_;
    std::uint64_t record_index_ = 0;
    std::int64_t record_qpc_ = 0;
    std::uint32_t record_flags_ = 0;
    bool record_silent_ = true;
    std::uint64_t next_index_ = 0;  // sample index of the next output sample
    std::int64_t last_qpc_ = 0;     // capture times only go forward
    struct OpenGap {
        std::uint64_t start = 0;
        std::uint64_t filled = 0;
    };
    std::optional<OpenGap> gap_;
    bool after_gap_ = false;  // the next audio sample is the first after a gap
};

}  // namespace brisvane
