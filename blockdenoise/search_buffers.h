// The buffers of the line search, made by the driver before the workers start: what the searches
// of one call share, and what each worker keeps for itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "blockdenoise/search.h"

namespace volnlm::blockdenoise {

// What the searches of one call read, as the driver has decided it.
struct SearchSetup {
  const float* padded = nullptr;  // see LineSearch
  const float* local_mean = nullptr;
  const float* local_variance = nullptr;
  // Where set, the deferred block sums serve the lines they apply to (see LineSearch).
  const float* block_values = nullptr;
  const Span* centre_spans = nullptr;  // see LineSearch; null without a mask
  const Span* plane_spans = nullptr;   // see LineSearch; null without a mask
  int32_t d0 = 0, d1 = 0, d2 = 0;
  int32_t p = 0;              // patch radius, not negative
  int32_t search_radius = 0;  // half-width of the search window
  int32_t workers = 1;        // workers of the call, which share the budget of the plane-sum cache
  float max = 0.0f;
  float denominator = 0.0f;
  bool rician = false;
};

// Shared by the searches of one call.
struct SearchShared {
  std::vector<ptrdiff_t> row_offsets;    // see LineSearch
  std::vector<ptrdiff_t> offset_shifts;  // see LineSearch; empty without deferred blocks
  // See LineSearch; empty without deferred blocks.
  std::vector<int32_t> offset_dx, offset_dy, offset_dz;
};

// One worker's own buffers.
struct SearchScratch {
  std::vector<int32_t> active, deferred_offsets, deferred_count;
  std::vector<float> centre_weight, total_weight, accum, distances, plane_rows;
  std::vector<float> row_cache, deferred_weights;
  std::vector<const float*> sum_rows;
  std::vector<int64_t> row_tags;
  std::vector<int32_t> row_spans;
};

// The plane spans of LineSearch for a call whose lines have the centre spans `centres` (d1 * d2
// lines) and pair rings of depth `pair_depth`: for line y' of slice z, the hull over the lines
// u = y' - p .. y' + p of the volume of u's own span and, widened by R, the spans of u's partner
// lines (u + 1 .. u + R of slice z, u - R .. u + R of slices z + 1 .. z + pair_depth), kept
// within the line. Throws std::bad_alloc.
std::vector<Span> plane_spans_for(const std::vector<Span>& centres, int32_t d0, int32_t d1,
                                  int32_t d2, int32_t p, int32_t search_radius, int32_t pair_depth);

// The pair rings of a call (see LineSearch): how many slices ahead the forward offsets leave
// weights, the floats of one ring, and how many rings the budget holds (at most `wanted`, one
// per thread). The deepest depth 1 .. R (at most d2 - 1) at which `wanted` rings fit is taken,
// else depth 1 with as many rings as fit; deeper rings share more pairs for more memory.
struct PairRings {
  int32_t depth = 1;
  int64_t lines = 0;
  double floats = 0;
  int32_t count = 0;
};
PairRings plan_pair_rings(int32_t d0, int32_t d1, int32_t d2, int32_t search_radius,
                          int32_t wanted);

// Fills `shared` for the call. Throws std::bad_alloc.
void make_search_shared(const SearchSetup& setup, SearchShared& shared);

// Sizes one worker's scratch and returns the search that reads `setup` and `shared` and works
// in `scratch`. The plane-sum cache and the deferred block sums only save work, so they are left
// out, not failed, when their buffers cannot be had. Throws std::bad_alloc.
LineSearch make_line_search(const SearchSetup& setup, const SearchShared& shared,
                            SearchScratch& scratch);

}  // namespace volnlm::blockdenoise
