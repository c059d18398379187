#pragma once

#include <oaidl.h>
#include <unknwn.h>

namespace brisvane {

// The parts of IRestrictedErrorInfo that error messages use. Declared here under our own
// namespace so that it also builds against SDK headers that declare the interface.
struct IRestrictedErrorInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                      BSTR* restricted_description, BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

// {82BA7092-4C88-427D-A7BC-16DD93FEB67E}
inline constexpr IID IID_RESTRICTED_ERROR_INFO = {
    0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};

}  // namespace brisvane
