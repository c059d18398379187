#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/chained_error.hpp"

namespace brisvane {

// Stands for "no code": the letters "S_OK" read as a big-endian number.
inline constexpr std::int32_t EMPTY_ERROR_CODE = 0x535F4F4B;

// A zero code is stored as EMPTY_ERROR_CODE, and read back as 0.
constexpr std::int32_t stored_code(std::int32_t code) { return code == 0 ? EMPTY_ERROR_CODE : code; }
constexpr std::int32_t read_code(std::int32_t stored) { return stored == EMPTY_ERROR_CODE ? 0 : stored; }

// The HRESULT of a Win32 error code, as HRESULT_FROM_WIN32 makes it.
constexpr std::int32_t hresult_from_win32(std::uint32_t error) {
    if (static_cast<std::int32_t>(error) > 0) {
        return static_cast<std::int32_t>(0x80070000u | (error & 0xFFFFu));
    }
    return static_cast<std::int32_t>(error);
}

// "0x" and the code's 32 bits as eight upper-case hexadecimal digits.
std::string hex_form(std::int32_t code);

// "message (0xHHHHHHHH)", or the hex form alone when the message is empty.
SinkResult write_hresult_display(TextSink& sink, std::string_view message, std::int32_t code);

}  // namespace brisvane
