// Every instruction-set form of the pair loop that this processor can run gives the bits of
// the portable form, on volumes that reach every branch of the loop: lines of exactly four
// voxels, windows cut by every border, slabs thinner than the radius, NaNs, zeros and
// negatives, queues that fill in the middle of a centre, and bandwidths that send the whole
// volume through the direct loop instead.
#include "common/isa.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "sorvane/filter_isa.h"
#include "sorvane/guide_mean.h"

namespace volnlm::sorvane {
namespace {

enum class Pattern {
  noisy_ramp,    // a smooth guide with noise: pairs of weight 1, curved and skipped
  checkerboard,  // guide means close, guides 16 apart: half of every window needs the full weight
  hostile,       // zeros, negatives, NaNs and infinities in both volumes
};

struct Volumes {
  std::vector<double> noisy, guide;
};

Volumes make(Pattern pattern, const Extents& e, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const int32_t n = e.d0 * e.d1 * e.d2;
  Volumes v{std::vector<double>(n), std::vector<double>(n)};
  for (int32_t i = 0; i < n; ++i) {
    const int32_t x = i % e.d0, y = i / e.d0 % e.d1, z = i / (e.d0 * e.d1);
    switch (pattern) {
      case Pattern::noisy_ramp:
        v.guide[i] = 2.0 * x + 1.5 * y - z + 6.0 * u(rng);
        v.noisy[i] = v.guide[i] + 8.0 * (u(rng) - 0.5);
        break;
      case Pattern::checkerboard:
        v.guide[i] = ((x + y + z) % 2 == 0 ? 100.0 : 116.0) + u(rng);
        v.noisy[i] = v.guide[i] + 10.0 * (u(rng) - 0.5);
        break;
      case Pattern::hostile: {
        const double r = u(rng);
        v.guide[i] = 20.0 * u(rng);
        v.noisy[i] = r < 0.1    ? 0.0
                     : r < 0.2  ? -5.0 * u(rng)
                     : r < 0.22 ? -0.0
                                : v.guide[i] + u(rng);
        if (r > 0.99) v.noisy[i] = std::numeric_limits<double>::quiet_NaN();
        if (r > 0.985 && r < 0.99) v.guide[i] = std::numeric_limits<double>::quiet_NaN();
        if (r > 0.98 && r < 0.982) v.noisy[i] = std::numeric_limits<double>::infinity();
        break;
      }
    }
  }
  return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(sorvaneIsa, EveryFormGivesThePortableBits) {
  const struct {
    Extents e;
    int32_t radius;
    double sigma;
    Pattern pattern;
  } cases[] = {
      {{4, 6, 5}, 2, 9.0, Pattern::noisy_ramp},        // lines of exactly four voxels
      {{4, 3, 9}, 5, 9.0, Pattern::noisy_ramp},        // a window wider than every line
      {{17, 11, 9}, 1, 9.0, Pattern::noisy_ramp},      // rows of three, one block each
      {{23, 13, 10}, 3, 9.0, Pattern::noisy_ramp},     // slabs of one and two slices
      {{19, 14, 12}, 4, 12.0, Pattern::noisy_ramp},    // rows of nine: two blocks and a tail
      {{21, 17, 14}, 5, 30.0, Pattern::checkerboard},  // hundreds of queued pairs per centre
      {{18, 12, 9}, 3, 9.0, Pattern::hostile},
      {{18, 12, 9}, 3, 0.0, Pattern::hostile},        // sigma 0: the direct loop
      {{18, 12, 9}, 3, 1e-170, Pattern::noisy_ramp},  // denominators underflow: the direct loop
      {{18, 12, 9}, 3, -6.0, Pattern::noisy_ramp},    // nothing passes
      {{9, 8, 7}, 3, 3.0, Pattern::hostile},          // h = 1: whole-number ties at the threshold
  };
  const std::vector<Isa> isas = supported_isas();
  uint64_t seed = 1;
  for (const auto& c : cases) {
    const Volumes v = make(c.pattern, c.e, seed++);
    for (bool rician : {false, true}) {
      Params p;
      p.search_radius = c.radius;
      p.sigma = c.sigma;
      p.rician = rician;
      std::vector<double> portable(v.noisy.size(), -7.0);
      ASSERT_EQ(filter_with(Isa::portable, v.noisy.data(), v.guide.data(), c.e, p, portable.data()),
                Status::ok);
      // The loop must have done something where pairs can pass, so that equality means more
      // than two untouched copies of the input.
      if (c.sigma > 1.0 && c.radius > 0) {  // 1e-170 weighs only equal guides, and none are
        EXPECT_FALSE(same_bits(portable, v.noisy)) << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2;
      }
      for (Isa isa : isas) {
        std::vector<double> got(v.noisy.size(), -9.0);
        ASSERT_EQ(filter_with(isa, v.noisy.data(), v.guide.data(), c.e, p, got.data()), Status::ok);
        EXPECT_TRUE(same_bits(got, portable))
            << isa_name(isa) << " " << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " R=" << c.radius
            << " sigma=" << c.sigma << " rician=" << rician;
      }
    }
  }
}

}  // namespace
}  // namespace volnlm::sorvane
