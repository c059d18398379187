#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <string>

namespace brisvane {

// The description that an error object gives, restricted description first; trailing
// white space removed.
std::string error_info_description(IErrorInfo& info);

// The system's message for an HRESULT; NT status codes are looked up in ntdll.
std::string system_message(HRESULT code);

// The system's message for a Win32 error code, as standard stream errors show it.
std::string os_error_message(std::uint32_t code);

}  // namespace brisvane
