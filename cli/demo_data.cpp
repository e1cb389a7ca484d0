#include "cli/demo_data.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

namespace volnlm::cli {
namespace {

double sq(double v) {
  return v * v;
}

// Uniform sample in [0, 1) from the top 53 bits of a 64-bit draw.
double unit(std::mt19937_64& bits) {
  return static_cast<double>(bits() >> 11) * 0x1p-53;
}

}  // namespace

std::vector<double> make_phantom(const Extents& e) {
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
          if (sq((u - 0.17 * side) / 0.09) + sq((w - 0.05) / 0.28) + sq((t - 0.05) / 0.16) <= 1.0) {
            value = 45.0;
          }
        }
        // Thin stripes of growing width in one part of the grey matter.
        if (u > 0.05 && u < 0.75 && w > 0.35 && w < 0.6 && std::fabs(t) < 0.35 && r <= 0.88) {
          const int32_t band = static_cast<int32_t>((u - 0.05) / 0.7 * 8.0);
          if (band % 2 == 0) value = 105.0;
        }
        for (const Spot& s : spots) {
          if (sq(u - s.x) + sq(w - s.y) + sq(t - s.z) <= sq(s.r)) value = kPhantomMax;
        }
        v[static_cast<size_t>(linear_index(x, y, z, e.d0, e.d1))] = value;
      }
    }
  }
  return v;
}

std::vector<double> add_rician_noise(const std::vector<double>& clean, double sigma,
                                     uint64_t seed) {
  std::mt19937_64 bits(seed);
  std::vector<double> noisy(clean.size());
  for (size_t i = 0; i < clean.size(); ++i) {
    const double u1 = 1.0 - unit(bits);  // (0, 1]: its logarithm is finite
    const double u2 = unit(bits);
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double n1 = radius * std::cos(2.0 * std::numbers::pi * u2);
    const double n2 = radius * std::sin(2.0 * std::numbers::pi * u2);
    noisy[i] = std::hypot(clean[i] + sigma * n1, sigma * n2);
  }
  return noisy;
}

double psnr(const std::vector<double>& reference, const std::vector<double>& test,
            const std::vector<uint8_t>& mask, double peak) {
  double sum = 0.0;
  int64_t n = 0;
  for (size_t i = 0; i < reference.size(); ++i) {
    if (!mask.empty() && mask[i] == 0) continue;
    sum += sq(test[i] - reference[i]);
    ++n;
  }
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  const double mse = sum / static_cast<double>(n);
  if (mse == 0.0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(peak * peak / mse);
}

Crop central_crop(const Extents& extents, const Extents& size) {
  Crop c;
  c.extents = Extents{std::clamp(size.d0, 1, extents.d0), std::clamp(size.d1, 1, extents.d1),
                      std::clamp(size.d2, 1, extents.d2)};
  c.offset = Extents{(extents.d0 - c.extents.d0) / 2, (extents.d1 - c.extents.d1) / 2,
                     (extents.d2 - c.extents.d2) / 2};
  return c;
}

}  // namespace volnlm::cli
