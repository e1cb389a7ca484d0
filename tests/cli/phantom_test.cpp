// The test inputs themselves: the phantom has its tissues, the noise is seeded and Rician.
#include "phantom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace volnlm::cli {
namespace {

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

double spread(const std::vector<double>& v) {
  const double m = mean(v);
  double s = 0;
  for (double x : v) s += (x - m) * (x - m);
  return std::sqrt(s / static_cast<double>(v.size() - 1));
}

// The same seed gives the same noise; the noise has Rician statistics: Rayleigh where the
// signal is 0, close to Gaussian around a strong signal.
TEST(RicianNoise, IsSeededAndRician) {
  const std::vector<double> zero(200000, 0.0), strong(200000, 1000.0);
  const double sigma = 10.0;
  const auto a = add_rician_noise(zero, sigma, 3), b = add_rician_noise(zero, sigma, 3);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, add_rician_noise(zero, sigma, 9));
  for (double x : a) ASSERT_GE(x, 0.0);
  EXPECT_NEAR(mean(a), sigma * std::sqrt(std::numbers::pi / 2.0), 0.02 * sigma);
  EXPECT_NEAR(spread(a), sigma * std::sqrt(2.0 - std::numbers::pi / 2.0), 0.02 * sigma);
  const auto s = add_rician_noise(strong, sigma, 4);
  EXPECT_NEAR(mean(s), 1000.0 + sigma * sigma / 2000.0, 0.1);
  EXPECT_NEAR(spread(s), sigma, 0.1);
}

TEST(Phantom, HasBackgroundTissuesAndDetail) {
  const Extents e{40, 44, 24};
  const auto p = make_phantom(e);
  ASSERT_EQ(p.size(), static_cast<size_t>(voxel_count(e)));
  std::set<double> levels(p.begin(), p.end());
  EXPECT_GE(levels.size(), 6u);  // background, shell, grey, white, ventricles, stripes, spots
  EXPECT_EQ(*levels.begin(), 0.0);
  EXPECT_EQ(*levels.rbegin(), kPhantomMax);
  EXPECT_EQ(p[0], 0.0);  // corners are background
  EXPECT_EQ(p.back(), 0.0);
  EXPECT_GT(p[static_cast<size_t>(linear_index(20, 22, 12, e.d0, e.d1))], 0.0);
  const auto support = std::count_if(p.begin(), p.end(), [](double v) { return v > 0; });
  EXPECT_GT(support, static_cast<long>(p.size() / 3));
  EXPECT_LT(support, static_cast<long>(p.size()));
  EXPECT_EQ(make_phantom(e), p);
}

}  // namespace
}  // namespace volnlm::cli
