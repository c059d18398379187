// Access for code that drives a FakeEngine from outside a test: something that makes
// packets as the program under test asks for them (the engine server DLL), watches
// every call as it completes, and drops packets the way an overflowing endpoint
// buffer does. Tests that script packets up front do not need it.
#pragma once

#include "fake_engine.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace brisvane::fakes {

class EngineDriver {
public:
    explicit EngineDriver(FakeEngine& engine) : engine_(&engine) {}

    // Called, with the engine's lock held, for every call once its result is known.
    void on_call(std::function<void(const Call&)> hook);
    // Called, with the engine's lock held, after a GetBuffer call found no packet ready
    // (the call still reports AUDCLNT_S_BUFFER_EMPTY).
    void on_empty_read(std::function<void()> hook);

    // Runs fn with the engine's lock held; fn may call the engine (the lock is recursive).
    void with_lock(const std::function<void()>& fn) const;
    // The same, if the lock can be had within `patience`; false when it could not
    // (at process exit its holder may be a thread that no longer exists).
    bool try_with_lock(const std::function<void()>& fn, std::chrono::milliseconds patience) const;

    // The rest need the engine's lock (call them inside with_lock).
    // Frames in the packets that are ready and not held by the program.
    UINT64 ready_frames() const;
    // Removes the oldest ready packet the program does not hold.
    std::optional<Packet> drop_oldest();
    // Every object the engine made, the class factories included, in creation order.
    std::vector<ObjectStats> all_objects() const;

private:
    FakeEngine* engine_;
};

}  // namespace brisvane::fakes
