// Seeded test volumes. The generator is written out here (not taken from <random>) so that the
// same seed gives the same volume with every standard library.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/volume.h"

namespace volnlm::testvol {

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
  uint64_t next() {  // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
  int32_t below(int32_t n) { return static_cast<int32_t>(uniform() * n); }  // 0 .. n - 1
  double normal() {                                                         // Box-Muller
    const double u1 = 1.0 - uniform(), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }

 private:
  uint64_t state_;
};

enum class Kind {
  phantom,        // piecewise-constant boxes on a background, plus Gaussian noise
  magnitude,      // the same phantom with Rician noise: the magnitude of a complex signal
  integers,       // small integers 0..9: many ties, zeros and exact threshold hits
  quarters,       // multiples of 0.25 from 0 to 9.75: exact sums, finer steps than integers
  signed_noise,   // zero-mean noise, negative values included
  flat_and_zero,  // exact zeros on one side, an exactly flat box, a noisy phantom elsewhere
  with_nan,       // phantom with a few NaN voxels
};

inline const char* name_of(Kind k) {
  switch (k) {
    case Kind::phantom:
      return "phantom";
    case Kind::magnitude:
      return "magnitude";
    case Kind::integers:
      return "integers";
    case Kind::quarters:
      return "quarters";
    case Kind::signed_noise:
      return "signed_noise";
    case Kind::flat_and_zero:
      return "flat_and_zero";
    case Kind::with_nan:
      return "with_nan";
  }
  return "?";
}

inline int64_t count_of(const Extents& e) {
  return int64_t{e.d0} * e.d1 * e.d2;
}

// A volume of the kind; `noise` is the standard deviation of the added noise.
inline std::vector<double> make_volume(Kind kind, const Extents& e, uint64_t seed, double noise) {
  Rng rng(seed);
  const int64_t n = count_of(e);
  std::vector<double> v(n);
  if (kind == Kind::integers) {
    for (double& x : v) x = rng.below(10);
    return v;
  }
  if (kind == Kind::quarters) {
    for (double& x : v) x = 0.25 * rng.below(40);
    return v;
  }
  if (kind == Kind::signed_noise) {
    for (double& x : v) x = 40.0 * rng.normal();
    return v;
  }
  // Phantom: background 40 and three boxes of random levels.
  struct Box {
    int32_t lo[3], hi[3];
    double level;
  };
  Box boxes[3];
  const int32_t ext[3] = {e.d0, e.d1, e.d2};
  for (Box& b : boxes) {
    for (int a = 0; a < 3; ++a) {
      b.lo[a] = rng.below(ext[a]);
      b.hi[a] = b.lo[a] + 1 + rng.below(ext[a] - b.lo[a]);
    }
    b.level = 80.0 + 120.0 * rng.uniform();
  }
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        const int32_t c[3] = {x, y, z};
        double s = 40.0;
        for (const Box& b : boxes) {
          bool in = true;
          for (int a = 0; a < 3; ++a) in = in && c[a] >= b.lo[a] && c[a] < b.hi[a];
          if (in) s = b.level;
        }
        double value = s + noise * rng.normal();
        if (kind == Kind::magnitude) value = std::hypot(value, noise * rng.normal());
        if (kind == Kind::flat_and_zero) {
          if (x < e.d0 / 2)
            value = 0.0;
          else if (y < (e.d1 + 1) / 2)
            value = 100.0;
        }
        if (kind == Kind::with_nan && rng.below(50) == 0) value = NAN;
        v[linear_index(x, y, z, e.d0, e.d1)] = value;
      }
    }
  }
  return v;
}

// The 3x3x3 box mean of a volume (borders clamped): a plausible pre-filtered guide.
inline std::vector<double> box_blur(const std::vector<double>& v, const Extents& e) {
  std::vector<double> out(v.size());
  auto clamp = [](int32_t c, int32_t n) { return c < 0 ? 0 : (c >= n ? n - 1 : c); };
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        double s = 0.0;
        for (int dz = -1; dz <= 1; ++dz)
          for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
              s += v[linear_index(clamp(x + dx, e.d0), clamp(y + dy, e.d1), clamp(z + dz, e.d2),
                                  e.d0, e.d1)];
        out[linear_index(x, y, z, e.d0, e.d1)] = s / 27.0;
      }
    }
  }
  return out;
}

inline std::vector<float> to_floats(const std::vector<double>& v) {
  return std::vector<float>(v.begin(), v.end());
}

}  // namespace volnlm::testvol
