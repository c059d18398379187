// The limit for throughput: writes 7680-byte blocks to standard output as fast as the
// pipe takes them, with the same NtWriteFile call the program uses, until the reader
// goes away or the given number of bytes is written.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "output/nt_write_file.hpp"

int main(int argc, char** argv) {
    const unsigned long long limit = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
    std::vector<unsigned char> block(7680);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7 + 1);
    const brisvane::NtWriteFileFunction write_file = brisvane::nt_write_file();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    unsigned long long written = 0;
    while (limit == 0 || written < limit) {
        std::size_t done = 0;
        while (done < block.size()) {
            IO_STATUS_BLOCK status{};
            NTSTATUS result = write_file(out, nullptr, nullptr, nullptr, &status, block.data() + done,
                                         static_cast<ULONG>(block.size() - done), nullptr, nullptr);
            if (result == static_cast<NTSTATUS>(STATUS_PENDING)) {
                WaitForSingleObject(out, INFINITE);
                result = status.Status;
            }
            if (result < 0 || status.Information == 0) return 1;
            done += status.Information;
        }
        written += block.size();
    }
    return 0;
}
