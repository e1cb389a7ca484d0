// The candidate search of one line of centres: every centre of the line (fixed y and z) is taken
// against every offset of its search window, offsets in z, y, x order, so each centre sees its
// candidates in the same order as a plain loop over the window would give it. The line layout
// lets neighbouring centres be worked together with vector instructions, each centre's sums kept
// in their own order: every code path gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/isa.h"
#include "common/mask.h"

namespace volnlm::blockdenoise {

// Local means and variances at or below this mark a dark or flat neighbourhood.
inline constexpr float kStatFloor = 1e-5f;
// Bounds of an acceptable ratio of local means; the upper one is the float nearest 1 / 0.95.
inline constexpr float kMeanRatioLow = 0.95f;
inline constexpr float kMeanRatioHigh = 1.0526316f;
// Bounds of an acceptable ratio of local variances.
inline constexpr float kVarianceRatioLow = 0.5f;
inline constexpr float kVarianceRatioHigh = 2.0f;

// What the search of a line reads and where it leaves its results.
struct LineSearch {
  // The volume with p voxels added on every side by the border rule of the patch distance,
  // extents pd0 = d0 + 2p, pd1 = d1 + 2p, pd2 = d2 + 2p.
  const float* padded = nullptr;
  const float* local_mean = nullptr;
  const float* local_variance = nullptr;
  int32_t d0 = 0, d1 = 0, d2 = 0;
  int32_t p = 0;  // patch radius, not negative
  ptrdiff_t pd0 = 0, pd1 = 0;
  // per row (dy, dz) of a patch, (dz + p) * (2p + 1) + (dy + p), the offset of its dx = 0 element
  const ptrdiff_t* row_offsets = nullptr;
  int32_t search_radius = 0;  // not negative
  float max = 0.0f;
  float denominator = 0.0f;
  bool rician = false;
  // Per centre x of the line: `active` is not 0 for a centre that searches and 0 for one that
  // does not; centre_weight and total_weight start at 0 for a searching centre; accum holds
  // (2p + 1)^3 rows of d0 floats, element e of centre x at e * d0 + x, zeroed.
  int32_t* active = nullptr;
  float* centre_weight = nullptr;
  float* total_weight = nullptr;
  float* accum = nullptr;

  // Deferred blocks, used by the search on every line when set. Their centres come in chunks of
  // eight (chunk c holds x = 8c .. 8c + 7; the last one, when d0 is not a multiple of eight,
  // ends at d0 - 1 and overlaps the one before it); a chunk's weights are first worked out for
  // every offset, and its blocks are then summed with the accumulators held in registers, candidate
  // after candidate in search order, the same additions as adding each block at once. Rejected
  // lanes weigh 0, which adds exact zeros only because every value of `block_values` is finite.
  // `block_values` is the padded volume, squared in Rician mode; null when not usable.
  const float* block_values = nullptr;
  int32_t offset_count = 0;                  // offsets of a full window, (2R + 1)^3 - 1
  const ptrdiff_t* offset_shifts = nullptr;  // per offset in search order, its padded shift
  const int32_t* offset_dx = nullptr;        // per offset in search order, its dx
  const int32_t* offset_dy = nullptr;        // ... its dy
  const int32_t* offset_dz = nullptr;        // ... its dz
  float* deferred_weights = nullptr;         // per chunk, offset_count vectors of eight weights
  int32_t* deferred_offsets = nullptr;       // per chunk, the offsets with a weighed lane, in order
  int32_t* deferred_count = nullptr;         // per chunk, how many of them

  // Patch distances by box sums (see box_distances). `distances` (d0 floats) receives, per
  // centre x, the sum of squares to its candidate at the offset being searched; `plane_rows`
  // ((2p + 1) rows of d0 floats) and `sum_rows` (2p + 1 pointers) are scratch. When `row_cache`
  // is set, it keeps for each of the first `cache_offsets` offsets of the full window (index in
  // search order, `cache_window` = 2R + 1 per axis) the 2p latest plane sums, d0 floats
  // each (p > 0), and `row_tags` which line of which slice each holds (-1: none).
  float* distances = nullptr;
  float* plane_rows = nullptr;
  const float** sum_rows = nullptr;
  float* row_cache = nullptr;
  int64_t* row_tags = nullptr;
  int32_t cache_window = 0;
  int64_t cache_offsets = 0;

  // Weights shared by the two centres of a pair. The patch distance of centre c to candidate
  // c + o and that of c + o to c are the same float (the same squares, (a - b)^2 = (b - a)^2,
  // summed in the same order), and so is the weight made from it; only the preselection, a
  // ratio taken the other way round, must be decided for each direction. A line searched with
  // `pair_rows` set, on its forward offsets (dz = 1 .. `pair_depth`, and dz = 0 with dy > 0),
  // also decides the reverse direction for the partner centres and leaves their weights
  // (kNoPair where the partner does not take the candidate) in the partner line's rows; the
  // partner line, on the matching backward offset, reads them instead of making the distances
  // again. `pair_rows` is a ring of `pair_lines` lines (pair_ring_lines: the lines a forward
  // offset reaches ahead), each of pair_backward_offsets rows of d0 floats. Lines before
  // `pair_first_slice` were not searched with this ring, so their weights are made afresh.
  // A line none of whose centres searches is not searched at all: `pair_searched` (one byte per
  // line of the ring) tells the partner lines whether it was. Without a mask such a line has no
  // candidate above the floor either (every centre whose statistics pass it searches), so the
  // partner lines' backward offsets to it weigh nothing; with a mask its voxels may still be
  // candidates, and those offsets are weighed alone.
  float* pair_rows = nullptr;
  uint8_t* pair_searched = nullptr;
  int32_t pair_lines = 0;
  int32_t pair_depth = 1;  // 1 .. R
  int32_t pair_first_slice = 0;

  // With a mask: per line (y, z) of the volume, at z * d1 + y, the span [lo, hi) of x that holds
  // all the line's centres (lo = hi for a line without one); null without a mask.
  // An offset then works only the centres its line needs (see needed_span), and the plane-sum
  // cache keeps with each slot the span it holds (`row_spans`, two per slot), so that a line
  // needing more makes its sums afresh.
  const Span* centre_spans = nullptr;
  int32_t* row_spans = nullptr;
  // With a mask and the cache: per line y' = -p .. d1 + p - 1 of slice z, at
  // z * (d1 + 2p) + y' + p, a span that holds what every line of the slice reading the plane sum
  // of line y' (lines y' - p .. y' + p) needs of it (see needed_span), candidates outside the
  // volume left aside.
  const Span* plane_spans = nullptr;
};

// Largest search radius whose weights are shared by pairs of centres, and the floats per voxel
// of the volume that the rings of all threads of a call may hold together, or kPairRingFloor
// floats where that is more (a small volume): a thread for which no ring is left searches each
// centre alone (the same bits, more work).
inline constexpr int32_t kPairMaxRadius = 16;
inline constexpr double kPairRingShare = 2.0;
inline constexpr double kPairRingFloor = 1 << 20;

// What a weight left for a partner centre holds when the partner does not take the candidate:
// no weight is negative.
inline constexpr float kNoPair = -1.0f;

// Backward offsets whose weights a partner line leaves: dz = -depth .. -1 (any dx, dy), and
// dz = 0 with dy < 0 (any dx).
inline int64_t pair_backward_offsets(int32_t search_radius, int32_t depth) {
  const int64_t w = 2 * int64_t{search_radius} + 1;
  return depth * w * w + search_radius * w;
}

// Lines of a ring: those a forward offset of depth `depth` reaches ahead, and the line itself.
inline int64_t pair_ring_lines(int32_t d1, int32_t search_radius, int32_t depth) {
  return int64_t{depth} * d1 + search_radius + 1;
}

// Ring slot of line (y, z).
inline int64_t pair_slot(const LineSearch& s, int32_t y, int32_t z) {
  return (static_cast<int64_t>(z) * s.d1 + y) % s.pair_lines;
}

// Row of the weights of line (y, z) for backward offset (dx, dy, dz) in the pair ring.
inline float* pair_row(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                       int32_t dz) {
  const int64_t r = s.search_radius, w = 2 * r + 1;
  const int64_t index = ((dz + s.pair_depth) * w + (dy + r)) * w + (dx + r);
  return s.pair_rows +
         (pair_slot(s, y, z) * pair_backward_offsets(s.search_radius, s.pair_depth) + index) * s.d0;
}

// Largest number of floats one worker keeps in its cache of plane sums; the offsets beyond it
// have their sums made afresh for every line (the same sums in the same order). The workers of
// a call together keep at most kPlaneCacheShare floats per voxel of the volume, so that the
// cache stays small next to the volumes of the call.
inline constexpr size_t kPlaneCacheMaxFloats = size_t{2} << 20;
inline constexpr double kPlaneCacheShare = 0.75;

// Largest search radius for which the deferred blocks are kept: their weights take
// (2R + 1)^3 * 8 floats per chunk of a line.
inline constexpr int32_t kDeferredMaxRadius = 8;
// Largest patch radius the deferred block sums are written for.
inline constexpr int32_t kDeferredMaxPatch = 4;

// Index of voxel (x, y, z) in the padded volume.
static inline ptrdiff_t padded_index(const LineSearch& s, int32_t x, int32_t y, int32_t z) {
  return (x + s.p) + s.pd0 * ((y + s.p) + s.pd1 * static_cast<ptrdiff_t>(z + s.p));
}

// Builds the padded copy of `noisy` (p <= the smallest extent).
void pad_volume(const float* noisy, int32_t d0, int32_t d1, int32_t d2, int32_t p, float* padded);
// pad_volume's slices first .. end - 1 of the padded copy (0 .. d2 + 2p) alone.
void pad_slices(const float* noisy, int32_t d0, int32_t d1, int32_t d2, int32_t p, float* padded,
                int32_t first, int32_t end);

// Whether the deferred blocks serve a volume of these extents and radii (every line then takes
// them, those near the faces included). Radii beyond their buffers' limits, and volumes with
// fewer than 2 (p + R) + 1 lines or slices or lines shorter than 2 (p + R) + 8, keep the blocks
// added at once (the bound of the time when only inner lines took them; smaller volumes on the
// deferred path are untried).
bool deferred_blocks_apply(int32_t d0, int32_t d1, int32_t d2, int32_t p, int32_t search_radius);

// Fills `squared` (n floats) with the squares of `padded` when it is not null, and tells
// whether every value of the block values (the squares when asked for, else `padded`) is finite.
bool prepare_block_values(const float* padded, size_t n, float* squared);

// Weighs the candidates of every centre of line (y, z) and adds their blocks.
using SearchLine = void (*)(const LineSearch& s, int32_t y, int32_t z);
// The patch sums of squares of box_distances.
using BoxDistances = void (*)(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                              int32_t dz, int32_t x0, int32_t x1);

// One instruction set's form of the search, written once over a set of lane operations
// (search_body.h); every form gives the same bits.
struct SearchForm {
  SearchLine line;
  BoxDistances distances;
};

void search_line_portable(const LineSearch& s, int32_t y, int32_t z);
void search_line_avx2(const LineSearch& s, int32_t y, int32_t z);
void search_line_avx512(const LineSearch& s, int32_t y, int32_t z);
void box_distances_portable(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                            int32_t dz, int32_t x0, int32_t x1);
void box_distances_avx2(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                        int32_t dz, int32_t x0, int32_t x1);
void box_distances_avx512(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                          int32_t dz, int32_t x0, int32_t x1);

// The form for `isa` (see choose_form).
SearchForm search_form_for(Isa isa);

// Patch sums of squares of centres x0 .. x1 - 1 of line (y, z) against their candidates at
// offset (dx, dy, dz), into s.distances (the caller divides by the patch size), by separable
// box sums over the patch cube:
//  - row sum: for each x, the squared differences at x - p .. x + p of one row of both patches,
//    added left to right;
//  - plane sum of line y': the row sums of slices z - p .. z + p, added in that order;
//  - patch sum: the plane sums of lines y - p .. y + p, added in that order.
// A plane sum serves the 2p + 1 lines of centres around it, so with the cache each line makes
// one new plane sum per offset instead of (2p + 1)^2 row sums per centre.
// Every step only adds non-negative squares (no running sum that subtracts), so a NaN or
// infinite voxel reaches only the centres whose patches contain it, and each sum holds the
// same squares as a plain loop over the patch, added in another order. The plane sums of an
// offset are kept in s.row_cache, when present, for the next line of the same slice.
// `Sums` gives the two elementwise steps (plane sums, and patch sums from plane sums with the
// last one made in the same pass); every instruction set makes them with the same single
// operations, so they give the same bits.
template <class Sums>
void box_distances(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy, int32_t dz,
                   int32_t x0, int32_t x1) {
  const int32_t p = s.p;
  const int32_t side = 2 * p + 1;
  const int32_t n = x1 - x0;
  if (n <= 0) return;
  const ptrdiff_t shift = dx + s.pd0 * (dy + s.pd1 * static_cast<ptrdiff_t>(dz));
  const int64_t slice_tag = static_cast<int64_t>(z) * (static_cast<int64_t>(s.d1) + 2 * p + 1);
  int64_t cached = -1;
  if (s.row_cache && p > 0) {
    const int64_t w = s.cache_window, r = s.search_radius;
    const int64_t o = ((dz + r) * w + (dy + r)) * w + (dx + r);
    const int64_t index = o > (w * w * w - 1) / 2 ? o - 1 : o;
    if (index < s.cache_offsets) cached = index;
  }
  // With the cache, an offset keeps 2p plane sums: lines y - p .. y + p - 1 are looked up
  // there, and line y + p, made in the scratch rows, then takes the place of line y - p, which
  // the next line no longer needs.
  const int32_t kept = 2 * p;
  // With a mask, a plane sum that goes into the cache is made over the span every line that will
  // read it may need (plane_spans), so that the next lines find it whole.
  const auto cached_range = [&](int32_t line, int32_t& from, int32_t& to) {
    from = x0;
    to = x1;
    if (!s.plane_spans) return;
    const Span w = s.plane_spans[static_cast<ptrdiff_t>(z) * (s.d1 + 2 * p) + line + p];
    const int32_t lo = dx < 0 ? -dx : 0, hi = dx > 0 ? s.d0 - dx : s.d0;
    const int32_t w_lo = w.lo > lo ? w.lo : lo, w_hi = w.hi < hi ? w.hi : hi;
    if (w_lo < from) from = w_lo;
    if (w_hi > to) to = w_hi;
  };
  for (int32_t ey = -p; ey < p; ++ey) {
    const int32_t line = y + ey;
    float* plane = s.plane_rows + static_cast<ptrdiff_t>(ey + p) * s.d0;
    bool fresh = true;
    int32_t from = x0, to = x1;
    if (cached >= 0) {
      cached_range(line, from, to);
      const int64_t slot = cached * kept + (line + p) % kept;
      plane = s.row_cache + slot * s.d0;
      const int64_t tag = slice_tag + line + p;
      fresh = s.row_tags[slot] != tag;
      s.row_tags[slot] = tag;
      if (s.row_spans) {
        // A slot holds the sums of the span it was made for; a wider need makes them afresh.
        int32_t* span = s.row_spans + 2 * slot;
        if (!fresh && (span[0] > x0 || span[1] < x1)) fresh = true;
        if (fresh) {
          span[0] = from;
          span[1] = to;
        }
      }
    }
    if (fresh) {
      Sums::plane(s.padded + padded_index(s, from, line, z), s.pd0 * s.pd1, shift, p, plane + from,
                  to - from);
    }
    s.sum_rows[ey + p] = plane + x0;
  }
  // Line y + p is made while the patch sums are added; with the cache it goes into the slot of
  // line y - p (read above, and no longer needed by the next line), together with the parts
  // outside x0 .. x1 that the next lines need.
  const int32_t line = y + p;
  float* made = s.plane_rows + static_cast<ptrdiff_t>(side - 1) * s.d0;
  const ptrdiff_t slice = s.pd0 * s.pd1;
  if (cached >= 0) {
    const int64_t slot = cached * kept + (line + p) % kept;
    int32_t from = x0, to = x1;
    cached_range(line, from, to);
    made = s.row_cache + slot * s.d0;
    if (from < x0)
      Sums::plane(s.padded + padded_index(s, from, line, z), slice, shift, p, made + from,
                  x0 - from);
    if (x1 < to)
      Sums::plane(s.padded + padded_index(s, x1, line, z), slice, shift, p, made + x1, to - x1);
    s.row_tags[slot] = slice_tag + line + p;
    if (s.row_spans) {
      s.row_spans[2 * slot] = from;
      s.row_spans[2 * slot + 1] = to;
    }
  }
  Sums::patch(s.padded + padded_index(s, x0, line, z), slice, shift, p, s.sum_rows, side - 1,
              made + x0, s.distances + x0, n);
}

// Calls `run`(s, y, z, dx, dy, dz, x0, x1) for every offset of the window of line (y, z) in
// search order, with the range of centres whose candidate lies inside the volume.
template <class Run>
void for_each_offset(const LineSearch& s, int32_t y, int32_t z, Run&& run) {
  const int64_t r = s.search_radius;
  const int32_t dz_lo = static_cast<int32_t>(r < z ? -r : -int64_t{z});
  const int32_t dz_hi = static_cast<int32_t>(r < s.d2 - 1 - z ? r : int64_t{s.d2} - 1 - z);
  const int32_t dy_lo = static_cast<int32_t>(r < y ? -r : -int64_t{y});
  const int32_t dy_hi = static_cast<int32_t>(r < s.d1 - 1 - y ? r : int64_t{s.d1} - 1 - y);
  const int32_t dx_hi = static_cast<int32_t>(r < s.d0 - 1 ? r : int64_t{s.d0} - 1);
  for (int32_t dz = dz_lo; dz <= dz_hi; ++dz) {
    for (int32_t dy = dy_lo; dy <= dy_hi; ++dy) {
      for (int32_t dx = -dx_hi; dx <= dx_hi; ++dx) {
        if (dx == 0 && dy == 0 && dz == 0) continue;
        const int32_t x0 = dx < 0 ? -dx : 0;
        const int32_t x1 = dx > 0 ? s.d0 - dx : s.d0;
        run(s, y, z, dx, dy, dz, x0, x1);
      }
    }
  }
}

}  // namespace volnlm::blockdenoise
