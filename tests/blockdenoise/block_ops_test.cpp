#include "blockdenoise/block_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
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

// finish_line against Average_block and Value_block called centre after centre: the same bits in
// every accumulator, sum and count, also where the sums already hold values of many magnitudes
// (so that another order of additions would show), at the borders of the volume, with blocks
// that reach the slices of neighbouring slabs, and with centres left out by a mask, also when
// only the span of the line that holds the centres is worked (the rest of the accumulator is
// then neither read nor written).
TEST(blockdenoiseFinishLine, SameBitsAsTheBlockOpsCentreAfterCentre) {
  struct Case {
    Extents e;
    int32_t y, z, p;
    int32_t first_slice, end_slice;  // the sink's slab
    bool rician, masked;
    int32_t span_lo = 0, span_hi = -1;  // centres only in span_lo .. span_hi - 1; -1: the line
  };
  const Case cases[] = {
      {{11, 6, 5}, 2, 2, 1, 0, 5, false, false},         // inside
      {{11, 6, 5}, 0, 0, 1, 0, 5, true, false},          // corner line: rows outside on y and z
      {{11, 6, 5}, 5, 4, 2, 0, 5, true, true},           // far corner, wider block, mask
      {{3, 4, 4}, 1, 1, 2, 0, 4, false, false},          // block wider than the line
      {{9, 5, 7}, 2, 3, 2, 3, 4, true, false},           // slab of one slice: both halos
      {{9, 5, 7}, 1, 2, 1, 2, 5, false, true},           // slab start: the slice before is a halo
      {{1, 1, 1}, 0, 0, 0, 0, 1, true, false},           // one voxel
      {{13, 3, 3}, 1, 1, 0, 0, 3, false, true},          // p = 0
      {{17, 6, 5}, 2, 2, 1, 0, 5, false, true, 3, 11},   // a span inside the line
      {{17, 6, 5}, 0, 4, 2, 0, 5, true, true, 0, 2},     // a span at the start, block past it
      {{17, 6, 5}, 5, 1, 2, 1, 4, false, true, 15, 17},  // a span at the end, halos
      {{9, 5, 7}, 2, 3, 1, 0, 7, true, true, 4, 5},      // a span of one centre
      {{9, 5, 7}, 2, 3, 1, 0, 7, true, true, 4, 4},      // an empty span
  };
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> decade(-3, 3);
  const auto value = [&] { return unit(rng) * std::pow(10.0f, static_cast<float>(decade(rng))); };
  for (const Case& c : cases) {
    const int32_t d0 = c.e.d0, d1 = c.e.d1, d2 = c.e.d2, p = c.p;
    const int32_t elements = block_elements(p);
    const size_t n = static_cast<size_t>(voxel_count(c.e)), plane = static_cast<size_t>(d0) * d1;
    std::vector<float> noisy(n), cw(d0), tw(d0), accum(static_cast<size_t>(elements) * d0);
    for (float& v : noisy) v = value();
    for (float& v : accum) v = value();
    std::vector<uint8_t> centres(d0, 1);
    for (int32_t x = 0; x < d0; ++x) {
      cw[x] = x % 4 == 0 ? 1.0f : unit(rng);
      tw[x] = cw[x] + 3.0f * unit(rng);
      if (c.masked) centres[x] = x % 3 != 1;
      if (c.span_hi >= 0 && (x < c.span_lo || x >= c.span_hi)) centres[x] = 0;
    }
    const int32_t x_lo = c.span_hi >= 0 ? c.span_lo : 0, x_hi = c.span_hi >= 0 ? c.span_hi : d0;
    const int32_t before_slices = std::min(p, c.first_slice);
    const int32_t after_slices = std::min(p, d2 - c.end_slice);
    // Two copies of every destination, filled alike.
    struct Out {
      std::vector<float> sum, count, before, after;
    };
    Out want{std::vector<float>(n), std::vector<float>(n),
             std::vector<float>(2 * before_slices * plane),
             std::vector<float>(2 * after_slices * plane)};
    for (std::vector<float>* v : {&want.sum, &want.before, &want.after})
      for (float& x : *v) x = value();
    for (size_t i = 0; i < n; ++i) want.count[i] = static_cast<float>(i % 5);
    Out got = want;
    const auto sink_of = [&](Out& o) {
      return EstimateSink{o.sum.data(),  o.count.data(),  c.first_slice,
                          c.end_slice,   o.before.data(), o.before.data() + before_slices * plane,
                          before_slices, o.after.data(),  o.after.data() + after_slices * plane,
                          after_slices};
    };
    const float bias = 0.3f;
    const EstimateSink want_sink = sink_of(want);
    std::vector<float> block(elements);
    std::vector<float> want_accum = accum;
    for (int32_t x = 0; x < d0; ++x) {
      if (c.masked && centres[x] == 0) continue;
      for (int32_t e = 0; e < elements; ++e) block[e] = want_accum[static_cast<size_t>(e) * d0 + x];
      Average_block(noisy.data(), x, c.y, c.z, p, block.data(), cw[x], d0, d1, d2, c.rician);
      Value_block(want_sink, x, c.y, c.z, p, tw[x], bias, block.data(), d0, d1, d2, c.rician);
      for (int32_t e = 0; e < elements; ++e) want_accum[static_cast<size_t>(e) * d0 + x] = block[e];
    }
    finish_line(sink_of(got), noisy.data(), c.y, c.z, p, cw.data(), tw.data(), bias, accum.data(),
                c.masked ? centres.data() : nullptr, d0, d1, d2, c.rician, x_lo, x_hi);
    const auto same = [](const std::vector<float>& a, const std::vector<float>& b) {
      return a.size() == b.size() &&
             (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
    };
    const std::string what = std::to_string(d0) + "x" + std::to_string(d1) + "x" +
                             std::to_string(d2) + " y=" + std::to_string(c.y) +
                             " z=" + std::to_string(c.z) + " p=" + std::to_string(p);
    EXPECT_TRUE(same(got.sum, want.sum)) << what;
    EXPECT_TRUE(same(got.count, want.count)) << what;
    EXPECT_TRUE(same(got.before, want.before)) << what;
    EXPECT_TRUE(same(got.after, want.after)) << what;
    for (int32_t x = 0; x < d0; ++x) {
      // Centres outside the span keep their accumulators untouched (want_accum left them so).
      if (c.masked && centres[x] == 0 && x >= x_lo && x < x_hi) continue;
      for (int32_t e = 0; e < elements; ++e) {
        const size_t i = static_cast<size_t>(e) * d0 + x;
        EXPECT_EQ(std::memcmp(&accum[i], &want_accum[i], sizeof(float)), 0) << what << " x=" << x;
      }
    }
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise
