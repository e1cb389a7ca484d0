// The candidate search with AVX2: eight neighbouring centres of a line against the same offset
// at once, lane i holding centre x + i. Every lane makes the same single operations in the same
// order as the portable code (no fused multiply-add: the folder compiles with
// -ffp-contract=off), and the weights come from the same scalar candidate_weight, so the bits
// are those of the portable path. Everything here has internal linkage, so that no function
// compiled for AVX2 can stand in for a portable one.
#include "blockdenoise/search.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>
#include <math.h>

#include "blockdenoise/worker.h"

namespace volnlm::blockdenoise {

namespace {

// Lanes with a ratio strictly between lo and hi; NaN fails (ordered, non-signalling compares).
__m256 within(__m256 ratio, float lo, float hi) {
  return _mm256_and_ps(_mm256_cmp_ps(ratio, _mm256_set1_ps(lo), _CMP_GT_OQ),
                       _mm256_cmp_ps(ratio, _mm256_set1_ps(hi), _CMP_LT_OQ));
}

// Loads and stores of eight lanes; in the last, partial chunk of a run only the lanes in
// `lanes` are touched, so that nothing past a line or a buffer is read or written.
template <bool kTail>
__m256 load(const float* at, __m256i lanes) {
  if constexpr (kTail) {
    return _mm256_maskload_ps(at, lanes);
  } else {
    (void)lanes;
    return _mm256_loadu_ps(at);
  }
}

template <bool kTail>
void store(float* at, __m256i lanes, __m256 v) {
  if constexpr (kTail) {
    _mm256_maskstore_ps(at, lanes, v);
  } else {
    (void)lanes;
    _mm256_storeu_ps(at, v);
  }
}

// What every chunk of one run shares.
struct Run {
  const LineSearch* s;
  int32_t y, z, dx, ny, nz;
  ptrdiff_t line, cand_line, shift;
  const float* centre_padded;
  bool rows_inside;  // the candidates' blocks stay inside the volume along y and z
};

// Centres x .. x + 7 (those in `lanes` for a partial chunk) against the run's offset.
// kP > 0 fixes the patch radius at compile time, so that the patch loops unroll; 0 reads it
// from the search.
template <bool kTail, int kP>
void chunk(const Run& r, int32_t x, __m256i lanes) {
  const LineSearch& s = *r.s;
  const int32_t p = kP > 0 ? kP : s.p;
  const int32_t side = 2 * p + 1;
  const int32_t rows = side * side;
  const ptrdiff_t* row_offsets = s.row_offsets;
  const __m256 floor = _mm256_set1_ps(kStatFloor);
  __m256 ok = _mm256_castsi256_ps(
      kTail ? _mm256_maskload_epi32(s.active + x, lanes)
            : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.active + x)));
  if (_mm256_movemask_ps(ok) == 0) return;
  const __m256i ok_lanes = _mm256_castps_si256(ok);
  const __m256 mn = load<kTail>(s.local_mean + r.cand_line + x, ok_lanes);
  const __m256 vn = load<kTail>(s.local_variance + r.cand_line + x, ok_lanes);
  ok = _mm256_and_ps(ok, _mm256_and_ps(_mm256_cmp_ps(mn, floor, _CMP_GT_OQ),
                                       _mm256_cmp_ps(vn, floor, _CMP_GT_OQ)));
  if (_mm256_movemask_ps(ok) == 0) return;
  const __m256 mc = load<kTail>(s.local_mean + r.line + x, ok_lanes);
  const __m256 vc = load<kTail>(s.local_variance + r.line + x, ok_lanes);
  const __m256 max = _mm256_set1_ps(s.max);
  const __m256 by_mean = within(_mm256_div_ps(mc, mn), kMeanRatioLow, kMeanRatioHigh);
  const __m256 by_max = within(_mm256_div_ps(_mm256_sub_ps(max, mc), _mm256_sub_ps(max, mn)),
                               kMeanRatioLow, kMeanRatioHigh);
  const __m256 by_variance = within(_mm256_div_ps(vc, vn), kVarianceRatioLow, kVarianceRatioHigh);
  ok = _mm256_and_ps(ok, _mm256_or_ps(by_mean, _mm256_and_ps(by_max, by_variance)));
  const int bits = _mm256_movemask_ps(ok);
  if (bits == 0) return;
  const __m256i use = _mm256_castps_si256(ok);

  // Patch distances, each lane summing its own patch in the portable order.
  const float* a = r.centre_padded + x;
  const float* b = a + r.shift;
  __m256 sum = _mm256_setzero_ps();
  for (int32_t row = 0; row < rows; ++row) {
    const float* ar = a + row_offsets[row];
    const float* br = b + row_offsets[row];
    for (int32_t ex = -p; ex <= p; ++ex) {
      const __m256 diff = _mm256_sub_ps(load<kTail>(ar + ex, use), load<kTail>(br + ex, use));
      sum = _mm256_add_ps(sum, _mm256_mul_ps(diff, diff));
    }
  }
  alignas(32) float d[8];
  alignas(32) float w[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const __m256 distance = _mm256_div_ps(sum, _mm256_set1_ps(static_cast<float>(rows * side)));
  if (s.denominator != 0.0f) {
    // expf(-d / denominator), the exponent formed as candidate_weight forms it.
    _mm256_store_ps(d, _mm256_div_ps(_mm256_xor_ps(distance, _mm256_set1_ps(-0.0f)),
                                     _mm256_set1_ps(s.denominator)));
    for (int i = 0; i < 8; ++i) {
      if (bits & (1 << i)) w[i] = ::expf(d[i]);
    }
  } else {
    _mm256_store_ps(d, distance);
    for (int i = 0; i < 8; ++i) {
      if (bits & (1 << i)) w[i] = candidate_weight(d[i], s.denominator);
    }
  }
  const __m256 weight = _mm256_load_ps(w);
  const __m256 cw = load<kTail>(s.centre_weight + x, lanes);
  const __m256 raise = _mm256_and_ps(ok, _mm256_cmp_ps(weight, cw, _CMP_GT_OQ));
  store<kTail>(s.centre_weight + x, lanes, _mm256_blendv_ps(cw, weight, raise));
  const __m256 tw = load<kTail>(s.total_weight + x, lanes);
  store<kTail>(s.total_weight + x, lanes, _mm256_blendv_ps(tw, _mm256_add_ps(tw, weight), ok));

  // Blocks. When every lane's candidate block lies inside the volume its values are read
  // straight; otherwise offsets outside the volume take the lane's candidate value.
  const __m256i nx = _mm256_add_epi32(_mm256_set1_epi32(x + r.dx),
                                      _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const ptrdiff_t row_step = s.d0;
  float* acc = s.accum + x;
  const bool rician = s.rician;
  const bool all = !kTail && bits == 0xff;
  const auto add = [&](float* row, __m256 v) {
    const __m256 term = rician ? _mm256_mul_ps(_mm256_mul_ps(v, v), weight) : _mm256_mul_ps(weight, v);
    const __m256 old = load<kTail>(row, lanes);
    const __m256 sum = _mm256_add_ps(old, term);
    store<kTail>(row, lanes, all ? sum : _mm256_blendv_ps(old, sum, ok));
  };
  const __m256i low = _mm256_cmpgt_epi32(nx, _mm256_set1_epi32(p - 1));
  const __m256i high = _mm256_cmpgt_epi32(_mm256_set1_epi32(s.d0 - p), nx);
  const __m256 x_inside = _mm256_castsi256_ps(_mm256_and_si256(low, high));
  if (r.rows_inside && (_mm256_movemask_ps(_mm256_andnot_ps(x_inside, ok)) == 0)) {
    int32_t e = 0;
    for (int32_t row = 0; row < rows; ++row) {
      const float* br = b + row_offsets[row];
      for (int32_t ex = -p; ex <= p; ++ex, ++e) add(acc + e * row_step, load<kTail>(br + ex, use));
    }
    return;
  }
  const __m256 own = load<kTail>(b, use);
  int32_t e = 0;
  for (int32_t ez = -p; ez <= p; ++ez) {
    const bool z_in = r.nz + ez >= 0 && r.nz + ez < s.d2;
    for (int32_t ey = -p; ey <= p; ++ey) {
      const bool yz_in = z_in && r.ny + ey >= 0 && r.ny + ey < s.d1;
      for (int32_t ex = -p; ex <= p; ++ex, ++e) {
        __m256 v = own;
        if (yz_in) {
          // The padding keeps these reads inside the padded copy; lanes outside along x are
          // replaced by the candidate value.
          const __m256i ux = _mm256_add_epi32(nx, _mm256_set1_epi32(ex));
          const __m256i in = _mm256_and_si256(_mm256_cmpgt_epi32(ux, _mm256_set1_epi32(-1)),
                                              _mm256_cmpgt_epi32(_mm256_set1_epi32(s.d0), ux));
          v = _mm256_blendv_ps(own, load<kTail>(b + row_offsets[(ez + p) * side + ey + p] + ex, use),
                               _mm256_castsi256_ps(in));
        }
        add(acc + e * row_step, v);
      }
    }
  }
}

template <int kP>
void search_run(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz,
                int32_t x0, int32_t x1) {
  Run r;
  r.s = &s;
  r.y = y;
  r.z = z;
  r.dx = dx;
  r.ny = y + dy;
  r.nz = z + dz;
  r.line = static_cast<ptrdiff_t>(s.d0) * (y + static_cast<ptrdiff_t>(s.d1) * z);
  r.cand_line = static_cast<ptrdiff_t>(s.d0) * (r.ny + static_cast<ptrdiff_t>(s.d1) * r.nz) + dx;
  r.centre_padded = s.padded + (s.p + s.pd0 * ((y + s.p) + s.pd1 * static_cast<ptrdiff_t>(z + s.p)));
  r.shift = dx + s.pd0 * (dy + s.pd1 * static_cast<ptrdiff_t>(dz));
  r.rows_inside = r.ny - s.p >= 0 && r.ny + s.p < s.d1 && r.nz - s.p >= 0 && r.nz + s.p < s.d2;
  const __m256i all = _mm256_set1_epi32(-1);
  int32_t x = x0;
  for (; x + 8 <= x1; x += 8) chunk<false, kP>(r, x, all);
  if (x < x1) {
    const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(x1 - x),
                                             _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    chunk<true, kP>(r, x, lanes);
  }
}

}  // namespace

void search_line_avx2(const LineSearch& s, int32_t y, int32_t z) {
  if (s.p == 1) {
    for_each_offset(s, y, z, search_run<1>);
  } else {
    for_each_offset(s, y, z, search_run<0>);
  }
}

}  // namespace volnlm::blockdenoise

#endif
