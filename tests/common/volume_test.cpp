#include "common/volume.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "common/scalar.h"
#include "common/shape_check.h"
#include "common/text.h"

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
  // An empty volume with other extents whose product is past 32 bits holds no voxels.
  EXPECT_EQ(voxel_count(Extents{INT32_MAX, 4, 0}), 0);
  EXPECT_EQ(voxel_count(Extents{0, INT32_MAX, INT32_MAX}), 0);
  EXPECT_EQ(voxel_count(Extents{181, 217, 181}), 181 * 217 * 181);
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

TEST(RoundToFloat, EveryDoubleRoundsAsIeeeArithmeticDoes) {
  const double max = FLT_MAX;
  const double half_ulp = std::ldexp(1.0, 103);  // half the spacing of floats at FLT_MAX
  const double min_subnormal = std::ldexp(1.0, -149);
  struct Case {
    double in;
    float want;
  };
  const Case cases[] = {
      {20.000000001, 20.0f},
      {max, FLT_MAX},
      {max + half_ulp / 2, FLT_MAX},  // above the largest float, still rounds down to it
      {std::nextafter(max + half_ulp, 0.0), FLT_MAX},  // the double just short of the tie
      {max + half_ulp, INFINITY},                      // the tie goes to the even side: infinity
      {-(max + half_ulp / 2), -FLT_MAX},               // the same on the negative side
      {-(max + half_ulp), -INFINITY},
      {-1e39, -INFINITY},
      {1e300, INFINITY},
      {DBL_MAX, INFINITY},
      {INFINITY, INFINITY},
      {-INFINITY, -INFINITY},
      {FLT_MIN, FLT_MIN},                               // the smallest normal float
      {min_subnormal, std::ldexp(1.0f, -149)},          // the smallest subnormal float
      {3 * min_subnormal / 2, std::ldexp(1.0f, -148)},  // a tie between subnormals: to even
      {min_subnormal / 2, 0.0f},                        // the tie with zero goes to zero
      {min_subnormal * 0.5000001, std::ldexp(1.0f, -149)},
      {-min_subnormal, -std::ldexp(1.0f, -149)},
      {1e-300, 0.0f},
      {DBL_TRUE_MIN, 0.0f},
  };
  for (const Case& c : cases) {
    const float got = round_to_float(c.in);
    EXPECT_EQ(got, c.want) << c.in;
    EXPECT_EQ(std::signbit(got), std::signbit(c.want)) << c.in;
  }
  // Zeros keep their sign, even where they come from underflow; NaN stays NaN.
  for (const double zero : {0.0, -0.0, -1e-300, -DBL_TRUE_MIN}) {
    const float got = round_to_float(zero);
    EXPECT_EQ(got, 0.0f) << zero;
    EXPECT_EQ(std::signbit(got), std::signbit(zero)) << zero;
  }
  EXPECT_TRUE(std::isnan(round_to_float(std::nan(""))));
  EXPECT_TRUE(std::isnan(round_to_float(-std::nan(""))));
}

TEST(CheckShape, RefusesWhatTheIndexingCannotHoldEvenWhenEmpty) {
  struct Case {
    int64_t d0, d1, d2;
    const char* error;  // a piece of the message, or nullptr when accepted
  };
  const Case cases[] = {
      {181, 217, 181, nullptr},
      {0, 5, 7, nullptr},
      {INT32_MAX, 1, 1, nullptr},
      {0, INT32_MAX, 0, nullptr},
      {1 << 16, 1 << 15, 1, "65536x32768x1 voxels; at most 2147483647 voxels"},  // exactly 2^31
      {6, 0, int64_t{1} << 31, "2147483648 voxels along dimension 3"},           // empty, too long
      {int64_t{1} << 31, 0, 1, "along dimension 1; at most 2147483647 are supported"},
      {INT64_MAX, 1, 1, "along dimension 1"},
      {-1, 2, 2, "along dimension 1"},
  };
  for (const Case& c : cases) {
    const int64_t dims[3] = {c.d0, c.d1, c.d2};
    const auto error = check_shape(dims, "the volume");
    if (!c.error) {
      EXPECT_FALSE(error) << error->message;
      const Extents e = extents_of(dims);
      EXPECT_EQ(int64_t{e.d0} * e.d1 * e.d2, c.d0 * c.d1 * c.d2);
      continue;
    }
    ASSERT_TRUE(error) << c.d0 << "x" << c.d1 << "x" << c.d2;
    EXPECT_EQ(error->reason, "tooLarge");
    EXPECT_EQ(error->message.rfind("the volume has ", 0), 0u) << error->message;
    EXPECT_NE(error->message.find(c.error), std::string::npos) << error->message;
  }
}

TEST(Text, NumbersAndExtents) {
  EXPECT_EQ(number_text(0.1), "0.10000000000000001");  // exact by default
  EXPECT_EQ(number_text(0.1, 6), "0.1");
  EXPECT_EQ(number_text(-1e-320), "-9.9998886718268301e-321");
  EXPECT_EQ(number_text(INFINITY), "inf");
  EXPECT_EQ(extents_text(Extents{181, 217, 1}), "181x217x1");
}

}  // namespace
}  // namespace volnlm
