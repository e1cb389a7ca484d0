// The candidate search with AVX2: eight neighbouring centres of a line against the same offset
// at once, lane i holding centre x + i. Every lane makes the same single operations in the same
// order as the portable code (no fused multiply-add: the folder compiles with
// -ffp-contract=off), and the weights come from the same scalar candidate_weight, so the bits
// are those of the portable path. Everything here has internal linkage, so that no function
// compiled for AVX2 can stand in for a portable one.
#include "blockdenoise/search.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "blockdenoise/worker.h"

namespace volnlm::blockdenoise {

namespace {

// Lanes with a ratio strictly between lo and hi; NaN fails (ordered, non-signalling compares).
__m256 within(__m256 ratio, float lo, float hi) {
  return _mm256_and_ps(_mm256_cmp_ps(ratio, _mm256_set1_ps(lo), _CMP_GT_OQ),
                       _mm256_cmp_ps(ratio, _mm256_set1_ps(hi), _CMP_LT_OQ));
}

void search_run(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz,
                int32_t x0, int32_t x1) {
  const int32_t d0 = s.d0, p = s.p;
  const int32_t ny = y + dy, nz = z + dz;
  // Candidates whose block reaches past the volume take the portable code, which fills the
  // outside from the candidate's own value.
  if (ny - p < 0 || ny + p >= s.d1 || nz - p < 0 || nz + p >= s.d2) {
    search_run_portable(s, y, z, dx, dy, dz, x0, x1);
    return;
  }
  const int32_t vx0 = x0 > p - dx ? x0 : p - dx;
  const int32_t vx1 = x1 < d0 - p - dx ? x1 : d0 - p - dx;
  if (vx1 - vx0 < 8) {
    search_run_portable(s, y, z, dx, dy, dz, x0, x1);
    return;
  }
  if (x0 < vx0) search_run_portable(s, y, z, dx, dy, dz, x0, vx0);

  const ptrdiff_t line = static_cast<ptrdiff_t>(d0) * (y + static_cast<ptrdiff_t>(s.d1) * z);
  const ptrdiff_t cand_line = static_cast<ptrdiff_t>(d0) * (ny + static_cast<ptrdiff_t>(s.d1) * nz) + dx;
  const float* centre_padded = s.padded + (p + s.pd0 * ((y + p) + s.pd1 * static_cast<ptrdiff_t>(z + p)));
  const ptrdiff_t shift = dx + s.pd0 * (dy + s.pd1 * static_cast<ptrdiff_t>(dz));
  const int32_t elements = s.elements;
  const ptrdiff_t* offsets = s.offsets;
  const __m256 floor = _mm256_set1_ps(kStatFloor);
  const __m256 max = _mm256_set1_ps(s.max);
  const __m256 count = _mm256_set1_ps(static_cast<float>(elements));
  const bool rician = s.rician;

  int32_t x = vx0;
  for (; x + 8 <= vx1; x += 8) {
    __m256 ok = _mm256_castsi256_ps(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.active + x)));
    const __m256 mn = _mm256_loadu_ps(s.local_mean + cand_line + x);
    const __m256 vn = _mm256_loadu_ps(s.local_variance + cand_line + x);
    ok = _mm256_and_ps(ok, _mm256_and_ps(_mm256_cmp_ps(mn, floor, _CMP_GT_OQ),
                                         _mm256_cmp_ps(vn, floor, _CMP_GT_OQ)));
    if (_mm256_movemask_ps(ok) == 0) continue;
    const __m256 mc = _mm256_loadu_ps(s.local_mean + line + x);
    const __m256 vc = _mm256_loadu_ps(s.local_variance + line + x);
    const __m256 by_mean = within(_mm256_div_ps(mc, mn), kMeanRatioLow, kMeanRatioHigh);
    const __m256 by_max = within(
        _mm256_div_ps(_mm256_sub_ps(max, mc), _mm256_sub_ps(max, mn)), kMeanRatioLow,
        kMeanRatioHigh);
    const __m256 by_variance =
        within(_mm256_div_ps(vc, vn), kVarianceRatioLow, kVarianceRatioHigh);
    ok = _mm256_and_ps(ok, _mm256_or_ps(by_mean, _mm256_and_ps(by_max, by_variance)));
    const int bits = _mm256_movemask_ps(ok);
    if (bits == 0) continue;

    const float* a = centre_padded + x;
    const float* b = a + shift;
    __m256 sum = _mm256_setzero_ps();
    for (int32_t e = 0; e < elements; ++e) {
      const __m256 diff =
          _mm256_sub_ps(_mm256_loadu_ps(a + offsets[e]), _mm256_loadu_ps(b + offsets[e]));
      sum = _mm256_add_ps(sum, _mm256_mul_ps(diff, diff));
    }
    alignas(32) float d[8];
    alignas(32) float w[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    _mm256_store_ps(d, _mm256_div_ps(sum, count));
    for (int i = 0; i < 8; ++i) {
      if (bits & (1 << i)) w[i] = candidate_weight(d[i], s.denominator);
    }
    const __m256 weight = _mm256_load_ps(w);
    const __m256 cw = _mm256_loadu_ps(s.centre_weight + x);
    const __m256 raise = _mm256_and_ps(ok, _mm256_cmp_ps(weight, cw, _CMP_GT_OQ));
    _mm256_storeu_ps(s.centre_weight + x, _mm256_blendv_ps(cw, weight, raise));
    const __m256 tw = _mm256_loadu_ps(s.total_weight + x);
    _mm256_storeu_ps(s.total_weight + x, _mm256_blendv_ps(tw, _mm256_add_ps(tw, weight), ok));

    float* acc = s.accum + x;
    for (int32_t e = 0; e < elements; ++e) {
      const __m256 v = _mm256_loadu_ps(b + offsets[e]);
      const __m256 term = rician ? _mm256_mul_ps(_mm256_mul_ps(v, v), weight)
                                 : _mm256_mul_ps(weight, v);
      float* row = acc + e * static_cast<ptrdiff_t>(d0);
      const __m256 old = _mm256_loadu_ps(row);
      _mm256_storeu_ps(row, _mm256_blendv_ps(old, _mm256_add_ps(old, term), ok));
    }
  }
  if (x < x1) search_run_portable(s, y, z, dx, dy, dz, x, x1);
}

}  // namespace

void search_line_avx2(const LineSearch& s, int32_t y, int32_t z) { for_each_offset(s, y, z, search_run); }

}  // namespace volnlm::blockdenoise

#endif
