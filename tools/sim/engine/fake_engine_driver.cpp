#include "fake_engine_driver.hpp"

#include "fake_engine_state.hpp"


namespace brisvane::fakes {

void EngineDriver::on_call(std::function<void(const Call&)> hook) {
    auto guard = engine_->state_->lock();
    engine_->state_->on_call = std::move(hook);
}

void EngineDriver::on_empty_read(std::function<void()> hook) {
    auto guard = engine_->state_->lock();
    engine_->state_->on_empty_read = std::move(hook);
}

void EngineDriver::with_lock(const std::function<void()>& fn) const {
    auto guard = engine_->state_->lock();
    fn();
}

bool EngineDriver::try_with_lock(const std::function<void()>& fn, std::chrono::milliseconds patience) const {
    const auto until = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (engine_->state_->mu.try_lock()) {
            std::unique_lock guard(engine_->state_->mu, std::adopt_lock);
            fn();
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        Sleep(1);
    }
}

UINT64 EngineDriver::ready_frames() const {
    const auto& state = *engine_->state_;
    UINT64 frames = 0;
    bool first = true;
    for (const Packet& p : state.script) {
        const bool held = first && state.packet_locked;
        first = false;
        if (!held && !p.get_buffer_failure) frames += p.frame_count();
    }
    return frames;
}

std::optional<Packet> EngineDriver::drop_oldest() {
    auto& state = *engine_->state_;
    auto it = state.script.begin();
    if (it != state.script.end() && state.packet_locked) ++it;
    for (; it != state.script.end(); ++it) {
        if (it->get_buffer_failure) continue;
        Packet dropped = std::move(*it);
        state.script.erase(it);
        return dropped;
    }
    return std::nullopt;
}

std::vector<ObjectStats> EngineDriver::all_objects() const {
    std::vector<ObjectStats> out;
    for (const detail::Tracked* t : engine_->state_->objects) out.push_back(t->stats);
    return out;
}

}  // namespace brisvane::fakes
