#include "blockdenoise/local_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "common/volume.h"

namespace volnlm::blockdenoise {
namespace {

struct Stats {
  std::vector<float> mean, variance;
  float max = -1.0f;
};

Stats stats_of(const std::vector<float>& v, int32_t d0, int32_t d1, int32_t d2) {
  Stats s{std::vector<float>(v.size()), std::vector<float>(v.size())};
  s.max = compute_local_mean(v.data(), s.mean.data(), d0, d1, d2);
  compute_local_variance(v.data(), s.mean.data(), s.variance.data(), d0, d1, d2);
  return s;
}

TEST(blockdenoiseLocalStats, LineOfFourMirrorsBothBordersDifferently) {
  const Stats s = stats_of({0, 1, 2, 3}, 4, 1, 1);
  // x = 0 uses 1, 0, 1 (the lower border is not repeated); x = 3 uses 2, 3, 3 (the upper is).
  EXPECT_FLOAT_EQ(s.mean[0], 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(s.mean[1], 1.0f);
  EXPECT_FLOAT_EQ(s.mean[2], 2.0f);
  EXPECT_FLOAT_EQ(s.mean[3], 8.0f / 3.0f);
  // Only the voxels 0 and 1 are taken, around the mean 2/3: (4/9 + 1/9) / (2 - 1).
  EXPECT_FLOAT_EQ(s.variance[0], 5.0f / 9.0f);
  EXPECT_EQ(s.max, 3.0f);
}

TEST(blockdenoiseLocalStats, VarianceDividesByOneLessThanTheNeighboursInside) {
  constexpr int32_t n = 4;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(0.0f, 10.0f);
  std::vector<float> v(n * n * n);
  for (float& x : v) x = dist(rng);
  const Stats s = stats_of(v, n, n, n);
  struct Case {
    int32_t x, y, z, divisor;
  };
  const Case cases[] = {{1, 2, 1, 26}, {0, 1, 2, 17}, {3, 1, 2, 17}, {0, 3, 2, 11},
                        {1, 0, 3, 11}, {0, 0, 0, 7},  {3, 3, 3, 7},  {0, 3, 0, 7}};
  for (const Case& c : cases) {
    const float mean = s.mean[linear_index(c.x, c.y, c.z, n, n)];
    double sq = 0;
    for (int32_t z = c.z - 1; z <= c.z + 1; ++z)
      for (int32_t y = c.y - 1; y <= c.y + 1; ++y)
        for (int32_t x = c.x - 1; x <= c.x + 1; ++x)
          if (x >= 0 && x < n && y >= 0 && y < n && z >= 0 && z < n) {
            const double e = v[linear_index(x, y, z, n, n)] - mean;
            sq += e * e;
          }
    EXPECT_NEAR(s.variance[linear_index(c.x, c.y, c.z, n, n)], sq / c.divisor, 1e-4 * sq)
        << c.x << "," << c.y << "," << c.z;
  }
}

TEST(blockdenoiseLocalStats, ConstantAndSingleVoxelVolumes) {
  const Stats flat = stats_of(std::vector<float>(3 * 4 * 5, 5.0f), 3, 4, 5);
  for (size_t i = 0; i < flat.mean.size(); ++i) {
    EXPECT_EQ(flat.mean[i], 5.0f);
    EXPECT_EQ(flat.variance[i], 0.0f);
  }
  EXPECT_EQ(flat.max, 5.0f);

  // One voxel: 27 copies summed in float, then the lone voxel's deviation divided by 0.
  for (float v : {3.0f, 0.1f, 0.7f}) {
    float sum = 0;
    for (int i = 0; i < 27; ++i) sum += v;
    const Stats one = stats_of({v}, 1, 1, 1);
    EXPECT_EQ(one.mean[0], sum / 27.0f);
    if (one.mean[0] == v) {
      EXPECT_TRUE(std::isnan(one.variance[0])) << v;
    } else {
      EXPECT_EQ(one.variance[0], INFINITY) << v;
    }
  }
}

TEST(blockdenoiseLocalStats, MaximumIgnoresNaNAndNeverGoesBelowZero) {
  EXPECT_EQ(global_max(std::vector<float>{-1, -7, -0.5f}.data(), 3), 0.0f);
  EXPECT_EQ(global_max(std::vector<float>{0, NAN, -2}.data(), 3), 0.0f);
  EXPECT_EQ(global_max(std::vector<float>{NAN, 2, 1}.data(), 3), 2.0f);
  EXPECT_EQ(global_max(std::vector<float>{1, 9, NAN}.data(), 3), 9.0f);
  EXPECT_EQ(stats_of({-3, -4, -5, -6}, 2, 2, 1).max, 0.0f);
}

// The driver shares the statistics among threads slice by slice and combines the parts'
// maxima: every split must give the bits of the whole-volume passes.
TEST(blockdenoiseLocalStats, SlicesInAnySplitGiveTheWholeVolumeBits) {
  const int32_t d0 = 6, d1 = 5, d2 = 7;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-5.0f, 60.0f);
  std::vector<float> v(d0 * d1 * d2);
  for (float& x : v) x = dist(rng);
  v[4] = NAN;
  v[40] = -0.0f;
  const Stats whole = stats_of(v, d0, d1, d2);
  const int32_t plane = d0 * d1;
  // Cuts between slices, including empty parts and one part for everything.
  const std::vector<std::vector<int32_t>> splits = {
      {0, 7}, {0, 1, 7}, {0, 3, 3, 5, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 0, 6, 7}};
  for (const std::vector<int32_t>& cuts : splits) {
    std::vector<float> mean(v.size(), -1.0f), variance(v.size(), -1.0f);
    std::vector<float> maxima;
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
      local_mean_slices(v.data(), mean.data(), d0, d1, d2, cuts[k], cuts[k + 1]);
      maxima.push_back(
          larger_max(0.0f, v.data() + cuts[k] * plane, (cuts[k + 1] - cuts[k]) * plane));
    }
    for (size_t k = 0; k + 1 < cuts.size(); ++k)
      local_variance_slices(v.data(), mean.data(), variance.data(), d0, d1, d2, cuts[k],
                            cuts[k + 1]);
    // The parts' maxima combined front to back and back to front.
    float forward = 0.0f, backward = 0.0f;
    for (size_t k = 0; k < maxima.size(); ++k) {
      forward = larger_max(forward, &maxima[k], 1);
      backward = larger_max(backward, &maxima[maxima.size() - 1 - k], 1);
    }
    EXPECT_EQ(std::memcmp(mean.data(), whole.mean.data(), v.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(variance.data(), whole.variance.data(), v.size() * sizeof(float)), 0);
    EXPECT_EQ(forward, whole.max);
    EXPECT_EQ(backward, whole.max);
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise
