// The AVX-512 form of the four-lane pair loop: the operations of the portable form on four
// lanes of a 256-bit register, with lane flags held in mask registers, so that a comparison,
// a choice or an addition on some lanes is a single instruction. Compiled with AVX-512 (F, VL
// and DQ) enabled for this file alone and called only where the processor has it. No fused
// multiply-add is formed, so every lane rounds as the portable form does.
#include "sorvane/kernel.h"

#if defined(__x86_64__) && defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__)

#include <immintrin.h>

namespace volnlm::sorvane {
namespace {

struct Avx512 {
  using D = __m256d;
  using M = __mmask8;  // bit j for lane j; bits 4 to 7 stay clear
  static D set(double a) { return _mm256_set1_pd(a); }
  static D load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, D a) { _mm256_storeu_pd(p, a); }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D div(D a, D b) { return _mm256_div_pd(a, b); }
  static D neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  static M lt(D a, D b) { return _mm256_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static M le(D a, D b) { return _mm256_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static M gt(D a, D b) { return _mm256_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static M and_(M a, M b) { return static_cast<M>(a & b); }
  static M andnot(M a, M b) { return static_cast<M>(a & ~b); }
  static M lanes(int32_t lo, int32_t hi) {
    const int32_t from = lo < 0 ? 0 : lo > 4 ? 4 : lo;
    const int32_t to = hi < 0 ? 0 : hi > 4 ? 4 : hi;
    return static_cast<M>(((1u << to) - 1u) & ~((1u << from) - 1u));
  }
  static D set_lanes(double a, double b, double c, double d) { return _mm256_set_pd(d, c, b, a); }
  static bool any(M m) { return m != 0; }
  static int32_t bits(M m) { return m; }
  static void pack(double* out, D v, int32_t bits) {
    _mm256_storeu_pd(out, _mm256_maskz_compress_pd(static_cast<M>(bits), v));
  }
  static D select(M m, D yes, D no) { return _mm256_mask_blend_pd(m, no, yes); }
  static D add_where(M m, D a, D b) { return _mm256_mask_add_pd(a, m, a, b); }
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

void line_pairs_avx512(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                       int32_t x_first, int32_t x_end, bool forward) {
  line_pairs<Avx512>(task, k, y, z, x_first, x_end, forward);
}

}  // namespace volnlm::sorvane

#else

namespace volnlm::sorvane {

// Without AVX-512 this form is never chosen; it stays defined so that every build links.
void line_pairs_avx512(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                       int32_t x_first, int32_t x_end, bool forward) {
  line_pairs_portable(task, k, y, z, x_first, x_end, forward);
}

}  // namespace volnlm::sorvane

#endif
