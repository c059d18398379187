#pragma once

#include <windows.h>

#include <utility>

namespace brisvane {

// Owns one kernel object handle and closes it exactly once.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE adopted) : handle_(adopted) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    void reset(HANDLE adopted = nullptr) {
        if (HANDLE held = std::exchange(handle_, adopted)) {
            CloseHandle(held);
        }
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace brisvane
