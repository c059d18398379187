// Process loopback: an audio client that captures what one process tree plays, or what every
// process but that tree plays (Windows 10 version 2004 and later).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "audio/stream_client.hpp"
#include "error/audio_error.hpp"

namespace brisvane {

enum class LoopbackTree { Include, Exclude };

// Why this system cannot capture processes (too old, or the function missing), or nothing.
std::optional<std::string> process_loopback_unavailable();

// Activates a process loopback client for the tree of `process_id` and waits, within a bound,
// for the system to complete it. The client is not initialised.
std::expected<StreamClient, AudioError> activate_process_loopback(std::uint32_t process_id, LoopbackTree tree);

}  // namespace brisvane
