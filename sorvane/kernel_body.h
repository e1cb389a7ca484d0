// The four-lane pair loop, written once over a four-lane operation set `O`. Included by the
// portable and the vector translation unit after each has defined its own `O`; everything here
// has internal linkage, so no copy compiled for one instruction set can stand in for another.
// Nothing outside this file and the operation set is called from the loop.
//
// `O` provides, with D four doubles and M four lane flags:
//   D set(double); D load(const double*); void store(double*, D);
//   D add/sub/mul/div(D, D); D neg(D); D abs(D);
//   M lt/le/gt(D, D) (false where either side is NaN); M and_(M, M); M andnot(M a, M b) = a & !b;
//   D set_lanes(double, double, double, double) (lanes 0 to 3);
//   M lanes(int32_t lo, int32_t hi) (lanes lo .. hi - 1); bool any(M);
//   int32_t bits(M) (bit j set for lane j); void pack(double* out, D v, int32_t bits) (the
//   lanes of `bits`, in lane order, to out[0], out[1], ...; up to out[3] may be written); D
//   select(M m, D yes, D no); D trunc(D v, M m) (v toward zero on lanes m, where |v| < 2^31;
//   anything elsewhere); D pow2(D k, M m) (2^k on lanes m, where k is a whole number in [-1022,
//   1023]); D add_where(M m, D a, D b) (a + b on lanes m, a unchanged elsewhere); double sum(D) =
//   (lane0 + lane1) + (lane2 + lane3).
// Every operation rounds each lane once, as the scalar operation would.
#pragma once

#include <cstdint>
#include <type_traits>

#include "sorvane/kernel.h"
#include "sorvane/worker.h"

// The row loop passes the centre's sums by reference; it must be inlined for them to stay in
// registers.
#if defined(__GNUC__) || defined(__clang__)
#define SORVANE_ALWAYS_INLINE __attribute__((always_inline))
#else
#define SORVANE_ALWAYS_INLINE
#endif

namespace volnlm::sorvane {
namespace {

// exp(-t) for 0 < t <= 10: t is split as k ln 2 + r with |r| <= ln 2 / 2, e^r is summed from
// its series up to r^13 (far past the last bit on that range), and 2^k is applied exactly.
// About 1 ulp from the correctly rounded value. No fused operations, so both forms agree.
template <class O>
SORVANE_ALWAYS_INLINE inline typename O::D exp_neg(typename O::D t, typename O::M lanes) {
  using D = typename O::D;
  const D x = O::neg(t);
  const D rounder = O::set(6755399441055744.0);  // 1.5 * 2^52: adding it rounds to a whole number
  const D k = O::sub(O::add(O::mul(x, O::set(0x1.71547652b82fep0)), rounder), rounder);
  // ln 2 in two parts; the first has trailing zero bits, so k times it is exact.
  const D r = O::sub(O::sub(x, O::mul(k, O::set(0x1.62e42fee00000p-1))),
                     O::mul(k, O::set(0x1.a39ef35793c76p-33)));
  // The series from r^2 / 2! on, r^2 q(r) with q of degree 11 in r, evaluated in pairs of
  // terms and powers r^2, r^4, r^8, so that few of its operations wait on one another.
  const D r2 = O::mul(r, r);
  const D r4 = O::mul(r2, r2);
  const D r8 = O::mul(r4, r4);
  const D p0 = O::add(O::set(0.5), O::mul(O::set(0x1.5555555555555p-3), r));  // 1 / 2!, 1 / 3!
  const D p1 = O::add(O::set(0x1.5555555555555p-5),
                      O::mul(O::set(0x1.1111111111111p-7), r));  // 1 / 4!, 1 / 5!
  const D p2 = O::add(O::set(0x1.6c16c16c16c17p-10),
                      O::mul(O::set(0x1.a01a01a01a01ap-13), r));  // 1 / 6!, 1 / 7!
  const D p3 = O::add(O::set(0x1.a01a01a01a01ap-16),
                      O::mul(O::set(0x1.71de3a556c734p-19), r));  // 1 / 8!, 1 / 9!
  const D p4 = O::add(O::set(0x1.27e4fb7789f5cp-22),
                      O::mul(O::set(0x1.ae64567f544e4p-26), r));  // 1 / 10!, 1 / 11!
  const D p5 = O::add(O::set(0x1.1eed8eff8d898p-29),
                      O::mul(O::set(0x1.6124613a86d09p-33), r));  // 1 / 12!, 1 / 13!
  const D s0 = O::add(p0, O::mul(p1, r2));
  const D s1 = O::add(p2, O::mul(p3, r2));
  const D s2 = O::add(p4, O::mul(p5, r2));
  const D q = O::add(O::add(s0, O::mul(s1, r4)), O::mul(s2, r8));
  const D p = O::add(O::set(1.0), O::add(r, O::mul(r2, q)));
  return O::mul(p, O::pow2(k, lanes));
}

// The exact weight of every lane in `pass` from |mean difference| and the squared guide
// difference, computed as the direct loop computes it (the exponential aside).
template <class O>
SORVANE_ALWAYS_INLINE inline typename O::D exact_weight(const KernelConstants& k,
                                                        typename O::D magnitude, typename O::D gg,
                                                        typename O::M pass) {
  using D = typename O::D;
  using M = typename O::M;
  const D zero = O::set(0.0);
  const D d = O::trunc(magnitude, pass);
  D t_mean = O::sub(O::div(O::mul(d, d), O::set(k.mean_denominator)), O::set(1.0));
  D t_guide = O::sub(O::div(gg, O::set(k.guide_denominator)), O::set(1.0));
  t_mean = O::select(O::lt(t_mean, zero), zero, t_mean);  // a NaN stays NaN
  t_guide = O::select(O::lt(t_guide, zero), zero, t_guide);
  const D t = O::add(O::mul(O::set(0.5), t_mean), O::mul(O::set(0.5), t_guide));
  const M low = O::le(t, zero);
  D w = O::select(low, O::set(1.0), zero);  // and 0 for t > 10
  const M curved = O::andnot(O::andnot(pass, low), O::gt(t, O::set(10.0)));
  if (O::any(curved)) w = O::select(curved, exp_neg<O>(t, curved), w);
  return w;
}

// Pairs of one centre whose weight needs the full formula, set aside by the block pass block by
// block, and weighed four at a time once the pass is done (or once the blocks that queued any
// could reach this count within the next row), in the order queued.
inline constexpr int32_t kQueueBlocks = 64;

// For each pattern of set lanes: how many, and their lane numbers in order (then zeros).
struct LaneSets {
  int32_t offset[16][4];
  int32_t count[16];
};

constexpr LaneSets lane_sets() {
  LaneSets t{};
  for (int32_t bits = 0; bits < 16; ++bits) {
    for (int32_t j = 0; j < 4; ++j) {
      if (bits >> j & 1) t.offset[bits][t.count[bits]++] = j;
    }
  }
  return t;
}

inline constexpr LaneSets kLaneSets = lane_sets();

struct Queue {
  // The blocks that queued any pair, in order: the linear index of the block's first neighbour
  // and its queued lanes (with room for the one entry a block writes whatever it queues).
  int32_t block_start[kQueueBlocks + 1];
  int32_t block_lanes[kQueueBlocks + 1];
  // At the drain: the neighbours' linear indices, pair by pair in the order queued (with room
  // for the three that fill the last four), then each pair's weight and its neighbour term.
  int32_t index[4 * kQueueBlocks + 4];
  double weight[4 * kQueueBlocks];
  double term[4 * kQueueBlocks];
};

// How full a queue is: the blocks that queued any pair.
struct Fill {
  int32_t blocks = 0;
};

// What every block of neighbours of one centre reads: the centre's values, the constants as
// lanes and where the additions into the later slices go.
template <class O>
struct Centre {
  typename O::D mean, guide, value, square;
  typename O::D pass_limit, flat_mean_limit, flat_guide_limit;
  const double* guide_mean;
  const double* guides;
  const double* noisy;
  double* accum_volume;
  double* weight_volume;
  double* spill_accum;
  double* spill_weight;
  int32_t spill_base;  // linear index of spill element 0
};

// The centre's lane sums, from -0, which adding leaves every value as it is. They never pass
// by reference to a call that may stay a call, so that they can live in registers.
template <class O>
struct Sums {
  typename O::D accum, weight;
};

// Weighs the pairs of the `blocks` queued blocks and adds them, lane by lane, into their
// neighbours; returns their lane sums for the centre. The queue is then empty. The weights of
// all the queued pairs are computed first and the additions into the neighbours made after, in
// queue order, so that the long arithmetic of one group of four does not wait on the memory
// traffic of another.
template <class O, bool Rician>
Sums<O> drain(const KernelConstants& k, const Centre<O>& c, Queue& q, int32_t blocks) {
  using D = typename O::D;
  using M = typename O::M;
  if (blocks == 0) return Sums<O>{O::set(-0.0), O::set(-0.0)};
  // The queued lanes of each block, in lane order, block after block.
  int32_t n = 0;
  for (int32_t b = 0; b < blocks; ++b) {
    const int32_t lanes = q.block_lanes[b], in = q.block_start[b];
    for (int32_t j = 0; j < 4; ++j) q.index[n + j] = in + kLaneSets.offset[lanes][j];
    n += kLaneSets.count[lanes];
  }
  // Unused lanes of the last four read the first one's neighbour again.
  for (int32_t j = n; j < n + 3; ++j) q.index[j] = q.index[n - 1 - (n - 1) % 4];
  const D nothing = O::set(-0.0);
  Sums<O> sums{nothing, nothing};
  for (int32_t i = 0; i < n; i += 4) {
    const int32_t lanes = n - i < 4 ? n - i : 4;
    const M live = O::lanes(0, lanes);
    const int32_t* const at = q.index + i;
    // The same operations on the same values as in the block pass.
    const D magnitude =
        O::abs(O::sub(c.mean, O::set_lanes(c.guide_mean[at[0]], c.guide_mean[at[1]],
                                           c.guide_mean[at[2]], c.guide_mean[at[3]])));
    const D g = O::sub(
        c.guide, O::set_lanes(c.guides[at[0]], c.guides[at[1]], c.guides[at[2]], c.guides[at[3]]));
    const D value_n = O::set_lanes(c.noisy[at[0]], c.noisy[at[1]], c.noisy[at[2]], c.noisy[at[3]]);
    const D w = exact_weight<O>(k, magnitude, O::mul(g, g), live);
    const D to_centre = Rician ? O::mul(value_n, O::mul(value_n, w)) : O::mul(w, value_n);
    const D to_neighbour = Rician ? O::mul(c.value, O::mul(c.value, w)) : O::mul(w, c.value);
    sums.accum = O::add(sums.accum, O::select(live, to_centre, nothing));
    sums.weight = O::add(sums.weight, O::select(live, w, nothing));
    O::store(q.weight + i, w);
    O::store(q.term + i, to_neighbour);
  }
  for (int32_t i = 0; i < n; ++i) {
    const int32_t in = q.index[i];
    const bool spilled = in >= c.spill_base;
    double* const accum_n = spilled ? c.spill_accum + (in - c.spill_base) : c.accum_volume + in;
    double* const weight_n = spilled ? c.spill_weight + (in - c.spill_base) : c.weight_volume + in;
    *accum_n = *accum_n + q.term[i];
    *weight_n = *weight_n + q.weight[i];
  }
  return sums;
}

// One centre against a block of four neighbours whose values are given, on the lanes `live`:
// a pair whose two weight terms are sure to clamp to 0 passes the threshold and has weight
// exactly 1, so it goes into the centre's sums and into the block's accumulator terms `accum`
// and `weight` here; the other passing pairs are queued, their neighbours' indices in lane
// order, and the block is counted when it queued any. Lanes outside `live` change nothing.
template <class O, bool Rician>
inline void pair_lanes(const Centre<O>& c, Sums<O>& sums, Queue& q, Fill& queued, int32_t in,
                       typename O::D mean_n, typename O::D guide_n, typename O::D term_n,
                       typename O::M live, typename O::D& accum, typename O::D& weight) {
  using D = typename O::D;
  using M = typename O::M;
  const D magnitude = O::abs(O::sub(c.mean, mean_n));
  const D g = O::sub(c.guide, guide_n);
  const D gg = O::mul(g, g);
  // flat_mean_limit <= pass_limit, so a flat pair passes.
  const M flat = O::and_(O::lt(magnitude, c.flat_mean_limit), O::lt(gg, c.flat_guide_limit));
  const M unit = O::and_(flat, live);
  const M curved = O::andnot(O::and_(O::lt(magnitude, c.pass_limit), live), flat);
  // With w = 1 the terms are the plain values (squares in Rician mode), bit for bit.
  const D one = O::set(1.0);
  sums.accum = O::add_where(unit, sums.accum, term_n);
  sums.weight = O::add_where(unit, sums.weight, one);
  accum = O::add_where(unit, accum, c.square);
  weight = O::add_where(unit, weight, one);
  const int32_t bits = O::bits(curved);
  q.block_start[queued.blocks] = in;
  q.block_lanes[queued.blocks] = bits;
  queued.blocks += bits != 0 ? 1 : 0;
}

// The neighbour terms of the centre's pairs: the value, squared in Rician mode.
template <class O, bool Rician>
inline typename O::D neighbour_terms(const double* noisy, int32_t in) {
  const typename O::D value_n = O::load(noisy + in);
  return Rician ? O::mul(value_n, value_n) : value_n;
}

// The centre against the four neighbours starting at linear index `in` (those in `live`),
// added into their accumulators at once.
template <class O, bool Rician>
inline void pair_block(const Centre<O>& c, Sums<O>& sums, Queue& q, Fill& queued, int32_t in,
                       double* accum_n, double* weight_n, typename O::M live) {
  typename O::D accum = O::load(accum_n), weight = O::load(weight_n);
  pair_lanes<O, Rician>(c, sums, q, queued, in, O::load(c.guide_mean + in), O::load(c.guides + in),
                        neighbour_terms<O, Rician>(c.noisy, in), live, accum, weight);
  O::store(accum_n, accum);
  O::store(weight_n, weight);
}

// A whole block and the tail block that overlaps it `shift` columns on (1 to 3), weighed in
// that order. Both read their accumulators before either writes, so that no read waits for a
// write it only partly overlaps. The tail's lanes over the whole block leave the values as they
// were before, so it is written first and the whole block after it: every element ends as the
// whole block and the tail would have left it one after the other.
template <class O, bool Rician>
inline void pair_block_and_tail(const Centre<O>& c, Sums<O>& sums, Queue& q, Fill& queued,
                                int32_t in, double* accum_n, double* weight_n, int32_t shift,
                                typename O::M tail) {
  using D = typename O::D;
  D accum_a = O::load(accum_n), weight_a = O::load(weight_n);
  D accum_b = O::load(accum_n + shift), weight_b = O::load(weight_n + shift);
  const int32_t tail_in = in + shift;
  pair_lanes<O, Rician>(c, sums, q, queued, in, O::load(c.guide_mean + in), O::load(c.guides + in),
                        neighbour_terms<O, Rician>(c.noisy, in), O::lanes(0, 4), accum_a, weight_a);
  pair_lanes<O, Rician>(c, sums, q, queued, tail_in, O::load(c.guide_mean + tail_in),
                        O::load(c.guides + tail_in), neighbour_terms<O, Rician>(c.noisy, tail_in),
                        tail, accum_b, weight_b);
  O::store(accum_n + shift, accum_b);
  O::store(weight_n + shift, weight_b);
  O::store(accum_n, accum_a);
  O::store(weight_n, weight_a);
}

// The centre whose linear index is `ic`, its values as lanes.
template <class O, bool Rician>
Centre<O> make_centre(const SlabTask& task, const KernelConstants& k, int32_t ic) {
  const double v = task.noisy[ic];
  return Centre<O>{O::set(task.guide_mean[ic]),
                   O::set(task.guide[ic]),
                   O::set(v),
                   O::set(Rician ? v * v : v),
                   O::set(k.pass_limit),
                   O::set(k.flat_mean_limit),
                   O::set(k.flat_guide_limit),
                   task.guide_mean,
                   task.guide,
                   task.noisy,
                   task.accum,
                   task.weight_sum,
                   task.spill_accum,
                   task.spill_weight,
                   task.end_slice * task.d0 * task.d1};
}

// Weighs the queued pairs and adds their lane sums into the centre's; the queue is then empty.
template <class O, bool Rician>
SORVANE_ALWAYS_INLINE inline void flush(const KernelConstants& k, const Centre<O>& c, Sums<O>& sums,
                                        Queue& q, Fill& queued) {
  const Sums<O> queue_sums = drain<O, Rician>(k, c, q, queued.blocks);
  sums.accum = O::add(sums.accum, queue_sums.accum);
  sums.weight = O::add(sums.weight, queue_sums.weight);
  queued = Fill{};
}

// How the columns first .. last of a row (0 <= first, last < d0, d0 >= 4) are read in blocks
// of four that stay inside the line: `full` whole blocks from `first`, then, if columns are
// left, one block starting `tail_offset` columns after `first`, of which only the `tail` lanes
// count.
template <class O>
struct RowPlan {
  int32_t full = 0;
  int32_t tail_offset = 0;  // first column of the tail block, counted from `first`
  bool has_tail = false;
  typename O::M tail;
};

template <class O>
RowPlan<O> row_plan(int32_t first, int32_t last, int32_t d0) {
  RowPlan<O> plan;
  const int32_t count = last - first + 1;
  if (count <= 0) return plan;
  plan.full = count / 4;
  const int32_t rest = count % 4;
  if (rest == 0) return plan;
  plan.has_tail = true;
  if (plan.full > 0) {
    plan.tail_offset =
        last - 3 - first;  // overlaps the last whole block; its lanes are done already
    plan.tail = O::lanes(4 - rest, 4);
  } else {
    const int32_t tail_start = first < d0 - 4 ? first : d0 - 4;
    plan.tail_offset = tail_start - first;
    plan.tail = O::lanes(first - tail_start, last + 1 - tail_start);
  }
  return plan;
}

// Weighs centre (x, y, z) of a volume with lines of at least four voxels against the forward
// half of its window: the rest of its own line, then the rows of the later lines and slices,
// each clipped to the volume and read in blocks of four. The centre's sums gather per lane and
// join its accumulator once, in a fixed order.
template <class O, bool Rician>
void centre_pairs(const SlabTask& task, const KernelConstants& k, int32_t x, int32_t y, int32_t z) {
  using M = typename O::M;
  const int32_t d0 = task.d0;
  const int32_t d1 = task.d1;
  const int32_t r = k.radius;
  const int32_t ic = x + d0 * (y + d1 * z);
  const double value_c = task.noisy[ic];
  if (value_c == 0.0) return;  // a NaN is processed

  const Centre<O> c = make_centre<O, Rician>(task, k, ic);
  Sums<O> sums{O::set(-0.0), O::set(-0.0)};
  Queue q;
  Fill queued;
  const int32_t x_first = x < r ? 0 : x - r;
  const int32_t x_last = d0 - 1 - x < r ? d0 - 1 : x + r;
  const RowPlan<O> own_line = row_plan<O>(x + 1, x_last, d0);
  const RowPlan<O> full_row = row_plan<O>(x_first, x_last, d0);
  const M all = O::lanes(0, 4);

  const int32_t z_rest = task.d2 - 1 - z;
  const int32_t dz_last = r < z_rest ? r : z_rest;
  const int32_t dy_low = y < r ? -y : -r;
  const int32_t dy_last = d1 - 1 - y < r ? d1 - 1 - y : r;
  const int32_t row_blocks =
      full_row.full + (full_row.has_tail ? 1 : 0);  // at most 52 for R <= 100
  // One row: its whole blocks from `first`, then its tail; the pointers are those of `first`.
  const auto row = [&](const RowPlan<O>& plan, int32_t first, double* accum_row,
                       double* weight_row) SORVANE_ALWAYS_INLINE {
    // A tail after whole blocks overlaps the last of them, and is weighed together with it.
    const int32_t alone = plan.has_tail && plan.full > 0 ? plan.full - 1 : plan.full;
    for (int32_t b = 0; b < alone; ++b) {
      pair_block<O, Rician>(c, sums, q, queued, first + 4 * b, accum_row + 4 * b,
                            weight_row + 4 * b, all);
    }
    if (plan.has_tail) {
      const int32_t at = plan.tail_offset;
      if (plan.full > 0) {
        const int32_t last = 4 * alone;
        pair_block_and_tail<O, Rician>(c, sums, q, queued, first + last, accum_row + last,
                                       weight_row + last, at - last, plan.tail);
      } else {
        pair_block<O, Rician>(c, sums, q, queued, first + at, accum_row + at, weight_row + at,
                              plan.tail);
      }
    }
  };
  // The rest of the centre's own line (its slice is never spilled), then the later rows.
  row(own_line, ic + 1, task.accum + ic + 1, task.weight_sum + ic + 1);
  for (int32_t dz = 0; dz <= dz_last; ++dz) {
    const int32_t zn = z + dz;
    const SliceSums to = slice_sums(task, zn);
    for (int32_t dy = dz == 0 ? 1 : dy_low; dy <= dy_last; ++dy) {
      if (queued.blocks > kQueueBlocks - row_blocks) flush<O, Rician>(k, c, sums, q, queued);
      const int32_t first = d0 * (y + dy + d1 * zn) + x_first;
      row(full_row, first, to.accum + (first - to.base), to.weight + (first - to.base));
    }
  }
  flush<O, Rician>(k, c, sums, q, queued);
  task.accum[ic] = task.accum[ic] + O::sum(sums.accum);
  task.weight_sum[ic] = task.weight_sum[ic] + O::sum(sums.weight);
}

// Two neighbouring centres of a line, x and x + 1, weighed against one pass over the blocks of
// the rows their windows share. Each block's neighbour values are read once and its
// accumulators are read and written once, taking the first centre's terms and then the
// second's; each centre keeps its own lane sums and its own queue, exactly as it would alone,
// and makes exactly the decisions it would make alone.
inline constexpr int32_t kMaxPairBlocks = 52;  // 2R + 2 <= 202 columns for R <= 100

// The blocks of one row for the two centres: where each starts, counted from the row's first
// column, and which of its lanes lie in each centre's part of the row. The blocks follow one
// another without overlap while they fit in the line; one that would run past the line's end
// starts four columns before it instead, and only its columns not yet covered count.
template <class O>
struct PairPlan {
  int32_t blocks = 0;
  int32_t start[kMaxPairBlocks];
  typename O::M live[2][kMaxPairBlocks];
};

// The row's columns first .. last (the union of both parts), with centre c's part lo[c] .. hi[c].
template <class O>
void pair_plan(PairPlan<O>& plan, int32_t first, int32_t last, const int32_t lo[2],
               const int32_t hi[2], int32_t d0) {
  plan.blocks = 0;
  for (int32_t s = first; s <= last; s += 4) {
    const int32_t start = s <= d0 - 4 ? s : d0 - 4;
    for (int32_t c = 0; c < 2; ++c) {
      const int32_t from = lo[c] > s ? lo[c] : s;  // columns before s are covered already
      plan.live[c][plan.blocks] = O::lanes(from - start, hi[c] + 1 - start);
    }
    plan.start[plan.blocks++] = start - first;
  }
}

// The plans of centres x and x + 1: the rest of their own line, and every later row.
template <class O>
struct PairPlans {
  PairPlan<O> own, rows;
};

template <class O>
void pair_plans(PairPlans<O>& plans, int32_t x, int32_t r, int32_t d0) {
  {
    const int32_t last = d0 - 1 - (x + 1) < r ? d0 - 1 : x + 1 + r;
    const int32_t lo[2] = {x + 1, x + 2};
    const int32_t hi[2] = {d0 - 1 - x < r ? d0 - 1 : x + r, last};
    pair_plan<O>(plans.own, x + 1, last, lo, hi, d0);
  }
  {
    const int32_t lo[2] = {x < r ? 0 : x - r, x + 1 < r ? 0 : x + 1 - r};
    const int32_t hi[2] = {d0 - 1 - x < r ? d0 - 1 : x + r,
                           d0 - 1 - (x + 1) < r ? d0 - 1 : x + 1 + r};
    pair_plan<O>(plans.rows, lo[0], hi[1], lo, hi, d0);
  }
}

// Whether the plans of the pair at x are those of every other such pair, moved along the line:
// both windows lie inside it and no block is moved back from the line's end.
inline bool steady_pair(int32_t x, int32_t r, int32_t d0) {
  const int32_t row_blocks = (2 * r + 5) / 4, own_blocks = (r + 4) / 4;
  return x >= r && x + 1 + r <= d0 - 1 && x - r + 4 * (row_blocks - 1) <= d0 - 4 &&
         x + 1 + 4 * (own_blocks - 1) <= d0 - 4;
}

template <class O, bool Rician>
void centre_pair(const SlabTask& task, const KernelConstants& k, int32_t x, int32_t y, int32_t z,
                 const PairPlans<O>& plans) {
  using D = typename O::D;
  const int32_t d0 = task.d0;
  const int32_t d1 = task.d1;
  const int32_t r = k.radius;
  const int32_t ic = x + d0 * (y + d1 * z);
  const Centre<O> a = make_centre<O, Rician>(task, k, ic),
                  b = make_centre<O, Rician>(task, k, ic + 1);
  Sums<O> sa{O::set(-0.0), O::set(-0.0)}, sb{O::set(-0.0), O::set(-0.0)};
  Queue qa, qb;
  Fill na, nb;
  const PairPlan<O>& own = plans.own;
  const PairPlan<O>& rows = plans.rows;
  const int32_t x_first = x < r ? 0 : x - r;
  const double* const guide_mean = task.guide_mean;
  const double* const guides = task.guide;
  const double* const noisy = task.noisy;

  // Block `at` columns on from a row's first column, for both centres on their lanes.
  const auto block = [&](int32_t first, double* accum_row, double* weight_row, int32_t at,
                         typename O::M live_a, typename O::M live_b) SORVANE_ALWAYS_INLINE {
    const int32_t in = first + at;
    const D mean_n = O::load(guide_mean + in);
    const D guide_n = O::load(guides + in);
    const D term_n = neighbour_terms<O, Rician>(noisy, in);
    D accum = O::load(accum_row + at);
    D weight = O::load(weight_row + at);
    pair_lanes<O, Rician>(a, sa, qa, na, in, mean_n, guide_n, term_n, live_a, accum, weight);
    pair_lanes<O, Rician>(b, sb, qb, nb, in, mean_n, guide_n, term_n, live_b, accum, weight);
    O::store(accum_row + at, accum);
    O::store(weight_row + at, weight);
  };
  const auto row = [&](const PairPlan<O>& plan, int32_t first, double* accum_row,
                       double* weight_row) SORVANE_ALWAYS_INLINE {
    for (int32_t j = 0; j < plan.blocks; ++j) {
      block(first, accum_row, weight_row, plan.start[j], plan.live[0][j], plan.live[1][j]);
    }
  };
  // The rest of the centres' own line (their slice is never spilled), then the later rows.
  row(own, ic + 1, task.accum + ic + 1, task.weight_sum + ic + 1);
  const int32_t z_rest = task.d2 - 1 - z;
  const int32_t dz_last = r < z_rest ? r : z_rest;
  const int32_t dy_low = y < r ? -y : -r;
  const int32_t dy_last = d1 - 1 - y < r ? d1 - 1 - y : r;
  const auto later_rows = [&](auto&& one_row) SORVANE_ALWAYS_INLINE {
    for (int32_t dz = 0; dz <= dz_last; ++dz) {
      const int32_t zn = z + dz;
      const SliceSums to = slice_sums(task, zn);
      for (int32_t dy = dz == 0 ? 1 : dy_low; dy <= dy_last; ++dy) {
        if (na.blocks > kQueueBlocks - rows.blocks) flush<O, Rician>(k, a, sa, qa, na);
        if (nb.blocks > kQueueBlocks - rows.blocks) flush<O, Rician>(k, b, sb, qb, nb);
        const int32_t first = d0 * (y + dy + d1 * zn) + x_first;
        one_row(first, to.accum + (first - to.base), to.weight + (first - to.base));
      }
    }
  };
  // Where the row's blocks follow one another from its first column (the window does not reach
  // the line's end), a small number of them is read with its lane flags held in registers and
  // its offsets fixed, the same blocks in the same order.
  const auto fixed_rows = [&](auto count) SORVANE_ALWAYS_INLINE {
    constexpr int32_t blocks = decltype(count)::value;
    typename O::M live_a[blocks], live_b[blocks];
    for (int32_t j = 0; j < blocks; ++j) {
      live_a[j] = rows.live[0][j];
      live_b[j] = rows.live[1][j];
    }
    later_rows([&](int32_t first, double* accum_row, double* weight_row) SORVANE_ALWAYS_INLINE {
      for (int32_t j = 0; j < blocks; ++j) {
        block(first, accum_row, weight_row, 4 * j, live_a[j], live_b[j]);
      }
    });
  };
  const bool consecutive = rows.start[rows.blocks - 1] == 4 * (rows.blocks - 1);
  if (consecutive && rows.blocks == 2) {
    fixed_rows(std::integral_constant<int32_t, 2>{});
  } else if (consecutive && rows.blocks == 3) {
    fixed_rows(std::integral_constant<int32_t, 3>{});
  } else if (consecutive && rows.blocks == 4) {
    fixed_rows(std::integral_constant<int32_t, 4>{});
  } else {
    later_rows([&](int32_t first, double* accum_row, double* weight_row)
                   SORVANE_ALWAYS_INLINE { row(rows, first, accum_row, weight_row); });
  }
  flush<O, Rician>(k, a, sa, qa, na);
  flush<O, Rician>(k, b, sb, qb, nb);
  task.accum[ic] = task.accum[ic] + O::sum(sa.accum);
  task.weight_sum[ic] = task.weight_sum[ic] + O::sum(sa.weight);
  task.accum[ic + 1] = task.accum[ic + 1] + O::sum(sb.accum);
  task.weight_sum[ic + 1] = task.weight_sum[ic + 1] + O::sum(sb.weight);
}

// Centres x and x + 1: together when both have pairs to weigh, else each alone. The plans of
// steady pairs are made once per line, at its first one.
template <class O, bool Rician>
void two_centres(const SlabTask& task, const KernelConstants& k, int32_t x, int32_t y, int32_t z,
                 PairPlans<O>& steady, bool& steady_made) {
  const int32_t ic = x + task.d0 * (y + task.d1 * z);
  if (task.noisy[ic] != 0.0 && task.noisy[ic + 1] != 0.0) {  // a NaN is processed
    if (steady_pair(x, k.radius, task.d0)) {
      if (!steady_made) pair_plans<O>(steady, x, k.radius, task.d0);
      steady_made = true;
      centre_pair<O, Rician>(task, k, x, y, z, steady);
    } else {
      PairPlans<O> plans;
      pair_plans<O>(plans, x, k.radius, task.d0);
      centre_pair<O, Rician>(task, k, x, y, z, plans);
    }
  } else {
    centre_pairs<O, Rician>(task, k, x, y, z);
    centre_pairs<O, Rician>(task, k, x + 1, y, z);
  }
}

// The centres of a line in pairs from x_first, the last one alone when their number is odd;
// the pairs ascend when `forward`, else descend.
template <class O, bool Rician>
void line_centres(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                  int32_t x_first, int32_t x_end, bool forward) {
  const int32_t pairs = (x_end - x_first) / 2;
  const bool odd = (x_end - x_first) % 2 != 0;
  PairPlans<O> steady;
  bool steady_made = false;
  if (forward) {
    for (int32_t p = 0; p < pairs; ++p) {
      two_centres<O, Rician>(task, k, x_first + 2 * p, y, z, steady, steady_made);
    }
    if (odd) centre_pairs<O, Rician>(task, k, x_end - 1, y, z);
  } else {
    if (odd) centre_pairs<O, Rician>(task, k, x_end - 1, y, z);
    for (int32_t p = pairs - 1; p >= 0; --p) {
      two_centres<O, Rician>(task, k, x_first + 2 * p, y, z, steady, steady_made);
    }
  }
}

template <class O>
void line_pairs(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                int32_t x_first, int32_t x_end, bool forward) {
  if (task.rician) {
    line_centres<O, true>(task, k, y, z, x_first, x_end, forward);
  } else {
    line_centres<O, false>(task, k, y, z, x_first, x_end, forward);
  }
}

}  // namespace
}  // namespace volnlm::sorvane
