// Replaces one imported function of this executable for the lifetime of the object,
// by rewriting its slot in the import address table. Calls that the statically linked
// production code makes through that import reach the replacement; calls made inside
// system DLLs do not.
#pragma once

#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace brisvane::testing {

class ImportHook {
public:
    ImportHook(const char* function_name, void* replacement) {
        slot_ = find_slot(function_name);
        if (slot_ == nullptr) {
            throw std::runtime_error(std::string("no import slot for ") + function_name);
        }
        original_ = *slot_;
        store(replacement);
    }
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;
    ~ImportHook() { store(original_); }

    void* original() const { return original_; }

private:
    static void** find_slot(const char* function_name) {
        auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (directory.VirtualAddress == 0) return nullptr;
        for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
             entry->Name != 0; ++entry) {
            if (entry->OriginalFirstThunk == 0) continue;
            const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<void**>(base + entry->FirstThunk);
            for (std::size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
                if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
                const auto* by_name =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function_name) == 0) {
                    return &slots[i];
                }
            }
        }
        return nullptr;
    }

    void store(void* value) {
        DWORD previous = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &previous);
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), previous, &previous);
    }

    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace brisvane::testing
