// The AVX-512 form of the candidate search: the eight lanes of the search body in a 256-bit
// register, with lane flags in mask registers, so that a comparison, a choice of lanes or a
// partial load or store is a single instruction. Compiled with AVX-512 (F, VL and DQ) enabled
// for this file alone and called only where the processor has it. No fused multiply-add is
// formed, so every lane rounds as the portable form does.
#include "blockdenoise/search.h"

#if defined(__x86_64__) && defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512DQ__)

#include <immintrin.h>

namespace volnlm::blockdenoise {
namespace {

struct Avx512 {
  using F = __m256;
  using I = __m256i;
  using M = __mmask8;  // bit j for lane j
  // Vector registers the blocked loops may plan for (AVX-512 has 32 of 256 bits).
  static constexpr int kRegisters = 32;
  static F set(float a) { return _mm256_set1_ps(a); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F a) { _mm256_storeu_ps(p, a); }
  static F load_part(const float* p, M m) { return _mm256_maskz_loadu_ps(m, p); }
  static void store_part(float* p, M m, F a) { _mm256_mask_storeu_ps(p, m, a); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F neg(F a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static F min(F a, F b) { return _mm256_min_ps(a, b); }
  static M gt(F a, F b) { return _mm256_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  static M lt(F a, F b) { return _mm256_cmp_ps_mask(a, b, _CMP_LT_OQ); }
  static M is_nan(F a) { return _mm256_cmp_ps_mask(a, a, _CMP_UNORD_Q); }
  static M and_(M a, M b) { return static_cast<M>(a & b); }
  static M or_(M a, M b) { return static_cast<M>(a | b); }
  static M andnot(M a, M b) { return static_cast<M>(a & ~b); }
  static bool any(M m) { return m != 0; }
  static bool all(M m) { return m == 0xff; }
  static F select(M m, F yes, F no) { return _mm256_mask_blend_ps(m, no, yes); }
  static I iset(int32_t a) { return _mm256_set1_epi32(a); }
  static I index() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  static I iadd(I a, I b) { return _mm256_add_epi32(a, b); }
  static I isub(I a, I b) { return _mm256_sub_epi32(a, b); }
  static I shr1(I a) { return _mm256_srai_epi32(a, 1); }
  static I shl23(I a) { return _mm256_slli_epi32(a, 23); }
  static M igt(I a, I b) { return _mm256_cmpgt_epi32_mask(a, b); }
  static F as_float(I a) { return _mm256_castsi256_ps(a); }
  static I as_int(F a) { return _mm256_castps_si256(a); }
  static M flags(const int32_t* p) {
    const I v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_test_epi32_mask(v, v);
  }
  static M flags_part(const int32_t* p, M m) {
    const I v = _mm256_maskz_loadu_epi32(m, p);
    return _mm256_mask_test_epi32_mask(m, v, v);
  }
  static M range(int32_t lo, int32_t hi) {
    const int32_t from = lo < 0 ? 0 : lo > 8 ? 8 : lo;
    const int32_t to = hi < 0 ? 0 : hi > 8 ? 8 : hi;
    return static_cast<M>(((1u << to) - 1u) & ~((1u << from) - 1u));
  }
};

}  // namespace
}  // namespace volnlm::blockdenoise

#include "blockdenoise/search_body.h"

namespace volnlm::blockdenoise {

void search_line_avx512(const LineSearch& s, int32_t y, int32_t z) {
  search_line<Avx512>(s, y, z);
}

void box_distances_avx512(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                          int32_t dz, int32_t x0, int32_t x1) {
  box_distances_lanes<Avx512>(s, y, z, dx, dy, dz, x0, x1);
}

}  // namespace volnlm::blockdenoise

#else

namespace volnlm::blockdenoise {

// Without AVX-512 this form is never chosen; it stays defined so that every build links.
void search_line_avx512(const LineSearch& s, int32_t y, int32_t z) {
  search_line_avx2(s, y, z);
}

void box_distances_avx512(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                          int32_t dz, int32_t x0, int32_t x1) {
  box_distances_avx2(s, y, z, dx, dy, dz, x0, x1);
}

}  // namespace volnlm::blockdenoise

#endif
