// The pipeline's own passes over a whole volume (the noise estimate's blocks, the signal level,
// the conversions into and out of the filters) shared among threads: the same bits for every
// thread count.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "pipeline/pipeline.h"

namespace volnlm::pipeline {
namespace {

// A bright ellipsoid on a dim background with Rician noise, large enough (in blocks and voxels)
// that the passes run on several threads.
std::vector<double> rician_volume(const Extents& e, double sigma, uint64_t seed) {
  std::mt19937_64 bits(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  std::vector<double> v(static_cast<size_t>(voxel_count(e)));
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        const double u = (2.0 * x - e.d0) / e.d0, w = (2.0 * y - e.d1) / e.d1;
        const double t = e.d2 > 1 ? (2.0 * z - e.d2) / e.d2 : 0.0;
        const double clean = u * u + w * w + t * t < 0.7 ? 300.0 + 80.0 * u : 20.0;
        const double re = clean + noise(bits), im = noise(bits);
        v[linear_index(x, y, z, e.d0, e.d1)] = std::sqrt(re * re + im * im);
      }
  return v;
}

std::vector<uint8_t> ball(const Extents& e) {
  std::vector<uint8_t> m(static_cast<size_t>(voxel_count(e)));
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        const double u = (2.0 * x - e.d0) / e.d0, w = (2.0 * y - e.d1) / e.d1;
        const double t = e.d2 > 1 ? (2.0 * z - e.d2) / e.d2 : 0.0;
        m[linear_index(x, y, z, e.d0, e.d1)] = u * u + w * w + t * t < 0.5 ? 1 : 0;
      }
  return m;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(PipelineThreads, NoiseEstimateAndSignalLevelAreTheSameForEveryThreadCount) {
  const Extents cases[] = {
      {100, 90, 64},  // 72000 blocks
      {101, 91, 67},  // odd extents: the last plane of each axis is in no block
      {700, 400, 1},  // a single slice: 2x2 blocks
  };
  for (const Extents& e : cases) {
    SCOPED_TRACE(::testing::Message() << e.d0 << "x" << e.d1 << "x" << e.d2);
    const std::vector<double> v = rician_volume(e, 12.0, static_cast<uint64_t>(e.d0));
    const std::vector<uint8_t> mask = ball(e);
    for (const bool rician : {true, false}) {
      for (const uint8_t* m : {static_cast<const uint8_t*>(nullptr), mask.data()}) {
        const SigmaEstimate one = estimate_sigma_detail(v.data(), e, rician, m, 1);
        ASSERT_GT(one.sigma, 0.0);
        for (const int32_t threads : {2, 3, 8}) {
          SCOPED_TRACE(::testing::Message()
                       << threads << " threads, rician " << rician << (m ? ", masked" : ""));
          const SigmaEstimate many = estimate_sigma_detail(v.data(), e, rician, m, threads);
          EXPECT_TRUE(same_bits(many.sigma, one.sigma)) << many.sigma << " vs " << one.sigma;
          EXPECT_EQ(many.blocks, one.blocks);
          EXPECT_EQ(many.rayleigh, one.rayleigh);
        }
      }
      // The estimate and the signal level from one pass are those of the two calls.
      const double level = signal_level(v.data(), e, 1);
      for (const int32_t threads : {1, 2, 3, 8}) {
        const NoiseAndSignal both = estimate_noise_and_signal(v.data(), e, rician, threads);
        EXPECT_TRUE(
            same_bits(both.estimate.sigma, estimate_sigma(v.data(), e, rician, nullptr, 1)));
        EXPECT_TRUE(same_bits(both.signal, level));
        EXPECT_TRUE(same_bits(signal_level(v.data(), e, threads), level)) << threads;
      }
    }
  }
}

TEST(PipelineThreads, DenoiseGivesTheSameBitsForEveryThreadCount) {
  const Extents e{72, 64, 40};  // 184320 voxels: the conversions run on several threads
  const std::vector<double> v = rician_volume(e, 15.0, 5);
  const std::vector<uint8_t> mask = ball(e);
  for (const Method method : {Method::block, Method::guided}) {
    for (const uint8_t* m : {static_cast<const uint8_t*>(nullptr), mask.data()}) {
      Options o;
      o.method = method;
      o.search_radius = 1;
      o.patch_radius = 1;
      o.guided_search_radius = 1;
      o.mask = m;
      o.threads = 1;
      std::vector<double> one(v.size()), many(v.size());
      ASSERT_EQ(denoise(v.data(), e, o, one.data()), Status::ok);
      for (const int32_t threads : {2, 3, 8}) {
        SCOPED_TRACE(::testing::Message() << method_name(method) << ", " << threads << " threads"
                                          << (m ? ", masked" : ""));
        o.threads = threads;
        ASSERT_EQ(denoise(v.data(), e, o, many.data()), Status::ok);
        EXPECT_EQ(std::memcmp(many.data(), one.data(), v.size() * sizeof(double)), 0);
      }
      // The guided method's second step on the block result, with its own conversions (with a
      // mask the guided method's guide is exact beyond the mask, the block result is not).
      if (method == Method::guided && m == nullptr) {
        Options b = o;
        b.method = Method::block;
        b.threads = 1;
        std::vector<double> guide(v.size()), on_guide(v.size());
        ASSERT_EQ(denoise(v.data(), e, b, guide.data()), Status::ok);
        for (const int32_t threads : {1, 3}) {
          o.threads = threads;
          ASSERT_EQ(denoise_on_guide(v.data(), guide.data(), e, o, on_guide.data()), Status::ok);
          EXPECT_EQ(std::memcmp(on_guide.data(), one.data(), v.size() * sizeof(double)), 0)
              << threads;
        }
      }
    }
  }
}

}  // namespace
}  // namespace volnlm::pipeline
