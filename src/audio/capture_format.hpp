#pragma once

#include <windows.h>
#include <mmreg.h>

namespace brisvane {

// The one stream format asked of the engine: 48 000 Hz, 2 channels, 32-bit IEEE float.
inline constexpr WAVEFORMATEXTENSIBLE CAPTURE_FORMAT = {
    {
        .wFormatTag = WAVE_FORMAT_EXTENSIBLE,
        .nChannels = 2,
        .nSamplesPerSec = 48000,
        .nAvgBytesPerSec = 384000,
        .nBlockAlign = 8,
        .wBitsPerSample = 32,
        .cbSize = 22,
    },
    {32},
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT,
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT {00000003-0000-0010-8000-00AA00389B71}
    {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}},
};

static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

}  // namespace brisvane
