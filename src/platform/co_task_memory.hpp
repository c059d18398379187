#pragma once

#include <objbase.h>

#include <utility>

namespace brisvane {

// Owns memory that the platform allocated with CoTaskMemAlloc and frees it exactly once.
template <class T>
class CoTaskMemory {
public:
    CoTaskMemory() = default;
    CoTaskMemory(CoTaskMemory&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    CoTaskMemory& operator=(CoTaskMemory&&) = delete;
    CoTaskMemory(const CoTaskMemory&) = delete;
    CoTaskMemory& operator=(const CoTaskMemory&) = delete;
    ~CoTaskMemory() { CoTaskMemFree(pointer_); }

    T* get() const { return pointer_; }
    // The out-parameter address for a call that fills it; only for an empty owner.
    T** put() { return &pointer_; }

private:
    T* pointer_ = nullptr;
};

}  // namespace brisvane
