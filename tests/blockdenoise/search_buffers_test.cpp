// The buffers the driver makes for the line search: the plane-sum cache within its budget (a
// share of the volume over all workers, and a cap per worker), the deferred block sums only
// where the driver gave their values, and every buffer the search writes sized for the line.
#include "blockdenoise/search_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace volnlm::blockdenoise {
namespace {

TEST(blockdenoiseSearchBuffers, CacheStaysWithinItsBudgetAndDeferredSumsFollowTheDriver) {
  struct Case {
    int32_t d0, d1, d2, p, r, workers;
    bool deferred;
    bool cached;  // whether any plane sums are kept
  };
  const Case cases[] = {
      {96, 96, 96, 1, 3, 8, true, true},    // the usual settings
      {96, 96, 96, 1, 5, 8, true, true},    // more offsets than the budget holds
      {20, 20, 20, 2, 2, 8, false, true},   // a small volume: a small share
      {40, 30, 20, 1, 9, 2, false, false},  // radius past the cached ones
      {40, 30, 20, 0, 3, 6, true, false},   // one-voxel patches need no cache
      {45, 30, 20, 0, 3, 6, true, false},   // a last chunk of lines that overlaps the one before
      {7, 3, 3, 1, 1, 4, false, false},     // too small for even one offset
      {300, 300, 8, 1, 8, 1, false, true},  // capped per worker
  };
  for (const Case& c : cases) {
    const std::vector<float> values(8, 1.0f);
    SearchSetup setup;
    setup.padded = values.data();
    setup.block_values = c.deferred ? values.data() : nullptr;
    setup.d0 = c.d0;
    setup.d1 = c.d1;
    setup.d2 = c.d2;
    setup.p = c.p;
    setup.search_radius = c.r;
    setup.workers = c.workers;
    SearchShared shared;
    SearchScratch scratch;
    make_search_shared(setup, shared);
    const LineSearch s = make_line_search(setup, shared, scratch);
    const size_t side = 2 * static_cast<size_t>(c.p) + 1;
    const size_t window = 2 * static_cast<size_t>(c.r) + 1;
    const double voxels = static_cast<double>(c.d0) * c.d1 * c.d2;
    const size_t cache = scratch.row_cache.size();
    EXPECT_LE(static_cast<double>(cache) * c.workers, kPlaneCacheShare * voxels) << c.d0;
    EXPECT_LE(cache, kPlaneCacheMaxFloats) << c.d0;
    EXPECT_EQ(cache > 0, c.cached) << c.d0;
    EXPECT_EQ(s.row_cache != nullptr, c.cached) << c.d0;
    if (c.cached) {
      EXPECT_EQ(cache, static_cast<size_t>(s.cache_offsets) * 2 * c.p * c.d0);
      EXPECT_LE(static_cast<size_t>(s.cache_offsets), window * window * window - 1);
      EXPECT_EQ(scratch.row_tags, std::vector<int64_t>(s.cache_offsets * 2 * c.p, -1));
    }
    EXPECT_EQ(s.block_values != nullptr, c.deferred) << c.d0;
    EXPECT_EQ(shared.offset_shifts.size(), c.deferred ? window * window * window - 1 : 0);
    if (c.deferred) {
      EXPECT_EQ(s.offset_count, static_cast<int32_t>(window * window * window - 1));
      EXPECT_EQ(scratch.deferred_count.size(), static_cast<size_t>((c.d0 + 7) / 8));
      EXPECT_EQ(scratch.deferred_weights.size(), scratch.deferred_offsets.size() * 8);
    }
    EXPECT_EQ(shared.row_offsets.size(), side * side);
    EXPECT_EQ(scratch.accum.size(), side * side * side * c.d0);
    EXPECT_EQ(scratch.plane_rows.size(), side * c.d0);
    EXPECT_EQ(scratch.active.size(), static_cast<size_t>(c.d0));
  }
}

// The pair rings reach as many slices ahead as the budget lets every wanted ring have, a ring
// holds the rows of every backward offset of that depth for each line a forward offset reaches
// ahead, and the rings of a call stay within the budget.
TEST(blockdenoiseSearchBuffers, PairRingsReachAsDeepAsTheBudgetLets) {
  struct Case {
    int32_t d0, d1, d2, r, wanted;
    int32_t depth, count;
  };
  const Case cases[] = {
      {181, 217, 181, 2, 2, 2, 2},  // the guide's radius: every forward offset shares its pairs
      {181, 217, 181, 3, 2, 1, 2},  // deeper rings would not fit two threads
      {181, 217, 181, 3, 1, 2, 1},  // one thread: two slices deep
      {181, 217, 181, 5, 2, 1, 2},
      {64, 64, 40, 3, 1, 2, 1},  // a small volume: the floor of the budget
      {64, 64, 40, 3, 2, 1, 2},
      {20, 10, 9, 4, 3, 4, 3},       // a tiny volume: as deep as the radius
      {20, 10, 3, 4, 2, 2, 2},       // no deeper than the volume's slices
      {20, 10, 1, 2, 2, 1, 2},       // a single slice
      {4000, 4000, 20, 3, 2, 1, 0},  // not even one ring fits: every centre searches alone
      {20, 10, 9, 0, 2, 1, 0},       // no window
      {20, 10, 9, kPairMaxRadius + 1, 2, 1, 0},
  };
  for (const Case& c : cases) {
    const PairRings plan = plan_pair_rings(c.d0, c.d1, c.d2, c.r, c.wanted);
    const std::string what = std::to_string(c.d0) + "x" + std::to_string(c.d1) + "x" +
                             std::to_string(c.d2) + " R=" + std::to_string(c.r) +
                             " wanted=" + std::to_string(c.wanted);
    EXPECT_EQ(plan.depth, c.depth) << what;
    EXPECT_EQ(plan.count, c.count) << what;
    if (c.count == 0) continue;
    const int64_t w = 2 * c.r + 1;
    EXPECT_EQ(plan.lines, int64_t{c.depth} * c.d1 + c.r + 1) << what;
    EXPECT_EQ(plan.floats, static_cast<double>(plan.lines) * (c.depth * w * w + c.r * w) * c.d0)
        << what;
    const double voxels = static_cast<double>(c.d0) * c.d1 * c.d2;
    EXPECT_LE(plan.floats * plan.count, std::max(kPairRingShare * voxels, kPairRingFloor)) << what;
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise
