// One 20 ms frame's worth of audio through the queue and standard output's write-all,
// beside the floor: the same bytes copied into a fresh zero-filled buffer and out again.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "output/pcm_queue.hpp"
#include "output/raw_writer.hpp"

namespace brisvane {
namespace {

constexpr std::size_t BYTES_PER_SAMPLE_FRAME = 8;

// Accepts every write and keeps only a checksum, so that the copies cannot be optimised away.
class DiscardingWriter final : public RawWriter {
public:
    std::expected<std::size_t, OutputError> write(std::span<const std::byte> bytes) override {
        checksum += std::to_integer<unsigned>(bytes.front()) + std::to_integer<unsigned>(bytes.back());
        return bytes.size();
    }
    unsigned checksum = 0;
};

std::vector<std::byte> packet_bytes(std::size_t frames) {
    std::vector<std::byte> bytes(frames * BYTES_PER_SAMPLE_FRAME);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::byte>((i * 13 + 1) % 250 + 11);
    }
    return bytes;
}

// Appends packets of `packet_frames` and writes every whole frame; one iteration is one frame.
void run_pipeline(benchmark::State& state, const std::vector<std::byte>& packet) {
    DiscardingWriter sink;
    PcmQueue queue(480 * 16 + 15360);
    for (auto _ : state) {
        while (queue.size() < FRAME_BYTES) {
            queue.append(packet);
        }
        const auto frame = queue.take_frame();
        if (!write_all_raw(sink, std::span(frame.get(), FRAME_BYTES))) state.SkipWithError("write failed");
    }
    benchmark::DoNotOptimize(sink.checksum);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FRAME_BYTES));
}

void BM_Pipeline(benchmark::State& state) { run_pipeline(state, packet_bytes(static_cast<std::size_t>(state.range(0)))); }
BENCHMARK(BM_Pipeline)->Arg(441)->Arg(480)->Arg(1056);

// The same, with one push_back per byte as a reference for the cost of the run copy.
void BM_PipelineBytewise(benchmark::State& state) {
    const auto packet = packet_bytes(static_cast<std::size_t>(state.range(0)));
    DiscardingWriter sink;
    PcmQueue queue(480 * 16 + 15360);
    for (auto _ : state) {
        while (queue.size() < FRAME_BYTES) {
            for (const std::byte value : packet) queue.push_back(value);
        }
        const auto frame = queue.take_frame();
        if (!write_all_raw(sink, std::span(frame.get(), FRAME_BYTES))) state.SkipWithError("write failed");
    }
    benchmark::DoNotOptimize(sink.checksum);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FRAME_BYTES));
}
BENCHMARK(BM_PipelineBytewise)->Arg(480);

// The floor: 7680 bytes into a fresh zero-filled buffer and out again.
void BM_Floor(benchmark::State& state) {
    const auto source = packet_bytes(FRAME_BYTES / BYTES_PER_SAMPLE_FRAME);
    DiscardingWriter sink;
    for (auto _ : state) {
        auto buffer = std::make_unique<std::byte[]>(FRAME_BYTES);
        std::memcpy(buffer.get(), source.data(), FRAME_BYTES);
        benchmark::DoNotOptimize(buffer.get());
        std::array<std::byte, FRAME_BYTES> out;
        std::memcpy(out.data(), buffer.get(), FRAME_BYTES);
        benchmark::DoNotOptimize(out.data());
        (void)sink.write(out);
    }
    benchmark::DoNotOptimize(sink.checksum);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FRAME_BYTES));
}
BENCHMARK(BM_Floor);

}  // namespace
}  // namespace brisvane

BENCHMARK_MAIN();
