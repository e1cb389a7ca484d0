// Reference rendering of the voxelwise guided filter: one pass over all centres, plain order.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "reference.h"

namespace volnlm::reference {
namespace {

// Own copies of the layout rules, so that the reference does not lean on the code it checks.
int32_t mirror(int64_t v, int32_t n) {
  const int64_t a = v < 0 ? -v : v;
  return static_cast<int32_t>(a < n ? a : 2 * int64_t{n} - a - 1);
}

int32_t at(int32_t x, int32_t y, int32_t z, const Extents& e) {
  return x + e.d0 * (y + e.d1 * z);
}

// Smallest and largest offset along an axis that keep `coordinate` inside an extent.
int64_t lower(int32_t coordinate, int32_t radius) {
  return std::max(-int64_t{coordinate}, -int64_t{radius});
}

int64_t upper(int32_t coordinate, int32_t extent, int32_t radius) {
  return std::min(int64_t{extent} - 1 - coordinate, int64_t{radius});
}

}  // namespace

void guide_local_mean(const double* guide, double* guide_mean, const Extents& e) {
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        double s = guide[at(x, y, z, e)];
        for (int dx = -1; dx <= 1; ++dx) {
          for (int dy = -1; dy <= 1; ++dy) {
            for (int dz = -1; dz <= 1; ++dz) {
              if (dx * dx + dy * dy + dz * dz > 1) continue;
              s += guide[at(mirror(x + dx, e.d0), mirror(y + dy, e.d1), mirror(z + dz, e.d2), e)];
            }
          }
        }
        guide_mean[at(x, y, z, e)] = s * 0.125;
      }
    }
  }
}

namespace {

// v^2 / denominator; a denominator of 0 takes the limit as the bandwidth goes to 0 from above:
// 0 for v = 0, +inf for any other v (NaN stays NaN).
double scaled_square(double v, double denominator) {
  if (denominator == 0.0) return v == 0.0 ? 0.0 : (v == v ? INFINITY : v);
  return v * v / denominator;
}

}  // namespace

double pair_weight(double d, double g, double mean_denominator, double guide_denominator) {
  double t_mean = scaled_square(d, mean_denominator) - 1.0;
  double t_guide = scaled_square(g, guide_denominator) - 1.0;
  if (t_mean < 0.0) t_mean = 0.0;
  if (t_guide < 0.0) t_guide = 0.0;
  const double t = 0.5 * t_mean + 0.5 * t_guide;
  if (t <= 0.0) return 1.0;
  if (t > 10.0) return 0.0;
  return std::exp(-t);
}

void sorvane(const double* noisy, const double* guide, const Extents& e,
             const ::volnlm::sorvane::Params& params, double* out, double* magnitude) {
  const int64_t n = int64_t{e.d0} * e.d1 * e.d2;
  if (n <= 0) return;
  const bool rician = params.rician;
  const int32_t radius = params.search_radius;
  const double h = params.sigma / 3.0;
  const double mean_denominator = (h * 0.5) * h;
  const double guide_denominator = (h + h) * h;

  std::vector<double> guide_mean(n);
  guide_local_mean(guide, guide_mean.data(), e);

  double* accum = out;
  std::vector<double> weight_sum(n, 1.0);
  std::vector<double> term_magnitude(n);
  for (int64_t i = 0; i < n; ++i) {
    accum[i] = rician ? noisy[i] * noisy[i] : noisy[i];
    term_magnitude[i] = std::fabs(accum[i]);
  }

  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        const int32_t ic = at(x, y, z, e);
        if (noisy[ic] == 0.0) continue;
        if (radius < 0) continue;
        // Offsets that cannot land inside the volume are left out of the loops; the forward
        // half and the inside test below still decide which of the rest form pairs.
        for (int64_t dz = 0; dz <= upper(z, e.d2, radius); ++dz) {
          for (int64_t dy = lower(y, radius); dy <= upper(y, e.d1, radius); ++dy) {
            for (int64_t dx = lower(x, radius); dx <= upper(x, e.d0, radius); ++dx) {
              if (dz == 0 && dy < 0) continue;
              if (dz == 0 && dy == 0 && dx <= 0) continue;
              const int64_t nx = x + dx, ny = y + dy, nz = z + dz;
              if (nx < 0 || nx >= e.d0 || ny < 0 || ny >= e.d1 || nz < 0 || nz >= e.d2) continue;
              const int32_t in = at(int32_t(nx), int32_t(ny), int32_t(nz), e);

              // Whole-number magnitude of the guide-mean difference; a difference without a
              // signed 32-bit truncation (NaN, or 2^31 and beyond) makes the pair as unlike
              // as a pair can be, so it is skipped.
              const double difference = guide_mean[ic] - guide_mean[in];
              if (!(difference > -2147483649.0 && difference < 2147483648.0)) continue;
              const double d = std::fabs(static_cast<double>(static_cast<int32_t>(difference)));
              if (d > h) continue;

              const double g = guide[ic] - guide[in];
              const double w = pair_weight(d, g, mean_denominator, guide_denominator);
              const double to_centre = rician ? noisy[in] * (noisy[in] * w) : w * noisy[in];
              const double to_neighbour = rician ? noisy[ic] * (noisy[ic] * w) : w * noisy[ic];
              accum[ic] += to_centre;
              weight_sum[ic] += w;
              accum[in] += to_neighbour;
              weight_sum[in] += w;
              term_magnitude[ic] += std::fabs(to_centre);
              term_magnitude[in] += std::fabs(to_neighbour);
            }
          }
        }
      }
    }
  }

  const double rician_bias = (params.sigma + params.sigma) * params.sigma;
  for (int64_t i = 0; i < n; ++i) {
    if (magnitude) magnitude[i] = term_magnitude[i] / weight_sum[i];
    if (!rician) {
      accum[i] = accum[i] / weight_sum[i];
      continue;
    }
    const double v = accum[i] / weight_sum[i] - rician_bias;
    accum[i] = v < 0.0 ? 0.0 : std::sqrt(v);
    if (noisy[i] <= 0.0) accum[i] = 0.0;
  }
}

}  // namespace volnlm::reference
