// Writes the session's records to standard output on a thread of its own, so that a reader
// that is slow for a while never keeps the capture from reading the engine's packets.
#pragma once

#include <windows.h>

#include <expected>
#include <memory>
#include <optional>
#include <span>

#include "capture/capture_session.hpp"
#include "output/output_error.hpp"

namespace brisvane {

// How much may wait for the reader before the capture itself waits (and the engine, not this
// program, then drops what does not fit, which the positions show as a gap).
inline constexpr std::size_t MAX_QUEUED_RECORD_BYTES = 32u << 20;

class RecordWriter final : public RecordSink {
public:
    explicit RecordWriter(const OutputFormat& format);
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;
    // The thread stays behind, idle or blocked in a write, until the process ends.
    ~RecordWriter();

    void write(std::span<const std::byte> records) override;
    void write_silence(const SilenceRun& run) override;

    // Set, and left set, once a write has failed.
    HANDLE failed_event() const;
    std::optional<OutputError> failure() const;
    // Waits until everything handed over is written, or a write failed.
    std::expected<void, OutputError> drain();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace brisvane
