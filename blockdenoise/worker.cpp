#include "blockdenoise/worker.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "blockdenoise/block_ops.h"
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
  return std::exp(-d / denominator);
}

namespace {

// Local means and variances at or below this mark a dark or flat neighbourhood.
constexpr float kStatFloor = 1e-5f;
// Bounds of an acceptable ratio of local means; the upper one is the float nearest 1 / 0.95.
constexpr float kMeanRatioLow = 0.95f;
constexpr float kMeanRatioHigh = 1.0526316f;
// Bounds of an acceptable ratio of local variances.
constexpr float kVarianceRatioLow = 0.5f;
constexpr float kVarianceRatioHigh = 2.0f;

bool in_mean_band(float ratio) {
  return ratio > kMeanRatioLow && ratio < kMeanRatioHigh;
}

// A candidate is worth a patch distance when its local mean is close to the centre's, either
// directly or measured down from the global maximum; in the latter case its local variance
// must be close too. NaN and infinite ratios fail every comparison.
bool preselected(float mc, float vc, float mn, float vn, float max) {
  if (in_mean_band(mc / mn)) return true;
  if (!in_mean_band((max - mc) / (max - mn))) return false;
  const float variance_ratio = vc / vn;
  return variance_ratio > kVarianceRatioLow && variance_ratio < kVarianceRatioHigh;
}

// Search window bounds on one axis, clipped to the volume so that a huge radius costs nothing.
struct Range {
  int32_t lo;
  int32_t hi;  // inclusive
};

Range window(int32_t centre, int64_t radius, int32_t extent) {
  return Range{static_cast<int32_t>(std::max<int64_t>(centre - radius, 0)),
               static_cast<int32_t>(std::min<int64_t>(centre + radius, extent - 1))};
}

struct Derived {
  int32_t p;
  int32_t elements;
  float denominator;
  float rician_bias;
  EstimateSink sink;
};

// Builds the block estimate of the centre (x, y, z) in `accum` and writes it back.
void estimate_centre(const BlockTask& t, const Derived& k, float* accum, int32_t x, int32_t y,
                     int32_t z) {
  const int32_t d0 = t.d0, d1 = t.d1, d2 = t.d2, p = k.p;
  std::fill(accum, accum + k.elements, 0.0f);
  const int32_t c = linear_index(x, y, z, d0, d1);
  const float mc = t.local_mean[c];
  const float vc = t.local_variance[c];
  float centre_weight = 1.0f;
  float total_weight = 1.0f;
  if (mc > kStatFloor && vc > kStatFloor && t.search_radius >= 0) {
    centre_weight = 0.0f;
    total_weight = 0.0f;
    const Range rz = window(z, t.search_radius, d2);
    const Range ry = window(y, t.search_radius, d1);
    const Range rx = window(x, t.search_radius, d0);
    for (int32_t nz = rz.lo; nz <= rz.hi; ++nz) {
      for (int32_t ny = ry.lo; ny <= ry.hi; ++ny) {
        for (int32_t nx = rx.lo; nx <= rx.hi; ++nx) {
          if (nx == x && ny == y && nz == z) continue;
          const int32_t n = linear_index(nx, ny, nz, d0, d1);
          const float mn = t.local_mean[n];
          const float vn = t.local_variance[n];
          if (!(mn > kStatFloor && vn > kStatFloor)) continue;
          if (!preselected(mc, vc, mn, vn, t.max)) continue;
          const float d = distance(t.noisy, x, y, z, nx, ny, nz, p, d0, d1, d2);
          const float w = candidate_weight(d, k.denominator);
          if (w > centre_weight) centre_weight = w;
          Average_block(t.noisy, nx, ny, nz, p, accum, w, d0, d1, d2, t.rician);
          total_weight = total_weight + w;
        }
      }
    }
    // The centre's own block counts as much as its best candidate, or alone when none weighed.
    if (centre_weight == 0.0f) {
      centre_weight = 1.0f;
      total_weight = total_weight + 1.0f;
    } else {
      total_weight = total_weight + centre_weight;
    }
  }
  Average_block(t.noisy, x, y, z, p, accum, centre_weight, d0, d1, d2, t.rician);
  Value_block(k.sink, x, y, z, p, total_weight, k.rician_bias, accum, d0, d1, d2, t.rician);
}

}  // namespace

void ThreadFunc(BlockTask* task) {
  const BlockTask& t = *task;
  Derived k;
  k.p = t.patch_radius < 0 ? -1 : t.patch_radius;
  k.elements = block_elements(k.p);
  k.denominator = weight_denominator(t.sigma, t.smoothing);
  k.rician_bias = t.sigma * (t.sigma + t.sigma);
  k.sink =
      EstimateSink{t.estimate_sum, t.estimate_count, t.first_slice, t.end_slice,   t.before_sum,
                   t.before_count, t.before_slices,  t.after_sum,   t.after_count, t.after_slices};
  const std::unique_ptr<float[]> accum(new (std::nothrow) float[k.elements > 0 ? k.elements : 1]);
  if (!accum) {
    task->failed = true;
    return;
  }
  for (int32_t z = t.first_slice; z < t.end_slice; ++z) {
    // Without blocks nothing would be written, so the search is skipped.
    if (k.elements > 0) {
      for (int32_t y = 0; y < t.d1; ++y) {
        for (int32_t x = 0; x < t.d0; ++x) estimate_centre(t, k, accum.get(), x, y, z);
      }
    }
    if (t.slices_done) t.slices_done->fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace volnlm::blockdenoise
