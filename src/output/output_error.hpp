#pragma once

#include <cstdint>

namespace brisvane {

// The Win32 error that stands for a missing standard handle; writes treat it as success.
inline constexpr std::uint32_t ERROR_INVALID_HANDLE_CODE = 6;

// The error of a write to a standard stream.
struct OutputError {
    enum class Kind {
        Os,                  // a Win32 error code
        WriteZero,           // a write accepted 0 bytes
        NonUtf8OnConsole,    // the console path met bytes that are not UTF-8
    };

    Kind kind;
    std::uint32_t os_code = 0;

    static OutputError os(std::uint32_t code) { return {Kind::Os, code}; }
    static OutputError write_zero() { return {Kind::WriteZero, 0}; }
    static OutputError non_utf8_on_console() { return {Kind::NonUtf8OnConsole, 0}; }

    bool is_invalid_handle() const { return kind == Kind::Os && os_code == ERROR_INVALID_HANDLE_CODE; }
    friend bool operator==(const OutputError&, const OutputError&) = default;
};

}  // namespace brisvane
