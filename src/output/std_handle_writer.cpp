#include "output/std_handle_writer.hpp"

#include <algorithm>
#include <array>

#include "output/nt_write_file.hpp"

namespace brisvane {

namespace {

constexpr UINT UTF8_CODE_PAGE = 65001;

std::expected<std::size_t, OutputError> write_bytes(HANDLE handle, std::span<const std::byte> bytes) {
    IO_STATUS_BLOCK io_status{};
    const auto length = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    NTSTATUS status = NtWriteFile(handle, nullptr, nullptr, nullptr, &io_status,
                                  const_cast<std::byte*>(bytes.data()), length, nullptr, nullptr);
    if (status == static_cast<NTSTATUS>(0x00000103L)) {  // STATUS_PENDING
        WaitForSingleObject(handle, INFINITE);
        status = io_status.Status;
    }
    if (status < 0) {
        return std::unexpected(OutputError::os(RtlNtStatusToDosError(status)));
    }
    return static_cast<std::size_t>(io_status.Information);
}

// Writes valid UTF-8 to the console as UTF-16, all of it.
std::expected<void, OutputError> write_console_text(HANDLE handle, std::span<const std::byte> text) {
    std::array<wchar_t, CONSOLE_CHUNK_BYTES> units;
    const int count = MultiByteToWideChar(UTF8_CODE_PAGE, MB_ERR_INVALID_CHARS,
                                          reinterpret_cast<const char*>(text.data()), static_cast<int>(text.size()),
                                          units.data(), static_cast<int>(units.size()));
    if (count == 0) {
        return std::unexpected(OutputError::os(GetLastError()));
    }
    DWORD done = 0;
    while (done < static_cast<DWORD>(count)) {
        DWORD written = 0;
        if (!WriteConsoleW(handle, units.data() + done, static_cast<DWORD>(count) - done, &written, nullptr)) {
            return std::unexpected(OutputError::os(GetLastError()));
        }
        if (written == 0) {
            return std::unexpected(OutputError::write_zero());
        }
        done += written;
    }
    return {};
}

}  // namespace

std::expected<std::size_t, OutputError> StdHandleWriter::write(std::span<const std::byte> bytes) {
    if (bytes.empty()) {
        return 0;
    }
    HANDLE handle = GetStdHandle(std_handle_id_);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::unexpected(OutputError::os(GetLastError()));
    }
    if (handle == nullptr) {
        return std::unexpected(OutputError::os(ERROR_INVALID_HANDLE_CODE));
    }
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode) || GetConsoleOutputCP() == UTF8_CODE_PAGE) {
        return write_bytes(handle, bytes);
    }
    const ConsoleWritePlan plan = plan_console_write(bytes, pending_utf8_);
    switch (plan.action) {
        case ConsoleWritePlan::Action::Hold:
            return plan.consumed;
        case ConsoleWritePlan::Action::Write:
            if (auto written = write_console_text(handle, plan.text); !written) {
                return std::unexpected(written.error());
            }
            return plan.consumed;
        case ConsoleWritePlan::Action::Reject:
            break;
    }
    return std::unexpected(OutputError::non_utf8_on_console());
}

}  // namespace brisvane
