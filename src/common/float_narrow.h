// Rounding a double to the nearest f32 with IEEE semantics, out-of-range values becoming
// infinities. The plain conversion is undefined behaviour beyond the float range, and every
// number the store keeps as f32 (coordinates, numeric metadata, filter operands) goes
// through here instead.
#pragma once

#include <cmath>
#include <limits>

namespace vesko {

inline float narrow_to_f32(double value) {
    // From halfway above the largest float on, round-to-nearest gives infinity.
    constexpr double overflow_threshold = 3.4028235677973366e38;
    if (std::fabs(value) >= overflow_threshold && std::isfinite(value)) {
        return value > 0 ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

}  // namespace vesko
