#include "output/nt_write_file.hpp"

namespace brisvane {

namespace {

NtWriteFileFunction look_up_nt_write_file() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return nullptr;
    }
    // Through a function pointer of no particular type, as conversions between function
    // pointer types are meant to be written.
    return reinterpret_cast<NtWriteFileFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtWriteFile")));
}

}  // namespace

NtWriteFileFunction nt_write_file() {
    static const NtWriteFileFunction function = look_up_nt_write_file();
    return function;
}

}  // namespace brisvane
