// Every instruction set this processor runs gives the bits of the portable form: each set works
// eight neighbouring centres at once, with partial chunks at the ends of short runs and lines,
// blocks added at once near the borders and summed after weighing inside, so the cases cover
// lines narrower and wider than a vector, blocks crossing every border, and values that take
// each branch of the thresholds and the preselection.
#include "common/isa.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "blockdenoise/filter_isa.h"
#include "common/volume.h"

namespace volnlm::blockdenoise {
namespace {

enum class Fill { noise, structured, special, huge };

// noise: values in [20, 80). structured: a ramp along x with noise, a dark slab of zeros and a
// flat patch, so that both preselection alternatives and both centre thresholds are taken.
// special: structured plus a NaN, infinities and negative values. huge: noise plus a value
// whose square overflows.
std::vector<float> make(const Extents& e, Fill fill, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-10.0f, 10.0f);
  std::vector<float> v(static_cast<size_t>(voxel_count(e)));
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        float value = 50.0f + 3.0f * noise(rng);
        if (fill == Fill::structured || fill == Fill::special) {
          value = 10.0f + 8.0f * static_cast<float>(x) + noise(rng);
          if (z == 1) value = 0.0f;
          if (y < 2 && x < 4) value = 40.0f;
        }
        v[linear_index(x, y, z, e.d0, e.d1)] = value;
      }
  if (fill == Fill::huge) v[v.size() / 2 + 3] = 3e19f;
  if (fill == Fill::special) {
    v[v.size() / 3] = std::numeric_limits<float>::quiet_NaN();
    v[v.size() / 2] = std::numeric_limits<float>::infinity();
    v[v.size() / 5] = -std::numeric_limits<float>::infinity();
    v[v.size() - 2] = -30.0f;
  }
  return v;
}

TEST(blockdenoiseIsa, EveryInstructionSetGivesThePortableBits) {
  struct Case {
    Extents e;
    int32_t search, patch;
    float sigma, smoothing;
    bool rician;
    Fill fill;
  };
  const Case cases[] = {
      {{37, 9, 8}, 3, 1, 10.0f, 1.0f, true, Fill::noise},  // usual settings
      {{37, 9, 8}, 3, 1, 10.0f, 1.0f, false, Fill::structured},
      {{29, 11, 7}, 2, 2, 12.0f, 0.8f, true, Fill::structured},  // wider patch
      {{23, 6, 6}, 2, 0, 8.0f, 1.0f, false, Fill::noise},        // one-voxel patches
      {{19, 7, 9}, 4, 1, 10.0f, 1.0f, false, Fill::special},     // NaN and infinities
      {{19, 7, 9}, 4, 1, 10.0f, 1.0f, true, Fill::special},
      {{7, 9, 8}, 2, 1, 10.0f, 1.0f, false, Fill::noise},        // lines shorter than a vector
      {{12, 5, 5}, 40, 1, 10.0f, 1.0f, true, Fill::structured},  // window wider than the volume
      {{17, 6, 5}, 2, 1, 0.0f, 1.0f, false, Fill::structured},   // zero denominator
      {{40, 4, 3}, 9, 3, 10.0f, 1.0f, false, Fill::noise},       // patch radius the extent
      // Volumes with lines whose window and blocks stay inside, where the vector search sums
      // the blocks of whole chunks after weighing them; chunk edges fall on either side of the
      // inside range.
      {{29, 13, 12}, 3, 1, 10.0f, 1.0f, true, Fill::structured},
      {{35, 12, 11}, 3, 1, 10.0f, 1.0f, false, Fill::noise},
      {{30, 12, 12}, 2, 2, 12.0f, 0.8f, true, Fill::noise},
      {{27, 9, 9}, 1, 3, 10.0f, 1.0f, false, Fill::structured},
      {{26, 11, 11}, 1, 4, 10.0f, 1.0f, true, Fill::noise},
      {{33, 13, 13}, 5, 1, 10.0f, 1.0f, true, Fill::noise},
      {{25, 11, 12}, 3, 1, 10.0f, 1.0f, false, Fill::special},  // non-finite values: no deferral
      {{25, 11, 12}, 3, 1, 10.0f, 1.0f, true, Fill::huge},      // squares overflow
  };
  const Isa portable = Isa::portable;
  for (const Case& c : cases) {
    Params p;
    p.search_radius = c.search;
    p.patch_radius = c.patch;
    p.sigma = c.sigma;
    p.smoothing = c.smoothing;
    p.rician = c.rician;
    const std::vector<float> v = make(c.e, c.fill, 7);
    std::vector<float> want(v.size(), -1.0f);
    ASSERT_EQ(filter_with(portable, v.data(), c.e, p, want.data()), Status::ok);
    for (Isa isa : supported_isas()) {
      std::vector<float> got(v.size(), -2.0f);
      ASSERT_EQ(filter_with(isa, v.data(), c.e, p, got.data()), Status::ok);
      const std::string what = std::string(isa_name(isa)) + " " + std::to_string(c.e.d0) + "x" +
                               std::to_string(c.e.d1) + "x" + std::to_string(c.e.d2) +
                               " R=" + std::to_string(c.search) + " p=" + std::to_string(c.patch);
      EXPECT_EQ(std::memcmp(got.data(), want.data(), v.size() * sizeof(float)), 0) << what;
    }
    // The filtering did something, so the comparison is not one of two copies of the input.
    EXPECT_NE(std::memcmp(want.data(), v.data(), v.size() * sizeof(float)), 0);
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise
