#include "blockdenoise/worker.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "blockdenoise/block_ops.h"
#include "blockdenoise/search.h"
#include "blockdenoise/weight_exp.h"
#include "common/mask.h"
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
  if (elements == 0 || t.first_slice >= t.end_slice) {
    if (t.slices_done) {
      for (int32_t z = t.first_slice; z < t.end_slice; ++z) {
        t.slices_done->fetch_add(1, std::memory_order_relaxed);
      }
    }
    return;
  }

  const LineSearch& s = t.search;
  int32_t* const active = s.active;
  float* const centre_weight = s.centre_weight;
  float* const total_weight = s.total_weight;
  float* const accum = s.accum;
  const size_t line_floats = static_cast<size_t>(elements) * static_cast<size_t>(d0);
  for (int32_t z = t.first_slice; z < t.end_slice; ++z) {
    for (int32_t y = 0; y < d1; ++y) {
      if (t.stop && t.stop->load(std::memory_order_relaxed)) return;  // checked once a line
      const int32_t line = linear_index(0, y, z, d0, d1);
      const uint8_t* centres = t.centres ? t.centres + line : nullptr;
      // With a mask, the line's centres lie in x_lo .. x_hi - 1, and only they are worked.
      int32_t x_lo = 0, x_hi = d0;
      if (centres) {
        const Span span = s.centre_spans ? s.centre_spans[static_cast<ptrdiff_t>(z) * d1 + y]
                                         : nonzero_span(centres, d0);
        x_lo = span.lo;
        x_hi = span.hi;
      }
      if (x_lo >= x_hi) {
        if (s.pair_rows) s.pair_searched[pair_slot(s, y, z)] = 0;
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
      if (centres) {
        for (int32_t e = 0; e < elements; ++e) {
          float* row = accum + static_cast<size_t>(e) * d0;
          std::fill(row + x_lo, row + x_hi, 0.0f);
        }
      } else {
        std::fill(accum, accum + line_floats, 0.0f);
      }
      if (s.pair_rows) s.pair_searched[pair_slot(s, y, z)] = any ? 1 : 0;
      if (any) t.search_line(s, y, z);
      for (int32_t x = x_lo; x < x_hi; ++x) {
        if (!active[x]) continue;
        // The centre's own block counts as much as its best candidate, or alone when none
        // weighed.
        if (centre_weight[x] == 0.0f) {
          centre_weight[x] = 1.0f;
          total_weight[x] = total_weight[x] + 1.0f;
        } else {
          total_weight[x] = total_weight[x] + centre_weight[x];
        }
      }
      finish_line(sink, t.noisy, y, z, p, centre_weight, total_weight, rician_bias, accum, centres,
                  d0, d1, d2, t.rician, x_lo, x_hi);
    }
    if (t.slices_done) t.slices_done->fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace volnlm::blockdenoise
