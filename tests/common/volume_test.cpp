#include "common/volume.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "common/scalar.h"

namespace volnlm {
namespace {

TEST(MirrorIndex, BordersFollowTheirOwnRules) {
  struct Case {
    int32_t v, n, want;
  };
  const Case cases[] = {
      {-1, 4, 1}, {0, 4, 0},  {3, 4, 3}, {4, 4, 3}, {5, 4, 2}, {-3, 4, 3},  // extent 4
      {-1, 1, 0}, {1, 1, 0},  {0, 1, 0},  // extent 1: always the voxel
      {-1, 2, 1}, {2, 2, 1},              // extent 2
      {7, 4, 0},  {-7, 4, 0},             // |v| = 2n - 1 still inside
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mirror_index(c.v, c.n), c.want) << "v=" << c.v << " n=" << c.n;
  }
}

TEST(VoxelCount, RejectsWhatTheIndexingCannotHold) {
  EXPECT_EQ(voxel_count(181, 217, 181), 181 * 217 * 181);
  EXPECT_EQ(voxel_count(0, 5, 7), 0);
  EXPECT_EQ(voxel_count(INT32_MAX, 1, 1), INT32_MAX);
  EXPECT_FALSE(voxel_count(1 << 16, 1 << 15, 1).has_value());  // exactly 2^31
  EXPECT_FALSE(voxel_count(1 << 11, 1 << 10, 1 << 10).has_value());
  EXPECT_FALSE(voxel_count(int64_t{1} << 40, 1, 1).has_value());
  EXPECT_FALSE(voxel_count(-1, 2, 2).has_value());
}

TEST(LinearIndex, XIsFastest) {
  EXPECT_EQ(linear_index(2, 3, 1, 5, 4), 2 + 5 * (3 + 4 * 1));
}

TEST(TruncateToInt32, TruncatesTowardZeroWithinRange) {
  EXPECT_EQ(truncate_to_int32(2.9), 2);
  EXPECT_EQ(truncate_to_int32(-0.5), 0);
  EXPECT_EQ(truncate_to_int32(-2.9), -2);
  EXPECT_EQ(truncate_to_int32(2147483647.9), INT32_MAX);
  EXPECT_EQ(truncate_to_int32(-2147483648.9), INT32_MIN);
  EXPECT_FALSE(truncate_to_int32(2147483648.0).has_value());
  EXPECT_FALSE(truncate_to_int32(-2147483649.0).has_value());
  EXPECT_FALSE(truncate_to_int32(std::nan("")).has_value());
  EXPECT_FALSE(truncate_to_int32(-INFINITY).has_value());
}

TEST(RoundToFloat, OverflowsToInfinityAsIeeeRoundingDoes) {
  const double max = FLT_MAX;
  const double half_ulp = std::ldexp(1.0, 103);
  EXPECT_EQ(round_to_float(20.000000001), 20.0f);
  EXPECT_EQ(round_to_float(max), FLT_MAX);
  EXPECT_EQ(round_to_float(max + half_ulp / 2), FLT_MAX);  // still rounds down to the largest float
  EXPECT_EQ(round_to_float(max + half_ulp), INFINITY);     // the tie goes to infinity
  EXPECT_EQ(round_to_float(-1e39), -INFINITY);
  EXPECT_EQ(round_to_float(1e300), INFINITY);
  EXPECT_TRUE(std::isnan(round_to_float(std::nan(""))));
}

}  // namespace
}  // namespace volnlm
