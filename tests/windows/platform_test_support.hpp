// Helpers shared by the platform tests: the system's own message text, an error
// object whose calls and references are counted, and a pipe installed as a standard handle.
#pragma once

#include <oaidl.h>
#include <oleauto.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brisvane::testing {

// What FormatMessageW itself gives for the id, trailing white space removed, as UTF-8.
inline std::string format_message_text(DWORD id, HMODULE module = nullptr) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    wchar_t* buffer = nullptr;
    DWORD units = FormatMessageW(flags, module, id, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    while (units > 0 && (buffer[units - 1] == L' ' || (buffer[units - 1] >= 0x09 && buffer[units - 1] <= 0x0D))) {
        --units;
    }
    std::string text(static_cast<std::size_t>(units) * 3, '\0');
    const int bytes = units == 0 ? 0
                                 : WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(units), text.data(),
                                                       static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(static_cast<std::size_t>(bytes));
    if (buffer != nullptr) LocalFree(buffer);
    return text;
}


// {82BA7092-4C88-427D-A7BC-16DD93FEB67E}, written out here rather than taken from src/.
inline constexpr IID TEST_IID_RESTRICTED_ERROR_INFO = {
    0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};

// The restricted error interface: GetErrorDetails is vtable slot 3, after IUnknown's three.
struct TestRestrictedErrorInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                      BSTR* restricted_description, BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

// The texts an error object gives; nullopt hands out a null BSTR, "" a non-null empty one.
struct ErrorTexts {
    std::optional<std::wstring> description = std::nullopt;
    bool restricted = false;
    std::optional<std::wstring> details_description = std::nullopt;
    std::optional<std::wstring> restricted_description = std::nullopt;
    std::optional<std::wstring> capability_sid = std::nullopt;
};

// An error object that counts its references and records every BSTR it hands out.
// It is created with one reference, owned by the test.
class TestErrorObject final : public IErrorInfo, public TestRestrictedErrorInfo {
public:
    explicit TestErrorObject(ErrorTexts texts) : texts_(std::move(texts)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IErrorInfo)) {
            *out = static_cast<IErrorInfo*>(this);
        } else if (texts_.restricted && IsEqualIID(riid, TEST_IID_RESTRICTED_ERROR_INFO)) {
            *out = static_cast<TestRestrictedErrorInfo*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left < 0) ++over_released_;
        return static_cast<ULONG>(left < 0 ? 0 : left);
    }

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
        *guid = GUID{};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return hand_out(out, L"brisvane tests"); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override {
        ++description_calls;
        return hand_out(out, texts_.description);
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return hand_out(out, std::nullopt); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
        *context = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted_description,
                                              BSTR* capability_sid) override {
        ++details_calls;
        *error = E_ACCESSDENIED;
        hand_out(description, texts_.details_description);
        hand_out(restricted_description, texts_.restricted_description);
        hand_out(capability_sid, texts_.capability_sid);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) override { return hand_out(reference, std::nullopt); }

    long references() const { return references_; }
    int over_released() const { return over_released_; }

    int description_calls = 0;
    int details_calls = 0;
    std::vector<BSTR> handed_out;  // every non-null BSTR, in order

private:
    HRESULT hand_out(BSTR* out, const std::optional<std::wstring>& text) {
        *out = text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : nullptr;
        if (*out != nullptr) handed_out.push_back(*out);
        return S_OK;
    }

    ErrorTexts texts_;
    long references_ = 1;
    int over_released_ = 0;
};

// Polls until the condition holds; false after ten seconds. Bounds a wait, asserts no timing.
inline bool eventually(const std::function<bool()>& condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        Sleep(1);
    }
    return true;
}

// An anonymous pipe with room for far more than any test writes.
class Pipe {
public:
    Pipe() { CreatePipe(&read_, &write_, nullptr, 1 << 20); }
    ~Pipe() {
        close_reader();
        CloseHandle(write_);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    HANDLE writer() const { return write_; }
    std::size_t available() const {
        DWORD count = 0;
        PeekNamedPipe(read_, nullptr, 0, nullptr, &count, nullptr);
        return count;
    }
    // Everything written and not yet taken.
    std::string take() {
        std::string bytes(available(), '\0');
        DWORD got = 0;
        if (!bytes.empty()) ReadFile(read_, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
        bytes.resize(got);
        return bytes;
    }
    // The same, once at least `expected` bytes have arrived (or ten seconds have passed).
    std::string take(std::size_t expected) {
        (void)eventually([&] { return available() >= expected; });
        return take();
    }
    void close_reader() {
        if (read_ != nullptr) CloseHandle(std::exchange(read_, nullptr));
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};

// Makes `handle` the process's standard handle `id` until destruction.
class StdHandleSwap {
public:
    StdHandleSwap(DWORD id, HANDLE handle) : id_(id), previous_(GetStdHandle(id)) { SetStdHandle(id, handle); }
    ~StdHandleSwap() { SetStdHandle(id_, previous_); }
    StdHandleSwap(const StdHandleSwap&) = delete;
    StdHandleSwap& operator=(const StdHandleSwap&) = delete;

private:
    DWORD id_;
    HANDLE previous_;
};

// A pipe whose write end is the process's standard handle `id` until destruction.
class StdHandlePipe : public Pipe {
public:
    explicit StdHandlePipe(DWORD id) : swap_(id, writer()) {}

private:
    StdHandleSwap swap_;
};

}  // namespace brisvane::testing
