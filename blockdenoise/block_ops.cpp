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

// Where slice zz of the sums and counts lies: in the volume for the sink's own slices, in its
// private buffers for the slices before and after them.
void slice_of(const EstimateSink& sink, int32_t zz, ptrdiff_t plane, float*& sum, float*& count) {
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
    slice_of(sink, zz, plane, sum, count);
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

namespace {

// The own-block and write-back steps of a line of centres, element by element across the line,
// so that each step runs along contiguous memory. Every centre's accumulator gets the same
// additions as Average_block gives it, and every voxel the same additions in the same order as
// Value_block called centre after centre gives it (see finish_line).
template <bool kRician>
void own_blocks(const float* noisy, int32_t y, int32_t z, int32_t p, const float* centre_weight,
                float* accum, int32_t d0, int32_t d1, int32_t d2, int32_t x_lo, int32_t x_hi) {
  const float* own = noisy + linear_index(0, y, z, d0, d1);
  const size_t n = static_cast<size_t>(d0);
  float* e = accum;
  for (int32_t dz = -p; dz <= p; ++dz) {
    const int32_t zz = z + dz;
    for (int32_t dy = -p; dy <= p; ++dy) {
      const int32_t yy = y + dy;
      const bool row_in = zz >= 0 && zz < d2 && yy >= 0 && yy < d1;
      const float* row = row_in ? noisy + linear_index(0, yy, zz, d0, d1) : nullptr;
      for (int32_t dx = -p; dx <= p; ++dx, e += n) {
        // Centres x whose block voxel x + dx lies inside the line: lo .. hi - 1, within the
        // centres worked.
        const int32_t lo = std::clamp(row_in ? -dx : d0, x_lo, x_hi);
        const int32_t hi = std::clamp(row_in ? d0 - dx : d0, lo, x_hi);
        for (int32_t x = x_lo; x < lo; ++x) {
          e[x] = e[x] + weighted<kRician>(own[x], centre_weight[x]);
        }
        for (int32_t x = lo; x < hi; ++x) {
          e[x] = e[x] + weighted<kRician>(row[x + dx], centre_weight[x]);
        }
        for (int32_t x = hi; x < x_hi; ++x) {
          e[x] = e[x] + weighted<kRician>(own[x], centre_weight[x]);
        }
      }
    }
  }
}

template <bool kRician>
void write_blocks(const EstimateSink& sink, int32_t y, int32_t z, int32_t p,
                  const float* total_weight, float rician_bias, const float* accum,
                  const uint8_t* centres, int32_t d0, int32_t d1, int32_t d2, int32_t x_lo,
                  int32_t x_hi) {
  const ptrdiff_t plane = static_cast<ptrdiff_t>(d0) * d1;
  const size_t n = static_cast<size_t>(d0);
  const int32_t side = 2 * p + 1;
  for (int32_t dz = -p; dz <= p; ++dz) {
    const int32_t zz = z + dz;
    if (zz < 0 || zz >= d2) continue;
    float* sum;
    float* count;
    slice_of(sink, zz, plane, sum, count);
    for (int32_t dy = -p; dy <= p; ++dy) {
      const int32_t yy = y + dy;
      if (yy < 0 || yy >= d1) continue;
      float* sum_row = sum + static_cast<ptrdiff_t>(yy) * d0;
      float* count_row = count + static_cast<ptrdiff_t>(yy) * d0;
      const float* row_accum = accum + ((dz + p) * side + (dy + p)) * side * n;
      // A voxel u of this row hears from centres u + p, ..., u - p of the line in this order
      // when the centres are taken one after the other in x: so dx runs downwards here.
      for (int32_t dx = p; dx >= -p; --dx) {
        const float* e = row_accum + (dx + p) * n;
        const int32_t lo = std::clamp(-dx, x_lo, x_hi);
        const int32_t hi = std::clamp(d0 - dx, lo, x_hi);
        if (centres) {
          // Run by run of neighbouring centres, each run as one plain loop (every voxel gets its
          // one addition from this offset all the same).
          for (int32_t x = lo; x < hi;) {
            while (x < hi && centres[x] == 0) ++x;
            int32_t end = x;
            while (end < hi && centres[end] != 0) ++end;
            for (; x < end; ++x) {
              sum_row[x + dx] =
                  estimate<kRician>(e[x], total_weight[x], rician_bias) + sum_row[x + dx];
              count_row[x + dx] = count_row[x + dx] + 1.0f;
            }
          }
        } else {
          for (int32_t x = lo; x < hi; ++x) {
            sum_row[x + dx] =
                estimate<kRician>(e[x], total_weight[x], rician_bias) + sum_row[x + dx];
            count_row[x + dx] = count_row[x + dx] + 1.0f;
          }
        }
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

void finish_line(const EstimateSink& sink, const float* noisy, int32_t y, int32_t z, int32_t p,
                 const float* centre_weight, const float* total_weight, float rician_bias,
                 float* accum, const uint8_t* centres, int32_t d0, int32_t d1, int32_t d2,
                 bool rician, int32_t x_lo, int32_t x_hi) {
  if (p < 0) return;
  x_lo = std::clamp(x_lo, 0, d0);
  x_hi = std::clamp(x_hi, x_lo, d0);
  if (rician) {
    own_blocks<true>(noisy, y, z, p, centre_weight, accum, d0, d1, d2, x_lo, x_hi);
    write_blocks<true>(sink, y, z, p, total_weight, rician_bias, accum, centres, d0, d1, d2, x_lo,
                       x_hi);
  } else {
    own_blocks<false>(noisy, y, z, p, centre_weight, accum, d0, d1, d2, x_lo, x_hi);
    write_blocks<false>(sink, y, z, p, total_weight, rician_bias, accum, centres, d0, d1, d2, x_lo,
                        x_hi);
  }
}

}  // namespace volnlm::blockdenoise
