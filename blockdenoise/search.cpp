#include "blockdenoise/search.h"

#include <cmath>

#include "blockdenoise/worker.h"
#include "common/volume.h"

namespace volnlm::blockdenoise {

void pad_volume(const float* noisy, int32_t d0, int32_t d1, int32_t d2, int32_t p, float* padded) {
  float* out = padded;
  for (int32_t z = -p; z < d2 + p; ++z) {
    const int32_t mz = mirror_index(z, d2);
    for (int32_t y = -p; y < d1 + p; ++y) {
      const float* row = noisy + linear_index(0, mirror_index(y, d1), mz, d0, d1);
      for (int32_t x = -p; x < 0; ++x) *out++ = row[mirror_index(x, d0)];
      for (int32_t x = 0; x < d0; ++x) *out++ = row[x];
      for (int32_t x = d0; x < d0 + p; ++x) *out++ = row[mirror_index(x, d0)];
    }
  }
}

bool deferred_blocks_apply(int32_t d0, int32_t d1, int32_t d2, int32_t p, int32_t search_radius) {
  if (search_radius < 1 || search_radius > kDeferredMaxRadius || p < 0 || p > kDeferredMaxPatch) {
    return false;
  }
  const int32_t margin = p + search_radius;
  return d0 >= 2 * margin + 8 && d1 >= 2 * margin + 1 && d2 >= 2 * margin + 1;
}

bool prepare_block_values(const float* padded, size_t n, float* squared) {
  bool finite = true;
  for (size_t i = 0; i < n; ++i) {
    float v = padded[i];
    if (squared) {
      v = v * v;
      squared[i] = v;
    }
    finite = finite && std::isfinite(v);
  }
  return finite;
}

namespace {

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

}  // namespace

void add_candidate_block(const LineSearch& s, int32_t x, int32_t nx, int32_t ny, int32_t nz,
                         float w) {
  const int32_t d0 = s.d0, d1 = s.d1, d2 = s.d2, p = s.p;
  float* acc = s.accum + x;
  if (nx - p >= 0 && nx + p < d0 && ny - p >= 0 && ny + p < d1 && nz - p >= 0 && nz + p < d2) {
    const float* b = s.padded + padded_index(s, nx, ny, nz);
    for (int32_t e = 0; e < s.elements; ++e) {
      const float v = b[s.offsets[e]];
      acc[e * static_cast<ptrdiff_t>(d0)] += s.rician ? (v * v) * w : w * v;
    }
    return;
  }
  // Offsets outside the volume take the candidate's own value.
  const float own = s.noisy[linear_index(nx, ny, nz, d0, d1)];
  int32_t e = 0;
  for (int32_t ez = -p; ez <= p; ++ez) {
    for (int32_t ey = -p; ey <= p; ++ey) {
      for (int32_t ex = -p; ex <= p; ++ex, ++e) {
        const int32_t ux = nx + ex, uy = ny + ey, uz = nz + ez;
        const bool in = ux >= 0 && ux < d0 && uy >= 0 && uy < d1 && uz >= 0 && uz < d2;
        const float v = in ? s.noisy[linear_index(ux, uy, uz, d0, d1)] : own;
        acc[e * static_cast<ptrdiff_t>(d0)] += s.rician ? (v * v) * w : w * v;
      }
    }
  }
}

void search_run_portable(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                         int32_t dz, int32_t x0, int32_t x1) {
  const int32_t d0 = s.d0, d1 = s.d1;
  const int32_t ny = y + dy, nz = z + dz;
  const int32_t line = linear_index(0, y, z, d0, d1);
  const int32_t cand_line = linear_index(0, ny, nz, d0, d1);
  const float count = static_cast<float>(s.elements);
  box_distances<PortableSums>(s, y, z, dx, dy, dz, x0, x1);
  for (int32_t x = x0; x < x1; ++x) {
    if (!s.active[x]) continue;
    const float mn = s.local_mean[cand_line + x + dx];
    const float vn = s.local_variance[cand_line + x + dx];
    if (!(mn > kStatFloor && vn > kStatFloor)) continue;
    if (!preselected(s.local_mean[line + x], s.local_variance[line + x], mn, vn, s.max)) continue;
    const float sum = s.distances[x];
    const float w = candidate_weight(sum / count, s.denominator);
    if (w > s.centre_weight[x]) s.centre_weight[x] = w;
    s.total_weight[x] = s.total_weight[x] + w;
    add_candidate_block(s, x, x + dx, ny, nz, w);
  }
}

void search_line_portable(const LineSearch& s, int32_t y, int32_t z) {
  for_each_offset(s, y, z, search_run_portable);
}

SearchLine search_line_for(Isa isa) {
  return choose_form<SearchLine>(isa, {search_line_portable, search_line_avx2, search_line_avx2});
}

}  // namespace volnlm::blockdenoise
