// The exponential of the candidate weights, written out so that the scalar code and every
// vector path make the same operations and give the same bits (the library expf differs between
// builds and has no vector form). Worked in float, so that a vector of eight weights takes one
// pass: x = k ln2 + r with |r| <= ln2 / 2 (k ln2 taken in two parts, the first exact), exp(r) as
// 1 + (r + r^2 q(r)) with q the Taylor polynomial of degree 5 (truncation below 2^-27
// relative), then scaled by 2^k in two exact-or-once-rounded steps, so that results down in the
// float subnormals round once. Checked against exp worked in double and rounded once over every
// float from -110 to 89: never more than one ulp apart; about 92% of the exponents a weight
// meets in practice (0 down to -110 in even steps) give the correctly rounded bits.
#pragma once

#include <bit>
#include <cstdint>

namespace volnlm::blockdenoise::weight_exp_detail {

// Below the lower clamp exp rounds to 0 in float (the smallest subnormal is exp(-103.28)); above
// the upper one it is infinite. Clamping keeps both halves of k within the normal exponents.
inline constexpr float kLow = -110.0f;
inline constexpr float kHigh = 100.0f;
inline constexpr float kLog2e = 0x1.715476p+0f;
// ln 2 in two parts; the first has 9 significant bits, so k * kLn2Hi and x - k * kLn2Hi are exact.
inline constexpr float kLn2Hi = 0x1.62e400p-1f;
inline constexpr float kLn2Lo = 0x1.7f7d1cp-20f;
// Adding it rounds to an integer and leaves that integer in the low bits of the mantissa.
inline constexpr float kShifter = 0x1.8p23f;
// q(r) = 1/2! + r/3! + ... + r^5/7!, coefficients from the highest power down.
inline constexpr float kQ[6] = {1.0f / 5040.0f, 1.0f / 720.0f, 1.0f / 120.0f,
                                1.0f / 24.0f,   1.0f / 6.0f,   0.5f};

}  // namespace volnlm::blockdenoise::weight_exp_detail

namespace volnlm::blockdenoise {

// exp(x) in float, NaN for NaN. Every vector form must follow these operations one for one.
inline float weight_exp(float x) {
  namespace d = weight_exp_detail;
  if (x != x) return x;
  float v = x < d::kLow ? d::kLow : x;
  v = v > d::kHigh ? d::kHigh : v;
  const float t = v * d::kLog2e + d::kShifter;
  const float k = t - d::kShifter;
  const float r = (v - k * d::kLn2Hi) - k * d::kLn2Lo;
  // q in pairs of terms, so that few of its operations wait on one another.
  const float r2 = r * r;
  const float q01 = d::kQ[5] + d::kQ[4] * r;
  const float q23 = d::kQ[3] + d::kQ[2] * r;
  const float q45 = d::kQ[1] + d::kQ[0] * r;
  const float q = q01 + r2 * (q23 + r2 * q45);
  const float e = 1.0f + (r + r2 * q);
  // k from the low bits of t, split in two halves whose powers of two are normal floats.
  const int32_t whole = std::bit_cast<int32_t>(t) - std::bit_cast<int32_t>(d::kShifter);
  const int32_t k1 = whole >> 1;
  const int32_t k2 = whole - k1;
  const float s1 = std::bit_cast<float>(static_cast<uint32_t>(k1 + 127) << 23);
  const float s2 = std::bit_cast<float>(static_cast<uint32_t>(k2 + 127) << 23);
  return (e * s1) * s2;
}

}  // namespace volnlm::blockdenoise
