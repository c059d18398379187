#include "output/std_handle_writer.hpp"

#include <algorithm>
#include <array>

#include "output/nt_write_file.hpp"

namespace brisvane {

namespace {

constexpr NTSTATUS PENDING = static_cast<NTSTATUS>(STATUS_PENDING);

// The status block's status, as the kernel leaves it when the write completes.
NTSTATUS completed_status(const IO_STATUS_BLOCK& io_status) {
    return *static_cast<const volatile NTSTATUS*>(&io_status.Status);
}

// Writes valid UTF-8 to the console as UTF-16, all of it.
std::expected<void, OutputError> write_console_text(HANDLE handle, std::span<const std::byte> text) {
    std::array<wchar_t, CONSOLE_CHUNK_BYTES> units;
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
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

// Every write is synchronous: one that pends is waited for on the writer's own event (never
// on the file handle, which may lack SYNCHRONIZE access or be signalled by other I/O), and
// its status block and bytes stay in place until the I/O has completed or been cancelled.
std::expected<std::size_t, OutputError> StdHandleWriter::write_bytes(HANDLE handle,
                                                                    std::span<const std::byte> bytes) {
    const NtWriteFileFunction write_file = nt_write_file();
    if (write_file == nullptr) {
        return std::unexpected(OutputError::os(ERROR_PROC_NOT_FOUND));
    }
    if (!write_done_) {
        write_done_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!write_done_) {
            return std::unexpected(OutputError::os(GetLastError()));
        }
    }
    IO_STATUS_BLOCK io_status{};
    io_status.Status = PENDING;
    const auto length = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    NTSTATUS status = write_file(handle, write_done_.get(), nullptr, nullptr, &io_status,
                                 const_cast<std::byte*>(bytes.data()), length, nullptr, nullptr);
    if (status == PENDING) {
        if (WaitForSingleObject(write_done_.get(), INFINITE) != WAIT_OBJECT_0) {
            const DWORD wait_error = GetLastError();
            CancelIoEx(handle, reinterpret_cast<OVERLAPPED*>(&io_status));
            while (completed_status(io_status) == PENDING) {
                Sleep(1);
            }
            return std::unexpected(OutputError::os(wait_error));
        }
        status = completed_status(io_status);
    }
    if (status < 0) {
        return std::unexpected(OutputError::os(RtlNtStatusToDosError(status)));
    }
    return static_cast<std::size_t>(io_status.Information);
}

std::expected<std::size_t, OutputError> StdHandleWriter::write(std::span<const std::byte> bytes) {
    if (bytes.empty()) {
        return 0;
    }
    if (!looked_up_) {
        handle_ = GetStdHandle(std_handle_id_);
        DWORD mode = 0;
        console_text_ = GetConsoleMode(handle_, &mode) && GetConsoleOutputCP() != CP_UTF8;
        looked_up_ = lookup_ == HandleLookup::Once;
    }
    const HANDLE handle = handle_;
    // A parent may store INVALID_HANDLE_VALUE for a handle it does not give: a missing
    // handle like a null one (GetStdHandle sets no last error for it).
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return std::unexpected(OutputError::os(ERROR_INVALID_HANDLE_CODE));
    }
    if (!console_text_) {
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
