#include "blockdenoise/block_ops.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/volume.h"

namespace volnlm::blockdenoise {

int32_t block_elements(int32_t p) {
  if (p < 0) return 0;
  const int32_t side = 2 * p + 1;
  return side * side * side;
}

namespace {

template <bool kRician>
float weighted(float v, float weight) {
  if constexpr (kRician) {
    return (v * v) * weight;
  } else {
    return weight * v;
  }
}

template <bool kRician>
void average_block(const float* noisy, int32_t x, int32_t y, int32_t z, int32_t p,
                   float* block_accum, float weight, int32_t d0, int32_t d1, int32_t d2) {
  const float centre = noisy[linear_index(x, y, z, d0, d1)];
  const float centre_term = weighted<kRician>(centre, weight);
  const bool row_inside = x - p >= 0 && x + p < d0;
  float* e = block_accum;
  for (int32_t dz = -p; dz <= p; ++dz) {
    const int32_t zz = z + dz;
    for (int32_t dy = -p; dy <= p; ++dy) {
      const int32_t yy = y + dy;
      if (zz < 0 || zz >= d2 || yy < 0 || yy >= d1) {
        for (int32_t dx = -p; dx <= p; ++dx) *e++ += centre_term;
        continue;
      }
      const float* row = noisy + linear_index(0, yy, zz, d0, d1);
      if (row_inside) {
        for (int32_t dx = -p; dx <= p; ++dx) *e++ += weighted<kRician>(row[x + dx], weight);
        continue;
      }
      for (int32_t dx = -p; dx <= p; ++dx) {
        const int32_t xx = x + dx;
        *e++ += (xx >= 0 && xx < d0) ? weighted<kRician>(row[xx], weight) : centre_term;
      }
    }
  }
}

template <bool kRician>
float estimate(float accum, float total_weight, float rician_bias) {
  if constexpr (kRician) {
    const float t = accum / total_weight - rician_bias;
    return t > 0.0f ? std::sqrt(t) : 0.0f;  // a NaN also gives 0
  } else {
    return accum / total_weight;
  }
}

template <bool kRician>
void value_block(const EstimateSink& sink, int32_t x, int32_t y, int32_t z, int32_t p,
                 float total_weight, float rician_bias, const float* block_accum, int32_t d0,
                 int32_t d1, int32_t d2) {
  const ptrdiff_t plane = static_cast<ptrdiff_t>(d0) * d1;
  const int32_t side = 2 * p + 1;
  const int32_t dx_lo = std::max(-p, -x);
  const int32_t dx_hi = std::min(p, d0 - 1 - x);
  for (int32_t dz = -p; dz <= p; ++dz) {
    const int32_t zz = z + dz;
    if (zz < 0 || zz >= d2) continue;
    float* sum;
    float* count;
    if (zz < sink.first_slice) {
      const ptrdiff_t at = (zz - (sink.first_slice - sink.before_slices)) * plane;
      sum = sink.before_sum + at;
      count = sink.before_count + at;
    } else if (zz >= sink.end_slice) {
      const ptrdiff_t at = (zz - sink.end_slice) * plane;
      sum = sink.after_sum + at;
      count = sink.after_count + at;
    } else {
      sum = sink.sum + zz * plane;
      count = sink.count + zz * plane;
    }
    for (int32_t dy = -p; dy <= p; ++dy) {
      const int32_t yy = y + dy;
      if (yy < 0 || yy >= d1) continue;
      const ptrdiff_t row = static_cast<ptrdiff_t>(yy) * d0 + x;
      const float* e = block_accum + (static_cast<ptrdiff_t>(dz + p) * side + (dy + p)) * side + p;
      for (int32_t dx = dx_lo; dx <= dx_hi; ++dx) {
        sum[row + dx] = estimate<kRician>(e[dx], total_weight, rician_bias) + sum[row + dx];
        count[row + dx] = count[row + dx] + 1.0f;
      }
    }
  }
}

}  // namespace

void Average_block(const float* noisy, int32_t x, int32_t y, int32_t z, int32_t p,
                   float* block_accum, float weight, int32_t d0, int32_t d1, int32_t d2,
                   bool rician) {
  if (p < 0) return;
  if (rician) {
    average_block<true>(noisy, x, y, z, p, block_accum, weight, d0, d1, d2);
  } else {
    average_block<false>(noisy, x, y, z, p, block_accum, weight, d0, d1, d2);
  }
}

void Value_block(const EstimateSink& sink, int32_t x, int32_t y, int32_t z, int32_t p,
                 float total_weight, float rician_bias, const float* block_accum, int32_t d0,
                 int32_t d1, int32_t d2, bool rician) {
  if (p < 0) return;
  if (rician) {
    value_block<true>(sink, x, y, z, p, total_weight, rician_bias, block_accum, d0, d1, d2);
  } else {
    value_block<false>(sink, x, y, z, p, total_weight, rician_bias, block_accum, d0, d1, d2);
  }
}

}  // namespace volnlm::blockdenoise
