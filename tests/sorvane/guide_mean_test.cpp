#include "sorvane/guide_mean.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace volnlm::sorvane {
namespace {

TEST(sorvaneGuideLocalMean, LineShowsBothBorderRules) {
  // Low border: -1 maps to 1 (0 + 1 + 1 = 2); high border: 4 maps to 3 (18 + 2 + 3 = 23).
  const std::vector<double> guide{0, 1, 2, 3};
  std::vector<double> mean(4, -1.0);
  guide_local_mean(guide.data(), mean.data(), 4, 1, 1);
  EXPECT_EQ(mean, (std::vector<double>{0.25, 1.0, 2.0, 2.875}));
}

TEST(sorvaneGuideLocalMean, ConstantGuideStaysConstant) {
  const std::vector<double> guide(3 * 4 * 2, 5.0);
  std::vector<double> mean(guide.size(), 0.0);
  guide_local_mean(guide.data(), mean.data(), 3, 4, 2);
  for (double m : mean) EXPECT_EQ(m, 5.0);
}

TEST(sorvaneGuideLocalMean, AxesOfExtentTwoAndOne) {
  // Values a = 1, b = 9 along an axis of extent 2, the other two of extent 1. At coordinate 0
  // both neighbours on that axis are b: (6a + 2b) / 8 = 3. At 1 the low neighbour is a and
  // the high one maps back to b itself: (a + 7b) / 8 = 8. Every other neighbour is the voxel.
  const int32_t shapes[3][3] = {{2, 1, 1}, {1, 2, 1}, {1, 1, 2}};
  for (const auto& s : shapes) {
    SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << "x" << s[2]);
    const std::vector<double> guide{1, 9};
    std::vector<double> mean(2, 0.0);
    guide_local_mean(guide.data(), mean.data(), s[0], s[1], s[2]);
    EXPECT_EQ(mean, (std::vector<double>{3, 8}));
  }
}

TEST(sorvaneGuideLocalMean, InteriorVoxelAveragesItselfTwiceAndSixFaces) {
  // 3x3x3 with guide value = linear index: the centre (13) sees 12, 10, 4 below and 14, 16, 22
  // above, so (13 + 13 + 12 + 10 + 4 + 14 + 16 + 22) / 8 = 13; a corner shows the mixed rule.
  std::vector<double> guide(27);
  for (int i = 0; i < 27; ++i) guide[i] = i;
  std::vector<double> mean(27, 0.0);
  guide_local_mean(guide.data(), mean.data(), 3, 3, 3);
  EXPECT_EQ(mean[13], 13.0);
  // Corner 0: own 0 twice, low neighbours mirror to 1, 3, 9, high neighbours are 1, 3, 9.
  EXPECT_EQ(mean[0], (2 * (1 + 3 + 9)) / 8.0);
  // Corner 26: own 26 twice, low neighbours 25, 23, 17, high neighbours map to 26 itself.
  EXPECT_EQ(mean[26], (5 * 26 + 25 + 23 + 17) / 8.0);
}

}  // namespace
}  // namespace volnlm::sorvane

namespace volnlm::sorvane {
namespace {

TEST(sorvaneGuideLocalMean, SlabBySlabGivesTheWholeVolumesBits) {
  // Slabs filled separately, in any order, read their neighbours across the slab borders and
  // give the bits of one pass over the volume.
  const struct {
    int32_t d0, d1, d2;
    std::vector<int32_t> cuts;  // slab borders along z, from 0 to d2
  } cases[] = {
      {5, 4, 6, {0, 1, 2, 3, 4, 5, 6}},  // slabs of one slice: both z borders at every slab
      {3, 3, 7, {0, 3, 7}},
      {1, 1, 4, {0, 2, 4}},  // lines of one voxel
      {6, 2, 1, {0, 1}},
  };
  for (const auto& c : cases) {
    const int32_t n = c.d0 * c.d1 * c.d2;
    std::vector<double> guide(n);
    for (int32_t i = 0; i < n; ++i) guide[i] = 0.37 * i * i - 3.1 * (i % 7) + 1e-3 * (i % 5);
    std::vector<double> whole(n, -1.0), slabs(n, -1.0);
    guide_local_mean(guide.data(), whole.data(), c.d0, c.d1, c.d2);
    for (size_t s = c.cuts.size() - 1; s > 0; --s) {  // last slab first
      guide_local_mean_slices(guide.data(), slabs.data(), c.d0, c.d1, c.d2, c.cuts[s - 1],
                              c.cuts[s]);
    }
    EXPECT_EQ(std::memcmp(whole.data(), slabs.data(), n * sizeof(double)), 0)
        << c.d0 << "x" << c.d1 << "x" << c.d2;
  }
}

}  // namespace
}  // namespace volnlm::sorvane

namespace volnlm::sorvane {
namespace {

// Any part of a line alone (the border voxels, the first and last interior ones, a single voxel,
// nothing) gets the bits of the whole volume, and no other element is written.
TEST(sorvaneGuideLocalMean, PartsOfALineGiveTheWholeVolumesBits) {
  struct Case {
    int32_t d0, d1, d2;
  };
  const Case cases[] = {{9, 5, 4}, {2, 3, 3}, {1, 4, 2}, {13, 1, 1}};
  for (const Case& c : cases) {
    const size_t n = static_cast<size_t>(c.d0) * c.d1 * c.d2;
    std::vector<double> guide(n), whole(n);
    for (size_t i = 0; i < n; ++i) guide[i] = 0.37 * static_cast<double>((i * 7919) % 101) - 3.0;
    guide_local_mean(guide.data(), whole.data(), c.d0, c.d1, c.d2);
    const int32_t spans[][2] = {
        {0, c.d0},           {0, 1}, {c.d0 - 1, c.d0}, {1, c.d0 - 1}, {c.d0 / 2, c.d0 / 2 + 1},
        {c.d0 / 2, c.d0 / 2}};
    for (int32_t z = 0; z < c.d2; ++z) {
      for (int32_t y = 0; y < c.d1; ++y) {
        for (const auto& span : spans) {
          const int32_t lo = std::max(0, span[0]), hi = std::max(lo, span[1]);
          std::vector<double> part(n, -1.0);
          guide_local_mean_line(guide.data(), part.data(), c.d0, c.d1, c.d2, y, z, lo, hi);
          for (int32_t x = 0; x < c.d0; ++x) {
            const size_t i = x + static_cast<size_t>(c.d0) * (y + static_cast<size_t>(c.d1) * z);
            const double want = x >= lo && x < hi ? whole[i] : -1.0;
            EXPECT_EQ(std::memcmp(&part[i], &want, sizeof want), 0)
                << c.d0 << "x" << c.d1 << "x" << c.d2 << " line " << y << "," << z << " span " << lo
                << ".." << hi << " x=" << x;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace volnlm::sorvane
