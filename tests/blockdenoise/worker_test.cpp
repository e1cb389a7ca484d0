// The worker on hand-made local statistics: a line of voxels with p = 0, so that each centre's
// block is the centre alone and estimate_sum[c] is exactly the centre's block estimate; every
// instruction set's search in turn.
#include "blockdenoise/worker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "blockdenoise/search_buffers.h"
#include "blockdenoise/weight_exp.h"
#include "common/isa.h"

namespace volnlm::blockdenoise {
namespace {

struct Line {
  std::vector<float> noisy, mean, variance;
  float max = 100.0f;
};

struct LineRun {
  int32_t search_radius = 5;
  float sigma = 1.0f;
  float smoothing = 1e6f;
  bool rician = false;
  int32_t first_slice = 0;
  int32_t end_slice = 1;
};

struct Result {
  std::vector<float> sum, count;
  int32_t slices = 0;
};

// Runs the worker on the line with every instruction set's search, its buffers made as the
// driver makes them; every set must give the same bits. Returns the portable form's result.
Result run_line(const Line& line, const LineRun& setup) {
  const int32_t n = static_cast<int32_t>(line.noisy.size());
  std::vector<Result> results;
  for (Isa isa : supported_isas()) {
    Result r{std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
    std::atomic<int32_t> slices{0};
    SearchSetup search;
    search.padded = line.noisy.data();  // p = 0: no padding
    search.local_mean = line.mean.data();
    search.local_variance = line.variance.data();
    search.d0 = n;
    search.d1 = 1;
    search.d2 = 1;
    search.search_radius = setup.search_radius;
    search.max = line.max;
    search.denominator = weight_denominator(setup.sigma, setup.smoothing);
    search.rician = setup.rician;
    SearchShared shared;
    SearchScratch scratch;
    make_search_shared(search, shared);
    BlockTask t;
    t.d1 = 1;
    t.d0 = n;
    t.d2 = 1;
    t.noisy = line.noisy.data();
    t.local_mean = line.mean.data();
    t.local_variance = line.variance.data();
    t.estimate_sum = r.sum.data();
    t.estimate_count = r.count.data();
    t.first_slice = setup.first_slice;
    t.end_slice = setup.end_slice;
    t.search_radius = setup.search_radius;
    t.patch_radius = 0;
    t.sigma = setup.sigma;
    t.rician = setup.rician;
    t.slices_done = &slices;
    t.search = make_line_search(search, shared, scratch);
    t.search_line = search_form_for(isa).line;
    ThreadFunc(&t);
    r.slices = slices.load();
    if (!results.empty()) {
      EXPECT_EQ(std::memcmp(r.sum.data(), results[0].sum.data(), n * sizeof(float)), 0)
          << isa_name(isa);
      EXPECT_EQ(r.count, results[0].count) << isa_name(isa);
    }
    results.push_back(r);
  }
  return results[0];
}

TEST(blockdenoiseWorker, PreselectionByMeanAndVarianceRatios) {
  // Centre 0 (value 0) and one candidate (value 10) whose weight is nearly 1: the centre's
  // estimate is about 5 when the candidate is accepted and exactly 0 when it is not.
  struct Case {
    const char* what;
    float mc, mn, vc, vn, max;
    bool accepted;
  };
  const Case cases[] = {
      {"mean ratio passes, variance ignored", 1, 1.02f, 1, 10, 100, true},
      {"ratio from the maximum and variance pass", 10, 12, 1, 1, 100, true},
      {"variance ratio 2 fails", 10, 12, 2, 1, 100, false},
      {"variance ratio 0.5 fails", 10, 12, 1, 2, 100, false},
      {"candidate mean equals max: the second ratio is infinite", 10, 20, 1, 1, 20, false},
      {"candidate mean equals max, mean ratio passes", 19.5f, 20, 1, 1, 20, true},
      {"centre mean equals max: the second ratio is 0", 20, 15, 1, 1, 20, false},
      {"mean ratio 0.95 fails", 0.95f, 1, 1, 10, 100, false},
      {"candidate mean at the floor", 1.01e-5f, 1e-5f, 1, 1, 100, false},
      {"candidate variance at the floor", 1, 1, 1, 1e-5f, 100, false},
      {"centre mean at the floor", 1e-5f, 1e-5f, 1, 1, 100, false},
      {"centre variance at the floor", 1, 1, 1e-5f, 1, 100, false},
      {"centre variance NaN", 1, 1, NAN, 1, 100, false},
  };
  for (const Case& c : cases) {
    const Line line{{0, 10}, {c.mc, c.mn}, {c.vc, c.vn}, c.max};
    const Result r = run_line(line, LineRun{});
    if (c.accepted) {
      EXPECT_NEAR(r.sum[0], 5.0f, 1e-4f) << c.what;
    } else {
      EXPECT_EQ(r.sum[0], 0.0f) << c.what;
    }
    EXPECT_EQ(r.count[0], 1.0f) << c.what;
  }
}

TEST(blockdenoiseWorker, OwnBlockWhenNoCandidateCounts) {
  // Centre value 3 with candidates 10 and 20: every case ends with the centre's block alone.
  struct Case {
    const char* what;
    float mc, vc;
    LineRun setup;
    float want;
  };
  const float sqrt7 = std::sqrt(7.0f);  // sqrt(3^2 - 2 * 1^2)
  const Case cases[] = {
      {"all candidates fail", 1, 1, LineRun{}, 3},
      {"all candidates fail, Rician", 1, 1, LineRun{.rician = true}, sqrt7},
      {"flat centre", 10, 0, LineRun{}, 3},
      {"flat centre, Rician", 10, 0, LineRun{.rician = true}, sqrt7},
      {"flat centre, Rician bias above the value", 10, 0, LineRun{.sigma = 4, .rician = true}, 0},
      {"accepted candidates all weigh 0", 10, 10, LineRun{.smoothing = 1e-3f}, 3},
      {"negative search radius", 10, 10, LineRun{.search_radius = -1}, 3},
      {"search radius 0", 10, 10, LineRun{.search_radius = 0}, 3},
  };
  for (const Case& c : cases) {
    const Line line{{3, 10, 20}, {c.mc, 10, 10}, {c.vc, 10, 10}};
    const Result r = run_line(line, c.setup);
    EXPECT_FLOAT_EQ(r.sum[0], c.want) << c.what;
    EXPECT_EQ(r.count[0], 1.0f) << c.what;  // a Rician 0 counts too
    EXPECT_EQ(r.slices, 1) << c.what;
  }
}

TEST(blockdenoiseWorker, CentreWeighsAsMuchAsItsBestCandidate) {
  // Distances 16 and v2^2 against a denominator chosen for weights near 0.2 and 0.5.
  const float den = 16.0f / std::log(5.0f);
  const float v2 = std::sqrt(den * std::log(2.0f));
  const Line line{{0, 4, v2}, {1, 1, 1}, {1, 1, 1}};
  const Result r = run_line(line, LineRun{.smoothing = den});
  const float w1 = std::exp(-16.0f / den), w2 = std::exp(-(v2 * v2) / den);
  ASSERT_NEAR(w1, 0.2f, 1e-3f);
  ASSERT_NEAR(w2, 0.5f, 1e-3f);
  // (0.2 * block1 + 0.5 * block2 + 0.5 * own block) / 1.2
  EXPECT_FLOAT_EQ(r.sum[0], (w1 * 4 + w2 * v2 + w2 * 0) / (w1 + w2 + w2));
}

// Distance in units in the last place between two finite non-negative floats.
int64_t ulps_apart(float a, float b) {
  int32_t ia, ib;
  std::memcpy(&ia, &a, sizeof a);
  std::memcpy(&ib, &b, sizeof b);
  return ia > ib ? int64_t{ia} - ib : int64_t{ib} - ia;
}

TEST(blockdenoiseWorker, WeightExpIsWithinAnUlpOfTheRoundedExp) {
  // Every exponent a weight can take, down past the float subnormals, against exp worked in
  // double and rounded once: at most one ulp apart, and the same bits for more than nine in ten
  // (the float evaluation leaves about 8% of them one ulp off).
  int64_t off = 0, total = 0;
  for (float x = 0.0f; x > -112.0f; x -= 0.00137f) {
    for (float v : {x, std::nextafter(x, 0.0f)}) {
      const float want = static_cast<float>(std::exp(static_cast<double>(v)));
      const float got = weight_exp(v);
      ASSERT_LE(ulps_apart(got, want), 1) << v;
      off += got != want;
      ++total;
    }
  }
  EXPECT_LT(off, total / 10) << off << " of " << total;
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float x, want;
  };
  const Case cases[] = {
      {0.0f, 1.0f},
      {-0.0f, 1.0f},
      {-inf, 0.0f},
      {-1e30f, 0.0f},
      {-104.0f, 0.0f},
      {-103.0f, static_cast<float>(std::exp(-103.0))},  // a subnormal
      {88.0f, static_cast<float>(std::exp(88.0))},
      {89.0f, inf},
      {1e30f, inf},
      {inf, inf},
  };
  for (const Case& c : cases) EXPECT_EQ(weight_exp(c.x), c.want) << c.x;
  EXPECT_TRUE(std::isnan(weight_exp(std::numeric_limits<float>::quiet_NaN())));
}

TEST(blockdenoiseWorker, ZeroDenominatorTakesTheLimit) {
  EXPECT_EQ(weight_denominator(1e-30f, 1.0f), 0.0f);  // underflows though neither factor is 0
  EXPECT_GT(weight_denominator(1e-20f, 1.0f), 0.0f);
  EXPECT_EQ(weight_denominator(0.0f, 5.0f), 0.0f);
  EXPECT_EQ(weight_denominator(3.0f, 0.0f), 0.0f);
  EXPECT_EQ(candidate_weight(0.0f, 0.0f), 1.0f);
  EXPECT_EQ(candidate_weight(2.0f, 0.0f), 0.0f);
  EXPECT_EQ(candidate_weight(0.0f, 4.0f), 1.0f);
  EXPECT_EQ(candidate_weight(4.0f, 4.0f), weight_exp(-1.0f));
  // An identical patch weighs 1 and the other 0: (5 + 0 * 9 + 5) / 2.
  const Line line{{5, 5, 9}, {1, 1, 1}, {1, 1, 1}};
  const Result r = run_line(line, LineRun{.sigma = 1e-30f, .smoothing = 1});
  EXPECT_EQ(r.sum[0], 5.0f);
}

TEST(blockdenoiseWorker, EmptySlabAddsNothing) {
  const Line line{{3, 10, 20}, {1, 1, 1}, {1, 1, 1}};
  const Result r = run_line(line, LineRun{.first_slice = 1, .end_slice = 1});
  EXPECT_EQ(r.sum, std::vector<float>(3, 0.0f));
  EXPECT_EQ(r.count, std::vector<float>(3, 0.0f));
  EXPECT_EQ(r.slices, 0);
}

TEST(blockdenoiseWorker, WorkerCountFollowsDepthOverSearchRadius) {
  struct Case {
    int32_t d2, radius, want;
  };
  const Case cases[] = {{20, 2, 8}, {3, 5, 1},  {10, 4, 2},  {181, 5, 8},
                        {16, 5, 3}, {20, 0, 1}, {20, -2, 1}, {1, 1000000000, 1}};
  for (const Case& c : cases)
    EXPECT_EQ(worker_count(c.d2, c.radius), c.want) << c.d2 << "/" << c.radius;
}

}  // namespace
}  // namespace volnlm::blockdenoise
