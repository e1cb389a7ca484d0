// The reach of each filter (common/reach.h) checked against the filters themselves: a chunk
// carrying the reach as its halo reproduces the whole volume's result in its interior, bit for
// bit; a chunk with one voxel less of halo differs somewhere; and changing every input voxel
// beyond the reach of a region leaves the region's result as it was.
#include "common/reach.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "chunk.h"
#include "reference.h"
#include "sorvane/sorvane.h"
#include "test_volumes.h"

namespace volnlm {
namespace {

using testvol::Box;
using testvol::Kind;

// A filter as a function of its input volumes (noisy, and the guide where it takes one),
// returning its result as doubles.
using Run = std::function<std::vector<double>(const std::vector<double>& noisy,
                                              const std::vector<double>& guide, const Extents&)>;

struct FilterCase {
  std::string name;
  Run run;
  int64_t reach;        // of all its inputs together
  int64_t noisy_reach;  // of the noisy volume alone
  // Axes along which a chunk adds in the same order as the whole volume. The fast filters cut
  // slabs along z, so a chunk of fewer slices may add in another order; sorvane's four-lane loop
  // lays its blocks from the ends of each line, so a shorter line may too. There the chunk's
  // interior must agree to within rounding instead.
  bool exact_axis[3];
};

std::vector<double> as_double(const std::vector<float>& v) {
  return std::vector<double>(v.begin(), v.end());
}
std::vector<float> as_float(const std::vector<double>& v) {
  return std::vector<float>(v.begin(), v.end());
}

FilterCase block_case(int32_t r, int32_t p, bool rician, bool reference) {
  blockdenoise::Params params;
  params.search_radius = r;
  params.patch_radius = p;
  params.sigma = 9.0f;
  params.smoothing = 1.0f;
  params.rician = rician;
  Run run = [params, reference](const std::vector<double>& noisy, const std::vector<double>&,
                                const Extents& e) {
    const std::vector<float> in = as_float(noisy);
    std::vector<float> out(in.size());
    if (reference) {
      reference::blockdenoise(in.data(), e, params, out.data());
    } else {
      EXPECT_EQ(blockdenoise::filter(in.data(), e, params, out.data()), Status::ok);
    }
    return as_double(out);
  };
  return {std::string(reference ? "reference " : "") + "blockdenoise R=" + std::to_string(r) +
              " p=" + std::to_string(p) + (rician ? " rician" : ""),
          run,
          blockdenoise_reach(r, p),
          blockdenoise_reach(r, p),
          {true, true, reference}};
}

FilterCase sorvane_case(int32_t r, bool rician, bool reference) {
  sorvane::Params params;
  params.search_radius = r;
  params.sigma = 12.0;
  params.rician = rician;
  Run run = [params, reference](const std::vector<double>& noisy, const std::vector<double>& guide,
                                const Extents& e) {
    std::vector<double> out(noisy.size());
    if (reference) {
      reference::sorvane(noisy.data(), guide.data(), e, params, out.data());
    } else {
      EXPECT_EQ(sorvane::filter(noisy.data(), guide.data(), e, params, out.data()), Status::ok);
    }
    return out;
  };
  return {std::string(reference ? "reference " : "") + "sorvane R=" + std::to_string(r) +
              (rician ? " rician" : ""),
          run,
          sorvane_guide_reach(r),
          sorvane_noisy_reach(r),
          {reference, true, reference}};
}

std::vector<FilterCase> filter_cases() {
  std::vector<FilterCase> cases;
  for (bool reference : {false, true}) {
    cases.push_back(block_case(1, 0, false, reference));
    cases.push_back(block_case(2, 1, true, reference));
    cases.push_back(block_case(3, 1, false, reference));
    cases.push_back(block_case(1, 2, false, reference));
    cases.push_back(sorvane_case(1, false, reference));
    cases.push_back(sorvane_case(2, true, reference));
    cases.push_back(sorvane_case(3, false, reference));
  }
  return cases;
}

// A noisy phantom whose largest value lies at the centre of the volume, inside every chunk
// (blockdenoise's preselection reads the largest value of the whole volume), and a guide made
// from it.
struct Input {
  Extents e;
  std::vector<double> noisy, guide;
};

Input make_input(const Extents& e, uint64_t seed) {
  Input in{e, testvol::make_volume(Kind::magnitude, e, seed, 12.0), {}};
  const double top = *std::max_element(in.noisy.begin(), in.noisy.end());
  in.noisy[linear_index(e.d0 / 2, e.d1 / 2, e.d2 / 2, e.d0, e.d1)] = top + 1.0;
  in.guide = testvol::box_blur(in.noisy, e);
  return in;
}

TEST(Reach, ChunkWithTheReachAsHaloReproducesItsInteriorAndOneLessDoesNot) {
  for (const FilterCase& f : filter_cases()) {
    const int32_t reach = static_cast<int32_t>(f.reach);
    for (int axis = 0; axis < 3; ++axis) {
      // Where the order of additions may change: within rounding of sums of a few hundred terms.
      const double tolerance = f.exact_axis[axis] ? 0.0 : 1e-5;
      int32_t size[3] = {9, 8, 7};
      size[axis] = 2 * (reach + 2) + 5;
      const Extents e{size[0], size[1], size[2]};
      Box interior;
      for (int a = 0; a < 3; ++a) interior.hi[a] = size[a];
      interior.lo[axis] = reach + 2;
      interior.hi[axis] = reach + 7;
      int64_t short_differences = 0;
      for (uint64_t seed = 1; seed <= 3; ++seed) {
        const Input in = make_input(e, seed);
        const std::vector<double> whole = f.run(in.noisy, in.guide, e);
        for (int32_t halo : {reach, reach + 2, reach - 1}) {
          const Box chunk = testvol::with_halo(interior, axis, halo);
          const std::vector<double> on_chunk = f.run(
              testvol::cut(in.noisy, e, chunk), testvol::cut(in.guide, e, chunk), chunk.extents());
          const int64_t differ =
              testvol::interior_differences(whole, e, on_chunk, chunk, interior, tolerance);
          if (halo >= reach) {
            EXPECT_EQ(differ, 0) << f.name << " axis " << axis << " halo " << halo << " seed "
                                 << seed;
          } else {
            short_differences += differ;
          }
        }
      }
      EXPECT_GT(short_differences, 0)
          << f.name << " axis " << axis << ": one voxel less of halo never mattered";
    }
  }
}

// Every voxel at Chebyshev distance `from` or more (and below `to`) from the box `region` gets a
// new value, and the guide is made afresh where it takes one.
Input perturbed(const Input& in, const Box& region, int64_t from, int64_t to, uint64_t seed) {
  Input out = in;
  testvol::Rng rng(seed);
  for (int32_t z = 0; z < in.e.d2; ++z)
    for (int32_t y = 0; y < in.e.d1; ++y)
      for (int32_t x = 0; x < in.e.d0; ++x) {
        const int32_t c[3] = {x, y, z};
        int64_t d = 0;
        for (int a = 0; a < 3; ++a) {
          d = std::max<int64_t>(d, std::max(region.lo[a] - c[a], c[a] - (region.hi[a] - 1)));
        }
        if (d >= from && d < to) {
          out.noisy[linear_index(x, y, z, in.e.d0, in.e.d1)] = 60.0 + 100.0 * rng.uniform();
        }
      }
  return out;
}

TEST(Reach, NoisyValuesBeyondTheReachChangeNothingInside) {
  for (const FilterCase& f : filter_cases()) {
    if (f.exact_axis[2]) continue;  // the fast filters; the chunks cover the reference ones
    const int64_t reach = f.noisy_reach;
    const int32_t side = static_cast<int32_t>(2 * (reach + 2) + 3);
    const Extents e{side, side, side};
    Box region;
    for (int a = 0; a < 3; ++a) {
      region.lo[a] = static_cast<int32_t>(reach + 1);
      region.hi[a] = region.lo[a] + 3;
    }
    int64_t at_reach_differences = 0;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      Input in = make_input(e, seed);
      // The guide stays as it was: only the noisy volume changes.
      const std::vector<double> whole = f.run(in.noisy, in.guide, e);
      const Input beyond = perturbed(in, region, reach + 1, 1 << 30, seed + 100);
      EXPECT_EQ(testvol::interior_differences(whole, e, f.run(beyond.noisy, in.guide, e),
                                              Box{{0, 0, 0}, {e.d0, e.d1, e.d2}}, region),
                0)
          << f.name << " seed " << seed;
      const Input at = perturbed(in, region, reach, reach + 1, seed + 200);
      at_reach_differences += testvol::interior_differences(
          whole, e, f.run(at.noisy, in.guide, e), Box{{0, 0, 0}, {e.d0, e.d1, e.d2}}, region);
    }
    EXPECT_GT(at_reach_differences, 0) << f.name << ": voxels at the reach never mattered";
  }
}

// A chunk whose own largest value is below the whole volume's decides its preselection as the
// whole volume does only when it is given the whole volume's maximum; given its own maximum
// explicitly, the filter gives the same bits as when it finds it itself.
TEST(Reach, ChunkGivenTheWholeVolumesMaximumDecidesAsTheWholeVolume) {
  for (bool rician : {false, true}) {
    blockdenoise::Params params;
    params.search_radius = 2;
    params.patch_radius = 1;
    params.sigma = 9.0f;
    params.smoothing = 1.0f;
    params.rician = rician;
    const int32_t reach = static_cast<int32_t>(blockdenoise_reach(2, 1));
    const Extents e{9, 8, 2 * reach + 14};
    const Box interior{{0, 0, 1}, {9, 8, 6}};
    // The chunk starts at the volume's edge and carries the reach as its halo above.
    Box cut_box = interior;
    cut_box.lo[2] = 0;
    cut_box.hi[2] = interior.hi[2] + reach;
    int64_t without_differences = 0;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      std::vector<double> noisy = testvol::make_volume(Kind::magnitude, e, seed, 12.0);
      // The largest value lies well beyond the chunk's halo.
      const double top = *std::max_element(noisy.begin(), noisy.end());
      noisy[linear_index(4, 4, e.d2 - 1, e.d0, e.d1)] = 3.0 * top;
      const std::vector<float> in = as_float(noisy);
      std::vector<float> whole(in.size());
      ASSERT_EQ(blockdenoise::filter(in.data(), e, params, whole.data()), Status::ok);

      const std::vector<float> part = testvol::cut(in, e, cut_box);
      const Extents c = cut_box.extents();
      std::vector<float> own(part.size()), own_given(part.size()), given(part.size());
      ASSERT_EQ(blockdenoise::filter(part.data(), c, params, own.data()), Status::ok);
      blockdenoise::Params with_own = params;
      with_own.maximum = *std::max_element(part.begin(), part.end());
      ASSERT_EQ(blockdenoise::filter(part.data(), c, with_own, own_given.data()), Status::ok);
      EXPECT_EQ(own, own_given) << "seed " << seed;
      blockdenoise::Params with_whole = params;
      with_whole.maximum = *std::max_element(in.begin(), in.end());
      ASSERT_EQ(blockdenoise::filter(part.data(), c, with_whole, given.data()), Status::ok);
      // Cut along z, the chunk's slabs add in another order: within rounding.
      EXPECT_EQ(testvol::interior_differences(whole, e, given, cut_box, interior, 1e-5), 0)
          << "seed " << seed << (rician ? " rician" : "");
      without_differences += testvol::interior_differences(whole, e, own, cut_box, interior, 1e-5);
    }
    EXPECT_GT(without_differences, 0) << "the chunk's own maximum never changed a decision";
  }
}

TEST(Reach, NanMaximumIsRefused) {
  blockdenoise::Params params;
  params.maximum = std::nanf("");
  const auto error = blockdenoise::check_params(Extents{4, 4, 4}, params);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->reason, "maximum");
}

}  // namespace
}  // namespace volnlm
