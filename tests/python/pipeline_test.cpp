// The pipeline's C++ behaviour that the Python module does not show: progress counting, the
// resolved parameters, and option checks enforced by denoise itself.
#include "pipeline/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "common/reach.h"
#include "pipeline/defaults.h"

namespace volnlm::pipeline {
namespace {

std::vector<double> noisy_volume(const Extents& e, double sigma) {
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, sigma);
  std::vector<double> v(static_cast<size_t>(voxel_count(e)));
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        const bool inside = (x - 6) * (x - 6) + (y - 5) * (y - 5) + (z - 4) * (z - 4) < 16;
        v[linear_index(x, y, z, e.d0, e.d1)] = (inside ? 200.0 : 60.0) + noise(rng);
      }
  return v;
}

TEST(Pipeline, ProgressCountsExactlyTheAnnouncedSteps) {
  const Extents e{12, 10, 9};
  const std::vector<double> v = noisy_volume(e, 8.0);
  std::vector<double> out(v.size());
  struct Case {
    Method method;
    std::optional<double> sigma;
    int64_t steps;
  } cases[] = {{Method::guided, std::nullopt, 18},
               {Method::block, std::nullopt, 9},
               {Method::guided, 0.0, 18},
               {Method::block, 5.0, 9}};
  for (const Case& c : cases) {
    std::atomic<int32_t> done{0};
    Options o;
    o.method = c.method;
    o.sigma = c.sigma;
    o.search_radius = 2;  // several workers, each counting its own slices
    o.slices_done = &done;
    EXPECT_EQ(progress_steps(e, o), c.steps);
    ASSERT_EQ(denoise(v.data(), e, o, out.data()), Status::ok);
    EXPECT_EQ(done.load(), c.steps);
  }
  Options o;
  EXPECT_EQ(progress_steps(Extents{0, 10, 9}, o), 0);
}

TEST(Pipeline, ResolvedReportsDefaultsOverridesAndTheUnitScale) {
  const Extents e{12, 10, 9};
  const std::vector<double> v = noisy_volume(e, 8.0);
  std::vector<double> out(v.size());
  Resolved r;
  ASSERT_EQ(denoise(v.data(), e, Options{}, out.data(), &r), Status::ok);
  EXPECT_EQ(r.sigma, estimate_sigma(v.data(), e, true));
  EXPECT_EQ(r.search_radius, kDefaultSearchRadius);
  // Noise of 8 against a signal level near 200 lies in the band where the guided method's
  // guide takes the wide patch and its smoothing.
  const double ratio = noise_ratio(r.sigma, signal_level(v.data(), e));
  ASSERT_TRUE(in_wide_patch_band(ratio)) << ratio;
  EXPECT_EQ(r.patch_radius, kWidePatchRadius);
  EXPECT_EQ(r.smoothing, kWidePatchSmoothing);
  EXPECT_EQ(r.guided_search_radius, kDefaultGuidedSearchRadius);
  EXPECT_GE(r.sigma * r.scale, 64.0);
  EXPECT_LT(r.sigma * r.scale, 128.0);

  // The scale is a power of two that brings sigma into [64, 128).
  const struct {
    double sigma, scale;
  } scales[] = {{10.0, 8.0}, {64.0, 1.0}, {127.9, 1.0}, {128.0, 0.5}, {0.03, 4096.0}};
  for (const auto& s : scales) {
    Options o;
    o.sigma = s.sigma;
    o.method = Method::block;
    o.search_radius = 1;
    o.patch_radius = 0;
    o.smoothing = 2.5f;
    ASSERT_EQ(denoise(v.data(), e, o, out.data(), &r), Status::ok);
    EXPECT_EQ(r.scale, s.scale) << s.sigma;
    EXPECT_EQ(r.sigma, s.sigma);
    EXPECT_EQ(r.search_radius, 1);
    EXPECT_EQ(r.patch_radius, 0);
    EXPECT_EQ(r.smoothing, 2.5f);
  }
}

TEST(Pipeline, DenoiseRefusesOptionsThatFailTheChecks) {
  const Extents e{6, 5, 4};
  const std::vector<double> v(120, 1.0);
  std::vector<double> out(v.size(), -1.0);
  Options o;
  o.search_radius = 0;
  ASSERT_TRUE(check_options(e, o).has_value());
  EXPECT_EQ(check_options(e, o)->reason, "searchRadius");
  EXPECT_EQ(denoise(v.data(), e, o, out.data()), Status::invalid);
  EXPECT_EQ(denoise_on_guide(v.data(), v.data(), e, o, out.data()), Status::invalid);
  EXPECT_EQ(out[0], -1.0) << "nothing is written before the options are checked";
  o = Options{};
  o.patch_radius = 5;  // beyond the smallest extent
  EXPECT_TRUE(check_options(e, o).has_value());
  o = Options{};
  o.sigma = -0.5;
  EXPECT_EQ(check_options(e, o)->reason, "sigma");
  EXPECT_FALSE(check_options(e, Options{}).has_value());
}

TEST(Pipeline, MethodNamesParseBothWays) {
  for (const Method m : {Method::guided, Method::block}) {
    EXPECT_EQ(method_from_name(method_name(m)), m);
  }
  for (const char* bad : {"", "Guided", "guided ", "fast", "blockdenoise"}) {
    EXPECT_FALSE(method_from_name(bad).has_value()) << bad;
    const ArgError error = method_error(bad);
    EXPECT_EQ(error.reason, "method");
    EXPECT_EQ(error.message,
              "method must be \"guided\" or \"block\"; got \"" + std::string(bad) + "\"");
  }
  EXPECT_EQ(method_name(Options{}.method), std::string("guided"));
}

TEST(Pipeline, SigmaRangeFollowsTheVolumesPeak) {
  const double floor = std::ldexp(1.0, -1017);
  const double nan = std::nan(""), inf = INFINITY;
  struct Case {
    std::vector<double> values;
    double sigma;
    bool accepted;
  };
  const Case cases[] = {
      {{3.0, -200.0, 7.0}, std::ldexp(200.0, -40), true},  // the peak is a magnitude
      {{3.0, -200.0, 7.0}, std::nextafter(std::ldexp(200.0, -40), 0.0), false},
      {{3.0, -200.0, 7.0}, std::ldexp(200.0, 66), true},
      {{3.0, -200.0, 7.0}, std::nextafter(std::ldexp(200.0, 66), inf), false},
      {{3.0, -200.0, 7.0}, 0.0, true},                      // no noise: always
      {{3.0, nan, inf, -inf}, std::ldexp(3.0, -40), true},  // non-finite voxels do not count
      {{3.0, nan, inf, -inf}, std::ldexp(3.0, -41), false},
      {{0.0, -0.0, nan}, floor, true},  // no finite non-zero voxel: the scale's own limit
      {{0.0, -0.0, nan}, std::nextafter(floor, 0.0), false},
      {{0.0, -0.0, nan}, 1e300, true},
      {{1e-300}, floor, true},  // below peak * 2^-40 the scale's limit still holds
      {{1e-300}, std::nextafter(floor, 0.0), false},
  };
  for (const Case& c : cases) {
    const auto error = check_sigma(c.sigma, c.values.data(), static_cast<int64_t>(c.values.size()));
    EXPECT_EQ(!error, c.accepted) << c.sigma << " " << c.values[0];
    if (error) {
      EXPECT_EQ(error->reason, "sigma");
      EXPECT_EQ(error->message.rfind("sigma must be 0 or from ", 0), 0u) << error->message;
    }
  }
  // At the lower limit a volume without noise comes back finite (it gave NaN when the scale
  // overflowed), and a refused sigma gives Status::invalid without touching the output.
  const Extents e{4, 4, 4};
  const std::vector<double> zeros(64, 0.0);
  std::vector<double> out(64, -1.0);
  Options o;
  o.sigma = std::nextafter(floor, 0.0);
  EXPECT_EQ(denoise(zeros.data(), e, o, out.data()), Status::invalid);
  EXPECT_EQ(out[0], -1.0);
  o.sigma = floor;
  for (const Method m : {Method::guided, Method::block}) {
    o.method = m;
    ASSERT_EQ(denoise(zeros.data(), e, o, out.data()), Status::ok);
    for (double v : out) ASSERT_EQ(v, 0.0);
  }
}

TEST(Pipeline, EmptyAndNoiseFreeVolumesComeBackUnchanged) {
  Resolved r;
  EXPECT_EQ(denoise(nullptr, Extents{0, 3, 3}, Options{}, nullptr, &r), Status::ok);
  EXPECT_EQ(r.sigma, 0.0);
  const Extents e{6, 5, 4};
  std::vector<double> flat(120, 42.0), out(120);
  ASSERT_EQ(denoise(flat.data(), e, Options{}, out.data(), &r), Status::ok);
  EXPECT_EQ(r.sigma, 0.0);
  EXPECT_EQ(out, flat);
}

}  // namespace
}  // namespace volnlm::pipeline

namespace volnlm::pipeline {
namespace {

TEST(Pipeline, GuidedSecondStepOnTheBlockResultIsTheGuidedMethod) {
  const Extents e{12, 10, 9};
  const std::vector<double> v = noisy_volume(e, 8.0);
  std::vector<double> block(v.size()), guided(v.size()), second(v.size());
  for (const bool rician : {true, false}) {
    Options o;
    o.rician = rician;
    o.method = Method::guided;
    Resolved used;
    ASSERT_EQ(denoise(v.data(), e, o, guided.data(), &used), Status::ok);
    // The block method with the guide's patch radius and smoothing (the guided defaults may
    // widen the patch where the block method's do not).
    Options b = o;
    b.method = Method::block;
    b.patch_radius = used.patch_radius;
    b.smoothing = used.smoothing;
    ASSERT_EQ(denoise(v.data(), e, b, block.data()), Status::ok);
    std::atomic<int32_t> done{0};
    o.slices_done = &done;
    ASSERT_EQ(denoise_on_guide(v.data(), block.data(), e, o, second.data()), Status::ok);
    EXPECT_EQ(second, guided) << "rician " << rician;
    EXPECT_NE(second, block);
    EXPECT_EQ(done.load(), e.d2);
  }
}

}  // namespace
}  // namespace volnlm::pipeline

namespace volnlm::pipeline {
namespace {

TEST(Pipeline, DefaultSmoothingFollowsTheNoiseRatio) {
  const auto& p = kSmoothingByNoise;
  const size_t last = std::size(kSmoothingByNoise) - 1;
  const double mid = 0.5 * (p[0].noise_ratio + p[1].noise_ratio);
  const struct {
    double ratio;
    double expected;
  } cases[] = {
      {0.0, p[0].smoothing},
      {0.5 * p[0].noise_ratio, p[0].smoothing},
      {p[0].noise_ratio, p[0].smoothing},
      {mid, 0.5 * (p[0].smoothing + p[1].smoothing)},
      {p[1].noise_ratio, p[1].smoothing},
      {p[last].noise_ratio, p[last].smoothing},
      {2.0 * p[last].noise_ratio, p[last].smoothing},
      {std::numeric_limits<double>::infinity(), p[last].smoothing},
      {std::numeric_limits<double>::quiet_NaN(), p[last].smoothing},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(default_smoothing(c.ratio), c.expected, 1e-6) << c.ratio;
  }
  for (size_t i = 1; i <= last; ++i) EXPECT_GT(p[i].smoothing, p[i - 1].smoothing);

  // denoise takes the ratio of its sigma to the volume's signal level; a given smoothing stays.
  const Extents e{12, 10, 9};
  const std::vector<double> v = noisy_volume(e, 8.0);
  std::vector<double> out(v.size());
  const double signal = signal_level(v.data(), e);
  ASSERT_GT(signal, 100.0);
  for (const Method method : {Method::block, Method::guided}) {
    Options o;
    o.method = method;
    o.sigma = mid * signal;
    Resolved r;
    ASSERT_EQ(denoise(v.data(), e, o, out.data(), &r), Status::ok);
    EXPECT_EQ(r.smoothing, default_smoothing(mid, r.patch_radius));
    o.smoothing = 3.0f;
    ASSERT_EQ(denoise(v.data(), e, o, out.data(), &r), Status::ok);
    EXPECT_EQ(r.smoothing, 3.0f);
  }
}

TEST(Pipeline, GuidedDefaultPatchRadiusFollowsTheNoiseRatio) {
  const double low = kWidePatchNoise.low, high = kWidePatchNoise.high;
  const double inside = 0.5 * (low + high);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // (guided, noise ratio, smallest extent) -> patch radius; the band is [low, high).
  const struct {
    bool guided;
    double ratio;
    int32_t smallest;
    int32_t expected;
  } cases[] = {
      {true, 0.0, 50, kDefaultPatchRadius},
      {true, std::nextafter(low, 0.0), 50, kDefaultPatchRadius},
      {true, low, 50, kWidePatchRadius},
      {true, inside, 50, kWidePatchRadius},
      {true, std::nextafter(high, 0.0), 50, kWidePatchRadius},
      {true, high, 50, kDefaultPatchRadius},
      {true, inf, 50, kDefaultPatchRadius},
      {true, nan, 50, kDefaultPatchRadius},
      {false, inside, 50, kDefaultPatchRadius},  // the block method never widens
      {true, inside, kWidePatchRadius, kWidePatchRadius},
      {true, inside, kWidePatchRadius - 1, kDefaultPatchRadius},  // the border rule could not serve
  };
  for (const auto& c : cases) {
    EXPECT_EQ(default_patch_radius(c.guided, c.ratio, c.smallest), c.expected)
        << c.guided << " " << c.ratio << " " << c.smallest;
  }
  EXPECT_GT(kWidePatchRadius, kDefaultPatchRadius);
  // The wide patch's smoothing holds in the band only, chosen or given; elsewhere, and for other
  // radii, the curve.
  EXPECT_EQ(default_smoothing(inside, kWidePatchRadius), kWidePatchSmoothing);
  EXPECT_EQ(default_smoothing(inside, kDefaultPatchRadius), default_smoothing(inside));
  EXPECT_EQ(default_smoothing(high, kWidePatchRadius), default_smoothing(high));
  EXPECT_EQ(default_smoothing(0.5 * low, kWidePatchRadius), default_smoothing(0.5 * low));
  EXPECT_NE(kWidePatchSmoothing, default_smoothing(inside));
  EXPECT_EQ(noise_ratio(3.0, 0.0), inf);
  EXPECT_EQ(noise_ratio(3.0, 60.0), 0.05);
}

TEST(Pipeline, DenoiseChoosesThePatchRadiusAndAGivenOneWins) {
  const Extents e{12, 10, 9};
  const std::vector<double> v = noisy_volume(e, 8.0);
  std::vector<double> out(v.size()), again(v.size());
  const double signal = signal_level(v.data(), e);
  // (method, noise ratio of the given sigma, given patch radius) -> radius and smoothing used.
  const double inside = 0.5 * (kWidePatchNoise.low + kWidePatchNoise.high);
  const double above = 1.5 * kWidePatchNoise.high;
  const struct {
    Method method;
    double ratio;
    std::optional<int32_t> given;
    int32_t patch;
    float smoothing;
  } cases[] = {
      {Method::guided, inside, std::nullopt, kWidePatchRadius, kWidePatchSmoothing},
      {Method::guided, above, std::nullopt, kDefaultPatchRadius, default_smoothing(above)},
      {Method::block, inside, std::nullopt, kDefaultPatchRadius, default_smoothing(inside)},
      {Method::guided, inside, 1, 1, default_smoothing(inside)},
      {Method::guided, inside, 0, 0, default_smoothing(inside)},
      {Method::block, inside, 2, 2, kWidePatchSmoothing},
      {Method::guided, above, 2, 2, default_smoothing(above)},
  };
  for (const auto& c : cases) {
    Options o;
    o.method = c.method;
    o.sigma = c.ratio * signal;
    o.patch_radius = c.given;
    Resolved r;
    ASSERT_EQ(denoise(v.data(), e, o, out.data(), &r), Status::ok);
    EXPECT_EQ(r.patch_radius, c.patch) << c.ratio;
    EXPECT_EQ(r.smoothing, c.smoothing) << c.ratio;
    // The choice reported is the one used: given explicitly, it gives the same bits.
    Options same = o;
    same.patch_radius = r.patch_radius;
    same.smoothing = r.smoothing;
    ASSERT_EQ(denoise(v.data(), e, same, again.data()), Status::ok);
    EXPECT_EQ(out, again) << c.ratio;
    // block_defaults, which chunked runs call with the whole volume's sigma and level, agrees.
    const BlockChoice choice = block_defaults(o, e, *o.sigma, signal);
    EXPECT_EQ(choice.patch_radius, c.patch);
    EXPECT_EQ(choice.smoothing, c.smoothing);
  }
  // A volume too thin for the wide patch keeps the default one.
  Options o;
  const BlockChoice thin = block_defaults(o, Extents{12, 10, 1}, inside * signal, signal);
  EXPECT_EQ(thin.patch_radius, kDefaultPatchRadius);
  EXPECT_EQ(thin.smoothing, default_smoothing(inside));
}

TEST(Pipeline, ReachCoversEveryPatchRadiusTheRuleCanChoose) {
  Options guided;
  const int64_t wide =
      guided_reach(kDefaultSearchRadius, kWidePatchRadius, kDefaultGuidedSearchRadius);
  EXPECT_EQ(reach(guided), wide);
  guided.patch_radius = 1;
  EXPECT_EQ(reach(guided), guided_reach(kDefaultSearchRadius, 1, kDefaultGuidedSearchRadius));
  EXPECT_LT(reach(guided), wide);
  Options block;
  block.method = Method::block;
  EXPECT_EQ(reach(block), blockdenoise_reach(kDefaultSearchRadius, kDefaultPatchRadius));
}

}  // namespace
}  // namespace volnlm::pipeline
