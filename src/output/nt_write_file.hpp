#pragma once

#include <windows.h>
#include <winternl.h>

// ntdll's NtWriteFile, which the MinGW-w64 headers do not declare. The declaration
// matches the documented one, so it agrees with headers that do declare it.
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key);
