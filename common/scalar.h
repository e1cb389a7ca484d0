// Conversions of host scalars (doubles) to the integers the filters use.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <optional>

namespace volnlm {

// Truncates v toward zero to a signed 32-bit integer; nothing for NaN, infinities and values
// whose truncation does not fit.
inline std::optional<int32_t> truncate_to_int32(double v) {
  if (!std::isfinite(v)) return std::nullopt;
  const double t = std::trunc(v);
  if (t < -2147483648.0 || t > 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(t);
}

// Rounds v to the nearest float as IEEE arithmetic does: magnitudes beyond the largest float
// become infinite (from half an ulp past FLT_MAX on) instead of being an undefined conversion.
inline float round_to_float(double v) {
  if (std::isfinite(v) && std::fabs(v) > FLT_MAX) {
    const double overflow = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    const float big = std::fabs(v) >= overflow ? INFINITY : FLT_MAX;
    return v < 0 ? -big : big;
  }
  return static_cast<float>(v);
}

}  // namespace volnlm
