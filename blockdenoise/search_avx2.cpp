// The candidate search with AVX2: eight neighbouring centres of a line against the same offset
// at once, lane i holding centre x + i. Every lane makes the same single operations in the same
// order as the portable code (no fused multiply-add: the folder compiles with
// -ffp-contract=off), and the weights come from a vector form of the same weight_exp, so the
// bits are those of the portable path. Everything here has internal linkage, so that no function
// compiled for AVX2 can stand in for a portable one.
#include "blockdenoise/search.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__AVX2__)

#include <immintrin.h>

#include "blockdenoise/weight_exp.h"
#include "blockdenoise/worker.h"

namespace volnlm::blockdenoise {

namespace {

// Lanes with a ratio strictly between lo and hi; NaN fails (ordered, non-signalling compares).
__m256 within(__m256 ratio, float lo, float hi) {
  return _mm256_and_ps(_mm256_cmp_ps(ratio, _mm256_set1_ps(lo), _CMP_GT_OQ),
                       _mm256_cmp_ps(ratio, _mm256_set1_ps(hi), _CMP_LT_OQ));
}

// weight_exp of eight lanes, its operations one for one; NaN lanes stay NaN.
[[gnu::always_inline]] inline __m256 exp8(__m256 x) {
  namespace d = weight_exp_detail;
  // max and min return their second operand when the first is NaN; the NaN is put back below.
  __m256 v = _mm256_max_ps(x, _mm256_set1_ps(d::kLow));
  v = _mm256_min_ps(v, _mm256_set1_ps(d::kHigh));
  const __m256 shifter = _mm256_set1_ps(d::kShifter);
  const __m256 t = _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(d::kLog2e)), shifter);
  const __m256 k = _mm256_sub_ps(t, shifter);
  const __m256 r = _mm256_sub_ps(_mm256_sub_ps(v, _mm256_mul_ps(k, _mm256_set1_ps(d::kLn2Hi))),
                                 _mm256_mul_ps(k, _mm256_set1_ps(d::kLn2Lo)));
  const __m256 r2 = _mm256_mul_ps(r, r);
  const auto pair = [&](int hi, int lo) {
    return _mm256_add_ps(_mm256_set1_ps(d::kQ[lo]), _mm256_mul_ps(_mm256_set1_ps(d::kQ[hi]), r));
  };
  const __m256 q = _mm256_add_ps(
      pair(4, 5), _mm256_mul_ps(r2, _mm256_add_ps(pair(2, 3), _mm256_mul_ps(r2, pair(0, 1)))));
  const __m256 e = _mm256_add_ps(_mm256_set1_ps(1.0f), _mm256_add_ps(r, _mm256_mul_ps(r2, q)));
  const __m256i whole = _mm256_sub_epi32(_mm256_castps_si256(t), _mm256_castps_si256(shifter));
  const __m256i k1 = _mm256_srai_epi32(whole, 1);
  const __m256i k2 = _mm256_sub_epi32(whole, k1);
  const __m256i bias = _mm256_set1_epi32(127);
  const __m256 s1 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k1, bias), 23));
  const __m256 s2 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k2, bias), 23));
  const __m256 w = _mm256_mul_ps(_mm256_mul_ps(e, s1), s2);
  return _mm256_blendv_ps(w, x, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
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

// The first `count` lanes (1 .. 7) of a partial chunk.
__m256i tail_lanes(int32_t count) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The box-sum steps of box_distances, eight elements at a time, the rest as PortableSums makes
// them: the same operation per element either way.
struct Avx2Sums {
  // Lanes i .. i + 7 of PortableSums::plane; in a partial chunk only the lanes in `m` are read.
  template <bool kTail, int kP>
  static __m256 plane8(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p, __m256i m) {
    const int32_t q = kP > 0 ? kP : p;
    __m256 v = _mm256_setzero_ps();
    for (int32_t ez = -q; ez <= q; ++ez) {
      const float* r = a + ez * slice;
      __m256 row = _mm256_setzero_ps();
      for (int32_t ex = -q; ex <= q; ++ex) {
        const __m256 d = _mm256_sub_ps(load<kTail>(r + ex, m), load<kTail>(r + ex + shift, m));
        row = _mm256_add_ps(row, _mm256_mul_ps(d, d));
      }
      v = ez == -q ? row : _mm256_add_ps(v, row);
    }
    return v;
  }
  template <int kP>
  static void plane_p(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p, float* out,
                      int32_t n) {
    const __m256i all = _mm256_set1_epi32(-1);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8)
      _mm256_storeu_ps(out + i, plane8<false, kP>(a + i, slice, shift, p, all));
    if (i < n) {
      const __m256i m = tail_lanes(n - i);
      store<true>(out + i, m, plane8<true, kP>(a + i, slice, shift, p, m));
    }
  }
  static void plane(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p, float* out,
                    int32_t n) {
    if (p == 1) {
      plane_p<1>(a, slice, shift, p, out, n);
    } else {
      plane_p<0>(a, slice, shift, p, out, n);
    }
  }
  static void add_rows(const float* const* rows, int32_t count, float* out, int32_t n) {
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      __m256 v = _mm256_loadu_ps(rows[0] + i);
      for (int32_t k = 1; k < count; ++k) v = _mm256_add_ps(v, _mm256_loadu_ps(rows[k] + i));
      _mm256_storeu_ps(out + i, v);
    }
    if (i < n) {
      const __m256i m = tail_lanes(n - i);
      __m256 v = load<true>(rows[0] + i, m);
      for (int32_t k = 1; k < count; ++k) v = _mm256_add_ps(v, load<true>(rows[k] + i, m));
      store<true>(out + i, m, v);
    }
  }
};

// What every chunk of one run shares.
struct Run {
  const LineSearch* s;
  int32_t y, z, dx, ny, nz;
  ptrdiff_t line, cand_line, shift;
  const float* centre_padded;
  bool rows_inside;  // the candidates' blocks stay inside the volume along y and z
};

// The weights of centres x .. x + 7 (those in `lanes`; masked loads and stores in a partial chunk)
// against the run's offset; updates their centre and total weights. Returns the mask of the weighed
// lanes in `ok` and `bits` (false when there is none) and their weights in `weight`, 0 in the
// others. kP > 0 fixes the patch radius at compile time, so that the patch loops unroll; 0 reads it
// from the search.
template <bool kTail, int kP>
[[gnu::always_inline]] inline bool weigh(const Run& r, int32_t x, __m256i lanes, __m256& ok_out,
                                         int& bits_out, __m256& weight_out) {
  const LineSearch& s = *r.s;
  const int32_t p = kP > 0 ? kP : s.p;
  const int32_t side = 2 * p + 1;
  const int32_t rows = side * side;
  const __m256 floor = _mm256_set1_ps(kStatFloor);
  __m256 ok = _mm256_castsi256_ps(
      kTail ? _mm256_maskload_epi32(s.active + x, lanes)
            : _mm256_and_si256(lanes,
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.active + x))));
  if (_mm256_movemask_ps(ok) == 0) return false;
  const __m256i ok_lanes = _mm256_castps_si256(ok);
  const __m256 mn = load<kTail>(s.local_mean + r.cand_line + x, ok_lanes);
  const __m256 vn = load<kTail>(s.local_variance + r.cand_line + x, ok_lanes);
  ok = _mm256_and_ps(ok, _mm256_and_ps(_mm256_cmp_ps(mn, floor, _CMP_GT_OQ),
                                       _mm256_cmp_ps(vn, floor, _CMP_GT_OQ)));
  if (_mm256_movemask_ps(ok) == 0) return false;
  const __m256 mc = load<kTail>(s.local_mean + r.line + x, ok_lanes);
  const __m256 vc = load<kTail>(s.local_variance + r.line + x, ok_lanes);
  const __m256 max = _mm256_set1_ps(s.max);
  const __m256 by_mean = within(_mm256_div_ps(mc, mn), kMeanRatioLow, kMeanRatioHigh);
  const __m256 by_max = within(_mm256_div_ps(_mm256_sub_ps(max, mc), _mm256_sub_ps(max, mn)),
                               kMeanRatioLow, kMeanRatioHigh);
  const __m256 by_variance = within(_mm256_div_ps(vc, vn), kVarianceRatioLow, kVarianceRatioHigh);
  ok = _mm256_and_ps(ok, _mm256_or_ps(by_mean, _mm256_and_ps(by_max, by_variance)));
  const int bits = _mm256_movemask_ps(ok);
  if (bits == 0) return false;

  // Patch distances, made for the whole run by box_distances.
  const __m256 sum = load<kTail>(s.distances + x, lanes);
  const __m256 distance = _mm256_div_ps(sum, _mm256_set1_ps(static_cast<float>(rows * side)));
  __m256 weight;
  if (s.denominator != 0.0f) {
    // exp(-d / denominator), the exponent formed as candidate_weight forms it.
    weight = _mm256_and_ps(ok, exp8(_mm256_div_ps(_mm256_xor_ps(distance, _mm256_set1_ps(-0.0f)),
                                                  _mm256_set1_ps(s.denominator))));
  } else {
    alignas(32) float d[8];
    alignas(32) float w[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    _mm256_store_ps(d, distance);
    for (int i = 0; i < 8; ++i) {
      if (bits & (1 << i)) w[i] = candidate_weight(d[i], s.denominator);
    }
    weight = _mm256_load_ps(w);
  }
  const __m256 cw = load<kTail>(s.centre_weight + x, lanes);
  const __m256 raise = _mm256_and_ps(ok, _mm256_cmp_ps(weight, cw, _CMP_GT_OQ));
  store<kTail>(s.centre_weight + x, lanes, _mm256_blendv_ps(cw, weight, raise));
  const __m256 tw = load<kTail>(s.total_weight + x, lanes);
  store<kTail>(s.total_weight + x, lanes, _mm256_blendv_ps(tw, _mm256_add_ps(tw, weight), ok));
  ok_out = ok;
  bits_out = bits;
  weight_out = weight;
  return true;
}

// Centres x .. x + 7 (those in `lanes`; masked loads and stores in a partial chunk) against the
// run's offset: weights, then each weighed lane's candidate block added into its accumulator.
template <bool kTail, int kP>
void chunk(const Run& r, int32_t x, __m256i lanes) {
  __m256 ok, weight;
  int bits;
  if (!weigh<kTail, kP>(r, x, lanes, ok, bits, weight)) return;
  const LineSearch& s = *r.s;
  const int32_t p = kP > 0 ? kP : s.p;
  const int32_t side = 2 * p + 1;
  const int32_t rows = side * side;
  const ptrdiff_t* row_offsets = s.row_offsets;
  const __m256i use = _mm256_castps_si256(ok);
  const float* b = r.centre_padded + x + r.shift;

  // Blocks. When every lane's candidate block lies inside the volume its values are read
  // straight; otherwise offsets outside the volume take the lane's candidate value.
  const __m256i nx =
      _mm256_add_epi32(_mm256_set1_epi32(x + r.dx), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const ptrdiff_t row_step = s.d0;
  float* acc = s.accum + x;
  const bool rician = s.rician;
  const bool all = !kTail && bits == 0xff;
  const auto add = [&](float* row, __m256 v) {
    const __m256 term =
        rician ? _mm256_mul_ps(_mm256_mul_ps(v, v), weight) : _mm256_mul_ps(weight, v);
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
          v = _mm256_blendv_ps(own,
                               load<kTail>(b + row_offsets[(ez + p) * side + ey + p] + ex, use),
                               _mm256_castsi256_ps(in));
        }
        add(acc + e * row_step, v);
      }
    }
  }
}

Run make_run(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz) {
  Run r;
  r.s = &s;
  r.y = y;
  r.z = z;
  r.dx = dx;
  r.ny = y + dy;
  r.nz = z + dz;
  r.line = static_cast<ptrdiff_t>(s.d0) * (y + static_cast<ptrdiff_t>(s.d1) * z);
  r.cand_line = static_cast<ptrdiff_t>(s.d0) * (r.ny + static_cast<ptrdiff_t>(s.d1) * r.nz) + dx;
  r.centre_padded = s.padded + padded_index(s, 0, y, z);
  r.shift = dx + s.pd0 * (dy + s.pd1 * static_cast<ptrdiff_t>(dz));
  r.rows_inside = r.ny - s.p >= 0 && r.ny + s.p < s.d1 && r.nz - s.p >= 0 && r.nz + s.p < s.d2;
  return r;
}

// Centres a .. b - 1 of the run x0 .. x1 - 1 against the run's offset, eight at a time from a,
// blocks added at once. A last part of fewer than eight centres is worked as a whole chunk that
// ends inside the run, with the lanes outside a .. b - 1 set aside (their reads stay in the run,
// and full loads and stores with a blend cost far less than masked ones); only a run of fewer
// than eight centres needs masked loads and stores.
template <int kP>
void run_range(const Run& r, int32_t a, int32_t b, int32_t x0, int32_t x1) {
  const __m256i all = _mm256_set1_epi32(-1);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  int32_t x = a;
  for (; x + 8 <= b; x += 8) chunk<false, kP>(r, x, all);
  if (x >= b) return;
  if (x1 - x0 >= 8) {
    const int32_t at = x < x1 - 8 ? x : x1 - 8;
    const __m256i from = _mm256_sub_epi32(lane, _mm256_set1_epi32(x - at));
    const __m256i keep = _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), from),
                                             _mm256_cmpgt_epi32(_mm256_set1_epi32(b - x), from));
    chunk<false, kP>(r, at, keep);
  } else {
    chunk<true, kP>(r, x, _mm256_cmpgt_epi32(_mm256_set1_epi32(b - x), lane));
  }
}

template <int kP>
void search_run(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz,
                int32_t x0, int32_t x1) {
  box_distances<Avx2Sums>(s, y, z, dx, dy, dz, x0, x1);
  run_range<kP>(make_run(s, y, z, dx, dy, dz), x0, x1, x0, x1);
}

// The blocks of chunk c, whose weights are all known: for each group of kRows rows of kSide
// elements, the group's accumulators stay in registers while every weighed candidate is added
// in search order, then go to the line's accumulator.
template <int kSide, int kRows>
void deferred_blocks(const LineSearch& s, int32_t y, int32_t z, int32_t c) {
  constexpr int kP = kSide / 2;
  constexpr int kGroup = kSide * kRows;
  const int32_t n = s.deferred_count[c];
  if (n == 0) return;  // the accumulator stays zero
  const int32_t x = 8 * c;
  const float* weights = s.deferred_weights + static_cast<size_t>(c) * s.offset_count * 8;
  const int32_t* used = s.deferred_offsets + static_cast<size_t>(c) * s.offset_count;
  const float* centre = s.block_values + padded_index(s, x, y, z);
  const ptrdiff_t pd0 = s.pd0;
  float* out = s.accum + x;
  int32_t e = 0;
  for (int32_t ez = -kP; ez <= kP; ++ez) {
    for (int32_t ey = -kP; ey <= kP; ey += kRows, e += kGroup) {
      const float* group = centre + pd0 * (ey + s.pd1 * static_cast<ptrdiff_t>(ez)) - kP;
      __m256 acc[kGroup];
      for (__m256& a : acc) a = _mm256_setzero_ps();
      for (int32_t k = 0; k < n; ++k) {
        const __m256 w = _mm256_loadu_ps(weights + 8 * static_cast<size_t>(k));
        const float* b = group + s.offset_shifts[used[k]];
        for (int j = 0; j < kRows; ++j) {
          for (int i = 0; i < kSide; ++i) {
            acc[j * kSide + i] = _mm256_add_ps(acc[j * kSide + i],
                                               _mm256_mul_ps(w, _mm256_loadu_ps(b + j * pd0 + i)));
          }
        }
      }
      for (int q = 0; q < kGroup; ++q)
        _mm256_storeu_ps(out + (e + q) * static_cast<ptrdiff_t>(s.d0), acc[q]);
    }
  }
}

// A line whose window and blocks stay inside the volume along y and z: the chunks whose
// candidates all have their blocks inside along x are weighed first and their blocks summed
// afterwards; the chunks near the ends of the line add their blocks at once.
template <int kP>
void search_line_deferred(const LineSearch& s, int32_t y, int32_t z) {
  const int32_t margin = s.p + s.search_radius;  // small: only lines the deferred path serves
  const int32_t c_lo = (margin + 7) / 8;
  const int32_t c_hi = (s.d0 - margin) / 8;
  for (int32_t c = c_lo; c < c_hi; ++c) s.deferred_count[c] = 0;
  const __m256i all = _mm256_set1_epi32(-1);
  int32_t o = 0;
  for_each_offset(s, y, z,
                  [&](const LineSearch&, int32_t, int32_t, int32_t dx, int32_t dy, int32_t dz,
                      int32_t x0, int32_t x1) {
                    box_distances<Avx2Sums>(s, y, z, dx, dy, dz, x0, x1);
                    const Run r = make_run(s, y, z, dx, dy, dz);
                    run_range<kP>(r, x0, 8 * c_lo, x0, x1);
                    for (int32_t c = c_lo; c < c_hi; ++c) {
                      __m256 ok, weight;
                      int bits;
                      if (!weigh<false, kP>(r, 8 * c, all, ok, bits, weight)) continue;
                      const size_t at =
                          static_cast<size_t>(c) * s.offset_count + s.deferred_count[c]++;
                      _mm256_storeu_ps(s.deferred_weights + 8 * at, _mm256_and_ps(weight, ok));
                      s.deferred_offsets[at] = o;
                    }
                    run_range<kP>(r, 8 * c_hi, x1, x0, x1);
                    ++o;
                  });
  for (int32_t c = c_lo; c < c_hi; ++c) {
    switch (s.p) {
      case 0:
        deferred_blocks<1, 1>(s, y, z, c);
        break;
      case 1:
        deferred_blocks<3, 3>(s, y, z, c);
        break;
      case 2:
        deferred_blocks<5, 1>(s, y, z, c);
        break;
      case 3:
        deferred_blocks<7, 1>(s, y, z, c);
        break;
      default:
        deferred_blocks<9, 1>(s, y, z, c);
        break;
    }
  }
}

}  // namespace

void search_line_avx2(const LineSearch& s, int32_t y, int32_t z) {
  const int64_t margin = int64_t{s.p} + s.search_radius;  // the radius may be as large as INT32_MAX
  if (s.block_values && y - margin >= 0 && y + margin < s.d1 && z - margin >= 0 &&
      z + margin < s.d2) {
    if (s.p == 1) {
      search_line_deferred<1>(s, y, z);
    } else {
      search_line_deferred<0>(s, y, z);
    }
    return;
  }
  if (s.p == 1) {
    for_each_offset(s, y, z, search_run<1>);
  } else {
    for_each_offset(s, y, z, search_run<0>);
  }
}

}  // namespace volnlm::blockdenoise

#else

namespace volnlm::blockdenoise {

// Without AVX2 this form is never chosen; it stays defined so that every build links.
void search_line_avx2(const LineSearch& s, int32_t y, int32_t z) {
  search_line_portable(s, y, z);
}

}  // namespace volnlm::blockdenoise

#endif
