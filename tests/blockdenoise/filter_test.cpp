#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "blockdenoise/filter_isa.h"
#include "blockdenoise/worker.h"
#include "common/isa.h"
#include "common/slabs.h"
#include "common/volume.h"

namespace volnlm::blockdenoise {
namespace {

Params params(int32_t search, int32_t patch, float sigma = 5, float smoothing = 1,
              bool rician = false) {
  Params p;
  p.search_radius = search;
  p.patch_radius = patch;
  p.sigma = sigma;
  p.smoothing = smoothing;
  p.rician = rician;
  return p;
}

// Values in [30, 70) with a dark corner of zeros, so that both threshold paths are taken.
std::vector<float> random_volume(const Extents& e, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(30.0f, 70.0f);
  std::vector<float> v(static_cast<size_t>(voxel_count(e)));
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x)
        v[linear_index(x, y, z, e.d0, e.d1)] = (x < 3 && y < 3 && z < 3) ? 0.0f : dist(rng);
  return v;
}

std::vector<float> run(const std::vector<float>& v, const Extents& e, const Params& p) {
  std::vector<float> out(v.size(), -1.0f);
  EXPECT_EQ(filter(v.data(), e, p, out.data()), Status::ok);
  return out;
}

// The filter with every centre searching alone (no weights shared by pairs of centres).
std::vector<float> run_alone(const std::vector<float>& v, const Extents& e, const Params& p) {
  std::vector<float> out(v.size(), -1.0f);
  EXPECT_EQ(filter_with(best_isa(), v.data(), e, p, out.data(), false), Status::ok);
  return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The filter written as one plain loop over the whole volume, adding every block estimate in
// place in centre order. Only for small radii: it walks the whole search window.
struct Reference {
  std::vector<float> out, count;
};

Reference reference(const std::vector<float>& v, const Extents& e, const Params& prm) {
  const int32_t d0 = e.d0, d1 = e.d1, d2 = e.d2, p = prm.patch_radius, R = prm.search_radius;
  const int32_t n = voxel_count(e), side = 2 * p + 1;
  const auto at = [&](int32_t x, int32_t y, int32_t z) { return linear_index(x, y, z, d0, d1); };
  const auto inside = [&](int32_t x, int32_t y, int32_t z) {
    return x >= 0 && x < d0 && y >= 0 && y < d1 && z >= 0 && z < d2;
  };
  const auto mir = [&](int32_t x, int32_t y, int32_t z) {
    return v[at(mirror_index(x, d0), mirror_index(y, d1), mirror_index(z, d2))];
  };
  std::vector<float> mean(n), var(n), sum(n, 0.0f), count(n, 0.0f);
  float max = 0;
  for (float x : v) max = x > max ? x : max;
  for (int32_t z = 0; z < d2; ++z)
    for (int32_t y = 0; y < d1; ++y)
      for (int32_t x = 0; x < d0; ++x) {
        float s = 0;
        for (int a = -1; a <= 1; ++a)
          for (int b = -1; b <= 1; ++b)
            for (int c = -1; c <= 1; ++c) s += mir(x + b, y + a, z + c);
        mean[at(x, y, z)] = s / 27;
      }
  for (int32_t z = 0; z < d2; ++z)
    for (int32_t y = 0; y < d1; ++y)
      for (int32_t x = 0; x < d0; ++x) {
        float s = 0;
        int k = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            for (int dz = -1; dz <= 1; ++dz)
              if (inside(x + dx, y + dy, z + dz)) {
                const float d = v[at(x + dx, y + dy, z + dz)] - mean[at(x, y, z)];
                s += d * d;
                ++k;
              }
        var[at(x, y, z)] = s / static_cast<float>(k - 1);
      }
  const float den = (prm.sigma * prm.smoothing) * prm.sigma;
  const float bias = prm.sigma * (prm.sigma + prm.sigma);
  const auto band = [](float r) { return r > 0.95f && r < 1.0526316f; };
  std::vector<float> acc(p >= 0 ? side * side * side : 0);
  const auto add_block = [&](int32_t x, int32_t y, int32_t z, float w) {
    int i = 0;
    for (int dz = -p; dz <= p; ++dz)
      for (int dy = -p; dy <= p; ++dy)
        for (int dx = -p; dx <= p; ++dx, ++i) {
          const float u =
              inside(x + dx, y + dy, z + dz) ? v[at(x + dx, y + dy, z + dz)] : v[at(x, y, z)];
          acc[i] += prm.rician ? u * u * w : w * u;
        }
  };
  for (int32_t z = 0; z < d2 && p >= 0; ++z)
    for (int32_t y = 0; y < d1; ++y)
      for (int32_t x = 0; x < d0; ++x) {
        std::fill(acc.begin(), acc.end(), 0.0f);
        const float mc = mean[at(x, y, z)], vc = var[at(x, y, z)];
        float cw = 1, tw = 1;
        if (mc > 1e-5f && vc > 1e-5f && R >= 0) {
          cw = tw = 0;
          for (int dz = -R; dz <= R; ++dz)
            for (int dy = -R; dy <= R; ++dy)
              for (int dx = -R; dx <= R; ++dx) {
                const int32_t nx = x + dx, ny = y + dy, nz = z + dz;
                if ((dx == 0 && dy == 0 && dz == 0) || !inside(nx, ny, nz)) continue;
                const float mn = mean[at(nx, ny, nz)], vn = var[at(nx, ny, nz)];
                if (!(mn > 1e-5f && vn > 1e-5f)) continue;
                if (!band(mc / mn) &&
                    !(band((max - mc) / (max - mn)) && vc / vn > 0.5f && vc / vn < 2.0f))
                  continue;
                // The patch's squares summed as the filter sums them: along each row, then
                // the rows of one line over the slices, then the lines.
                float d = 0;
                for (int b = -p; b <= p; ++b) {
                  float line = 0;
                  for (int a = -p; a <= p; ++a) {
                    float row = 0;
                    for (int c = -p; c <= p; ++c) {
                      const float diff = mir(x + c, y + b, z + a) - mir(nx + c, ny + b, nz + a);
                      row += diff * diff;
                    }
                    line += row;
                  }
                  d += line;
                }
                d /= static_cast<float>(side * side * side);
                const float w = candidate_weight(d, den);  // tested on its own against exp
                cw = std::max(cw, w);
                add_block(nx, ny, nz, w);
                tw += w;
              }
          if (cw == 0) {
            cw = 1;
            tw += 1;
          } else {
            tw += cw;
          }
        }
        add_block(x, y, z, cw);
        int i = 0;
        for (int dz = -p; dz <= p; ++dz)
          for (int dy = -p; dy <= p; ++dy)
            for (int dx = -p; dx <= p; ++dx, ++i) {
              if (!inside(x + dx, y + dy, z + dz)) continue;
              const float t = acc[i] / tw - (prm.rician ? bias : 0.0f);
              const float value = !prm.rician ? acc[i] / tw : t > 0 ? std::sqrt(t) : 0.0f;
              sum[at(x + dx, y + dy, z + dz)] += value;
              count[at(x + dx, y + dy, z + dz)] += 1;
            }
      }
  Reference r{std::vector<float>(n), count};
  for (int32_t i = 0; i < n; ++i) r.out[i] = count[i] != 0 ? sum[i] / count[i] : v[i];
  return r;
}

TEST(blockdenoiseFilter, MatchesTheBruteForceLoop) {
  struct Case {
    Extents e;
    Params p;
  };
  const Case cases[] = {
      {{9, 8, 12}, params(1, 1)},                 // 8 slabs of 1 or 2 slices
      {{9, 8, 12}, params(2, 2, 6, 1.5f, true)},  // 6 slabs of 2, Rician
      {{7, 6, 8}, params(1, 3, 5, 0.7f)},         // slabs of 1 slice, thinner than p
      {{8, 7, 12}, params(6, 1, 4, 1, true)},     // 2 slabs
      {{8, 7, 6}, params(7, 2, 8)},               // window wider than the volume, 1 slab
      {{5, 5, 9}, params(1, 0, 5)},               // p = 0: no halos
      // Lines whose window and blocks stay inside along y and z, where whole lines are weighed
      // first and their blocks summed afterwards; the chunks at the ends of a line have blocks
      // leaving the volume along x, and when d0 is not a multiple of eight the last chunk
      // overlaps the one before it.
      {{27, 9, 10}, params(2, 1, 6, 1, true)},
      {{29, 11, 11}, params(2, 2, 6, 1.5f, true)},
      {{30, 11, 10}, params(2, 2, 5, 1, false)},
      {{19, 6, 6}, params(2, 0, 5, 1, true)},
      {{24, 9, 9}, params(3, 1, 5)},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    const std::vector<float> v = random_volume(c.e, seed++);
    const int32_t n = voxel_count(c.e), plane = c.e.d0 * c.e.d1, p = c.p.patch_radius;
    std::vector<float> out(n), scratch(4 * n);
    ASSERT_EQ(
        filter(v.data(), c.e, c.p,
               Buffers{out.data(), &scratch[0], &scratch[n], &scratch[2 * n], &scratch[3 * n]}),
        Status::ok);
    const Reference ref = reference(v, c.e, c.p);
    // Slices within p of a slab border add the neighbouring slabs' estimates in another order,
    // so their sums may differ in the last bits: a sum of at most (2p + 1)^3 positive terms
    // reordered moves by less than (2p + 1)^3 float epsilons relative. Elsewhere the order is
    // the same and the bits must be too.
    const int32_t workers = c.p.search_radius > 0 ? clamp_workers(c.e.d2 / c.p.search_radius) : 1;
    std::vector<bool> near_border(c.e.d2, false);
    for (int32_t t = 1; t < workers; ++t) {
      const int32_t b = slab_of(c.e.d2, t, workers).first_slice;
      for (int32_t z = std::max(0, b - p); z < std::min(c.e.d2, b + p); ++z) near_border[z] = true;
    }
    for (int32_t i = 0; i < n; ++i) {
      ASSERT_EQ(scratch[3 * n + i], ref.count[i]) << "count at " << i;
      if (near_border[i / plane]) {
        EXPECT_NEAR(out[i], ref.out[i],
                    1.2e-7f * (2 * p + 1) * (2 * p + 1) * (2 * p + 1) * std::abs(ref.out[i]))
            << "voxel " << i;
      } else {
        EXPECT_EQ(out[i], ref.out[i]) << "voxel " << i;
      }
    }
  }
}

TEST(blockdenoiseFilter, SameBitsOnEveryRunAndForAnyHugeRadius) {
  const Extents e{9, 8, 16};
  const std::vector<float> v = random_volume(e, 42);
  const std::vector<float> first = run(v, e, params(2, 3, 6, 1, true));  // 8 slabs of 2 slices
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(same_bits(run(v, e, params(2, 3, 6, 1, true)), first));
  // A window far wider than the volume visits only what lies inside it.
  const Extents small{6, 5, 4};
  const std::vector<float> w = random_volume(small, 43);
  EXPECT_TRUE(same_bits(run(w, small, params(1000000000, 1)), run(w, small, params(6, 1))));
  EXPECT_TRUE(same_bits(run(w, small, params(INT32_MAX, 1, 5, 1, true)),
                        run(w, small, params(6, 1, 5, 1, true))));
}

TEST(blockdenoiseFilter, NoBlocksOrNoCandidatesGiveTheInputBack) {
  const Extents e{6, 5, 7};
  std::vector<float> ints(voxel_count(e));
  for (size_t i = 0; i < ints.size(); ++i) ints[i] = static_cast<float>((i * 7) % 13);
  const std::vector<float> v = random_volume(e, 5);
  for (int32_t patch : {-1, -7, INT32_MIN}) {
    EXPECT_TRUE(same_bits(run(v, e, params(2, patch)), v)) << patch;  // every count stays 0
  }
  // Each estimate is the voxel's own value; small integers survive the averaging exactly.
  EXPECT_EQ(run(ints, e, params(-1, 1)), ints);
  EXPECT_EQ(run(ints, e, params(0, 2)), ints);
  EXPECT_TRUE(same_bits(run(v, e, params(0, 1, 5, 1, true)), run(v, e, params(-3, 1, 5, 1, true))));
}

TEST(blockdenoiseFilter, ZeroDenominatorGivesOwnValuesNotNaN) {
  // No two patches of a random volume are identical, so with sigma 0 every candidate weighs 0.
  const Extents e{6, 5, 4};
  const std::vector<float> v = random_volume(e, 9);
  const std::vector<float> out = run(v, e, params(2, 1, 0, 1));
  for (size_t i = 0; i < v.size(); ++i) EXPECT_FLOAT_EQ(out[i], v[i]) << i;
}

TEST(blockdenoiseFilter, TinyVolumesAndProgress) {
  // One voxel: a NaN variance (value 3) or an infinite one (0.1) both leave the voxel's own
  // block: its value, or in Rician mode sqrt(v^2 - 2 sigma^2) where that is positive.
  for (float value : {3.0f, 0.1f}) {
    EXPECT_EQ(run({value}, Extents{1, 1, 1}, params(1, 1)), std::vector<float>{value});
    const float t = value * value - 2.0f;
    EXPECT_EQ(run({value}, Extents{1, 1, 1}, params(1, 1, 1, 1, true))[0],
              t > 0 ? std::sqrt(t) : 0.0f);
  }
  EXPECT_EQ(filter(nullptr, Extents{0, 5, 5}, params(1, 1), nullptr), Status::ok);
  const Extents e{4, 4, 10};
  const std::vector<float> v = random_volume(e, 3);
  std::atomic<int32_t> slices{0};
  Params p = params(1, 1);
  p.slices_done = &slices;
  std::vector<float> out(v.size());
  ASSERT_EQ(filter(v.data(), e, p, out.data()), Status::ok);
  EXPECT_EQ(slices.load(), 10);
}

TEST(blockdenoiseCheckParams, RejectsWhatTheFilterCannotServe) {
  struct Case {
    Extents e;
    Params p;
    const char* reason;
    const char* in_message;
  };
  Params nan_sigma = params(1, 1, NAN), inf_smoothing = params(1, 1, 1, -INFINITY);
  const Case cases[] = {
      {{4, 5, 6}, params(1, 4), nullptr, nullptr},
      {{4, 5, 6}, params(1, 5), "patchRadius", "works is 4 "},
      {{4, 5, 6}, params(1, -5), nullptr, nullptr},
      {{4, 5, 6}, params(1, INT32_MIN), nullptr, nullptr},
      {{0, 5, 6}, params(1, 3), nullptr, nullptr},  // empty: nothing to read
      {{1000, 1000, 1000}, params(1, 644), nullptr, nullptr},
      {{1000, 1000, 1000}, params(1, 645), "patchRadius", "works is 644 "},
      {{4, 5, 6}, params(1, 1, INFINITY), "sigma", nullptr},
      {{4, 5, 6}, nan_sigma, "sigma", nullptr},
      {{4, 5, 6}, inf_smoothing, "smoothing", nullptr},
      {{4, 5, 6}, params(1, 1, 1, NAN), "smoothing", nullptr},
      {{4, 5, 6}, params(1, 1, 1, -0.5f), "smoothing", nullptr},
      {{4, 5, 6}, params(1, 1, 1, -0.0f), nullptr, nullptr},
      {{4, 5, 6}, params(1, 1, -3, 0), nullptr, nullptr},
      {{65536, 65536, 1}, params(1, 1), "noisy", nullptr},
  };
  for (const Case& c : cases) {
    const std::optional<ArgError> error = check_params(c.e, c.p);
    if (!c.reason) {
      EXPECT_FALSE(error) << error->message;
      continue;
    }
    ASSERT_TRUE(error) << c.reason;
    EXPECT_EQ(error->reason, c.reason);
    if (c.in_message) {
      EXPECT_NE(error->message.find(c.in_message), std::string::npos) << error->message;
    }
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise

namespace volnlm::blockdenoise {
namespace {

TEST(blockdenoiseFilter, SameBitsForEveryThreadCount) {
  // Slab counts from 1 to 8 (fewer slabs than threads included), both modes, with and without
  // the vector search's deferred blocks and the plane cache.
  struct Case {
    Extents e;
    Params p;
  };
  const Case cases[] = {
      {{7, 6, 1}, params(1, 1)},
      {{9, 8, 3}, params(1, 1, 6, 1, true)},
      {{10, 9, 5}, params(2, 1, 6, 2)},
      {{17, 12, 20}, params(2, 1, 6, 1, true)},
      {{16, 11, 24}, params(3, 2, 8, 1)},
      {{12, 10, 9}, params(1, 0, 4, 1, true)},
      {{24, 9, 31}, params(4, 1, 7, 0.5f, true)},
      // Large enough for the threads to share the passes over the whole volume.
      {{64, 48, 44}, params(2, 1, 6, 1, true)},
      {{61, 47, 46}, params(1, 2, 6, 1)},
  };
  static_assert(61 * 47 * 46 >= kSharedPassVoxels);
  for (const Case& c : cases) {
    const std::vector<float> v = random_volume(c.e, 77 + c.e.d2);
    Params one = c.p;
    one.threads = 1;
    const std::vector<float> expected = run(v, c.e, one);
    for (int32_t threads : {2, 3, 8, 0}) {
      Params p = c.p;
      p.threads = threads;
      EXPECT_TRUE(same_bits(run(v, c.e, p), expected))
          << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " R=" << c.p.search_radius
          << " threads=" << threads;
    }
  }
}

// Pairs of centres share their weights; the call that has every centre search alone gives the
// same bits. The cases have several slabs (a slab's first slice cannot use the slice before it),
// whole slices and lines of zeros (lines none of whose centres search), a NaN voxel, a zero
// denominator, both modes and patch radii 0 to 2, on thread counts that leave some threads without
// a ring, and rings as deep as the radius or less deep.
TEST(blockdenoiseFilter, PairedWeightsGiveTheBitsOfCentresSearchingAlone) {
  struct Case {
    Extents e;
    Params p;
    bool zeros, nan;
  };
  const Case cases[] = {
      {{30, 14, 12}, params(3, 1, 6, 1, true), false, false},
      {{30, 14, 12}, params(3, 1, 6, 1, false), true, false},
      {{27, 12, 13}, params(2, 2, 8, 1, true), true, false},
      {{21, 9, 10}, params(1, 0, 5, 1, false), false, true},
      {{33, 15, 13}, params(5, 1, 6, 0.8f, true), true, false},
      {{20, 10, 9}, params(2, 1, 0, 1, false), false, false},  // zero denominator
      // Rings two slices deep of three on one thread, one deep on more.
      {{64, 64, 40}, params(3, 1, 6, 1, true), true, false},
  };
  for (const Case& c : cases) {
    std::vector<float> v = random_volume(c.e, 31 + c.e.d0);
    const int32_t plane = c.e.d0 * c.e.d1;
    if (c.zeros) {
      std::fill(v.begin() + 4 * plane, v.begin() + 6 * plane, 0.0f);  // two slices
      std::fill(v.begin() + 8 * plane + 2 * c.e.d0, v.begin() + 8 * plane + 5 * c.e.d0, 0.0f);
    }
    if (c.nan) v[v.size() / 2] = NAN;
    Params alone = c.p;
    alone.threads = 2;
    const std::vector<float> want = run_alone(v, c.e, alone);
    // A mask that keeps every voxel gives the same result by definition.
    const std::vector<uint8_t> everywhere(v.size(), 1);
    for (int32_t threads : {1, 2, 3}) {
      Params paired = c.p;
      paired.threads = threads;
      EXPECT_TRUE(same_bits(run(v, c.e, paired), want))
          << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " R=" << c.p.search_radius
          << " p=" << c.p.patch_radius << " threads=" << threads;
      paired.mask = everywhere.data();
      EXPECT_TRUE(same_bits(run(v, c.e, paired), want))
          << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " R=" << c.p.search_radius
          << " p=" << c.p.patch_radius << " threads=" << threads << " full mask";
    }
  }
}

// Masks of assorted shapes, each centre of a line worked only within the span of the line's
// centres and the pairs of centres sharing their weights where both search: inside the mask the
// bits of the unmasked call, outside it the input, and the whole result that of the call whose
// centres search alone; on lines long enough for the vector search's deferred blocks, several
// slabs, and 1, 2 and 8 threads.
enum class Shape { blob, single_voxels, touching_faces, thin_plane, every_other_line, half };

std::vector<uint8_t> shaped_mask(Shape shape, const Extents& e, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> m(static_cast<size_t>(voxel_count(e)), 0);
  const auto at = [&](int32_t x, int32_t y, int32_t z) -> uint8_t& {
    return m[linear_index(x, y, z, e.d0, e.d1)];
  };
  const auto below = [&](int32_t n) { return static_cast<int32_t>(rng() % n); };
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        const double dx = (x - 0.4 * e.d0) / (0.3 * e.d0), dy = (y - 0.5 * e.d1) / (0.35 * e.d1);
        const double dz = (z - 0.5 * e.d2) / (0.3 * e.d2);
        switch (shape) {
          case Shape::blob:
            at(x, y, z) = dx * dx + dy * dy + dz * dz <= 1.0 ? 7 : 0;
            break;
          case Shape::thin_plane:  // one voxel thick, thinner than the patch
            at(x, y, z) = y == e.d1 / 2 && x > 3 ? 1 : 0;
            break;
          case Shape::every_other_line:
            at(x, y, z) = (y + z) % 2 == 0 && x >= (y * 7 + z) % e.d0 ? 255 : 0;
            break;
          case Shape::half:
            at(x, y, z) = x >= e.d0 / 2 ? 1 : 0;
            break;
          default:
            break;
        }
      }
  if (shape == Shape::single_voxels) {
    for (int k = 0; k < 5; ++k) at(below(e.d0), below(e.d1), below(e.d2)) = 1;
  }
  if (shape == Shape::touching_faces) {
    at(0, below(e.d1), below(e.d2)) = 1;
    at(e.d0 - 1, below(e.d1), below(e.d2)) = 1;
    at(below(e.d0), 0, below(e.d2)) = 1;
    at(below(e.d0), e.d1 - 1, below(e.d2)) = 1;
    at(below(e.d0), below(e.d1), 0) = 1;
    at(below(e.d0), below(e.d1), e.d2 - 1) = 1;
  }
  return m;
}

TEST(blockdenoiseFilter, MaskedCentresShareTheirPairsWithTheUnmaskedBits) {
  struct Case {
    Extents e;
    Params p;
  };
  const Case cases[] = {
      {{53, 19, 17}, params(2, 1, 6, 1, true)},
      {{48, 17, 16}, params(3, 1, 6, 0.7f, false)},
      {{41, 13, 14}, params(1, 2, 8, 1, true)},
      {{45, 12, 13}, params(2, 0, 5, 1, false)},
  };
  const Shape shapes[] = {Shape::blob,       Shape::single_voxels,    Shape::touching_faces,
                          Shape::thin_plane, Shape::every_other_line, Shape::half};
  for (const Case& c : cases) {
    std::vector<float> v = random_volume(c.e, 5 + c.e.d0);
    // A slice of zeros: lines with centres none of which searches.
    const int32_t plane = c.e.d0 * c.e.d1;
    std::fill(v.begin() + 6 * plane, v.begin() + 7 * plane, 0.0f);
    Params whole = c.p;
    whole.threads = 2;
    const std::vector<float> unmasked = run(v, c.e, whole);
    for (Shape shape : shapes) {
      const std::vector<uint8_t> mask = shaped_mask(shape, c.e, 9 + static_cast<unsigned>(shape));
      Params masked = c.p;
      masked.mask = mask.data();
      masked.threads = 2;
      const std::vector<float> alone = run_alone(v, c.e, masked);
      int64_t breaks = 0;
      for (size_t i = 0; i < v.size(); ++i) {
        const float want = mask[i] != 0 ? unmasked[i] : v[i];
        breaks += std::memcmp(&alone[i], &want, sizeof(float)) != 0;
      }
      EXPECT_EQ(breaks, 0) << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " shape "
                           << static_cast<int>(shape) << " alone";
      for (int32_t threads : {1, 2, 8}) {
        masked.threads = threads;
        EXPECT_TRUE(same_bits(run(v, c.e, masked), alone))
            << c.e.d0 << "x" << c.e.d1 << "x" << c.e.d2 << " R=" << c.p.search_radius
            << " p=" << c.p.patch_radius << " shape " << static_cast<int>(shape)
            << " threads=" << threads;
      }
    }
  }
}

// Counts its polls and asks to stop on the `stop_at`-th.
struct StopAfter {
  int32_t calls = 0;
  int32_t stop_at = 0;
  static bool poll(void* self) {
    StopAfter& s = *static_cast<StopAfter*>(self);
    return ++s.calls >= s.stop_at;
  }
};

TEST(blockdenoiseFilter, AnInterruptStopsTheCallAndTheNextCallIsWhole) {
  const Extents e{40, 40, 40};
  const std::vector<float> v = random_volume(e, 5);
  const Params plain = params(3, 1, 6, 1, true);
  const std::vector<float> expected = run(v, e, plain);
  // The first two polls come between the driver's passes over the volume, the third before
  // the workers start, the fourth while they run.
  for (int32_t stop_at : {1, 2, 3, 4}) {
    StopAfter stop{0, stop_at};
    Params p = plain;
    p.interrupt = Interrupt{&StopAfter::poll, &stop};
    std::vector<float> out(v.size());
    EXPECT_EQ(filter(v.data(), e, p, out.data()), Status::stopped) << stop_at;
    EXPECT_EQ(stop.calls, stop_at);
  }
  EXPECT_TRUE(same_bits(run(v, e, plain), expected));
}

}  // namespace
}  // namespace volnlm::blockdenoise
