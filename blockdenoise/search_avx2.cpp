// The AVX2 form of the candidate search: the eight lanes of the search body in one register.
// Compiled with AVX2 enabled for this file alone and called only where the processor has it. No
// fused multiply-add is formed, so every lane rounds as the portable form does.
#include "blockdenoise/search.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__AVX2__)

#include <immintrin.h>

namespace volnlm::blockdenoise {
namespace {

struct Avx2 {
  using F = __m256;
  using I = __m256i;
  using M = __m256;  // all bits set in a true lane
  // Vector registers the blocked loops may plan for.
  static constexpr int kRegisters = 16;
  static F set(float a) { return _mm256_set1_ps(a); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F a) { _mm256_storeu_ps(p, a); }
  static F load_part(const float* p, M m) { return _mm256_maskload_ps(p, _mm256_castps_si256(m)); }
  static void store_part(float* p, M m, F a) { _mm256_maskstore_ps(p, _mm256_castps_si256(m), a); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F neg(F a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static F min(F a, F b) { return _mm256_min_ps(a, b); }
  static M gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
  static M lt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
  static M is_nan(F a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
  static M and_(M a, M b) { return _mm256_and_ps(a, b); }
  static M or_(M a, M b) { return _mm256_or_ps(a, b); }
  static M andnot(M a, M b) { return _mm256_andnot_ps(b, a); }
  static bool any(M m) { return _mm256_movemask_ps(m) != 0; }
  static bool all(M m) { return _mm256_movemask_ps(m) == 0xff; }
  static F select(M m, F yes, F no) { return _mm256_blendv_ps(no, yes, m); }
  static I iset(int32_t a) { return _mm256_set1_epi32(a); }
  static I index() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  static I iadd(I a, I b) { return _mm256_add_epi32(a, b); }
  static I isub(I a, I b) { return _mm256_sub_epi32(a, b); }
  static I shr1(I a) { return _mm256_srai_epi32(a, 1); }
  static I shl23(I a) { return _mm256_slli_epi32(a, 23); }
  static M igt(I a, I b) { return _mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b)); }
  static F as_float(I a) { return _mm256_castsi256_ps(a); }
  static I as_int(F a) { return _mm256_castps_si256(a); }
  static M flags(const int32_t* p) {
    const I v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_castsi256_ps(
        _mm256_xor_si256(_mm256_cmpeq_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(-1)));
  }
  static M flags_part(const int32_t* p, M m) {
    const I v = _mm256_maskload_epi32(p, _mm256_castps_si256(m));
    return _mm256_and_ps(
        m, _mm256_castsi256_ps(_mm256_xor_si256(_mm256_cmpeq_epi32(v, _mm256_setzero_si256()),
                                                _mm256_set1_epi32(-1))));
  }
  static M range(int32_t lo, int32_t hi) {
    const I lane = index();
    return _mm256_castsi256_ps(
        _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(lo), lane),
                            _mm256_cmpgt_epi32(_mm256_set1_epi32(hi), lane)));
  }
};

}  // namespace
}  // namespace volnlm::blockdenoise

#include "blockdenoise/search_body.h"

namespace volnlm::blockdenoise {

void search_line_avx2(const LineSearch& s, int32_t y, int32_t z) {
  search_line<Avx2>(s, y, z);
}

void box_distances_avx2(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                        int32_t dz, int32_t x0, int32_t x1) {
  box_distances_lanes<Avx2>(s, y, z, dx, dy, dz, x0, x1);
}

}  // namespace volnlm::blockdenoise

#else

namespace volnlm::blockdenoise {

// Without AVX2 this form is never chosen; it stays defined so that every build links.
void search_line_avx2(const LineSearch& s, int32_t y, int32_t z) {
  search_line_portable(s, y, z);
}

void box_distances_avx2(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                        int32_t dz, int32_t x0, int32_t x1) {
  box_distances_portable(s, y, z, dx, dy, dz, x0, x1);
}

}  // namespace volnlm::blockdenoise

#endif
