#pragma once

#include <propidl.h>

namespace brisvane {

// Owns a PROPVARIANT that a property store filled and clears it exactly once.
class PropVariant {
public:
    PropVariant() { PropVariantInit(&value_); }
    PropVariant(const PropVariant&) = delete;
    PropVariant& operator=(const PropVariant&) = delete;
    ~PropVariant() { PropVariantClear(&value_); }

    const PROPVARIANT& get() const { return value_; }
    PROPVARIANT* put() {
        PropVariantClear(&value_);
        return &value_;
    }

private:
    PROPVARIANT value_;
};

}  // namespace brisvane
