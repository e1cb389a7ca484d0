#include "cli/demo_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>

#include "cli/commands.h"
#include "cli/errors.h"

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

TEST(Psnr, MeasuresOverTheMask) {
  const std::vector<double> ref = {0, 10, 20, 30};
  const std::vector<double> test = {0, 12, 20, 26};  // squared errors 0, 4, 0, 16
  const double peak = 100.0;
  struct Case {
    std::vector<uint8_t> mask;
    double mse;
  };
  const Case cases[] = {
      {{}, 5.0},  // every voxel
      {{1, 1, 1, 1}, 5.0},
      {{0, 1, 0, 1}, 10.0},
      {{0, 0, 1, 0}, 0.0},  // exact agreement
  };
  for (const Case& c : cases) {
    const double want = c.mse == 0.0 ? INFINITY : 10.0 * std::log10(peak * peak / c.mse);
    EXPECT_DOUBLE_EQ(psnr(ref, test, c.mask, peak), want);
  }
  EXPECT_TRUE(std::isnan(psnr(ref, test, {0, 0, 0, 0}, peak)));
}

TEST(Crop, TakesTheCentralRegion) {
  const Extents e{6, 5, 4};
  std::vector<int> v(static_cast<size_t>(voxel_count(e)));
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int>(i);
  const Crop c = central_crop(e, Extents{2, 3, 10});  // z clamped to the volume
  EXPECT_EQ(c.offset.d0, 2);
  EXPECT_EQ(c.offset.d1, 1);
  EXPECT_EQ(c.offset.d2, 0);
  EXPECT_EQ(c.extents.d2, 4);
  const auto out = crop_volume(v, e, c);
  ASSERT_EQ(out.size(), 2u * 3 * 4);
  EXPECT_EQ(out[0], linear_index(2, 1, 0, 6, 5));
  EXPECT_EQ(out[1], linear_index(3, 1, 0, 6, 5));
  EXPECT_EQ(out[2], linear_index(2, 2, 0, 6, 5));
  EXPECT_EQ(out.back(), linear_index(3, 3, 3, 6, 5));
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

TEST(Arguments, SigmaAndCropParse) {
  EXPECT_FALSE(parse_sigma("auto").has_value());
  EXPECT_EQ(parse_sigma("12.5"), 12.5);
  EXPECT_EQ(parse_sigma("0"), 0.0);
  EXPECT_EQ(parse_sigma("1e-3"), 1e-3);
  for (const char* bad : {"", "-1", "nan", "inf", "12x", "Auto", "1,5"}) {
    EXPECT_THROW(parse_sigma(bad), UsageError) << bad;
  }
  const Extents cube = parse_crop("32");
  EXPECT_EQ(cube.d0, 32);
  EXPECT_EQ(cube.d2, 32);
  const Extents box = parse_crop("80,96,48");
  EXPECT_EQ(box.d0, 80);
  EXPECT_EQ(box.d1, 96);
  EXPECT_EQ(box.d2, 48);
  for (const char* bad : {"", "0", "-4", "8,8", "8,8,8,8", "8,,8", "8,8,x", "1.5"}) {
    EXPECT_THROW(parse_crop(bad), UsageError) << bad;
  }
}

}  // namespace
}  // namespace volnlm::cli
