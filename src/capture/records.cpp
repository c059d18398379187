#include "capture/records.hpp"

#include <bit>
#include <cstring>

#include "capture/sample_converter.hpp"

namespace brisvane {

namespace {

// Appends one record: its head, then a body that the caller writes into the span it is given,
// zero-filled to the body's padded size.
class RecordBuilder {
public:
    RecordBuilder(std::vector<std::byte>& out, std::string_view type, std::size_t body_bytes)
        : out_(out), start_(out.size()) {
        const std::size_t padded = (body_bytes + 7) / 8 * 8;
        out_.resize(start_ + RECORD_HEAD_BYTES + padded);
        std::memcpy(out_.data() + start_, type.data(), 4);
        at_ = start_ + 4;
        u32(static_cast<std::uint32_t>(padded));
    }

    RecordBuilder& u16(std::uint16_t value) { return put(value); }
    RecordBuilder& u32(std::uint32_t value) { return put(value); }
    RecordBuilder& u64(std::uint64_t value) { return put(value); }
    RecordBuilder& i64(std::int64_t value) { return put(value); }
    RecordBuilder& bytes(std::string_view text) {
        std::memcpy(out_.data() + at_, text.data(), text.size());
        at_ += text.size();
        return *this;
    }
    std::byte* cursor() { return out_.data() + at_; }

private:
    template <class T>
    RecordBuilder& put(T value) {
        static_assert(std::endian::native == std::endian::little, "records are written as the memory holds them");
        std::memcpy(out_.data() + at_, &value, sizeof value);
        at_ += sizeof value;
        return *this;
    }

    std::vector<std::byte>& out_;
    std::size_t start_;
    std::size_t at_ = 0;
};

}  // namespace

void append_record(std::vector<std::byte>& out, const StreamHeader& header) {
    RecordBuilder(out, "HEAD", 32)
        .bytes("brisvane")
        .u16(PROTOCOL_MAJOR)
        .u16(PROTOCOL_MINOR)
        .u32(header.format.rate)
        .u16(header.format.channels)
        .u16(static_cast<std::uint16_t>(header.format.sample_type))
        .u32(samples_per_record(header.format.rate))
        .u16(static_cast<std::uint16_t>(header.timeline))
        .u16(static_cast<std::uint16_t>(header.source))
        .u32(header.process_id);
}

void append_record(std::vector<std::byte>& out, const AudioStamp& stamp, std::span<const float> samples,
                   std::uint16_t channels, SampleType type) {
    RecordBuilder record(out, "AUDI", AUDIO_RECORD_HEAD_BYTES + samples.size() * bytes_per_sample(type));
    record.u64(stamp.sample_index)
        .i64(stamp.capture_qpc)
        .i64(stamp.capture_system)
        .u32(stamp.flags)
        .u32(static_cast<std::uint32_t>(samples.size() / channels));
    encode_samples(samples, type, record.cursor());
}

void append_record(std::vector<std::byte>& out, const GapRecord& gap) {
    RecordBuilder(out, "GAP_", 24)
        .u64(gap.start)
        .u64(gap.length)
        .u32(static_cast<std::uint32_t>(gap.reason))
        .u32(gap.filled ? 1 : 0);
}

void append_record(std::vector<std::byte>& out, const DeviceRecord& device) {
    RecordBuilder(out, "DEVI", 16 + device.id.size() + device.name.size())
        .u32(device.is_default ? 1 : 0)
        .u32(static_cast<std::uint32_t>(device.id.size()))
        .u32(static_cast<std::uint32_t>(device.name.size()))
        .u32(0)
        .bytes(device.id)
        .bytes(device.name);
}

void append_record(std::vector<std::byte>& out, const ReopenRecord& reopen) {
    RecordBuilder(out, "REOP", 16)
        .u32(static_cast<std::uint32_t>(reopen.reason))
        .u32(reopen.attempt)
        .u32(reopen.hresult)
        .u32(reopen.delay_ms);
}

void append_record(std::vector<std::byte>& out, const EndRecord& end) {
    RecordBuilder(out, "END_", 8).u32(static_cast<std::uint32_t>(end.reason)).u32(end.hresult);
}

}  // namespace brisvane
