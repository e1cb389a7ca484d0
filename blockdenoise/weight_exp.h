// The exponential of the candidate weights, written out so that the scalar code and every
// vector path make the same operations and give the same bits (the library expf differs between
// builds and has no vector form). Worked in double: x = k ln2 + r with |r| <= ln2 / 2, exp(r)
// by its Taylor polynomial of degree 10 (truncation below 2^-41 relative), then scaled by 2^k,
// which double holds as a normal number down to the float subnormals. The one rounding to float
// at the end gives the correctly rounded result except within about 2^-40 of a rounding
// boundary, where it may be one ulp off.
#pragma once

#include <bit>
#include <cstdint>

namespace volnlm::blockdenoise::weight_exp_detail {

// Below this exp rounds to 0 in float (the smallest subnormal is exp(-103.28)); above the upper
// clamp it is infinite. Clamping keeps k within the exponent range of the scale.
inline constexpr double kLow = -110.0;
inline constexpr double kHigh = 100.0;
inline constexpr double kLog2e = 0x1.71547652b82fep+0;
// ln 2 split so that k * kLn2Hi is exact for |k| < 2^11.
inline constexpr double kLn2Hi = 0x1.62e42fefa3800p-1;
inline constexpr double kLn2Lo = 0x1.ef35793c76730p-45;
// Adding it rounds to an integer and leaves that integer in the low bits of the mantissa.
inline constexpr double kShifter = 0x1.8p52;
// 1 / n! for n = 10 down to 2.
inline constexpr double kC[9] = {
    1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0, 1.0 / 5040.0, 1.0 / 720.0,
    1.0 / 120.0,     1.0 / 24.0,     1.0 / 6.0,     1.0 / 2.0,
};

}  // namespace volnlm::blockdenoise::weight_exp_detail

namespace volnlm::blockdenoise {

// exp(x) in float, NaN for NaN. Every vector form must follow these operations one for one.
inline float weight_exp(float x) {
  namespace d = weight_exp_detail;
  if (x != x) return x;
  double v = static_cast<double>(x);
  v = v < d::kLow ? d::kLow : v;
  v = v > d::kHigh ? d::kHigh : v;
  const double t = v * d::kLog2e + d::kShifter;
  const double k = t - d::kShifter;
  const double r = (v - k * d::kLn2Hi) - k * d::kLn2Lo;
  double p = d::kC[0];
  for (double c : {d::kC[1], d::kC[2], d::kC[3], d::kC[4], d::kC[5], d::kC[6], d::kC[7], d::kC[8],
                   1.0, 1.0}) {
    p = p * r + c;
  }
  const uint64_t scale_bits = (std::bit_cast<uint64_t>(t) + 1023u) << 52;
  return static_cast<float>(p * std::bit_cast<double>(scale_bits));
}

}  // namespace volnlm::blockdenoise
