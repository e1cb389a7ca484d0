// The voxelwise guided filter against its reference rendering.
//
// Tolerance of the output comparison. The guide mean, the whole-number distance d, the threshold
// d <= h and the weight's clamps must match exactly, so a fast rendering may differ from the
// reference only by the order of its additions (threads, slab buffers merged after the join,
// per-lane sums of the four-lane loop, pairs queued for the full weight) and by the last bits
// of exp (the four-lane loop has its own, within about 1 ulp). A voxel's accumulator is a sum
// of at most (2R + 1)^3 terms; two orders of such a sum, in any grouping, differ by at most
// 2 (2R + 1)^3 * 2^-53 of the sum of the terms' magnitudes (3.8e-14 for R = 2, 1.5e-13 for
// R = 3, 3.0e-13 for R = 5), and weights a few ulps apart add about 1e-15 more. So
// |fast - reference| <= 1e-12 * M, where M is the reference's sum of term magnitudes divided
// by the weight sum (the result itself when every value is positive); this holds for every
// radius used here (R <= 5, or windows the volume cuts down to that size). In
// Rician mode the square root of a difference can amplify errors near 0, so the comparison is
// made on the squares: |fast^2 - reference^2| <= 1e-12 * (M + 2 sigma^2). A pair weighed that
// should not be (or the reverse) moves a voxel by w |v_j - v| / W, many orders above either
// bound for any weight not below exp(-10).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "common/isa.h"
#include "reference.h"
#include "sorvane/filter_isa.h"
#include "sorvane/guide_mean.h"
#include "sorvane/sorvane.h"
#include "test_volumes.h"

namespace volnlm {
namespace {

using testvol::Kind;

constexpr double kRelative = 1e-12;

sorvane::Params params_of(int32_t radius, double sigma, bool rician) {
  sorvane::Params p;
  p.search_radius = radius;
  p.second_radius = 7;
  p.sigma = sigma;
  p.rician = rician;
  return p;
}

std::vector<double> reference_result(const std::vector<double>& noisy,
                                     const std::vector<double>& guide, const Extents& e,
                                     const sorvane::Params& p,
                                     std::vector<double>* magnitude = nullptr) {
  std::vector<double> out(noisy.size());
  if (magnitude) magnitude->resize(noisy.size());
  reference::sorvane(noisy.data(), guide.data(), e, p, out.data(),
                     magnitude ? magnitude->data() : nullptr);
  return out;
}

std::string describe(const Extents& e) {
  std::ostringstream s;
  s << e.d0 << "x" << e.d1 << "x" << e.d2;
  return s.str();
}

TEST(Sorvane_reference, GuideMeanFollowsTheWorkedExamples) {
  // A line 0, 1, 2, 3: the y and z neighbours map back to the voxel itself.
  const Extents line{4, 1, 1};
  const std::vector<double> guide = {0, 1, 2, 3};
  std::vector<double> mean(4);
  reference::guide_local_mean(guide.data(), mean.data(), line);
  EXPECT_EQ(mean, (std::vector<double>{0.25, 1.0, 2.0, 2.875}));

  // Extent 2 on every axis: at 0 the low neighbour is 1, at 1 the high neighbour is 1 itself.
  const Extents cube{2, 2, 2};
  std::vector<double> g(8, 0.0), m(8);
  g[1] = 8.0;  // voxel (1, 0, 0)
  reference::guide_local_mean(g.data(), m.data(), cube);
  EXPECT_EQ(m[0], 2.0);  // (0,0,0): the low and the high x neighbour are both voxel 1
  EXPECT_EQ(m[1], 3.0);  // (1,0,0): its own 8 twice, and its high x neighbour is itself
  EXPECT_EQ(m[3], 1.0);  // (1,1,0): its low y neighbour is (1,0,0)
  EXPECT_EQ(m[2], 0.0);  // (0,1,0): no face neighbour at (1,0,0)

  const std::vector<double> flat(60, 5.0);
  std::vector<double> flat_mean(60);
  reference::guide_local_mean(flat.data(), flat_mean.data(), Extents{3, 4, 5});
  for (double v : flat_mean) EXPECT_EQ(v, 5.0);
}

TEST(Sorvane_reference, TwoVoxelPairsFollowTheWorkedWeights) {
  // Two voxels along x with guide values g0, g1: the guide means differ by 5 (g0 - g1) / 8.
  // h = 1 (sigma 3): 0.5 h^2 = 0.5 and 2 h^2 = 2.
  const Extents e{2, 1, 1};
  struct Case {
    double g;
    double weight;
  };  // weight < 0: the pair is skipped
  const Case cases[] = {
      {0.8, 1.0},                                   // mean difference 0.5: d = 0, t = 0
      {1.65, std::exp(-0.680625)},                  // difference 1.03: d = 1, t = 0.5 + 0.18
      {2.0, std::exp(-1.0)},                        // difference 1.25: d = 1, t = 1
      {1.7, std::exp(-(0.5 + 0.5 * (1.445 - 1)))},  // d = 1, g^2 / 2 = 1.445
      {3.5, -1.0},                                  // difference 2.19: d = 2 > h
  };
  const double a = 40.0, b = 70.0;
  for (const Case& c : cases) {
    const std::vector<double> guide = {10.0 + c.g, 10.0};
    const std::vector<double> out = reference_result({a, b}, guide, e, params_of(1, 3.0, false));
    const double w = c.weight < 0 ? 0.0 : c.weight;
    if (c.weight < 0) {
      EXPECT_EQ(out, (std::vector<double>{a, b})) << c.g;
      continue;
    }
    EXPECT_NEAR(out[0], (a + w * b) / (1 + w), 1e-12) << c.g;
    EXPECT_NEAR(out[1], (b + w * a) / (1 + w), 1e-12) << c.g;
    // Rician: squares averaged, 2 sigma^2 = 18 removed.
    const std::vector<double> ric = reference_result({a, b}, guide, e, params_of(1, 3.0, true));
    EXPECT_NEAR(ric[0], std::sqrt((a * a + w * b * b) / (1 + w) - 18.0), 1e-12) << c.g;
  }

  const std::vector<double> same = {10.0, 10.0};
  // A zero centre weighs no pair, but a zero later voxel is paired with its nonzero centre.
  EXPECT_EQ(reference_result({0.0, b}, same, e, params_of(1, 3.0, false)),
            (std::vector<double>{0.0, b}));
  EXPECT_EQ(reference_result({a, 0.0}, same, e, params_of(1, 3.0, false)),
            (std::vector<double>{a / 2, a / 2}));
  // Rician: a voxel whose noisy value is not positive comes out 0.
  EXPECT_EQ(reference_result({a, 0.0}, same, e, params_of(1, 3.0, true))[1], 0.0);
  // A negative sigma lets no pair through; radius 0 makes none.
  EXPECT_EQ(reference_result({a, b}, same, e, params_of(1, -3.0, false)),
            (std::vector<double>{a, b}));
  EXPECT_EQ(reference_result({a, b}, same, e, params_of(0, 3.0, false)),
            (std::vector<double>{a, b}));
  // Sigma 0 takes the limit: equal guides weigh 1, any other difference 0.
  EXPECT_EQ(reference_result({a, b}, same, e, params_of(1, 0.0, false)),
            (std::vector<double>{(a + b) / 2, (a + b) / 2}));
  EXPECT_EQ(reference_result({a, b}, {10.0, 10.5}, e, params_of(1, 0.0, false)),
            (std::vector<double>{a, b}));
  // A guide-mean difference without a 32-bit truncation skips the pair.
  EXPECT_EQ(reference_result({a, b}, {4e9, 0.0}, e, params_of(1, 3e10, false)),
            (std::vector<double>{a, b}));
}

TEST(Sorvane_reference, ProductionGuideMeanIsBitIdentical) {
  const Extents shapes[] = {{1, 1, 1},  {4, 1, 1}, {1, 1, 6}, {2, 2, 2},
                            {5, 7, 11}, {1, 9, 2}, {13, 3, 4}};
  for (const Extents& e : shapes) {
    for (Kind kind : {Kind::phantom, Kind::signed_noise, Kind::with_nan}) {
      const std::vector<double> guide = testvol::make_volume(kind, e, 11, 9.0);
      std::vector<double> want(guide.size()), got(guide.size(), -1.0);
      reference::guide_local_mean(guide.data(), want.data(), e);
      sorvane::guide_local_mean(guide.data(), got.data(), e.d0, e.d1, e.d2);
      EXPECT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(double)), 0)
          << describe(e) << " " << testvol::name_of(kind);
    }
  }
}

TEST(Sorvane_reference, ProductionPairLimitsAreBitIdentical) {
  // One pair, so one order of additions: the fast core must give the reference's bits.
  const Extents e{2, 1, 1};
  struct Case {
    const char* what;
    double g0, g1, sigma;
  };
  const Case cases[] = {
      {"sigma 0, equal guides", 3.0, 3.0, 0.0},
      {"sigma 0, guides 1e-170 apart (the square underflows)", 1e-170, 0.0, 0.0},
      {"sigma 1e-170, the denominators underflow", 2.0, 2.0, 1e-170},
      {"guide-mean difference -2^31 - 0.5, bandwidth above it", 0.0, 3435973837.6, 1e10},
      {"guide-mean difference past -2^31", 0.0, 3436000000.0, 1e10},
      {"NaN guide", NAN, 1.0, 9.0},
      {"infinite guide difference", INFINITY, 1.0, 9.0},
      {"huge sigma, the denominators overflow", 1.0, 2.0, 1e300},
  };
  for (const Case& c : cases) {
    for (bool rician : {false, true}) {
      const std::vector<double> noisy = {40.0, 70.0}, guide = {c.g0, c.g1};
      const sorvane::Params p = params_of(1, c.sigma, rician);
      const std::vector<double> want = reference_result(noisy, guide, e, p);
      std::vector<double> got(2, -1.0);
      ASSERT_EQ(sorvane::filter(noisy.data(), guide.data(), e, p, got.data()), Status::ok);
      EXPECT_EQ(std::memcmp(want.data(), got.data(), sizeof(double) * 2), 0)
          << c.what << (rician ? " (Rician)" : "") << ": fast " << got[0] << ", " << got[1]
          << " reference " << want[0] << ", " << want[1];
    }
  }
}

struct FilterCase {
  Extents e;
  int32_t radius;
  double sigma;
  bool rician;
  Kind kind;
};

// Runs every case through `run` and holds each voxel to the reference within the tolerance
// derived at the top of this file.
template <class Run>
void expect_within_tolerance(const FilterCase* cases, size_t count, const char* label, Run run) {
  double worst = 0.0;
  int64_t voxels = 0, identical = 0;
  for (size_t n = 0; n < count; ++n) {
    const FilterCase& c = cases[n];
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      const std::vector<double> noisy = testvol::make_volume(c.kind, c.e, seed, 10.0);
      // Guides in steps of 0.25 give guide means in steps of 1/32: differences that are whole
      // numbers (d = h exactly) and weights on both sides of the t = 10 cut-off.
      const std::vector<double> guide =
          c.kind == Kind::integers ? testvol::make_volume(Kind::quarters, c.e, seed + 100, 0.0)
                                   : testvol::box_blur(noisy, c.e);
      const sorvane::Params p = params_of(c.radius, c.sigma, c.rician);
      std::vector<double> magnitude;
      const std::vector<double> want = reference_result(noisy, guide, c.e, p, &magnitude);
      std::vector<double> got(noisy.size(), -7.0);
      ASSERT_EQ(run(noisy.data(), guide.data(), c.e, p, got.data()), Status::ok);
      const double bias = (c.sigma + c.sigma) * c.sigma;
      int bad = 0;
      for (size_t i = 0; i < want.size(); ++i) {
        ++voxels;
        const double r = want[i], f = got[i];
        if (std::memcmp(&r, &f, sizeof r) == 0) {
          ++identical;
          continue;
        }
        bool ok;
        double ratio = 0.0;
        if (std::isnan(r) || std::isnan(f)) {
          ok = std::isnan(r) && std::isnan(f);
        } else {
          const double diff = c.rician ? std::fabs(f * f - r * r) : std::fabs(f - r);
          const double tolerance = kRelative * (magnitude[i] + (c.rician ? bias : 0.0));
          ratio = diff / tolerance;
          ok = diff <= tolerance;
        }
        if (ok) {
          if (ratio > worst) worst = ratio;
        } else if (bad++ < 3) {
          ADD_FAILURE() << describe(c.e) << " R=" << c.radius << " sigma=" << c.sigma
                        << " rician=" << c.rician << " " << testvol::name_of(c.kind) << " seed "
                        << seed << ": voxel " << i << " fast " << f << " reference " << r
                        << " (scale " << magnitude[i] << ")";
        }
      }
    }
  }
  std::printf(
      "sorvane (%s): %lld voxels, %lld bit-identical, worst |fast - reference| / tolerance %.3g\n",
      label, static_cast<long long>(voxels), static_cast<long long>(identical), worst);
}

TEST(Sorvane_reference, ProductionFilterStaysWithinTolerance) {
  const FilterCase cases[] = {
      {{1, 1, 1}, 2, 10.0, false, Kind::phantom},   // one voxel
      {{7, 1, 1}, 3, 10.0, true, Kind::magnitude},  // one line
      {{1, 5, 9}, 2, 10.0, false, Kind::phantom},
      {{5, 7, 11}, 1, 10.0, false, Kind::phantom},  // prime extents
      {{5, 7, 11}, 2, 12.0, true, Kind::magnitude},
      {{6, 5, 9}, 3, 10.0, false, Kind::phantom},  // eight slabs of one slice, R = 3
      {{6, 5, 9}, 3, 10.0, true, Kind::magnitude},
      {{4, 3, 20}, 2, 15.0, true, Kind::magnitude},  // slabs of 2 and 3 slices
      {{13, 11, 3}, 3, 10.0, false, Kind::phantom},
      {{3, 4, 5}, 50, 20.0, false, Kind::phantom},  // window larger than the volume
      {{3, 4, 5}, 2147483647, 20.0, true, Kind::magnitude},
      {{6, 6, 6}, 0, 10.0, true, Kind::magnitude},  // no pairs
      {{6, 6, 6}, -2, 10.0, false, Kind::phantom},
      {{9, 7, 8}, 2, 3.0, false, Kind::integers},  // h = 1: d = h and exact ties
      {{9, 7, 8}, 2, 6.0, true, Kind::integers},   // h = 2, zeros in Rician mode
      {{9, 7, 8}, 1, 1.5, false, Kind::integers},  // h = 0.5
      {{10, 9, 7}, 2, 10.0, true, Kind::flat_and_zero},
      {{10, 9, 7}, 2, 10.0, false, Kind::flat_and_zero},
      {{8, 7, 6}, 2, 60.0, false, Kind::signed_noise},  // negative values
      {{8, 7, 6}, 2, 10.0, false, Kind::with_nan},
      {{8, 7, 6}, 2, 10.0, true, Kind::with_nan},
      {{7, 6, 9}, 2, 0.0, false, Kind::integers},    // zero denominators
      {{7, 6, 9}, 2, 1e-170, true, Kind::integers},  // denominators underflow to 0
      {{7, 6, 9}, 2, -3.0, false, Kind::phantom},    // negative bandwidth
  };
  expect_within_tolerance(
      cases, sizeof cases / sizeof cases[0], "public entry",
      [](const double* noisy, const double* guide, const Extents& e, const sorvane::Params& p,
         double* out) { return sorvane::filter(noisy, guide, e, p, out); });
}

TEST(Sorvane_reference, WeightsOfZeroAndOneGiveTheReferenceBitsOnEveryLineLength) {
  // Whole-number noisy values (a tenth of them 0) and a guide of two levels 100 apart, each
  // with a step of 0 or 1: pairs of one level have weight exactly 1, a pair across the levels
  // whose guide means come close weighs exactly 0 (t > 10), the rest fail the threshold. Every
  // sum is then exact in any order, so the fast core must give the reference's bits: a pair
  // missed, counted twice or given to the wrong voxel shows, wherever the line's blocks start
  // and end, whichever centres of a line are weighed together, and with zero centres among them.
  const Extents shapes[] = {{4, 5, 4}, {5, 4, 5},  {6, 5, 4},  {7, 4, 9}, {8, 3, 5},
                            {9, 5, 4}, {11, 4, 3}, {13, 3, 4}, {16, 3, 3}};
  int64_t pairs_changed = 0;
  for (const Extents& e : shapes) {
    for (int32_t radius : {1, 2, 3, 4, 5, 6}) {
      testvol::Rng rng(static_cast<uint64_t>(e.d0 * 100 + radius));
      const int64_t n = testvol::count_of(e);
      std::vector<double> noisy(n), guide(n);
      for (int64_t i = 0; i < n; ++i) {
        noisy[i] = rng.below(10) == 0 ? 0.0 : 1.0 + rng.below(20);
        guide[i] = (rng.below(3) == 0 ? 100.0 : 0.0) + rng.below(2);
      }
      for (bool rician : {false, true}) {
        const sorvane::Params p = params_of(radius, 9.0, rician);  // h = 3
        const std::vector<double> want = reference_result(noisy, guide, e, p);
        if (!rician && want != noisy) ++pairs_changed;
        for (Isa isa : supported_isas()) {
          std::vector<double> got(noisy.size(), -7.0);
          ASSERT_EQ(sorvane::filter_with(isa, noisy.data(), guide.data(), e, p, got.data()),
                    Status::ok);
          EXPECT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(double)), 0)
              << describe(e) << " R=" << radius << (rician ? " Rician " : " ") << isa_name(isa);
        }
      }
    }
  }
  EXPECT_EQ(pairs_changed, 54);  // every volume has pairs that move its values
}

TEST(Sorvane_reference, EveryInstructionSetStaysWithinTolerance) {
  // Lines long enough that most centres take the four-lane loop, with its blocks cut at every
  // border, and radii up to 5, whose windows queue hundreds of pairs for the full weight.
  const FilterCase cases[] = {
      {{24, 19, 13}, 3, 10.0, false, Kind::phantom},
      {{24, 19, 13}, 3, 10.0, true, Kind::magnitude},
      {{4, 9, 10}, 2, 10.0, false, Kind::phantom},     // lines of exactly four voxels
      {{29, 23, 12}, 5, 12.0, true, Kind::magnitude},  // slabs thinner than the radius
      {{17, 15, 11}, 4, 30.0, false, Kind::signed_noise},
      {{21, 18, 9}, 2, 3.0, false, Kind::integers},  // h = 1: d = h and exact ties
      {{21, 18, 9}, 3, 6.0, true, Kind::integers},   // h = 2, zeros in Rician mode
      {{20, 16, 9}, 3, 10.0, true, Kind::flat_and_zero},
      {{20, 16, 9}, 3, 10.0, false, Kind::with_nan},
      {{105, 4, 3}, 120, 10.0, false, Kind::phantom},  // radius past what the queue takes
      {{30, 4, 3}, 120, 10.0, true, Kind::magnitude},  // the same radius, clipped to the volume
  };
  for (Isa isa : supported_isas()) {
    SCOPED_TRACE(isa_name(isa));
    expect_within_tolerance(
        cases, sizeof cases / sizeof cases[0], isa_name(isa),
        [isa](const double* noisy, const double* guide, const Extents& e, const sorvane::Params& p,
              double* out) { return sorvane::filter_with(isa, noisy, guide, e, p, out); });
  }
}

}  // namespace
}  // namespace volnlm
