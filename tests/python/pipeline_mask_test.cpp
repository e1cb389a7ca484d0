// The one-call denoising with a mask: the same bits inside as without it and the input outside,
// for both methods; sigma estimated from the mask; the automatic head mask on a synthetic head;
// and the guided method's reach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "chunk.h"
#include "common/mask.h"
#include "common/reach.h"
#include "masks.h"
#include "pipeline/pipeline.h"
#include "test_volumes.h"

namespace volnlm::pipeline {
namespace {

using testvol::Kind;
using testvol::MaskKind;

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(PipelineMask, SameBitsInsideAndTheInputOutsideForBothMethods) {
  struct Case {
    Extents e;
    Kind kind;
    Method method;
    bool rician;
    std::optional<double> sigma;
    int32_t guided_search_radius = 3;
  };
  const Case cases[] = {
      {{27, 14, 12}, Kind::magnitude, Method::guided, true, 10.0},
      {{27, 14, 12}, Kind::magnitude, Method::block, true, 10.0},
      {{19, 13, 11}, Kind::phantom, Method::guided, false, 10.0},
      {{19, 13, 11}, Kind::flat_and_zero, Method::guided, true, std::nullopt},
      {{12, 9, 10}, Kind::quarters, Method::block, false, 3.0},
      // Many pairs that need the full weight: sorvane's queues fill and drain within a centre's
      // window, so the guide must be exact over every centre's window that adds into the mask
      // (a guide exact only within Rs + 1 of the mask changes the last bits of a few voxels here).
      {{48, 40, 30}, Kind::magnitude, Method::guided, true, 30.0, 5},
  };
  int64_t checked = 0;
  for (const Case& c : cases) {
    const std::vector<double> v = testvol::make_volume(c.kind, c.e, 5, 10.0);
    Options o;
    o.method = c.method;
    o.rician = c.rician;
    o.sigma = c.sigma;
    o.search_radius = 2;
    o.guided_search_radius = c.guided_search_radius;
    std::vector<double> unmasked(v.size());
    Resolved plain;
    ASSERT_EQ(denoise(v.data(), c.e, o, unmasked.data(), &plain), Status::ok);
    EXPECT_FALSE(plain.masked);
    uint64_t seed = 3;
    for (MaskKind mk : testvol::kMaskKinds) {
      if (mk == MaskKind::empty) continue;  // has its own test
      const std::vector<uint8_t> mask = testvol::make_mask(mk, c.e, seed++);
      Options masked = o;
      masked.mask = mask.data();
      // The sigma the unmasked call used, so that only the mask differs.
      masked.sigma = plain.sigma;
      std::vector<double> out(v.size(), -1.0);
      Resolved r;
      ASSERT_EQ(denoise(v.data(), c.e, masked, out.data(), &r), Status::ok);
      EXPECT_TRUE(r.masked);
      EXPECT_EQ(r.mask_voxels, mask_count(mask.data(), static_cast<int64_t>(mask.size())));
      int64_t breaks = 0;
      for (size_t i = 0; i < v.size(); ++i) {
        breaks += !same_bits(out[i], mask[i] != 0 ? unmasked[i] : v[i]);
      }
      EXPECT_EQ(breaks, 0) << method_name(c.method) << " " << testvol::name_of(c.kind)
                           << (c.rician ? " rician" : "") << " mask " << testvol::name_of(mk);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 36);
}

TEST(PipelineMask, EmptyMaskGivesTheInputAndSaysSo) {
  const Extents e{10, 9, 8};
  const std::vector<double> v = testvol::make_volume(Kind::magnitude, e, 2, 10.0);
  const std::vector<uint8_t> mask(v.size(), 0);
  for (Method method : {Method::guided, Method::block}) {
    Options o;
    o.method = method;
    o.mask = mask.data();
    std::vector<double> out(v.size(), -1.0);
    Resolved r;
    ASSERT_EQ(denoise(v.data(), e, o, out.data(), &r), Status::ok);
    EXPECT_EQ(out, v);
    EXPECT_TRUE(r.masked);
    EXPECT_EQ(r.mask_voxels, 0);
    EXPECT_EQ(estimate_sigma(v.data(), e, true, mask.data()), 0.0);
  }
}

// Noise of 4 in one half of the volume and of 16 in the other: with a mask over one half the
// estimate is that half's noise; a mask thinner than a block still gives an estimate.
TEST(PipelineMask, SigmaIsEstimatedFromTheVoxelsInsideTheMask) {
  const Extents e{40, 36, 30};
  testvol::Rng rng(9);
  std::vector<double> v(static_cast<size_t>(voxel_count(e)));
  std::vector<uint8_t> quiet(v.size()), loud(v.size()), plane(v.size());
  for (int32_t z = 0; z < e.d2; ++z)
    for (int32_t y = 0; y < e.d1; ++y)
      for (int32_t x = 0; x < e.d0; ++x) {
        const int32_t i = linear_index(x, y, z, e.d0, e.d1);
        const bool left = x < e.d0 / 2;
        v[i] = 100.0 + (left ? 4.0 : 16.0) * rng.normal();
        quiet[i] = left;
        loud[i] = !left;
        plane[i] = x == 30;
      }
  struct Case {
    const std::vector<uint8_t>* mask;
    double want;
  } cases[] = {{&quiet, 4.0}, {&loud, 16.0}, {&plane, 16.0}};
  for (const Case& c : cases) {
    const double got = estimate_sigma(v.data(), e, false, c.mask->data());
    EXPECT_NEAR(got / c.want, 1.0, 0.08) << "want " << c.want << " got " << got;
  }
  // Without the mask the loud half does not decide the estimate.
  EXPECT_LT(estimate_sigma(v.data(), e, false), 16.0 / 1.2);
}

// A synthetic head: background of Rician noise; a bright scalp shell, a dark skull shell, a
// brain of grey and white matter with dark ventricles; the neck leaves through the bottom face.
TEST(PipelineMask, AutomaticMaskKeepsTheWholeBrainAndLittleBackground) {
  const Extents e{64, 72, 60};
  for (double noise : {6.0, 18.0}) {
    testvol::Rng rng(21);
    std::vector<double> v(static_cast<size_t>(voxel_count(e)));
    std::vector<uint8_t> brain(v.size()), head(v.size());
    for (int32_t z = 0; z < e.d2; ++z)
      for (int32_t y = 0; y < e.d1; ++y)
        for (int32_t x = 0; x < e.d0; ++x) {
          const double dx = (x - 32) / 26.0, dy = (y - 36) / 30.0, dz = (z - 34) / 24.0;
          const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
          // The neck: a column below the head, down to the bottom face.
          const bool neck = z < 34 && (x - 32) * (x - 32) + (y - 36) * (y - 36) < 100;
          double s = 0.0;
          if (r < 1.0 || neck) s = 180.0;  // scalp and neck
          if (r < 0.9) s = 15.0;           // skull
          if (r < 0.82) s = 90.0;          // grey matter
          if (r < 0.6) s = 140.0;          // white matter
          if (r < 0.2) s = 30.0;           // ventricles
          const int32_t i = linear_index(x, y, z, e.d0, e.d1);
          brain[i] = r < 0.82;
          head[i] = r < 1.0 || neck;
          v[i] = std::hypot(s + noise * rng.normal(), noise * rng.normal());
        }
    const std::vector<uint8_t> m = head_mask(v.data(), e);
    // The margin, and one voxel more that the smoothing may add.
    std::vector<uint8_t> near_head(v.size());
    dilate(head.data(), e, kHeadMaskMargin + 1, near_head.data());
    int64_t brain_kept = 0, brain_all = 0, head_kept = 0, head_all = 0, inside = 0, far = 0;
    for (size_t i = 0; i < m.size(); ++i) {
      brain_all += brain[i];
      brain_kept += brain[i] && m[i];
      head_all += head[i];
      head_kept += head[i] && m[i];
      inside += m[i] != 0;
      far += m[i] && !near_head[i];
    }
    EXPECT_EQ(brain_kept, brain_all) << "noise " << noise;
    EXPECT_EQ(head_kept, head_all) << "noise " << noise;
    EXPECT_EQ(far, 0) << "noise " << noise;
    // Used through denoise, the automatic mask is reported.
    Options o;
    o.method = Method::block;
    o.auto_mask = true;
    std::vector<double> out(v.size());
    Resolved r;
    ASSERT_EQ(denoise(v.data(), e, o, out.data(), &r), Status::ok);
    EXPECT_TRUE(r.masked && r.mask_auto);
    EXPECT_EQ(r.mask_voxels, inside);
    for (size_t i = 0; i < m.size(); ++i) {
      if (!m[i]) {
        ASSERT_EQ(out[i], v[i]);
      }
    }
  }
}

// A chunk along y (where the slabs and lines are as in the whole volume) with the guided
// method's reach as halo reproduces its interior; one voxel less does not, on some input.
TEST(PipelineMask, GuidedReachIsTheHaloAChunkNeeds) {
  Options o;
  o.sigma = 10.0;
  o.search_radius = 2;
  o.patch_radius = 1;
  o.guided_search_radius = 2;
  // Given, as the default smoothing follows the signal level of the volume it is given.
  o.smoothing = 1.0f;
  const int32_t reach = static_cast<int32_t>(guided_reach(2, 1, 2));
  const Extents e{12, 2 * reach + 8, 9};
  testvol::Box interior{{0, reach + 1, 0}, {e.d0, reach + 7, e.d2}};
  int64_t short_differences = 0;
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    std::vector<double> v = testvol::make_volume(Kind::magnitude, e, seed, 10.0);
    // The largest value inside the interior, as blockdenoise's preselection reads it.
    v[linear_index(6, reach + 4, 4, e.d0, e.d1)] = 400.0;
    std::vector<double> whole(v.size());
    ASSERT_EQ(denoise(v.data(), e, o, whole.data()), Status::ok);
    for (int32_t halo : {reach, reach - 1}) {
      const testvol::Box chunk = testvol::with_halo(interior, 1, halo);
      const std::vector<double> part = testvol::cut(v, e, chunk);
      std::vector<double> out(part.size());
      ASSERT_EQ(denoise(part.data(), chunk.extents(), o, out.data()), Status::ok);
      const int64_t differ = testvol::interior_differences(whole, e, out, chunk, interior);
      if (halo == reach) {
        EXPECT_EQ(differ, 0) << "seed " << seed;
      } else {
        short_differences += differ;
      }
    }
  }
  EXPECT_GT(short_differences, 0);
}

}  // namespace
}  // namespace volnlm::pipeline
