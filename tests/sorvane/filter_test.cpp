#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "sorvane/guide_mean.h"
#include "sorvane/sorvane.h"

namespace volnlm::sorvane {
namespace {

Params params_of(int32_t radius, double sigma, bool rician) {
  Params p;
  p.search_radius = radius;
  p.sigma = sigma;
  p.rician = rician;
  return p;
}

std::vector<double> run(const std::vector<double>& noisy, const std::vector<double>& guide,
                        Extents e, const Params& p) {
  std::vector<double> out(noisy.size(), -7.0);
  EXPECT_EQ(filter(noisy.data(), guide.data(), e, p, out.data()), Status::ok);
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Noisy values around a guide that spans several bandwidths, with exact zeros and a few
// negatives, so that thresholds, partial and zero weights and the Rician zeroing all occur.
void random_volume(int32_t count, uint64_t seed, std::vector<double>& noisy,
                   std::vector<double>& guide) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  noisy.resize(count);
  guide.resize(count);
  for (int32_t i = 0; i < count; ++i) {
    guide[i] = 25.0 * u(rng);
    const double r = u(rng);
    noisy[i] = r < 0.1 ? 0.0 : r < 0.15 ? -3.0 * u(rng) : guide[i] + 4.0 * (u(rng) - 0.5);
  }
}

TEST(sorvaneCheckParams, SigmaMustBeFinite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double sigma : {3.0, 0.0, -0.0, -1.0, 1e-300})
    EXPECT_FALSE(check_params(params_of(1, sigma, false))) << sigma;
  for (double sigma : {nan, inf, -inf}) {
    const auto error = check_params(params_of(1, sigma, false));
    ASSERT_TRUE(error) << sigma;
    EXPECT_EQ(error->reason, "sigma");
    EXPECT_NE(error->message.find("finite"), std::string::npos) << error->message;
  }
}

TEST(sorvaneFilter, GuideMustHaveTheVolumesExtents) {
  const Extents v{6, 5, 4};
  EXPECT_FALSE(check_guide(v, Extents{6, 5, 4}, "guide", "noisy"));
  for (const Extents g : {Extents{6, 5, 3}, Extents{4, 5, 6}, Extents{6, 4, 4}, Extents{0, 5, 4}}) {
    const auto error = check_guide(v, g, "the guide (argument 5)", "the noisy volume");
    ASSERT_TRUE(error) << g.d0 << "x" << g.d1 << "x" << g.d2;
    EXPECT_EQ(error->reason, "guideSize");
    EXPECT_EQ(error->message,
              "the guide (argument 5) must have the extents of the noisy volume, "
              "6x5x4; got " +
                  std::to_string(g.d0) + "x" + std::to_string(g.d1) + "x" + std::to_string(g.d2));
  }
}

TEST(sorvaneFilter, EmptyAndUnindexableExtents) {
  const Params p = params_of(1, 3.0, false);
  for (Extents e : {Extents{0, 3, 3}, Extents{3, 0, 3}, Extents{3, 3, 0}}) {
    EXPECT_EQ(filter(nullptr, nullptr, e, p, static_cast<double*>(nullptr)), Status::ok);
    EXPECT_EQ(filter(nullptr, nullptr, e, p, Buffers{}), Status::ok);
  }
  for (Extents e : {Extents{-1, 3, 3}, Extents{65536, 65536, 1}}) {
    EXPECT_EQ(filter(nullptr, nullptr, e, p, static_cast<double*>(nullptr)), Status::invalid);
  }
}

TEST(sorvaneFilter, NoPairsWithoutARadius) {
  // Plain mode returns the input exactly; Rician mode sqrt(n^2 - 2 sigma^2) where that is not
  // negative, else 0, and 0 wherever n <= 0.
  const std::vector<double> noisy{3.0, -2.0, 0.0, 1.0, 5.0, 0.5};
  const std::vector<double> guide{3.0, 3.0, 3.0, 3.0, 3.0, 3.0};
  const Extents e{3, 2, 1};
  for (int32_t radius : {0, -1, std::numeric_limits<int32_t>::min()}) {
    SCOPED_TRACE(radius);
    EXPECT_TRUE(same_bits(run(noisy, guide, e, params_of(radius, 1.0, false)), noisy));
    const std::vector<double> expected{std::sqrt(7.0), 0.0, 0.0, 0.0, std::sqrt(23.0), 0.0};
    EXPECT_EQ(run(noisy, guide, e, params_of(radius, 1.0, true)), expected);
  }
}

TEST(sorvaneFilter, ZeroNoisyVoxelReceivesInPlainModeAndIsZeroedInRician) {
  // sigma 3 gives h = 1; all guide values equal, so every weighed pair weighs 1. Voxel 1 is
  // zero: it gets voxel 0's value but weighs no pair of its own, so voxel 2 keeps its value.
  const std::vector<double> noisy{10.0, 0.0, 10.0};
  const std::vector<double> guide{2.0, 2.0, 2.0};
  const Extents e{3, 1, 1};
  EXPECT_EQ(run(noisy, guide, e, params_of(1, 3.0, false)), (std::vector<double>{5.0, 5.0, 10.0}));
  // Rician: voxel 0 (100 + 0) / 2 - 18; voxel 1 would be positive too but its noisy value is 0.
  EXPECT_EQ(run(noisy, guide, e, params_of(1, 3.0, true)),
            (std::vector<double>{std::sqrt(32.0), 0.0, std::sqrt(82.0)}));
}

TEST(sorvaneFilter, ZeroOrUnderflowingSigmaWeighsOnlyEqualGuides) {
  // Guide means 7, 7.125, 7.75, 7.125 all lie within 1, so every pair has d = 0; with a zero
  // denominator only the pairs of equal guide values (0, 1, 3) weigh, each 1.
  const std::vector<double> noisy{1.0, 2.0, 3.0, 4.0};
  const std::vector<double> guide{7.0, 7.0, 8.0, 7.0};
  for (double sigma : {0.0, -0.0, 1e-200}) {
    EXPECT_EQ(run(noisy, guide, Extents{4, 1, 1}, params_of(3, sigma, false)),
              (std::vector<double>{7.0 / 3, 7.0 / 3, 3.0, 7.0 / 3}))
        << sigma;
  }
  for (double sigma : {-3.0, -1e-200}) {  // a negative sigma lets no pair pass
    EXPECT_TRUE(same_bits(run(noisy, guide, Extents{4, 1, 1}, params_of(3, sigma, false)), noisy))
        << sigma;
  }
}

// Direct enumeration: every pair i < j (linear order) within the radius on each axis, weighed
// from the earlier voxel when its noisy value is nonzero, added into both.
std::vector<double> reference(const std::vector<double>& noisy, const std::vector<double>& guide,
                              Extents e, int32_t radius, double sigma, bool rician) {
  const int32_t n = e.d0 * e.d1 * e.d2;
  std::vector<double> mean(n), accum(n), weight(n, 1.0);
  guide_local_mean(guide.data(), mean.data(), e.d0, e.d1, e.d2);
  const double h = sigma / 3;
  auto square = [&](int32_t i) { return rician ? noisy[i] * noisy[i] : noisy[i]; };
  for (int32_t i = 0; i < n; ++i) accum[i] = square(i);
  for (int32_t i = 0; i < n; ++i) {
    if (noisy[i] == 0) continue;
    for (int32_t j = i + 1; j < n; ++j) {
      const int32_t dx = i % e.d0 - j % e.d0, dy = i / e.d0 % e.d1 - j / e.d0 % e.d1;
      const int32_t dz = i / (e.d0 * e.d1) - j / (e.d0 * e.d1);
      if (std::abs(dx) > radius || std::abs(dy) > radius || std::abs(dz) > radius) continue;
      const double d = std::fabs(std::trunc(mean[i] - mean[j]));
      if (d > h) continue;
      const double g = guide[i] - guide[j];
      const double t = 0.5 * std::max(d * d / (0.5 * h * h) - 1, 0.0) +
                       0.5 * std::max(g * g / (2 * h * h) - 1, 0.0);
      const double w = t <= 0 ? 1.0 : t > 10 ? 0.0 : std::exp(-t);
      accum[i] += w * square(j);
      accum[j] += w * square(i);
      weight[i] += w;
      weight[j] += w;
    }
  }
  for (int32_t i = 0; i < n; ++i) {
    accum[i] /= weight[i];
    if (rician)
      accum[i] = noisy[i] <= 0 ? 0.0 : std::sqrt(std::max(accum[i] - 2 * sigma * sigma, 0.0));
  }
  return accum;
}

TEST(sorvaneFilter, MatchesDirectPairEnumeration) {
  // The filter adds in another order than the enumeration (centre sums in registers, spilled
  // additions merged after the join), so sums of a few hundred terms may differ by some ulps:
  // 1e-12 relative (to at least 1) is far above that and far below any real fault. Rician
  // results are compared squared, which undoes the square root's amplification near zero.
  const struct {
    Extents e;
    int32_t radius;
  } cases[] = {
      {{5, 4, 3}, 2},  {{4, 3, 5}, 3},  // slabs of one slice, thinner than the radius
      {{3, 3, 10}, 2}, {{3, 2, 20}, 4}, {{6, 5, 1}, 4}, {{7, 1, 1}, 10}, {{1, 1, 9}, 3},
  };
  uint64_t seed = 1;
  for (const auto& c : cases) {
    for (bool rician : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2
                                      << " R=" << c.radius << " rician=" << rician);
      std::vector<double> noisy, guide;
      random_volume(c.e.d0 * c.e.d1 * c.e.d2, seed++, noisy, guide);
      const std::vector<double> got = run(noisy, guide, c.e, params_of(c.radius, 7.5, rician));
      const std::vector<double> want = reference(noisy, guide, c.e, c.radius, 7.5, rician);
      for (size_t i = 0; i < got.size(); ++i) {
        const double a = rician ? got[i] * got[i] : got[i];
        const double b = rician ? want[i] * want[i] : want[i];
        EXPECT_NEAR(a, b, 1e-12 * std::max(std::fabs(b), 1.0)) << i;
      }
    }
  }
}

TEST(sorvaneFilter, BitIdenticalRunsAndOverloads) {
  const Extents e{6, 5, 20};  // eight slabs of uneven depth
  std::vector<double> noisy, guide;
  random_volume(600, 42, noisy, guide);
  for (bool rician : {false, true}) {
    Params p = params_of(3, 7.5, rician);
    std::atomic<int32_t> slices{0};
    p.slices_done = &slices;
    const std::vector<double> first = run(noisy, guide, e, p);
    EXPECT_EQ(slices.load(), e.d2);
    EXPECT_TRUE(same_bits(run(noisy, guide, e, p), first));
    std::vector<double> accum(600), mean(600), weight(600);
    ASSERT_EQ(
        filter(noisy.data(), guide.data(), e, p, Buffers{accum.data(), mean.data(), weight.data()}),
        Status::ok);
    EXPECT_TRUE(same_bits(accum, first));
  }
}

TEST(sorvaneFilter, ConcurrentCallsKeepTheirOwnMode) {
  const Extents e{6, 5, 8};
  std::vector<double> noisy, guide;
  random_volume(240, 3, noisy, guide);
  const std::vector<double> plain = run(noisy, guide, e, params_of(2, 7.5, false));
  const std::vector<double> rician = run(noisy, guide, e, params_of(2, 7.5, true));
  ASSERT_FALSE(same_bits(plain, rician));
  for (int repeat = 0; repeat < 4; ++repeat) {
    std::vector<double> a, b;
    std::thread other([&] { b = run(noisy, guide, e, params_of(2, 7.5, true)); });
    a = run(noisy, guide, e, params_of(2, 7.5, false));
    other.join();
    EXPECT_TRUE(same_bits(a, plain));
    EXPECT_TRUE(same_bits(b, rician));
  }
}

TEST(sorvaneFilter, RadiusPastTheVolumeEqualsTheVolumeSizedRadius) {
  const Extents e{6, 5, 7};
  std::vector<double> noisy, guide;
  random_volume(210, 9, noisy, guide);
  for (bool rician : {false, true}) {
    const std::vector<double> sized = run(noisy, guide, e, params_of(7, 7.5, rician));
    for (int32_t radius : {1000000000, std::numeric_limits<int32_t>::max()}) {
      EXPECT_TRUE(same_bits(run(noisy, guide, e, params_of(radius, 7.5, rician)), sized)) << radius;
    }
  }
}

}  // namespace
}  // namespace volnlm::sorvane

namespace volnlm::sorvane {
namespace {

TEST(sorvaneFilter, SameBitsForEveryThreadCount) {
  // Slab counts 1 to 8, including fewer slabs than threads; both modes.
  struct Case {
    Extents e;
    int32_t radius;
    bool rician;
  };
  const Case cases[] = {
      {{7, 6, 1}, 2, false}, {{6, 5, 2}, 3, true},   {{8, 5, 3}, 1, false},
      {{9, 7, 5}, 2, true},  {{6, 5, 20}, 3, false}, {{5, 6, 27}, 4, true},
  };
  for (const Case& c : cases) {
    std::vector<double> noisy, guide;
    random_volume(voxel_count(c.e), 11 + c.e.d2, noisy, guide);
    Params p = params_of(c.radius, 7.5, c.rician);
    p.threads = 1;
    const std::vector<double> expected = run(noisy, guide, c.e, p);
    for (int32_t threads : {2, 3, 8, 0}) {
      p.threads = threads;
      EXPECT_TRUE(same_bits(run(noisy, guide, c.e, p), expected))
          << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " threads=" << threads;
    }
  }
}

TEST(sorvaneFilter, AnInterruptBeforeTheWorkersStopsTheCall) {
  const Extents e{6, 5, 20};
  std::vector<double> noisy, guide;
  random_volume(600, 3, noisy, guide);
  Params p = params_of(3, 7.5, true);
  const auto always = [](void*) { return true; };
  p.interrupt = Interrupt{always, nullptr};
  std::vector<double> out(600);
  EXPECT_EQ(filter(noisy.data(), guide.data(), e, p, out.data()), Status::stopped);
}

TEST(sorvaneCheckParams, ThreadCountMustBePositiveOrZero) {
  Params p = params_of(1, 3.0, false);
  for (int32_t threads : {0, 1, 8, INT32_MAX}) {
    p.threads = threads;
    if (threads == 0 && std::getenv("VOLNLM_NUM_THREADS") != nullptr) continue;
    EXPECT_FALSE(check_params(p)) << threads;
  }
  p.threads = -1;
  const auto error = check_params(p);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->reason, "numThreads");
}

}  // namespace
}  // namespace volnlm::sorvane

namespace volnlm::sorvane {
namespace {

TEST(sorvaneFilter, SameBitsWhereverTheCallersBuffersLie) {
  // The call places its own copies apart from the caller's buffers in the cache; where those
  // lie (aliased with each other or not) must not change a bit.
  const Extents e{23, 13, 10};
  const int32_t n = voxel_count(e);
  std::vector<double> noisy, guide;
  random_volume(n, 5, noisy, guide);
  for (bool rician : {false, true}) {
    const Params p = params_of(3, 7.5, rician);
    const std::vector<double> expected = run(noisy, guide, e, p);
    ASSERT_FALSE(same_bits(expected, noisy));
    // Offsets in doubles of the result, guide mean and weight sum within one allocation.
    const int32_t shifts[][3] = {{0, 0, 0}, {0, 256, 511}, {1, 9, 65}, {64, 64, 64}, {511, 3, 0}};
    for (const auto& s : shifts) {
      std::vector<double> store(3 * (n + 512));
      double* base = store.data();
      const Buffers b{base + s[0], base + (n + 512) + s[1], base + 2 * (n + 512) + s[2]};
      ASSERT_EQ(filter(noisy.data(), guide.data(), e, p, b), Status::ok);
      EXPECT_EQ(std::memcmp(b.accum, expected.data(), n * sizeof(double)), 0)
          << s[0] << " " << s[1] << " " << s[2] << " rician=" << rician;
    }
  }
}

}  // namespace
}  // namespace volnlm::sorvane
