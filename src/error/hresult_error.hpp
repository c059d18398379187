#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/com_ptr.hpp"
#include "error/chained_error.hpp"

namespace brisvane {

// A failed platform call's HRESULT and the thread's error object of that moment;
// the message is looked up only when it is displayed.
class HresultError final : public ChainedError {
public:
    // For a failing HRESULT; takes the thread's error object, so call it right after the failure.
    static HresultError from_status(HRESULT status);
    // For a failed Win32 call: GetLastError mapped as HRESULT_FROM_WIN32 does.
    static HresultError from_last_error();
    // For a call that reported success but handed back no object.
    static HresultError empty();

    HRESULT code() const;
    std::string message() const;

    SinkResult display(TextSink& sink) const override;
    const ChainedError* source() const override { return nullptr; }

private:
    HresultError(std::int32_t stored, ComPtr<IErrorInfo> info) : stored_(stored), error_info_(std::move(info)) {}

    std::int32_t stored_;
    ComPtr<IErrorInfo> error_info_;
};

}  // namespace brisvane
