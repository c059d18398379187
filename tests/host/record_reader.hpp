// The tests' own reader of the record stream, written from docs/PROTOCOL.md.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace brisvane::testing {

struct Record {
    std::string type;
    std::vector<std::byte> body;

    template <class T>
    T at(std::size_t offset) const {
        T value;
        std::memcpy(&value, body.data() + offset, sizeof value);
        return value;
    }
    std::string text(std::size_t offset, std::size_t length) const {
        return std::string(reinterpret_cast<const char*>(body.data()) + offset, length);
    }
    // AUDI
    std::uint64_t index() const { return at<std::uint64_t>(0); }
    std::int64_t qpc() const { return at<std::int64_t>(8); }
    std::int64_t system() const { return at<std::int64_t>(16); }
    std::uint32_t flags() const { return at<std::uint32_t>(24); }
    std::uint32_t count() const { return at<std::uint32_t>(28); }
    std::vector<float> floats() const {
        std::vector<float> samples((body.size() - 32) / 4);
        std::memcpy(samples.data(), body.data() + 32, samples.size() * 4);
        return samples;
    }
};

// Splits a stream into records; a malformed stream gives what came before the fault and a last
// record of type "BAD!".
inline std::vector<Record> read_records(std::span<const std::byte> stream) {
    std::vector<Record> records;
    while (!stream.empty()) {
        std::uint32_t size = 0;
        if (stream.size() < 8) return records.push_back({"BAD!", {}}), records;
        std::memcpy(&size, stream.data() + 4, 4);
        if (size % 8 != 0 || stream.size() < 8 + std::size_t{size}) return records.push_back({"BAD!", {}}), records;
        records.push_back({std::string(reinterpret_cast<const char*>(stream.data()), 4),
                           std::vector<std::byte>(stream.begin() + 8, stream.begin() + 8 + size)});
        stream = stream.subspan(8 + std::size_t{size});
    }
    return records;
}

}  // namespace brisvane::testing
