#pragma once

#include <windows.h>
#include <winternl.h>

namespace brisvane {

// ntdll's NtWriteFile, with its documented signature.
using NtWriteFileFunction = NTSTATUS(NTAPI*)(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                                             PVOID apc_context, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                             ULONG length, PLARGE_INTEGER byte_offset, PULONG key);

// The address of ntdll's NtWriteFile, looked up once; null if ntdll does not export it.
// Looked up rather than declared: the MinGW-w64 headers do not declare it and the driver
// kit declares it as a dllimport, so no declaration of ours could agree with every header.
NtWriteFileFunction nt_write_file();

}  // namespace brisvane
