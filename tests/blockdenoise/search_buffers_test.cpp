// The buffers the driver makes for the line search: the plane-sum cache within its budget (a
// share of the volume over all workers, and a cap per worker), the deferred block sums only
// where the driver gave their values, and every buffer the search writes sized for the line.
#include "blockdenoise/search_buffers.h"

#include <gtest/gtest.h>

#include <cstddef>
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

}  // namespace
}  // namespace volnlm::blockdenoise
