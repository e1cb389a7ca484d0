#include "blockdenoise/worker.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>

#include "blockdenoise/block_ops.h"
#include "blockdenoise/search.h"
#include "blockdenoise/weight_exp.h"
#include "common/slabs.h"
#include "common/volume.h"

namespace volnlm::blockdenoise {

int32_t worker_count(int32_t d2, int32_t search_radius) {
  return search_radius > 0 ? clamp_workers(d2 / search_radius) : 1;
}

float weight_denominator(float sigma, float smoothing) {
  return (sigma * smoothing) * sigma;
}

float candidate_weight(float d, float denominator) {
  if (denominator == 0.0f) return d == 0.0f ? 1.0f : 0.0f;
  return weight_exp(-d / denominator);
}

namespace {

template <class T>
std::unique_ptr<T[]> buffer(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n > 0 ? n : 1]);
}

}  // namespace

void ThreadFunc(BlockTask* task) {
  const BlockTask& t = *task;
  const int32_t d0 = t.d0, d1 = t.d1, d2 = t.d2;
  const int32_t p = t.patch_radius < 0 ? -1 : t.patch_radius;
  const int32_t elements = block_elements(p);
  const float rician_bias = t.sigma * (t.sigma + t.sigma);
  const EstimateSink sink{t.estimate_sum, t.estimate_count, t.first_slice,   t.end_slice,
                          t.before_sum,   t.before_count,   t.before_slices, t.after_sum,
                          t.after_count,  t.after_slices};
  // Without blocks nothing would be written, so the search is skipped.
  if (elements == 0 || t.first_slice >= t.end_slice || d0 <= 0 || d1 <= 0) {
    if (t.slices_done) {
      for (int32_t z = t.first_slice; z < t.end_slice; ++z) {
        t.slices_done->fetch_add(1, std::memory_order_relaxed);
      }
    }
    return;
  }

  LineSearch s;
  s.local_mean = t.local_mean;
  s.local_variance = t.local_variance;
  s.d0 = d0;
  s.d1 = d1;
  s.d2 = d2;
  s.p = p;
  s.pd0 = d0 + 2 * static_cast<ptrdiff_t>(p);
  s.pd1 = d1 + 2 * static_cast<ptrdiff_t>(p);
  s.search_radius = t.search_radius;
  s.max = t.max;
  s.denominator = weight_denominator(t.sigma, t.smoothing);
  s.rician = t.rician;

  const size_t line_floats = static_cast<size_t>(elements) * static_cast<size_t>(d0);
  const int32_t side = 2 * p + 1;
  auto row_offsets = buffer<ptrdiff_t>(static_cast<size_t>(side) * static_cast<size_t>(side));
  auto active = buffer<int32_t>(static_cast<size_t>(d0));
  auto centre_weight = buffer<float>(static_cast<size_t>(d0));
  auto total_weight = buffer<float>(static_cast<size_t>(d0));
  auto accum = buffer<float>(line_floats);
  auto block = buffer<float>(static_cast<size_t>(elements));
  auto distances = buffer<float>(static_cast<size_t>(d0));
  auto plane_rows = buffer<float>(static_cast<size_t>(side) * static_cast<size_t>(d0));
  auto sum_rows = buffer<const float*>(static_cast<size_t>(side));
  std::unique_ptr<float[]> own_padded;
  if (!t.padded) {
    own_padded =
        buffer<float>(static_cast<size_t>(s.pd0 * s.pd1 * (d2 + 2 * static_cast<ptrdiff_t>(p))));
    if (own_padded) pad_volume(t.noisy, d0, d1, d2, p, own_padded.get());
  }
  if (!row_offsets || !active || !centre_weight || !total_weight || !accum || !block ||
      !distances || !plane_rows || !sum_rows || (!t.padded && !own_padded)) {
    task->failed = true;
    return;
  }
  s.padded = t.padded ? t.padded : own_padded.get();
  for (int32_t ez = -p; ez <= p; ++ez) {
    for (int32_t ey = -p; ey <= p; ++ey) {
      row_offsets[(ez + p) * side + (ey + p)] = s.pd0 * (ey + s.pd1 * ez);
    }
  }
  s.row_offsets = row_offsets.get();
  s.active = active.get();
  s.centre_weight = centre_weight.get();
  s.total_weight = total_weight.get();
  s.accum = accum.get();
  std::fill(distances.get(), distances.get() + d0, 0.0f);
  s.distances = distances.get();
  s.plane_rows = plane_rows.get();
  s.sum_rows = sum_rows.get();
  // The cache of plane sums saves work between neighbouring lines; it changes no sum, so
  // without it (too large, or not to be had) the search goes on making them afresh.
  std::unique_ptr<float[]> row_cache;
  std::unique_ptr<int64_t[]> row_tags;
  if (t.search_radius > 0 && t.search_radius <= kDeferredMaxRadius && p > 0) {
    const int64_t window = 2 * int64_t{t.search_radius} + 1;
    const double voxels = static_cast<double>(d0) * d1 * d2;
    const double share = kPlaneCacheShare * voxels / worker_count(d2, t.search_radius);
    const size_t budget = std::min(kPlaneCacheMaxFloats, static_cast<size_t>(share));
    const size_t per_offset = 2 * static_cast<size_t>(p) * static_cast<size_t>(d0);
    const int64_t count =
        std::min<int64_t>(window * window * window - 1, static_cast<int64_t>(budget / per_offset));
    if (count > 0) {
      row_cache = buffer<float>(static_cast<size_t>(count) * per_offset);
      row_tags = buffer<int64_t>(static_cast<size_t>(count) * 2 * p);
    }
    if (row_cache && row_tags) {
      std::fill(row_tags.get(), row_tags.get() + count * 2 * p, int64_t{-1});
      s.row_cache = row_cache.get();
      s.row_tags = row_tags.get();
      s.cache_window = static_cast<int32_t>(window);
      s.cache_offsets = count;
    }
  }
  // Deferred blocks for the vector search. They only change how fast the same sums are made,
  // so when their buffers cannot be had the search goes on without them.
  std::unique_ptr<float[]> deferred_weights;
  std::unique_ptr<ptrdiff_t[]> offset_shifts;
  std::unique_ptr<int32_t[]> deferred_offsets, deferred_count;
  if (t.block_values) {
    const int32_t r = t.search_radius;
    const int32_t window = 2 * r + 1;
    const int32_t count = window * window * window - 1;
    const size_t chunks = static_cast<size_t>(d0 / 8);
    offset_shifts = buffer<ptrdiff_t>(static_cast<size_t>(count));
    deferred_weights = buffer<float>(chunks * count * 8);
    deferred_offsets = buffer<int32_t>(chunks * count);
    deferred_count = buffer<int32_t>(chunks);
    if (offset_shifts && deferred_weights && deferred_offsets && deferred_count) {
      int32_t o = 0;
      for (int32_t dz = -r; dz <= r; ++dz) {
        for (int32_t dy = -r; dy <= r; ++dy) {
          for (int32_t dx = -r; dx <= r; ++dx) {
            if (dx == 0 && dy == 0 && dz == 0) continue;
            offset_shifts[o++] = dx + s.pd0 * (dy + s.pd1 * static_cast<ptrdiff_t>(dz));
          }
        }
      }
      s.block_values = t.block_values;
      s.offset_count = count;
      s.offset_shifts = offset_shifts.get();
      s.deferred_weights = deferred_weights.get();
      s.deferred_offsets = deferred_offsets.get();
      s.deferred_count = deferred_count.get();
    }
  }

  for (int32_t z = t.first_slice; z < t.end_slice; ++z) {
    for (int32_t y = 0; y < d1; ++y) {
      const int32_t line = linear_index(0, y, z, d0, d1);
      const uint8_t* centres = t.centres ? t.centres + line : nullptr;
      if (centres &&
          std::find_if(centres, centres + d0, [](uint8_t c) { return c != 0; }) == centres + d0) {
        continue;  // no centre on this line
      }
      bool any = false;
      for (int32_t x = 0; x < d0; ++x) {
        // A dark or flat centre, or one without a window, takes its own block alone.
        const bool searches = t.search_radius >= 0 && (!centres || centres[x] != 0) &&
                              t.local_mean[line + x] > kStatFloor &&
                              t.local_variance[line + x] > kStatFloor;
        active[x] = searches ? -1 : 0;
        centre_weight[x] = searches ? 0.0f : 1.0f;
        total_weight[x] = searches ? 0.0f : 1.0f;
        any = any || searches;
      }
      std::fill(accum.get(), accum.get() + line_floats, 0.0f);
      if (any) t.search_line(s, y, z);
      for (int32_t x = 0; x < d0; ++x) {
        if (centres && centres[x] == 0) continue;
        float cw = centre_weight[x];
        float tw = total_weight[x];
        if (active[x]) {
          // The centre's own block counts as much as its best candidate, or alone when none
          // weighed.
          if (cw == 0.0f) {
            cw = 1.0f;
            tw = tw + 1.0f;
          } else {
            tw = tw + cw;
          }
        }
        for (int32_t e = 0; e < elements; ++e) block[e] = accum[static_cast<size_t>(e) * d0 + x];
        Average_block(t.noisy, x, y, z, p, block.get(), cw, d0, d1, d2, t.rician);
        Value_block(sink, x, y, z, p, tw, rician_bias, block.get(), d0, d1, d2, t.rician);
      }
    }
    if (t.slices_done) t.slices_done->fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace volnlm::blockdenoise
