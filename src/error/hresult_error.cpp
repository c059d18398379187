#include "error/hresult_error.hpp"

#include "error/hresult_code.hpp"
#include "error/message_lookup.hpp"

namespace brisvane {

HresultError HresultError::from_status(HRESULT status) {
    ComPtr<IErrorInfo> info;
    (void)GetErrorInfo(0, info.put());
    return HresultError(stored_code(status), std::move(info));
}

HresultError HresultError::from_last_error() {
    return HresultError(stored_code(hresult_from_win32(GetLastError())), ComPtr<IErrorInfo>());
}

HresultError HresultError::empty() { return HresultError(EMPTY_ERROR_CODE, ComPtr<IErrorInfo>()); }

HRESULT HresultError::code() const { return read_code(stored_); }

std::string HresultError::message() const {
    if (error_info_) {
        return error_info_description(*error_info_.get());
    }
    return system_message(code());
}

SinkResult HresultError::display(TextSink& sink) const { return write_hresult_display(sink, message(), code()); }

}  // namespace brisvane
