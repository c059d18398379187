#include "error/app_error.hpp"

namespace brisvane {

const ChainedError* ContextLayer::source() const {
    return std::visit([](const auto& cause) -> const ChainedError* { return &cause; }, cause_);
}

}  // namespace brisvane
