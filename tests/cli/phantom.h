// Test inputs for the command-line tool: a brain-like phantom and seeded Rician noise.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "common/volume.h"

namespace volnlm::cli {

// Largest value of the phantom.
inline constexpr double kPhantomMax = 255.0;

namespace detail {

inline double sq(double v) {
  return v * v;
}

// Uniform sample in [0, 1) from the top 53 bits of a 64-bit draw.
inline double unit(std::mt19937_64& bits) {
  return static_cast<double>(bits() >> 11) * 0x1p-53;
}

}  // namespace detail

// A brain-like phantom of the given extents: a dim outer shell, grey matter around a white
// matter core with a folded border, two dark ventricles, small bright spots and a set of thin
// stripes. Background is 0, everything else positive; the values range over [0, kPhantomMax].
inline std::vector<double> make_phantom(const Extents& e) {
  std::vector<double> v(static_cast<size_t>(voxel_count(e)), 0.0);
  // Normalised coordinates: the head ellipsoid touches the middle of each face.
  auto coord = [](int32_t i, int32_t n) { return n > 1 ? 2.0 * i / (n - 1) - 1.0 : 0.0; };
  struct Spot {
    double x, y, z, r;
  };
  const Spot spots[] = {{0.45, -0.35, 0.2, 0.07},
                        {-0.5, 0.3, -0.25, 0.05},
                        {0.1, 0.55, -0.4, 0.04},
                        {-0.2, -0.55, 0.45, 0.06}};
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        const double u = coord(x, e.d0), w = coord(y, e.d1), t = coord(z, e.d2);
        const double r = std::sqrt(u * u + w * w + t * t);
        double value = 0.0;
        if (r <= 0.97) value = 70.0;   // outer shell
        if (r <= 0.88) value = 150.0;  // grey matter
        // White matter whose border folds like gyri.
        const double angle = std::atan2(w, u);
        const double fold = 0.07 * std::sin(7.0 * angle) * std::cos(5.0 * t);
        if (r <= 0.62 + fold) value = 215.0;
        // Ventricles.
        for (double side : {-1.0, 1.0}) {
          if (detail::sq((u - 0.17 * side) / 0.09) + detail::sq((w - 0.05) / 0.28) +
                  detail::sq((t - 0.05) / 0.16) <=
              1.0) {
            value = 45.0;
          }
        }
        // Thin stripes of growing width in one part of the grey matter.
        if (u > 0.05 && u < 0.75 && w > 0.35 && w < 0.6 && std::fabs(t) < 0.35 && r <= 0.88) {
          const int32_t band = static_cast<int32_t>((u - 0.05) / 0.7 * 8.0);
          if (band % 2 == 0) value = 105.0;
        }
        for (const Spot& s : spots) {
          if (detail::sq(u - s.x) + detail::sq(w - s.y) + detail::sq(t - s.z) <= detail::sq(s.r))
            value = kPhantomMax;
        }
        v[static_cast<size_t>(linear_index(x, y, z, e.d0, e.d1))] = value;
      }
    }
  }
  return v;
}

// Rician noise of standard deviation `sigma` per component: each voxel becomes
// sqrt((v + n1)^2 + n2^2) with n1, n2 independent normal samples from a 64-bit Mersenne Twister
// seeded with `seed` and the Box-Muller transform, the same on every machine and library.
inline std::vector<double> add_rician_noise(const std::vector<double>& clean, double sigma,
                                            uint64_t seed) {
  std::mt19937_64 bits(seed);
  std::vector<double> noisy(clean.size());
  for (size_t i = 0; i < clean.size(); ++i) {
    const double u1 = 1.0 - detail::unit(bits);  // (0, 1]: its logarithm is finite
    const double u2 = detail::unit(bits);
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double n1 = radius * std::cos(2.0 * std::numbers::pi * u2);
    const double n2 = radius * std::sin(2.0 * std::numbers::pi * u2);
    noisy[i] = std::hypot(clean[i] + sigma * n1, sigma * n2);
  }
  return noisy;
}

}  // namespace volnlm::cli
