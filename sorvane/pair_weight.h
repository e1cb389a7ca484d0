// Similarity of two voxels: the whole-number distance of their guide means and the weight of
// the pair from that distance and the difference of their guide values.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace volnlm::sorvane {

// The two denominators of the weight, derived once from the bandwidth h.
struct WeightScale {
  double mean_denominator = 0.0;   // 0.5 h^2
  double guide_denominator = 0.0;  // 2 h^2
};

inline WeightScale weight_scale(double h) {
  return WeightScale{(h * 0.5) * h, (h + h) * h};
}

// |difference| taken in whole numbers: the difference truncated toward zero to a signed 32-bit
// integer, then its magnitude. Nothing when the difference is NaN or its truncation does not
// fit; such a pair is as dissimilar as a pair can be. The magnitude of -2^31 is 2^31.
inline std::optional<double> mean_distance(double difference) {
  const double magnitude = std::fabs(difference);
  if (magnitude < 2147483648.0) return static_cast<double>(static_cast<int32_t>(magnitude));
  if (difference <= -2147483648.0 && difference > -2147483649.0) return 2147483648.0;
  return std::nullopt;  // NaN, infinite or out of range
}

// v * v / denominator. A denominator that computes to 0 (a bandwidth of 0, or so small that
// its square underflows) takes the limit as the bandwidth goes to 0 from above: 0 when v is 0,
// +inf for any other v, even one whose square underflows (NaN stays NaN), so that 0 / 0 never
// reaches the weight.
inline double scaled_square(double v, double denominator) {
  if (denominator == 0.0) {
    if (v == 0.0) return 0.0;
    return std::isnan(v) ? v : std::numeric_limits<double>::infinity();
  }
  return v * v / denominator;
}

// Weight of a pair with guide-mean distance d and guide difference g: exp(-t) with
// t = (max(d^2 / 0.5h^2 - 1, 0) + max(g^2 / 2h^2 - 1, 0)) / 2, exactly 1 for t <= 0 and exactly
// 0 for t > 10, so exp is called only in between.
inline double pair_weight(double d, double g, const WeightScale& scale) {
  double t_mean = scaled_square(d, scale.mean_denominator) - 1.0;
  double t_guide = scaled_square(g, scale.guide_denominator) - 1.0;
  if (t_mean < 0.0) t_mean = 0.0;  // NaN stays NaN
  if (t_guide < 0.0) t_guide = 0.0;
  const double t = 0.5 * t_mean + 0.5 * t_guide;
  if (t <= 0.0) return 1.0;
  if (t > 10.0) return 0.0;
  return std::exp(-t);
}

}  // namespace volnlm::sorvane
