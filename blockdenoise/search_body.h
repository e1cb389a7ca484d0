// The candidate search of a line, written once over an eight-lane operation set `O`: eight
// neighbouring centres of a line against the same offset at once, lane i holding centre x + i.
// Included by the portable and the vector translation units after each has defined its own `O`;
// everything here has internal linkage, so no copy compiled for one instruction set can stand in
// for another. Every lane makes the same single operations in the same order whatever the set
// (no fused multiply-add: the folder compiles with -ffp-contract=off), so every set gives the
// same bits.
//
// `O` provides, with F eight floats, I eight 32-bit integers and M eight lane flags:
//   int kRegisters (vector registers the blocked loops may plan for);
//   F set(float); F load(const float*); void store(float*, F);
//   F load_part(const float*, M) (the lanes of M read, 0 in the others; nothing else is read);
//   void store_part(float*, M, F) (only the lanes of M written);
//   F add/sub/mul/div(F, F); F neg(F) (sign flipped, NaN too);
//   F max(F a, F b) = a > b ? a : b; F min(F a, F b) = a < b ? a : b (b when either is NaN);
//   M gt/lt(F, F) (false where either side is NaN); M is_nan(F);
//   M and_(M, M); M or_(M, M); M andnot(M a, M b) = a & !b; bool any(M); bool all(M);
//   F select(M m, F yes, F no);
//   I iset(int32_t); I index() (lane i holds i); I iadd/isub(I, I); I shr1(I) (arithmetic shift
//   by one); I shl23(I); M igt(I, I); F as_float(I); I as_int(F) (the same bits);
//   M flags(const int32_t*) (lanes whose value is not 0); M flags_part(const int32_t*, M) (the
//   same, reading only the lanes of M); M range(int32_t lo, int32_t hi) (lanes lo .. hi - 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "blockdenoise/search.h"
#include "blockdenoise/weight_exp.h"
#include "blockdenoise/worker.h"

// The small steps are inlined into the loops, so that their lanes stay in registers.
#if defined(__GNUC__) || defined(__clang__)
#define BLOCKDENOISE_ALWAYS_INLINE __attribute__((always_inline))
#else
#define BLOCKDENOISE_ALWAYS_INLINE
#endif

namespace volnlm::blockdenoise {
namespace {

// weight_exp of eight lanes, its operations one for one; NaN lanes stay NaN.
template <class O>
BLOCKDENOISE_ALWAYS_INLINE inline typename O::F exp8(typename O::F x) {
  using F = typename O::F;
  using I = typename O::I;
  namespace d = weight_exp_detail;
  // max and min give their second operand where the first is NaN; the NaN is put back below.
  F v = O::max(x, O::set(d::kLow));
  v = O::min(v, O::set(d::kHigh));
  const F shifter = O::set(d::kShifter);
  const F t = O::add(O::mul(v, O::set(d::kLog2e)), shifter);
  const F k = O::sub(t, shifter);
  const F r = O::sub(O::sub(v, O::mul(k, O::set(d::kLn2Hi))), O::mul(k, O::set(d::kLn2Lo)));
  const F r2 = O::mul(r, r);
  const auto pair = [&](int hi, int lo) {
    return O::add(O::set(d::kQ[lo]), O::mul(O::set(d::kQ[hi]), r));
  };
  const F q = O::add(pair(4, 5), O::mul(r2, O::add(pair(2, 3), O::mul(r2, pair(0, 1)))));
  const F e = O::add(O::set(1.0f), O::add(r, O::mul(r2, q)));
  const I whole = O::isub(O::as_int(t), O::as_int(shifter));
  const I k1 = O::shr1(whole);
  const I k2 = O::isub(whole, k1);
  const I bias = O::iset(127);
  const F s1 = O::as_float(O::shl23(O::iadd(k1, bias)));
  const F s2 = O::as_float(O::shl23(O::iadd(k2, bias)));
  const F w = O::mul(O::mul(e, s1), s2);
  return O::select(O::is_nan(x), x, w);
}

// Loads and stores of eight lanes; in a partial chunk only the lanes in `lanes` are touched, so
// that nothing past a line or a buffer is read or written.
template <class O, bool kTail>
BLOCKDENOISE_ALWAYS_INLINE inline typename O::F load(const float* at, typename O::M lanes) {
  if constexpr (kTail) {
    return O::load_part(at, lanes);
  } else {
    (void)lanes;
    return O::load(at);
  }
}

template <class O, bool kTail>
BLOCKDENOISE_ALWAYS_INLINE inline void store(float* at, typename O::M lanes, typename O::F v) {
  if constexpr (kTail) {
    O::store_part(at, lanes, v);
  } else {
    (void)lanes;
    O::store(at, v);
  }
}

// The elementwise steps of box_distances, eight elements at a time, the last few with partial
// loads and stores: the same operations per element, in the same order, on every set.
template <class O>
struct LaneSums {
  using F = typename O::F;
  using M = typename O::M;
  // Elements i .. i + 7 of the plane sums (see box_distances); in a partial chunk only the
  // lanes in `m` are read.
  template <bool kTail, int kP>
  static BLOCKDENOISE_ALWAYS_INLINE inline F plane8(const float* a, ptrdiff_t slice,
                                                    ptrdiff_t shift, int32_t p, M m) {
    const int32_t q = kP > 0 ? kP : p;
    F v = O::set(0.0f);
    for (int32_t ez = -q; ez <= q; ++ez) {
      const float* r = a + ez * slice;
      // A row starts from its first square: 0 + a square (+0, positive or NaN) is that square.
      F row = O::set(0.0f);
      for (int32_t ex = -q; ex <= q; ++ex) {
        const F d = O::sub(load<O, kTail>(r + ex, m), load<O, kTail>(r + ex + shift, m));
        row = ex == -q ? O::mul(d, d) : O::add(row, O::mul(d, d));
      }
      v = ez == -q ? row : O::add(v, row);
    }
    return v;
  }
  template <int kP>
  static void plane_p(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p, float* out,
                      int32_t n) {
    const M all = O::range(0, 8);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) O::store(out + i, plane8<false, kP>(a + i, slice, shift, p, all));
    if (i >= n) return;
    if (n >= 8) {
      // The last eight elements again: the same sums, stored whole.
      O::store(out + n - 8, plane8<false, kP>(a + n - 8, slice, shift, p, all));
    } else {
      const M m = O::range(0, n - i);
      O::store_part(out + i, m, plane8<true, kP>(a + i, slice, shift, p, m));
    }
  }
  static void plane(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p, float* out,
                    int32_t n) {
    if (p == 1) {
      plane_p<1>(a, slice, shift, p, out, n);
    } else if (p == 2) {
      plane_p<2>(a, slice, shift, p, out, n);
    } else {
      plane_p<0>(a, slice, shift, p, out, n);
    }
  }
  // Elements i .. i + 7 of the patch sums: rows[0] + ... + rows[count - 1], then the plane sum
  // of `a` added last, that plane sum also stored into `made` (read before written, so `made`
  // may be rows[0]).
  // With kBlend, a whole chunk of which only the lanes of `m` are stored (the others keep their
  // values).
  template <bool kTail, int kP, bool kBlend = false>
  static BLOCKDENOISE_ALWAYS_INLINE inline void patch8(const float* a, ptrdiff_t slice,
                                                       ptrdiff_t shift, int32_t p,
                                                       const float* const* rows, int32_t count,
                                                       float* made, float* out, int32_t i, M m) {
    const F plane = plane8<kTail, kP>(a + i, slice, shift, p, m);
    F v = plane;
    if (count > 0) {
      v = load<O, kTail>(rows[0] + i, m);
      for (int32_t k = 1; k < count; ++k) v = O::add(v, load<O, kTail>(rows[k] + i, m));
      v = O::add(v, plane);
    }
    if constexpr (kBlend) {
      O::store(made + i, O::select(m, plane, O::load(made + i)));
      O::store(out + i, O::select(m, v, O::load(out + i)));
    } else {
      store<O, kTail>(made + i, m, plane);
      store<O, kTail>(out + i, m, v);
    }
  }
  template <int kP>
  static void patch_p(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p,
                      const float* const* given, int32_t count, float* made, float* out,
                      int32_t n) {
    // With a known patch radius the row pointers are held in registers, not reread.
    const float* held[kP > 0 ? 2 * kP : 1];
    const float* const* rows = given;
    if constexpr (kP > 0) {
      for (int32_t k = 0; k < 2 * kP; ++k) held[k] = given[k];
      rows = held;
      count = 2 * kP;
    }
    const M all = O::range(0, 8);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8)
      patch8<false, kP>(a, slice, shift, p, rows, count, made, out, i, all);
    if (i >= n) return;
    if (n >= 8) {
      // A whole chunk ending at n, its lanes before i set aside: `made` may be rows[0], whose
      // elements before i already hold the new plane sums.
      patch8<false, kP, true>(a, slice, shift, p, rows, count, made, out, n - 8,
                              O::range(i - (n - 8), 8));
    } else {
      patch8<true, kP>(a, slice, shift, p, rows, count, made, out, i, O::range(0, n - i));
    }
  }
  // The patch sums of n elements: the plane sums of the first count lines (`rows`) added in
  // order, then the plane sum of the last line, made here from `a` and kept in `made`, in the
  // same pass.
  static void patch(const float* a, ptrdiff_t slice, ptrdiff_t shift, int32_t p,
                    const float* const* rows, int32_t count, float* made, float* out, int32_t n) {
    if (p == 1) {
      patch_p<1>(a, slice, shift, p, rows, count, made, out, n);
    } else if (p == 2) {
      patch_p<2>(a, slice, shift, p, rows, count, made, out, n);
    } else {
      patch_p<0>(a, slice, shift, p, rows, count, made, out, n);
    }
  }
};

template <class O>
void box_distances_lanes(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                         int32_t dz, int32_t x0, int32_t x1) {
  box_distances<LaneSums<O>>(s, y, z, dx, dy, dz, x0, x1);
}

// What every chunk of one run shares.
struct Run {
  const LineSearch* s;
  int32_t dx, ny, nz;
  ptrdiff_t line, cand_line, shift;
  const float* centre_padded;
  bool rows_inside;  // the candidates' blocks stay inside the volume along y and z
  // With pair rows: the weights a partner line left for this line's centres (a backward
  // offset), or the partner line's row that this line fills (a forward offset, element x + dx
  // for centre x).
  const float* paired = nullptr;
  float* partner = nullptr;
  bool unpaired = false;  // a backward offset whose partner line was not searched
};

inline Run make_run(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz) {
  Run r;
  r.s = &s;
  r.dx = dx;
  r.ny = y + dy;
  r.nz = z + dz;
  r.line = static_cast<ptrdiff_t>(s.d0) * (y + static_cast<ptrdiff_t>(s.d1) * z);
  r.cand_line = static_cast<ptrdiff_t>(s.d0) * (r.ny + static_cast<ptrdiff_t>(s.d1) * r.nz) + dx;
  r.centre_padded = s.padded + padded_index(s, 0, y, z);
  r.shift = dx + s.pd0 * (dy + s.pd1 * static_cast<ptrdiff_t>(dz));
  r.rows_inside = r.ny - s.p >= 0 && r.ny + s.p < s.d1 && r.nz - s.p >= 0 && r.nz + s.p < s.d2;
  if (s.pair_rows) {
    if ((dz < 0 && dz >= -s.pair_depth && z + dz >= s.pair_first_slice) || (dz == 0 && dy < 0)) {
      const bool searched = s.pair_searched[pair_slot(s, r.ny, r.nz)] != 0;
      // With a mask, a partner line that was not searched may still hold candidates.
      if (searched || !s.centre_spans) {
        r.paired = pair_row(s, y, z, dx, dy, dz);
        r.unpaired = !searched;
      }
    } else if ((dz > 0 && dz <= s.pair_depth) || (dz == 0 && dy > 0)) {
      r.partner = pair_row(s, r.ny, r.nz, -dx, -dy, -dz);
    }
  }
  return r;
}

// The centres of the run's line that its offset must work, within x0 .. x1 - 1, as [a, b): all
// of them without a mask; with one, the span of the line's centres, and on a forward offset with
// pair rows also the partner line's centres, moved by -dx, whose weights this line leaves.
// Centres outside it do not search and no searching partner reads their weights, so their
// distances are not made (their lanes may read stale ones, which nothing uses).
inline void needed_span(const Run& r, int32_t y, int32_t z, int32_t x0, int32_t x1, int32_t& a,
                        int32_t& b) {
  // Plain comparisons: a library call instantiated here could be shared with another
  // instruction set's copy.
  const LineSearch& s = *r.s;
  a = x0;
  b = x1;
  if (!s.centre_spans) return;
  const Span own = s.centre_spans[static_cast<ptrdiff_t>(z) * s.d1 + y];
  int32_t lo = own.lo, hi = own.hi;
  if (r.partner) {
    const Span other = s.centre_spans[static_cast<ptrdiff_t>(r.nz) * s.d1 + r.ny];
    const int32_t other_lo = other.lo - r.dx, other_hi = other.hi - r.dx;
    if (other_lo < other_hi) {
      if (lo >= hi) {
        lo = other_lo;
        hi = other_hi;
      } else {
        lo = other_lo < lo ? other_lo : lo;
        hi = other_hi > hi ? other_hi : hi;
      }
    }
  }
  a = lo > x0 ? lo : x0;
  b = hi < x1 ? hi : x1;
}

// A ratio strictly between lo and hi; NaN fails.
template <class O>
BLOCKDENOISE_ALWAYS_INLINE inline typename O::M within(typename O::F ratio, float lo, float hi) {
  return O::and_(O::gt(ratio, O::set(lo)), O::lt(ratio, O::set(hi)));
}

// Whether a centre with local mean mc and variance vc takes a candidate with mn and vn: a mean
// ratio in band, or a ratio of the distances from the maximum in band together with a variance
// ratio in band.
template <class O>
BLOCKDENOISE_ALWAYS_INLINE inline typename O::M takes(const LineSearch& s, typename O::F mc,
                                                      typename O::F vc, typename O::F mn,
                                                      typename O::F vn) {
  const typename O::F max = O::set(s.max);
  const auto by_mean = within<O>(O::div(mc, mn), kMeanRatioLow, kMeanRatioHigh);
  const auto by_max =
      within<O>(O::div(O::sub(max, mc), O::sub(max, mn)), kMeanRatioLow, kMeanRatioHigh);
  const auto by_variance = within<O>(O::div(vc, vn), kVarianceRatioLow, kVarianceRatioHigh);
  return O::or_(by_mean, O::and_(by_max, by_variance));
}

// The weights of centres x .. x + 7 against the run's offset from their patch distances, in
// the lanes of `weighed`, +0 in the others.
template <class O, bool kTail>
BLOCKDENOISE_ALWAYS_INLINE inline typename O::F weights_of(const Run& r, int32_t x,
                                                           typename O::M lanes,
                                                           typename O::M weighed) {
  using F = typename O::F;
  const LineSearch& s = *r.s;
  const int32_t side = 2 * s.p + 1;
  const F sum = load<O, kTail>(s.distances + x, lanes);
  const F distance = O::div(sum, O::set(static_cast<float>(side * side * side)));
  const F zero = O::set(0.0f);
  if (s.denominator != 0.0f) {
    // exp(-d / denominator), the exponent formed as candidate_weight forms it.
    return O::select(weighed, exp8<O>(O::div(O::neg(distance), O::set(s.denominator))), zero);
  }
  float d[8], w[8];
  O::store(d, distance);
  O::store(w, O::select(weighed, O::set(1.0f), zero));
  for (int i = 0; i < 8; ++i) {
    if (w[i] != 0.0f) w[i] = candidate_weight(d[i], s.denominator);
  }
  return O::load(w);
}

// Adds the weights of the weighed lanes `ok` to the centre and total weights of centres x ..
// x + 7.
template <class O, bool kTail>
BLOCKDENOISE_ALWAYS_INLINE inline void count_weights(const LineSearch& s, int32_t x,
                                                     typename O::M lanes, typename O::M ok,
                                                     typename O::F weight) {
  const typename O::F cw = load<O, kTail>(s.centre_weight + x, lanes);
  store<O, kTail>(s.centre_weight + x, lanes,
                  O::select(O::and_(ok, O::gt(weight, cw)), weight, cw));
  const typename O::F tw = load<O, kTail>(s.total_weight + x, lanes);
  store<O, kTail>(s.total_weight + x, lanes, O::select(ok, O::add(tw, weight), tw));
}

// The weights of centres x .. x + 7 (those in `lanes`; partial loads and stores in a partial
// chunk) against the run's offset; updates their centre and total weights. Returns false when
// no lane is weighed; otherwise the weighed lanes in `ok` and their weights in `weight`, +0 in
// the others. A centre is weighed when it searches, its candidate's local mean and variance are
// above the floor, and the candidate passes the preselection (takes).
template <class O, bool kTail, int kP>
BLOCKDENOISE_ALWAYS_INLINE inline bool weigh_alone(const Run& r, int32_t x, typename O::M lanes,
                                                   typename O::M& ok_out,
                                                   typename O::F& weight_out) {
  using F = typename O::F;
  using M = typename O::M;
  const LineSearch& s = *r.s;
  const F floor = O::set(kStatFloor);
  M ok = kTail ? O::flags_part(s.active + x, lanes) : O::and_(lanes, O::flags(s.active + x));
  if (!O::any(ok)) return false;
  const M read = ok;
  const F mn = load<O, kTail>(s.local_mean + r.cand_line + x, read);
  const F vn = load<O, kTail>(s.local_variance + r.cand_line + x, read);
  ok = O::and_(ok, O::and_(O::gt(mn, floor), O::gt(vn, floor)));
  if (!O::any(ok)) return false;
  const F mc = load<O, kTail>(s.local_mean + r.line + x, read);
  const F vc = load<O, kTail>(s.local_variance + r.line + x, read);
  ok = O::and_(ok, takes<O>(s, mc, vc, mn, vn));
  if (!O::any(ok)) return false;
  const F weight = weights_of<O, kTail>(r, x, lanes, ok);
  count_weights<O, kTail>(s, x, lanes, ok, weight);
  ok_out = ok;
  weight_out = weight;
  return true;
}

// weigh_alone on a forward offset with pair rows: also decides, for each candidate as a centre,
// whether it takes this line's centre as its candidate (its statistics and the centre's above
// the floor, the preselection the other way round), and leaves the weight, or kNoPair, in the
// partner row. Without a mask every centre whose statistics pass the floor searches.
template <class O, bool kTail, int kP>
BLOCKDENOISE_ALWAYS_INLINE inline bool weigh_forward(const Run& r, int32_t x, typename O::M lanes,
                                                     typename O::M& ok_out,
                                                     typename O::F& weight_out) {
  using F = typename O::F;
  using M = typename O::M;
  const LineSearch& s = *r.s;
  const F floor = O::set(kStatFloor);
  const F mn = load<O, kTail>(s.local_mean + r.cand_line + x, lanes);
  const F vn = load<O, kTail>(s.local_variance + r.cand_line + x, lanes);
  const F mc = load<O, kTail>(s.local_mean + r.line + x, lanes);
  const F vc = load<O, kTail>(s.local_variance + r.line + x, lanes);
  const M n_up = O::and_(O::gt(mn, floor), O::gt(vn, floor));
  const M c_up = O::and_(O::gt(mc, floor), O::gt(vc, floor));
  M ok = kTail ? O::flags_part(s.active + x, lanes) : O::and_(lanes, O::flags(s.active + x));
  ok = O::and_(ok, n_up);
  M back = O::and_(lanes, O::and_(n_up, c_up));
  // The preselection only where its lanes could still pass.
  if (O::any(ok)) ok = O::and_(ok, takes<O>(s, mc, vc, mn, vn));
  if (O::any(back)) back = O::and_(back, takes<O>(s, mn, vn, mc, vc));
  float* partner = r.partner + r.dx + x;
  // The partner row's elements of the lanes in `lanes`; a whole chunk lies inside the run, so its
  // eight elements are in the row and the others keep their values.
  const auto leave = [&](F v) BLOCKDENOISE_ALWAYS_INLINE {
    if constexpr (kTail) {
      O::store_part(partner, lanes, v);
    } else {
      O::store(partner, O::select(lanes, v, O::load(partner)));
    }
  };
  const M either = O::or_(ok, back);
  if (!O::any(either)) {
    leave(O::set(kNoPair));
    return false;
  }
  const F weight = weights_of<O, kTail>(r, x, lanes, either);
  leave(O::select(back, weight, O::set(kNoPair)));
  if (!O::any(ok)) return false;
  const F mine = O::select(ok, weight, O::set(0.0f));
  count_weights<O, kTail>(s, x, lanes, ok, mine);
  ok_out = ok;
  weight_out = mine;
  return true;
}

// weigh_alone on a backward offset with pair rows: the weights the partner line left.
template <class O, bool kTail>
BLOCKDENOISE_ALWAYS_INLINE inline bool weigh_paired(const Run& r, int32_t x, typename O::M lanes,
                                                    typename O::M& ok_out,
                                                    typename O::F& weight_out) {
  using F = typename O::F;
  using M = typename O::M;
  if (r.unpaired) return false;
  const F left = load<O, kTail>(r.paired + x, lanes);
  // With a mask, a voxel that is not a centre may be left a weight too: it is weighed like a
  // centre, and its block estimate is never written.
  const M ok = O::andnot(lanes, O::lt(left, O::set(0.0f)));  // a NaN weight is a weight
  if (!O::any(ok)) return false;
  const F weight = O::select(ok, left, O::set(0.0f));
  count_weights<O, kTail>(*r.s, x, lanes, ok, weight);
  ok_out = ok;
  weight_out = weight;
  return true;
}

template <class O, bool kTail, int kP>
BLOCKDENOISE_ALWAYS_INLINE inline bool weigh(const Run& r, int32_t x, typename O::M lanes,
                                             typename O::M& ok_out, typename O::F& weight_out) {
  if (r.paired) return weigh_paired<O, kTail>(r, x, lanes, ok_out, weight_out);
  if (r.partner) return weigh_forward<O, kTail, kP>(r, x, lanes, ok_out, weight_out);
  return weigh_alone<O, kTail, kP>(r, x, lanes, ok_out, weight_out);
}

// Centres x .. x + 7 (those in `lanes`; partial loads and stores in a partial chunk) against
// the run's offset: weights, then each weighed lane's candidate block added into its
// accumulator.
template <class O, bool kTail, int kP>
void chunk(const Run& r, int32_t x, typename O::M lanes) {
  using F = typename O::F;
  using I = typename O::I;
  using M = typename O::M;
  M ok;
  F weight;
  if (!weigh<O, kTail, kP>(r, x, lanes, ok, weight)) return;
  const LineSearch& s = *r.s;
  const int32_t p = kP > 0 ? kP : s.p;
  const int32_t side = 2 * p + 1;
  const int32_t rows = side * side;
  const ptrdiff_t* row_offsets = s.row_offsets;
  const float* b = r.centre_padded + x + r.shift;

  // Blocks. When every lane's candidate block lies inside the volume its values are read
  // straight; otherwise offsets outside the volume take the lane's candidate value.
  const I nx = O::iadd(O::iset(x + r.dx), O::index());
  const ptrdiff_t row_step = s.d0;
  float* acc = s.accum + x;
  const bool rician = s.rician;
  const bool all = !kTail && O::all(ok);
  const auto add = [&](float* row, F v) BLOCKDENOISE_ALWAYS_INLINE {
    const F term = rician ? O::mul(O::mul(v, v), weight) : O::mul(weight, v);
    const F old = load<O, kTail>(row, lanes);
    const F sum = O::add(old, term);
    store<O, kTail>(row, lanes, all ? sum : O::select(ok, sum, old));
  };
  const M x_inside = O::and_(O::igt(nx, O::iset(p - 1)), O::igt(O::iset(s.d0 - p), nx));
  if (r.rows_inside && !O::any(O::andnot(ok, x_inside))) {
    int32_t e = 0;
    for (int32_t row = 0; row < rows; ++row) {
      const float* br = b + row_offsets[row];
      for (int32_t ex = -p; ex <= p; ++ex, ++e)
        add(acc + e * row_step, load<O, kTail>(br + ex, ok));
    }
    return;
  }
  const F own = load<O, kTail>(b, ok);
  int32_t e = 0;
  for (int32_t ez = -p; ez <= p; ++ez) {
    const bool z_in = r.nz + ez >= 0 && r.nz + ez < s.d2;
    for (int32_t ey = -p; ey <= p; ++ey) {
      const bool yz_in = z_in && r.ny + ey >= 0 && r.ny + ey < s.d1;
      for (int32_t ex = -p; ex <= p; ++ex, ++e) {
        F v = own;
        if (yz_in) {
          // The padding keeps these reads inside the padded copy; lanes outside along x are
          // replaced by the candidate value.
          const I ux = O::iadd(nx, O::iset(ex));
          const M in = O::and_(O::igt(ux, O::iset(-1)), O::igt(O::iset(s.d0), ux));
          v = O::select(in, load<O, kTail>(b + row_offsets[(ez + p) * side + ey + p] + ex, ok),
                        own);
        }
        add(acc + e * row_step, v);
      }
    }
  }
}

// Centres a .. b - 1 of the run x0 .. x1 - 1 against the run's offset, eight at a time from a,
// blocks added at once. A last part of fewer than eight centres is worked as a whole chunk that
// ends inside the run, with the lanes outside a .. b - 1 set aside (their reads stay in the run,
// and full loads and stores with a choice of lanes cost far less than partial ones); only a run
// of fewer than eight centres needs partial loads and stores.
template <class O, int kP>
void run_range(const Run& r, int32_t a, int32_t b, int32_t x0, int32_t x1) {
  int32_t x = a;
  for (; x + 8 <= b; x += 8) chunk<O, false, kP>(r, x, O::range(0, 8));
  if (x >= b) return;
  if (x1 - x0 >= 8) {
    const int32_t at = x < x1 - 8 ? x : x1 - 8;
    chunk<O, false, kP>(r, at, O::range(x - at, b - at));
  } else {
    chunk<O, true, kP>(r, x, O::range(0, b - x));
  }
}

template <class O, int kP>
void search_run(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz,
                int32_t x0, int32_t x1) {
  const Run r = make_run(s, y, z, dx, dy, dz);
  int32_t a, b;
  needed_span(r, y, z, x0, x1, a, b);
  if (a >= b) return;
  if (!r.paired) box_distances<LaneSums<O>>(s, y, z, dx, dy, dz, a, b);
  run_range<O, kP>(r, a, b, x0, x1);
}

// Block rows first .. first + kRows - 1 (rows in z, then y order, kSide elements each) of the
// blocks of the chunk at `centre` (eight centres of line (y, z)): their accumulators stay in
// registers while every weighed candidate is added in search order, then go to the line's
// accumulator rows at `out`, lanes keep_from .. 7. Elements outside the volume take the
// candidate's own value, as the blocks added at once do, and only the values inside are read:
// with kEdge some candidates' blocks may leave the volume along x (`edge_masks`: the chunk's
// lanes inside per dx and element, see deferred_blocks), with kFaces along y or z.
template <class O, int kSide, int kRows, bool kEdge, bool kFaces>
BLOCKDENOISE_ALWAYS_INLINE inline void deferred_rows(const LineSearch& s, int32_t y, int32_t z,
                                                     const float* centre, const float* weights,
                                                     const int32_t* used, int32_t n, int32_t first,
                                                     float* out, int32_t keep_from,
                                                     const typename O::M* edge_masks) {
  using F = typename O::F;
  using M = typename O::M;
  constexpr int kP = kSide / 2;
  constexpr int kGroup = kSide * kRows;
  const float* row_at[kRows];
  int32_t row_y[kRows], row_z[kRows];
  for (int j = 0; j < kRows; ++j) {
    row_at[j] = centre + s.row_offsets[first + j] - kP;
    row_z[j] = z + (first + j) / kSide - kP;
    row_y[j] = y + (first + j) % kSide - kP;
  }
  F acc[kGroup];
  for (F& a : acc) a = O::set(0.0f);
  for (int32_t k = 0; k < n; ++k) {
    const F w = O::load(weights + 8 * static_cast<size_t>(k));
    const int32_t o = used[k];
    const ptrdiff_t shift = s.offset_shifts[o];
    // Lane l's candidate is voxel x + l + dx of its line (inside the volume, or the lane
    // weighs 0); element i of a block row is voxel x + l + dx + i - kP of the row, taken where
    // it lies inside the volume. With kEdge the lanes outside read at most R + p values past
    // the padded row, which stay in the padded volume when p > 0 (a padded row lies before
    // and after every row inside the volume); with p = 0 only lanes inside are read.
    constexpr bool kWhole = kP > 0;
    // The lanes inside, element by element, from the chunk's table for this dx.
    const M* in = edge_masks;
    F own;
    if constexpr (kEdge) {
      in = edge_masks + (s.offset_dx[o] + s.search_radius) * kSide;
      own = kWhole ? O::load(centre + shift) : O::load_part(centre + shift, in[kP]);
    } else if constexpr (kFaces) {
      own = O::load(centre + shift);
    }
    for (int j = 0; j < kRows; ++j) {
      F* a = acc + j * kSide;
      if constexpr (kFaces) {
        const int32_t ry = row_y[j] + s.offset_dy[o], rz = row_z[j] + s.offset_dz[o];
        if (ry < 0 || ry >= s.d1 || rz < 0 || rz >= s.d2) {
          const F term = O::mul(w, own);
          for (int i = 0; i < kSide; ++i) a[i] = O::add(a[i], term);
          continue;
        }
      }
      const float* row = row_at[j] + shift;
      for (int i = 0; i < kSide; ++i) {
        F v;
        if constexpr (kEdge) {
          v = O::select(in[i], kWhole ? O::load(row + i) : O::load_part(row + i, in[i]), own);
        } else {
          v = O::load(row + i);
        }
        a[i] = O::add(a[i], O::mul(w, v));
      }
    }
  }
  const ptrdiff_t first_element = static_cast<ptrdiff_t>(first) * kSide;
  for (int q = 0; q < kGroup; ++q) {
    float* at = out + (first_element + q) * s.d0;
    O::store(at, kEdge ? O::select(O::range(keep_from, 8), acc[q], O::load(at)) : acc[q]);
  }
}

// The blocks of chunk c (centres x .. x + 7), whose weights are all known, summed in groups of
// block rows: as many rows as leave the set's vector registers room for the weight and a
// product (O::kRegisters). Every accumulator receives the weighed candidates in search order, as
// adding each block at once would give. Rejected lanes weigh +0, which adds exact zeros because
// every block value is finite. kEdge and kFaces as in deferred_rows; only lanes keep_from .. 7
// are written.
template <class O, int kSide, bool kEdge, bool kFaces>
void deferred_blocks(const LineSearch& s, int32_t y, int32_t z, int32_t c, int32_t x,
                     int32_t keep_from) {
  constexpr int kAllRows = kSide * kSide;
  constexpr int kFit = (O::kRegisters - 3) / kSide;
  constexpr int kRows = kFit < 1 ? 1 : kFit > kAllRows ? kAllRows : kFit;
  const int32_t n = s.deferred_count[c];
  if (n == 0) return;  // the accumulator stays zero
  const float* weights = s.deferred_weights + static_cast<size_t>(c) * s.offset_count * 8;
  const int32_t* used = s.deferred_offsets + static_cast<size_t>(c) * s.offset_count;
  const float* centre = s.block_values + padded_index(s, x, y, z);
  float* out = s.accum + x;
  // With kEdge, for each dx of the window and element i of a block row, the lanes whose element
  // x + lane + dx + i - p lies inside the line: made once for the chunk.
  typename O::M masks[kEdge ? (2 * kDeferredMaxRadius + 1) * kSide : 1];
  if constexpr (kEdge) {
    constexpr int kP = kSide / 2;
    for (int32_t dx = -s.search_radius; dx <= s.search_radius; ++dx) {
      const int32_t nx = x + dx;
      for (int i = 0; i < kSide; ++i) {
        masks[(dx + s.search_radius) * kSide + i] = O::range(kP - i - nx, s.d0 + kP - i - nx);
      }
    }
  }
  int32_t first = 0;
  for (; first + kRows <= kAllRows; first += kRows) {
    deferred_rows<O, kSide, kRows, kEdge, kFaces>(s, y, z, centre, weights, used, n, first, out,
                                                  keep_from, masks);
  }
  if constexpr (kAllRows % kRows != 0) {
    deferred_rows<O, kSide, kAllRows % kRows, kEdge, kFaces>(s, y, z, centre, weights, used, n,
                                                             first, out, keep_from, masks);
  }
}

template <class O, int kSide, bool kFaces>
void deferred_chunk(const LineSearch& s, int32_t y, int32_t z, int32_t c, int32_t x, bool edge,
                    int32_t keep_from) {
  if (edge) {
    deferred_blocks<O, kSide, true, kFaces>(s, y, z, c, x, keep_from);
  } else {
    deferred_blocks<O, kSide, false, kFaces>(s, y, z, c, x, keep_from);
  }
}

// Records the weights of one offset for chunk c when any lane is weighed.
template <class O>
BLOCKDENOISE_ALWAYS_INLINE inline void defer(const LineSearch& s, int32_t c, int32_t o,
                                             typename O::F weight) {
  const size_t at = static_cast<size_t>(c) * s.offset_count + s.deferred_count[c]++;
  O::store(s.deferred_weights + 8 * at, weight);
  s.deferred_offsets[at] = o;
}

// The search of line (y, z) with deferred blocks: every chunk is weighed first and its blocks
// summed afterwards. The chunks whose candidates all have their blocks inside along x weigh
// all eight lanes; the chunks near the ends of the line weigh only the centres the offset needs
// (and, in the last chunk when it overlaps the one before it, only its own), and their block
// sums put in the candidate's own value where blocks leave the volume along x. kFaces: a line
// whose window or blocks leave the volume along y or z (the window is cut to the volume; block
// rows outside it take the candidate's own value).
template <class O, int kP, bool kFaces>
void search_line_deferred(const LineSearch& s, int32_t y, int32_t z) {
  using F = typename O::F;
  using M = typename O::M;
  const int32_t margin = s.p + s.search_radius;  // small: only lines the deferred path serves
  const int32_t c_lo = (margin + 7) / 8;
  const int32_t c_hi = (s.d0 - margin) / 8;
  const int32_t chunks = (s.d0 + 7) / 8;
  const int32_t last_x = s.d0 - 8;  // d0 >= 8 on every line this path serves
  const int32_t r_full = s.search_radius, w_full = 2 * r_full + 1;
  const int32_t half = (w_full * w_full * w_full - 1) / 2;
  // Full loads with a choice of lanes at the ends of a line when p > 0 and the line's window
  // and blocks stay inside along y and z: each candidate line then has a line before and after
  // it, so the lanes whose candidates leave it along x (by at most R <= d0) still read inside
  // the volume. Otherwise a candidate line may be the volume's first or last: partial loads.
  const bool whole_loads = s.p > 0 && !kFaces;
  for (int32_t c = 0; c < chunks; ++c) s.deferred_count[c] = 0;
  const M all = O::range(0, 8);
  // An edge chunk's centres that the offset works: those of a .. b - 1 in its own part of the
  // line (x = 8c .. 8c + 7 within the line), as lanes of the chunk at x.
  const auto edge_chunk = [&](const Run& r, int32_t c, int32_t a, int32_t b, int32_t o) {
    const int32_t x = 8 * c < last_x ? 8 * c : last_x;
    const int32_t lo = a > 8 * c ? a : 8 * c;
    const int32_t hi = b < 8 * c + 8 ? b : 8 * c + 8;
    if (lo >= hi) return;
    M ok;
    F weight;
    const M lanes = O::range(lo - x, hi - x);
    const bool weighed = whole_loads ? weigh<O, false, kP>(r, x, lanes, ok, weight)
                                     : weigh<O, true, kP>(r, x, lanes, ok, weight);
    if (weighed) defer<O>(s, c, o, weight);
  };
  for_each_offset(s, y, z,
                  [&](const LineSearch&, int32_t, int32_t, int32_t dx, int32_t dy, int32_t dz,
                      int32_t x0, int32_t x1) {
                    const Run r = make_run(s, y, z, dx, dy, dz);
                    int32_t a, b;
                    needed_span(r, y, z, x0, x1, a, b);
                    if (a >= b) return;
                    // The offset's place in the full window, in search order.
                    int32_t o = ((dz + r_full) * w_full + (dy + r_full)) * w_full + (dx + r_full);
                    if (o > half) --o;
                    if (!r.paired) box_distances<LaneSums<O>>(s, y, z, dx, dy, dz, a, b);
                    for (int32_t c = a / 8; c < c_lo; ++c) edge_chunk(r, c, a, b, o);
                    const int32_t c_first = a / 8 > c_lo ? a / 8 : c_lo;
                    const int32_t c_end = (b + 7) / 8 < c_hi ? (b + 7) / 8 : c_hi;
                    for (int32_t c = c_first; c < c_end; ++c) {
                      M ok;
                      F weight;
                      if (weigh<O, false, kP>(r, 8 * c, all, ok, weight)) defer<O>(s, c, o, weight);
                    }
                    const int32_t c_stop = (b + 7) / 8;
                    for (int32_t c = c_hi > a / 8 ? c_hi : a / 8; c < c_stop; ++c)
                      edge_chunk(r, c, a, b, o);
                  });
  for (int32_t c = 0; c < chunks; ++c) {
    const bool edge = c < c_lo || c >= c_hi;
    const int32_t x = 8 * c < last_x ? 8 * c : last_x;
    const int32_t keep = 8 * c - x;
    switch (s.p) {
      case 0:
        deferred_chunk<O, 1, kFaces>(s, y, z, c, x, edge, keep);
        break;
      case 1:
        deferred_chunk<O, 3, kFaces>(s, y, z, c, x, edge, keep);
        break;
      case 2:
        deferred_chunk<O, 5, kFaces>(s, y, z, c, x, edge, keep);
        break;
      case 3:
        deferred_chunk<O, 7, kFaces>(s, y, z, c, x, edge, keep);
        break;
      default:
        deferred_chunk<O, 9, kFaces>(s, y, z, c, x, edge, keep);
        break;
    }
  }
}

template <class O, bool kFaces>
void search_line_deferred_p(const LineSearch& s, int32_t y, int32_t z) {
  if (s.p == 1) {
    search_line_deferred<O, 1, kFaces>(s, y, z);
  } else {
    search_line_deferred<O, 0, kFaces>(s, y, z);
  }
}

// The search of line (y, z): deferred blocks where the driver supplied their buffers, blocks
// added at once elsewhere.
template <class O>
void search_line(const LineSearch& s, int32_t y, int32_t z) {
  if (s.block_values) {
    const int32_t margin = s.p + s.search_radius;  // small: deferred blocks are kept for small R
    const bool inside =
        y - margin >= 0 && y + margin < s.d1 && z - margin >= 0 && z + margin < s.d2;
    if (inside) {
      search_line_deferred_p<O, false>(s, y, z);
    } else {
      search_line_deferred_p<O, true>(s, y, z);
    }
    return;
  }
  // Lambdas, not the functions themselves, so that for_each_offset is instantiated with
  // internal linkage for each set.
  if (s.p == 1) {
    for_each_offset(s, y, z, [](const auto&... a) { search_run<O, 1>(a...); });
  } else {
    for_each_offset(s, y, z, [](const auto&... a) { search_run<O, 0>(a...); });
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise
