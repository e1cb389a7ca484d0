// The AVX2 form of the four-lane pair loop: the operations of the portable form, four lanes in
// one register. Compiled with AVX2 enabled for this file alone and called only where the
// processor has it. No fused multiply-add is enabled, so every lane rounds as the portable
// form does.
#include "sorvane/kernel.h"

#if defined(__x86_64__) && defined(__AVX2__)

#include <immintrin.h>

namespace volnlm::sorvane {
namespace {

// For each pattern of set lanes, the 32-bit permutation that moves those lanes, in order, to
// the front of a register of four doubles.
struct PackTable {
  alignas(32) int32_t lanes[16][8];
};

constexpr PackTable pack_table() {
  PackTable t{};
  for (int32_t bits = 0; bits < 16; ++bits) {
    int32_t to = 0;
    for (int32_t j = 0; j < 4; ++j) {
      if ((bits >> j & 1) == 0) continue;
      t.lanes[bits][2 * to] = 2 * j;
      t.lanes[bits][2 * to + 1] = 2 * j + 1;
      ++to;
    }
  }
  return t;
}

constexpr PackTable kPackTable = pack_table();

struct Avx2 {
  using D = __m256d;
  using M = __m256d;  // all bits set in a true lane
  static D set(double a) { return _mm256_set1_pd(a); }
  static D load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, D a) { _mm256_storeu_pd(p, a); }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D div(D a, D b) { return _mm256_div_pd(a, b); }
  static D neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static M and_(M a, M b) { return _mm256_and_pd(a, b); }
  static M andnot(M a, M b) { return _mm256_andnot_pd(b, a); }
  static M lanes(int32_t lo, int32_t hi) {
    const __m256d index = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    return _mm256_and_pd(_mm256_cmp_pd(index, _mm256_set1_pd(static_cast<double>(lo)), _CMP_GE_OQ),
                         _mm256_cmp_pd(index, _mm256_set1_pd(static_cast<double>(hi)), _CMP_LT_OQ));
  }
  static D set_lanes(double a, double b, double c, double d) { return _mm256_set_pd(d, c, b, a); }
  static bool any(M m) { return _mm256_movemask_pd(m) != 0; }
  static int32_t bits(M m) { return _mm256_movemask_pd(m); }
  static void pack(double* out, D v, int32_t bits) {
    const __m256i order =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(kPackTable.lanes[bits]));
    _mm256_storeu_pd(out, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order)));
  }
  static D select(M m, D yes, D no) { return _mm256_blendv_pd(no, yes, m); }
  static D add_where(M m, D a, D b) { return _mm256_blendv_pd(a, _mm256_add_pd(a, b), m); }
  static D trunc(D a, M) { return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
  static D pow2(D k, M) {
    const __m256i whole = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k));
    return _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_add_epi64(whole, _mm256_set1_epi64x(1023)), 52));
  }
  static double sum(D a) {
    const __m128d pairs = _mm_hadd_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
    return _mm_cvtsd_f64(pairs) + _mm_cvtsd_f64(_mm_unpackhi_pd(pairs, pairs));
  }
};

}  // namespace
}  // namespace volnlm::sorvane

#include "sorvane/kernel_body.h"

namespace volnlm::sorvane {

void line_pairs_avx2(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                     int32_t x_first, int32_t x_end, bool forward) {
  line_pairs<Avx2>(task, k, y, z, x_first, x_end, forward);
}

}  // namespace volnlm::sorvane

#else

namespace volnlm::sorvane {

// Without AVX2 this form is never chosen; it stays defined so that every build links.
void line_pairs_avx2(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                     int32_t x_first, int32_t x_end, bool forward) {
  line_pairs_portable(task, k, y, z, x_first, x_end, forward);
}

}  // namespace volnlm::sorvane

#endif
