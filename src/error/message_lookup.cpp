#include "error/message_lookup.hpp"

#include <oleauto.h>

#include <string_view>

#include "platform/com_ptr.hpp"
#include "platform/utf16_view.hpp"
#include "error/restricted_error_info.hpp"
#include "error/wide_text.hpp"

namespace brisvane {

namespace {

// Frees a BSTR exactly once.
class OwnedBstr {
public:
    OwnedBstr() = default;
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    ~OwnedBstr() { reset(); }

    BSTR* put() {
        reset();
        return &text_;
    }
    BSTR get() const { return text_; }
    UINT length() const { return text_ ? SysStringLen(text_) : 0; }
    void reset() {
        if (text_) {
            SysFreeString(text_);
            text_ = nullptr;
        }
    }
    void take(OwnedBstr& other) {
        reset();
        text_ = other.text_;
        other.text_ = nullptr;
    }

private:
    BSTR text_ = nullptr;
};

constexpr DWORD SYSTEM_MESSAGE_FLAGS =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD SEARCH_DEFAULT_DIRS = 0x00001000;  // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
constexpr DWORD OS_ERROR_BUFFER_UNITS = 2048;

}  // namespace

std::string error_info_description(IErrorInfo& info) {
    OwnedBstr text;
    ComPtr<IRestrictedErrorInfo> restricted;
    if (SUCCEEDED(info.QueryInterface(IID_RESTRICTED_ERROR_INFO, restricted.put_void())) && restricted) {
        OwnedBstr description;
        OwnedBstr restricted_description;
        OwnedBstr capability_sid;
        HRESULT error = S_OK;
        (void)restricted->GetErrorDetails(description.put(), &error, restricted_description.put(),
                                          capability_sid.put());
        if (restricted_description.length() > 0) {
            text.take(restricted_description);
        } else {
            text.take(description);
        }
    }
    if (text.length() == 0) {
        (void)info.GetDescription(text.put());
    }
    if (!text.get()) {
        return {};
    }
    return utf16_to_utf8_lossy(trim_trailing_white_space(as_utf16(text.get(), text.length())));
}

std::string system_message(HRESULT code) {
    DWORD flags = SYSTEM_MESSAGE_FLAGS;
    HMODULE module = nullptr;
    auto id = static_cast<DWORD>(code);
    if ((code & FACILITY_NT_BIT) != 0) {
        module = LoadLibraryExA("ntdll.dll", nullptr, SEARCH_DEFAULT_DIRS);
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
        id &= ~static_cast<DWORD>(FACILITY_NT_BIT);
    }
    wchar_t* buffer = nullptr;
    const DWORD units =
        FormatMessageW(flags, module, id, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (buffer != nullptr && units > 0) {
        message = utf16_to_utf8_lossy(trim_trailing_white_space(as_utf16(buffer, units)));
    }
    if (buffer != nullptr) {
        HeapFree(GetProcessHeap(), 0, buffer);
    }
    return message;
}

std::string os_error_message(std::uint32_t code) {
    wchar_t buffer[OS_ERROR_BUFFER_UNITS];
    const DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                       buffer, OS_ERROR_BUFFER_UNITS, nullptr);
    if (units == 0) {
        const DWORD failure = GetLastError();
        return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " + std::to_string(failure) +
               ")";
    }
    auto text = utf16_to_utf8_strict(trim_trailing_white_space(as_utf16(buffer, units)));
    if (!text) {
        return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
    }
    return *text;
}

}  // namespace brisvane
