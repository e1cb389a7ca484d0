#include "blockdenoise/local_stats.h"

#include "common/volume.h"

namespace volnlm::blockdenoise {

float global_max(const float* noisy, int32_t count) {
  return larger_max(0.0f, noisy, count);
}

float larger_max(float max, const float* values, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (values[i] > max) max = values[i];
  }
  return max;
}

namespace {

// Mirrored coordinates of v - 1, v, v + 1 on an axis of extent n.
struct Triple {
  int32_t at[3];
};

Triple mirrored(int32_t v, int32_t n) {
  return Triple{{mirror_index(v - 1, n), mirror_index(v, n), mirror_index(v + 1, n)}};
}

}  // namespace

float compute_local_mean(const float* noisy, float* local_mean, int32_t d0, int32_t d1,
                         int32_t d2) {
  const int32_t count = d0 * d1 * d2;
  if (count <= 0) return 0.0f;
  local_mean_slices(noisy, local_mean, d0, d1, d2, 0, d2);
  return global_max(noisy, count);
}

void local_mean_slices(const float* noisy, float* local_mean, int32_t d0, int32_t d1, int32_t d2,
                       int32_t first, int32_t end) {
  for (int32_t z = first; z < end; ++z) {
    for (int32_t y = 0; y < d1; ++y) local_mean_line(noisy, local_mean, d0, d1, d2, y, z, 0, d0);
  }
}

void local_mean_line(const float* noisy, float* local_mean, int32_t d0, int32_t d1, int32_t d2,
                     int32_t y, int32_t z, int32_t x_lo, int32_t x_hi) {
  const Triple zs = mirrored(z, d2);
  const Triple ys = mirrored(y, d1);
  for (int32_t x = x_lo; x < x_hi; ++x) {
    const Triple xs = mirrored(x, d0);
    float s = 0.0f;
    for (int32_t a = 0; a < 3; ++a) {
      for (int32_t b = 0; b < 3; ++b) {
        for (int32_t c = 0; c < 3; ++c) {
          s += noisy[linear_index(xs.at[b], ys.at[a], zs.at[c], d0, d1)];
        }
      }
    }
    local_mean[linear_index(x, y, z, d0, d1)] = s / 27.0f;
  }
}

void compute_local_variance(const float* noisy, const float* local_mean, float* local_variance,
                            int32_t d0, int32_t d1, int32_t d2) {
  local_variance_slices(noisy, local_mean, local_variance, d0, d1, d2, 0, d2);
}

void local_variance_slices(const float* noisy, const float* local_mean, float* local_variance,
                           int32_t d0, int32_t d1, int32_t d2, int32_t first, int32_t end) {
  for (int32_t z = first; z < end; ++z) {
    for (int32_t y = 0; y < d1; ++y) {
      local_variance_line(noisy, local_mean, local_variance, d0, d1, d2, y, z, 0, d0);
    }
  }
}

void local_variance_line(const float* noisy, const float* local_mean, float* local_variance,
                         int32_t d0, int32_t d1, int32_t d2, int32_t y, int32_t z, int32_t x_lo,
                         int32_t x_hi) {
  for (int32_t x = x_lo; x < x_hi; ++x) {
    const int32_t i = linear_index(x, y, z, d0, d1);
    const float mean = local_mean[i];
    float s = 0.0f;
    int32_t k = 0;
    for (int32_t dy = -1; dy <= 1; ++dy) {
      const int32_t yy = y + dy;
      if (yy < 0 || yy >= d1) continue;
      for (int32_t dx = -1; dx <= 1; ++dx) {
        const int32_t xx = x + dx;
        if (xx < 0 || xx >= d0) continue;
        for (int32_t dz = -1; dz <= 1; ++dz) {
          const int32_t zz = z + dz;
          if (zz < 0 || zz >= d2) continue;
          const float e = noisy[linear_index(xx, yy, zz, d0, d1)] - mean;
          s = s + e * e;
          k = k + 1;
        }
      }
    }
    // A lone voxel (k = 1) divides by 0: NaN for no deviation, +infinity otherwise.
    local_variance[i] = s / static_cast<float>(k - 1);
  }
}

}  // namespace volnlm::blockdenoise
