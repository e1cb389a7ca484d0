// Known answers of the noise estimate: tiny volumes built block by block, where the median of
// the finest details, the blocks left out (flat, not finite, across an edge) and the choice of
// bright blocks for magnitude data decide the result; and recorded values on seeded volumes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "pipeline/pipeline.h"
#include "tests/cli/phantom.h"

namespace volnlm::pipeline {
namespace {

constexpr double kMedianAbsOfUnitNormal = 0.6744897501960817;
constexpr double kRayleighSpread = 0.6551363775620335;  // sqrt(2 - pi / 2)

// One block of a hand-built volume: its values are level + checker * (-1)^(i+j+k) + ramp * i at
// corner (i, j, k). The checker alone sets the finest (diagonal) detail, to checker * sqrt(2^axes)
// in magnitude; the ramp alone sets the other details (an edge along x); the level is the mean
// plus ramp / 2.
struct PlantedBlock {
  double level = 0.0;
  double checker = 0.0;
  double ramp = 0.0;
  int copies = 1;
  double spoil = 0.0;  // when not 0, put in place of the first corner's value (NaN, infinity)
};

// A line of blocks along x over `axes` axes of extent 2 (1: pairs, 2: 2x2 squares, 3: cubes).
std::vector<double> blocks_volume(int axes, const std::vector<PlantedBlock>& planted, Extents* e) {
  int32_t count = 0;
  for (const PlantedBlock& s : planted) count += s.copies;
  *e = Extents{2 * count, axes >= 2 ? 2 : 1, axes >= 3 ? 2 : 1};
  std::vector<double> v(static_cast<size_t>(voxel_count(*e)));
  int32_t block = 0;
  for (const PlantedBlock& s : planted) {
    for (int copy = 0; copy < s.copies; ++copy, ++block) {
      for (int32_t k = 0; k < e->d2; ++k)
        for (int32_t j = 0; j < e->d1; ++j)
          for (int32_t i = 0; i < 2; ++i) {
            const double sign = (i + j + k) % 2 == 0 ? 1.0 : -1.0;
            double value = s.level + s.checker * sign + s.ramp * i;
            if (s.spoil != 0.0 && i + j + k == 0) value = s.spoil;
            v[linear_index(2 * block + i, j, k, e->d0, e->d1)] = value;
          }
    }
  }
  return v;
}

// The estimate a median finest detail of `checker` (in checker units) gives on `axes` axes.
double sigma_of(double checker, int axes) {
  return checker * std::sqrt(static_cast<double>(1 << axes)) / kMedianAbsOfUnitNormal;
}

TEST(NoiseEstimate, MedianOfTheFinestDetailsOnHandBuiltBlocks) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct Case {
    const char* what;
    int axes;
    std::vector<PlantedBlock> blocks;
    double median_checker;  // the checker whose detail is the median
  } cases[] = {
      {"even count: mean of the two middle values", 3, {{5, 1}, {5, 4}, {5, 2}, {5, 3}}, 2.5},
      {"odd count: the middle value", 3, {{5, 4}, {5, 1}, {5, 3}}, 3.0},
      {"even count, negative details count by magnitude",
       3,
       {{5, -1}, {5, 2}, {5, -3}, {5, 4}},
       2.5},
      {"even count of squares on one slice",
       2,
       {{5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}, {5, 6}},
       3.5},
      {"even count of pairs on one line", 1, {{5, 1}, {5, 2}, {5, 3}, {5, 4}}, 2.5},
      {"flat blocks have no noise and are left out",
       3,
       {{5, 1}, {5, 2}, {5, 3}, {5, 4}, {7, 0, 0, 2}},
       2.5},
      {"blocks holding a NaN or an infinity are left out",
       3,
       {{5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 1, 0, 1, nan}, {5, 1, 0, 1, inf}, {5, 1, 0, 1, -inf}},
       2.5},
      // Over all six blocks the median is 3.5; the edge blocks' other details (2 * 100^2) are
      // far above the screening bound at that estimate, so they go, and the estimate settles on
      // the four noise-like blocks.
      {"blocks across an edge are screened out",
       3,
       {{5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 10, 100, 2}},
       2.5},
  };
  for (const Case& c : cases) {
    Extents e;
    const std::vector<double> v = blocks_volume(c.axes, c.blocks, &e);
    EXPECT_DOUBLE_EQ(estimate_sigma(v.data(), e, false), sigma_of(c.median_checker, c.axes))
        << c.what;
  }
}

TEST(NoiseEstimate, TheLastVoxelOfAnOddAxisIsLeftOut) {
  Extents e;
  const std::vector<double> even = blocks_volume(3, {{5, 1}, {5, 2}, {5, 3}, {5, 4}}, &e);
  // The same blocks with a ninth plane of wild values along x: no block reaches it.
  const Extents odd{e.d0 + 1, e.d1, e.d2};
  std::vector<double> v(static_cast<size_t>(voxel_count(odd)), 0.0);
  for (int32_t z = 0; z < odd.d2; ++z)
    for (int32_t y = 0; y < odd.d1; ++y)
      for (int32_t x = 0; x < odd.d0; ++x)
        v[linear_index(x, y, z, odd.d0, odd.d1)] =
            x < e.d0 ? even[linear_index(x, y, z, e.d0, e.d1)] : 1000.0 * (y + 3 * z + 1);
  EXPECT_DOUBLE_EQ(estimate_sigma(v.data(), odd, false), sigma_of(2.5, 3));
}

// Magnitude data: the estimate rests on the blocks brighter than 5 times the current estimate,
// when there are at least 64 of them and their estimate is at most the plain one over all
// blocks divided by the Rayleigh spread; otherwise on all blocks, divided by the Rayleigh spread.
TEST(NoiseEstimate, MagnitudeDataRestsOnTheBrightBlocks) {
  const struct Case {
    const char* what;
    int bright;        // blocks of level 1000 whose detail is bright_checker checkers
    double dim_level;  // level of 64 further blocks whose detail is dim_checker checkers
    double expected;
    double plain_checker;  // the median over every block, which the plain estimate takes
    double bright_checker = 1.0;
    double dim_checker = 1.25;
  } cases[] = {
      // Over all 128 blocks the median detail is 2.5 checkers, so the bound is that estimate
      // over the Rayleigh spread, 3.82 checkers' worth; the bright blocks alone give 4 checkers.
      {"a bright estimate above the Rayleigh-corrected plain one gives way to it", 64, 20.0,
       sigma_of(2.5, 3) / kRayleighSpread, 2.5, 4.0, 1.0},
      // Over all 128 blocks the estimate is that of 1.125 checkers (4.72), so 4 times it is
      // 18.87 and 5 times it 23.59; then of the bright blocks alone 4.19, 5 times that 20.97.
      {"dim blocks between 4 and 5 estimates stay out", 64, 20.0, sigma_of(1.0, 3), 1.125},
      {"blocks above 5 estimates count", 64, 30.0, sigma_of(1.125, 3), 1.125},
      {"too few bright blocks: all blocks, Rayleigh-corrected", 63, 20.0,
       sigma_of(1.25, 3) / kRayleighSpread, 1.25},
  };
  for (const Case& c : cases) {
    Extents e;
    const std::vector<double> v = blocks_volume(
        3, {{1000.0, c.bright_checker, 0.0, c.bright}, {c.dim_level, c.dim_checker, 0.0, 64}}, &e);
    EXPECT_NEAR(estimate_sigma(v.data(), e, true), c.expected, 1e-12 * c.expected) << c.what;
    const double plain = sigma_of(c.plain_checker, 3);
    EXPECT_NEAR(estimate_sigma(v.data(), e, false), plain, 1e-12 * plain) << c.what;
  }
}

TEST(NoiseEstimate, SignalLevelIsThe99thPercentileOfBlockMeans) {
  // Levels 1 to 200 (each block with a checker, so not flat): rank floor(0.99 * 199) = 197 of
  // the sorted levels is 198. Flat blocks and blocks holding a NaN do not count, however bright.
  std::vector<PlantedBlock> blocks;
  for (int level = 200; level >= 1; --level) blocks.push_back({static_cast<double>(level), 0.5});
  Extents e;
  std::vector<double> v = blocks_volume(3, blocks, &e);
  EXPECT_EQ(signal_level(v.data(), e), 198.0);
  blocks.push_back({1000.0, 0.0, 0.0, 50});
  blocks.push_back({1000.0, 0.5, 0.0, 3, std::numeric_limits<double>::quiet_NaN()});
  v = blocks_volume(3, blocks, &e);
  EXPECT_EQ(signal_level(v.data(), e), 198.0);
  // No usable block: no level.
  const std::vector<double> flat(64, 7.0);
  EXPECT_EQ(signal_level(flat.data(), Extents{4, 4, 4}), 0.0);
}

// A phantom (zero background, a bright ellipsoid with a ramp and a brighter sphere) with seeded
// noise made from the generator's exact output and exact arithmetic only (a sum of 12 uniforms,
// mean 0 and variance 1), so the volume, and the estimate, are the same bits on any machine.
std::vector<double> seeded_phantom(const Extents& e, double sigma, bool rician) {
  std::mt19937_64 rng(20261208);
  const auto normal = [&rng] {
    double sum = -6.0;
    for (int n = 0; n < 12; ++n) sum += static_cast<double>(rng() >> 11) * 0x1.0p-53;
    return sum;
  };
  std::vector<double> v(static_cast<size_t>(voxel_count(e)));
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        const double u = (x - 19.5) / 16.0, w = (y - 17.5) / 14.0, t = (z - 15.5) / 12.0;
        double clean = 0.0;
        if (u * u + w * w + t * t < 1.0) clean = 120.0 + 2.0 * x;
        if ((x - 24) * (x - 24) + (y - 16) * (y - 16) + (z - 14) * (z - 14) < 36) clean = 220.0;
        const double re = clean + sigma * normal();
        const double im = sigma * normal();
        v[linear_index(x, y, z, e.d0, e.d1)] = rician ? std::sqrt(re * re + im * im) : re;
      }
  return v;
}

TEST(NoiseEstimate, RecordedValuesOnASeededPhantom) {
  // Recorded from this estimator; a change of method must show here and be recorded anew. The
  // truth is sigma = 8: the values are within 3% of it (the Rician one with the bright blocks).
  const Extents e{40, 36, 32};
  const struct Case {
    bool rician;
    double recorded;
  } cases[] = {{false, 8.086059926928856}, {true, 7.903709977290605}};
  for (const Case& c : cases) {
    const std::vector<double> v = seeded_phantom(e, 8.0, c.rician);
    const double estimate = estimate_sigma(v.data(), e, c.rician);
    EXPECT_EQ(estimate, c.recorded) << "rician " << c.rician;
    EXPECT_NEAR(estimate, 8.0, 0.03 * 8.0) << "rician " << c.rician;
  }
}

// A small brain-like phantom whose structures are a voxel or two wide, so that edges cross most
// 2x2x2 blocks: seeds that once settled on estimates 2 to 3 times the noise, where the edges let
// through by an inflated estimate held it up.
TEST(NoiseEstimate, EdgesAcrossMostBlocksDoNotHoldUpTheEstimate) {
  const Extents e{20, 18, 12};
  const std::vector<double> clean = cli::make_phantom(e);
  for (const double sigma : {8.0, 10.0, 12.0}) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
      const std::vector<double> v = cli::add_rician_noise(clean, sigma, seed);
      EXPECT_NEAR(estimate_sigma(v.data(), e, true), sigma, 0.25 * sigma)
          << "sigma " << sigma << ", seed " << seed;
    }
  }
}

}  // namespace
}  // namespace volnlm::pipeline
