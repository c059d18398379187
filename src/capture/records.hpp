// The records of brisvane-capture.exe's stream (docs/PROTOCOL.md): each one an 8-byte head
// (four ASCII letters, the body's size) and a little-endian body padded to a multiple of 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "capture/output_format.hpp"

namespace brisvane {

inline constexpr std::uint16_t PROTOCOL_MAJOR = 1;
inline constexpr std::uint16_t PROTOCOL_MINOR = 0;
inline constexpr std::size_t RECORD_HEAD_BYTES = 8;
inline constexpr std::size_t AUDIO_RECORD_HEAD_BYTES = 32;  // the audio body before its samples

enum class TimelineMode : std::uint16_t { Exact = 1, Continuous = 2 };
enum class SourceKind : std::uint16_t { DefaultDevice = 1, Device = 2, App = 3, AllButApp = 4, DeviceList = 5 };
enum class GapReason : std::uint32_t { Silence = 1, Discontinuity = 2, Reopen = 3, NoDevice = 4 };
enum class ReopenReason : std::uint32_t { DeviceLost = 1, DefaultChanged = 2, DeviceBack = 3 };
enum class EndReason : std::uint32_t { Stopped = 1, AppExited = 2, Error = 3, Listed = 4 };

namespace audio_flags {
inline constexpr std::uint32_t SILENT = 1;
inline constexpr std::uint32_t DISCONTINUITY = 2;
inline constexpr std::uint32_t TIMESTAMP_ERROR = 4;
inline constexpr std::uint32_t FILLED = 8;
}  // namespace audio_flags

struct StreamHeader {
    OutputFormat format;
    TimelineMode timeline = TimelineMode::Exact;
    SourceKind source = SourceKind::DefaultDevice;
    std::uint32_t process_id = 0;
};

// What an audio record says of its samples.
struct AudioStamp {
    std::uint64_t sample_index = 0;
    std::int64_t capture_qpc = 0;     // 100-ns units of the performance counter
    std::int64_t capture_system = 0;  // 100-ns units since 1970-01-01 UTC
    std::uint32_t flags = 0;
};

struct GapRecord {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    GapReason reason = GapReason::Silence;
    bool filled = false;
};

struct DeviceRecord {
    bool is_default = false;
    std::string_view id;    // UTF-8; empty: there is no device
    std::string_view name;  // UTF-8
};

struct ReopenRecord {
    ReopenReason reason = ReopenReason::DeviceLost;
    std::uint32_t attempt = 1;
    std::uint32_t hresult = 0;
    std::uint32_t delay_ms = 0;
};

struct EndRecord {
    EndReason reason = EndReason::Stopped;
    std::uint32_t hresult = 0;
};

// Each appends one whole record to `out`.
void append_record(std::vector<std::byte>& out, const StreamHeader& header);
// `samples`: interleaved, format.channels per sample frame, as floats; encoded as `type`.
void append_record(std::vector<std::byte>& out, const AudioStamp& stamp, std::span<const float> samples,
                   std::uint16_t channels, SampleType type);
void append_record(std::vector<std::byte>& out, const GapRecord& gap);
void append_record(std::vector<std::byte>& out, const DeviceRecord& device);
void append_record(std::vector<std::byte>& out, const ReopenRecord& reopen);
void append_record(std::vector<std::byte>& out, const EndRecord& end);

}  // namespace brisvane
