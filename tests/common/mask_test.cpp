#include "common/mask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace volnlm {
namespace {

uint64_t next(uint64_t& state) {  // splitmix64
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The box dilation voxel by voxel, straight from its definition.
std::vector<uint8_t> brute_dilation(const std::vector<uint8_t>& in, const Extents& e,
                                    const int32_t lo[3], const int32_t hi[3]) {
  std::vector<uint8_t> out(in.size(), 0);
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        bool any = false;
        for (int32_t kz = lo[2]; kz <= hi[2] && !any; ++kz) {
          for (int32_t ky = lo[1]; ky <= hi[1] && !any; ++ky) {
            for (int32_t kx = lo[0]; kx <= hi[0] && !any; ++kx) {
              const int32_t u = x + kx, v = y + ky, w = z + kz;
              if (u < 0 || u >= e.d0 || v < 0 || v >= e.d1 || w < 0 || w >= e.d2) continue;
              any = in[linear_index(u, v, w, e.d0, e.d1)] != 0;
            }
          }
        }
        out[linear_index(x, y, z, e.d0, e.d1)] = any ? 1 : 0;
      }
    }
  }
  return out;
}

TEST(MaskDilation, BoxesMatchTheDefinitionOnRandomMasks) {
  struct Case {
    Extents e;
    int32_t lo[3], hi[3];
    int density;  // one voxel in `density` is set
  };
  const Case cases[] = {
      {{9, 7, 6}, {-1, -1, -1}, {1, 1, 1}, 20},       {{9, 7, 6}, {-2, -2, -2}, {2, 2, 2}, 60},
      {{9, 7, 6}, {0, 0, 0}, {0, 0, 0}, 3},            // a 0/1 copy
      {{9, 7, 6}, {-3, -3, 1}, {3, 3, 3}, 40},         // slices ahead only
      {{9, 7, 6}, {-2, 1, 0}, {2, 2, 0}, 40},          // lines ahead within the slice
      {{9, 7, 6}, {1, 0, 0}, {3, 0, 0}, 10},           // voxels ahead within the line
      {{5, 4, 3}, {-20, -20, -20}, {20, 20, 20}, 30},  // boxes far larger than the volume
      {{5, 4, 3}, {7, 0, 0}, {9, 0, 0}, 2},            // a window wholly past the line
      {{1, 1, 8}, {-2, -2, -2}, {2, 2, 2}, 5},         // one column
      {{11, 1, 1}, {-1, 0, 0}, {4, 0, 0}, 6},          // one line, lopsided
      {{6, 6, 6}, {2, -1, -1}, {1, 1, 1}, 4},          // lo > hi: empty
  };
  uint64_t state = 7;
  for (const Case& c : cases) {
    const size_t n = static_cast<size_t>(voxel_count(c.e));
    for (int round = 0; round < 5; ++round) {
      std::vector<uint8_t> in(n);
      for (auto& v : in)
        v = next(state) % c.density == 0 ? static_cast<uint8_t>(1 + next(state) % 255) : 0;
      const std::vector<uint8_t> want = brute_dilation(in, c.e, c.lo, c.hi);
      std::vector<uint8_t> got(n, 77);
      dilate_box(in.data(), c.e, c.lo, c.hi, got.data());
      EXPECT_EQ(got, want) << "extents " << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " box x "
                           << c.lo[0] << ".." << c.hi[0] << " round " << round;
      std::vector<uint8_t> in_place = in;  // the output may be the input
      dilate_box(in_place.data(), c.e, c.lo, c.hi, in_place.data());
      EXPECT_EQ(in_place, want);
    }
  }
}

TEST(MaskDilation, CubeOfRadiusReachesExactlyThatFar) {
  const Extents e{15, 13, 11};
  std::vector<uint8_t> in(static_cast<size_t>(voxel_count(e)), 0);
  in[linear_index(7, 6, 5, e.d0, e.d1)] = 1;
  std::vector<uint8_t> out(in.size());
  dilate(in.data(), e, 3, out.data());
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        const int32_t d = std::max({std::abs(x - 7), std::abs(y - 6), std::abs(z - 5)});
        EXPECT_EQ(out[linear_index(x, y, z, e.d0, e.d1)], d <= 3 ? 1 : 0);
      }
    }
  }
  EXPECT_EQ(mask_count(out.data(), static_cast<int64_t>(out.size())), 7 * 7 * 7);
}

}  // namespace
}  // namespace volnlm

namespace volnlm {
namespace {

// nonzero_span and widened_spans against their definitions: the tightest span of a line's
// nonzero bytes, and per line the smallest span holding every nonzero voxel of the lines within
// the radius along y and z, widened by the radius and kept in the line. Sparse and dense random
// masks, empty lines, radii 0 to past the volume, and a negative radius (taken as 0).
TEST(MaskSpans, SpansMatchTheirDefinitionOnRandomMasks) {
  EXPECT_EQ(nonzero_span(nullptr, 0).lo, 0);
  const uint8_t none[4] = {0, 0, 0, 0}, ends[5] = {3, 0, 0, 0, 1}, mid[5] = {0, 0, 9, 0, 0};
  EXPECT_TRUE(nonzero_span(none, 4).lo == 4 && nonzero_span(none, 4).hi == 4);
  EXPECT_TRUE(nonzero_span(ends, 5).lo == 0 && nonzero_span(ends, 5).hi == 5);
  EXPECT_TRUE(nonzero_span(mid, 5).lo == 2 && nonzero_span(mid, 5).hi == 3);
  struct Case {
    Extents e;
    int32_t radius;
    int density;  // one voxel in `density` is set
  };
  const Case cases[] = {{{9, 7, 6}, 0, 20}, {{9, 7, 6}, 1, 40},  {{12, 5, 8}, 2, 150},
                        {{7, 9, 5}, 3, 8},  {{6, 4, 3}, 30, 30}, {{10, 6, 7}, -2, 25}};
  uint64_t state = 17;
  for (const Case& c : cases) {
    const Extents& e = c.e;
    std::vector<uint8_t> m(static_cast<size_t>(voxel_count(e)));
    for (uint8_t& v : m) v = next(state) % c.density == 0 ? 1 : 0;
    std::vector<Span> spans(static_cast<size_t>(e.d1) * e.d2);
    for (size_t line = 0; line < spans.size(); ++line)
      spans[line] = nonzero_span(m.data() + line * e.d0, e.d0);
    const std::vector<Span> wide = widened_spans(spans, e.d0, e.d1, e.d2, c.radius);
    const int32_t r = std::max(c.radius, 0);
    for (int32_t z = 0; z < e.d2; ++z) {
      for (int32_t y = 0; y < e.d1; ++y) {
        int32_t lo = e.d0, hi = -1;
        for (int32_t w = std::max(0, z - r); w <= std::min(e.d2 - 1, z + r); ++w)
          for (int32_t v = std::max(0, y - r); v <= std::min(e.d1 - 1, y + r); ++v)
            for (int32_t x = 0; x < e.d0; ++x)
              if (m[linear_index(x, v, w, e.d0, e.d1)] != 0) {
                lo = std::min(lo, x);
                hi = std::max(hi, x);
              }
        const Span got = wide[static_cast<size_t>(z) * e.d1 + y];
        if (hi < 0) {
          EXPECT_GE(got.lo, got.hi) << "line " << y << "," << z << " should be empty";
        } else {
          EXPECT_EQ(got.lo, std::max(0, lo - r)) << "line " << y << "," << z << " r=" << r;
          EXPECT_EQ(got.hi, std::min(e.d0, hi + 1 + r)) << "line " << y << "," << z << " r=" << r;
        }
      }
    }
  }
}

}  // namespace
}  // namespace volnlm
