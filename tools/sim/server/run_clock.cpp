#include "run_clock.hpp"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <iterator>

namespace brisvane::engine_server {
namespace {

constexpr std::uint64_t kRate = 48000;

std::uint64_t frequency() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::uint64_t>(f.QuadPart);
}

}  // namespace

std::uint64_t qpc_us() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return RunClock::scale(static_cast<std::uint64_t>(c.QuadPart), 1'000'000, frequency());
}

std::uint64_t RunClock::now() const {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<std::uint64_t>(c.QuadPart);
}

RunClock RunClock::join(const std::wstring& scenario_path) {
    RunClock clock;
    clock.frequency_ = frequency();
    clock.epoch_ = clock.now();
    if (scenario_path.empty()) return clock;
    std::uint32_t hash = 2166136261u;  // FNV-1a of the lower-cased path: a name without backslashes
    for (wchar_t c : scenario_path) hash = (hash ^ static_cast<std::uint32_t>(std::towlower(c))) * 16777619u;
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"brisvane-sim-run-clock-%08x", hash);
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64), name);
    if (section == nullptr) return clock;
    auto* shared = static_cast<volatile LONG64*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG64)));
    if (shared == nullptr) return clock;
    const LONG64 before = InterlockedCompareExchange64(shared, static_cast<LONG64>(clock.epoch_), 0);
    if (before != 0) {
        clock.epoch_ = static_cast<std::uint64_t>(before);
        clock.first_ = false;
    }
    return clock;
}

std::uint64_t RunClock::frame_at(std::uint64_t ticks) const {
    return ticks <= epoch_ ? 0 : scale(ticks - epoch_, kRate, frequency_);
}

std::uint64_t RunClock::ticks_at_frame(std::uint64_t frame) const {
    const std::uint64_t ticks = scale(frame, frequency_, kRate);
    return epoch_ + ticks + (scale(ticks, kRate, frequency_) < frame ? 1 : 0);
}

std::uint64_t RunClock::qpc_position(std::uint64_t frame) const {
    return scale(epoch_, 10'000'000, frequency_) + (frame * 10'000'000 + kRate / 2) / kRate;
}

}  // namespace brisvane::engine_server
