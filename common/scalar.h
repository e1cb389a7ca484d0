// Conversions of host scalars (doubles) to the integers the filters use.
#pragma once

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

}  // namespace volnlm
