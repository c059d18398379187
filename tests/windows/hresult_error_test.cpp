#include "error/hresult_error.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "error/audio_error.hpp"
#include "error/display_text.hpp"
#include "import_hook.hpp"
#include "platform_test_support.hpp"

namespace brisvane {
namespace {

using testing::ErrorTexts;
using testing::format_message_text;
using testing::TestErrorObject;

constexpr HRESULT AUDCLNT_DEVICE_INVALIDATED = static_cast<HRESULT>(0x88890004);

// Every BSTR that this executable's code passes to SysFreeString while a FreedStrings exists.
std::vector<BSTR> freed_strings;
void* original_sys_free_string = nullptr;
void WINAPI recording_sys_free_string(BSTR text) {
    if (text != nullptr) freed_strings.push_back(text);
    reinterpret_cast<void(WINAPI*)(BSTR)>(original_sys_free_string)(text);
}
class FreedStrings {
public:
    FreedStrings() : hook_("SysFreeString", reinterpret_cast<void*>(&recording_sys_free_string)) {
        original_sys_free_string = hook_.original();
        freed_strings.clear();
    }

private:
    testing::ImportHook hook_;
};

int format_message_calls = 0;
void* original_format_message = nullptr;
DWORD WINAPI counting_format_message(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer,
                                     DWORD size, va_list* arguments) {
    ++format_message_calls;
    return reinterpret_cast<decltype(&FormatMessageW)>(original_format_message)(flags, source, id, language, buffer,
                                                                                size, arguments);
}

// An error object set as the thread's, with the test's own reference kept.
class ThreadErrorObject {
public:
    explicit ThreadErrorObject(ErrorTexts texts) : object_(std::move(texts)) {
        EXPECT_EQ(SetErrorInfo(0, &object_), S_OK);
    }
    ~ThreadErrorObject() {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(object_.references(), 1) << "the test's own reference should be the only one left";
        EXPECT_EQ(object_.over_released(), 0);
    }
    TestErrorObject& operator*() { return object_; }
    TestErrorObject* operator->() { return &object_; }

private:
    TestErrorObject object_;
};

std::string display_with_object(HRESULT code, ErrorTexts texts) {
    ThreadErrorObject object(std::move(texts));
    return display_text(HresultError::from_status(code));
}

ErrorTexts described(std::wstring text) { return ErrorTexts{.description = std::move(text)}; }

TEST(HresultErrorFromErrorObject, DescriptionComesBeforeTheCodeWithTrailingLineBreakDropped) {
    ThreadErrorObject object(described(L"Device lost.\r\n"));
    const HresultError error = HresultError::from_status(AUDCLNT_DEVICE_INVALIDATED);
    EXPECT_EQ(error.code(), AUDCLNT_DEVICE_INVALIDATED);
    EXPECT_EQ(error.message(), "Device lost.");
    EXPECT_EQ(display_text(error), "Device lost. (0x88890004)");
}

TEST(HresultErrorFromErrorObject, RestrictedDescriptionTakesPrecedence) {
    EXPECT_EQ(display_with_object(E_ACCESSDENIED, {.description = L"Plain text.",
                                                   .restricted = true,
                                                   .details_description = L"General text.",
                                                   .restricted_description = L"Restricted text.\r\n",
                                                   .capability_sid = L"S-1-15-3-1"}),
              "Restricted text. (0x80070005)");
}

TEST(HresultErrorFromErrorObject, EmptyRestrictedDescriptionFallsBackToDescription) {
    for (const std::optional<std::wstring>& empty : {std::optional<std::wstring>(L""),
                                                     std::optional<std::wstring>()}) {
        EXPECT_EQ(display_with_object(E_ACCESSDENIED, {.description = L"Plain text.",
                                                       .restricted = true,
                                                       .details_description = L"General text.\r\n",
                                                       .restricted_description = empty}),
                  "General text. (0x80070005)");
    }
}

TEST(HresultErrorFromErrorObject, ObjectWithoutTextGivesHexFormAloneWithoutSystemLookup) {
    ASSERT_FALSE(format_message_text(static_cast<DWORD>(E_OUTOFMEMORY)).empty());
    const ErrorTexts silent_objects[] = {
        {},
        {.description = L" \r\n"},
        {.description = L"", .restricted = true, .details_description = L"", .restricted_description = L""},
        {.restricted = true},
    };
    for (const ErrorTexts& texts : silent_objects) {
        ThreadErrorObject object(texts);
        const HresultError error = HresultError::from_status(E_OUTOFMEMORY);
        format_message_calls = 0;
        testing::ImportHook hook("FormatMessageW", reinterpret_cast<void*>(&counting_format_message));
        original_format_message = hook.original();
        EXPECT_EQ(display_text(error), "0x8007000E");
        EXPECT_EQ(error.message(), "");
        EXPECT_EQ(format_message_calls, 0);
    }
}

TEST(HresultErrorFromErrorObject, FromStatusTakesTheThreadErrorObject) {
    ThreadErrorObject object(described(L"Device lost."));
    EXPECT_EQ(object->references(), 2);
    {
        const HresultError error = HresultError::from_status(AUDCLNT_DEVICE_INVALIDATED);
        EXPECT_EQ(object->references(), 2);
        IErrorInfo* left = reinterpret_cast<IErrorInfo*>(1);
        EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);
        EXPECT_EQ(left, nullptr);
        (void)display_text(error);
        (void)error.message();
        EXPECT_EQ(object->references(), 2);
    }
    EXPECT_EQ(object->references(), 1);
}

TEST(HresultErrorFromErrorObject, MovingTransfersTheSingleReference) {
    ThreadErrorObject object(described(L"Device lost."));
    std::optional<HresultError> first(HresultError::from_status(AUDCLNT_DEVICE_INVALIDATED));
    std::optional<HresultError> second(std::move(*first));
    first.reset();
    EXPECT_EQ(object->references(), 2);
    std::optional<AudioError> wrapped(AudioError::windows(std::move(*second)));
    second.reset();
    EXPECT_EQ(object->references(), 2);
    EXPECT_EQ(display_text(*wrapped->hresult()), "Device lost. (0x88890004)");
    wrapped.reset();
    EXPECT_EQ(object->references(), 1);
}

TEST(HresultErrorFromErrorObject, EveryHandedOutStringIsFreedOnceOnEachLookup) {
    const ErrorTexts objects[] = {
        described(L"Device lost.\r\n"),
        {.description = L"Plain text.",
         .restricted = true,
         .details_description = L"General text.",
         .restricted_description = L"Restricted text.",
         .capability_sid = L"S-1-15-3-1"},
        {.description = L"Plain text.",
         .restricted = true,
         .details_description = L"",
         .restricted_description = L"",
         .capability_sid = L"S-1-15-3-1"},
    };
    for (const ErrorTexts& texts : objects) {
        ThreadErrorObject object(texts);
        const HresultError error = HresultError::from_status(E_FAIL);
        FreedStrings freed;
        for (int round = 0; round < 3; ++round) {
            object->handed_out.clear();
            freed_strings.clear();
            (void)(round == 1 ? error.message() : display_text(error));
            std::vector<BSTR> handed_out = object->handed_out;
            std::vector<BSTR> released = freed_strings;
            std::sort(handed_out.begin(), handed_out.end());
            std::sort(released.begin(), released.end());
            EXPECT_FALSE(handed_out.empty());
            EXPECT_EQ(released, handed_out) << "round " << round;
            EXPECT_EQ(object->references(), 2);
        }
    }
}

TEST(HresultErrorFromSystemTables, CodeWithoutMessageGivesHexFormAlone) {
    SetErrorInfo(0, nullptr);
    ASSERT_EQ(format_message_text(0x80040154), "") << "this system has a message for REGDB_E_CLASSNOTREG";
    const HresultError error = HresultError::from_status(static_cast<HRESULT>(0x80040154));
    EXPECT_EQ(error.message(), "");
    EXPECT_EQ(display_text(error), "0x80040154");
}

TEST(HresultErrorFromSystemTables, KnownCodesShowTheSystemMessageBeforeTheCode) {
    SetErrorInfo(0, nullptr);
    const std::pair<HRESULT, const char*> codes[] = {
        {E_OUTOFMEMORY, " (0x8007000E)"}, {E_ACCESSDENIED, " (0x80070005)"}, {E_FAIL, " (0x80004005)"}};
    for (const auto& [code, suffix] : codes) {
        const std::string message = format_message_text(static_cast<DWORD>(code));
        ASSERT_FALSE(message.empty());
        const HresultError error = HresultError::from_status(code);
        EXPECT_EQ(error.message(), message);
        EXPECT_EQ(display_text(error), message + suffix);
    }
}

TEST(HresultErrorFromSystemTables, NtFacilityBitIsDroppedForTheLookupButKeptInTheCode) {
    SetErrorInfo(0, nullptr);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    // 0x103 has a message (STATUS_PENDING in ntdll, or the Win32 one where ntdll has no
    // table); 0x10000103 itself has none, so only a lookup without the bit finds text.
    const std::string pending = format_message_text(0x103, ntdll);
    ASSERT_FALSE(pending.empty());
    ASSERT_EQ(format_message_text(0x10000103, ntdll), "");
    const HresultError pending_error = HresultError::from_status(0x10000103);
    EXPECT_EQ(pending_error.code(), 0x10000103);
    EXPECT_EQ(display_text(pending_error), pending + " (0x10000103)");

    // STATUS_ACCESS_DENIED with the bit: ntdll's text for 0xC0000022, which Wine's ntdll lacks.
    const std::string denied = format_message_text(0xC0000022, ntdll);
    const HresultError denied_error = HresultError::from_status(static_cast<HRESULT>(0xD0000022));
    EXPECT_EQ(display_text(denied_error), denied.empty() ? "0xD0000022" : denied + " (0xD0000022)");
}

TEST(HresultErrorFromLastError, Win32CodesMapAsHresultFromWin32Does) {
    const std::pair<DWORD, HRESULT> cases[] = {
        {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005)},
        {0x00012345, static_cast<HRESULT>(0x80072345)},
        {0x80004005, static_cast<HRESULT>(0x80004005)},
        {0xC0000022, static_cast<HRESULT>(0xC0000022)},
    };
    for (const auto& [last_error, code] : cases) {
        SetLastError(last_error);
        EXPECT_EQ(HresultError::from_last_error().code(), code) << last_error;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(display_text(HresultError::from_last_error()), format_message_text(0x80070005) + " (0x80070005)");
}

TEST(HresultErrorFromLastError, ZeroGivesCodeZeroAndTheSystemMessageForZero) {
    const std::string success = format_message_text(0);
    ASSERT_FALSE(success.empty());
    SetLastError(0);
    const HresultError error = HresultError::from_last_error();
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(display_text(error), success + " (0x00000000)");
}

TEST(HresultErrorFromLastError, LeavesTheThreadErrorObjectAlone) {
    ThreadErrorObject object(described(L"Not this text."));
    SetLastError(ERROR_ACCESS_DENIED);
    const HresultError error = HresultError::from_last_error();
    EXPECT_EQ(error.message(), format_message_text(0x80070005));
    EXPECT_EQ(object->description_calls, 0);
    IErrorInfo* still_set = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &still_set), S_OK);
    EXPECT_EQ(still_set, &*object);
    if (still_set != nullptr) still_set->Release();
}

TEST(HresultErrorEmpty, HasCodeZeroAndTheZeroHexForm) {
    const HresultError error = HresultError::empty();
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(display_text(error), format_message_text(0) + " (0x00000000)");
}

}  // namespace
}  // namespace brisvane
