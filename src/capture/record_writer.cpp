#include "capture/record_writer.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "output/raw_writer.hpp"
#include "output/std_handle_writer.hpp"
#include "platform/owned_handle.hpp"

namespace brisvane {

namespace {

// Records of a silence run are made and written this many at a time.
constexpr std::uint64_t SILENCE_RECORDS_PER_WRITE = 50;

}  // namespace

struct RecordWriter::Shared {
    explicit Shared(const OutputFormat& output_format)
        : format(output_format), failed(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    using Item = std::variant<std::vector<std::byte>, SilenceRun>;

    std::size_t bytes_of(const Item& item) const {
        const auto* bytes = std::get_if<std::vector<std::byte>>(&item);
        return bytes ? bytes->size() : 0;
    }

    void push(Item item) {
        std::unique_lock hold(lock);
        changed.wait(hold, [&] { return queued_bytes < MAX_QUEUED_RECORD_BYTES || error; });
        if (error) return;
        queued_bytes += bytes_of(item);
        items.push_back(std::move(item));
        changed.notify_all();
    }

    std::expected<void, OutputError> write_item(RawWriter& output, const Item& item) {
        if (const auto* bytes = std::get_if<std::vector<std::byte>>(&item)) return write_all_raw(output, *bytes);
        const auto& run = std::get<SilenceRun>(item);
        std::vector<std::byte> chunk;
        for (std::uint64_t first = 0; first < run.records; first += SILENCE_RECORDS_PER_WRITE) {
            chunk.clear();
            append_silence_records(chunk, run, first, std::min(SILENCE_RECORDS_PER_WRITE, run.records - first), format);
            if (auto written = write_all_raw(output, chunk); !written) return written;
        }
        return {};
    }

    void run() {
        // Standard output is this thread's alone: its handle and kind are looked up once.
        StdHandleWriter output(STD_OUTPUT_HANDLE, HandleLookup::Once);
        for (;;) {
            std::unique_lock hold(lock);
            changed.wait(hold, [&] { return !items.empty() || closing; });
            if (items.empty()) return;
            writing = true;
            Item item = std::move(items.front());
            items.pop_front();
            hold.unlock();
            auto written = write_item(output, item);
            hold.lock();
            writing = false;
            queued_bytes -= bytes_of(item);
            if (!written) {
                error = written.error();
                items.clear();
                SetEvent(failed.get());
            }
            changed.notify_all();
            if (error) return;
        }
    }

    OutputFormat format;
    OwnedHandle failed;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Item> items;
    std::size_t queued_bytes = 0;
    bool writing = false;
    bool closing = false;
    std::optional<OutputError> error;
};

// Not make_shared: with MinGW GCC 12 in C++23 mode it emits a type_info comparison that clashes with
// the one in static libstdc++.
RecordWriter::RecordWriter(const OutputFormat& format) : shared_(new Shared(format)) {
    std::thread([shared = shared_] { shared->run(); }).detach();
}

RecordWriter::~RecordWriter() {
    std::lock_guard hold(shared_->lock);
    shared_->closing = true;
    shared_->changed.notify_all();
}

void RecordWriter::write(std::span<const std::byte> records) {
    shared_->push(std::vector<std::byte>(records.begin(), records.end()));
}

void RecordWriter::write_silence(const SilenceRun& run) { shared_->push(run); }

HANDLE RecordWriter::failed_event() const { return shared_->failed.get(); }

std::optional<OutputError> RecordWriter::failure() const {
    std::lock_guard hold(shared_->lock);
    return shared_->error;
}

std::expected<void, OutputError> RecordWriter::drain() {
    std::unique_lock hold(shared_->lock);
    shared_->changed.wait(hold, [&] { return (shared_->items.empty() && !shared_->writing) || shared_->error; });
    if (shared_->error) return std::unexpected(*shared_->error);
    return {};
}

}  // namespace brisvane
