#include "common/slabs.h"

#include <gtest/gtest.h>

#include <vector>

namespace volnlm {
namespace {

std::vector<int32_t> starts(int32_t d2, int32_t workers) {
  std::vector<int32_t> out;
  for (int32_t t = 0; t < workers; ++t) out.push_back(slab_of(d2, t, workers).first_slice);
  out.push_back(slab_of(d2, workers - 1, workers).end_slice);
  return out;
}

TEST(Slabs, PartitionTable) {
  EXPECT_EQ(starts(1, 1), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(starts(3, 3), (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(starts(9, 8), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 9}));
  EXPECT_EQ(starts(10, 8), (std::vector<int32_t>{0, 1, 2, 3, 5, 6, 7, 8, 10}));
  EXPECT_EQ(starts(20, 8), (std::vector<int32_t>{0, 2, 5, 7, 10, 12, 15, 17, 20}));
}

TEST(Slabs, SlabsTileEveryDepthWithoutOverflow) {
  for (int32_t d2 : {1, 2, 7, 8, 181, 1 << 29, INT32_MAX}) {
    const int32_t workers = clamp_workers(d2);
    int32_t next = 0;
    for (int32_t t = 0; t < workers; ++t) {
      const Slab s = slab_of(d2, t, workers);
      EXPECT_EQ(s.first_slice, next) << d2;
      EXPECT_LT(s.first_slice, s.end_slice) << d2;
      next = s.end_slice;
    }
    EXPECT_EQ(next, d2);
  }
}

TEST(Slabs, WorkerCountIsClamped) {
  EXPECT_EQ(clamp_workers(-5), 1);
  EXPECT_EQ(clamp_workers(0), 1);
  EXPECT_EQ(clamp_workers(3), 3);
  EXPECT_EQ(clamp_workers(9), 8);
}

}  // namespace
}  // namespace volnlm
