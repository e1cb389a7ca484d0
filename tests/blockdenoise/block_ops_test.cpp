#include "blockdenoise/block_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/volume.h"
#include "reference.h"

namespace volnlm::blockdenoise {
namespace {

TEST(blockdenoiseDistance, MirrorsCoordinatesAtBothBorders) {
  // A line, so that the y and z offsets of a patch all land on it (9 copies of each x).
  const std::vector<float> v = {0, 1, 3, 7, 15};
  const float* n = v.data();
  struct Case {
    int32_t x, cx, p;
    float want;
  };
  const Case cases[] = {
      // x = 0 reads 1, 0, 1 against 1, 3, 7: squared differences 0 + 9 + 36.
      {0, 2, 1, 9.0f * 45.0f / 27.0f},
      // x = 4 reads 7, 15, 15 against 1, 3, 7: 36 + 144 + 64.
      {4, 2, 1, 9.0f * 244.0f / 27.0f},
      {1, 3, 0, 36.0f},  // p = 0: one squared difference
      {2, 2, 1, 0.0f},   // identical patches
      {0, 4, -1, 0.0f},  // no patch at all
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reference::distance(n, c.x, 0, 0, c.cx, 0, 0, c.p, Extents{5, 1, 1}), c.want)
        << c.x << " " << c.cx;
  }
}

// Value_block into whole-volume arrays: a sink whose slab is the whole volume.
void Value_block(float* estimate_sum, float* estimate_count, int32_t x, int32_t y, int32_t z,
                 int32_t p, float total_weight, float rician_bias, const float* block_accum,
                 int32_t d0, int32_t d1, int32_t d2, bool rician) {
  EstimateSink sink;
  sink.sum = estimate_sum;
  sink.count = estimate_count;
  sink.end_slice = d2;
  blockdenoise::Value_block(sink, x, y, z, p, total_weight, rician_bias, block_accum, d0, d1, d2,
                            rician);
}

// A 3x3x3 volume with distinct values i + 1; the corner (0, 0, 0) holds 1.
std::vector<float> cube() {
  std::vector<float> v(27);
  for (int i = 0; i < 27; ++i) v[i] = static_cast<float>(i + 1);
  return v;
}

TEST(blockdenoiseAverageBlock, CornerBlockFillsOutsideOffsetsWithTheCentreValue) {
  const std::vector<float> v = cube();
  for (bool rician : {false, true}) {
    std::vector<float> accum(27, 1.0f);  // adds on top of what is there
    Average_block(v.data(), 0, 0, 0, 1, accum.data(), 0.5f, 3, 3, 3, rician);
    int inside = 0;
    for (int dz = -1; dz <= 1; ++dz)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const bool in = dx >= 0 && dy >= 0 && dz >= 0;
          const float value = in ? v[linear_index(dx, dy, dz, 3, 3)] : 1.0f;
          const float term = rician ? value * value * 0.5f : 0.5f * value;
          EXPECT_EQ(accum[(dz + 1) * 9 + (dy + 1) * 3 + (dx + 1)], 1.0f + term);
          inside += in;
        }
    EXPECT_EQ(inside, 8);
  }
}

TEST(blockdenoiseValueBlock, CornerWritesEightVoxelsAndRicianZeroStillCounts) {
  // Block values 2 * e over a total weight of 2, so the estimate of element e is e.
  std::vector<float> accum(27);
  for (int e = 0; e < 27; ++e) accum[e] = 2.0f * e;
  for (bool rician : {false, true}) {
    std::vector<float> sum(27, 0.0f), count(27, 0.0f);
    Value_block(sum.data(), count.data(), 0, 0, 0, 1, 2.0f, 20.0f, accum.data(), 3, 3, 3, rician);
    float written = 0;
    for (int z = 0; z < 3; ++z)
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) {
          const int u = linear_index(x, y, z, 3, 3);
          const bool in = x <= 1 && y <= 1 && z <= 1;
          const float e = static_cast<float>((z + 1) * 9 + (y + 1) * 3 + (x + 1));
          // Rician: sqrt(e - 20), or 0 where e <= 20 (which still counts).
          const float want = !in ? 0.0f : !rician ? e : e > 20.0f ? std::sqrt(e - 20.0f) : 0.0f;
          EXPECT_EQ(sum[u], want) << x << y << z << " rician " << rician;
          EXPECT_EQ(count[u], in ? 1.0f : 0.0f) << x << y << z;
          written += count[u];
        }
    EXPECT_EQ(written, 8.0f);
  }
}

TEST(blockdenoiseValueBlock, SinkRoutesSlicesOutsideTheSlabToItsBuffers) {
  // Volume 2x1x5, slab [2, 3); the block of p = 2 reaches slices 0..4.
  std::vector<float> sum(10, 0), count(10, 0), before(4 * 2, 0), after(4 * 2, 0);
  EstimateSink sink{sum.data(),   count.data(),     2, 3, before.data(), before.data() + 4, 2,
                    after.data(), after.data() + 4, 2};
  std::vector<float> accum(125, 3.0f);
  Value_block(sink, 0, 0, 2, 2, 1.0f, 0.0f, accum.data(), 2, 1, 5, false);
  EXPECT_EQ(sum, (std::vector<float>{0, 0, 0, 0, 3, 3, 0, 0, 0, 0}));
  EXPECT_EQ(count, (std::vector<float>{0, 0, 0, 0, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(before, (std::vector<float>{3, 3, 3, 3, 1, 1, 1, 1}));
  EXPECT_EQ(after, (std::vector<float>{3, 3, 3, 3, 1, 1, 1, 1}));
}

TEST(blockdenoiseBlockOps, NegativePatchRadiusChangesNothing) {
  const std::vector<float> v = cube();
  std::vector<float> accum(1, 4.0f), sum(27, 0.0f), count(27, 0.0f);
  Average_block(v.data(), 1, 1, 1, -1, accum.data(), 1.0f, 3, 3, 3, false);
  Value_block(sum.data(), count.data(), 1, 1, 1, -1, 1.0f, 0.0f, accum.data(), 3, 3, 3, false);
  EXPECT_EQ(accum[0], 4.0f);
  EXPECT_EQ(sum, std::vector<float>(27, 0.0f));
  EXPECT_EQ(count, std::vector<float>(27, 0.0f));
  EXPECT_EQ(block_elements(-1), 0);
  EXPECT_EQ(block_elements(0), 1);
  EXPECT_EQ(block_elements(644), 1289 * 1289 * 1289);
}

}  // namespace
}  // namespace volnlm::blockdenoise
