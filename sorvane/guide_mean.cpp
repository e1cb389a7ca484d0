#include "sorvane/guide_mean.h"

#include <cstdint>

#include "common/volume.h"

namespace volnlm::sorvane {

void guide_local_mean(const double* guide, double* guide_mean, int32_t d0, int32_t d1, int32_t d2) {
  guide_local_mean_slices(guide, guide_mean, d0, d1, d2, 0, d2);
}

void guide_local_mean_slices(const double* guide, double* guide_mean, int32_t d0, int32_t d1,
                             int32_t d2, int32_t z_first, int32_t z_end) {
  for (int32_t z = z_first; z < z_end; ++z) {
    for (int32_t y = 0; y < d1; ++y)
      guide_local_mean_line(guide, guide_mean, d0, d1, d2, y, z, 0, d0);
  }
}

void guide_local_mean_line(const double* guide, double* guide_mean, int32_t d0, int32_t d1,
                           int32_t d2, int32_t y, int32_t z, int32_t x_lo, int32_t x_hi) {
  const auto at = [&](int32_t x, int32_t y, int32_t z) {
    return guide[linear_index(mirror_index(x, d0), mirror_index(y, d1), mirror_index(z, d2), d0,
                              d1)];
  };
  // The additions run in the order of the offsets (dx outermost, dz innermost), which fixes
  // the rounding; the voxel's own value enters twice.
  const auto mirrored = [&](int32_t x, int32_t y, int32_t z) {
    double s = guide[linear_index(x, y, z, d0, d1)];
    s += at(x - 1, y, z);
    s += at(x, y - 1, z);
    s += at(x, y, z - 1);
    s += at(x, y, z);
    s += at(x, y, z + 1);
    s += at(x, y + 1, z);
    s += at(x + 1, y, z);
    guide_mean[linear_index(x, y, z, d0, d1)] = s * 0.125;
  };
  const int64_t line = d0;
  const int64_t plane = int64_t{d0} * d1;
  if (z == 0 || z == d2 - 1 || y == 0 || y == d1 - 1 || d0 < 3) {
    for (int32_t x = x_lo; x < x_hi; ++x) mirrored(x, y, z);
    return;
  }
  // Inside the volume every neighbour is where it is: the same additions without the border
  // rule.
  if (x_lo == 0 && x_hi > 0) mirrored(0, y, z);
  const double* g = guide + linear_index(0, y, z, d0, d1);
  double* out = guide_mean + linear_index(0, y, z, d0, d1);
  const int32_t from = x_lo > 1 ? x_lo : 1, to = x_hi < d0 - 1 ? x_hi : d0 - 1;
  for (int32_t x = from; x < to; ++x) {
    double s = g[x];
    s += g[x - 1];
    s += g[x - line];
    s += g[x - plane];
    s += g[x];
    s += g[x + plane];
    s += g[x + line];
    s += g[x + 1];
    out[x] = s * 0.125;
  }
  if (x_hi == d0 && x_lo < d0) mirrored(d0 - 1, y, z);
}

}  // namespace volnlm::sorvane
