#!/usr/bin/env python3
"""Checks the headers and the import table of a Windows executable: PE32+ for x86-64,
GUI subsystem, and imports only from DLLs that ship with Windows."""
import struct
import sys

# DLLs that every Windows 10 and later has; msvcrt.dll is the system's C runtime.
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll"}
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def read_c_string(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("ascii")


def parse(data):
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    import_rva, _ = struct.unpack_from("<II", data, optional + 112 + 8)  # data directory 1
    section_table = optional + optional_size
    spans = []
    for i in range(sections):
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
            "<IIII", data, section_table + 40 * i + 8)
        spans.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def file_offset(rva):
        for address, size, pointer in spans:
            if address <= rva < address + size:
                return rva - address + pointer
        raise ValueError(f"RVA {rva:#x} outside every section")

    imports = []
    descriptor = file_offset(import_rva) if import_rva else None
    while descriptor is not None:
        fields = struct.unpack_from("<IIIII", data, descriptor)
        if not any(fields):
            break
        imports.append(read_c_string(data, file_offset(fields[3])))
        descriptor += 20
    return machine, magic, subsystem, imports


def main():
    path = sys.argv[1]
    with open(path, "rb") as f:
        machine, magic, subsystem, imports = parse(f.read())
    problems = []
    if machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine {machine:#x}, expected x86-64")
    if magic != PE32_PLUS_MAGIC:
        problems.append(f"optional header magic {magic:#x}, expected PE32+")
    if subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        problems.append(f"subsystem {subsystem}, expected the Windows GUI subsystem")
    unexpected = sorted(name for name in imports if name.lower() not in ALLOWED_IMPORTS)
    if unexpected:
        problems.append("imports DLLs that do not ship with Windows: " + ", ".join(unexpected))
    if not imports:
        problems.append("no import table found")
    print(f"{path}: imports {', '.join(imports)}")
    for problem in problems:
        print("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
