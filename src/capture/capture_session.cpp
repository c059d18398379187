#include "capture/capture_session.hpp"

#include <algorithm>

namespace brisvane {

namespace {

constexpr std::uint64_t ceil_div(std::uint64_t value, std::uint64_t divisor) { return (value + divisor - 1) / divisor; }

}  // namespace

void append_silence_records(std::vector<std::byte>& out, const SilenceRun& run, std::uint64_t first,
                            std::uint64_t count, const OutputFormat& format) {
    const std::uint32_t per_record = samples_per_record(format.rate);
    const std::vector<float> zeros(std::size_t{per_record} * format.channels, 0.0f);
    for (std::uint64_t i = first; i < first + count; ++i) {
        const std::int64_t qpc = run.first_qpc + static_cast<std::int64_t>(i) * HNS_PER_RECORD;
        const AudioStamp stamp{.sample_index = run.first_index + i * per_record,
                               .capture_qpc = qpc,
                               .capture_system = qpc + run.system_offset,
                               .flags = audio_flags::SILENT | audio_flags::FILLED};
        append_record(out, stamp, zeros, format.channels, format.sample_type);
    }
}

CaptureSession::CaptureSession(const StreamHeader& header, RecordSink& sink, ClockReading start,
                               std::int64_t fill_lag_hns)
    : header_(header),
      sink_(&sink),
      timeline_(header.timeline, start.qpc, fill_lag_hns),
      converter_(header.format),
      per_record_(samples_per_record(header.format.rate)) {
    record_.reserve(std::size_t{per_record_} * header.format.channels);
    append_record(pending_, header);
}

void CaptureSession::device(const DeviceRecord& device) { append_record(pending_, device); }

void CaptureSession::reopen(const ReopenRecord& reopen) { append_record(pending_, reopen); }

void CaptureSession::stream_started(bool has_device_positions) { timeline_.begin_stream(has_device_positions); }

void CaptureSession::stream_lost(GapReason reason) { timeline_.lose_stream(reason); }

std::int64_t CaptureSession::capture_qpc(std::uint64_t sample_index) const {
    // The decimator's output stands for its input this many frames earlier.
    const auto frame = static_cast<std::int64_t>(sample_index * decimation_factor(header_.format.rate)) -
                       static_cast<std::int64_t>(converter_.delay_frames());
    return timeline_.qpc_at(frame);
}

void CaptureSession::packet(const CapturedPacket& packet, ClockReading now) {
    const std::uint64_t audio_start = timeline_.next_frame() - timeline_.clock_filled();
    const Placement placement = timeline_.place(packet.timing, now.qpc);
    if (placement.gap_frames > 0) {
        if (!gap_) open_gap();
        fill(placement.fill_frames, now);
        const std::uint64_t factor = decimation_factor(header_.format.rate);
        // Exact: what the gap would have held, from where the audio stands.
        const std::uint64_t length = header_.timeline == TimelineMode::Continuous
                                         ? gap_->filled
                                         : ceil_div(audio_start + placement.gap_frames, factor) -
                                               ceil_div(audio_start, factor);
        close_gap(placement.reason, length);
    }
    converted_.clear();
    if (packet.silent) {
        converter_.push_zeros(packet.timing.frames, converted_);
    } else {
        converter_.push(packet.samples, converted_);
    }
    std::uint32_t flags = (packet.silent ? audio_flags::SILENT : 0) |
                          (packet.timing.discontinuity ? audio_flags::DISCONTINUITY : 0) |
                          (placement.timestamp_estimated ? audio_flags::TIMESTAMP_ERROR : 0);
    std::span<const float> samples(converted_);
    if (after_gap_ && !samples.empty()) {
        // Only the record that holds the first sample after the gap says so.
        const std::size_t channels = header_.format.channels;
        append_samples(samples.first(channels), flags | audio_flags::DISCONTINUITY, now);
        samples = samples.subspan(channels);
        after_gap_ = false;
    }
    append_samples(samples, flags, now);
}

void CaptureSession::idle(ClockReading now) {
    const std::uint64_t frames = timeline_.take_clock_fill(now.qpc);
    if (frames == 0) return;
    if (!gap_) open_gap();
    fill(frames, now);
}

void CaptureSession::end(const EndRecord& end, ClockReading now) {
    if (gap_) close_gap(timeline_.open_gap_reason(), gap_->filled);
    if (!record_.empty()) finish_record(now);
    append_record(pending_, end);
    flush();
}

void CaptureSession::flush() {
    if (pending_.empty()) return;
    sink_->write(pending_);
    pending_.clear();
}

void CaptureSession::open_gap() { gap_ = OpenGap{next_index_, 0}; }

void CaptureSession::close_gap(GapReason reason, std::uint64_t length) {
    append_record(pending_, GapRecord{.start = gap_->start,
                                      .length = length,
                                      .reason = reason,
                                      .filled = header_.timeline == TimelineMode::Continuous});
    gap_.reset();
    after_gap_ = true;
}

void CaptureSession::fill(std::uint64_t frames, ClockReading now) {
    constexpr std::uint32_t FILLED = audio_flags::SILENT | audio_flags::FILLED;
    // Real zeros through the filter while it still rings from the audio before.
    converted_.clear();
    const std::uint64_t settling = converter_.push_zeros_until_settled(frames, converted_);
    gap_->filled += converted_.size() / header_.format.channels;
    append_samples(converted_, FILLED, now);
    if (settling == frames) return;
    // Beyond that every output sample is zero: counted, not computed.
    std::uint64_t outputs = converter_.skip_settled_zeros(frames - settling);
    gap_->filled += outputs;
    const std::size_t channels = header_.format.channels;
    const std::vector<float> zeros(std::size_t{per_record_} * channels, 0.0f);
    const auto append_zeros = [&](std::uint64_t count) {
        append_samples(std::span(zeros).first(static_cast<std::size_t>(count) * channels), FILLED, now);
    };
    if (!record_.empty()) {
        const std::uint64_t room = per_record_ - record_.size() / channels;
        const std::uint64_t head = std::min(outputs, room);
        append_zeros(head);
        outputs -= head;
    }
    // Up to a second of it is made like any other record; more goes as a run.
    const std::uint64_t whole = outputs / per_record_ >= RECORDS_PER_SECOND ? outputs / per_record_ : 0;
    if (whole > 0) {
        flush();
        const SilenceRun run{.first_index = next_index_,
                             .records = whole,
                             .first_qpc = std::max(capture_qpc(next_index_), last_qpc_),
                             .system_offset = now.system - now.qpc};
        sink_->write_silence(run);
        next_index_ += whole * per_record_;
        last_qpc_ = run.first_qpc + static_cast<std::int64_t>(whole - 1) * HNS_PER_RECORD;
    }
    for (outputs -= whole * per_record_; outputs > 0;) {
        const std::uint64_t piece = std::min<std::uint64_t>(outputs, per_record_);
        append_zeros(piece);
        outputs -= piece;
    }
}

void CaptureSession::append_samples(std::span<const float> samples, std::uint32_t flags, ClockReading now) {
    const std::size_t channels = header_.format.channels;
    while (!samples.empty()) {
        if (record_.empty()) {
            record_index_ = next_index_;
            record_qpc_ = std::max(capture_qpc(next_index_), last_qpc_);
            last_qpc_ = record_qpc_;
            record_flags_ = 0;
            record_silent_ = true;
        }
        const std::size_t room = (std::size_t{per_record_} * channels - record_.size());
        const std::size_t take = std::min(samples.size(), room);
        record_.insert(record_.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(take));
        record_flags_ |= flags & ~audio_flags::SILENT;
        record_silent_ = record_silent_ && (flags & audio_flags::SILENT) != 0;
        next_index_ += take / channels;
        samples = samples.subspan(take);
        if (record_.size() == std::size_t{per_record_} * channels) finish_record(now);
    }
}

void CaptureSession::finish_record(ClockReading now) {
    const AudioStamp stamp{.sample_index = record_index_,
                           .capture_qpc = record_qpc_,
                           .capture_system = record_qpc_ + (now.system - now.qpc),
                           .flags = record_flags_ | (record_silent_ ? audio_flags::SILENT : 0)};
    append_record(pending_, stamp, record_, header_.format.channels, header_.format.sample_type);
    record_.clear();
}

}  // namespace brisvane
