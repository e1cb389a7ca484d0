#include "sorvane/worker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

namespace volnlm::sorvane {
namespace {

// The five volumes of one worker run, accumulators seeded as the driver seeds them.
struct SlabVolumes {
  int32_t d0, d1, d2;
  std::vector<double> noisy, guide, guide_mean, accum, weight_sum;

  SlabVolumes(int32_t x, int32_t y, int32_t z, std::vector<double> values,
              std::vector<double> means, bool rician)
      : d0(x),
        d1(y),
        d2(z),
        noisy(std::move(values)),
        guide(noisy.size(), 0.0),
        guide_mean(std::move(means)),
        accum(noisy),
        weight_sum(noisy.size(), 1.0) {
    if (rician) {
      for (double& a : accum) a *= a;
    }
  }

  SlabTask task(int32_t first, int32_t end, int32_t radius, double h, int32_t direction,
                bool rician) {
    SlabTask t;
    t.d1 = d1;
    t.d0 = d0;
    t.d2 = d2;
    t.noisy = noisy.data();
    t.accum = accum.data();
    t.guide_mean = guide_mean.data();
    t.guide = guide.data();
    t.weight_sum = weight_sum.data();
    t.first_slice = first;
    t.end_slice = end;
    t.search_radius = radius;
    t.bandwidth = h;
    t.direction = direction;
    t.rician = rician;
    return t;
  }
};

TEST(sorvaneThreadFunc, ThresholdOnTheWholeNumberGuideMeanDistance) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double h, difference;
    bool weighed;
  } cases[] = {
      {2.0, 2.99, true}, {2.0, -2.99, true},         {2.0, 3.0, false},
      {0.5, 0.9, true},  {0.5, 1.0, false},          {-1.0, 0.0, false},  // negative sigma
      {2.0, nan, false}, {1e10, 2147483647.5, true}, {1e10, 2147483648.0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "h=" << c.h << " difference=" << c.difference);
    SlabVolumes run(2, 1, 1, {1.0, 3.0}, {c.difference, 0.0}, false);
    SlabTask task = run.task(0, 1, 1, c.h, 1, false);
    ThreadFunc(&task);
    if (c.weighed) {
      EXPECT_GT(run.weight_sum[1], 1.0);
      EXPECT_EQ(run.weight_sum[0], run.weight_sum[1]);  // 1 + w on both voxels
      EXPECT_GT(run.accum[1], 3.0);
    } else {
      EXPECT_EQ(run.accum, (std::vector<double>{1.0, 3.0}));
      EXPECT_EQ(run.weight_sum, (std::vector<double>{1.0, 1.0}));
    }
  }
}

TEST(sorvaneThreadFunc, ZeroCentreWeighsNoPairButStillReceives) {
  // Voxel 0 is zero, so its pairs with 1 and 2 are never weighed; voxel 2 is zero but is the
  // later voxel of the pair (1, 2), so it gets w * 2 (squared in Rician mode) and w = 1.
  for (bool rician : {false, true}) {
    SCOPED_TRACE(rician);
    SlabVolumes run(3, 1, 1, {0.0, 2.0, 0.0}, {0.0, 0.0, 0.0}, rician);
    SlabTask task = run.task(0, 1, 2, 1.0, 1, rician);
    ThreadFunc(&task);
    const double received = rician ? 4.0 : 2.0;
    EXPECT_EQ(run.accum, (std::vector<double>{0.0, received, received}));
    EXPECT_EQ(run.weight_sum, (std::vector<double>{1.0, 2.0, 2.0}));
  }
}

TEST(sorvaneThreadFunc, EveryPairOfTheWindowOnceAndOnlyInsideTheVolume) {
  // All weights 1: each voxel's weight sum is 1 plus its number of in-volume neighbours within
  // the radius, half from its own forward window, half received. A radius far past the volume
  // reaches every voxel.
  for (int32_t radius : {0, 1, 1000000000}) {
    SCOPED_TRACE(radius);
    SlabVolumes run(3, 3, 3, std::vector<double>(27, 1.0), std::vector<double>(27, 0.0), false);
    SlabTask task = run.task(0, 3, radius, 1.0, 1, false);
    ThreadFunc(&task);
    for (int32_t i = 0; i < 27; ++i) {
      int32_t expected = 1;
      for (int32_t j = 0; j < 27; ++j) {
        const bool near = std::abs(i % 3 - j % 3) <= radius &&
                          std::abs(i / 3 % 3 - j / 3 % 3) <= radius &&
                          std::abs(i / 9 - j / 9) <= radius;
        if (j != i && near) ++expected;
      }
      EXPECT_EQ(run.weight_sum[i], expected) << i;
    }
  }
}

TEST(sorvaneThreadFunc, BackwardScanGivesTheForwardSums) {
  // A middle slab of a random volume, its additions past the slab spilled: both scan orders
  // make the same pairs, so the sums agree up to the order of the additions.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(0.0, 10.0);
  std::vector<double> noisy(5 * 4 * 9), means(noisy.size()), guide(noisy.size());
  for (double& v : noisy) v = value(rng);
  for (size_t i = 0; i < noisy.size(); ++i) {
    means[i] = value(rng) * 0.5;
    guide[i] = means[i] + value(rng) * 0.1;
  }
  const int32_t first = 2, end = 5, radius = 2, plane = 5 * 4;
  std::vector<double> sums[2];
  for (int32_t direction : {1, -1}) {
    SlabVolumes run(5, 4, 9, noisy, means, true);
    run.guide = guide;
    std::vector<double> spill_accum(plane * radius, 0.0), spill_weight(plane * radius, 0.0);
    SlabTask task = run.task(first, end, radius, 2.0, direction, true);
    task.spill_accum = spill_accum.data();
    task.spill_weight = spill_weight.data();
    task.spill_slices = radius;
    ThreadFunc(&task);
    auto& out = sums[direction == 1 ? 0 : 1];
    out = run.accum;
    out.insert(out.end(), run.weight_sum.begin(), run.weight_sum.end());
    out.insert(out.end(), spill_accum.begin(), spill_accum.end());
    out.insert(out.end(), spill_weight.begin(), spill_weight.end());
    // Slices before the slab and past the spill are never touched.
    for (int32_t i = 0; i < first * plane; ++i) EXPECT_EQ(run.weight_sum[i], 1.0);
    for (int32_t i = (end + radius) * plane; i < 9 * plane; ++i) EXPECT_EQ(run.weight_sum[i], 1.0);
    // Inside the slab something was added.
    EXPECT_GT(run.weight_sum[first * plane + 7], 1.0);
  }
  ASSERT_EQ(sums[0].size(), sums[1].size());
  for (size_t i = 0; i < sums[0].size(); ++i) {
    EXPECT_NEAR(sums[0][i], sums[1][i], 1e-13 * std::fabs(sums[0][i])) << i;
  }
}

}  // namespace
}  // namespace volnlm::sorvane
