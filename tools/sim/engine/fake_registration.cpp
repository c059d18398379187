#include "fake_registration.hpp"

#include <objbase.h>

namespace brisvane::fakes {

ClassRegistration::ClassRegistration(FakeEngine& engine)
    : init_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {
    if (FAILED(init_)) {
        result_ = init_;
        return;
    }
    IClassFactory* factory = engine.new_class_factory();
    result_ = CoRegisterClassObject(kClsidMMDeviceEnumerator, factory, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie_);
    factory->Release();  // COM holds its own reference while registered
}

ClassRegistration::~ClassRegistration() {
    if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
    if (SUCCEEDED(init_)) CoUninitialize();
}

}  // namespace brisvane::fakes
