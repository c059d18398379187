// Makes a FakeEngine's enumerator reachable through CoCreateInstance in this process.
#pragma once

#include "fake_engine.hpp"

namespace brisvane::fakes {

// Registers a class factory for CLSID_MMDeviceEnumerator (CLSCTX_INPROC_SERVER,
// REGCLS_MULTIPLEUSE) and revokes it on destruction. It joins the multithreaded
// apartment for its lifetime, so the registration stays valid while other MTA
// threads come and go; code under test must create the enumerator from an MTA
// thread (COM looks up registered class objects per apartment). Construct and
// destroy it on the same thread, and destroy it before the engine.
class ClassRegistration {
public:
    explicit ClassRegistration(FakeEngine& engine);
    ~ClassRegistration();
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

    HRESULT result() const { return result_; }  // CoRegisterClassObject's
    bool ok() const { return SUCCEEDED(result_); }

private:
    HRESULT init_ = E_FAIL;
    HRESULT result_ = E_FAIL;
    DWORD cookie_ = 0;
};

}  // namespace brisvane::fakes
