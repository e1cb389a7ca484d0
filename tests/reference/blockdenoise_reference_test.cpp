// The blockwise filter against its reference rendering.
//
// Tolerance of the output comparison. The maximum, the local means and variances, the
// thresholds, the preselection and which weight is the largest must match exactly; a fast
// rendering may differ only by the order of its float additions and by the last bits of its
// weights. The reference derives, voxel by voxel, how far that can move the result (the bound
// is worked out at the top of blockdenoise_reference.cpp): for a block estimate built from m
// weighted blocks it is about 2 (m + 1) 2^-24 of the mean term magnitude, plus the weights'
// error, carried through the Rician square root and the average of the block estimates. A fixed
// relative tolerance would not do: near a zero Rician estimate the square root turns a tiny
// error into a large relative one. The check is |fast - reference| <= bound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "blockdenoise/filter_isa.h"
#include "blockdenoise/local_stats.h"
#include "reference.h"
#include "test_volumes.h"

namespace volnlm {
namespace {

using testvol::Kind;

blockdenoise::Params params_of(int32_t search, int32_t patch, float sigma, float smoothing,
                               bool rician) {
  blockdenoise::Params p;
  p.search_radius = search;
  p.patch_radius = patch;
  p.sigma = sigma;
  p.smoothing = smoothing;
  p.rician = rician;
  return p;
}

std::vector<float> reference_result(const std::vector<float>& noisy, const Extents& e,
                                    const blockdenoise::Params& p,
                                    std::vector<float>* bound = nullptr) {
  std::vector<float> out(noisy.size());
  if (bound) bound->resize(noisy.size());
  reference::blockdenoise(noisy.data(), e, p, out.data(), bound ? bound->data() : nullptr);
  return out;
}

std::string describe(const Extents& e) {
  std::ostringstream s;
  s << e.d0 << "x" << e.d1 << "x" << e.d2;
  return s.str();
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Blockdenoise_reference, StatisticsFollowTheWorkedExamples) {
  const Extents line{4, 1, 1};
  const std::vector<float> v = {0, 1, 2, 3};
  std::vector<float> mean(4), variance(4);
  reference::local_mean(v.data(), mean.data(), line);
  reference::local_variance(v.data(), mean.data(), variance.data(), line);
  EXPECT_EQ(mean, (std::vector<float>{2.0f / 3.0f, 1.0f, 2.0f, 8.0f / 3.0f}));
  EXPECT_NEAR(variance[0], 5.0f / 9.0f, 1e-6f);  // voxels 0 and 1 around 2/3, divided by 1
  EXPECT_EQ(reference::global_max(v.data(), line), 3.0f);

  const std::vector<float> flat(60, 5.0f);
  std::vector<float> fm(60), fv(60);
  reference::local_mean(flat.data(), fm.data(), Extents{3, 4, 5});
  reference::local_variance(flat.data(), fm.data(), fv.data(), Extents{3, 4, 5});
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(fm[i], 5.0f);
    EXPECT_EQ(fv[i], 0.0f);
  }
  const std::vector<float> dark = {-1.0f, 0.0f, -3.0f, NAN};
  EXPECT_EQ(reference::global_max(dark.data(), line), 0.0f);

  // One voxel: the variance divides 0 by 0.
  const float one = 3.0f;
  float m1 = 0, v1 = 0;
  reference::local_mean(&one, &m1, Extents{1, 1, 1});
  reference::local_variance(&one, &m1, &v1, Extents{1, 1, 1});
  EXPECT_EQ(m1, 3.0f);
  EXPECT_TRUE(std::isnan(v1));
}

TEST(Blockdenoise_reference, ThreeVoxelLineFollowsTheWeights) {
  // Line 10, 11, 10.5 with p = 0, R = 1, sigma = smoothing = 1: every candidate passes the
  // mean ratio; the distances are squared differences, the weights exp(-d), the centre enters
  // with the largest candidate weight.
  const Extents e{3, 1, 1};
  const std::vector<float> v = {10.0f, 11.0f, 10.5f};
  const double w1 = std::exp(-1.0), w4 = std::exp(-0.25);
  const std::vector<float> out = reference_result(v, e, params_of(1, 0, 1.0f, 1.0f, false));
  EXPECT_NEAR(out[0], 10.5, 1e-5);
  EXPECT_NEAR(out[1], (w1 * 10.0 + w4 * 10.5 + w4 * 11.0) / (w1 + 2 * w4), 1e-5);
  EXPECT_NEAR(out[2], 10.75, 1e-5);
  const std::vector<float> ric = reference_result(v, e, params_of(1, 0, 1.0f, 1.0f, true));
  EXPECT_NEAR(ric[0], std::sqrt((121.0 + 100.0) / 2 - 2.0), 1e-5);
  // Smoothing 0 makes the denominator 0: only identical patches would weigh, so each centre
  // falls back to its own block.
  EXPECT_EQ(reference_result(v, e, params_of(1, 0, 1.0f, 0.0f, false)), v);
}

TEST(Blockdenoise_reference, OwnBlockCasesGiveTheNoisyValues) {
  const Extents e{5, 4, 6};
  std::vector<float> v = testvol::to_floats(testvol::make_volume(Kind::integers, e, 3, 0.0));
  // No candidates (negative search radius): every estimate is the voxel's own value.
  EXPECT_EQ(reference_result(v, e, params_of(-1, 1, 2.0f, 1.0f, false)), v);
  // No blocks (negative patch radius, however negative): every voxel keeps its noisy value.
  for (int32_t p : {-1, -2, -2147483647 - 1})
    EXPECT_EQ(reference_result(v, e, params_of(2, p, 2.0f, 1.0f, true)), v);
  // Flat: the variance is 0, so no centre searches; Rician removes 2 sigma^2.
  const std::vector<float> flat(v.size(), 5.0f);
  EXPECT_EQ(reference_result(flat, e, params_of(2, 1, 1.0f, 1.0f, false)), flat);
  for (float x : reference_result(flat, e, params_of(2, 1, 1.0f, 1.0f, true)))
    EXPECT_NEAR(x, std::sqrt(23.0f), 1e-5f);
  for (float x : reference_result(flat, e, params_of(2, 1, 4.0f, 1.0f, true))) EXPECT_EQ(x, 0.0f);
}

TEST(Blockdenoise_reference, ProductionStatisticsAreBitIdentical) {
  const Extents shapes[] = {{1, 1, 1},  {4, 1, 1}, {1, 1, 6}, {2, 2, 2},
                            {5, 7, 11}, {1, 9, 2}, {13, 3, 4}};
  for (const Extents& e : shapes) {
    for (Kind kind : {Kind::phantom, Kind::signed_noise, Kind::with_nan, Kind::integers}) {
      const std::vector<float> noisy = testvol::to_floats(testvol::make_volume(kind, e, 5, 9.0));
      const size_t n = noisy.size();
      std::vector<float> want_mean(n), want_var(n), got_mean(n, -1.0f), got_var(n, -1.0f);
      reference::local_mean(noisy.data(), want_mean.data(), e);
      reference::local_variance(noisy.data(), want_mean.data(), want_var.data(), e);
      const float got_max =
          blockdenoise::compute_local_mean(noisy.data(), got_mean.data(), e.d0, e.d1, e.d2);
      blockdenoise::compute_local_variance(noisy.data(), got_mean.data(), got_var.data(), e.d0,
                                           e.d1, e.d2);
      const std::string what = describe(e) + " " + testvol::name_of(kind);
      EXPECT_EQ(got_max, reference::global_max(noisy.data(), e)) << what;
      EXPECT_TRUE(same_bits(got_mean, want_mean)) << what;
      EXPECT_TRUE(same_bits(got_var, want_var)) << what;
    }
  }
}

struct FilterCase {
  Extents e;
  int32_t search, patch;
  float sigma, smoothing;
  bool rician;
  Kind kind;
};

TEST(Blockdenoise_reference, ProductionFilterStaysWithinTheBound) {
  const FilterCase cases[] = {
      {{1, 1, 1}, 1, 1, 10.0f, 1.0f, false, Kind::phantom},   // one voxel
      {{7, 1, 1}, 3, 1, 10.0f, 1.0f, true, Kind::magnitude},  // one line
      {{5, 7, 11}, 1, 1, 10.0f, 1.0f, false, Kind::phantom},  // prime extents
      {{5, 7, 11}, 2, 2, 12.0f, 1.0f, true, Kind::magnitude},
      {{7, 6, 9}, 1, 1, 10.0f, 1.0f, true, Kind::magnitude},   // eight slabs of one slice
      {{6, 5, 16}, 1, 2, 10.0f, 1.0f, false, Kind::phantom},   // blocks reach a whole slab away
      {{6, 5, 16}, 2, 3, 10.0f, 0.5f, true, Kind::magnitude},  // blocks reach past the next slab
      {{13, 11, 3}, 3, 1, 10.0f, 1.0f, false, Kind::phantom},
      {{3, 4, 5}, 40, 1, 10.0f, 1.0f, true, Kind::magnitude},  // window larger than the volume
      {{6, 6, 6}, 0, 1, 10.0f, 1.0f, true, Kind::magnitude},   // radius 0: no candidates
      {{6, 6, 6}, -1, 1, 10.0f, 1.0f, false, Kind::phantom},
      {{6, 6, 6}, 2, -1, 10.0f, 1.0f, true, Kind::magnitude},  // no blocks
      {{9, 7, 8}, 2, 1, 2.0f, 1.0f, false, Kind::integers},    // ties and exact ratios
      {{9, 7, 8}, 2, 0, 0.0f, 1.0f, false, Kind::integers},    // zero denominator
      {{9, 7, 8}, 2, 1, 10.0f, 0.0f, true, Kind::phantom},     // zero smoothing
      {{10, 9, 7}, 2, 1, 10.0f, 1.0f, true, Kind::flat_and_zero},
      {{10, 9, 7}, 2, 1, 10.0f, 1.0f, false, Kind::flat_and_zero},
      {{8, 7, 6}, 2, 1, 40.0f, 1.0f, false, Kind::signed_noise},
      {{8, 7, 6}, 1, 1, 10.0f, 1.0f, false, Kind::with_nan},
      {{16, 14, 12}, 3, 1, 10.0f, 1.0f, true, Kind::magnitude},  // the usual settings
      // Large enough for lines whose window and blocks stay inside the volume.
      {{27, 13, 12}, 3, 1, 10.0f, 1.0f, true, Kind::magnitude},
      {{27, 13, 12}, 3, 1, 10.0f, 1.0f, false, Kind::phantom},
      {{29, 15, 15}, 5, 1, 10.0f, 1.0f, true, Kind::magnitude},
      {{26, 12, 12}, 2, 2, 10.0f, 1.0f, true, Kind::flat_and_zero},
  };
  double worst = 0.0, bound_sum = 0.0;
  int64_t voxels = 0, identical = 0, bounded = 0;
  for (const FilterCase& c : cases) {
    const blockdenoise::Params p = params_of(c.search, c.patch, c.sigma, c.smoothing, c.rician);
    ASSERT_FALSE(blockdenoise::check_params(c.e, p).has_value()) << describe(c.e);
    for (uint64_t seed = 1; seed <= 2; ++seed) {
      const std::vector<float> noisy =
          testvol::to_floats(testvol::make_volume(c.kind, c.e, seed, 10.0));
      std::vector<float> bound;
      const std::vector<float> want = reference_result(noisy, c.e, p, &bound);
      // Every instruction set this processor runs.
      for (Isa isa : supported_isas()) {
        std::vector<float> got(noisy.size(), -7.0f);
        ASSERT_EQ(blockdenoise::filter_with(isa, noisy.data(), c.e, p, got.data()), Status::ok);
        int bad = 0;
        for (size_t i = 0; i < want.size(); ++i) {
          ++voxels;
          const float r = want[i], f = got[i];
          if (std::isfinite(r) && r != 0.0f) {
            bound_sum += bound[i] / std::fabs(r);
            ++bounded;
          }
          if (std::memcmp(&r, &f, sizeof r) == 0) {
            ++identical;
            continue;
          }
          bool ok;
          double ratio = 0.0;
          if (std::isnan(r) || std::isnan(f)) {
            ok = std::isnan(r) && std::isnan(f);
          } else {
            const double diff = std::fabs(double{f} - double{r});
            ratio = diff / bound[i];
            ok = diff <= bound[i];
          }
          if (ok) {
            if (ratio > worst) worst = ratio;
          } else if (bad++ < 3) {
            ADD_FAILURE() << isa_name(isa) << " " << describe(c.e) << " R=" << c.search
                          << " p=" << c.patch << " sigma=" << c.sigma
                          << " smoothing=" << c.smoothing << " rician=" << c.rician << " "
                          << testvol::name_of(c.kind) << " seed " << seed << ": voxel " << i
                          << " fast " << f << " reference " << r << " (bound " << bound[i] << ")";
          }
        }
      }
    }
  }
  // The bound must stay a tight one, or it would let wrong decisions through.
  const double mean_relative_bound = bound_sum / static_cast<double>(bounded);
  EXPECT_LT(mean_relative_bound, 1e-3);
  std::printf(
      "blockdenoise: %lld voxels, %lld bit-identical, worst |fast - reference| / bound %.3g, "
      "mean bound / |reference| %.3g\n",
      static_cast<long long>(voxels), static_cast<long long>(identical), worst,
      mean_relative_bound);
}

// Volumes where the order of the patch sums matters most: values over nine decades, values
// whose squared differences come within a few decades of the float range, and NaN and infinite
// voxels, on lines long enough for every vector path of the patch distances. A NaN or infinity may
// reach only the outputs the reference gives it to: a distance sum that subtracted what leaves its
// window would spread it (Inf - Inf) to neighbouring centres.
TEST(Blockdenoise_reference, WideRangesAndNonFiniteVoxelsStayWithinTheBound) {
  enum class Twist { decades, overflow, non_finite };
  struct Case {
    Extents e;
    int32_t search, patch;
    bool rician;
    Twist twist;
  };
  const Case cases[] = {
      {{29, 13, 12}, 3, 1, false, Twist::decades},    {{29, 13, 12}, 3, 1, true, Twist::decades},
      {{26, 12, 12}, 2, 2, false, Twist::decades},    {{27, 13, 12}, 3, 1, true, Twist::overflow},
      {{27, 13, 12}, 3, 1, false, Twist::non_finite}, {{27, 13, 12}, 3, 1, true, Twist::non_finite},
      {{26, 12, 12}, 2, 2, false, Twist::non_finite},
  };
  int64_t non_finite_outputs = 0;
  double worst = 0.0;
  for (const Case& c : cases) {
    const blockdenoise::Params p = params_of(c.search, c.patch, 10.0f, 1.0f, c.rician);
    std::vector<float> noisy =
        testvol::to_floats(testvol::make_volume(Kind::phantom, c.e, 3, 10.0));
    testvol::Rng rng(11);
    for (size_t i = 0; i < noisy.size(); ++i) {
      const int32_t pick = rng.below(40);
      if (c.twist == Twist::decades) {
        noisy[i] *= std::pow(10.0f, static_cast<float>(static_cast<int>(i / 97 % 10) - 3));
      } else if (c.twist == Twist::overflow && pick == 0) {
        noisy[i] = 1e17f;  // squared differences near 1e34, patch sums near 1e35
      } else if (c.twist == Twist::non_finite && pick < 2) {
        noisy[i] = pick == 0 ? NAN : (i % 2 ? INFINITY : -INFINITY);
      }
    }
    std::vector<float> bound;
    const std::vector<float> want = reference_result(noisy, c.e, p, &bound);
    for (Isa isa : supported_isas()) {
      std::vector<float> got(noisy.size(), -7.0f);
      ASSERT_EQ(blockdenoise::filter_with(isa, noisy.data(), c.e, p, got.data()), Status::ok);
      int bad = 0;
      for (size_t i = 0; i < want.size(); ++i) {
        const float r = want[i], f = got[i];
        if (!std::isfinite(r)) ++non_finite_outputs;
        bool ok = std::memcmp(&r, &f, sizeof r) == 0;
        if (!ok && (std::isnan(r) || std::isnan(f) || std::isinf(r) || std::isinf(f))) {
          ok = (std::isnan(r) && std::isnan(f)) || r == f;
        } else if (!ok) {
          const double diff = std::fabs(double{f} - double{r});
          ok = diff <= bound[i];
          if (ok && diff / bound[i] > worst) worst = diff / bound[i];
        }
        if (!ok && bad++ < 3) {
          ADD_FAILURE() << isa_name(isa) << " " << describe(c.e) << " R=" << c.search
                        << " p=" << c.patch << " rician=" << c.rician << " twist "
                        << static_cast<int>(c.twist) << ": voxel " << i << " fast " << f
                        << " reference " << r << " (bound " << bound[i] << ")";
        }
      }
    }
  }
  // The non-finite cases must reach some outputs, or they would test nothing.
  EXPECT_GT(non_finite_outputs, 0);
  std::printf(
      "blockdenoise, wide ranges and non-finite voxels: worst |fast - reference| / bound %.3g\n",
      worst);
}

}  // namespace
}  // namespace volnlm
