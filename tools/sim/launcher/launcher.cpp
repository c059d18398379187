// Starts a program (brisvane.exe, or another of the project's) as applications do and records
// what its caller sees.
//
//   launcher.exe --exe PATH [options]
//     --arg VALUE                     an argument for the program (repeatable, in order); the
//                                     text {target} in it becomes the target process's id
//     --target-ms MS                  first starts a target process (launcher.exe --sleep MS)
//                                     that ends by itself MS ms later; ended at the latest with
//                                     the program
//     --stdout FILE / --stderr FILE   where the drained pipes go (default: discarded)
//     --frames FILE                   one line per whole 7680-byte frame read from standard
//                                     output: "<index> <QPC microseconds>"
//     --reads FILE                    one line per read of standard output: "<QPC microseconds> <bytes>"
//     --summary FILE                  key=value lines: exit code, byte counts, how it ended, the
//                                     times of the first and the last read of stdout ...
//     --pause BYTES:MS                once BYTES have been read, stop reading stdout for MS ms
//                                     (repeatable)
//     --close-stdout-after BYTES      read exactly BYTES, then close the read end of stdout
//     --stop-after-ms T               TerminateProcess the child after T ms
//     --stdin-pipe-close-after-ms T   standard input is a pipe that the launcher holds and
//                                     closes after T ms (how a caller asks brisvane-capture.exe to
//                                     stop); the summary gives stdin_closed_us
//     --stop-after-bytes K            TerminateProcess the child once K stdout bytes arrived
//     --timeout-ms T                  safety limit (default 300000)
//     --no-std-handles                STARTF_USESTDHANDLES with all three handles null and no
//                                     handle inheritance: the child has no standard handles
//     --detached                      no STARTF_USESTDHANDLES, DETACHED_PROCESS, no inheritance:
//                                     whatever the system gives a child without a console
//     --pipe-size N                   the pipes' buffer size (default 4096)
//     --overlapped-stdout             standard output is the client end of a named pipe opened
//                                     for overlapped I/O, as Node.js's 'overlapped' stdio gives
//     --no-synchronize                the child's standard output is a duplicate without
//                                     SYNCHRONIZE access
//     --read-delay-ms MS              wait MS ms before each read of standard output
//     --shared-stdout-stderr          standard output and standard error are one pipe, drained
//                                     as standard output (as `2>&1` makes them)
//     --invalid-std-handles           STARTF_USESTDHANDLES with INVALID_HANDLE_VALUE for all
//                                     three, put back after the child's DLLs have loaded (Wine's
//                                     msvcrt turns them into null handles while it loads)
//   launcher.exe --message CODE       prints FormatMessageW's text for the system message CODE
//   launcher.exe --sleep MS           sleeps MS ms and exits with status 0 (a target process)
//
// Exit status: the child's; 124 when the launcher ended it as asked (--stop-after-*),
// 125 when the launcher itself failed, 126 when the safety limit ended the child.
#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "narrow.hpp"

namespace {

constexpr std::size_t kFrame = 7680;
constexpr int kStopped = 124, kFailed = 125, kTimedOut = 126;

LARGE_INTEGER g_freq;

unsigned long long now_us() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<unsigned long long>(static_cast<long double>(c.QuadPart) * 1e6L / g_freq.QuadPart);
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "launcher: %s (error %lu)\n", what, GetLastError());
    std::exit(kFailed);
}

HANDLE open_out(const std::wstring& path) {
    if (path.empty()) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("cannot create an output file");
    return h;
}

void write_to(HANDLE h, const void* data, DWORD size) {
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    if (!WriteFile(h, data, size, &done, nullptr) || done != size) fail("cannot write an output file");
}

struct Pause {
    unsigned long long at_bytes;
    DWORD ms;
    unsigned long long began = 0, ended = 0;
};

struct Options {
    std::wstring exe, out, err, frames, reads, summary;
    std::vector<Pause> pauses;
    long long close_after = -1, stop_after_bytes = -1;
    long long stop_after_ms = -1, timeout_ms = 300000;
    bool no_std_handles = false;
    bool detached = false;
    bool overlapped_stdout = false;
    bool no_synchronize = false;
    bool invalid_std_handles = false;
    bool shared_stdout_stderr = false;
    DWORD read_delay_ms = 0;
    DWORD pipe_size = 4096;
    std::vector<std::wstring> args;
    long long target_ms = -1;
    long long stdin_close_after_ms = -1;
} g_opt;

HANDLE g_child = nullptr;
HANDLE g_in_write = nullptr;  // the write end of the child's standard input, with --stdin-pipe-close-after-ms
unsigned long long g_stdin_closed_us = 0;
HANDLE g_out_read = nullptr, g_err_read = nullptr;
volatile LONG g_stopped = 0;
unsigned long long g_out_bytes = 0, g_err_bytes = 0;
volatile LONG64 g_err_seen = 0;  // stderr bytes read so far, for the ordering check
long long g_err_before_first_out = -1;
unsigned long long g_first_out_us = 0, g_last_out_us = 0, g_first_err_us = 0, g_out_eof_us = 0;
std::string g_out_end = "eof";
DWORD g_out_error = 0;

void stop_child() {
    if (InterlockedExchange(&g_stopped, 1) == 0) TerminateProcess(g_child, 0xC0DE);
}

DWORD WINAPI drain_stdout(void*) {
    HANDLE file = open_out(g_opt.out);
    std::string frames, reads;
    std::vector<char> buffer(1 << 16);
    std::size_t next_pause = 0;
    unsigned long long frame_index = 0;
    for (;;) {
        while (next_pause < g_opt.pauses.size() && g_out_bytes >= g_opt.pauses[next_pause].at_bytes) {
            Pause& p = g_opt.pauses[next_pause++];
            p.began = now_us();
            Sleep(p.ms);
            p.ended = now_us();
        }
        DWORD want = static_cast<DWORD>(buffer.size());
        if (g_opt.close_after >= 0) {
            const unsigned long long left = static_cast<unsigned long long>(g_opt.close_after) - g_out_bytes;
            if (left == 0) {
                CloseHandle(g_out_read);
                g_out_read = nullptr;
                g_out_end = "closed";
                break;
            }
            if (left < want) want = static_cast<DWORD>(left);
        }
        if (next_pause < g_opt.pauses.size()) {
            const unsigned long long left = g_opt.pauses[next_pause].at_bytes - g_out_bytes;
            if (left < want) want = static_cast<DWORD>(left);
        }
        if (g_opt.read_delay_ms > 0) Sleep(g_opt.read_delay_ms);
        DWORD got = 0;
        if (!ReadFile(g_out_read, buffer.data(), want, &got, nullptr) || got == 0) {
            g_out_error = GetLastError();
            g_out_eof_us = now_us();
            break;
        }
        const unsigned long long t = now_us();
        if (g_out_bytes == 0) {
            g_first_out_us = t;
            // What standard error held when the first PCM byte could be seen.
            DWORD pending = 0;
            if (g_err_read != nullptr) PeekNamedPipe(g_err_read, nullptr, 0, nullptr, &pending, nullptr);
            g_err_before_first_out = g_err_seen + pending;
        }
        g_last_out_us = t;
        write_to(file, buffer.data(), got);
        g_out_bytes += got;
        if (!g_opt.reads.empty()) reads += std::to_string(t) + " " + std::to_string(got) + "\n";
        for (; (frame_index + 1) * kFrame <= g_out_bytes; ++frame_index)
            frames += std::to_string(frame_index) + " " + std::to_string(t) + "\n";
        if (g_opt.stop_after_bytes >= 0 && g_out_bytes >= static_cast<unsigned long long>(g_opt.stop_after_bytes))
            stop_child();
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!g_opt.frames.empty()) {
        HANDLE f = open_out(g_opt.frames);
        write_to(f, frames.data(), static_cast<DWORD>(frames.size()));
        CloseHandle(f);
    }
    if (!g_opt.reads.empty()) {
        HANDLE f = open_out(g_opt.reads);
        write_to(f, reads.data(), static_cast<DWORD>(reads.size()));
        CloseHandle(f);
    }
    return 0;
}

DWORD WINAPI drain_stderr(void*) {
    HANDLE file = open_out(g_opt.err);
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(g_err_read, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        if (g_err_bytes == 0) g_first_err_us = now_us();
        write_to(file, buffer, got);
        g_err_bytes += got;
        InterlockedExchange64(&g_err_seen, static_cast<LONG64>(g_err_bytes));
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
}

int print_message(const wchar_t* code_text) {
    const DWORD code = static_cast<DWORD>(std::wcstoul(code_text, nullptr, 0));
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const std::string text = n > 0 ? narrow(std::wstring(buffer, n)) : std::string();
    if (buffer != nullptr) LocalFree(buffer);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

// Standard output as the client end of a named pipe opened for overlapped I/O; the launcher
// reads the server end.
HANDLE overlapped_stdout_pipe(SECURITY_ATTRIBUTES& inheritable) {
    const std::wstring name = L"\\\\.\\pipe\\brisvane-launcher-" + std::to_wstring(GetCurrentProcessId());
    g_out_read = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                  g_opt.pipe_size, g_opt.pipe_size, 0, nullptr);
    if (g_out_read == INVALID_HANDLE_VALUE) fail("CreateNamedPipeW");
    HANDLE client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                nullptr);
    if (client == INVALID_HANDLE_VALUE) fail("cannot open the client end of the named pipe");
    return client;
}

// A duplicate of the handle without SYNCHRONIZE access: nothing can wait on it.
HANDLE without_synchronize(HANDLE handle) {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate,
                         FILE_GENERIC_WRITE & ~static_cast<DWORD>(SYNCHRONIZE), TRUE, 0))
        fail("DuplicateHandle");
    CloseHandle(handle);
    return duplicate;
}

// Runs the child under the debug API up to its entry point, where its DLLs have been
// initialised, sets its three standard handles to INVALID_HANDLE_VALUE and lets it go.
void put_back_invalid_std_handles(DWORD process_id) {
    void* entry = nullptr;
    HANDLE process = nullptr;
    BYTE original = 0;
    for (;;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 60000)) fail("WaitForDebugEvent");
        DWORD verdict = DBG_CONTINUE;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            const auto& created = event.u.CreateProcessInfo;
            if (created.hFile) CloseHandle(created.hFile);
            process = created.hProcess;
            entry = reinterpret_cast<void*>(created.lpStartAddress);
            const BYTE breakpoint = 0xCC;
            if (!ReadProcessMemory(process, entry, &original, 1, nullptr) ||
                !WriteProcessMemory(process, entry, &breakpoint, 1, nullptr))
                fail("cannot set a breakpoint at the entry point");
            FlushInstructionCache(process, entry, 1);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            if (record.ExceptionCode == EXCEPTION_BREAKPOINT && record.ExceptionAddress == entry) {
                WriteProcessMemory(process, entry, &original, 1, nullptr);
                FlushInstructionCache(process, entry, 1);
                HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
                CONTEXT context{};
                context.ContextFlags = CONTEXT_CONTROL;
                if (!thread || !GetThreadContext(thread, &context)) fail("GetThreadContext");
                context.Rip = reinterpret_cast<DWORD64>(entry);
                if (!SetThreadContext(thread, &context)) fail("SetThreadContext");
                CloseHandle(thread);
                PROCESS_BASIC_INFORMATION basic{};
                if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) < 0)
                    fail("NtQueryInformationProcess");
                PRTL_USER_PROCESS_PARAMETERS parameters = nullptr;
                if (!ReadProcessMemory(process, reinterpret_cast<BYTE*>(basic.PebBaseAddress) + offsetof(PEB, ProcessParameters),
                                       &parameters, sizeof parameters, nullptr))
                    fail("cannot read the process parameters");
                // StandardInput, StandardOutput and StandardError follow ConsoleHandle and ConsoleFlags.
                HANDLE invalid[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
                auto* standard_handles = reinterpret_cast<BYTE*>(parameters) +
                                         offsetof(RTL_USER_PROCESS_PARAMETERS, Reserved2) + 2 * sizeof(PVOID);
                if (!WriteProcessMemory(process, standard_handles, invalid, sizeof invalid, nullptr))
                    fail("cannot write the standard handles");
                ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                DebugSetProcessKillOnExit(FALSE);
                if (!DebugActiveProcessStop(process_id)) fail("DebugActiveProcessStop");
                return;
            }
            if (record.ExceptionCode != EXCEPTION_BREAKPOINT) verdict = DBG_EXCEPTION_NOT_HANDLED;
        } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            fail("the child ended before its entry point");
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, verdict);
    }
}

void parse(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        auto value = [&]() -> std::wstring {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "launcher: %s needs a value\n", narrow(a).c_str());
                std::exit(kFailed);
            }
            return argv[++i];
        };
        if (a == L"--exe") g_opt.exe = value();
        else if (a == L"--stdout") g_opt.out = value();
        else if (a == L"--stderr") g_opt.err = value();
        else if (a == L"--frames") g_opt.frames = value();
        else if (a == L"--summary") g_opt.summary = value();
        else if (a == L"--reads") g_opt.reads = value();
        else if (a == L"--pause") {
            const std::wstring v = value();
            const auto colon = v.find(L':');
            if (colon == std::wstring::npos) fail("--pause wants BYTES:MS");
            g_opt.pauses.push_back({std::wcstoull(v.c_str(), nullptr, 10),
                                    static_cast<DWORD>(std::wcstoul(v.c_str() + colon + 1, nullptr, 10))});
        } else if (a == L"--close-stdout-after") g_opt.close_after = std::wcstoll(value().c_str(), nullptr, 10);
        else if (a == L"--stop-after-ms") g_opt.stop_after_ms = std::wcstoll(value().c_str(), nullptr, 10);
        else if (a == L"--stop-after-bytes") g_opt.stop_after_bytes = std::wcstoll(value().c_str(), nullptr, 10);
        else if (a == L"--timeout-ms") g_opt.timeout_ms = std::wcstoll(value().c_str(), nullptr, 10);
        else if (a == L"--pipe-size") g_opt.pipe_size = static_cast<DWORD>(std::wcstoul(value().c_str(), nullptr, 10));
        else if (a == L"--read-delay-ms") g_opt.read_delay_ms = static_cast<DWORD>(std::wcstoul(value().c_str(), nullptr, 10));
        else if (a == L"--arg") g_opt.args.push_back(value());
        else if (a == L"--target-ms") g_opt.target_ms = std::wcstoll(value().c_str(), nullptr, 10);
        else if (a == L"--stdin-pipe-close-after-ms") g_opt.stdin_close_after_ms = std::wcstoll(value().c_str(), nullptr, 10);
        else if (a == L"--overlapped-stdout") g_opt.overlapped_stdout = true;
        else if (a == L"--no-synchronize") g_opt.no_synchronize = true;
        else if (a == L"--shared-stdout-stderr") g_opt.shared_stdout_stderr = true;
        else if (a == L"--invalid-std-handles") g_opt.no_std_handles = g_opt.invalid_std_handles = true;
        else if (a == L"--no-std-handles") g_opt.no_std_handles = true;
        else if (a == L"--detached") g_opt.no_std_handles = g_opt.detached = true;
        else {
            std::fprintf(stderr, "launcher: unknown option %s\n", narrow(a).c_str());
            std::exit(kFailed);
        }
    }
    if (g_opt.exe.empty()) {
        std::fprintf(stderr, "launcher: --exe is required\n");
        std::exit(kFailed);
    }
}

// One argument as the C runtime's command-line parsing reads it back.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        for (; i < arg.size() && arg[i] == L'\\'; ++i) ++backslashes;
        if (i == arg.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        out.append(arg[i] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += arg[i];
    }
    return out + L"\"";
}

// `launcher.exe --sleep MS`, a process whose id the program under test gets.
PROCESS_INFORMATION start_target(long long ms) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = quoted(self) + L" --sleep " + std::to_wstring(ms);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
        fail("cannot start the target process");
    CloseHandle(pi.hThread);
    return pi;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    QueryPerformanceFrequency(&g_freq);
    if (argc == 3 && std::wstring(argv[1]) == L"--message") return print_message(argv[2]);
    if (argc == 3 && std::wstring(argv[1]) == L"--sleep") {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    parse(argc, argv);
    PROCESS_INFORMATION target{};
    unsigned long long target_start_us = 0;
    if (g_opt.target_ms >= 0) {
        target = start_target(g_opt.target_ms);
        target_start_us = now_us();
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = g_opt.detached ? 0 : STARTF_USESTDHANDLES;
    HANDLE out_write = nullptr, err_write = nullptr, in_null = nullptr;
    if (g_opt.invalid_std_handles) {
        si.hStdInput = si.hStdOutput = si.hStdError = INVALID_HANDLE_VALUE;
    } else if (!g_opt.no_std_handles) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        if (g_opt.overlapped_stdout) {
            out_write = overlapped_stdout_pipe(sa);
        } else if (!CreatePipe(&g_out_read, &out_write, &sa, g_opt.pipe_size)) {
            fail("CreatePipe");
        }
        if (g_opt.no_synchronize) out_write = without_synchronize(out_write);
        if (!g_opt.shared_stdout_stderr) {
            if (!CreatePipe(&g_err_read, &err_write, &sa, g_opt.pipe_size)) fail("CreatePipe");
            SetHandleInformation(g_err_read, HANDLE_FLAG_INHERIT, 0);
        }
        SetHandleInformation(g_out_read, HANDLE_FLAG_INHERIT, 0);
        if (g_opt.stdin_close_after_ms >= 0) {
            if (!CreatePipe(&in_null, &g_in_write, &sa, 0)) fail("CreatePipe");
            SetHandleInformation(g_in_write, HANDLE_FLAG_INHERIT, 0);
        } else {
            in_null = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        }
        si.hStdInput = in_null;
        si.hStdOutput = out_write;
        si.hStdError = g_opt.shared_stdout_stderr ? out_write : err_write;
    }
    std::wstring command = L"\"" + g_opt.exe + L"\"";
    for (std::wstring arg : g_opt.args) {
        for (std::size_t at; (at = arg.find(L"{target}")) != std::wstring::npos;)
            arg.replace(at, 8, std::to_wstring(target.dwProcessId));
        command += L" " + quoted(arg);
    }
    PROCESS_INFORMATION pi{};
    const unsigned long long start_us = now_us();
    const auto start_child = [&] {
        return CreateProcessW(g_opt.exe.c_str(), command.data(), nullptr, nullptr, g_opt.no_std_handles ? FALSE : TRUE,
                              (g_opt.detached ? DETACHED_PROCESS : 0) |
                                  (g_opt.invalid_std_handles ? DEBUG_ONLY_THIS_PROCESS : 0),
                              nullptr, nullptr, &si, &pi);
    };
    // On a busy machine Wine now and then fails a process start with ERROR_INTERNAL_ERROR: the
    // new process died in Wine's loader, before any of the program's code ran. That is Wine's
    // failure, not the program's, so the start is tried again.
    BOOL started = start_child();
    for (int retry = 0; !started && GetLastError() == ERROR_INTERNAL_ERROR && retry < 3; ++retry) {
        Sleep(200);
        started = start_child();
    }
    if (!started) fail("CreateProcessW");
    if (g_opt.invalid_std_handles) put_back_invalid_std_handles(pi.dwProcessId);
    g_child = pi.hProcess;
    CloseHandle(pi.hThread);
    // Only the child holds the write ends now, so the reads end when it does.
    if (out_write) CloseHandle(out_write);
    if (err_write) CloseHandle(err_write);
    if (in_null && in_null != INVALID_HANDLE_VALUE) CloseHandle(in_null);

    if (g_in_write) {
        CreateThread(nullptr, 0, [](void*) -> DWORD {
            Sleep(static_cast<DWORD>(g_opt.stdin_close_after_ms));
            g_stdin_closed_us = now_us();
            CloseHandle(g_in_write);
            return 0;
        }, nullptr, 0, nullptr);
    }

    HANDLE readers[2] = {nullptr, nullptr};
    if (!g_opt.no_std_handles) {
        readers[0] = CreateThread(nullptr, 0, drain_stdout, nullptr, 0, nullptr);
        if (g_err_read) readers[1] = CreateThread(nullptr, 0, drain_stderr, nullptr, 0, nullptr);
    }

    std::string how = "exited";
    const DWORD limit = static_cast<DWORD>(g_opt.stop_after_ms >= 0 && g_opt.stop_after_ms < g_opt.timeout_ms
                                               ? g_opt.stop_after_ms
                                               : g_opt.timeout_ms);
    if (WaitForSingleObject(g_child, limit) == WAIT_TIMEOUT) {
        how = limit == g_opt.stop_after_ms ? "stopped-time" : "timeout";
        if (how == "timeout") {
            // Marked 2, not 1, so that it is not taken for a stop after enough bytes.
            InterlockedExchange(&g_stopped, 2);
            TerminateProcess(g_child, 0xC0DE);
        } else {
            stop_child();
        }
        WaitForSingleObject(g_child, INFINITE);
    } else if (g_stopped == 1) {
        how = "stopped-bytes";
    }
    const unsigned long long end_us = now_us();
    if (readers[0]) {
        WaitForMultipleObjects(readers[1] ? 2 : 1, readers, TRUE, 60000);
    }
    DWORD code = 0;
    GetExitCodeProcess(g_child, &code);
    if (target.hProcess != nullptr) {
        TerminateProcess(target.hProcess, 0xC0DE);  // if it still runs
        CloseHandle(target.hProcess);
    }

    if (!g_opt.summary.empty()) {
        std::string s;
        auto put = [&](const char* key, const std::string& v) { s += std::string(key) + "=" + v + "\n"; };
        put("end", how);
        put("exit_code", std::to_string(code));
        put("stdout_bytes", std::to_string(g_out_bytes));
        put("stderr_bytes", std::to_string(g_err_bytes));
        put("stdout_end", g_out_end);
        put("stdout_read_error", std::to_string(g_out_error));
        put("stderr_before_first_stdout", std::to_string(g_err_before_first_out));
        put("start_us", std::to_string(start_us));
        put("end_us", std::to_string(end_us));
        put("first_stdout_us", std::to_string(g_first_out_us));
        put("last_stdout_us", std::to_string(g_last_out_us));
        put("stdout_eof_us", std::to_string(g_out_eof_us));
        put("first_stderr_us", std::to_string(g_first_err_us));
        if (g_stdin_closed_us != 0) put("stdin_closed_us", std::to_string(g_stdin_closed_us));
        if (target.hProcess != nullptr) {
            put("target_pid", std::to_string(target.dwProcessId));
            put("target_start_us", std::to_string(target_start_us));
        }
        for (const Pause& p : g_opt.pauses)
            put("pause", std::to_string(p.at_bytes) + " " + std::to_string(p.began) + " " + std::to_string(p.ended));
        HANDLE f = open_out(g_opt.summary);
        write_to(f, s.data(), static_cast<DWORD>(s.size()));
        CloseHandle(f);
    }
    if (how == "timeout") return kTimedOut;
    if (how != "exited") return kStopped;
    return static_cast<int>(code);
}
