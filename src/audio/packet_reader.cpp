#include "audio/packet_reader.hpp"

#include "audio/windows_error.hpp"

namespace brisvane {

std::expected<HeldPacket, AudioError> acquire_packet(const PacketReader& reader) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 device_position = 0;
    UINT64 qpc_position = 0;
    if (const HRESULT hr = reader.get()->GetBuffer(&data, &frames, &flags, &device_position, &qpc_position);
        FAILED(hr)) {
        return windows_error(hr);
    }
    const PacketInfo info{
        .frames = frames,
        .device_position = device_position,
        .qpc_position = qpc_position,
        .data_discontinuity = (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0,
        .silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0,
        .timestamp_error = (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) != 0,
    };
    if (frames == 0) {
        return HeldPacket{info, {}};
    }
    const std::uint64_t bytes = std::uint64_t{frames} * reader.bytes_per_frame();
    return HeldPacket{info, std::span(reinterpret_cast<const std::byte*>(data), static_cast<std::size_t>(bytes))};
}

std::expected<void, AudioError> release_packet(const PacketReader& reader, std::uint32_t frames) {
    if (const HRESULT hr = reader.get()->ReleaseBuffer(frames); FAILED(hr)) {
        return windows_error(hr);
    }
    return {};
}

std::expected<PacketInfo, AudioError> read_packet(const PacketReader& reader, PcmQueue& queue) {
    auto packet = acquire_packet(reader);
    if (!packet) return std::unexpected(std::move(packet.error()));
    if (packet->info.frames == 0) {
        return packet->info;
    }
    queue.append(packet->bytes);
    if (auto released = release_packet(reader, packet->info.frames); !released) {
        return std::unexpected(std::move(released.error()));
    }
    return packet->info;
}

}  // namespace brisvane
