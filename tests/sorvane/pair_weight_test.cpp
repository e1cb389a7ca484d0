#include "sorvane/pair_weight.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace volnlm::sorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(sorvanePairWeight, TableForBandwidthOne) {
  const WeightScale scale = weight_scale(1.0);
  ASSERT_EQ(scale.mean_denominator, 0.5);
  ASSERT_EQ(scale.guide_denominator, 2.0);
  const struct {
    double d, g, w;
  } cases[] = {
      {0, 1, 1.0},
      {0, 2, std::exp(-0.5)},
      {1, 0, std::exp(-0.5)},
      {1, 2, std::exp(-1.0)},
      {0, 6, std::exp(-8.5)},
      {0, 6.6, 0.0},
      {0, 7, 0.0},
      {0, -2, std::exp(-0.5)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pair_weight(c.d, c.g, scale), c.w) << "d=" << c.d << " g=" << c.g;
  }
}

TEST(sorvanePairWeight, GuideWithinSqrtTwoBandwidthWeighsExactlyOne) {
  for (double h : {0.5, 1.0, 2.0, 7.0}) {
    EXPECT_EQ(pair_weight(0, std::sqrt(2.0) * h * 0.999, weight_scale(h)), 1.0) << h;
  }
}

TEST(sorvanePairWeight, ZeroDenominatorsTakeTheLimitFromAbove) {
  // 0, -0 and a bandwidth whose squares underflow all give denominators that compute to 0:
  // a pair then weighs 1 when its guide values are equal and 0 otherwise, never NaN.
  for (double h : {0.0, -0.0, 1e-200, -1e-200}) {
    SCOPED_TRACE(h);
    const WeightScale scale = weight_scale(h);
    ASSERT_EQ(scale.mean_denominator, 0.0);
    ASSERT_EQ(scale.guide_denominator, 0.0);
    EXPECT_EQ(pair_weight(0, 0.0, scale), 1.0);
    EXPECT_EQ(pair_weight(0, -0.0, scale), 1.0);
    EXPECT_EQ(pair_weight(0, 1e-300, scale), 0.0);
    EXPECT_EQ(pair_weight(0, -5.0, scale), 0.0);
    EXPECT_EQ(pair_weight(1, 0.0, scale), 0.0);
  }
  // A tiny bandwidth whose squares do not underflow follows the ordinary formula.
  const WeightScale tiny = weight_scale(1e-150);
  ASSERT_GT(tiny.mean_denominator, 0.0);
  EXPECT_EQ(pair_weight(0, 1e-150, tiny), 1.0);
  EXPECT_EQ(pair_weight(0, 1e-140, tiny), 0.0);
}

TEST(sorvaneMeanDistance, TruncatesTheDifferenceThenTakesItsMagnitude) {
  const struct {
    double difference;
    bool has_value;
    double d;
  } cases[] = {
      {0.3, true, 0},
      {-0.99, true, 0},
      {1.7, true, 1},
      {-2.5, true, 2},
      {2.99, true, 2},
      {3.0, true, 3},
      {2147483647.9, true, 2147483647.0},
      {-2147483648.5, true, 2147483648.0},  // truncates to -2^31, which fits
      {2147483648.0, false, 0},
      {-2147483649.0, false, 0},
      {1e300, false, 0},
      {kNaN, false, 0},
      {kInf, false, 0},
      {-kInf, false, 0},
  };
  for (const auto& c : cases) {
    const std::optional<double> d = mean_distance(c.difference);
    ASSERT_EQ(d.has_value(), c.has_value) << c.difference;
    if (d) {
      EXPECT_EQ(*d, c.d) << c.difference;
    }
  }
}

}  // namespace
}  // namespace volnlm::sorvane
